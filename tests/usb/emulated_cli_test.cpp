// `dualcam` with --device usb, run as a user runs it under
// scripts/with-emulated-camera.sh: the driver's buffers as the in-process
// path gives them, a camera pulled out mid-capture, a camera another
// program holds, the device list, and the mistakes a user can make.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/run_tool.h"
#include "support/test_data.h"
#include "usb/usb_world.h"

namespace dualcam::usb::testing {
namespace {

namespace fs = std::filesystem;
using dualcam::testing::ReadFileBytes;
using dualcam::testing::RunProgram;
using dualcam::testing::TempDir;
using dualcam::testing::ToolPath;
using dualcam::testing::ToolRun;

// The emulator with its options, then `dualcam` with its arguments.
ToolRun Emulated(std::vector<std::string> emulator, const std::vector<std::string>& dualcam) {
  emulator.push_back("--");
  emulator.push_back(ToolPath().string());
  emulator.insert(emulator.end(), dualcam.begin(), dualcam.end());
  return RunProgram(DUALCAM_EMULATOR_PATH, emulator);
}

// Frames of a YUV4MPEG2 file, counted by their markers.
int Frames(const fs::path& y4m) {
  const auto bytes = ReadFileBytes(y4m).value_or(std::vector<uint8_t>{});
  const std::string text(bytes.begin(), bytes.end());
  int frames = 0;
  for (std::size_t at = text.find("FRAME\n"); at != std::string::npos; at = text.find("FRAME\n", at + 6)) ++frames;
  return frames;
}

// The camera sends as many frames as the in-process reads make it send, so
// the driver's buffers that `capture --raw` writes are those of the API. A
// frame that completes while no read waits is dropped, as on any bus; at 10
// frames a second a loaded machine's capture still has a read waiting for
// each.
void ExpectSameBuffers(const char* format, DWORD compression, const char* extension) {
  TempDir dir("usbcli");
  const ToolRun run = Emulated({"--fps", "10", "--frames", "4"}, {"capture", "--home", (dir / "home").string(), "--device", "usb",
                                                   "--format", format, "--size", "176x144", "--frames", "3", "--raw",
                                                   "--output", (dir / "raw").string() + "/"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("from usb 1-2 (1209:0001)"), std::string::npos) << run.out;
  const CaptureRun local = CaptureInProcess(std::make_shared<host::sim::SimCamera>(), {compression, 176, 144, {3}});
  ASSERT_EQ(local.pictures.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const fs::path file = dir / "raw" / ("frame-0000" + std::to_string(i + 1) + extension);
    const auto bytes = ReadFileBytes(file);
    ASSERT_TRUE(bytes) << file;
    EXPECT_TRUE(*bytes == local.pictures[i]) << file;
  }
}

TEST(EmulatedCli, Rgb24BuffersThroughLibusbAreTheInProcessOnes) { ExpectSameBuffers("rgb24", 0, ".bgr"); }
TEST(EmulatedCli, I420BuffersThroughLibusbAreTheInProcessOnes) { ExpectSameBuffers("i420", 0x30323449, ".yuv"); }
TEST(EmulatedCli, Vqj9BuffersThroughLibusbAreTheInProcessOnes) { ExpectSameBuffers("vqj9", 0x394A5156, ".vqj9"); }

TEST(EmulatedCli, ACameraPulledOutEndsTheCaptureWithWhatCameAndAClearMessage) {
  TempDir dir("usbcli");
  const auto start = std::chrono::steady_clock::now();
  const ToolRun run = Emulated({"--unplug-after", "6"}, {"capture", "--home", (dir / "home").string(), "--device",
                                                        "usb", "--frames", "500", "--output",
                                                        (dir / "v.y4m").string()});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("dualcam capture: the camera (usb 1-2 (1209:0001)) left the bus after "), std::string::npos)
      << run.err;
  const int frames = Frames(dir / "v.y4m");
  EXPECT_GE(frames, 1);
  EXPECT_LE(frames, 6);
  EXPECT_NE(run.out.find("captured " + std::to_string(frames) + " frames"), std::string::npos) << run.out;
}

// Two data folders, so the folder's own lock does not stand between them:
// the USB claim does.
TEST(EmulatedCli, ASecondProgramFindsTheCameraInUse) {
  TempDir dir("usbcli");
  // The second starts once the first has its stream open (long after its
  // claim), and the first streams on meanwhile.
  const auto quoted = [](const std::string& text) {
    std::string out("\"");
    out.append(text).append("\"");
    return out;
  };
  const std::string tool = quoted(ToolPath().string());
  const std::string a = quoted((dir / "a").string());
  const std::string b = quoted((dir / "b").string());
  std::string script;
  script.append(tool).append(" capture --home ").append(a).append(" --device usb --seconds 5 --output /dev/null & ");
  script.append("for i in $(seq 300); do [ \"$(").append(tool).append(" reg get IsoMode --home ").append(a);
  script.append(" 2>/dev/null)\" = 1 ] && break; sleep 0.05; done; ");
  script.append(tool).append(" capture --home ").append(b).append(" --device usb --frames 1 --output /dev/null; ");
  script.append("echo \"second: $?\"; wait; echo \"first: $?\"");
  const ToolRun run = RunProgram(DUALCAM_EMULATOR_PATH, {"--", "/bin/sh", "-c", script});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("second: 1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("first: 0"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("dualcam capture: usb 1-2 (1209:0001) is in use by another program"), std::string::npos)
      << run.err;
}

TEST(EmulatedCli, TheDeviceListAndTheWaysToNameADevice) {
  const ToolRun list = Emulated({"--cameras", "2"}, {"info", "--devices"});
  ASSERT_EQ(list.exit_status, 0) << list.err;
  EXPECT_NE(list.out.find("usb:1-2        usb:1209:0001  dualcam Simulated dual-mode camera"), std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("usb:1-3 "), std::string::npos) << list.out;

  TempDir dir("usbcli");
  const std::string home = (dir / "home").string();
  const ToolRun several = Emulated({"--cameras", "2"}, {"capture", "--home", home, "--device", "usb", "--frames",
                                                        "1", "--output", "/dev/null"});
  EXPECT_EQ(several.exit_status, 1);
  EXPECT_NE(several.err.find("several devices match usb: usb:1-2 (1209:0001) usb:1-3 (1209:0001); name one"),
            std::string::npos)
      << several.err;
  const ToolRun elsewhere =
      Emulated({}, {"capture", "--home", home, "--device", "usb:1-9", "--frames", "1", "--output", "/dev/null"});
  EXPECT_EQ(elsewhere.exit_status, 1);
  EXPECT_NE(elsewhere.err.find("no USB device usb:1-9 (1 camera on the bus)"), std::string::npos) << elsewhere.err;

  const ToolRun bad = dualcam::testing::RunTool({"capture", "--home", home, "--device", "usb:12:zz", "--output",
                                                 "/dev/null"});
  EXPECT_EQ(bad.exit_status, 1);
  EXPECT_NE(bad.err.find("bad device 'usb:12:zz'"), std::string::npos) << bad.err;
  const ToolRun sim_only = dualcam::testing::RunTool({"capture", "--home", home, "--device", "usb", "--faults",
                                                      "loss=0.1", "--output", "/dev/null"});
  EXPECT_EQ(sim_only.exit_status, 1);
  EXPECT_NE(sim_only.err.find("--faults is for the simulated camera"), std::string::npos) << sim_only.err;
}

}  // namespace
}  // namespace dualcam::usb::testing
