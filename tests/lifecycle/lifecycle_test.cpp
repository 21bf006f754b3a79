// Device bring-up, removal and power transitions against the simulated
// camera's request log, the registry, the host's names and pool accounting.
#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "camera/button.h"
#include "camera/extension_properties.h"
#include "driver/callbacks.h"
#include "driver/capture.h"
#include "driver/lifecycle.h"
#include "host/kernel/wide.h"
#include "lifecycle_world.h"
#include "pipeline/render.h"
#include "support/sim_device.h"

namespace dualcam::lifecycle::testing {
namespace {

using driver::DeviceContext;
using Lines = std::vector<std::string>;

std::string Text(const UNICODE_STRING& text)
{
  const auto view = host::View(&text);
  return view ? host::Utf16ToUtf8(*view) : std::string("<bad>");
}

// The lines from the first that equals `first` to the end.
Lines From(const Lines& lines, const std::string& first)
{
  auto it = std::find(lines.begin(), lines.end(), first);
  return Lines(it, lines.end());
}

using DeviceBringUp = LifecycleWorld;

TEST_F(DeviceBringUp, ConfigureKeepsACopyOfTheStreamingInterface)
{
  host::CameraDevice* device = Attach();
  ASSERT_NE(device, nullptr);
  const PUSBD_INTERFACE_INFORMATION copy = Ctx(device)->InterfaceCopy;
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->AlternateSetting, 0);
  EXPECT_EQ(copy->NumberOfPipes, 1u);
  EXPECT_EQ(copy->Pipes[0].MaximumTransferSize, 0x8000u);
  EXPECT_TRUE(driver::ProcessorSupportsDecoder());

  // Called on its own: status 2, video on pipe 0 and no sync pipe, whatever
  // the outcome; a record too short for its pipe is refused without a copy.
  DeviceContext record{};
  USBD_INTERFACE_INFORMATION iface{};
  iface.Length = sizeof iface - 1;
  iface.NumberOfPipes = 1;
  LONG data = 7, sync = 7;
  const size_t blocks = DriverPool().Blocks;
  EXPECT_EQ(driver::CamConfigure(nullptr, &record, &iface, nullptr, &data, &sync), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(record.DriverStatus.load(), 2u);
  EXPECT_EQ(Dword("DriverStatus"), 2u);
  EXPECT_EQ(data, 0);
  EXPECT_EQ(sync, -1);
  EXPECT_EQ(record.InterfaceCopy, nullptr);
  EXPECT_EQ(DriverPool().Blocks, blocks);
  // Nor is an interface with no pipe for the video kept.
  iface.Length = sizeof iface;
  iface.NumberOfPipes = 0;
  EXPECT_EQ(driver::CamConfigure(nullptr, &record, &iface, nullptr, &data, &sync), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(record.InterfaceCopy, nullptr);
  iface.NumberOfPipes = 1;

  Kernel().pool().FailNthAllocation(1);
  EXPECT_EQ(driver::CamConfigure(nullptr, &record, &iface, nullptr, &data, &sync), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(record.InterfaceCopy, nullptr);
}

TEST_F(DeviceBringUp, InitializeSetsUpNamesBlocksSettingsAndTheButtonPoll)
{
  SetDword("BulkMode", 1);
  SetDword("IsoMode", 1);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  host::CameraDevice* device = Attach(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  DeviceContext* ctx = Ctx(device);

  EXPECT_EQ(Kernel().names().LinkTarget("\\DosDevices\\TL847"), "\\Device\\TL847");
  const auto interfaces = Kernel().names().Interfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(interfaces[0].ClassGuid, GUID_DEVINTERFACE_IMAGE));
  EXPECT_TRUE(interfaces[0].Enabled);
  EXPECT_EQ(Text(ctx->InterfaceLinkName), interfaces[0].LinkName);
  EXPECT_EQ(Text(ctx->DosLinkName), "\\DosDevices\\TL847");
  // Two name strings remain: the DOS link and the interface link.
  EXPECT_EQ(StringPool().Blocks, 2u);

  EXPECT_EQ(ctx->DriverStatus.load(), 3u);
  EXPECT_EQ(Dword("DriverStatus"), 3u);
  EXPECT_EQ(Dword("BulkMode"), 0u);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  // Settings were loaded: defaults written into the record.
  EXPECT_EQ(ctx->Brightness, 128u);
  EXPECT_EQ(ctx->ManualExposure, 10u);

  // Interface copy, three device blocks and the decoder's two work buffers.
  EXPECT_EQ(DriverPool().Blocks, 6u);
  EXPECT_TRUE(pipeline::SharedDecoderReady());

  EXPECT_EQ(ctx->ButtonReadLength, 1u);
  EXPECT_EQ(ctx->ButtonWorkItem.WorkerRoutine, camera::ButtonPoll);
  EXPECT_EQ(ctx->ButtonWorkItem.Parameter, ctx);
  EXPECT_EQ(Kernel().workQueue().Pending(), 1u);
}

TEST_F(DeviceBringUp, QuantizationTablesAreTheFourScaledPairsInQualityOrder)
{
  host::CameraDevice* device = Attach();
  const UCHAR* q = Ctx(device)->QuantTables;
  ASSERT_NE(q, nullptr);
  const UCHAR firstRows[4][8] = {{2, 1, 1, 2, 2, 4, 5, 6},
                                 {3, 2, 2, 3, 5, 8, 10, 12},
                                 {6, 4, 4, 6, 10, 16, 20, 24},
                                 {5, 3, 3, 5, 7, 12, 15, 18}};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(std::memcmp(q + k * 128, firstRows[k], 8), 0) << "pair " << k;
  }
  // Chrominance 99 at 10/20/40/30 %: 10, 20, 40, 30 (rounded half up).
  EXPECT_EQ(q[0 * 128 + 64 + 63], 10);
  EXPECT_EQ(q[1 * 128 + 64 + 63], 20);
  EXPECT_EQ(q[2 * 128 + 64 + 63], 40);
  EXPECT_EQ(q[3 * 128 + 64 + 63], 30);
  // 17 at 10 % is 1.7 -> 2; 18 at 30 % is 5.4 -> 5.
  EXPECT_EQ(q[64], 2);
  EXPECT_EQ(q[3 * 128 + 64 + 1], 5);
}

TEST_F(DeviceBringUp, InitializeReadsTheInformationBlockThenRestsTheCameraAndWaits)
{
  SeedSettings();
  auto camera = std::make_shared<host::sim::SimCamera>();
  std::array<uint8_t, 1024> block{};
  block[0] = 0x5A;
  block[1023] = 0xC3;
  host::CameraDevice::Options attach = dualcam::testing::SimDeviceOptions(camera, driver::CameraCallbacks());
  camera->SetInfoBlock(block);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto device = host::CameraDevice::Attach(attach, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const DeviceContext* ctx = Ctx(device.get());
  EXPECT_EQ(ctx->CameraInfoBlock[0], 0x5A);
  EXPECT_EQ(ctx->CameraInfoBlock[1023], 0xC3);

  // Every setting was in the key: after the block transfer only the rest
  // request and one ready read go to the camera.
  const Lines lines = camera->RequestLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), Out(0x50, 0, 0x00FF));
  EXPECT_EQ(From(lines, "in 50 v=0000 i=0000 n=1024 -> [1024 bytes]"),
            (Lines{"in 50 v=0000 i=0000 n=1024 -> [1024 bytes]", Out(0xE0, 0, 1), BusyRead(0)}));
  Kernel().workQueue().Discard();
  driver::RemoveDeviceNames(Ctx(device.get()));
  device->Remove();
}

TEST_F(DeviceBringUp, ReadyWaitGivesUpAfterOneHundredBusyReads)
{
  for (unsigned busy : {99u, 100u}) {
    host::sim::SimCameraOptions options;
    auto camera = std::make_shared<host::sim::SimCamera>(options);
    camera->QueueBusyReads(1, 0);  // the information block's poll
    camera->QueueBusyReads(busy, 1);
    host::CameraDevice::Options attach = dualcam::testing::SimDeviceOptions(camera, driver::CameraCallbacks());
    SetDword("BulkMode", 7);
    NTSTATUS status = STATUS_SUCCESS;
    auto device = host::CameraDevice::Attach(attach, &status);
    const Lines lines = camera->RequestLines();
    const auto reads = std::count(lines.begin(), lines.end(), BusyRead(1));
    if (busy == 99) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(reads, 99);
      EXPECT_EQ(Dword("BulkMode"), 0u);
      EXPECT_EQ(Kernel().workQueue().Pending(), 1u);
      Kernel().workQueue().Discard();
      driver::RemoveDeviceNames(Ctx(device.get()));
      device->Remove();
    } else {
      // Failed: nothing after the wait, and the class library has already
      // uninitialized the device, so nothing of it is left in pool.
      EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(device, nullptr);
      EXPECT_EQ(reads, 100);
      EXPECT_EQ(lines.back(), BusyRead(1));
      EXPECT_EQ(Dword("BulkMode"), 7u);
      EXPECT_EQ(Kernel().workQueue().Pending(), 0u);
      EXPECT_EQ(DriverPool().Blocks, 0u);
      EXPECT_EQ(StringPool().Blocks, 0u);
      EXPECT_EQ(Kernel().names().LinkCount(), 0u);
      EXPECT_FALSE(pipeline::SharedDecoderReady());
    }
  }
}

using DeviceRemoval = LifecycleWorld;

TEST_F(DeviceRemoval, NothingIsLeftInPoolAfterUninitializeAndNameRemoval)
{
  host::CameraDevice* device = Attach();
  ASSERT_NE(device, nullptr);
  Remove(device);
  EXPECT_EQ(DriverPool().Blocks, 0u);
  EXPECT_EQ(StringPool().Blocks, 0u);
  EXPECT_EQ(Kernel().pool().LiveTotal().Blocks, 0u);
  EXPECT_EQ(Kernel().names().LinkCount(), 0u);
  EXPECT_FALSE(Kernel().names().Interfaces().at(0).Enabled);
  EXPECT_FALSE(pipeline::SharedDecoderReady());
}

TEST_F(DeviceRemoval, AnAllocationFailureAnywhereLeavesNothingBehind)
{
  // Attach makes about a dozen allocations (record, interface copy, names,
  // device blocks, decoder buffers); fail each in turn.
  for (uint64_t nth = 1; nth <= 14; ++nth) {
    Kernel().pool().FailNthAllocation(nth);
    NTSTATUS status = STATUS_SUCCESS;
    host::CameraDevice* device = Attach(&status);
    Kernel().pool().StopFailing();
    if (device != nullptr) Remove(device);
    EXPECT_EQ(Kernel().pool().LiveTotal().Blocks, 0u) << "allocation " << nth << " failed, status " << std::hex
                                                      << status;
    EXPECT_FALSE(pipeline::SharedDecoderReady()) << nth;
  }
  EXPECT_GE(Kernel().pool().InjectedFailures(), 10u);
  // A device that failed took its link down with it.
  EXPECT_EQ(Kernel().names().LinkCount(), 0u);
}

// Opens the VfW key for a caller through the device's key set; the token.
uint32_t OpenVfwKey(DeviceContext* ctx)
{
  std::vector<uint8_t> buffer(1096, 0);
  KSPROPERTY property{camera::PROPSETID_VFWWDM_KEY, 0, KSPROPERTY_TYPE_GET};
  std::memcpy(buffer.data(), &property, sizeof property);
  STREAM_PROPERTY_DESCRIPTOR descriptor{reinterpret_cast<PKSPROPERTY>(buffer.data()), 0, buffer.data(), 1096, 1096};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.CommandData.PropertyInfo = &descriptor;
  EXPECT_EQ(camera::VfwKeyGet(ctx, &srb), STATUS_SUCCESS);
  uint32_t token = 0;
  std::memcpy(&token, buffer.data() + 32, 4);
  return token;
}

TEST_F(DeviceRemoval, TheFirstDeviceBuildsTheDecoderAndTheLastFreesItAndClosesLeftKeyHandles)
{
  ASSERT_EQ(host::InstallVfwKey(Kernel().registry()), STATUS_SUCCESS);
  const size_t handlesBefore = Kernel().OpenHandles();
  host::CameraDevice* first = Attach();
  const host::PoolUsage one = DriverPool();
  host::CameraDevice* second = Attach();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(driver::DeviceInstanceCount.load(), 2);
  // The second device adds only its own four blocks.
  EXPECT_EQ(DriverPool().Blocks, one.Blocks + 4);
  // Callers open all sixteen key handles and never close them.
  for (int i = 0; i < 16; ++i) EXPECT_NE(OpenVfwKey(Ctx(i % 2 == 0 ? first : second)), 0u);
  EXPECT_EQ(camera::OpenVfwKeyHandles(), 16);

  Remove(first);
  EXPECT_EQ(driver::DeviceInstanceCount.load(), 1);
  EXPECT_TRUE(pipeline::SharedDecoderReady());
  EXPECT_EQ(camera::OpenVfwKeyHandles(), 16) << "another device still serves their callers";
  Remove(second);
  EXPECT_EQ(driver::DeviceInstanceCount.load(), 0);
  EXPECT_FALSE(pipeline::SharedDecoderReady());
  EXPECT_EQ(DriverPool().Blocks, 0u);
  EXPECT_EQ(camera::OpenVfwKeyHandles(), 0);
  EXPECT_EQ(Kernel().OpenHandles(), handlesBefore);

  // The next camera's callers have the whole table again.
  host::CameraDevice* third = Attach();
  ASSERT_NE(third, nullptr);
  EXPECT_NE(OpenVfwKey(Ctx(third)), 0u);
  Remove(third);
  EXPECT_EQ(camera::OpenVfwKeyHandles(), 0);
}

TEST_F(DeviceRemoval, ADeviceThatNeverTookTheDecoderDoesNotReleaseIt)
{
  host::CameraDevice* first = Attach();
  ASSERT_TRUE(pipeline::SharedDecoderReady());
  // The second device's first block after its record, copy and names: its
  // quantization tables. Its initialization stops before the decoder, and
  // the library uninitializes it at once.
  Kernel().pool().FailNthAllocation(5);
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(Attach(&status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(pipeline::SharedDecoderReady());
  EXPECT_EQ(driver::DeviceInstanceCount.load(), 1);
  Remove(first);
  EXPECT_FALSE(pipeline::SharedDecoderReady());
  EXPECT_EQ(driver::DeviceInstanceCount.load(), 0);
}

TEST_F(DeviceRemoval, ADecoderThatCouldNotBeBuiltIsRetriedByTheNextDevice)
{
  // Allocations: record, interface copy, two names, interface link, three
  // blocks; the ninth is the decoder's first work buffer.
  Kernel().pool().FailNthAllocation(9);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  host::CameraDevice* first = Attach(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_FALSE(pipeline::SharedDecoderReady());
  host::CameraDevice* second = Attach();
  EXPECT_TRUE(pipeline::SharedDecoderReady());
  Remove(second);
  Remove(first);
  EXPECT_FALSE(pipeline::SharedDecoderReady());
  EXPECT_EQ(DriverPool().Blocks, 0u);
}

using DeviceNames = LifecycleWorld;

TEST_F(DeviceNames, ASecondCameraFindsTheLinkTakenAndLeavesItToTheFirst)
{
  host::CameraDevice* first = Attach();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  host::CameraDevice* second = Attach(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  // No interface for the second camera, and no link name to delete later.
  EXPECT_EQ(Kernel().names().Interfaces().size(), 1u);
  EXPECT_EQ(Ctx(second)->DosLinkName.Length, 0);

  // Removing the second camera must not take the first camera's link.
  Remove(second);
  EXPECT_EQ(Kernel().names().LinkTarget("\\DosDevices\\TL847"), "\\Device\\TL847");
  EXPECT_TRUE(Kernel().names().Interfaces().at(0).Enabled);
  Remove(first);
  EXPECT_EQ(Kernel().names().LinkCount(), 0u);
  EXPECT_EQ(StringPool().Blocks, 0u);
}

using ParkSequence = LifecycleWorld;

TEST_F(ParkSequence, ReadsSixVariablesWithoutWhiteBalanceAndEightWithIt)
{
  for (uint32_t awb : {0u, 1u}) {
    SeedSettings(1, awb);
    host::CameraDevice* device = Attach();
    ASSERT_NE(device, nullptr);
    host::sim::SimCamera& camera = dualcam::testing::SimCameraOf(*device);
    const uint16_t values[10] = {3, 0x123, 40, 0, 0x0155, 0x0166, 21, 0, 9, 60};
    for (uint16_t v : {0, 1, 2, 4, 5, 6, 8, 9}) camera.SetFirmwareVariable(v, values[v]);
    camera.ClearRequestLog();
    Kernel().clock().ClearDelays();

    EXPECT_EQ(driver::ParkCamera(Ctx(device)), STATUS_SUCCESS);
    Lines expected = {FirmwareRead(0, 3), Out(0x0C, 0, 0), FirmwareRead(1, 0x123), FirmwareRead(2, 40),
                      FirmwareRead(8, 9)};
    if (awb == 1) {
      expected.push_back(FirmwareRead(4, 0x155));
      expected.push_back(FirmwareRead(5, 0x166));
    }
    for (const std::string& line :
         {FirmwareRead(6, 21), FirmwareRead(9, 60), Out(0x30, 3, 0), Out(0x00, 0, 0x2000), BusyRead(0),
          Out(0xE0, 0, 1)}) {
      expected.push_back(line);
    }
    EXPECT_EQ(camera.RequestLines(), expected) << "AutoWhiteBalance " << awb;
    EXPECT_EQ(Kernel().clock().Delays(), (std::vector<LONGLONG>{-330000, -100000}));

    // Saved: the switch word, shutter, gains, and the colour gains only when read.
    EXPECT_EQ(Dword("Fw_AeawbSwitch"), 3u);
    EXPECT_EQ(Dword("Fw_CurShutter"), 0x123u);
    EXPECT_EQ(Dword("Fw_MaxAgc"), 60u);
    EXPECT_EQ(Dword("Fw_RGain"), awb == 1 ? 0x155u : 1u);
    EXPECT_EQ(Dword("Manual_Exposure"), 10u);
    Remove(device);
  }
}

TEST_F(ParkSequence, ABusyCameraIsNotPutToRest)
{
  host::CameraDevice* device = Attach();
  dualcam::testing::SimCameraOf(*device).SetAlwaysBusy(true);
  dualcam::testing::SimCameraOf(*device).ClearRequestLog();
  EXPECT_EQ(driver::ParkCamera(Ctx(device)), STATUS_UNSUCCESSFUL);
  const Lines lines = dualcam::testing::SimCameraOf(*device).RequestLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), BusyRead(1)), 100);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), Out(0xE0, 0, 1)), 0);
}

using PowerTransition = LifecycleWorld;

TEST_F(PowerTransition, SaveParksAndRestoreSelectsTheSavedSettingAgain)
{
  host::CameraDevice* device = Attach();
  DeviceContext* ctx = Ctx(device);
  const auto format = VideoFormat(320, 240, 0x30323449);
  ASSERT_EQ(device->StartCapture(const_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(&format)), STATUS_SUCCESS);
  ctx->DriverStatus.store(5);
  ASSERT_EQ(device->AlternateSetting(), 5);

  EXPECT_EQ(device->SaveState(), STATUS_SUCCESS);
  EXPECT_EQ(ctx->Suspended.load(), 1);
  EXPECT_EQ(ctx->SavedAlternateSetting, 5);
  EXPECT_FALSE(dualcam::testing::SimCameraOf(*device).Awake());

  // Across the transition the bus fell back to setting 0 and the library's
  // copy says so; the camera reports (register 0x25B2 = 0) a lost set-up.
  ctx->InterfaceCopy->AlternateSetting = 0;
  ASSERT_EQ(USBCAMD_SelectAlternateInterface(ctx, ctx->InterfaceCopy), STATUS_SUCCESS);
  dualcam::testing::SimCameraOf(*device).ClearRequestLog();
  dualcam::testing::SimBusOf(*device).RefuseAlternateSettings({5});
  const size_t before = device->Selections().size();
  EXPECT_EQ(device->RestoreState(), STATUS_SUCCESS);
  EXPECT_EQ(ctx->Suspended.load(), 0);
  // Six refused attempts, then the programming steps all the same.
  auto selections = device->Selections();
  ASSERT_EQ(selections.size() - before, 6u);
  EXPECT_EQ(selections.back().AlternateSetting, 5);
  const Lines lines = dualcam::testing::SimCameraOf(*device).RequestLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "in 00 v=0000 i=25B2 n=1 -> 00");
  EXPECT_EQ(lines[1], Out(0xE0, 0, 0));  // PrepareCamera wakes the camera
  EXPECT_TRUE(dualcam::testing::SimCameraOf(*device).CaptureRunning());

  dualcam::testing::SimBusOf(*device).RefuseAlternateSettings({});
  EXPECT_EQ(device->RestoreState(), STATUS_SUCCESS);
  EXPECT_EQ(device->Selections().back().Status, STATUS_SUCCESS);
  EXPECT_EQ(device->AlternateSetting(), 5);
  EXPECT_EQ(device->MaxPacketSize(), 1023);
}

TEST_F(PowerTransition, RestoreWithoutAnOpenStreamSendsNothing)
{
  SeedSettings(0, 1);
  host::CameraDevice* device = Attach();
  for (ULONG status : {3u, 7u}) {  // initialized; a stream was closed
    SCOPED_TRACE(status);
    Ctx(device)->DriverStatus.store(status);
    device->SaveState();
    dualcam::testing::SimCameraOf(*device).ClearRequestLog();
    EXPECT_EQ(device->RestoreState(), STATUS_SUCCESS);
    EXPECT_EQ(Ctx(device)->Suspended.load(), 0);
    EXPECT_TRUE(dualcam::testing::SimCameraOf(*device).RequestLines().empty());
  }

  // A stream is open and the camera kept its set-up: no selection, but the
  // camera is programmed again, image settings before exposure settings (so
  // with only white balance automatic the camera ends in mode 1).
  Ctx(device)->DriverStatus.store(5);
  uint32_t length = 0;
  dualcam::testing::SimCameraOf(*device).Control(false, 0x00, 1, 0x25B2, nullptr, &length);
  const size_t selections = device->Selections().size();
  dualcam::testing::SimCameraOf(*device).ClearRequestLog();
  EXPECT_EQ(device->RestoreState(), STATUS_SUCCESS);
  EXPECT_EQ(device->Selections().size(), selections);
  const Lines lines = dualcam::testing::SimCameraOf(*device).RequestLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "in 00 v=0000 i=25B2 n=1 -> 01");
  EXPECT_EQ(lines[1], Out(0xE0, 0, 0));
  EXPECT_EQ(dualcam::testing::SimCameraOf(*device).AeAwbMode(), 1);

  // A read of the register that fails counts as a lost set-up: selecting
  // the setting again is harmless, a stream left without bandwidth is not.
  dualcam::testing::SimCameraOf(*device).FailRequests(host::sim::RequestMatch{true, 0x00, 0x25B2}, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(device->RestoreState(), STATUS_SUCCESS);
  EXPECT_EQ(device->Selections().size(), selections + 1);
}

}  // namespace
}  // namespace dualcam::lifecycle::testing
