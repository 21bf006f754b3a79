// The pipeline's camera (see camera_owner.h).
#include "camera_owner.h"

#include <cstdio>
#include <cstring>

#include "command.h"
#include "host/bus/libusb_bus.h"
#include "host/kernel/registry.h"
#include "host/sim/scene.h"
#include "image_io.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "render_io.h"
#include "snapshot_file.h"

namespace dualcam::gst {
namespace {

using Clock = std::chrono::steady_clock;

// One camera per process: the host kernel and the driver's registration are
// the process's.
std::mutex g_slot_mutex;
bool g_slot_taken = false;

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string Describe(const FormatDesc& format) {
  const char* kind = format.kind == PictureKind::kI420 ? "I420" : format.kind == PictureKind::kBgr ? "BGR" : "VQJ9";
  return std::string(kind) + " " + std::to_string(format.width) + "x" + std::to_string(format.height);
}

// Half a second of the camera's frames: how often the button poll runs when
// time moves with the frames.
uint64_t PumpsPerPoll(LONGLONG interval) {
  constexpr LONGLONG kPollPeriod = 5'000'000;  // 100 ns units
  return interval > 0 ? std::max<uint64_t>(1, static_cast<uint64_t>((kPollPeriod + interval / 2) / interval)) : 15;
}

constexpr LONGLONG kDefaultInterval = 333'333;
constexpr LONGLONG kStallTime = 100'000'000;   // ten seconds of frames without a picture
constexpr auto kStallWallTime = std::chrono::seconds(5);
constexpr int kStillAnswerSeconds = 10;        // as `dualcam snapshot` waits
constexpr int kButtonStillSeconds = 5;         // a press's still follows within a few polls

}  // namespace

bool IsSimulatedDevice(const std::string& device) { return device.empty() || device == "sim"; }

// The driver's registry mailbox, as `dualcam snapshot` uses it from another
// process: "SnapShot" 0 and "SnapShoot" 1 ask for a still; the driver's
// poll answers with "SnapShot" 1 (saved) or 2 (failed) and "SnapShoot" 0;
// the answer is accepted ("SnapShot" 0) once the file has been read, since
// the driver then writes the next still over it. A press of the button
// shows as "TimerTrigger" 1, which is acknowledged with 0; while streaming,
// the press also brings a still, which is taken the same way. Results that
// this owner neither asked for nor saw a press for are left alone: they
// belong to another program using the same mailbox.
class CameraOwner::Mailbox {
 public:
  Mailbox(const tools::DataHome& home, int checks_per_second)
      : home_(home), registry_(home.RegistryFile()), checks_per_second_(checks_per_second) {}

  void SetStillKind(PictureKind kind) {
    std::lock_guard lock(mutex_);
    kind_ = kind == PictureKind::kBgr ? PictureKind::kBgr : PictureKind::kI420;
  }

  bool Request() {
    std::lock_guard lock(mutex_);
    if (pending_) return false;
    // The driver only saves a still while "SnapShot" reads 0.
    if (registry_.SetDword(kKey, "SnapShot", 0) != STATUS_SUCCESS ||
        registry_.SetDword(kKey, "SnapShoot", 1) != STATUS_SUCCESS)
      return false;
    pending_ = true;
    pending_checks_ = 0;
    return true;
  }

  void Withdraw(std::vector<OwnerEvent>& out, const std::string& why) {
    std::lock_guard lock(mutex_);
    button_checks_ = 0;
    if (!pending_) return;
    registry_.SetDword(kKey, "SnapShoot", 0);
    pending_ = false;
    StillEvent event;
    event.requested = true;
    event.error = why;
    out.push_back(std::move(event));
  }

  void Check(std::vector<OwnerEvent>& out) {
    std::lock_guard lock(mutex_);
    if (registry_.GetDword(kKey, "TimerTrigger") == 1u) {
      registry_.SetDword(kKey, "TimerTrigger", 0);
      out.push_back(ButtonEvent{});
      button_checks_ = kButtonStillSeconds * checks_per_second_;
    }
    if (!pending_ && button_checks_ == 0) return;
    const auto shot = registry_.GetDword(kKey, "SnapShot");
    if (shot && *shot != 0 && registry_.GetDword(kKey, "SnapShoot") == 0u) {
      StillEvent event;
      event.requested = pending_;
      event.saved = *shot == 1;
      event.file = home_.SnapshotFile();
      if (event.saved) {
        Render(event);
      } else {
        event.error = "the driver could not take the still (SnapShot = " + std::to_string(*shot) + ")";
      }
      registry_.SetDword(kKey, "SnapShot", 0);
      pending_ = false;
      button_checks_ = 0;
      out.push_back(std::move(event));
      return;
    }
    if (button_checks_ > 0) --button_checks_;
    if (pending_ && ++pending_checks_ > kStillAnswerSeconds * checks_per_second_) {
      registry_.SetDword(kKey, "SnapShoot", 0);
      pending_ = false;
      StillEvent event;
      event.requested = true;
      event.error = "no answer from the driver within " + std::to_string(kStillAnswerSeconds) + " s";
      out.push_back(std::move(event));
    }
  }

 private:
  static constexpr std::string_view kKey = host::kSettingsKeyPath;

  // The saved file, rendered as the snapshot command renders it.
  void Render(StillEvent& event) const {
    std::vector<uint8_t> file;
    try {
      file = tools::ReadWholeFile(event.file, 1u << 20);
    } catch (const tools::ToolError& error) {
      event.error = error.what();
      return;
    }
    const auto still = tools::SnapshotToRawFrame(file);
    if (!still) {
      event.error = "the snapshot file is incomplete (" + std::to_string(file.size()) + " bytes)";
      return;
    }
    const bool planar = kind_ != PictureKind::kBgr;
    const int gamma = still->gamma < pipeline::kToneCurveCount ? still->gamma : 0;
    auto picture = tools::RenderRawFrame(still->raw_frame, tools::kStillWidth, tools::kStillHeight, planar,
                                         pipeline::kMaxQualityIndex, gamma);
    if (!picture) {
      event.error = "the still in " + event.file.string() + " cannot be decoded";
      return;
    }
    event.kind = kind_;
    event.width = tools::kStillWidth;
    event.height = tools::kStillHeight;
    if (planar) {
      event.picture = std::move(*picture);
    } else {
      event.picture.resize(picture->size());
      FlipRows(picture->data(), event.width, event.height, event.picture.data(),
               static_cast<std::size_t>(event.width) * 3);
    }
  }

  tools::DataHome home_;
  std::mutex mutex_;
  host::Registry registry_;
  const int checks_per_second_;
  PictureKind kind_ = PictureKind::kI420;
  bool pending_ = false;
  int pending_checks_ = 0;
  int button_checks_ = 0;  // a press was seen: its still may come for this many checks
};

std::unique_ptr<CameraOwner> CameraOwner::Open(const OwnerOptions& options, EventSink sink) {
  std::unique_ptr<CameraOwner> owner(new CameraOwner());
  owner->options_ = options;
  owner->sink_ = std::move(sink);
  // A real camera is named as the USB bus names it; it films what is in
  // front of it and keeps its own time.
  std::optional<host::bus::DeviceSelector> selector;
  if (!IsSimulatedDevice(options.device)) {
    std::string why;
    selector = host::bus::ParseDeviceSelector(options.device, &why);
    if (!selector)
      throw OwnerError(Failure::kNoCamera, "unknown device '" + options.device + "' (" + kDeviceNames + "): " + why);
    if (options.scene != "pattern")
      throw OwnerError(Failure::kSettings, "scene is for the simulated camera; a real camera (device=" +
                                               options.device + ") films what is in front of it");
    if (options.stepped)
      throw OwnerError(Failure::kNoCamera, "a real camera (device=" + options.device + ") cannot run on virtual time");
  }
  try {
    owner->home_ = tools::OpenHome(options.home);
  } catch (const tools::ToolError& error) {
    throw OwnerError(Failure::kSettings, error.what());
  }

  host::service::CameraLock::Attempt attempt = host::service::CameraLock::TryAcquire(owner->home_.root);
  if (!attempt.Held()) {
    if (attempt.error)
      throw OwnerError(Failure::kSettings,
                       "cannot lock the camera of " + owner->home_.root.string() + ": " + attempt.error.message());
    throw OwnerError(Failure::kBusy, host::service::CameraInUseMessage(attempt.holder));
  }
  owner->lock_ = std::move(attempt.lock);
  {
    std::lock_guard lock(g_slot_mutex);
    if (g_slot_taken)
      throw OwnerError(Failure::kBusy, "this process has a camera open already (one camera per process)");
    g_slot_taken = true;
    owner->process_slot_ = true;
  }

  try {
    if (selector) {
      // Found and claimed only now that the data folder's camera is ours.
      auto opened = host::bus::LibusbBus::Open(*selector);
      if (!opened.device)
        throw OwnerError(opened.status == host::bus::Status::kBusy ? Failure::kBusy : Failure::kNoCamera,
                         opened.message);
      owner->bus_ = opened.device;
      owner->session_ = std::make_unique<tools::DriverSession>(
          owner->home_, /*realtime=*/true, std::shared_ptr<host::bus::UsbDevice>(std::move(opened.device)));
    } else {
      owner->sim_ = std::make_shared<host::sim::SimCamera>();
      if (options.scene != "pattern") {
        std::string error;
        auto photo = host::sim::PhotoScene::Load(options.scene, &error);
        if (!photo) throw OwnerError(Failure::kSettings, "cannot use '" + options.scene + "' as the scene: " + error);
        owner->sim_->SetScene(photo);
      }
      owner->session_ = std::make_unique<tools::DriverSession>(owner->home_, !options.stepped, owner->sim_);
    }
  } catch (const tools::ToolError& error) {
    throw OwnerError(Failure::kNoCamera, error.what());
  }
  const host::StreamInfo info = owner->session_->camera().GetStreamInfo();
  if (info.Status != STATUS_SUCCESS || info.Formats.empty())
    throw OwnerError(Failure::kNoCamera, "the camera announced no formats (status " + Hex(info.Status) + ")");
  owner->formats_ = info.Formats;
  owner->mailbox_ = std::make_unique<Mailbox>(owner->home_, options.stepped ? 2 : 10);
  if (!options.stepped) owner->watcher_ = std::thread(&CameraOwner::WatchLoop, owner.get());
  // Without the socket (a folder writable by every user) the pipeline runs on.
  CameraOwner* raw = owner.get();
  owner->service_ = tools::ServeCapture(
      {owner->home_, *owner->lock_,
       {[raw](const tools::ControlDef& control) { return raw->Read(control); },
        [raw](const tools::ControlSetting& setting) { raw->Apply(setting); }},
       &owner->figures_, [raw] { raw->stop_requested_ = true; }, [raw] { return raw->stop_requested_.load(); }},
      nullptr);
  return owner;
}

CameraOwner::~CameraOwner() {
  stop_requested_ = true;  // a still being waited for over the socket gives up
  service_.reset();
  {
    std::lock_guard lock(watch_mutex_);
    watch_stop_ = true;
  }
  watch_wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  {
    std::lock_guard lock(camera_mutex_);
    std::vector<OwnerEvent> ignored;
    if (mailbox_) StopStreamLocked(ignored);
    // The camera goes before the lock: nobody else may touch it meanwhile.
    session_.reset();
  }
  lock_.reset();
  if (process_slot_) {
    std::lock_guard lock(g_slot_mutex);
    g_slot_taken = false;
  }
}

void CameraOwner::WatchLoop() {
  for (;;) {
    {
      std::unique_lock lock(watch_mutex_);
      if (watch_wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return watch_stop_; })) return;
    }
    std::vector<OwnerEvent> events;
    mailbox_->Check(events);
    Emit(std::move(events));
  }
}

void CameraOwner::Emit(std::vector<OwnerEvent> events) {
  if (!sink_) return;
  for (OwnerEvent& event : events) sink_(std::move(event));
}

void CameraOwner::DeliverEvents() {
  std::vector<OwnerEvent> events;
  {
    std::lock_guard lock(events_mutex_);
    events.swap(gathered_);
  }
  Emit(std::move(events));
}

void CameraOwner::StartStream(const KS_DATARANGE_VIDEO& range) {
  std::vector<OwnerEvent> events;
  {
    std::lock_guard lock(camera_mutex_);
    if (stream_ && running_range_ && std::memcmp(&*running_range_, &range, sizeof range) == 0) return;
    StopStreamLocked(events);
    const auto format = DescribeRange(range);
    if (!format) throw OwnerError(Failure::kFormat, "the camera's format record cannot be carried in a pipeline");
    // The format to open with is the driver's own answer for the range.
    KS_DATAFORMAT_VIDEOINFOHEADER open{};
    std::array<uint8_t, sizeof open> answer{};
    host::CaptureCamera& camera = session_->camera();
    const host::RequestOutcome outcome = camera.Intersect(range, answer);
    if (outcome.Status != STATUS_SUCCESS || outcome.ActualBytesTransferred != sizeof open)
      throw OwnerError(Failure::kFormat, "the driver does not take " + Describe(*format) + " (data intersection status " +
                                             Hex(outcome.Status) + ")");
    std::memcpy(&open, answer.data(), sizeof open);
    NTSTATUS status = STATUS_SUCCESS;
    auto stream = camera.OpenStream(open, &status);
    if (!stream) {
      const auto bulk = session_->kernel().registry().GetDword(host::kSettingsKeyPath, "BulkMode");
      throw OwnerError(Failure::kOpen, "the driver refused to open the stream in " + Describe(*format) + " (status " +
                                           Hex(status) + ")" +
                                           (bulk != 0u ? "; BulkMode in the settings key is not 0" : ""));
    }
    status = stream->SetState(KSSTATE_RUN);
    if (status != STATUS_SUCCESS)
      throw OwnerError(Failure::kOpen, "the stream did not start running (status " + Hex(status) + ")");
    stream_ = std::move(stream);
    running_range_ = range;
    interval_ = range.VideoInfoHeader.AvgTimePerFrame > 0 ? range.VideoInfoHeader.AvgTimePerFrame : kDefaultInterval;
    pumps_ = 0;
    empty_pumps_ = 0;
    mailbox_->SetStillKind(format->kind);
    stop_requested_ = false;
    const char* kind = format->kind == PictureKind::kI420 ? "i420" : format->kind == PictureKind::kBgr ? "rgb24" : "vqj9";
    figures_.SetFormat(tools::OpenFormat{kind, format->width, format->height,
                                         1e7 / static_cast<double>(interval_)});
  }
  Emit(std::move(events));
}

void CameraOwner::StopStream() {
  std::vector<OwnerEvent> events;
  {
    std::lock_guard lock(camera_mutex_);
    StopStreamLocked(events);
  }
  Emit(std::move(events));
}

void CameraOwner::StopStreamLocked(std::vector<OwnerEvent>& events) {
  if (!stream_) return;
  stream_->SetState(KSSTATE_STOP);
  stream_->Close();
  stream_.reset();
  running_range_.reset();
  figures_.SetFormat(std::nullopt);
  mailbox_->Withdraw(events, "the stream stopped before the still was taken");
}

bool CameraOwner::SelfPaced() const { return bus_ != nullptr; }

void CameraOwner::Interrupt() {
  interrupted_ = true;
  if (bus_) bus_->Interrupt();  // a read waiting for the camera's next frame returns now
}

void CameraOwner::Resume() { interrupted_ = false; }

CameraOwner::Step CameraOwner::Pump() {
  std::lock_guard lock(camera_mutex_);
  Step step;
  if (!stream_ || interrupted_) return step;
  host::CaptureCamera& camera = session_->camera();
  // One read waits at a time; each call lets the camera send one frame.
  std::vector<host::Picture> pictures = stream_->Read(stream_->WaitingReads() == 0 ? 1 : 0, 0, 1);
  ++pumps_;
  if (options_.stepped) {
    // Time moves with the frames: the poll that a worker thread would run
    // every half second runs here, once per half second of frames.
    session_->kernel().clock().Advance(interval_);
    if (pumps_ % PumpsPerPoll(interval_) == 0) {
      host::WorkQueue& queue = session_->kernel().workQueue();
      if (queue.Pending() > 0) queue.RunNext();
      std::vector<OwnerEvent> events;
      mailbox_->Check(events);
      std::lock_guard events_lock(events_mutex_);
      for (OwnerEvent& event : events) gathered_.push_back(std::move(event));
    }
  }
  for (host::Picture& picture : pictures) {
    if (picture.Status == STATUS_SUCCESS) step.picture = std::move(picture);
  }
  if (step.picture) ++figures_.delivered;
  figures_.PublishPackets(camera.Device().Counters());
  step.stopped = stop_requested_.load();
  if (step.picture) {
    empty_pumps_ = 0;
    return step;
  }
  if (camera.CheckRemoval()) {
    step.removed = true;
    return step;
  }
  if (empty_pumps_++ == 0) empty_since_ = Clock::now();
  // A real camera's empty pumps each wait for it: its stall is ten seconds
  // of the clock; the simulated camera's is ten seconds of its frames (and,
  // on real time, some seconds of the clock too, since a still holds frames
  // back until the next button poll).
  if (bus_) {
    step.stalled = Clock::now() - empty_since_ > std::chrono::nanoseconds(kStallTime * 100);
  } else {
    step.stalled = static_cast<LONGLONG>(empty_pumps_) * interval_ > kStallTime &&
                   (options_.stepped || Clock::now() - empty_since_ > kStallWallTime);
  }
  return step;
}

tools::DriverSession::Reading CameraOwner::Read(const tools::ControlDef& control) {
  std::lock_guard lock(camera_mutex_);
  try {
    return session_->Read(control);
  } catch (const tools::ToolError& error) {
    throw OwnerError(Failure::kSettings, error.what());
  }
}

void CameraOwner::Apply(const tools::ControlSetting& setting) {
  std::lock_guard lock(camera_mutex_);
  try {
    session_->Apply(setting);
  } catch (const tools::ToolError& error) {
    throw OwnerError(Failure::kSettings, error.what());
  }
}

bool CameraOwner::RequestStill() {
  {
    std::lock_guard lock(camera_mutex_);
    if (!stream_) return false;
  }
  return mailbox_->Request();
}

void CameraOwner::PressButton() {
  if (sim_) sim_->PressButton();
}

void CameraOwner::SurpriseRemove() {
  std::lock_guard lock(camera_mutex_);
  session_->camera().SurpriseRemove();
}

}  // namespace dualcam::gst
