// End to end through the host: the simulated camera streams through the
// camera class library into the driver's packet and frame routines, and the
// pictures that come out are compared with the sensor's own picture.
//
// The frame context written at a frame-start packet belongs to the frame
// that the packet ends, so a picture whose context carries counter n shows
// the camera's frame n - 1.
#include <string>

#include <gtest/gtest.h>

#include "pipeline/render.h"
#include "stream_harness.h"
#include "host/sim/scene.h"
#include "support/picture_io.h"
#include "support/test_data.h"

namespace dualcam::framepath::testing {
namespace {

using pipeline::kCompressionRgb;
using pipeline::kFourccI420;


std::string Describe(const CaptureFormat& f) {
  return std::to_string(f.Width) + "x" + std::to_string(f.Height) +
         (f.Compression == kCompressionRgb ? " RGB24" : " I420") + " alt " + std::to_string(f.AlternateSetting);
}

std::shared_ptr<const host::sim::Scene> Photo() {
  static const std::shared_ptr<const host::sim::Scene> photo = [] {
    std::string error;
    auto scene = host::sim::PhotoScene::Load(dualcam::testing::TestDataPath("kodim15_640x480.png"), &error);
    EXPECT_NE(scene, nullptr) << error;
    return scene;
  }();
  return photo;
}

void ExpectPicturesMatchSensor(const CaptureFormat& format, unsigned count) {
  SCOPED_TRACE(Describe(format));
  StreamHarness harness;
  harness.Camera().SetScene(Photo());
  ASSERT_EQ(harness.Start(format), STATUS_SUCCESS);
  const auto pictures = harness.Capture(count);
  ASSERT_EQ(pictures.size(), count);
  for (const auto& picture : pictures) {
    EXPECT_EQ(picture.Read.BytesReturned, picture.Bytes.size());
    EXPECT_EQ(picture.Read.FrameContext >> 16, 0u);
    const uint32_t frame = (picture.Read.FrameContext & 0xFFFF) - 1;
    const auto record = harness.Camera().Frame(frame);
    ASSERT_TRUE(record.has_value()) << "frame " << frame;
    const auto expected = ExpectedPicture(*record, format);
    const auto diff = dualcam::testing::Compare(picture.Bytes, expected);
    EXPECT_GE(diff.psnr, kMinPsnr) << "frame " << frame;
  }
}

TEST(FramePathStream, EveryFormatSizeMatchesTheSensorInRgbAndI420) {
  for (const auto& plan : pipeline::kSizePlan) {
    for (ULONG compression : {kCompressionRgb, kFourccI420}) {
      ExpectPicturesMatchSensor({plan.FormatWidth, plan.FormatHeight, compression, 5}, 2);
    }
  }
}

TEST(FramePathStream, EveryPacketSizeCarriesThePicture) {
  for (UCHAR alternate = 1; alternate <= 5; ++alternate) {
    ExpectPicturesMatchSensor({320, 240, kFourccI420, alternate}, 2);
    ExpectPicturesMatchSensor({160, 120, kCompressionRgb, alternate}, 2);
    ExpectPicturesMatchSensor({640, 480, kCompressionRgb, alternate}, 1);
  }
}

}  // namespace
}  // namespace dualcam::framepath::testing
