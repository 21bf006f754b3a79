// Rendering frames: every route at every offered size against the steps
// composed by hand, grey frames through every route, which work pictures a
// route may touch, undersized buffers and bad frames that must leave the
// output alone, the shared decoder's device count, and the VQJ9 header.
#include "pipeline/render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "pipeline/picture.h"
#include "render_support.h"

namespace dualcam::pipeline {
namespace {

using test::ComposedPicture;
using test::CompressionOf;
using test::OutputKind;

std::size_t PictureBytes(const SizePlanEntry& e, OutputKind kind) {
    return kind == OutputKind::Rgb ? RgbPictureBytes(e.FormatWidth, e.FormatHeight)
                                   : PlanarPictureBytes(e.FormatWidth, e.FormatHeight);
}

bool AllEqual(const std::uint8_t* p, std::size_t n, std::uint8_t v) {
    return std::all_of(p, p + n, [v](std::uint8_t b) { return b == v; });
}

// Output buffers are exact-size heap blocks, so a write past the picture is
// an ASan error, not a silent pass.
struct Output {
    explicit Output(std::size_t n, std::uint8_t fill = 0xC3) : Bytes(new std::uint8_t[n]), Size(n) {
        std::memset(Bytes.get(), fill, n);
    }
    std::unique_ptr<std::uint8_t[]> Bytes;
    std::size_t Size;
    std::vector<std::uint8_t> Vector() const { return {Bytes.get(), Bytes.get() + Size}; }
};

class RenderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetToneState();
        ASSERT_EQ(SharedDecoderAcquire(&allocator_.Table), 1);
        ASSERT_EQ(allocator_.Live.size(), 2u);  // work pictures A and B
        ASSERT_EQ(decoder::DecoderInitialize(&still_, &stillAllocator_.Table,
                                             decoder::kStillWorkBufferSize),
                  1);
    }
    void TearDown() override {
        SharedDecoderRelease();
        EXPECT_FALSE(SharedDecoderReady());
        EXPECT_TRUE(allocator_.Live.empty());
        decoder::DecoderRelease(&still_);
        ResetToneState();
    }

    int Render(ProcessingOptions& options, std::vector<std::uint8_t>& raw, Output& out,
               std::size_t* written, const SizePlanEntry& e, OutputKind kind) {
        return RenderFrame(&options, raw.data(), out.Bytes.get(), out.Size, written, e.RawWidth,
                           e.RawHeight, e.FormatWidth, e.FormatHeight, CompressionOf(kind));
    }
    // The same on a decoder of the test's own with still-sized work pictures.
    int RenderStill(ProcessingOptions& options, std::vector<std::uint8_t>& raw, Output& out,
                    std::size_t* written, const SizePlanEntry& e, OutputKind kind) {
        return RenderFrameWith(&still_, &options, raw.data(), out.Bytes.get(), out.Size, written,
                               e.RawWidth, e.RawHeight, e.FormatWidth, e.FormatHeight,
                               CompressionOf(kind));
    }

    void FillWorkPictures(std::uint8_t v) {
        for (void* block : allocator_.Live) std::memset(block, v, decoder::kWorkBufferSize);
    }
    bool WorkPictureUntouched(int which, std::uint8_t v) {
        return AllEqual(static_cast<std::uint8_t*>(allocator_.Live[which]),
                        decoder::kWorkBufferSize, v);
    }

    test::RecordingAllocator allocator_;
    test::RecordingAllocator stillAllocator_;
    decoder::DecoderState still_{};
};

TEST_F(RenderTest, EveryRouteAtEverySizeMatchesTheComposedSteps) {
    int seed = 0;
    for (const SizePlanEntry& e : kSizePlan) {
        auto raw = test::EncodedRawFrame(e.RawWidth, e.RawHeight, 1 + seed % 3, seed);
        ASSERT_FALSE(raw.empty());
        ++seed;
        for (OutputKind kind : {OutputKind::Rgb, OutputKind::Planar}) {
            for (int tone : {0, 6}) {
                SCOPED_TRACE(::testing::Message()
                             << e.FormatWidth << "x" << e.FormatHeight
                             << (kind == OutputKind::Rgb ? " RGB" : " I420") << " tone " << tone);
                ProcessingOptions options{};
                SetToneCurve(&options, tone);
                const auto expected = ComposedPicture(raw, e, kind, tone);
                ASSERT_EQ(expected.size(), PictureBytes(e, kind));
                Output out(PictureBytes(e, kind));
                std::size_t written = 0;
                // Toned RGB goes through a planar work picture; the driver's
                // hold 203,776 bytes, too few for 640x480. That render is
                // refused untouched, and a still-sized decoder makes it.
                const bool needsStillBuffers =
                    kind == OutputKind::Rgb && tone != 0 &&
                    PlanarPictureBytes(e.FormatWidth, e.FormatHeight) > 203776;
                if (needsStillBuffers) {
                    EXPECT_EQ(Render(options, raw, out, &written, e, kind), 0);
                    EXPECT_TRUE(AllEqual(out.Bytes.get(), out.Size, 0xC3));
                    ASSERT_EQ(RenderStill(options, raw, out, &written, e, kind), 1);
                } else {
                    ASSERT_EQ(Render(options, raw, out, &written, e, kind), 1);
                    Output again(PictureBytes(e, kind));
                    ASSERT_EQ(RenderStill(options, raw, again, &written, e, kind), 1);
                    EXPECT_TRUE(again.Vector() == expected);
                }
                EXPECT_EQ(written, out.Size);
                EXPECT_TRUE(out.Vector() == expected);
            }
        }
    }
}

// Source row (or column) that output row o of a route shows, worked out
// from the sizes alone: drop the last of each band of k, or for the
// 128-wide route first repeat the 14th row of each band of 14.
int SourceIndex(const SizePlanEntry& e, int o, bool row) {
    const int raw = row ? e.RawHeight : e.RawWidth;
    const int out = row ? e.FormatHeight : e.FormatWidth;
    if (e.Route == RenderRoute::StretchThenShrink) {
        const int shrunk = (o / 4) * 5 + o % 4;  // 5:4 in both directions
        if (!row)
            return shrunk;
        return (shrunk / 15) * 14 + std::min(shrunk % 15, 13);
    }
    if (raw == out)
        return o;
    const int k = raw / (raw - out);
    return (o / (k - 1)) * k + o % (k - 1);
}

// Independent of the resizers: the luminance a route delivers must be the
// camera picture's own pixels at the rows and columns the route keeps,
// up to the compression error.
TEST_F(RenderTest, LuminanceShowsTheSourcePixelsEachRouteKeeps) {
    for (const SizePlanEntry& e : kSizePlan) {
        SCOPED_TRACE(::testing::Message() << e.FormatWidth << "x" << e.FormatHeight);
        const auto source = test::PatternPicture(e.RawWidth, e.RawHeight, 11);
        auto raw = test::EncodedRawFrame(e.RawWidth, e.RawHeight, 0, 11);
        ProcessingOptions options{};
        Output out(PictureBytes(e, OutputKind::Planar));
        std::size_t written = 0;
        ASSERT_EQ(Render(options, raw, out, &written, e, OutputKind::Planar), 1);
        double squared = 0;
        for (int r = 0; r < e.FormatHeight; ++r) {
            for (int c = 0; c < e.FormatWidth; ++c) {
                const int expected =
                    source[static_cast<std::size_t>(SourceIndex(e, r, true)) * e.RawWidth +
                           SourceIndex(e, c, false)];
                const int got = out.Bytes[static_cast<std::size_t>(r) * e.FormatWidth + c];
                squared += (expected - got) * (expected - got);
            }
        }
        const double mse = squared / (e.FormatWidth * e.FormatHeight);
        EXPECT_LT(mse, 20.0);  // compression leaves about 6; a row or column off by one, 150+
    }
}

TEST_F(RenderTest, GreyFramesRenderGreyThroughEveryRoute) {
    for (const SizePlanEntry& e : kSizePlan) {
        auto raw = test::GreyRawFrame(e.RawWidth, e.RawHeight, 0);
        for (int tone : {0, 5}) {
            ProcessingOptions options{};
            SetToneCurve(&options, tone);
            const std::uint8_t luma = tone == 0 ? 128 : 180;  // curve 5 maps 128 to 180
            const std::size_t lumaBytes = static_cast<std::size_t>(e.FormatWidth) * e.FormatHeight;
            SCOPED_TRACE(::testing::Message()
                         << e.FormatWidth << "x" << e.FormatHeight << " tone " << tone);

            Output planar(PictureBytes(e, OutputKind::Planar));
            std::size_t written = 0;
            ASSERT_EQ(Render(options, raw, planar, &written, e, OutputKind::Planar), 1);
            EXPECT_TRUE(AllEqual(planar.Bytes.get(), lumaBytes, luma));
            EXPECT_TRUE(AllEqual(planar.Bytes.get() + lumaBytes, planar.Size - lumaBytes, 128));

            Output rgb(PictureBytes(e, OutputKind::Rgb));
            const bool still = tone != 0 && e.FormatWidth == 640;  // see the test above
            ASSERT_EQ(still ? RenderStill(options, raw, rgb, &written, e, OutputKind::Rgb)
                            : Render(options, raw, rgb, &written, e, OutputKind::Rgb),
                      1);
            EXPECT_TRUE(AllEqual(rgb.Bytes.get(), rgb.Size, luma));
        }
    }
}

TEST_F(RenderTest, DirectRgbPathLeavesWorkPicturesAlone) {
    const SizePlanEntry& e = *FindSizePlan(352, 288);
    auto raw = test::EncodedRawFrame(352, 288, 3, 4);
    ProcessingOptions options{};
    FillWorkPictures(0x5A);
    Output out(PictureBytes(e, OutputKind::Rgb));
    std::size_t written = 0;
    ASSERT_EQ(Render(options, raw, out, &written, e, OutputKind::Rgb), 1);
    EXPECT_TRUE(WorkPictureUntouched(0, 0x5A));
    EXPECT_TRUE(WorkPictureUntouched(1, 0x5A));

    // With a tone curve the same size goes through work picture A only.
    SetToneCurve(&options, 2);
    ASSERT_EQ(Render(options, raw, out, &written, e, OutputKind::Rgb), 1);
    EXPECT_FALSE(WorkPictureUntouched(0, 0x5A));
    EXPECT_TRUE(WorkPictureUntouched(1, 0x5A));

    // 160x120: the 160x128 picture is decoded into B and shrunk into A.
    FillWorkPictures(0x5A);
    SetToneCurve(&options, 0);
    const SizePlanEntry& small = *FindSizePlan(160, 120);
    auto smallRaw = test::EncodedRawFrame(160, 128, 3, 5);
    Output smallOut(PictureBytes(small, OutputKind::Rgb));
    ASSERT_EQ(Render(options, smallRaw, smallOut, &written, small, OutputKind::Rgb), 1);
    EXPECT_FALSE(WorkPictureUntouched(0, 0x5A));
    EXPECT_FALSE(WorkPictureUntouched(1, 0x5A));
}

TEST_F(RenderTest, IyuvIsI420AndUnknownKindsSucceedWithoutWriting) {
    const SizePlanEntry& e = *FindSizePlan(240, 180);
    auto raw = test::EncodedRawFrame(320, 240, 2, 9);
    ProcessingOptions options{};
    Output i420(PictureBytes(e, OutputKind::Planar)), iyuv(i420.Size);
    std::size_t written = 0;
    ASSERT_EQ(RenderFrame(&options, raw.data(), i420.Bytes.get(), i420.Size, &written, 320, 240,
                          240, 180, kFourccI420),
              1);
    ASSERT_EQ(RenderFrame(&options, raw.data(), iyuv.Bytes.get(), iyuv.Size, &written, 320, 240,
                          240, 180, kFourccIyuv),
              1);
    EXPECT_TRUE(i420.Vector() == iyuv.Vector());

    for (std::uint32_t other : {kFourccVqj9, 0x32595559u /* "YUY2" */, 1u}) {
        Output untouched(PictureBytes(e, OutputKind::Rgb));
        written = 99;
        EXPECT_EQ(RenderFrame(&options, raw.data(), untouched.Bytes.get(), untouched.Size, &written,
                              320, 240, 240, 180, other),
                  1);
        EXPECT_EQ(written, 0u);
        EXPECT_TRUE(AllEqual(untouched.Bytes.get(), untouched.Size, 0xC3));
    }
}

TEST_F(RenderTest, UndersizedOutputIsNeverWritten) {
    for (const SizePlanEntry& e : kSizePlan) {
        auto raw = test::GreyRawFrame(e.RawWidth, e.RawHeight, 1);
        for (OutputKind kind : {OutputKind::Rgb, OutputKind::Planar}) {
            for (int tone : {0, 1}) {
                SCOPED_TRACE(::testing::Message() << e.FormatWidth << "x" << e.FormatHeight
                                                << " kind " << int(kind) << " tone " << tone);
                ProcessingOptions options{};
                SetToneCurve(&options, tone);
                for (std::size_t size :
                     {PictureBytes(e, kind) - 1, PictureBytes(e, kind) / 2, std::size_t{1}}) {
                    Output out(size);
                    std::size_t written = 7;
                    EXPECT_EQ(Render(options, raw, out, &written, e, kind), 0);
                    EXPECT_EQ(written, 0u);
                    EXPECT_TRUE(AllEqual(out.Bytes.get(), out.Size, 0xC3));
                }
            }
        }
    }
}

TEST_F(RenderTest, BadHeadersAndUnmappedSizesFailWithoutWriting) {
    ProcessingOptions options{};
    auto raw = test::GreyRawFrame(176, 144, 0);
    struct Case {
        const char* what;
        int rw, rh, w, h;
        std::uint8_t quality;
        std::uint32_t length;
    };
    const auto realLength = RawFrameLength(raw.data());
    const Case cases[] = {
        {"quality 4", 176, 144, 176, 144, 4, realLength},
        {"quality 255", 176, 144, 176, 144, 255, realLength},
        {"length below the header", 176, 144, 176, 144, 0, 12},
        {"length past 2^31", 176, 144, 176, 144, 0, 0x80000000u},
        {"raw size no resize maps", 176, 144, 160, 120, 0, realLength},
        {"160x120 decodes 128 rows", 160, 120, 160, 120, 0, realLength},
        {"format not offered", 176, 144, 100, 100, 0, realLength},
        {"128 wide but not 96 high", 160, 112, 128, 100, 0, realLength},
        {"negative size", -176, 144, -176, 144, 0, realLength},
    };
    for (const Case& c : cases) {
        auto frame = raw;
        frame[kRawQualityOffset] = c.quality;
        for (int i = 0; i < 4; ++i)
            frame[kRawLengthOffset + i] = static_cast<std::uint8_t>(c.length >> (8 * i));
        for (std::uint32_t kind : {kCompressionRgb, kFourccI420}) {
            Output out(640 * 480 * 3);
            std::size_t written = 5;
            EXPECT_EQ(RenderFrame(&options, frame.data(), out.Bytes.get(), out.Size, &written, c.rw,
                                  c.rh, c.w, c.h, kind),
                      0)
                << c.what;
            EXPECT_EQ(written, 0u) << c.what;
            EXPECT_TRUE(AllEqual(out.Bytes.get(), out.Size, 0xC3)) << c.what;
        }
    }
    std::size_t written = 0;
    EXPECT_EQ(
        RenderFrame(&options, nullptr, nullptr, 0, &written, 176, 144, 176, 144, kCompressionRgb),
        0);
}

TEST_F(RenderTest, TruncatedStreamFailsTheFrameAndKeepsIntermediatesOutOfTheOutput) {
    ProcessingOptions options{};
    const SizePlanEntry& e = *FindSizePlan(240, 180);
    auto raw = test::GreyRawFrame(320, 240, 0);
    const std::uint32_t shortLength = 200;  // far fewer MCUs than 320x240 needs
    for (int i = 0; i < 4; ++i)
        raw[kRawLengthOffset + i] = static_cast<std::uint8_t>(shortLength >> (8 * i));
    for (OutputKind kind : {OutputKind::Rgb, OutputKind::Planar}) {
        Output out(PictureBytes(e, kind));
        std::size_t written = 3;
        EXPECT_EQ(Render(options, raw, out, &written, e, kind), 0);
        EXPECT_EQ(written, 0u);
        // The decode went into a work picture: the output keeps its old bytes.
        EXPECT_TRUE(AllEqual(out.Bytes.get(), out.Size, 0xC3));
    }
}

TEST(SharedDecoder, CountsDevicesAndRefusesRendersWhileNotReady) {
    ResetToneState();
    auto raw = test::GreyRawFrame(176, 144, 0);
    ProcessingOptions options{};
    auto renders = [&] {
        Output out(RgbPictureBytes(176, 144));
        std::size_t written = 0;
        const int result = RenderFrame(&options, raw.data(), out.Bytes.get(), out.Size, &written,
                                       176, 144, 176, 144, kCompressionRgb);
        EXPECT_TRUE(result == 1 || AllEqual(out.Bytes.get(), out.Size, 0xC3));
        return result == 1;
    };
    EXPECT_FALSE(SharedDecoderReady());
    EXPECT_FALSE(renders());

    test::RecordingAllocator first, second;
    EXPECT_EQ(SharedDecoderAcquire(&first.Table), 1);
    EXPECT_EQ(SharedDecoderAcquire(&second.Table), 1);  // second device shares it
    EXPECT_EQ(second.Calls, 0);
    EXPECT_TRUE(renders());
    SharedDecoderRelease();
    EXPECT_TRUE(renders());
    EXPECT_EQ(first.Live.size(), 2u);
    SharedDecoderRelease();
    EXPECT_TRUE(first.Live.empty());
    EXPECT_FALSE(renders());
    SharedDecoderRelease();  // unbalanced: harmless
    EXPECT_FALSE(SharedDecoderReady());

    // A device whose set-up ran out of memory: no renders, and the next
    // device's acquire builds the decoder after all.
    test::RecordingAllocator failing;
    failing.FailFrom = 1;
    EXPECT_EQ(SharedDecoderAcquire(&failing.Table), 0);
    EXPECT_TRUE(failing.Live.empty());
    EXPECT_FALSE(renders());
    test::RecordingAllocator good;
    EXPECT_EQ(SharedDecoderAcquire(&good.Table), 1);
    EXPECT_TRUE(renders());
    SharedDecoderRelease();
    EXPECT_TRUE(SharedDecoderReady());
    SharedDecoderRelease();
    EXPECT_FALSE(SharedDecoderReady());
    EXPECT_TRUE(good.Live.empty());
}

TEST(PassThroughHeader, ClearsFillsAndLeavesTheLastTwoBytes) {
    std::uint8_t header[kPassThroughHeaderSize];
    std::memset(header, 0xEE, sizeof header);
    BuildPassThroughHeader(header, 7, 0x1F);
    for (std::size_t i = 0; i < kPassThroughClearedBytes; ++i) {
        if (i == 4 || i == 5 || i == 9 || i == 10)
            continue;
        ASSERT_EQ(header[i], 0) << "offset " << i;
    }
    EXPECT_EQ(header[4], 0x00);  // 256, little-endian
    EXPECT_EQ(header[5], 0x01);
    EXPECT_EQ(header[9], 7);
    EXPECT_EQ(header[10], 0x1F);
    EXPECT_EQ(header[11], 0x00);
    EXPECT_EQ(header[172], 0xEE);
    EXPECT_EQ(header[173], 0xEE);
}

TEST(SizePlan, EveryOfferedSizeHasARouteTheResizersKnow) {
    for (const SizePlanEntry& e : kSizePlan) {
        EXPECT_EQ(FindSizePlan(e.FormatWidth, e.FormatHeight), &e);
        switch (e.Route) {
            case RenderRoute::SameSize:
                EXPECT_TRUE(e.RawWidth == e.FormatWidth && e.RawHeight == e.FormatHeight);
                break;
            case RenderRoute::Shrink:
                EXPECT_TRUE(
                    IsKnownResamplePair(e.RawWidth, e.RawHeight, e.FormatWidth, e.FormatHeight));
                break;
            case RenderRoute::StretchThenShrink:
                EXPECT_TRUE(e.RawWidth == 160 && e.RawHeight == 112);
                EXPECT_TRUE(IsKnownResamplePair(160, 120, e.FormatWidth, e.FormatHeight));
                break;
        }
        EXPECT_GT(decoder::DecoderOutputBytes(e.RawWidth, e.RawHeight, decoder::kOutputI420), 0u);
    }
    EXPECT_EQ(FindSizePlan(160, 112), nullptr);
    EXPECT_EQ(FindSizePlan(0, 0), nullptr);
}

}  // namespace
}  // namespace dualcam::pipeline
