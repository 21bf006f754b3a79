// Block-level entropy decoding: the fixed results on invalid codes, blocks
// that fill coefficient 63 without an end-of-block code, long codes through
// the canonical search, and the read bound.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/decoder/decoder.h"
#include "pipeline/decoder/decoder_tables.h"
#include "pipeline/decoder/entropy.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

using test::BitWriter;

struct Reader {
    explicit Reader(BitWriter& w, std::size_t slack = 16) : bytes(w.Finish()) {
        length = static_cast<int32_t>(bytes.size());
        bytes.resize(bytes.size() + slack, 0);
        reader.Start(bytes.data(), length);
    }
    std::vector<uint8_t> bytes;
    int32_t length;
    BitReader reader{};
};

TEST(DecoderEntropy, NineOnesAreLumaDcCategoryEleven) {
    const DecoderTables& t = SharedDecoderTables();
    for (const char* ninth : {"0", "1"}) {
        BitWriter w;
        w.Put("11111111");
        w.Put(ninth);
        w.Put("00000000001");  // category 11 value bits: 1 - 2047
        w.Put("1010");
        Reader r(w);
        int32_t predictor = 5;
        int16_t block[64] = {};
        ASSERT_TRUE(DecodeLuminanceBlock(&r.reader, t, &predictor, block)) << ninth;
        EXPECT_EQ(predictor, 5 + 1 - 2047) << ninth;
        EXPECT_EQ(block[0], 5 + 1 - 2047);
    }
}

TEST(DecoderEntropy, BlockFullToCoefficient63NeedsNoEndOfBlock) {
    const DecoderTables& t = SharedDecoderTables();
    BitWriter w;
    w.Put("00");                                  // DC 0
    for (int k = 1; k < 64; ++k) w.Put("00 1");  // run 0 size 1, +1
    w.Put("011 10");                              // next block: DC category 2, +2
    Reader r(w);
    int32_t predictor = 0;
    int16_t block[64] = {};
    ASSERT_TRUE(DecodeLuminanceBlock(&r.reader, t, &predictor, block));
    for (int i = 1; i < 64; ++i) ASSERT_EQ(block[i], 1) << i;
    EXPECT_EQ(block[0], 0);
    // The next bits are the next block's DC code.
    EXPECT_EQ(r.reader.Peek(5), 0b01110u);

    BitWriter c;
    c.Put("00");  // chroma DC 0
    for (int k = 1; k < 64; ++k) c.Put("01 0");  // K.6 run 0 size 1 (01), -1
    c.Put("10 11");  // next: chroma DC category 2, +3
    Reader rc(c);
    int16_t chroma[64] = {};
    predictor = 0;
    ASSERT_TRUE(DecodeChrominanceBlock(&rc.reader, t, &predictor, chroma));
    for (int i = 1; i < 64; ++i) ASSERT_EQ(chroma[i], -1) << i;
    EXPECT_EQ(rc.reader.Peek(4), 0b1011u);
}

TEST(DecoderEntropy, LongCodesResolveThroughCanonicalSearch) {
    const DecoderTables& t = SharedDecoderTables();
    // Luma: ZRL (11111111001) twice moves k from 1 to 33; run 0 size 3 (100) puts +5 there.
    BitWriter w;
    w.Put("00 11111111001 11111111001 100 101 1010");
    Reader r(w);
    int32_t predictor = 0;
    int16_t block[64] = {};
    ASSERT_TRUE(DecodeLuminanceBlock(&r.reader, t, &predictor, block));
    int nonzero = 0;
    for (int i = 0; i < 64; ++i) nonzero += block[i] != 0;
    EXPECT_EQ(nonzero, 1);
    EXPECT_EQ(block[kNaturalOrder[33]], 5);

    // Run 15 size 1: K.5 1111111111110101 (length 16), K.6 111111111000011 (length 15).
    BitWriter l;
    l.Put("00 1111111111110101 1 1010");
    Reader rl(l);
    std::fill(block, block + 64, 0);
    ASSERT_TRUE(DecodeLuminanceBlock(&rl.reader, t, &predictor, block));
    EXPECT_EQ(block[kNaturalOrder[16]], 1);

    BitWriter c;
    c.Put("00 111111111000011 0 00");
    Reader rc(c);
    std::fill(block, block + 64, 0);
    ASSERT_TRUE(DecodeChrominanceBlock(&rc.reader, t, &predictor, block));
    EXPECT_EQ(block[kNaturalOrder[16]], -1);

    // K.6 0xE1 (run 14 size 1) is its one code of length 14: 11111111100000.
    BitWriter e;
    e.Put("00 11111111100000 1 00");
    Reader re(e);
    std::fill(block, block + 64, 0);
    ASSERT_TRUE(DecodeChrominanceBlock(&re.reader, t, &predictor, block));
    EXPECT_EQ(block[kNaturalOrder[15]], 1);
}

TEST(DecoderEntropy, InvalidCodesFail) {
    const DecoderTables& t = SharedDecoderTables();
    int16_t block[64] = {};
    int32_t predictor = 0;
    {
        BitWriter w;
        w.Put("00 1111111111111111");  // sixteen ones: no K.5 code
        Reader r(w);
        EXPECT_FALSE(DecodeLuminanceBlock(&r.reader, t, &predictor, block));
    }
    {
        BitWriter w;
        w.Put("00 1111111111111111");  // nor a K.6 code
        Reader r(w);
        EXPECT_FALSE(DecodeChrominanceBlock(&r.reader, t, &predictor, block));
    }
    {
        BitWriter w;
        w.Put("11111111110");  // K.4 category 11: ten ones, then 0
        w.Put("00000000000 00");
        Reader r(w);
        EXPECT_TRUE(DecodeChrominanceBlock(&r.reader, t, &predictor, block));
        EXPECT_EQ(predictor, -2047);
    }
    {
        BitWriter w;
        w.Put("111111111111");  // twelve ones
        Reader r(w);
        EXPECT_FALSE(DecodeChrominanceBlock(&r.reader, t, &predictor, block));
    }
    {
        // A run of 15 from k = 63 stores at index 78 (into coefficient 63) and fails.
        BitWriter w;
        w.Put("00");
        for (int k = 1; k < 63; ++k) w.Put("00 1");
        w.Put("1111111111110101 1");
        Reader r(w);
        std::fill(block, block + 64, 0);
        EXPECT_FALSE(DecodeLuminanceBlock(&r.reader, t, &predictor, block));
    }
}

TEST(DecoderEntropy, ConsumptionStopsAtTheReadBound) {
    // Length 2: the bound is read position 6. The first refill reads bytes 4 and 5 and moves
    // the read position to 6, so the next consumption fails, even of zero bits.
    std::vector<uint8_t> bytes(16, 0);
    BitReader reader{};
    reader.Start(bytes.data(), 2);
    uint32_t v = 0;
    EXPECT_TRUE(reader.Consume(11, &v));
    EXPECT_EQ(reader.Position - bytes.data(), 4);
    EXPECT_TRUE(reader.Consume(11, &v));  // refill: bytes 4, 5
    EXPECT_EQ(reader.Position - bytes.data(), 6);
    EXPECT_FALSE(reader.Consume(0, &v));
    EXPECT_FALSE(reader.Consume(1, &v));
    // With length 0 nothing can be consumed at all.
    reader.Start(bytes.data(), 0);
    EXPECT_FALSE(reader.Consume(2, &v));

    // Bits come out most significant first across byte boundaries.
    const uint8_t pattern[] = {0xA5, 0x0F, 0xC3, 0x81, 0x7E, 0x18, 0, 0, 0, 0, 0};
    reader.Start(pattern, 6);
    EXPECT_TRUE(reader.Consume(4, &v));
    EXPECT_EQ(v, 0xAu);
    EXPECT_TRUE(reader.Consume(8, &v));
    EXPECT_EQ(v, 0x50u);
    EXPECT_TRUE(reader.Consume(11, &v));
    EXPECT_EQ(v, (0xFC3u >> 1));
    EXPECT_TRUE(reader.Consume(11, &v));
    EXPECT_EQ(v, 0b11000000101u);
}

}  // namespace
}  // namespace dualcam::decoder
