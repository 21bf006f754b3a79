// `dualcam reg`: lists, reads, writes and deletes values of the driver's
// settings key, the store of the image settings and the mailbox through
// which other programs talk to a running driver.
//
// Hard part: a capture may be running in another process and writing the
// same key. Each read and write is one transaction of the shared registry
// file (see host/registry.h), so this command never sees or leaves half a
// value, and it never holds the file longer than one call.
#include <cstdio>
#include <string>

#include "command.h"
#include "home.h"
#include "host/kernel/registry.h"

namespace dualcam::tools {
namespace {

constexpr char kRegHelp[] =
    "usage: dualcam reg list [--home DIR]\n"
    "       dualcam reg get NAME [--home DIR]\n"
    "       dualcam reg set NAME VALUE [--string] [--home DIR]\n"
    "       dualcam reg delete NAME [--home DIR]\n"
    "\n"
    "Reads and writes values of the driver's settings key. The driver keeps\n"
    "the image settings there (Brightness, Contrast, Gamma, ...), its status\n"
    "(DriverStatus, IsoMode, BulkMode) and the still mailbox (SnapShoot,\n"
    "SnapShot, TimerTrigger). Safe while a capture runs in another process:\n"
    "a running driver reads the mailbox about every half second; settings are\n"
    "read when a camera comes up.\n"
    "\n"
    "  VALUE       a 32-bit number, decimal or 0x-hex (stored as REG_DWORD)\n"
    "  --string    store VALUE as text (REG_SZ) instead\n"
    "  --home DIR  data folder (default $DUALCAM_HOME, else ~/.local/share/dualcam)\n"
    "\n"
    "'get' prints the value alone (decimal for a number), for scripts.\n"
    "Exit status: 0 success; 1 usage error, missing value or unusable registry.\n";

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

const char* TypeName(ULONG type) {
  switch (type) {
    case REG_DWORD: return "REG_DWORD";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    default: return "REG_OTHER";
  }
}

// The value as a user reads it; a REG_DWORD of the wrong length is shown as
// bytes, not as a number.
std::string Show(const host::RegistryValue& value, bool with_hex) {
  if (auto number = value.AsDword()) {
    std::string text = std::to_string(*number);
    if (with_hex) {
      char hex[16];
      std::snprintf(hex, sizeof hex, " (0x%x)", *number);
      text += hex;
    }
    return text;
  }
  if (auto text = value.AsString()) return *text;
  return Hex(value.Data);
}

}  // namespace

int RunReg(std::span<const std::string_view> args) {
  const ParsedArgs parsed = ParseArgs(args, {"--home"}, {"--string"});
  if (parsed.help) {
    std::fputs(kRegHelp, stdout);
    return kExitOk;
  }
  if (parsed.positional.empty()) UsageError("expected list, get, set or delete (see 'dualcam reg --help')");
  const std::string& action = parsed.positional[0];
  const std::size_t operands = parsed.positional.size() - 1;
  auto expect = [&](std::size_t count, const char* shape) {
    if (operands != count) UsageError("usage: dualcam reg " + action + shape);
  };
  if (action == "list") expect(0, "");
  else if (action == "get" || action == "delete") expect(1, " NAME");
  else if (action == "set") expect(2, " NAME VALUE");
  else UsageError("unknown action '" + action + "' (list, get, set or delete)");
  if (parsed.Has("--string") && action != "set") UsageError("--string goes with 'set'");

  const DataHome home = OpenHome(parsed.Last("--home"));
  const auto registry_handle = OpenRegistry(home);
  host::Registry& registry = *registry_handle;
  const std::string_view key = host::kSettingsKeyPath;

  if (action == "list") {
    const auto values = registry.ListValues(key);
    if (values.empty()) {
      std::printf("(no values yet: the driver writes them when a camera comes up)\n");
      return kExitOk;
    }
    std::size_t width = 0;
    for (const auto& named : values) width = std::max(width, named.Name.size());
    for (const auto& named : values)
      std::printf("%-*s  %-9s  %s\n", static_cast<int>(width), named.Name.c_str(), TypeName(named.Value.Type),
                  Show(named.Value, true).c_str());
    return kExitOk;
  }
  const std::string& name = parsed.positional[1];
  if (name.empty()) UsageError("the value name is empty");
  if (action == "get") {
    const auto value = registry.GetValue(key, name);
    if (!value) UsageError("no value '" + name + "' in the settings key");
    std::printf("%s\n", Show(*value, false).c_str());
    return kExitOk;
  }
  if (action == "delete") {
    if (!registry.GetValue(key, name)) UsageError("no value '" + name + "' in the settings key");
    if (const NTSTATUS status = registry.DeleteValue(key, name); status != STATUS_SUCCESS)
      UsageError("cannot delete '" + name + "': " + RegistryFailure(status));
    return kExitOk;
  }
  const std::string& text = parsed.positional[2];
  NTSTATUS status;
  if (parsed.Has("--string")) {
    status = registry.SetString(key, name, text);
  } else {
    const auto number = ParseDword(text);
    if (!number) UsageError("'" + text + "' is not a 32-bit number (use --string for text)");
    status = registry.SetDword(key, name, *number);
  }
  if (status != STATUS_SUCCESS)
    UsageError("cannot write '" + name + "' into " + home.RegistryFile().string() + ": " + RegistryFailure(status));
  return kExitOk;
}

}  // namespace dualcam::tools
