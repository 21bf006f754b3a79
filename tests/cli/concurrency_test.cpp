// Two processes on one data folder: a capture streaming while a second
// process asks it for a still, or writes the settings key.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "cli_harness.h"
#include "support/picture_io.h"

extern char** environ;

namespace dualcam::cli::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Waits until the capture has published an open stream.
bool WaitForStream(const CliWorld& world) {
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < give_up) {
    if (world.Run({"reg", "get", "IsoMode"}).out == "1\n" && world.Run({"reg", "get", "DriverStatus"}).out == "5\n")
      return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

std::optional<Y4m> LoadY4m(const fs::path& path) {
  std::string error;
  return ParseY4m(dualcam::testing::ReadFileBytes(path).value_or(std::vector<uint8_t>{}), &error);
}

// Under the sanitizers (kSlowdown) the command runs several times slower (the
// still is a 640x480 picture compressed by the simulated camera), so the
// captures run longer and the snapshots wait longer.
TEST(CliConcurrency, SnapshotFromASecondProcessWhileCapturing) {
  CliWorld world;
  const std::string timeout = std::to_string(10 * kSlowdown);
  // The capture outlasts both snapshots (a few seconds at most in a plain
  // build) and is stopped once they are saved.
  auto capture = std::async(std::launch::async, [&] {
    return world.Run({"capture", "--size", "176x144", "--seconds", std::to_string(60 * kSlowdown), "--output",
                      world.Path("v.y4m").string()});
  });
  ASSERT_TRUE(WaitForStream(world));
  const auto run = world.Run({"snapshot", world.Path("still.png").string(), "--timeout", timeout});
  // The first result was accepted, so the driver takes the next still too.
  const auto second = world.Run({"snapshot", world.Path("second.png").string(), "--timeout", timeout});
  const auto stopped = world.Run({"stop"});
  const auto captured = capture.get();
  ASSERT_EQ(run.exit_status, 0) << run.err << "\ncapture: " << captured.out << captured.err;
  EXPECT_EQ(second.exit_status, 0) << second.err;
  EXPECT_EQ(stopped.exit_status, 0) << stopped.err;
  ASSERT_EQ(captured.exit_status, 143) << captured.err;

  const auto still = dualcam::testing::LoadPng(world.Path("still.png"));
  ASSERT_TRUE(still.has_value());
  EXPECT_EQ(still->width, 640);
  EXPECT_EQ(still->height, 480);
  EXPECT_EQ(fs::file_size(world.Path("still.dat")), 203776u);
  // The copy renders again through decode, to the same picture.
  const auto decoded = dualcam::testing::RunTool({"decode", world.Path("still.dat").string(), world.Path("again.png").string()});
  ASSERT_EQ(decoded.exit_status, 0) << decoded.err;
  EXPECT_EQ(dualcam::testing::LoadPng(world.Path("again.png"))->pixels, still->pixels);
  // The video went on around the stills: every frame delivered is in the
  // file, at the video size.
  const auto y4m = LoadY4m(world.Path("v.y4m"));
  ASSERT_TRUE(y4m.has_value());
  EXPECT_GT(y4m->frames.size(), 1u);
  EXPECT_NE(captured.out.find("frames:     " + std::to_string(y4m->frames.size()) + " delivered"), std::string::npos)
      << captured.out;
}

TEST(CliConcurrency, SettingsWrittenWhileCapturingAreKept) {
  CliWorld world;
  auto capture = std::async(std::launch::async, [&] {
    return world.Run({"capture", "--size", "160x120", "--format", "i420", "--seconds", std::to_string(3 * kSlowdown),
                      "--output", world.Path("v.y4m").string()});
  });
  ASSERT_TRUE(WaitForStream(world));
  // The camera is the running capture's: a second capture is refused at
  // once, a control change goes to the running one, and it streams on
  // undisturbed. (First, while even a sanitizer build's capture streams.)
  auto second = world.Run({"capture", "--frames", "3", "--fast", "--output", world.Path("b.y4m").string()});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.err.find("the camera is in use by process "), std::string::npos) << second.err;
  EXPECT_FALSE(fs::exists(world.Path("b.y4m")));
  second = world.Run({"ctl", "set", "gamma=3"});
  EXPECT_NE(second.out.find("applied to the running capture"), std::string::npos) << second.out << second.err;
  EXPECT_EQ(world.Run({"reg", "get", "DriverStatus"}).out, "5\n");
  EXPECT_EQ(world.Run({"reg", "get", "IsoMode"}).out, "1\n");
  EXPECT_NE(world.Run({"info"}).out.find("a capture is running in process"), std::string::npos);
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(world.Run({"reg", "set", "Note", std::to_string(i)}).exit_status, 0) << i;
  const auto captured = capture.get();
  ASSERT_EQ(captured.exit_status, 0) << captured.err;
  EXPECT_NE(captured.out.find(std::to_string(90 * kSlowdown) + " delivered"), std::string::npos) << captured.out;
  EXPECT_EQ(world.Run({"reg", "get", "Note"}).out, "9\n");
  // The capture's own values are there as well.
  EXPECT_EQ(world.Run({"reg", "get", "IsoMode"}).out, "0\n");
  EXPECT_EQ(world.Run({"reg", "get", "DriverStatus"}).out, "8\n");
}

// Ctrl-C, SIGTERM and SIGHUP alike: the capture stops, its video is made
// final and summarised while the camera is still being taken down (the
// driver's removal waits two seconds), the driver is left in order, and the
// exit status tells the cut capture from a full one.
TEST(CliConcurrency, InterruptedCaptureFinishesItsOutputFirstAndSaysWhichSignal) {
  struct Run {
    int signal = 0;
    const char* name = "";
    std::unique_ptr<CliWorld> world = std::make_unique<CliWorld>();
    pid_t child = 0;
    std::string out;  // the summary, once it came
    bool exited = false, final_then = false;
    int status = 0;
  };
  std::vector<Run> runs(3);
  runs[0].signal = SIGINT, runs[0].name = "SIGINT";
  runs[1].signal = SIGTERM, runs[1].name = "SIGTERM";
  runs[2].signal = SIGHUP, runs[2].name = "SIGHUP";
  for (Run& run : runs) {
    const CliWorld& world = *run.world;
    const std::vector<std::string> args = {dualcam::testing::ToolPath().string(), "capture", "--size", "160x120",
                                           "--seconds", "60", "--output", world.Path("v.y4m").string(),
                                           "--home", world.Home().string()};
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, world.Path("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(posix_spawn(&run.child, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  for (Run& run : runs) ASSERT_TRUE(WaitForStream(*run.world)) << run.name;
  std::this_thread::sleep_for(300ms);
  for (Run& run : runs) kill(run.child, run.signal);

  // The summary comes while each process still takes its camera down, and
  // the video is already under its final name then.
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  for (bool waiting = true; waiting && std::chrono::steady_clock::now() < give_up;) {
    std::this_thread::sleep_for(20ms);
    waiting = false;
    for (Run& run : runs) {
      if (!run.out.empty()) continue;
      const auto bytes = dualcam::testing::ReadFileBytes(run.world->Path("out.txt")).value_or(std::vector<uint8_t>{});
      const std::string out(bytes.begin(), bytes.end());
      if (out.find("wrote:") == std::string::npos) {
        waiting = true;
        continue;
      }
      run.out = out;
      run.exited = waitpid(run.child, &run.status, WNOHANG) == run.child;
      run.final_then = fs::exists(run.world->Path("v.y4m"));
    }
  }
  for (Run& run : runs) {
    SCOPED_TRACE(run.name);
    const CliWorld& world = *run.world;
    int status = run.status;
    if (!run.exited) {
      ASSERT_EQ(waitpid(run.child, &status, 0), run.child);
    }
    EXPECT_FALSE(run.out.empty()) << "no summary";
    EXPECT_FALSE(run.exited) << "the summary came only after the camera was gone";
    EXPECT_TRUE(run.final_then);
    const std::string& out = run.out;
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + run.signal);
    EXPECT_NE(out.find(std::string("(interrupted by ") + run.name + ")"), std::string::npos) << out;
    // The driver was taken down: stream closed, camera removed.
    EXPECT_EQ(world.Run({"reg", "get", "IsoMode"}).out, "0\n");
    EXPECT_EQ(world.Run({"reg", "get", "DriverStatus"}).out, "8\n");
    const auto y4m = LoadY4m(world.Path("v.y4m"));
    ASSERT_TRUE(y4m.has_value()) << "the pictures taken are kept, whole";
    EXPECT_GT(y4m->frames.size(), 5u);
    EXPECT_LT(y4m->frames.size(), 1800u);
    EXPECT_FALSE(fs::exists(world.Path("v.y4m.part")));
  }
}

}  // namespace
}  // namespace dualcam::cli::testing
