// Bit reader and block entropy decoding of the camera's bitstream: T.81
// baseline Huffman coding (F.2.2) with the Annex K tables, bytes read most
// significant bit first, no byte stuffing, no markers.
//
// The hard part is the read bound and the failure rules. Every consumption
// first checks the read position (which runs two to four bytes ahead of the
// bits consumed) against length + 4, so the reader never touches a byte past
// data + length + 4. Codes resolve through lookups on the leading window bits
// with bit-by-bit canonical fallbacks whose results on invalid codes are
// fixed: nine ones are DC luminance category 11, and a code not found by its
// table's longest length fails the picture.
#pragma once

#include <cstdint>

#include "pipeline/decoder/decoder.h"

namespace dualcam::decoder {

// Value type: the decoding loop keeps it in locals and commits it to the DecoderState at the
// end of the picture.
struct BitReader {
    const uint8_t* Data;
    const uint8_t* Position;  // next unread byte
    int64_t Limit;            // length + 4: consumptions fail once Position - Data reaches it
    uint32_t Window;          // next bits, left-aligned
    int32_t Count;            // valid bits in Window, at least 16 between symbols

    // Loads the first four bytes; the caller guarantees they are readable.
    void Start(const uint8_t* data, int32_t length);

    uint32_t Peek(int bits) const { return Window >> (32 - bits); }

    // Takes `bits` (0..16) bits into *value; false when the read bound is reached.
    bool Consume(int bits, uint32_t* value) {
        if (Position - Data >= Limit) return false;
        *value = bits == 0 ? 0 : Window >> (32 - bits);
        Window = bits == 0 ? Window : Window << bits;
        Count -= bits;
        if (Count < 16) {
            const uint32_t next = (uint32_t{Position[0]} << 8) | Position[1];
            Window += next << (16 - Count);
            Position += 2;
            Count += 16;
        }
        return true;
    }
};

// T.81 F.2.2.1 EXTEND: s bits v with the top bit clear stand for v - (2^s - 1).
inline int32_t Extend(uint32_t v, int s) {
    if (s == 0) return 0;
    const int32_t value = static_cast<int32_t>(v);
    return (value & (1 << (s - 1))) != 0 ? value : value - ((1 << s) - 1);
}

// Each decodes one block into `block` (natural order, zero-filled by the caller) and updates
// the DC predictor. false: corrupt or truncated stream.
bool DecodeLuminanceBlock(BitReader* reader, const DecoderTables& tables, int32_t* predictor,
                          int16_t* block);
bool DecodeChrominanceBlock(BitReader* reader, const DecoderTables& tables, int32_t* predictor,
                            int16_t* block);

}  // namespace dualcam::decoder
