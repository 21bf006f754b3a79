// The camera's vendor control requests and the programming steps built on
// them.
//
// Hard part: the firmware is driven by exact request sequences with waits
// between them, and every failure is best effort: a request that fails is
// not retried, the next one still goes out, and the only failures that stop
// a sequence are a camera that stays busy. Reads must never leave a buffer
// half-updated, because the busy byte and the firmware words decide what the
// driver does next.
#include "camera/vendor.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "pipeline/tone_curve.h"
#include "platform/usbcamd.h"

namespace dualcam::camera {
namespace {

// Size codes of request 0xA0, indexed by SizeIndex (0 = none).
//                                  -     128x96  160x120 176x144 240x180 320x240 352x288 640x480
constexpr std::array<USHORT, 8> kImageSizeCodes = {0, 0x0507, 0x0505, 0x0504, 0x0503, 0x0503, 0x0502, 0x0501};

// The busy byte counts as busy until a read has delivered it.
constexpr UCHAR kBusyUnknown = 0xFF;

// One quantization table pair in the QuantTables block: 64 luminance bytes,
// then 64 chrominance bytes; four pairs.
constexpr size_t kQuantPairSize = 128;
constexpr size_t kQuantTableSize = 64;
constexpr size_t kQuantPairCount = driver::kQuantTablesSize / kQuantPairSize;

NTSTATUS SendOut(DeviceContext* context, UCHAR request, USHORT value, USHORT index)
{
  return VendorRequest(context, VendorDirection::Out, request, value, index, 0, nullptr);
}

// Reads the busy byte once into *busy. The byte is the request's buffer, so
// a read that delivers nothing leaves the previous byte in place.
NTSTATUS ReadBusyByte(DeviceContext* context, UCHAR* busy)
{
  return VendorRequest(context, VendorDirection::In, kRequestBusy, 0, 0, 1, busy);
}

// The busy poll around an information block transfer: read, and while the
// byte is non-zero sleep 200 ms and read again, 29 reads at most. Returns the
// last byte read (non-zero when no read ever delivered one).
UCHAR PollInfoBlockBusy(DeviceContext* context)
{
  UCHAR busy = kBusyUnknown;
  for (int reads = 1;; ++reads) {
    ReadBusyByte(context, &busy);
    if (busy == 0 || reads >= kInfoBlockPollLimit) {
      return busy;
    }
    DelayMs(kInfoBlockPollIntervalMs);
  }
}

// Steps 1 to 3 of both block transfers: announce, settle, wait for the camera.
void AnnounceInfoBlock(DeviceContext* context)
{
  SendOut(context, kRequestInfoBlock, 0, kInfoBlockAnnounceIndex);
  DelayMs(kInfoBlockPollIntervalMs);
  PollInfoBlockBusy(context);
}

// The three writes that (re)start the capture engine.
void StartCaptureEngine(DeviceContext* context)
{
  WriteCameraRegister(context, kRegCaptureEngine, kCaptureEngineStop);
  WriteCameraRegister(context, kRegCapturePrime, kCapturePrimeValue);
  WriteCameraRegister(context, kRegCaptureEngine, kCaptureEngineRun);
}

// Gain plus the white-balance offset, at most 255. Computed in 32 bits so a
// large stored gain cannot wrap before the cap.
USHORT AddGainOffset(USHORT gain, ULONG distance)
{
  const ULONG raised = static_cast<ULONG>(gain) + (distance * 64) / 10;
  return static_cast<USHORT>(std::min<ULONG>(raised, 255));
}

}  // namespace

// ---------------------------------------------------------------------------

NTSTATUS VendorRequest(DeviceContext* context, VendorDirection direction, UCHAR request, USHORT value,
                       USHORT index, ULONG length, void* buffer, ULONG* bytesMoved)
{
  // The library writes the bytes moved back into the length cell.
  ULONG transfer = length;
  const NTSTATUS status = USBCAMD_ControlVendorCommand(context, request, value, index, buffer, &transfer,
                                                      direction == VendorDirection::In ? TRUE : FALSE,
                                                      nullptr, nullptr);
  if (bytesMoved != nullptr) {
    *bytesMoved = transfer;
  }
  return status;
}

NTSTATUS WriteCameraRegister(DeviceContext* context, USHORT reg, USHORT value)
{
  return SendOut(context, kRequestRegister, value, reg);
}

NTSTATUS ReadCameraRegister(DeviceContext* context, USHORT reg, UCHAR* byte)
{
  UCHAR read = *byte;
  ULONG moved = 0;
  const NTSTATUS status = VendorRequest(context, VendorDirection::In, kRequestRegister, 0, reg, 1, &read, &moved);
  if (NT_SUCCESS(status) && moved == 1) {
    *byte = read;
  }
  return status;
}

NTSTATUS WriteFirmwareVariable(DeviceContext* context, USHORT variable, USHORT value)
{
  return SendOut(context, kRequestFirmwareVariable, value, variable);
}

NTSTATUS ReadFirmwareVariable(DeviceContext* context, USHORT variable, USHORT* word)
{
  UCHAR bytes[2] = {static_cast<UCHAR>(*word & 0xFF), static_cast<UCHAR>(*word >> 8)};
  ULONG moved = 0;
  const NTSTATUS status =
      VendorRequest(context, VendorDirection::In, kRequestFirmwareVariable, 0, variable, 2, bytes, &moved);
  if (NT_SUCCESS(status) && moved == 2) {
    *word = static_cast<USHORT>(bytes[0] | (bytes[1] << 8));  // little-endian on the wire
  }
  return status;
}

// ---------------------------------------------------------------------------

void DelayMs(ULONG milliseconds)
{
  // Relative intervals are negative, in 100 ns units. Computed in 64 bits so
  // no millisecond count can wrap into a positive (absolute) time.
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void SpinWaitMs(ULONG milliseconds)
{
  LARGE_INTEGER frequency;
  frequency.QuadPart = 0;
  const LARGE_INTEGER start = KeQueryPerformanceCounter(&frequency);
  if (milliseconds == 0 || frequency.QuadPart <= 0) {
    return;  // nothing to wait for, or no counter to wait on
  }
  for (;;) {
    LARGE_INTEGER elapsed;
    elapsed.QuadPart = KeQueryPerformanceCounter(nullptr).QuadPart - start.QuadPart;
    const LONGLONG elapsedMs = RtlExtendedIntegerMultiply(elapsed, 1000).QuadPart / frequency.QuadPart;
    if (elapsedMs >= static_cast<LONGLONG>(milliseconds)) {
      return;
    }
  }
}

NTSTATUS WaitCameraReady(DeviceContext* context, WaitRoutine wait)
{
  UCHAR busy = kBusyUnknown;
  for (int reads = 1;; ++reads) {
    const NTSTATUS status = ReadBusyByte(context, &busy);
    // A data error means the camera cannot answer now; stop polling and let
    // whatever byte was delivered decide.
    if (status == STATUS_DEVICE_DATA_ERROR || busy == 0 || reads >= kReadyPollLimit) {
      break;
    }
    if (wait != nullptr) {
      wait(kReadyPollIntervalMs);
    }
  }
  return busy == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------------------

USHORT AeAwbMode(const DeviceContext* context)
{
  const bool autoExposure = context->AutoExposure == 1;
  const bool autoWhiteBalance = context->AutoWhiteBalance == 1;
  if (autoExposure && autoWhiteBalance) {
    return 4;
  }
  if (autoExposure) {
    return 3;
  }
  if (autoWhiteBalance) {
    return 1;
  }
  return 0;
}

USHORT ImageSettingsAeAwbMode(const DeviceContext* context)
{
  const USHORT mode = AeAwbMode(context);
  return mode == 1 ? 0 : mode;
}

USHORT FlickerValue(const DeviceContext* context) { return context->Flicker60 == 0 ? 1 : 0; }

USHORT EncodeBrightness(ULONG brightness) { return static_cast<USHORT>(brightness - 128); }

USHORT EncodeContrast(ULONG contrast) { return static_cast<USHORT>(contrast + 32); }

USHORT EncodeHueControl(ULONG hue) { return static_cast<USHORT>(((hue >> 2) & 0xC0) | 1); }

USHORT EncodeHueLow(ULONG hue) { return static_cast<USHORT>(hue & 0xFF); }

USHORT ImageSizeCode(ULONG sizeIndex)
{
  return sizeIndex < kImageSizeCodes.size() ? kImageSizeCodes[sizeIndex] : 0;
}

WhiteBalanceGains ComputeWhiteBalanceGains(const DeviceContext* context)
{
  const USHORT red = context->FirmwareParams.FwRGain;
  const USHORT blue = context->FirmwareParams.FwBGain;
  const ULONG balance = context->WhiteBalance;
  if (context->AutoWhiteBalance == 1 || balance == 10) {
    return {red, blue};
  }
  if (balance > 10) {  // warmer: raise red
    return {AddGainOffset(red, balance - 10), blue};
  }
  return {red, AddGainOffset(blue, 10 - balance)};  // cooler: raise blue
}

// ---------------------------------------------------------------------------

NTSTATUS PrepareCamera(DeviceContext* context)
{
  SendOut(context, kRequestPower, 0, kPowerWake);
  DelayMs(kReadyPollIntervalMs);
  if (!NT_SUCCESS(WaitCameraReady(context, DelayMs))) {
    return STATUS_UNSUCCESSFUL;
  }

  WriteCameraRegister(context, kRegStartup, 1);
  SendOut(context, kRequestStartup, 2, 1);

  const UCHAR quality = context->QualityIndex;
  WriteCameraRegister(context, kRegQuality, quality);
  WriteCameraRegister(context, kRegQualityLatch, 1);

  // Upload the selected table pair, alternating luminance and chrominance.
  // A quality index outside the four pairs (or a missing table block) has no
  // tables to upload; reading past the 512-byte block is never done.
  if (context->QuantTables != nullptr && quality < kQuantPairCount) {
    const UCHAR* pair = context->QuantTables + quality * kQuantPairSize;
    for (USHORT j = 0; j < kQuantTableSize; ++j) {
      WriteCameraRegister(context, static_cast<USHORT>(kRegLumaTable + j), pair[j]);
      WriteCameraRegister(context, static_cast<USHORT>(kRegChromaTable + j), pair[kQuantTableSize + j]);
    }
  }

  SelectImageSize(context);
  StartCaptureEngine(context);
  return STATUS_SUCCESS;
}

void ApplyImageSettings(DeviceContext* context)
{
  WriteCameraRegister(context, kRegHueControl, 1);
  WriteCameraRegister(context, kRegImageControlsOn, 1);
  WriteCameraRegister(context, kRegBrightness, EncodeBrightness(context->Brightness));
  WriteCameraRegister(context, kRegContrast, EncodeContrast(context->Contrast));
  WriteCameraRegister(context, kRegHueControl, EncodeHueControl(context->Hue));
  WriteCameraRegister(context, kRegHueLow, EncodeHueLow(context->Hue));
  WriteCameraRegister(context, kRegSaturation, static_cast<USHORT>(context->Saturation));
  WriteCameraRegister(context, kRegSharpness, static_cast<USHORT>(context->Sharpness));
  SendOut(context, kRequestFlicker, FlickerValue(context), 0);
  SendOut(context, kRequestAeAwbMode, ImageSettingsAeAwbMode(context), 0);
  pipeline::SetToneCurve(&context->ProcessingOptions, static_cast<int>(context->Gamma));
}

void SendAeAwbMode(DeviceContext* context)
{
  SendOut(context, kRequestAeAwbMode, 0, 0);
  SendOut(context, kRequestAeAwbMode, AeAwbMode(context), 0);
}

void ApplyExposureSettings(DeviceContext* context)
{
  SendOut(context, kRequestAeAwbMode, 0, 0);
  DelayMs(kAeSettleMs);
  RestoreAutoExposure(context);
  ApplyWhiteBalance(context);
  SendOut(context, kRequestAeAwbMode, AeAwbMode(context), 0);
}

void ApplyWhiteBalance(DeviceContext* context)
{
  const WhiteBalanceGains gains = ComputeWhiteBalanceGains(context);
  WriteFirmwareVariable(context, kFwRGain, gains.Red);
  WriteFirmwareVariable(context, kFwBGain, gains.Blue);
}

void RestoreAutoExposure(DeviceContext* context)
{
  if (context->AutoExposure == 0) {
    return;
  }
  const driver::FirmwareParamWords& fw = context->FirmwareParams;
  WriteFirmwareVariable(context, kFwCurAgc, fw.FwCurAgc);
  WriteFirmwareVariable(context, kFwMinAgc, fw.FwMinAgc);
  WriteFirmwareVariable(context, kFwAdjAgc, fw.FwAdjAgc);
  WriteFirmwareVariable(context, kFwMaxAgc, fw.FwMaxAgc);
  WriteFirmwareVariable(context, kFwAeawbSwitch, fw.FwAeawbSwitch);
}

void SelectImageSize(DeviceContext* context)
{
  const USHORT code = ImageSizeCode(context->SizeIndex);
  if (code != 0) {
    SendOut(context, kRequestImageSize, 0, code);
  }
}

// ---------------------------------------------------------------------------

NTSTATUS ReadCameraInfoBlock(DeviceContext* context, UCHAR* block)
{
  AnnounceInfoBlock(context);
  // The read goes out even when the camera still reports busy.
  ULONG moved = 0;
  const NTSTATUS status = VendorRequest(context, VendorDirection::In, kRequestInfoBlock, 0, 0,
                                        static_cast<ULONG>(driver::kCameraInfoBlockSize), block, &moved);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return moved == driver::kCameraInfoBlockSize ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS WriteCameraInfoBlock(DeviceContext* context, const UCHAR* block)
{
  AnnounceInfoBlock(context);
  // The library's buffer argument is not const; an out transfer only reads it.
  const NTSTATUS status = VendorRequest(context, VendorDirection::Out, kRequestInfoBlock, 0, 0,
                                        static_cast<ULONG>(driver::kCameraInfoBlockSize),
                                        const_cast<UCHAR*>(block));
  DelayMs(kInfoBlockPollIntervalMs);
  const UCHAR busy = PollInfoBlockBusy(context);
  if (!NT_SUCCESS(status) || busy != 0) {
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

}  // namespace dualcam::camera
