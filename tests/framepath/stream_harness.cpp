// The frame-path capture world; see stream_harness.h.
#include "stream_harness.h"

#include <set>

#include <gtest/gtest.h>

#include "driver/callbacks.h"
#include "driver/lifecycle.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/registry.h"
#include "pipeline/packet.h"
#include "pipeline/picture.h"
#include "pipeline/render.h"
#include "platform/ks.h"
#include "platform/usbcamd.h"
#include "support/sim_device.h"

namespace dualcam::framepath::testing {
namespace {

using driver::DeviceContext;

void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK) {}
DeviceContext* Ctx(PVOID context) { return static_cast<DeviceContext*>(context); }

}  // namespace

std::size_t PictureBytes(const CaptureFormat& format, ULONG rawFrameLength) {
  const std::size_t pixels = static_cast<std::size_t>(format.Width) * format.Height;
  switch (format.Compression) {
    case pipeline::kCompressionRgb: return pixels * 3;
    case pipeline::kFourccVqj9: return rawFrameLength + pipeline::kPassThroughHeaderSize;
    default: return pixels * 3 / 2;
  }
}

std::vector<uint8_t> ExpectedPicture(const host::sim::FrameRecord& frame, const CaptureFormat& format) {
  const int w = format.Width, h = format.Height;
  std::vector<uint8_t> planar(pipeline::PlanarPictureBytes(w, h), 0);
  if (frame.width == w && frame.height == h) {
    planar = frame.picture;
  } else if (w == 128) {
    std::vector<uint8_t> stretched(pipeline::PlanarPictureBytes(160, 120), 0);
    pipeline::StretchPicture(frame.picture.data(), stretched.data(), 160, 112, 160, 120);
    pipeline::ResamplePicture(stretched.data(), planar.data(), 160, 120, w, h);
  } else {
    pipeline::ResamplePicture(frame.picture.data(), planar.data(), frame.width, frame.height, w, h);
  }
  if (format.Compression != pipeline::kCompressionRgb) return planar;
  std::vector<uint8_t> bgr(pipeline::RgbPictureBytes(w, h), 0);
  pipeline::ConvertToRgb(planar.data(), bgr.data(), w, h);
  return bgr;
}

struct StreamHarness::World {
  host::HostKernel kernel{host::HostOptions::ForTests()};
  host::ScopedKernel installed{kernel};
  std::vector<std::unique_ptr<host::CameraDevice>> devices;
  std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> formats;  // kept for the capture's life
};

StreamHarness::StreamHarness(host::sim::SimCameraOptions options) : world_(std::make_unique<World>()) {
  world_->formats.reserve(8);
  EXPECT_EQ(host::InstallSettingsKey(world_->kernel.registry()), STATUS_SUCCESS);
  // No tone curve: the pictures are compared with the sensor's own.
  EXPECT_EQ(world_->kernel.registry().SetDword(host::kSettingsKeyPath, "Gamma", 0), STATUS_SUCCESS);
  EXPECT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, pipeline::kFrameContextSize,
                                IgnoreRequest),
            STATUS_SUCCESS);
  host::CameraDevice::Options attach =
      dualcam::testing::SimDeviceOptions(std::make_shared<host::sim::SimCamera>(options), driver::CameraCallbacks());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  world_->devices.push_back(host::CameraDevice::Attach(attach, &status));
  EXPECT_EQ(status, STATUS_SUCCESS);
}

StreamHarness::~StreamHarness() {
  world_->kernel.workQueue().Discard();
  for (auto& device : world_->devices)
    if (device) RemoveDevice(*device);
  world_->devices.clear();
  host::ResetCameraDriver();
}

void StreamHarness::RemoveDevice(host::CameraDevice& device) {
  if (device.DeviceContext() == nullptr) return;
  // The names go while the record still exists, as the request routine
  // removes them after CamUnInitialize.
  driver::RemoveDeviceNames(Ctx(device.DeviceContext()));
  device.Remove();
}

host::CameraDevice& StreamHarness::AttachAnother() {
  host::CameraDevice::Options attach = dualcam::testing::SimDeviceOptions(nullptr, driver::CameraCallbacks());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  world_->devices.push_back(host::CameraDevice::Attach(attach, &status));
  EXPECT_EQ(status, STATUS_SUCCESS);
  return *world_->devices.back();
}

NTSTATUS StreamHarness::StartOn(host::CameraDevice& device, const CaptureFormat& format) {
  std::set<uint8_t> refused;
  for (uint8_t setting = static_cast<uint8_t>(format.AlternateSetting + 1); setting <= 5; ++setting)
    refused.insert(setting);
  dualcam::testing::SimBusOf(device).RefuseAlternateSettings(refused);
  KS_DATAFORMAT_VIDEOINFOHEADER ks{};
  ks.DataFormat.FormatSize = sizeof ks;
  ks.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  ks.VideoInfoHeader.bmiHeader.biWidth = format.Width;
  ks.VideoInfoHeader.bmiHeader.biHeight = format.Height;
  ks.VideoInfoHeader.bmiHeader.biCompression = format.Compression;
  ks.VideoInfoHeader.bmiHeader.biBitCount = format.Compression == 0 ? 24 : 12;
  world_->formats.push_back(ks);
  const NTSTATUS status = device.StartCapture(&world_->formats.back());
  EXPECT_EQ(device.AlternateSetting(), format.AlternateSetting);
  return status;
}

driver::DeviceContext* StreamHarness::Context() { return Ctx(world_->devices.front()->DeviceContext()); }
host::CameraDevice& StreamHarness::Device() { return *world_->devices.front(); }
host::sim::SimCamera& StreamHarness::Camera() { return dualcam::testing::SimCameraOf(Device()); }

NTSTATUS StreamHarness::Start(const CaptureFormat& format) {
  format_ = format;
  return StartOn(Device(), format);
}

void StreamHarness::Stop() { Device().StopCapture(); }

std::vector<DeliveredPicture> StreamHarness::Capture(unsigned count, std::size_t bufferBytes, uint8_t fill) {
  if (bufferBytes == 0) bufferBytes = PictureBytes(format_, Device().RawFrameLength());
  std::vector<std::vector<uint8_t>> buffers(count, std::vector<uint8_t>(bufferBytes, fill));
  std::vector<DeliveredPicture> delivered;
  for (auto& buffer : buffers) {
    Device().QueueRead(buffer, [&delivered, &buffer](const host::CompletedRead& read) {
      if (read.Status != STATUS_CANCELLED) delivered.push_back({read, buffer});
    });
  }
  for (unsigned i = 0; i < count + 4 && delivered.size() < count; ++i) Device().Pump(1);
  Device().CancelReads();
  return delivered;
}

}  // namespace dualcam::framepath::testing
