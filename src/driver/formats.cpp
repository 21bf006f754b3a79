// The offered video formats, built at compile time by one rule, and the three
// negotiation answers: data intersection, the list check at open, propose and
// set, and the format requests of the stream control hook.
//
// Hard part: the caller's range is untrusted memory of unknown length. Only
// its 4-byte FormatSize is read before anything else; the rest is read only
// once FormatSize has been found equal to an offered record's, which vouches
// for that many bytes. The answer's length comes from the record, not from
// the caller's biSize, and is written only after the output size was checked.
#include "driver/formats.h"

#include <cstring>
#include <iterator>

namespace dualcam::driver {
namespace {

struct KindTraits {
    const GUID* SubFormat;
    DWORD Compression;  // biCompression
    WORD BitCount;      // biBitCount; also gives the image size: w * h * bits / 8
};

constexpr KindTraits kKinds[] = {
    {&KSDATAFORMAT_SUBTYPE_I420, kFourccI420, 12},  // FormatKind::I420
    {&KSDATAFORMAT_SUBTYPE_RGB24, KS_BI_RGB, 24},   // FormatKind::Rgb24
    {&KSDATAFORMAT_SUBTYPE_VQJ9, kFourccVqj9, 16},  // FormatKind::Vqj9
};

constexpr const KindTraits& TraitsOf(FormatKind Kind) { return kKinds[static_cast<int>(Kind)]; }

constexpr KS_DATARANGE_VIDEO MakeVideoRange(FormatKind Kind, LONG Width, LONG Height, DWORD StreamFlags)
{
    const KindTraits& traits = TraitsOf(Kind);
    const LONG pixels = Width * Height;
    const ULONG imageSize = static_cast<ULONG>(pixels) * traits.BitCount / 8;
    const LONG minBits = pixels * traits.BitCount * 6;  // at 6 frames per second
    const LONG maxBits = pixels * traits.BitCount * 30;  // at 30 frames per second

    KS_DATARANGE_VIDEO r{};  // every field and hole starts at zero

    r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    r.DataRange.Flags = 0;
    r.DataRange.SampleSize = imageSize;
    r.DataRange.Reserved = 0;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    r.DataRange.SubFormat = *traits.SubFormat;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;

    r.bFixedSizeSamples = 1;
    r.bTemporalCompression = 1;
    r.StreamDescriptionFlags = StreamFlags;
    r.MemoryAllocationFlags = 0;

    KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
    caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    caps.VideoStandard = KS_AnalogVideo_None;
    caps.InputSize = {Width, Height};
    caps.MinCroppingSize = {Width, Height};
    caps.MaxCroppingSize = {Width, Height};
    caps.CropGranularityX = 1;
    caps.CropGranularityY = 1;
    caps.CropAlignX = 1;
    caps.CropAlignY = 1;
    caps.MinOutputSize = {Width, Height};
    caps.MaxOutputSize = {Width, Height};
    caps.OutputGranularityX = 1;
    caps.OutputGranularityY = 1;
    caps.StretchTapsX = 0;
    caps.StretchTapsY = 0;
    caps.ShrinkTapsX = 0;
    caps.ShrinkTapsY = 0;
    caps.AlignmentPad = 0;
    caps.MinFrameInterval = kMinFrameInterval;
    caps.MaxFrameInterval = kMaxFrameInterval;
    caps.MinBitsPerSecond = minBits;
    caps.MaxBitsPerSecond = maxBits;

    KS_VIDEOINFOHEADER& vih = r.VideoInfoHeader;
    vih.rcSource = {0, 0, 0, 0};
    vih.rcTarget = {0, 0, 0, 0};
    vih.dwBitRate = static_cast<DWORD>(maxBits);
    vih.dwBitErrorRate = 0;
    vih.AvgTimePerFrame = kMinFrameInterval;

    KS_BITMAPINFOHEADER& bmi = vih.bmiHeader;
    bmi.biSize = sizeof(KS_BITMAPINFOHEADER);
    bmi.biWidth = Width;
    bmi.biHeight = Height;  // positive: the orientation of the kind's own layout
    bmi.biPlanes = 1;
    bmi.biBitCount = traits.BitCount;
    bmi.biCompression = traits.Compression;
    bmi.biSizeImage = imageSize;
    bmi.biXPelsPerMeter = 0;
    bmi.biYPelsPerMeter = 0;
    bmi.biClrUsed = 0;
    bmi.biClrImportant = 0;
    return r;
}

struct Shape {
    FormatKind Kind;
    LONG Width;
    LONG Height;
};

constexpr Shape kCaptureShapes[kCaptureFormatCount] = {
    {FormatKind::I420, 320, 240},  {FormatKind::I420, 352, 288},  {FormatKind::I420, 176, 144},
    {FormatKind::I420, 160, 120},  {FormatKind::Rgb24, 352, 288}, {FormatKind::Rgb24, 320, 240},
    {FormatKind::Rgb24, 176, 144}, {FormatKind::Rgb24, 160, 120}, {FormatKind::Vqj9, 352, 288},
    {FormatKind::Vqj9, 320, 240},  {FormatKind::Vqj9, 176, 144},  {FormatKind::Vqj9, 160, 120},
};

// The still list holds these five sizes, in this order, for each kind in turn.
constexpr SIZE kStillSizes[] = {{320, 240}, {160, 120}, {176, 144}, {352, 288}, {640, 480}};
constexpr FormatKind kStillKinds[] = {FormatKind::I420, FormatKind::Rgb24, FormatKind::Vqj9};
static_assert(std::size(kStillSizes) * std::size(kStillKinds) == kStillFormatCount);

constexpr std::array<KS_DATARANGE_VIDEO, kCaptureFormatCount> MakeCaptureFormats()
{
    std::array<KS_DATARANGE_VIDEO, kCaptureFormatCount> list{};
    for (ULONG i = 0; i < kCaptureFormatCount; ++i) {
        const Shape& s = kCaptureShapes[i];
        list[i] = MakeVideoRange(s.Kind, s.Width, s.Height, KS_VIDEOSTREAM_CAPTURE);
    }
    return list;
}

constexpr std::array<KS_DATARANGE_VIDEO, kStillFormatCount> MakeStillFormats()
{
    std::array<KS_DATARANGE_VIDEO, kStillFormatCount> list{};
    ULONG i = 0;
    for (FormatKind kind : kStillKinds) {
        for (const SIZE& size : kStillSizes) {
            list[i++] = MakeVideoRange(kind, size.cx, size.cy, KS_VIDEOSTREAM_STILL);
        }
    }
    return list;
}

template <size_t N>
constexpr std::array<const KSDATARANGE*, N> MakePointerList(const std::array<KS_DATARANGE_VIDEO, N>& Formats)
{
    std::array<const KSDATARANGE*, N> list{};
    for (size_t i = 0; i < N; ++i) {
        list[i] = &Formats[i].DataRange;
    }
    return list;
}

constexpr bool SameGuid(const GUID& A, const GUID& B)
{
    if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (A.Data4[i] != B.Data4[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

constinit const std::array<KS_DATARANGE_VIDEO, kCaptureFormatCount> CaptureFormats = MakeCaptureFormats();
constinit const std::array<KS_DATARANGE_VIDEO, kStillFormatCount> StillFormats = MakeStillFormats();

namespace {

// The stream information record points at lists of pointers to the ranges.
constinit const std::array<const KSDATARANGE*, kCaptureFormatCount> kCaptureFormatList =
    MakePointerList(CaptureFormats);
constinit const std::array<const KSDATARANGE*, kStillFormatCount> kStillFormatList =
    MakePointerList(StillFormats);

// The connection's allocator framing and the dropped-frame counters.
constexpr KSPROPERTY_ITEM kConnectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSALLOCATOR_FRAMING), FALSE, nullptr, 0, nullptr, nullptr, sizeof(ULONG)),
};
constexpr KSPROPERTY_ITEM kDroppedFramesItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_DROPPEDFRAMES_CURRENT, TRUE, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                           sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), FALSE, nullptr, 0, nullptr, nullptr, 0),
};

// One standard medium is attached, though MediumsCount stays 0 and so
// announces none.
constexpr KSPIN_MEDIUM kStandardMedium = {KSMEDIUMSETID_Standard, 0, 0};

}  // namespace

constinit const std::array<KSPROPERTY_SET, kStreamPropertySetCount> StreamPropertySets = {{
    {&KSPROPSETID_Connection, 1, kConnectionItems, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr},
}};

namespace {

constexpr HW_STREAM_INFORMATION MakeStreamInfo(ULONG FormatCount, const KSDATARANGE* const* Formats,
                                               const GUID* PinName)
{
    HW_STREAM_INFORMATION info{};  // ClassReserved and Reserved stay zero
    info.NumberOfPossibleInstances = 1;
    info.DataFlow = KSPIN_DATAFLOW_OUT;
    info.DataAccessible = TRUE;
    info.NumberOfFormatArrayEntries = FormatCount;
    info.StreamFormatsArray = Formats;
    info.NumberOfPropertySets = kStreamPropertySetCount;
    info.StreamPropertiesArray = StreamPropertySets.data();
    info.NumberOfEventSets = 0;
    info.StreamEventsArray = nullptr;
    info.Category = PinName;
    info.Name = PinName;
    info.MediumsCount = 0;
    info.Mediums = &kStandardMedium;
    info.BridgeStream = FALSE;
    return info;
}

}  // namespace

constinit const HW_STREAM_INFORMATION CaptureStreamInfo =
    MakeStreamInfo(kCaptureFormatCount, kCaptureFormatList.data(), &PINNAME_VIDEO_CAPTURE);
constinit const HW_STREAM_INFORMATION StillStreamInfo =
    MakeStreamInfo(kStillFormatCount, kStillFormatList.data(), &PINNAME_VIDEO_STILL);

KS_DATARANGE_VIDEO BuildVideoRange(FormatKind Kind, LONG Width, LONG Height, DWORD StreamFlags)
{
    return MakeVideoRange(Kind, Width, Height, StreamFlags);
}

namespace {

// The offered list of a stream, or none for a stream this pin does not have.
const KS_DATARANGE_VIDEO* StreamFormatList(ULONG StreamNumber, ULONG* Count)
{
    switch (StreamNumber) {
    case kCaptureStreamNumber:
        *Count = kCaptureFormatCount;
        return CaptureFormats.data();
    case kStillStreamNumber:
        *Count = kStillFormatCount;
        return StillFormats.data();
    default:
        *Count = 0;
        return nullptr;
    }
}

// The match rule of the intersection, after the header: the flag words, the
// whole capabilities record byte for byte, and the signed width and height.
// Rates, times, rectangles and the rest of the bitmap header may differ.
bool SameRangeBody(const KS_DATARANGE_VIDEO& Caller, const KS_DATARANGE_VIDEO& Entry)
{
    return Caller.bFixedSizeSamples == Entry.bFixedSizeSamples &&
           Caller.bTemporalCompression == Entry.bTemporalCompression &&
           Caller.StreamDescriptionFlags == Entry.StreamDescriptionFlags &&
           Caller.MemoryAllocationFlags == Entry.MemoryAllocationFlags &&
           std::memcmp(&Caller.ConfigCaps, &Entry.ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) == 0 &&
           Caller.VideoInfoHeader.bmiHeader.biWidth == Entry.VideoInfoHeader.bmiHeader.biWidth &&
           Caller.VideoInfoHeader.bmiHeader.biHeight == Entry.VideoInfoHeader.bmiHeader.biHeight;
}

NTSTATUS Answer(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status)
{
    Srb->Status = Status;
    return Status;
}

}  // namespace

bool SameRangeHeader(const KSDATARANGE& A, const KSDATARANGE& B)
{
    return A.FormatSize == B.FormatSize && SameGuid(A.MajorFormat, B.MajorFormat) &&
           SameGuid(A.SubFormat, B.SubFormat) && SameGuid(A.Specifier, B.Specifier);
}

NTSTATUS IntersectDataRange(PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (Srb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const STREAM_DATA_INTERSECT_INFO* info = Srb->CommandData.IntersectInfo;
    if (info == nullptr || info->DataRange == nullptr) {
        return Answer(Srb, STATUS_INVALID_PARAMETER);
    }

    ULONG count = 0;
    const KS_DATARANGE_VIDEO* list = StreamFormatList(info->StreamNumber, &count);

    // Every offered record is a KS_DATARANGE_VIDEO, so a range of any other
    // length matches none; one of this length is taken whole into a local
    // copy, which also frees the comparison from the caller's alignment.
    ULONG formatSize = 0;
    std::memcpy(&formatSize, info->DataRange, sizeof(formatSize));
    if (list == nullptr || formatSize != sizeof(KS_DATARANGE_VIDEO)) {
        return Answer(Srb, STATUS_NO_MATCH);
    }
    KS_DATARANGE_VIDEO caller;
    std::memcpy(&caller, info->DataRange, sizeof(caller));

    const KS_DATARANGE_VIDEO* match = nullptr;
    for (ULONG i = 0; i < count && match == nullptr; ++i) {
        if (SameRangeHeader(caller.DataRange, list[i].DataRange) && SameRangeBody(caller, list[i])) {
            match = &list[i];
        }
    }
    if (match == nullptr) {
        return Answer(Srb, STATUS_NO_MATCH);
    }

    // The answer is the caller's range recast as a format. Its bitmap header
    // is the one the range holds: a 296-byte range has room for exactly one
    // 40-byte header and no palette or masks, so a biSize that claims more
    // (or less) does not size the answer, and the answer says 40.
    const ULONG needed = kAnswerFixedSize + sizeof(KS_BITMAPINFOHEADER);
    static_assert(kAnswerFixedSize + sizeof(KS_BITMAPINFOHEADER) == sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));

    if (info->SizeOfDataFormatBuffer == 0) {
        Srb->ActualBytesTransferred = needed;
        return Answer(Srb, STATUS_BUFFER_OVERFLOW);
    }
    if (info->SizeOfDataFormatBuffer < needed) {
        return Answer(Srb, STATUS_BUFFER_TOO_SMALL);
    }
    if (info->DataFormatBuffer == nullptr) {
        return Answer(Srb, STATUS_INVALID_PARAMETER);
    }

    KS_DATAFORMAT_VIDEOINFOHEADER answer;
    answer.DataFormat = caller.DataRange;
    answer.DataFormat.FormatSize = needed;
    answer.VideoInfoHeader = caller.VideoInfoHeader;
    answer.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    const ULONG imageSize = DibImageSize(answer.VideoInfoHeader.bmiHeader);
    answer.DataFormat.SampleSize = imageSize;
    answer.VideoInfoHeader.bmiHeader.biSizeImage = imageSize;

    std::memcpy(info->DataFormatBuffer, &answer, needed);
    Srb->ActualBytesTransferred = needed;
    return Answer(Srb, STATUS_SUCCESS);
}

bool FormatMatchesStream(const KSDATAFORMAT* Format, ULONG StreamNumber)
{
    ULONG count = 0;
    const KS_DATARANGE_VIDEO* list = StreamFormatList(StreamNumber, &count);
    if (list == nullptr || Format == nullptr) {
        return false;
    }
    // The fields compared lie in the format header and the bitmap header;
    // a format too short to hold both is refused rather than read past.
    ULONG formatSize = 0;
    std::memcpy(&formatSize, Format, sizeof(formatSize));
    if (formatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return false;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    std::memcpy(&format, Format, sizeof(format));

    const KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
    for (ULONG i = 0; i < count; ++i) {
        const KSDATARANGE& entry = list[i].DataRange;
        const KS_BITMAPINFOHEADER& entryBmi = list[i].VideoInfoHeader.bmiHeader;
        if (SameGuid(format.DataFormat.MajorFormat, entry.MajorFormat) &&
            SameGuid(format.DataFormat.SubFormat, entry.SubFormat) &&
            SameGuid(format.DataFormat.Specifier, entry.Specifier) && bmi.biWidth == entryBmi.biWidth &&
            bmi.biHeight == entryBmi.biHeight) {
            return true;
        }
    }
    return false;
}

ULONG DibImageSize(const KS_BITMAPINFOHEADER& Header)
{
    // Rows are whole 32-bit words: ((width * bits + 31) / 32) * 4 bytes.
    // Worked in 64 bits so that no width or bit count can overflow.
    const LONGLONG rowBits = static_cast<LONGLONG>(Header.biWidth) * Header.biBitCount;
    if (rowBits < 0) {
        return 0;
    }
    const LONGLONG stride = ((rowBits + 31) >> 3) & ~LONGLONG{3};
    const LONGLONG rows = Header.biHeight < 0 ? -static_cast<LONGLONG>(Header.biHeight) : Header.biHeight;
    if (stride > 0xFFFFFFFFLL) {
        return 0;
    }
    const LONGLONG size = stride * rows;  // below 2^32 * 2^31: no overflow
    return size > 0xFFFFFFFFLL ? 0 : static_cast<ULONG>(size);
}

NTSTATUS StreamFormatRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (Srb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (Srb->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
    case SRB_SET_DATA_FORMAT: {
        // Acceptance changes nothing: the capture runs with the format the
        // class library hands over when it starts, so setting another size
        // on a running stream succeeds and the pictures keep their size.
        const bool offered = Srb->StreamObject != nullptr &&
                             FormatMatchesStream(Srb->CommandData.OpenFormat, Srb->StreamObject->StreamNumber);
        return Answer(Srb, offered ? STATUS_SUCCESS : STATUS_NO_MATCH);
    }
    case SRB_GET_DATA_FORMAT:
        return Answer(Srb, STATUS_NOT_IMPLEMENTED);
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

}  // namespace dualcam::driver
