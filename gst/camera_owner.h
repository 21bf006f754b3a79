// The camera as a pipeline owns it, the way `dualcam capture` owns it: the
// data folder's lock, the driver loaded on the folder's registry with the
// camera attached, the capture stream in the format the pipeline
// negotiated (opened with the driver's own intersection answer), the
// controls through the driver's property sets, and the registry mailbox
// through which stills are asked for and button presses reported.
//
// Hard part: three threads meet one camera. The capture API serves one
// thread at a time per camera, so every call into it is made under one
// mutex; the streaming thread holds it for one frame interval of the camera
// (one pump) at a time and never across its wait for the clock, so a control
// set from the application thread waits at most for one frame to be made.
// The driver's button poll runs on the host kernel's worker thread (real
// mode) as it does in the driver's own world; the mailbox is read by a
// watcher thread of its own over its own registry connection, and its events
// (a press, a finished still) are handed out without any lock held, so that
// a bus handler that calls back into the element cannot deadlock.
//
// The host kernel and the driver's registration are process-wide: one
// owner per process; a second is refused with a clear error.
//
// It also serves the data folder's control socket for its whole life
// (tools/control_service.h), so `dualcam ctl`, `info` and `stop` reach a
// pipeline's camera: controls through Read and Apply (under the camera's
// lock), a still through the driver's mailbox, status from the figures Pump
// keeps, and stop as the end of the stream (Step::stopped).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "control_service.h"
#include "formats.h"
#include "home.h"
#include "host/classlib/capture_app.h"
#include "host/service/camera_lock.h"
#include "session.h"

namespace dualcam::gst {

// Why the owner refused; the element maps each to a GStreamer error.
enum class Failure {
  kNoCamera,  // unknown device, or a camera that is not there or did not come up
  kBusy,      // another owner (process, or element in this process)
  kSettings,  // data folder, registry, scene, or a control the driver refused
  kFormat,    // the driver does not take the format
  kOpen,      // the driver refused to open or run the stream
};

class OwnerError : public std::runtime_error {
 public:
  OwnerError(Failure failure, const std::string& message) : std::runtime_error(message), failure_(failure) {}
  Failure failure() const { return failure_; }

 private:
  Failure failure_;
};

struct OwnerOptions {
  std::optional<std::string> home;  // data folder; nothing: as the command resolves it
  std::string device = "sim";       // "sim", or a real camera as `dualcam capture --device` names it
  std::string scene = "pattern";    // the simulated camera's scene: "pattern" or a PNG
  // Virtual time for tests: the host kernel's clock and the button poll move
  // with the camera's frames (one poll every half second of frames) instead
  // of real time.
  bool stepped = false;
};

// The devices `device` takes, for messages and the device provider.
inline constexpr char kDeviceNames[] = "sim, usb, usb:VVVV:PPPP or usb:BUS-PORT.PORT";
// True when `device` names the simulated camera.
bool IsSimulatedDevice(const std::string& device);

struct ButtonEvent {};

struct StillEvent {
  bool requested = false;             // asked for by RequestStill (else a press of the button)
  bool saved = false;                 // the driver saved the still
  std::filesystem::path file;         // where the driver saved it
  std::string error;                  // why there is no still or no picture
  std::vector<uint8_t> picture;       // the still, top-down; empty when it could not be rendered
  PictureKind kind = PictureKind::kI420;
  int width = 0, height = 0;
};

using OwnerEvent = std::variant<ButtonEvent, StillEvent>;
using EventSink = std::function<void(OwnerEvent)>;

class CameraOwner {
 public:
  // Takes the camera; throws OwnerError. `sink` receives events from the
  // watcher thread (real time) or from StopStream and DeliverEvents.
  static std::unique_ptr<CameraOwner> Open(const OwnerOptions& options, EventSink sink);
  ~CameraOwner();  // stream stopped, camera removed, lock released
  CameraOwner(const CameraOwner&) = delete;
  CameraOwner& operator=(const CameraOwner&) = delete;

  // The capture pin's formats as the device announced them.
  const std::vector<KS_DATARANGE_VIDEO>& Formats() const { return formats_; }
  const tools::DataHome& Home() const { return home_; }

  // Opens the stream with the driver's intersection answer for `range` and
  // runs it; a stream already running in that format is kept. Throws
  // OwnerError (kFormat, kOpen).
  void StartStream(const KS_DATARANGE_VIDEO& range);
  void StopStream();

  // One frame interval of the camera.
  struct Step {
    std::optional<host::Picture> picture;  // a completed read, if one came
    bool removed = false;                  // the camera is gone
    bool stalled = false;                  // no picture for ten seconds of frames
    bool stopped = false;                  // `dualcam stop` asked the stream to end
  };
  Step Pump();
  // True when the camera sends frames at its own rate (a real camera): the
  // source then takes each as it comes instead of pacing by the clock, and
  // Pump waits for it (at most half a second).
  bool SelfPaced() const;
  // Makes a Pump that waits for the camera return now, and every later one
  // until Resume return at once (the source's unlock, from any thread).
  void Interrupt();
  void Resume();

  // Controls, through the property sets; throw OwnerError(kSettings) when
  // the driver refuses.
  tools::DriverSession::Reading Read(const tools::ControlDef& control);
  void Apply(const tools::ControlSetting& setting);

  // Asks the driver for a still through its mailbox; the result comes as a
  // StillEvent. False when one is on its way already or nothing streams.
  bool RequestStill();
  // Stepped mode: hands out the events the last pumps gathered (the element
  // calls it after Pump, outside the camera's lock).
  void DeliverEvents();

  // The simulated camera's hardware, for tests (a real camera's button is
  // pressed by hand).
  void PressButton();
  void SurpriseRemove();

 private:
  class Mailbox;
  CameraOwner() = default;
  void StopStreamLocked(std::vector<OwnerEvent>& events);
  void Emit(std::vector<OwnerEvent> events);
  void WatchLoop();

  OwnerOptions options_;
  tools::DataHome home_;
  EventSink sink_;
  std::unique_ptr<host::service::CameraLock> lock_;
  bool process_slot_ = false;
  std::shared_ptr<host::sim::SimCamera> sim_;  // the simulated camera, or null
  std::shared_ptr<host::bus::UsbDevice> bus_;  // a real camera's bus, or null; outlives the session
  std::atomic<bool> interrupted_{false};

  std::mutex camera_mutex_;  // one thread at a time in the capture API
  std::unique_ptr<tools::DriverSession> session_;
  std::unique_ptr<host::CaptureStream> stream_;
  std::vector<KS_DATARANGE_VIDEO> formats_;
  std::optional<KS_DATARANGE_VIDEO> running_range_;  // the range the stream runs in
  LONGLONG interval_ = 0;                            // its frame interval, 100 ns units
  uint64_t pumps_ = 0;
  uint64_t empty_pumps_ = 0;
  std::chrono::steady_clock::time_point empty_since_{};

  std::unique_ptr<Mailbox> mailbox_;
  std::mutex events_mutex_;
  std::vector<OwnerEvent> gathered_;  // stepped mode: events waiting for DeliverEvents

  tools::CaptureFigures figures_;
  std::atomic<bool> stop_requested_{false};
  std::unique_ptr<host::service::ControlServer> service_;  // goes first: it calls Read and Apply

  std::mutex watch_mutex_;
  std::condition_variable watch_wake_;
  bool watch_stop_ = false;
  std::thread watcher_;
};

}  // namespace dualcam::gst
