// Every fast decoding path against the scalar reference: photographs,
// synthetic pictures with long codes and extreme values, and a sweep of
// random, mutated and truncated streams. For each input both sides must
// agree on the result, on every output byte (MCUs written or left alone) and
// on the bit reader state left in the record.
//
// The sweep runs 20,000 streams by default; DUALCAM_FAST_PATH_STREAMS=N runs N
// (millions for a soak), DUALCAM_FAST_PATH_SEED varies the streams.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/sim/encoder/encoder.h"
#include "host/sim/encoder/picture.h"
#include "pipeline/decoder/annex_k.h"
#include "pipeline/decoder/decoder.h"
#include "stream_builder.h"
#include "support/test_data.h"

namespace dualcam::decoder {
namespace {

struct Outcome {
    int result = -1;
    std::vector<uint8_t> picture;
    std::ptrdiff_t readOffset = 0;
    uint32_t window = 0;
    int32_t count = 0;
    int32_t predictors[3] = {};
};

// Decodes `length` bytes of `stream` (which carries at least the read slack after them) on
// `path` into a picture pre-filled with a marker, so unwritten MCUs show.
// The input is copied into a buffer of exactly length + kReadSlack bytes, so that under
// AddressSanitizer a read past what the decoder may touch is caught on every path.
Outcome Run(DecoderPath path, DecoderState* state, const std::vector<uint8_t>& stream,
            int32_t length, int width, int height, int quality, int kind) {
    Outcome o;
    const std::size_t readable = static_cast<std::size_t>(length) + kReadSlack;
    const std::unique_ptr<uint8_t[]> input(new uint8_t[readable]);
    std::memcpy(input.get(), stream.data(), readable);
    o.picture.assign(DecoderOutputBytes(width, height, kind), 0xA5);
    EXPECT_EQ(DecoderSelectQuality(state, static_cast<int16_t>(quality)), 1);
    EXPECT_EQ(DecoderBuildRowTable(state, width, height, kind, o.picture.data()), 1);
    o.result = DecodePictureWith(path, state, input.get(), length, o.picture.data(), kind);
    o.readOffset = state->ReadPosition - input.get();
    o.window = state->BitWindow;
    o.count = state->BitCount;
    std::memcpy(o.predictors, state->DcPredictor, sizeof o.predictors);
    return o;
}

std::vector<DecoderPath> FastPaths() {
    std::vector<DecoderPath> paths;
    for (int p = 1; p < kDecoderPathCount; ++p) {
        if (DecoderPathAvailable(static_cast<DecoderPath>(p))) {
            paths.push_back(static_cast<DecoderPath>(p));
        }
    }
    return paths;
}

// Compares every fast path with the reference on one input; returns false on the first
// difference (already reported).
bool Agree(DecoderState* state, const std::vector<uint8_t>& stream, int32_t length, int width,
           int height, int quality, int kind, const std::string& what) {
    const Outcome expected =
        Run(DecoderPath::Reference, state, stream, length, width, height, quality, kind);
    for (DecoderPath path : FastPaths()) {
        const Outcome got = Run(path, state, stream, length, width, height, quality, kind);
        const std::string where = what + " on " + DecoderPathName(path) + " " +
                                  std::to_string(width) + "x" + std::to_string(height) + " q" +
                                  std::to_string(quality) + " kind " + std::to_string(kind) +
                                  " length " + std::to_string(length);
        EXPECT_EQ(got.result, expected.result) << where;
        EXPECT_EQ(got.readOffset, expected.readOffset) << where;
        EXPECT_EQ(got.window, expected.window) << where;
        EXPECT_EQ(got.count, expected.count) << where;
        EXPECT_EQ(0, std::memcmp(got.predictors, expected.predictors, sizeof got.predictors))
            << where;
        if (got.picture != expected.picture) {
            std::size_t i = 0;
            while (got.picture[i] == expected.picture[i]) ++i;
            ADD_FAILURE() << where << ": first differing byte " << i << " ("
                          << int{got.picture[i]} << " instead of " << int{expected.picture[i]}
                          << ")";
            return false;
        }
        if (::testing::Test::HasFailure()) return false;
    }
    return true;
}

std::vector<uint8_t> WithSlack(std::vector<uint8_t> stream) {
    stream.resize(stream.size() + kReadSlack, 0);
    return stream;
}

std::vector<uint8_t> EncodePhoto(std::string_view stem, int width, int height, int quality) {
    const encoder::RgbPicture rgb = testing::LoadPhoto(stem, width, height);
    const encoder::I420Picture yuv = encoder::RgbToI420(rgb);
    return encoder::EncodePicture({yuv.bytes, width, height}, encoder::CameraQuantPair(quality));
}

TEST(DecoderFastPaths, TheEnvironmentChoosesAnAvailablePath) {
    EXPECT_TRUE(DecoderPathAvailable(DecoderPath::Reference));
    EXPECT_TRUE(DecoderPathAvailable(DecoderPath::Portable));
    // Whatever DUALCAM_DECODER says, DecodePicture runs a path that exists here; when it names
    // one that exists (CTest's reference runs name "reference"), that one.
    const DecoderPath active = ActiveDecoderPath();
    EXPECT_TRUE(DecoderPathAvailable(active));
    const char* wanted = std::getenv("DUALCAM_DECODER");
    if (wanted != nullptr) {
        for (int p = 0; p < kDecoderPathCount; ++p) {
            const auto path = static_cast<DecoderPath>(p);
            if (std::string(wanted) == DecoderPathName(path) && DecoderPathAvailable(path)) {
                EXPECT_EQ(active, path) << wanted;
            }
        }
    } else {
        // Unset: the fastest this processor runs.
        for (int p = static_cast<int>(active) + 1; p < kDecoderPathCount; ++p) {
            EXPECT_FALSE(DecoderPathAvailable(static_cast<DecoderPath>(p)));
        }
    }
}

TEST(DecoderFastPaths, PhotographsMatchTheReferenceAtEveryQuality) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    struct Photo {
        std::string_view stem;
        int width;
        int height;
    };
    // The checked-in photographs, and one resized to the smallest raw size.
    constexpr Photo kPhotos[] = {{"kodim05", 176, 144}, {"kodim23", 176, 144},
                                 {"kodim15", 176, 144}, {"kodim15", 320, 240},
                                 {"kodim15", 352, 288}, {"kodim15", 640, 480},
                                 {"kodim15", 160, 112}};
    for (const Photo& photo : kPhotos) {
        for (int quality = 0; quality < 4; ++quality) {
            const auto stream = WithSlack(EncodePhoto(photo.stem, photo.width, photo.height, quality));
            const auto length = static_cast<int32_t>(stream.size() - kReadSlack);
            for (int kind : {kOutputBgr, kOutputI420}) {
                ASSERT_TRUE(Agree(d.get(), stream, length, photo.width, photo.height, quality, kind,
                                  std::string(photo.stem)));
            }
        }
    }
}

// Streams that lean on the rare parts of the tables: the longest AC codes (up to 16 bits with
// 10 value bits), zero runs, DC categories up to 11 in both directions, blocks filled to
// coefficient 63 without an end-of-block, and DC values that wrap the 16-bit lanes.
std::vector<uint8_t> ExtremePicture(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    test::BitWriter w;
    const int mcus = ((width + 15) / 16) * ((height + 15) / 16);
    for (int m = 0; m < mcus; ++m) {
        for (int b = 0; b < 6; ++b) {
            const bool luma = b < 4;
            const auto put = [&](int symbol) {
                if (luma) {
                    test::PutSymbol(w, annexk::kAcLuminanceCodes, symbol);
                } else {
                    test::PutSymbol(w, annexk::kAcChrominanceCodes, symbol);
                }
            };
            const int category = static_cast<int>(rng() % 12);
            int diff = category == 0
                           ? 0
                           : (1 << (category - 1)) + static_cast<int>(rng() % (1u << (category - 1)));
            if (rng() & 1) diff = -diff;
            if (luma) {
                test::PutSymbol(w, annexk::kDcLuminanceCodes, category);
            } else {
                test::PutSymbol(w, annexk::kDcChrominanceCodes, category);
            }
            w.Put(test::ExtraBits(diff, category), category);
            int k = 1;
            const bool fill = rng() % 8 == 0;
            while (k <= 63) {
                if (!fill && rng() % 6 == 0) break;
                if (k <= 47 && rng() % 10 == 0) {  // a zero run of sixteen
                    put(0xF0);
                    k += 16;
                    continue;
                }
                int run = static_cast<int>(rng() % 16);
                if (k + run > 63) run = 63 - k;
                const int size = 1 + static_cast<int>(rng() % 10);
                int value = (1 << (size - 1)) + static_cast<int>(rng() % (1u << (size - 1)));
                if (rng() & 1) value = -value;
                put(run << 4 | size);
                w.Put(test::ExtraBits(value, size), size);
                k += run + 1;
            }
            if (k <= 63) put(0x00);
        }
    }
    return WithSlack(w.Finish());
}

TEST(DecoderFastPaths, SyntheticPicturesMatchTheReference) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    struct Size {
        int width;
        int height;
    };
    uint32_t seed = 1;
    for (const Size size : {Size{160, 112}, Size{160, 120}, Size{176, 144}, Size{320, 240},
                            Size{352, 288}}) {
        for (int quality = 0; quality < 4; ++quality) {
            const auto grey = [&] {
                test::BitWriter w;
                for (int m = 0; m < (size.width / 16) * ((size.height + 15) / 16); ++m) {
                    test::PutGreyMcu(w);
                }
                return WithSlack(w.Finish());
            }();
            const auto random = test::RandomPicture(size.width, size.height, seed++);
            const auto extreme = ExtremePicture(size.width, size.height, seed++);
            for (int kind : {kOutputBgr, kOutputI420}) {
                ASSERT_TRUE(Agree(d.get(), grey, static_cast<int32_t>(grey.size() - kReadSlack),
                                  size.width, size.height, quality, kind, "grey"));
                ASSERT_TRUE(Agree(d.get(), random, static_cast<int32_t>(random.size() - 8),
                                  size.width, size.height, quality, kind, "random"));
                ASSERT_TRUE(Agree(d.get(), extreme, static_cast<int32_t>(extreme.size() - kReadSlack),
                                  size.width, size.height, quality, kind, "extreme"));
            }
        }
    }
}

// The switch from unchecked to checked blocks happens some 1,800 bits before the end of the
// data: every length around it and up to past the end, byte by byte, with the bytes after the
// length both zero and garbage.
TEST(DecoderFastPaths, EveryLengthNearTheEndMatchesTheReference) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    std::vector<uint8_t> stream = EncodePhoto("kodim23", 176, 144, 3);
    const auto complete = static_cast<int32_t>(stream.size());
    stream.resize(stream.size() + 64, 0);
    std::mt19937 rng(5);
    for (int32_t length = std::max(0, complete - 700); length <= complete + 8; ++length) {
        std::vector<uint8_t> input(stream.begin(), stream.begin() + length);
        input.resize(static_cast<std::size_t>(length) + kReadSlack, 0);
        const int kind = length % 2;
        ASSERT_TRUE(Agree(d.get(), input, length, 176, 144, 3, kind, "zero tail"));
        for (std::size_t i = static_cast<std::size_t>(length); i < input.size(); ++i) {
            input[i] = static_cast<uint8_t>(rng());
        }
        ASSERT_TRUE(Agree(d.get(), input, length, 176, 144, 3, 1 - kind, "garbage tail"));
    }
}

long EnvNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtol(text, nullptr, 10);
}

// Damage of the kinds a lossy link and a broken camera produce: flipped bits, overwritten
// bytes, runs of ones or zeros, dropped or repeated spans, a cut, a wrong length, garbage.
std::vector<uint8_t> Mutate(std::vector<uint8_t> stream, int32_t* length, std::mt19937& rng) {
    const auto n = static_cast<uint32_t>(*length);
    switch (rng() % 8) {
        case 0:  // a few flipped bits
            for (int i = 0, count = 1 + static_cast<int>(rng() % 4); i < count && n > 0; ++i) {
                stream[rng() % n] ^= static_cast<uint8_t>(1u << (rng() % 8));
            }
            break;
        case 1:  // overwritten bytes
            for (int i = 0, count = 1 + static_cast<int>(rng() % 8); i < count && n > 0; ++i) {
                stream[rng() % n] = static_cast<uint8_t>(rng());
            }
            break;
        case 2:  // a run of 0xFF or 0x00 (long codes, invalid codes, overflowing runs)
            if (n > 0) {
                const uint32_t at = rng() % n;
                const uint32_t span = std::min<uint32_t>(n - at, 1 + rng() % 40);
                std::memset(stream.data() + at, (rng() & 1) ? 0xFF : 0x00, span);
            }
            break;
        case 3:  // a span dropped: the rest shifts, as when a packet is lost
            if (n > 2) {
                const uint32_t at = rng() % (n - 1);
                const uint32_t span = std::min<uint32_t>(n - at - 1, 1 + rng() % 300);
                stream.erase(stream.begin() + at, stream.begin() + at + span);
                *length -= static_cast<int32_t>(span);
            }
            break;
        case 4:  // cut short
            *length = static_cast<int32_t>(rng() % (n + 1));
            break;
        case 5:  // claimed length too long (the bytes after are whatever follows)
            *length += static_cast<int32_t>(rng() % 64);
            break;
        case 6:  // garbage from a point on
            if (n > 0) {
                for (uint32_t i = rng() % n; i < n; ++i) stream[i] = static_cast<uint8_t>(rng());
            }
            break;
        default:  // whole stream garbage
            for (uint32_t i = 0; i < n; ++i) stream[i] = static_cast<uint8_t>(rng());
            break;
    }
    // The decoder may read five bytes past the length it is given.
    const std::size_t needed = static_cast<std::size_t>(*length) + kReadSlack;
    if (stream.size() < needed) stream.resize(needed, 0);
    if (rng() % 4 == 0) {
        for (std::size_t i = static_cast<std::size_t>(*length); i < stream.size(); ++i) {
            stream[i] = static_cast<uint8_t>(rng());
        }
    }
    return stream;
}

TEST(DecoderFastPaths, RandomMutatedAndTruncatedStreamsMatchTheReference) {
    test::ScopedDecoder d;
    ASSERT_TRUE(d.ok);
    const long streams = EnvNumber("DUALCAM_FAST_PATH_STREAMS", 20000);
    std::mt19937 rng(static_cast<uint32_t>(EnvNumber("DUALCAM_FAST_PATH_SEED", 20261208)));
    struct Size {
        int width;
        int height;
    };
    constexpr Size kSizes[] = {{160, 112}, {160, 120}, {176, 144}};
    // Valid starting points: small photographs and synthetic pictures.
    std::vector<std::vector<uint8_t>> bases;
    std::vector<int> baseSize;
    for (int s = 0; s < 3; ++s) {
        for (std::string_view stem : testing::kPhotoStems) {
            bases.push_back(EncodePhoto(stem, kSizes[s].width, kSizes[s].height, 3));
            baseSize.push_back(s);
        }
        bases.push_back(test::RandomPicture(kSizes[s].width, kSizes[s].height, 77 + s));
        baseSize.push_back(s);
        auto extreme = ExtremePicture(kSizes[s].width, kSizes[s].height, 99 + s);
        extreme.resize(extreme.size() - kReadSlack);
        bases.push_back(extreme);
        baseSize.push_back(s);
    }
    long failures = 0;
    for (long i = 0; i < streams; ++i) {
        const std::size_t pick = rng() % bases.size();
        int32_t length = static_cast<int32_t>(bases[pick].size());
        const auto stream = Mutate(bases[pick], &length, rng);
        // Mostly the picture's own size; sometimes another, so the stream runs out or is left over.
        const Size size = rng() % 4 == 0 ? kSizes[rng() % 3] : kSizes[baseSize[pick]];
        const int quality = static_cast<int>(rng() % 4);
        const int kind = static_cast<int>(rng() % 2);
        if (!Agree(d.get(), stream, length, size.width, size.height, quality, kind,
                   "stream " + std::to_string(i))) {
            if (++failures > 3) break;
        }
    }
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace dualcam::decoder
