// Reading the driver's snapshot file (see snapshot_file.h).
#include "snapshot_file.h"

#include <algorithm>

#include "host/sim/encoder/encoder.h"

namespace dualcam::tools {
namespace {

constexpr uint8_t kSignature[3] = {1, 1, 0};
constexpr std::size_t kLengthOffset = 3;
// Bytes of the camera's frame header that the still payload begins with.
constexpr std::size_t kPayloadHeaderBytes = 4;

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool LooksLikeSnapshot(std::span<const uint8_t> file) {
  return file.size() >= kSnapshotHeaderBytes && std::equal(kSignature, kSignature + 3, file.begin()) &&
         ReadLe32(file.data() + kLengthOffset) == kSnapshotDataBytes;
}

std::optional<SnapshotFrame> SnapshotToRawFrame(std::span<const uint8_t> file) {
  if (!LooksLikeSnapshot(file) || file.size() < kSnapshotHeaderBytes + kSnapshotDataBytes) return std::nullopt;
  const auto payload = file.subspan(kSnapshotHeaderBytes, kSnapshotDataBytes);
  SnapshotFrame frame;
  frame.raw_frame.resize(encoder::kRawHeaderSize - kPayloadHeaderBytes);
  frame.raw_frame.reserve(frame.raw_frame.size() + payload.size());
  uint8_t header[encoder::kRawHeaderSize];
  encoder::WriteRawFrameHeader(header, encoder::FrameKind::kStill);
  std::copy(header, header + frame.raw_frame.size(), frame.raw_frame.begin());
  frame.raw_frame.insert(frame.raw_frame.end(), payload.begin(), payload.end());
  frame.gamma = file[kSnapshotGammaOffset];
  return frame;
}

}  // namespace dualcam::tools
