// What a process that owns a running camera answers on the data folder's
// control socket: the controls (through the driver's property sets, as
// `ctl` and `capture --set` apply them), the capture's status, a still
// (through the driver's snapshot mailbox, its own way of taking one for
// other software) and stop. `dualcam capture` serves it, and so does the
// GStreamer element; any owner of a camera does with a few lines:
//
//   CaptureFigures figures;                     // the owner's thread updates it
//   figures.SetFormat({"i420", 352, 288, 30.0});
//   std::string why;
//   auto service = ServeCapture({home, *lock, ControlAccess::Of(session), &figures,
//                                [] { /* end the capture as SIGTERM would */ }}, &why);
//   // null: why says why; the capture goes on without it
//
// Hard part: the handlers run on the server thread while the owner's thread
// reads pictures. Everything they touch must be safe for that: the figures
// are atomics the owner's thread publishes, the registry is reached through
// a connection of the handler's own, and the controls go through the
// owner's ControlAccess. DriverSession's own (ControlAccess::Of) sends
// property requests through the stream class as an application's arrive,
// which is safe beside a running stream but not beside its start or stop
// (they load and save the very settings a request changes): such an owner
// starts serving once its stream runs and stops before the stream does. An
// owner that serialises its calls into the camera itself (the GStreamer
// element) passes accessors that take its lock and may serve throughout.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "home.h"
#include "host/classlib/camera_class_library.h"
#include "host/service/camera_lock.h"
#include "host/service/control_server.h"
#include "session.h"

namespace dualcam::tools {

// What the owner has delivered so far; written by its capture thread.
struct OpenFormat {
  std::string kind;  // rgb24, i420 or vqj9
  int width = 0, height = 0;
  double fps = 0;
};

class CaptureFigures {
 public:
  std::atomic<std::uint64_t> delivered{0}, decoded{0}, repeated{0}, blank{0};
  std::atomic<std::uint64_t> packets_delivered{0}, packets_accepted{0};
  // Copies the class library's packet counts (read on the capture thread).
  void PublishPackets(const host::StreamCounters& counters);
  // The format the stream runs in (none: it does not run).
  void SetFormat(std::optional<OpenFormat> format);
  std::optional<OpenFormat> Format() const;

 private:
  mutable std::mutex mutex_;
  std::optional<OpenFormat> format_;
};

// How the handlers reach the camera's controls.
struct ControlAccess {
  std::function<DriverSession::Reading(const ControlDef&)> read;
  std::function<void(const ControlSetting&)> apply;  // throws ToolError when refused
  // The session's own property requests.
  static ControlAccess Of(DriverSession& session);
};

struct ServedCapture {
  const DataHome& home;
  const host::service::CameraLock& lock;
  ControlAccess controls;
  const CaptureFigures* figures = nullptr;
  // Ends the capture as SIGTERM would; called on the server thread.
  std::function<void()> stop;
  // True once the capture is ending (a still stops waiting then).
  std::function<bool()> ending = [] { return false; };
};

// Starts serving. Null, with *why set, when the socket cannot be served (a
// folder writable by every user, a foreign file under the socket's name);
// the capture goes on without it.
std::unique_ptr<host::service::ControlServer> ServeCapture(ServedCapture served, std::string* why);

}  // namespace dualcam::tools
