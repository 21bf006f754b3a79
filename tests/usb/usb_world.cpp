#include "usb/usb_world.h"

#include "driver/entry.h"
#include "host/classlib/camera_class_library.h"

namespace dualcam::usb::testing {
namespace {

// Opens a stream of the plan's format, runs it, reads, stops, closes and
// takes the camera down.
void Run(host::CaptureCamera& camera, const CapturePlan& plan, CaptureRun& run,
         const std::function<void(unsigned)>& before_read) {
  const host::StreamInfo info = camera.GetStreamInfo();
  const KS_DATARANGE_VIDEO* range = host::FindRange(info, plan.compression, plan.width, plan.height);
  ASSERT_NE(range, nullptr);
  auto stream = camera.OpenStream(host::FormatFromRange(*range), &run.open);
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  for (unsigned count : plan.reads) {
    if (before_read) before_read(count);
    for (host::Picture& picture : stream->Read(count)) {
      run.statuses.push_back(picture.Status);
      run.pictures.emplace_back(picture.Used().begin(), picture.Used().end());
    }
  }
  run.selections = camera.Device().Selections();
  EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  EXPECT_EQ(camera.Uninitialize(), STATUS_SUCCESS);
}

}  // namespace

host::bus::emulated::EmulatedUsb& Testbed() {
  static auto* testbed = new host::bus::emulated::EmulatedUsb();
  return *testbed;
}

DriverWorld::DriverWorld() {
  host::InstallSettingsKey(kernel_.registry());
  host::ResetCameraDriver();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = host::CaptureDriver::Load(driver::DriverEntry, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
}

DriverWorld::~DriverWorld() {
  driver_.reset();
  host::ResetCameraDriver();
}

CaptureRun CaptureInProcess(std::shared_ptr<host::sim::SimCamera> camera, const CapturePlan& plan,
                            std::function<void(host::bus::SimBus&)> script) {
  CaptureRun run;
  DriverWorld world;
  auto device = std::make_shared<host::bus::SimBus>(camera);
  if (script) script(*device);
  host::CameraDevice::Options options;
  options.Bus = device;
  auto attached = world.Driver().AttachDevice(options, &run.attach);
  if (!attached) return run;
  Run(*attached, plan, run, nullptr);
  run.requests = camera->RequestLines();
  return run;
}

CaptureRun CaptureThroughLibusb(std::shared_ptr<host::sim::SimCamera> camera, const CapturePlan& plan,
                                std::function<void(host::bus::SimBus&)> script) {
  CaptureRun run;
  auto device = std::make_shared<host::bus::SimBus>(camera);
  device->LimitFrames(0);
  if (script) script(*device);
  auto& emulated = Testbed().AddCamera(device);
  {
    auto bus = OpenAt(emulated);
    if (bus) {
      DriverWorld world;
      host::CameraDevice::Options options;
      options.Bus = bus;
      auto attached = world.Driver().AttachDevice(options, &run.attach);
      // The first read needs one frame more: the start of the frame after
      // the last picture completes it.
      bool first = true;
      if (attached)
        Run(*attached, plan, run, [&](unsigned count) {
          emulated.AllowFrames(count + (first ? 1 : 0));
          first = false;
        });
    }
  }
  run.requests = camera->RequestLines();
  Testbed().Remove(emulated);
  return run;
}

std::shared_ptr<host::bus::LibusbBus> OpenAt(const host::bus::emulated::EmulatedCamera& camera) {
  const auto selector = host::bus::ParseDeviceSelector("usb:" + camera.Place());
  EXPECT_TRUE(selector);
  if (!selector) return nullptr;
  auto opened = host::bus::LibusbBus::Open(*selector);
  EXPECT_EQ(opened.status, host::bus::Status::kOk) << opened.message;
  return opened.device;
}

}  // namespace dualcam::usb::testing
