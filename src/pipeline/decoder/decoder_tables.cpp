// Builds the decoder's derived tables once: the canonical AC code lists used
// for the rare long codes, the DC chrominance code list, and the colour and
// clamp tables of the YCbCr-to-BGR conversion.
//
// The hard part is exactness on the colour side: every share is computed in
// 16.16 fixed point with an arithmetic right shift (floor), never with
// floating point or rounding; and the tables are
// shared by every decoder, so they are built exactly once under the
// language's thread-safe static initialisation and never written again.
#include <algorithm>

#include "pipeline/decoder/decoder_tables.h"

namespace dualcam::decoder {
namespace {

// Codes are assigned per length by scanning the matrix row by row (run, then size ascending),
// consecutive from the length's first code. Within one length that is the T.81 value order.
void BuildCanonical(CanonicalCodeTable* table, const CodeLengthMatrix& lengths,
                    const std::array<int32_t, 17>& firstCodes) {
    for (int length = 0; length < kCanonicalLengths; ++length) {
        CanonicalCodeEntry* list = table->Entries[length];
        for (int i = 0; i < kCanonicalEntriesPerLength; ++i) list[i] = {-1, 0, 0, 0};
        int count = 0;
        int32_t code = firstCodes[length];
        for (int run = 0; run < 16 && code >= 0; ++run) {
            for (int size = 0; size < 11; ++size) {
                if (lengths[run][size] != length || count >= kCanonicalEntriesPerLength - 1) {
                    continue;
                }
                list[count].Code = code++;
                list[count].Run = static_cast<uint8_t>(run);
                list[count].Size = static_cast<uint8_t>(size);
                ++count;
            }
        }
        list[0].Count = static_cast<int16_t>(count == 0 ? -1 : count);
    }
}

void BuildDcList(DcCodeList* list) {
    for (auto& row : list->Entries) {
        for (auto& e : row) e = {-1, 0, {0, 0, 0}};
    }
    int used[kDcListLengths] = {};
    for (const annexk::Code& c : annexk::kDcChrominanceCodes) {
        DcCodeEntry& e = list->Entries[c.Length][used[c.Length]++];
        e.Code = c.Bits;
        e.Category = c.Value;
    }
}

// Floor of K * (c - 128) / 65536, as c * K minus 128 * K, then an arithmetic shift.
constexpr int32_t Share(int32_t c, int32_t k) { return (c * k - 128 * k) >> 16; }

}  // namespace

void BuildDecoderTables(DecoderTables* t) {
    BuildCanonical(&t->AcChrominanceCodes, kAcChrominanceLengths, kAcChrominanceFirstCodes);
    BuildDcList(&t->DcChrominanceCodes);
    BuildCanonical(&t->AcLuminanceCodes, kAcLuminanceLengths, kAcLuminanceFirstCodes);

    for (int y = 0; y < 256; ++y) {
        for (int c = 0; c < 256; ++c) {
            t->Rtab[y * 256 + c] = static_cast<int16_t>(std::clamp(y + Share(c, 91881), 0, 255));
            t->Btab[y * 256 + c] =
                static_cast<int16_t>(std::clamp(y + Share(c, 116129), 0, 255));
        }
    }
    for (int c = 0; c < 256; ++c) {
        t->CbG[c] = static_cast<int16_t>(Share(c, 22554));
        t->CrG[c] = static_cast<int16_t>(Share(c, 46802));
    }
    for (int i = 0; i < 800; ++i) {
        t->ClampTable[i] = static_cast<uint8_t>(std::clamp(i - kClampRampOffset, 0, 255));
    }
    for (int i = 0; i < 1024; ++i) {
        t->WideClampTable[i] = static_cast<uint8_t>(std::clamp(i - kWideClampOffset, 0, 255));
    }
    for (int i = 0; i < 256; ++i) t->ShiftTable[i] = i * 65536;
}

const DecoderTables& SharedDecoderTables() {
    // Static storage (about 300 KB, zero-filled at load), filled once; the guard of the local
    // static makes concurrent first calls wait for the one builder.
    static DecoderTables storage;
    static const bool built = (BuildDecoderTables(&storage), true);
    (void)built;
    return storage;
}

}  // namespace dualcam::decoder
