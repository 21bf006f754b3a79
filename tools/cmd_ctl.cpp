// `dualcam ctl`: lists, reads and changes the image and camera controls
// through the driver's property sets, with a simulated camera brought up for
// the purpose; the driver keeps each change in the settings store, so the
// next capture starts with it.
//
// Hard part: bringing a camera up and down publishes DriverStatus and
// IsoMode in the shared settings key, so the command owns the data folder's
// camera for as long as its driver runs; while a capture owns it, the
// command is refused before it touches anything (camera_access.h).
#include <cstdio>
#include <string>

#include "camera_access.h"
#include "command.h"
#include "home.h"
#include "host/kernel/registry.h"
#include "session.h"

namespace dualcam::tools {
namespace {

constexpr char kCtlHelp[] =
    "usage: dualcam ctl list [--home DIR]\n"
    "       dualcam ctl get NAME... [--home DIR]\n"
    "       dualcam ctl set NAME=VALUE... [--home DIR]\n"
    "       dualcam ctl reset [NAME...] [--home DIR]\n"
    "\n"
    "The camera's controls, through the driver's property sets: 'list' shows\n"
    "each with its range, default and current value; 'set' changes them and\n"
    "the driver stores them in the settings key, where every later capture\n"
    "finds them; 'reset' puts the controls named (all when none is) back to\n"
    "their defaults, the same way. A capture already running keeps the values it started with\n"
    "(use 'dualcam capture --set' to start one with others).\n"
    "\n"
    "  NAME        brightness contrast hue saturation sharpness gamma\n"
    "              white_balance exposure\n"
    "  VALUE       a whole number in the control's range; 'auto' for\n"
    "              white_balance and exposure; 'default' for the default\n"
    "              (brightness 128, contrast 0, hue 0, saturation 40,\n"
    "              sharpness 2, gamma 0, white_balance 10 auto, exposure 10 auto)\n"
    "  --home DIR  data folder (default $DUALCAM_HOME, else ~/.local/share/dualcam)\n"
    "\n"
    "While a capture runs on the same data folder the camera is its own, and\n"
    "'ctl' is refused (\"the camera is in use by process N\").\n"
    "\n"
    "Exit status: 0 success; 1 unknown control, a value that is not a number or\n"
    "is out of range, the camera in use, or the driver refused the request.\n";

std::string Shown(const DriverSession::Reading& reading) {
  return reading.automatic ? std::to_string(reading.value) + " (auto)" : std::to_string(reading.value);
}

}  // namespace

int RunCtl(std::span<const std::string_view> args) {
  const ParsedArgs parsed = ParseArgs(args, {"--home"});
  if (parsed.help) {
    std::fputs(kCtlHelp, stdout);
    return kExitOk;
  }
  if (parsed.positional.empty()) UsageError("expected list, get, set or reset (see 'dualcam ctl --help')");
  const std::string& action = parsed.positional[0];
  const std::vector<std::string> operands(parsed.positional.begin() + 1, parsed.positional.end());
  // Every operand is checked before the driver starts.
  std::vector<const ControlDef*> reads;
  std::vector<ControlSetting> writes;
  if (action == "list") {
    if (!operands.empty()) UsageError("'list' takes no operands");
  } else if (action == "get") {
    if (operands.empty()) UsageError("usage: dualcam ctl get NAME...");
    for (const auto& name : operands) reads.push_back(&FindControl(name));
  } else if (action == "set") {
    if (operands.empty()) UsageError("usage: dualcam ctl set NAME=VALUE...");
    for (const auto& text : operands) writes.push_back(ParseControlSetting(text));
  } else if (action == "reset") {
    // Through the same path as "set NAME=default".
    if (operands.empty())
      for (const ControlDef& control : Controls()) writes.push_back(ParseControlSetting(std::string(control.name) + "=default"));
    for (const auto& name : operands) writes.push_back(ParseControlSetting(name + "=default"));
  } else {
    UsageError("unknown action '" + action + "' (list, get, set or reset)");
  }

  const DataHome home = OpenHome(parsed.Last("--home"));
  const auto camera = TakeCamera(home);
  {
    DriverSession session(home, /*realtime=*/false);
    if (action == "list") {
      for (const ControlDef& control : Controls()) {
        const auto reading = session.Read(control);
        std::printf("%-14s min=0 max=%-3d step=1 default=%-3d value=%-10s %.*s\n", std::string(control.name).c_str(),
                    static_cast<int>(control.maximum), static_cast<int>(control.default_value), Shown(reading).c_str(),
                    static_cast<int>(control.meaning.size()), control.meaning.data());
      }
    } else if (action == "get") {
      for (const ControlDef* control : reads)
        std::printf("%s: %s\n", std::string(control->name).c_str(), Shown(session.Read(*control)).c_str());
    } else {
      for (const ControlSetting& setting : writes) session.Apply(setting);
    }
  }
  return kExitOk;
}

}  // namespace dualcam::tools
