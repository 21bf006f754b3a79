// The driver's front door: the entry point that registers with the camera
// class library, the stream class's request routine for device and
// stream-setup requests, and the two per-stream hooks placed at stream open.
//
// Hard part: most requests are carried out by the class library, and this
// routine only adds its own steps before or after it (status and mode values
// in the settings key, the stream-open refusal, the names at removal). Those
// steps must describe what actually happened: a stream open that the library
// refused must not be reported as an open stream, and once the device is
// gone (status 8) nothing may bring the status back, because the button poll
// reads it to know when to stop.
#pragma once

#include "platform/kernel.h"
#include "platform/streamclass.h"

namespace dualcam::driver {

// Registration constants handed to USBCAMD_DriverEntry.
inline constexpr ULONG kFrameContextSize = 4;

// DriverStatus numbers written by the request routine.
inline constexpr ULONG kStatusLoaded = 1;
inline constexpr ULONG kStatusStreamOpen = 5;
inline constexpr ULONG kStatusStreamClosed = 7;
inline constexpr ULONG kStatusRemoved = 8;

// The wait at uninitialize, relative, in 100 ns units: 2 s, four periods of
// the button poll's half-second sleep, so the poll sees status 8 and stops
// queueing itself before the device goes away.
inline constexpr LONGLONG kUninitializeWait = -20'000'000;

// Writes DriverStatus 1 and registers the driver (context size 1688, frame
// context size 4, DriverReceivePacket). Returns the library's status.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The request routine for every device and stream-setup request. Every
// request is completed, by the library or here, before it returns.
VOID DriverReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb);

// Per-stream hooks. The data hook leaves every request to the library. The
// control hook sets every request's Status to STATUS_SUCCESS, answers the
// format requests (propose, set, get) itself and completes them; state
// changes and everything else go on to the library.
VOID StreamDataHook(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext, PBOOLEAN Completed);
VOID StreamControlHook(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext, PBOOLEAN Completed);

// Sets RegBulkMode to 0xFFFFFFFF, then reads "BulkMode" into it; a missing
// value, or one that is not a 32-bit number, leaves 0xFFFFFFFF.
VOID QueryBulkMode(PVOID DeviceContext);

}  // namespace dualcam::driver
