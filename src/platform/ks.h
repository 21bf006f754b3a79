// Kernel-streaming records: data formats and ranges, the video-info and
// bitmap headers, the video stream capabilities, property identifiers, items
// and sets, the video-capture property buffers, and the GUIDs that name them.
//
// Hard part: these are wire records. Applications hand them in and read them
// back by offset, and the negotiation compares ConfigCaps byte for byte, so
// every record keeps the platform's published x64 layout exactly, alignment
// holes included: the holes are spelled out as zero fields where the bytes
// take part in a comparison, and every published size and the offsets that
// code relies on are asserted below. Declarations only.
#pragma once

#include <cstddef>
#include <type_traits>

#include "platform/kernel.h"

// ---- Small geometry records -------------------------------------------------

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;
static_assert(sizeof(RECT) == 16);

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;
static_assert(sizeof(SIZE) == 8);

typedef LONG BOOL;
typedef ULONG DWORD;
typedef USHORT WORD;
typedef LONGLONG REFERENCE_TIME;  // 100 ns units

// ---- Identifiers: properties, methods, events, mediums ---------------------

// Set GUID, item id and request flags. The platform declares it as a union
// with a LONGLONG, which only forces 8-byte alignment; alignas does the same.
typedef struct alignas(8) KSIDENTIFIER {
    GUID Set;
    ULONG Id;
    ULONG Flags;
} KSIDENTIFIER, *PKSIDENTIFIER;
static_assert(sizeof(KSIDENTIFIER) == 24);

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY;
typedef KSIDENTIFIER KSMETHOD, *PKSMETHOD;
typedef KSIDENTIFIER KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

// KSPROPERTY.Flags
constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
constexpr ULONG KSPROPERTY_TYPE_SETSUPPORT = 0x00000100;
constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSPROPERTY_TYPE_RELATIONS = 0x00000400;
constexpr ULONG KSPROPERTY_TYPE_SERIALIZESET = 0x00000800;
constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZESET = 0x00001000;
constexpr ULONG KSPROPERTY_TYPE_SERIALIZERAW = 0x00002000;
constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZERAW = 0x00004000;
constexpr ULONG KSPROPERTY_TYPE_SERIALIZESIZE = 0x00008000;
constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;
constexpr ULONG KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

// A list answer: Size counts this header and the items that follow it.
typedef struct KSMULTIPLE_ITEM {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);

// ---- Data formats and ranges -----------------------------------------------

// FormatSize counts this header and the specifier-dependent record behind it.
typedef struct alignas(8) KSDATAFORMAT {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16);
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);

typedef enum KSPIN_DATAFLOW {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT = 2,
} KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum KSSTATE {
    KSSTATE_STOP = 0,
    KSSTATE_ACQUIRE = 1,
    KSSTATE_PAUSE = 2,
    KSSTATE_RUN = 3,
} KSSTATE, *PKSSTATE;
static_assert(sizeof(KSSTATE) == 4);

// Presentation time as a fraction of seconds: Time * Numerator / Denominator.
typedef struct alignas(8) KSTIME {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;
static_assert(sizeof(KSTIME) == 16);

// The header of every data buffer of a stream read or write.
typedef struct KSSTREAM_HEADER {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;  // bytes the buffer can hold
    ULONG DataUsed;     // bytes the producer filled
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;  // present in the 64-bit layout only
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
static_assert(sizeof(void*) != 8 || sizeof(KSSTREAM_HEADER) == 56);

constexpr ULONG KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT = 0x00000001;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_PREROLL = 0x00000002;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY = 0x00000004;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TYPECHANGED = 0x00000008;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x00000010;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY = 0x00000040;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x00000100;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM = 0x00000200;

// ---- Video formats ----------------------------------------------------------

// Bitmap header (the device-independent bitmap's, 40 bytes). A positive
// biHeight is a bottom-up picture.
typedef struct KS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);
static_assert(offsetof(KS_BITMAPINFOHEADER, biBitCount) == 14);
static_assert(offsetof(KS_BITMAPINFOHEADER, biSizeImage) == 20);

constexpr DWORD KS_BI_RGB = 0;

// The bitmap header is the last field: a header with a palette or bit masks
// continues past the end of this record, and biSize says by how much.
typedef struct alignas(8) KS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);

typedef struct KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    // The alignment hole before the 64-bit intervals. Named so that it is
    // always written: the whole record is compared byte for byte.
    ULONG AlignmentPad;
    LONGLONG MinFrameInterval;  // 100 ns units
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, InputSize) == 20);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinOutputSize) == 60);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsY) == 96);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);

typedef struct KS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;  // its bitmap header may run on
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
static_assert(offsetof(KS_DATARANGE_VIDEO, bFixedSizeSamples) == 64);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
// No hidden padding anywhere: equal values are equal bytes.
static_assert(std::has_unique_object_representations_v<KS_DATARANGE_VIDEO>);

typedef struct KS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;  // its bitmap header may run on
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;
static_assert(offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader) == 64);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);
static_assert(std::has_unique_object_representations_v<KS_DATAFORMAT_VIDEOINFOHEADER>);

// KS_DATARANGE_VIDEO.StreamDescriptionFlags
constexpr DWORD KS_VIDEOSTREAM_PREVIEW = 0x0001;
constexpr DWORD KS_VIDEOSTREAM_CAPTURE = 0x0002;
constexpr DWORD KS_VIDEOSTREAM_VBI = 0x0010;
constexpr DWORD KS_VIDEOSTREAM_NABTS = 0x0020;
constexpr DWORD KS_VIDEOSTREAM_CC = 0x0100;
constexpr DWORD KS_VIDEOSTREAM_EDS = 0x0200;
constexpr DWORD KS_VIDEOSTREAM_TELETEXT = 0x0400;
constexpr DWORD KS_VIDEOSTREAM_STILL = 0x1000;
constexpr DWORD KS_VIDEOSTREAM_IS_VPE = 0x8000;

constexpr ULONG KS_AnalogVideo_None = 0;

// ---- Property items and sets -----------------------------------------------

struct _IRP;
typedef struct _IRP* PIRP;

typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

typedef struct KSPROPERTY_MEMBERSHEADER {
    ULONG MembersFlags;  // KSPROPERTY_MEMBER_*
    ULONG MembersSize;   // bytes of one member
    ULONG MembersCount;
    ULONG Flags;  // KSPROPERTY_MEMBER_FLAG_*
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);

constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;

typedef struct KSPROPERTY_BOUNDS_LONG {
    LONG SignedMinimum;
    LONG SignedMaximum;
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef struct KSPROPERTY_STEPPING_LONG {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

typedef struct KSPROPERTY_MEMBERSLIST {
    KSPROPERTY_MEMBERSHEADER MembersHeader;
    const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct KSPROPERTY_VALUES {
    KSIDENTIFIER PropTypeSet;  // KSPROPTYPESETID_General with a VT_* id
    ULONG MembersListCount;
    const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

constexpr ULONG VT_I4 = 3;
constexpr ULONG VT_UI4 = 19;

struct KSFASTPROPERTY_ITEM;

// An item's get and set slots hold either a handler or, in a minidriver's
// table, just a non-zero "supported" mark; the stream class reads the mark.
typedef struct KSPROPERTY_ITEM {
    ULONG PropertyId;
    union {
        PFNKSHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    ULONG MinProperty;  // bytes of property buffer the request must bring
    ULONG MinData;      // bytes of data buffer the request must bring
    union {
        PFNKSHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;
static_assert(sizeof(void*) != 8 || sizeof(KSPROPERTY_ITEM) == 72);

// A minidriver table entry, argument for argument the platform's item
// definition, with TRUE/FALSE marks in the get and set slots.
constexpr KSPROPERTY_ITEM DEFINE_KSPROPERTY_ITEM(ULONG PropertyId, BOOLEAN GetSupported, ULONG MinProperty,
                                                 ULONG MinData, BOOLEAN SetSupported,
                                                 const KSPROPERTY_VALUES* Values, ULONG RelationsCount,
                                                 const KSPROPERTY* Relations, PFNKSHANDLER SupportHandler,
                                                 ULONG SerializedSize)
{
    KSPROPERTY_ITEM Item{};
    Item.PropertyId = PropertyId;
    Item.GetSupported = GetSupported;
    Item.MinProperty = MinProperty;
    Item.MinData = MinData;
    Item.SetSupported = SetSupported;
    Item.Values = Values;
    Item.RelationsCount = RelationsCount;
    Item.Relations = Relations;
    Item.SupportHandler = SupportHandler;
    Item.SerializedSize = SerializedSize;
    return Item;
}

typedef struct KSPROPERTY_SET {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;
static_assert(sizeof(void*) != 8 || sizeof(KSPROPERTY_SET) == 40);

struct KSEVENT_SET;
typedef KSEVENT_SET* PKSEVENT_SET;
struct KSMETHOD_SET;
typedef KSMETHOD_SET* PKSMETHOD_SET;
struct KSTOPOLOGY;
typedef KSTOPOLOGY* PKSTOPOLOGY;

// ---- Stream properties answered by the camera class library ---------------

constexpr ULONG KSPROPERTY_CONNECTION_STATE = 0;
constexpr ULONG KSPROPERTY_CONNECTION_PRIORITY = 1;
constexpr ULONG KSPROPERTY_CONNECTION_DATAFORMAT = 2;
constexpr ULONG KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3;
constexpr ULONG KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT = 4;

typedef struct KSALLOCATOR_FRAMING {
    ULONG OptionsFlags;  // also read as RequirementsFlags
    POOL_TYPE PoolType;
    ULONG Frames;
    ULONG FrameSize;
    ULONG FileAlignment;
    ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);

constexpr ULONG KSPROPERTY_DROPPEDFRAMES_CURRENT = 0;

typedef struct KSPROPERTY_DROPPEDFRAMES_CURRENT_S {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);

// ---- Video-capture device properties ----------------------------------------

constexpr ULONG KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_HUE = 2;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_SATURATION = 3;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_GAMMA = 5;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION = 8;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_GAIN = 9;

constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

typedef struct KSPROPERTY_VIDEOPROCAMP_S {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;         // KSPROPERTY_VIDEOPROCAMP_FLAGS_*
    ULONG Capabilities;  // the same flags: what the control can do
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;
static_assert(offsetof(KSPROPERTY_VIDEOPROCAMP_S, Value) == 24);
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);

constexpr ULONG KSPROPERTY_CAMERACONTROL_PAN = 0;
constexpr ULONG KSPROPERTY_CAMERACONTROL_TILT = 1;
constexpr ULONG KSPROPERTY_CAMERACONTROL_ROLL = 2;
constexpr ULONG KSPROPERTY_CAMERACONTROL_ZOOM = 3;
constexpr ULONG KSPROPERTY_CAMERACONTROL_EXPOSURE = 4;
constexpr ULONG KSPROPERTY_CAMERACONTROL_IRIS = 5;
constexpr ULONG KSPROPERTY_CAMERACONTROL_FOCUS = 6;

constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL = 0x0002;

typedef struct KSPROPERTY_CAMERACONTROL_S {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_CAMERACONTROL_S, *PKSPROPERTY_CAMERACONTROL_S;
static_assert(sizeof(KSPROPERTY_CAMERACONTROL_S) == 40);

constexpr ULONG KSPROPERTY_VIDEOCONTROL_CAPS = 0;
constexpr ULONG KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE = 1;
constexpr ULONG KSPROPERTY_VIDEOCONTROL_FRAME_RATES = 2;
constexpr ULONG KSPROPERTY_VIDEOCONTROL_MODE = 3;

constexpr ULONG KS_VideoControlFlag_FlipHorizontal = 0x0001;
constexpr ULONG KS_VideoControlFlag_FlipVertical = 0x0002;
constexpr ULONG KS_VideoControlFlag_ExternalTriggerEnable = 0x0004;
constexpr ULONG KS_VideoControlFlag_Trigger = 0x0008;

typedef struct KSPROPERTY_VIDEOCONTROL_CAPS_S {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG VideoControlCaps;  // KS_VideoControlFlag_*
} KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;
static_assert(offsetof(KSPROPERTY_VIDEOCONTROL_CAPS_S, StreamIndex) == 24);
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32);

typedef struct KSPROPERTY_VIDEOCONTROL_MODE_S {
    KSPROPERTY Property;
    ULONG StreamIndex;
    LONG Mode;  // KS_VideoControlFlag_*
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32);

typedef struct KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
    LONGLONG CurrentActualFrameRate;        // 100 ns per frame
    LONGLONG CurrentMaxAvailableFrameRate;  // 100 ns per frame
} KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, *PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;
static_assert(offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentActualFrameRate) == 40);
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56);

// The answer is a KSMULTIPLE_ITEM followed by Count LONGLONG frame intervals.
typedef struct KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
} KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S, *PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40);

// ---- GUIDs -------------------------------------------------------------------

// Format types.
inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RGB24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// FOURCC subtypes are the FOURCC in Data1 of the media-subtype base GUID.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_I420 = {
    0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Pins and mediums.
inline constexpr GUID PINNAME_VIDEO_CAPTURE = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID PINNAME_VIDEO_STILL = {
    0xFB6C428A, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID KSMEDIUMSETID_Standard = {
    0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// Property sets and property types.
inline constexpr GUID KSPROPSETID_Connection = {
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID PROPSETID_VIDCAP_DROPPEDFRAMES = {
    0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_CAMERACONTROL = {
    0xC6E13370, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCONTROL = {
    0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID KSPROPTYPESETID_General = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
