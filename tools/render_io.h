// The driver's render of a raw camera frame, used outside the driver (the
// decode and snapshot commands), and the conversion of the buffers the
// driver delivers into upright RGB pictures for PNG files.
//
// Hard part: the render must be the driver's own (same header rewrite,
// same routine, same output size) so that a file rendered here equals the
// picture a capture delivered, and the decoder may read a little past the
// frame, so the frame is always copied into a buffer with zero slack. The
// decoder state is not the driver's shared one: each thread has its own,
// with work pictures large enough for 640x480 stills.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "host/sim/encoder/picture.h"

namespace dualcam::tools {

// Renders `raw` (a raw frame with its 13-byte header, `length` bytes used)
// at a format size with the given quality index and tone curve into the
// buffer the driver delivers (I420 when planar, else bottom-up B,G,R).
// Nothing when the picture is corrupt or the size is not a format size.
std::optional<std::vector<uint8_t>> RenderRawFrame(std::span<const uint8_t> raw, int width, int height, bool planar,
                                                   int quality, int gamma);

// An I420 or bottom-up B,G,R driver buffer as a top-down RGB picture.
encoder::RgbPicture DriverBufferToRgb(std::span<const uint8_t> buffer, int width, int height, bool planar);

}  // namespace dualcam::tools
