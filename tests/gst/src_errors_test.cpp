// dualcamsrc's errors: each a GStreamer error with a text that says what
// happened: no camera, a camera in use, a format the camera does not offer,
// the camera removed while playing.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "camera_owner.h"
#include "dualcam_src.h"
#include "gst_world.h"

namespace dualcam::gst::testing {
namespace {

TEST(DualcamSrcErrors, NoCameraOrNoSceneIsRefusedAtOpenWithTheReason) {
  TestHome home;
  struct Case {
    const char* property;
    const char* value;
    GstResourceError code;
    std::string text;
  };
  const Case cases[] = {
      // The harness runs on virtual time, which only the simulated camera keeps.
      {"device", "usb:1234:5678", GST_RESOURCE_ERROR_NOT_FOUND,
       "a real camera (device=usb:1234:5678) cannot run on virtual time"},
      {"device", "camera0", GST_RESOURCE_ERROR_NOT_FOUND, "unknown device 'camera0'"},
      {"device", "usb:1-", GST_RESOURCE_ERROR_NOT_FOUND, "unknown device 'usb:1-'"},
      {"scene", "/nonexistent/photo.png", GST_RESOURCE_ERROR_SETTINGS, "cannot use '/nonexistent/photo.png' as the scene"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    GstElement* src = gst_element_factory_make("dualcamsrc", nullptr);
    g_object_set(src, "home", home.Home().c_str(), c.property, c.value, nullptr);
    auto [error, text] = RefusedOpen(src);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, GST_RESOURCE_ERROR, c.code));
    EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
    g_error_free(error);
    gst_object_unref(src);
  }
}

TEST(DualcamSrcErrors, ASecondElementOnTheCameraIsToldWhoHasIt) {
  TestHome home;
  SourceHarness first(home.Home(), "video/x-raw,format=I420,width=160,height=120");
  ASSERT_TRUE(first.Play());
  GstElement* second = gst_element_factory_make("dualcamsrc", nullptr);
  g_object_set(second, "home", home.Home().c_str(), nullptr);
  auto [error, text] = RefusedOpen(second);
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY));
  EXPECT_EQ(text, "the camera is in use by process " + std::to_string(getpid()));
  g_error_free(error);
  gst_object_unref(second);
  // The first goes on undisturbed.
  GstBuffer* buffer = first.Next();
  EXPECT_NE(buffer, nullptr);
  if (buffer) gst_buffer_unref(buffer);
}

TEST(DualcamSrcErrors, AFormatTheCameraDoesNotOfferIsNamed) {
  TestHome home;
  SourceHarness source(home.Home(), "video/x-raw,format=I420,width=640,height=480");
  ASSERT_TRUE(source.Play());
  GstMessage* message = PopMessage(source.bus(), GST_MESSAGE_ERROR, 10 * GST_SECOND);
  ASSERT_NE(message, nullptr);
  GError* error = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  EXPECT_TRUE(g_error_matches(error, GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT));
  EXPECT_STREQ(error->message, "the camera does not offer the format asked for");
  EXPECT_NE(std::string(debug).find("width=(int)640"), std::string::npos) << debug;
  g_error_free(error);
  g_free(debug);
  gst_message_unref(message);
}

TEST(DualcamSrcErrors, TheCameraRemovedWhilePlayingEndsTheStream) {
  TestHome home;
  SourceHarness source(home.Home(), "video/x-raw,format=BGR,width=176,height=144");
  ASSERT_TRUE(source.Play());
  GstBuffer* buffer = source.Next();
  ASSERT_NE(buffer, nullptr);
  gst_buffer_unref(buffer);
  OwnerOf(source.element())->SurpriseRemove();
  GstMessage* message = source.WaitMessage("error", 5);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(ErrorText(message), "the camera was removed");
  gst_message_unref(message);
}

}  // namespace
}  // namespace dualcam::gst::testing
