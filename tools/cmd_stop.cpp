// `dualcam stop`: ends the capture running on a data folder, as Ctrl-C or
// SIGTERM in its own terminal would (its outputs finished, the camera taken
// down in order, exit status 143), and waits until it has let the camera go.
//
// Hard part: "ended" means the camera is free again, which is later than the
// capture's reply: it closes the stream, finishes its outputs and waits for
// the driver's removal after answering. The command watches the camera lock
// until its holder lets go (or another process has taken it since).
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "camera_access.h"
#include "command.h"
#include "home.h"
#include "host/service/control_client.h"

namespace dualcam::tools {
namespace {

constexpr char kStopHelp[] =
    "usage: dualcam stop [--timeout SECONDS] [--home DIR]\n"
    "\n"
    "Ends the capture running on the data folder as SIGTERM would: it stops\n"
    "streaming, finishes its outputs, takes the camera down and exits with\n"
    "status 143. Waits until the camera is free.\n"
    "\n"
    "  --timeout SECONDS  how long to wait for the capture to end (default 30, 1..600)\n"
    "  --home DIR         data folder (default $DUALCAM_HOME, else ~/.local/share/dualcam)\n"
    "\n"
    "Exit status: 0 the capture has ended; 1 no capture is running, it could not\n"
    "be reached, or it did not end in time.\n";

constexpr auto kWatchInterval = std::chrono::milliseconds(50);

}  // namespace

int RunStop(std::span<const std::string_view> args) {
  const ParsedArgs parsed = ParseArgs(args, {"--timeout", "--home"});
  if (parsed.help) {
    std::fputs(kStopHelp, stdout);
    return kExitOk;
  }
  if (!parsed.positional.empty()) UsageError("unexpected argument '" + parsed.positional[0] + "'");
  const int timeout_seconds = TimeoutSeconds(parsed, 30);
  const DataHome home = OpenHome(parsed.Last("--home"));

  using host::service::Answer;
  const Answer answer = host::service::AskCamera(home.root, {host::service::Verb::kStop, {}});
  if (answer.outcome == Answer::Outcome::kNoCamera)
    UsageError("no capture is running in " + home.root.string());
  if (answer.outcome == Answer::Outcome::kFailed) UsageError(answer.error);
  if (!answer.reply.ok()) UsageError("the capture in process " + std::to_string(answer.holder) +
                                     " refused to stop: " + answer.reply.message);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (CameraOwner(home) == answer.holder) {
    if (std::chrono::steady_clock::now() >= deadline)
      UsageError("the capture in process " + std::to_string(answer.holder) + " did not end within " +
                 std::to_string(timeout_seconds) + " s");
    std::this_thread::sleep_for(kWatchInterval);
  }
  std::printf("stopped the capture in process %d\n", static_cast<int>(answer.holder));
  return kExitOk;
}

}  // namespace dualcam::tools
