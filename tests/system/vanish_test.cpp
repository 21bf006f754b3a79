// A camera that leaves the bus by itself, mid-capture: the next read sees
// it, the removal reaches the driver as a surprise removal, the reads come
// back cancelled, and the camera can still be closed and taken down.
#include <gtest/gtest.h>

#include "support/sim_device.h"
#include "system/system_world.h"

namespace dualcam::system::testing {
namespace {

using Vanish = SystemWorld;

TEST_F(Vanish, ACameraThatLeavesMidCaptureIsRemovedOnTheSurpriseRemovalPath) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto stream = camera->OpenStream(Format(*camera, kI420, 176, 144), &status);
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(stream->Read(2).size(), 2u);
  EXPECT_FALSE(camera->CheckRemoval());

  dualcam::testing::SimBusOf(camera->Device()).Unplug();
  const auto pictures = stream->Read(3);
  ASSERT_EQ(pictures.size(), 3u);
  for (const auto& picture : pictures) {
    EXPECT_EQ(picture.Status, STATUS_CANCELLED);
    EXPECT_EQ(picture.BytesUsed, 0u);
  }
  EXPECT_TRUE(camera->Removed());
  EXPECT_EQ(Dword("DriverStatus"), 8u);
  EXPECT_FALSE(camera->Device().Capturing());
  const auto later = stream->Read(1);  // refused at once, not left waiting
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later.front().Status, STATUS_DEVICE_NOT_CONNECTED);

  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(Dword("DriverStatus"), 8u);
  EXPECT_FALSE(camera->OpenStream(Format(*camera, kI420, 176, 144), &status));
  EXPECT_EQ(status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(camera->Uninitialize(), STATUS_SUCCESS);
  EXPECT_EQ(Kernel().pool().Live(host::PoolTag("Wdm ")).Blocks, 0u);
}

}  // namespace
}  // namespace dualcam::system::testing
