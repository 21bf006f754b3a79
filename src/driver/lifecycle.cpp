// Device bring-up and tear-down callbacks and the camera park sequence; see
// lifecycle.h.
//
// Hard part: CamInitialize may stop at any step and the class library then
// still calls CamUnInitialize, so each resource is recorded in the record as
// soon as it exists and CamUnInitialize releases exactly what is recorded;
// and the second of two cameras finds the shared DOS link name taken, so it
// must neither register an interface for it nor, at removal, delete the
// first camera's link.
#include "driver/lifecycle.h"

#include <cstdio>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "camera/button.h"
#include "camera/extension_properties.h"
#include "camera/registry_values.h"
#include "camera/settings.h"
#include "camera/vendor.h"
#include "driver/entry.h"
#include "pipeline/render.h"
#include "platform/usbcamd.h"

namespace dualcam::driver {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// DriverStatus numbers set here.
constexpr ULONG kStatusConfigured = 2;
constexpr ULONG kStatusInitialized = 3;
// CamRestoreState re-programs the camera only while a stream is open.
constexpr ULONG kStatusStreamLow = 4;
constexpr ULONG kStatusStreamHigh = 6;

// Settling pauses around the rest request at initialization (ms).
constexpr ULONG kRestSettleMs = 10;
// The firmware's exposure loop needs a frame time (33 ms at 30 fps) after
// automatic control is switched off before its variables are stable.
constexpr ULONG kParkSettleMs = 33;
constexpr ULONG kParkReadyPauseMs = 10;

// Selections of the saved alternate setting tried at power restore.
constexpr int kRestoreSelectAttempts = 6;

// Pause between looks at a button poll cycle still using the blocks at
// uninitialization: 10 ms, relative, in 100 ns units; and how many looks
// (1 s in all) before the still buffer is left to the cycle. A cycle takes
// a few milliseconds even when it saves a still; one that takes longer is
// waiting on the registry or the file system.
constexpr LONGLONG kPollDrainStep = -100'000;
constexpr int kPollDrainLooks = 100;

DeviceContext* Ctx(PVOID context) { return static_cast<DeviceContext*>(context); }

void SetDriverStatus(DeviceContext* context, ULONG status)
{
  context->DriverStatus.store(status, kRelaxed);
  camera::WriteSettingsDword(camera::kValueDriverStatus, status);
}

// The decoder's two work buffers come from the same pool, with the same tag,
// as the devices' own blocks; the table must outlive the last device.
void* PoolAllocate(std::size_t bytes, void*) { return ExAllocatePoolWithTag(NonPagedPool, bytes, kDriverPoolTag); }
void PoolRelease(void* block, void*) { ExFreePool(block); }
constexpr decoder::DecoderAllocator kPoolAllocator = {PoolAllocate, PoolRelease, nullptr};

// Prints `text` into AnsiNameBuffer and converts it into a new pool string.
void MakeName(DeviceContext* context, const char* text, UNICODE_STRING* name)
{
  std::snprintf(context->AnsiNameBuffer, sizeof context->AnsiNameBuffer, "%s", text);
  RtlInitAnsiString(&context->AnsiNameString, context->AnsiNameBuffer);
  RtlAnsiStringToUnicodeString(name, &context->AnsiNameString, TRUE);
}

void CreateDeviceNames(PDEVICE_OBJECT busDeviceObject, DeviceContext* context)
{
  MakeName(context, kDeviceNameText, &context->InterfaceLinkName);
  MakeName(context, kDosLinkNameText, &context->DosLinkName);

  if (IoCreateSymbolicLink(&context->DosLinkName, &context->InterfaceLinkName) != STATUS_SUCCESS) {
    // The link exists (another camera made it) or could not be made. This
    // device does not own it, so it must not keep the name it would later
    // delete: an empty DosLinkName means "no link of ours".
    RtlFreeUnicodeString(&context->DosLinkName);
    return;
  }

  // Registration hands back a new pool string for the interface's link; the
  // device-name string it replaces in InterfaceLinkName is freed here, as
  // nothing else holds it once the link has been made.
  UNICODE_STRING deviceName = context->InterfaceLinkName;
  UNICODE_STRING interfaceLink{};
  if (NT_SUCCESS(IoRegisterDeviceInterface(busDeviceObject, &GUID_DEVINTERFACE_IMAGE, nullptr, &interfaceLink))) {
    context->InterfaceLinkName = interfaceLink;
    RtlFreeUnicodeString(&deviceName);
  }
  IoSetDeviceInterfaceState(&context->InterfaceLinkName, TRUE);
}

// Allocates the missing per-device blocks; false at the first that cannot be
// had (those obtained stay recorded for CamUnInitialize).
bool AllocateDeviceBlocks(DeviceContext* context)
{
  struct Block {
    UCHAR** Field;
    size_t Bytes;
  };
  // No block for a snapshot work area: the still is collected in StillBuffer
  // and written from there, so an extra 202,756-byte block would sit unused
  // in non-paged pool for the device's whole life.
  const Block blocks[] = {
      {&context->QuantTables, kQuantTablesSize},
      {&context->StillBuffer, kStillBufferSize},
      {&context->LastGoodFrame, kLastGoodFrameSize},
  };
  for (const Block& block : blocks) {
    if (*block.Field == nullptr) {
      *block.Field = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, block.Bytes, kDriverPoolTag));
    }
    if (*block.Field == nullptr) {
      return false;
    }
  }
  return true;
}

template <typename T>
void FreeBlock(T** field)
{
  if (*field != nullptr) {
    ExFreePool(*field);
    *field = nullptr;
  }
}

}  // namespace

void FillQuantTables(UCHAR* tables) { RtlCopyMemory(tables, kQuantTableImage.data(), kQuantTableImage.size()); }

// The camera's reference decoder used MMX, and the platform refuses the
// device on a processor without it. The decoder here is portable code whose
// 16-bit lanes are exact on any processor, so the test only guards what the
// platform guarded: on x86 it asks CPUID leaf 1 for MMX (EDX bit 23); the
// CPUID-available probe (EFLAGS bit 21) is done by __get_cpuid, and every
// x86-64 processor has both. On any other architecture there is no such
// instruction set to ask for and nothing the decoder needs, so it passes.
bool ProcessorSupportsDecoder()
{
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  return (edx & (1u << 23)) != 0;
#else
  return true;
#endif
}

NTSTATUS CamConfigure(PDEVICE_OBJECT, PVOID DeviceContext, PUSBD_INTERFACE_INFORMATION Interface,
                      PUSB_CONFIGURATION_DESCRIPTOR, PLONG DataPipeIndex, PLONG SyncPipeIndex)
{
  driver::DeviceContext* context = Ctx(DeviceContext);
  SetDriverStatus(context, kStatusConfigured);
  const bool processorOk = ProcessorSupportsDecoder();

  // The video arrives on the interface's first pipe; there is no sync pipe.
  if (DataPipeIndex != nullptr) *DataPipeIndex = 0;
  if (SyncPipeIndex != nullptr) *SyncPipeIndex = -1;

  // The copy's first pipe is read for the packet size on every capture: a
  // record too short to hold the pipes it claims cannot be kept.
  if (Interface == nullptr || Interface->NumberOfPipes < 1 ||
      Interface->Length < GET_USBD_INTERFACE_SIZE(Interface->NumberOfPipes)) {
    return STATUS_INVALID_PARAMETER;
  }
  // Checked before the copy is made, so a refused device leaves no block
  // behind (the class library does not call CamUnInitialize after a failed
  // CamConfigure).
  if (!processorOk) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FreeBlock(&context->InterfaceCopy);
  context->InterfaceCopy =
      static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, Interface->Length, kDriverPoolTag));
  if (context->InterfaceCopy == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  Interface->AlternateSetting = 0;
  Interface->Pipes[0].MaximumTransferSize = kVideoPipeMaximumTransferSize;
  RtlCopyMemory(context->InterfaceCopy, Interface, Interface->Length);
  return STATUS_SUCCESS;
}

// A device that fails here never streams, but the class library keeps it
// until removal: its names are taken down at once so that the global DOS
// link does not point at a dead device and a camera attached later gets the
// link and the still-image interface. Its blocks and decoder reference stay
// recorded for CamUnInitialize.
NTSTATUS CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext)
{
  driver::DeviceContext* context = Ctx(DeviceContext);

  CreateDeviceNames(BusDeviceObject, context);
  SetDriverStatus(context, kStatusInitialized);

  if (!AllocateDeviceBlocks(context)) {
    RemoveDeviceNames(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FillQuantTables(context->QuantTables);
  RtlZeroMemory(&context->ProcessingOptions, sizeof context->ProcessingOptions);

  // Best effort: a block that did not arrive leaves zeros, which every
  // reader of it takes as an empty word list.
  camera::ReadCameraInfoBlock(context, context->CameraInfoBlock);

  // The first device builds the shared decoder, the last frees it. A failed
  // build is not this device's failure: the device still counts, renders are
  // refused until a later device builds it, and the pass-through format,
  // which needs no decoder, still streams.
  if (context->InstanceCounted == 0) {
    pipeline::SharedDecoderAcquire(&kPoolAllocator);
    context->InstanceCounted = 1;
    DeviceInstanceCount.fetch_add(1, std::memory_order_acq_rel);
  }

  camera::VendorRequest(context, camera::VendorDirection::Out, camera::kRequestPower, 0, camera::kPowerRest, 0,
                        nullptr);
  camera::SpinWaitMs(kRestSettleMs);
  if (!NT_SUCCESS(camera::WaitCameraReady(context, camera::SpinWaitMs))) {
    RemoveDeviceNames(context);
    return STATUS_UNSUCCESSFUL;
  }
  camera::SpinWaitMs(kRestSettleMs);

  camera::LoadSettings(BusDeviceObject, context);
  camera::WriteSettingsDword(camera::kValueBulkMode, 0);
  camera::WriteSettingsDword(camera::kValueIsoMode, 0);

  context->ButtonReadLength = 1;
  ExInitializeWorkItem(&context->ButtonWorkItem, camera::ButtonPoll, context);
  ExQueueWorkItem(&context->ButtonWorkItem, DelayedWorkQueue);
  return STATUS_SUCCESS;
}

NTSTATUS CamUnInitialize(PDEVICE_OBJECT, PVOID DeviceContext)
{
  driver::DeviceContext* context = Ctx(DeviceContext);
  // A button poll cycle that began before the removal may still be saving a
  // still from StillBuffer on its worker thread. The device is marked removed
  // first (a cycle that starts now leaves the blocks alone; the request
  // routine writes the value out after this callback), and the blocks go
  // once a running cycle is done with them (see ButtonPoll for the order).
  context->DriverStatus.store(kStatusRemoved, std::memory_order_seq_cst);
  for (int look = 0; look < kPollDrainLooks && context->PollUsingBlocks.load(std::memory_order_seq_cst) != 0;
       ++look) {
    LARGE_INTEGER interval;
    interval.QuadPart = kPollDrainStep;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  // Past the bound the cycle still runs (a registry or file write that
  // hangs): removal goes on without it. StillBuffer, the one block a cycle
  // uses, is handed to the cycle, which frees it when it is done; if the
  // cycle ended in the meantime the exchange fails and it is freed here.
  // The record itself the class library keeps until no work item for it
  // waits or runs.
  UCHAR running = 1;
  const bool handedToCycle =
      context->PollUsingBlocks.compare_exchange_strong(running, 2, std::memory_order_seq_cst);
  FreeBlock(&context->InterfaceCopy);
  FreeBlock(&context->QuantTables);
  if (!handedToCycle) FreeBlock(&context->StillBuffer);
  FreeBlock(&context->LastGoodFrame);
  if (context->InstanceCounted != 0) {
    context->InstanceCounted = 0;
    pipeline::SharedDecoderRelease();
    // The key handles live in a driver-wide table of 16; a caller that
    // never closes its handles would otherwise hold slots, and open keys,
    // for the driver's whole life.
    if (DeviceInstanceCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      camera::CloseVfwKeyHandles();
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CamSaveState(PDEVICE_OBJECT, PVOID DeviceContext)
{
  driver::DeviceContext* context = Ctx(DeviceContext);
  context->Suspended.store(1, kRelaxed);
  if (context->InterfaceCopy != nullptr) {
    context->SavedAlternateSetting = context->InterfaceCopy->AlternateSetting;
  }
  ParkCamera(context);
  return STATUS_SUCCESS;
}

NTSTATUS CamRestoreState(PDEVICE_OBJECT, PVOID DeviceContext)
{
  driver::DeviceContext* context = Ctx(DeviceContext);
  context->Suspended.store(0, kRelaxed);
  const ULONG status = context->DriverStatus.load(kRelaxed);
  if (status < kStatusStreamLow || status > kStatusStreamHigh) {
    return STATUS_SUCCESS;
  }

  // 0 once the camera lost its streaming set-up over the transition. A read
  // that fails also counts as 0: selecting the setting again is harmless,
  // leaving an open stream without its bandwidth is not.
  UCHAR powerState = 0;
  camera::ReadCameraRegister(context, camera::kRegRestoreProbe, &powerState);
  if (powerState == 0 && context->InterfaceCopy != nullptr) {
    for (int attempt = 0; attempt < kRestoreSelectAttempts; ++attempt) {
      context->InterfaceCopy->AlternateSetting = static_cast<UCHAR>(context->SavedAlternateSetting);
      if (USBCAMD_SelectAlternateInterface(context, context->InterfaceCopy) == STATUS_SUCCESS) {
        break;
      }
    }
  }

  camera::PrepareCamera(context);
  camera::ApplyImageSettings(context);
  camera::ApplyExposureSettings(context);
  return STATUS_SUCCESS;
}

NTSTATUS ParkCamera(DeviceContext* context)
{
  FirmwareParamWords& fw = context->FirmwareParams;
  camera::ReadFirmwareVariable(context, camera::kFwAeawbSwitch, &fw.FwAeawbSwitch);
  // Automatic control off, so the variables read next stay put.
  camera::VendorRequest(context, camera::VendorDirection::Out, camera::kRequestAeAwbMode, 0, 0, 0, nullptr);
  camera::DelayMs(kParkSettleMs);

  camera::ReadFirmwareVariable(context, camera::kFwCurShutter, &fw.FwCurShutter);
  camera::ReadFirmwareVariable(context, camera::kFwCurAgc, &fw.FwCurAgc);
  camera::ReadFirmwareVariable(context, camera::kFwMinAgc, &fw.FwMinAgc);
  // The colour gains only mean something while the camera balances white.
  if (context->AutoWhiteBalance == 1) {
    camera::ReadFirmwareVariable(context, camera::kFwRGain, &fw.FwRGain);
    camera::ReadFirmwareVariable(context, camera::kFwBGain, &fw.FwBGain);
  }
  camera::ReadFirmwareVariable(context, camera::kFwAdjAgc, &fw.FwAdjAgc);
  camera::ReadFirmwareVariable(context, camera::kFwMaxAgc, &fw.FwMaxAgc);
  camera::WriteFirmwareVariable(context, camera::kFwAeawbSwitch, fw.FwAeawbSwitch);

  camera::SaveSettings(context, camera::kSaveParkedState);

  camera::WriteCameraRegister(context, camera::kRegCaptureEngine, camera::kCaptureEngineStop);
  camera::DelayMs(kParkReadyPauseMs);
  if (!NT_SUCCESS(camera::WaitCameraReady(context, camera::DelayMs))) {
    return STATUS_UNSUCCESSFUL;
  }
  camera::VendorRequest(context, camera::VendorDirection::Out, camera::kRequestPower, 0, camera::kPowerRest, 0,
                        nullptr);
  return STATUS_SUCCESS;
}

void RemoveDeviceNames(DeviceContext* context)
{
  if (context->InterfaceLinkName.Length != 0) {
    IoSetDeviceInterfaceState(&context->InterfaceLinkName, FALSE);
  }
  if (context->DosLinkName.Length != 0) {
    IoDeleteSymbolicLink(&context->DosLinkName);
  }
  RtlFreeUnicodeString(&context->InterfaceLinkName);
  RtlFreeUnicodeString(&context->DosLinkName);
}

}  // namespace dualcam::driver
