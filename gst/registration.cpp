// Feature registration (see registration.h). The source has no rank, so
// that automatic source selection never picks a simulated camera; the
// renderer has the primary rank, so that decodebin renders samples; the
// device provider is listed by device monitors.
#include "registration.h"

#include "device_provider.h"
#include "dualcam_dec.h"
#include "dualcam_src.h"

namespace dualcam::gst {

gboolean RegisterFeatures(GstPlugin* plugin) {
  return gst_element_register(plugin, "dualcamsrc", GST_RANK_NONE, DUALCAM_TYPE_SRC) &&
         gst_element_register(plugin, "dualcamdec", GST_RANK_PRIMARY, DUALCAM_TYPE_DEC) &&
         gst_device_provider_register(plugin, "dualcamdeviceprovider", GST_RANK_PRIMARY,
                                      DUALCAM_TYPE_DEVICE_PROVIDER);
}

bool RegisterStatic() {
  static const bool registered =
      gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, kPluginName, kPluginDescription,
                                 RegisterFeatures, DUALCAM_VERSION, "unknown", "dualcam", "dualcam", "dualcam");
  return registered;
}

}  // namespace dualcam::gst
