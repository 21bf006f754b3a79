// `dualcam encode`: compresses a PNG with the camera's compressor into a raw
// camera frame (13-byte header + picture) at the raw size the driver asks
// the camera for, and optionally wraps it as a VQJ9 pass-through sample, so
// tests and demos have frames without a camera.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "host/sim/encoder/encoder.h"
#include "host/sim/encoder/picture.h"
#include "image_io.h"
#include "pipeline/render.h"

namespace dualcam::tools {
namespace {

constexpr char kEncodeHelp[] =
    "usage: dualcam encode [--size WxH] [--quality 0..3] [--still] [--vqj9 SAMPLE]\n"
    "                      [--gamma 0..9] [--contrast 0..31] INPUT.png OUTPUT\n"
    "\n"
    "Writes OUTPUT, a raw camera frame: the camera's 13-byte header and the picture\n"
    "compressed as the camera does it, at the raw size the camera sends for the\n"
    "format size WxH (default: the PNG's size, which must then be a format size;\n"
    "other PNG sizes are scaled). 'dualcam decode --size WxH' renders it back.\n"
    "\n"
    "  --quality Q     quantization pair 0..3 (default 3, what the driver selects)\n"
    "  --still         mark the frame as a still picture (header bytes 3, 4 = 0, 2)\n"
    "  --vqj9 SAMPLE   also write the frame as a VQJ9 pass-through sample, with\n"
    "                  --gamma (default 0) and --contrast (default 16) in its header\n";

}  // namespace

int RunEncode(std::span<const std::string_view> args) {
  std::optional<std::pair<int, int>> size;
  int quality = pipeline::kMaxQualityIndex;
  int gamma = 0, contrast = 16;
  bool still = false;
  std::string sample_path;
  std::vector<std::string_view> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto next = [&](std::string_view name) {
      if (i + 1 >= args.size()) UsageError(std::string(name) + " needs a value");
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kEncodeHelp, stdout);
      return kExitOk;
    } else if (arg == "--size") {
      size = ParseSize(next(arg));
      if (!size || !pipeline::FindSizePlan(size->first, size->second)) UsageError("unsupported --size");
    } else if (arg == "--quality") {
      const auto q = ParseInt(next(arg), 0, pipeline::kMaxQualityIndex);
      if (!q) UsageError("--quality must be 0..3");
      quality = *q;
    } else if (arg == "--gamma") {
      const auto g = ParseInt(next(arg), 0, 9);
      if (!g) UsageError("--gamma must be 0..9");
      gamma = *g;
    } else if (arg == "--contrast") {
      const auto c = ParseInt(next(arg), 0, 31);
      if (!c) UsageError("--contrast must be 0..31");
      contrast = *c;
    } else if (arg == "--still") {
      still = true;
    } else if (arg == "--vqj9") {
      sample_path = next(arg);
    } else if (arg.size() > 1 && arg[0] == '-') {
      UsageError("unknown option '" + std::string(arg) + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) UsageError("expected INPUT.png and OUTPUT (see 'dualcam encode --help')");

  encoder::RgbPicture rgb = ReadPng(std::string(positional[0]));
  if (!size) {
    if (!pipeline::FindSizePlan(rgb.width, rgb.height))
      UsageError("the PNG is " + std::to_string(rgb.width) + "x" + std::to_string(rgb.height) +
                 ", not a format size: give --size");
    size = std::pair{rgb.width, rgb.height};
  }
  const pipeline::SizePlanEntry* plan = pipeline::FindSizePlan(size->first, size->second);
  if (rgb.width != plan->RawWidth || rgb.height != plan->RawHeight)
    rgb = encoder::ResizeRgb(rgb, plan->RawWidth, plan->RawHeight);
  const encoder::I420Picture yuv = encoder::RgbToI420(rgb);
  const std::vector<uint8_t> frame = encoder::EncodeRawFrame(
      {yuv.bytes, yuv.width, yuv.height}, quality, still ? encoder::FrameKind::kStill : encoder::FrameKind::kVideo);
  if (frame.empty()) UsageError("cannot compress the picture");
  WriteWholeFile(std::string(positional[1]), frame);

  if (!sample_path.empty()) {
    // The sample as the driver builds it: pass-through header, then the raw
    // frame with its length at raw offset 9 and the quality at raw offset 5.
    std::vector<uint8_t> sample(pipeline::kPassThroughHeaderSize + frame.size(), 0);
    pipeline::BuildPassThroughHeader(sample.data(), static_cast<uint32_t>(gamma), static_cast<uint32_t>(contrast));
    std::copy(std::begin(pipeline::kPassThroughTag), std::end(pipeline::kPassThroughTag), sample.begin());
    uint8_t* raw = sample.data() + pipeline::kPassThroughHeaderSize;
    std::copy(frame.begin(), frame.end(), raw);
    const uint32_t length = static_cast<uint32_t>(frame.size());
    for (int b = 0; b < 4; ++b) raw[pipeline::kPassThroughRawLengthOffset + b] = static_cast<uint8_t>(length >> (8 * b));
    raw[pipeline::kPassThroughRawQualityOffset] = static_cast<uint8_t>(quality);
    WriteWholeFile(sample_path, sample);
  }
  return kExitOk;
}

}  // namespace dualcam::tools
