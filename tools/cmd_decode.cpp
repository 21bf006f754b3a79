// `dualcam decode`: renders a raw camera frame, or the raw frame inside a
// VQJ9 pass-through sample, exactly as the driver's frame path does (same
// header rewrite, same render routes, same output buffer size) and writes
// the picture to a file.
//
// Hard part: any file at all may come in. Every length and header field is
// checked before it is used, the raw frame is copied into a buffer with the
// zero slack the decoder may read past its end, and nothing is written
// unless the render succeeded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "image_io.h"
#include "render_io.h"
#include "size_probe.h"
#include "snapshot_file.h"
#include "host/sim/encoder/picture.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"

namespace dualcam::tools {
namespace {

constexpr char kDecodeHelp[] =
    "usage: dualcam decode [--size WxH] [--format rgb24|i420] [--quality 0..3] [--gamma 0..9] INPUT OUTPUT\n"
    "\n"
    "Renders INPUT into a picture file. INPUT is one of:\n"
    "  a raw camera frame   the camera's 13-byte header and compressed picture\n"
    "                       (what 'dualcam encode' writes); rendered the way the\n"
    "                       driver renders it into an application's buffer\n"
    "  a VQJ9 sample (.vqj9)  a 174-byte header and a raw frame: the driver's\n"
    "                       buffers in the vqj9 format ('capture --format vqj9 --raw')\n"
    "  a snapshot file      \"snapraw.dat\": a 1024-byte header and the still's raw\n"
    "                       data; always 640x480\n"
    "  a .bgr buffer        the driver's finished rgb24 picture, bottom-up rows of\n"
    "                       B,G,R ('capture --raw' in rgb24)\n"
    "  a .yuv buffer        the driver's finished i420 picture, planar Y, Cb, Cr\n"
    "                       ('capture --raw' in i420)\n"
    "A still-marked frame (header bytes 3, 4 = 0, 2) is rendered as well, so a\n"
    "saved still can be looked at; the driver itself repeats its last picture for one.\n"
    "\n"
    "  --size WxH      format size: 128x96 160x120 176x144 240x180 320x240 352x288 640x480.\n"
    "                  Without it a buffer's size is the one its length fits, and a\n"
    "                  frame's the one of 352x288 320x240 176x144 160x120 640x480 whose\n"
    "                  picture ends where the data ends; a size given whose picture\n"
    "                  leaves much of the data unread is warned about\n"
    "  --format F      rgb24 or i420 (default: i420 for .yuv, rgb24 otherwise)\n"
    "  --quality Q     quality index for a raw frame (default 3, the driver's); a VQJ9\n"
    "                  sample carries its own\n"
    "  --gamma G       tone curve 0..9 (default 0, or the gamma setting a VQJ9 sample\n"
    "                  or snapshot file carries)\n"
    "\n"
    "OUTPUT by extension: .png or .ppm (viewable, top-down), .yuv (the I420 buffer\n"
    "the driver delivers), .bgr (the bottom-up B,G,R buffer the driver delivers);\n"
    "a .bgr or .yuv INPUT is already rendered and goes to .png or .ppm only.\n"
    "\n"
    "Exit status: 0 success; 1 usage or I/O error (a buffer whose length does not\n"
    "fit the size, a frame whose size cannot be told); 2 corrupt or truncated\n"
    "picture (nothing is written).\n";

// A raw frame longer than this is not something the camera can send (the
// largest picture buffer a device keeps is 304,128 bytes).
constexpr std::size_t kMaxInputBytes = 16u << 20;

enum class OutputKind { kPng, kPpm, kYuv, kBgr };

struct DecodeOptions {
  int width = 0, height = 0;
  std::optional<bool> planar;  // i420 when true
  std::optional<int> quality;
  std::optional<int> gamma;
  std::string input, output;
};

DecodeOptions ParseDecodeOptions(std::span<const std::string_view> args) {
  DecodeOptions options;
  std::vector<std::string_view> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::string_view value;
    auto take_value = [&](std::string_view name) -> bool {
      if (arg == name) {
        if (i + 1 >= args.size()) UsageError(std::string(name) + " needs a value");
        value = args[++i];
        return true;
      }
      if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return true;
      }
      return false;
    };
    if (take_value("--size")) {
      const auto size = ParseSize(value);
      if (!size || !pipeline::FindSizePlan(size->first, size->second))
        UsageError("unsupported --size '" + std::string(value) +
                   "' (128x96 160x120 176x144 240x180 320x240 352x288 640x480)");
      options.width = size->first;
      options.height = size->second;
    } else if (take_value("--format")) {
      if (Lower(value) == "rgb24") options.planar = false;
      else if (Lower(value) == "i420") options.planar = true;
      else UsageError("--format must be rgb24 or i420");
    } else if (take_value("--quality")) {
      options.quality = ParseInt(value, 0, pipeline::kMaxQualityIndex);
      if (!options.quality) UsageError("--quality must be 0..3");
    } else if (take_value("--gamma")) {
      options.gamma = ParseInt(value, 0, pipeline::kToneCurveCount - 1);
      if (!options.gamma) UsageError("--gamma must be 0..9");
    } else if (arg.size() > 1 && arg[0] == '-') {
      UsageError("unknown option '" + std::string(arg) + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) UsageError("expected INPUT and OUTPUT (see 'dualcam decode --help')");
  options.input = positional[0];
  options.output = positional[1];
  return options;
}

OutputKind OutputKindFor(const std::string& path) {
  const std::string ext = Extension(path);
  if (ext == ".png") return OutputKind::kPng;
  if (ext == ".ppm") return OutputKind::kPpm;
  if (ext == ".yuv") return OutputKind::kYuv;
  if (ext == ".bgr") return OutputKind::kBgr;
  UsageError("OUTPUT must end in .png, .ppm, .yuv or .bgr");
}

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

[[noreturn]] void Corrupt(const std::string& message) { throw ToolError(kExitCorrupt, message); }

// The raw frame the driver would render, with the quality and tone curve
// to render it with.
struct PreparedFrame {
  std::vector<uint8_t> bytes;
  int quality = pipeline::kMaxQualityIndex;
  int gamma = 0;
};

PreparedFrame PrepareFrame(const std::vector<uint8_t>& file, DecodeOptions& options) {
  PreparedFrame frame;
  const uint8_t* raw = file.data();
  std::size_t length = file.size();
  frame.quality = options.quality.value_or(pipeline::kMaxQualityIndex);
  frame.gamma = options.gamma.value_or(0);
  const bool sample = file.size() >= 4 && std::memcmp(file.data(), pipeline::kPassThroughTag, 4) == 0;
  if (LooksLikeSnapshot(file)) {
    auto still = SnapshotToRawFrame(file);
    if (!still)
      Corrupt("snapshot file truncated: " + std::to_string(file.size()) + " bytes, " +
              std::to_string(kSnapshotHeaderBytes + kSnapshotDataBytes) + " expected");
    if (options.width == 0) {
      options.width = kStillWidth;
      options.height = kStillHeight;
    }
    if (!options.gamma) {
      if (still->gamma >= pipeline::kToneCurveCount) Corrupt("snapshot file has gamma " + std::to_string(still->gamma));
      frame.gamma = still->gamma;
    }
    frame.bytes = std::move(still->raw_frame);
    return frame;
  }
  if (sample) {
    if (file.size() < pipeline::kPassThroughHeaderSize + pipeline::kRawHeaderSize)
      Corrupt("VQJ9 sample truncated: " + std::to_string(file.size()) + " bytes");
    raw = file.data() + pipeline::kPassThroughHeaderSize;
    const uint32_t declared = ReadLe32(raw + pipeline::kPassThroughRawLengthOffset);
    const std::size_t available = file.size() - pipeline::kPassThroughHeaderSize;
    if (declared < pipeline::kRawHeaderSize) Corrupt("VQJ9 sample declares a raw frame of " + std::to_string(declared) + " bytes");
    if (declared > available)
      Corrupt("VQJ9 sample truncated: raw frame of " + std::to_string(declared) + " bytes, " +
              std::to_string(available) + " present");
    length = declared;
    frame.quality = raw[pipeline::kPassThroughRawQualityOffset];
    if (!options.gamma) {
      frame.gamma = file[pipeline::kPassThroughGammaOffset];
      if (frame.gamma >= pipeline::kToneCurveCount) Corrupt("VQJ9 sample has gamma " + std::to_string(frame.gamma));
    }
    if (options.quality) std::fprintf(stderr, "dualcam decode: note: --quality ignored for a VQJ9 sample\n");
  } else if (file.size() < pipeline::kRawHeaderSize) {
    Corrupt("raw frame truncated: " + std::to_string(file.size()) + " bytes, the header alone is 13");
  }
  frame.bytes.assign(raw, raw + length);
  return frame;
}

std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// A driver buffer is the picture itself, so its length tells its size: the
// size given must match it, and without one it is the format size of that
// length.
void BufferSize(std::size_t length, bool planar, DecodeOptions& options) {
  auto bytes = [&](int width, int height) {
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    return planar ? pixels * 3 / 2 : pixels * 3;
  };
  const char* what = planar ? "an I420 buffer (.yuv)" : "a bottom-up B,G,R buffer (.bgr)";
  std::optional<std::pair<int, int>> fits;
  for (const auto& size : ProbedSizes())
    if (bytes(size.first, size.second) == length) fits = size;
  if (options.width != 0) {
    if (bytes(options.width, options.height) == length) return;
    UsageError(options.input + " is " + std::to_string(length) + " bytes, not " + what + " of " +
               SizeText(options.width, options.height) + " (" + std::to_string(bytes(options.width, options.height)) +
               " bytes)" + (fits ? "; its length is that of " + SizeText(fits->first, fits->second) : ""));
  }
  if (!fits)
    UsageError(options.input + " is " + std::to_string(length) + " bytes, not " + what +
               " of any of the camera's sizes (352x288, 320x240, 176x144, 160x120, 640x480)");
  options.width = fits->first;
  options.height = fits->second;
}

// A compressed frame carries no size: without --size it is the size whose
// picture ends where the data ends; with one that leaves much of the data
// unread, the picture is rendered but the likely size is named.
void CheckFrameSize(const PreparedFrame& frame, bool sized, DecodeOptions& options) {
  const int quality = frame.quality <= pipeline::kMaxQualityIndex ? frame.quality : pipeline::kMaxQualityIndex;
  if (!sized) {
    if (const auto found = DetectSize(frame.bytes, quality)) {
      options.width = found->width;
      options.height = found->height;
      return;
    }
    bool decodes = false;
    for (const auto& [width, height] : ProbedSizes()) decodes = decodes || FitAt(frame.bytes, quality, width, height);
    if (!decodes) Corrupt("corrupt or truncated picture in " + options.input + " (it decodes at none of the camera's sizes)");
    UsageError("cannot tell the picture size of " + options.input + "; give --size WxH");
  }
  const auto fit = FitAt(frame.bytes, quality, options.width, options.height);
  if (fit && EndsAtDataEnd(*fit)) return;
  const auto likely = DetectSize(frame.bytes, quality);
  if (!fit) {
    if (likely)
      UsageError("the picture in " + options.input + " does not decode at " + SizeText(options.width, options.height) +
              "; it decodes at " + SizeText(likely->width, likely->height) + " (--size " +
              SizeText(likely->width, likely->height) + ")");
    return;  // the render reports it
  }
  std::fprintf(stderr, "dualcam decode: warning: the picture at %s ends %zu bytes before the data does; %s\n",
               SizeText(options.width, options.height).c_str(), fit->unused,
               likely ? ("the size is likely " + SizeText(likely->width, likely->height) + " (--size " +
                         SizeText(likely->width, likely->height) + ")")
                            .c_str()
                      : "the size is likely wrong");
}

}  // namespace

int RunDecode(std::span<const std::string_view> args) {
  for (std::string_view arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDecodeHelp, stdout);
      return kExitOk;
    }
  }
  DecodeOptions options = ParseDecodeOptions(args);
  const OutputKind kind = OutputKindFor(options.output);
  const bool planar = options.planar.value_or(kind == OutputKind::kYuv);
  if (kind == OutputKind::kYuv && !planar) UsageError(".yuv output needs --format i420");
  if (kind == OutputKind::kBgr && planar) UsageError(".bgr output needs --format rgb24");

  const std::vector<uint8_t> file = ReadWholeFile(options.input, kMaxInputBytes);
  if (file.empty()) Corrupt("input is empty");
  const std::string input_kind = Extension(options.input);
  if (input_kind == ".bgr" || input_kind == ".yuv") {
    if (kind != OutputKind::kPng && kind != OutputKind::kPpm)
      UsageError("a " + input_kind + " driver buffer is a finished picture: render it to .png or .ppm");
    if (options.quality || options.gamma || options.planar)
      UsageError("--quality, --gamma and --format apply to compressed frames, not to a " + input_kind + " buffer");
    const bool buffer_planar = input_kind == ".yuv";
    BufferSize(file.size(), buffer_planar, options);
    const encoder::RgbPicture rgb = DriverBufferToRgb(file, options.width, options.height, buffer_planar);
    WriteWholeFile(options.output, kind == OutputKind::kPng ? EncodePng(rgb) : EncodePpm(rgb));
    return kExitOk;
  }
  const bool sized = options.width != 0;
  const PreparedFrame frame = PrepareFrame(file, options);
  CheckFrameSize(frame, sized, options);
  auto picture = RenderRawFrame(frame.bytes, options.width, options.height, planar, frame.quality, frame.gamma);
  if (!picture) Corrupt("corrupt or truncated picture in " + options.input);

  std::vector<uint8_t> out;
  if (kind == OutputKind::kYuv || kind == OutputKind::kBgr) {
    out = std::move(*picture);
  } else {
    const encoder::RgbPicture rgb = DriverBufferToRgb(*picture, options.width, options.height, planar);
    out = kind == OutputKind::kPng ? EncodePng(rgb) : EncodePpm(rgb);
  }
  WriteWholeFile(options.output, out);
  return kExitOk;
}

}  // namespace dualcam::tools
