// Fuzz target: what 'dualcam decode' does with its input file. The file is
// a snapshot file ("snapraw.dat": 1024-byte header, then the still's raw
// data), a VQJ9 pass-through sample (174-byte header, then a raw frame that
// declares its own length, quality and gamma) or a bare raw frame; it is
// checked, turned into a raw frame and rendered through the command's own
// render and snapshot routines (tools/render_io, tools/snapshot_file) at the
// size and format asked for, then converted to an upright picture.
//
// The command's choice between the three kinds and its sample checks live
// inside its own source file, so this target repeats those few lines (the
// tag, header room, declared length against the bytes present, the gamma
// range); the parsing and rendering it calls are the command's. A snapshot
// file is 203,776 bytes, more than a fuzz input carries, so in snapshot
// mode the input gives the header and the start of the data and the rest
// is zero, as a still cut short by the camera would be.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "pipeline/picture.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "render_io.h"
#include "snapshot_file.h"
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
  TheWorld();  // holds the shared decoder, as a loaded driver would
  FuzzInput in(data, size);
  const uint8_t options = in.U8();
  const SizePlanEntry* plan = &kSizePlan[options % kPlanCount];
  const bool planar = (options >> 3) & 1;
  const int askedQuality = (options >> 4) & 7;  // 0..3 given, 4..7 not given
  const bool snapshotMode = (options & 0x80) != 0;
  const int askedGamma = in.U8() % 16;          // 0..9 given, 10..15 not given
  std::vector<uint8_t> file;
  if (snapshotMode) {
    file.assign(tools::kSnapshotHeaderBytes + tools::kSnapshotDataBytes, 0);
    const auto given = in.Rest();
    std::copy_n(given.begin(), std::min(given.size(), file.size()), file.begin());
    if (given.size() < 8 || (given[0] & 1)) {  // mostly a well-formed signature
      file[0] = 1, file[1] = 1, file[2] = 0;
      for (int i = 0; i < 4; ++i) file[3 + i] = static_cast<uint8_t>(tools::kSnapshotDataBytes >> (8 * i));
    }
  } else {
    const auto given = in.Rest();
    file.assign(given.begin(), given.end());
  }
  if (file.empty()) return 0;  // "input is empty"

  int quality = askedQuality < 4 ? askedQuality : kMaxQualityIndex;
  int gamma = askedGamma < kToneCurveCount ? askedGamma : 0;
  std::vector<uint8_t> frame;
  if (tools::LooksLikeSnapshot(file)) {
    const auto still = tools::SnapshotToRawFrame(file);
    if (!still) return 0;  // truncated snapshot
    Check(still->raw_frame.size() == kRawHeaderSize - 4 + tools::kSnapshotDataBytes, kName,
          "a snapshot's raw frame of the wrong length");
    if (snapshotMode) plan = FindSizePlan(tools::kStillWidth, tools::kStillHeight);
    if (askedGamma >= kToneCurveCount) {
      if (still->gamma >= kToneCurveCount) return 0;  // refused
      gamma = still->gamma;
    }
    frame = still->raw_frame;
  } else if (file.size() >= 4 && std::memcmp(file.data(), kPassThroughTag, 4) == 0) {
    if (file.size() < kPassThroughHeaderSize + kRawHeaderSize) return 0;  // truncated sample
    const uint8_t* raw = file.data() + kPassThroughHeaderSize;
    const uint32_t declared = ReadLe32(raw + kPassThroughRawLengthOffset);
    const std::size_t available = file.size() - kPassThroughHeaderSize;
    if (declared < kRawHeaderSize || declared > available) return 0;  // refused
    quality = raw[kPassThroughRawQualityOffset];
    if (askedGamma >= kToneCurveCount) {
      gamma = file[kPassThroughGammaOffset];
      if (gamma >= kToneCurveCount) return 0;  // refused
    }
    frame.assign(raw, raw + declared);
  } else {
    if (file.size() < kRawHeaderSize) return 0;  // truncated raw frame
    frame = std::move(file);
  }

  const auto picture = tools::RenderRawFrame(frame, plan->FormatWidth, plan->FormatHeight, planar, quality, gamma);
  if (!picture) return 0;  // exit 2, nothing written
  const std::size_t bytes = planar ? PlanarPictureBytes(plan->FormatWidth, plan->FormatHeight)
                                   : RgbPictureBytes(plan->FormatWidth, plan->FormatHeight);
  Check(picture->size() == bytes, kName, "a rendered picture of the wrong size");
  Check(quality <= kMaxQualityIndex, kName, "a frame with a quality above 3 rendered");
  const encoder::RgbPicture rgb = tools::DriverBufferToRgb(*picture, plan->FormatWidth, plan->FormatHeight, planar);
  Check(rgb.width == plan->FormatWidth && rgb.height == plan->FormatHeight &&
            rgb.pixels.size() == static_cast<std::size_t>(rgb.width) * rgb.height * 3,
        kName, "the upright picture has the wrong size");
  return 0;
}

}  // namespace dualcam::fuzz
