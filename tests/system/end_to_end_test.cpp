// End to end, per output kind and size: a camera streams through the loaded
// driver; image controls changed while it runs show in the pictures; a still
// is taken through the still-capture property and through the camera's
// button; after close the settings key holds the new values and the next
// camera's first capture starts with them.
#include <filesystem>

#include <gtest/gtest.h>

#include "camera/button.h"
#include "camera/extension_properties.h"
#include "host/sim/sim_camera.h"
#include "system/system_world.h"

namespace dualcam::system::testing {
namespace {

struct Case {
  DWORD Compression;
  LONG Width;
  LONG Height;
};

std::string Name(const ::testing::TestParamInfo<Case>& info) {
  const char* kind = info.param.Compression == kI420 ? "I420" : info.param.Compression == kVqj9 ? "VQJ9" : "RGB24";
  return std::string(kind) + "_" + std::to_string(info.param.Width) + "x" + std::to_string(info.param.Height);
}

class EndToEnd : public SystemWorld, public ::testing::WithParamInterface<Case> {
 protected:
  // Fixed exposure and white balance, so that only the controls under test
  // move the picture (the firmware's automatic loops would drift it).
  static void HoldAutomaticControls(host::CaptureCamera& camera) {
    ASSERT_EQ(camera.SetControl(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, 10,
                                KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL),
              STATUS_SUCCESS);
    ASSERT_EQ(camera.SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 10,
                                KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL),
              STATUS_SUCCESS);
  }

  // The last of `count` pictures, measured; every one must be whole.
  PictureStats Settled(host::CaptureStream& stream, host::CaptureCamera& camera, unsigned count = 3) {
    const Case& c = GetParam();
    const auto pictures = stream.Read(count);
    EXPECT_EQ(pictures.size(), count);
    for (const auto& picture : pictures) {
      EXPECT_EQ(picture.Status, STATUS_SUCCESS);
      if (c.Compression == kVqj9) {
        EXPECT_GT(picture.BytesUsed, 174u + 13u);
        EXPECT_LE(picture.BytesUsed, picture.Bytes.size());
      } else {
        EXPECT_EQ(picture.BytesUsed, stream.Format().DataFormat.SampleSize);
      }
    }
    if (pictures.empty()) return {};
    last_ = pictures.back().Bytes;
    last_.resize(pictures.back().BytesUsed);
    const auto stats = Measure(last_, c.Compression, c.Width, c.Height, camera.Camera());
    EXPECT_TRUE(stats.has_value());
    return stats.value_or(PictureStats{});
  }

  // CAMEXT_STILL_CAPTURE: the camera is pumped while the handler waits.
  ULONG StillThroughProperty(host::CaptureCamera& camera) {
    std::vector<uint8_t> buffer(camera::kExtensionBufferSize);
    KSPROPERTY property{camera::PROPSETID_CAMERA_EXTENSION, camera::CAMEXT_STILL_CAPTURE, KSPROPERTY_TYPE_GET};
    std::memcpy(buffer.data(), &property, sizeof property);
    Kernel().clock().SetDelayHook([&](LONGLONG) { camera.Device().Pump(2); });
    const host::RequestOutcome outcome = camera.Property(false, buffer);
    Kernel().clock().SetDelayHook(nullptr);
    EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
    ULONG delivered = 0;
    std::memcpy(&delivered, buffer.data() + camera::kExtValueOffset, 4);
    bool anyData = false;
    for (std::size_t i = 0; i < camera::kExtDataSize; ++i) anyData |= buffer[camera::kExtDataOffset + i] != 0;
    EXPECT_TRUE(anyData || delivered == 0);
    return delivered;
  }

  std::vector<uint8_t> last_;
};

TEST_P(EndToEnd, ControlsShowInThePicturesStillsArriveAndSettingsCarryOver) {
  const Case c = GetParam();
  auto camera = Attach();
  ASSERT_TRUE(camera);
  HoldAutomaticControls(*camera);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto stream = camera->OpenStream(Format(*camera, c.Compression, c.Width, c.Height), &status);
  ASSERT_TRUE(stream) << std::hex << status;
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  Settled(*stream, *camera, 6);  // a burst
  const PictureStats base = Settled(*stream, *camera);

  // Brightness lifts the mean.
  ASSERT_EQ(camera->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 200),
            STATUS_SUCCESS);
  const PictureStats bright = Settled(*stream, *camera);
  EXPECT_GT(bright.Luma, base.Luma + 10);

  // Contrast widens the spread.
  ASSERT_EQ(camera->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 31), STATUS_SUCCESS);
  const PictureStats contrasty = Settled(*stream, *camera);
  EXPECT_GT(contrasty.Spread, bright.Spread * 1.2);

  // Gamma is the driver's own tone curve: it lifts the rendered mid-tones;
  // a pass-through sample carries the setting for whoever renders it.
  ASSERT_EQ(camera->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, 5), STATUS_SUCCESS);
  const PictureStats toned = Settled(*stream, *camera);
  if (c.Compression == kVqj9) {
    ASSERT_GT(last_.size(), 9u);
    EXPECT_EQ(last_[9], 5);
  } else {
    EXPECT_GT(toned.Luma, contrasty.Luma + 5);
  }

  // A warmer white balance raises red against blue.
  ASSERT_EQ(camera->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 20,
                               KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL),
            STATUS_SUCCESS);
  const PictureStats warm = Settled(*stream, *camera);
  EXPECT_GT(warm.RedMinusBlue, toned.RedMinusBlue + 2);

  // A still through the property, then through the button.
  EXPECT_EQ(StillThroughProperty(*camera), camera::kExtDataSize);
  Settled(*stream, *camera);  // the camera is back at the video size

  SetDword("SnapShot", 0);
  camera->Camera().PressButton();
  std::optional<uint32_t> result;
  for (int cycle = 0; cycle < 8 && result != 1u; ++cycle) {
    Kernel().workQueue().RunNext();  // one poll
    stream->Read(2);
    result = Dword("SnapShot");
  }
  EXPECT_EQ(Dword("TimerTrigger"), 1u);
  EXPECT_EQ(result, 1u);
  const auto snapshot = SnapshotFolder() / "snapraw.dat";
  ASSERT_TRUE(std::filesystem::exists(snapshot));
  EXPECT_EQ(std::filesystem::file_size(snapshot), camera::kSnapshotFileSize);
  Settled(*stream, *camera);

  const uint16_t brightnessRegister = camera->Camera().Register(host::sim::kRegBrightness);
  const uint16_t contrastRegister = camera->Camera().Register(host::sim::kRegContrast);
  ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(stream->Close(), STATUS_SUCCESS);
  EXPECT_EQ(Dword("DriverStatus"), 7u);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(Dword("Brightness"), 200u);
  EXPECT_EQ(Dword("Contrast"), 31u);
  EXPECT_EQ(Dword("Gamma"), 5u);
  EXPECT_EQ(Dword("White Balance"), 20u);
  stream.reset();
  ASSERT_EQ(camera->Uninitialize(), STATUS_SUCCESS);
  camera.reset();

  // The next camera starts with the stored settings.
  auto next = Attach();
  ASSERT_TRUE(next);
  EXPECT_EQ(Ctx(*next)->Brightness, 200u);
  EXPECT_EQ(Ctx(*next)->Contrast, 31u);
  EXPECT_EQ(Ctx(*next)->Gamma, 5u);
  EXPECT_EQ(Ctx(*next)->WhiteBalance, 20u);
  auto again = next->OpenStream(Format(*next, c.Compression, c.Width, c.Height), &status);
  ASSERT_TRUE(again);
  ASSERT_EQ(again->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const PictureStats first = Settled(*again, *next, 2);
  EXPECT_EQ(next->Camera().Register(host::sim::kRegBrightness), brightnessRegister);
  EXPECT_EQ(next->Camera().Register(host::sim::kRegContrast), contrastRegister);
  EXPECT_EQ(Ctx(*next)->ProcessingOptions.ToneCurveIndex, 5);
  EXPECT_GT(first.Luma, base.Luma + 10);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, EndToEnd,
                         ::testing::Values(Case{kI420, 320, 240}, Case{kI420, 352, 288}, Case{kI420, 176, 144},
                                           Case{kI420, 160, 120}, Case{kRgb24, 352, 288}, Case{kRgb24, 320, 240},
                                           Case{kRgb24, 176, 144}, Case{kRgb24, 160, 120}, Case{kVqj9, 352, 288},
                                           Case{kVqj9, 320, 240}, Case{kVqj9, 176, 144}, Case{kVqj9, 160, 120}),
                         Name);

}  // namespace
}  // namespace dualcam::system::testing
