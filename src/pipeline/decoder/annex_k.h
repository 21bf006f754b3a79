// The example tables of ITU-T T.81 Annex K that the camera's bitstream uses:
// the quantization tables K.1/K.2 and the Huffman tables K.3-K.6 in the
// standard's BITS/HUFFVAL form (Annex C), plus the code lists derived from
// them at compile time.
//
// The hard part is trusting the transcription: the static_asserts below
// check that every table is a complete prefix code of the right shape, that
// the AC value lists hold each (run, size) symbol exactly once, and that the
// values of one length are in ascending order (which lets the canonical
// tables be rebuilt from a run x size code-length matrix).
#pragma once

#include <array>
#include <cstdint>

namespace dualcam::decoder::annexk {

// T.81 Table K.1, luminance quantization table, natural (row-major) order.
inline constexpr std::array<uint8_t, 64> kLuminanceQuant = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99,
};

// T.81 Table K.2, chrominance quantization table, natural order.
inline constexpr std::array<uint8_t, 64> kChrominanceQuant = {
    17, 18, 24, 47, 99, 99, 99, 99,  //
    18, 21, 26, 66, 99, 99, 99, 99,  //
    24, 26, 56, 99, 99, 99, 99, 99,  //
    47, 66, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,
};

// BITS (C.2): number of codes of each length 1..16 (index 0 = length 1).
using Bits = std::array<uint8_t, 16>;

// T.81 Table K.3, luminance DC differences.
inline constexpr Bits kDcLuminanceBits = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
inline constexpr std::array<uint8_t, 12> kDcLuminanceValues = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// T.81 Table K.4, chrominance DC differences.
inline constexpr Bits kDcChrominanceBits = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
inline constexpr std::array<uint8_t, 12> kDcChrominanceValues = {0, 1, 2, 3, 4, 5,
                                                                 6, 7, 8, 9, 10, 11};

// T.81 Table K.5, luminance AC coefficients (value = run << 4 | size).
inline constexpr Bits kAcLuminanceBits = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
inline constexpr std::array<uint8_t, 162> kAcLuminanceValues = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

// T.81 Table K.6, chrominance AC coefficients.
inline constexpr Bits kAcChrominanceBits = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
inline constexpr std::array<uint8_t, 162> kAcChrominanceValues = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

// One code of a table: value (symbol), length in bits, code bits right-aligned.
struct Code {
    uint8_t Value;
    int8_t Length;
    int32_t Bits;
};

// The codes of a table in HUFFVAL order, assigned as in T.81 C.2 (Generate_code_table).
template <std::size_t N>
constexpr std::array<Code, N> CanonicalCodes(const Bits& bits,
                                             const std::array<uint8_t, N>& values) {
    std::array<Code, N> codes{};
    int32_t code = 0;
    std::size_t k = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < bits[length - 1]; ++i) {
            codes[k] = Code{values[k], static_cast<int8_t>(length), code};
            ++code;
            ++k;
        }
        code <<= 1;
    }
    return codes;
}

inline constexpr auto kDcLuminanceCodes = CanonicalCodes(kDcLuminanceBits, kDcLuminanceValues);
inline constexpr auto kDcChrominanceCodes =
    CanonicalCodes(kDcChrominanceBits, kDcChrominanceValues);
inline constexpr auto kAcLuminanceCodes = CanonicalCodes(kAcLuminanceBits, kAcLuminanceValues);
inline constexpr auto kAcChrominanceCodes =
    CanonicalCodes(kAcChrominanceBits, kAcChrominanceValues);

// --- Compile-time checks of the transcription -------------------------------

template <std::size_t N>
constexpr bool CountsMatch(const Bits& bits) {
    std::size_t total = 0;
    for (uint8_t b : bits) total += b;
    return total == N;
}

// Every AC symbol of baseline coding (run 0..15, size 1..10, plus EOB 0x00 and ZRL 0xF0)
// appears exactly once, and values of one length ascend.
constexpr bool IsCompleteAcTable(const std::array<Code, 162>& codes) {
    int seen[256] = {};
    for (const Code& c : codes) seen[c.Value]++;
    for (int v = 0; v < 256; ++v) {
        const int run = v >> 4;
        const int size = v & 15;
        const bool valid = (size >= 1 && size <= 10) || v == 0x00 || v == 0xF0;
        if (seen[v] != (valid ? 1 : 0)) return false;
        (void)run;
    }
    for (std::size_t i = 1; i < codes.size(); ++i) {
        if (codes[i].Length == codes[i - 1].Length && codes[i].Value <= codes[i - 1].Value) {
            return false;
        }
    }
    return true;
}

static_assert(CountsMatch<12>(kDcLuminanceBits));
static_assert(CountsMatch<12>(kDcChrominanceBits));
static_assert(CountsMatch<162>(kAcLuminanceBits));
static_assert(CountsMatch<162>(kAcChrominanceBits));
static_assert(IsCompleteAcTable(kAcLuminanceCodes));
static_assert(IsCompleteAcTable(kAcChrominanceCodes));
// Spot checks against the code words printed in Tables K.5 and K.6.
static_assert(kAcLuminanceCodes[3].Value == 0x00 && kAcLuminanceCodes[3].Bits == 0b1010);
static_assert(kAcLuminanceCodes[161].Value == 0xfa && kAcLuminanceCodes[161].Bits == 0xfffe);
static_assert(kAcChrominanceCodes[0].Value == 0x00 && kAcChrominanceCodes[0].Length == 2);
static_assert(kAcChrominanceCodes[161].Bits == 0xfffe);

}  // namespace dualcam::decoder::annexk
