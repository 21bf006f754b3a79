// Settings store against the host registry and the simulated camera: the
// defaults of a missing key, the range check of every value, the camera
// reads that stand in for missing firmware words, values of the wrong type,
// and the write-back by mask.
#include "camera/settings.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "camera/registry_values.h"
#include "camera/vendor.h"
#include "camera_harness.h"

namespace dualcam::camera {
namespace {

using host::sim::RequestMatch;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::string FirmwareRead(USHORT variable, USHORT word)
{
  char line[64];
  std::snprintf(line, sizeof line, "in 30 v=0000 i=%04X n=2 -> %02X %02X", variable, word & 0xFF, word >> 8);
  return line;
}

class SettingsTest : public testing::CameraHarness {
 protected:
  void SetUp() override
  {
    CameraHarness::SetUp();
    // Firmware variables the camera answers with: 1 shutter, 2 gain, 4/5 gains, 6, 8, 9.
    const USHORT words[][2] = {{1, 1111}, {2, 22}, {4, 444}, {5, 555}, {6, 6}, {8, 8}, {9, 59}};
    for (const auto& w : words) Camera().SetFirmwareVariable(w[0], w[1]);
    ClearRequests();
  }

  // Every value the settings table knows, in range and unlike the defaults.
  void StoreAllValid()
  {
    SetDword(u"Brightness", 200);
    SetDword(u"Contrast", 31);
    SetDword(u"Hue", 719);
    SetDword(u"Saturation", 63);
    SetDword(u"Sharpness", 0);
    SetDword(u"Gamma", 9);
    SetDword(u"White Balance", 20);
    SetDword(u"Auto Exposure Enable", 0);
    SetDword(u"Auto White Balance Enable", 0);
    SetDword(u"Flicker60", 0);
    SetDword(u"Fw_AeawbSwitch", 0);
    SetDword(u"Fw_CurShutter", 4095);
    SetDword(u"Fw_CurAgc", 63);
    SetDword(u"Fw_MinAgc", 63);
    SetDword(u"Fw_RGain", 0x12345);
    SetDword(u"Fw_BGain", 0);
    SetDword(u"Fw_AdjAgc", 63);
    SetDword(u"Fw_MaxAgc", 63);
    SetDword(u"Manual_Exposure", 63);
  }

  void ExpectDefaults()
  {
    const DeviceContext* ctx = Context();
    EXPECT_EQ(ctx->Brightness, 128u);
    EXPECT_EQ(ctx->Contrast, 0u);
    EXPECT_EQ(ctx->Hue, 0u);
    EXPECT_EQ(ctx->Saturation, 40u);
    EXPECT_EQ(ctx->WhiteBalance, 10u);
    EXPECT_EQ(ctx->Sharpness, 2u);
    EXPECT_EQ(ctx->Gamma, 0u);
    EXPECT_EQ(ctx->AutoExposure, 1u);
    EXPECT_EQ(ctx->AutoWhiteBalance, 1u);
    EXPECT_EQ(ctx->Flicker60, 1u);
    EXPECT_EQ(ctx->FirmwareParams.FwAeawbSwitch, 4);
    EXPECT_EQ(ctx->ManualExposure, 10u);
  }

  // The seven camera reads that replace missing firmware words, in order.
  static std::vector<std::string> AllFirmwareReads()
  {
    return {FirmwareRead(1, 1111), FirmwareRead(2, 22), FirmwareRead(8, 8), FirmwareRead(4, 444),
            FirmwareRead(5, 555),  FirmwareRead(6, 6),  FirmwareRead(9, 59)};
  }
};

// ---- Load ------------------------------------------------------------------------

TEST_F(SettingsTest, MissingKeyGivesDefaultsAndReadsTheSevenWordsFromTheCamera)
{
  RemoveSettingsKey();
  EXPECT_EQ(LoadSettings(nullptr, Context()), STATUS_SUCCESS);

  ExpectDefaults();
  EXPECT_EQ(Requests(), AllFirmwareReads());
  const auto& fw = Context()->FirmwareParams;
  EXPECT_EQ(fw.FwCurShutter, 1111);
  EXPECT_EQ(fw.FwCurAgc, 22);
  EXPECT_EQ(fw.FwMinAgc, 8);
  EXPECT_EQ(fw.FwRGain, 444);
  EXPECT_EQ(fw.FwBGain, 555);
  EXPECT_EQ(fw.FwAdjAgc, 6);
  EXPECT_EQ(fw.FwMaxAgc, 59);
}

TEST_F(SettingsTest, EmptyKeyBehavesLikeAMissingOne)
{
  LoadSettings(nullptr, Context());
  ExpectDefaults();
  EXPECT_EQ(Requests(), AllFirmwareReads());
}

TEST_F(SettingsTest, ValidValuesAreTakenWithoutAskingTheCamera)
{
  StoreAllValid();
  LoadSettings(nullptr, Context());

  const DeviceContext* ctx = Context();
  EXPECT_EQ(ctx->Brightness, 200u);
  EXPECT_EQ(ctx->Contrast, 31u);
  EXPECT_EQ(ctx->Hue, 719u);
  EXPECT_EQ(ctx->Saturation, 63u);
  EXPECT_EQ(ctx->Sharpness, 0u);
  EXPECT_EQ(ctx->Gamma, 9u);
  EXPECT_EQ(ctx->WhiteBalance, 20u);
  EXPECT_EQ(ctx->AutoExposure, 0u);
  EXPECT_EQ(ctx->AutoWhiteBalance, 0u);
  EXPECT_EQ(ctx->Flicker60, 0u);
  EXPECT_EQ(ctx->FirmwareParams.FwAeawbSwitch, 0);
  EXPECT_EQ(ctx->FirmwareParams.FwCurShutter, 4095);
  EXPECT_EQ(ctx->FirmwareParams.FwCurAgc, 63);
  EXPECT_EQ(ctx->FirmwareParams.FwMinAgc, 63);
  EXPECT_EQ(ctx->FirmwareParams.FwRGain, 0x2345);  // low 16 bits of any value
  EXPECT_EQ(ctx->FirmwareParams.FwBGain, 0);
  EXPECT_EQ(ctx->FirmwareParams.FwAdjAgc, 63);
  EXPECT_EQ(ctx->FirmwareParams.FwMaxAgc, 63);
  EXPECT_EQ(ctx->ManualExposure, 63u);
  EXPECT_THAT(Requests(), IsEmpty());
}

TEST_F(SettingsTest, OutOfRangeValuesFallBackOneByOne)
{
  StoreAllValid();
  SetDword(u"Brightness", 256);
  SetDword(u"Hue", 720);
  SetDword(u"Gamma", 10);
  SetDword(u"Auto Exposure Enable", 2);
  SetDword(u"Manual_Exposure", 64);
  SetDword(u"Fw_CurShutter", 4096);
  SetDword(u"Fw_BGain", 0xFFFFFFFF);
  SetDword(u"Fw_MinAgc", 64);
  SetDword(u"Fw_MaxAgc", 64);

  LoadSettings(nullptr, Context());

  const DeviceContext* ctx = Context();
  EXPECT_EQ(ctx->Brightness, 128u);
  EXPECT_EQ(ctx->Hue, 0u);
  EXPECT_EQ(ctx->Gamma, 0u);
  EXPECT_EQ(ctx->AutoExposure, 1u);
  EXPECT_EQ(ctx->ManualExposure, 10u);
  // Neighbours keep their stored values.
  EXPECT_EQ(ctx->Contrast, 31u);
  EXPECT_EQ(ctx->AutoWhiteBalance, 0u);
  EXPECT_EQ(ctx->FirmwareParams.FwRGain, 0x2345);
  EXPECT_EQ(ctx->FirmwareParams.FwCurAgc, 63);
  EXPECT_EQ(ctx->FirmwareParams.FwAdjAgc, 63);
  // Only the unusable words were read, in the fixed order.
  EXPECT_THAT(Requests(), ElementsAre(FirmwareRead(1, 1111), FirmwareRead(8, 8), FirmwareRead(5, 555),
                                      FirmwareRead(9, 59)));
  EXPECT_EQ(ctx->FirmwareParams.FwCurShutter, 1111);
  EXPECT_EQ(ctx->FirmwareParams.FwBGain, 555);
  EXPECT_EQ(ctx->FirmwareParams.FwMinAgc, 8);
  EXPECT_EQ(ctx->FirmwareParams.FwMaxAgc, 59);

  // The other half of the bounds: gains above 63, the switch word above 4,
  // the enable flags at 2.
  StoreAllValid();
  SetDword(u"Fw_CurAgc", 64);
  SetDword(u"Fw_AdjAgc", 64);
  SetDword(u"Fw_AeawbSwitch", 5);
  SetDword(u"Auto White Balance Enable", 2);
  SetDword(u"Flicker60", 2);
  ClearRequests();
  LoadSettings(nullptr, Context());
  EXPECT_THAT(Requests(), ElementsAre(FirmwareRead(2, 22), FirmwareRead(6, 6)));
  EXPECT_EQ(ctx->FirmwareParams.FwCurAgc, 22);
  EXPECT_EQ(ctx->FirmwareParams.FwAdjAgc, 6);
  EXPECT_EQ(ctx->FirmwareParams.FwAeawbSwitch, 4);
  EXPECT_EQ(ctx->AutoWhiteBalance, 1u);
  EXPECT_EQ(ctx->Flicker60, 1u);
}

TEST_F(SettingsTest, HighBitValuesAreOutOfRangeForEveryRangedSetting)
{
  for (const SettingInfo& info : kSettingsTable) {
    SetDword(info.Name, 0x80000000);
  }
  LoadSettings(nullptr, Context());

  ExpectDefaults();
  // The two gains accept any value but the absence mark.
  EXPECT_EQ(Context()->FirmwareParams.FwRGain, 0);
  EXPECT_EQ(Context()->FirmwareParams.FwBGain, 0);
  EXPECT_THAT(Requests(), ElementsAre(FirmwareRead(1, 1111), FirmwareRead(2, 22), FirmwareRead(8, 8),
                                      FirmwareRead(6, 6), FirmwareRead(9, 59)));
}

TEST_F(SettingsTest, ValuesOfAnotherTypeCountAsAbsentAndSpoilNothingElse)
{
  StoreAllValid();
  SetString(u"Brightness", u"bright");
  SetBinary(u"Fw_CurAgc", {1, 2, 3, 4});
  SetString(u"Sharpness", u"a string much longer than a 32-bit cell could ever hold .......");

  LoadSettings(nullptr, Context());

  const DeviceContext* ctx = Context();
  EXPECT_EQ(ctx->Brightness, 128u);
  EXPECT_EQ(ctx->Sharpness, 2u);
  EXPECT_THAT(Requests(), ElementsAre(FirmwareRead(2, 22)));
  EXPECT_EQ(ctx->FirmwareParams.FwCurAgc, 22);
  // Values after the mistyped ones in the query are still taken.
  EXPECT_EQ(ctx->Gamma, 9u);
  EXPECT_EQ(ctx->Flicker60, 0u);
  EXPECT_EQ(ctx->FirmwareParams.FwMaxAgc, 63);
  EXPECT_EQ(ctx->ManualExposure, 63u);
}

TEST_F(SettingsTest, FailedCameraReadKeepsTheFieldAsItWas)
{
  DeviceContext* ctx = Context();
  ctx->FirmwareParams.FwMinAgc = 17;
  ctx->FirmwareParams.FwRGain = 300;
  Camera().FailRequests(RequestMatch{true, 0x30, 8}, STATUS_DEVICE_DATA_ERROR);
  Camera().FailRequests(RequestMatch{true, 0x30, 4}, STATUS_UNSUCCESSFUL);

  LoadSettings(nullptr, ctx);

  EXPECT_EQ(ctx->FirmwareParams.FwMinAgc, 17);
  EXPECT_EQ(ctx->FirmwareParams.FwRGain, 300);
  EXPECT_EQ(ctx->FirmwareParams.FwCurAgc, 22);  // the other reads still went out
  EXPECT_EQ(Requests().size(), 7u);
}

// ---- Save ------------------------------------------------------------------------

TEST_F(SettingsTest, SaveWritesExactlyTheValuesOfTheMask)
{
  DeviceContext* ctx = Context();
  ctx->Brightness = 1;
  ctx->Contrast = 2;
  ctx->Hue = 3;
  ctx->Saturation = 4;
  ctx->Sharpness = 5;
  ctx->Gamma = 6;
  ctx->WhiteBalance = 7;
  ctx->AutoExposure = 8;
  ctx->AutoWhiteBalance = 9;
  ctx->Flicker60 = 7;  // any value a caller stored is written as it is
  ctx->ManualExposure = 12;
  ctx->FirmwareParams = {4, 0xFFFF, 21, 22, 23, 24, 25, 26};

  EXPECT_EQ(SaveSettings(ctx, 0), STATUS_SUCCESS);
  EXPECT_THAT(ValueNames(), IsEmpty());

  // Unused bits select nothing.
  SaveSettings(ctx, 0x1E00u | 0xFF800000u);
  EXPECT_THAT(ValueNames(), IsEmpty());

  SaveSettings(ctx, 0x7FC000);
  EXPECT_THAT(ValueNames(), UnorderedElementsAre(u"Fw_AeawbSwitch", u"Fw_CurShutter", u"Fw_CurAgc", u"Fw_MinAgc",
                                                 u"Fw_RGain", u"Fw_BGain", u"Fw_AdjAgc", u"Fw_MaxAgc",
                                                 u"Manual_Exposure"));
  // The order SaveSettings writes them in: the words of bits 15-21, then
  // the switch word (bit 14), then the manual exposure (bit 22).
  std::vector<std::u16string> order;
  for (const Setting id : kSaveOrder) {
    if ((SettingInfoOf(id).MaskBit & 0x7FC000) != 0) order.emplace_back(SettingInfoOf(id).Name);
  }
  EXPECT_THAT(order, ElementsAre(u"Fw_CurShutter", u"Fw_CurAgc", u"Fw_MinAgc", u"Fw_RGain", u"Fw_BGain",
                                 u"Fw_AdjAgc", u"Fw_MaxAgc", u"Fw_AeawbSwitch", u"Manual_Exposure"));
  EXPECT_EQ(Dword(u"Fw_CurShutter"), 0xFFFFu);  // widened with zeros
  EXPECT_EQ(Dword(u"Fw_MaxAgc"), 26u);
  EXPECT_EQ(Dword(u"Manual_Exposure"), 12u);

  SaveSettings(ctx, 0x4 | 0x2000);
  EXPECT_EQ(Dword(u"Hue"), 3u);
  EXPECT_EQ(Dword(u"Flicker60"), 7u);
  EXPECT_FALSE(Dword(u"Brightness").has_value());

  SaveSettings(ctx, 0x1FF);
  const std::vector<std::pair<std::u16string, uint32_t>> imageBits = {
      {u"Brightness", 1}, {u"Contrast", 2}, {u"Saturation", 4}, {u"Sharpness", 5}, {u"Gamma", 6},
      {u"White Balance", 7}, {u"Auto Exposure Enable", 8}, {u"Auto White Balance Enable", 9}};
  for (const auto& [name, value] : imageBits) EXPECT_EQ(Dword(name), value) << std::string(name.begin(), name.end());
  EXPECT_EQ(ValueNames().size(), kSettingCount);
}

TEST_F(SettingsTest, SavedSettingsLoadBackUnchanged)
{
  DeviceContext* ctx = Context();
  ctx->Brightness = 17;
  ctx->Contrast = 30;
  ctx->Hue = 500;
  ctx->Saturation = 1;
  ctx->Sharpness = 254;
  ctx->Gamma = 3;
  ctx->WhiteBalance = 0;
  ctx->AutoExposure = 0;
  ctx->AutoWhiteBalance = 1;
  ctx->Flicker60 = 0;
  ctx->ManualExposure = 33;
  ctx->FirmwareParams = {3, 4000, 60, 2, 0xFFFF, 7, 9, 63};
  const driver::FirmwareParamWords saved = ctx->FirmwareParams;

  SaveSettings(ctx, 0xFFFFFFFF);

  // Scramble the record; every field must come back from the key alone.
  ctx->Brightness = ctx->Hue = ctx->WhiteBalance = ctx->AutoExposure = ctx->ManualExposure = 99;
  ctx->FirmwareParams = {};
  LoadSettings(nullptr, ctx);
  EXPECT_EQ(ctx->Brightness, 17u);
  EXPECT_EQ(ctx->Hue, 500u);
  EXPECT_EQ(ctx->WhiteBalance, 0u);
  EXPECT_EQ(ctx->AutoExposure, 0u);
  EXPECT_EQ(ctx->ManualExposure, 33u);
  EXPECT_EQ(std::memcmp(&ctx->FirmwareParams, &saved, sizeof saved), 0);
  EXPECT_THAT(Requests(), IsEmpty());
}

TEST_F(SettingsTest, SaveWithoutTheKeyFailsQuietly)
{
  RemoveSettingsKey();
  EXPECT_EQ(SaveSettings(Context(), 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_NE(WriteSettingsDword(u"Brightness", 1), STATUS_SUCCESS);
  InstallSettingsKey();
  EXPECT_THAT(ValueNames(), IsEmpty());
}

TEST_F(SettingsTest, ReadSettingsDwordLeavesTheCallersValueWhenNothingUsableIsThere)
{
  ULONG value = 42;
  EXPECT_FALSE(NT_SUCCESS(ReadSettingsDword(u"SnapShoot", &value)));
  EXPECT_EQ(value, 42u);
  SetString(u"SnapShoot", u"1");
  EXPECT_FALSE(NT_SUCCESS(ReadSettingsDword(u"SnapShoot", &value)));
  EXPECT_EQ(value, 42u);
  SetDword(u"SnapShoot", 1);
  EXPECT_EQ(ReadSettingsDword(u"SnapShoot", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  RemoveSettingsKey();
  EXPECT_FALSE(NT_SUCCESS(ReadSettingsDword(u"SnapShoot", &value)));
  EXPECT_EQ(value, 1u);
}

}  // namespace
}  // namespace dualcam::camera
