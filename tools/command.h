// The `dualcam` command's subcommand table and the small vocabulary every
// subcommand shares: exit statuses, the error type that carries one, and
// option parsing helpers.
//
// Exit statuses are a contract scripts and tests rely on: 0 success, 1 usage
// or I/O error, 2 the input picture is corrupt or truncated.
#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

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

// --- option helpers --------------------------------------------------------

// "WxH" with both parts decimal, 1..9999.
std::optional<std::pair<int, int>> ParseSize(std::string_view text);
// Whole decimal number within [low, high].
std::optional<int> ParseInt(std::string_view text, int low, int high);
// Lower-case extension including the dot ("" when none).
std::string Extension(std::string_view path);

}  // namespace dualcam::tools
