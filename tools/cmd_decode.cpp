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
#include "host/encoder/picture.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"

namespace dualcam::tools {
namespace {

constexpr char kDecodeHelp[] =
    "usage: dualcam decode --size WxH [--format rgb24|i420] [--quality 0..3] [--gamma 0..9] INPUT OUTPUT\n"
    "\n"
    "Renders INPUT, a raw camera frame (13-byte header + compressed picture) or a\n"
    "VQJ9 pass-through sample (174-byte header + raw frame), the way the driver\n"
    "renders it into an application's buffer. A still-marked frame (header bytes\n"
    "3, 4 = 0, 2) is rendered as well, so a saved still can be looked at; the\n"
    "driver itself repeats its last picture for one.\n"
    "\n"
    "  --size WxH      format size: 128x96 160x120 176x144 240x180 320x240 352x288 640x480\n"
    "  --format F      rgb24 or i420 (default: i420 for .yuv, rgb24 otherwise)\n"
    "  --quality Q     quality index for a raw frame (default 3, the driver's); a VQJ9\n"
    "                  sample carries its own\n"
    "  --gamma G       tone curve 0..9 (default 0, or the sample's gamma setting)\n"
    "\n"
    "OUTPUT by extension: .png or .ppm (viewable, top-down), .yuv (the I420 buffer\n"
    "the driver delivers), .bgr (the bottom-up B,G,R buffer the driver delivers).\n"
    "\n"
    "Exit status: 0 success; 1 usage or I/O error; 2 corrupt or truncated picture\n"
    "(nothing is written).\n";

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
      if (value == "rgb24") options.planar = false;
      else if (value == "i420") options.planar = true;
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
  if (options.width == 0) UsageError("--size is required");
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

void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

[[noreturn]] void Corrupt(const std::string& message) { throw ToolError(kExitCorrupt, message); }

// The raw frame the driver would render, rewritten for decoding, followed
// by the decoder's read slack.
struct PreparedFrame {
  std::vector<uint8_t> bytes;
  int gamma = 0;
};

PreparedFrame PrepareFrame(const std::vector<uint8_t>& file, const DecodeOptions& options) {
  PreparedFrame frame;
  const uint8_t* raw = file.data();
  std::size_t length = file.size();
  int quality = options.quality.value_or(pipeline::kMaxQualityIndex);
  int gamma = options.gamma.value_or(0);
  const bool sample = file.size() >= 4 && std::memcmp(file.data(), pipeline::kPassThroughTag, 4) == 0;
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
    quality = raw[pipeline::kPassThroughRawQualityOffset];
    if (!options.gamma) {
      gamma = file[pipeline::kPassThroughGammaOffset];
      if (gamma >= pipeline::kToneCurveCount) Corrupt("VQJ9 sample has gamma " + std::to_string(gamma));
    }
    if (options.quality) std::fprintf(stderr, "dualcam decode: note: --quality ignored for a VQJ9 sample\n");
  } else if (file.size() < pipeline::kRawHeaderSize) {
    Corrupt("raw frame truncated: " + std::to_string(file.size()) + " bytes, the header alone is 13");
  }
  frame.bytes.assign(raw, raw + length);
  frame.bytes.resize(length + decoder::kRawFrameSlack, 0);
  WriteLe32(frame.bytes.data() + pipeline::kRawLengthOffset, static_cast<uint32_t>(length));
  // A quality byte above 3 from a sample is passed on as it is: the render
  // refuses it like the driver does.
  frame.bytes[pipeline::kRawQualityOffset] = static_cast<uint8_t>(quality);
  frame.gamma = gamma;
  return frame;
}

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

}  // namespace

int RunDecode(std::span<const std::string_view> args) {
  for (std::string_view arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDecodeHelp, stdout);
      return kExitOk;
    }
  }
  const DecodeOptions options = ParseDecodeOptions(args);
  const OutputKind kind = OutputKindFor(options.output);
  const bool planar = options.planar.value_or(kind == OutputKind::kYuv);
  if (kind == OutputKind::kYuv && !planar) UsageError(".yuv output needs --format i420");
  if (kind == OutputKind::kBgr && planar) UsageError(".bgr output needs --format rgb24");

  const std::vector<uint8_t> file = ReadWholeFile(options.input, kMaxInputBytes);
  if (file.empty()) Corrupt("input is empty");
  PreparedFrame frame = PrepareFrame(file, options);

  static const decoder::DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};
  if (pipeline::SharedDecoderAcquire(&kHeap) != 1) throw ToolError(kExitUsage, "cannot set up the decoder");
  struct Release {
    ~Release() { pipeline::SharedDecoderRelease(); }
  } release;

  pipeline::ProcessingOptions processing{};
  pipeline::SetToneCurve(&processing, frame.gamma);

  const pipeline::SizePlanEntry* plan = pipeline::FindSizePlan(options.width, options.height);
  const std::size_t pixels = static_cast<std::size_t>(options.width) * options.height;
  std::vector<uint8_t> picture(planar ? pixels * 3 / 2 : pixels * 3, 0);
  std::size_t written = 0;
  const int ok = pipeline::RenderFrame(&processing, frame.bytes.data(), picture.data(), picture.size(), &written,
                                       plan->RawWidth, plan->RawHeight, options.width, options.height,
                                       planar ? pipeline::kFourccI420 : pipeline::kCompressionRgb);
  if (ok != 1) Corrupt("corrupt or truncated picture in " + options.input);

  std::vector<uint8_t> out;
  if (kind == OutputKind::kYuv || kind == OutputKind::kBgr) {
    out = std::move(picture);
  } else {
    encoder::RgbPicture rgb;
    if (planar) {
      rgb = encoder::I420ToRgb({options.width, options.height, std::move(picture)});
    } else {  // bottom-up B,G,R rows to top-down R,G,B
      rgb.width = options.width;
      rgb.height = options.height;
      rgb.pixels.resize(pixels * 3);
      const std::size_t stride = static_cast<std::size_t>(options.width) * 3;
      for (int y = 0; y < options.height; ++y) {
        const uint8_t* src = picture.data() + (options.height - 1 - y) * stride;
        uint8_t* dst = rgb.pixels.data() + y * stride;
        for (int x = 0; x < options.width; ++x) {
          dst[3 * x] = src[3 * x + 2];
          dst[3 * x + 1] = src[3 * x + 1];
          dst[3 * x + 2] = src[3 * x];
        }
      }
    }
    out = kind == OutputKind::kPng ? EncodePng(rgb) : EncodePpm(rgb);
  }
  WriteWholeFile(options.output, out);
  return kExitOk;
}

}  // namespace dualcam::tools
