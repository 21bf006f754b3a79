// Helpers of the command tests (see cli_harness.h).
#include "cli_harness.h"

#include <charconv>
#include <cstring>
#include <numeric>
#include <sstream>

namespace dualcam::cli::testing {

ToolRun CliWorld::Run(std::vector<std::string> args) const {
  args.push_back("--home");
  args.push_back(Home().string());
  return dualcam::testing::RunTool(args);
}

namespace {

bool ParseNumber(std::string_view text, int* value) {
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

std::optional<Y4m> ParseY4m(const std::vector<uint8_t>& bytes, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Y4m> {
    *error = why;
    return std::nullopt;
  };
  const auto* begin = bytes.data();
  const auto* end = begin + bytes.size();
  const auto* eol = static_cast<const uint8_t*>(std::memchr(begin, '\n', bytes.size()));
  if (eol == nullptr) return fail("no header line");
  std::istringstream header(std::string(begin, eol));
  std::string token;
  header >> token;
  if (token != "YUV4MPEG2") return fail("no YUV4MPEG2 signature");
  Y4m y4m;
  while (header >> token) {
    const char tag = token[0];
    const std::string_view value = std::string_view(token).substr(1);
    if (tag == 'W' && !ParseNumber(value, &y4m.width)) return fail("bad width");
    if (tag == 'H' && !ParseNumber(value, &y4m.height)) return fail("bad height");
    if (tag == 'F') {
      const auto colon = value.find(':');
      if (colon == std::string_view::npos || !ParseNumber(value.substr(0, colon), &y4m.rate_num) ||
          !ParseNumber(value.substr(colon + 1), &y4m.rate_den))
        return fail("bad frame rate");
    }
    if (tag == 'I') y4m.interlace = value;
    if (tag == 'C') y4m.chroma = value;
    if (tag == 'X' && value.substr(0, 11) == "COLORRANGE=") y4m.colour_range = value.substr(11);
  }
  if (y4m.width <= 0 || y4m.height <= 0) return fail("no picture size");
  const std::size_t frame_bytes = static_cast<std::size_t>(y4m.width) * y4m.height * 3 / 2;
  const uint8_t* at = eol + 1;
  while (at < end) {
    const auto* line_end = static_cast<const uint8_t*>(std::memchr(at, '\n', end - at));
    if (line_end == nullptr || std::string_view(reinterpret_cast<const char*>(at), 5) != "FRAME")
      return fail("frame " + std::to_string(y4m.frames.size() + 1) + " has no FRAME line");
    at = line_end + 1;
    if (static_cast<std::size_t>(end - at) < frame_bytes)
      return fail("frame " + std::to_string(y4m.frames.size() + 1) + " is truncated");
    y4m.frames.emplace_back(at, at + frame_bytes);
    at += frame_bytes;
  }
  return y4m;
}

double MeanLuma(const std::vector<uint8_t>& i420, int width, int height) {
  const std::size_t n = static_cast<std::size_t>(width) * height;
  if (i420.size() < n || n == 0) return -1;
  return std::accumulate(i420.begin(), i420.begin() + n, 0.0) / static_cast<double>(n);
}

}  // namespace dualcam::cli::testing
