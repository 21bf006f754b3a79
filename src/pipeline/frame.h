// Raw frame processing: the class library's per-frame callback. It turns one
// gathered raw frame into the picture the stream negotiated (RGB24, I420 or
// IYUV through the renderer, or the compressed frame passed through behind
// a VQJ9 header) and decides what the application gets when the frame has no
// usable picture: a repeat of the last good picture, a blank first picture,
// or the no-picture marker.
//
// Hard part: every bound the raw frame, the application's buffer and the
// last-good copy impose is checked here, because the frame path never fails
// and never writes outside a buffer: whatever arrives, the application gets
// exactly one defined picture (or the marker) per frame.
#pragma once

#include "driver/device_context.h"
#include "platform/usbcamd.h"

namespace dualcam::pipeline {

// L = (P - 1) x NumberOfPackets, the raw frame's length; 0 when P is below 2
// or the product does not fit 32 bits (the frame is then treated as
// damaged).
ULONG ComputeRawFrameLength(ULONG packetSize, ULONG numberOfPackets);

// Class library callback, once per gathered frame with a waiting read.
// Always returns STATUS_SUCCESS; *BytesReturned is L + 174 for a VQJ9 sample
// and FrameLength otherwise. RawFrameLength is not used: the frame's length
// is L, and the library keeps decoder::kRawFrameSlack zero bytes after it.
NTSTATUS CamProcessRawVideoFrame(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext,
                                 PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                 ULONG RawFrameLength, ULONG NumberOfPackets, PULONG BytesReturned);

}  // namespace dualcam::pipeline
