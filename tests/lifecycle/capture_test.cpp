// Capture set-up and tear-down against the simulated camera and bus: the raw
// mode table, the frame budget, the alternate-setting search, the settings
// re-applied at each capture, the mailbox resets and the start/stop writes.
#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/callbacks.h"
#include "driver/capture.h"
#include "driver/lifecycle.h"
#include "lifecycle_world.h"
#include "pipeline/render.h"
#include "support/sim_device.h"

namespace dualcam::lifecycle::testing {
namespace {

using driver::DeviceContext;
using Lines = std::vector<std::string>;

constexpr DWORD kI420 = 0x30323449;
constexpr DWORD kVqj9 = 0x394A5156;

class CaptureBandwidth : public LifecycleWorld {
 protected:
  void SetUp() override
  {
    device_ = Attach();
    ASSERT_NE(device_, nullptr);
  }
  NTSTATUS Allocate(LONG width, LONG height, DWORD compression, ULONG* rawFrameLength)
  {
    auto format = VideoFormat(width, height, compression);
    return driver::CamAllocateBandwidth(device_->BusDeviceObject(), device_->DeviceContext(), rawFrameLength,
                                        &format);
  }
  DeviceContext* Context() { return Ctx(device_); }

  host::CameraDevice* device_ = nullptr;
};

TEST_F(CaptureBandwidth, EveryFormatSizeMapsToItsRawModeAndFrameBudget)
{
  struct Case {
    LONG Width, Height;
    USHORT SizeIndex;
    ULONG RawWidth, RawHeight, RawFrameLength;  // at P = 1023
  };
  const Case cases[] = {
      {128, 96, 1, 160, 112, 27621},  {160, 120, 2, 160, 128, 1023 * ((1023 + 30720 + 13) / 1022)},
      {176, 144, 3, 176, 144, 1023 * ((1023 + 38016 + 13) / 1022)},
      {240, 180, 4, 320, 240, 115599}, {320, 240, 5, 320, 240, 115599},
      {352, 288, 6, 352, 288, 152427}, {640, 480, 7, 640, 480, 461373},
  };
  for (const Case& c : cases) {
    ULONG length = 0;
    ASSERT_EQ(Allocate(c.Width, c.Height, kVqj9, &length), STATUS_SUCCESS) << c.Width;
    const DeviceContext* ctx = Context();
    EXPECT_EQ(ctx->SizeIndex, c.SizeIndex) << c.Width;
    EXPECT_EQ(ctx->RawWidth, c.RawWidth) << c.Width;
    EXPECT_EQ(ctx->RawHeight, c.RawHeight) << c.Width;
    EXPECT_EQ(ctx->QualityIndex, 3);
    EXPECT_EQ(ctx->RawBitsPerPixel, 12u);
    EXPECT_EQ(ctx->OutputCompression, kVqj9);
    EXPECT_EQ(length, c.RawFrameLength) << c.Width;
    EXPECT_EQ(device_->AlternateSetting(), 5);
  }

  // A size outside the table keeps the previous raw mode.
  ULONG length = 0;
  ASSERT_EQ(Allocate(100, 100, 0, &length), STATUS_SUCCESS);
  EXPECT_EQ(Context()->SizeIndex, 7);
  EXPECT_EQ(Context()->RawWidth, 640u);
  EXPECT_EQ(Context()->FormatWidth, 100);
  EXPECT_EQ(length, 461373u);
  // A negative (top-down) height is not the table's size either.
  ASSERT_EQ(Allocate(320, -240, 0, &length), STATUS_SUCCESS);
  EXPECT_EQ(Context()->SizeIndex, 7);
}

TEST_F(CaptureBandwidth, PacketSizesThatCarryNoPayloadGiveNoBudget)
{
  EXPECT_EQ(driver::ComputeRawFrameBudget(0, 115200), 0u);
  EXPECT_EQ(driver::ComputeRawFrameBudget(1, 115200), 0u);
  // Two bytes a packet: one byte of payload each.
  EXPECT_EQ(driver::ComputeRawFrameBudget(2, 100), 2u * 115);
  EXPECT_EQ(driver::ComputeRawFrameBudget(0xFFFF, 460800), 0xFFFFu * 8);

  // Only setting 0 (no bandwidth) accepted: success, but nothing to gather,
  // so the library does not start the capture.
  dualcam::testing::SimBusOf(*device_).RefuseAlternateSettings({1, 2, 3, 4, 5});
  ULONG length = 99;
  EXPECT_EQ(Allocate(320, 240, kI420, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 0u);
  auto format = VideoFormat(320, 240, kI420);
  EXPECT_NE(device_->StartCapture(&format), STATUS_SUCCESS);
  EXPECT_FALSE(device_->Capturing());
}

TEST_F(CaptureBandwidth, RefusedSettingsAreSkippedAndTheAcceptedOneSizesTheFrame)
{
  dualcam::testing::SimBusOf(*device_).RefuseAlternateSettings({5, 4});
  const size_t before = device_->Selections().size();
  ULONG length = 0;
  ASSERT_EQ(Allocate(320, 240, kVqj9, &length), STATUS_SUCCESS);
  const auto selections = device_->Selections();
  ASSERT_EQ(selections.size() - before, 3u);
  EXPECT_EQ(selections[before].AlternateSetting, 5);
  EXPECT_EQ(selections[before].Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(selections[before + 1].AlternateSetting, 4);
  EXPECT_EQ(selections[before + 2].AlternateSetting, 3);
  EXPECT_EQ(selections[before + 2].Status, STATUS_SUCCESS);
  // P = 512: 512 x floor((512 + 115200 + 13) / 511).
  EXPECT_EQ(length, 512u * 226);

  // Every setting refused: the last error, and no budget.
  dualcam::testing::SimBusOf(*device_).RefuseAlternateSettings({0, 1, 2, 3, 4, 5}, host::bus::Status::kError);
  length = 99;
  EXPECT_EQ(Allocate(320, 240, kVqj9, &length), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(device_->Selections().back().AlternateSetting, 0);
}

TEST_F(CaptureBandwidth, ManualExposureIsWrittenAfterTheProgrammingStepsOnlyWhenAutomaticIsOff)
{
  for (uint32_t autoExposure : {0u, 1u}) {
    SeedSettings(autoExposure, 1);
    SetDword("Manual_Exposure", 10);
    dualcam::testing::SimCameraOf(*device_).ClearRequestLog();
    ULONG length = 0;
    ASSERT_EQ(Allocate(176, 144, 0, &length), STATUS_SUCCESS);
    const Lines lines = dualcam::testing::SimCameraOf(*device_).RequestLines();
    ASSERT_FALSE(lines.empty());
    // The camera was woken and programmed for this capture (size code 0x0504).
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Out(0xA0, 0, 0x0504)), 1);
    if (autoExposure == 0) {
      EXPECT_EQ(lines.back(), Out(0x30, 10, 2));
      // Image settings first (their step sends mode 0 here), exposure
      // settings last: the camera ends with white balance automatic.
      EXPECT_EQ(dualcam::testing::SimCameraOf(*device_).AeAwbMode(), 1);
    } else {
      EXPECT_NE(lines.back(), Out(0x30, 10, 2));
      EXPECT_EQ(lines.back().rfind("out 0C", 0), 0u) << lines.back();
    }
  }
}

TEST_F(CaptureBandwidth, EachAllocationClearsTheStillMailboxAndTheCaptureCounters)
{
  for (const char* name : {"SnapShot", "SnapShoot", "StillShot", "StillShoot"}) SetDword(name, 1);
  DeviceContext* ctx = Context();
  ctx->StillByProperty.store(1);
  ctx->StillRequested.store(1);
  ctx->StillReady.store(1);
  ctx->StillToSave.store(1);
  ctx->SnapshotBusy.store(1);
  ctx->StillFailCount = 4;
  ctx->FrameCounter = 77;
  ctx->PacketErrorCount = 5;
  ctx->SnapShotValue = 1;
  ctx->StillWriteOffset = 4096;
  ctx->StillCaptured = 1;
  ULONG length = 0;
  ASSERT_EQ(Allocate(352, 288, 0, &length), STATUS_SUCCESS);
  for (const char* name : {"SnapShot", "SnapShoot", "StillShot", "StillShoot"}) EXPECT_EQ(Dword(name), 0u) << name;
  EXPECT_EQ(ctx->StillByProperty.load() + ctx->StillRequested.load() + ctx->StillReady.load(), 0u);
  EXPECT_EQ(ctx->StillToSave.load() + ctx->SnapshotBusy.load(), 0);
  EXPECT_EQ(ctx->StillFailCount, 0);
  EXPECT_EQ(ctx->FrameCounter, 0u);
  EXPECT_EQ(ctx->PacketErrorCount, 0u);
  EXPECT_EQ(ctx->SnapShotValue, 0u);
  EXPECT_EQ(ctx->StillWriteOffset, 4096u);
  EXPECT_EQ(ctx->StillCaptured, 1u);
}

using CaptureStartStop = LifecycleWorld;

TEST_F(CaptureStartStop, StartAndStopWriteTheCaptureEngineAndStopParksTheCamera)
{
  SetDword("TimerTrigger", 1);
  host::CameraDevice* device = Attach();
  auto format = VideoFormat(320, 240, kI420);
  ASSERT_EQ(device->StartCapture(&format), STATUS_SUCCESS);
  // Allocation then start: the start's three writes end the log.
  Lines lines = dualcam::testing::SimCameraOf(*device).RequestLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{Out(0x00, 0, 0x2000), Out(0x00, 0x13, 0x2301), Out(0x00, 3, 0x2000)}));
  EXPECT_TRUE(dualcam::testing::SimCameraOf(*device).CaptureRunning());

  // The camera compresses with the streamed pair, and pictures arrive.
  const auto tables = dualcam::testing::SimCameraOf(*device).QuantTables();
  EXPECT_TRUE(std::equal(tables.luma, tables.luma + 64, driver::kQuantTableImage.begin() + 3 * 128));
  std::vector<uint8_t> buffer(320 * 240 * 3 / 2);
  host::CompletedRead read;
  device->QueueRead(buffer, [&read](const host::CompletedRead& done) { read = done; });
  device->Pump(3);
  EXPECT_EQ(read.Status, STATUS_SUCCESS);
  EXPECT_EQ(read.BytesReturned, buffer.size());

  dualcam::testing::SimCameraOf(*device).ClearRequestLog();
  EXPECT_EQ(device->StopCapture(), STATUS_SUCCESS);
  lines = dualcam::testing::SimCameraOf(*device).RequestLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], Out(0x00, 0, 0x2000));  // stop, then the park sequence
  EXPECT_EQ(lines[1].rfind("in 30 v=0000 i=0000 n=2", 0), 0u) << lines[1];
  EXPECT_EQ(lines.back(), Out(0xE0, 0, 1));
  EXPECT_EQ(device->AlternateSetting(), 0);
  EXPECT_EQ(Dword("TimerTrigger"), 0u);
  EXPECT_FALSE(dualcam::testing::SimCameraOf(*device).Awake());
}

// The allocation wakes the camera and starts its capture engine before it
// looks for bandwidth; when no setting is granted (or the allocation gives
// no frame to gather) the library gives it back, so the camera is parked
// again instead of left running with nobody reading.
TEST_F(CaptureStartStop, AFailedAllocationIsGivenBackAndTheCameraParked)
{
  host::CameraDevice* device = Attach();
  host::sim::SimCamera& camera = dualcam::testing::SimCameraOf(*device);
  auto format = VideoFormat(320, 240, kI420);
  for (const std::set<uint8_t>& refused : {std::set<uint8_t>{0, 1, 2, 3, 4, 5}, std::set<uint8_t>{1, 2, 3, 4, 5}}) {
    dualcam::testing::SimBusOf(*device).RefuseAlternateSettings(refused);
    camera.ClearRequestLog();
    EXPECT_NE(device->StartCapture(&format), STATUS_SUCCESS);
    EXPECT_FALSE(device->Capturing());
    const Lines lines = camera.RequestLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::find(lines.begin(), lines.end(), Out(0x00, 3, 0x2000)), lines.end());  // the engine ran
    EXPECT_EQ(lines.back(), Out(0xE0, 0, 1));  // and the camera is at rest again
    EXPECT_FALSE(camera.Awake());
    EXPECT_FALSE(camera.CaptureRunning());
    EXPECT_EQ(device->Selections().back().AlternateSetting, 0);
  }
}

// Two cameras attached, streamed and removed at once from two threads: the
// shared decoder's reference count, the pool and the names stay consistent.
using LifecycleConcurrency = LifecycleWorld;

TEST_F(LifecycleConcurrency, TwoCamerasComeAndGoAtOnce)
{
  auto life = [this](std::vector<NTSTATUS>* results) {
    for (int round = 0; round < 3; ++round) {
      host::CameraDevice::Options attach = dualcam::testing::SimDeviceOptions(nullptr, driver::CameraCallbacks());
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      auto device = host::CameraDevice::Attach(attach, &status);
      results->push_back(status);
      if (!device) continue;
      auto format = VideoFormat(176, 144, kI420);
      results->push_back(device->StartCapture(&format));
      device->Pump(2);
      device->StopCapture();
      // No button poll runs here; drop the queued ones before records go.
      Kernel().workQueue().Discard();
      driver::RemoveDeviceNames(static_cast<DeviceContext*>(device->DeviceContext()));
      device->Remove();
    }
  };
  std::vector<NTSTATUS> a, b;
  {
    std::jthread first(life, &a);
    std::jthread second(life, &b);
  }
  Kernel().workQueue().Discard();
  for (const auto* results : {&a, &b}) {
    for (NTSTATUS status : *results) EXPECT_EQ(status, STATUS_SUCCESS);
  }
  EXPECT_FALSE(pipeline::SharedDecoderReady());
  EXPECT_EQ(DriverPool().Blocks, 0u);
  EXPECT_EQ(StringPool().Blocks, 0u);
  EXPECT_EQ(Kernel().names().LinkCount(), 0u);
}

}  // namespace
}  // namespace dualcam::lifecycle::testing
