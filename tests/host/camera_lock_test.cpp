// The data folder's camera lock: one owner across processes and within one,
// named when it refuses, gone with its process even after SIGKILL, and a
// file that only the winner writes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "host/service/camera_lock.h"
#include "support/test_data.h"

namespace dualcam::host::service {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A child process that holds the lock with plain system calls (nothing of
// the class under test) until it is killed.
pid_t HoldInChild(const std::filesystem::path& file) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(file.c_str(), O_RDWR | O_CREAT, 0644);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const char ok = (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) ? '1' : '0';
    [[maybe_unused]] const ssize_t n = write(ready[1], &ok, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = '0';
  [[maybe_unused]] const ssize_t n = read(ready[0], &ok, 1);
  close(ready[0]);
  return ok == '1' ? child : -1;
}

TEST(CameraLock, AnotherProcessHoldingItIsNamedAndItsFileLeftAlone) {
  testing::TempDir folder("camera-lock");
  const auto file = folder.path() / kCameraLockFile;
  { std::ofstream(file) << "left by someone\n"; }
  const pid_t child = HoldInChild(file);
  ASSERT_GT(child, 0);

  CameraLock::Attempt refused = CameraLock::TryAcquire(folder.path());
  EXPECT_FALSE(refused.Held());
  EXPECT_FALSE(refused.error);
  EXPECT_EQ(refused.holder, child);
  EXPECT_EQ(CameraLock::Holder(folder.path()), child);
  EXPECT_EQ(CameraInUseMessage(refused.holder), "the camera is in use by process " + std::to_string(child));
  EXPECT_EQ(ReadFile(file), "left by someone\n");

  // SIGKILL leaves no chance to clean up; the kernel drops the lock.
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(CameraLock::Holder(folder.path()), std::nullopt);
  CameraLock::Attempt taken = CameraLock::TryAcquire(folder.path());
  ASSERT_TRUE(taken.Held());
  EXPECT_EQ(ReadFile(file), std::to_string(getpid()) + "\n");
}

TEST(CameraLock, OneOwnerWithinAProcessAndAskingDoesNotReleaseIt) {
  testing::TempDir folder("camera-lock");
  EXPECT_EQ(CameraLock::Holder(folder.path()), std::nullopt);  // no file yet
  EXPECT_FALSE(std::filesystem::exists(folder.path() / kCameraLockFile));

  CameraLock::Attempt first = CameraLock::TryAcquire(folder.path());
  ASSERT_TRUE(first.Held());
  CameraLock::Attempt second = CameraLock::TryAcquire(folder.path());
  EXPECT_FALSE(second.Held());
  EXPECT_EQ(second.holder, getpid());
  // Asking opened and closed the file in this process; with a POSIX lock a
  // careless close would have dropped the lock for everyone else.
  EXPECT_EQ(CameraLock::Holder(folder.path()), getpid());
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open((folder.path() / kCameraLockFile).c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &lock) != 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process took a held camera";

  first.lock.reset();
  EXPECT_EQ(CameraLock::Holder(folder.path()), std::nullopt);
  EXPECT_TRUE(CameraLock::TryAcquire(folder.path()).Held());
}

TEST(CameraLock, AMissingFolderIsAnErrorNotARefusal) {
  testing::TempDir folder("camera-lock");
  CameraLock::Attempt attempt = CameraLock::TryAcquire(folder.path() / "missing");
  EXPECT_FALSE(attempt.Held());
  EXPECT_EQ(attempt.holder, 0);
  EXPECT_EQ(attempt.error, std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace dualcam::host::service
