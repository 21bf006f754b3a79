// One REG_DWORD in the settings key, written and read.
//
// Hard part: the direct query writes straight into a 32-bit cell, so the
// read goes through a private cell preset to the absence mark; the caller's
// variable changes only when a number actually arrived.
#include "camera/registry_values.h"

#include "camera/settings.h"

namespace dualcam::camera {

NTSTATUS WriteSettingsDword(PCWSTR valueName, ULONG value)
{
  ULONG data = value;
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSettingsKeyPath, valueName, REG_DWORD, &data,
                               sizeof(data));
}

NTSTATUS ReadSettingsDword(PCWSTR valueName, ULONG* value)
{
  ULONG cell = kValueAbsent;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(valueName);  // the query only reads the name
  table[0].EntryContext = &cell;
  table[0].DefaultType = REG_NONE;
  const NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSettingsKeyPath, table, nullptr, nullptr);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (cell == kValueAbsent) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *value = cell;
  return STATUS_SUCCESS;
}

}  // namespace dualcam::camera
