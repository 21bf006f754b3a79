// Who owns the camera of a data folder. A data folder is one camera: the
// process that streams it (a capture, a GStreamer pipeline) holds an
// advisory write lock on "camera.lock" in the folder for as long as the
// camera is open, and every other process asks the lock before it touches
// the camera's state.
//
// Hard part: the lock must go away with its process however that ends
// (SIGKILL included), must name its holder, and must also refuse a second
// owner inside the same process. A POSIX record lock (fcntl F_SETLK) is
// released by the kernel when the process dies and F_GETLK reports the
// holder's process id; but POSIX locks never conflict within one process and
// are dropped when the process closes any descriptor of the file, so a
// process-wide table of held files (by device and inode) refuses the second
// owner here, and only this class ever opens the file. The file is created
// if missing and otherwise left alone until the lock is won: a process that
// only asks, or that loses, changes nothing in it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace dualcam::host::service {

// The lock file's name inside a data folder.
inline constexpr char kCameraLockFile[] = "camera.lock";

class CameraLock {
 public:
  struct Attempt {
    std::unique_ptr<CameraLock> lock;  // held: the camera is this process's
    pid_t holder = 0;                  // refused: the process that has it (0 if unknown)
    std::error_code error;             // the lock file could not be opened or locked
    bool Held() const { return lock != nullptr; }
  };

  // Takes the camera of `folder` (which must exist) without waiting. On
  // success the file holds this process's id as text.
  static Attempt TryAcquire(const std::filesystem::path& folder);

  // The process holding the camera of `folder`, or nothing when none does
  // (or the folder has no lock file). This process's own id when it holds
  // it. Never creates or changes the file.
  static std::optional<pid_t> Holder(const std::filesystem::path& folder);

  ~CameraLock();  // releases the lock; the file stays
  CameraLock(const CameraLock&) = delete;
  CameraLock& operator=(const CameraLock&) = delete;

  const std::filesystem::path& File() const { return file_; }

 private:
  CameraLock(int fd, dev_t device, ino_t inode, std::filesystem::path file)
      : fd_(fd), device_(device), inode_(inode), file_(std::move(file)) {}
  int fd_;
  dev_t device_;
  ino_t inode_;
  std::filesystem::path file_;
};

// "the camera is in use by process N" (or "by another process" when the
// holder is unknown): the words every command uses when it is refused.
std::string CameraInUseMessage(pid_t holder);

}  // namespace dualcam::host::service
