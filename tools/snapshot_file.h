// The snapshot file the driver writes for each still ("snapraw.dat"): a
// 1024-byte header (signature 1, 1, 0, the 32-bit data length 0x31800, the
// camera's image registers, the gamma setting, the camera's information
// words) followed by the still's raw data as the camera sent it.
//
// Hard part: the raw data is not a raw frame. The camera's 13-byte frame
// header lost its first 9 bytes on the way (they travel in the first
// packet's own header), so the payload starts with header bytes 9..12 and
// the compressed picture follows 4 bytes in; the frame is rebuilt around it
// with the still-kind marks before it can be rendered.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace dualcam::tools {

inline constexpr std::size_t kSnapshotHeaderBytes = 1024;
inline constexpr uint32_t kSnapshotDataBytes = 0x31800;
inline constexpr int kStillWidth = 640;
inline constexpr int kStillHeight = 480;
inline constexpr std::size_t kSnapshotGammaOffset = 38;

// True when the file starts with a snapshot header (signature and declared
// length); says nothing about whether the data is complete.
bool LooksLikeSnapshot(std::span<const uint8_t> file);

struct SnapshotFrame {
  std::vector<uint8_t> raw_frame;  // 13-byte header (still kind) + compressed picture
  int gamma = 0;                   // the gamma setting the header recorded (0..255 as stored)
};

// The raw frame inside a snapshot file, or nothing when the file is shorter
// than its header says.
std::optional<SnapshotFrame> SnapshotToRawFrame(std::span<const uint8_t> file);

}  // namespace dualcam::tools
