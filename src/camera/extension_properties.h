// The device's own property sets: the camera extension set (mains
// frequency, still capture, the camera's information block, named values in
// the settings key, raw vendor requests) and the VfW key set (open the
// system's VfW-to-WDM mapping key, set values in it, close it).
//
// Hard part: both sets carry fixed-layout buffers from applications, and
// nothing in them may be trusted. No integer from a caller is ever used as
// a memory address: data travels inside the property buffer itself (the
// 1024-byte data area at offset 112 of the extension buffer), and a key
// handle is accepted only if this driver opened it and has not closed it.
// Text fields must end within their room, lengths must fit their fields,
// and a request that breaks a bound gets an error status and changes
// nothing: no camera request, no registry write.
//
// How a caller reaches data (the extension set's Value field):
// - CAMEXT_READ_INFO (get): the 1024-byte information block is copied into
//   the data area; Value = 1024, the number of bytes delivered there.
// - CAMEXT_WRITE_INFO (set): the block to write is taken from the data
//   area; Value must be 1024 (the bytes carried there), anything else is
//   refused with STATUS_INVALID_PARAMETER before the camera is asked.
// - CAMEXT_STILL_CAPTURE (get): when a still arrived, the first 1024 bytes
//   of its raw data (as the camera sent it; the compressed picture begins
//   4 bytes in) are copied into the data area and Value = 1024; when none
//   arrived in time Value = 0 and the data area is zeroed.
// Value is never an address in either direction.
#pragma once

#include <cstdint>

#include "driver/device_context.h"
#include "platform/kernel.h"
#include "platform/ntstatus.h"
#include "platform/streamclass.h"

namespace dualcam::camera {

using driver::DeviceContext;

// {F39DEDAB-6265-4E20-B386-0FD4C0555D91}
inline constexpr GUID PROPSETID_CAMERA_EXTENSION = {
    0xF39DEDAB, 0x6265, 0x4E20, {0xB3, 0x86, 0x0F, 0xD4, 0xC0, 0x55, 0x5D, 0x91}};
// {0E179372-ADA0-4F95-AE93-52F40D95168F}
inline constexpr GUID PROPSETID_VFWWDM_KEY = {
    0x0E179372, 0xADA0, 0x4F95, {0xAE, 0x93, 0x52, 0xF4, 0x0D, 0x95, 0x16, 0x8F}};

// ---- Camera extension set --------------------------------------------------

// Item ids.
inline constexpr ULONG CAMEXT_FLICKER = 5;
inline constexpr ULONG CAMEXT_UNUSED_7 = 7;
inline constexpr ULONG CAMEXT_UNUSED_8 = 8;
inline constexpr ULONG CAMEXT_STILL_CAPTURE = 9;
inline constexpr ULONG CAMEXT_READ_INFO = 11;
inline constexpr ULONG CAMEXT_WRITE_INFO = 12;
inline constexpr ULONG CAMEXT_REGISTRY_DWORD = 15;
inline constexpr ULONG CAMEXT_VENDOR_READ = 10004;
inline constexpr ULONG CAMEXT_VENDOR_WRITE = 10005;
inline constexpr ULONG CAMEXT_DECLARED_ONLY = 16394;  // announced with neither get nor set

// The 1136-byte extension buffer (little-endian; bytes not listed are
// neither read nor written, except the data area as described above).
inline constexpr ULONG kExtensionBufferSize = 1136;
inline constexpr ULONG kExtValueOffset = 28;           // ULONG Value
inline constexpr ULONG kExtNameOffset = 40;            // CHAR Name[64], zero-terminated
inline constexpr ULONG kExtNameSize = 64;
inline constexpr ULONG kExtRequestOffset = 104;        // USHORT: the low 8 bits are bRequest
inline constexpr ULONG kExtRequestValueOffset = 106;   // USHORT wValue
inline constexpr ULONG kExtRequestIndexOffset = 108;   // USHORT wIndex
inline constexpr ULONG kExtRequestLengthOffset = 110;  // USHORT wLength (reads)
inline constexpr ULONG kExtDataOffset = 112;           // UCHAR Data[1024]
inline constexpr ULONG kExtDataSize = 1024;

// A raw read lands in a 32-bit reply cell; longer reads are refused.
inline constexpr ULONG kVendorReplyCellSize = 4;

// Still capture: one request, then up to ten one-second waits for the still.
inline constexpr ULONG kStillWaitMs = 1000;
inline constexpr int kStillWaitLimit = 10;

NTSTATUS CameraExtensionGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);
NTSTATUS CameraExtensionSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);

// ---- VfW key set -----------------------------------------------------------

inline constexpr ULONG kVfwKeyPropertyId = 0;

// The system key the set opens.
inline constexpr WCHAR kVfwKeyPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\MediaResources\\MsVideo\\MsVideo.VfwWdm\\";

// The 1096-byte key buffer.
inline constexpr ULONG kVfwBufferSize = 1096;
inline constexpr ULONG kVfwCommandOffset = 24;    // ULONG: 1 close, 3 set a value
inline constexpr ULONG kVfwHandleInOffset = 28;   // ULONG handle given to close / set value
inline constexpr ULONG kVfwHandleOutOffset = 32;  // ULONG handle returned by the get
inline constexpr ULONG kVfwValueNameOffset = 44;  // WCHAR ValueName[260], zero-terminated
inline constexpr ULONG kVfwValueNameSize = 520;
inline constexpr ULONG kVfwDataLengthOffset = 564;
inline constexpr ULONG kVfwDataOffset = 568;
inline constexpr ULONG kVfwDataSize = 520;
inline constexpr ULONG kVfwValueTypeOffset = 1088;

inline constexpr ULONG kVfwCommandClose = 1;
inline constexpr ULONG kVfwCommandSetValue = 3;

// Key handles this driver may have open at once for callers, across all
// devices. A get beyond that closes the new handle again and fails with
// STATUS_INSUFFICIENT_RESOURCES. A handle stays in its slot until the caller
// closes it (command 1) or the last device goes (CloseVfwKeyHandles).
inline constexpr int kVfwHandleSlots = 16;

// Get: opens the key (KEY_ALL_ACCESS, case-insensitive name) and returns
// its handle at offset 32; Status is the open's status.
NTSTATUS VfwKeyGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);
// Set: command 1 closes the handle at offset 28, command 3 sets a value
// through it. A handle this driver did not open, or already closed, gets
// STATUS_INVALID_HANDLE; any other command STATUS_NOT_SUPPORTED.
NTSTATUS VfwKeySet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb);

// Number of key handles opened for callers and not yet closed.
int OpenVfwKeyHandles();

// Closes every key handle still in the table and frees its slot; returns
// how many it closed. Called when the last device goes. A handle a caller
// names after that gets STATUS_INVALID_HANDLE.
int CloseVfwKeyHandles();

}  // namespace dualcam::camera
