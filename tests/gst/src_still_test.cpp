// dualcamsrc's stills and button: the take-still signal goes through the
// driver's still path and comes back as a message with the saved file and
// the picture; a press of the camera's button is posted, with its still.
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include "camera_owner.h"
#include "dualcam_src.h"
#include "gst_world.h"
#include "host/kernel/registry.h"
#include "support/run_tool.h"

namespace dualcam::gst::testing {
namespace {

bool Flag(const GstStructure* structure, const char* name) {
  gboolean value = FALSE;
  return gst_structure_get_boolean(structure, name, &value) && value;
}

TEST(DualcamSrcStill, TakeStillPostsTheSavedFileAndItsPicture) {
  TestHome home;
  SourceHarness source(home.Home(), "video/x-raw,format=BGR,width=176,height=144");
  gboolean accepted = TRUE;
  g_signal_emit_by_name(source.element(), "take-still", &accepted);
  EXPECT_FALSE(accepted) << "no stream runs yet";
  ASSERT_TRUE(source.Play());
  GstBuffer* buffer = source.Next();
  ASSERT_NE(buffer, nullptr);
  gst_buffer_unref(buffer);

  g_signal_emit_by_name(source.element(), "take-still", &accepted);
  EXPECT_TRUE(accepted);
  g_signal_emit_by_name(source.element(), "take-still", &accepted);
  EXPECT_FALSE(accepted) << "one still at a time";

  GstMessage* message = source.WaitMessage("dualcam-still");
  ASSERT_NE(message, nullptr);
  const GstStructure* still = gst_message_get_structure(message);
  EXPECT_TRUE(Flag(still, "requested"));
  ASSERT_TRUE(Flag(still, "saved")) << gst_structure_get_string(still, "error");
  const std::string location = gst_structure_get_string(still, "location");
  EXPECT_EQ(std::filesystem::file_size(location), 203'776u);
  GstSample* sample = nullptr;
  ASSERT_TRUE(gst_structure_get(still, "sample", GST_TYPE_SAMPLE, &sample, nullptr));
  GstVideoInfo info;
  ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_BGR);
  EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 640);
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 480);
  const std::vector<uint8_t> picture = BufferBytes(gst_sample_get_buffer(sample));
  gst_sample_unref(sample);
  gst_message_unref(message);

  // The picture is the saved still as `dualcam decode` renders it.
  const auto rendered = home.Path("still.bgr");
  const auto run = dualcam::testing::RunTool({"decode", "--format", "rgb24", location, rendered.string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto expected = dualcam::testing::ReadFileBytes(rendered);
  ASSERT_TRUE(expected);
  EXPECT_TRUE(FlipBgr(*expected, 640, 480) == picture);

  // Video goes on, and the answer was taken from the mailbox.
  buffer = source.Next();
  ASSERT_NE(buffer, nullptr);
  gst_buffer_unref(buffer);
  host::Registry registry(home.Home() / "registry.db");
  EXPECT_EQ(registry.GetDword(host::kSettingsKeyPath, "SnapShot"), 0u);
}

TEST(DualcamSrcStill, AButtonPressIsPostedWithTheStillItBrings) {
  TestHome home;
  SourceHarness source(home.Home(), "video/x-raw,format=I420,width=176,height=144");
  ASSERT_TRUE(source.Play());
  GstBuffer* buffer = source.Next();
  ASSERT_NE(buffer, nullptr);
  gst_buffer_unref(buffer);
  OwnerOf(source.element())->PressButton();

  GstMessage* press = source.WaitMessage("dualcam-button");
  ASSERT_NE(press, nullptr);
  gst_message_unref(press);
  GstMessage* message = source.WaitMessage("dualcam-still");
  ASSERT_NE(message, nullptr);
  const GstStructure* still = gst_message_get_structure(message);
  EXPECT_FALSE(Flag(still, "requested"));
  EXPECT_TRUE(Flag(still, "saved"));
  EXPECT_TRUE(gst_structure_has_field(still, "sample"));
  gst_message_unref(message);
  host::Registry registry(home.Home() / "registry.db");
  EXPECT_EQ(registry.GetDword(host::kSettingsKeyPath, "TimerTrigger"), 0u);
}

}  // namespace
}  // namespace dualcam::gst::testing
