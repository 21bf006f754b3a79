// Rendering one raw camera frame into the picture an application asked
// for: the routes from the decoder through the resizers, the tone curve and
// the RGB conversion into the application's buffer, the pass-through header
// of the compressed format, and the driver-wide decoder they all share.
//
// Hard part: one decoder state (tables, row-pointer table and the two work
// pictures A and B) serves every device, so the whole select / build /
// decode / resize / convert sequence of a frame runs under one lock; and
// every route checks, before it writes a byte, that the decoder's output,
// the intermediate pictures and any scratch use of the application's buffer
// fit, because a picture that would not fit must leave the buffer alone.
//
// Raw frame buffers. A raw frame starts with its 13-byte header; once
// rewritten for decoding, bytes 1..4 hold its length L (little-endian,
// header included) and byte 7 its quality index. The decoder is given
// frame + 13 with length L and may read up to decoder::kReadSlack bytes past
// that, i.e. up to decoder::kRawFrameSlack bytes past the frame's end:
// every buffer that holds a raw frame handed to RenderFrame must carry
// decoder::kRawFrameSlack zero bytes after its L bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/decoder/decoder.h"
#include "pipeline/tone_curve.h"

namespace dualcam::pipeline {

// --- output kinds (the negotiated subtype's compression code) -------------
inline constexpr std::uint32_t kCompressionRgb = 0;
inline constexpr std::uint32_t kFourccI420 = 0x30323449;  // "I420"
inline constexpr std::uint32_t kFourccIyuv = 0x56555949;  // "IYUV", same layout
inline constexpr std::uint32_t kFourccVqj9 = 0x394A5156;  // "VQJ9", passed through

// --- raw frame header (13 bytes, little-endian fields) --------------------
inline constexpr std::size_t kRawHeaderSize = 13;
inline constexpr std::size_t kRawLengthOffset = 1;              // u32 L, after the rewrite
inline constexpr std::size_t kRawFrameKindAOffset = 3;          // before the rewrite
inline constexpr std::size_t kRawFrameKindBOffset = 4;          // before the rewrite
inline constexpr std::size_t kRawQualityOffset = 7;             // quality index 0..3
inline constexpr std::size_t kPassThroughRawQualityOffset = 5;  // in a VQJ9 sample
inline constexpr std::size_t kPassThroughRawLengthOffset = 9;   // u32 L in a VQJ9 sample
inline constexpr std::uint8_t kStillFrameKindA = 0;
inline constexpr std::uint8_t kStillFrameKindB = 2;
inline constexpr int kMaxQualityIndex = 3;

// --- VQJ9 pass-through sample header (174 bytes) --------------------------
inline constexpr std::size_t kPassThroughHeaderSize = 174;    // raw frame starts here
inline constexpr std::size_t kPassThroughClearedBytes = 172;  // bytes 172..173 are not written
inline constexpr std::size_t kPassThroughVersionOffset = 4;   // u16 256
inline constexpr std::uint16_t kPassThroughVersion = 256;
inline constexpr std::size_t kPassThroughGammaOffset = 9;                     // u8 Gamma 0..9
inline constexpr std::size_t kPassThroughContrastOffset = 10;                 // u16 Contrast 0..31
inline constexpr std::uint8_t kPassThroughTag[4] = {0x56, 0x51, 0x4A, 0x39};  // "VQJ9"

// Written at the start of a VQJ9 buffer in place of a sample when a frame
// has no picture; the rest of the buffer is left as it was.
inline constexpr std::uint8_t kNoPictureMarker[7] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

// Clears bytes 0..171 of header and writes the version (offset 4), gamma
// (offset 9) and contrast (offset 10). The caller writes the tag into bytes
// 0..3 and the raw frame from offset 174; header must hold 172 bytes.
void BuildPassThroughHeader(std::uint8_t* header, std::uint32_t gamma, std::uint32_t contrast);

// --- size plan -------------------------------------------------------------
enum class RenderRoute : std::uint8_t {
    SameSize,           // raw size = format size
    Shrink,             // ResamplePicture from the raw size
    StretchThenShrink,  // 160x112 -> StretchPicture 160x120 -> ResamplePicture
};

struct SizePlanEntry {
    std::uint16_t FormatWidth;
    std::uint16_t FormatHeight;
    std::uint16_t RawWidth;  // the size the camera is asked to send
    std::uint16_t RawHeight;
    RenderRoute Route;
};

inline constexpr SizePlanEntry kSizePlan[] = {
    {128, 96, 160, 112, RenderRoute::StretchThenShrink},
    {160, 120, 160, 128, RenderRoute::Shrink},  // every 16th row dropped
    {176, 144, 176, 144, RenderRoute::SameSize},
    {240, 180, 320, 240, RenderRoute::Shrink},  // every 4th row and column dropped
    {320, 240, 320, 240, RenderRoute::SameSize},
    {352, 288, 352, 288, RenderRoute::SameSize},
    {640, 480, 640, 480, RenderRoute::SameSize},
};

// The plan entry for a format size, or nullptr when the size is not offered.
const SizePlanEntry* FindSizePlan(int formatWidth, int formatHeight);

// --- the driver-wide decoder ----------------------------------------------
// Device initialization calls SharedDecoderAcquire once per device and
// uninitialization SharedDecoderRelease once per device. The first acquire
// builds the decoder (work buffers from allocator); the last release frees
// it. Returns 1 when the shared decoder is ready; 0 when it could not be
// set up (the device still counts, and a later acquire retries; renders
// fail until it is ready). The allocator's table and context are kept by
// the decoder and must stay valid until the last release.
int SharedDecoderAcquire(const decoder::DecoderAllocator* allocator);
void SharedDecoderRelease();
bool SharedDecoderReady();

// --- rendering --------------------------------------------------------------
// Renders the raw frame (header rewritten for decoding, kRawFrameSlack
// bytes of zeros after it) into output as format width x height in the
// given output compression. Returns 1 with *bytesWritten = picture size when
// a picture was delivered; 0 on failure. Compression codes other than RGB,
// I420 and IYUV return 1 and write nothing (*bytesWritten = 0).
//
// Failures (quality byte above 3, unknown size or raw/format pair, picture
// or scratch not fitting outputCapacity, an intermediate picture larger than
// the decoder's work pictures, decoder not ready) write nothing;
// a decode failure may leave the MCUs decoded before it in output when the
// decoder wrote straight into it.
//
// For format width 128 the raw picture is always taken as 160x112.
int RenderFrame(const ProcessingOptions* options, const std::uint8_t* rawFrame,
                std::uint8_t* output, std::size_t outputCapacity, std::size_t* bytesWritten,
                int rawWidth, int rawHeight, int formatWidth, int formatHeight,
                std::uint32_t outputCompression);

// RenderFrame on a decoder state of the caller's own (set up with
// DecoderInitialize and used by one thread at a time), not the shared one:
// for renders outside the driver, such as 640x480 stills, whose planar
// intermediate needs work pictures larger than the driver's. The same
// checks and routes; no lock is taken.
int RenderFrameWith(decoder::DecoderState* state, const ProcessingOptions* options,
                    const std::uint8_t* rawFrame, std::uint8_t* output,
                    std::size_t outputCapacity, std::size_t* bytesWritten, int rawWidth,
                    int rawHeight, int formatWidth, int formatHeight,
                    std::uint32_t outputCompression);

// The two builders RenderFrame routes to; same arguments. Each holds the
// shared decoder's lock for the whole frame.
int RenderRgb(const ProcessingOptions* options, const std::uint8_t* rawFrame, std::uint8_t* output,
              std::size_t outputCapacity, std::size_t* bytesWritten, int rawWidth, int rawHeight,
              int formatWidth, int formatHeight);
int RenderPlanar(const ProcessingOptions* options, const std::uint8_t* rawFrame,
                 std::uint8_t* output, std::size_t outputCapacity, std::size_t* bytesWritten,
                 int rawWidth, int rawHeight, int formatWidth, int formatHeight);

// L from bytes 1..4 of a raw frame rewritten for decoding.
std::uint32_t RawFrameLength(const std::uint8_t* rawFrame);

}  // namespace dualcam::pipeline
