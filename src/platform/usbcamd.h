// The USB camera class library's interface: the four library functions the
// driver calls and the twelve camera callbacks the driver hands it.
//
// Hard part: argument lists are fixed by the library, including the packet
// routine's tenth, extended argument (a byte flag beyond the first version's
// list) and the leading signature word of the callback table, so the slot
// order of USBCAMD_DEVICE_DATA must not change.
#pragma once

#include "platform/kernel.h"
#include "platform/usb.h"

// The stream class's request block; declared in full by the stream class.
struct _HW_STREAM_REQUEST_BLOCK;
typedef struct _HW_STREAM_REQUEST_BLOCK HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

// The minidriver's request routine as the stream class calls it.
typedef VOID (*PHW_RECEIVE_DEVICE_SRB)(PHW_STREAM_REQUEST_BLOCK Srb);

// Completion of an asynchronous vendor command (not used: the driver passes
// none and the command completes before the call returns).
typedef NTSTATUS (*PCOMMAND_COMPLETE_FUNCTION)(PVOID DeviceContext, PVOID CommandContext, NTSTATUS NtStatus);

// ---- Camera callbacks, in table order --------------------------------------

typedef NTSTATUS (*PCAM_INITIALIZE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS (*PCAM_UNINITIALIZE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// Returns the number of bytes of the data packet, from *PayloadOffset on, to
// append to the raw frame being gathered.
typedef ULONG (*PCAM_PROCESS_PACKET_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                             PVOID CurrentFrameContext, PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket,
                                             PVOID SyncBuffer, PUSBD_ISO_PACKET_DESCRIPTOR DataPacket,
                                             PVOID DataBuffer, PBOOLEAN FrameComplete, PULONG PayloadOffset,
                                             PBOOLEAN PacketFlag);

typedef VOID (*PCAM_NEW_VIDEO_FRAME_ROUTINE)(PVOID DeviceContext, PVOID FrameContext);

typedef NTSTATUS (*PCAM_PROCESS_RAW_FRAME_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                   PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                                   PVOID RawFrameBuffer, ULONG RawFrameLength,
                                                   ULONG NumberOfPackets, PULONG BytesReturned);

typedef NTSTATUS (*PCAM_START_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS (*PCAM_STOP_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// DataPipeIndex and SyncPipeIndex: the pipe numbers within Interface of the
// video data pipe and the sync pipe (-1 for none).
typedef NTSTATUS (*PCAM_CONFIGURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                           PUSBD_INTERFACE_INFORMATION Interface,
                                           PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PLONG DataPipeIndex, PLONG SyncPipeIndex);

typedef NTSTATUS (*PCAM_SAVE_STATE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS (*PCAM_RESTORE_STATE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// Format is the stream's negotiated data format (a KS_DATAFORMAT_VIDEOINFOHEADER).
typedef NTSTATUS (*PCAM_ALLOCATE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                             PULONG RawFrameLength, PVOID Format);
typedef NTSTATUS (*PCAM_FREE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

typedef struct _USBCAMD_DEVICE_DATA {
    ULONG Sig;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_UNINITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE CamProcessUSBPacket;
    PCAM_NEW_VIDEO_FRAME_ROUTINE CamNewVideoFrame;
    PCAM_PROCESS_RAW_FRAME_ROUTINE CamProcessRawVideoFrame;
    PCAM_START_CAPTURE_ROUTINE CamStartCapture;
    PCAM_STOP_CAPTURE_ROUTINE CamStopCapture;
    PCAM_CONFIGURE_ROUTINE CamConfigure;
    PCAM_SAVE_STATE_ROUTINE CamSaveState;
    PCAM_RESTORE_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE CamAllocateBandwidth;
    PCAM_FREE_BW_ROUTINE CamFreeBandwidth;
} USBCAMD_DEVICE_DATA, *PUSBCAMD_DEVICE_DATA;
static_assert(sizeof(USBCAMD_DEVICE_DATA) == 8 + 12 * sizeof(void*));

// Per-stream hook placed in the stream object at stream open: the library
// calls it before handling a stream request itself and skips its own handling
// when the hook sets *Completed.
typedef VOID (*PCAM_STREAM_HOOK)(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext, PBOOLEAN Completed);

// ---- Library functions -----------------------------------------------------

// Registers the minidriver with the stream class. DeviceContextSize bytes are
// allocated zero-filled per camera, FrameContextSize bytes per raw frame.
NTSTATUS USBCAMD_DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath, ULONG DeviceContextSize,
                             ULONG FrameContextSize, PHW_RECEIVE_DEVICE_SRB ReceivePacket);

// Returns the request's device context. With NeedsCompletion false that is
// all it does; with true it carries out and completes the request, calling
// the callbacks of DeviceData. DeviceData and DeviceObject may be null.
PVOID USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                   PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion);

// One vendor control request on the default pipe (USB 2.0, 9.3). GetData
// selects device-to-host; *BufferLength is the length to send or to receive
// and holds the length transferred afterwards.
NTSTATUS USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index, PVOID Buffer,
                                      PULONG BufferLength, BOOLEAN GetData,
                                      PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext);

// Selects RequestInterface->AlternateSetting and, on success, fills the pipe
// records of RequestInterface.
NTSTATUS USBCAMD_SelectAlternateInterface(PVOID DeviceContext, PUSBD_INTERFACE_INFORMATION RequestInterface);
