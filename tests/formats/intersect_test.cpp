// Data intersection: which caller ranges match, the three size answers, the
// answer built from the caller's range, and caller memory that is shorter,
// misaligned or mislabelled.
#include <gtest/gtest.h>

#include <memory>

#include "format_bytes.h"

namespace dualcam::driver {
namespace {

using formats_test::IntersectRequest;
using formats_test::U32At;

// Runs one intersection and checks that the status is both set and returned.
NTSTATUS Intersect(IntersectRequest& R)
{
    const NTSTATUS status = IntersectDataRange(&R.Srb);
    EXPECT_EQ(R.Srb.Status, status);
    return status;
}

TEST(DataIntersection, OfferedRangeAnswersWithItsOwnFormat)
{
    KS_DATARANGE_VIDEO range = CaptureFormats[5];  // RGB24 320 x 240
    KS_DATAFORMAT_VIDEOINFOHEADER answer;
    std::memset(&answer, 0xCC, sizeof(answer));
    IntersectRequest r(0, &range, &answer, sizeof(answer));

    ASSERT_EQ(Intersect(r), STATUS_SUCCESS);
    EXPECT_EQ(r.Srb.ActualBytesTransferred, 152u);
    EXPECT_EQ(answer.DataFormat.FormatSize, 152u);
    EXPECT_EQ(answer.DataFormat.SampleSize, 230400u);
    EXPECT_EQ(answer.VideoInfoHeader.bmiHeader.biSizeImage, 230400u);
    // Everything else is the range, byte for byte.
    EXPECT_EQ(std::memcmp(&answer.DataFormat.MajorFormat, &range.DataRange.MajorFormat, 48), 0);
    EXPECT_EQ(std::memcmp(&answer.VideoInfoHeader, &range.VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER)), 0);
}

TEST(DataIntersection, EveryOfferedRangeMatchesOnItsOwnStreamOnly)
{
    for (ULONG stream : {0u, 1u}) {
        const auto* list = stream == 0 ? CaptureFormats.data() : StillFormats.data();
        const size_t count = stream == 0 ? CaptureFormats.size() : StillFormats.size();
        for (size_t i = 0; i < count; ++i) {
            SCOPED_TRACE(testing::Message() << "stream " << stream << " entry " << i);
            KS_DATAFORMAT_VIDEOINFOHEADER answer{};
            IntersectRequest own(stream, &list[i], &answer, sizeof(answer));
            EXPECT_EQ(Intersect(own), STATUS_SUCCESS);
            EXPECT_EQ(answer.DataFormat.SampleSize, list[i].DataRange.SampleSize);
            // The answer is what the application then opens the stream with.
            EXPECT_TRUE(FormatMatchesStream(&answer.DataFormat, stream));
            // The other pin's flags (capture 0x0002, still 0x1000) never match.
            IntersectRequest other(1 - stream, &list[i], &answer, sizeof(answer));
            EXPECT_EQ(Intersect(other), STATUS_NO_MATCH);
        }
    }
}

TEST(DataIntersection, SizeAnswersForEmptyShortAndLargeBuffers)
{
    const KS_DATARANGE_VIDEO range = CaptureFormats[5];
    std::uint8_t buffer[400];
    std::memset(buffer, 0xCC, sizeof(buffer));

    IntersectRequest empty(0, &range, buffer, 0);
    EXPECT_EQ(Intersect(empty), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(empty.Srb.ActualBytesTransferred, 152u);

    IntersectRequest tooSmall(0, &range, buffer, 151);
    EXPECT_EQ(Intersect(tooSmall), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.Srb.ActualBytesTransferred, 0xDEADBEEFu);  // left alone
    EXPECT_EQ(buffer[0], 0xCC);

    IntersectRequest large(0, &range, buffer, sizeof(buffer));
    EXPECT_EQ(Intersect(large), STATUS_SUCCESS);
    EXPECT_EQ(large.Srb.ActualBytesTransferred, 152u);
    for (size_t i = 152; i < sizeof(buffer); ++i) {
        ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written past the answer";
    }
}

TEST(DataIntersection, RatesTimesAndBitCountMayDifferAndTheAnswerKeepsTheCallers)
{
    KS_DATARANGE_VIDEO range = CaptureFormats[0];  // I420 320 x 240
    range.VideoInfoHeader.AvgTimePerFrame = 666666;
    range.VideoInfoHeader.dwBitRate = 1234;
    range.VideoInfoHeader.bmiHeader.biBitCount = 16;
    range.VideoInfoHeader.rcTarget = {0, 0, 320, 240};
    range.DataRange.SampleSize = 7;
    KS_DATAFORMAT_VIDEOINFOHEADER answer{};
    IntersectRequest r(0, &range, &answer, sizeof(answer));

    ASSERT_EQ(Intersect(r), STATUS_SUCCESS);
    EXPECT_EQ(answer.VideoInfoHeader.AvgTimePerFrame, 666666);
    EXPECT_EQ(answer.VideoInfoHeader.dwBitRate, 1234u);
    EXPECT_EQ(answer.VideoInfoHeader.rcTarget.right, 320);
    EXPECT_EQ(answer.VideoInfoHeader.bmiHeader.biBitCount, 16);
    EXPECT_EQ(answer.DataFormat.SampleSize, 153600u);  // from the caller's 16 bits
    EXPECT_EQ(answer.VideoInfoHeader.bmiHeader.biSizeImage, 153600u);
}

TEST(DataIntersection, NearMissesFindNoMatch)
{
    auto expectNoMatch = [](const KS_DATARANGE_VIDEO& range, const char* what) {
        std::uint8_t buffer[152];
        std::memset(buffer, 0xCC, sizeof(buffer));
        IntersectRequest r(0, &range, buffer, sizeof(buffer));
        EXPECT_EQ(Intersect(r), STATUS_NO_MATCH) << what;
        EXPECT_EQ(buffer[0], 0xCC) << what;
        EXPECT_EQ(r.Srb.ActualBytesTransferred, 0xDEADBEEFu) << what;
    };
    const KS_DATARANGE_VIDEO base = CaptureFormats[5];
    KS_DATARANGE_VIDEO r = base;
    r.ConfigCaps.MaxFrameInterval += 1;
    expectNoMatch(r, "one byte of ConfigCaps");
    r = base;
    r.ConfigCaps.AlignmentPad = 1;
    expectNoMatch(r, "the capabilities' alignment hole");
    r = base;
    r.DataRange.FormatSize = 300;
    expectNoMatch(r, "FormatSize 300");
    r = base;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_I420;
    expectNoMatch(r, "subformat of another kind");
    r = base;
    r.VideoInfoHeader.bmiHeader.biHeight = -240;
    expectNoMatch(r, "top-down height");
    r = base;
    r.bTemporalCompression = 0;
    expectNoMatch(r, "temporal compression flag");
    r = BuildVideoRange(FormatKind::Rgb24, 640, 480, KS_VIDEOSTREAM_CAPTURE);
    expectNoMatch(r, "640 x 480 on the capture pin");
    r = BuildVideoRange(FormatKind::I420, 128, 96, KS_VIDEOSTREAM_CAPTURE);
    expectNoMatch(r, "128 x 96");

    KS_DATARANGE_VIDEO offered = base;
    std::uint8_t buffer[152];
    IntersectRequest noStream(2, &offered, buffer, sizeof(buffer));
    EXPECT_EQ(Intersect(noStream), STATUS_NO_MATCH);
}

// A biSize that claims more (or less) than the 40 bytes a 296-byte range has
// room for does not size the answer: nothing is read past the range, nothing
// written past 152 bytes, and the answer describes the header it carries.
TEST(DataIntersection, BiSizeIsNotTrustedForLengths)
{
    for (DWORD claimed : {0u, 12u, 41u, 1064u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(claimed);
        // Exactly-sized heap blocks, so an over-read or over-write is reported
        // by the address sanitizer.
        auto range = std::make_unique<std::uint8_t[]>(sizeof(KS_DATARANGE_VIDEO));
        KS_DATARANGE_VIDEO source = CaptureFormats[2];
        source.VideoInfoHeader.bmiHeader.biSize = claimed;
        std::memcpy(range.get(), &source, sizeof(source));

        IntersectRequest sizing(0, range.get(), nullptr, 0);
        EXPECT_EQ(Intersect(sizing), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(sizing.Srb.ActualBytesTransferred, 152u);

        auto answer = std::make_unique<std::uint8_t[]>(152);
        IntersectRequest r(0, range.get(), answer.get(), 152);
        ASSERT_EQ(Intersect(r), STATUS_SUCCESS);
        EXPECT_EQ(U32At(answer.get(), 0), 152u);           // FormatSize
        EXPECT_EQ(U32At(answer.get(), 112), 40u);          // biSize
        EXPECT_EQ(U32At(answer.get(), 132), 38016u);       // biSizeImage
        EXPECT_EQ(U32At(answer.get(), 8), 38016u);         // SampleSize
    }
}

TEST(DataIntersection, ShortOrMisalignedCallerMemoryIsReadSafely)
{
    // A bare 64-byte range header: only its FormatSize decides, nothing past it is read.
    auto header = std::make_unique<std::uint8_t[]>(sizeof(KSDATARANGE));
    KSDATARANGE bare = CaptureFormats[0].DataRange;
    bare.FormatSize = sizeof(KSDATARANGE);
    std::memcpy(header.get(), &bare, sizeof(bare));
    std::uint8_t buffer[152];
    IntersectRequest r(0, header.get(), buffer, sizeof(buffer));
    EXPECT_EQ(Intersect(r), STATUS_NO_MATCH);

    // An offered range at an odd address still matches.
    std::uint8_t storage[sizeof(KS_DATARANGE_VIDEO) + 1];
    std::memcpy(storage + 1, &CaptureFormats[9], sizeof(KS_DATARANGE_VIDEO));
    std::uint8_t odd[153];
    IntersectRequest m(0, storage + 1, odd + 1, 152);
    EXPECT_EQ(Intersect(m), STATUS_SUCCESS);
    EXPECT_EQ(U32At(odd + 1, 8), 153600u);
}

TEST(DataIntersection, MissingRangeOrBufferIsAnInvalidParameter)
{
    KS_DATARANGE_VIDEO range = CaptureFormats[0];
    IntersectRequest noRange(0, nullptr, nullptr, 0);
    EXPECT_EQ(Intersect(noRange), STATUS_INVALID_PARAMETER);

    IntersectRequest noBuffer(0, &range, nullptr, 152);
    EXPECT_EQ(Intersect(noBuffer), STATUS_INVALID_PARAMETER);

    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_DATA_INTERSECTION;
    EXPECT_EQ(IntersectDataRange(&srb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IntersectDataRange(nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace dualcam::driver
