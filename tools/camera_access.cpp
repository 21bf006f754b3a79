// Who has the camera of a data folder (see camera_access.h).
#include "camera_access.h"

#include "command.h"

namespace dualcam::tools {

using host::service::CameraLock;

CameraAccess TryTakeCamera(const DataHome& home) {
  CameraLock::Attempt attempt = CameraLock::TryAcquire(home.root);
  if (attempt.error)
    UsageError("cannot lock the camera through " + (home.root / host::service::kCameraLockFile).string() + ": " +
               attempt.error.message());
  return {std::move(attempt.lock), attempt.holder};
}

std::unique_ptr<CameraLock> TakeCamera(const DataHome& home) {
  CameraAccess access = TryTakeCamera(home);
  if (!access.Owned()) UsageError(host::service::CameraInUseMessage(access.holder));
  return std::move(access.lock);
}

std::optional<pid_t> CameraOwner(const DataHome& home) { return CameraLock::Holder(home.root); }

}  // namespace dualcam::tools
