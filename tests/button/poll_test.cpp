// The button poll cycle and the still hand-shake on a stepped work queue:
// presses with and without a stream, one still trigger per request, a still
// collected from the camera's packets and saved once, the application's
// release of the result, giving up after failed stills, and the states in
// which the poll stays away (removal, suspension, the still property).
#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <atomic>

#include "button/button_harness.h"
#include "camera/button.h"
#include "camera/settings.h"
#include "host/sim/sim_camera.h"

namespace dualcam::button::testing {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr std::string_view kSelectVideoSize = "out A0 v=0000 i=0503";

USHORT FailCount(driver::DeviceContext* ctx) { return std::atomic_ref<USHORT>(ctx->StillFailCount).load(); }
void SetFailCount(driver::DeviceContext* ctx, USHORT n) { std::atomic_ref<USHORT>(ctx->StillFailCount).store(n); }

// Pumps frames until the packet routine has collected a complete still.
bool CollectStill(ButtonWorld& world) {
  for (int frame = 0; frame < 4; ++frame) {
    world.Device().Pump(1);
    if (world.Context()->StillReady.load(kRelaxed) == 1) return true;
  }
  return false;
}

// The first still-marked frame the camera sent: the one collected when
// nothing was collected before.
std::optional<host::sim::FrameRecord> FirstStillFrame(host::sim::SimCamera& camera) {
  for (auto& frame : camera.FrameHistory()) {
    if (frame.kind == dualcam::encoder::FrameKind::kStill) return frame;
  }
  return std::nullopt;
}

TEST(ButtonPress, WithoutAStreamOnlyTheTriggerValueIsWritten) {
  for (ULONG status : {3u, 7u}) {
    SCOPED_TRACE(status);
    ButtonWorld world;
    world.Context()->DriverStatus.store(status, kRelaxed);
    world.SetValue("SnapShoot", 1);
    world.SetValue("SnapShot", 0);
    world.Camera().PressButton();
    ASSERT_TRUE(world.RunCycle());
    EXPECT_EQ(world.Value("TimerTrigger"), 1u);
    EXPECT_EQ(world.Context()->StillRequested.load(), 0u);
    EXPECT_EQ(world.Context()->ButtonState, 0);
    // The button read is all that went to the camera: no service ran.
    EXPECT_EQ(world.TakeRequests(), std::vector<std::string>{std::string(kButtonReadLine) + " -> 01"});
    EXPECT_EQ(world.Context()->SnapShootValue, 0u);
    // Queued again after half a second.
    EXPECT_EQ(world.Kernel().workQueue().Pending(), 1u);
    EXPECT_EQ(world.Kernel().clock().Delays(), std::vector<LONGLONG>{-5'000'000});  // half a second
  }
}

TEST(ButtonPress, WhileStreamingRequestsTheStillWithoutSendingATrigger) {
  ButtonWorld world;
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  world.Camera().PressButton();
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("TimerTrigger"), 1u);
  EXPECT_EQ(world.Context()->StillRequested.load(), 1u);
  EXPECT_EQ(CountLines(world.TakeRequests(), kStillTriggerLine), 0u);

  // The camera sends the still by itself and it is collected and saved.
  ASSERT_TRUE(CollectStill(world));
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("SnapShot"), 1u);
  EXPECT_EQ(world.SnapshotBytes().size(), camera::kSnapshotFileSize);
}

TEST(ButtonPress, WhileAStillWaitsLeavesTheRequestAlone) {
  ButtonWorld world;
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  world.SetValue("SnapShot", 1);  // the application has not taken the last result
  world.Context()->StillReady.store(1, kRelaxed);
  world.Camera().PressButton();
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("TimerTrigger"), 1u);
  EXPECT_EQ(world.Context()->StillRequested.load(), 0u);

  world.Context()->StillReady.store(0, kRelaxed);
  std::atomic_ref<ULONG>(world.Context()->StillCaptured).store(1);
  world.Camera().PressButton();
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Context()->StillRequested.load(), 0u);
}

TEST(ButtonPress, ReadAsksForOneByteAfterAReadThatMovedNothing) {
  ButtonWorld world;
  // A read that moved no byte leaves 0 in the length cell.
  world.Context()->ButtonReadLength = 0;
  world.Camera().PressButton();
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("TimerTrigger"), 1u);
  EXPECT_EQ(world.TakeRequests(), std::vector<std::string>{std::string(kButtonReadLine) + " -> 01"});
}

TEST(ButtonPress, FailedReadSeesNoPressAndThePollGoesOn) {
  ButtonWorld world;
  world.Camera().PressButton();
  world.Camera().FailRequests({.in = true, .request = host::sim::kRequestButton}, STATUS_DEVICE_DATA_ERROR);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_FALSE(world.Value("TimerTrigger").has_value());
  EXPECT_EQ(world.Context()->ButtonState, 0);
  ASSERT_TRUE(world.RunCycle());  // queued again; the press is still there
  EXPECT_EQ(world.Value("TimerTrigger"), 1u);
}

TEST(SnapshotMailbox, OneTriggerPerRequestUntilItIsHandled) {
  ButtonWorld world;
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  world.SetValue("SnapShoot", 1);
  for (int cycle = 0; cycle < 3; ++cycle) ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(CountLines(world.TakeRequests(), kStillTriggerLine), 1u);
  EXPECT_EQ(world.Context()->StillRequested.load(), 1u);
  EXPECT_TRUE(world.Camera().StillPending());
}

TEST(SnapshotMailbox, CompleteStillIsSavedOnceAndReleasedByTheApplication) {
  ButtonWorld world;
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  driver::DeviceContext* ctx = world.Context();
  world.SetValue("SnapShoot", 1);
  ASSERT_TRUE(world.RunCycle());  // sends the trigger
  ASSERT_TRUE(CollectStill(world));
  const auto still = FirstStillFrame(world.Camera());
  world.TakeRequests();

  ASSERT_TRUE(world.RunCycle());  // saves
  EXPECT_EQ(world.Value("SnapShot"), 1u);
  EXPECT_EQ(world.Value("SnapShoot"), 0u);
  const auto requests = world.TakeRequests();
  EXPECT_EQ(CountLines(requests, "out A0"), 1u);
  EXPECT_EQ(CountLines(requests, kSelectVideoSize), 1u);
  EXPECT_EQ(CountLines(requests, kStillTriggerLine), 0u);
  EXPECT_EQ(ctx->StillRequested.load(), 0u);
  EXPECT_EQ(ctx->StillToSave.load(), 0);
  EXPECT_EQ(std::atomic_ref<ULONG>(ctx->StillCaptured).load(), 0u);
  EXPECT_EQ(ctx->StillReady.load(), 1u) << "held until the application takes the result";

  const auto file = world.SnapshotBytes();
  ASSERT_EQ(file.size(), 203776u);
  const std::vector<uint8_t> lead(file.begin(), file.begin() + 7);
  EXPECT_EQ(lead, (std::vector<uint8_t>{0x01, 0x01, 0x00, 0x00, 0x18, 0x03, 0x00}));
  // After the header: the still as the camera sent it, from raw frame byte 9.
  ASSERT_TRUE(still.has_value());
  const std::size_t compared = std::min<std::size_t>(still->raw_frame.size() - 9, camera::kSnapshotDataLength);
  ASSERT_GT(compared, 1000u);
  EXPECT_TRUE(std::equal(still->raw_frame.begin() + 9, still->raw_frame.begin() + 9 + compared, file.begin() + 1024));

  // While "SnapShot" stays 1 no further still is collected or saved, even
  // though the button makes the camera send one.
  world.Camera().PressButton();
  ASSERT_TRUE(world.RunCycle());
  world.Device().Pump(3);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(ctx->StillToSave.load(), 0);
  EXPECT_EQ(ctx->StillReady.load(), 1u);
  EXPECT_EQ(CountLines(world.TakeRequests(), "out A0"), 0u);

  // The application takes the result: the next cycle releases the buffer and
  // the still the camera is still sending is collected and saved.
  world.SetValue("SnapShot", 0);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(ctx->StillReady.load(), 0u);
  ASSERT_TRUE(CollectStill(world));
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("SnapShot"), 1u);
  EXPECT_EQ(CountLines(world.TakeRequests(), "out A0"), 1u);
}

// Another program (or another camera of the driver) may post a result
// between two cycles of this one: the file then holds that result until the
// application takes it, so this camera's still waits instead of overwriting
// it, and is saved, not dropped, once the result is taken.
TEST(SnapshotMailbox, StillCollectedWhileAResultWaitsIsSavedOnceTheResultIsTaken) {
  ButtonWorld world;
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  driver::DeviceContext* ctx = world.Context();
  world.SetValue("SnapShoot", 1);
  ASSERT_TRUE(world.RunCycle());  // sends the trigger; reads "SnapShot" 0
  ASSERT_TRUE(CollectStill(world));
  const auto still = FirstStillFrame(world.Camera());
  ASSERT_TRUE(still.has_value());

  world.SetValue("SnapShot", 1);  // posted by the other program
  ASSERT_TRUE(world.RunCycle());
  EXPECT_FALSE(std::filesystem::exists(world.SnapshotPath()));
  EXPECT_EQ(ctx->StillToSave.load(), 1) << "the still waits";
  EXPECT_EQ(world.Value("SnapShot"), 1u);

  // The application takes the other result. The still is not released with
  // it: the next cycle reads the 0 and keeps the still, the one after saves
  // it.
  world.SetValue("SnapShot", 0);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(ctx->StillReady.load(), 1u);
  EXPECT_EQ(ctx->StillToSave.load(), 1);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("SnapShot"), 1u);
  EXPECT_EQ(ctx->StillToSave.load(), 0);
  const auto file = world.SnapshotBytes();
  ASSERT_EQ(file.size(), 203776u);
  EXPECT_TRUE(std::equal(still->raw_frame.begin() + 9, still->raw_frame.begin() + 9 + 1000, file.begin() + 1024))
      << "the file holds the still collected first";
}

TEST(SnapshotMailbox, AbsentResultValueBlocksSavingAndGivingUp) {
  ButtonWorld world;
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  driver::DeviceContext* ctx = world.Context();
  ASSERT_EQ(world.Kernel().registry().DeleteValue(host::kSettingsKeyPath, "SnapShot"), STATUS_SUCCESS);
  ASSERT_TRUE(world.RunCycle());  // reads the absence
  EXPECT_EQ(ctx->SnapShotValue, camera::kValueAbsent);

  ctx->StillReady.store(1, kRelaxed);
  ctx->StillToSave.store(1, kRelaxed);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_FALSE(std::filesystem::exists(world.SnapshotPath()));
  EXPECT_EQ(ctx->StillToSave.load(), 1);
  EXPECT_EQ(ctx->StillReady.load(), 1u);

  ctx->StillReady.store(0, kRelaxed);
  SetFailCount(ctx, 10);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_FALSE(world.Value("SnapShot").has_value());
  EXPECT_EQ(FailCount(ctx), 10u);
}

TEST(SnapshotMailbox, GivesUpAtTenOrMoreFailedStills) {
  for (USHORT failures : {9, 10, 12}) {
    SCOPED_TRACE(failures);
    ButtonWorld world;
    ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
    driver::DeviceContext* ctx = world.Context();
    ctx->StillRequested.store(1, kRelaxed);
    world.SetValue("SnapShoot", 1);
    SetFailCount(ctx, failures);
    ASSERT_TRUE(world.RunCycle());
    const auto requests = world.TakeRequests();
    if (failures < 10) {
      EXPECT_EQ(world.Value("SnapShot"), 0u);
      EXPECT_EQ(world.Value("SnapShoot"), 1u);
      EXPECT_EQ(ctx->StillRequested.load(), 1u);
      EXPECT_EQ(FailCount(ctx), failures);
    } else {
      EXPECT_EQ(world.Value("SnapShot"), 2u);
      EXPECT_EQ(world.Value("SnapShoot"), 0u);
      EXPECT_EQ(FailCount(ctx), 0u);
      EXPECT_EQ(CountLines(requests, kSelectVideoSize), 1u);
      // The request ended, so "SnapShoot" (now 0) sends nothing more.
      EXPECT_EQ(ctx->StillRequested.load(), 0u);
      EXPECT_EQ(CountLines(requests, kStillTriggerLine), 0u);
    }
  }
}

TEST(ButtonPollStates, DriverStatusEightEndsThePoll) {
  ButtonWorld world;
  world.Context()->DriverStatus.store(8, kRelaxed);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Kernel().workQueue().Pending(), 0u);
  EXPECT_TRUE(world.Kernel().clock().Delays().empty());
}

TEST(ButtonPollStates, RemovalDuringTheSleepEndsThePoll) {
  ButtonWorld world;
  driver::DeviceContext* ctx = world.Context();
  world.Kernel().clock().SetDelayHook([ctx](LONGLONG) { ctx->DriverStatus.store(8, kRelaxed); });
  ASSERT_TRUE(world.RunCycle());
  world.Kernel().clock().SetDelayHook(nullptr);
  EXPECT_EQ(world.Kernel().workQueue().Pending(), 0u);
}

TEST(ButtonPollStates, SuspendedDeviceKeepsItsButtonPress) {
  ButtonWorld world;
  world.Context()->Suspended.store(1, kRelaxed);
  world.Camera().PressButton();
  ASSERT_TRUE(world.RunCycle());
  EXPECT_TRUE(world.TakeRequests().empty());
  EXPECT_FALSE(world.Value("TimerTrigger").has_value());
  EXPECT_EQ(world.Kernel().workQueue().Pending(), 1u);

  world.Context()->Suspended.store(0, kRelaxed);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("TimerTrigger"), 1u);
}

TEST(ButtonPollStates, StillPropertyKeepsTheServiceIdle) {
  ButtonWorld world;
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  driver::DeviceContext* ctx = world.Context();
  ctx->StillByProperty.store(1, kRelaxed);
  ctx->StillReady.store(1, kRelaxed);
  ctx->StillToSave.store(1, kRelaxed);
  world.SetValue("SnapShoot", 1);
  std::atomic_ref<ULONG>(ctx->SnapShootValue).store(7);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(CountLines(world.TakeRequests(), kStillTriggerLine), 0u);
  EXPECT_EQ(ctx->SnapShootValue, 7u) << "the registry was not even read";
  EXPECT_EQ(ctx->StillReady.load(), 1u);
  EXPECT_EQ(ctx->StillToSave.load(), 1);
  EXPECT_EQ(ctx->SnapshotBusy.load(), 0);
  EXPECT_FALSE(std::filesystem::exists(world.SnapshotPath()));
}

}  // namespace
}  // namespace dualcam::button::testing
