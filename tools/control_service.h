// What a process that owns a running camera answers on the data folder's
// control socket: the controls (through the driver's property sets, as
// `ctl` and `capture --set` apply them), the capture's status, a still
// (through the driver's snapshot mailbox, its own way of taking one for
// other software) and stop. `dualcam capture` serves it; any other owner of
// a camera (the GStreamer element) serves it with a few lines:
//
//   CaptureFigures figures;                       // updated as pictures arrive
//   ServedCapture served{home, *lock, session, {"i420", 352, 288, 30.0}, &figures,
//                        [] { /* end the capture as SIGTERM would */ }};
//   std::string why;
//   auto service = ServeCapture(std::move(served), &why);   // null: why says why
//   ... stream ...
//   service.reset();                              // before the stream stops
//
// Hard part: the handlers run on the server thread while the owner's thread
// reads pictures. Everything they touch is safe for that: property requests
// go through the stream class like an application's, the figures are
// atomics the capture thread publishes, and the registry is reached through
// a connection of the handler's own. The server must be started once the
// stream runs and destroyed before it stops, because starting and stopping
// a stream load and save the very settings a control request changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "home.h"
#include "host/classlib/camera_class_library.h"
#include "host/service/camera_lock.h"
#include "host/service/control_server.h"
#include "session.h"

namespace dualcam::tools {

// What the owner has delivered so far; written by its capture thread.
struct CaptureFigures {
  std::atomic<std::uint64_t> delivered{0}, decoded{0}, repeated{0}, blank{0};
  std::atomic<std::uint64_t> packets_delivered{0}, packets_accepted{0};
  // Copies the class library's packet counts (read on the capture thread).
  void PublishPackets(const host::StreamCounters& counters);
};

struct OpenFormat {
  std::string kind;  // rgb24, i420 or vqj9
  int width = 0, height = 0;
  double fps = 0;
};

struct ServedCapture {
  const DataHome& home;
  const host::service::CameraLock& lock;
  DriverSession& session;
  OpenFormat format;
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
