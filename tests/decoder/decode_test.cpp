// Whole-picture decoding of hand-assembled streams: grey and offset pictures,
// DC prediction across blocks and MCU rows, truncated and corrupt data (the
// completed MCUs stay written, the failing one writes nothing), and the BGR
// and I420 writers.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/decoder/decoder.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

using test::BitWriter;
using test::DecodeStream;
using test::ScopedDecoder;

// Bytes of BGR picture row `row` (top-down) of a bottom-up 160-wide picture of `rows` rows.
const uint8_t* BgrRow(const std::vector<uint8_t>& out, int rows, int row) {
    return out.data() + static_cast<std::size_t>(rows - 1 - row) * 480;
}

std::vector<uint8_t> GreyStream(int mcus) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < mcus; ++i) stream.insert(stream.end(), {0x28, 0xA2, 0x8A, 0x00});
    return stream;
}

TEST(DecodePicture, GreyMcusGiveMidGrey) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out;
    ASSERT_EQ(DecodeStream(d.get(), GreyStream(70), 280, 160, 112, 0, kOutputBgr, &out), 1);
    ASSERT_EQ(out.size(), 160u * 112 * 3);
    for (uint8_t b : out) ASSERT_EQ(b, 128);

    // The writer in the test agrees with the annotated bytes.
    BitWriter w;
    test::PutGreyMcu(w);
    EXPECT_EQ(w.Finish(), (std::vector<uint8_t>{0x28, 0xA2, 0x8A, 0x00}));

    // I420: three planes of 128.
    ASSERT_EQ(DecodeStream(d.get(), GreyStream(70), 280, 160, 112, 0, kOutputI420, &out), 1);
    ASSERT_EQ(out.size(), 160u * 112 * 3 / 2);
    for (uint8_t b : out) ASSERT_EQ(b, 128);
}

TEST(DecodePicture, LumaPredictorCarriesADcStepToEveryLaterBlock) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    // First Y block 100 100 1010: category 3, +4; 4 x multiplier 8 >> 5 = 1.
    BitWriter w;
    w.Put("100 100 1010");
    for (int b = 1; b < 4; ++b) test::PutGreyLuma(w);
    test::PutGreyChroma(w);
    test::PutGreyChroma(w);
    for (int i = 1; i < 70; ++i) test::PutGreyMcu(w);
    std::vector<uint8_t> stream = w.Finish();
    ASSERT_EQ(stream.size(), 281u);  // four bits longer than the grey picture
    EXPECT_EQ((std::vector<uint8_t>(stream.begin(), stream.begin() + 6)),
              (std::vector<uint8_t>{0x92, 0x8A, 0x28, 0xA0, 0x02, 0x8A}));
    std::vector<uint8_t> out;
    ASSERT_EQ(DecodeStream(d.get(), stream, 281, 160, 112, 0, kOutputBgr, &out), 1);
    for (uint8_t b : out) ASSERT_EQ(b, 129);
}

TEST(DecodePicture, PredictorsAreNotResetAtAnMcuRow) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    // 160x112: ten MCUs per row. The last Y block of MCU 9 steps +4; everything after is 129.
    BitWriter w;
    for (int m = 0; m < 70; ++m) {
        for (int b = 0; b < 4; ++b) {
            if (m == 9 && b == 3) {
                w.Put("100 100 1010");
            } else {
                test::PutGreyLuma(w);
            }
        }
        test::PutGreyChroma(w);
        test::PutGreyChroma(w);
    }
    std::vector<uint8_t> out;
    std::vector<uint8_t> stream = w.Finish();
    ASSERT_EQ(DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size()), 160, 112, 0,
                           kOutputBgr, &out),
              1);
    EXPECT_EQ(BgrRow(out, 112, 0)[0], 128);
    EXPECT_EQ(BgrRow(out, 112, 15)[3 * 151], 128);  // MCU 9, Y2
    EXPECT_EQ(BgrRow(out, 112, 7)[3 * 159], 128);   // MCU 9, Y1
    EXPECT_EQ(BgrRow(out, 112, 8)[3 * 152], 129);   // MCU 9, Y3
    EXPECT_EQ(BgrRow(out, 112, 15)[3 * 159], 129);
    EXPECT_EQ(BgrRow(out, 112, 16)[0], 129);  // first block of the second MCU row
    EXPECT_EQ(BgrRow(out, 112, 111)[3 * 159 + 2], 129);
}

TEST(DecodePicture, TruncatedStreamKeepsCompletedMcusOnly) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out;
    // The grey picture given with length 200: the first 50 MCUs are written, then 0.
    EXPECT_EQ(DecodeStream(d.get(), GreyStream(70), 200, 160, 112, 0, kOutputBgr, &out), 0);
    for (int mcu = 0; mcu < 70; ++mcu) {
        const int mx = mcu % 10;
        const int my = mcu / 10;
        const uint8_t expected = mcu < 50 ? 128 : 0xEE;
        for (int r = 0; r < 16; ++r) {
            const uint8_t* row = BgrRow(out, 112, my * 16 + r) + mx * 48;
            for (int i = 0; i < 48; ++i) ASSERT_EQ(row[i], expected) << "mcu " << mcu;
        }
    }
    EXPECT_LE(d.get()->ReadPosition - d.get()->InputStart, 200 + 5);
}

TEST(DecodePicture, CorruptMcuIsNotWritten) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    struct Case {
        const char* name;
        void (*put)(BitWriter&);
    };
    const Case cases[] = {
        // Four run-15 size-1 symbols (K.5 code 1111111111110101, then one value bit) after
        // the DC: indices 16, 32, 48, 64 — past the end of the block.
        {"run past 63",
         [](BitWriter& w) {
             w.Put("00");
             for (int i = 0; i < 4; ++i) w.Put("1111111111110101 1");
         }},
        // Sixteen ones is no K.5 code.
        {"sixteen ones", [](BitWriter& w) { w.Put("00 1111111111111111"); }},
    };
    for (const Case& c : cases) {
        // MCU 0 grey, MCU 1's first block corrupt, then plenty of valid data.
        BitWriter w;
        test::PutGreyMcu(w);
        c.put(w);
        w.Put("0000");
        for (int i = 0; i < 80; ++i) test::PutGreyMcu(w);
        std::vector<uint8_t> stream = w.Finish();
        std::vector<uint8_t> out;
        EXPECT_EQ(DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size()), 160, 112, 0,
                               kOutputBgr, &out),
                  0)
            << c.name;
        EXPECT_EQ(BgrRow(out, 112, 0)[0], 128) << c.name;
        EXPECT_EQ(BgrRow(out, 112, 15)[47], 128) << c.name;
        EXPECT_EQ(BgrRow(out, 112, 0)[48], 0xEE) << c.name;
        EXPECT_EQ(BgrRow(out, 112, 15)[48 + 47], 0xEE) << c.name;
    }
}

TEST(DecodePicture, CorruptChromaDcFailsAfterLengthEleven) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    BitWriter w;
    for (int b = 0; b < 4; ++b) test::PutGreyLuma(w);
    w.Put("111111111111");  // twelve ones: no K.4 code
    for (int i = 0; i < 80; ++i) test::PutGreyMcu(w);
    std::vector<uint8_t> stream = w.Finish();
    std::vector<uint8_t> out;
    EXPECT_EQ(DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size()), 160, 112, 0,
                           kOutputBgr, &out),
              0);
    for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
}

TEST(DecodePicture, ChromaDcFromTheCodeListGivesSaturatedBlue) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    // Cb DC category 9 (K.4 code 111111110, found by the list search) value 508:
    // 508 x 8 >> 5 = 127, so Cb = 255 everywhere; Y = Cr = 128 gives B 255, G 85, R 128.
    BitWriter w;
    for (int m = 0; m < 70; ++m) {
        for (int b = 0; b < 4; ++b) test::PutGreyLuma(w);
        if (m == 0) {
            w.Put("111111110 111111100 00");
        } else {
            test::PutGreyChroma(w);
        }
        test::PutGreyChroma(w);
    }
    std::vector<uint8_t> stream = w.Finish();
    std::vector<uint8_t> out;
    ASSERT_EQ(DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size()), 160, 112, 0,
                           kOutputBgr, &out),
              1);
    for (std::size_t i = 0; i < out.size(); i += 3) {
        ASSERT_EQ(out[i], 255);
        ASSERT_EQ(out[i + 1], 85);
        ASSERT_EQ(out[i + 2], 128);
    }
    ASSERT_EQ(DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size()), 160, 112, 0,
                           kOutputI420, &out),
              1);
    const std::size_t luma = 160 * 112;
    const std::size_t chroma = luma / 4;
    for (std::size_t i = 0; i < luma; ++i) ASSERT_EQ(out[i], 128);
    for (std::size_t i = 0; i < chroma; ++i) ASSERT_EQ(out[luma + i], 255);
    for (std::size_t i = 0; i < chroma; ++i) ASSERT_EQ(out[luma + chroma + i], 128);
}

TEST(DecodePicture, BlocksLandInTheirQuadrantAndPlane) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    // MCU 0 gives each block its own level through DC steps (multiplier 8, so a predictor p
    // gives 128 + (8p >> 5)); MCU 1 brings every predictor back to 0.
    BitWriter s;
    s.Put("100 100 1010");   // Y0 +4: p 4 -> 129
    s.Put("100 100 1010");   // Y1 +4: p 8 -> 130
    s.Put("101 0111 1010");  // Y2 -8: p 0 -> 128
    s.Put("100 011 1010");   // Y3 -4: p -4 -> 127
    s.Put("110 100 00");     // Cb +4 (K.4 category 3) -> 129
    s.Put("110 011 00");     // Cr -4 -> 127
    s.Put("100 100 1010");   // MCU 1: Y +4 -> p 0
    for (int b = 1; b < 4; ++b) test::PutGreyLuma(s);
    s.Put("110 011 00");  // Cb -4 -> p 0
    s.Put("110 100 00");  // Cr +4 -> p 0
    for (int i = 2; i < 70; ++i) test::PutGreyMcu(s);
    std::vector<uint8_t> stream = s.Finish();
    std::vector<uint8_t> out;
    ASSERT_EQ(DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size()), 160, 112, 0,
                           kOutputI420, &out),
              1);
    EXPECT_EQ(out[0], 129);                // Y0 (0,0)
    EXPECT_EQ(out[7 * 160 + 7], 129);
    EXPECT_EQ(out[8], 130);                // Y1 (8,0)
    EXPECT_EQ(out[7 * 160 + 15], 130);
    EXPECT_EQ(out[8 * 160], 128);          // Y2 (0,8)
    EXPECT_EQ(out[8 * 160 + 8], 127);      // Y3 (8,8)
    EXPECT_EQ(out[15 * 160 + 15], 127);
    EXPECT_EQ(out[16], 128);               // MCU 1
    EXPECT_EQ(out[16 * 160], 128);         // MCU row 1
    const std::size_t cb = 160 * 112;
    const std::size_t cr = cb + 80 * 56;
    EXPECT_EQ(out[cb], 129);
    EXPECT_EQ(out[cb + 7 * 80 + 7], 129);
    EXPECT_EQ(out[cb + 8], 128);
    EXPECT_EQ(out[cb + 8 * 80], 128);
    EXPECT_EQ(out[cr], 127);
    EXPECT_EQ(out[cr + 7 * 80 + 7], 127);
    EXPECT_EQ(out[cr + 8], 128);

    // The same stream as bottom-up BGR: picture row 0 is the last row in memory.
    ASSERT_EQ(DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size()), 160, 112, 0,
                           kOutputBgr, &out),
              1);
    const uint8_t* top = BgrRow(out, 112, 0);
    const DecoderTables& t = SharedDecoderTables();
    EXPECT_EQ(top[0], t.Btab[129 * 256 + 129]);
    EXPECT_EQ(top[1], t.ClampRamp()[129 - t.CbG[129] - t.CrG[127]]);
    EXPECT_EQ(top[2], t.Rtab[129 * 256 + 127]);
    EXPECT_EQ(top[3 * 8 + 2], t.Rtab[130 * 256 + 127]);
    EXPECT_EQ(BgrRow(out, 112, 8)[3 * 8 + 2], t.Rtab[127 * 256 + 127]);
}

}  // namespace
}  // namespace dualcam::decoder
