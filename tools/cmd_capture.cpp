// `dualcam capture`: loads the driver, brings a camera up (the simulated one,
// or a real one on the USB bus with --device), opens
// the capture pin in one of its offered formats, streams a number of
// pictures through the driver's read requests and writes them out: a
// YUV4MPEG2 file, a folder of PNG pictures, or the driver's buffers as they
// came (which `dualcam decode` renders again).
//
// Hard part: the run is the driver's, end to end, with the button poll on
// its own worker thread and other processes possibly reading and writing
// the same settings key; the command must leave the driver in order (stream
// stopped and closed, camera removed) however it ends, Ctrl-C included, and
// must never leave a half-written output under the final name.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "camera_access.h"
#include "capture_output.h"
#include "command.h"
#include "control_service.h"
#include "driver/formats.h"
#include "home.h"
#include "host/bus/libusb_bus.h"
#include "host/sim/encoder/picture.h"
#include "host/kernel/registry.h"
#include "host/sim/scene.h"
#include "image_io.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "render_io.h"
#include "session.h"

namespace dualcam::tools {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kCaptureHelp[] =
    "usage: dualcam capture [--format rgb24|i420|vqj9] [--size WxH] [--frames N | --seconds S]\n"
    "                       --output OUT [--output OUT...] [options]\n"
    "\n"
    "Loads the driver, brings a camera up, opens the capture pin in the format\n"
    "asked for, streams pictures through the driver and writes them.\n"
    "\n"
    "  --device D        sim (default: the simulated camera), or a real camera on\n"
    "                    the USB bus: usb (the one camera there), usb:VVVV:PPPP\n"
    "                    (vendor and product id, as lsusb shows them) or\n"
    "                    usb:BUS-PORT[.PORT...] (its place; 'dualcam info --devices'\n"
    "                    lists them); see docs/real-camera.md\n"
    "  --format F        rgb24 (default), i420 or vqj9 (the camera's compressed stream)\n"
    "  --size WxH        352x288 (default), 320x240, 176x144 or 160x120\n"
    "  --frames N        pictures to capture (default 60)\n"
    "  --seconds S       or: capture for S seconds at the camera's rate\n"
    "  --output OUT      where the pictures go (may be repeated, each output once):\n"
    "                      FILE.y4m  YUV4MPEG2 video (4:2:0, full-range JPEG colours)\n"
    "                      -         YUV4MPEG2 video on standard output\n"
    "                      DEVICE    YUV4MPEG2 video into an existing device or pipe\n"
    "                                (e.g. /dev/null)\n"
    "                      DIR/      a folder of PNG pictures frame-00001.png, ...\n"
    "  -y, --overwrite   replace an existing FILE.y4m, and remove the pictures a\n"
    "                    folder holds first; without it either is refused\n"
    "  --raw             folders get the driver's buffers instead of PNGs:\n"
    "                    frame-NNNNN.bgr (rgb24: the finished picture, bottom-up\n"
    "                    rows of B,G,R), .yuv (i420: the finished picture, planar\n"
    "                    Y, Cb, Cr) or .vqj9 (a 174-byte header and the camera's\n"
    "                    compressed frame); 'dualcam decode FILE out.png' turns\n"
    "                    each into a picture, a .vqj9 exactly as the driver renders it\n"
    "  --scene S         the simulated camera's view: 'pattern' (default: moving\n"
    "                    colour bars with the frame number) or a PNG photograph\n"
    "  --set NAME=VALUE  a control to set before streaming (may be repeated; see\n"
    "                    'dualcam ctl list'); the driver stores it in the settings key\n"
    "  --press-button N  press the simulated camera's snapshot button before frame N\n"
    "  --faults LIST     damage the simulated camera's USB packets, seeded:\n"
    "                    loss=P,reorder=P,truncate=P,\n"
    "                    error=P,seed=N with P a probability (e.g. loss=0.01)\n"
    "  --fast            stream as fast as possible instead of at the camera's rate\n"
    "  --home DIR        data folder (default $DUALCAM_HOME, else ~/.local/share/dualcam)\n"
    "\n"
    "While it runs, 'dualcam ctl' and 'dualcam info' reach it from another\n"
    "terminal through the data folder's control socket, 'dualcam stop' ends it,\n"
    "and 'dualcam snapshot' and 'dualcam reg' work as ever. Ctrl-C (SIGINT),\n"
    "SIGTERM or SIGHUP ends the capture early and keeps what was written, whole.\n"
    "Exit status: 0 success; 1 usage error, camera in use, no camera, refused\n"
    "stream, a camera unplugged mid-capture (the pictures it sent are kept) or\n"
    "I/O error; 128 + the signal's number after an interruption (130 for Ctrl-C,\n"
    "143 for SIGTERM, 129 for SIGHUP).\n";

// The signal that ended the capture early (SIGINT, SIGTERM or SIGHUP), or 0.
std::atomic<int> g_signal{0};

extern "C" void OnInterrupt(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal, std::memory_order_relaxed);
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

struct FormatChoice {
  std::string_view name;
  DWORD compression;
  bool planar;
  std::string_view raw_extension;
};

constexpr FormatChoice kFormats[] = {
    {"rgb24", pipeline::kCompressionRgb, false, ".bgr"},
    {"i420", pipeline::kFourccI420, true, ".yuv"},
    {"vqj9", pipeline::kFourccVqj9, true, ".vqj9"},
};

struct CaptureOptions {
  std::optional<host::bus::DeviceSelector> usb;  // none: the simulated camera
  const FormatChoice* format = &kFormats[0];
  int width = 352, height = 288;
  std::optional<int> frames;
  std::optional<double> seconds;
  std::vector<std::string> outputs;
  bool overwrite = false;
  bool raw = false;
  std::string scene = "pattern";
  std::vector<ControlSetting> settings;
  std::vector<int> presses;
  host::sim::PacketFaults faults;
  bool faulty = false;
  bool fast = false;
  std::optional<std::string> home;
};

uint32_t PerMillion(std::string_view key, std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  const double p = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || !(p >= 0.0 && p <= 1.0))
    UsageError("--faults " + std::string(key) + " must be a probability 0..1, got '" + copy + "'");
  return static_cast<uint32_t>(std::lround(p * 1e6));
}

host::sim::PacketFaults ParseFaults(std::string_view list) {
  host::sim::PacketFaults faults;
  faults.seed = 1;
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    const auto equals = item.find('=');
    if (equals == std::string_view::npos) UsageError("--faults expects KEY=VALUE items, got '" + std::string(item) + "'");
    const std::string key = Lower(item.substr(0, equals));
    const std::string_view value = item.substr(equals + 1);
    if (key == "loss" || key == "drop") faults.drop = PerMillion(key, value);
    else if (key == "reorder") faults.reorder = PerMillion(key, value);
    else if (key == "truncate") faults.truncate = PerMillion(key, value);
    else if (key == "error") faults.error = PerMillion(key, value);
    else if (key == "seed") {
      const auto seed = ParseDword(value);
      if (!seed) UsageError("--faults seed must be a number");
      faults.seed = *seed;
    } else {
      UsageError("unknown fault '" + std::string(key) + "' (loss, reorder, truncate, error, seed)");
    }
  }
  return faults;
}

CaptureOptions ParseCaptureOptions(const ParsedArgs& parsed) {
  CaptureOptions options;
  if (!parsed.positional.empty())
    UsageError("unexpected argument '" + parsed.positional[0] + "' (outputs go after --output)");
  if (auto format = parsed.Last("--format")) {
    const auto it = std::find_if(std::begin(kFormats), std::end(kFormats),
                                 [&](const FormatChoice& f) { return f.name == Lower(*format); });
    if (it == std::end(kFormats)) UsageError("--format must be rgb24, i420 or vqj9");
    options.format = &*it;
  }
  if (auto size = parsed.Last("--size")) {
    const auto parsed_size = ParseSize(*size);
    const bool offered = parsed_size && std::any_of(driver::CaptureFormats.begin(), driver::CaptureFormats.end(),
                                                    [&](const KS_DATARANGE_VIDEO& range) {
                                                      return range.VideoInfoHeader.bmiHeader.biWidth == parsed_size->first &&
                                                             range.VideoInfoHeader.bmiHeader.biHeight == parsed_size->second;
                                                    });
    if (!offered) UsageError("unsupported --size '" + *size + "' (352x288, 320x240, 176x144 or 160x120)");
    options.width = parsed_size->first;
    options.height = parsed_size->second;
  }
  if (parsed.Has("--frames") && parsed.Has("--seconds")) UsageError("give --frames or --seconds, not both");
  if (auto frames = parsed.Last("--frames")) {
    options.frames = ParseInt(*frames, 1, 1'000'000);
    if (!options.frames) UsageError("--frames must be 1..1000000");
  }
  if (auto seconds = parsed.Last("--seconds")) {
    char* end = nullptr;
    const double value = std::strtod(seconds->c_str(), &end);
    if (seconds->empty() || end != seconds->c_str() + seconds->size() || !(value > 0 && value <= 36000))
      UsageError("--seconds must be a number of seconds above 0 (at most 36000)");
    options.seconds = value;
  }
  options.outputs = parsed.All("--output");
  if (options.outputs.empty()) UsageError("--output is required (FILE.y4m, - or DIR/)");
  options.overwrite = parsed.Has("--overwrite") || parsed.Has("-y");
  options.raw = parsed.Has("--raw");
  if (auto scene = parsed.Last("--scene")) options.scene = Lower(*scene) == "pattern" ? "pattern" : *scene;
  for (const auto& text : parsed.All("--set")) options.settings.push_back(ParseControlSetting(text));
  for (const auto& text : parsed.All("--press-button")) {
    const auto frame = ParseInt(text, 1, 1'000'000);
    if (!frame) UsageError("--press-button takes a frame number from 1");
    options.presses.push_back(*frame);
  }
  if (auto faults = parsed.Last("--faults")) {
    options.faults = ParseFaults(*faults);
    options.faulty = true;
  }
  options.fast = parsed.Has("--fast");
  options.home = parsed.Last("--home");
  if (auto device = parsed.Last("--device"); device && Lower(*device) != "sim") {
    std::string why;
    options.usb = host::bus::ParseDeviceSelector(Lower(*device), &why);
    if (!options.usb) UsageError(why + "; --device takes sim, usb, usb:VVVV:PPPP or usb:BUS-PORT");
    // What only the simulated camera can be told.
    for (const char* option : {"--scene", "--faults", "--press-button", "--fast"})
      if (parsed.Has(option))
        UsageError(std::string(option) + " is for the simulated camera; a real camera (--device " + *device +
                   ") films what is in front of it at its own rate");
  }
  return options;
}

// The I420 picture of a delivered buffer; a VQJ9 sample is rendered the
// way `dualcam decode` renders it.
std::vector<uint8_t> ToI420(std::span<const uint8_t> buffer, const FormatChoice& format, int width, int height) {
  if (format.compression == pipeline::kFourccI420) return {buffer.begin(), buffer.end()};
  if (format.compression == pipeline::kCompressionRgb)
    return encoder::RgbToI420(DriverBufferToRgb(buffer, width, height, false)).bytes;
  if (buffer.size() < pipeline::kPassThroughHeaderSize + pipeline::kRawHeaderSize ||
      std::memcmp(buffer.data(), pipeline::kPassThroughTag, 4) != 0)
    return {};
  const auto raw = buffer.subspan(pipeline::kPassThroughHeaderSize);
  uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = length << 8 | raw[pipeline::kPassThroughRawLengthOffset + i];
  if (length < pipeline::kRawHeaderSize || length > raw.size()) return {};
  const int gamma = buffer[pipeline::kPassThroughGammaOffset];
  auto picture = RenderRawFrame(raw.first(length), width, height, true, raw[pipeline::kPassThroughRawQualityOffset],
                                gamma < pipeline::kToneCurveCount ? gamma : 0);
  return picture ? std::move(*picture) : std::vector<uint8_t>{};
}

// Time spent waiting for the camera's next frame, which the frame times
// leave out: they measure the driver's and the camera's work.
std::atomic<int64_t> g_camera_wait_ns{0};

std::shared_ptr<host::sim::SimCamera> MakeCamera(const CaptureOptions& options, LONGLONG interval) {
  // At the camera's rate the camera itself keeps time (the stream is read as
  // fast as it comes); --fast lets it send a frame whenever one is read.
  host::sim::SimCameraOptions camera_options;
  if (!options.fast) {
    camera_options.frame_period = std::chrono::nanoseconds(interval * 100);
    camera_options.wait_until = [](std::chrono::nanoseconds due) {
      const auto before = Clock::now();
      std::this_thread::sleep_until(Clock::time_point(std::chrono::duration_cast<Clock::duration>(due)));
      g_camera_wait_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count();
    };
  }
  auto camera = std::make_shared<host::sim::SimCamera>(camera_options);
  if (options.scene != "pattern") {
    encoder::RgbPicture photo;
    try {
      photo = ReadPng(options.scene);  // failures name the system's reason
    } catch (const ToolError& error) {
      UsageError("cannot use '" + options.scene + "' as the scene: " + error.what());
    }
    camera->SetScene(std::make_shared<host::sim::PhotoScene>(std::move(photo.pixels), photo.width, photo.height));
  }
  if (options.faulty) camera->SetPacketFaults(options.faults);
  return camera;
}

// A capture that died (killed, crashed) leaves "stream open" in the
// settings key. Nobody owns the camera now, so that is stale: said in one
// line and put right before the driver starts.
void CloseStreamLeftOpen(const DataHome& home) {
  const auto registry_handle = OpenRegistry(home);
  host::Registry& registry = *registry_handle;
  const std::string_view key = host::kSettingsKeyPath;
  const auto status = registry.GetDword(key, "DriverStatus");
  const auto iso = registry.GetDword(key, "IsoMode");
  if (status != 5u && iso != 1u) return;
  std::fprintf(stderr,
               "dualcam capture: note: the settings key shows a stream left open (DriverStatus %s, IsoMode %s) by a "
               "capture that ended without closing it; starting afresh\n",
               status ? std::to_string(*status).c_str() : "-", iso ? std::to_string(*iso).c_str() : "-");
  registry.SetDword(key, "IsoMode", 0);
  registry.SetDword(key, "DriverStatus", 7);
}

struct Tally {
  int delivered = 0, decoded = 0, repeated = 0, blank = 0, failed = 0;
  double total_ms = 0, worst_ms = 0;
};

}  // namespace

int RunCapture(std::span<const std::string_view> args) {
  const ParsedArgs parsed = ParseArgs(args,
                                      {"--format", "--size", "--frames", "--seconds", "--output", "--scene", "--set",
                                       "--press-button", "--faults", "--home", "--device"},
                                      {"--raw", "--fast", "--overwrite", "-y"});
  if (parsed.help) {
    std::fputs(kCaptureHelp, stdout);
    return kExitOk;
  }
  const CaptureOptions options = ParseCaptureOptions(parsed);
  const DataHome home = OpenHome(options.home);

  // The offered list decides the rate; outputs are opened before the
  // driver starts, so that a bad path costs nothing.
  const auto offered = std::find_if(driver::CaptureFormats.begin(), driver::CaptureFormats.end(), [&](const KS_DATARANGE_VIDEO& r) {
    const KS_BITMAPINFOHEADER& bitmap = r.VideoInfoHeader.bmiHeader;
    return bitmap.biCompression == options.format->compression && bitmap.biWidth == options.width &&
           bitmap.biHeight == options.height;
  });
  if (offered == driver::CaptureFormats.end())
    UsageError("the driver does not offer " + std::string(options.format->name) + " at " +
               std::to_string(options.width) + "x" + std::to_string(options.height));
  const LONGLONG interval = offered->VideoInfoHeader.AvgTimePerFrame > 0 ? offered->VideoInfoHeader.AvgTimePerFrame : 333333;
  const int frames = options.frames ? *options.frames
                     : options.seconds ? std::max(1, static_cast<int>(std::ceil(*options.seconds * 1e7 / static_cast<double>(interval) - 1e-3)))
                                       : 60;
  for (int press : options.presses)
    if (press > frames)
      UsageError("--press-button " + std::to_string(press) + " is beyond the " + std::to_string(frames) +
                 " frames captured");
  auto sim_camera = options.usb ? nullptr : MakeCamera(options, interval);

  const std::vector<OutputPlan> plans = PlanOutputs(options.outputs, options.overwrite);
  // One capture per data folder: refused here, before anything is touched.
  const auto camera_lock = TakeCamera(home);
  // A real camera is found and claimed before any output is created.
  std::shared_ptr<host::bus::LibusbBus> usb;
  if (options.usb) {
    auto opened = host::bus::LibusbBus::Open(*options.usb);
    if (!opened.device) UsageError(opened.message);
    usb = std::move(opened.device);
  }
  CloseStreamLeftOpen(home);

  std::vector<std::unique_ptr<Sink>> sinks;
  for (const OutputPlan& plan : plans)
    sinks.push_back(OpenOutput(plan, {options.width, options.height, interval}, options.raw,
                               options.format->raw_extension, options.overwrite));
  // The summary goes where it does not mix with video.
  std::FILE* report = std::any_of(options.outputs.begin(), options.outputs.end(), [](const std::string& o) { return o == "-"; })
                          ? stderr
                          : stdout;

  // From here on Ctrl-C ends the capture in order instead of killing it.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);  // the terminal went away
  // A reader that goes away (`capture --output - | head`) must not kill the
  // process before the driver is taken down: the write fails instead.
  signal(SIGPIPE, SIG_IGN);
  const std::unique_ptr<DriverSession> session_owner =
      usb ? std::make_unique<DriverSession>(home, /*realtime=*/true, std::shared_ptr<host::bus::UsbDevice>(usb))
          : std::make_unique<DriverSession>(home, /*realtime=*/true, sim_camera);
  usb.reset();  // the session holds the device now; it closes it with the camera
  DriverSession& session = *session_owner;
  host::CaptureCamera& camera = session.camera();
  const bool live = !camera.Device().Bus().Stepped();
  for (const ControlSetting& setting : options.settings) session.Apply(setting);

  // The format to open is the one the device itself announces.
  const host::StreamInfo info = camera.GetStreamInfo();
  const KS_DATARANGE_VIDEO* range = host::FindRange(info, options.format->compression, options.width, options.height);
  if (info.Status != STATUS_SUCCESS || range == nullptr)
    UsageError("the driver does not offer " + std::string(options.format->name) + " at " +
               std::to_string(options.width) + "x" + std::to_string(options.height));

  NTSTATUS status = STATUS_SUCCESS;
  auto stream = camera.OpenStream(host::FormatFromRange(*range), &status);
  if (!stream) {
    const auto bulk = OpenRegistry(home)->GetDword(host::kSettingsKeyPath, "BulkMode");
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    UsageError(std::string("the driver refused to open the stream (status ") + text + ")" +
               (bulk != 0u ? "; BulkMode in the settings key is not 0 ('dualcam reg set BulkMode 0')" : ""));
  }
  status = stream->SetState(KSSTATE_RUN);
  if (status != STATUS_SUCCESS) UsageError("the stream did not start running");

  // Other processes reach the running camera through the data folder's
  // control socket, served on its own thread from now until the stream
  // stops; `dualcam stop` ends the capture as SIGTERM does.
  CaptureFigures figures;
  figures.SetFormat(OpenFormat{std::string(options.format->name), options.width, options.height,
                               1e7 / static_cast<double>(interval)});
  std::atomic<bool> ending{false};
  std::string why;
  auto service = ServeCapture({home, *camera_lock, ControlAccess::Of(session), &figures,
                               [] { OnInterrupt(SIGTERM); },
                               [&ending] { return ending.load() || g_signal.load() != 0; }},
                              &why);
  if (!service)
    std::fprintf(stderr, "dualcam capture: note: other processes cannot reach this capture's controls: %s\n",
                 why.c_str());

  const bool progress = isatty(STDERR_FILENO) != 0;

  Tally tally;
  std::vector<uint8_t> previous;
  const bool still_scene = options.scene != "pattern";
  const auto started = Clock::now();
  int number = 0;
  int idle_reads = 0;
  Clock::time_point idle_since = started;
  while (number < frames && g_signal.load(std::memory_order_relaxed) == 0) {
    if (sim_camera && std::count(options.presses.begin(), options.presses.end(), number + 1) > 0)
      sim_camera->PressButton();
    const auto before = Clock::now();
    // The simulated camera counts its own waits; a real camera's are the bus's.
    const auto waited = [&] {
      return g_camera_wait_ns.load() + static_cast<int64_t>(camera.Device().Counters().BusWaitNanoseconds);
    };
    const int64_t waited_before = waited();
    std::vector<host::Picture> pictures = stream->Read(1);
    // A camera that left the bus has been taken down by the read.
    if (camera.Removed()) break;
    const double waited_ms = static_cast<double>(waited() - waited_before) / 1e6;
    const double ms =
        std::max(0.0, std::chrono::duration<double, std::milli>(Clock::now() - before).count() - waited_ms);
    if (pictures.empty()) {
      ++tally.failed;
      // Each read lets the camera send several frame intervals; this many
      // reads in a row without a picture means the stream has stopped. A
      // still holds video back until the next button poll (half a second)
      // however fast the camera sends frames, so the reads must also have
      // come back empty for some seconds. A real camera's read waits for
      // its frames itself, so there the time alone decides.
      if (idle_reads++ == 0) idle_since = Clock::now();
      if ((idle_reads > 30 || live) && Clock::now() - idle_since > std::chrono::seconds(5))
        UsageError(tally.delivered == 0 ? "the camera delivers no pictures" : "the camera stopped delivering pictures");
      continue;
    }
    idle_reads = 0;
    for (const host::Picture& picture : pictures) {
      if (picture.Status != STATUS_SUCCESS) {
        ++tally.failed;
        continue;
      }
      const auto used = picture.Used();
      ++number;
      ++tally.delivered;
      tally.total_ms += ms;
      tally.worst_ms = std::max(tally.worst_ms, ms);
      const bool blank = std::all_of(used.begin(), used.end(), [](uint8_t b) { return b == 0; });
      // With a still scene a repeat cannot be told from a fresh picture of
      // the same view; it is counted as decoded.
      const bool same = !still_scene && used.size() == previous.size() && std::equal(used.begin(), used.end(), previous.begin());
      if (blank) ++tally.blank;
      else if (same) ++tally.repeated;
      else ++tally.decoded;
      previous.assign(used.begin(), used.end());
      Delivered delivered{used, ToI420(used, *options.format, options.width, options.height), options.width, options.height};
      if (delivered.i420.empty()) delivered.i420.assign(static_cast<std::size_t>(options.width) * options.height * 3 / 2, 0);
      for (auto& sink : sinks) sink->Write(delivered, number);
      if (progress)
        std::fprintf(stderr, "\rcapture: frame %d/%d  %.1f ms", number, frames, ms);
      if (number >= frames) break;
    }
    figures.delivered.store(tally.delivered);
    figures.decoded.store(tally.decoded);
    figures.repeated.store(tally.repeated);
    figures.blank.store(tally.blank);
    figures.PublishPackets(camera.Device().Counters());
  }
  ending.store(true);
  service.reset();  // before the stream stops: a request being answered finishes first
  if (progress) std::fprintf(stderr, "\n");
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const host::StreamCounters counters = camera.Device().Counters();
  // Closing the stream clears the press report, so it is read first.
  std::optional<uint32_t> trigger, snapshot;
  if (!options.presses.empty()) {
    const auto registry = OpenRegistry(home);
    trigger = registry->GetDword(host::kSettingsKeyPath, "TimerTrigger");
    snapshot = registry->GetDword(host::kSettingsKeyPath, "SnapShot");
  }
  stream->SetState(KSSTATE_STOP);
  stream->Close();
  stream.reset();
  // The outputs are final and summarised before the camera is taken down:
  // the driver's removal waits two seconds for its button poll to stop.
  for (auto& sink : sinks) sink->Finish();

  const int signal = g_signal.load();
  const bool removed = camera.Removed();
  const std::string interrupted = signal != 0 ? std::string(" (interrupted by ") + SignalName(signal) + ")" : "";
  const double fps = 1e7 / static_cast<double>(interval);
  const std::string from = live ? " from " + camera.Device().Bus().Name() : "";
  std::fprintf(report, "captured %d frames of %s %dx%d at %.0f fps%s in %.1f s%s\n", tally.delivered,
               std::string(options.format->name).c_str(), options.width, options.height, fps, from.c_str(), elapsed,
               interrupted.c_str());
  std::fprintf(report, "  frames:     %d delivered, %d decoded, %d repeated, %d blank\n", tally.delivered, tally.decoded,
               tally.repeated, tally.blank);
  std::fprintf(report, "  packets:    %llu delivered, %llu accepted, %llu refused (idle fillers and damaged packets)\n",
               static_cast<unsigned long long>(counters.PacketsDelivered),
               static_cast<unsigned long long>(counters.PacketsAccepted),
               static_cast<unsigned long long>(counters.PacketsDelivered - counters.PacketsAccepted));
  std::fprintf(report, "  frame time: average %.2f ms, worst %.2f ms\n", tally.delivered ? tally.total_ms / tally.delivered : 0.0,
               tally.worst_ms);
  for (std::size_t i = 0; i < sinks.size(); ++i)
    std::fprintf(report, "  wrote:      %s\n", sinks[i]->Describe(tally.delivered).c_str());
  if (!options.presses.empty()) {
    std::fprintf(report, "  button:     %s\n",
                 trigger == 1u ? "press seen by the driver (TimerTrigger = 1)" : "no press seen by the driver yet");
    if (snapshot == 1u) std::fprintf(report, "  still:      saved in %s\n", home.SnapshotFile().c_str());
  }
  std::fflush(report);

  if (progress) std::fputs("closing the camera...", stderr);
  const std::string device = camera.Device().Bus().Name();
  session.Close();
  if (progress) std::fputs("\r                     \r", stderr);
  if (removed) {
    std::fprintf(stderr, "dualcam capture: the camera (%s) left the bus after %d of %d frames; what came is kept\n",
                 device.c_str(), tally.delivered, frames);
    return kExitUsage;
  }
  // A cut capture is told from a full one as shells tell a killed command.
  if (signal != 0) return 128 + signal;
  return tally.delivered > 0 ? kExitOk : kExitUsage;
}

}  // namespace dualcam::tools
