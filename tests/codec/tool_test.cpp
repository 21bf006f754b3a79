// The `dualcam decode` / `encode` contract, exercised by running the real
// binary: outputs byte-identical to the driver's render routes, viewable
// pictures the right way up, and for every kind of bad input a defined exit
// status, a one-line message and no output file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/sim/encoder/encoder.h"
#include "host/sim/encoder/picture.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "support/picture_io.h"
#include "support/run_tool.h"
#include "support/test_data.h"

namespace dualcam::testing {
namespace {

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }
const decoder::DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipeline::SharedDecoderAcquire(&kHeap), 1); }
  void TearDown() override { pipeline::SharedDecoderRelease(); }

  // The raw frame of a photograph at the raw size behind a format size.
  static std::vector<uint8_t> PhotoFrame(int format_w, int format_h, int quality) {
    const auto* plan = pipeline::FindSizePlan(format_w, format_h);
    const auto yuv = encoder::RgbToI420(LoadPhoto("kodim15", plan->RawWidth, plan->RawHeight));
    return encoder::EncodeRawFrame({yuv.bytes, yuv.width, yuv.height}, quality);
  }

  // What the driver delivers for that frame, rendered in this process.
  static std::vector<uint8_t> DriverPicture(std::vector<uint8_t> frame, int quality, int gamma, int format_w,
                                            int format_h, bool planar) {
    const auto* plan = pipeline::FindSizePlan(format_w, format_h);
    const uint32_t length = static_cast<uint32_t>(frame.size());
    frame.resize(frame.size() + decoder::kRawFrameSlack, 0);
    for (int b = 0; b < 4; ++b) frame[1 + b] = static_cast<uint8_t>(length >> (8 * b));
    frame[7] = static_cast<uint8_t>(quality);
    pipeline::ProcessingOptions options{};
    pipeline::SetToneCurve(&options, gamma);
    const std::size_t pixels = static_cast<std::size_t>(format_w) * format_h;
    std::vector<uint8_t> out(planar ? pixels * 3 / 2 : pixels * 3);
    std::size_t written = 0;
    EXPECT_EQ(pipeline::RenderFrame(&options, frame.data(), out.data(), out.size(), &written, plan->RawWidth,
                                    plan->RawHeight, format_w, format_h,
                                    planar ? pipeline::kFourccI420 : pipeline::kCompressionRgb),
              1);
    return out;
  }

  TempDir dir_{"codec-tool"};
};

TEST_F(ToolTest, DecodeOutputsAreTheDriversBuffersByteForByte) {
  const pipeline::SizePlanEntry* sizes[] = {pipeline::FindSizePlan(128, 96), pipeline::FindSizePlan(160, 120),
                                            pipeline::FindSizePlan(176, 144), pipeline::FindSizePlan(240, 180),
                                            pipeline::FindSizePlan(640, 480)};
  for (const auto* plan : sizes) {
    ASSERT_NE(plan, nullptr);
    const int w = plan->FormatWidth, h = plan->FormatHeight;
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    const auto frame = PhotoFrame(w, h, 3);
    ASSERT_TRUE(WriteFileBytes(dir_ / "frame.raw", frame));

    ToolRun run = RunTool({"decode", "--size", size, (dir_ / "frame.raw").string(), (dir_ / "out.bgr").string()});
    ASSERT_EQ(run.exit_status, 0) << size << ": " << run.err;
    EXPECT_EQ(ReadFileBytes(dir_ / "out.bgr"), DriverPicture(frame, 3, 0, w, h, false)) << size;

    run = RunTool({"decode", "--size", size, "--gamma", "5", "--format", "i420", (dir_ / "frame.raw").string(),
                   (dir_ / "out.yuv").string()});
    ASSERT_EQ(run.exit_status, 0) << size << ": " << run.err;
    EXPECT_EQ(ReadFileBytes(dir_ / "out.yuv"), DriverPicture(frame, 3, 5, w, h, true)) << size;
  }
}

TEST_F(ToolTest, EncodeThenDecodeGivesTheUprightPhotograph) {
  ToolRun run = RunTool({"encode", TestDataPath("kodim15_320x240.png").string(), (dir_ / "f.raw").string(), "--vqj9",
                         (dir_ / "f.vqj9").string(), "--quality", "1", "--gamma", "4"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto source = LoadPng(TestDataPath("kodim15_320x240.png"));
  ASSERT_TRUE(source.has_value());

  // The raw frame is the compressor's, the sample is built as the driver
  // builds one.
  const auto frame = ReadFileBytes(dir_ / "f.raw");
  const auto yuv = encoder::RgbToI420(*source);
  EXPECT_EQ(frame, encoder::EncodeRawFrame({yuv.bytes, 320, 240}, 1));
  const auto sample = ReadFileBytes(dir_ / "f.vqj9");
  ASSERT_TRUE(frame && sample);
  ASSERT_EQ(sample->size(), frame->size() + 174);
  EXPECT_TRUE(std::equal(pipeline::kPassThroughTag, pipeline::kPassThroughTag + 4, sample->begin()));
  EXPECT_EQ((*sample)[9], 4);             // gamma
  EXPECT_EQ((*sample)[174 + 5], 1);       // quality index in the raw header
  EXPECT_EQ((*sample)[174 + 9], static_cast<uint8_t>(frame->size()));
  EXPECT_EQ((*sample)[174 + 10], static_cast<uint8_t>(frame->size() >> 8));

  // PNG output is top-down RGB: close to the source (a flipped or
  // channel-swapped picture scores far below this).
  run = RunTool({"decode", "--size", "320x240", "--quality", "1", (dir_ / "f.raw").string(), (dir_ / "f.png").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto decoded = LoadPng(dir_ / "f.png");
  ASSERT_TRUE(decoded.has_value());
  EXPECT_GE(CompareInterleaved(decoded->pixels, source->pixels, 3).MinPsnr(), 28.0);

  // The sample brings its own quality (1) and gamma (4).
  run = RunTool({"decode", "--size", "320x240", (dir_ / "f.vqj9").string(), (dir_ / "v.bgr").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(dir_ / "v.bgr"), DriverPicture(*frame, 1, 4, 320, 240, false));

  // PPM: the same pixels behind a P6 header.
  run = RunTool({"decode", "--size", "320x240", "--quality", "1", (dir_ / "f.raw").string(), (dir_ / "f.ppm").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto ppm = ReadFileBytes(dir_ / "f.ppm");
  const std::string header = "P6\n320 240\n255\n";
  ASSERT_TRUE(ppm && ppm->size() == header.size() + decoded->pixels.size());
  EXPECT_TRUE(std::equal(decoded->pixels.begin(), decoded->pixels.end(), ppm->begin() + header.size()));
}

TEST_F(ToolTest, BadInputsGetTheirExitStatusAOneLineMessageAndNoOutput) {
  const auto frame = PhotoFrame(176, 144, 3);
  std::vector<uint8_t> sample(174, 0);
  std::copy(pipeline::kPassThroughTag, pipeline::kPassThroughTag + 4, sample.begin());
  sample.insert(sample.end(), frame.begin(), frame.end());
  auto set_le32 = [](std::vector<uint8_t>& v, std::size_t at, uint32_t x) {
    for (int b = 0; b < 4; ++b) v[at + b] = static_cast<uint8_t>(x >> (8 * b));
  };
  set_le32(sample, 174 + 9, static_cast<uint32_t>(frame.size()));
  sample[174 + 5] = 3;

  std::vector<uint8_t> garbage(frame.size());
  uint32_t seed = 7;
  for (auto& b : garbage) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);

  struct Corrupt {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Corrupt> corrupt = {
      {"empty", {}},
      {"shorter than the header", std::vector<uint8_t>(frame.begin(), frame.begin() + 12)},
      {"header only", std::vector<uint8_t>(frame.begin(), frame.begin() + 13)},
      {"truncated to half", std::vector<uint8_t>(frame.begin(), frame.begin() + frame.size() / 2)},
      {"garbage", garbage},
  };
  {
    auto long_sample = sample;
    set_le32(long_sample, 174 + 9, static_cast<uint32_t>(frame.size() + 1));
    corrupt.push_back({"sample declaring more than it holds", long_sample});
    auto huge = sample;
    set_le32(huge, 174 + 9, 0xFFFFFFFFu);
    corrupt.push_back({"sample declaring 4 GiB", huge});
    auto tiny = sample;
    set_le32(tiny, 174 + 9, 5);
    corrupt.push_back({"sample declaring less than a header", tiny});
    auto bad_quality = sample;
    bad_quality[174 + 5] = 4;
    corrupt.push_back({"sample with quality 4", bad_quality});
    auto bad_gamma = sample;
    bad_gamma[9] = 10;
    corrupt.push_back({"sample with gamma 10", bad_gamma});
    corrupt.push_back({"sample header only", std::vector<uint8_t>(sample.begin(), sample.begin() + 180)});
  }
  const auto out = dir_ / "out.png";
  for (const Corrupt& c : corrupt) {
    ASSERT_TRUE(WriteFileBytes(dir_ / "in.raw", c.bytes));
    const ToolRun run = RunTool({"decode", "--size", "176x144", (dir_ / "in.raw").string(), out.string()});
    EXPECT_EQ(run.exit_status, 2) << c.what << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.what << ": " << run.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << c.what;
  }

  // Every prefix class of a good frame and random damage: never a crash.
  for (std::size_t cut : {frame.size() - 1, frame.size() - 7, frame.size() * 9 / 10, std::size_t{20}}) {
    ASSERT_TRUE(WriteFileBytes(dir_ / "cut.raw", std::span(frame).first(cut)));
    const ToolRun run = RunTool({"decode", "--size", "176x144", (dir_ / "cut.raw").string(), (dir_ / "c.bgr").string()});
    EXPECT_EQ(run.signal, 0);
    EXPECT_TRUE(run.exit_status == 0 || run.exit_status == 2) << cut << ": " << run.exit_status;
  }

  ASSERT_TRUE(WriteFileBytes(dir_ / "good.raw", frame));
  const std::string good = (dir_ / "good.raw").string();
  struct Usage {
    const char* what;
    std::vector<std::string> args;
  };
  const std::vector<Usage> usage = {
      {"missing input", {"decode", "--size", "176x144", (dir_ / "nope.raw").string(), out.string()}},
      {"input is a directory", {"decode", "--size", "176x144", dir_.path().string(), out.string()}},
      {"size not offered", {"decode", "--size", "100x100", good, out.string()}},
      {"malformed size", {"decode", "--size", "176by144", good, out.string()}},
      {"bad quality", {"decode", "--size", "176x144", "--quality", "4", good, out.string()}},
      {"bad gamma", {"decode", "--size", "176x144", "--gamma", "-1", good, out.string()}},
      {"bad format", {"decode", "--size", "176x144", "--format", "rgb32", good, out.string()}},
      {".yuv with rgb24", {"decode", "--size", "176x144", "--format", "rgb24", good, (dir_ / "o.yuv").string()}},
      {"unknown extension", {"decode", "--size", "176x144", good, (dir_ / "o.jpg").string()}},
      {"unknown option", {"decode", "--size", "176x144", "--fast", good, out.string()}},
      {"one positional", {"decode", "--size", "176x144", good}},
      {"unwritable output", {"decode", "--size", "176x144", good, (dir_ / "no" / "such" / "dir.png").string()}},
      {"unknown command", {"transmogrify"}},
      {"no command", {}},
      {"encode without output", {"encode", TestDataPath("kodim15_176x144.png").string()}},
      {"encode of a non-PNG", {"encode", good, (dir_ / "x.raw").string()}},
  };
  for (const Usage& u : usage) {
    const ToolRun run = RunTool(u.args);
    EXPECT_EQ(run.exit_status, 1) << u.what << ": " << run.err;
    EXPECT_FALSE(run.err.empty()) << u.what;
    EXPECT_FALSE(std::filesystem::exists(out)) << u.what;
  }

  // Without --size the frame's own size is found.
  const ToolRun found = RunTool({"decode", good, (dir_ / "found.ppm").string()});
  EXPECT_EQ(found.exit_status, 0) << found.err;
  const auto ppm = ReadFileBytes(dir_ / "found.ppm").value_or(std::vector<uint8_t>{});
  EXPECT_EQ(std::string(ppm.begin(), ppm.begin() + std::min<std::size_t>(ppm.size(), 12)), "P6\n176 144\n2");

  for (const std::vector<std::string>& help : {std::vector<std::string>{"--help"}, {"decode", "--help"}, {"encode", "--help"}}) {
    const ToolRun run = RunTool(help);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.out.find("usage:"), std::string::npos);
  }
}

}  // namespace
}  // namespace dualcam::testing
