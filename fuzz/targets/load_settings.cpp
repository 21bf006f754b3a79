// Fuzz target: the settings load. The settings key is filled with any values
// under the settings' own names, the mailbox names and other names, of any
// type and length, then the record is loaded from it.
//
// Hard part: the oracle. A value is usable only as a REG_DWORD of four
// bytes, other than the absence mark, inside its setting's range; then the
// field must hold it (a firmware word its low 16 bits). A fixed-default
// setting with no usable value must hold its default; a firmware word with
// none is read from the camera, which the target does not predict. Any
// other outcome means one bad value disturbed another.
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "camera/settings.h"
#include "fuzz_support.h"
#include "host/kernel/registry.h"
#include "host/kernel/wide.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace camera;

constexpr const char* kName = "load_settings";
constexpr const char* kOtherNames[] = {"DriverStatus", "IsoMode", "BulkMode", "TimerTrigger", "SnapShoot",
                                       "SnapShot", "StillShot", "StillShoot", "VCR", "brightness", "GAMMA",
                                       "", "Fw_CurAgc ", "Manual_Exposure\x01"};
constexpr ULONG kTypes[] = {REG_DWORD, REG_SZ, REG_BINARY, REG_NONE, REG_EXPAND_SZ, REG_MULTI_SZ, 11 /* QWORD */};

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

int FuzzLoadSettings(const uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  world.ClearSettingsKey();
  host::Registry& registry = world.Kernel().registry();
  FuzzInput in(data, size);

  // What was last written under each setting's exact name.
  std::optional<host::RegistryValue> written[kSettingCount];
  const unsigned count = in.U8() % 40;
  for (unsigned i = 0; i < count && in.Left() > 0; ++i) {
    const unsigned pick = in.Pick(kSettingCount + 14);
    std::string name;
    int setting = -1;
    if (pick < kSettingCount) {
      name = host::Utf16ToUtf8(kSettingsTable[pick].Name);
    } else {
      name = kOtherNames[pick - kSettingCount];
    }
    // Value names are case-insensitive: "GAMMA" is Gamma.
    for (std::size_t k = 0; k < kSettingCount; ++k)
      if (SameName(name, host::Utf16ToUtf8(kSettingsTable[k].Name))) setting = static_cast<int>(k);
    host::RegistryValue value;
    const unsigned form = in.Pick(4);
    if (form < 2) {
      // A DWORD: near the range's ends, the absence mark, or anything.
      uint32_t v = in.U32();
      if (setting >= 0 && form == 0) {
        const SettingInfo& info = kSettingsTable[setting];
        const uint32_t around[] = {info.Minimum, info.Maximum, info.Maximum + 1, info.Default, kValueAbsent};
        v = around[v % 5] + (in.Flag() ? 0 : static_cast<int8_t>(in.U8()));
      }
      value = host::RegistryValue::Dword(v);
    } else {
      value.Type = kTypes[in.Pick(sizeof kTypes / sizeof kTypes[0])];
      const auto bytes = in.Take(in.U8() % 24);
      value.Data.assign(bytes.begin(), bytes.end());
    }
    if (registry.SetValue(host::kSettingsKeyPath, name, value) == STATUS_SUCCESS && setting >= 0)
      written[setting] = value;
  }

  driver::DeviceContext* ctx = world.FreshContext();
  // Fields start with noise, as a record reloaded mid-service would hold.
  for (std::size_t i = 0; i < kSettingCount; ++i) StoreSetting(ctx, kSettingsTable[i].Id, in.U32());
  const host::PoolUsage before = world.PoolNow();
  Check(LoadSettings(nullptr, ctx) == STATUS_SUCCESS, kName, "LoadSettings did not succeed");
  CheckPoolBalanced(before, kName);

  for (std::size_t i = 0; i < kSettingCount; ++i) {
    const SettingInfo& info = kSettingsTable[i];
    const ULONG field = SettingValue(ctx, info.Id);
    const bool firmware = info.FirmwareVariable != kNoFirmwareVariable;
    std::optional<uint32_t> usable;
    if (written[i] && written[i]->Type == REG_DWORD && written[i]->Data.size() == 4) {
      uint32_t v;
      std::memcpy(&v, written[i]->Data.data(), 4);
      if (v != kValueAbsent && SettingInRange(info.Id, v)) usable = v;
    } else if (written[i] && written[i]->Type == REG_DWORD) {
      continue;  // a DWORD of another length: either reading is defensible
    }
    if (usable) {
      Check(field == (firmware ? (*usable & 0xFFFFu) : *usable), kName, "a usable value was not taken");
    } else if (!firmware) {
      Check(field == info.Default, kName, "a setting without a usable value did not get its default");
    }
    if (!firmware) Check(SettingInRange(info.Id, field), kName, "a setting left out of its range");
  }
  return 0;
}

}  // namespace dualcam::fuzz
