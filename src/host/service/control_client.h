// The control socket's client: asks the process that owns a data folder's
// camera to carry out one request, and brings back its reply.
//
// Hard part: telling "no camera runs here" from "a camera runs but cannot be
// reached", and never talking to an impostor. The camera lock answers the
// first question (a socket file alone proves nothing: its owner may have
// been killed). A holder that has not opened its socket yet (starting up) or
// has closed it already (shutting down) is asked again until the lock says
// otherwise or the start-up wait runs out. The process at the other end of
// the socket must be the lock's holder and of this process's user
// (SO_PEERCRED); anyone else gets no request.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "host/service/control_protocol.h"

namespace dualcam::host::service {

struct ClientOptions {
  // The whole exchange, from connecting to the end of the reply. A still
  // waits for the camera, so this is generous.
  std::chrono::milliseconds timeout{20000};
  // How long a lock holder without an open socket is waited for.
  std::chrono::milliseconds startup_wait{5000};
  // "busy" replies are retried within the timeout.
  std::chrono::milliseconds retry_interval{50};
};

struct Answer {
  enum class Outcome {
    kNoCamera,  // no process holds the folder's camera
    kReplied,   // the owner answered (reply may still be an error)
    kFailed,    // an owner exists but could not be asked; see error
  };
  Outcome outcome = Outcome::kNoCamera;
  pid_t holder = 0;  // the owner, when there is one
  Reply reply;
  std::string error;  // kFailed: why, with the system's reason
};

// One request to the camera of `folder`.
Answer AskCamera(const std::filesystem::path& folder, const Request& request, const ClientOptions& options = {});

}  // namespace dualcam::host::service
