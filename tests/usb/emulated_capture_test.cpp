// The real libusb path against the emulated camera: finding and opening it,
// every format streamed byte for byte as in-process, and the bus's faults.
#include <gtest/gtest.h>

#include <chrono>

#include "driver/device_context.h"
#include "host/kernel/registry.h"
#include "platform/usbcamd.h"

#include "host/bus/libusb_bus.h"
#include "usb/usb_world.h"

namespace dualcam::usb::testing {
namespace {

using host::bus::LibusbBus;
using host::bus::ParseDeviceSelector;
using host::bus::Status;

TEST(EmulatedUsb, TheCameraIsFoundByItsShapeIdsAndPlace) {
  ASSERT_TRUE(host::bus::emulated::EmulatedUsb::Preloaded()) << "run under umockdev-wrapper";
  auto& camera = Testbed().AddCamera();
  std::string error;
  const auto cameras = LibusbBus::List(true, &error);
  ASSERT_EQ(cameras.size(), 1u) << error;
  EXPECT_EQ(cameras[0].Ids(), "1209:0001");
  EXPECT_EQ(cameras[0].Place(), camera.Place());
  EXPECT_EQ(cameras[0].product, "Simulated dual-mode camera");
  for (const char* name : {"usb", "usb:1209:0001", "usb:1209:1"}) {
    auto opened = LibusbBus::Open(*ParseDeviceSelector(name));
    EXPECT_EQ(opened.status, Status::kOk) << name << ": " << opened.message;
  }
  auto elsewhere = LibusbBus::Open(*ParseDeviceSelector("usb:1-9"));
  EXPECT_EQ(elsewhere.status, Status::kNotFound);
  EXPECT_EQ(elsewhere.message, "no USB device usb:1-9 (1 camera on the bus)");

  // Two cameras: "usb" alone no longer names one.
  auto& second = Testbed().AddCamera();
  auto either = LibusbBus::Open(*ParseDeviceSelector("usb"));
  EXPECT_EQ(either.status, Status::kInvalid);
  EXPECT_NE(either.message.find("usb:" + camera.Place()), std::string::npos) << either.message;
  EXPECT_NE(either.message.find("usb:" + second.Place()), std::string::npos) << either.message;
  auto placed = LibusbBus::Open(*ParseDeviceSelector("usb:" + second.Place()));
  ASSERT_EQ(placed.status, Status::kOk) << placed.message;
  EXPECT_EQ(placed.device->Name(), "usb " + second.Place() + " (1209:0001)");
  placed.device.reset();
  Testbed().Remove(second);
  Testbed().Remove(camera);
  EXPECT_EQ(LibusbBus::Open(*ParseDeviceSelector("usb")).status, Status::kNotFound);
}

// Every format the pin announces, through libusb and in-process, with the
// same scene and settings: the same bytes in every picture, the same
// requests to the camera.
void ExpectSameAsInProcess(DWORD compression) {
  for (auto [width, height] : {std::pair<LONG, LONG>{160, 120}, {176, 144}, {320, 240}, {352, 288}}) {
    SCOPED_TRACE(::testing::Message() << width << "x" << height);
    const CapturePlan plan{compression, width, height, {2, 1}};
    const CaptureRun local = CaptureInProcess(std::make_shared<host::sim::SimCamera>(), plan);
    const CaptureRun usb = CaptureThroughLibusb(std::make_shared<host::sim::SimCamera>(), plan);
    ASSERT_EQ(usb.attach, STATUS_SUCCESS);
    ASSERT_EQ(usb.pictures.size(), 3u);
    ASSERT_EQ(local.pictures.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(usb.statuses[i], STATUS_SUCCESS);
      EXPECT_FALSE(usb.pictures[i].empty());
      EXPECT_TRUE(usb.pictures[i] == local.pictures[i]) << "picture " << i;
    }
    EXPECT_EQ(usb.requests, local.requests);
  }
}

TEST(EmulatedUsb, Rgb24StreamsAsItDoesInProcess) { ExpectSameAsInProcess(0); }
TEST(EmulatedUsb, I420StreamsAsItDoesInProcess) { ExpectSameAsInProcess(0x30323449); }
TEST(EmulatedUsb, Vqj9StreamsAsItDoesInProcess) { ExpectSameAsInProcess(0x394A5156); }

// Errored and short packets and refused settings are the bus's; they reach
// the driver as they came, so the pictures (repeats where packets were lost)
// and the 5-to-0 search are the same as in-process.
TEST(EmulatedUsb, FaultsAtTheBusReachTheDriverAsTheyCame) {
  const auto script = [](host::bus::SimBus& device) {
    device.RefuseAlternateSettings({5, 4});
    device.Camera().SetPacketFaults({.seed = 7, .drop = 3000, .truncate = 20000, .error = 20000});
  };
  const CapturePlan plan{0x30323449, 176, 144, {6}};
  const CaptureRun local = CaptureInProcess(std::make_shared<host::sim::SimCamera>(), plan, script);
  const CaptureRun usb = CaptureThroughLibusb(std::make_shared<host::sim::SimCamera>(), plan, script);
  ASSERT_EQ(usb.pictures.size(), local.pictures.size());
  ASSERT_GE(usb.pictures.size(), 5u);
  EXPECT_TRUE(usb.pictures == local.pictures);
  EXPECT_EQ(usb.requests, local.requests);
  ASSERT_GE(usb.selections.size(), 3u);
  EXPECT_EQ(usb.selections[0].AlternateSetting, 5);
  EXPECT_EQ(usb.selections[0].Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(usb.selections[1].AlternateSetting, 4);
  EXPECT_EQ(usb.selections[1].Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(usb.selections[2].AlternateSetting, 3);
  EXPECT_EQ(usb.selections[2].Status, STATUS_SUCCESS);
}

// A request the camera never answers ends at the library's timeout with the
// status the driver knows, and the pipe works on.
TEST(EmulatedUsb, AControlRequestThatTimesOutFailsAsATimeout) {
  auto camera = std::make_shared<host::sim::SimCamera>();
  auto& emulated = Testbed().AddCamera(std::make_shared<host::bus::SimBus>(camera));
  {
    DriverWorld world;
    host::CameraDevice::Options options;
    options.Bus = OpenAt(emulated);
    options.VendorTimeout = std::chrono::milliseconds(60);
    NTSTATUS status;
    auto attached = world.Driver().AttachDevice(options, &status);
    ASSERT_TRUE(attached) << std::hex << status;
    camera->ClearRequestLog();
    camera->FailRequests({.in = true, .request = 0x06}, STATUS_IO_TIMEOUT);
    uint8_t busy = 0xEE;
    ULONG length = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(USBCAMD_ControlVendorCommand(attached->DeviceContext(), 0x06, 0, 0, &busy, &length, TRUE, nullptr,
                                           nullptr),
              STATUS_IO_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(60));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(busy, 0xEE);
    length = 1;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(attached->DeviceContext(), 0x06, 0, 0, &busy, &length, TRUE, nullptr,
                                           nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(busy, 0);
    EXPECT_EQ(camera->RequestLines(),
              (std::vector<std::string>{"in 06 v=0000 i=0000 n=1 !C00000B5", "in 06 v=0000 i=0000 n=1 -> 00"}));
    EXPECT_EQ(emulated.GetStats().urbs_discarded, 1u);
  }
  Testbed().Remove(emulated);
}

// The camera is pulled out while frames flow: the read sees it, the driver
// takes it down on the surprise-removal path, nothing waits for ever, and
// the bus closes cleanly.
TEST(EmulatedUsb, ACameraPulledOutMidCaptureIsRemovedWithoutAHang) {
  auto& emulated = Testbed().AddCamera();  // no frame budget: frames come as fast as asked for
  std::weak_ptr<host::bus::UsbDevice> weak;
  {
    DriverWorld world;
    host::CameraDevice::Options options;
    options.Bus = OpenAt(emulated);
    weak = options.Bus;
    NTSTATUS status;
    auto camera = world.Driver().AttachDevice(options, &status);
    ASSERT_TRUE(camera);
    auto stream = camera->OpenStream(host::FormatFromRange(
                                         *host::FindRange(camera->GetStreamInfo(), 0x30323449, 176, 144)),
                                     &status);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const auto good = stream->Read(2);
    ASSERT_EQ(good.size(), 2u);
    EXPECT_EQ(good[1].Status, STATUS_SUCCESS);

    // Frames that arrived before the camera went may still be read; the
    // removal is seen within moments all the same.
    Testbed().Unplug(emulated);
    const auto start = std::chrono::steady_clock::now();
    std::vector<host::Picture> cut;
    while (!camera->Removed() && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
      cut = stream->Read(1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(camera->Removed());
    EXPECT_TRUE(camera->Device().Vanished());
    ASSERT_FALSE(cut.empty());
    if (cut.back().Status == STATUS_SUCCESS) {
      // Seen right after a read that got such a frame: the next read fails.
      cut = stream->Read(1);
      ASSERT_FALSE(cut.empty());
      EXPECT_EQ(cut.back().Status, STATUS_DEVICE_NOT_CONNECTED);
    } else {
      EXPECT_EQ(cut.back().Status, STATUS_CANCELLED);  // the read waiting when the camera went
    }
    EXPECT_EQ(world.Kernel().registry().GetDword(host::kSettingsKeyPath, "DriverStatus"), 8u);
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
    EXPECT_EQ(camera->Uninitialize(), STATUS_SUCCESS);
  }
  EXPECT_TRUE(weak.expired());  // the bus went with the camera, its threads joined
  EXPECT_EQ(LibusbBus::Open(*ParseDeviceSelector("usb:" + emulated.Place())).status, Status::kNotFound);
  Testbed().Remove(emulated);
}

// One program owns the camera: a second one that opens it is refused by the
// claim, with a message that says so, and gets it once the first lets go. A
// kernel driver bound to the interface is detached for the capture and
// bound again afterwards.
TEST(EmulatedUsb, AClaimedCameraIsRefusedToASecondOpenerAndItsDriverComesBack) {
  auto& emulated = Testbed().AddCamera(nullptr, {.kernel_driver = "dualcam-test-driver"});
  EXPECT_TRUE(emulated.GetStats().driver_bound);
  {
    auto first = OpenAt(emulated);
    ASSERT_TRUE(first);
    EXPECT_FALSE(emulated.GetStats().driver_bound);
    auto second = LibusbBus::Open(*ParseDeviceSelector("usb:" + emulated.Place()));
    EXPECT_EQ(second.status, Status::kBusy);
    EXPECT_EQ(second.message, first->Name() + " is in use by another program");
    EXPECT_EQ(emulated.GetStats().refused_claims, 1u);
  }
  EXPECT_TRUE(emulated.GetStats().driver_bound);
  EXPECT_TRUE(OpenAt(emulated));
  Testbed().Remove(emulated);
}

}  // namespace
}  // namespace dualcam::usb::testing
