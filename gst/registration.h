// The plugin's features, registered by the plugin module's entry point or,
// for tests and benchmarks, into the running process without the module.
#pragma once

#include <gst/gst.h>

namespace dualcam::gst {

inline constexpr char kPluginName[] = "dualcam";
inline constexpr char kPluginDescription[] = "The dual-mode camera: source, sample renderer and device provider";

// dualcamsrc, dualcamdec and the device provider.
gboolean RegisterFeatures(GstPlugin* plugin);

// Registers the plugin statically (once per process); false on failure.
bool RegisterStatic();

}  // namespace dualcam::gst
