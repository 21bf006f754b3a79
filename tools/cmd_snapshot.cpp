// `dualcam snapshot`: asks a capture running in another process for a
// still picture through the registry mailbox of the settings key, waits
// for the driver's answer, and saves the snapshot file it wrote and a PNG
// of the still.
//
// Hard part: the only link to the running driver is the shared registry,
// whose status values may be left over from a capture whose process died.
// Whether a capture runs is therefore asked of the data folder's camera
// lock, which dies with its process, before asking and while waiting, with
// a deadline for a capture that lives but does not answer. A request that
// times out is withdrawn so that a later capture does not take a still
// nobody waits for; a result is accepted ("SnapShot" 0) only after the file
// has been copied, because the driver writes the next still over the same
// file once it sees that.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "camera_access.h"
#include "command.h"
#include "home.h"
#include "host/kernel/registry.h"
#include "image_io.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "render_io.h"
#include "snapshot_file.h"

namespace dualcam::tools {
namespace {

namespace fs = std::filesystem;

constexpr char kSnapshotHelp[] =
    "usage: dualcam snapshot [OUTPUT.png] [--raw FILE] [--timeout SECONDS] [--home DIR]\n"
    "\n"
    "Asks the capture running in another process (dualcam capture, same data\n"
    "folder) for a still picture through the settings key's mailbox\n"
    "(\"SnapShoot\" = 1), waits for the driver's result (\"SnapShot\"), copies the\n"
    "snapshot file it wrote and renders the 640x480 still to a PNG.\n"
    "\n"
    "  OUTPUT.png         the still as a picture (default snapshot.png)\n"
    "  --raw FILE         where to copy the snapshot file (default: OUTPUT with .dat);\n"
    "                     'dualcam decode FILE still.png' renders it again\n"
    "  --timeout SECONDS  how long to wait for the driver (default 10, 1..600)\n"
    "  --home DIR         data folder (default $DUALCAM_HOME, else ~/.local/share/dualcam)\n"
    "\n"
    "Exit status: 0 saved; 1 no capture running, no answer in time, or an I/O\n"
    "error; 2 the driver reported that the still failed, or it cannot be decoded.\n";

constexpr auto kPollInterval = std::chrono::milliseconds(50);

}  // namespace

int RunSnapshot(std::span<const std::string_view> args) {
  const ParsedArgs parsed = ParseArgs(args, {"--raw", "--timeout", "--home"});
  if (parsed.help) {
    std::fputs(kSnapshotHelp, stdout);
    return kExitOk;
  }
  if (parsed.positional.size() > 1) UsageError("expected at most one OUTPUT (see 'dualcam snapshot --help')");
  const fs::path output = parsed.positional.empty() ? fs::path("snapshot.png") : fs::path(parsed.positional[0]);
  if (Extension(output.string()) != ".png") UsageError("OUTPUT must end in .png");
  fs::path raw_copy = output;
  raw_copy.replace_extension(".dat");
  if (auto raw = parsed.Last("--raw")) raw_copy = *raw;
  const int timeout_seconds = TimeoutSeconds(parsed, 10);

  const DataHome home = OpenHome(parsed.Last("--home"));
  const auto registry_handle = OpenRegistry(home);
  host::Registry& registry = *registry_handle;
  const std::string_view key = host::kSettingsKeyPath;
  // A capture runs while a process owns the camera and its stream is open.
  auto streaming = [&] {
    return CameraOwner(home).has_value() && registry.GetDword(key, "DriverStatus") == 5u &&
           registry.GetDword(key, "IsoMode") == 1u;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  // A capture that has just started opens its stream within moments.
  while (!streaming()) {
    const auto owner = CameraOwner(home);
    if (!owner) UsageError("no capture is running in " + home.root.string() + " (start 'dualcam capture' first)");
    if (std::chrono::steady_clock::now() >= deadline)
      UsageError("the camera's owner (process " + std::to_string(*owner) + ") opened no stream within " +
                 std::to_string(timeout_seconds) + " s");
    std::this_thread::sleep_for(kPollInterval);
  }

  // Clear any old result first: the driver only saves a still while
  // "SnapShot" reads 0.
  NTSTATUS status = registry.SetDword(key, "SnapShot", 0);
  if (status == STATUS_SUCCESS) status = registry.SetDword(key, "SnapShoot", 1);
  if (status != STATUS_SUCCESS)
    UsageError("cannot write the still request into " + home.RegistryFile().string() + ": " + RegistryFailure(status));

  std::optional<uint32_t> result;
  for (;;) {
    // The driver posts the result, then clears the request.
    result = registry.GetDword(key, "SnapShot");
    if (result && *result != 0 && registry.GetDword(key, "SnapShoot") == 0u) break;
    if (!streaming()) {
      registry.SetDword(key, "SnapShoot", 0);
      UsageError("the capture ended before the still was taken");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      registry.SetDword(key, "SnapShoot", 0);
      UsageError("no answer from the driver within " + std::to_string(timeout_seconds) +
                 " s; is the capture still running? (request withdrawn)");
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  if (*result != 1) {
    registry.SetDword(key, "SnapShot", 0);
    throw ToolError(kExitCorrupt, "the driver could not take the still (SnapShot = " + std::to_string(*result) + ")");
  }

  std::vector<uint8_t> file;
  try {
    file = ReadWholeFile(home.SnapshotFile(), 1u << 20);
  } catch (const ToolError&) {
    registry.SetDword(key, "SnapShot", 0);
    throw;
  }
  registry.SetDword(key, "SnapShot", 0);  // accepted: the driver may take the next still

  const auto still = SnapshotToRawFrame(file);
  if (!still) throw ToolError(kExitCorrupt, "the snapshot file is incomplete (" + std::to_string(file.size()) + " bytes)");
  WriteWholeFile(raw_copy, file);
  const int gamma = still->gamma < pipeline::kToneCurveCount ? still->gamma : 0;
  const auto picture = RenderRawFrame(still->raw_frame, kStillWidth, kStillHeight, false, pipeline::kMaxQualityIndex, gamma);
  if (!picture) throw ToolError(kExitCorrupt, "the still in the snapshot file cannot be decoded (raw copy kept in " + raw_copy.string() + ")");
  WriteWholeFile(output, EncodePng(DriverBufferToRgb(*picture, kStillWidth, kStillHeight, false)));
  std::printf("saved %s (640x480) and %s\n", output.c_str(), raw_copy.c_str());
  return kExitOk;
}

}  // namespace dualcam::tools
