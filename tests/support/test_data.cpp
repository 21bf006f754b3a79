// Test data locations, temporary directories and photographs at raw sizes.
#include "support/test_data.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "support/picture_io.h"

namespace dualcam::testing {

std::filesystem::path TestDataPath(std::string_view name) {
  return std::filesystem::path(DUALCAM_TESTDATA_DIR) / std::string(name);
}

std::filesystem::path ToolPath() { return std::filesystem::path(DUALCAM_TOOL_PATH); }

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

TempDir::TempDir(std::string_view tag) {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("dualcam-" + std::string(tag) + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

encoder::RgbPicture LoadPhoto(std::string_view stem, int width, int height) {
  static constexpr RawSize kStored[] = {{176, 144}, {320, 240}, {352, 288}, {640, 480}};
  for (const RawSize& size : kStored) {
    if (size.width < width || size.height < height) continue;
    const std::string name =
        std::string(stem) + "_" + std::to_string(size.width) + "x" + std::to_string(size.height) + ".png";
    const auto path = TestDataPath(name);
    if (!std::filesystem::exists(path)) continue;
    auto picture = LoadPng(path);
    if (!picture) break;
    if (picture->width == width && picture->height == height) return *picture;
    // Centre crop to the target's aspect ratio, then scale.
    int crop_w = picture->width, crop_h = picture->height;
    if (static_cast<long>(crop_w) * height > static_cast<long>(crop_h) * width)
      crop_w = static_cast<int>(static_cast<long>(crop_h) * width / height);
    else
      crop_h = static_cast<int>(static_cast<long>(crop_w) * height / width);
    encoder::RgbPicture cropped;
    cropped.width = crop_w;
    cropped.height = crop_h;
    cropped.pixels.resize(static_cast<std::size_t>(crop_w) * crop_h * 3);
    const int x0 = (picture->width - crop_w) / 2, y0 = (picture->height - crop_h) / 2;
    for (int y = 0; y < crop_h; ++y) {
      const auto* src = &picture->pixels[(static_cast<std::size_t>(y + y0) * picture->width + x0) * 3];
      std::copy(src, src + crop_w * 3, &cropped.pixels[static_cast<std::size_t>(y) * crop_w * 3]);
    }
    return encoder::ResizeRgb(cropped, width, height);
  }
  ADD_FAILURE() << "no photograph " << stem << " for " << width << "x" << height;
  return {};
}

}  // namespace dualcam::testing
