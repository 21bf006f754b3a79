// One REG_DWORD in the settings key: the write and the read that the
// settings store, the status reports, the button mailbox and the private
// property sets all use.
//
// Hard part: a value may be missing, or left by other software with another
// type. A read therefore goes through a private cell preset to the absence
// mark and touches the caller's variable only when a real 32-bit number came
// back.
#pragma once

#include "platform/kernel.h"
#include "platform/ntstatus.h"

namespace dualcam::camera {

// RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, settings key, name, REG_DWORD,
// 4 bytes). Returns the platform's status; most callers ignore it.
NTSTATUS WriteSettingsDword(PCWSTR valueName, ULONG value);

// Reads one value of the settings key. On success *value holds it; when the
// key or value is missing, or the value is not a REG_DWORD, *value is left
// as it was and a failure status is returned.
NTSTATUS ReadSettingsDword(PCWSTR valueName, ULONG* value);

}  // namespace dualcam::camera
