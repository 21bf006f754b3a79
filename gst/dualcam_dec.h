// dualcamdec: renders the camera's pass-through samples (video/x-vqj9)
// into I420 or BGR pictures with the driver's own render routes, so that a
// recording of the compressed stream becomes pictures later, in any
// pipeline, exactly as the driver would have delivered them.
#pragma once

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define DUALCAM_TYPE_DEC (dualcam_dec_get_type())
G_DECLARE_FINAL_TYPE(DualcamDec, dualcam_dec, DUALCAM, DEC, GstBaseTransform)

G_END_DECLS
