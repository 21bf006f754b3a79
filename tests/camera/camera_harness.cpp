// A world for the camera-control tests: host kernel, simulated camera and a
// device record bound to it through the host's camera class library.
//
// Hard part: the record must be the one the library allocated for the
// camera, since the library routes each vendor request by its address; the
// driver's own device callbacks stay out of the way (an empty callback table),
// so each test sees only the requests it caused.
#include "camera_harness.h"

#include <cstdio>
#include <new>

#include "host/kernel/host_kernel.h"
#include "host/classlib/camera_class_library.h"
#include "host/kernel/wide.h"
#include "platform/usbcamd.h"
#include "support/sim_device.h"

namespace dualcam::camera::testing {
namespace {

void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK) {}

std::string Narrow(const std::u16string& text) { return host::Utf16ToUtf8(text); }

}  // namespace

struct CameraHarness::World {
  host::HostKernel kernel{host::HostOptions::ForTests()};
  host::ScopedKernel installed{kernel};
  USBCAMD_DEVICE_DATA callbacks{};  // no device callbacks: only the requests a test sends
  std::unique_ptr<host::CameraDevice> device;
};

CameraHarness::CameraHarness() = default;
CameraHarness::~CameraHarness() = default;

void CameraHarness::SetUp()
{
  world_ = std::make_unique<World>();
  ASSERT_EQ(host::InstallSettingsKey(world_->kernel.registry()), STATUS_SUCCESS);
  ASSERT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, 4, IgnoreRequest), STATUS_SUCCESS);

  host::CameraDevice::Options options = dualcam::testing::SimDeviceOptions(nullptr, &world_->callbacks);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  world_->device = host::CameraDevice::Attach(options, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(world_->device, nullptr);
  // The library hands over zero-filled memory; start the record's lifetime
  // in place (value-initialisation writes the same zeros).
  context_ = new (world_->device->DeviceContext()) driver::DeviceContext{};
  ClearDelays();
}

void CameraHarness::TearDown()
{
  if (world_ && world_->device) {
    world_->device->Remove();
    world_->device.reset();
  }
  context_ = nullptr;
  world_.reset();
  host::ResetCameraDriver();
}

host::sim::SimCamera& CameraHarness::Camera() { return dualcam::testing::SimCameraOf(*world_->device); }

std::vector<std::string> CameraHarness::Requests() const { return dualcam::testing::SimCameraOf(*world_->device).RequestLines(); }

void CameraHarness::ClearRequests() { dualcam::testing::SimCameraOf(*world_->device).ClearRequestLog(); }

std::vector<int64_t> CameraHarness::Delays() const
{
  const auto delays = world_->kernel.clock().Delays();
  return {delays.begin(), delays.end()};
}

void CameraHarness::ClearDelays() { world_->kernel.clock().ClearDelays(); }

int64_t CameraHarness::Now() const { return world_->kernel.clock().Now(); }

void CameraHarness::InstallSettingsKey()
{
  ASSERT_EQ(host::InstallSettingsKey(world_->kernel.registry()), STATUS_SUCCESS);
}

void CameraHarness::RemoveSettingsKey()
{
  ASSERT_EQ(world_->kernel.registry().DeleteKey(host::kSettingsKeyPath), STATUS_SUCCESS);
}

void CameraHarness::SetDword(const std::u16string& name, uint32_t value)
{
  ASSERT_EQ(world_->kernel.registry().SetDword(host::kSettingsKeyPath, Narrow(name), value), STATUS_SUCCESS);
}

void CameraHarness::SetString(const std::u16string& name, const std::u16string& text)
{
  ASSERT_EQ(world_->kernel.registry().SetString(host::kSettingsKeyPath, Narrow(name), Narrow(text)),
            STATUS_SUCCESS);
}

void CameraHarness::SetBinary(const std::u16string& name, const std::vector<uint8_t>& bytes)
{
  ASSERT_EQ(world_->kernel.registry().SetValue(host::kSettingsKeyPath, Narrow(name),
                                               host::RegistryValue::Binary(bytes)),
            STATUS_SUCCESS);
}

std::optional<uint32_t> CameraHarness::Dword(const std::u16string& name) const
{
  return world_->kernel.registry().GetDword(host::kSettingsKeyPath, Narrow(name));
}

std::vector<std::u16string> CameraHarness::ValueNames() const
{
  std::vector<std::u16string> names;
  for (const host::NamedValue& value : world_->kernel.registry().ListValues(host::kSettingsKeyPath)) {
    names.push_back(host::Utf8ToUtf16(value.Name));
  }
  return names;
}

std::string Out(uint8_t request, uint16_t value, uint16_t index)
{
  char line[48];
  std::snprintf(line, sizeof line, "out %02X v=%04X i=%04X", request, value, index);
  return line;
}

std::string RegisterWrite(uint16_t reg, uint16_t value) { return Out(0x00, value, reg); }

std::string FirmwareWrite(uint16_t variable, uint16_t value) { return Out(0x30, value, variable); }

std::string BusyRead(uint8_t byte)
{
  char line[48];
  std::snprintf(line, sizeof line, "in 06 v=0000 i=0000 n=1 -> %02X", byte);
  return line;
}

}  // namespace dualcam::camera::testing
