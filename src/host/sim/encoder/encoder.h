// The camera's compressor: turns a planar I420 picture into the bare
// baseline-DCT bitstream the camera sends (ITU-T T.81 sequential Huffman
// coding without any marker segment, byte stuffing or restart interval), and
// wraps it in the 13-byte raw frame header.
//
// The hard part is agreeing with the decoder without sharing code with it: the
// Huffman tables here are our own copy in the standard's BITS/HUFFVAL form
// (T.81 Annex C derives the codes), so a mistake on either side shows up as a
// round-trip failure instead of cancelling out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dualcam::encoder {

// Quantization tables of one quality pair, natural (row-major) order:
// entry r*8+c divides the coefficient of vertical frequency r and horizontal
// frequency c (T.81 A.3.4). Entries are 1..255.
struct QuantPair {
  uint8_t luma[64];
  uint8_t chroma[64];
};

// The camera knows four pairs, T.81 Annex K tables K.1/K.2 scaled by
// 10%, 20%, 40% and 30% (entry = (base * s + 50) / 100, integer division).
inline constexpr int kQualityCount = 4;
const QuantPair& CameraQuantPair(int index);  // index 0..3; others give pair 3

// Table K.1 (luminance) and K.2 (chrominance) of T.81, natural order.
extern const uint8_t kAnnexKLuma[64];
extern const uint8_t kAnnexKChroma[64];

// Builds a pair from the Annex K tables scaled by percent (>= 1), with
// entries clamped to 1..255.
QuantPair ScaledQuantPair(int percent);

// A planar 4:2:0 picture: Y plane (width x height), then Cb and Cr planes of
// ((width+1)/2) x ((height+1)/2) each, every plane top-down and tightly
// packed. This is the layout the driver delivers as I420.
struct I420View {
  std::span<const uint8_t> bytes;
  int width = 0;
  int height = 0;
};
std::size_t I420Size(int width, int height);

enum class EncodeError {
  kNone = 0,
  kBadSize,     // width or height not in 1..kMaxDimension
  kShortInput,  // fewer bytes than I420Size(width, height)
};
inline constexpr int kMaxDimension = 4096;
const char* EncodeErrorMessage(EncodeError error);

// Appends the compressed picture to out (existing contents are kept, so a
// caller can reserve a header in front and reuse the vector's capacity from
// frame to frame). Sizes that are not multiples of 16 are padded to whole
// 16x16 MCUs by replicating the last column and row, as T.81 A.2.4 advises.
// The last byte is padded with 1 bits (T.81 F.1.2.3). On error out is left
// unchanged.
EncodeError EncodePicture(const I420View& picture, const QuantPair& tables,
                          std::vector<uint8_t>& out);

// Convenience form: returns the stream, or an empty vector on error.
std::vector<uint8_t> EncodePicture(const I420View& picture, const QuantPair& tables);

// --- Raw frame -------------------------------------------------------------
//
// Every raw frame starts with a 13-byte header (little-endian fields). The
// camera fills only the frame-kind bytes that the host reads; the rest is
// zero in what we produce:
//
//   offset 0     0
//   offset 1..2  0            (the host overwrites 1..4 with the frame length)
//   offset 3     frame-kind byte A
//   offset 4     frame-kind byte B
//   offset 5..12 0            (the host writes the quality index at 7 or 5)
//
// A video frame carries A = B = 0xFF; a still-marked frame A = 0, B = 2.
inline constexpr std::size_t kRawHeaderSize = 13;
inline constexpr std::size_t kFrameKindA = 3;
inline constexpr std::size_t kFrameKindB = 4;
enum class FrameKind { kVideo, kStill };
inline constexpr uint8_t kVideoKindA = 0xFF, kVideoKindB = 0xFF;
inline constexpr uint8_t kStillKindA = 0x00, kStillKindB = 0x02;

void WriteRawFrameHeader(uint8_t header[kRawHeaderSize], FrameKind kind);

// Header followed by the compressed picture.
std::vector<uint8_t> BuildRawFrame(std::span<const uint8_t> picture, FrameKind kind = FrameKind::kVideo);

// Encodes and builds the raw frame in one step; empty on error.
std::vector<uint8_t> EncodeRawFrame(const I420View& picture, int quality_index,
                                    FrameKind kind = FrameKind::kVideo);

// --- Tables shared with the JPEG wrapper used by tests and tools -----------

// One Huffman table in T.81 B.2.4.2 form: BITS[i] = number of codes of
// length i+1, HUFFVAL = symbols in order of increasing code length.
struct HuffmanSpec {
  uint8_t bits[16];
  const uint8_t* values;
  int value_count;
};
extern const HuffmanSpec kDcLumaSpec;    // K.3
extern const HuffmanSpec kDcChromaSpec;  // K.4
extern const HuffmanSpec kAcLumaSpec;    // K.5
extern const HuffmanSpec kAcChromaSpec;  // K.6

// Zig-zag order (T.81 Figure A.6): entry k is the natural index of the k-th
// coefficient in zig-zag order.
extern const uint8_t kZigZag[64];

}  // namespace dualcam::encoder
