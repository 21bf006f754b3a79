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

int TimeoutSeconds(const ParsedArgs& parsed, int default_seconds) {
  const auto text = parsed.Last("--timeout");
  if (!text) return default_seconds;
  const auto value = ParseInt(*text, 1, 600);
  if (!value) UsageError("--timeout must be 1..600 seconds");
  return *value;
}

std::optional<std::pair<int, int>> ParseSize(std::string_view text) {
  const auto x = text.find_first_of("xX");
  if (x == std::string_view::npos) return std::nullopt;
  const auto w = ParseInt(text.substr(0, x), 1, 9999);
  const auto h = ParseInt(text.substr(x + 1), 1, 9999);
  if (!w || !h) return std::nullopt;
  return std::pair{*w, *h};
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string Extension(std::string_view path) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "";
  return Lower(path.substr(dot));
}

}  // namespace dualcam::tools

namespace dualcam::tools {

std::optional<std::string> ParsedArgs::Last(std::string_view name) const {
  const auto it = options.find(name);
  if (it == options.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::vector<std::string> ParsedArgs::All(std::string_view name) const {
  const auto it = options.find(name);
  return it == options.end() ? std::vector<std::string>{} : it->second;
}

ParsedArgs ParseArgs(std::span<const std::string_view> args, std::initializer_list<std::string_view> valued,
                     std::initializer_list<std::string_view> switches) {
  ParsedArgs parsed;
  auto listed = [](std::initializer_list<std::string_view> names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      parsed.positional.emplace_back(arg);
      continue;
    }
    const auto equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    if (listed(valued, name)) {
      std::string value;
      if (equals != std::string_view::npos) {
        value = std::string(arg.substr(equals + 1));
      } else {
        if (i + 1 >= args.size()) UsageError(std::string(name) + " needs a value");
        value = std::string(args[++i]);
      }
      parsed.options[std::string(name)].push_back(std::move(value));
    } else if (listed(switches, name) && equals == std::string_view::npos) {
      parsed.options[std::string(name)].emplace_back();
    } else {
      UsageError("unknown option '" + std::string(arg) + "'");
    }
  }
  return parsed;
}

std::optional<uint32_t> ParseDword(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace dualcam::tools
