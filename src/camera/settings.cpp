// The settings store: load of the settings key into the device record with
// range checks and defaults, and write-back by mask.
//
// Hard part: the key is a shared mailbox that other software edits. A value
// may be missing, out of range, or not a 32-bit number at all; each is judged
// on its own. The query runs once for all nineteen values, and should that
// call stop early (a value of the wrong type ends a direct query on the
// platform), the values it did not reach are asked for one by one, so one bad
// value costs only its own setting.
#include "camera/settings.h"

#include "camera/registry_values.h"
#include "camera/vendor.h"

namespace dualcam::camera {
namespace {

// Order of the entries of the one registry query.
constexpr std::array<Setting, kSettingCount> kQueryOrder = {
    Setting::AutoExposure,  Setting::AutoWhiteBalance, Setting::Brightness, Setting::Contrast,
    Setting::Hue,           Setting::Saturation,       Setting::WhiteBalance, Setting::Sharpness,
    Setting::Gamma,         Setting::Flicker60,        Setting::FwAeawbSwitch, Setting::FwCurShutter,
    Setting::FwCurAgc,      Setting::FwMinAgc,         Setting::FwRGain,    Setting::FwBGain,
    Setting::FwAdjAgc,      Setting::FwMaxAgc,         Setting::ManualExposure,
};

// Settings that take a fixed default, in the order they are stored.
constexpr std::array<Setting, 11> kFixedDefaultOrder = {
    Setting::Brightness,   Setting::Contrast,         Setting::Hue,       Setting::Saturation,
    Setting::WhiteBalance, Setting::Sharpness,        Setting::Gamma,     Setting::AutoExposure,
    Setting::AutoWhiteBalance, Setting::Flicker60,    Setting::FwAeawbSwitch,
};

// Firmware words that fall back to a camera read, in the order the reads go out.
constexpr std::array<Setting, 7> kFirmwareReadOrder = {
    Setting::FwCurShutter, Setting::FwCurAgc, Setting::FwMinAgc, Setting::FwRGain,
    Setting::FwBGain,      Setting::FwAdjAgc, Setting::FwMaxAgc,
};

// The record field behind a firmware-word setting, or null. Templated so
// that the const and non-const records share one table.
template <typename Context>
auto FirmwareWord(Context* context, Setting id) -> decltype(&context->FirmwareParams.FwAeawbSwitch)
{
  auto& fw = context->FirmwareParams;
  switch (id) {
    case Setting::FwAeawbSwitch: return &fw.FwAeawbSwitch;
    case Setting::FwCurShutter: return &fw.FwCurShutter;
    case Setting::FwCurAgc: return &fw.FwCurAgc;
    case Setting::FwMinAgc: return &fw.FwMinAgc;
    case Setting::FwRGain: return &fw.FwRGain;
    case Setting::FwBGain: return &fw.FwBGain;
    case Setting::FwAdjAgc: return &fw.FwAdjAgc;
    case Setting::FwMaxAgc: return &fw.FwMaxAgc;
    default: return nullptr;
  }
}

// The record field behind a 32-bit setting, or null.
template <typename Context>
auto SettingField(Context* context, Setting id) -> decltype(&context->Brightness)
{
  switch (id) {
    case Setting::Brightness: return &context->Brightness;
    case Setting::Contrast: return &context->Contrast;
    case Setting::Hue: return &context->Hue;
    case Setting::Saturation: return &context->Saturation;
    case Setting::Sharpness: return &context->Sharpness;
    case Setting::Gamma: return &context->Gamma;
    case Setting::WhiteBalance: return &context->WhiteBalance;
    case Setting::AutoExposure: return &context->AutoExposure;
    case Setting::AutoWhiteBalance: return &context->AutoWhiteBalance;
    case Setting::Flicker60: return &context->Flicker60;
    case Setting::ManualExposure: return &context->ManualExposure;
    default: return nullptr;
  }
}

// Queries every setting of the key into cells[i] (indexed by Setting), each
// preset to the absence mark.
void QuerySettings(std::array<ULONG, kSettingCount>& cells)
{
  cells.fill(kValueAbsent);

  std::array<RTL_QUERY_REGISTRY_TABLE, kSettingCount + 1> table = {};  // zero entry ends it
  for (size_t i = 0; i < kSettingCount; ++i) {
    const Setting id = kQueryOrder[i];
    table[i].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[i].Name = const_cast<PWSTR>(SettingInfoOf(id).Name);  // the query only reads names
    table[i].EntryContext = &cells[static_cast<size_t>(id)];
    table[i].DefaultType = REG_NONE;
  }
  const NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSettingsKeyPath, table.data(),
                                                 nullptr, nullptr);
  if (NT_SUCCESS(status)) {
    return;
  }
  // The call stopped early (a mistyped value, or no key at all). Ask again
  // value by value for those it left absent; a missing key fails each one
  // and the cells keep the absence mark.
  for (const Setting id : kQueryOrder) {
    ULONG& cell = cells[static_cast<size_t>(id)];
    if (cell == kValueAbsent) {
      ReadSettingsDword(SettingInfoOf(id).Name, &cell);
    }
  }
}

}  // namespace

ULONG SettingValue(const DeviceContext* context, Setting id)
{
  if (const USHORT* word = FirmwareWord(context, id)) {
    return *word;
  }
  if (const auto* field = SettingField(context, id)) {
    return *field;
  }
  return 0;
}

void StoreSetting(DeviceContext* context, Setting id, ULONG value)
{
  if (USHORT* word = FirmwareWord(context, id)) {
    *word = static_cast<USHORT>(value & 0xFFFF);
  } else if (auto* field = SettingField(context, id)) {
    *field = value;
  }
}

NTSTATUS LoadSettings(PDEVICE_OBJECT /*busDeviceObject*/, DeviceContext* context)
{
  std::array<ULONG, kSettingCount> cells;
  QuerySettings(cells);
  auto cellOf = [&cells](Setting id) { return cells[static_cast<size_t>(id)]; };

  for (const Setting id : kFixedDefaultOrder) {
    const ULONG cell = cellOf(id);
    StoreSetting(context, id, SettingInRange(id, cell) ? cell : SettingInfoOf(id).Default);
  }

  for (const Setting id : kFirmwareReadOrder) {
    const ULONG cell = cellOf(id);
    if (SettingInRange(id, cell)) {
      StoreSetting(context, id, cell);
    } else {
      // No usable value: ask the camera. A failed read keeps the field.
      ReadFirmwareVariable(context, SettingInfoOf(id).FirmwareVariable, FirmwareWord(context, id));
    }
  }

  const ULONG manual = cellOf(Setting::ManualExposure);
  StoreSetting(context, Setting::ManualExposure,
               SettingInRange(Setting::ManualExposure, manual) ? manual
                                                               : SettingInfoOf(Setting::ManualExposure).Default);
  return STATUS_SUCCESS;
}

NTSTATUS SaveSettings(DeviceContext* context, ULONG mask)
{
  for (const Setting id : kSaveOrder) {
    const SettingInfo& info = SettingInfoOf(id);
    if ((mask & info.MaskBit) != 0) {
      WriteSettingsDword(info.Name, SettingValue(context, id));  // failures ignored: best effort
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace dualcam::camera
