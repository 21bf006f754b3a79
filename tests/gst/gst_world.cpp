// The plugin tests' shared pieces (see gst_world.h).
#include "gst_world.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "home.h"
#include "host/classlib/capture_app.h"
#include "session.h"

namespace dualcam::gst::testing {

SourceHarness::SourceHarness(const std::filesystem::path& home, const std::string& caps,
                             const std::vector<std::pair<std::string, std::string>>& properties)
    : harness_(gst_harness_new("dualcamsrc")), bus_(gst_bus_new()) {
  g_object_set(harness_->element, "home", home.c_str(), nullptr);
  for (const auto& [name, value] : properties) gst_util_set_object_arg(G_OBJECT(harness_->element), name.c_str(), value.c_str());
  if (!caps.empty()) gst_harness_set_sink_caps_str(harness_, caps.c_str());
  gst_harness_use_testclock(harness_);
  gst_element_set_bus(harness_->element, bus_);
}

SourceHarness::~SourceHarness() {
  gst_harness_teardown(harness_);
  gst_object_unref(bus_);
}

bool SourceHarness::Play() {
  playing_ = gst_element_set_state(harness_->element, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
  return playing_;
}

GstBuffer* SourceHarness::Next(int intervals) {
  GstTestClock* clock = gst_harness_get_testclock(harness_);
  GstPad* pad = gst_element_get_static_pad(harness_->element, "src");
  GstBuffer* buffer = nullptr;
  for (int i = 0; i <= intervals && buffer == nullptr; ++i) {
    // The source either pushes the interval's picture or goes on to wait
    // for the next interval (having pushed it first); one that does neither
    // for long has ended or failed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool waiting = false;
    while (buffer == nullptr && !waiting && std::chrono::steady_clock::now() < deadline) {
      buffer = gst_harness_try_pull(harness_);
      waiting = gst_test_clock_peek_id_count(clock) > 0;
      if (gst_pad_get_task_state(pad) != GST_TASK_STARTED) break;  // ended or failed
      if (buffer == nullptr && !waiting) g_usleep(500);
    }
    if (buffer == nullptr) buffer = gst_harness_try_pull(harness_);
    if (buffer != nullptr || !waiting || i == intervals) break;
    gst_harness_crank_single_clock_wait(harness_);
  }
  gst_object_unref(pad);
  gst_object_unref(clock);
  return buffer;
}

GstMessage* SourceHarness::WaitMessage(const std::string& name, int intervals) {
  const auto types = static_cast<GstMessageType>(GST_MESSAGE_ELEMENT | GST_MESSAGE_ERROR);
  for (int i = 0; i <= intervals; ++i) {
    while (GstMessage* message = gst_bus_pop_filtered(bus_, types)) {
      if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR && name == "error") return message;
      const GstStructure* structure = gst_message_get_structure(message);
      if (structure && gst_structure_has_name(structure, name.c_str())) return message;
      gst_message_unref(message);
    }
    if (GstBuffer* buffer = Next(1)) gst_buffer_unref(buffer);
  }
  return nullptr;
}

GstMessage* PopMessage(GstBus* bus, GstMessageType type, GstClockTime timeout) {
  return gst_bus_timed_pop_filtered(bus, timeout, type);
}

std::string ErrorText(GstMessage* error) {
  if (error == nullptr) return "";
  GError* gerror = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(error, &gerror, &debug);
  std::string text = gerror ? gerror->message : "";
  g_clear_error(&gerror);
  g_free(debug);
  return text;
}

std::pair<GError*, std::string> RefusedOpen(GstElement* element) {
  GstBus* bus = gst_bus_new();
  gst_element_set_bus(element, bus);
  EXPECT_EQ(gst_element_set_state(element, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
  GstMessage* message = PopMessage(bus, GST_MESSAGE_ERROR);
  GError* error = nullptr;
  if (message) gst_message_parse_error(message, &error, nullptr);
  const std::string text = error ? error->message : "";
  if (message) gst_message_unref(message);
  gst_element_set_state(element, GST_STATE_NULL);
  gst_element_set_bus(element, nullptr);
  gst_object_unref(bus);
  return {error, text};
}

std::vector<std::vector<uint8_t>> DriverPictures(const std::filesystem::path& home, DWORD compression, int width,
                                                 int height, int count) {
  std::vector<std::vector<uint8_t>> pictures;
  tools::DriverSession session(tools::OpenHome(home.string()), /*realtime=*/false);
  const host::StreamInfo info = session.camera().GetStreamInfo();
  const KS_DATARANGE_VIDEO* range = host::FindRange(info, compression, width, height);
  if (range == nullptr) {
    ADD_FAILURE() << "the driver does not announce " << width << "x" << height;
    return pictures;
  }
  auto stream = session.camera().OpenStream(host::FormatFromRange(*range));
  if (!stream || stream->SetState(KSSTATE_RUN) != STATUS_SUCCESS) {
    ADD_FAILURE() << "the stream did not run";
    return pictures;
  }
  for (int tries = 0; static_cast<int>(pictures.size()) < count && tries < count * 4; ++tries) {
    for (const host::Picture& picture : stream->Read(1)) {
      if (picture.Status == STATUS_SUCCESS) pictures.emplace_back(picture.Used().begin(), picture.Used().end());
    }
  }
  stream->SetState(KSSTATE_STOP);
  stream->Close();
  return pictures;
}

std::vector<uint8_t> BufferBytes(GstBuffer* buffer) {
  std::vector<uint8_t> bytes(gst_buffer_get_size(buffer));
  gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
  return bytes;
}

std::vector<uint8_t> FlipBgr(const std::vector<uint8_t>& rows, int width, int height) {
  const std::size_t stride = static_cast<std::size_t>(width) * 3;
  std::vector<uint8_t> flipped(rows.size());
  for (int y = 0; y < height && (y + 1) * stride <= rows.size(); ++y)
    std::memcpy(flipped.data() + y * stride, rows.data() + (height - 1 - y) * stride, stride);
  return flipped;
}

int ChromaSpread(const std::vector<uint8_t>& i420, int width, int height) {
  const std::size_t luma = static_cast<std::size_t>(width) * height;
  int spread = 0;
  for (std::size_t i = luma; i < i420.size() && i < luma * 3 / 2; ++i) spread = std::max(spread, std::abs(i420[i] - 128));
  return spread;
}

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
    : dir_("gst-process") {
  // Our environment, the plugin in the build tree, a registry cache of the
  // tests' own, and in a sanitizer build the runtime the plugin module needs
  // (gst-launch-1.0 itself is not instrumented; it also frees little at
  // exit, by design, so leaks are not looked for there).
  gchar** envp = g_get_environ();
  envp = g_environ_setenv(envp, "GST_PLUGIN_PATH", DUALCAM_GST_PLUGIN_DIR, TRUE);
  envp = g_environ_setenv(envp, "GST_REGISTRY_1_0", DUALCAM_GST_REGISTRY_DIR "/launch-registry.bin", TRUE);
  if (std::strlen(DUALCAM_SANITIZER_RUNTIME) > 0) {
    envp = g_environ_setenv(envp, "LD_PRELOAD", DUALCAM_SANITIZER_RUNTIME, TRUE);
    envp = g_environ_setenv(envp, "ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1", TRUE);
  }
  for (const auto& [name, value] : env) envp = g_environ_setenv(envp, name.c_str(), value.c_str(), TRUE);
  std::vector<gchar*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<gchar*>(arg.c_str()));
  args.push_back(nullptr);
  const int out = ::open((dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  GError* error = nullptr;
  GPid pid = -1;
  if (!g_spawn_async_with_fds(nullptr, args.data(), envp,
                              static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                              nullptr, &pid, -1, out, err, &error)) {
    ADD_FAILURE() << "cannot run " << argv[0] << ": " << error->message;
    g_clear_error(&error);
  }
  pid_ = pid;
  ::close(out);
  ::close(err);
  g_strfreev(envp);
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Process::Running() {
  int status = 0;
  if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return pid_ > 0;
  if (WIFEXITED(status)) result_.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  pid_ = -1;
  return false;
}

void Process::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ProcessResult Process::Wait(int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "a child process took longer than " << seconds << " s; killed";
      ::kill(pid_, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result_.out = dualcam::testing::ReadFileText(dir_ / "stdout");
  result_.err = dualcam::testing::ReadFileText(dir_ / "stderr");
  return result_;
}

ProcessResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int seconds) {
  Process process(argv, env);
  return process.Wait(seconds);
}

std::optional<Y4m> ReadY4m(const std::filesystem::path& path) {
  const std::string bytes = dualcam::testing::ReadFileText(path);
  const auto end = bytes.find('\n');
  if (bytes.rfind("YUV4MPEG2 ", 0) != 0 || end == std::string::npos) return std::nullopt;
  Y4m y4m;
  y4m.header = bytes.substr(0, end);
  std::istringstream fields(y4m.header);
  for (std::string field; fields >> field;) {
    if (field[0] == 'W') y4m.width = std::atoi(field.c_str() + 1);
    if (field[0] == 'H') y4m.height = std::atoi(field.c_str() + 1);
  }
  const std::size_t frame_bytes = static_cast<std::size_t>(y4m.width) * y4m.height * 3 / 2;
  if (frame_bytes == 0) return std::nullopt;
  std::size_t at = end + 1;
  while (at < bytes.size()) {
    const auto line = bytes.find('\n', at);
    if (line == std::string::npos || bytes.compare(at, 5, "FRAME") != 0 || line + 1 + frame_bytes > bytes.size())
      return std::nullopt;
    y4m.frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(line + 1),
                            bytes.begin() + static_cast<std::ptrdiff_t>(line + 1 + frame_bytes));
    at = line + 1 + frame_bytes;
  }
  return y4m;
}

}  // namespace dualcam::gst::testing
