// The plugin module's entry point: GStreamer finds libgstdualcam.so on its
// plugin path and calls RegisterFeatures through the descriptor below.
#include <gst/gst.h>

#include "registration.h"

static gboolean plugin_init(GstPlugin* plugin) { return dualcam::gst::RegisterFeatures(plugin); }

#define PACKAGE "dualcam"

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, dualcam,
                  "The dual-mode camera: source, sample renderer and device provider", plugin_init, DUALCAM_VERSION,
                  "unknown", "dualcam", "dualcam")
