// dualcamsrc: the camera as a live GStreamer source. Formats, controls,
// stills and the button come from the driver through the capture
// application's requests, as any application of the driver meets them.
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

#include <memory>

G_BEGIN_DECLS

#define DUALCAM_TYPE_SRC (dualcam_src_get_type())
G_DECLARE_FINAL_TYPE(DualcamSrc, dualcam_src, DUALCAM, SRC, GstPushSrc)

G_END_DECLS

namespace dualcam::gst {

class CameraOwner;

// The camera an element holds (null while it holds none), for tests that
// work the simulated camera's hardware: its button, its removal.
std::shared_ptr<CameraOwner> OwnerOf(GstElement* element);

// Elements that open their camera from now on run the host on virtual time
// (the button poll moves with the frames). For tests.
void UseSteppedHost(bool stepped);

}  // namespace dualcam::gst
