// The settings key is written by the control path of one device while
// another device loads it: each value must arrive whole, from one save or the
// other, and the two paths must not race on anything they share.
#include <array>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "camera/settings.h"
#include "camera_harness.h"

namespace dualcam::camera {
namespace {

class SettingsConcurrency : public testing::CameraHarness {};

void Fill(DeviceContext* ctx, bool second)
{
  ctx->Brightness = second ? 200 : 20;
  ctx->Contrast = second ? 30 : 3;
  ctx->Hue = second ? 700 : 7;
  ctx->Gamma = second ? 9 : 1;
  ctx->ManualExposure = second ? 60 : 6;
  ctx->FirmwareParams = second ? driver::FirmwareParamWords{0, 4000, 60, 61, 0x1FF, 0x2FF, 62, 63}
                               : driver::FirmwareParamWords{4, 40, 6, 7, 0x11, 0x22, 8, 9};
}

TEST_F(SettingsConcurrency, LoadWhileAnotherDeviceSavesSeesWholeValues)
{
  DeviceContext* writer = Context();
  Fill(writer, false);
  SaveSettings(writer, 0xFFFFFFFF);

  constexpr int kRounds = 60;
  std::thread saver([writer] {
    for (int i = 0; i < kRounds; ++i) {
      Fill(writer, i % 2 == 1);
      SaveSettings(writer, 0xFFFFFFFF);
    }
  });

  DeviceContext first{};
  DeviceContext second{};
  Fill(&first, false);
  Fill(&second, true);
  auto isOneOf = [&](Setting id, const DeviceContext& loaded) {
    const ULONG v = SettingValue(&loaded, id);
    return v == SettingValue(&first, id) || v == SettingValue(&second, id);
  };

  for (int i = 0; i < kRounds; ++i) {
    auto reader = std::make_unique<DeviceContext>();  // no camera behind it: every value comes from the key
    LoadSettings(nullptr, reader.get());
    for (Setting id : {Setting::Brightness, Setting::Contrast, Setting::Hue, Setting::Gamma, Setting::ManualExposure,
                       Setting::FwCurShutter, Setting::FwRGain, Setting::FwBGain, Setting::FwMaxAgc}) {
      EXPECT_TRUE(isOneOf(id, *reader)) << "setting " << static_cast<int>(id) << " round " << i;
    }
  }
  saver.join();
}

}  // namespace
}  // namespace dualcam::camera
