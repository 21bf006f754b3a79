// What the plugin's tests share: a private data folder per test, dualcamsrc
// in a GstHarness stepped frame by frame on the harness's test clock, the
// driver's own pictures for comparison, and gst-launch-1.0 and the other
// GStreamer tools run as child processes against the plugin in the build
// tree.
//
// Hard part: determinism. The elements opened here run the host on
// virtual time (the button poll moves with the frames), and each frame is
// released by cranking the test clock once the source waits for it, so
// "the next picture" after a control or a still request is exactly one
// frame interval of the camera later.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ks.h"
#include "support/test_data.h"

namespace dualcam::gst::testing {

// A private data folder, removed afterwards.
class TestHome {
 public:
  TestHome() : temp_("gst") {}
  std::filesystem::path Home() const { return temp_ / "home"; }
  std::filesystem::path Path(std::string_view name) const { return temp_ / name; }

 private:
  dualcam::testing::TempDir temp_;
};

// dualcamsrc in a harness with a bus, on the test clock.
class SourceHarness {
 public:
  // Properties are "name=value" pairs set before the element opens.
  SourceHarness(const std::filesystem::path& home, const std::string& caps,
                const std::vector<std::pair<std::string, std::string>>& properties = {});
  ~SourceHarness();
  SourceHarness(const SourceHarness&) = delete;
  SourceHarness& operator=(const SourceHarness&) = delete;

  // Starts the pipeline; false when the element refused to start.
  bool Play();
  // Releases frame intervals until a picture comes (at most `intervals`);
  // the source then waits for the next one. Null when none came.
  GstBuffer* Next(int intervals = 60);
  // The next element message of that name (or error, when name is
  // "error"), releasing frame intervals while waiting for it.
  GstMessage* WaitMessage(const std::string& name, int intervals = 200);

  GstElement* element() const { return harness_->element; }
  GstHarness* harness() const { return harness_; }
  GstBus* bus() const { return bus_; }

 private:
  GstHarness* harness_;
  GstBus* bus_;
  bool playing_ = false;
};

// The next message of that type on the bus within `timeout`, or null.
GstMessage* PopMessage(GstBus* bus, GstMessageType type, GstClockTime timeout = 0);
// The text of an error message ("" for null).
std::string ErrorText(GstMessage* error);
// Sets the element to READY, which must fail, and returns the error it
// posted (to be freed) and its text; the element is back in NULL.
std::pair<GError*, std::string> RefusedOpen(GstElement* element);

// The pictures the driver delivers for the first `count` frames in a
// format (compression "I420", "VQJ9" or 0, the size), read through the
// capture application directly from a fresh simulated camera.
std::vector<std::vector<uint8_t>> DriverPictures(const std::filesystem::path& home, DWORD compression, int width,
                                                 int height, int count);

// Bytes of a buffer.
std::vector<uint8_t> BufferBytes(GstBuffer* buffer);
// Bottom-up rows of `width` x 3 bytes turned top-down (and back).
std::vector<uint8_t> FlipBgr(const std::vector<uint8_t>& rows, int width, int height);
// Largest distance of the two chroma planes of an I420 picture from 128.
int ChromaSpread(const std::vector<uint8_t>& i420, int width, int height);

// A child process running a GStreamer tool (or any program) with the
// plugin in the build tree on its plugin path; output in files.
struct ProcessResult {
  int exit_status = -1;  // -1: did not exit normally
  int signal = 0;
  std::string out, err;
};
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  ~Process();  // kills the child if it still runs
  // Waits up to `seconds`; kills the child when it takes longer.
  ProcessResult Wait(int seconds = 60);
  void Signal(int signal);
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  dualcam::testing::TempDir dir_;
  pid_t pid_ = -1;
  ProcessResult result_;
};
ProcessResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                  int seconds = 60);

// A YUV4MPEG2 stream, read without any GStreamer code.
struct Y4m {
  int width = 0, height = 0;
  std::string header;
  std::vector<std::vector<uint8_t>> frames;
};
std::optional<Y4m> ReadY4m(const std::filesystem::path& path);

}  // namespace dualcam::gst::testing
