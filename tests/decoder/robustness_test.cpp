// Damaged input: random garbage and truncated valid pictures of many lengths,
// decoded from exact-size heap buffers (run under AddressSanitizer this also
// proves no read past data + length + 4 and no write outside the output),
// with guard bytes around the output for builds without a sanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "pipeline/decoder/decoder.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

constexpr std::size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0x5A;

struct Geometry {
    int width;
    int height;
};
constexpr Geometry kSizes[] = {{160, 112}, {160, 120}, {176, 144}, {320, 240}};

// Decodes `length` bytes from an allocation of exactly length + kReadSlack bytes into an
// allocation of exactly DecoderOutputBytes plus guards; checks the guards and the read position.
int DecodeExact(DecoderState* state, const uint8_t* bytes, int32_t length, Geometry g, int kind) {
    const std::size_t inputSize = static_cast<std::size_t>(length) + kReadSlack;
    std::unique_ptr<uint8_t[]> input(new uint8_t[inputSize]);
    std::memcpy(input.get(), bytes, inputSize);
    const std::size_t outSize = DecoderOutputBytes(g.width, g.height, kind);
    std::unique_ptr<uint8_t[]> output(new uint8_t[outSize + 2 * kGuard]);
    std::memset(output.get(), kGuardByte, outSize + 2 * kGuard);
    uint8_t* base = output.get() + kGuard;
    EXPECT_EQ(DecoderBuildRowTable(state, g.width, g.height, kind, base), 1);
    const int result = DecodePicture(state, input.get(), length, base, kind);
    for (std::size_t i = 0; i < kGuard; ++i) {
        EXPECT_EQ(output[i], kGuardByte);
        EXPECT_EQ(base[outSize + i], kGuardByte);
    }
    EXPECT_LE(state->ReadPosition - state->InputStart, static_cast<std::ptrdiff_t>(inputSize));
    return result;
}

TEST(DecoderRobustness, GarbageNeverWritesOutsideTheOutputOrReadsPastTheSlack) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::mt19937 rng(1234);
    std::vector<uint8_t> bytes(4096 + kReadSlack);
    int trials = 0;
    for (int32_t length = 0; length < 1200; length += 1 + static_cast<int32_t>(rng() % 13)) {
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        // Skew some streams toward long codes and runs of ones.
        if (length % 3 == 0) {
            for (auto& b : bytes) b |= static_cast<uint8_t>(rng());
        }
        const Geometry g = kSizes[trials % 4];
        const int kind = trials % 2;
        ASSERT_EQ(DecoderSelectQuality(d.get(), static_cast<int16_t>(trials % 4)), 1);
        const int result = DecodeExact(d.get(), bytes.data(), length, g, kind);
        EXPECT_TRUE(result == 0 || result == 1);
        ++trials;
    }
    EXPECT_GT(trials, 100);
}

TEST(DecoderRobustness, TruncatedPicturesFailInsideTheBound) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(DecoderSelectQuality(d.get(), 2), 1);
    const Geometry g{176, 144};
    std::vector<uint8_t> full = test::RandomPicture(g.width, g.height, 99);
    const int32_t complete = static_cast<int32_t>(full.size() - 8);
    ASSERT_EQ(DecodeExact(d.get(), full.data(), complete, g, kOutputI420), 1);
    // Every shorter length fails once the read position reaches length + 4; a failure never
    // reports success and a success only happens when the picture fits.
    for (int32_t length = 0; length < complete; length += 7) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + length);
        cut.resize(static_cast<std::size_t>(length) + kReadSlack, 0xFF);
        const int result = DecodeExact(d.get(), cut.data(), length, g, kOutputBgr);
        if (length + 4 < complete) {
            EXPECT_EQ(result, 0) << length;
        }
    }
}

TEST(DecoderRobustness, BadArgumentsAreRefused) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> out(DecoderOutputBytes(160, 112, kOutputBgr), 0xEE);
    std::vector<uint8_t> in(64, 0);
    ASSERT_EQ(DecoderSelectQuality(d.get(), 0), 1);
    // No row table yet.
    DecoderSetGeometry(d.get(), 160, 112);
    EXPECT_EQ(DecodePicture(d.get(), in.data(), 32, out.data(), kOutputBgr), 0);
    ASSERT_EQ(DecoderBuildRowTable(d.get(), 160, 112, kOutputBgr, out.data()), 1);
    EXPECT_EQ(DecodePicture(d.get(), nullptr, 32, out.data(), kOutputBgr), 0);
    EXPECT_EQ(DecodePicture(d.get(), in.data(), -1, out.data(), kOutputBgr), 0);
    EXPECT_EQ(DecodePicture(nullptr, in.data(), 32, out.data(), kOutputBgr), 0);
    for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
    // A zero height decodes nothing and succeeds.
    DecoderSetGeometry(d.get(), 160, 0);
    EXPECT_EQ(DecodePicture(d.get(), in.data(), 32, out.data(), kOutputBgr), 1);
    for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
    // An uninitialised (zeroed) record does nothing.
    auto idle = std::make_unique<DecoderState>();
    EXPECT_EQ(DecoderSelectQuality(idle.get(), 0), 0);
    EXPECT_EQ(DecoderBuildRowTable(idle.get(), 160, 112, kOutputBgr, out.data()), 0);
    EXPECT_EQ(DecodePicture(idle.get(), in.data(), 32, out.data(), kOutputBgr), 0);
}

}  // namespace
}  // namespace dualcam::decoder
