// x86 vector kernels of the fast paths: the inverse transform eight lanes at a
// time (SSE2) or two blocks at a time (AVX2), and the B,G,R colour
// conversion sixteen pixels at a time (SSSE3), chosen at run time by the
// processor's features.
//
// The hard part is giving the scalar reference's bytes exactly. The transform
// is defined on wrapping signed 16-bit lanes, which is what the vector
// instructions compute: P() is mullo, M(a, K) is mulhi(a << 2, K) (the high
// half is the floor of the product / 65536), and the final +128 with 16-bit
// saturation and the clamp to 0..255 are adds_epi16 and packus_epi16. The
// colour shares K x (c - 128) / 65536, floored, are split into a whole part
// and a mulhi by a constant that fits 16 bits (91881 = 65536 + 26345,
// 116129 = 131072 - 14943, 46802 = 65536 - 18734); floor(n x 65536 + m) /
// 65536 = n + floor(m / 65536) keeps them exact, and packus is the clamp.
#include <cstring>

#include "pipeline/decoder/decoder_tables.h"
#include "pipeline/decoder/fast_path.h"
#include "pipeline/decoder/idct.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DUALCAM_X86_KERNELS 1
#endif

namespace dualcam::decoder {

#if defined(DUALCAM_X86_KERNELS)
namespace {

// --- SSE2 transform -----------------------------------------------------------

#define DUALCAM_SSE2 __attribute__((target("sse2"), always_inline)) inline

DUALCAM_SSE2 __m128i M128(__m128i a, __m128i k) { return _mm_mulhi_epi16(_mm_slli_epi16(a, 2), k); }

// The 1-D transform on eight lanes at once: x[0..7] in, y[0..7] out in place.
DUALCAM_SSE2 void Transform128(__m128i x[8]) {
    const __m128i k1414 = _mm_set1_epi16(kIdct1414);
    const __m128i km0765 = _mm_set1_epi16(kIdctM0765);
    const __m128i k1847 = _mm_set1_epi16(kIdct1847);
    const __m128i km1852 = _mm_set1_epi16(kIdctM1852);
    // Even part.
    const __m128i t10 = _mm_add_epi16(x[0], x[4]);
    const __m128i t11 = _mm_sub_epi16(x[0], x[4]);
    const __m128i t13 = _mm_add_epi16(x[2], x[6]);
    const __m128i t12 = _mm_sub_epi16(M128(_mm_sub_epi16(x[2], x[6]), k1414), t13);
    const __m128i e0 = _mm_add_epi16(t10, t13);
    const __m128i e3 = _mm_sub_epi16(t10, t13);
    const __m128i e1 = _mm_add_epi16(t11, t12);
    const __m128i e2 = _mm_sub_epi16(t11, t12);
    // Odd part.
    const __m128i z13 = _mm_add_epi16(x[5], x[3]);
    const __m128i z10 = _mm_sub_epi16(x[5], x[3]);
    const __m128i z11 = _mm_add_epi16(x[1], x[7]);
    const __m128i z12 = _mm_sub_epi16(x[1], x[7]);
    const __m128i o7 = _mm_add_epi16(z11, z13);
    const __m128i o11 = M128(_mm_sub_epi16(z11, z13), k1414);
    const __m128i o10 = _mm_add_epi16(M128(z10, km1852), M128(z12, km0765));
    const __m128i o12 = _mm_add_epi16(M128(z10, km0765), M128(z12, k1847));
    const __m128i o6 = _mm_sub_epi16(o12, o7);
    const __m128i o5 = _mm_sub_epi16(o11, o6);
    const __m128i o4 = _mm_add_epi16(o10, o5);
    x[0] = _mm_add_epi16(e0, o7);
    x[7] = _mm_sub_epi16(e0, o7);
    x[1] = _mm_add_epi16(e1, o6);
    x[6] = _mm_sub_epi16(e1, o6);
    x[2] = _mm_add_epi16(e2, o5);
    x[5] = _mm_sub_epi16(e2, o5);
    x[4] = _mm_add_epi16(e3, o4);
    x[3] = _mm_sub_epi16(e3, o4);
}

DUALCAM_SSE2 void Transpose128(__m128i r[8]) {
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]);
    const __m128i a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]);
    const __m128i a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]);
    const __m128i a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]);
    const __m128i a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2);
    const __m128i b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3);
    const __m128i b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6);
    const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
    const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// Samples of one block to out, rows `stride` bytes apart.
// The coefficients are left zero.
__attribute__((target("sse2"))) void TransformBlockSse2(int16_t* coefficients,
                                                        const int16_t* multipliers, uint8_t* out,
                                                        int stride) {
    __m128i x[8];
    // Columns: vector r holds row r of every column, dequantized (P = low half of the product).
    for (int r = 0; r < 8; ++r) {
        auto* row = reinterpret_cast<__m128i*>(coefficients + 8 * r);
        x[r] = _mm_mullo_epi16(_mm_loadu_si128(row),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(multipliers + 8 * r)));
        _mm_storeu_si128(row, _mm_setzero_si128());
    }
    Transform128(x);
    // Rows: vector c holds workspace column c of every row.
    Transpose128(x);
    Transform128(x);
    const __m128i level = _mm_set1_epi16(kIdctLevelShift);
    for (int c = 0; c < 8; ++c) x[c] = _mm_adds_epi16(_mm_srai_epi16(x[c], 5), level);
    Transpose128(x);
    for (int r = 0; r < 8; r += 2) {
        const __m128i packed = _mm_packus_epi16(x[r], x[r + 1]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride), packed);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (r + 1) * stride),
                         _mm_unpackhi_epi64(packed, packed));
    }
}

DUALCAM_SSE2 void FillBlock(uint8_t* out, int stride, uint8_t value) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    for (int r = 0; r < 8; ++r) _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride), v);
}

// Where block b of the MCU goes in the vector layout, and its row stride.
inline uint8_t* McuBlockOut(DecoderState* state, int b, int* stride) {
    uint8_t* mcu = &state->PixelBlocks[0][0];
    if (b < 4) {
        *stride = 16;
        return mcu + (b >> 1) * 128 + (b & 1) * 8;
    }
    *stride = 8;
    return mcu + 256 + (b - 4) * 64;
}

__attribute__((target("sse2"))) void TransformMcuSse2(DecoderState* state,
                                                      const uint8_t acPresent[6]) {
    for (int b = 0; b < 6; ++b) {
        const int16_t* multipliers = b < 4 ? state->LuminanceDequant : state->ChrominanceDequant;
        int stride = 0;
        uint8_t* out = McuBlockOut(state, b, &stride);
        if (acPresent[b] == 0) {
            FillBlock(out, stride, DcOnlySample(state->Coefficients[b][0], multipliers[0]));
            state->Coefficients[b][0] = 0;
        } else {
            TransformBlockSse2(state->Coefficients[b], multipliers, out, stride);
        }
    }
}

// The vector layout to I420 planes: sixteen luminance rows of 16 bytes, eight rows of 8 bytes
// for each chroma plane.
__attribute__((target("sse2"))) void WriteMcuI420Sse2(const DecoderState* state, int x, int y) {
    const uint8_t* mcu = &state->PixelBlocks[0][0];
    for (int r = 0; r < 16; ++r) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(state->RowTable[y + r] + x),
                         _mm_load_si128(reinterpret_cast<const __m128i*>(mcu + 16 * r)));
    }
    const int height = state->Height;
    for (int r = 0; r < 8; ++r) {
        std::memcpy(state->RowTable[height + y / 2 + r] + x / 2, mcu + 256 + 8 * r, 8);
        std::memcpy(state->RowTable[height * 3 / 2 + y / 2 + r] + x / 2, mcu + 320 + 8 * r, 8);
    }
}

// --- AVX2 transform: the same lanes, one block in each 128-bit half ----------------

#define DUALCAM_AVX2 __attribute__((target("avx2"), always_inline)) inline

DUALCAM_AVX2 __m256i M256(__m256i a, __m256i k) {
    return _mm256_mulhi_epi16(_mm256_slli_epi16(a, 2), k);
}

DUALCAM_AVX2 void Transform256(__m256i x[8]) {
    const __m256i k1414 = _mm256_set1_epi16(kIdct1414);
    const __m256i km0765 = _mm256_set1_epi16(kIdctM0765);
    const __m256i k1847 = _mm256_set1_epi16(kIdct1847);
    const __m256i km1852 = _mm256_set1_epi16(kIdctM1852);
    const __m256i t10 = _mm256_add_epi16(x[0], x[4]);
    const __m256i t11 = _mm256_sub_epi16(x[0], x[4]);
    const __m256i t13 = _mm256_add_epi16(x[2], x[6]);
    const __m256i t12 = _mm256_sub_epi16(M256(_mm256_sub_epi16(x[2], x[6]), k1414), t13);
    const __m256i e0 = _mm256_add_epi16(t10, t13);
    const __m256i e3 = _mm256_sub_epi16(t10, t13);
    const __m256i e1 = _mm256_add_epi16(t11, t12);
    const __m256i e2 = _mm256_sub_epi16(t11, t12);
    const __m256i z13 = _mm256_add_epi16(x[5], x[3]);
    const __m256i z10 = _mm256_sub_epi16(x[5], x[3]);
    const __m256i z11 = _mm256_add_epi16(x[1], x[7]);
    const __m256i z12 = _mm256_sub_epi16(x[1], x[7]);
    const __m256i o7 = _mm256_add_epi16(z11, z13);
    const __m256i o11 = M256(_mm256_sub_epi16(z11, z13), k1414);
    const __m256i o10 = _mm256_add_epi16(M256(z10, km1852), M256(z12, km0765));
    const __m256i o12 = _mm256_add_epi16(M256(z10, km0765), M256(z12, k1847));
    const __m256i o6 = _mm256_sub_epi16(o12, o7);
    const __m256i o5 = _mm256_sub_epi16(o11, o6);
    const __m256i o4 = _mm256_add_epi16(o10, o5);
    x[0] = _mm256_add_epi16(e0, o7);
    x[7] = _mm256_sub_epi16(e0, o7);
    x[1] = _mm256_add_epi16(e1, o6);
    x[6] = _mm256_sub_epi16(e1, o6);
    x[2] = _mm256_add_epi16(e2, o5);
    x[5] = _mm256_sub_epi16(e2, o5);
    x[4] = _mm256_add_epi16(e3, o4);
    x[3] = _mm256_sub_epi16(e3, o4);
}

// The unpacks work within each 128-bit half, so this transposes both blocks.
DUALCAM_AVX2 void Transpose256(__m256i r[8]) {
    const __m256i a0 = _mm256_unpacklo_epi16(r[0], r[1]);
    const __m256i a1 = _mm256_unpackhi_epi16(r[0], r[1]);
    const __m256i a2 = _mm256_unpacklo_epi16(r[2], r[3]);
    const __m256i a3 = _mm256_unpackhi_epi16(r[2], r[3]);
    const __m256i a4 = _mm256_unpacklo_epi16(r[4], r[5]);
    const __m256i a5 = _mm256_unpackhi_epi16(r[4], r[5]);
    const __m256i a6 = _mm256_unpacklo_epi16(r[6], r[7]);
    const __m256i a7 = _mm256_unpackhi_epi16(r[6], r[7]);
    const __m256i b0 = _mm256_unpacklo_epi32(a0, a2);
    const __m256i b1 = _mm256_unpackhi_epi32(a0, a2);
    const __m256i b2 = _mm256_unpacklo_epi32(a1, a3);
    const __m256i b3 = _mm256_unpackhi_epi32(a1, a3);
    const __m256i b4 = _mm256_unpacklo_epi32(a4, a6);
    const __m256i b5 = _mm256_unpackhi_epi32(a4, a6);
    const __m256i b6 = _mm256_unpacklo_epi32(a5, a7);
    const __m256i b7 = _mm256_unpackhi_epi32(a5, a7);
    r[0] = _mm256_unpacklo_epi64(b0, b4);
    r[1] = _mm256_unpackhi_epi64(b0, b4);
    r[2] = _mm256_unpacklo_epi64(b1, b5);
    r[3] = _mm256_unpackhi_epi64(b1, b5);
    r[4] = _mm256_unpacklo_epi64(b2, b6);
    r[5] = _mm256_unpackhi_epi64(b2, b6);
    r[6] = _mm256_unpacklo_epi64(b3, b7);
    r[7] = _mm256_unpackhi_epi64(b3, b7);
}

// Blocks a and b share one multiplier table. Luminance pairs (a left of b) land as eight
// 16-byte rows at `out`, 16 bytes apart; the chroma pair as two 8x8 blocks, b after a.
// Both blocks are left zero.
template <bool Luma>
__attribute__((target("avx2"))) void TransformPairAvx2(int16_t* a, int16_t* b,
                                                       const int16_t* multipliers, uint8_t* out) {
    __m256i x[8];
    for (int r = 0; r < 8; ++r) {
        auto* rowA = reinterpret_cast<__m128i*>(a + 8 * r);
        auto* rowB = reinterpret_cast<__m128i*>(b + 8 * r);
        const __m256i coefficients = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(rowA)), _mm_loadu_si128(rowB), 1);
        _mm_storeu_si128(rowA, _mm_setzero_si128());
        _mm_storeu_si128(rowB, _mm_setzero_si128());
        const __m256i m = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(multipliers + 8 * r)));
        x[r] = _mm256_mullo_epi16(coefficients, m);
    }
    Transform256(x);
    Transpose256(x);
    Transform256(x);
    const __m256i level = _mm256_set1_epi16(kIdctLevelShift);
    for (int c = 0; c < 8; ++c) x[c] = _mm256_adds_epi16(_mm256_srai_epi16(x[c], 5), level);
    Transpose256(x);
    for (int r = 0; r < 8; r += 2) {
        // Halves: (a row r, a row r+1 | b row r, b row r+1), 8 bytes each.
        const __m256i packed = _mm256_packus_epi16(x[r], x[r + 1]);
        if constexpr (Luma) {
            // (a r, b r | a r+1, b r+1): two rows of the 16-wide square.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * r),
                                _mm256_permute4x64_epi64(packed, 0xD8));
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * r), _mm256_castsi256_si128(packed));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 64 + 8 * r),
                             _mm256_extracti128_si256(packed, 1));
        }
    }
}

__attribute__((target("avx2"))) void TransformMcuAvx2(DecoderState* state,
                                                      const uint8_t acPresent[6]) {
    uint8_t* mcu = &state->PixelBlocks[0][0];
    const int16_t q0 = state->LuminanceDequant[0];
    for (int b = 0; b < 4; b += 2) {
        uint8_t* out = mcu + 64 * b;  // rows 0..7 for Y0,Y1; 8..15 for Y2,Y3
        if ((acPresent[b] | acPresent[b + 1]) == 0) {
            const __m128i row = _mm_unpacklo_epi64(
                _mm_set1_epi8(static_cast<char>(DcOnlySample(state->Coefficients[b][0], q0))),
                _mm_set1_epi8(static_cast<char>(DcOnlySample(state->Coefficients[b + 1][0], q0))));
            for (int r = 0; r < 8; ++r) {
                _mm_store_si128(reinterpret_cast<__m128i*>(out + 16 * r), row);
            }
            state->Coefficients[b][0] = 0;
            state->Coefficients[b + 1][0] = 0;
        } else {
            TransformPairAvx2<true>(state->Coefficients[b], state->Coefficients[b + 1],
                                    state->LuminanceDequant, out);
        }
    }
    if ((acPresent[4] | acPresent[5]) == 0) {
        const int16_t c0 = state->ChrominanceDequant[0];
        std::memset(mcu + 256, DcOnlySample(state->Coefficients[4][0], c0), 64);
        std::memset(mcu + 320, DcOnlySample(state->Coefficients[5][0], c0), 64);
        state->Coefficients[4][0] = 0;
        state->Coefficients[5][0] = 0;
    } else {
        TransformPairAvx2<false>(state->Coefficients[4], state->Coefficients[5],
                                 state->ChrominanceDequant, mcu + 256);
    }
    _mm256_zeroupper();
}

// --- SSSE3 colour conversion ---------------------------------------------------------

// pshufb masks spreading 16 B, 16 G and 16 R bytes over three 16-byte chunks of B,G,R triples.
struct InterleaveMasks {
    alignas(16) int8_t Mask[3][3][16];  // [chunk][channel][byte]
};
constexpr InterleaveMasks BuildInterleaveMasks() {
    InterleaveMasks m{};
    for (int chunk = 0; chunk < 3; ++chunk) {
        for (int channel = 0; channel < 3; ++channel) {
            for (int i = 0; i < 16; ++i) {
                const int j = 16 * chunk + i;
                m.Mask[chunk][channel][i] = static_cast<int8_t>(j % 3 == channel ? j / 3 : -128);
            }
        }
    }
    return m;
}
constexpr InterleaveMasks kInterleave = BuildInterleaveMasks();

#define DUALCAM_SSSE3 __attribute__((target("ssse3"), always_inline)) inline

DUALCAM_SSSE3 __m128i Mask(int chunk, int channel) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.Mask[chunk][channel]));
}

DUALCAM_SSSE3 void StoreBgr(uint8_t* out, __m128i b, __m128i g, __m128i r) {
    for (int chunk = 0; chunk < 3; ++chunk) {
        const __m128i v = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(b, Mask(chunk, 0)), _mm_shuffle_epi8(g, Mask(chunk, 1))),
            _mm_shuffle_epi8(r, Mask(chunk, 2)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * chunk), v);
    }
}

// Each chroma sample covers two pixels of a row: duplicate the eight 16-bit shares.
struct Shares {
    __m128i Lo;
    __m128i Hi;
};
DUALCAM_SSSE3 Shares Spread(__m128i s) {
    return Shares{_mm_unpacklo_epi16(s, s), _mm_unpackhi_epi16(s, s)};
}

__attribute__((target("ssse3"))) void WriteMcuBgrSsse3(const DecoderState* state,
                                                       const DecoderTables&, int x, int y) {
    const uint8_t* mcu = &state->PixelBlocks[0][0];
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(128);
    for (int cy = 0; cy < 8; ++cy) {
        const __m128i cb = _mm_sub_epi16(
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + 256 + 8 * cy)), zero),
            bias);
        const __m128i cr = _mm_sub_epi16(
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + 320 + 8 * cy)), zero),
            bias);
        // floor(116129 cb / 65536), floor(91881 cr / 65536) and the G share
        // floor(22554 cb / 65536) + floor(46802 cr / 65536), each floored on its own.
        const __m128i bShare = _mm_add_epi16(_mm_add_epi16(cb, cb), _mm_mulhi_epi16(cb, _mm_set1_epi16(-14943)));
        const __m128i rShare = _mm_add_epi16(cr, _mm_mulhi_epi16(cr, _mm_set1_epi16(26345)));
        const __m128i gShare = _mm_add_epi16(_mm_mulhi_epi16(cb, _mm_set1_epi16(22554)),
                                             _mm_add_epi16(cr, _mm_mulhi_epi16(cr, _mm_set1_epi16(-18734))));
        const Shares bs = Spread(bShare);
        const Shares rs = Spread(rShare);
        const Shares gs = Spread(gShare);
        for (int half = 0; half < 2; ++half) {
            const int my = 2 * cy + half;  // row within the MCU
            const __m128i luma = _mm_load_si128(reinterpret_cast<const __m128i*>(mcu + 16 * my));
            const __m128i yl = _mm_unpacklo_epi8(luma, zero);
            const __m128i yh = _mm_unpackhi_epi8(luma, zero);
            const __m128i b = _mm_packus_epi16(_mm_add_epi16(yl, bs.Lo), _mm_add_epi16(yh, bs.Hi));
            const __m128i g = _mm_packus_epi16(_mm_sub_epi16(yl, gs.Lo), _mm_sub_epi16(yh, gs.Hi));
            const __m128i red = _mm_packus_epi16(_mm_add_epi16(yl, rs.Lo), _mm_add_epi16(yh, rs.Hi));
            StoreBgr(state->RowTable[y + my] + 3 * x, b, g, red);
        }
    }
}

// --- AVX2 colour conversion: the two picture rows that share a chroma row at once ---------

DUALCAM_AVX2 __m256i Mask256(int chunk, int channel) {
    return _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.Mask[chunk][channel])));
}

__attribute__((target("avx2"))) void WriteMcuBgrAvx2(const DecoderState* state,
                                                     const DecoderTables&, int x, int y) {
    const uint8_t* mcu = &state->PixelBlocks[0][0];
    const __m256i zero = _mm256_setzero_si256();
    const __m256i bias = _mm256_set1_epi16(128);
    __m256i masks[3][3];
    for (int chunk = 0; chunk < 3; ++chunk) {
        for (int channel = 0; channel < 3; ++channel) masks[chunk][channel] = Mask256(chunk, channel);
    }
    for (int cy = 0; cy < 8; ++cy) {
        // Each chroma sample twice (it covers two pixels of a row), in both halves.
        const __m256i cbBytes = _mm256_broadcastsi128_si256(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + 256 + 8 * cy)));
        const __m256i crBytes = _mm256_broadcastsi128_si256(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + 320 + 8 * cy)));
        const __m256i cbPairs = _mm256_unpacklo_epi8(cbBytes, cbBytes);
        const __m256i crPairs = _mm256_unpacklo_epi8(crBytes, crBytes);
        const __m256i cbLo = _mm256_sub_epi16(_mm256_unpacklo_epi8(cbPairs, zero), bias);
        const __m256i cbHi = _mm256_sub_epi16(_mm256_unpackhi_epi8(cbPairs, zero), bias);
        const __m256i crLo = _mm256_sub_epi16(_mm256_unpacklo_epi8(crPairs, zero), bias);
        const __m256i crHi = _mm256_sub_epi16(_mm256_unpackhi_epi8(crPairs, zero), bias);
        const __m256i kB = _mm256_set1_epi16(-14943);
        const __m256i kR = _mm256_set1_epi16(26345);
        const __m256i kGb = _mm256_set1_epi16(22554);
        const __m256i kGr = _mm256_set1_epi16(-18734);
        const __m256i bLo = _mm256_add_epi16(_mm256_add_epi16(cbLo, cbLo), _mm256_mulhi_epi16(cbLo, kB));
        const __m256i bHi = _mm256_add_epi16(_mm256_add_epi16(cbHi, cbHi), _mm256_mulhi_epi16(cbHi, kB));
        const __m256i rLo = _mm256_add_epi16(crLo, _mm256_mulhi_epi16(crLo, kR));
        const __m256i rHi = _mm256_add_epi16(crHi, _mm256_mulhi_epi16(crHi, kR));
        const __m256i gLo = _mm256_add_epi16(_mm256_mulhi_epi16(cbLo, kGb),
                                             _mm256_add_epi16(crLo, _mm256_mulhi_epi16(crLo, kGr)));
        const __m256i gHi = _mm256_add_epi16(_mm256_mulhi_epi16(cbHi, kGb),
                                             _mm256_add_epi16(crHi, _mm256_mulhi_epi16(crHi, kGr)));
        // Rows 2cy and 2cy+1, one per half.
        const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mcu + 32 * cy));
        const __m256i yl = _mm256_unpacklo_epi8(luma, zero);
        const __m256i yh = _mm256_unpackhi_epi8(luma, zero);
        const __m256i channel[3] = {
            _mm256_packus_epi16(_mm256_add_epi16(yl, bLo), _mm256_add_epi16(yh, bHi)),
            _mm256_packus_epi16(_mm256_sub_epi16(yl, gLo), _mm256_sub_epi16(yh, gHi)),
            _mm256_packus_epi16(_mm256_add_epi16(yl, rLo), _mm256_add_epi16(yh, rHi))};
        uint8_t* upper = state->RowTable[y + 2 * cy] + 3 * x;
        uint8_t* lower = state->RowTable[y + 2 * cy + 1] + 3 * x;
        for (int chunk = 0; chunk < 3; ++chunk) {
            const __m256i v = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(channel[0], masks[chunk][0]),
                                _mm256_shuffle_epi8(channel[1], masks[chunk][1])),
                _mm256_shuffle_epi8(channel[2], masks[chunk][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(upper + 16 * chunk), _mm256_castsi256_si128(v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lower + 16 * chunk),
                             _mm256_extracti128_si256(v, 1));
        }
    }
    _mm256_zeroupper();
}

}  // namespace

bool X86KernelsFor(DecoderPath path, McuKernels* kernels) {
    // Asked once: every frame asks which kernels to run, from any device's thread.
    struct Features {
        bool Ssse3;
        bool Avx2;
    };
    static const Features features = [] {
        __builtin_cpu_init();
        return Features{__builtin_cpu_supports("ssse3") != 0, __builtin_cpu_supports("avx2") != 0};
    }();
    const bool ssse3 = features.Ssse3;
    if (path == DecoderPath::Ssse3 && ssse3) {
        *kernels = McuKernels{TransformMcuSse2, WriteMcuBgrSsse3, WriteMcuI420Sse2};
        return true;
    }
    if (path == DecoderPath::Avx2 && ssse3 && features.Avx2) {
        *kernels = McuKernels{TransformMcuAvx2, WriteMcuBgrAvx2, WriteMcuI420Sse2};
        return true;
    }
    return false;
}

#else

bool X86KernelsFor(DecoderPath, McuKernels*) { return false; }

#endif

}  // namespace dualcam::decoder
