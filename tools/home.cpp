// The data folder and its install step (see home.h).
#include "home.h"

#include <cstdlib>
#include <system_error>

#include "command.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/registry.h"

namespace dualcam::tools {

namespace fs = std::filesystem;

fs::path DataHome::SnapshotFolder() const { return root / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730"; }

fs::path DataHome::SnapshotFile() const { return SnapshotFolder() / "snapraw.dat"; }

fs::path ResolveHome(const std::optional<std::string>& flag) {
  if (flag) {
    if (flag->empty()) UsageError("--home needs a folder");
    return fs::path(*flag);
  }
  auto env = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  };
  if (auto home = env("DUALCAM_HOME")) return fs::path(*home);
  // Per the XDG base directory rules a relative value is ignored.
  if (auto xdg = env("XDG_DATA_HOME"); xdg && fs::path(*xdg).is_absolute()) return fs::path(*xdg) / "dualcam";
  if (auto home = env("HOME")) return fs::path(*home) / ".local" / "share" / "dualcam";
  UsageError("no data folder: set DUALCAM_HOME or HOME, or pass --home");
}

DataHome OpenHome(const std::optional<std::string>& flag) {
  DataHome home{ResolveHome(flag)};
  std::error_code ec;
  fs::create_directories(home.SnapshotFolder(), ec);
  if (ec) UsageError("cannot create the data folder " + home.root.string() + ": " + ec.message());
  fs::create_directories(home.root / "C", ec);
  try {
    host::Registry registry(home.RegistryFile());
    if (host::InstallSettingsKey(registry) != STATUS_SUCCESS || host::InstallVfwKey(registry) != STATUS_SUCCESS)
      UsageError("cannot create the settings key in " + home.RegistryFile().string());
  } catch (const std::runtime_error& error) {
    if (dynamic_cast<const ToolError*>(&error) != nullptr) throw;
    UsageError("cannot open the registry " + home.RegistryFile().string() + ": " + error.what());
  }
  return home;
}

}  // namespace dualcam::tools
