// The 16-bit inverse transform: level shift and floor, saturation only at the
// end, wrapping products and sums, and agreement with a real-valued inverse
// DCT for ordinary coefficient blocks; and the per-pixel colour conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "pipeline/decoder/decoder.h"
#include "pipeline/decoder/decoder_tables.h"
#include "pipeline/decoder/idct.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

struct Block {
    int16_t coefficients[64] = {};
    int16_t workspace[64] = {};
    uint8_t samples[64] = {};
};

void ExpectFlat(const int16_t* multipliers, int16_t dc, int expected) {
    Block b;
    b.coefficients[0] = dc;
    InverseTransformBlock(b.coefficients, multipliers, b.workspace, b.samples);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(b.samples[i], expected) << "dc " << dc << " at " << i;
}

TEST(DecoderInverseTransform, DcOnlyBlocksAreFlat) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(DecoderSelectQuality(d.get(), 0), 1);
    const int16_t* q = d.get()->LuminanceDequant;
    ASSERT_EQ(q[0], 8);
    ExpectFlat(q, 0, 128);
    ExpectFlat(q, 4, 129);
    ExpectFlat(q, -1, 127);   // -8 >> 5 floors to -1
    ExpectFlat(q, 2000, 255);
    ExpectFlat(q, -2000, 0);
    ExpectFlat(q, 5000, 0);   // 40000 wraps to -25536
    ExpectFlat(q, 4095, 255);  // 32760 still positive
    ExpectFlat(q, 4096, 0);    // 32768 wraps to -32768
}

// Real-valued T.81 A.3.3 inverse DCT of dequantized coefficients, level-shifted.
double ReferenceSample(const int16_t* coefficients, const int8_t* base, int x, int y) {
    const double pi = std::acos(-1.0);
    double sum = 0;
    for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
            const double cu = u == 0 ? std::sqrt(0.5) : 1.0;
            const double cv = v == 0 ? std::sqrt(0.5) : 1.0;
            sum += cu * cv * coefficients[v * 8 + u] * base[v * 8 + u] *
                   std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
        }
    }
    return std::clamp(sum / 4 + 128, 0.0, 255.0);
}

TEST(DecoderInverseTransform, TracksTheRealInverseDctWithinTruncationError) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::mt19937 rng(7);
    for (int quality = 0; quality < 4; ++quality) {
        ASSERT_EQ(DecoderSelectQuality(d.get(), static_cast<int16_t>(quality)), 1);
        const int8_t* base = kBaseQuant[2 * quality].data();
        for (int trial = 0; trial < 200; ++trial) {
            Block b;
            b.coefficients[0] = static_cast<int16_t>(static_cast<int>(rng() % 201) - 100);
            for (int n = 0; n < 6; ++n) {
                const int k = 1 + static_cast<int>(rng() % 20);
                b.coefficients[kNaturalOrder[k]] =
                    static_cast<int16_t>(static_cast<int>(rng() % 21) - 10);
            }
            InverseTransformBlock(b.coefficients, d.get()->LuminanceDequant, b.workspace,
                                  b.samples);
            for (int y = 0; y < 8; ++y) {
                for (int x = 0; x < 8; ++x) {
                    const double want = ReferenceSample(b.coefficients, base, x, y);
                    ASSERT_LE(std::abs(b.samples[y * 8 + x] - want), 4.0)
                        << "quality " << quality << " trial " << trial << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(DecoderInverseTransform, OddConstantIsTheReferenceValue) {
    // A single horizontal frequency 1 term goes through the odd part with -30353; with the
    // textbook -30273 the samples below differ. Values from the 16-bit definition.
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(DecoderSelectQuality(d.get(), 0), 1);
    Block b;
    b.coefficients[1] = 200;  // multiplier 5 -> 1000
    InverseTransformBlock(b.coefficients, d.get()->LuminanceDequant, b.workspace, b.samples);
    // Columns: only column 1 is non-zero and flat (x0 = 1000 -> all rows 1000). Rows: x1 = 1000.
    // z12 = 1000, z11 = 1000, z10 = z13 = 0: o7 = 1000, o11 = M(1000, 23170) = 1414,
    // o10 = M(1000,-12540) = -766, o12 = M(1000, 30273) = 1848, o6 = 848, o5 = 566, o4 = -200.
    // y = 1000, 848, 566, 200, -200, -566, -848, -1000 -> >> 5 + 128.
    const int expected[8] = {128 + 31, 128 + 26, 128 + 17, 128 + 6,
                             128 - 7,  128 - 18, 128 - 27, 128 - 32};
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) ASSERT_EQ(b.samples[r * 8 + c], expected[c]) << r << "," << c;
    }
    // Through z10 (a vertical/horizontal 3-5 difference) the -30353 constant matters:
    Block o;
    o.coefficients[5] = 100;  // multiplier 12 -> 1200 at horizontal frequency 5
    InverseTransformBlock(o.coefficients, d.get()->LuminanceDequant, o.workspace, o.samples);
    // x5 = 1200: z13 = 1200, z10 = 1200, z11 = z12 = 0. o7 = 1200, o11 = M(-1200) = -1698,
    // o10 = M(1200, -30353) = -2224, o12 = M(1200, -12540) = -919, o6 = -2119, o5 = 421,
    // o4 = -1803; y = 1200, -2119, 421, 1803, -1803, -421, 2119, -1200.
    const int odd[8] = {128 + (1200 >> 5), 128 + (-2119 >> 5), 128 + (421 >> 5),
                        128 + (1803 >> 5), 128 + (-1803 >> 5), 128 + (-421 >> 5),
                        128 + (2119 >> 5), 128 + (-1200 >> 5)};
    for (int c = 0; c < 8; ++c) EXPECT_EQ(o.samples[c], odd[c]) << c;
}

TEST(DecoderColour, WriterConvertsWithTheTables) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out(DecoderOutputBytes(160, 112, kOutputBgr), 0);
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 160, 112, kOutputBgr, out.data()), 1);
    DecoderState* s = d.get();
    for (int b = 0; b < 4; ++b) std::fill(s->PixelBlocks[b], s->PixelBlocks[b] + 64, 128);
    std::fill(s->PixelBlocks[4], s->PixelBlocks[4] + 64, 255);
    std::fill(s->PixelBlocks[5], s->PixelBlocks[5] + 64, 128);
    // One chroma sample differs: it covers the 2x2 group at the MCU's top-left.
    s->PixelBlocks[4][0] = 128;
    s->PixelBlocks[5][0] = 0;
    WriteMcuBgr(s, SharedDecoderTables(), 0, 0);
    const uint8_t* top = out.data() + 111 * 480;
    const uint8_t* second = out.data() + 110 * 480;
    const uint8_t* third = out.data() + 109 * 480;
    // Y 128, Cb 255, Cr 128 -> B 255, G 85, R 128.
    EXPECT_EQ(top[6], 255);
    EXPECT_EQ(top[7], 85);
    EXPECT_EQ(top[8], 128);
    EXPECT_EQ(third[0], 255);
    // Y 128, Cb 128, Cr 0 -> R = 128 - 180 clamps to 0; G = 128 + 92 = 220; B = 128.
    for (const uint8_t* p : {top, top + 3, second, second + 3}) {
        EXPECT_EQ(p[0], 128);
        EXPECT_EQ(p[1], 220);
        EXPECT_EQ(p[2], 0);
    }
}

}  // namespace
}  // namespace dualcam::decoder
