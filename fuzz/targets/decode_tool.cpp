// Fuzz target: what 'dualcam decode' does with its input file. The file is
// either a VQJ9 pass-through sample (174-byte header, then a raw frame that
// declares its own length, quality and gamma) or a bare raw frame; it is
// checked, copied with the decoder's zero slack behind it, its header
// rewritten, and rendered at the size and format asked for.
//
// The command keeps its parsing inside its own source file, so this target
// follows the same steps on its own: the file checks of the command (tag,
// header room, declared length against the bytes present, gamma range)
// and then the driver's render, which is where a damaged file could do
// harm. A file the checks accept must never make the render read outside
// the copy or write outside the picture.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "pipeline/picture.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace pipeline;

constexpr const char* kName = "decode_tool";
constexpr std::size_t kPlanCount = sizeof kSizePlan / sizeof kSizePlan[0];

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

int FuzzDecodeTool(const uint8_t* data, std::size_t size) {
  TheWorld();  // the shared decoder
  FuzzInput in(data, size);
  const uint8_t options = in.U8();
  const SizePlanEntry& plan = kSizePlan[options % kPlanCount];
  const bool planar = (options >> 3) & 1;
  const int askedQuality = (options >> 4) & 7;  // 0..3 given, 4..7 not given
  const int askedGamma = in.U8() % 16;          // 0..9 given, 10..15 not given
  const std::span<const uint8_t> file = in.Rest();
  if (file.empty()) return 0;  // "input is empty"

  const uint8_t* raw = file.data();
  std::size_t length = file.size();
  int quality = askedQuality < 4 ? askedQuality : kMaxQualityIndex;
  int gamma = askedGamma < kToneCurveCount ? askedGamma : 0;
  const bool sample = file.size() >= 4 && std::memcmp(file.data(), kPassThroughTag, 4) == 0;
  if (sample) {
    if (file.size() < kPassThroughHeaderSize + kRawHeaderSize) return 0;  // truncated sample
    raw = file.data() + kPassThroughHeaderSize;
    const uint32_t declared = ReadLe32(raw + kPassThroughRawLengthOffset);
    const std::size_t available = file.size() - kPassThroughHeaderSize;
    if (declared < kRawHeaderSize || declared > available) return 0;  // refused
    length = declared;
    quality = raw[kPassThroughRawQualityOffset];
    if (askedGamma >= kToneCurveCount) {
      gamma = file[kPassThroughGammaOffset];
      if (gamma >= kToneCurveCount) return 0;  // refused
    }
  } else if (file.size() < kRawHeaderSize) {
    return 0;  // truncated raw frame
  }

  std::vector<uint8_t> frame(raw, raw + length);
  frame.resize(length + decoder::kRawFrameSlack, 0);
  for (int i = 0; i < 4; ++i) frame[kRawLengthOffset + i] = static_cast<uint8_t>(length >> (8 * i));
  frame[kRawQualityOffset] = static_cast<uint8_t>(quality);

  ProcessingOptions processing{};
  SetToneCurve(&processing, gamma);
  const std::size_t bytes = planar ? PlanarPictureBytes(plan.FormatWidth, plan.FormatHeight)
                                   : RgbPictureBytes(plan.FormatWidth, plan.FormatHeight);
  std::vector<uint8_t> picture(bytes, 0);
  std::size_t written = 0;
  const int ok = RenderFrame(&processing, frame.data(), picture.data(), picture.size(), &written, plan.RawWidth,
                             plan.RawHeight, plan.FormatWidth, plan.FormatHeight,
                             planar ? kFourccI420 : kCompressionRgb);
  if (ok == 1) Check(written == bytes, kName, "a rendered picture of the wrong size");
  if (quality > kMaxQualityIndex) Check(ok == 0, kName, "a sample with a quality above 3 rendered");
  return 0;
}

}  // namespace dualcam::fuzz
