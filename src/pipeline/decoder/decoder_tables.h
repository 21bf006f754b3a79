// Constant tables of the decoder, all fixed at compile time: the padded
// zig-zag order, the four scaled quantization pairs, the AA&N scale factors,
// the inverse-transform constants, the value-extension tables and the fast
// Huffman lookups indexed by the leading bits of the bit window.
//
// The hard part is the lookups: each one covers only the prefixes its caller
// consults, and the entries that send the decoder to a canonical search carry
// the length the search starts from (the shortest code behind that prefix).
// Their results on invalid input are part of the decoder's defined behaviour
// (eight ones as a DC luminance prefix always mean category 11, nine bits).
#pragma once

#include <array>
#include <cstdint>

#include "pipeline/decoder/annex_k.h"
#include "pipeline/decoder/decoder.h"

namespace dualcam::decoder {

// T.81 Figure A.6 zig-zag: entry k is the natural (row-major) position of the k-th coefficient.
// Entries 64..127 are 63: a run can carry k up to 78 before the overflow check, and the store
// happens before the check.
inline constexpr std::array<uint8_t, 128> kNaturalOrder = [] {
    std::array<uint8_t, 128> order{};
    int k = 0;
    for (int s = 0; s < 15; ++s) {  // anti-diagonals r + c = s
        for (int i = 0; i <= s; ++i) {
            const int r = (s % 2 == 0) ? s - i : i;
            const int c = s - r;
            if (r < 8 && c < 8) order[k++] = static_cast<uint8_t>(r * 8 + c);
        }
    }
    for (int i = 64; i < 128; ++i) order[i] = 63;
    return order;
}();
static_assert(kNaturalOrder[0] == 0 && kNaturalOrder[1] == 1 && kNaturalOrder[2] == 8 &&
              kNaturalOrder[3] == 16 && kNaturalOrder[4] == 9 && kNaturalOrder[5] == 2 &&
              kNaturalOrder[63] == 63 && kNaturalOrder[127] == 63);

// Strength S of each quantization pair (quality index 0..3).
inline constexpr std::array<int, 4> kQualityStrength = {10, 20, 40, 30};

// Eight base tables in natural order: pair p = {K.1, K.2} each entry (base * S + 50) / 100.
// No entry is below 1 for these strengths.
inline constexpr std::array<std::array<int8_t, 64>, 8> kBaseQuant = [] {
    std::array<std::array<int8_t, 64>, 8> tables{};
    for (int p = 0; p < 4; ++p) {
        for (int i = 0; i < 64; ++i) {
            const int s = kQualityStrength[p];
            tables[2 * p][i] = static_cast<int8_t>((annexk::kLuminanceQuant[i] * s + 50) / 100);
            tables[2 * p + 1][i] =
                static_cast<int8_t>((annexk::kChrominanceQuant[i] * s + 50) / 100);
        }
    }
    return tables;
}();

// AA&N scale factors: 1 and sqrt(2)*cos(k*pi/16) for k = 1..7, in 16.16, truncated.
inline constexpr std::array<int32_t, 8> kScaleFactors = {65536, 90901, 85626, 77062,
                                                         65536, 51491, 35467, 18081};

// Inverse-transform multipliers, scaled by 16384 (used with a pre-shift of 2 and the high half
// of the 32-bit product). The odd-part constant is -30353 (-1.8526), not -30273: the
// delivered pictures are defined with it.
inline constexpr int16_t kIdct1414 = 23170;
inline constexpr int16_t kIdctM0765 = -12540;
inline constexpr int16_t kIdct1847 = 30273;
inline constexpr int16_t kIdctM1852 = -30353;
inline constexpr int16_t kIdctLevelShift = 128;

// Value extension (T.81 F.2.2.1 EXTEND): bit[n] = 2^(n-1), mask[n] = 2^n - 1.
inline constexpr std::array<int16_t, 12> kExtendBit = {0,  1,  2,   4,   8,   16,
                                                       32, 64, 128, 256, 512, 1024};
inline constexpr std::array<int16_t, 12> kExtendMask = {0,  1,   3,   7,   15,   31,
                                                        63, 127, 255, 511, 1023, 2047};
inline constexpr std::array<int8_t, 16> kRefillShift = {16, 15, 14, 13, 12, 11, 10, 9,
                                                        8,  7,  6,  5,  4,  3,  2,  1};
inline constexpr std::array<int16_t, 2> kOneBitValue = {-1, 1};
inline constexpr std::array<int16_t, 4> kTwoBitValue = {-3, -2, 2, 3};

// --- Huffman lookups ---------------------------------------------------------

struct DcLookupEntry {
    uint8_t Category;
    int8_t Length;
};

struct AcLookupEntry {
    int8_t Length;  // -1: end of block; 0: prefix not consulted
    uint8_t Run;
    uint8_t Size;
};

namespace detail {

// Index in `codes` of the code (length <= maxLength) that is a prefix of the `bits`-bit index,
// or -1. (An index rather than a pointer keeps this a constant expression under UBSan.)
template <std::size_t N>
constexpr int FindPrefix(const std::array<annexk::Code, N>& codes, int index, int bits,
                         int maxLength) {
    for (std::size_t i = 0; i < N; ++i) {
        const annexk::Code& c = codes[i];
        if (c.Length <= maxLength && c.Length <= bits &&
            (index >> (bits - c.Length)) == c.Bits) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Shortest code whose first `bits` bits equal index (codes longer than `bits`).
template <std::size_t N>
constexpr int ShortestBehind(const std::array<annexk::Code, N>& codes, int index, int bits) {
    int best = 0;
    for (const annexk::Code& c : codes) {
        if (c.Length > bits && (c.Bits >> (c.Length - bits)) == index &&
            (best == 0 || c.Length < best)) {
            best = c.Length;
        }
    }
    return best;
}

// Lookup entry of an AC code; the end-of-block symbol has length -1.
constexpr AcLookupEntry AcEntry(const annexk::Code& c) {
    if (c.Value == 0x00) return AcLookupEntry{-1, 0, 0};
    return AcLookupEntry{c.Length, static_cast<uint8_t>(c.Value >> 4),
                         static_cast<uint8_t>(c.Value & 15)};
}

}  // namespace detail

// DC luminance: next 8 bits -> (category, length). Eight ones: category 11 with 9 bits,
// whatever the ninth bit is.
inline constexpr std::array<DcLookupEntry, 256> kDcLuminanceLookup = [] {
    std::array<DcLookupEntry, 256> table{};
    for (int i = 0; i < 256; ++i) {
        const int c = detail::FindPrefix(annexk::kDcLuminanceCodes, i, 8, 8);
        if (c >= 0) {
            table[i] = DcLookupEntry{annexk::kDcLuminanceCodes[c].Value,
                                     annexk::kDcLuminanceCodes[c].Length};
        }
    }
    table[255] = DcLookupEntry{11, 9};
    return table;
}();

// DC chrominance: next 4 bits -> (category, length); 1111 gives length 5, the start of the
// list search.
inline constexpr std::array<DcLookupEntry, 16> kDcChrominanceLookup = [] {
    std::array<DcLookupEntry, 16> table{};
    for (int i = 0; i < 16; ++i) {
        const int c = detail::FindPrefix(annexk::kDcChrominanceCodes, i, 4, 4);
        if (c >= 0) {
            table[i] = DcLookupEntry{annexk::kDcChrominanceCodes[c].Value,
                                     annexk::kDcChrominanceCodes[c].Length};
        }
    }
    table[15] = DcLookupEntry{0, 5};
    return table;
}();

// AC luminance, next 7 bits (indices 64..123 consulted: leading 1, not 11111).
inline constexpr std::array<AcLookupEntry, 128> kAcLuminance7Lookup = [] {
    std::array<AcLookupEntry, 128> table{};
    for (int i = 0; i < 128; ++i) {
        const int c = detail::FindPrefix(annexk::kAcLuminanceCodes, i, 7, 7);
        if (c < 0) continue;
        table[i] = detail::AcEntry(annexk::kAcLuminanceCodes[c]);
    }
    return table;
}();

// AC luminance, the 5 bits after a leading 11111: codes of up to 10 bits; 27..31 give the
// length (11, 11, 12, 15, 16) from which the canonical search starts.
inline constexpr std::array<AcLookupEntry, 32> kAcLuminance5Lookup = [] {
    std::array<AcLookupEntry, 32> table{};
    for (int i = 0; i < 32; ++i) {
        const int index = (31 << 5) | i;
        const int c = detail::FindPrefix(annexk::kAcLuminanceCodes, index, 10, 10);
        if (c >= 0) {
            table[i] = detail::AcEntry(annexk::kAcLuminanceCodes[c]);
        } else {
            table[i] = AcLookupEntry{
                static_cast<int8_t>(detail::ShortestBehind(annexk::kAcLuminanceCodes, index, 10)),
                0, 0};
        }
    }
    return table;
}();

// AC chrominance, next 6 bits (16..63 consulted): codes of up to 6 bits; 60..63 give the length
// (7, 7, 8, 9) from which the canonical search starts.
inline constexpr std::array<AcLookupEntry, 64> kAcChrominance6Lookup = [] {
    std::array<AcLookupEntry, 64> table{};
    for (int i = 0; i < 64; ++i) {
        const int c = detail::FindPrefix(annexk::kAcChrominanceCodes, i, 6, 6);
        if (c >= 0) {
            table[i] = detail::AcEntry(annexk::kAcChrominanceCodes[c]);
        } else {
            table[i] = AcLookupEntry{
                static_cast<int8_t>(detail::ShortestBehind(annexk::kAcChrominanceCodes, i, 6)), 0,
                0};
        }
    }
    return table;
}();

static_assert(kAcLuminance5Lookup[27].Length == 11 && kAcLuminance5Lookup[28].Length == 11 &&
              kAcLuminance5Lookup[29].Length == 12 && kAcLuminance5Lookup[30].Length == 15 &&
              kAcLuminance5Lookup[31].Length == 16);
static_assert(kAcChrominance6Lookup[60].Length == 7 && kAcChrominance6Lookup[61].Length == 7 &&
              kAcChrominance6Lookup[62].Length == 8 && kAcChrominance6Lookup[63].Length == 9);
static_assert(kAcLuminance7Lookup[0b1010000].Length == -1);

// --- Canonical code tables ---------------------------------------------------

// Code length of each AC symbol (run x size), -1 where the symbol does not exist.
using CodeLengthMatrix = std::array<std::array<int8_t, 11>, 16>;

template <std::size_t N>
constexpr CodeLengthMatrix LengthMatrix(const std::array<annexk::Code, N>& codes) {
    CodeLengthMatrix m{};
    for (auto& row : m) row.fill(-1);
    for (const annexk::Code& c : codes) m[c.Value >> 4][c.Value & 15] = c.Length;
    return m;
}

inline constexpr CodeLengthMatrix kAcLuminanceLengths = LengthMatrix(annexk::kAcLuminanceCodes);
inline constexpr CodeLengthMatrix kAcChrominanceLengths =
    LengthMatrix(annexk::kAcChrominanceCodes);

// First code of each length 0..16 (-1 where the length has no codes): the canonical first
// codes of Tables K.5 and K.6.
inline constexpr std::array<int32_t, 17> kAcLuminanceFirstCodes = {
    -1, -1, 0, 4, 10, 26, 58, 120, 248, 502, 1014, 2038, 4084, -1, -1, 32704, 65410};
inline constexpr std::array<int32_t, 17> kAcChrominanceFirstCodes = {
    -1, -1, 0, 4, 10, 24, 56, 120, 246, 500, 1014, 2038, 4084, -1, 16352, 32706, 65416};

template <std::size_t N>
constexpr bool FirstCodesMatch(const std::array<annexk::Code, N>& codes,
                               const std::array<int32_t, 17>& first) {
    for (int length = 0; length <= 16; ++length) {
        int32_t expected = -1;
        for (const annexk::Code& c : codes) {
            if (c.Length == length) {
                expected = c.Bits;
                break;
            }
        }
        if (expected != first[length]) return false;
    }
    return true;
}
static_assert(FirstCodesMatch(annexk::kAcLuminanceCodes, kAcLuminanceFirstCodes));
static_assert(FirstCodesMatch(annexk::kAcChrominanceCodes, kAcChrominanceFirstCodes));

// Fills `tables` (zero-filled static storage) with the derived tables.
void BuildDecoderTables(DecoderTables* tables);

}  // namespace dualcam::decoder
