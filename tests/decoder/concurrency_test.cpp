// Two decoder records used from two threads at once give the same pictures
// as the same decodes run one after the other: the shared tables are built
// once and only read, and each record keeps its own working state.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "pipeline/decoder/decoder.h"
#include "stream_builder.h"

namespace dualcam::decoder {
namespace {

struct Job {
    int width;
    int height;
    int quality;
    int kind;
    std::vector<uint8_t> stream;
};

std::vector<std::vector<uint8_t>> RunJobs(DecoderState* state, const std::vector<Job>& jobs) {
    std::vector<std::vector<uint8_t>> pictures;
    for (const Job& job : jobs) {
        std::vector<uint8_t> out;
        const int result = test::DecodeStream(state, job.stream,
                                              static_cast<int32_t>(job.stream.size() - 8),
                                              job.width, job.height, job.quality, job.kind, &out);
        EXPECT_EQ(result, 1);
        pictures.push_back(std::move(out));
    }
    return pictures;
}

TEST(DecoderConcurrency, TwoDevicesDecodeAtOnce) {
    std::vector<Job> first;
    std::vector<Job> second;
    for (int i = 0; i < 3; ++i) {
        first.push_back({176, 144, i % 4, i % 2, test::RandomPicture(176, 144, 10 + i)});
        // I420 at width 160 is given the table's 128 rows; BGR may say 120.
        second.push_back({160, i % 2 == 1 ? 128 : 120, (i + 2) % 4, i % 2,
                          test::RandomPicture(160, 128, 20 + i)});
    }
    std::vector<std::vector<uint8_t>> expectedFirst;
    std::vector<std::vector<uint8_t>> expectedSecond;
    {
        test::ScopedDecoder d;
        ASSERT_TRUE(d.ok);
        expectedFirst = RunJobs(d.get(), first);
        expectedSecond = RunJobs(d.get(), second);
    }

    // Both records are set up from their own threads, so the first use of the shared tables
    // may race as well.
    std::vector<std::vector<uint8_t>> gotFirst;
    std::vector<std::vector<uint8_t>> gotSecond;
    bool okFirst = false;
    bool okSecond = false;
    std::thread a([&] {
        test::ScopedDecoder d;
        okFirst = d.ok;
        for (int round = 0; round < 3 && d.ok; ++round) gotFirst = RunJobs(d.get(), first);
    });
    std::thread b([&] {
        test::ScopedDecoder d;
        okSecond = d.ok;
        for (int round = 0; round < 3 && d.ok; ++round) gotSecond = RunJobs(d.get(), second);
    });
    a.join();
    b.join();
    ASSERT_TRUE(okFirst);
    ASSERT_TRUE(okSecond);
    EXPECT_EQ(gotFirst, expectedFirst);
    EXPECT_EQ(gotSecond, expectedSecond);
}

}  // namespace
}  // namespace dualcam::decoder
