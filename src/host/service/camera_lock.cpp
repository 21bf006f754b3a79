// The data folder's camera lock (see camera_lock.h).
#include "host/service/camera_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace dualcam::host::service {
namespace {

namespace fs = std::filesystem;

// The lock files this process holds, by device and inode. Every open and
// close of a lock file happens under the mutex: closing any descriptor of a
// file drops this process's POSIX lock on it, so no descriptor of a held
// file may be closed before its lock is released.
struct HeldFile {
  std::vector<int> spare_fds;  // descriptors opened after the lock was won; closed with it
};
std::mutex g_mutex;
std::map<std::pair<dev_t, ino_t>, HeldFile> g_held;

std::error_code LastError() { return {errno, std::generic_category()}; }

struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

// The process that holds a write lock on the open file, or 0.
pid_t LockHolder(int fd) {
  struct flock probe = WholeFile(F_WRLCK);
  if (fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return probe.l_pid;
}

}  // namespace

CameraLock::Attempt CameraLock::TryAcquire(const fs::path& folder) {
  Attempt attempt;
  const fs::path file = folder / kCameraLockFile;
  std::lock_guard guard(g_mutex);

  struct stat before {};
  if (stat(file.c_str(), &before) == 0 && g_held.count({before.st_dev, before.st_ino}) != 0) {
    attempt.holder = getpid();
    return attempt;
  }
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    attempt.error = LastError();
    return attempt;
  }
  struct stat opened {};
  if (fstat(fd, &opened) != 0) {
    attempt.error = LastError();
    close(fd);
    return attempt;
  }
  if (!S_ISREG(opened.st_mode)) {
    attempt.error = std::make_error_code(std::errc::invalid_argument);
    close(fd);
    return attempt;
  }
  const auto key = std::make_pair(opened.st_dev, opened.st_ino);
  if (auto held = g_held.find(key); held != g_held.end()) {
    // The file was replaced by the held one between stat and open: this
    // descriptor may not be closed while the lock is held.
    held->second.spare_fds.push_back(fd);
    attempt.holder = getpid();
    return attempt;
  }
  struct flock lock = WholeFile(F_WRLCK);
  if (fcntl(fd, F_SETLK, &lock) != 0) {
    if (errno == EACCES || errno == EAGAIN) attempt.holder = LockHolder(fd);
    else attempt.error = LastError();
    close(fd);
    return attempt;
  }
  // Ours now: record who holds it, for people who look at the file.
  const std::string text = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = pwrite(fd, text.data(), text.size(), 0);
  }
  g_held.emplace(key, HeldFile{});
  attempt.lock.reset(new CameraLock(fd, opened.st_dev, opened.st_ino, file));
  return attempt;
}

std::optional<pid_t> CameraLock::Holder(const fs::path& folder) {
  const fs::path file = folder / kCameraLockFile;
  std::lock_guard guard(g_mutex);
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) return std::nullopt;
  if (g_held.count({info.st_dev, info.st_ino}) != 0) return getpid();
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  const pid_t holder = LockHolder(fd);
  close(fd);
  if (holder == 0) return std::nullopt;
  return holder;
}

CameraLock::~CameraLock() {
  std::lock_guard guard(g_mutex);
  if (auto held = g_held.find({device_, inode_}); held != g_held.end()) {
    for (int fd : held->second.spare_fds) close(fd);
    g_held.erase(held);
  }
  close(fd_);
}

std::string CameraInUseMessage(pid_t holder) {
  return holder > 0 ? "the camera is in use by process " + std::to_string(holder)
                    : std::string("the camera is in use by another process");
}

}  // namespace dualcam::host::service
