// The commands around a capture, run as a user runs them: reg, ctl, info,
// snapshot without a capture, help on every command, and where the data
// folder lives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "cli_harness.h"
#include "host/service/camera_lock.h"

namespace dualcam::cli::testing {
namespace {

namespace fs = std::filesystem;
using dualcam::testing::RunTool;

void ExpectUserError(const ToolRun& run, const std::string& command, const std::string& words) {
  EXPECT_EQ(run.exit_status, 1) << run.err;
  EXPECT_EQ(run.err.rfind("dualcam " + command + ": ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(words), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

TEST(CliReg, ValuesAreWrittenReadListedAndDeleted) {
  CliWorld world;
  auto run = world.Run({"reg", "list"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("no values yet"), std::string::npos);
  EXPECT_TRUE(fs::exists(world.Home() / "registry.db")) << "the first run installs the data folder";
  EXPECT_TRUE(fs::is_directory(world.Home() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730"));

  EXPECT_EQ(world.Run({"reg", "set", "White Balance", "0x0c"}).exit_status, 0);
  EXPECT_EQ(world.Run({"reg", "set", "Label", "kitchen camera", "--string"}).exit_status, 0);
  EXPECT_EQ(world.Run({"reg", "get", "White Balance"}).out, "12\n");
  EXPECT_EQ(world.Run({"reg", "get", "Label"}).out, "kitchen camera\n");
  run = world.Run({"reg", "list"});
  EXPECT_NE(run.out.find("White Balance  REG_DWORD  12 (0xc)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("REG_SZ"), std::string::npos) << run.out;
  EXPECT_EQ(world.Run({"reg", "delete", "Label"}).exit_status, 0);
  ExpectUserError(world.Run({"reg", "get", "Label"}), "reg", "no value 'Label'");
  ExpectUserError(world.Run({"reg", "delete", "Label"}), "reg", "no value 'Label'");
  ExpectUserError(world.Run({"reg", "set", "Gamma", "three"}), "reg", "not a 32-bit number");
  ExpectUserError(world.Run({"reg", "set", "Gamma", "4294967296"}), "reg", "not a 32-bit number");
  ExpectUserError(world.Run({"reg", "set", "Gamma"}), "reg", "NAME VALUE");
  ExpectUserError(world.Run({"reg", "rename", "A", "B"}), "reg", "unknown action");
  ExpectUserError(world.Run({"reg", "get", "A", "--string"}), "reg", "--string");
}

TEST(CliCtl, ControlsShowRangesDefaultsAndStoredValues) {
  CliWorld world;
  auto run = world.Run({"ctl", "list"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 8) << run.out;
  EXPECT_NE(run.out.find("brightness     min=0 max=255 step=1 default=128 value=128"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("hue            min=0 max=719"), std::string::npos) << run.out;

  run = world.Run({"ctl", "set", "GAMMA=4", "contrast=7", "exposure=20", "Hue=300", "white_balance=15"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(world.Run({"ctl", "get", "gamma", "contrast", "exposure"}).out, "gamma: 4\ncontrast: 7\nexposure: 20\n");
  EXPECT_EQ(world.Run({"reg", "get", "Gamma"}).out, "4\n");
  EXPECT_EQ(world.Run({"ctl", "set", "white-balance=AUTO"}).exit_status, 0);
  EXPECT_EQ(world.Run({"ctl", "get", "white_balance"}).out, "white_balance: 15 (auto)\n");

  // Back to the defaults, one by name, through NAME=default, then all.
  ASSERT_EQ(world.Run({"ctl", "reset", "gamma"}).exit_status, 0);
  ASSERT_EQ(world.Run({"ctl", "set", "exposure=Default"}).exit_status, 0);
  EXPECT_EQ(world.Run({"ctl", "get", "gamma", "contrast", "exposure"}).out,
            "gamma: 0\ncontrast: 7\nexposure: 10 (auto)\n");
  ASSERT_EQ(world.Run({"ctl", "reset"}).exit_status, 0);
  EXPECT_EQ(world.Run({"ctl", "get", "brightness", "contrast", "hue", "saturation", "sharpness", "gamma",
                       "white_balance", "exposure"})
                .out,
            "brightness: 128\ncontrast: 0\nhue: 0\nsaturation: 40\nsharpness: 2\ngamma: 0\n"
            "white_balance: 10 (auto)\nexposure: 10 (auto)\n");
  EXPECT_EQ(world.Run({"reg", "get", "Auto Exposure Enable"}).out, "1\n");
  EXPECT_EQ(world.Run({"reg", "get", "Manual_Exposure"}).out, "10\n");

  ExpectUserError(world.Run({"ctl", "get", "zoom"}), "ctl", "unknown control 'zoom'");
  ExpectUserError(world.Run({"ctl", "reset", "zoom"}), "ctl", "unknown control 'zoom'");
  ExpectUserError(world.Run({"ctl", "set", "gamma=10"}), "ctl", "out of range for gamma (0..9 or default)");
  ExpectUserError(world.Run({"ctl", "set", "hue=-1"}), "ctl", "out of range");
  ExpectUserError(world.Run({"ctl", "set", "gamma=bright"}), "ctl", "value 'bright' for gamma is not a number");
  ExpectUserError(world.Run({"ctl", "set", "gamma=2.5"}), "ctl", "is not a number");
  ExpectUserError(world.Run({"ctl", "set", "gamma"}), "ctl", "NAME=VALUE");
  ExpectUserError(world.Run({"ctl", "set", "sharpness=auto"}), "ctl", "no automatic mode");
  // A refused list leaves the stored values alone.
  EXPECT_EQ(world.Run({"ctl", "set", "gamma=2", "contrast=99"}).exit_status, 1);
  EXPECT_EQ(world.Run({"ctl", "get", "gamma"}).out, "gamma: 0\n");
}

// While another process owns the camera (here: this test, as a capture
// would), commands that would bring up a driver are refused and change
// nothing; info and snapshot ask the owner, not the status values.
TEST(CliCamera, AnOwnedCameraIsLeftAloneAndStaleStatusIsToldApart) {
  CliWorld world;
  ASSERT_EQ(world.Run({"reg", "set", "DriverStatus", "3"}).exit_status, 0);
  const std::string holder = "the camera is in use by process " + std::to_string(getpid());
  {
    auto lock = host::service::CameraLock::TryAcquire(world.Home());
    ASSERT_TRUE(lock.Held());
    // An owner that never opens its stream is waited for, not forever.
    ExpectUserError(world.Run({"snapshot", world.Path("s.png").string(), "--timeout", "1"}), "snapshot",
                    "opened no stream within 1 s");
    ASSERT_EQ(world.Run({"reg", "set", "DriverStatus", "5"}).exit_status, 0);
    ASSERT_EQ(world.Run({"reg", "set", "IsoMode", "1"}).exit_status, 0);
    ExpectUserError(world.Run({"ctl", "set", "brightness=90"}), "ctl", holder);
    ExpectUserError(world.Run({"capture", "--frames", "1", "--output", world.Path("v.y4m").string()}), "capture",
                    holder);
    EXPECT_FALSE(fs::exists(world.Path("v.y4m")));
    EXPECT_FALSE(fs::exists(world.Path("v.y4m.part")));
    EXPECT_EQ(world.Run({"reg", "get", "DriverStatus"}).out, "5\n");
    EXPECT_EQ(world.Run({"reg", "get", "IsoMode"}).out, "1\n");
    EXPECT_EQ(world.Run({"reg", "get", "Brightness"}).exit_status, 1) << "never written";
    auto run = world.Run({"info"});
    EXPECT_NE(run.out.find("a capture is running in process " + std::to_string(getpid())), std::string::npos)
        << run.out;
    // An owner that does not answer: the deadline, and the request taken back.
    ExpectUserError(world.Run({"snapshot", world.Path("s.png").string(), "--timeout", "1"}), "snapshot", "no answer");
    EXPECT_EQ(world.Run({"reg", "get", "SnapShoot"}).out, "0\n");
    EXPECT_FALSE(fs::exists(world.Path("s.png")));
  }
  // The owner is gone (killed, say) and its "stream open" stayed behind.
  auto run = world.Run({"info"});
  EXPECT_NE(run.out.find("free (no capture is running)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("left by a capture that ended without closing it"), std::string::npos) << run.out;
  ExpectUserError(world.Run({"snapshot", world.Path("s.png").string()}), "snapshot", "no capture is running");
  run = world.Run({"capture", "--frames", "1", "--fast", "--output", world.Path("v.y4m").string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("note: the settings key shows a stream left open"), std::string::npos) << run.err;
  EXPECT_EQ(world.Run({"reg", "get", "DriverStatus"}).out, "8\n");
  EXPECT_EQ(world.Run({"reg", "get", "IsoMode"}).out, "0\n");
}

TEST(CliInfo, ShowsTheOfferedFormatsAndWhereStateLives) {
  CliWorld world;
  const auto run = world.Run({"info"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  for (const char* line : {"i420    320x240   115200 bytes/frame  30 fps", "rgb24   352x288   304128 bytes/frame",
                           "vqj9    160x120", "Dual Mode Cameras", "DriverStatus:   - (not written yet"})
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  EXPECT_NE(run.out.find((world.Home() / "registry.db").string()), std::string::npos);
}

TEST(CliSnapshot, WithoutACaptureFailsClearly) {
  CliWorld world;
  ExpectUserError(world.Run({"snapshot", world.Path("s.png").string()}), "snapshot", "no capture is running");
  ExpectUserError(world.Run({"snapshot", "s.jpg"}), "snapshot", ".png");
  ExpectUserError(world.Run({"snapshot", "--timeout", "0"}), "snapshot", "--timeout");
}

TEST(CliCommands, HelpEverywhereAndOneLineErrors) {
  for (const char* command : {"capture", "ctl", "reg", "snapshot", "info", "decode", "encode"}) {
    const auto run = RunTool({command, "--help"});
    EXPECT_EQ(run.exit_status, 0) << command;
    EXPECT_EQ(run.out.rfind(std::string("usage: dualcam ") + command, 0), 0u) << run.out;
  }
  auto run = RunTool({"--help"});
  EXPECT_EQ(run.exit_status, 0);
  for (const char* command : {"capture", "ctl", "reg", "snapshot", "info", "decode", "encode"})
    EXPECT_NE(run.out.find(std::string("  ") + command + " "), std::string::npos) << command;
  EXPECT_EQ(RunTool({}).exit_status, 1);
  run = RunTool({"--version"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_THAT(run.out, ::testing::MatchesRegex("dualcam [0-9]+\\.[0-9]+\\.[0-9]+\ndecoder: [a-z0-9]+ \\(.*"));
  setenv("DUALCAM_DECODER", "reference", 1);
  EXPECT_NE(RunTool({"--version"}).out.find("decoder: reference (chosen by DUALCAM_DECODER)"), std::string::npos);
  unsetenv("DUALCAM_DECODER");
  run = RunTool({"record"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("unknown command 'record'"), std::string::npos);
  run = RunTool({"info", "--home"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("--home needs a value"), std::string::npos);
}

// A registry file overwritten with other bytes may still be someone's only
// copy of something: it is named for what it is, kept byte for byte, and
// the way to start afresh is told. A registry that cannot be opened at all
// gives the system's reason.
TEST(CliCommands, ARegistryFileThatIsNotADatabaseIsKept) {
  CliWorld world;
  fs::create_directories(world.Home());
  const std::vector<uint8_t> junk(3000, 'x');
  ASSERT_TRUE(dualcam::testing::WriteFileBytes(world.Home() / "registry.db", junk));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"reg", "list"}, {"info"}, {"ctl", "list"}}) {
    const auto run = world.Run(args);
    ExpectUserError(run, args[0], "registry.db is not a database; it was left as it is");
    EXPECT_NE(run.err.find("move it aside: mv '"), std::string::npos) << run.err;
  }
  EXPECT_EQ(dualcam::testing::ReadFileBytes(world.Home() / "registry.db"), junk);
  fs::remove(world.Home() / "registry.db");
  fs::create_directories(world.Home() / "registry.db");
  ExpectUserError(world.Run({"reg", "list"}), "reg", "registry.db: Is a directory");
}

TEST(CliCommands, DataFolderFollowsTheEnvironment) {
  dualcam::testing::TempDir temp("dualcam-cli-env");
  const std::string saved_home = getenv("HOME") ? getenv("HOME") : "";
  const char* saved_dualcam = getenv("DUALCAM_HOME");
  const std::string saved_dualcam_copy = saved_dualcam ? saved_dualcam : "";
  const char* saved_xdg = getenv("XDG_DATA_HOME");
  const std::string saved_xdg_copy = saved_xdg ? saved_xdg : "";

  unsetenv("DUALCAM_HOME");
  setenv("XDG_DATA_HOME", (temp / "xdg").c_str(), 1);
  EXPECT_EQ(RunTool({"reg", "set", "A", "1"}).exit_status, 0);
  EXPECT_TRUE(fs::exists(temp / "xdg" / "dualcam" / "registry.db"));
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", (temp / "user").c_str(), 1);
  EXPECT_EQ(RunTool({"reg", "set", "A", "2"}).exit_status, 0);
  EXPECT_TRUE(fs::exists(temp / "user" / ".local" / "share" / "dualcam" / "registry.db"));
  setenv("DUALCAM_HOME", (temp / "mine").c_str(), 1);
  EXPECT_EQ(RunTool({"reg", "set", "A", "3"}).exit_status, 0);
  EXPECT_EQ(RunTool({"reg", "get", "A"}).out, "3\n");
  EXPECT_EQ(RunTool({"reg", "get", "A", "--home", (temp / "user" / ".local" / "share" / "dualcam").string()}).out, "2\n");
  // An unusable folder is a one-line error.
  setenv("DUALCAM_HOME", "/proc/version/dualcam", 1);
  ExpectUserError(RunTool({"reg", "list"}), "reg", "cannot create the data folder /proc/version/dualcam: Not a directory");

  setenv("HOME", saved_home.c_str(), 1);
  if (saved_dualcam) setenv("DUALCAM_HOME", saved_dualcam_copy.c_str(), 1); else unsetenv("DUALCAM_HOME");
  if (saved_xdg) setenv("XDG_DATA_HOME", saved_xdg_copy.c_str(), 1); else unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace dualcam::cli::testing

namespace dualcam::cli::testing {
namespace {

TEST(CliDecode, SnapshotFilesAreRecognisedAndCheckedForLength) {
  CliWorld world;
  // A snapshot header (signature 1, 1, 0 and the data length 0x31800)
  // followed by far less data than it declares.
  std::vector<uint8_t> file(1024 + 5000, 0);
  file[0] = 1;
  file[1] = 1;
  file[4] = 0x18;
  file[5] = 0x03;
  ASSERT_TRUE(dualcam::testing::WriteFileBytes(world.Path("short.dat"), file));
  auto run = RunTool({"decode", world.Path("short.dat").string(), world.Path("out.png").string()});
  EXPECT_EQ(run.exit_status, 2) << run.err;
  EXPECT_NE(run.err.find("snapshot file truncated"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(world.Path("out.png")));
}

}  // namespace
}  // namespace dualcam::cli::testing
