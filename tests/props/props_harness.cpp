// The property-set test world: host kernel, simulated camera attached
// through the host's class library with no device callbacks, and property
// requests built the way the stream class hands them over.
//
// Hard part: the record must be the one the library allocated for the
// camera, since the library routes each vendor request by its address.
#include "props_harness.h"

#include <cstdio>
#include <new>

#include "host/classlib/camera_class_library.h"
#include "platform/usbcamd.h"
#include "support/sim_device.h"

namespace dualcam::props::testing {

void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK) {}

PropertyRequest::PropertyRequest(const GUID& set, ULONG id, ULONG size)
    : buffer_(new uint8_t[size < sizeof(KSPROPERTY) ? sizeof(KSPROPERTY) : size]),
      property_(new uint8_t[size < sizeof(KSPROPERTY) ? sizeof(KSPROPERTY) : size]),
      size_(size)
{
  const ULONG allocated = size < sizeof(KSPROPERTY) ? sizeof(KSPROPERTY) : size;
  std::memset(buffer_.get(), kPattern, allocated);
  std::memset(property_.get(), kPattern, allocated);
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = KSPROPERTY_TYPE_GET;
  std::memcpy(buffer_.get(), &property, sizeof property);
  std::memcpy(property_.get(), &property, sizeof property);
  descriptor_.PropertySetID = 0;
  descriptor_.PropertyInputSize = size;
  descriptor_.PropertyOutputSize = size;
  srb_.SizeOfThisPacket = sizeof srb_;
  srb_.Status = kPreloadedStatus;
  srb_.ActualBytesTransferred = 0;
}

PHW_STREAM_REQUEST_BLOCK PropertyRequest::Srb()
{
  descriptor_.Property = reinterpret_cast<PKSPROPERTY>(property_.get());
  descriptor_.PropertyInfo = buffer_.get();
  srb_.CommandData.PropertyInfo = &descriptor_;
  return &srb_;
}

void PropertyRequest::PutText(ULONG offset, const std::string& text)
{
  std::memcpy(Bytes() + offset, text.c_str(), text.size() + 1);
}

void PropertyRequest::PutWide(ULONG offset, const std::u16string& text)
{
  std::memcpy(Bytes() + offset, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

uint32_t PropertyRequest::Ulong(ULONG offset) const
{
  uint32_t value;
  std::memcpy(&value, buffer_.get() + offset, 4);
  return value;
}

int64_t PropertyRequest::Longlong(ULONG offset) const
{
  int64_t value;
  std::memcpy(&value, buffer_.get() + offset, 8);
  return value;
}

std::vector<uint8_t> PropertyRequest::Range(ULONG offset, ULONG length) const
{
  return {buffer_.get() + offset, buffer_.get() + offset + length};
}

bool PropertyRequest::PatternFrom(ULONG offset) const
{
  for (ULONG i = offset; i < size_; ++i) {
    if (buffer_[i] != kPattern) return false;
  }
  return true;
}

PropertyRequest ControlRequest(const GUID& set, ULONG id, uint32_t value, uint32_t flags)
{
  PropertyRequest request(set, id, camera::kControlPropertySize);
  request.PutUlong(24, value);
  request.PutUlong(28, flags);
  return request;
}

PropertyRequest ExtensionRequest(ULONG id, uint32_t value)
{
  PropertyRequest request(camera::PROPSETID_CAMERA_EXTENSION, id, 1136);
  request.PutUlong(layout::kExtValue, value);
  return request;
}

PropertyRequest VfwRequest(uint32_t command, uint32_t handle)
{
  PropertyRequest request(camera::PROPSETID_VFWWDM_KEY, 0, 1096);
  request.PutUlong(layout::kVfwCommand, command);
  request.PutUlong(layout::kVfwHandleIn, handle);
  return request;
}

struct PropsWorld::World {
  host::HostKernel kernel{host::HostOptions::ForTests()};
  host::ScopedKernel installed{kernel};
  USBCAMD_DEVICE_DATA callbacks{};  // no device callbacks: only the requests a test causes
  std::unique_ptr<host::CameraDevice> device;
};

PropsWorld::PropsWorld() = default;
PropsWorld::~PropsWorld() = default;

void PropsWorld::SetUp()
{
  world_ = std::make_unique<World>();
  ASSERT_EQ(host::InstallSettingsKey(world_->kernel.registry()), STATUS_SUCCESS);
  ASSERT_EQ(host::InstallVfwKey(world_->kernel.registry()), STATUS_SUCCESS);
  ASSERT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, 4, IgnoreRequest), STATUS_SUCCESS);

  host::CameraDevice::Options options = dualcam::testing::SimDeviceOptions(nullptr, &world_->callbacks);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  world_->device = host::CameraDevice::Attach(options, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(world_->device, nullptr);
  context_ = new (world_->device->DeviceContext()) driver::DeviceContext{};
  still_.assign(driver::kStillBufferSize, 0);
  context_->StillBuffer = still_.data();
  context_->SizeIndex = 5;
  ClearRequests();
  ClearDelays();
}

void PropsWorld::TearDown()
{
  EXPECT_EQ(camera::OpenVfwKeyHandles(), 0) << "a test left a key handle open";
  if (world_) world_->kernel.clock().SetDelayHook(nullptr);
  if (world_ && world_->device) {
    world_->device->Remove();
    world_->device.reset();
  }
  context_ = nullptr;
  world_.reset();
  host::ResetCameraDriver();
}

host::HostKernel& PropsWorld::Kernel() { return world_->kernel; }
host::sim::SimCamera& PropsWorld::Camera() { return dualcam::testing::SimCameraOf(*world_->device); }

NTSTATUS PropsWorld::Get(PropertyRequest& request)
{
  return camera::DevicePropertyHandler(camera::kPropertyGet, nullptr, context_, request.Srb());
}

NTSTATUS PropsWorld::Set(PropertyRequest& request)
{
  return camera::DevicePropertyHandler(camera::kPropertySet, nullptr, context_, request.Srb());
}

std::vector<std::string> PropsWorld::Requests() const { return dualcam::testing::SimCameraOf(*world_->device).RequestLines(); }
void PropsWorld::ClearRequests() { dualcam::testing::SimCameraOf(*world_->device).ClearRequestLog(); }

std::vector<int64_t> PropsWorld::Delays() const
{
  const auto delays = world_->kernel.clock().Delays();
  return {delays.begin(), delays.end()};
}
void PropsWorld::ClearDelays() { world_->kernel.clock().ClearDelays(); }

void PropsWorld::OnDelay(std::function<void(int64_t)> hook)
{
  world_->kernel.clock().SetDelayHook([hook = std::move(hook)](LONGLONG interval) { hook(interval); });
}

std::optional<uint32_t> PropsWorld::Dword(const std::string& name) const
{
  return world_->kernel.registry().GetDword(host::kSettingsKeyPath, name);
}

std::vector<std::string> PropsWorld::ValueNames() const
{
  std::vector<std::string> names;
  for (const host::NamedValue& value : world_->kernel.registry().ListValues(host::kSettingsKeyPath)) {
    names.push_back(value.Name);
  }
  return names;
}

void PropsWorld::ClearSettings()
{
  for (const std::string& name : ValueNames()) world_->kernel.registry().DeleteValue(host::kSettingsKeyPath, name);
}

std::string Out(uint8_t request, uint16_t value, uint16_t index)
{
  char line[48];
  std::snprintf(line, sizeof line, "out %02X v=%04X i=%04X", request, value, index);
  return line;
}

std::string RegisterWrite(uint16_t reg, uint16_t value) { return Out(0x00, value, reg); }

std::string FirmwareWrite(uint16_t variable, uint16_t value) { return Out(0x30, value, variable); }

}  // namespace dualcam::props::testing
