// The data folder every command shares: the registry file holding the
// driver's settings key, and the folder the kernel's "\SystemRoot" maps to,
// where the driver writes its snapshot file.
//
// Hard part: the first command on a fresh machine must work without any
// setup, and two commands may run the install step at once (a capture and a
// `reg set` started together). Every step of it is idempotent and keeps
// whatever is there already: folders are created if missing, the registry
// keys are created without touching their values.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace dualcam::host {
class Registry;
}

namespace dualcam::tools {

struct DataHome {
  std::filesystem::path root;

  std::filesystem::path RegistryFile() const { return root / "registry.db"; }
  // The kernel's file root: "\SystemRoot\..." is root/SystemRoot/...
  const std::filesystem::path& FileRoot() const { return root; }
  std::filesystem::path SnapshotFolder() const;
  std::filesystem::path SnapshotFile() const;
};

// --home when given, else $DUALCAM_HOME, else $XDG_DATA_HOME/dualcam, else
// $HOME/.local/share/dualcam. Throws ToolError when none can be found.
std::filesystem::path ResolveHome(const std::optional<std::string>& flag);

// The data folder's registry, or a ToolError with the reason: the system's
// for a file that cannot be opened, and for a file that is not a database,
// that it was kept and how to start afresh.
std::unique_ptr<host::Registry> OpenRegistry(const DataHome& home);

// The reason a registry write failed, in the system's words where it has
// them ("No space left on device").
std::string RegistryFailure(long status);

// Resolves the folder and runs the install step (folder, registry file with
// the settings key and the VfW key, snapshot folder). Throws ToolError with a
// one-line message when the folder or the registry cannot be set up.
DataHome OpenHome(const std::optional<std::string>& flag);

}  // namespace dualcam::tools
