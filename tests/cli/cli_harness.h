// Running the `dualcam` command as a user does, each test in a private data
// folder, and an independent YUV4MPEG2 reader for what `capture` writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "support/sanitizers.h"
#include "support/test_data.h"

namespace dualcam::cli::testing {

// How many times longer a capture is given under the sanitizers.
inline constexpr int kSlowdown = dualcam::testing::kSanitizerSlowdown;

using dualcam::testing::ToolRun;

// A fresh data folder and a scratch folder, both removed afterwards.
class CliWorld {
 public:
  CliWorld() : temp_("dualcam-cli") {}
  std::filesystem::path Home() const { return temp_ / "home"; }
  std::filesystem::path Path(std::string_view name) const { return temp_ / name; }
  // The command with --home appended.
  ToolRun Run(std::vector<std::string> args) const;

 private:
  dualcam::testing::TempDir temp_;
};

// A YUV4MPEG2 stream, parsed without any of the tool's code.
struct Y4m {
  int width = 0, height = 0;
  int rate_num = 0, rate_den = 0;
  std::string interlace, chroma, colour_range;
  std::vector<std::vector<uint8_t>> frames;  // I420 planes each
};
// Nothing, with *error set, when the stream is malformed or truncated.
std::optional<Y4m> ParseY4m(const std::vector<uint8_t>& bytes, std::string* error);

// Mean of the Y plane of an I420 frame.
double MeanLuma(const std::vector<uint8_t>& i420, int width, int height);

}  // namespace dualcam::cli::testing
