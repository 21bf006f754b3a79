// PNG reading and writing (libpng) and picture comparison for tests: PSNR
// and largest absolute difference per channel or plane.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "host/sim/encoder/picture.h"

namespace dualcam::testing {

// 8-bit RGB (grey and palette files are expanded, alpha is dropped,
// 16-bit samples are reduced to 8).
std::optional<encoder::RgbPicture> LoadPng(const std::filesystem::path& path);
bool SavePng(const std::filesystem::path& path, const encoder::RgbPicture& picture);

struct Difference {
  double psnr = 0;     // dB; +infinity for identical inputs
  int max_abs = 0;     // largest |a - b|
};

// Over every byte of two equally sized spans (an empty or mismatched pair
// gives psnr 0 and max_abs 256, so a wrong size never passes a bound).
Difference Compare(std::span<const uint8_t> a, std::span<const uint8_t> b);

// Per channel of interleaved pictures with `channels` bytes per pixel.
struct ChannelDifferences {
  Difference channel[4];
  int channels = 0;
  double MinPsnr() const;
  int MaxAbs() const;
};
ChannelDifferences CompareInterleaved(std::span<const uint8_t> a, std::span<const uint8_t> b, int channels);

// Per plane (Y, Cb, Cr) of two I420 pictures of width x height.
ChannelDifferences CompareI420(std::span<const uint8_t> a, std::span<const uint8_t> b, int width, int height);

// Bottom-up B,G,R rows (the driver's RGB output) to a top-down RGB picture,
// and back.
encoder::RgbPicture BottomUpBgrToRgb(std::span<const uint8_t> bgr, int width, int height);
std::vector<uint8_t> RgbToBottomUpBgr(const encoder::RgbPicture& rgb);

}  // namespace dualcam::testing
