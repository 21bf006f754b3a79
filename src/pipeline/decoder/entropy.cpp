// Entropy decoding of one 8x8 block (T.81 F.2.2.1 DC, F.2.2.2 AC) with the
// fast lookups and canonical fallbacks whose results define the pictures.
//
// The hard part is keeping the exact consumption order: each
// code and each group of extra bits is a separate consumption with its own
// bound check, the two shortest luminance AC codes (00, 01) are taken together
// with their value bits, and a run may carry the coefficient index past 63 —
// the value is stored (through the padded zig-zag table, into coefficient 63)
// before the overflow is detected.
#include "pipeline/decoder/entropy.h"

#include "pipeline/decoder/decoder_tables.h"

namespace dualcam::decoder {

void BitReader::Start(const uint8_t* data, int32_t length) {
    Data = data;
    Position = data + 4;
    Limit = int64_t{length} + 4;
    Window = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) |
             data[3];
    Count = 32;
}

namespace {

// Searches a canonical AC list from `length` with the `code` already consumed; appends one
// bit per failed length. false: not found by length 16, or the read bound.
bool SearchCanonical(BitReader* reader, const CanonicalCodeTable& table, int length,
                     uint32_t code, int* run, int* size) {
    for (;;) {
        const CanonicalCodeEntry* list = table.Entries[length];
        const int32_t first = list[0].Code;
        if (first != -1) {
            const int64_t offset = int64_t{code} - first;
            if (offset >= 0 && offset < list[0].Count) {
                *run = list[offset].Run;
                *size = list[offset].Size;
                return true;
            }
        }
        if (length >= 16) return false;
        uint32_t bit = 0;
        if (!reader->Consume(1, &bit)) return false;
        code = (code << 1) | bit;
        ++length;
    }
}

// Stores value at zig-zag position k and advances k. Returns 1 to continue, 0 when the block is
// full, -1 when a run went past the end of the block.
inline int StoreCoefficient(int16_t* block, int* k, int32_t value) {
    block[kNaturalOrder[*k]] = static_cast<int16_t>(value);
    ++*k;
    if (*k > 64) return -1;
    return *k == 64 ? 0 : 1;
}

}  // namespace

bool DecodeLuminanceBlock(BitReader* reader, const DecoderTables& tables, int32_t* predictor,
                          int16_t* block) {
    uint32_t bits = 0;
    // DC, T.81 K.3: eight-bit lookup; eight ones read as category 11 whatever the ninth bit.
    const DcLookupEntry dc = kDcLuminanceLookup[reader->Peek(8)];
    if (!reader->Consume(dc.Length, &bits)) return false;
    if (dc.Category != 0) {
        if (!reader->Consume(dc.Category, &bits)) return false;
        *predictor += Extend(bits, dc.Category);
    }
    block[0] = static_cast<int16_t>(*predictor);

    // AC, T.81 K.5.
    int k = 1;
    for (;;) {
        const uint32_t top = reader->Peek(7);
        int run = 0;
        int size = 0;
        int32_t value = 0;
        if ((top >> 5) == 0b00) {  // 00s: run 0, size 1
            if (!reader->Consume(3, &bits)) return false;
            value = kOneBitValue[bits & 1];
        } else if ((top >> 5) == 0b01) {  // 01ss: run 0, size 2
            if (!reader->Consume(4, &bits)) return false;
            value = kTwoBitValue[bits & 3];
        } else {
            if ((top >> 2) != 0b11111) {
                const AcLookupEntry e = kAcLuminance7Lookup[top];
                if (e.Length == -1) {  // end of block (1010)
                    return reader->Consume(4, &bits);
                }
                run = e.Run;
                size = e.Size;
                if (!reader->Consume(e.Length, &bits)) return false;
            } else {
                const AcLookupEntry e = kAcLuminance5Lookup[(reader->Window >> 22) & 31];
                if (e.Length < 11) {
                    run = e.Run;
                    size = e.Size;
                    if (!reader->Consume(e.Length, &bits)) return false;
                } else {
                    uint32_t code = 0;
                    if (!reader->Consume(11, &code)) return false;
                    if (!SearchCanonical(reader, tables.AcLuminanceCodes, 11, code, &run, &size)) {
                        return false;
                    }
                }
            }
            k += run;
            if (!reader->Consume(size, &bits)) return false;
            value = Extend(bits, size);
        }
        const int next = StoreCoefficient(block, &k, value);
        if (next < 0) return false;
        if (next == 0) return true;
    }
}

bool DecodeChrominanceBlock(BitReader* reader, const DecoderTables& tables, int32_t* predictor,
                            int16_t* block) {
    uint32_t bits = 0;
    // DC, T.81 K.4: four-bit lookup, then the code list from length 5 for 1111.
    const DcLookupEntry dc = kDcChrominanceLookup[reader->Peek(4)];
    int category = dc.Category;
    if (dc.Length < 5) {
        if (!reader->Consume(dc.Length, &bits)) return false;
    } else {
        uint32_t code = 0;
        if (!reader->Consume(5, &code)) return false;
        int length = 5;
        for (;;) {
            const DcCodeEntry* list = tables.DcChrominanceCodes.Entries[length];
            bool found = false;
            for (int i = 0; i < kDcListEntriesPerLength && list[i].Code != -1; ++i) {
                if (list[i].Code == static_cast<int32_t>(code)) {
                    category = list[i].Category;
                    found = true;
                    break;
                }
            }
            if (found) break;
            if (length >= 11) return false;
            if (!reader->Consume(1, &bits)) return false;
            code = (code << 1) | bits;
            ++length;
        }
    }
    if (category != 0) {
        if (!reader->Consume(category, &bits)) return false;
        *predictor += Extend(bits, category);
    }
    block[0] = static_cast<int16_t>(*predictor);

    // AC, T.81 K.6.
    int k = 1;
    for (;;) {
        if (reader->Peek(2) == 0b00) {  // end of block
            return reader->Consume(2, &bits);
        }
        const AcLookupEntry e = kAcChrominance6Lookup[reader->Peek(6)];
        int run = e.Run;
        int size = e.Size;
        if (e.Length < 7) {
            if (!reader->Consume(e.Length, &bits)) return false;
        } else {
            uint32_t code = 0;
            if (!reader->Consume(e.Length, &code)) return false;
            if (!SearchCanonical(reader, tables.AcChrominanceCodes, e.Length, code, &run,
                                 &size)) {
                return false;
            }
        }
        k += run;
        if (!reader->Consume(size, &bits)) return false;
        const int next = StoreCoefficient(block, &k, Extend(bits, size));
        if (next < 0) return false;
        if (next == 0) return true;
    }
}

}  // namespace dualcam::decoder
