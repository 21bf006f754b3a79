// The table of fuzz targets the regression test walks.
#include "targets.h"

namespace dualcam::fuzz {

std::span<const FuzzTarget> AllTargets() {
  static constexpr FuzzTarget kTargets[] = {
      {"decode_picture", FuzzDecodePicture}, {"render_frame", FuzzRenderFrame}, {"frame_path", FuzzFramePath},
      {"formats", FuzzFormats},               {"load_settings", FuzzLoadSettings}, {"snapshot", FuzzSnapshot},
      {"decode_tool", FuzzDecodeTool},       {"properties", FuzzProperties},
      {"control_request", FuzzControlRequest}, {"usb_device", FuzzUsbDevice},
  };
  return kTargets;
}

}  // namespace dualcam::fuzz
