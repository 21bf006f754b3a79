// The `dualcam` command's subcommand table and the small vocabulary every
// subcommand shares: exit statuses, the error type that carries one, and
// option parsing helpers.
//
// Exit statuses are a contract scripts and tests rely on: 0 success, 1 usage
// or I/O error, 2 the input picture is corrupt or truncated.
#pragma once

#include <map>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dualcam::tools {

enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,    // bad arguments, unreadable input, unwritable output
  kExitCorrupt = 2,  // the picture cannot be decoded
};

// Thrown by subcommands; main prints "dualcam <command>: <message>" on one
// line and exits with status.
class ToolError : public std::runtime_error {
 public:
  ToolError(ExitStatus status, const std::string& message) : std::runtime_error(message), status_(status) {}
  ExitStatus status() const { return status_; }

 private:
  ExitStatus status_;
};

[[noreturn]] inline void UsageError(const std::string& message) { throw ToolError(kExitUsage, message); }

struct Command {
  std::string_view name;
  std::string_view summary;
  int (*run)(std::span<const std::string_view> args);  // args after the command name
};

int RunDecode(std::span<const std::string_view> args);
int RunEncode(std::span<const std::string_view> args);
int RunCapture(std::span<const std::string_view> args);
int RunCtl(std::span<const std::string_view> args);
int RunReg(std::span<const std::string_view> args);
int RunSnapshot(std::span<const std::string_view> args);
int RunInfo(std::span<const std::string_view> args);
int RunStop(std::span<const std::string_view> args);

// --- option helpers --------------------------------------------------------

// "WxH" with both parts decimal, 1..9999.
std::optional<std::pair<int, int>> ParseSize(std::string_view text);
// Whole decimal number within [low, high].
std::optional<int> ParseInt(std::string_view text, int low, int high);
// The text in lower case: names (formats, controls, keywords) are taken
// whatever their case.
std::string Lower(std::string_view text);
// Lower-case extension including the dot ("" when none).
std::string Extension(std::string_view path);

// A command line split into options and positional arguments. Options are
// "--name VALUE", "--name=VALUE" or, for switches, "--name"; "--help"/"-h"
// are always recognised; "-" alone and anything not starting with "-" is
// positional. Any other option is a usage error naming it.
struct ParsedArgs {
  std::map<std::string, std::vector<std::string>, std::less<>> options;
  std::vector<std::string> positional;
  bool help = false;

  bool Has(std::string_view name) const { return options.find(name) != options.end(); }
  // The last value given for an option (options may repeat).
  std::optional<std::string> Last(std::string_view name) const;
  std::vector<std::string> All(std::string_view name) const;
};
ParsedArgs ParseArgs(std::span<const std::string_view> args, std::initializer_list<std::string_view> valued,
                     std::initializer_list<std::string_view> switches = {});

// The "--timeout SECONDS" option (1..600), or the default when not given; a
// usage error otherwise.
int TimeoutSeconds(const ParsedArgs& parsed, int default_seconds);

// A 32-bit registry number: decimal, or hexadecimal with 0x.
std::optional<uint32_t> ParseDword(std::string_view text);

}  // namespace dualcam::tools
