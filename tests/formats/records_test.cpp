// The offered format records and the stream information record, checked at
// their published byte offsets against the published capture and still
// lists (kind, size, image size and bit rates per row).
#include <gtest/gtest.h>

#include "format_bytes.h"

namespace dualcam::driver {
namespace {

using formats_test::BytesAt;
using formats_test::GuidBytes;
using formats_test::I64At;
using formats_test::U16At;
using formats_test::U32At;

constexpr const char* kVideo = "73646976-0000-0010-8000-00AA00389B71";
constexpr const char* kVideoInfo = "05589F80-C356-11CE-BF01-00AA0055595A";
constexpr const char* kI420 = "30323449-0000-0010-8000-00AA00389B71";
constexpr const char* kRgb24 = "E436EB7D-524F-11CE-9F53-0020AF0BA770";
constexpr const char* kVqj9 = "394A5156-0000-0010-8000-00AA00389B71";

struct Row {
    const char* SubFormat;
    std::uint32_t Compression;
    std::uint16_t BitCount;
    std::int32_t Width, Height;
    std::uint32_t ImageSize;
    std::uint32_t MinBits, MaxBits;
};

constexpr Row I420(std::int32_t w, std::int32_t h, std::uint32_t size, std::uint32_t lo, std::uint32_t hi)
{
    return {kI420, 0x30323449, 12, w, h, size, lo, hi};
}
constexpr Row Rgb(std::int32_t w, std::int32_t h, std::uint32_t size, std::uint32_t lo, std::uint32_t hi)
{
    return {kRgb24, 0, 24, w, h, size, lo, hi};
}
constexpr Row Vqj9(std::int32_t w, std::int32_t h, std::uint32_t size, std::uint32_t lo, std::uint32_t hi)
{
    return {kVqj9, 0x394A5156, 16, w, h, size, lo, hi};
}

const Row kCaptureRows[12] = {
    I420(320, 240, 115200, 5529600, 27648000),  I420(352, 288, 152064, 7299072, 36495360),
    I420(176, 144, 38016, 1824768, 9123840),    I420(160, 120, 28800, 1382400, 6912000),
    Rgb(352, 288, 304128, 14598144, 72990720),  Rgb(320, 240, 230400, 11059200, 55296000),
    Rgb(176, 144, 76032, 3649536, 18247680),    Rgb(160, 120, 57600, 2764800, 13824000),
    Vqj9(352, 288, 202752, 9732096, 48660480),  Vqj9(320, 240, 153600, 7372800, 36864000),
    Vqj9(176, 144, 50688, 2433024, 12165120),   Vqj9(160, 120, 38400, 1843200, 9216000),
};

const Row kStillRows[15] = {
    I420(320, 240, 115200, 5529600, 27648000),   I420(160, 120, 28800, 1382400, 6912000),
    I420(176, 144, 38016, 1824768, 9123840),     I420(352, 288, 152064, 7299072, 36495360),
    I420(640, 480, 460800, 22118400, 110592000), Rgb(320, 240, 230400, 11059200, 55296000),
    Rgb(160, 120, 57600, 2764800, 13824000),     Rgb(176, 144, 76032, 3649536, 18247680),
    Rgb(352, 288, 304128, 14598144, 72990720),   Rgb(640, 480, 921600, 44236800, 221184000),
    Vqj9(320, 240, 153600, 7372800, 36864000),   Vqj9(160, 120, 38400, 1843200, 9216000),
    Vqj9(176, 144, 50688, 2433024, 12165120),    Vqj9(352, 288, 202752, 9732096, 48660480),
    Vqj9(640, 480, 614400, 29491200, 147456000),
};

// Every byte of a 296-byte record, by offset.
void ExpectRecord(const KS_DATARANGE_VIDEO& Record, const Row& R, std::uint32_t StreamFlags)
{
    const void* p = &Record;
    // Range header.
    EXPECT_EQ(U32At(p, 0), 296u);
    EXPECT_EQ(U32At(p, 4), 0u);
    EXPECT_EQ(U32At(p, 8), R.ImageSize);
    EXPECT_EQ(U32At(p, 12), 0u);
    EXPECT_EQ(BytesAt(p, 16, 16), GuidBytes(kVideo));
    EXPECT_EQ(BytesAt(p, 32, 16), GuidBytes(R.SubFormat));
    EXPECT_EQ(BytesAt(p, 48, 16), GuidBytes(kVideoInfo));
    // Flag words.
    EXPECT_EQ(U32At(p, 64), 1u);
    EXPECT_EQ(U32At(p, 68), 1u);
    EXPECT_EQ(U32At(p, 72), StreamFlags);
    EXPECT_EQ(U32At(p, 76), 0u);
    // Capabilities at 80.
    EXPECT_EQ(BytesAt(p, 80, 16), GuidBytes(kVideoInfo));
    EXPECT_EQ(U32At(p, 96), 0u);
    for (size_t size : {100, 108, 116, 140, 148}) {  // input, cropping min/max, output min/max
        EXPECT_EQ(U32At(p, size), static_cast<std::uint32_t>(R.Width)) << size;
        EXPECT_EQ(U32At(p, size + 4), static_cast<std::uint32_t>(R.Height)) << size;
    }
    for (size_t one : {124, 128, 132, 136, 156, 160}) {  // granularities and alignments
        EXPECT_EQ(U32At(p, one), 1u) << one;
    }
    for (size_t zero : {164, 168, 172, 176, 180}) {  // taps and the alignment hole
        EXPECT_EQ(U32At(p, zero), 0u) << zero;
    }
    EXPECT_EQ(I64At(p, 184), 333333);
    EXPECT_EQ(I64At(p, 192), 1666667);
    EXPECT_EQ(U32At(p, 200), R.MinBits);
    EXPECT_EQ(U32At(p, 204), R.MaxBits);
    // Video-info header at 208: rectangles, rates, frame time.
    EXPECT_EQ(BytesAt(p, 208, 32), std::vector<std::uint8_t>(32, 0));
    EXPECT_EQ(U32At(p, 240), R.MaxBits);
    EXPECT_EQ(U32At(p, 244), 0u);
    EXPECT_EQ(I64At(p, 248), 333333);
    // Bitmap header at 256.
    EXPECT_EQ(U32At(p, 256), 40u);
    EXPECT_EQ(U32At(p, 260), static_cast<std::uint32_t>(R.Width));
    EXPECT_EQ(U32At(p, 264), static_cast<std::uint32_t>(R.Height));
    EXPECT_EQ(U16At(p, 268), 1u);
    EXPECT_EQ(U16At(p, 270), R.BitCount);
    EXPECT_EQ(U32At(p, 272), R.Compression);
    EXPECT_EQ(U32At(p, 276), R.ImageSize);
    EXPECT_EQ(BytesAt(p, 280, 16), std::vector<std::uint8_t>(16, 0));
}

TEST(FormatRecords, CaptureListIsTheTwelvePublishedRowsInOrder)
{
    ASSERT_EQ(CaptureFormats.size(), 12u);
    for (size_t i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        ExpectRecord(CaptureFormats[i], kCaptureRows[i], 0x0002);
    }
}

TEST(FormatRecords, StillListIsTheFifteenPublishedRowsInOrder)
{
    ASSERT_EQ(StillFormats.size(), 15u);
    for (size_t i = 0; i < 15; ++i) {
        SCOPED_TRACE(i);
        ExpectRecord(StillFormats[i], kStillRows[i], 0x1000);
    }
}

TEST(StreamInformation, CapturePinAnnouncesTwelveFormatsAndTwoPropertySets)
{
    const HW_STREAM_INFORMATION& info = CaptureStreamInfo;
    EXPECT_EQ(info.NumberOfPossibleInstances, 1u);
    EXPECT_EQ(info.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(info.DataAccessible, TRUE);
    ASSERT_EQ(info.NumberOfFormatArrayEntries, 12u);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(info.StreamFormatsArray[i], &CaptureFormats[i].DataRange);
    }
    EXPECT_EQ(BytesAt(info.Category, 0, 16), GuidBytes("FB6C4281-0353-11D1-905F-0000C0CC16BA"));
    EXPECT_EQ(info.Name, info.Category);
    EXPECT_EQ(info.MediumsCount, 0u);
    EXPECT_EQ(BytesAt(&info.Mediums->Set, 0, 16), GuidBytes("4747B320-62CE-11CF-A5D6-28DB04C10000"));
    EXPECT_EQ(info.NumberOfEventSets, 0u);
    EXPECT_EQ(info.BridgeStream, FALSE);

    ASSERT_EQ(info.NumberOfPropertySets, 2u);
    const KSPROPERTY_SET* sets = info.StreamPropertiesArray;
    EXPECT_EQ(BytesAt(sets[0].Set, 0, 16), GuidBytes("1D58C920-AC9B-11CF-A5D6-28DB04C10000"));
    EXPECT_EQ(BytesAt(sets[1].Set, 0, 16), GuidBytes("C6E13344-30AC-11D0-A18C-00A0C9118956"));
    ASSERT_EQ(sets[0].PropertiesCount, 1u);
    ASSERT_EQ(sets[1].PropertiesCount, 1u);
    const KSPROPERTY_ITEM& framing = sets[0].PropertyItem[0];
    EXPECT_EQ(framing.PropertyId, 3u);
    EXPECT_TRUE(framing.GetSupported);
    EXPECT_FALSE(framing.SetSupported);
    EXPECT_EQ(framing.MinProperty, 24u);
    EXPECT_EQ(framing.MinData, 24u);
    EXPECT_EQ(framing.SerializedSize, 4u);
    const KSPROPERTY_ITEM& dropped = sets[1].PropertyItem[0];
    EXPECT_EQ(dropped.PropertyId, 0u);
    EXPECT_TRUE(dropped.GetSupported);
    EXPECT_FALSE(dropped.SetSupported);
    EXPECT_EQ(dropped.MinProperty, 48u);
    EXPECT_EQ(dropped.MinData, 48u);
    EXPECT_EQ(dropped.SerializedSize, 0u);
}

TEST(StreamInformation, StillRecordDiffersOnlyInListAndPinName)
{
    const HW_STREAM_INFORMATION& still = StillStreamInfo;
    ASSERT_EQ(still.NumberOfFormatArrayEntries, 15u);
    for (size_t i = 0; i < 15; ++i) {
        EXPECT_EQ(still.StreamFormatsArray[i], &StillFormats[i].DataRange);
    }
    EXPECT_EQ(BytesAt(still.Category, 0, 16), GuidBytes("FB6C428A-0353-11D1-905F-0000C0CC16BA"));
    EXPECT_EQ(still.Name, still.Category);
    EXPECT_EQ(still.StreamPropertiesArray, CaptureStreamInfo.StreamPropertiesArray);
    EXPECT_EQ(still.Mediums, CaptureStreamInfo.Mediums);
}

}  // namespace
}  // namespace dualcam::driver
