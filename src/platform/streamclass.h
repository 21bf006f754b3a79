// The stream class's minidriver interface: the request block with its command
// codes, the stream object, the stream header and stream information records
// announced at SRB_GET_STREAM_INFO, the data-intersection and property
// descriptors, and the two completion notifications.
//
// Hard part: the stream class and the camera class library read these records
// by field, and the stream information record is copied whole into the slot
// that follows the stream header, so field order and widths follow the
// platform's published x64 layout. That record holds ten pointers: it is
// 136 bytes on a 64-bit platform and 80 bytes on a 32-bit one, and code must
// copy sizeof(HW_STREAM_INFORMATION), never a literal size. Declarations only.
#pragma once

#include <cstddef>

#include "platform/kernel.h"
#include "platform/ks.h"

struct _HW_STREAM_REQUEST_BLOCK;
typedef struct _HW_STREAM_REQUEST_BLOCK HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;
struct _HW_STREAM_OBJECT;
typedef struct _HW_STREAM_OBJECT HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

// ---- Command codes -----------------------------------------------------------

// Stream requests (to a stream's data or control routine) count from 0;
// device requests (to the adapter's request routine) from 0x100.
typedef enum _SRB_COMMAND {
    SRB_READ_DATA = 0x00,
    SRB_WRITE_DATA = 0x01,
    SRB_GET_STREAM_STATE = 0x02,
    SRB_SET_STREAM_STATE = 0x03,
    SRB_SET_STREAM_PROPERTY = 0x04,
    SRB_GET_STREAM_PROPERTY = 0x05,
    SRB_OPEN_MASTER_CLOCK = 0x06,
    SRB_INDICATE_MASTER_CLOCK = 0x07,
    SRB_UNKNOWN_STREAM_COMMAND = 0x08,
    SRB_SET_STREAM_RATE = 0x09,
    SRB_PROPOSE_DATA_FORMAT = 0x0A,
    SRB_CLOSE_MASTER_CLOCK = 0x0B,
    SRB_PROPOSE_STREAM_RATE = 0x0C,
    SRB_SET_DATA_FORMAT = 0x0D,
    SRB_GET_DATA_FORMAT = 0x0E,
    SRB_BEGIN_FLUSH = 0x0F,
    SRB_END_FLUSH = 0x10,

    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM = 0x101,
    SRB_CLOSE_STREAM = 0x102,
    SRB_OPEN_DEVICE_INSTANCE = 0x103,
    SRB_CLOSE_DEVICE_INSTANCE = 0x104,
    SRB_GET_DEVICE_PROPERTY = 0x105,
    SRB_SET_DEVICE_PROPERTY = 0x106,
    SRB_INITIALIZE_DEVICE = 0x107,
    SRB_CHANGE_POWER_STATE = 0x108,
    SRB_UNINITIALIZE_DEVICE = 0x109,
    SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
    SRB_PAGING_OUT_DRIVER = 0x10B,
    SRB_GET_DATA_INTERSECTION = 0x10C,
    SRB_INITIALIZATION_COMPLETE = 0x10D,
    SRB_SURPRISE_REMOVAL = 0x10E,
} SRB_COMMAND;
static_assert(sizeof(SRB_COMMAND) == 4);

// HW_STREAM_REQUEST_BLOCK.Flags
constexpr ULONG SRB_HW_FLAGS_DATA_TRANSFER = 0x00000001;
constexpr ULONG SRB_HW_FLAGS_STREAM_REQUEST = 0x00000002;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5,
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

// ---- Records the request block points at -------------------------------------

// CommandData of SRB_GET_DATA_INTERSECTION. DataRange is the caller's range
// (its FormatSize says how long it is); the answer is written to
// DataFormatBuffer, which holds SizeOfDataFormatBuffer bytes.
typedef struct _STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;
static_assert(sizeof(void*) != 8 || sizeof(STREAM_DATA_INTERSECT_INFO) == 32);

// CommandData of the property requests. PropertyInfo holds PropertyOutputSize
// bytes for the answer; for the video-capture sets it is the same buffer as
// the property (the request structures repeat the KSPROPERTY at offset 0).
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID;  // index of the set in the table the driver announced
    PVOID PropertyInfo;
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

struct _HW_EVENT_DESCRIPTOR;
typedef NTSTATUS (*PHW_EVENT_ROUTINE)(struct _HW_EVENT_DESCRIPTOR* EventDescriptor);

struct _HW_TIME_CONTEXT;
typedef VOID (*PHW_CLOCK_FUNCTION)(struct _HW_TIME_CONTEXT* TimeContext);

typedef struct _HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

// Announcement of one stream (pin). StreamFormatsArray points at
// NumberOfFormatArrayEntries pointers to data ranges.
typedef struct _HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    const KSDATARANGE* const* StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumberOfPropertySets;
    const KSPROPERTY_SET* StreamPropertiesArray;
    ULONG NumberOfEventSets;
    const KSEVENT_SET* StreamEventsArray;
    const GUID* Category;
    const GUID* Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;
static_assert(sizeof(HW_STREAM_INFORMATION) == (sizeof(void*) == 8 ? 136 : 80));
static_assert(offsetof(HW_STREAM_INFORMATION, NumberOfFormatArrayEntries) == 12);
static_assert(sizeof(void*) != 8 || (offsetof(HW_STREAM_INFORMATION, NumberOfPropertySets) == 56 &&
                                     offsetof(HW_STREAM_INFORMATION, Category) == 88 &&
                                     offsetof(HW_STREAM_INFORMATION, Mediums) == 112 &&
                                     offsetof(HW_STREAM_INFORMATION, BridgeStream) == 120));

// Header of the SRB_GET_STREAM_INFO buffer; NumberOfStreams stream
// information records follow it directly (HW_STREAM_DESCRIPTOR).
typedef struct _HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    const KSPROPERTY_SET* DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    const KSEVENT_SET* DeviceEventsArray;
    const KSTOPOLOGY* Topology;
    PHW_EVENT_ROUTINE DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    const KSMETHOD_SET* DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;
static_assert(sizeof(void*) != 8 || sizeof(HW_STREAM_HEADER) == 72);

typedef struct _HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;  // the first of NumberOfStreams records
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;
static_assert(offsetof(HW_STREAM_DESCRIPTOR, StreamInfo) == sizeof(HW_STREAM_HEADER));

// ---- Stream object -----------------------------------------------------------

// A camera minidriver's per-stream hooks. It places them in the stream object
// at SRB_OPEN_STREAM; the camera class library then calls them with each
// stream request of that stream, the request's DeviceContext and a completion
// flag, before it handles the request itself. A hook that sets *Completed has
// completed the request (StreamClassStreamNotification) and the library leaves
// it alone; a hook that leaves it FALSE hands the request on. Both slot types
// are the same type as the library's PCAM_STREAM_HOOK.
typedef VOID (*PHW_RECEIVE_STREAM_DATA_SRB)(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext,
                                            PBOOLEAN Completed);
typedef VOID (*PHW_RECEIVE_STREAM_CONTROL_SRB)(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext,
                                               PBOOLEAN Completed);

typedef struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;  // index of the stream information record: 0 capture, 1 still
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG Reserved[2];
} HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

// ---- Request block -------------------------------------------------------------

struct _STREAM_TIME_REFERENCE;
struct _PORT_CONFIGURATION_INFORMATION;
struct _KSSCATTER_GATHER;

typedef struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;  // the answer; the stream class preloads it
    PHW_STREAM_OBJECT StreamObject;  // stream requests and SRB_OPEN/CLOSE_STREAM
    PVOID HwDeviceExtension;
    PVOID SRBExtension;
    // What the request carries depends on Command.
    union _CommandData {
        PKSSTREAM_HEADER DataBufferArray;             // SRB_READ_DATA, SRB_WRITE_DATA
        PHW_STREAM_DESCRIPTOR StreamBuffer;           // SRB_GET_STREAM_INFO
        KSSTATE StreamState;                          // SRB_GET/SET_STREAM_STATE
        struct _STREAM_TIME_REFERENCE* TimeReference;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;     // stream and device properties
        PKSDATAFORMAT OpenFormat;                     // SRB_OPEN_STREAM, SRB_PROPOSE/SET_DATA_FORMAT
        struct _PORT_CONFIGURATION_INFORMATION* ConfigInfo;  // SRB_INITIALIZE_DEVICE
        HANDLE MasterClockHandle;
        DEVICE_POWER_STATE DeviceState;               // SRB_CHANGE_POWER_STATE
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;    // SRB_GET_DATA_INTERSECTION
        PVOID FilterTypeIndex;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    struct _HW_STREAM_REQUEST_BLOCK* NextSRB;
    PIRP Irp;
    ULONG Flags;  // SRB_HW_FLAGS_*
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;  // bytes of answer, or the size an answer needs
    };
    struct _KSSCATTER_GATHER* ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG Reserved[1];
} HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

// ---- Notifications -------------------------------------------------------------

typedef enum _STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE {
    ReadyForNextDeviceRequest = 0,
    DeviceRequestComplete = 1,
    SignalMultipleDeviceEvents = 2,
    SignalDeviceEvent = 3,
    DeleteDeviceEvent = 4,
    SignalMultipleDeviceInstanceEvents = 5,
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

typedef enum _STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE {
    ReadyForNextStreamDataRequest = 0,
    ReadyForNextStreamControlRequest = 1,
    HardwareStarved = 2,
    StreamRequestComplete = 3,
    SignalMultipleStreamEvents = 4,
    SignalStreamEvent = 5,
    DeleteStreamEvent = 6,
    StreamNotificationMaximum = 7,
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

// The platform's routines take further arguments after these for event
// notifications; completing a request needs exactly these three, so this
// system declares them with a fixed list.
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK Srb);
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, PHW_STREAM_REQUEST_BLOCK Srb);
