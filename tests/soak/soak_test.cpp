// Long simulated service of two cameras through the capture-application
// API on the virtual clock: streams opened and closed in every format,
// damaged packet streams, image and exposure control changes, stills asked
// for by the button, the registry mailbox and the still-capture property,
// power save and restore, surprise removal and re-arrival.
//
// Hard part: judging a long random run. Each step is drawn from a seeded
// generator (the seed is printed, so a failure replays), and the checks are
// the invariants that hold whatever was drawn: every read completes with
// success and the format's size, every picture is a decoded one, a repeat
// of the one before, or the blank one (for VQJ9 a sample or the
// no-picture marker); mailbox results are only "saved" or "failed", and a
// saved still is a whole snapshot file; no request is misused; and once
// every camera has gone, the pool holds exactly what it held before the
// first arrived. Streaming time is virtual: each picture a read returns
// moves the kernel's clock on by the stream's frame interval, so a run can
// be measured in hours of video however fast the machine is.
// DUALCAM_SOAK_HOURS runs until each camera has streamed that long, and
// DUALCAM_SOAK_MINUTES for that long on the wall clock (with both, the first
// reached ends the run), instead of the short CI length; ASan's leak check
// covers the heap as well. DUALCAM_SOAK_REMOVAL=0 leaves surprise removal out.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "camera/extension_properties.h"
#include "driver/entry.h"
#include "host/classlib/capture_app.h"
#include "host/kernel/host_kernel.h"
#include "host/classlib/stream_class.h"
#include "pipeline/render.h"
#include "platform/ks.h"

namespace dualcam::soak {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kRgb24 = 0;
constexpr DWORD kI420 = 0x30323449;
constexpr DWORD kVqj9 = 0x394A5156;
constexpr DWORD kCompressions[] = {kRgb24, kI420, kVqj9};
constexpr LONG kSizes[][2] = {{160, 120}, {176, 144}, {320, 240}, {352, 288}};

// CI length in steps per camera; DUALCAM_SOAK_HOURS and DUALCAM_SOAK_MINUTES
// replace it by time.
constexpr int kCiSteps = 60;

// Records that grow with the run (the clock's delays, each simulated
// camera's request log) are emptied this often, in steps (poll cycles for
// the clock on the threaded run).
constexpr int kRecordSteps = 1000;

// Virtual time, in the kernel clock's 100 ns units.
constexpr LONGLONG kUnitsPerSecond = 10'000'000;
constexpr LONGLONG kUnitsPerHour = 3600 * kUnitsPerSecond;
// A progress line each time the least-streamed camera passes a multiple of this.
constexpr LONGLONG kProgressUnits = 600 * kUnitsPerSecond;

double EnvNumber(const char* name) {
  const char* text = std::getenv(name);
  return text ? std::atof(text) : 0.0;
}

double SoakMinutes() { return EnvNumber("DUALCAM_SOAK_MINUTES"); }

// Frame time each camera must stream, 0 when the run is not measured so.
LONGLONG SoakStreamUnits() {
  const double hours = EnvNumber("DUALCAM_SOAK_HOURS");
  return hours > 0 ? static_cast<LONGLONG>(hours * static_cast<double>(kUnitsPerHour)) : 0;
}

// h:mm:ss of a span of virtual time.
std::string Hms(LONGLONG units) {
  const long long seconds = units / kUnitsPerSecond;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

struct Tally {
  uint64_t Reads = 0, Decoded = 0, Repeated = 0, Blank = 0, NoPicture = 0;
  uint64_t Stills = 0, StillsFailed = 0, PropertyStills = 0;
  uint64_t Opens = 0, Removals = 0, PowerCycles = 0, ControlChanges = 0;
  void Add(const Tally& o) {
    Reads += o.Reads, Decoded += o.Decoded, Repeated += o.Repeated, Blank += o.Blank, NoPicture += o.NoPicture;
    Stills += o.Stills, StillsFailed += o.StillsFailed, PropertyStills += o.PropertyStills;
    Opens += o.Opens, Removals += o.Removals, PowerCycles += o.PowerCycles, ControlChanges += o.ControlChanges;
  }
};

// One camera's life: its device, its open stream and the last picture.
class CameraLife {
 public:
  CameraLife(host::CaptureDriver& driver, host::Clock& clock, uint64_t seed)
      : driver_(driver), clock_(clock), random_(seed) {
    Arrive();
  }
  ~CameraLife() { Leave(); }

  // One random step; surprise removal (and re-arrival) only when allowed.
  void Step(bool removalAllowed) {
    if (!camera_) {
      Arrive();
      return;
    }
    // The simulated camera logs every request it answers; a camera that is
    // never taken away would grow that log for the whole run.
    if (++steps_ % kRecordSteps == 0) camera_->Camera().ClearRequestLog();
    switch (Draw(12)) {
      case 0: case 1: case 2: case 3: ReadSome(); break;
      case 4: Reopen(); break;
      case 5: Faults(); break;
      case 6: Control(); break;
      case 7: camera_->Camera().PressButton(); break;
      case 8: PropertyStill(); break;
      case 9: PowerCycle(); break;
      case 10:
        if (removalAllowed && Draw(3) == 0) Remove();
        break;
      default: Close(); break;
    }
  }

  const Tally& Counts() const { return tally_; }
  host::CaptureCamera* Camera() { return camera_.get(); }
  // Frame time of the pictures this camera delivered, over all its lives.
  LONGLONG Streamed() const { return streamed_.load(std::memory_order_relaxed); }

 private:
  unsigned Draw(unsigned n) { return static_cast<unsigned>(random_() % n); }

  void Arrive() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    camera_ = driver_.Attach(std::make_shared<host::sim::SimCamera>(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_TRUE(camera_);
    info_ = camera_->GetStreamInfo();
    Reopen();
  }

  void Leave() {
    Close();
    if (camera_) camera_->Uninitialize();
    camera_.reset();
  }

  void Remove() {
    ++tally_.Removals;
    camera_->SurpriseRemove();
    stream_.reset();  // detached by the removal; its reads come back cancelled
    camera_->Uninitialize();
    camera_.reset();
  }

  void Close() {
    if (!stream_) return;
    stream_->SetState(KSSTATE_STOP);
    EXPECT_EQ(stream_->Close(), STATUS_SUCCESS);
    stream_.reset();
  }

  void Reopen() {
    Close();
    compression_ = kCompressions[Draw(3)];
    const auto& size = kSizes[Draw(4)];
    const KS_DATARANGE_VIDEO* range = host::FindRange(info_, compression_, size[0], size[1]);
    ASSERT_NE(range, nullptr);
    const KS_DATAFORMAT_VIDEOINFOHEADER format = host::FormatFromRange(*range);
    sampleSize_ = format.DataFormat.SampleSize;
    frameInterval_ = format.VideoInfoHeader.AvgTimePerFrame;
    ASSERT_GT(frameInterval_, 0);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    stream_ = camera_->OpenStream(format, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    previous_.clear();
    ++tally_.Opens;
  }

  void ReadSome() {
    if (!stream_) Reopen();
    for (const host::Picture& picture : stream_->Read(1 + Draw(4))) Judge(picture);
  }

  void Judge(const host::Picture& picture) {
    ++tally_.Reads;
    if (picture.Status == STATUS_CANCELLED) return;
    ASSERT_EQ(picture.Status, STATUS_SUCCESS);
    // A delivered picture is one frame interval of video.
    clock_.Advance(frameInterval_);
    streamed_.store(streamed_.load(std::memory_order_relaxed) + frameInterval_, std::memory_order_relaxed);
    if (compression_ == kVqj9) {
      ASSERT_GE(picture.BytesUsed, sizeof pipeline::kNoPictureMarker);
      ASSERT_LE(picture.BytesUsed, picture.Bytes.size());
      if (std::memcmp(picture.Bytes.data(), pipeline::kPassThroughTag, 4) == 0)
        ++tally_.Decoded;
      else if (std::memcmp(picture.Bytes.data(), pipeline::kNoPictureMarker, sizeof pipeline::kNoPictureMarker) == 0)
        ++tally_.NoPicture;
      else
        ADD_FAILURE() << "a VQJ9 buffer that is neither a sample nor the marker";
      return;
    }
    ASSERT_EQ(picture.BytesUsed, sampleSize_);
    const auto used = picture.Used();
    if (std::all_of(used.begin(), used.end(), [](uint8_t b) { return b == 0; }))
      ++tally_.Blank;
    else if (previous_.size() == used.size() && std::equal(used.begin(), used.end(), previous_.begin()))
      ++tally_.Repeated;
    else
      ++tally_.Decoded;
    previous_.assign(used.begin(), used.end());
  }

  void Faults() {
    host::sim::PacketFaults faults;
    faults.seed = random_();
    if (Draw(3) != 0) {  // else clean again
      faults.drop = Draw(4000);
      faults.reorder = Draw(2000);
      faults.truncate = Draw(2000);
      faults.error = Draw(2000);
    }
    camera_->Camera().SetPacketFaults(faults);
  }

  void Control() {
    ++tally_.ControlChanges;
    static constexpr ULONG kProcAmp[] = {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                                         KSPROPERTY_VIDEOPROCAMP_HUE,        KSPROPERTY_VIDEOPROCAMP_SATURATION,
                                         KSPROPERTY_VIDEOPROCAMP_SHARPNESS,  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
                                         KSPROPERTY_VIDEOPROCAMP_GAMMA};
    // Values in and out of range; out of range is refused and changes nothing.
    const LONG value = static_cast<LONG>(Draw(800)) - 20;
    if (Draw(4) == 0) {
      camera_->SetControl(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, value % 70, 1 + Draw(2));
    } else {
      const ULONG id = kProcAmp[Draw(7)];
      camera_->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, id, value, 1 + Draw(2));
      // A new tone curve changes the next repeat too.
      if (id == KSPROPERTY_VIDEOPROCAMP_GAMMA) previous_.clear();
    }
  }

  void PropertyStill() {
    std::vector<uint8_t> buffer(camera::kExtensionBufferSize, 0);
    KSPROPERTY header{camera::PROPSETID_CAMERA_EXTENSION, camera::CAMEXT_STILL_CAPTURE, KSPROPERTY_TYPE_GET};
    std::memcpy(buffer.data(), &header, sizeof header);
    const host::RequestOutcome outcome = camera_->Property(false, buffer);
    EXPECT_TRUE(outcome.CompletedOnce());
    if (outcome.Status == STATUS_SUCCESS) {
      ULONG value;
      std::memcpy(&value, buffer.data() + camera::kExtValueOffset, sizeof value);
      EXPECT_TRUE(value == 0 || value == camera::kExtDataSize) << value;
      if (value != 0) ++tally_.PropertyStills;
    }
  }

  void PowerCycle() {
    ++tally_.PowerCycles;
    EXPECT_EQ(camera_->SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(camera_->SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  }

  host::CaptureDriver& driver_;
  host::Clock& clock_;
  std::mt19937_64 random_;
  std::unique_ptr<host::CaptureCamera> camera_;
  std::unique_ptr<host::CaptureStream> stream_;
  host::StreamInfo info_;
  DWORD compression_ = kRgb24;
  ULONG sampleSize_ = 0;
  LONGLONG frameInterval_ = 0;  // AvgTimePerFrame of the open stream
  // Written by the camera's own thread, read by the one reporting progress.
  std::atomic<LONGLONG> streamed_{0};
  std::vector<uint8_t> previous_;
  Tally tally_;
  uint64_t steps_ = 0;
};

class SoakWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(host::InstallSettingsKey(kernel_.registry()), STATUS_SUCCESS);
    fs::create_directories(SnapshotFolder());
    misuse_ = host::StreamClassMisuse();
    poolBefore_ = kernel_.pool().LiveTotal();
    clockStart_ = kernel_.clock().Now();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = host::CaptureDriver::Load(driver::DriverEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }

  fs::path SnapshotFolder() { return kernel_.fileRoot() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730"; }

  // A poll cycle of every camera, with the mailbox driven as an imaging
  // application drives it: ask for a still, take the result, clear it.
  void Polls(std::mt19937_64& random, Tally& tally) {
    host::Registry& registry = kernel_.registry();
    const auto result = registry.GetDword(host::kSettingsKeyPath, "SnapShot");
    if (result && *result != 0) {
      EXPECT_TRUE(*result == 1 || *result == 2) << *result;
      if (*result == 1) {
        ++tally.Stills;
        std::error_code error;
        EXPECT_EQ(fs::file_size(SnapshotFolder() / "snapraw.dat", error), 203776u);
      } else {
        ++tally.StillsFailed;
      }
      registry.SetDword(host::kSettingsKeyPath, "SnapShot", 0);
    } else if (random() % 3 == 0) {
      registry.SetDword(host::kSettingsKeyPath, "SnapShot", 0);
      registry.SetDword(host::kSettingsKeyPath, "SnapShoot", 1);
    }
    for (std::size_t i = kernel_.workQueue().Pending(); i > 0; --i) kernel_.workQueue().RunNext();
  }

  // A progress line for long runs, each time the least-streamed camera
  // passes another kProgressUnits of frame time.
  void Progress(LONGLONG first, LONGLONG second, std::chrono::steady_clock::time_point start) {
    const LONGLONG least = std::min(first, second);
    if (least < nextProgress_) return;
    nextProgress_ = (least / kProgressUnits + 1) * kProgressUnits;
    const double minutes = std::chrono::duration<double, std::ratio<60>>(std::chrono::steady_clock::now() - start).count();
    std::printf("soak progress: streamed %s and %s, virtual clock %s, %.1f wall minutes\n", Hms(first).c_str(),
                Hms(second).c_str(), Hms(kernel_.clock().Now() - clockStart_).c_str(), minutes);
    std::fflush(stdout);
  }

  void ExpectCleanEnd(const Tally& tally, LONGLONG first, LONGLONG second) {
    std::printf("soak: %llu reads: %llu decoded, %llu repeated, %llu blank, %llu no-picture; "
                "%llu stills saved, %llu failed, %llu by property; %llu opens, %llu removals, %llu power cycles, "
                "%llu control changes; streamed %s and %s (h:mm:ss of frames per camera), virtual clock %s\n",
                (unsigned long long)tally.Reads, (unsigned long long)tally.Decoded,
                (unsigned long long)tally.Repeated, (unsigned long long)tally.Blank,
                (unsigned long long)tally.NoPicture, (unsigned long long)tally.Stills,
                (unsigned long long)tally.StillsFailed, (unsigned long long)tally.PropertyStills,
                (unsigned long long)tally.Opens, (unsigned long long)tally.Removals,
                (unsigned long long)tally.PowerCycles, (unsigned long long)tally.ControlChanges, Hms(first).c_str(),
                Hms(second).c_str(), Hms(kernel_.clock().Now() - clockStart_).c_str());
    EXPECT_GT(tally.Decoded, 0u);
    EXPECT_EQ(host::StreamClassMisuse(), misuse_);
    EXPECT_EQ(kernel_.Misuse(), 0u);
    const host::PoolUsage after = kernel_.pool().LiveTotal();
    EXPECT_EQ(after.Blocks, poolBefore_.Blocks);
    EXPECT_EQ(after.Bytes, poolBefore_.Bytes);
    EXPECT_EQ(kernel_.pool().BadFrees(), 0u);
  }

  host::HostKernel kernel_{host::HostOptions::ForTests()};
  host::ScopedKernel installed_{kernel_};
  std::unique_ptr<host::CaptureDriver> driver_;
  uint64_t misuse_ = 0;
  host::PoolUsage poolBefore_;
  LONGLONG clockStart_ = 0;
  LONGLONG nextProgress_ = kProgressUnits;
};

// DUALCAM_SOAK_SEED replays a run; otherwise each run draws its own.
uint64_t SoakSeed() {
  const char* text = std::getenv("DUALCAM_SOAK_SEED");
  return text ? std::strtoull(text, nullptr, 10) : std::random_device{}();
}

// Whether a camera (or both, given the lesser of their streamed times) goes
// on: the CI length in steps, or until the time limits that are set.
bool KeepGoing(int step, LONGLONG streamed, std::chrono::steady_clock::time_point start) {
  const double minutes = SoakMinutes();
  const LONGLONG goal = SoakStreamUnits();
  if (minutes <= 0 && goal <= 0) return step < kCiSteps;
  if (goal > 0 && streamed >= goal) return false;
  return minutes <= 0 ||
         std::chrono::steady_clock::now() - start < std::chrono::duration<double, std::ratio<60>>(minutes);
}

bool LongRun() { return SoakMinutes() > 0 || SoakStreamUnits() > 0; }

// Surprise removal is part of every run; DUALCAM_SOAK_REMOVAL=0 leaves it
// out, to soak the rest for long while a removal fault is being mended.
bool RemovalAllowed() {
  const char* text = std::getenv("DUALCAM_SOAK_REMOVAL");
  return text == nullptr || std::strcmp(text, "0") != 0;
}

TEST_F(SoakWorld, TwoCamerasThroughFaultsStillsControlsPowerAndRemoval) {
  const uint64_t seed = SoakSeed();
  std::printf("soak seed %llu%s\n", (unsigned long long)seed, RemovalAllowed() ? "" : ", no removal");
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  Tally tally;
  LONGLONG streamed[2] = {0, 0};
  {
    CameraLife first(*driver_, kernel_.clock(), random()), second(*driver_, kernel_.clock(), random());
    const auto start = std::chrono::steady_clock::now();
    for (int step = 0; KeepGoing(step, std::min(first.Streamed(), second.Streamed()), start) && !HasFatalFailure();
         ++step) {
      first.Step(RemovalAllowed());
      second.Step(RemovalAllowed());
      if (step % 3 == 0) Polls(random, tally);
      if (step % kRecordSteps == 0) kernel_.clock().ClearDelays();
      if (LongRun()) Progress(first.Streamed(), second.Streamed(), start);
    }
    tally.Add(first.Counts());
    tally.Add(second.Counts());
    streamed[0] = first.Streamed();
    streamed[1] = second.Streamed();
  }
  for (std::size_t i = kernel_.workQueue().Pending(); i > 0; --i) kernel_.workQueue().RunNext();
  driver_.reset();
  ExpectCleanEnd(tally, streamed[0], streamed[1]);
}

// The same life with each camera driven from its own thread while this
// thread runs the button polls and the mailbox, removal included: a poll
// cycle of a camera may be waiting or running here while its own thread
// takes it away, and the record must outlive it.
class SoakConcurrency : public SoakWorld {};

TEST_F(SoakConcurrency, TwoCamerasOnTheirOwnThreadsWithPollsBeside) {
  const uint64_t seed = SoakSeed();
  std::printf("soak seed %llu%s\n", (unsigned long long)seed, RemovalAllowed() ? "" : ", no removal");
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  Tally tally;
  LONGLONG streamed[2] = {0, 0};
  {
    CameraLife first(*driver_, kernel_.clock(), random()), second(*driver_, kernel_.clock(), random());
    std::atomic<int> running{2};
    const auto start = std::chrono::steady_clock::now();
    // Each thread streams until its own camera has streamed enough.
    auto life = [&](CameraLife& camera) {
      for (int step = 0; KeepGoing(step, camera.Streamed(), start); ++step) camera.Step(RemovalAllowed());
      running.fetch_sub(1);
    };
    std::thread a(life, std::ref(first)), b(life, std::ref(second));
    for (int cycle = 0; running.load() > 0; ++cycle) {
      Polls(random, tally);
      if (cycle % kRecordSteps == 0) kernel_.clock().ClearDelays();
      if (LongRun()) Progress(first.Streamed(), second.Streamed(), start);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    a.join();
    b.join();
    tally.Add(first.Counts());
    tally.Add(second.Counts());
    streamed[0] = first.Streamed();
    streamed[1] = second.Streamed();
  }
  for (std::size_t i = kernel_.workQueue().Pending(); i > 0; --i) kernel_.workQueue().RunNext();
  driver_.reset();
  ExpectCleanEnd(tally, streamed[0], streamed[1]);
}

}  // namespace
}  // namespace dualcam::soak
