// `dualcam capture` run as a user runs it: every output kind read back by
// readers of our own (YUV4MPEG2 parser here, libpng), pictures checked
// against the scene, raw buffers against `dualcam decode`, controls at start
// against the picture and the settings store, damaged packets against the
// summary, and every user error as one line with status 1.
#include <gtest/gtest.h>

#include <cctype>

#include "cli_harness.h"
#include "host/sim/encoder/picture.h"
#include "support/picture_io.h"

namespace dualcam::cli::testing {
namespace {

namespace fs = std::filesystem;
using dualcam::testing::LoadPng;
using dualcam::testing::ReadFileBytes;
using dualcam::testing::RunTool;
using dualcam::testing::TestDataPath;

Y4m ReadY4m(const fs::path& path) {
  const auto bytes = ReadFileBytes(path);
  EXPECT_TRUE(bytes.has_value()) << path;
  std::string error;
  auto y4m = ParseY4m(bytes.value_or(std::vector<uint8_t>{}), &error);
  EXPECT_TRUE(y4m.has_value()) << error;
  return y4m.value_or(Y4m{});
}

// A number the summary reports, e.g. Count(out, "repeated").
int Count(const std::string& summary, const std::string& what) {
  const std::string tail = " " + what;
  for (std::size_t at = summary.find(tail); at != std::string::npos; at = summary.find(tail, at + 1)) {
    std::size_t begin = at;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(summary[begin - 1]))) --begin;
    if (begin < at) return std::stoi(summary.substr(begin, at - begin));
  }
  return -1;
}

std::vector<uint8_t> LumaOf(const encoder::RgbPicture& rgb) {
  auto i420 = encoder::RgbToI420(rgb).bytes;
  i420.resize(static_cast<std::size_t>(rgb.width) * rgb.height);
  return i420;
}

TEST(CliCapture, Y4mOfThePhotographShowsThePhotograph) {
  CliWorld world;
  const auto run = world.Run({"capture", "--format", "i420", "--size", "176x144", "--frames", "6", "--fast", "--scene",
                              TestDataPath("kodim15_176x144.png").string(), "--output", world.Path("v.y4m").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(Count(run.out, "delivered,"), 6) << run.out;
  const Y4m y4m = ReadY4m(world.Path("v.y4m"));
  EXPECT_EQ(y4m.width, 176);
  EXPECT_EQ(y4m.height, 144);
  EXPECT_EQ(y4m.rate_num, 30);
  EXPECT_EQ(y4m.rate_den, 1);
  EXPECT_EQ(y4m.interlace, "p");
  EXPECT_EQ(y4m.chroma, "420jpeg");
  EXPECT_EQ(y4m.colour_range, "FULL");
  ASSERT_EQ(y4m.frames.size(), 6u);
  EXPECT_FALSE(fs::exists(world.Path("v.y4m.part")));

  const auto photo = LoadPng(TestDataPath("kodim15_176x144.png"));
  ASSERT_TRUE(photo.has_value());
  const auto expected = LumaOf(*photo);
  for (std::size_t i = 0; i < y4m.frames.size(); ++i) {
    const std::vector<uint8_t> luma(y4m.frames[i].begin(), y4m.frames[i].begin() + expected.size());
    EXPECT_GT(dualcam::testing::Compare(luma, expected).psnr, 26.0) << "frame " << i + 1;
  }
}

TEST(CliCapture, PngFolderAndY4mCarryTheSameMovingPictures) {
  struct Case {
    const char* format;
    const char* size;
    int width, height;
  };
  for (const Case& c : {Case{"rgb24", "352x288", 352, 288}, Case{"vqj9", "160x120", 160, 120}}) {
    SCOPED_TRACE(c.format);
    CliWorld world;
    const auto run = world.Run({"capture", "--format", c.format, "--size", c.size, "--frames", "4", "--fast",
                                "--output", world.Path("v.y4m").string(), "--output", world.Path("pngs").string() + "/"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const Y4m y4m = ReadY4m(world.Path("v.y4m"));
    ASSERT_EQ(y4m.frames.size(), 4u);
    EXPECT_EQ(y4m.width, c.width);
    for (int i = 1; i <= 4; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "frame-%05d.png", i);
      const auto png = LoadPng(world.Path("pngs") / name);
      ASSERT_TRUE(png.has_value()) << name;
      ASSERT_EQ(png->width, c.width);
      ASSERT_EQ(png->height, c.height);
      // The same picture in both, up to one colour conversion each way.
      const auto luma = LumaOf(*png);
      const std::vector<uint8_t> video(y4m.frames[i - 1].begin(), y4m.frames[i - 1].begin() + luma.size());
      EXPECT_GT(dualcam::testing::Compare(luma, video).psnr, 40.0) << name;
    }
    EXPECT_FALSE(fs::exists(world.Path("pngs") / "frame-00005.png"));
    // The scene moves two pixels a frame: consecutive pictures differ.
    EXPECT_NE(y4m.frames[0], y4m.frames[1]);
  }
}

// The driver's buffers as `capture --raw` writes them: a VQJ9 sample
// renders through decode exactly as captured, its size found without
// --size; .bgr and .yuv buffers (finished pictures, written here by decode
// as the driver delivers them) turn into PNGs at the size their length
// gives; a wrong size is warned about or refused, never rendered silently.
TEST(CliCapture, RawBuffersRenderThroughDecodeExactlyAsCaptured) {
  CliWorld world;
  auto run = world.Run({"capture", "--format", "vqj9", "--size", "176x144", "--frames", "3", "--fast", "--raw",
                        "--output", world.Path("raw").string() + "/", "--output", world.Path("v.y4m").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const Y4m y4m = ReadY4m(world.Path("v.y4m"));
  ASSERT_EQ(y4m.frames.size(), 3u);
  const std::string sample = (world.Path("raw") / "frame-00002.vqj9").string();
  run = RunTool({"decode", sample, world.Path("f2.yuv").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(world.Path("f2.yuv")), y4m.frames[1]);
  run = RunTool({"decode", sample, world.Path("f2.bgr").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(world.Path("f2.bgr")).value_or(std::vector<uint8_t>{}).size(), 176u * 144 * 3);

  // Too small a size decodes but leaves data unread; too large runs out.
  run = RunTool({"decode", "--size", "160x120", sample, world.Path("small.png").string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: the picture at 160x120 ends"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("likely 176x144"), std::string::npos) << run.err;
  run = RunTool({"decode", "--size", "352x288", sample, world.Path("large.png").string()});
  EXPECT_EQ(run.exit_status, 1) << run.err;
  EXPECT_NE(run.err.find("does not decode at 352x288; it decodes at 176x144"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(world.Path("large.png")));

  // The finished buffers, to pictures: both are the same picture.
  for (const char* buffer : {"f2.yuv", "f2.bgr"}) {
    SCOPED_TRACE(buffer);
    const fs::path png = world.Path(std::string(buffer) + ".png");
    run = RunTool({"decode", world.Path(buffer).string(), png.string()});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto picture = LoadPng(png);
    ASSERT_TRUE(picture.has_value());
    ASSERT_EQ(picture->width, 176);
    ASSERT_EQ(picture->height, 144);
    const auto luma = LumaOf(*picture);
    EXPECT_GT(dualcam::testing::Compare(luma, std::vector<uint8_t>(y4m.frames[1].begin(),
                                                                   y4m.frames[1].begin() + luma.size()))
                  .psnr,
              40.0);
  }
  run = RunTool({"decode", "--size", "352x288", world.Path("f2.bgr").string(), world.Path("x.png").string()});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("is 76032 bytes, not a bottom-up B,G,R buffer (.bgr) of 352x288 (304128 bytes); its "
                         "length is that of 176x144"),
            std::string::npos)
      << run.err;
}

TEST(CliCapture, StandardOutputCarriesOnlyTheVideo) {
  CliWorld world;
  const auto run = world.Run({"capture", "--frames", "2", "--fast", "--size", "160x120", "--format", "i420",
                              "--output", "-"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::string error;
  const auto y4m = ParseY4m(std::vector<uint8_t>(run.out.begin(), run.out.end()), &error);
  ASSERT_TRUE(y4m.has_value()) << error;
  EXPECT_EQ(y4m->frames.size(), 2u);
  EXPECT_NE(run.err.find("captured 2 frames"), std::string::npos) << run.err;
}

TEST(CliCapture, ControlsAtStartChangeThePictureAndStayInTheSettings) {
  CliWorld world;
  auto capture = [&](std::vector<std::string> extra, const char* name) {
    std::vector<std::string> args = {"capture", "--format", "i420", "--size", "176x144", "--frames", "2", "--fast",
                                     "--output", world.Path(name).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto run = world.Run(args);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const Y4m y4m = ReadY4m(world.Path(name));
    return y4m.frames.empty() ? -1.0 : MeanLuma(y4m.frames.back(), 176, 144);
  };
  const double neutral = capture({}, "a.y4m");
  const double brighter = capture({"--set", "brightness=220"}, "b.y4m");
  EXPECT_GT(brighter, neutral + 10) << "brightness 220 against the default 128";

  auto run = world.Run({"ctl", "get", "brightness"});
  EXPECT_EQ(run.out, "brightness: 220\n") << run.err;
  run = world.Run({"reg", "get", "Brightness"});
  EXPECT_EQ(run.out, "220\n");
  // The next run starts with the stored value.
  const double again = capture({}, "c.y4m");
  EXPECT_NEAR(again, brighter, 2.0);
}

TEST(CliCapture, DamagedPacketsGiveRepeatsAndNoGarbage) {
  CliWorld world;
  // Names are taken whatever their case.
  const auto run = world.Run({"capture", "--format", "I420", "--size", "176X144", "--frames", "40", "--fast",
                              "--faults", "LOSS=0.02,Seed=7", "--output", world.Path("v.y4m").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(Count(run.out, "delivered,"), 40) << run.out;
  const int decoded = Count(run.out, "decoded"), repeated = Count(run.out, "repeated"), blank = Count(run.out, "blank");
  EXPECT_GT(repeated, 0) << run.out;
  EXPECT_GT(decoded, 20) << run.out;
  EXPECT_EQ(decoded + repeated + blank, 40) << run.out;
  const Y4m y4m = ReadY4m(world.Path("v.y4m"));
  ASSERT_EQ(y4m.frames.size(), 40u);
  // Every picture is a decoded one (luma of the pattern, not noise): the
  // grey ramp in the lower quarter rises from left to right.
  for (const auto& frame : y4m.frames) {
    const std::size_t row = 176u * 130;
    EXPECT_LT(frame[row + 4] + 40, frame[row + 170]);
  }
}

TEST(CliCapture, StillFromTheButtonIsSavedAndDecodes) {
  CliWorld world;
  auto run = world.Run({"capture", "--size", "160x120", "--seconds", "2.5", "--press-button", "3", "--output",
                        world.Path("v.y4m").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("press seen by the driver"), std::string::npos) << run.out;
  // The camera keeps its rate through the still: 75 video frames and at most
  // half a second of stills (about 200 packets each), not a still for every
  // read the capture made while the driver held video back.
  const std::size_t packets = run.out.find("packets: ");
  ASSERT_NE(packets, std::string::npos) << run.out;
  EXPECT_LT(std::atoi(run.out.c_str() + packets + 9), 5000) << run.out;
  const fs::path still = world.Home() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730" / "snapraw.dat";
  ASSERT_TRUE(fs::exists(still)) << run.out;
  EXPECT_EQ(fs::file_size(still), 203776u);
  run = dualcam::testing::RunTool({"decode", still.string(), world.Path("still.png").string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto png = LoadPng(world.Path("still.png"));
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width, 640);
  EXPECT_EQ(png->height, 480);
}

TEST(CliCapture, UserErrorsAreOneLineWithStatusOneAndTheReason) {
  CliWorld world;
  const std::string out = world.Path("v.y4m").string();
  struct Case {
    std::vector<std::string> args;
    std::string words;
  };
  const std::vector<Case> cases = {
      {{"--size", "100x100", "--output", out}, "unsupported --size"},
      {{"--size", "640x480", "--output", out}, "unsupported --size"},
      {{"--format", "mjpeg", "--output", out}, "--format"},
      {{"--frames", "0", "--output", out}, "--frames"},
      {{"--frames", "2"}, "--output is required"},
      {{"--frames", "2", "--seconds", "1", "--output", out}, "not both"},
      {{"--bogus", "--output", out}, "unknown option '--bogus'"},
      {{"--scene", world.Path("missing.png").string(), "--output", out}, "No such file or directory"},
      {{"--scene", world.Home().string(), "--output", out}, "Is a directory"},
      {{"--set", "zoom=3", "--output", out}, "unknown control 'zoom'"},
      {{"--set", "brightness=999", "--output", out}, "out of range"},
      {{"--set", "gamma=auto", "--output", out}, "no automatic mode"},
      {{"--faults", "loss=2", "--output", out}, "probability"},
      {{"--faults", "lightning=0.1", "--output", out}, "unknown fault"},
      {{"--output", world.Path("v.txt").string()}, "must be FILE.y4m"},
      {{"--output", "/proc/no/such/v.y4m", "--frames", "1"}, "No such file or directory"},
      {{"--output", "/dev/full", "--frames", "1"}, "cannot write /dev/full: No space left on device"},
      {{"--output", "/proc/version/pictures/", "--frames", "1"}, "Not a directory"},
      {{"--output", out, "--output", (world.Path(".") / "v.y4m").string()}, "is the same output as"},
      {{"--output", "-", "--output", "-"}, "is the same output as"},
      {{"--frames", "5", "--press-button", "6", "--output", out}, "--press-button"},
  };
  ASSERT_EQ(world.Run({"reg", "list"}).exit_status, 0);  // the data folder, for the scene case
  for (const auto& c : cases) {
    std::vector<std::string> args = {"capture"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto run = world.Run(args);
    SCOPED_TRACE(c.words);
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_EQ(run.err.rfind("dualcam capture: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(out + ".part"));
}

// A user's earlier pictures are never replaced or mixed by accident: an
// existing video or a folder holding pictures is refused before anything is
// captured, and -y replaces the video and empties the folder's old pictures
// (only those) first.
TEST(CliCapture, ExistingOutputsAreKeptUnlessOverwriteIsAsked) {
  CliWorld world;
  const std::string video = world.Path("v.y4m").string(), folder = world.Path("pics").string();
  auto capture = [&](const std::string& frames, std::vector<std::string> extra) {
    std::vector<std::string> args = {"capture", "--size", "160x120", "--fast", "--frames", frames,
                                     "--output", video, "--output", folder};
    args.insert(args.end(), extra.begin(), extra.end());
    return world.Run(args);
  };
  ASSERT_EQ(capture("3", {}).exit_status, 0);
  ASSERT_TRUE(dualcam::testing::WriteFileBytes(world.Path("pics") / "notes.txt", std::vector<uint8_t>{'h', 'i'}));
  const auto first = ReadFileBytes(video);

  auto run = capture("2", {});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("v.y4m exists; -y (--overwrite) replaces it"), std::string::npos) << run.err;
  EXPECT_EQ(ReadFileBytes(video), first);
  fs::remove(video);
  run = capture("2", {});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("pics already holds pictures (3, e.g. frame-"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(video)) << "refused before anything was written";

  run = capture("2", {"-y"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(ReadY4m(video).frames.size(), 2u);
  run = capture("1", {"--overwrite", "--raw"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"frame-00001.bgr", "notes.txt"}));
}

}  // namespace
}  // namespace dualcam::cli::testing
