// Two devices streaming at once share the one decoder and its work
// pictures: frames rendered from two threads must come out byte for byte
// as they do one after another (and, under ThreadSanitizer, race-free).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "pipeline/picture.h"
#include "pipeline/render.h"
#include "render_support.h"

namespace dualcam::pipeline {
namespace {

struct Job {
    int RawWidth, RawHeight, Width, Height;
    std::uint32_t Compression;
    std::uint8_t Tone;
    std::vector<std::uint8_t> Raw;
    std::vector<std::uint8_t> Expected;
};

std::size_t BytesFor(const Job& job) {
    return job.Compression == kCompressionRgb ? RgbPictureBytes(job.Width, job.Height)
                                              : PlanarPictureBytes(job.Width, job.Height);
}

std::vector<std::uint8_t> RenderOnce(Job& job) {
    ProcessingOptions options{};
    options.ToneCurveIndex = job.Tone;
    std::vector<std::uint8_t> out(BytesFor(job), 0);
    std::size_t written = 0;
    if (RenderFrame(&options, job.Raw.data(), out.data(), out.size(), &written, job.RawWidth,
                    job.RawHeight, job.Width, job.Height, job.Compression) != 1) {
        return {};
    }
    return out;
}

TEST(RenderConcurrency, TwoDevicesRenderingAtOnceMatchSequentialRenders) {
    test::RecordingAllocator allocator;
    ASSERT_EQ(SharedDecoderAcquire(&allocator.Table), 1);
    ASSERT_EQ(SharedDecoderAcquire(&allocator.Table), 1);  // the second device
    ProcessingOptions control{};
    SetToneCurve(&control, 4);  // one active curve for the whole test

    // Device one streams 176x144 RGB (direct) and 128x96 RGB (the route
    // that borrows the output as scratch); device two 240x180 I420 with a
    // tone curve and 160x120 RGB, all through work pictures A and B.
    std::vector<Job> one, two;
    one.push_back(
        {176, 144, 176, 144, kCompressionRgb, 0, test::EncodedRawFrame(176, 144, 3, 1), {}});
    one.push_back(
        {160, 112, 128, 96, kCompressionRgb, 4, test::EncodedRawFrame(160, 112, 2, 2), {}});
    two.push_back({320, 240, 240, 180, kFourccI420, 4, test::EncodedRawFrame(320, 240, 1, 3), {}});
    two.push_back(
        {160, 128, 160, 120, kCompressionRgb, 0, test::EncodedRawFrame(160, 128, 0, 4), {}});
    for (auto* jobs : {&one, &two}) {
        for (Job& job : *jobs) {
            job.Expected = RenderOnce(job);
            ASSERT_EQ(job.Expected.size(), BytesFor(job));
        }
    }

    constexpr int kRounds = 6;
    auto stream = [](std::vector<Job>* jobs, int* mismatches) {
        for (int round = 0; round < kRounds; ++round) {
            for (Job& job : *jobs) {
                if (RenderOnce(job) != job.Expected)
                    ++*mismatches;
            }
        }
    };
    int mismatchesOne = 0, mismatchesTwo = 0;
    std::thread first(stream, &one, &mismatchesOne);
    std::thread second(stream, &two, &mismatchesTwo);
    first.join();
    second.join();
    EXPECT_EQ(mismatchesOne, 0);
    EXPECT_EQ(mismatchesTwo, 0);

    SharedDecoderRelease();
    SharedDecoderRelease();
    EXPECT_TRUE(allocator.Live.empty());
    ResetToneState();
}

}  // namespace
}  // namespace dualcam::pipeline
