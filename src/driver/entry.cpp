// The driver's entry point, request routine and stream hooks.
//
// Hard part: the order of this routine's own steps around the library's. The
// library completes a forwarded request before it returns here, so the steps
// after a forward see its outcome in Srb->Status (the request block stays the
// caller's until this routine returns). A stream open is reported (IsoMode 1,
// DriverStatus 5, StreamOpened) only when the library really opened the
// stream; a close and a removal are reported whatever happened, since the
// stream or device is gone either way. Status 8 is final: a later close
// leaves it, so the button poll, which stops on 8, is never revived.
#include "driver/entry.h"

#include <atomic>
#include <cstring>

#include "camera/properties.h"
#include "camera/registry_values.h"
#include "camera/settings.h"
#include "camera/vendor.h"
#include "driver/callbacks.h"
#include "driver/device_context.h"
#include "driver/formats.h"
#include "driver/lifecycle.h"
#include "platform/usbcamd.h"

namespace dualcam::driver {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

DeviceContext* Ctx(PVOID context) { return static_cast<DeviceContext*>(context); }

void SetDriverStatus(DeviceContext* context, ULONG status)
{
  context->DriverStatus.store(status, kRelaxed);
  camera::WriteSettingsDword(camera::kValueDriverStatus, status);
}

// Hands the request to the library, which carries it out and completes it;
// returns the request's DeviceContext (null for a device it does not know).
DeviceContext* Forward(PHW_STREAM_REQUEST_BLOCK Srb)
{
  return Ctx(USBCAMD_AdapterReceivePacket(Srb, CameraCallbacks(), nullptr, TRUE));
}

void CompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
  StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

// SRB_GET_STREAM_INFO: announce the capture pin and the device property
// sets, let the library finish the header, then clear the press report.
void GetStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb)
{
  PHW_STREAM_DESCRIPTOR descriptor = Srb->CommandData.StreamBuffer;
  if (descriptor == nullptr) {
    Srb->Status = STATUS_INVALID_PARAMETER;
    CompleteDeviceRequest(Srb);
    return;
  }
  descriptor->StreamHeader.NumberOfStreams = 1;
  std::memcpy(&descriptor->StreamInfo, &CaptureStreamInfo, sizeof(HW_STREAM_INFORMATION));
  ULONG count = 0;
  descriptor->StreamHeader.DevicePropertiesArray = camera::GetDevicePropertyTable(&count);
  descriptor->StreamHeader.NumDevPropArrayEntries = count;
  Forward(Srb);
  camera::WriteSettingsDword(camera::kValueTimerTrigger, 0);
}

void OpenStream(PHW_STREAM_REQUEST_BLOCK Srb)
{
  PHW_STREAM_OBJECT stream = Srb->StreamObject;
  if (stream == nullptr) {
    Srb->Status = STATUS_INVALID_PARAMETER;
    CompleteDeviceRequest(Srb);
    return;
  }
  stream->ReceiveDataPacket = StreamDataHook;
  stream->ReceiveControlPacket = StreamControlHook;

  DeviceContext* context = Ctx(USBCAMD_AdapterReceivePacket(Srb, CameraCallbacks(), nullptr, FALSE));
  if (context != nullptr) QueryBulkMode(context);
  if (context == nullptr || !FormatMatchesStream(Srb->CommandData.OpenFormat, stream->StreamNumber) ||
      context->RegBulkMode != 0) {
    Srb->Status = STATUS_INVALID_PARAMETER;
    CompleteDeviceRequest(Srb);
    return;
  }

  Forward(Srb);
  // Reported only when the library opened the stream: a refused open that
  // published IsoMode 1 and status 5 would tell other software, and the
  // button poll, that a stream runs (and would undo a status 8).
  if (!NT_SUCCESS(Srb->Status)) return;
  camera::WriteSettingsDword(camera::kValueIsoMode, 1);
  SetDriverStatus(context, kStatusStreamOpen);
  context->StreamOpened = 1;
}

void CloseStream(PHW_STREAM_REQUEST_BLOCK Srb)
{
  DeviceContext* context = Forward(Srb);
  camera::WriteSettingsDword(camera::kValueIsoMode, 0);
  if (context == nullptr || context->DriverStatus.load(kRelaxed) == kStatusRemoved) return;
  // One read of the button byte, discarded: it clears a press the camera
  // latched while the stream ran, so the next poll starts clean.
  UCHAR button = 0;
  camera::VendorRequest(context, camera::VendorDirection::In, camera::kRequestButton, 0, 1, 1, &button);
  SetDriverStatus(context, kStatusStreamClosed);
}

void DeviceProperty(PHW_STREAM_REQUEST_BLOCK Srb, ULONG setFlag)
{
  PDEVICE_OBJECT lower = nullptr;
  DeviceContext* context = Ctx(USBCAMD_AdapterReceivePacket(Srb, CameraCallbacks(), &lower, FALSE));
  if (context == nullptr) {
    Srb->Status = STATUS_NO_SUCH_DEVICE;
  } else {
    // The handler writes Status for every set it has; a set it does not
    // have is left to the caller, so its answer is what the request gets.
    Srb->Status = camera::DevicePropertyHandler(setFlag, lower, context, Srb);
  }
  CompleteDeviceRequest(Srb);
}

void UninitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb)
{
  DeviceContext* context = Forward(Srb);
  if (context == nullptr) return;
  SetDriverStatus(context, kStatusRemoved);
  // Disables the interface, deletes the DOS link when this device created it
  // (two cameras share the name; the other one's link must survive), and
  // frees both name strings.
  RemoveDeviceNames(context);
  LARGE_INTEGER interval;
  interval.QuadPart = kUninitializeWait;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void SurpriseRemoval(PHW_STREAM_REQUEST_BLOCK Srb)
{
  DeviceContext* context = Forward(Srb);
  if (context != nullptr) SetDriverStatus(context, kStatusRemoved);
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
  camera::WriteSettingsDword(camera::kValueDriverStatus, kStatusLoaded);
  return USBCAMD_DriverEntry(DriverObject, RegistryPath, kDeviceContextSize, kFrameContextSize,
                             DriverReceivePacket);
}

VOID DriverReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
  if (Srb == nullptr) return;
  switch (Srb->Command) {
    case SRB_GET_STREAM_INFO:
      GetStreamInfo(Srb);
      break;
    case SRB_OPEN_STREAM:
      OpenStream(Srb);
      break;
    case SRB_CLOSE_STREAM:
      CloseStream(Srb);
      break;
    case SRB_GET_DEVICE_PROPERTY:
      DeviceProperty(Srb, camera::kPropertyGet);
      break;
    case SRB_SET_DEVICE_PROPERTY:
      DeviceProperty(Srb, camera::kPropertySet);
      break;
    case SRB_UNINITIALIZE_DEVICE:
      UninitializeDevice(Srb);
      break;
    case SRB_GET_DATA_INTERSECTION:
      Srb->Status = IntersectDataRange(Srb);
      CompleteDeviceRequest(Srb);
      break;
    case SRB_SURPRISE_REMOVAL:
      SurpriseRemoval(Srb);
      break;
    default:  // SRB_OPEN/CLOSE_DEVICE_INSTANCE, SRB_INITIALIZE_DEVICE, SRB_CHANGE_POWER_STATE, ...
      Forward(Srb);
      break;
  }
}

VOID StreamDataHook(PHW_STREAM_REQUEST_BLOCK, PVOID, PBOOLEAN Completed)
{
  if (Completed != nullptr) *Completed = FALSE;
}

VOID StreamControlHook(PHW_STREAM_REQUEST_BLOCK Srb, PVOID, PBOOLEAN Completed)
{
  if (Completed == nullptr) return;
  *Completed = FALSE;
  if (Srb == nullptr) return;
  // Every control request leaves the hook with a success status, also those
  // the library goes on to carry out: the status the stream class preloaded
  // (pending) is never what a request is answered with.
  Srb->Status = STATUS_SUCCESS;
  switch (Srb->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
    case SRB_SET_DATA_FORMAT:
    case SRB_GET_DATA_FORMAT:
      *Completed = TRUE;
      StreamFormatRequest(Srb);
      StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
      break;
    default:  // state changes, stream properties, clock requests: the library's
      break;
  }
}

VOID QueryBulkMode(PVOID DeviceContext)
{
  auto* context = Ctx(DeviceContext);
  context->RegBulkMode = camera::kValueAbsent;
  camera::ReadSettingsDword(camera::kValueBulkMode, &context->RegBulkMode);
}

}  // namespace dualcam::driver
