// Decoder set-up: quantization multipliers, colour and clamp tables, the
// canonical code lists, and the decoder record's life cycle.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/decoder/decoder.h"
#include "pipeline/decoder/decoder_tables.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

using test::ScopedDecoder;

std::vector<int> Row(const int16_t* table, int row) {
    return std::vector<int>(table + row * 8, table + row * 8 + 8);
}

TEST(DecoderQuality, MultipliersCarryScaleFactorsAndTwoFractionBits) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(DecoderSelectQuality(d.get(), 0), 1);
    EXPECT_EQ(Row(d.get()->LuminanceDequant, 0), (std::vector<int>{8, 5, 5, 9, 8, 12, 10, 6}));
    EXPECT_EQ(Row(d.get()->LuminanceDequant, 1), (std::vector<int>{5, 6, 6, 12, 16, 24, 16, 8}));
    EXPECT_EQ(Row(d.get()->ChrominanceDequant, 0),
              (std::vector<int>{8, 11, 10, 23, 40, 31, 21, 11}));

    ASSERT_EQ(DecoderSelectQuality(d.get(), 2), 1);
    EXPECT_EQ(Row(d.get()->LuminanceDequant, 0),
              (std::vector<int>{24, 22, 20, 28, 40, 50, 43, 26}));
    EXPECT_EQ(Row(d.get()->LuminanceDequant, 1),
              (std::vector<int>{27, 37, 42, 51, 55, 99, 70, 33}));
    EXPECT_EQ(Row(d.get()->ChrominanceDequant, 0),
              (std::vector<int>{28, 38, 52, 89, 160, 125, 86, 44}));
}

TEST(DecoderQuality, BaseTablesAreAnnexKScaledByStrength) {
    const auto first = [](int table) {
        return std::vector<int>(kBaseQuant[table].begin(), kBaseQuant[table].begin() + 8);
    };
    EXPECT_EQ(first(0), (std::vector<int>{2, 1, 1, 2, 2, 4, 5, 6}));
    EXPECT_EQ(first(1), (std::vector<int>{2, 2, 2, 5, 10, 10, 10, 10}));
    EXPECT_EQ(first(4), (std::vector<int>{6, 4, 4, 6, 10, 16, 20, 24}));
    EXPECT_EQ(first(5), (std::vector<int>{7, 7, 10, 19, 40, 40, 40, 40}));
    for (const auto& table : kBaseQuant) {
        for (int8_t q : table) EXPECT_GE(q, 1);
    }
}

TEST(DecoderQuality, SameIndexKeepsTablesAndBadIndexIsRefused) {
    ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.get()->QualityIndex, -1);
    ASSERT_EQ(DecoderSelectQuality(d.get(), 1), 1);
    // A marker in the table survives a repeated selection: it was not rebuilt.
    d.get()->LuminanceDequant[0] = 777;
    EXPECT_EQ(DecoderSelectQuality(d.get(), 1), 1);
    EXPECT_EQ(d.get()->LuminanceDequant[0], 777);
    // Another index rebuilds; coming back rebuilds again.
    EXPECT_EQ(DecoderSelectQuality(d.get(), 3), 1);
    EXPECT_EQ(DecoderSelectQuality(d.get(), 1), 1);
    EXPECT_NE(d.get()->LuminanceDequant[0], 777);

    EXPECT_EQ(DecoderSelectQuality(d.get(), 4), 0);
    EXPECT_EQ(DecoderSelectQuality(d.get(), -1), 0);
    EXPECT_EQ(d.get()->QualityIndex, 1);
}

TEST(DecoderColourTables, ValuesFloorEachShare) {
    const DecoderTables& t = SharedDecoderTables();
    EXPECT_EQ(t.Rtab[0 * 256 + 0], 0);  // raw -180
    EXPECT_EQ(t.Rtab[255 * 256 + 255], 255);
    EXPECT_EQ(t.Btab[0 * 256 + 0], 0);  // raw -227
    EXPECT_EQ(t.Rtab[128 * 256 + 128], 128);
    EXPECT_EQ(t.Btab[100 * 256 + 0], 0);
    EXPECT_EQ(t.Btab[250 * 256 + 0], 250 - 227);
    EXPECT_EQ(t.Rtab[200 * 256 + 0], 20);
    EXPECT_EQ(t.CbG[0], -45);
    EXPECT_EQ(t.CbG[255], 43);
    EXPECT_EQ(t.CrG[0], -92);
    EXPECT_EQ(t.CrG[255], 90);
    EXPECT_EQ(t.CbG[128], 0);
    EXPECT_EQ(t.CrG[127], -1);  // floor of -0.714
}

TEST(DecoderColourTables, ClampTablesCoverTheirRanges) {
    const DecoderTables& t = SharedDecoderTables();
    EXPECT_EQ(t.ClampRamp()[-300], 0);
    EXPECT_EQ(t.ClampRamp()[-1], 0);
    EXPECT_EQ(t.ClampRamp()[0], 0);
    EXPECT_EQ(t.ClampRamp()[137], 137);
    EXPECT_EQ(t.ClampRamp()[255], 255);
    EXPECT_EQ(t.ClampRamp()[499], 255);
    EXPECT_EQ(t.WideClamp()[-384], 0);
    EXPECT_EQ(t.WideClamp()[200], 200);
    EXPECT_EQ(t.WideClamp()[639], 255);
    EXPECT_EQ(t.ShiftTable[0], 0);
    EXPECT_EQ(t.ShiftTable[255], 255 * 65536);
}

TEST(DecoderCodeTables, CanonicalListsMatchAnnexK) {
    const DecoderTables& t = SharedDecoderTables();
    const CanonicalCodeTable& chroma = t.AcChrominanceCodes;
    const CanonicalCodeTable& luma = t.AcLuminanceCodes;
    // Lengths without codes: -1 first code and count.
    for (int length : {0, 1, 13}) {
        EXPECT_EQ(chroma.Entries[length][0].Code, -1) << length;
        EXPECT_EQ(chroma.Entries[length][0].Count, -1) << length;
    }
    for (int length : {0, 1, 13, 14}) EXPECT_EQ(luma.Entries[length][0].Code, -1) << length;
    // K.5 length 4: EOB (1010), run 0 size 4 (1011), run 1 size 1 (1100), then the terminator.
    EXPECT_EQ(luma.Entries[4][0].Count, 3);
    EXPECT_EQ(luma.Entries[4][0].Code, 10);
    EXPECT_EQ(luma.Entries[4][0].Size, 0);
    EXPECT_EQ(luma.Entries[4][1].Size, 4);
    EXPECT_EQ(luma.Entries[4][2].Run, 1);
    EXPECT_EQ(luma.Entries[4][3].Code, -1);
    // ZRL is the fourth code of length 11 in K.5: 11111111001.
    EXPECT_EQ(luma.Entries[11][3].Code, 0b11111111001);
    EXPECT_EQ(luma.Entries[11][3].Run, 15);
    EXPECT_EQ(luma.Entries[11][3].Size, 0);
    EXPECT_EQ(luma.Entries[16][0].Count, 125);
    EXPECT_EQ(luma.Entries[16][124].Code, 0xFFFE);
    EXPECT_EQ(luma.Entries[16][125].Code, -1);
    EXPECT_EQ(chroma.Entries[16][0].Count, 119);
    EXPECT_EQ(chroma.Entries[14][0].Code, 16352);
    EXPECT_EQ(chroma.Entries[14][0].Run, 14);  // 0xE1
    EXPECT_EQ(chroma.Entries[14][0].Size, 1);

    const DcCodeList& dc = t.DcChrominanceCodes;
    EXPECT_EQ(dc.Entries[2][0].Code, 0);
    EXPECT_EQ(dc.Entries[2][2].Code, 2);
    EXPECT_EQ(dc.Entries[2][2].Category, 2);
    EXPECT_EQ(dc.Entries[2][3].Code, -1);
    const int expected[] = {6, 14, 30, 62, 126, 254, 510, 1022, 2046};
    for (int length = 3; length <= 11; ++length) {
        EXPECT_EQ(dc.Entries[length][0].Code, expected[length - 3]) << length;
        EXPECT_EQ(dc.Entries[length][0].Category, length) << length;
        EXPECT_EQ(dc.Entries[length][1].Code, -1) << length;
    }
}

TEST(DecoderLifecycle, AllocationFailureKeepsNothingAndRefusesWork) {
    struct Pool {
        int allocations = 0;
        int releases = 0;
        int failAt = 0;
    } pool;
    DecoderAllocator allocator = {
        [](std::size_t bytes, void* context) -> void* {
            auto* p = static_cast<Pool*>(context);
            return ++p->allocations == p->failAt ? nullptr : ::operator new(bytes);
        },
        [](void* block, void* context) {
            static_cast<Pool*>(context)->releases++;
            ::operator delete(block);
        },
        &pool};
    for (int failAt : {1, 2}) {
        pool = Pool{0, 0, failAt};
        auto state = std::make_unique<DecoderState>();
        EXPECT_EQ(DecoderInitialize(state.get(), &allocator), 0);
        EXPECT_EQ(state->WorkBufferA, nullptr);
        EXPECT_EQ(state->WorkBufferB, nullptr);
        EXPECT_EQ(pool.releases, 1) << "the buffer obtained is given back";
        EXPECT_EQ(DecoderRelease(state.get()), 1);
        EXPECT_EQ(pool.releases, 1) << "no release of a null pointer";
        EXPECT_EQ(DecoderSelectQuality(state.get(), 0), 0);
        std::vector<uint8_t> out(DecoderOutputBytes(160, 112, 0));
        EXPECT_EQ(DecoderBuildRowTable(state.get(), 160, 112, 0, out.data()), 0);
    }

    pool = Pool{};
    auto state = std::make_unique<DecoderState>();
    ASSERT_EQ(DecoderInitialize(state.get(), &allocator), 1);
    EXPECT_NE(state->WorkBufferA, nullptr);
    EXPECT_NE(state->WorkBufferB, nullptr);
    EXPECT_EQ(DecoderInitialize(state.get(), &allocator), 1);
    EXPECT_EQ(pool.allocations, 2) << "a second set-up keeps its buffers";
    EXPECT_EQ(DecoderRelease(state.get()), 1);
    EXPECT_EQ(pool.releases, 2);
    EXPECT_EQ(state->WorkBufferA, nullptr);
    EXPECT_EQ(DecoderRelease(state.get()), 1);
    EXPECT_EQ(pool.releases, 2);
}

}  // namespace
}  // namespace dualcam::decoder
