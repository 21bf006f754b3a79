// The control socket's server (see control_server.h).
#include "host/service/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "host/service/unix_socket.h"

namespace dualcam::host::service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long accepting pauses when the process is out of descriptors: the
// listening socket stays readable, and polling it again at once would spin.
constexpr milliseconds kAcceptPause{100};
// Unread bytes drained before a close, so that the client reads its reply
// rather than a reset.
constexpr std::size_t kDrainBytes = 64 * 1024;

void Drain(int fd) {
  char sink[4096];
  for (std::size_t drained = 0; drained < kDrainBytes;) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n <= 0) return;
    drained += static_cast<std::size_t>(n);
  }
}

ControlServer::Started Failed(std::error_code error, std::string what) {
  ControlServer::Started started;
  started.error = error;
  started.what = std::move(what);
  return started;
}

}  // namespace

struct ControlServer::Client {
  UniqueFd fd;
  std::string received;
  std::string reply;
  std::size_t sent = 0;
  bool replying = false;
  bool done = false;
  Clock::time_point deadline;
};

ControlServer::Started ControlServer::Start(const CameraLock& lock, RequestHandler handler, ServerOptions options) {
  const std::filesystem::path folder = lock.File().parent_path();
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return Failed(LastError(), "cannot open the data folder " + folder.string());
  struct stat info {};
  if (::fstat(dir.get(), &info) != 0) return Failed(LastError(), "cannot examine the data folder " + folder.string());
  if ((info.st_mode & S_IWOTH) != 0) {
    return Failed(std::make_error_code(std::errc::operation_not_permitted),
                  "the data folder " + folder.string() + " is writable by every user");
  }
  // The name may hold the socket of an owner that was killed; that one is
  // replaced below. Anything else under the name is not ours to remove.
  struct stat existing {};
  if (::fstatat(dir.get(), kControlSocketFile, &existing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISSOCK(existing.st_mode)) {
    return Failed(std::make_error_code(std::errc::file_exists),
                  (folder / kControlSocketFile).string() + " is not a socket (left alone)");
  }

  const std::string temporary = std::string(kControlSocketFile) + "." + std::to_string(::getpid());
  if (::fstatat(dir.get(), temporary.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(existing.st_mode))
    ::unlinkat(dir.get(), temporary.c_str(), 0);
  const auto address = SocketAddressIn(dir.get(), folder, temporary);
  if (!address)
    return Failed(std::make_error_code(std::errc::filename_too_long), "the data folder's path is too long");
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener) return Failed(LastError(), "cannot create a socket");
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->first), address->second) != 0)
    return Failed(LastError(), "cannot create " + (folder / temporary).string());
  auto abandon = [&](const std::string& what) {
    const std::error_code error = LastError();
    ::unlinkat(dir.get(), temporary.c_str(), 0);
    return Failed(error, what);
  };
  if (::fchmodat(dir.get(), temporary.c_str(), S_IRUSR | S_IWUSR, 0) != 0)
    return abandon("cannot restrict " + (folder / temporary).string() + " to its owner");
  if (::listen(listener.get(), static_cast<int>(options.max_clients)) != 0) return abandon("cannot listen");
  if (::renameat(dir.get(), temporary.c_str(), dir.get(), kControlSocketFile) != 0)
    return abandon("cannot create " + (folder / kControlSocketFile).string());

  std::unique_ptr<ControlServer> server(new ControlServer());
  if (::fstatat(dir.get(), kControlSocketFile, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    server->device_ = info.st_dev;
    server->inode_ = info.st_ino;
  }
  server->wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (server->wake_fd_ < 0) {
    const std::error_code error = LastError();
    ::unlinkat(dir.get(), kControlSocketFile, 0);
    return Failed(error, "cannot create an event descriptor");
  }
  server->path_ = folder / kControlSocketFile;
  server->folder_fd_ = dir.release();
  server->listen_fd_ = listener.release();
  server->handler_ = std::move(handler);
  server->options_ = options;
  server->options_.max_clients = std::max(1u, options.max_clients);
  server->thread_ = std::thread([raw = server.get()] { raw->Run(); });
  Started started;
  started.server = std::move(server);
  return started;
}

ControlServer::~ControlServer() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  ::close(listen_fd_);
  ::close(wake_fd_);
  // Only the socket this server made goes: a file that has taken the name
  // since is someone else's.
  struct stat info {};
  if (::fstatat(folder_fd_, kControlSocketFile, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode) &&
      info.st_dev == device_ && info.st_ino == inode_) {
    ::unlinkat(folder_fd_, kControlSocketFile, 0);
  }
  ::close(folder_fd_);
}

ServerCounts ControlServer::Counts() const {
  ServerCounts counts;
  counts.connections = counts_.connections.load();
  counts.answered = counts_.answered.load();
  counts.malformed = counts_.malformed.load();
  counts.refused = counts_.refused.load();
  counts.busy = counts_.busy.load();
  counts.timed_out = counts_.timed_out.load();
  counts.vanished = counts_.vanished.load();
  return counts;
}

void ControlServer::Run() {
  Clock::time_point accept_paused_until{};
  for (;;) {
    const Clock::time_point now = Clock::now();
    std::vector<pollfd> polled;
    polled.push_back({wake_fd_, POLLIN, 0});
    const bool accepting = now >= accept_paused_until;
    polled.push_back({accepting ? listen_fd_ : -1, POLLIN, 0});
    Clock::time_point wake_at = accepting ? Clock::time_point::max() : accept_paused_until;
    for (const auto& client : clients_) {
      polled.push_back({client->fd.get(), static_cast<short>(client->replying ? POLLOUT : POLLIN), 0});
      wake_at = std::min(wake_at, client->deadline);
    }
    int timeout = -1;
    if (wake_at != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<milliseconds>(wake_at - now).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    }
    if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) break;
    if (polled[0].revents != 0) break;

    for (std::size_t i = 0; i < clients_.size(); ++i) {
      Client& client = *clients_[i];
      const short events = polled[i + 2].revents;
      if (events == 0) continue;
      if (client.replying) Send(client);
      else Receive(client);
    }
    if (accepting && (polled[1].revents & POLLIN) != 0 && !Accept()) accept_paused_until = Clock::now() + kAcceptPause;

    const Clock::time_point later = Clock::now();
    for (auto& client : clients_) {
      if (client->done || later < client->deadline) continue;
      if (client->replying) {
        counts_.vanished.fetch_add(1);  // it never took its reply
        client->done = true;
        continue;
      }
      counts_.timed_out.fetch_add(1);
      client->reply = FormatReply(Reply::Error(ReplyStatus::kTimeout, "no request within the time allowed"));
      client->replying = true;
      Send(*client);  // one try: a client that stalls gets no second chance
      client->done = true;
    }
    std::erase_if(clients_, [](const auto& client) { return client->done; });
  }
  clients_.clear();
}

bool ControlServer::Accept() {
  for (;;) {
    UniqueFd fd(::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    counts_.connections.fetch_add(1);
    auto client = std::make_unique<Client>();
    client->fd = std::move(fd);
    client->deadline = Clock::now() + options_.stall_timeout;
    const auto peer = PeerOf(client->fd.get());
    std::optional<Reply> refusal;
    if (!peer || peer->uid != ::geteuid()) {
      counts_.refused.fetch_add(1);
      refusal = Reply::Error(ReplyStatus::kRefused, "the camera's controls belong to its owner's user alone");
    } else if (clients_.size() >= options_.max_clients) {
      counts_.busy.fetch_add(1);
      refusal = Reply::Error(ReplyStatus::kBusy, "too many clients at once; try again");
    }
    if (refusal) {
      // Refusals are sent at once; more of them than there are places are
      // closed without a word, so a flood cannot grow the list.
      if (clients_.size() >= 2 * options_.max_clients) continue;
      client->reply = FormatReply(*refusal);
      client->replying = true;
      Send(*client);
    }
    if (!client->done) clients_.push_back(std::move(client));
  }
}

void ControlServer::Receive(Client& client) {
  char buffer[kMaxRequestBytes];
  bool ended = false;
  while (client.received.size() < kMaxRequestBytes) {
    const ssize_t n = ::recv(client.fd.get(), buffer, kMaxRequestBytes - client.received.size(), MSG_DONTWAIT);
    if (n > 0) {
      client.received.append(buffer, static_cast<std::size_t>(n));
      if (RequestComplete(client.received)) break;
      continue;
    }
    if (n == 0) {
      ended = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    counts_.vanished.fetch_add(1);  // reset by a client that died
    client.done = true;
    return;
  }
  if (RequestComplete(client.received) || (ended && !client.received.empty())) {
    Answer(client);
  } else if (ended) {
    client.done = true;  // connected and left without a word
  }
}

void ControlServer::Answer(Client& client) {
  const ParsedRequest parsed = ParseRequest(client.received);
  Reply reply;
  if (!parsed.ok()) {
    counts_.malformed.fetch_add(1);
    reply = Reply::Error(parsed.error == RequestError::kVersion ? ReplyStatus::kVersion : ReplyStatus::kMalformed,
                         parsed.Message());
  } else {
    counts_.answered.fetch_add(1);
    try {
      reply = handler_ ? handler_(parsed.request)
                       : Reply::Error(ReplyStatus::kUnavailable, "this camera takes no requests");
    } catch (const std::exception& error) {
      reply = Reply::Error(ReplyStatus::kInternal, error.what());
    } catch (...) {
      reply = Reply::Error(ReplyStatus::kInternal, "the request failed");
    }
  }
  client.reply = FormatReply(reply);
  client.replying = true;
  client.deadline = Clock::now() + options_.stall_timeout;
  Send(client);
}

void ControlServer::Send(Client& client) {
  while (client.sent < client.reply.size()) {
    const ssize_t n = ::send(client.fd.get(), client.reply.data() + client.sent, client.reply.size() - client.sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      client.sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // wait until it reads
    counts_.vanished.fetch_add(1);
    client.done = true;
    return;
  }
  Drain(client.fd.get());
  client.done = true;
}

}  // namespace dualcam::host::service
