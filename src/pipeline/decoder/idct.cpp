// Scalar reference of the 16-bit inverse transform and the MCU writers.
//
// The hard part is the arithmetic contract: every intermediate is an int16_t
// that wraps (C++20 defines narrowing conversions as modular), M() shifts left
// by 2 within 16 bits before a 16x16->32 multiply and keeps the high half
// (an arithmetic shift, so floor), and nothing is rounded. Keep these
// helpers; a faster kernel must give identical samples for every input.
#include "pipeline/decoder/idct.h"

#include <algorithm>

#include "pipeline/decoder/decoder_tables.h"

namespace dualcam::decoder {
namespace {

inline int16_t Add(int16_t a, int16_t b) { return static_cast<int16_t>(a + b); }
inline int16_t Sub(int16_t a, int16_t b) { return static_cast<int16_t>(a - b); }

// Low 16 bits of a * b.
inline int16_t P(int16_t a, int16_t b) { return static_cast<int16_t>(int32_t{a} * b); }

// a * K / 16384: pre-shift within the lane, then the high half of the 32-bit product.
inline int16_t M(int16_t a, int16_t k) {
    const int16_t shifted = static_cast<int16_t>(static_cast<uint16_t>(a) << 2);
    return static_cast<int16_t>((int32_t{shifted} * k) >> 16);
}

// One 1-D pass of the AA&N butterfly on x[0..7] (stride apart), results in y[0..7].
inline void Transform1D(const int16_t x[8], int16_t y[8]) {
    // Even part.
    const int16_t t10 = Add(x[0], x[4]);
    const int16_t t11 = Sub(x[0], x[4]);
    const int16_t t13 = Add(x[2], x[6]);
    const int16_t t12 = Sub(M(Sub(x[2], x[6]), kIdct1414), t13);
    const int16_t e0 = Add(t10, t13);
    const int16_t e3 = Sub(t10, t13);
    const int16_t e1 = Add(t11, t12);
    const int16_t e2 = Sub(t11, t12);
    // Odd part.
    const int16_t z13 = Add(x[5], x[3]);
    const int16_t z10 = Sub(x[5], x[3]);
    const int16_t z11 = Add(x[1], x[7]);
    const int16_t z12 = Sub(x[1], x[7]);
    const int16_t o7 = Add(z11, z13);
    const int16_t o11 = M(Sub(z11, z13), kIdct1414);
    const int16_t o10 = Add(M(z10, kIdctM1852), M(z12, kIdctM0765));
    const int16_t o12 = Add(M(z10, kIdctM0765), M(z12, kIdct1847));
    const int16_t o6 = Sub(o12, o7);
    const int16_t o5 = Sub(o11, o6);
    const int16_t o4 = Add(o10, o5);
    y[0] = Add(e0, o7);
    y[7] = Sub(e0, o7);
    y[1] = Add(e1, o6);
    y[6] = Sub(e1, o6);
    y[2] = Add(e2, o5);
    y[5] = Sub(e2, o5);
    y[4] = Add(e3, o4);
    y[3] = Sub(e3, o4);
}

}  // namespace

void InverseTransformBlock(const int16_t* coefficients, const int16_t* multipliers,
                           int16_t* workspace, uint8_t* samples) {
    int16_t x[8];
    int16_t y[8];
    for (int c = 0; c < 8; ++c) {
        for (int r = 0; r < 8; ++r) x[r] = P(coefficients[r * 8 + c], multipliers[r * 8 + c]);
        Transform1D(x, y);
        for (int r = 0; r < 8; ++r) workspace[r * 8 + c] = y[r];
    }
    for (int r = 0; r < 8; ++r) {
        Transform1D(&workspace[r * 8], y);
        for (int c = 0; c < 8; ++c) {
            // >> 5 removes the two fraction bits of the multipliers and the 8 of the transform.
            const int32_t level = int32_t{static_cast<int16_t>(y[c] >> 5)} + kIdctLevelShift;
            const int32_t saturated = std::clamp<int32_t>(level, INT16_MIN, INT16_MAX);
            samples[r * 8 + c] = static_cast<uint8_t>(std::clamp<int32_t>(saturated, 0, 255));
        }
    }
}

namespace {
// Luma block offsets inside the MCU: Y0, Y1, Y2, Y3.
constexpr int kBlockX[4] = {0, 8, 0, 8};
constexpr int kBlockY[4] = {0, 0, 8, 8};
}  // namespace

void WriteMcuBgr(const DecoderState* state, const DecoderTables& tables, int x, int y) {
    const uint8_t* cbBlock = state->PixelBlocks[4];
    const uint8_t* crBlock = state->PixelBlocks[5];
    const uint8_t* clamp = tables.ClampRamp();
    for (int b = 0; b < 4; ++b) {
        const uint8_t* luma = state->PixelBlocks[b];
        for (int r = 0; r < 8; ++r) {
            const int my = kBlockY[b] + r;
            uint8_t* out = state->RowTable[y + my] + 3 * (x + kBlockX[b]);
            for (int c = 0; c < 8; ++c) {
                const int mx = kBlockX[b] + c;
                const int lum = luma[r * 8 + c];
                const int cb = cbBlock[(my / 2) * 8 + mx / 2];
                const int cr = crBlock[(my / 2) * 8 + mx / 2];
                out[3 * c + 0] = static_cast<uint8_t>(tables.Btab[lum * 256 + cb]);
                out[3 * c + 1] = clamp[lum - tables.CbG[cb] - tables.CrG[cr]];
                out[3 * c + 2] = static_cast<uint8_t>(tables.Rtab[lum * 256 + cr]);
            }
        }
    }
}

void WriteMcuI420(const DecoderState* state, int x, int y) {
    const int height = state->Height;
    for (int b = 0; b < 4; ++b) {
        const uint8_t* luma = state->PixelBlocks[b];
        for (int r = 0; r < 8; ++r) {
            uint8_t* out = state->RowTable[y + kBlockY[b] + r] + x + kBlockX[b];
            std::copy(luma + r * 8, luma + r * 8 + 8, out);
        }
    }
    // Each chroma sample covers a 2x2 group; the 8x8 chroma blocks map one to one.
    for (int r = 0; r < 8; ++r) {
        uint8_t* cb = state->RowTable[height + y / 2 + r] + x / 2;
        uint8_t* cr = state->RowTable[height * 3 / 2 + y / 2 + r] + x / 2;
        std::copy(state->PixelBlocks[4] + r * 8, state->PixelBlocks[4] + r * 8 + 8, cb);
        std::copy(state->PixelBlocks[5] + r * 8, state->PixelBlocks[5] + r * 8 + 8, cr);
    }
}

}  // namespace dualcam::decoder
