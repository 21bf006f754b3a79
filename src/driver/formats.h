// The capture pin's offered video formats and their negotiation: the format
// records of the capture and still streams, the stream information record
// that announces the capture pin, the data-intersection answer, the check of
// a format against a stream's list, and the format requests of the stream
// control hook.
//
// Hard part: callers hand in ranges and formats as raw records whose lengths
// are whatever their headers claim. Every read of caller memory is bounded by
// the length the caller's own FormatSize vouches for, and every write by the
// output size the request gives; a length field inside the record (biSize) is
// never trusted to size a copy. The offered records themselves are compared
// byte for byte by callers, so they are built by one rule, with every byte
// (alignment hole included) fixed.
#pragma once

#include <array>

#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/streamclass.h"

namespace dualcam::driver {

// The three kinds of picture the pin offers.
enum class FormatKind : UCHAR {
    I420,   // planar YUV 4:2:0, 12 bits per pixel
    Rgb24,  // bottom-up rows of B, G, R
    Vqj9,   // the camera's compressed stream behind its own header
};

// FOURCCs as they appear in biCompression (first character in the low byte).
inline constexpr DWORD kFourccI420 = 0x30323449;  // "I420"
inline constexpr DWORD kFourccVqj9 = 0x394A5156;  // "VQJ9"

// The pass-through subtype: the FOURCC in the media-subtype base GUID.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_VQJ9 = {
    0x394A5156, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

inline constexpr ULONG kCaptureStreamNumber = 0;
inline constexpr ULONG kStillStreamNumber = 1;
inline constexpr ULONG kCaptureFormatCount = 12;
inline constexpr ULONG kStillFormatCount = 15;
inline constexpr ULONG kStreamPropertySetCount = 2;

// Frame intervals in 100 ns units: 30 and 6 frames per second.
inline constexpr LONGLONG kMinFrameInterval = 333333;
inline constexpr LONGLONG kMaxFrameInterval = 1666667;

// Size of an intersection answer without its bitmap header: the 64-byte
// format header and the 48 bytes of video-info header before bmiHeader.
inline constexpr ULONG kAnswerFixedSize =
    sizeof(KSDATAFORMAT) + offsetof(KS_VIDEOINFOHEADER, bmiHeader);
static_assert(kAnswerFixedSize == 112);

// The rule every offered record is built by: kind, width and height decide
// all fields; StreamFlags is KS_VIDEOSTREAM_CAPTURE or KS_VIDEOSTREAM_STILL.
KS_DATARANGE_VIDEO BuildVideoRange(FormatKind Kind, LONG Width, LONG Height, DWORD StreamFlags);

// The capture pin's list, in the order it is reported and searched.
extern const std::array<KS_DATARANGE_VIDEO, kCaptureFormatCount> CaptureFormats;
// The still pin's list (stream 1): consulted by the checks, never announced.
extern const std::array<KS_DATARANGE_VIDEO, kStillFormatCount> StillFormats;

// The stream information records of stream 0 and stream 1. The request
// routine copies CaptureStreamInfo whole (sizeof(HW_STREAM_INFORMATION)
// bytes) into the first slot after the stream header.
extern const HW_STREAM_INFORMATION CaptureStreamInfo;
extern const HW_STREAM_INFORMATION StillStreamInfo;

// The stream property sets (connection allocator framing and dropped frames),
// answered by the camera class library.
extern const std::array<KSPROPERTY_SET, kStreamPropertySetCount> StreamPropertySets;

// True when FormatSize, MajorFormat, SubFormat and Specifier are all equal.
bool SameRangeHeader(const KSDATARANGE& A, const KSDATARANGE& B);

// SRB_GET_DATA_INTERSECTION: finds the first offered range of the stream that
// matches the caller's and answers with the caller's range as a format.
// Sets Srb->Status (and ActualBytesTransferred when the answer is written or
// sized) and returns the status: STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW (an
// empty output buffer; ActualBytesTransferred is the size needed),
// STATUS_BUFFER_TOO_SMALL, STATUS_NO_MATCH, or STATUS_INVALID_PARAMETER for a
// request that carries no range or no output buffer behind a non-zero size.
NTSTATUS IntersectDataRange(PHW_STREAM_REQUEST_BLOCK Srb);

// True when Format (a KS_DATAFORMAT_VIDEOINFOHEADER) has the GUIDs, width and
// height of an entry of the stream's list. A format whose FormatSize is too
// short to hold a KS_DATAFORMAT_VIDEOINFOHEADER is never one.
bool FormatMatchesStream(const KSDATAFORMAT* Format, ULONG StreamNumber);

// Image size of a bitmap: rows padded to 4 bytes times |biHeight|. 0 for a
// header that describes no image representable in 32 bits (negative width,
// or a size of 4 GiB or more).
ULONG DibImageSize(const KS_BITMAPINFOHEADER& Header);

// SRB_PROPOSE_DATA_FORMAT, SRB_SET_DATA_FORMAT and SRB_GET_DATA_FORMAT as the
// stream control hook answers them: a proposed or set format succeeds when it
// is in the stream's list (nothing changes either way: the running format
// stays the one the capture started with), else STATUS_NO_MATCH; a get is
// STATUS_NOT_IMPLEMENTED. Sets Srb->Status and returns it; the caller
// completes the request. Any other command is left untouched and answered
// STATUS_NOT_SUPPORTED.
NTSTATUS StreamFormatRequest(PHW_STREAM_REQUEST_BLOCK Srb);

}  // namespace dualcam::driver
