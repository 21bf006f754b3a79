// The control socket's client (see control_client.h).
#include "host/service/control_client.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "host/service/camera_lock.h"
#include "host/service/unix_socket.h"

namespace dualcam::host::service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string Reason(int error) { return std::strerror(error); }

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 600'000));
}

// Waits until fd is ready for `events` or the deadline passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd polled{fd, events, 0};
    const int n = ::poll(&polled, 1, MillisecondsLeft(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

enum class Exchange { kDone, kAbsent, kBusy, kFailed };

// One connection: connect, check who answers, send, read to the end.
Exchange ExchangeOnce(int folder_fd, const std::filesystem::path& folder, pid_t holder, const std::string& request,
                      Clock::time_point deadline, Answer& answer) {
  const auto address = SocketAddressIn(folder_fd, folder, kControlSocketFile);
  if (!address) {
    answer.error = "the data folder's path is too long for a socket";
    return Exchange::kFailed;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    answer.error = "cannot create a socket: " + Reason(errno);
    return Exchange::kFailed;
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address->first), address->second) != 0) {
    // Not there yet, or not any more: the owner is starting or stopping.
    if (errno == ENOENT || errno == ECONNREFUSED) return Exchange::kAbsent;
    if (errno == EAGAIN) return Exchange::kBusy;  // the backlog is full
    answer.error = "cannot connect to " + (folder / kControlSocketFile).string() + ": " + Reason(errno);
    return Exchange::kFailed;
  }
  const auto peer = PeerOf(fd.get());
  if (!peer || peer->uid != ::geteuid() || (holder > 0 && peer->pid != holder)) {
    answer.error = (folder / kControlSocketFile).string() + " is not served by the camera's owner (process " +
                   std::to_string(holder) + ") as this user; nothing was sent";
    return Exchange::kFailed;
  }
  // A server that refuses at once ("busy", "refused") answers and closes
  // without reading: the send then fails, but its reply is there to read.
  int send_error = 0;
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd.get(), POLLOUT, deadline)) continue;
    send_error = n < 0 ? errno : EPIPE;
    break;
  }
  std::string received;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      received.append(buffer, static_cast<std::size_t>(n));
      if (received.size() > kMaxReplyBytes) break;
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    // A reset after the reply arrived ends it like a close.
    if (errno == ECONNRESET && !received.empty()) break;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd.get(), POLLIN, deadline)) continue;
    answer.error = errno == EAGAIN || errno == EWOULDBLOCK
                       ? "no reply from the camera's owner (process " + std::to_string(holder) + ") in time"
                   : send_error != 0 ? "cannot send the request: " + Reason(send_error)
                                     : "cannot read the reply: " + Reason(errno);
    return Exchange::kFailed;
  }
  std::string error;
  auto reply = ParseReply(received, &error);
  if (!reply) {
    answer.error = send_error != 0 ? "cannot send the request: " + Reason(send_error)
                                   : "bad reply from the camera's owner: " + error;
    return Exchange::kFailed;
  }
  if (reply->status == ReplyStatus::kBusy) return Exchange::kBusy;
  answer.reply = std::move(*reply);
  return Exchange::kDone;
}

}  // namespace

Answer AskCamera(const std::filesystem::path& folder, const Request& request, const ClientOptions& options) {
  Answer answer;
  const std::string line = FormatRequest(request);
  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = started + options.timeout;
  const Clock::time_point startup_deadline = started + options.startup_wait;
  UniqueFd folder_fd;
  for (;;) {
    const auto holder = CameraLock::Holder(folder);
    if (!holder) {
      answer.outcome = Answer::Outcome::kNoCamera;
      return answer;
    }
    answer.holder = *holder;
    if (!folder_fd) folder_fd = UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder_fd) {
      answer.outcome = Answer::Outcome::kFailed;
      answer.error = "cannot open the data folder " + folder.string() + ": " + Reason(errno);
      return answer;
    }
    const Exchange exchange = ExchangeOnce(folder_fd.get(), folder, *holder, line, deadline, answer);
    if (exchange == Exchange::kDone) {
      answer.outcome = Answer::Outcome::kReplied;
      return answer;
    }
    if (exchange == Exchange::kFailed) {
      answer.outcome = Answer::Outcome::kFailed;
      return answer;
    }
    const Clock::time_point now = Clock::now();
    if (exchange == Exchange::kAbsent && now >= startup_deadline) {
      answer.outcome = Answer::Outcome::kFailed;
      answer.error = "the camera is in use by process " + std::to_string(*holder) +
                     ", which does not take controls from other processes";
      return answer;
    }
    if (now >= deadline) {
      answer.outcome = Answer::Outcome::kFailed;
      answer.error = "the camera's owner (process " + std::to_string(*holder) + ") stayed busy";
      return answer;
    }
    std::this_thread::sleep_for(options.retry_interval);
  }
}

}  // namespace dualcam::host::service
