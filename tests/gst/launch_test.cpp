// The plugin as users meet it: gst-inspect-1.0, gst-launch-1.0 pipelines and
// gst-device-monitor-1.0 against the plugin in the build tree, with what they
// write read back by readers of their own (a YUV4MPEG2 reader here,
// GStreamer's discoverer, libpng) and compared with the driver's pictures.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "gst_world.h"
#include "host/kernel/registry.h"
#include "host/service/camera_lock.h"
#include "pipeline/render.h"
#include "support/picture_io.h"
#include "support/run_tool.h"

namespace dualcam::gst::testing {
namespace {

std::vector<std::string> Launch(const std::string& pipeline) {
  std::vector<std::string> argv = {"gst-launch-1.0", "-q"};
  gchar** words = g_strsplit(pipeline.c_str(), " ", -1);
  for (gchar** word = words; *word; ++word)
    if (**word) argv.emplace_back(*word);
  g_strfreev(words);
  return argv;
}

// A pipeline's YUV4MPEG2 recording at 176x144 holds the driver's own I420
// pictures of the simulated camera's first frames, one for one.
void ExpectTheDriversFirstPictures(const std::filesystem::path& video, std::size_t frames) {
  const auto y4m = ReadY4m(video);
  ASSERT_TRUE(y4m);
  EXPECT_EQ(y4m->width, 176);
  EXPECT_EQ(y4m->height, 144);
  ASSERT_EQ(y4m->frames.size(), frames);
  TestHome reference_home;
  const auto reference = DriverPictures(reference_home.Home(), pipeline::kFourccI420, 176, 144, static_cast<int>(frames));
  ASSERT_EQ(reference.size(), frames);
  for (std::size_t i = 0; i < frames; ++i) EXPECT_TRUE(y4m->frames[i] == reference[i]) << "frame " << i;
}

TEST(GstTools, InspectDescribesTheElements) {
  const ProcessResult source = RunProgram({"gst-inspect-1.0", "dualcamsrc"});
  ASSERT_EQ(source.exit_status, 0) << source.err;
  for (const char* expected : {"Dual-mode camera source", "GstColorBalance", "video/x-vqj9", "take-still",
                               "white-balance-auto", "is-live"})
    EXPECT_NE(source.out.find(expected), std::string::npos) << expected;
  const ProcessResult renderer = RunProgram({"gst-inspect-1.0", "dualcamdec"});
  ASSERT_EQ(renderer.exit_status, 0) << renderer.err;
  EXPECT_NE(renderer.out.find("Codec/Decoder/Video"), std::string::npos);
}

TEST(GstTools, ARecordedVideoHoldsTheDriversPictures) {
  TestHome home;
  const auto video = home.Path("video.y4m");
  const ProcessResult run = RunProgram(Launch("dualcamsrc home=" + home.Home().string() +
                                       " is-live=false num-buffers=8 ! video/x-raw,format=I420,width=176,height=144 "
                                       "! y4menc ! filesink location=" + video.string()));
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ExpectTheDriversFirstPictures(video, 8);

  // A common video file, read back by GStreamer's own demuxer and decoder.
  const auto webm = home.Path("video.webm");
  const ProcessResult encoded = RunProgram(Launch("dualcamsrc home=" + home.Home().string() +
                                           " is-live=false num-buffers=15 ! video/x-raw,width=352,height=288 ! "
                                           "videoconvert ! vp8enc deadline=1 ! webmmux ! filesink location=" +
                                           webm.string()));
  ASSERT_EQ(encoded.exit_status, 0) << encoded.err;
  const ProcessResult discovered = RunProgram({"gst-discoverer-1.0", webm.string()});
  EXPECT_NE(discovered.out.find("VP8"), std::string::npos) << discovered.out;
  EXPECT_NE(discovered.out.find("Width: 352"), std::string::npos) << discovered.out;
  EXPECT_NE(discovered.out.find("Duration: 0:00:00.49"), std::string::npos) << discovered.out;
}

TEST(GstTools, RecordedSamplesRenderLaterAsDualcamDecodeRendersThem) {
  TestHome home;
  const auto frames = home.Path("frames");
  std::filesystem::create_directories(frames);
  const ProcessResult recorded = RunProgram(Launch("dualcamsrc home=" + home.Home().string() +
                                            " is-live=false num-buffers=3 ! video/x-vqj9,width=176,height=144 ! "
                                            "multifilesink location=" + (frames / "frame-%05d.vqj9").string()));
  ASSERT_EQ(recorded.exit_status, 0) << recorded.err;
  const auto video = home.Path("rendered.y4m");
  const ProcessResult rendered = RunProgram(
      {"gst-launch-1.0", "-q", "multifilesrc", "location=" + (frames / "frame-%05d.vqj9").string(),
       "caps=video/x-vqj9,width=176,height=144,framerate=30/1", "!", "dualcamdec", "!", "video/x-raw,format=I420", "!",
       "y4menc", "!", "filesink", "location=" + video.string()});
  ASSERT_EQ(rendered.exit_status, 0) << rendered.err;
  const auto y4m = ReadY4m(video);
  ASSERT_TRUE(y4m);
  ASSERT_EQ(y4m->frames.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%05d.vqj9", i);
    const auto yuv = home.Path("frame.yuv");
    const auto run = dualcam::testing::RunTool(
        {"decode", "--size", "176x144", "--format", "i420", (frames / name).string(), yuv.string()});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(*dualcam::testing::ReadFileBytes(yuv) == y4m->frames[i]) << name;
  }
}

TEST(GstTools, APipelineOwnsTheCameraAndAnswersStillsControlsAndStopFromAnotherProcess) {
  TestHome home;
  Process pipeline(Launch("-e dualcamsrc home=" + home.Home().string() + " ! fakesink"));
  // Streaming once the lock is the pipeline's and the driver says so.
  bool streaming = false;
  for (int i = 0; i < 300 && !streaming && pipeline.Running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (host::service::CameraLock::Holder(home.Home()) != pipeline.pid()) continue;
    host::Registry registry(home.Home() / "registry.db");
    streaming = registry.GetDword(host::kSettingsKeyPath, "DriverStatus") == 5u;
  }
  ASSERT_TRUE(streaming);

  GstElement* src = gst_element_factory_make("dualcamsrc", nullptr);
  g_object_set(src, "home", home.Home().c_str(), nullptr);
  auto [error, text] = RefusedOpen(src);
  EXPECT_EQ(text, "the camera is in use by process " + std::to_string(pipeline.pid()));
  if (error) g_error_free(error);
  gst_object_unref(src);

  const auto still = home.Path("still.png");
  const auto snapshot =
      dualcam::testing::RunTool({"snapshot", still.string(), "--home", home.Home().string(), "--timeout", "20"});
  ASSERT_EQ(snapshot.exit_status, 0) << snapshot.err;
  const auto picture = dualcam::testing::LoadPng(still.string());
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 640);
  EXPECT_EQ(picture->height, 480);

  // Controls and stop reach it through its control socket; stop ends the
  // stream, and the pipeline with it.
  const auto set = dualcam::testing::RunTool({"ctl", "set", "brightness=90", "--home", home.Home().string()});
  EXPECT_EQ(set.out, "applied to the running capture (process " + std::to_string(pipeline.pid()) + ")\n") << set.err;
  const auto stop = dualcam::testing::RunTool({"stop", "--home", home.Home().string()});
  EXPECT_EQ(stop.exit_status, 0) << stop.err;
  const ProcessResult ended = pipeline.Wait(30);
  EXPECT_EQ(ended.exit_status, 0) << ended.err;
  EXPECT_EQ(host::service::CameraLock::Holder(home.Home()), std::nullopt);
}

// A command run inside the emulated camera's test bed: the simulated camera
// is plugged in as a USB device at usb:1-2, reached through the real libusb.
// In a sanitizer build the emulator carries its own runtime, so the one the
// plugin needs is preloaded for the command alone, after umockdev's library.
ProcessResult RunWithEmulatedCamera(std::vector<std::string> emulator_options, std::vector<std::string> command) {
  std::vector<std::string> argv = {DUALCAM_EMULATOR_PATH};
  argv.insert(argv.end(), emulator_options.begin(), emulator_options.end());
  argv.push_back("--");
  if (std::strlen(DUALCAM_SANITIZER_RUNTIME) > 0) {
    argv.insert(argv.end(), {"env", std::string("LD_PRELOAD=libumockdev-preload.so.0:") + DUALCAM_SANITIZER_RUNTIME,
                             "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0:abort_on_error=1"});
  }
  argv.insert(argv.end(), command.begin(), command.end());
  return RunProgram(argv, {{"LD_PRELOAD", ""}});
}

TEST(GstTools, ARealCameraStreamsThroughLibusbUntilItIsPulledOut) {
  TestHome home;
  // The emulated camera sends a frame whenever one is asked for, so none is
  // lost and the pictures are the driver's for the camera's first frames.
  const auto video = home.Path("usb.y4m");
  const ProcessResult run = RunWithEmulatedCamera(
      {"--fps", "0"}, Launch("dualcamsrc device=usb home=" + home.Home().string() +
                             " num-buffers=6 ! video/x-raw,format=I420,width=176,height=144 ! y4menc ! filesink "
                             "location=" + video.string()));
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ExpectTheDriversFirstPictures(video, 6);

  // Pulled out after ten frames: an error that says so, and the pictures
  // that came before it kept.
  const auto cut = home.Path("cut.y4m");
  const ProcessResult unplugged = RunWithEmulatedCamera(
      {"--unplug-after", "10"}, Launch("-e dualcamsrc device=usb home=" + home.Home().string() +
                                       " num-buffers=100 ! video/x-raw,format=I420,width=176,height=144 ! y4menc ! "
                                       "filesink location=" + cut.string()));
  EXPECT_NE(unplugged.exit_status, 0);
  EXPECT_NE(unplugged.err.find("the camera was removed"), std::string::npos) << unplugged.err;
  const auto kept = ReadY4m(cut);
  ASSERT_TRUE(kept);
  EXPECT_GE(kept->frames.size(), 1u);
  EXPECT_LE(kept->frames.size(), 10u);
  EXPECT_EQ(host::service::CameraLock::Holder(home.Home()), std::nullopt);

  // A camera that is not on the bus is a clear refusal, before any frame.
  const ProcessResult missing = RunWithEmulatedCamera(
      {}, Launch("dualcamsrc device=usb:9999:0001 home=" + home.Home().string() + " num-buffers=1 ! fakesink"));
  EXPECT_NE(missing.exit_status, 0);
  EXPECT_NE(missing.err.find("no USB device usb:9999:0001"), std::string::npos) << missing.err;
}

TEST(GstTools, TheDeviceMonitorListsTheCameraWithItsCaps) {
  const ProcessResult monitor = RunProgram({"gst-device-monitor-1.0", "Video/Source"});
  ASSERT_EQ(monitor.exit_status, 0) << monitor.err;
  EXPECT_NE(monitor.out.find("Dual-mode camera (simulated)"), std::string::npos) << monitor.out;
  EXPECT_NE(monitor.out.find("video/x-vqj9, width=352, height=288, framerate=30/1"), std::string::npos);
  EXPECT_NE(monitor.out.find("video/x-raw, format=BGR, width=352, height=288"), std::string::npos);

  // Real cameras are listed by their place on the bus, beside the simulated one.
  const ProcessResult plugged = RunWithEmulatedCamera({"--cameras", "2"}, {"gst-device-monitor-1.0", "Video/Source"});
  ASSERT_EQ(plugged.exit_status, 0) << plugged.err;
  EXPECT_NE(plugged.out.find("Dual-mode camera (simulated)"), std::string::npos) << plugged.out;
  for (const char* place : {"device.path = usb:1-2", "device.path = usb:1-3"})
    EXPECT_NE(plugged.out.find(place), std::string::npos) << plugged.out;
  EXPECT_NE(plugged.out.find("device.vendor.id = 1209"), std::string::npos) << plugged.out;
}

}  // namespace
}  // namespace dualcam::gst::testing
