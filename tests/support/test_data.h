// Paths and file helpers shared by the test executables and the benchmark:
// where the checked-in data lives, where the built `dualcam` tool is, and
// the photographs at every raw size the camera sends (sizes that have no
// checked-in file are made from the nearest larger one, as the camera would
// crop and scale its sensor).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/sim/encoder/picture.h"

namespace dualcam::testing {

std::filesystem::path TestDataPath(std::string_view name);
std::filesystem::path ToolPath();

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path);
// The whole file as text; empty when it cannot be read.
std::string ReadFileText(const std::filesystem::path& path);
bool WriteFileBytes(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// A fresh, empty directory under the system temporary directory; removed by
// the destructor.
class TempDir {
 public:
  explicit TempDir(std::string_view tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / std::string(name); }

 private:
  std::filesystem::path path_;
};

// Photographs checked into tests/data: kodim05 (high detail), kodim15
// (face, every size), kodim23 (low detail).
inline constexpr std::string_view kPhotoStems[] = {"kodim05", "kodim15", "kodim23"};

// The photograph stem at width x height: the checked-in file when one exists
// at that size, otherwise the smallest larger file cropped to the aspect
// ratio and resized. Aborts the calling test (ADD_FAILURE, empty picture)
// when nothing fits.
encoder::RgbPicture LoadPhoto(std::string_view stem, int width, int height);

// The camera's raw picture sizes.
struct RawSize {
  int width;
  int height;
};
inline constexpr RawSize kRawSizes[] = {{160, 112}, {160, 128}, {176, 144}, {320, 240}, {352, 288}, {640, 480}};

}  // namespace dualcam::testing
