// The control socket end to end within one process (and forked children
// where another process or user is the point): who may create the socket
// and with what rights, who is served, and what hostile or broken clients
// get while the others go on being served.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/service/control_client.h"
#include "host/service/control_server.h"
#include "support/test_data.h"

namespace dualcam::host::service {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int Connect(const fs::path& socket) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

std::string ReadToEnd(int fd) {
  std::string received;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) received.append(buffer, static_cast<std::size_t>(n));
  return received;
}

// Sends raw bytes as a client and returns everything the server answered.
std::string Exchange(const fs::path& socket, const std::string& bytes, bool end_writing = false) {
  const int fd = Connect(socket);
  if (fd < 0) return "connect: " + std::string(std::strerror(errno));
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (end_writing) ::shutdown(fd, SHUT_WR);
  std::string received = ReadToEnd(fd);
  ::close(fd);
  return received;
}

// A data folder whose camera this process holds, with a server that answers
// "status" with the request count and records what it was asked.
class ServedFolder : public ::testing::Test {
 protected:
  ServedFolder() {
    lock_ = CameraLock::TryAcquire(folder_.path()).lock;
    ::chmod(folder_.path().c_str(), 0700);
  }

  ControlServer::Started Serve(ServerOptions options = {}) {
    return ControlServer::Start(*lock_, [this](const Request& request) {
      if (request.verb == Verb::kStill) throw std::runtime_error("the camera fell over");
      std::lock_guard guard(mutex_);
      asked_.push_back(request);
      return Reply::Ok({"answered n=" + std::to_string(asked_.size())});
    }, options);
  }
  std::size_t Asked() {
    std::lock_guard guard(mutex_);
    return asked_.size();
  }
  fs::path Socket() const { return folder_.path() / kControlSocketFile; }

  dualcam::testing::TempDir folder_{"control-server"};
  std::unique_ptr<CameraLock> lock_;
  std::mutex mutex_;
  std::vector<Request> asked_;
};

TEST_F(ServedFolder, OwnerServesThroughAPrivateSocketThatGoesWithIt) {
  ASSERT_TRUE(lock_);
  {
    auto started = Serve();
    ASSERT_TRUE(started.server) << started.what << ": " << started.error.message();
    struct stat info {};
    ASSERT_EQ(::lstat(Socket().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(started.server->SocketPath(), Socket());

    const Answer answer = AskCamera(folder_.path(), {Verb::kGet, {"hue"}});
    ASSERT_EQ(answer.outcome, Answer::Outcome::kReplied) << answer.error;
    EXPECT_EQ(answer.holder, ::getpid());
    EXPECT_EQ(answer.reply, Reply::Ok({"answered n=1"}));
    EXPECT_EQ(asked_.at(0), (Request{Verb::kGet, {"hue"}}));
    // A handler that fails is an error reply, not a dead server.
    const Answer failed = AskCamera(folder_.path(), {Verb::kStill, {}});
    EXPECT_EQ(failed.reply, Reply::Error(ReplyStatus::kInternal, "the camera fell over"));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(Socket())));
  lock_.reset();
  EXPECT_EQ(AskCamera(folder_.path(), {Verb::kStatus, {}}).outcome, Answer::Outcome::kNoCamera);
}

TEST_F(ServedFolder, AStaleSocketIsReplacedButNoOtherFileOrAnOpenFolder) {
  // A killed owner leaves its socket file behind.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, Socket().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  {
    auto started = Serve();
    ASSERT_TRUE(started.server) << started.what;
    EXPECT_EQ(AskCamera(folder_.path(), {Verb::kStatus, {}}).outcome, Answer::Outcome::kReplied);
  }
  { std::ofstream(Socket()) << "notes\n"; }
  auto refused = Serve();
  EXPECT_FALSE(refused.server);
  EXPECT_EQ(refused.error, std::errc::file_exists);
  EXPECT_EQ(dualcam::testing::ReadFileBytes(Socket()).value_or(std::vector<uint8_t>{}).size(), 6u);
  fs::remove(Socket());

  for (const mode_t open_mode : {0777u, 01777u}) {
    ::chmod(folder_.path().c_str(), open_mode);
    auto open = Serve();
    EXPECT_FALSE(open.server);
    EXPECT_EQ(open.error, std::errc::operation_not_permitted);
    EXPECT_NE(open.what.find("writable by every user"), std::string::npos) << open.what;
    EXPECT_FALSE(fs::exists(fs::symlink_status(Socket())));
  }
}

TEST_F(ServedFolder, BrokenAndHostileClientsGetAnAnswerAndTheRestAreServed) {
  ServerOptions options;
  options.stall_timeout = 1s;
  auto started = Serve(options);
  ASSERT_TRUE(started.server) << started.what;

  EXPECT_EQ(Exchange(Socket(), std::string(5000, 'x')), "dualcam/1 error malformed request longer than 1024 bytes\n");
  EXPECT_EQ(Exchange(Socket(), std::string("\x16\x03\x01\0\x01", 5) + "\n"),
            "dualcam/1 error malformed the request holds a byte that is not printable text: byte 1\n");
  EXPECT_EQ(Exchange(Socket(), "dualcam/9 status\n"),
            "dualcam/1 error version not a dualcam/1 request: this camera speaks dualcam/1, the request "
            "'dualcam/9'\n");
  EXPECT_EQ(Exchange(Socket(), "dualcam/1 status", /*end_writing=*/true),
            "dualcam/1 error malformed the request did not end with a newline\n");
  EXPECT_EQ(Asked(), 0u);

  // A client that says nothing is dropped in its time, and does not hold
  // up one that talks meanwhile.
  const auto silent_since = Clock::now();
  const int silent = Connect(Socket());
  ASSERT_GE(silent, 0);
  EXPECT_EQ(AskCamera(folder_.path(), {Verb::kStatus, {}}).outcome, Answer::Outcome::kReplied);
  char early;
  EXPECT_EQ(::recv(silent, &early, 1, MSG_DONTWAIT), -1) << "the silent client was dropped first";
  EXPECT_EQ(ReadToEnd(silent), "dualcam/1 error timeout no request within the time allowed\n");
  EXPECT_GE(Clock::now() - silent_since, 1s);
  ::close(silent);

  // A client killed halfway through its request.
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = Connect(Socket());
    ::send(fd, "dualcam/1 se", 12, MSG_NOSIGNAL);
    ::raise(SIGKILL);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(AskCamera(folder_.path(), {Verb::kStatus, {}}).reply, Reply::Ok({"answered n=2"}));

  const ServerCounts counts = started.server->Counts();
  EXPECT_EQ(counts.malformed, 5u);  // the four above and the killed client's half request
  EXPECT_EQ(counts.timed_out, 1u);
  EXPECT_EQ(counts.answered, 2u);
}

TEST_F(ServedFolder, ManyClientsAtOnceAreAllServed) {
  ServerOptions options;
  options.max_clients = 3;  // fewer places than clients: some hear "busy" and ask again
  auto started = Serve(options);
  ASSERT_TRUE(started.server) << started.what;
  constexpr int kClients = 24;
  std::atomic<int> replied{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      if (AskCamera(folder_.path(), {Verb::kStatus, {}}).outcome == Answer::Outcome::kReplied) ++replied;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(replied.load(), kClients);
  EXPECT_EQ(Asked(), static_cast<std::size_t>(kClients));
  EXPECT_EQ(started.server->Counts().connections, kClients + started.server->Counts().busy);
}

TEST_F(ServedFolder, AnOwnerIsAwaitedWhileStartingAndNamedWhenItNeverServes) {
  ClientOptions quick;
  quick.startup_wait = 300ms;
  const Answer never = AskCamera(folder_.path(), {Verb::kStatus, {}}, quick);
  EXPECT_EQ(never.outcome, Answer::Outcome::kFailed);
  EXPECT_EQ(never.error, "the camera is in use by process " + std::to_string(::getpid()) +
                             ", which does not take controls from other processes");

  ControlServer::Started started;
  std::thread late([&] {
    std::this_thread::sleep_for(100ms);
    started = Serve();
  });
  const Answer awaited = AskCamera(folder_.path(), {Verb::kStatus, {}});
  late.join();
  EXPECT_EQ(awaited.outcome, Answer::Outcome::kReplied) << awaited.error;
}

// A process that does not hold the camera's lock cannot pass for its owner.
TEST_F(ServedFolder, ASocketServedByAnotherProcessIsNotTalkedTo) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t impostor = ::fork();
  if (impostor == 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, Socket().c_str(), sizeof address.sun_path - 1);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 4) == 0;
    [[maybe_unused]] const ssize_t n = ::write(ready[1], ok ? "1" : "0", 1);
    for (;;) ::pause();
  }
  char ok = '0';
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  const Answer answer = AskCamera(folder_.path(), {Verb::kStop, {}});
  ::kill(impostor, SIGKILL);
  ::waitpid(impostor, nullptr, 0);
  ASSERT_EQ(ok, '1');
  EXPECT_EQ(answer.outcome, Answer::Outcome::kFailed);
  EXPECT_NE(answer.error.find("is not served by the camera's owner"), std::string::npos) << answer.error;
}

// Another user is kept out twice: by the socket file's rights, and, for a
// user the rights do not stop (root), by the server's credential check; a
// client likewise refuses a server of another user. Needs root to switch.
TEST_F(ServedFolder, AnotherUserIsRefusedBothWays) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "switching user needs root and a 'nobody' account";
  const uid_t nobody_uid = nobody->pw_uid;
  const gid_t nobody_gid = nobody->pw_gid;

  {
    auto started = Serve();
    ASSERT_TRUE(started.server) << started.what;
    const pid_t stranger = ::fork();
    if (stranger == 0) {
      if (::setgid(nobody_gid) != 0 || ::setuid(nobody_uid) != 0) ::_exit(2);
      ::_exit(Connect(Socket()) < 0 && errno == EACCES ? 0 : 1);
    }
    int status = 0;
    ::waitpid(stranger, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a stranger reached the socket";
    EXPECT_EQ(Asked(), 0u);
  }

  // A camera owned by nobody, asked by root.
  lock_.reset();
  ASSERT_EQ(::chown(folder_.path().c_str(), nobody_uid, nobody_gid), 0);
  ::unlink((folder_.path() / kCameraLockFile).c_str());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t owner = ::fork();
  if (owner == 0) {
    ::close(ready[0]);
    if (::setgid(nobody_gid) != 0 || ::setuid(nobody_uid) != 0) ::_exit(2);
    auto lock = CameraLock::TryAcquire(folder_.path());
    auto started = lock.lock ? ControlServer::Start(*lock.lock, [](const Request&) { return Reply::Ok(); })
                             : ControlServer::Started{};
    [[maybe_unused]] const ssize_t n = ::write(ready[1], started.server ? "1" : "0", 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char served = '0';
  ASSERT_EQ(::read(ready[0], &served, 1), 1);
  ::close(ready[0]);
  const Answer answer = AskCamera(folder_.path(), {Verb::kStatus, {}});
  const std::string raw = Exchange(Socket(), "dualcam/1 status\n");
  ::kill(owner, SIGKILL);
  ::waitpid(owner, nullptr, 0);
  ASSERT_EQ(served, '1');
  EXPECT_EQ(answer.outcome, Answer::Outcome::kFailed);
  EXPECT_NE(answer.error.find("is not served by the camera's owner"), std::string::npos) << answer.error;
  EXPECT_EQ(raw, "dualcam/1 error refused the camera's controls belong to its owner's user alone\n");
}

}  // namespace
}  // namespace dualcam::host::service
