// The settings store: the registry key that holds the user's image settings,
// the camera's learned exposure state and the driver's mailbox values; the
// load of the settings into the device record and their write-back by mask.
//
// Hard part: the key is shared with other software, so anything found there
// may be missing, out of range or of the wrong type. Every value is checked on
// its own against its range and replaced by a fixed default, or, for the
// firmware words, by a fresh read from the camera; one bad value never
// disturbs the others.
#pragma once

#include <array>
#include <cstdint>

#include "driver/device_context.h"
#include "platform/kernel.h"
#include "platform/ntstatus.h"

namespace dualcam::camera {

using driver::DeviceContext;

// The key, always named as an absolute path (RTL_REGISTRY_ABSOLUTE). The
// driver never creates it; every value in it is a REG_DWORD.
inline constexpr WCHAR kSettingsKeyPath[] =
    u"\\Registry\\MACHINE\\SOFTWARE\\Orvantic Tech\\Dual Mode Cameras\\MV7730";

// A 32-bit cell still holding this after a query means "value absent".
inline constexpr ULONG kValueAbsent = 0xFFFFFFFF;

// ---- Value names ---------------------------------------------------------

// Settings.
inline constexpr WCHAR kValueBrightness[] = u"Brightness";
inline constexpr WCHAR kValueContrast[] = u"Contrast";
inline constexpr WCHAR kValueHue[] = u"Hue";
inline constexpr WCHAR kValueSaturation[] = u"Saturation";
inline constexpr WCHAR kValueSharpness[] = u"Sharpness";
inline constexpr WCHAR kValueGamma[] = u"Gamma";
inline constexpr WCHAR kValueWhiteBalance[] = u"White Balance";
inline constexpr WCHAR kValueAutoExposure[] = u"Auto Exposure Enable";
inline constexpr WCHAR kValueAutoWhiteBalance[] = u"Auto White Balance Enable";
inline constexpr WCHAR kValueFlicker60[] = u"Flicker60";
inline constexpr WCHAR kValueFwAeawbSwitch[] = u"Fw_AeawbSwitch";
inline constexpr WCHAR kValueFwCurShutter[] = u"Fw_CurShutter";
inline constexpr WCHAR kValueFwCurAgc[] = u"Fw_CurAgc";
inline constexpr WCHAR kValueFwMinAgc[] = u"Fw_MinAgc";
inline constexpr WCHAR kValueFwRGain[] = u"Fw_RGain";
inline constexpr WCHAR kValueFwBGain[] = u"Fw_BGain";
inline constexpr WCHAR kValueFwAdjAgc[] = u"Fw_AdjAgc";
inline constexpr WCHAR kValueFwMaxAgc[] = u"Fw_MaxAgc";
inline constexpr WCHAR kValueManualExposure[] = u"Manual_Exposure";

// Driver state and mailbox values shared with other software.
inline constexpr WCHAR kValueDriverStatus[] = u"DriverStatus";
inline constexpr WCHAR kValueIsoMode[] = u"IsoMode";
inline constexpr WCHAR kValueBulkMode[] = u"BulkMode";
inline constexpr WCHAR kValueTimerTrigger[] = u"TimerTrigger";
inline constexpr WCHAR kValueSnapShoot[] = u"SnapShoot";  // 1 = an application asks for a still
inline constexpr WCHAR kValueSnapShot[] = u"SnapShot";    // result: 1 saved, 2 failed, 0 awaited
inline constexpr WCHAR kValueStillShot[] = u"StillShot";
inline constexpr WCHAR kValueStillShoot[] = u"StillShoot";
inline constexpr WCHAR kValueVendorReadReply[] = u"VCR";

// ---- The settings --------------------------------------------------------

// The settings in the order of their save-mask bits.
enum class Setting : UCHAR {
  Brightness,
  Contrast,
  Hue,
  Saturation,
  Sharpness,
  Gamma,
  WhiteBalance,
  AutoExposure,
  AutoWhiteBalance,
  Flicker60,
  FwAeawbSwitch,
  FwCurShutter,
  FwCurAgc,
  FwMinAgc,
  FwRGain,
  FwBGain,
  FwAdjAgc,
  FwMaxAgc,
  ManualExposure,
};
inline constexpr size_t kSettingCount = 19;

// Marks a setting whose fallback is a fixed default rather than a camera read.
inline constexpr USHORT kNoFirmwareVariable = 0xFFFF;

struct SettingInfo {
  Setting Id;
  PCWSTR Name;
  ULONG Minimum;  // valid range, inclusive, as unsigned 32-bit
  ULONG Maximum;
  ULONG Default;             // when absent or out of range (fixed-default settings)
  USHORT FirmwareVariable;   // else: read this firmware variable from the camera
  ULONG MaskBit;             // SaveSettings writes the value when this bit is set
};

// Ranges and defaults; the image-control defaults equal those the property
// sets report.
inline constexpr std::array<SettingInfo, kSettingCount> kSettingsTable = {{
    {Setting::Brightness, kValueBrightness, 0, 255, 128, kNoFirmwareVariable, 0x1},
    {Setting::Contrast, kValueContrast, 0, 31, 0, kNoFirmwareVariable, 0x2},
    {Setting::Hue, kValueHue, 0, 719, 0, kNoFirmwareVariable, 0x4},
    {Setting::Saturation, kValueSaturation, 0, 63, 40, kNoFirmwareVariable, 0x8},
    {Setting::Sharpness, kValueSharpness, 0, 255, 2, kNoFirmwareVariable, 0x10},
    {Setting::Gamma, kValueGamma, 0, 9, 0, kNoFirmwareVariable, 0x20},
    {Setting::WhiteBalance, kValueWhiteBalance, 0, 20, 10, kNoFirmwareVariable, 0x40},
    {Setting::AutoExposure, kValueAutoExposure, 0, 1, 1, kNoFirmwareVariable, 0x80},
    {Setting::AutoWhiteBalance, kValueAutoWhiteBalance, 0, 1, 1, kNoFirmwareVariable, 0x100},
    {Setting::Flicker60, kValueFlicker60, 0, 1, 1, kNoFirmwareVariable, 0x2000},
    {Setting::FwAeawbSwitch, kValueFwAeawbSwitch, 0, 4, 4, kNoFirmwareVariable, 0x4000},
    {Setting::FwCurShutter, kValueFwCurShutter, 0, 4095, 0, 1, 0x8000},
    {Setting::FwCurAgc, kValueFwCurAgc, 0, 63, 0, 2, 0x10000},
    {Setting::FwMinAgc, kValueFwMinAgc, 0, 63, 0, 8, 0x20000},
    // Any value but the absence mark; the low 16 bits are kept.
    {Setting::FwRGain, kValueFwRGain, 0, 0xFFFFFFFE, 0, 4, 0x40000},
    {Setting::FwBGain, kValueFwBGain, 0, 0xFFFFFFFE, 0, 5, 0x80000},
    {Setting::FwAdjAgc, kValueFwAdjAgc, 0, 63, 0, 6, 0x100000},
    {Setting::FwMaxAgc, kValueFwMaxAgc, 0, 63, 0, 9, 0x200000},
    {Setting::ManualExposure, kValueManualExposure, 0, 63, 10, kNoFirmwareVariable, 0x400000},
}};

constexpr const SettingInfo& SettingInfoOf(Setting id) { return kSettingsTable[static_cast<size_t>(id)]; }

// Save masks of the callers.
inline constexpr ULONG kSaveBrightness = 0x1;
inline constexpr ULONG kSaveContrast = 0x2;
inline constexpr ULONG kSaveHue = 0x4;
inline constexpr ULONG kSaveSaturation = 0x8;
inline constexpr ULONG kSaveSharpness = 0x10;
inline constexpr ULONG kSaveGamma = 0x20;
inline constexpr ULONG kSaveWhiteBalance = 0x40;
inline constexpr ULONG kSaveAutoExposure = 0x80;
inline constexpr ULONG kSaveAutoWhiteBalance = 0x100;
inline constexpr ULONG kSaveFlicker60 = 0x2000;
inline constexpr ULONG kSaveManualExposure = 0x400000;
// The eight firmware words and "Manual_Exposure", saved when streaming ends.
inline constexpr ULONG kSaveParkedState = 0x7FC000;

// Order in which SaveSettings writes the selected values: bits 0-8, 13,
// 15-21, 14, 22. Fixed: other programs that read the key while it is being
// written see the values change in this order.
inline constexpr std::array<Setting, kSettingCount> kSaveOrder = {
    Setting::Brightness,   Setting::Contrast,  Setting::Hue,           Setting::Saturation,
    Setting::Sharpness,    Setting::Gamma,     Setting::WhiteBalance,  Setting::AutoExposure,
    Setting::AutoWhiteBalance, Setting::Flicker60, Setting::FwCurShutter, Setting::FwCurAgc,
    Setting::FwMinAgc,     Setting::FwRGain,   Setting::FwBGain,       Setting::FwAdjAgc,
    Setting::FwMaxAgc,     Setting::FwAeawbSwitch, Setting::ManualExposure,
};

// True when `value` lies in the setting's valid range.
constexpr bool SettingInRange(Setting id, ULONG value)
{
  const SettingInfo& info = SettingInfoOf(id);
  return value >= info.Minimum && value <= info.Maximum;
}

// The setting's field in the record, widened with zeros to 32 bits.
ULONG SettingValue(const DeviceContext* context, Setting id);
// Stores `value` into the setting's field (the low 16 bits for a firmware word).
void StoreSetting(DeviceContext* context, Setting id, ULONG value);

// Fills the settings fields of the record from the key, each value checked
// against its range; a firmware word with no usable value is read from the
// camera instead (a failed read keeps the field). The bus device object is
// not used. Always STATUS_SUCCESS.
NTSTATUS LoadSettings(PDEVICE_OBJECT busDeviceObject, DeviceContext* context);

// Writes the values selected by `mask` into the key as REG_DWORDs, in the
// order bits 0-8, 13, 15-21, 14, 22. Failed writes are ignored and the rest
// still written. Always STATUS_SUCCESS.
NTSTATUS SaveSettings(DeviceContext* context, ULONG mask);

}  // namespace dualcam::camera
