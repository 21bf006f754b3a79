// Two processes and the control socket: a capture streams while `ctl`,
// `info`, a still and `stop` reach it from another process, its pictures
// change as the controls say, and hostile clients cost it no frame.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "cli_harness.h"
#include "host/service/control_client.h"

namespace dualcam::cli::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using host::service::Answer;
using host::service::Verb;

bool WaitForSocket(const CliWorld& world) {
  for (auto give_up = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < give_up;) {
    if (fs::exists(world.Home() / host::service::kControlSocketFile)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// Largest distance of a chroma sample from neutral grey in an I420 frame.
int ChromaSpread(const std::vector<uint8_t>& frame, int width, int height) {
  int most = 0;
  for (std::size_t i = static_cast<std::size_t>(width) * height; i < frame.size(); ++i)
    most = std::max(most, std::abs(frame[i] - 128));
  return most;
}

int Connect(const fs::path& socket) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::close(fd);
  return fd;
}

TEST(ControlSocketConcurrency, ControlsInfoAStillAndStopReachARunningCapture) {
  CliWorld world;
  auto capture = std::async(std::launch::async, [&] {
    return world.Run({"capture", "--format", "i420", "--size", "176x144", "--seconds",
                      std::to_string(60 * kSlowdown), "--output", world.Path("v.y4m").string()});
  });
  ASSERT_TRUE(WaitForSocket(world));
  auto run = world.Run({"ctl", "set", "saturation=0", "gamma=3"});
  EXPECT_EQ(run.out.rfind("applied to the running capture (process ", 0), 0u) << run.out << run.err;
  run = world.Run({"info"});
  EXPECT_NE(run.out.find("format:       i420 176x144 at 30 fps"), std::string::npos) << run.out;
  const auto frames_line = run.out.find("frames:       ");
  ASSERT_NE(frames_line, std::string::npos) << run.out;
  const int frames_when_set = std::atoi(run.out.c_str() + frames_line + 14);
  EXPECT_EQ(world.Run({"ctl", "reset", "gamma"}).exit_status, 0);
  EXPECT_EQ(world.Run({"ctl", "get", "gamma", "saturation"}).out, "gamma: 0\nsaturation: 0\n");

  const Answer still = host::service::AskCamera(world.Home(), {Verb::kStill, {}});
  ASSERT_TRUE(still.reply.ok()) << still.error << still.reply.message;
  const auto file = host::service::ParseFields(still.reply.lines.at(0))->Get("file");
  ASSERT_TRUE(file);
  EXPECT_EQ(fs::file_size(*file), 203776u);

  run = world.Run({"stop"});
  EXPECT_EQ(run.out.rfind("stopped the capture in process ", 0), 0u) << run.out << run.err;
  const auto captured = capture.get();
  EXPECT_EQ(captured.exit_status, 143) << captured.err;
  EXPECT_NE(captured.out.find("(interrupted by SIGTERM)"), std::string::npos) << captured.out;
  EXPECT_FALSE(fs::exists(world.Home() / host::service::kControlSocketFile));

  // The video was made whole; colour until the set, grey from the next frames on.
  std::string error;
  const auto video = ParseY4m(dualcam::testing::ReadFileBytes(world.Path("v.y4m")).value_or(std::vector<uint8_t>{}), &error);
  ASSERT_TRUE(video) << error;
  ASSERT_GT(video->frames.size(), static_cast<std::size_t>(frames_when_set + 2));
  EXPECT_GT(ChromaSpread(video->frames.front(), 176, 144), 40);
  for (std::size_t i = frames_when_set + 2; i < video->frames.size(); ++i)
    ASSERT_LE(ChromaSpread(video->frames[i], 176, 144), 2) << "frame " << i << " of " << video->frames.size();
  // The driver stored the change; with no capture, ctl says where it went.
  EXPECT_EQ(world.Run({"reg", "get", "Saturation"}).out, "0\n");
  EXPECT_EQ(world.Run({"ctl", "set", "saturation=40"}).out, "stored for the next capture\n");
  run = world.Run({"stop"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("no capture is running"), std::string::npos) << run.err;
}

TEST(ControlSocketConcurrency, HostileClientsCostTheCaptureNoFrame) {
  CliWorld world;
  const int frames = 90 * kSlowdown;
  auto capture = std::async(std::launch::async, [&] {
    return world.Run({"capture", "--format", "i420", "--size", "160x120", "--frames", std::to_string(frames),
                      "--output", world.Path("v.y4m").string()});
  });
  ASSERT_TRUE(WaitForSocket(world));
  const fs::path socket = world.Home() / host::service::kControlSocketFile;
  const int silent = Connect(socket);  // says nothing, for the whole capture
  for (const std::string& bytes : {std::string(20000, 'x'), std::string("\x16\x03\x01\x02\x00\n", 6),
                                   std::string("dualcam/1 set brightness=\n")}) {
    const int fd = Connect(socket);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char reply[256] = {};
    EXPECT_GT(::recv(fd, reply, sizeof reply - 1, 0), 0);
    EXPECT_EQ(std::string(reply).rfind("dualcam/1 error malformed ", 0), 0u) << reply;
    ::close(fd);
  }
  const pid_t killed = ::fork();
  if (killed == 0) {
    const int fd = Connect(socket);
    ::send(fd, "dualcam/1 set sat", 17, MSG_NOSIGNAL);
    ::raise(SIGKILL);
  }
  ::waitpid(killed, nullptr, 0);
  std::vector<std::future<Answer>> many;
  for (int i = 0; i < 24; ++i)
    many.push_back(std::async(std::launch::async, [&world, i] {
      return host::service::AskCamera(world.Home(), {i % 2 ? Verb::kStatus : Verb::kList, {}});
    }));
  for (auto& answer : many) EXPECT_TRUE(answer.get().reply.ok());

  const auto captured = capture.get();
  ::close(silent);
  ASSERT_EQ(captured.exit_status, 0) << captured.err;
  EXPECT_NE(captured.out.find(std::to_string(frames) + " delivered"), std::string::npos) << captured.out;
  std::string error;
  const auto video = ParseY4m(dualcam::testing::ReadFileBytes(world.Path("v.y4m")).value_or(std::vector<uint8_t>{}), &error);
  ASSERT_TRUE(video) << error;
  EXPECT_EQ(video->frames.size(), static_cast<std::size_t>(frames));
}

}  // namespace
}  // namespace dualcam::cli::testing

