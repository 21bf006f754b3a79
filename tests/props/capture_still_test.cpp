// The still property against the whole capture path: the driver's own
// callbacks bring the device up and run a capture, and while the property
// sleeps its one-second waits the camera's packets keep arriving (pumped
// from the clock's sleep hook, as the bus would deliver them meanwhile), so
// the still reaches the property through the real packet routine.
#include <functional>
#include <memory>
#include <optional>

#include "camera/extension_properties.h"
#include "camera/properties.h"
#include "driver/callbacks.h"
#include "driver/lifecycle.h"
#include "host/bus/sim_bus.h"
#include "host/bus/usb_device.h"
#include "host/kernel/host_kernel.h"
#include "host/classlib/camera_class_library.h"
#include "platform/usbcamd.h"
#include "props_harness.h"
#include "support/sim_device.h"

namespace dualcam::props::testing {
namespace {

// The simulated camera's bus, with a look at every control transfer as it
// goes out.
class ObservedBus final : public host::bus::UsbDevice {
 public:
  explicit ObservedBus(std::shared_ptr<host::bus::SimBus> inner) : inner_(std::move(inner)) {}
  std::function<void(const host::bus::ControlTransfer&)> OnControl;
  host::sim::SimCamera& Camera() { return inner_->Camera(); }

  std::span<const uint8_t> DeviceDescriptor() const override { return inner_->DeviceDescriptor(); }
  std::span<const uint8_t> ConfigurationDescriptor() const override { return inner_->ConfigurationDescriptor(); }
  std::string Name() const override { return inner_->Name(); }
  host::bus::ControlResult Control(const host::bus::ControlTransfer& transfer) override
  {
    if (OnControl) OnControl(transfer);
    return inner_->Control(transfer);
  }
  host::bus::Status SelectAlternateSetting(uint8_t interface, uint8_t setting) override
  {
    return inner_->SelectAlternateSetting(interface, setting);
  }
  host::bus::Status StartStream(uint8_t endpoint, uint32_t size) override { return inner_->StartStream(endpoint, size); }
  void StopStream() override { inner_->StopStream(); }
  bool Stepped() const override { return true; }
  bool WaitForPackets(std::chrono::steady_clock::time_point deadline) override
  {
    return inner_->WaitForPackets(deadline);
  }
  void Interrupt() override { inner_->Interrupt(); }
  Delivered Deliver(host::bus::PacketSink& sink) override { return inner_->Deliver(sink); }
  bool Gone() const override { return inner_->Gone(); }
  void SetGoneHandler(std::function<void()> handler) override { inner_->SetGoneHandler(std::move(handler)); }

 private:
  std::shared_ptr<host::bus::SimBus> inner_;
};

class CaptureStill : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ASSERT_EQ(host::InstallSettingsKey(kernel_.registry()), STATUS_SUCCESS);
    ASSERT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, 4, IgnoreRequest), STATUS_SUCCESS);
    host::CameraDevice::Options attach = dualcam::testing::SimDeviceOptions(nullptr, driver::CameraCallbacks());
    bus_ = std::make_shared<ObservedBus>(std::static_pointer_cast<host::bus::SimBus>(attach.Bus));
    attach.Bus = bus_;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    device_ = host::CameraDevice::Attach(attach, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof format;
    format.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    format.VideoInfoHeader.bmiHeader.biWidth = 320;
    format.VideoInfoHeader.bmiHeader.biHeight = 240;
    format.VideoInfoHeader.bmiHeader.biBitCount = 24;
    ASSERT_EQ(device_->StartCapture(&format), STATUS_SUCCESS);
    device_->Pump(2);
  }
  void TearDown() override
  {
    kernel_.clock().SetDelayHook(nullptr);
    kernel_.workQueue().Discard();
    if (device_) {
      device_->StopCapture();
      kernel_.workQueue().Discard();
      driver::RemoveDeviceNames(Ctx());
      device_->Remove();
      device_.reset();
    }
    host::ResetCameraDriver();
  }

  driver::DeviceContext* Ctx() { return static_cast<driver::DeviceContext*>(device_->DeviceContext()); }

  // Asks for a still while the bus delivers `framesPerSecond` frames during
  // each one-second sleep.
  PropertyRequest TakeStill(unsigned framesPerSecond)
  {
    kernel_.clock().ClearDelays();
    kernel_.clock().SetDelayHook([this, framesPerSecond](LONGLONG interval) {
      if (interval == kOneSecond) device_->Pump(framesPerSecond);
    });
    PropertyRequest still = ExtensionRequest(camera::CAMEXT_STILL_CAPTURE);
    EXPECT_EQ(camera::DevicePropertyHandler(camera::kPropertyGet, nullptr, Ctx(), still.Srb()), STATUS_SUCCESS);
    kernel_.clock().SetDelayHook(nullptr);
    return still;
  }

  std::vector<int64_t> OneSecondSleeps()
  {
    std::vector<int64_t> sleeps;
    for (LONGLONG delay : kernel_.clock().Delays()) {
      if (delay == kOneSecond) sleeps.push_back(delay);
    }
    return sleeps;
  }

  host::HostKernel kernel_{host::HostOptions::ForTests()};
  host::ScopedKernel installed_{kernel_};
  std::shared_ptr<ObservedBus> bus_;
  std::unique_ptr<host::CameraDevice> device_;
};

TEST_F(CaptureStill, StillFromThePacketPathArrivesInTheBuffer)
{
  // The button poll's service stays away from a still the property waits
  // for: the flag is up before the camera is asked for the still.
  std::optional<ULONG> byPropertyAtTrigger;
  bus_->OnControl = [this, &byPropertyAtTrigger](const host::bus::ControlTransfer& t) {
    if (!t.In() && t.request == 0x05 && t.value == 2) byPropertyAtTrigger = Ctx()->StillByProperty.load();
  };
  PropertyRequest still = TakeStill(3);
  bus_->OnControl = nullptr;
  EXPECT_EQ(byPropertyAtTrigger, 1u);
  EXPECT_EQ(OneSecondSleeps().size(), 1u);
  ASSERT_EQ(still.Ulong(layout::kExtValue), layout::kExtDataSize);

  // The data area holds the first still's payload as the camera sent it:
  // raw frame bytes from 9 on (the frame-start packet's bytes 10..).
  std::optional<host::sim::FrameRecord> sent;
  for (const host::sim::FrameRecord& frame : bus_->Camera().FrameHistory()) {
    if (frame.kind == encoder::FrameKind::kStill && !sent) sent = frame;
  }
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(still.Range(layout::kExtData, layout::kExtDataSize),
            std::vector<uint8_t>(sent->raw_frame.begin() + 9, sent->raw_frame.begin() + 9 + 1024));
  EXPECT_EQ(Ctx()->StillReady.load(), 0u);
  EXPECT_EQ(Ctx()->StillByProperty.load(), 0u);
  // Back at the video size, the camera streams video again.
  EXPECT_FALSE(bus_->Camera().StillPending());
}

TEST_F(CaptureStill, StillNeverSentGivesUpAfterTenSleeps)
{
  // The bus delivers nothing while the property waits.
  PropertyRequest still = TakeStill(0);
  EXPECT_EQ(OneSecondSleeps().size(), 10u);
  EXPECT_EQ(still.Ulong(layout::kExtValue), 0u);
  EXPECT_EQ(still.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Ctx()->StillRequested.load(), 0u);
  EXPECT_EQ(Ctx()->StillByProperty.load(), 0u);
}

}  // namespace
}  // namespace dualcam::props::testing
