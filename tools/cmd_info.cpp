// `dualcam info`: what the driver offers and where its state lives: the
// capture pin's twelve formats, the data folder, the settings key, the
// snapshot file and the driver's last published status.
//
// Hard part: the status values are whatever the last driver left in the
// registry, possibly from a process that has since died; they are shown as
// read, with what they mean, and whether a capture runs is told by the
// data folder's camera lock, never by them; a running capture gives its own
// account through the control socket. The command brings up no driver, so
// it works beside a running capture.
#include <algorithm>
#include <cstdio>
#include <tuple>
#include <string>

#include "camera_access.h"
#include "command.h"
#include "driver/formats.h"
#include "home.h"
#include "host/bus/libusb_bus.h"
#include "host/kernel/registry.h"
#include "host/service/control_protocol.h"

namespace dualcam::tools {
namespace {

constexpr char kInfoHelp[] =
    "usage: dualcam info [--home DIR]\n"
    "       dualcam info --devices\n"
    "\n"
    "Prints the formats the capture pin offers, the data folder with the\n"
    "registry file and the settings key, the snapshot file, whether a capture\n"
    "is running on the data folder (and in which process; then also its format\n"
    "and the frames and packets it has had so far, asked through the folder's\n"
    "control socket), and the driver status the last driver published\n"
    "(DriverStatus, IsoMode, BulkMode).\n"
    "\n"
    "  --home DIR  data folder (default $DUALCAM_HOME, else ~/.local/share/dualcam)\n"
    "  --devices   instead: the cameras on the USB bus, with the --device names\n"
    "              that pick each for 'dualcam capture' (see docs/real-camera.md)\n";

const char* KindName(DWORD compression) {
  switch (compression) {
    case driver::kFourccI420: return "i420";
    case driver::kFourccVqj9: return "vqj9";
    default: return "rgb24";
  }
}

std::string StatusMeaning(std::optional<uint32_t> status, bool owned) {
  if (!status) return "not written yet: no camera has come up";
  switch (*status) {
    case 1: return "driver loaded";
    case 2: return "camera configured";
    case 3: return "camera initialized, no stream open";
    case 5:
      return owned ? "stream open"
                   : "stream open, left by a capture that ended without closing it; the next one starts afresh";
    case 7: return "stream closed";
    case 8: return "camera removed";
    default: return "unknown";
  }
}

// The running capture's own account, through its control socket. A capture
// that cannot be reached (starting, ending, or one that serves no socket)
// is said to be so; the rest of the report stands without it.
void PrintCaptureStatus(const DataHome& home) {
  std::optional<CaptureReply> reply;
  try {
    reply = AskRunningCapture(home, {host::service::Verb::kStatus, {}}, std::chrono::seconds(1));
  } catch (const ToolError& error) {
    std::printf("capture:        not reachable through its control socket (%s)\n", error.what());
    return;
  }
  if (!reply) return;  // it ended meanwhile
  std::printf("capture:        its status, through the control socket:\n");
  for (const std::string& line : reply->lines) {
    const auto fields = host::service::ParseFields(line);
    if (!fields) continue;
    const auto get = [&](const char* key) { return fields->Get(key).value_or("?"); };
    if (fields->head == "format")
      std::printf("  format:       %s %sx%s at %s fps\n", get("kind").c_str(), get("width").c_str(),
                  get("height").c_str(), get("fps").c_str());
    else if (fields->head == "frames")
      std::printf("  frames:       %s delivered, %s decoded, %s repeated, %s blank\n", get("delivered").c_str(),
                  get("decoded").c_str(), get("repeated").c_str(), get("blank").c_str());
    else if (fields->head == "packets")
      std::printf("  packets:      %s delivered, %s accepted, %s refused\n", get("delivered").c_str(),
                  get("accepted").c_str(), get("refused").c_str());
  }
}

std::string Number(std::optional<uint32_t> value) { return value ? std::to_string(*value) : "-"; }

// The cameras libusb finds: those with the camera's streaming interface.
int ListDevices() {
  std::string error;
  auto cameras = host::bus::LibusbBus::List(/*cameras_only=*/true, &error);
  std::sort(cameras.begin(), cameras.end(),
            [](const auto& a, const auto& b) { return std::tie(a.bus, a.ports) < std::tie(b.bus, b.ports); });
  if (!error.empty()) UsageError(error);
  if (cameras.empty()) {
    std::printf("no camera on the USB bus (none has the camera's streaming interface)\n");
    return kExitOk;
  }
  std::printf("cameras on the USB bus (--device):\n");
  for (const auto& camera : cameras) {
    std::string strings = camera.manufacturer;
    if (!camera.product.empty()) strings += (strings.empty() ? "" : " ") + camera.product;
    std::printf("  usb:%-10s usb:%s  %s\n", camera.Place().c_str(), camera.Ids().c_str(), strings.c_str());
  }
  return kExitOk;
}

}  // namespace

int RunInfo(std::span<const std::string_view> args) {
  const ParsedArgs parsed = ParseArgs(args, {"--home"}, {"--devices"});
  if (parsed.help) {
    std::fputs(kInfoHelp, stdout);
    return kExitOk;
  }
  if (!parsed.positional.empty()) UsageError("unexpected argument '" + parsed.positional[0] + "'");
  if (parsed.Has("--devices")) return ListDevices();
  const DataHome home = OpenHome(parsed.Last("--home"));

  std::printf("capture formats (--format, --size):\n");
  for (const KS_DATARANGE_VIDEO& range : driver::CaptureFormats) {
    const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
    const LONGLONG interval = range.VideoInfoHeader.AvgTimePerFrame;
    std::printf("  %-6s %4dx%-4d %7u bytes/frame  %.0f fps\n", KindName(bitmap.biCompression),
                static_cast<int>(bitmap.biWidth), static_cast<int>(bitmap.biHeight),
                static_cast<unsigned>(bitmap.biSizeImage), interval > 0 ? 1e7 / static_cast<double>(interval) : 0.0);
  }
  const auto registry_handle = OpenRegistry(home);
  host::Registry& registry = *registry_handle;
  const std::string_view key = host::kSettingsKeyPath;
  const auto status = registry.GetDword(key, "DriverStatus");
  const auto owner = CameraOwner(home);
  std::printf("\ndata folder:    %s\n", home.root.c_str());
  std::printf("registry file:  %s\n", home.RegistryFile().c_str());
  std::printf("settings key:   %.*s\n", static_cast<int>(key.size()), key.data());
  std::printf("snapshot file:  %s\n", home.SnapshotFile().c_str());
  if (owner) {
    std::printf("\ncamera:         a capture is running in process %d\n", static_cast<int>(*owner));
    PrintCaptureStatus(home);
  } else {
    std::printf("\ncamera:         free (no capture is running); the settings key as the last driver left it:\n");
  }
  std::printf("DriverStatus:   %s (%s)\n", Number(status).c_str(), StatusMeaning(status, owner.has_value()).c_str());
  std::printf("IsoMode:        %s\n", Number(registry.GetDword(key, "IsoMode")).c_str());
  std::printf("BulkMode:       %s\n", Number(registry.GetDword(key, "BulkMode")).c_str());
  return kExitOk;
}

}  // namespace dualcam::tools
