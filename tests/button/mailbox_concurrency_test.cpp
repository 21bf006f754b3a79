// The registry mailbox across processes: a running device (the driver's own
// callbacks, worker-thread poll, real clock, the camera streaming through
// the class library on this thread) is asked for a still by a second process that shares nothing
// with it but the registry file, and that process sees the result and the
// file appear. The second process is this test binary again, running only
// the client case below.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "button/button_harness.h"
#include "camera/button.h"
#include "host/kernel/registry.h"

extern char** environ;

namespace dualcam::button::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Set for the client process only: "<registry file>|<snapshot file>".
constexpr const char* kClientVariable = "DUALCAM_BUTTON_MAILBOX_CLIENT";
constexpr auto kClientPatience = 30s;

fs::path FreshFolder() {
  std::string pattern = (fs::temp_directory_path() / "dualcam-button-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// The application's side: ask for a still, wait for the result, check the
// file, then accept the result. Runs only in the spawned process.
TEST(SnapshotMailboxClient, RequestsAStillAndWaitsForTheResult) {
  const char* setting = std::getenv(kClientVariable);
  if (setting == nullptr) GTEST_SKIP() << "runs only when spawned by the mailbox test";
  const std::string both = setting;
  const auto bar = both.find('|');
  ASSERT_NE(bar, std::string::npos);
  host::Registry registry(both.substr(0, bar));
  const fs::path snapshot = both.substr(bar + 1);

  ASSERT_EQ(registry.SetDword(host::kSettingsKeyPath, "SnapShot", 0), STATUS_SUCCESS);
  ASSERT_EQ(registry.SetDword(host::kSettingsKeyPath, "SnapShoot", 1), STATUS_SUCCESS);
  // The driver posts the result, then clears the request: done once both
  // have been written.
  std::optional<uint32_t> result;
  std::optional<uint32_t> request;
  const auto give_up = std::chrono::steady_clock::now() + kClientPatience;
  while (std::chrono::steady_clock::now() < give_up) {
    result = registry.GetDword(host::kSettingsKeyPath, "SnapShot");
    request = registry.GetDword(host::kSettingsKeyPath, "SnapShoot");
    if (result && *result != 0 && request == 0u) break;
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(result, 1u);
  ASSERT_EQ(request, 0u);
  std::error_code ec;
  EXPECT_EQ(fs::file_size(snapshot, ec), camera::kSnapshotFileSize);
  ASSERT_EQ(registry.SetDword(host::kSettingsKeyPath, "SnapShot", 0), STATUS_SUCCESS);
}

TEST(SnapshotMailboxConcurrency, SecondProcessTakesAStillThroughTheRegistry) {
  const fs::path folder = FreshFolder();
  ASSERT_FALSE(folder.empty());
  WorldOptions options;
  options.Deterministic = false;
  options.RealDriver = true;
  options.RegistryFile = folder / "registry.db";
  options.FileRoot = folder / "root";
  fs::path snapshot;
  {
    ButtonWorld world(options);
    ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
    snapshot = world.SnapshotPath();

    // Everything the child needs is built before it is spawned.
    std::string client = std::string(kClientVariable) + "=" + options.RegistryFile.string() + "|" + snapshot.string();
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(client.data());
    env.push_back(nullptr);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=SnapshotMailboxClient.*";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, env.data()), 0);

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
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the client process failed";

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
