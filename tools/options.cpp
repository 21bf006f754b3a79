// Option parsing helpers shared by the subcommands.
#include <algorithm>
#include <cctype>
#include <charconv>

#include "command.h"

namespace dualcam::tools {

std::optional<int> ParseInt(std::string_view text, int low, int high) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

std::optional<std::pair<int, int>> ParseSize(std::string_view text) {
  const auto x = text.find_first_of("xX");
  if (x == std::string_view::npos) return std::nullopt;
  const auto w = ParseInt(text.substr(0, x), 1, 9999);
  const auto h = ParseInt(text.substr(x + 1), 1, 9999);
  if (!w || !h) return std::nullopt;
  return std::pair{*w, *h};
}

std::string Extension(std::string_view path) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "";
  std::string ext(path.substr(dot));
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

}  // namespace dualcam::tools
