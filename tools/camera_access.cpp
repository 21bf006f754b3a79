// Who has the camera of a data folder (see camera_access.h).
#include "camera_access.h"

#include "command.h"
#include "host/service/control_client.h"

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

namespace dualcam::tools {

std::optional<CaptureReply> AskRunningCapture(const DataHome& home, const host::service::Request& request,
                                              std::chrono::milliseconds startup_wait) {
  using host::service::Answer;
  host::service::ClientOptions options;
  options.startup_wait = startup_wait;
  const Answer answer = host::service::AskCamera(home.root, request, options);
  if (answer.outcome == Answer::Outcome::kNoCamera) return std::nullopt;
  if (answer.outcome == Answer::Outcome::kFailed) UsageError(answer.error);
  if (!answer.reply.ok()) {
    // The capture's own words for a control it refused; the protocol's
    // code in front of anything else.
    const std::string& message = answer.reply.message;
    if (answer.reply.status == host::service::ReplyStatus::kRejected) UsageError(message);
    UsageError("the capture in process " + std::to_string(answer.holder) + " answered: " +
               std::string(host::service::ReplyStatusCode(answer.reply.status)) +
               (message.empty() ? "" : " (" + message + ")"));
  }
  return CaptureReply{answer.holder, answer.reply.lines};
}

}  // namespace dualcam::tools
