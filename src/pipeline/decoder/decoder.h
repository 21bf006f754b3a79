// The camera's compressed-picture decoder: a bare baseline-DCT bitstream
// (ITU-T T.81 Huffman tables K.3-K.6, 4:2:0 MCUs, no markers, no byte
// stuffing) turned into a bottom-up B,G,R picture or a planar I420 picture.
//
// The hard part is that the pictures are defined to the bit: the entropy
// decoder's behaviour on invalid codes, the 16-bit wrapping inverse transform
// and the table-driven colour conversion must all give exactly the same bytes
// as the pictures this driver has always delivered, including on damaged frames (completed
// MCUs stay written, the failing MCU writes nothing).
//
// A DecoderState is an explicit context record: each caller that decodes
// concurrently owns one. The constant and derived tables are shared,
// immutable, and built once (thread-safe) by the first DecoderInitialize or
// SharedDecoderTables call. Nothing here allocates except through the
// allocator handed to DecoderInitialize; nothing throws or does I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dualcam::decoder {

inline constexpr int kOutputBgr = 0;   // bottom-up rows of B,G,R
inline constexpr int kOutputI420 = 1;  // planar Y, Cb, Cr, top-down

// Work buffers A and B: planar intermediates. The driver's shared decoder has 203,776 bytes
// each, which holds the planar picture of every raw size the driver streams (up to 352x288,
// 152,064 bytes); the 640x480 planar picture (460,800 bytes), which only a 640x480 RGB render
// with a tone curve needs, does not fit, and such a render is refused before anything is
// written. Renders of 640x480 stills outside the driver use a state of their own with
// kStillWorkBufferSize buffers.
inline constexpr std::size_t kWorkBufferSize = 203776;
inline constexpr std::size_t kStillWorkBufferSize = 640 * 480 * 3 / 2;

// DecodePicture may read up to 5 bytes past data+length; the driver passes the whole raw frame
// length (header included) while data starts 13 bytes in, so every buffer holding a raw frame
// keeps kRawFrameSlack zero-filled bytes after its end.
inline constexpr std::size_t kReadSlack = 5;
inline constexpr std::size_t kRawFrameSlack = 13 + kReadSlack;

// Row-pointer table capacity: 640x480 I420 needs 480 luma + 240 + 240 chroma rows; 1536 is the
// record's fixed size.
inline constexpr int kRowTableEntries = 1536;

struct DecoderAllocator {
    void* (*allocate)(std::size_t bytes, void* context);
    void (*release)(void* block, void* context);
    void* context;
};

// ---------------------------------------------------------------------------
// Shared tables
// ---------------------------------------------------------------------------

// One entry of a canonical AC code list (8 bytes). Per code length L the list holds the codes
// of that length in ascending order; Count (first entry only) is the number of codes of that
// length, -1 when there are none. The entry after the last has Code -1.
struct CanonicalCodeEntry {
    int32_t Code;
    uint8_t Run;
    uint8_t Size;
    int16_t Count;
};

inline constexpr int kCanonicalLengths = 17;         // lengths 0..16
inline constexpr int kCanonicalEntriesPerLength = 161;  // up to 160 codes + terminator

struct CanonicalCodeTable {
    CanonicalCodeEntry Entries[kCanonicalLengths][kCanonicalEntriesPerLength];
};

// DC chrominance (T.81 K.4) code list: per length 0..11 up to four codes, terminated by -1.
struct DcCodeEntry {
    int32_t Code;
    uint8_t Category;
    uint8_t Reserved[3];
};

inline constexpr int kDcListLengths = 12;
inline constexpr int kDcListEntriesPerLength = 5;

struct DcCodeList {
    DcCodeEntry Entries[kDcListLengths][kDcListEntriesPerLength];
};

inline constexpr int kClampRampOffset = 300;  // ClampTable index of value 0 (covers -300..499)
inline constexpr int kWideClampOffset = 384;  // WideClampTable index of value 0 (-384..639)

// The derived tables, built once and never changed. Colour rules (16.16 fixed point, arithmetic
// shifts, so each share rounds toward minus infinity):
//   Rtab[Y*256+Cr] = clamp(Y + ((Cr*91881  - 11760768) >> 16))
//   Btab[Y*256+Cb] = clamp(Y + ((Cb*116129 - 14864512) >> 16))
//   CbG[c] = (c*22554 - 2886912) >> 16,  CrG[c] = (c*46802 - 5990656) >> 16
// The subtracted constants are 128 times the multipliers: each rule is K*(c-128)/65536.
struct DecoderTables {
    CanonicalCodeTable AcLuminanceCodes;    // T.81 Table K.5
    CanonicalCodeTable AcChrominanceCodes;  // T.81 Table K.6
    DcCodeList DcChrominanceCodes;          // T.81 Table K.4
    int16_t Rtab[256 * 256];
    int16_t Btab[256 * 256];
    int16_t CbG[256];
    int16_t CrG[256];
    uint8_t ClampTable[800];       // 300 x 0, ramp 0..255, 244 x 255
    uint8_t WideClampTable[1024];  // index -384..639 clamped to 0..255
    int32_t ShiftTable[256];       // i * 65536

    // Clamp of v for v in -300..499.
    const uint8_t* ClampRamp() const { return ClampTable + kClampRampOffset; }
    // Clamp of v for v in -384..639 (used by the YUV-to-RGB converter).
    const uint8_t* WideClamp() const { return WideClampTable + kWideClampOffset; }
};

// ---------------------------------------------------------------------------
// Per-decoder record
// ---------------------------------------------------------------------------

// One decoder context. Zero-initialised (DecoderState{} or value-initialised new) it is inert:
// every call but DecoderInitialize returns 0 until DecoderInitialize succeeds.
struct DecoderState {
    // Geometry, set by DecoderSetGeometry (and DecoderBuildRowTable).
    int16_t Width;
    int16_t Height;
    // Last index given to DecoderSelectQuality; -1 after set-up.
    int16_t QualityIndex;
    // Output kind recorded by the last DecoderBuildRowTable call.
    int16_t OutputKind;

    // What DecodePicture was given, and the bit reader's state when it returned.
    const uint8_t* InputStart;
    int32_t InputLength;
    const uint8_t* ReadPosition;
    uint32_t BitWindow;  // next stream bits, left-aligned
    int32_t BitCount;    // valid bits in BitWindow
    int32_t DcPredictor[3];  // Y, Cb, Cr
    int32_t CoefficientIndex;

    // Dequantization multipliers in natural (row-major) order, with the AA&N scale factors of
    // both dimensions and two extra fraction bits folded in.
    int16_t LuminanceDequant[64];
    int16_t ChrominanceDequant[64];

    // Row-pointer table: entry i is where output row i starts. For I420 the luma rows are
    // followed by the Cb rows, then the Cr rows.
    uint8_t* RowTable[kRowTableEntries];
    // What the table was built for; RowTableRows is 0 while no table has been built.
    int32_t RowTableWidth;
    int32_t RowTableRows;  // H': luma rows the table addresses
    int32_t RowTableKind;

    // Per-MCU blocks: Y0, Y1, Y2, Y3, Cb, Cr.
    alignas(16) int16_t Coefficients[6][64];
    alignas(16) uint8_t PixelBlocks[6][64];
    alignas(16) int16_t Workspace[64];

    // Planar intermediates of WorkBufferBytes bytes each, owned by the decoder and used by the
    // frame path for scaled or post-processed output.
    uint8_t* WorkBufferA;
    uint8_t* WorkBufferB;
    std::size_t WorkBufferBytes;
    DecoderAllocator Allocator;

    // 1 after a successful DecoderInitialize, 0 after DecoderRelease.
    int32_t Ready;
};

// 1 ok, 0 allocation failed (nothing kept); builds the shared tables once (thread-safe). Each
// work buffer gets workBufferBytes bytes (at least kWorkBufferSize; a smaller request is
// raised to it).
int DecoderInitialize(DecoderState* state, const DecoderAllocator* allocator,
                      std::size_t workBufferBytes = kWorkBufferSize);
// Frees both work buffers (if any); returns 1.
int DecoderRelease(DecoderState* state);
// Index 0..3; 1 when the dequantization tables for it are in place, 0 for an index out of range.
int DecoderSelectQuality(DecoderState* state, int16_t index);
// Stores both as signed 16-bit; returns 1.
int DecoderSetGeometry(DecoderState* state, int16_t width, int16_t height);
// Sets the geometry, then fills the row table for base; 0 (table unchanged) for an unknown
// width or kind. Kind 2 builds the kind-0 (bottom-up 24-bit) table; DecodePicture writes only
// kinds 0 and 1.
int DecoderBuildRowTable(DecoderState* state, int width, int height, int kind, uint8_t* base);
// 1 for a decoded picture; 0 for corrupt or truncated data, or when the row table does not
// cover the current geometry and kind. Reads at most data[0 .. length+4]. Runs the path
// ActiveDecoderPath() names.
int DecodePicture(DecoderState* state, const uint8_t* data, int32_t length, uint8_t* base,
                  int kind);

// The implementations behind DecodePicture. Every path gives the same result, writes the same
// MCUs with the same bytes and leaves the same bit reader state as Reference, the
// straightforward scalar decoder, for every input (valid, damaged or truncated).
enum class DecoderPath : int {
    Reference = 0,  // one checked consumption at a time, scalar transform and table colour
    Portable = 1,   // 64-bit bit buffer and wide lookups, scalar transform and table colour
    Ssse3 = 2,      // as Portable, with SSE2 transform and SSSE3 colour conversion
    Avx2 = 3,       // as Ssse3, with two blocks per AVX2 transform
};
inline constexpr int kDecoderPathCount = 4;
// Whether this build and this processor can run `path`.
bool DecoderPathAvailable(DecoderPath path);
// The path DecodePicture runs: the fastest available one, unless the environment variable
// DUALCAM_DECODER, read once at first use, names another ("reference", "portable", "ssse3",
// "avx2"; an unavailable one falls back to the fastest available).
DecoderPath ActiveDecoderPath();
const char* DecoderPathName(DecoderPath path);
// DecodePicture on a chosen path; an unavailable path runs Reference.
int DecodePictureWith(DecoderPath path, DecoderState* state, const uint8_t* data, int32_t length,
                      uint8_t* base, int kind);
// Bytes the row table for (width, height, kind) addresses (e.g. 160x120 -> 160x128 rows);
// 0 for an unknown width or kind (kind 2 counts as kind 0).
std::size_t DecoderOutputBytes(int width, int height, int kind);
// The constant and built tables (clamp, wide clamp, shift, Rtab...), built once.
const DecoderTables& SharedDecoderTables();

}  // namespace dualcam::decoder
