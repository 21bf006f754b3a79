// Host-side picture helpers around the compressor: interleaved RGB pictures,
// their conversion to and from planar I420 with the full-range BT.601 matrix
// that the camera's stream assumes (the one of the JFIF convention), and a
// box/bilinear resize used to bring photographs to the camera's raw sizes.
//
// The hard part is the chroma siting: I420 chroma here is the plain mean of
// each 2x2 block (odd edges use what exists), which is what the camera's
// 4:2:0 sampling and the host's replicate-not-interpolate upsampling expect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dualcam::encoder {

// Interleaved 8-bit R, G, B, top-down, tightly packed.
struct RgbPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height * 3
};

// Planar I420 (layout of I420View): Y, then Cb, then Cr.
struct I420Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bytes;
};

I420Picture RgbToI420(const RgbPicture& rgb);
RgbPicture I420ToRgb(const I420Picture& yuv);

// Resizes with area averaging when shrinking and bilinear interpolation when
// enlarging, per axis. Returns an empty picture for non-positive sizes.
RgbPicture ResizeRgb(const RgbPicture& rgb, int width, int height);

}  // namespace dualcam::encoder
