// The data folder and its install step (see home.h).
#include "home.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

std::string RegistryFailure(long status) {
  switch (static_cast<NTSTATUS>(status)) {
    case STATUS_DISK_FULL: return std::strerror(ENOSPC);
    case STATUS_IO_TIMEOUT: return "the registry file stayed locked by another process";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "the settings key is missing";
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "the registry refused it (status 0x%08X)", static_cast<unsigned>(status));
      return text;
    }
  }
}

std::unique_ptr<host::Registry> OpenRegistry(const DataHome& home) {
  const fs::path file = home.RegistryFile();
  try {
    return std::make_unique<host::Registry>(file);
  } catch (const host::RegistryOpenError& error) {
    // Never replaced here: the settings in it may be someone's only copy.
    if (error.NotADatabase())
      UsageError("the registry file " + file.string() +
                 " is not a database; it was left as it is (to start afresh, move it aside: mv '" + file.string() +
                 "' '" + file.string() + ".old')");
    UsageError(std::string(error.what()));
  }
}

DataHome OpenHome(const std::optional<std::string>& flag) {
  DataHome home{ResolveHome(flag)};
  std::error_code ec;
  fs::create_directories(home.SnapshotFolder(), ec);
  if (ec) UsageError("cannot create the data folder " + home.root.string() + ": " + ec.message());
  fs::create_directories(home.root / "C", ec);
  std::unique_ptr<host::Registry> registry = OpenRegistry(home);
  NTSTATUS status = host::InstallSettingsKey(*registry);
  if (status == STATUS_SUCCESS) status = host::InstallVfwKey(*registry);
  if (status != STATUS_SUCCESS)
    UsageError("cannot create the settings key in " + home.RegistryFile().string() + ": " + RegistryFailure(status));
  return home;
}

}  // namespace dualcam::tools
