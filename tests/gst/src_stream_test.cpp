// dualcamsrc's stream: the formats it offers, what it delivers in each
// (compared with the driver's own buffers for the same frames), its
// timestamps, latency, and state changes in any order.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>

#include "formats.h"
#include "gst_world.h"
#include "pipeline/render.h"

namespace dualcam::gst::testing {
namespace {

constexpr GstClockTime kFrame = GST_SECOND / 30;

std::vector<std::string> OfferedCaps(const std::filesystem::path& home) {
  std::vector<std::string> offered;
  GstElement* src = gst_element_factory_make("dualcamsrc", nullptr);
  g_object_set(src, "home", home.c_str(), nullptr);
  EXPECT_EQ(gst_element_set_state(src, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  GstPad* pad = gst_element_get_static_pad(src, "src");
  GstCaps* caps = gst_pad_query_caps(pad, nullptr);
  for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
    gchar* text = gst_structure_to_string(gst_caps_get_structure(caps, i));
    offered.emplace_back(text);
    g_free(text);
  }
  gst_caps_unref(caps);
  gst_object_unref(pad);
  gst_element_set_state(src, GST_STATE_NULL);
  gst_object_unref(src);
  return offered;
}

TEST(DualcamSrc, EveryOfferedFormatIsDeliveredAsTheDriverDeliversIt) {
  TestHome home;
  const std::vector<std::string> offered = OfferedCaps(home.Home());
  // The capture pin's twelve formats, in the driver's order.
  ASSERT_EQ(offered.size(), 12u);
  EXPECT_EQ(offered[0].rfind("video/x-raw, format=(string)I420, width=(int)320, height=(int)240", 0), 0u) << offered[0];
  EXPECT_EQ(offered[4].rfind("video/x-raw, format=(string)BGR, width=(int)352, height=(int)288", 0), 0u) << offered[4];
  EXPECT_EQ(offered[11].rfind("video/x-vqj9, width=(int)160, height=(int)120, framerate=(fraction)30/1", 0), 0u)
      << offered[11];

  for (const std::string& caps_text : offered) {
    SCOPED_TRACE(caps_text);
    GstCaps* caps = gst_caps_from_string(caps_text.c_str());
    const auto format = FormatOfCaps(caps);
    gst_caps_unref(caps);
    ASSERT_TRUE(format);
    constexpr int kFrames = 3;
    std::vector<std::vector<uint8_t>> delivered;
    {
      TestHome run;
      SourceHarness source(run.Home(), caps_text);
      ASSERT_TRUE(source.Play());
      for (int i = 0; i < kFrames; ++i) {
        GstBuffer* buffer = source.Next();
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(GST_BUFFER_PTS(buffer), static_cast<GstClockTime>(i) * kFrame);
        EXPECT_EQ(GST_BUFFER_DURATION(buffer), kFrame);
        EXPECT_EQ(GST_BUFFER_OFFSET(buffer), static_cast<guint64>(i));
        delivered.push_back(BufferBytes(buffer));
        gst_buffer_unref(buffer);
      }
      // Live, one frame of latency once the format is known.
      GstClockTime min = 0, max = 0;
      gboolean live = FALSE;
      GstQuery* query = gst_query_new_latency();
      ASSERT_TRUE(gst_element_query(source.element(), query));
      gst_query_parse_latency(query, &live, &min, &max);
      gst_query_unref(query);
      EXPECT_TRUE(live);
      EXPECT_EQ(min, kFrame);
      EXPECT_GE(max, min);
    }
    const std::size_t pixels = static_cast<std::size_t>(format->width) * format->height;
    DWORD compression = pipeline::kFourccVqj9;
    for (const auto& picture : delivered) {
      switch (format->kind) {
        case PictureKind::kI420:
          compression = pipeline::kFourccI420;
          EXPECT_EQ(picture.size(), pixels * 3 / 2);
          break;
        case PictureKind::kBgr:
          compression = pipeline::kCompressionRgb;
          EXPECT_EQ(picture.size(), pixels * 3);
          break;
        case PictureKind::kVqj9:
          ASSERT_GE(picture.size(), 174u + 13u);
          EXPECT_LE(picture.size(), pixels * 2);
          EXPECT_EQ(std::memcmp(picture.data(), "VQJ9", 4), 0);
          break;
      }
    }
    TestHome reference_home;
    auto reference = DriverPictures(reference_home.Home(), compression, format->width, format->height, kFrames);
    ASSERT_EQ(reference.size(), delivered.size());
    for (int i = 0; i < kFrames; ++i) {
      // The driver's RGB rows are bottom-up; the element's are top-down.
      if (format->kind == PictureKind::kBgr) reference[i] = FlipBgr(reference[i], format->width, format->height);
      EXPECT_TRUE(reference[i] == delivered[i]) << "frame " << i;
    }
  }
}

TEST(DualcamSrc, StateChangesInAnyOrderAndRestartsKeepDelivering) {
  TestHome home;
  SourceHarness source(home.Home(), "video/x-raw,format=BGR,width=160,height=120");
  GstElement* src = source.element();
  // Down to NULL (camera given back) and up again, through PAUSED and READY.
  const GstState route[] = {GST_STATE_PLAYING, GST_STATE_PAUSED, GST_STATE_PLAYING, GST_STATE_READY,
                            GST_STATE_PLAYING, GST_STATE_NULL,   GST_STATE_PLAYING};
  for (GstState state : route) {
    SCOPED_TRACE(gst_element_state_get_name(state));
    ASSERT_NE(gst_element_set_state(src, state), GST_STATE_CHANGE_FAILURE);
    if (state != GST_STATE_PLAYING) continue;
    GstBuffer* buffer = source.Next();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(gst_buffer_get_size(buffer), 160u * 120u * 3u);
    gst_buffer_unref(buffer);
  }
  EXPECT_EQ(PopMessage(source.bus(), GST_MESSAGE_ERROR), nullptr);
}

TEST(DualcamSrc, AnotherFormatWhilePlayingReopensTheStream) {
  TestHome home;
  SourceHarness source(home.Home(), "video/x-raw,format=I420,width=176,height=144");
  ASSERT_TRUE(source.Play());
  GstBuffer* buffer = source.Next();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(gst_buffer_get_size(buffer), 176u * 144u * 3u / 2u);
  gst_buffer_unref(buffer);

  gst_harness_set_sink_caps_str(source.harness(), "video/x-raw,format=BGR,width=320,height=240");
  gst_harness_push_upstream_event(source.harness(), gst_event_new_reconfigure());
  std::size_t size = 0;
  for (int i = 0; i < 5 && size != 320u * 240u * 3u; ++i) {
    buffer = source.Next();
    ASSERT_NE(buffer, nullptr);
    size = gst_buffer_get_size(buffer);
    gst_buffer_unref(buffer);
  }
  EXPECT_EQ(size, 320u * 240u * 3u);
}

}  // namespace
}  // namespace dualcam::gst::testing
