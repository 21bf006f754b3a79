// `dualcam ctl`: lists, reads and changes the image and camera controls
// through the driver's property sets. While a capture runs on the data
// folder the request goes to it through the control socket and the change
// shows in its next pictures; otherwise a simulated camera is brought up for
// the purpose. Either way the driver keeps each change in the settings
// store, so the next capture starts with it.
//
// Hard part: the camera belongs to one process at a time. Bringing a camera
// up and down publishes DriverStatus and IsoMode in the shared settings key,
// so without a capture the command owns the camera for as long as its
// driver runs; and a capture may start between the question "is one
// running?" and the taking of the camera, in which case it is asked after
// all (camera_access.h).
#include <cstdio>
#include <string>

#include "camera_access.h"
#include "command.h"
#include "home.h"
#include "host/service/control_protocol.h"
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
    "their defaults, the same way. While a capture runs on the data folder the\n"
    "request goes to it (through the folder's control socket) and shows in its\n"
    "next pictures: 'set' and 'reset' then say \"applied to the running capture\",\n"
    "otherwise \"stored for the next capture\".\n"
    "\n"
    "  NAME        brightness contrast hue saturation sharpness gamma\n"
    "              white_balance exposure\n"
    "  VALUE       a whole number in the control's range; 'auto' for\n"
    "              white_balance and exposure; 'default' for the default\n"
    "              (brightness 128, contrast 0, hue 0, saturation 40,\n"
    "              sharpness 2, gamma 0, white_balance 10 auto, exposure 10 auto)\n"
    "  --home DIR  data folder (default $DUALCAM_HOME, else ~/.local/share/dualcam)\n"
    "\n"
    "Exit status: 0 success; 1 unknown control, a value that is not a number or\n"
    "is out of range, a running capture that cannot be reached, or the driver\n"
    "refused the request.\n";

std::string Shown(const DriverSession::Reading& reading) {
  return reading.automatic ? std::to_string(reading.value) + " (auto)" : std::to_string(reading.value);
}

void PrintListLine(std::string_view name, LONG maximum, LONG default_value, const DriverSession::Reading& reading) {
  std::string_view meaning;
  for (const ControlDef& control : Controls())
    if (control.name == name) meaning = control.meaning;
  std::printf("%-14.*s min=0 max=%-3d step=1 default=%-3d value=%-10s %.*s\n", static_cast<int>(name.size()),
              name.data(), static_cast<int>(maximum), static_cast<int>(default_value), Shown(reading).c_str(),
              static_cast<int>(meaning.size()), meaning.data());
}

// Prints what the running capture answered, as the local path prints it.
void PrintFromCapture(const std::string& action, const CaptureReply& reply) {
  if (action == "set" || action == "reset") {
    std::printf("applied to the running capture (process %d)\n", static_cast<int>(reply.owner));
    return;
  }
  for (const std::string& line : reply.lines) {
    const auto fields = host::service::ParseFields(line);
    const auto value = fields ? fields->Number("value", 0, 0xFFFF) : std::nullopt;
    if (!value) UsageError("the running capture answered something else than a control: '" + line + "'");
    const DriverSession::Reading reading{static_cast<LONG>(*value), fields->Get("mode") == "auto"};
    if (action == "get") {
      std::printf("%s: %s\n", fields->head.c_str(), Shown(reading).c_str());
    } else {
      PrintListLine(fields->head, static_cast<LONG>(fields->Number("max", 0, 0xFFFF).value_or(0)),
                    static_cast<LONG>(fields->Number("default", 0, 0xFFFF).value_or(0)), reading);
    }
  }
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
  host::service::Request request;
  if (action == "list") {
    if (!operands.empty()) UsageError("'list' takes no operands");
    request.verb = host::service::Verb::kList;
  } else if (action == "get") {
    if (operands.empty()) UsageError("usage: dualcam ctl get NAME...");
    for (const auto& name : operands) reads.push_back(&FindControl(name));
    request.verb = host::service::Verb::kGet;
  } else if (action == "set") {
    if (operands.empty()) UsageError("usage: dualcam ctl set NAME=VALUE...");
    for (const auto& text : operands) writes.push_back(ParseControlSetting(text));
    request.verb = host::service::Verb::kSet;
  } else if (action == "reset") {
    // Through the same path as "set NAME=default".
    if (operands.empty())
      for (const ControlDef& control : Controls()) writes.push_back(ParseControlSetting(std::string(control.name) + "=default"));
    for (const auto& name : operands) writes.push_back(ParseControlSetting(name + "=default"));
    request.verb = host::service::Verb::kReset;
  } else {
    UsageError("unknown action '" + action + "' (list, get, set or reset)");
  }
  request.words = operands;

  const DataHome home = OpenHome(parsed.Last("--home"));
  if (const auto reply = AskRunningCapture(home, request)) {
    PrintFromCapture(action, *reply);
    return kExitOk;
  }
  CameraAccess camera = TryTakeCamera(home);
  if (!camera.Owned()) {
    // A capture took the camera since it was asked: it is asked now.
    if (const auto reply = AskRunningCapture(home, request)) {
      PrintFromCapture(action, *reply);
      return kExitOk;
    }
    UsageError(host::service::CameraInUseMessage(camera.holder));
  }
  {
    DriverSession session(home, /*realtime=*/false);
    if (action == "list") {
      for (const ControlDef& control : Controls())
        PrintListLine(control.name, control.maximum, control.default_value, session.Read(control));
    } else if (action == "get") {
      for (const ControlDef* control : reads)
        std::printf("%s: %s\n", std::string(control->name).c_str(), Shown(session.Read(*control)).c_str());
    } else {
      for (const ControlSetting& setting : writes) session.Apply(setting);
    }
  }
  if (!writes.empty()) std::printf("stored for the next capture\n");
  return kExitOk;
}

}  // namespace dualcam::tools
