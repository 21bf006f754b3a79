// libpng reading/writing through the simplified png_image API, and the
// comparison measures the codec tests state their bounds in.
#include "support/picture_io.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace dualcam::testing {

std::optional<encoder::RgbPicture> LoadPng(const std::filesystem::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  encoder::RgbPicture picture;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  return picture;
}

bool SavePng(const std::filesystem::path& path, const encoder::RgbPicture& picture) {
  if (picture.width <= 0 || picture.height <= 0 ||
      picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height * 3)
    return false;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.width);
  image.height = static_cast<png_uint_32>(picture.height);
  image.format = PNG_FORMAT_RGB;
  return png_image_write_to_file(&image, path.c_str(), 0, picture.pixels.data(), 0, nullptr) != 0;
}

namespace {

Difference CompareStrided(const uint8_t* a, const uint8_t* b, std::size_t count, std::size_t stride) {
  Difference d;
  double squared = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int diff = static_cast<int>(a[i * stride]) - static_cast<int>(b[i * stride]);
    squared += static_cast<double>(diff) * diff;
    d.max_abs = std::max(d.max_abs, std::abs(diff));
  }
  if (count == 0) return {0, 256};
  const double mse = squared / static_cast<double>(count);
  d.psnr = mse == 0 ? std::numeric_limits<double>::infinity() : 10.0 * std::log10(255.0 * 255.0 / mse);
  return d;
}

}  // namespace

Difference Compare(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size() || a.empty()) return {0, 256};
  return CompareStrided(a.data(), b.data(), a.size(), 1);
}

double ChannelDifferences::MinPsnr() const {
  double m = std::numeric_limits<double>::infinity();
  for (int i = 0; i < channels; ++i) m = std::min(m, channel[i].psnr);
  return channels == 0 ? 0 : m;
}

int ChannelDifferences::MaxAbs() const {
  int m = channels == 0 ? 256 : 0;
  for (int i = 0; i < channels; ++i) m = std::max(m, channel[i].max_abs);
  return m;
}

ChannelDifferences CompareInterleaved(std::span<const uint8_t> a, std::span<const uint8_t> b, int channels) {
  ChannelDifferences out;
  if (channels < 1 || channels > 4 || a.size() != b.size() || a.empty() || a.size() % channels != 0) {
    out.channels = 1;
    out.channel[0] = {0, 256};
    return out;
  }
  out.channels = channels;
  for (int c = 0; c < channels; ++c)
    out.channel[c] = CompareStrided(a.data() + c, b.data() + c, a.size() / channels, channels);
  return out;
}

ChannelDifferences CompareI420(std::span<const uint8_t> a, std::span<const uint8_t> b, int width, int height) {
  ChannelDifferences out;
  const std::size_t luma = static_cast<std::size_t>(width) * height;
  const std::size_t chroma = static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2);
  if (width <= 0 || height <= 0 || a.size() < luma + 2 * chroma || b.size() < luma + 2 * chroma) {
    out.channels = 1;
    out.channel[0] = {0, 256};
    return out;
  }
  out.channels = 3;
  out.channel[0] = CompareStrided(a.data(), b.data(), luma, 1);
  out.channel[1] = CompareStrided(a.data() + luma, b.data() + luma, chroma, 1);
  out.channel[2] = CompareStrided(a.data() + luma + chroma, b.data() + luma + chroma, chroma, 1);
  return out;
}

encoder::RgbPicture BottomUpBgrToRgb(std::span<const uint8_t> bgr, int width, int height) {
  encoder::RgbPicture rgb;
  const std::size_t stride = static_cast<std::size_t>(width) * 3;
  if (width <= 0 || height <= 0 || bgr.size() < stride * height) return rgb;
  rgb.width = width;
  rgb.height = height;
  rgb.pixels.resize(stride * height);
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = bgr.data() + (height - 1 - y) * stride;
    uint8_t* dst = rgb.pixels.data() + y * stride;
    for (int x = 0; x < width; ++x) {
      dst[x * 3 + 0] = src[x * 3 + 2];
      dst[x * 3 + 1] = src[x * 3 + 1];
      dst[x * 3 + 2] = src[x * 3 + 0];
    }
  }
  return rgb;
}

std::vector<uint8_t> RgbToBottomUpBgr(const encoder::RgbPicture& rgb) {
  const std::size_t stride = static_cast<std::size_t>(rgb.width) * 3;
  std::vector<uint8_t> bgr(stride * rgb.height);
  for (int y = 0; y < rgb.height; ++y) {
    const uint8_t* src = rgb.pixels.data() + y * stride;
    uint8_t* dst = bgr.data() + (rgb.height - 1 - y) * stride;
    for (int x = 0; x < rgb.width; ++x) {
      dst[x * 3 + 0] = src[x * 3 + 2];
      dst[x * 3 + 1] = src[x * 3 + 1];
      dst[x * 3 + 2] = src[x * 3 + 0];
    }
  }
  return bgr;
}

}  // namespace dualcam::testing
