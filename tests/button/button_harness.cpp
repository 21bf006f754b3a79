// Stand-in bring-up and capture callbacks around the driver's button poll
// and packet routine; see button_harness.h.
#include "button/button_harness.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "camera/button.h"
#include "camera/registry_values.h"
#include "camera/settings.h"
#include "camera/vendor.h"
#include "driver/callbacks.h"
#include "pipeline/packet.h"
#include "platform/ks.h"
#include "platform/usbcamd.h"

namespace dualcam::button::testing {
namespace {

using driver::DeviceContext;

constexpr ULONG kTestPoolTag = 0x74737442;  // "Btst"
constexpr UCHAR kLargestSetting = 5;        // 1023 bytes a packet
constexpr USHORT kSizeIndex320 = 5;         // 320 x 240

DeviceContext* Ctx(PVOID context) { return static_cast<DeviceContext*>(context); }

NTSTATUS StandInConfigure(PDEVICE_OBJECT, PVOID context, PUSBD_INTERFACE_INFORMATION iface,
                          PUSB_CONFIGURATION_DESCRIPTOR, PLONG dataPipe, PLONG syncPipe) {
  auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, iface->Length, kTestPoolTag));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(copy, iface, iface->Length);
  Ctx(context)->InterfaceCopy = copy;
  *dataPipe = 0;
  *syncPipe = -1;
  Ctx(context)->DriverStatus.store(2, std::memory_order_relaxed);
  return STATUS_SUCCESS;
}

// Queues the poll as device bring-up does, once the still buffer exists.
NTSTATUS StandInInitialize(PDEVICE_OBJECT, PVOID context) {
  DeviceContext* ctx = Ctx(context);
  ctx->StillBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, driver::kStillBufferSize, kTestPoolTag));
  if (ctx->StillBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(ctx->StillBuffer, 0, driver::kStillBufferSize);
  ctx->SizeIndex = kSizeIndex320;
  ctx->DriverStatus.store(3, std::memory_order_relaxed);
  ctx->ButtonReadLength = 1;
  ExInitializeWorkItem(&ctx->ButtonWorkItem, camera::ButtonPoll, ctx);
  ExQueueWorkItem(&ctx->ButtonWorkItem, DelayedWorkQueue);
  return STATUS_SUCCESS;
}

NTSTATUS StandInUnInitialize(PDEVICE_OBJECT, PVOID context) {
  DeviceContext* ctx = Ctx(context);
  if (ctx->StillBuffer != nullptr) ExFreePool(ctx->StillBuffer);
  if (ctx->InterfaceCopy != nullptr) ExFreePool(ctx->InterfaceCopy);
  ctx->StillBuffer = nullptr;
  ctx->InterfaceCopy = nullptr;
  return STATUS_SUCCESS;
}

// The still and mailbox resets of capture set-up, then the largest setting.
NTSTATUS StandInAllocate(PDEVICE_OBJECT, PVOID context, PULONG rawLength, PVOID) {
  DeviceContext* ctx = Ctx(context);
  constexpr auto relaxed = std::memory_order_relaxed;
  ctx->StillByProperty.store(0, relaxed);
  std::atomic_ref<ULONG>(ctx->SnapShootValue).store(0, relaxed);
  std::atomic_ref<ULONG>(ctx->SnapShotValue).store(0, relaxed);
  ctx->StillRequested.store(0, relaxed);
  ctx->StillReady.store(0, relaxed);
  ctx->StillFrame.store(0, relaxed);
  ctx->StillCollecting.store(0, relaxed);
  ctx->SnapshotBusy.store(0, relaxed);
  ctx->StillToSave.store(0, relaxed);
  std::atomic_ref<USHORT>(ctx->StillFailCount).store(0, relaxed);
  ctx->FrameCounter = 0;
  ctx->PacketErrorCount = 0;
  camera::WriteSettingsDword(camera::kValueSnapShot, 0);
  camera::WriteSettingsDword(camera::kValueSnapShoot, 0);
  ctx->InterfaceCopy->AlternateSetting = kLargestSetting;
  const NTSTATUS status = USBCAMD_SelectAlternateInterface(context, ctx->InterfaceCopy);
  if (!NT_SUCCESS(status)) return status;
  *rawLength = 320 * 240 * 2;
  return STATUS_SUCCESS;
}

NTSTATUS StandInFree(PDEVICE_OBJECT, PVOID context) {
  Ctx(context)->InterfaceCopy->AlternateSetting = 0;
  return USBCAMD_SelectAlternateInterface(context, Ctx(context)->InterfaceCopy);
}

NTSTATUS StandInStart(PDEVICE_OBJECT, PVOID context) {
  camera::SelectImageSize(Ctx(context));
  return camera::WriteCameraRegister(Ctx(context), camera::kRegCaptureEngine, camera::kCaptureEngineRun);
}

NTSTATUS StandInStop(PDEVICE_OBJECT, PVOID context) {
  return camera::WriteCameraRegister(Ctx(context), camera::kRegCaptureEngine, camera::kCaptureEngineStop);
}

NTSTATUS StandInPower(PDEVICE_OBJECT, PVOID) { return STATUS_SUCCESS; }

// Pictures are not looked at here.
NTSTATUS StandInRawFrame(PDEVICE_OBJECT, PVOID, PVOID, PVOID, ULONG, PVOID, ULONG, ULONG, PULONG returned) {
  *returned = 0;
  return STATUS_SUCCESS;
}

VOID StandInReceive(PHW_STREAM_REQUEST_BLOCK) {}

constexpr USBCAMD_DEVICE_DATA kCallbacks = {
    0,                                 // Sig
    StandInInitialize,                 // CamInitialize
    StandInUnInitialize,               // CamUnInitialize
    pipeline::CamProcessUSBPacket,     // CamProcessUSBPacket
    pipeline::CamNewVideoFrame,        // CamNewVideoFrame
    StandInRawFrame,                   // CamProcessRawVideoFrame
    StandInStart,                      // CamStartCapture
    StandInStop,                       // CamStopCapture
    StandInConfigure,                  // CamConfigure
    StandInPower,                      // CamSaveState
    StandInPower,                      // CamRestoreState
    StandInAllocate,                   // CamAllocateBandwidth
    StandInFree,                       // CamFreeBandwidth
};

host::HostOptions KernelOptions(const WorldOptions& options) {
  if (options.Deterministic) {
    host::HostOptions kernel = host::HostOptions::ForTests();
    kernel.RegistryFile = options.RegistryFile;
    kernel.FileRoot = options.FileRoot;
    return kernel;
  }
  return host::HostOptions::ForRealRun(options.RegistryFile, options.FileRoot);
}

}  // namespace

ButtonWorld::ButtonWorld(WorldOptions options)
    : kernel_(std::make_unique<host::HostKernel>(KernelOptions(options))),
      scope_(std::make_unique<host::ScopedKernel>(*kernel_)),
      real_driver_(options.RealDriver) {
  host::InstallSettingsKey(kernel_->registry());
  if (options.CreateSnapshotFolder) std::filesystem::create_directories(SnapshotFolder());
  host::ResetCameraDriver();
  if (USBCAMD_DriverEntry(&driver_object_, nullptr, driver::kDeviceContextSize, pipeline::kFrameContextSize,
                          StandInReceive) != STATUS_SUCCESS) {
    throw std::runtime_error("camera driver registration failed");
  }
  host::CameraDevice::Options attach = dualcam::testing::SimDeviceOptions(
      std::make_shared<host::sim::SimCamera>(options.Camera), options.RealDriver ? driver::CameraCallbacks() : &kCallbacks);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  device_ = host::CameraDevice::Attach(attach, &status);
  if (!device_) throw std::runtime_error("attach failed");
  Camera().ClearRequestLog();
}

ButtonWorld::~ButtonWorld() {
  StopPoll();
  if (device_) {
    if (device_->Capturing()) device_->StopCapture();
    device_->Remove();
  }
  device_.reset();
  scope_.reset();
  kernel_.reset();
}

DeviceContext* ButtonWorld::Context() { return static_cast<DeviceContext*>(device_->DeviceContext()); }

NTSTATUS ButtonWorld::StartCapture() {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  format.DataFormat.FormatSize = sizeof format;
  format.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  format.VideoInfoHeader.bmiHeader.biWidth = 320;
  format.VideoInfoHeader.bmiHeader.biHeight = 240;
  format.VideoInfoHeader.bmiHeader.biBitCount = 24;
  const NTSTATUS status = device_->StartCapture(real_driver_ ? &format : nullptr);
  if (NT_SUCCESS(status)) Context()->DriverStatus.store(5, std::memory_order_relaxed);
  Camera().ClearRequestLog();
  return status;
}

bool ButtonWorld::RunCycle() { return kernel_->workQueue().RunNext(); }

void ButtonWorld::StopPoll() {
  if (!device_) return;
  Context()->DriverStatus.store(8, std::memory_order_relaxed);
  auto& queue = kernel_->workQueue();
  if (queue.Stepped()) {
    // At most one cycle is waiting; it sees 8 and ends.
    queue.RunUntilIdle(4);
  } else {
    queue.WaitIdle();
  }
}

std::optional<uint32_t> ButtonWorld::Value(std::string_view name) {
  return kernel_->registry().GetDword(host::kSettingsKeyPath, name);
}

void ButtonWorld::SetValue(std::string_view name, uint32_t value) {
  kernel_->registry().SetDword(host::kSettingsKeyPath, name, value);
}

std::filesystem::path ButtonWorld::SnapshotFolder() const {
  return kernel_->fileRoot() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730";
}

std::filesystem::path ButtonWorld::SnapshotPath() const { return SnapshotFolder() / "snapraw.dat"; }

std::vector<uint8_t> ButtonWorld::SnapshotBytes() const {
  std::ifstream in(SnapshotPath(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> ButtonWorld::TakeRequests() {
  auto lines = Camera().RequestLines();
  Camera().ClearRequestLog();
  return lines;
}

std::size_t CountLines(const std::vector<std::string>& lines, std::string_view prefix) {
  std::size_t count = 0;
  for (const auto& line : lines) {
    if (line.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

}  // namespace dualcam::button::testing
