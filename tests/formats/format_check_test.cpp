// The list check used at stream open, propose and set; the format requests
// of the stream control hook; and the bitmap image size.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "driver/entry.h"
#include "format_bytes.h"
#include "host/classlib/stream_class.h"

namespace dualcam::driver {
namespace {

using formats_test::FormatRequest;

// An offered range recast as the format an application opens with.
KS_DATAFORMAT_VIDEOINFOHEADER AsFormat(const KS_DATARANGE_VIDEO& Range)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    format.DataFormat = Range.DataRange;
    format.DataFormat.FormatSize = sizeof(format);
    format.VideoInfoHeader = Range.VideoInfoHeader;
    return format;
}

bool Matches(const KS_DATAFORMAT_VIDEOINFOHEADER& Format, ULONG Stream)
{
    return FormatMatchesStream(&Format.DataFormat, Stream);
}

TEST(FormatCheck, EveryOfferedFormatIsInItsStreamsList)
{
    for (const KS_DATARANGE_VIDEO& r : CaptureFormats) {
        EXPECT_TRUE(Matches(AsFormat(r), 0));
        EXPECT_TRUE(Matches(AsFormat(r), 1));  // the still list offers every capture size too
    }
    for (const KS_DATARANGE_VIDEO& r : StillFormats) {
        EXPECT_TRUE(Matches(AsFormat(r), 1));
    }
}

TEST(FormatCheck, SizesOutsideTheListAndOtherStreamsAreRefused)
{
    for (FormatKind kind : {FormatKind::I420, FormatKind::Rgb24, FormatKind::Vqj9}) {
        const auto vga = AsFormat(BuildVideoRange(kind, 640, 480, KS_VIDEOSTREAM_CAPTURE));
        EXPECT_FALSE(Matches(vga, 0));
        EXPECT_TRUE(Matches(vga, 1));
        for (SIZE size : {SIZE{128, 96}, SIZE{240, 180}}) {
            const auto odd = AsFormat(BuildVideoRange(kind, size.cx, size.cy, KS_VIDEOSTREAM_CAPTURE));
            EXPECT_FALSE(Matches(odd, 0));
            EXPECT_FALSE(Matches(odd, 1));
        }
    }
    auto topDown = AsFormat(CaptureFormats[0]);
    topDown.VideoInfoHeader.bmiHeader.biHeight = -240;
    EXPECT_FALSE(Matches(topDown, 0));

    EXPECT_FALSE(Matches(AsFormat(CaptureFormats[0]), 2));
    EXPECT_FALSE(Matches(AsFormat(CaptureFormats[0]), 0xFFFFFFFF));
    EXPECT_FALSE(FormatMatchesStream(nullptr, 0));
}

TEST(FormatCheck, OnlyGuidsWidthAndHeightAreCompared)
{
    auto format = AsFormat(CaptureFormats[4]);
    format.DataFormat.FormatSize = 296;
    format.DataFormat.SampleSize = 1;
    format.VideoInfoHeader.bmiHeader.biBitCount = 32;
    format.VideoInfoHeader.bmiHeader.biCompression = 0x12345678;
    format.VideoInfoHeader.AvgTimePerFrame = 1;
    EXPECT_TRUE(Matches(format, 0));

    auto wrongSpecifier = AsFormat(CaptureFormats[4]);
    wrongSpecifier.DataFormat.Specifier = KSDATAFORMAT_TYPE_VIDEO;
    EXPECT_FALSE(Matches(wrongSpecifier, 0));
    auto wrongMajor = AsFormat(CaptureFormats[4]);
    wrongMajor.DataFormat.MajorFormat.Data4[7] ^= 1;
    EXPECT_FALSE(Matches(wrongMajor, 0));
    auto otherKind = AsFormat(CaptureFormats[4]);  // RGB24 352 x 288 relabelled as VQJ9: offered
    otherKind.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_VQJ9;
    EXPECT_TRUE(Matches(otherKind, 0));
}

// A format whose FormatSize does not cover the bitmap header is refused
// without reading past the caller's block (sanitizer builds report it).
TEST(FormatCheck, ShortFormatIsRefusedWithoutReadingPastIt)
{
    for (ULONG size : {64u, 124u, 151u}) {
        auto block = std::make_unique<std::uint8_t[]>(size);
        auto full = AsFormat(CaptureFormats[0]);
        full.DataFormat.FormatSize = size;
        std::memcpy(block.get(), &full, size);
        EXPECT_FALSE(FormatMatchesStream(reinterpret_cast<const KSDATAFORMAT*>(block.get()), 0)) << size;
    }
}

TEST(FormatRequests, ProposeAndSetAcceptOfferedFormatsAndChangeNothing)
{
    for (SRB_COMMAND command : {SRB_PROPOSE_DATA_FORMAT, SRB_SET_DATA_FORMAT}) {
        const auto offered = AsFormat(CaptureFormats[2]);  // 176 x 144, whatever is running
        auto copy = offered;
        FormatRequest r(command, 0, &copy);
        EXPECT_EQ(StreamFormatRequest(&r.Srb), STATUS_SUCCESS);
        EXPECT_EQ(r.Srb.Status, STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&copy, &offered, sizeof(copy)), 0);
        EXPECT_EQ(r.Srb.ActualBytesTransferred, 0xDEADBEEFu);

        const auto vga = AsFormat(BuildVideoRange(FormatKind::I420, 640, 480, KS_VIDEOSTREAM_CAPTURE));
        FormatRequest refused(command, 0, &vga);
        EXPECT_EQ(StreamFormatRequest(&refused.Srb), STATUS_NO_MATCH);
        EXPECT_EQ(refused.Srb.Status, STATUS_NO_MATCH);

        FormatRequest still(command, 1, &vga);
        EXPECT_EQ(StreamFormatRequest(&still.Srb), STATUS_SUCCESS);

        FormatRequest noStream(command, 0, &offered);
        noStream.Srb.StreamObject = nullptr;
        EXPECT_EQ(StreamFormatRequest(&noStream.Srb), STATUS_NO_MATCH);
    }
}

// The control hook answers the three format requests itself (the library
// would answer a get with its own "not implemented" too, so only the
// completion shows who did) and leaves everything else to the library; every
// request leaves the hook with a success status in place of the preloaded
// pending one.
TEST(FormatRequests, HookCompletesFormatRequestsAndPassesTheRestOnWithSuccess)
{
    const auto offered = AsFormat(CaptureFormats[0]);
    const struct {
        SRB_COMMAND Command;
        BOOLEAN Completed;
        NTSTATUS Status;
    } cases[] = {
        {SRB_GET_DATA_FORMAT, TRUE, static_cast<NTSTATUS>(0xC0000002)},
        {SRB_PROPOSE_DATA_FORMAT, TRUE, STATUS_SUCCESS},
        {SRB_SET_DATA_FORMAT, TRUE, STATUS_SUCCESS},
        {SRB_SET_STREAM_STATE, FALSE, STATUS_SUCCESS},
        {SRB_GET_STREAM_STATE, FALSE, STATUS_SUCCESS},
        {SRB_GET_STREAM_PROPERTY, FALSE, STATUS_SUCCESS},
        {SRB_OPEN_MASTER_CLOCK, FALSE, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Command);
        FormatRequest r(c.Command, 0, &offered);
        r.Srb.Status = STATUS_PENDING;
        BOOLEAN completed = 0xAA;
        // A completion of a block the stream class never sent is counted as
        // a misuse: here it is the sign that the hook completed the request.
        const std::uint64_t completionsBefore = host::StreamClassMisuse();
        StreamControlHook(&r.Srb, nullptr, &completed);
        EXPECT_EQ(completed, c.Completed);
        EXPECT_EQ(r.Srb.Status, c.Status);
        EXPECT_EQ(host::StreamClassMisuse() - completionsBefore, c.Completed ? 1u : 0u);
    }

    // StreamFormatRequest itself leaves other commands alone.
    FormatRequest state(SRB_SET_STREAM_STATE, 0, nullptr);
    state.Srb.Status = STATUS_PENDING;
    EXPECT_EQ(StreamFormatRequest(&state.Srb), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(state.Srb.Status, STATUS_PENDING);
}

KS_BITMAPINFOHEADER Bitmap(LONG Width, LONG Height, WORD Bits)
{
    KS_BITMAPINFOHEADER h{};
    h.biSize = sizeof(h);
    h.biWidth = Width;
    h.biHeight = Height;
    h.biBitCount = Bits;
    return h;
}

TEST(DibImageSize, RowsArePaddedToFourBytesAndHeightIsUnsigned)
{
    EXPECT_EQ(DibImageSize(Bitmap(176, 144, 12)), 38016u);   // stride 264
    EXPECT_EQ(DibImageSize(Bitmap(320, 240, 24)), 230400u);  // stride 960
    EXPECT_EQ(DibImageSize(Bitmap(1, 1, 24)), 4u);
    EXPECT_EQ(DibImageSize(Bitmap(3, 2, 8)), 8u);
    EXPECT_EQ(DibImageSize(Bitmap(5, 1, 1)), 4u);
    EXPECT_EQ(DibImageSize(Bitmap(33, 1, 1)), 8u);
    EXPECT_EQ(DibImageSize(Bitmap(320, -240, 24)), 230400u);
    EXPECT_EQ(DibImageSize(Bitmap(320, 240, 0)), 0u);
}

TEST(DibImageSize, SizesBeyondThirtyTwoBitsGiveZeroNotAWrappedValue)
{
    EXPECT_EQ(DibImageSize(Bitmap(65536, 65536, 8)), 0u);    // exactly 4 GiB
    EXPECT_EQ(DibImageSize(Bitmap(65536, 65535, 8)), 0xFFFF0000u);
    EXPECT_EQ(DibImageSize(Bitmap(INT32_MAX, 1, 0xFFFF)), 0u);
    EXPECT_EQ(DibImageSize(Bitmap(100, INT32_MIN, 8)), 0u);
    EXPECT_EQ(DibImageSize(Bitmap(-320, 240, 24)), 0u);
}

}  // namespace
}  // namespace dualcam::driver
