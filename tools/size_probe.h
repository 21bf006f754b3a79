// The picture size of a raw camera frame whose size nobody gave: the
// compressed stream carries no size of its own (no markers), so the frame
// is decoded at each size the camera sends and the size whose picture ends
// where the data ends is the one it was compressed at.
//
// Hard part: a wrong size does not always fail. Too large a size runs out
// of data (or decodes what lies past it as if it were picture); too small
// a one decodes cleanly and leaves data unread. Only the bit reader's
// position after the decode tells them apart, so the frame is decoded with
// exactly its own bytes (and the zero slack the decoder may read past
// them) and the consumed length is compared with the data's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace dualcam::tools {

struct SizeFit {
  int width = 0, height = 0;  // the format size (as --size takes it)
  std::size_t data_bytes = 0;  // compressed bytes after the 13-byte header, less the zero padding
  std::size_t unused = 0;      // of them, left unread by the picture
};

// The format sizes tried: the driver's, and 640x480 for stills.
std::span<const std::pair<int, int>> ProbedSizes();

// How the picture at a format size fits the frame (a raw frame with its
// 13-byte header): nothing when it does not decode (or runs out of data).
std::optional<SizeFit> FitAt(std::span<const uint8_t> raw_frame, int quality, int width, int height);

// True when the picture uses the data up to (nearly) its end: the last
// byte's filling bits, no more.
bool EndsAtDataEnd(const SizeFit& fit);

// The one probed size whose picture ends at the data's end, or nothing
// when none or several do.
std::optional<SizeFit> DetectSize(std::span<const uint8_t> raw_frame, int quality);

}  // namespace dualcam::tools
