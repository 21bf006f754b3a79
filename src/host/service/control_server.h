// The control socket's server: the process that owns a data folder's camera
// answers other processes' requests on "control.sock" in that folder, on a
// thread of its own, while its capture runs.
//
// Hard part: nothing a client does may reach the frame path, and only the
// owner's user may be served. The server runs on its own thread and reads
// with deadlines: a client that stalls is dropped, one that sends too much
// or garbage gets an error reply and is closed, one killed mid-request costs
// nothing. Several clients may be connected at once (up to max_clients; more
// are told "busy"), so a silent one does not hold up the others while its
// deadline runs; their requests are answered one at a time, in the order
// they arrive, because each becomes a property request to one camera and the
// driver takes those one after another anyway. The socket file is created
// only by the camera lock's holder: bound under a temporary name, made 0600,
// listening, and only then renamed over "control.sock", so the name never
// shows a socket with looser rights or one that refuses connections, and a
// stale socket of a killed owner is replaced in the same step. The folder
// must not be writable by every user (anyone could swap the socket), and
// each client's credentials (SO_PEERCRED) must show the server's own uid.
//
// The owner's handler runs on the server thread. It must carry each control
// request into the driver as an application's property request would go
// (the capture-application API), and it may block (a still waits for the
// camera); requests of other clients wait meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/service/camera_lock.h"
#include "host/service/control_protocol.h"

namespace dualcam::host::service {

using RequestHandler = std::function<Reply(const Request&)>;

struct ServerOptions {
  // A client must have sent its whole request this long after connecting,
  // and have taken its reply this long after it was ready.
  std::chrono::milliseconds stall_timeout{5000};
  // Connections served at once; one more is answered "busy" and closed.
  unsigned max_clients = 16;
};

// What the server has seen, for tests and diagnostics.
struct ServerCounts {
  std::uint64_t connections = 0;
  std::uint64_t answered = 0;   // requests handed to the handler
  std::uint64_t malformed = 0;  // error replies to unparsable requests
  std::uint64_t refused = 0;    // clients of another user
  std::uint64_t busy = 0;
  std::uint64_t timed_out = 0;
  std::uint64_t vanished = 0;   // clients gone before their reply was sent
};

class ControlServer {
 public:
  struct Started {
    std::unique_ptr<ControlServer> server;
    std::error_code error;  // with `what`, when the server could not start
    std::string what;
  };
  // Serves requests on "control.sock" in the folder of `lock` until the
  // server is destroyed. Holding the lock is what entitles this process to
  // create the socket. The handler is called on the server thread.
  static Started Start(const CameraLock& lock, RequestHandler handler, ServerOptions options = {});

  // Stops the thread (a request being handled is finished first) and
  // removes the socket file, unless another file has taken its name.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  const std::filesystem::path& SocketPath() const { return path_; }
  ServerCounts Counts() const;

 private:
  struct Client;
  ControlServer() = default;
  void Run();
  // Takes every waiting connection; false when the process is out of
  // descriptors (accepting pauses briefly).
  bool Accept();
  void Receive(Client& client);
  void Answer(Client& client);
  void Send(Client& client);

  std::filesystem::path path_;
  int folder_fd_ = -1;  // the data folder, where the socket file is removed again
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: the destructor's stop signal
  dev_t device_ = 0;
  ino_t inode_ = 0;
  RequestHandler handler_;
  ServerOptions options_;
  std::vector<std::unique_ptr<Client>> clients_;  // the server thread's alone
  std::thread thread_;
  struct AtomicCounts {
    std::atomic<std::uint64_t> connections{0}, answered{0}, malformed{0}, refused{0}, busy{0}, timed_out{0},
        vanished{0};
  } counts_;
};

}  // namespace dualcam::host::service
