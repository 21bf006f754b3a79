// The lifecycle test world; see lifecycle_world.h.
#include "lifecycle_world.h"

#include <cstdio>

#include "driver/callbacks.h"
#include "driver/lifecycle.h"
#include "host/kernel/registry.h"
#include "platform/usbcamd.h"
#include "support/sim_device.h"

namespace dualcam::lifecycle::testing {
namespace {

void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK) {}

}  // namespace

LifecycleWorld::LifecycleWorld()
{
  EXPECT_EQ(host::InstallSettingsKey(kernel_.registry()), STATUS_SUCCESS);
  EXPECT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, 4, IgnoreRequest), STATUS_SUCCESS);
}

LifecycleWorld::~LifecycleWorld()
{
  kernel_.workQueue().Discard();
  for (auto& device : devices_) {
    if (device) Remove(device.get());
  }
  devices_.clear();
  host::ResetCameraDriver();
  EXPECT_EQ(kernel_.pool().BadFrees(), 0u);
  EXPECT_EQ(kernel_.Misuse(), 0u);
}

host::CameraDevice* LifecycleWorld::Attach(NTSTATUS* status, host::sim::SimCameraOptions options)
{
  host::CameraDevice::Options attach =
      dualcam::testing::SimDeviceOptions(std::make_shared<host::sim::SimCamera>(options), driver::CameraCallbacks());
  auto device = host::CameraDevice::Attach(attach, status);
  devices_.push_back(std::move(device));
  return devices_.back().get();
}

void LifecycleWorld::Remove(host::CameraDevice* device)
{
  // The names are undone after CamUnInitialize, while the record still
  // exists; the host frees the record inside Remove, so they go first here.
  if (device->DeviceContext() == nullptr) return;  // already removed
  kernel_.workQueue().Discard();
  driver::RemoveDeviceNames(Ctx(device));
  device->Remove();
}

driver::DeviceContext* LifecycleWorld::Ctx(host::CameraDevice* device)
{
  return static_cast<driver::DeviceContext*>(device->DeviceContext());
}

void LifecycleWorld::SetDword(const std::string& name, uint32_t value)
{
  ASSERT_EQ(kernel_.registry().SetDword(host::kSettingsKeyPath, name, value), STATUS_SUCCESS);
}

std::optional<uint32_t> LifecycleWorld::Dword(const std::string& name)
{
  return kernel_.registry().GetDword(host::kSettingsKeyPath, name);
}

void LifecycleWorld::SeedSettings(uint32_t autoExposure, uint32_t autoWhiteBalance)
{
  for (const char* name : {"Brightness", "Contrast", "Hue", "Saturation", "Sharpness", "Gamma", "Fw_CurShutter",
                           "Fw_CurAgc", "Fw_MinAgc", "Fw_RGain", "Fw_BGain", "Fw_AdjAgc", "Fw_MaxAgc"}) {
    SetDword(name, 1);
  }
  SetDword("White Balance", 10);
  SetDword("Auto Exposure Enable", autoExposure);
  SetDword("Auto White Balance Enable", autoWhiteBalance);
  SetDword("Flicker60", 1);
  SetDword("Fw_AeawbSwitch", 4);
  SetDword("Manual_Exposure", 10);
}

KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, DWORD compression)
{
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  format.DataFormat.FormatSize = sizeof format;
  format.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  format.VideoInfoHeader.bmiHeader.biWidth = width;
  format.VideoInfoHeader.bmiHeader.biHeight = height;
  format.VideoInfoHeader.bmiHeader.biCompression = compression;
  format.VideoInfoHeader.bmiHeader.biBitCount = compression == 0 ? 24 : 12;
  return format;
}

std::string Out(uint8_t request, uint16_t value, uint16_t index)
{
  char line[48];
  std::snprintf(line, sizeof line, "out %02X v=%04X i=%04X", request, value, index);
  return line;
}

std::string FirmwareRead(uint16_t variable, uint16_t value)
{
  char line[64];
  std::snprintf(line, sizeof line, "in 30 v=0000 i=%04X n=2 -> %02X %02X", variable, value & 0xFF, value >> 8);
  return line;
}

std::string BusyRead(uint8_t byte)
{
  char line[48];
  std::snprintf(line, sizeof line, "in 06 v=0000 i=0000 n=1 -> %02X", byte);
  return line;
}

}  // namespace dualcam::lifecycle::testing
