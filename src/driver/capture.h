// Capture set-up and tear-down: the camera callbacks the class library calls
// around each capture to reserve the bus bandwidth for the negotiated format
// (CamAllocateBandwidth), start and stop the camera's video (CamStartCapture,
// CamStopCapture) and give the bandwidth back (CamFreeBandwidth).
//
// Hard part: the raw frame budget. The class library gathers exactly
// RawFrameLength bytes of packets per frame, so the length must cover the
// largest compressed picture at the packet size of whichever alternate
// setting the bus accepted, counted in whole packets that each lose their
// first byte to the camera's framing; and a packet size that carries no
// payload at all must give a defined answer instead of a division by zero.
#pragma once

#include <array>

#include "driver/device_context.h"
#include "platform/kernel.h"
#include "platform/usbcamd.h"

namespace dualcam::driver {

// One row of the raw mode table: the format size an application negotiated
// and the picture the camera is asked to send for it. The two smallest
// formats are taken from a taller raw picture (the camera's own modes), 240 x
// 180 from 320 x 240.
struct RawMode {
  LONG FormatWidth;
  LONG FormatHeight;
  USHORT SizeIndex;  // the camera's video-mode number (request 0xA0's size code)
  ULONG RawWidth;
  ULONG RawHeight;
};

inline constexpr std::array<RawMode, 7> kRawModes = {{
    {128, 96, 1, 160, 112},
    {160, 120, 2, 160, 128},
    {176, 144, 3, 176, 144},
    {240, 180, 4, 320, 240},
    {320, 240, 5, 320, 240},
    {352, 288, 6, 352, 288},
    {640, 480, 7, 640, 480},
}};

// Every capture streams quantization-table pair 3 at 12 bits per pixel (4:2:0).
inline constexpr UCHAR kCaptureQualityIndex = 3;
inline constexpr ULONG kRawBitsPerPixel = 12;

// Bytes of the raw frame header that precede the compressed picture.
inline constexpr ULONG kRawFrameHeaderBytes = 13;

// Alternate settings are tried from the widest down to 0.
inline constexpr UCHAR kWidestAlternateSetting = 5;

// The row for a format size (both signed dimensions must match), or nullptr.
const RawMode* FindRawMode(LONG formatWidth, LONG formatHeight);

// Bytes to gather per raw frame for a picture of rawBytes at packet size P:
// enough whole packets of P - 1 payload bytes for the picture, its 13-byte
// header and one packet's slack, i.e. P x floor((P + rawBytes + 13) / (P - 1)).
// 0 when P is 0 or 1 (no packet carries payload, so no frame can be
// gathered) or when the product does not fit 32 bits.
ULONG ComputeRawFrameBudget(ULONG packetSize, ULONG rawBytes);

// ---- Camera callbacks (class library) --------------------------------------

// Format is the stream's KS_DATAFORMAT_VIDEOINFOHEADER.
NTSTATUS CamAllocateBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PULONG RawFrameLength,
                              PVOID Format);
NTSTATUS CamFreeBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS CamStartCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS CamStopCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

}  // namespace dualcam::driver
