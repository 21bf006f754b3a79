// Capture bandwidth and start/stop callbacks; see capture.h.
//
// Hard part: the alternate-setting search. The bus may refuse the wider
// settings when other devices hold the bandwidth, so settings are tried from
// 5 down to 0 and the packet size that sizes the raw frame is read back from
// the interface copy only after a selection succeeded: it is the accepted
// setting's, never the one last asked for.
#include "driver/capture.h"

#include <atomic>
#include <cstdint>

#include "camera/registry_values.h"
#include "camera/settings.h"
#include "camera/vendor.h"
#include "driver/lifecycle.h"
#include "platform/ks.h"

namespace dualcam::driver {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

DeviceContext* Ctx(PVOID context) { return static_cast<DeviceContext*>(context); }

// Mailbox values of the still hand-shake, cleared at every allocation so that
// no request or result of an earlier capture is taken for one of this one.
constexpr PCWSTR kClearedMailboxValues[] = {
    camera::kValueSnapShot,
    camera::kValueSnapShoot,
    camera::kValueStillShot,
    camera::kValueStillShoot,
};

void ResetCaptureState(DeviceContext* context)
{
  context->StillByProperty.store(0, kRelaxed);
  // The button poll writes these cells and StillFailCount from its own
  // thread (single relaxed stores through atomic_ref); so must this side.
  std::atomic_ref<ULONG>(context->SnapShootValue).store(0, kRelaxed);
  std::atomic_ref<ULONG>(context->SnapShotValue).store(0, kRelaxed);
  context->StillRequested.store(0, kRelaxed);
  context->StillReady.store(0, kRelaxed);
  context->StillFrame.store(0, kRelaxed);
  context->StillCollecting.store(0, kRelaxed);
  context->SnapshotBusy.store(0, kRelaxed);
  context->StillToSave.store(0, kRelaxed);
  std::atomic_ref<USHORT>(context->StillFailCount).store(0, kRelaxed);
  context->FrameCounter = 0;
  context->PacketErrorCount = 0;
  // StillWriteOffset and StillCaptured are left alone: the packet routine
  // re-arms them at the next still's first packet.
}

}  // namespace

const RawMode* FindRawMode(LONG formatWidth, LONG formatHeight)
{
  for (const RawMode& mode : kRawModes) {
    if (mode.FormatWidth == formatWidth && mode.FormatHeight == formatHeight) {
      return &mode;
    }
  }
  return nullptr;
}

ULONG ComputeRawFrameBudget(ULONG packetSize, ULONG rawBytes)
{
  // A packet of one byte is all framing (its first byte) and carries no
  // payload; the divisor P - 1 would be zero. No frame can be gathered at
  // such a size, so the budget is 0, as it is for P = 0.
  if (packetSize < 2) {
    return 0;
  }
  const std::uint64_t packets =
      (static_cast<std::uint64_t>(packetSize) + rawBytes + kRawFrameHeaderBytes) / (packetSize - 1);
  const std::uint64_t budget = packets * packetSize;
  return budget > UINT32_MAX ? 0 : static_cast<ULONG>(budget);
}

NTSTATUS CamAllocateBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PULONG RawFrameLength,
                              PVOID Format)
{
  driver::DeviceContext* context = Ctx(DeviceContext);
  if (RawFrameLength != nullptr) {
    *RawFrameLength = 0;
  }
  if (RawFrameLength == nullptr || Format == nullptr || context->InterfaceCopy == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }

  const KS_BITMAPINFOHEADER& bitmap =
      static_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format)->VideoInfoHeader.bmiHeader;
  context->FormatWidth = bitmap.biWidth;
  context->FormatHeight = bitmap.biHeight;
  context->OutputCompression = bitmap.biCompression;

  for (PCWSTR name : kClearedMailboxValues) {
    camera::WriteSettingsDword(name, 0);
  }
  ResetCaptureState(context);

  // A size outside the table keeps the previous capture's raw mode; the
  // stream's format checks keep such sizes from being opened.
  if (const RawMode* mode = FindRawMode(bitmap.biWidth, bitmap.biHeight)) {
    context->SizeIndex = mode->SizeIndex;
    context->QualityIndex = kCaptureQualityIndex;
    context->RawWidth = mode->RawWidth;
    context->RawHeight = mode->RawHeight;
    context->RawBitsPerPixel = kRawBitsPerPixel;
  }

  // Settings may have been changed in the key by other software since the
  // last capture; the camera is programmed afresh with them.
  camera::LoadSettings(BusDeviceObject, context);
  camera::PrepareCamera(context);
  camera::ApplyImageSettings(context);
  camera::ApplyExposureSettings(context);
  if (context->AutoExposure == 0) {
    camera::WriteFirmwareVariable(context, camera::kFwCurAgc, static_cast<USHORT>(context->ManualExposure));
  }

  // 32-bit product, as the frame geometry is bounded by the table (at most
  // 640 x 480 x 12 bits).
  const ULONG rawBytes = (context->RawBitsPerPixel * context->RawHeight * context->RawWidth) >> 3;

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int setting = kWidestAlternateSetting; setting >= 0; --setting) {
    context->InterfaceCopy->AlternateSetting = static_cast<UCHAR>(setting);
    status = USBCAMD_SelectAlternateInterface(context, context->InterfaceCopy);
    if (status == STATUS_SUCCESS) {
      break;
    }
  }
  // Any answer but success moves on to the next narrower setting; setting
  // 0's answer is final, and only an error there refuses the capture.
  if (!NT_SUCCESS(status)) {
    return status;
  }

  const ULONG packetSize = context->InterfaceCopy->Pipes[0].MaximumPacketSize;
  *RawFrameLength = ComputeRawFrameBudget(packetSize, rawBytes);
  return status;
}

NTSTATUS CamFreeBandwidth(PDEVICE_OBJECT, PVOID DeviceContext)
{
  driver::DeviceContext* context = Ctx(DeviceContext);
  camera::WriteSettingsDword(camera::kValueTimerTrigger, 0);
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (context->InterfaceCopy != nullptr) {
    context->InterfaceCopy->AlternateSetting = 0;
    status = USBCAMD_SelectAlternateInterface(context, context->InterfaceCopy);
  }
  // Reads the firmware's exposure state back into the key so that the next
  // capture starts from what the camera learned in this one.
  ParkCamera(context);
  return status;
}

NTSTATUS CamStartCapture(PDEVICE_OBJECT, PVOID DeviceContext)
{
  driver::DeviceContext* context = Ctx(DeviceContext);
  camera::WriteCameraRegister(context, camera::kRegCaptureEngine, camera::kCaptureEngineStop);
  camera::WriteCameraRegister(context, camera::kRegCapturePrime, camera::kCapturePrimeValue);
  camera::WriteCameraRegister(context, camera::kRegCaptureEngine, camera::kCaptureEngineRun);
  context->StillFrame.store(0, kRelaxed);
  return STATUS_SUCCESS;
}

NTSTATUS CamStopCapture(PDEVICE_OBJECT, PVOID DeviceContext)
{
  camera::WriteCameraRegister(Ctx(DeviceContext), camera::kRegCaptureEngine, camera::kCaptureEngineStop);
  return STATUS_SUCCESS;
}

}  // namespace dualcam::driver
