// Device properties: the announced set table, the dispatcher and the three
// standard video-capture sets.
//
// Hard part: the answers' exact sizes and statuses are what capture
// applications negotiate with (an empty answer buffer asks for the size, a
// short one is refused), and a set must reach the record, the camera and
// the registry in a fixed order, changing none of them when its value is
// out of range or its buffer too short.
#include "camera/properties.h"

#include "camera/extension_properties.h"
#include "camera/settings.h"
#include "camera/vendor.h"
#include "pipeline/tone_curve.h"

namespace dualcam::camera {
namespace {

// ---- Item tables -------------------------------------------------------------

// A ranged control's value description: a stepping range 0..Maximum with
// step 1 and the default, each a member list of the item's values.
template <ULONG Maximum, ULONG DefaultValue>
struct RangedValues {
  static constexpr KSPROPERTY_STEPPING_LONG Stepping{1, 0, {0, static_cast<LONG>(Maximum)}};
  static constexpr LONG Default = static_cast<LONG>(DefaultValue);
  static constexpr KSPROPERTY_MEMBERSLIST Members[2] = {
      {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &Stepping},
      {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &Default},
  };
  static constexpr KSPROPERTY_VALUES Values{{KSPROPTYPESETID_General, VT_I4, 0}, 2, Members};
};

constexpr KSPROPERTY_ITEM RangedItem(const ControlRange& range, const KSPROPERTY_VALUES* values)
{
  return DEFINE_KSPROPERTY_ITEM(range.Id, TRUE, kControlPropertySize, kControlPropertySize, TRUE, values, 0,
                                nullptr, nullptr, 0);
}

template <size_t I>
constexpr KSPROPERTY_ITEM ProcAmpItem()
{
  constexpr ControlRange range = kVideoProcAmpRanges[I];
  return RangedItem(range, &RangedValues<range.Maximum, range.Default>::Values);
}

constexpr KSPROPERTY_ITEM kVideoProcAmpItems[] = {
    ProcAmpItem<0>(),  // brightness
    ProcAmpItem<1>(),  // contrast
    ProcAmpItem<2>(),  // hue
    ProcAmpItem<3>(),  // saturation
    ProcAmpItem<4>(),  // sharpness
    ProcAmpItem<5>(),  // white balance
    ProcAmpItem<6>(),  // gamma
};

constexpr KSPROPERTY_ITEM kCameraControlItems[] = {
    RangedItem(kExposureRange, &RangedValues<kExposureRange.Maximum, kExposureRange.Default>::Values),  // exposure
};

constexpr KSPROPERTY_ITEM ExtensionItem(ULONG id, BOOLEAN supported)
{
  return DEFINE_KSPROPERTY_ITEM(id, supported, kExtensionBufferSize, kExtensionBufferSize, supported, nullptr, 0,
                                nullptr, nullptr, 0);
}

constexpr KSPROPERTY_ITEM kCameraExtensionItems[] = {
    ExtensionItem(CAMEXT_FLICKER, TRUE),        ExtensionItem(CAMEXT_UNUSED_7, TRUE),
    ExtensionItem(CAMEXT_UNUSED_8, TRUE),       ExtensionItem(CAMEXT_STILL_CAPTURE, TRUE),
    ExtensionItem(CAMEXT_READ_INFO, TRUE),      ExtensionItem(CAMEXT_WRITE_INFO, TRUE),
    ExtensionItem(CAMEXT_REGISTRY_DWORD, TRUE), ExtensionItem(CAMEXT_VENDOR_READ, TRUE),
    ExtensionItem(CAMEXT_VENDOR_WRITE, TRUE),   ExtensionItem(CAMEXT_DECLARED_ONLY, FALSE),
};

constexpr KSPROPERTY_ITEM kVideoControlItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_CAPS, TRUE, kVideoControlCapsSize, kVideoControlCapsSize, FALSE,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, TRUE, kActualFrameRateSize,
                           kActualFrameRateSize, FALSE, nullptr, 0, nullptr, nullptr, 0),
    // The list's length varies, so no minimum answer size is announced.
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, TRUE, kFrameRatesRequestSize, 0, FALSE, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_MODE, TRUE, kVideoControlCapsSize, kVideoControlCapsSize, TRUE,
                           nullptr, 0, nullptr, nullptr, 0),
};

constexpr KSPROPERTY_ITEM kVfwKeyItems[] = {
    DEFINE_KSPROPERTY_ITEM(kVfwKeyPropertyId, TRUE, kVfwBufferSize, kVfwBufferSize, TRUE, nullptr, 0, nullptr,
                           nullptr, 0),
};

template <typename T, size_t N>
constexpr ULONG CountOf(const T (&)[N])
{
  return static_cast<ULONG>(N);
}

constexpr KSPROPERTY_SET kDevicePropertySets[kDevicePropertySetCount] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, CountOf(kVideoProcAmpItems), kVideoProcAmpItems, 0, nullptr},
    {&PROPSETID_VIDCAP_CAMERACONTROL, CountOf(kCameraControlItems), kCameraControlItems, 0, nullptr},
    {&PROPSETID_CAMERA_EXTENSION, CountOf(kCameraExtensionItems), kCameraExtensionItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCONTROL, CountOf(kVideoControlItems), kVideoControlItems, 0, nullptr},
    {&PROPSETID_VFWWDM_KEY, CountOf(kVfwKeyItems), kVfwKeyItems, 0, nullptr},
};

// ---- Field offsets of the standard structures ----------------------------------

constexpr ULONG kValueOffset = offsetof(KSPROPERTY_VIDEOPROCAMP_S, Value);
constexpr ULONG kFlagsOffset = offsetof(KSPROPERTY_VIDEOPROCAMP_S, Flags);
constexpr ULONG kCapabilitiesOffset = offsetof(KSPROPERTY_VIDEOPROCAMP_S, Capabilities);
static_assert(offsetof(KSPROPERTY_CAMERACONTROL_S, Value) == kValueOffset &&
              offsetof(KSPROPERTY_CAMERACONTROL_S, Flags) == kFlagsOffset &&
              offsetof(KSPROPERTY_CAMERACONTROL_S, Capabilities) == kCapabilitiesOffset);
constexpr ULONG kStreamIndexOffset = offsetof(KSPROPERTY_VIDEOCONTROL_CAPS_S, StreamIndex);
constexpr ULONG kCapsOffset = offsetof(KSPROPERTY_VIDEOCONTROL_CAPS_S, VideoControlCaps);
constexpr ULONG kModeOffset = offsetof(KSPROPERTY_VIDEOCONTROL_MODE_S, Mode);
constexpr ULONG kActualRateOffset = offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentActualFrameRate);
constexpr ULONG kMaxRateOffset = offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentMaxAvailableFrameRate);
static_assert(offsetof(KSPROPERTY_VIDEOCONTROL_MODE_S, StreamIndex) == kStreamIndexOffset &&
              offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, StreamIndex) == kStreamIndexOffset);

constexpr ULONG kCapsManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
constexpr ULONG kCapsAutoAndManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

const ControlRange* FindVideoProcAmpRange(ULONG id)
{
  for (const ControlRange& range : kVideoProcAmpRanges) {
    if (range.Id == id) return &range;
  }
  return nullptr;
}

// The record field behind an image control.
std::atomic<ULONG>* VideoProcAmpField(DeviceContext* context, ULONG id)
{
  switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: return &context->Brightness;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: return &context->Contrast;
    case KSPROPERTY_VIDEOPROCAMP_HUE: return &context->Hue;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: return &context->Saturation;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: return &context->Sharpness;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE: return &context->WhiteBalance;
    case KSPROPERTY_VIDEOPROCAMP_GAMMA: return &context->Gamma;
    default: return nullptr;
  }
}

ULONG AutoFlags(ULONG automatic) { return automatic == 1 ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO : kCapsManual; }

// Writes the Value/Flags/Capabilities answer of a ranged control.
NTSTATUS AnswerControl(PHW_STREAM_REQUEST_BLOCK srb, UCHAR* info, ULONG value, ULONG flags, ULONG capabilities)
{
  WriteUlongAt(info, kValueOffset, value);
  WriteUlongAt(info, kFlagsOffset, flags);
  WriteUlongAt(info, kCapabilitiesOffset, capabilities);
  srb->ActualBytesTransferred = kControlPropertySize;
  return Complete(srb, STATUS_SUCCESS);
}

}  // namespace

const KSPROPERTY_SET* GetDevicePropertyTable(PULONG count)
{
  if (count != nullptr) *count = kDevicePropertySetCount;
  return kDevicePropertySets;
}

bool GetPropertyBuffers(PHW_STREAM_REQUEST_BLOCK srb, PropertyBuffers* buffers)
{
  const PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
  if (descriptor == nullptr || descriptor->Property == nullptr || descriptor->PropertyInputSize < sizeof(KSPROPERTY)) {
    return false;
  }
  buffers->Property = reinterpret_cast<const UCHAR*>(descriptor->Property);
  buffers->PropertySize = descriptor->PropertyInputSize;
  buffers->Info = static_cast<UCHAR*>(descriptor->PropertyInfo);
  buffers->InfoSize = buffers->Info != nullptr ? descriptor->PropertyOutputSize : 0;
  return true;
}

void ApplyAutoFlag(ULONG flags, std::atomic<ULONG>* automatic)
{
  switch (flags) {
    case 0:
    case KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL: *automatic = 0; break;
    case KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO:
    case KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL: *automatic = 1; break;
    default: break;  // not a mode this control knows: keep the current one
  }
}

NTSTATUS DevicePropertyHandler(ULONG setFlag, PDEVICE_OBJECT /*lowerDeviceObject*/, DeviceContext* context,
                               PHW_STREAM_REQUEST_BLOCK srb)
{
  if (srb == nullptr) return STATUS_INVALID_PARAMETER;
  PropertyBuffers buffers;
  if (context == nullptr || !GetPropertyBuffers(srb, &buffers)) return Complete(srb, STATUS_INVALID_PARAMETER);

  GUID set;
  std::memcpy(&set, buffers.Property, sizeof set);
  const bool isSet = setFlag != kPropertyGet;
  if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOPROCAMP)) {
    return isSet ? VideoProcAmpSet(context, srb) : VideoProcAmpGet(context, srb);
  }
  if (IsEqualGUID(set, PROPSETID_CAMERA_EXTENSION)) {
    return isSet ? CameraExtensionSet(context, srb) : CameraExtensionGet(context, srb);
  }
  if (IsEqualGUID(set, PROPSETID_VFWWDM_KEY)) {
    return isSet ? VfwKeySet(context, srb) : VfwKeyGet(context, srb);
  }
  if (IsEqualGUID(set, PROPSETID_VIDCAP_CAMERACONTROL)) {
    return isSet ? CameraControlSet(context, srb) : CameraControlGet(context, srb);
  }
  if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOCONTROL)) {
    return isSet ? VideoControlSet(context, srb) : VideoControlGet(context, srb);
  }
  return STATUS_NOT_SUPPORTED;
}

// ---- Image controls -------------------------------------------------------------

NTSTATUS VideoProcAmpGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb)
{
  PropertyBuffers buffers;
  if (!GetPropertyBuffers(srb, &buffers)) return Complete(srb, STATUS_INVALID_PARAMETER);
  const ULONG id = ReadUlongAt(buffers.Property, offsetof(KSPROPERTY, Id));
  const std::atomic<ULONG>* field = VideoProcAmpField(context, id);
  if (field == nullptr) return Complete(srb, STATUS_NOT_SUPPORTED);
  if (buffers.InfoSize < kControlPropertySize) return Complete(srb, STATUS_BUFFER_TOO_SMALL);

  const ULONG value = *field & 0xFFFF;
  if (id == KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE) {
    return AnswerControl(srb, buffers.Info, value, AutoFlags(context->AutoWhiteBalance), kCapsAutoAndManual);
  }
  return AnswerControl(srb, buffers.Info, value, kCapsManual, kCapsManual);
}

NTSTATUS VideoProcAmpSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb)
{
  PropertyBuffers buffers;
  if (!GetPropertyBuffers(srb, &buffers)) return Complete(srb, STATUS_INVALID_PARAMETER);
  const ULONG id = ReadUlongAt(buffers.Property, offsetof(KSPROPERTY, Id));
  const ControlRange* range = FindVideoProcAmpRange(id);
  if (range == nullptr) return Complete(srb, STATUS_NOT_SUPPORTED);
  if (buffers.InfoSize < kControlPropertySize) return Complete(srb, STATUS_BUFFER_TOO_SMALL);

  // Value is a LONG in the structure; taken as unsigned, a negative value
  // is far above every maximum and is refused with the rest.
  const ULONG value = ReadUlongAt(buffers.Info, kValueOffset);
  if (value > range->Maximum) return Complete(srb, STATUS_NOT_SUPPORTED);
  const ULONG flags = ReadUlongAt(buffers.Info, kFlagsOffset);

  switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
      context->Brightness = value;
      WriteCameraRegister(context, kRegBrightness, EncodeBrightness(value));
      SaveSettings(context, kSaveBrightness);
      break;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
      context->Contrast = value;
      WriteCameraRegister(context, kRegContrast, EncodeContrast(value));
      SaveSettings(context, kSaveContrast);
      break;
    case KSPROPERTY_VIDEOPROCAMP_HUE:
      context->Hue = value;
      WriteCameraRegister(context, kRegHueControl, EncodeHueControl(value));
      WriteCameraRegister(context, kRegHueLow, EncodeHueLow(value));
      SaveSettings(context, kSaveHue);
      break;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION:
      context->Saturation = value;
      WriteCameraRegister(context, kRegSaturation, static_cast<USHORT>(value));
      SaveSettings(context, kSaveSaturation);
      break;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS:
      context->Sharpness = value;
      WriteCameraRegister(context, kRegSharpness, static_cast<USHORT>(value));
      SaveSettings(context, kSaveSharpness);
      break;
    case KSPROPERTY_VIDEOPROCAMP_GAMMA:
      // Gamma is applied by the driver's own tone curve, not by the camera.
      context->Gamma = value;
      pipeline::SetToneCurve(&context->ProcessingOptions, static_cast<int>(value));
      SaveSettings(context, kSaveGamma);
      break;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
      context->WhiteBalance = value;
      SaveSettings(context, kSaveWhiteBalance);
      ApplyAutoFlag(flags, &context->AutoWhiteBalance);
      ApplyWhiteBalance(context);
      SendAeAwbMode(context);
      SaveSettings(context, kSaveAutoWhiteBalance);
      break;
    default: return Complete(srb, STATUS_NOT_SUPPORTED);
  }
  return Complete(srb, STATUS_SUCCESS);
}

// ---- Exposure -------------------------------------------------------------------

NTSTATUS CameraControlGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb)
{
  PropertyBuffers buffers;
  if (!GetPropertyBuffers(srb, &buffers)) return Complete(srb, STATUS_INVALID_PARAMETER);
  if (ReadUlongAt(buffers.Property, offsetof(KSPROPERTY, Id)) != kExposureRange.Id) {
    return Complete(srb, STATUS_NOT_SUPPORTED);
  }
  if (buffers.InfoSize < kControlPropertySize) return Complete(srb, STATUS_BUFFER_TOO_SMALL);
  return AnswerControl(srb, buffers.Info, context->ManualExposure, AutoFlags(context->AutoExposure),
                       kCapsAutoAndManual);
}

NTSTATUS CameraControlSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb)
{
  PropertyBuffers buffers;
  if (!GetPropertyBuffers(srb, &buffers)) return Complete(srb, STATUS_INVALID_PARAMETER);
  if (ReadUlongAt(buffers.Property, offsetof(KSPROPERTY, Id)) != kExposureRange.Id) {
    return Complete(srb, STATUS_NOT_SUPPORTED);
  }
  if (buffers.InfoSize < kControlPropertySize) return Complete(srb, STATUS_BUFFER_TOO_SMALL);
  const ULONG value = ReadUlongAt(buffers.Info, kValueOffset);
  if (value > kExposureRange.Maximum) return Complete(srb, STATUS_NOT_SUPPORTED);

  ApplyAutoFlag(ReadUlongAt(buffers.Info, kFlagsOffset), &context->AutoExposure);
  SendAeAwbMode(context);
  // While exposure is automatic the firmware owns the gain: the value given
  // is dropped and only the mode changes.
  if (context->AutoExposure == 0) {
    context->FirmwareParams.FwCurAgc = static_cast<USHORT>(value);
    context->ManualExposure = value;
    WriteFirmwareVariable(context, kFwCurAgc, static_cast<USHORT>(value));
    SaveSettings(context, kSaveManualExposure);
  }
  SaveSettings(context, kSaveAutoExposure);
  return Complete(srb, STATUS_SUCCESS);
}

// ---- Video control --------------------------------------------------------------

NTSTATUS VideoControlGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb)
{
  PropertyBuffers buffers;
  if (!GetPropertyBuffers(srb, &buffers)) return Complete(srb, STATUS_INVALID_PARAMETER);
  const ULONG id = ReadUlongAt(buffers.Property, offsetof(KSPROPERTY, Id));

  switch (id) {
    case KSPROPERTY_VIDEOCONTROL_CAPS: {
      if (buffers.PropertySize < kVideoControlCapsSize || buffers.InfoSize < kVideoControlCapsSize) {
        return Complete(srb, STATUS_BUFFER_TOO_SMALL);
      }
      if (ReadUlongAt(buffers.Property, kStreamIndexOffset) != kStillStreamIndex) {
        return Complete(srb, STATUS_NOT_SUPPORTED);
      }
      WriteUlongAt(buffers.Info, kCapsOffset, kStillTriggerFlags);
      srb->ActualBytesTransferred = kVideoControlCapsSize;
      return Complete(srb, STATUS_SUCCESS);
    }
    case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE: {
      if (buffers.PropertySize < kStreamIndexOffset + sizeof(ULONG)) return Complete(srb, STATUS_BUFFER_TOO_SMALL);
      if (ReadUlongAt(buffers.Property, kStreamIndexOffset) == kStillStreamIndex) {
        return Complete(srb, STATUS_NOT_SUPPORTED);
      }
      if (buffers.InfoSize == 0) {
        srb->ActualBytesTransferred = kActualFrameRateSize;
        return Complete(srb, STATUS_BUFFER_OVERFLOW);
      }
      if (buffers.InfoSize < kActualFrameRateSize || context->StreamOpened != 1) {
        return Complete(srb, STATUS_NOT_SUPPORTED);
      }
      // FrameRateIndex is never assigned; an index outside the table
      // answers "unknown" rather than reading past it.
      const ULONG index = context->FrameRateIndex;
      const LONGLONG actual = index < kFrameRateTable.size() ? kFrameRateTable[index] : kFrameRateTable[0];
      WriteLonglongAt(buffers.Info, kActualRateOffset, actual);
      WriteLonglongAt(buffers.Info, kMaxRateOffset, context->FrameRateFixed != 0 ? actual : kFastestFrameInterval);
      srb->ActualBytesTransferred = kActualFrameRateSize;
      return Complete(srb, STATUS_SUCCESS);
    }
    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES: {
      // Every stream and size gets the same list.
      if (buffers.InfoSize == 0) {
        srb->ActualBytesTransferred = kFrameRatesAnswerSize;
        return Complete(srb, STATUS_BUFFER_OVERFLOW);
      }
      if (buffers.InfoSize < kFrameRatesAnswerSize) return Complete(srb, STATUS_BUFFER_TOO_SMALL);
      constexpr ULONG kCount = static_cast<ULONG>(kFrameRateTable.size() - 1);
      const KSMULTIPLE_ITEM header{static_cast<ULONG>(kCount * sizeof(LONGLONG)), kCount};
      std::memcpy(buffers.Info, &header, sizeof header);
      std::memcpy(buffers.Info + sizeof header, &kFrameRateTable[1], kCount * sizeof(LONGLONG));
      srb->ActualBytesTransferred = kFrameRatesAnswerSize;
      return Complete(srb, STATUS_SUCCESS);
    }
    case KSPROPERTY_VIDEOCONTROL_MODE: {
      if (buffers.InfoSize == 0) {
        srb->ActualBytesTransferred = kVideoControlCapsSize;
        return Complete(srb, STATUS_BUFFER_OVERFLOW);
      }
      if (buffers.InfoSize < kVideoControlCapsSize) return Complete(srb, STATUS_NOT_SUPPORTED);
      WriteUlongAt(buffers.Info, kModeOffset, kStillTriggerFlags);
      srb->ActualBytesTransferred = kVideoControlCapsSize;
      return Complete(srb, STATUS_SUCCESS);
    }
    default: return Complete(srb, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS VideoControlSet(DeviceContext* /*context*/, PHW_STREAM_REQUEST_BLOCK srb)
{
  PropertyBuffers buffers;
  if (!GetPropertyBuffers(srb, &buffers)) return Complete(srb, STATUS_INVALID_PARAMETER);
  if (ReadUlongAt(buffers.Property, offsetof(KSPROPERTY, Id)) != KSPROPERTY_VIDEOCONTROL_MODE) {
    return Complete(srb, STATUS_NOT_SUPPORTED);
  }
  if (buffers.PropertySize < kVideoControlCapsSize) return Complete(srb, STATUS_BUFFER_TOO_SMALL);
  // The trigger is taken by the button poll and the still property; a mode
  // set only acknowledges a trigger request on the still stream. Any other
  // stream or mode is one this device does not take. It is refused as such:
  // left with the status the stream class preloaded (pending), the request
  // would complete and read as accepted.
  if (ReadUlongAt(buffers.Property, kStreamIndexOffset) == kStillStreamIndex &&
      (ReadUlongAt(buffers.Property, kModeOffset) & kStillTriggerFlags) != 0) {
    return Complete(srb, STATUS_SUCCESS);
  }
  return Complete(srb, STATUS_NOT_SUPPORTED);
}

}  // namespace dualcam::camera
