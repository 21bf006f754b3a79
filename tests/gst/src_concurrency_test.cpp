// dualcamsrc with the application thread busy beside the streaming thread,
// in real time (worker thread for the button poll, watcher thread for the
// mailbox): controls, colour balance and still requests while frames flow.
// Nothing deadlocks, no frame is lost to it, and the last setting shows.
#include <gst/gst.h>
#include <gst/video/colorbalance.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "dualcam_src.h"
#include "gst_world.h"

namespace dualcam::gst::testing {
namespace {

struct Seen {
  std::mutex mutex;
  std::vector<int> spreads;  // chroma spread of each picture, in order
};

GstPadProbeReturn Record(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* seen = static_cast<Seen*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const int spread = ChromaSpread(BufferBytes(buffer), 176, 144);
  std::lock_guard lock(seen->mutex);
  seen->spreads.push_back(spread);
  return GST_PAD_PROBE_OK;
}

std::size_t Pictures(Seen& seen) {
  std::lock_guard lock(seen.mutex);
  return seen.spreads.size();
}

TEST(DualcamSrcConcurrency, ControlsAndStillsFromTheApplicationWhileFramesFlow) {
  UseSteppedHost(false);
  TestHome home;
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(("dualcamsrc name=camera is-live=false home=" + home.Home().string() +
                                           " ! video/x-raw,format=I420,width=176,height=144 ! fakesink name=sink")
                                              .c_str(),
                                          &error);
  ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
  GstElement* camera = gst_bin_get_by_name(GST_BIN(pipeline), "camera");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  Seen seen;
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, Record, &seen, nullptr);
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);

  GstColorBalanceChannel* hue = nullptr;
  for (const GList* item = gst_color_balance_list_channels(GST_COLOR_BALANCE(camera)); item; item = item->next)
    if (g_str_equal(GST_COLOR_BALANCE_CHANNEL(item->data)->label, "HUE")) hue = GST_COLOR_BALANCE_CHANNEL(item->data);
  ASSERT_NE(hue, nullptr);
  for (int round = 0; round < 40; ++round) {
    g_object_set(camera, "saturation", round % 2 == 0 ? 63 : 20, "white-balance-auto", round % 3 == 0, nullptr);
    gst_color_balance_set_value(GST_COLOR_BALANCE(camera), hue, round * 10);
    int brightness = 0;
    g_object_get(camera, "brightness", &brightness, nullptr);
    EXPECT_EQ(brightness, 128);
    if (round % 10 == 0) {
      gboolean accepted = FALSE;
      g_signal_emit_by_name(camera, "take-still", &accepted);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  g_object_set(camera, "saturation", 0, "hue", 0, nullptr);
  const std::size_t settled = Pictures(seen);
  bool grey = false;
  for (int i = 0; i < 500 && !grey; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(seen.mutex);
    grey = seen.spreads.size() > settled + 2 && seen.spreads.back() <= 2;
  }
  EXPECT_TRUE(grey) << "saturation 0 shows in the pictures";
  EXPECT_GT(Pictures(seen), 20u) << "frames kept flowing";

  gst_element_set_state(pipeline, GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* failure = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
  EXPECT_EQ(failure, nullptr) << ErrorText(failure);
  if (failure) gst_message_unref(failure);
  gst_object_unref(bus);
  gst_object_unref(pad);
  gst_object_unref(sink);
  gst_object_unref(camera);
  gst_object_unref(pipeline);
  UseSteppedHost(true);
}

}  // namespace
}  // namespace dualcam::gst::testing
