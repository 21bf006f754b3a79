// Device properties: the table of the five property sets announced to the
// stream class, the dispatcher that routes each device property request to
// its set, and the three standard video-capture sets (image controls,
// exposure, frame rates and still trigger capabilities).
//
// Hard part: the request buffers come from applications. The stream class
// checks a request against the announced table before it arrives, but the
// handlers still check every buffer size the request gives (the property
// structure by PropertyInputSize, the answer buffer by PropertyOutputSize)
// before reading or writing a byte, read and write fields by offset with
// copies (the caller's buffer need not be aligned), and change nothing when
// a value is out of range. A set changes the record, then the camera, then
// the registry; the camera's and the registry's answers are best effort.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "driver/device_context.h"
#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/ntstatus.h"
#include "platform/streamclass.h"

namespace dualcam::camera {

using driver::DeviceContext;

// ---- The announced table ---------------------------------------------------

inline constexpr ULONG kDevicePropertySetCount = 5;

// Stores the number of sets (5) in *count and returns the table, in the
// order image controls, exposure, camera extension, video control, VfW key.
const KSPROPERTY_SET* GetDevicePropertyTable(PULONG count);

// ---- Dispatcher ------------------------------------------------------------

// Direction of a device property request.
inline constexpr ULONG kPropertyGet = 0;
inline constexpr ULONG kPropertySet = 1;

// Routes an SRB_GET_DEVICE_PROPERTY (setFlag 0) or SRB_SET_DEVICE_PROPERTY
// (setFlag 1) request to its set's handler by the property's set GUID. The
// lower device object is not used. The handler writes srb->Status (and,
// where it answers, ActualBytesTransferred) and returns it; the caller
// completes the request. A set this driver does not have returns
// STATUS_NOT_SUPPORTED and leaves the request untouched; a request without
// a readable KSPROPERTY gets STATUS_INVALID_PARAMETER.
NTSTATUS DevicePropertyHandler(ULONG setFlag, PDEVICE_OBJECT lowerDeviceObject, DeviceContext* context,
                               PHW_STREAM_REQUEST_BLOCK srb);

// ---- The standard sets -----------------------------------------------------

// Image controls (PROPSETID_VIDCAP_VIDEOPROCAMP): brightness, contrast, hue,
// saturation, sharpness, gamma, white balance.
NTSTATUS VideoProcAmpGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);
NTSTATUS VideoProcAmpSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);
// Exposure (PROPSETID_VIDCAP_CAMERACONTROL).
NTSTATUS CameraControlGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);
NTSTATUS CameraControlSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);
// Frame rates and still trigger (PROPSETID_VIDCAP_VIDEOCONTROL).
NTSTATUS VideoControlGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);
NTSTATUS VideoControlSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);

// One ranged control: the item's id, its valid values 0..Maximum and the
// default the item reports.
struct ControlRange {
  ULONG Id;
  ULONG Maximum;
  ULONG Default;
};
// In table order. The ranges and defaults equal those of the settings store.
inline constexpr std::array<ControlRange, 7> kVideoProcAmpRanges = {{
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 255, 128},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 31, 0},
    {KSPROPERTY_VIDEOPROCAMP_HUE, 719, 0},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, 63, 40},
    {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 255, 2},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 20, 10},
    {KSPROPERTY_VIDEOPROCAMP_GAMMA, 9, 0},
}};
inline constexpr ControlRange kExposureRange = {KSPROPERTY_CAMERACONTROL_EXPOSURE, 63, 10};

// The minimum buffer sizes of the standard items.
inline constexpr ULONG kControlPropertySize = 40;       // KSPROPERTY_VIDEOPROCAMP_S / _CAMERACONTROL_S
inline constexpr ULONG kVideoControlCapsSize = 32;      // _CAPS_S and _MODE_S
inline constexpr ULONG kActualFrameRateSize = 56;       // _ACTUAL_FRAME_RATE_S
inline constexpr ULONG kFrameRatesRequestSize = 40;     // _FRAME_RATES_S (the request)
inline constexpr ULONG kFrameRatesAnswerSize = 64;      // KSMULTIPLE_ITEM + 7 intervals

// Still trigger flags this device offers on its still stream (stream 1).
inline constexpr ULONG kStillStreamIndex = 1;
inline constexpr ULONG kStillTriggerFlags = KS_VideoControlFlag_ExternalTriggerEnable | KS_VideoControlFlag_Trigger;

// Frame intervals in 100 ns units: entry 0 is "unknown"; 1..7 are 6, 12,
// 15, 18, 21, 24 and 30 frames per second.
inline constexpr std::array<LONGLONG, 8> kFrameRateTable = {0,      1666666, 833333, 666666,
                                                           555555, 476190,  416666, 333333};
// The fastest interval the camera reaches (30 frames per second).
inline constexpr LONGLONG kFastestFrameInterval = 333333;

// The automatic-control rule shared by white balance and exposure: Flags 0
// or 2 (manual) switch automatic control off, 1 (auto) or 3 switch it on,
// anything else leaves *automatic as it was.
void ApplyAutoFlag(ULONG flags, ULONG* automatic);

// ---- Request buffers -------------------------------------------------------

// The two buffers of a property request, with the sizes the request gives.
struct PropertyBuffers {
  const UCHAR* Property;  // the KSPROPERTY-based request structure
  ULONG PropertySize;     // PropertyInputSize
  UCHAR* Info;            // the answer (get) or value (set) buffer
  ULONG InfoSize;         // PropertyOutputSize
};

// Fills *buffers from the request. False when there is no descriptor or no
// property of at least a KSPROPERTY's size; Info may be null (then InfoSize
// counts as 0).
bool GetPropertyBuffers(PHW_STREAM_REQUEST_BLOCK srb, PropertyBuffers* buffers);

// Little-endian field access at a byte offset; the callers have checked the
// buffer size first.
inline ULONG ReadUlongAt(const UCHAR* buffer, ULONG offset)
{
  ULONG value;
  std::memcpy(&value, buffer + offset, sizeof value);
  return value;
}
inline USHORT ReadUshortAt(const UCHAR* buffer, ULONG offset)
{
  USHORT value;
  std::memcpy(&value, buffer + offset, sizeof value);
  return value;
}
inline void WriteUlongAt(UCHAR* buffer, ULONG offset, ULONG value) { std::memcpy(buffer + offset, &value, sizeof value); }
inline void WriteLonglongAt(UCHAR* buffer, ULONG offset, LONGLONG value)
{
  std::memcpy(buffer + offset, &value, sizeof value);
}

// Sets the request's Status and returns it.
inline NTSTATUS Complete(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status)
{
  srb->Status = status;
  return status;
}

}  // namespace dualcam::camera
