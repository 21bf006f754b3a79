// dualcamdec: pass-through samples rendered byte for byte as `dualcam
// decode` renders them, and samples without a picture (the driver's marker,
// damaged or foreign ones) answered with the last picture, never a crash.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>

#include "gst_world.h"
#include "support/run_tool.h"

namespace dualcam::gst::testing {
namespace {

std::vector<std::vector<uint8_t>> Samples(const std::filesystem::path& home, int width, int height, int count,
                                          int gamma) {
  std::vector<std::vector<uint8_t>> samples;
  SourceHarness source(home, "video/x-vqj9,width=" + std::to_string(width) + ",height=" + std::to_string(height),
                       {{"gamma", std::to_string(gamma)}});
  EXPECT_TRUE(source.Play());
  for (int i = 0; i < count; ++i) {
    GstBuffer* buffer = source.Next();
    if (buffer == nullptr) break;
    samples.push_back(BufferBytes(buffer));
    gst_buffer_unref(buffer);
  }
  EXPECT_EQ(static_cast<int>(samples.size()), count);
  return samples;
}

GstHarness* Renderer(const std::string& format, int width, int height) {
  GstHarness* harness = gst_harness_new("dualcamdec");
  const std::string size = ",width=" + std::to_string(width) + ",height=" + std::to_string(height);
  gst_harness_set_src_caps_str(harness, ("video/x-vqj9,framerate=30/1" + size).c_str());
  gst_harness_set_sink_caps_str(harness, ("video/x-raw,format=" + format + size).c_str());
  return harness;
}

std::vector<uint8_t> Render(GstHarness* harness, const std::vector<uint8_t>& sample) {
  GstBuffer* in = sample.empty() ? gst_buffer_new() : gst_buffer_new_memdup(sample.data(), sample.size());
  GstBuffer* out = gst_harness_push_and_pull(harness, in);
  if (out == nullptr) return {};
  std::vector<uint8_t> bytes = BufferBytes(out);
  gst_buffer_unref(out);
  return bytes;
}

TEST(DualcamDec, RendersSamplesAsDualcamDecodeDoes) {
  TestHome home;
  // A tone curve in the samples' header, which the render must honour.
  const auto samples = Samples(home.Home(), 352, 288, 2, 4);
  ASSERT_EQ(samples.size(), 2u);
  for (const char* format : {"I420", "BGR"}) {
    SCOPED_TRACE(format);
    const bool planar = std::strcmp(format, "I420") == 0;
    GstHarness* harness = Renderer(format, 352, 288);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const auto file = home.Path("sample-" + std::to_string(i) + ".vqj9");
      const auto rendered = home.Path(std::string("out") + (planar ? ".yuv" : ".bgr"));
      ASSERT_TRUE(dualcam::testing::WriteFileBytes(file, samples[i]));
      const auto run = dualcam::testing::RunTool(
          {"decode", "--size", "352x288", "--format", planar ? "i420" : "rgb24", file.string(), rendered.string()});
      ASSERT_EQ(run.exit_status, 0) << run.err;
      auto expected = *dualcam::testing::ReadFileBytes(rendered);
      if (!planar) expected = FlipBgr(expected, 352, 288);  // GStreamer's rows are top-down
      EXPECT_TRUE(Render(harness, samples[i]) == expected) << "sample " << i;
    }
    gst_harness_teardown(harness);
  }
}

TEST(DualcamDec, SamplesWithoutAPictureRepeatTheLastOne) {
  TestHome home;
  const auto good = Samples(home.Home(), 176, 144, 1, 0).at(0);
  GstHarness* harness = Renderer("I420", 176, 144);
  const std::size_t bytes = 176 * 144 * 3 / 2;

  // The driver's no-picture marker before any picture: an all-zero picture.
  std::vector<uint8_t> marker(good.size(), 0xEE);
  for (uint8_t i = 0; i < 7; ++i) marker[i] = i;
  EXPECT_EQ(Render(harness, marker), std::vector<uint8_t>(bytes, 0));

  const auto picture = Render(harness, good);
  ASSERT_EQ(picture.size(), bytes);
  auto damaged = [&](auto change) {
    std::vector<uint8_t> sample = good;
    change(sample);
    return sample;
  };
  const std::vector<std::vector<uint8_t>> bad = {
      marker,
      {},                                                                   // empty
      damaged([](auto& s) { s[0] = 'X'; }),                                 // not a sample
      damaged([](auto& s) { s.resize(174 + 12); }),                         // header cut
      damaged([](auto& s) { s[174 + 12] = 0x7F; }),                         // raw length beyond the sample
      damaged([](auto& s) { s[9] = 10; }),                                  // no such tone curve
      damaged([](auto& s) { s[174 + 5] = 4; }),                             // no such quality
      damaged([](auto& s) { std::fill(s.begin() + 174 + 13, s.end(), 0xFF); }),  // corrupt picture
  };
  for (std::size_t i = 0; i < bad.size(); ++i) EXPECT_TRUE(Render(harness, bad[i]) == picture) << "sample " << i;
  gst_harness_teardown(harness);
}

}  // namespace
}  // namespace dualcam::gst::testing
