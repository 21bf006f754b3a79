// dualcamsrc's controls: element properties and colour balance channels
// carried into the driver's property sets, live while playing, kept where
// the driver keeps them.
#include <gst/gst.h>
#include <gst/video/colorbalance.h>
#include <gtest/gtest.h>

#include <cstring>

#include "gst_world.h"
#include "host/kernel/registry.h"

namespace dualcam::gst::testing {
namespace {

std::optional<uint32_t> Stored(const std::filesystem::path& home, const char* name) {
  host::Registry registry(home / "registry.db");
  return registry.GetDword(host::kSettingsKeyPath, name);
}

int IntProperty(GstElement* element, const char* name) {
  int value = -1;
  g_object_get(element, name, &value, nullptr);
  return value;
}

bool BoolProperty(GstElement* element, const char* name) {
  gboolean value = FALSE;
  g_object_get(element, name, &value, nullptr);
  return value;
}

TEST(DualcamSrcControls, ASetWhilePlayingChangesThePicturesAndPersists) {
  TestHome home;
  {
    SourceHarness source(home.Home(), "video/x-raw,format=I420,width=176,height=144");
    ASSERT_TRUE(source.Play());
    GstBuffer* before = source.Next();
    ASSERT_NE(before, nullptr);
    EXPECT_GT(ChromaSpread(BufferBytes(before), 176, 144), 20);  // the colour bars
    gst_buffer_unref(before);

    g_object_set(source.element(), "saturation", 0, nullptr);
    EXPECT_EQ(IntProperty(source.element(), "saturation"), 0);
    // One frame was on its way from the camera when the set arrived; the
    // one after it was taken with the new setting.
    std::vector<int> spreads;
    for (int i = 0; i < 2; ++i) {
      GstBuffer* after = source.Next();
      ASSERT_NE(after, nullptr);
      spreads.push_back(ChromaSpread(BufferBytes(after), 176, 144));
      gst_buffer_unref(after);
    }
    EXPECT_LE(spreads[1], 2) << "saturation 0 gives grey pictures";
  }
  EXPECT_EQ(Stored(home.Home(), "Saturation"), 0u);
  // The next camera starts with it.
  GstElement* src = gst_element_factory_make("dualcamsrc", nullptr);
  g_object_set(src, "home", home.Home().c_str(), nullptr);
  ASSERT_EQ(gst_element_set_state(src, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(IntProperty(src, "saturation"), 0);
  gst_element_set_state(src, GST_STATE_NULL);
  gst_object_unref(src);
}

TEST(DualcamSrcControls, SettingsMadeBeforeTheCameraOpensReachTheDriverInOrder) {
  TestHome home;
  GstElement* src = gst_element_factory_make("dualcamsrc", nullptr);
  g_object_set(src, "home", home.Home().c_str(), "gamma", 3, "white-balance", 15, "exposure-auto", FALSE,
               "exposure-auto", TRUE, "exposure", 40, nullptr);
  ASSERT_EQ(gst_element_set_state(src, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  // Read back through the driver's property sets.
  EXPECT_EQ(IntProperty(src, "gamma"), 3);
  EXPECT_EQ(IntProperty(src, "white-balance"), 15);
  EXPECT_FALSE(BoolProperty(src, "white-balance-auto"));  // a value is a manual setting
  EXPECT_EQ(IntProperty(src, "exposure"), 40);
  EXPECT_FALSE(BoolProperty(src, "exposure-auto"));
  g_object_set(src, "white-balance-auto", TRUE, nullptr);
  EXPECT_TRUE(BoolProperty(src, "white-balance-auto"));
  gst_element_set_state(src, GST_STATE_NULL);
  gst_object_unref(src);
  EXPECT_EQ(Stored(home.Home(), "Gamma"), 3u);
  EXPECT_EQ(Stored(home.Home(), "White Balance"), 15u);
  EXPECT_EQ(Stored(home.Home(), "Auto White Balance Enable"), 1u);
  EXPECT_EQ(Stored(home.Home(), "Manual_Exposure"), 40u);
}

void CountChange(GstColorBalance*, GstColorBalanceChannel*, gint value, gpointer data) {
  static_cast<std::vector<int>*>(data)->push_back(value);
}

TEST(DualcamSrcControls, ColourBalanceChannelsAreTheFourImageControls) {
  TestHome home;
  GstElement* src = gst_element_factory_make("dualcamsrc", nullptr);
  g_object_set(src, "home", home.Home().c_str(), nullptr);
  ASSERT_EQ(gst_element_set_state(src, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  GstColorBalance* balance = GST_COLOR_BALANCE(src);
  EXPECT_EQ(gst_color_balance_get_balance_type(balance), GST_COLOR_BALANCE_HARDWARE);
  std::vector<std::pair<std::string, int>> channels;
  GstColorBalanceChannel* contrast = nullptr;
  for (const GList* item = gst_color_balance_list_channels(balance); item; item = item->next) {
    auto* channel = GST_COLOR_BALANCE_CHANNEL(item->data);
    channels.emplace_back(channel->label, channel->max_value);
    if (std::strcmp(channel->label, "CONTRAST") == 0) contrast = channel;
  }
  const std::vector<std::pair<std::string, int>> expected = {
      {"BRIGHTNESS", 255}, {"CONTRAST", 31}, {"HUE", 719}, {"SATURATION", 63}};
  EXPECT_EQ(channels, expected);
  ASSERT_NE(contrast, nullptr);

  std::vector<int> changes;
  g_signal_connect(src, "value-changed", G_CALLBACK(CountChange), &changes);
  gst_color_balance_set_value(balance, contrast, 20);
  EXPECT_EQ(gst_color_balance_get_value(balance, contrast), 20);
  EXPECT_EQ(IntProperty(src, "contrast"), 20);
  EXPECT_EQ(changes, std::vector<int>{20});
  gst_element_set_state(src, GST_STATE_NULL);
  gst_object_unref(src);
  EXPECT_EQ(Stored(home.Home(), "Contrast"), 20u);
}

}  // namespace
}  // namespace dualcam::gst::testing
