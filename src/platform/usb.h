// USB descriptors (USB 2.0 section 9.6) and the bus driver's interface, pipe
// and isochronous packet records.
//
// Hard part: the descriptors are packed wire records (9.6: little-endian,
// no padding), while the bus driver records are natural-aligned x64 structs.
// USBD_INTERFACE_INFORMATION is variable-length: it ends in NumberOfPipes
// pipe records of which the struct declares the first; its Length field is
// GET_USBD_INTERFACE_SIZE(NumberOfPipes).
#pragma once

#include "platform/kernel.h"

// ---- Descriptors (USB 2.0, 9.6) --------------------------------------------

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;

constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;

#pragma pack(push, 1)

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;  // this descriptor plus every interface and endpoint descriptor after it
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;  // in 2 mA units
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;  // bits 10..0 size, bits 12..11 extra transactions per microframe
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

// ---- Bus driver records ----------------------------------------------------

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

// Completion status of a transfer or of one isochronous packet. Values with
// the top two bits set are errors.
typedef LONG USBD_STATUS;

constexpr bool USBD_SUCCESS(USBD_STATUS Status) { return Status >= 0; }
constexpr bool USBD_ERROR(USBD_STATUS Status) { return (static_cast<ULONG>(Status) >> 30) == 3; }

constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_CRC = static_cast<USBD_STATUS>(0xC0000001u);
constexpr USBD_STATUS USBD_STATUS_BTSTUFF = static_cast<USBD_STATUS>(0xC0000002u);
constexpr USBD_STATUS USBD_STATUS_DATA_TOGGLE_MISMATCH = static_cast<USBD_STATUS>(0xC0000003u);
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004u);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005u);
constexpr USBD_STATUS USBD_STATUS_DATA_OVERRUN = static_cast<USBD_STATUS>(0xC0000008u);
constexpr USBD_STATUS USBD_STATUS_DATA_UNDERRUN = static_cast<USBD_STATUS>(0xC0000009u);
constexpr USBD_STATUS USBD_STATUS_BUFFER_OVERRUN = static_cast<USBD_STATUS>(0xC000000Cu);
constexpr USBD_STATUS USBD_STATUS_BUFFER_UNDERRUN = static_cast<USBD_STATUS>(0xC000000Du);
constexpr USBD_STATUS USBD_STATUS_NOT_ACCESSED = static_cast<USBD_STATUS>(0xC000000Fu);
constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_BY_HW = static_cast<USBD_STATUS>(0xC0020000u);
constexpr USBD_STATUS USBD_STATUS_ISO_TD_ERROR = static_cast<USBD_STATUS>(0xC0030000u);
constexpr USBD_STATUS USBD_STATUS_ISO_NA_LATE_USBPORT = static_cast<USBD_STATUS>(0xC0040000u);
constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_LATE = static_cast<USBD_STATUS>(0xC0050000u);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300u);
constexpr USBD_STATUS USBD_STATUS_NO_BANDWIDTH = static_cast<USBD_STATUS>(0x80000700u);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000u);

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
} USBD_PIPE_TYPE;

constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 0x1000;

typedef struct _USBD_PIPE_INFORMATION {
    // Filled in by the bus driver when the interface is selected.
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    // Set by the caller before the selection.
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;  // bytes, including every pipe record
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    // Filled in by the bus driver.
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];  // NumberOfPipes records follow in place
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

// Size of an interface record with room for the given number of pipes (at
// least one record is always counted, as the struct declares it).
constexpr ULONG GET_USBD_INTERFACE_SIZE(ULONG NumberOfEndpoints)
{
    return static_cast<ULONG>(sizeof(USBD_INTERFACE_INFORMATION) +
                              sizeof(USBD_PIPE_INFORMATION) * (NumberOfEndpoints > 0 ? NumberOfEndpoints - 1 : 0));
}

// One packet of an isochronous transfer: where its data lies in the transfer
// buffer, how many bytes arrived and how the packet completed.
typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
