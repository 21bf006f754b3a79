// Row-pointer tables: placement of bottom-up BGR rows and I420 planes, the
// 160-wide special case, and refusal of widths and kinds the camera never
// sends.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/decoder/decoder.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

using test::ScopedDecoder;

TEST(DecoderRowTable, BgrRowsRunBottomUp) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out(DecoderOutputBytes(176, 144, kOutputBgr));
    uint8_t* base = out.data();
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 176, 144, kOutputBgr, base), 1);
    EXPECT_EQ(d.get()->RowTable[0], base + 75504);
    EXPECT_EQ(d.get()->RowTable[1], base + 75504 - 528);
    EXPECT_EQ(d.get()->RowTable[143], base);
    EXPECT_EQ(d.get()->Width, 176);
    EXPECT_EQ(d.get()->Height, 144);
}

TEST(DecoderRowTable, I420PlanesFollowTheLumaRows) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out(DecoderOutputBytes(176, 144, kOutputI420));
    uint8_t* base = out.data();
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 176, 144, kOutputI420, base), 1);
    EXPECT_EQ(d.get()->RowTable[1], base + 176);
    EXPECT_EQ(d.get()->RowTable[144], base + 25344);
    EXPECT_EQ(d.get()->RowTable[145], base + 25344 + 88);
    EXPECT_EQ(d.get()->RowTable[144 + 72], base + 31680);
    EXPECT_EQ(d.get()->RowTable[287], base + 31680 + 71 * 88);
    EXPECT_EQ(out.size(), 176u * 144 * 3 / 2);
}

TEST(DecoderRowTable, Width160RowCountDependsOnHeight) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out(DecoderOutputBytes(160, 128, kOutputBgr));
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 160, 112, kOutputBgr, out.data()), 1);
    EXPECT_EQ(d.get()->RowTableRows, 112);
    EXPECT_EQ(d.get()->RowTable[0], out.data() + 111 * 480);
    for (int h : {120, 128}) {
        ASSERT_EQ(DecoderBuildRowTable(d.get(), 160, h, kOutputBgr, out.data()), 1);
        EXPECT_EQ(d.get()->RowTableRows, 128);
        EXPECT_EQ(d.get()->RowTable[0], out.data() + 127 * 480) << h;
    }
    EXPECT_EQ(DecoderOutputBytes(160, 112, kOutputBgr), 160u * 112 * 3);
    EXPECT_EQ(DecoderOutputBytes(160, 120, kOutputBgr), 160u * 128 * 3);
    EXPECT_EQ(DecoderOutputBytes(160, 120, kOutputI420), 160u * 128 * 3 / 2);
    EXPECT_EQ(DecoderOutputBytes(640, 480, kOutputI420), 460800u);
}

TEST(DecoderRowTable, UnknownWidthOrKindLeavesTableAsItWas) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out(DecoderOutputBytes(352, 288, kOutputBgr));
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 352, 288, kOutputBgr, out.data()), 1);
    uint8_t* first = d.get()->RowTable[0];
    std::vector<uint8_t> other(100000);
    EXPECT_EQ(DecoderBuildRowTable(d.get(), 200, 100, kOutputBgr, other.data()), 0);
    EXPECT_EQ(DecoderBuildRowTable(d.get(), 352 + 65536, 288, kOutputBgr, other.data()), 0);
    EXPECT_EQ(DecoderBuildRowTable(d.get(), 352, 288, 3, other.data()), 0);
    EXPECT_EQ(DecoderBuildRowTable(d.get(), 352, 288, -1, other.data()), 0);
    EXPECT_EQ(d.get()->RowTable[0], first);
    EXPECT_EQ(DecoderOutputBytes(200, 100, kOutputBgr), 0u);
    EXPECT_EQ(DecoderOutputBytes(176, 144, 3), 0u);
    // Kind 2 addresses the same bottom-up 24-bit rows as kind 0.
    EXPECT_EQ(DecoderOutputBytes(176, 144, 2), DecoderOutputBytes(176, 144, kOutputBgr));
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 176, 144, 2, other.data()), 1);
    EXPECT_EQ(d.get()->RowTable[0], other.data() + 75504);
}

// The row table is the only bound on where pixels go, so a decode refuses geometry it does not
// cover rather than writing through stale or missing entries.
TEST(DecoderRowTable, DecodeRefusesGeometryTheTableDoesNotCover) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    test::BitWriter w;
    for (int i = 0; i < 2000; ++i) test::PutGreyMcu(w);
    std::vector<uint8_t> stream = w.Finish();
    stream.resize(stream.size() + kReadSlack);
    const int32_t length = static_cast<int32_t>(stream.size() - kReadSlack);
    ASSERT_EQ(DecoderSelectQuality(d.get(), 0), 1);

    std::vector<uint8_t> out(DecoderOutputBytes(176, 144, kOutputBgr), 0xEE);
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 176, 144, kOutputBgr, out.data()), 1);
    // Taller than the table, another width, and another kind than the table was built for.
    DecoderSetGeometry(d.get(), 176, 160);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, out.data(), kOutputBgr), 0);
    DecoderSetGeometry(d.get(), 352, 144);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, out.data(), kOutputBgr), 0);
    DecoderSetGeometry(d.get(), 176, 144);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, out.data(), kOutputI420), 0);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, out.data(), 7), 0);
    for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
    // A failed build for an unknown width must not leave the old table usable.
    EXPECT_EQ(DecoderBuildRowTable(d.get(), 180, 144, kOutputBgr, out.data()), 0);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, out.data(), kOutputBgr), 0);
    for (uint8_t b : out) ASSERT_EQ(b, 0xEE);

    // I420 places its chroma from the height, so 160x120 must be given as 160x128 ...
    std::vector<uint8_t> planar(DecoderOutputBytes(160, 128, kOutputI420), 0xEE);
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 160, 120, kOutputI420, planar.data()), 1);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, planar.data(), kOutputI420), 0);
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 160, 128, kOutputI420, planar.data()), 1);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, planar.data(), kOutputI420), 1);
    for (uint8_t b : planar) ASSERT_EQ(b, 128);
    // ... while BGR at 160x120 writes the whole 128-row table.
    std::vector<uint8_t> bgr(DecoderOutputBytes(160, 120, kOutputBgr), 0xEE);
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 160, 120, kOutputBgr, bgr.data()), 1);
    EXPECT_EQ(DecodePicture(d.get(), stream.data(), length, bgr.data(), kOutputBgr), 1);
    for (uint8_t b : bgr) ASSERT_EQ(b, 128);
}

}  // namespace
}  // namespace dualcam::decoder
