// Who has the camera of a data folder, decided in one place for every
// command. A data folder is one camera: a command that brings up a driver
// session on it (capture, ctl) must own it for as long as the session
// lives; the others (info, snapshot) only ask who owns it.
//
// Hard part: the answer must come from something that dies with its owner.
// The registry's status values outlive a process that was killed, so they
// say what the last driver published, never whether it still runs; the
// data folder's lock (host/service/camera_lock.h) goes away with its
// process however it ends. Commands that reach a running owner instead of
// refusing (ctl, info, stop) ask it through its control socket here.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "home.h"
#include "host/service/camera_lock.h"
#include "host/service/control_protocol.h"

namespace dualcam::tools {

struct CameraAccess {
  std::unique_ptr<host::service::CameraLock> lock;  // held: this process owns the camera
  pid_t holder = 0;                                 // refused: the owner (0 if unknown)
  bool Owned() const { return lock != nullptr; }
};

// Tries to take the camera without waiting. Throws ToolError when the lock
// file cannot be used at all (with the system's reason).
CameraAccess TryTakeCamera(const DataHome& home);

// Takes the camera, or throws ToolError "the camera is in use by process N".
std::unique_ptr<host::service::CameraLock> TakeCamera(const DataHome& home);

// The process that owns the camera (a running capture), or nothing.
std::optional<pid_t> CameraOwner(const DataHome& home);

// What the capture running on the data folder answered through its control
// socket (host/service/control_client.h): the reply's body lines.
struct CaptureReply {
  pid_t owner = 0;
  std::vector<std::string> lines;
};
// Nothing when no capture runs. Throws ToolError when one runs but cannot
// be reached (its owner does not serve the socket, or not in `startup_wait`)
// or refuses the request (with its reason).
std::optional<CaptureReply> AskRunningCapture(const DataHome& home, const host::service::Request& request,
                                              std::chrono::milliseconds startup_wait = std::chrono::seconds(5));

}  // namespace dualcam::tools
