// The registry mailbox across processes: a running device (the driver's own
// callbacks, worker-thread poll, real clock, the camera streaming through
// the class library on this thread) is asked for a still by a second process that shares nothing
// with it but the registry file, and that process sees the result and the
// file appear. The second process is forked from the test before it starts
// any thread and reports what it saw through its exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "button/button_harness.h"
#include "camera/button.h"
#include "host/kernel/registry.h"

namespace dualcam::button::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kClientPatience = 30s;

fs::path FreshFolder() {
  std::string pattern = (fs::temp_directory_path() / "dualcam-button-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// What the client process found, as its exit status.
enum ClientResult : int {
  kClientDone = 0,
  kClientNotStarted = 10,  // the test gave up before the device ran
  kClientNoRegistry,
  kClientNoResult,         // no "SnapShot" 1 with "SnapShoot" 0 in time
  kClientWrongFileSize,
  kClientNotAccepted,
};

// The application's side: ask for a still, wait for the result, check the
// file, then accept the result. Runs in the forked process once the device
// streams (the snapshot file's path arrives through `go`), with nothing
// from the test's process but the registry file's name.
int RunClient(int go, const fs::path& registry_file) {
  std::string snapshot;
  char c = 0;
  while (::read(go, &c, 1) == 1) snapshot.push_back(c);
  if (snapshot.empty()) return kClientNotStarted;
  try {
    host::Registry registry(registry_file);
    if (registry.SetDword(host::kSettingsKeyPath, "SnapShot", 0) != STATUS_SUCCESS ||
        registry.SetDword(host::kSettingsKeyPath, "SnapShoot", 1) != STATUS_SUCCESS)
      return kClientNoRegistry;
    // The driver posts the result, then clears the request: done once both
    // have been written.
    std::optional<uint32_t> result, request;
    const auto give_up = std::chrono::steady_clock::now() + kClientPatience;
    while (std::chrono::steady_clock::now() < give_up) {
      result = registry.GetDword(host::kSettingsKeyPath, "SnapShot");
      request = registry.GetDword(host::kSettingsKeyPath, "SnapShoot");
      if (result && *result != 0 && request == 0u) break;
      std::this_thread::sleep_for(20ms);
    }
    if (result != 1u || request != 0u) return kClientNoResult;
    std::error_code ec;
    if (fs::file_size(snapshot, ec) != camera::kSnapshotFileSize) return kClientWrongFileSize;
    if (registry.SetDword(host::kSettingsKeyPath, "SnapShot", 0) != STATUS_SUCCESS) return kClientNotAccepted;
  } catch (const std::exception&) {
    return kClientNoRegistry;
  }
  return kClientDone;
}

TEST(SnapshotMailboxConcurrency, SecondProcessTakesAStillThroughTheRegistry) {
  const fs::path folder = FreshFolder();
  ASSERT_FALSE(folder.empty());
  WorldOptions options;
  options.Deterministic = false;
  options.RealDriver = true;
  options.RegistryFile = folder / "registry.db";
  options.FileRoot = folder / "root";
  // The client is forked before this process starts any thread, and waits
  // for the device to stream.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    std::_Exit(RunClient(go[0], options.RegistryFile));
  }
  ::close(go[0]);
  struct Closer {
    int& fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  } closer{go[1]};
  fs::path snapshot;
  {
    ButtonWorld world(options);
    ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
    snapshot = world.SnapshotPath();
    const std::string path = snapshot.string();
    ASSERT_EQ(::write(go[1], path.data(), path.size()), static_cast<ssize_t>(path.size()));
    ::close(go[1]);
    go[1] = -1;

    // Stream while the child waits: the still arrives in these frames.
    int status = 0;
    pid_t done = 0;
    const auto give_up = std::chrono::steady_clock::now() + kClientPatience + 10s;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < give_up) {
      world.Device().Pump(1);
      std::this_thread::sleep_for(5ms);
    }
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "the client did not finish";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kClientDone) << "the client process failed";

    EXPECT_EQ(world.Value("SnapShoot"), 0u);
    EXPECT_EQ(world.Value("SnapShot"), 0u);  // accepted by the client
    const auto file = world.SnapshotBytes();
    ASSERT_EQ(file.size(), camera::kSnapshotFileSize);
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 7),
              (std::vector<uint8_t>{0x01, 0x01, 0x00, 0x00, 0x18, 0x03, 0x00}));
    EXPECT_EQ(CountLines(world.TakeRequests(), kStillTriggerLine), 1u);
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
}

}  // namespace
}  // namespace dualcam::button::testing
