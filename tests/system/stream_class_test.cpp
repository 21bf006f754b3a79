// The host stream class's completion contract, against minidrivers that
// break it: a request completed twice, never, or with the wrong notification
// is counted, and a late read completion reaches its caller exactly once.
#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "host/classlib/stream_class.h"
#include "host/classlib/camera_class_library.h"

namespace dualcam::host {
namespace {

enum class Misbehaviour { None, Twice, Never, WrongKind };
Misbehaviour g_behaviour = Misbehaviour::None;

VOID FakeReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb) {
  Srb->Status = STATUS_SUCCESS;
  switch (g_behaviour) {
    case Misbehaviour::None:
      StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
      break;
    case Misbehaviour::Twice:
      StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
      StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
      break;
    case Misbehaviour::Never:
      break;
    case Misbehaviour::WrongKind:
      StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
      break;
  }
}

NTSTATUS FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return USBCAMD_DriverEntry(driver, path, 64, 4, FakeReceivePacket);
}

NTSTATUS RegistersNothing(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST(StreamClassContract, BrokenCompletionsAreCountedAndNeverReachFreedBlocks) {
  HostKernel kernel;
  ScopedKernel installed(kernel);
  NTSTATUS status;
  EXPECT_FALSE(StreamClass::Load(RegistersNothing, &status));
  EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
  auto streams = StreamClass::Load(FakeEntry, &status);
  ASSERT_TRUE(streams);

  struct Expectation {
    Misbehaviour Behaviour;
    std::uint64_t Misuse;
    bool CompletedOnce;
  };
  for (const Expectation& e : {Expectation{Misbehaviour::None, 0, true}, Expectation{Misbehaviour::Twice, 1, true},
                               Expectation{Misbehaviour::Never, 1, false},
                               Expectation{Misbehaviour::WrongKind, 1, true}}) {
    g_behaviour = e.Behaviour;
    const std::uint64_t before = StreamClassMisuse();
    HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_OPEN_DEVICE_INSTANCE, nullptr);
    const RequestOutcome outcome = streams->SendDeviceRequest(srb);
    EXPECT_EQ(StreamClassMisuse() - before, e.Misuse) << static_cast<int>(e.Behaviour);
    EXPECT_EQ(outcome.CompletedOnce(), e.CompletedOnce) << static_cast<int>(e.Behaviour);
  }

  // A completion of a block that was never sent, or after it was answered.
  const std::uint64_t before = StreamClassMisuse();
  HW_STREAM_REQUEST_BLOCK stray = MakeRequest(SRB_OPEN_DEVICE_INSTANCE, nullptr);
  StreamClassDeviceNotification(DeviceRequestComplete, nullptr, &stray);
  StreamClassStreamNotification(StreamRequestComplete, nullptr, nullptr);
  EXPECT_EQ(StreamClassMisuse() - before, 2u);
  g_behaviour = Misbehaviour::None;
}

}  // namespace
}  // namespace dualcam::host
