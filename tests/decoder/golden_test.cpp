// Golden checksums of whole decoded pictures, one per output kind and
// quality, so that a faster kernel or a table change that alters a single
// byte is caught. The pictures themselves were checked against libjpeg
// (oracle_test) and the arithmetic against hand-computed lanes (idct_test).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "pipeline/decoder/decoder.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

TEST(DecoderGolden, RandomPicturesDecodeToFixedBytes) {
    struct Case {
        int width;
        int height;
        int quality;
        int kind;
        uint32_t seed;
        uint64_t hash;
    };
    const Case cases[] = {
        {176, 144, 0, kOutputBgr, 1, 11647621310439130630ull},
        {176, 144, 3, kOutputI420, 2, 18035207662977006140ull},
        {352, 288, 2, kOutputBgr, 3, 17400572164833749843ull},
        {160, 112, 1, kOutputI420, 4, 13185436034385706190ull},
    };
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    for (const Case& c : cases) {
        const std::vector<uint8_t> stream = test::RandomPicture(c.width, c.height, c.seed);
        std::vector<uint8_t> out;
        ASSERT_EQ(test::DecodeStream(d.get(), stream, static_cast<int32_t>(stream.size() - 8),
                                     c.width, c.height, c.quality, c.kind, &out),
                  1);
        EXPECT_EQ(Fnv1a(out), c.hash) << c.width << "x" << c.height << " q" << c.quality
                                      << " kind " << c.kind;
    }
}

}  // namespace
}  // namespace dualcam::decoder
