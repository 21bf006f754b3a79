// Packet assembly: the class library's per-packet callback. It screens each
// isochronous packet of the video pipe (status, length, sequence number),
// tells the library how many of its bytes to append to the raw frame being
// gathered, marks the frame context of a frame that lost packets, and copies
// the packets of a still-marked frame into the still buffer, raising the
// still flags that the button poll and the still-capture property wait for.
//
// Hard part: it runs once per packet with no lock beside the button poll's
// thread, so every still flag that thread reads or clears is written with a
// single atomic store; and a packet size of 0 or 1, a null frame context or
// a still frame longer than the still buffer must neither divide by zero,
// underflow nor write outside the buffers.
#pragma once

#include <cstdint>

#include "driver/device_context.h"
#include "platform/usbcamd.h"

namespace dualcam::pipeline {

// First byte of a packet (USB 2.0 5.6: one isochronous packet per
// microframe slot; the camera numbers its own packets).
inline constexpr UCHAR kPacketFrameStart = 0xFE;  // bytes 1..13 carry the raw frame header
inline constexpr UCHAR kPacketFiller = 0xFF;      // carries nothing
inline constexpr UCHAR kPacketSequenceWrap = 128; // continuation numbers run 0..127

// Packet bytes 4 and 5 of a frame-start packet (raw header bytes 3 and 4):
// 0 then 2 marks a still picture.
inline constexpr ULONG kFrameStartKindAOffset = 4;
inline constexpr ULONG kFrameStartKindBOffset = 5;
// A frame-start packet's still payload starts after its marker and the first
// nine header bytes.
inline constexpr ULONG kFrameStartStillOffset = 10;

// Isochronous packet status words as the packet routine reads them: negative
// is a bus error, 9 marks a packet shorter than the maximum.
inline constexpr LONG kPacketStatusSuccess = 0;
inline constexpr LONG kPacketStatusShort = 9;

// Frame context (4 bytes, little-endian): upper half the lost-packet mark,
// lower half the frame counter's low 16 bits.
inline constexpr ULONG kFrameContextSize = 4;
inline constexpr USHORT kLostPacketMark = 0x55AA;

// Still collection: the first 1024 bytes of StillBuffer are left for the
// snapshot header; a complete still carries 202,769 bytes of picture in whole
// packets.
inline constexpr ULONG kStillHeaderGap = 1024;
inline constexpr ULONG kStillPictureBytes = 202769;

// P: the maximum packet size of the first pipe of the running alternate
// setting; 0 when no interface copy is kept.
USHORT CurrentPacketSize(const driver::DeviceContext* context);

// Packets in a complete still-marked frame, frame-start packet included:
// 202769 div (P - 1) + 1; 0 for P below 2 (no still can be carried).
ULONG StillPacketCount(ULONG packetSize);

// The StillWriteOffset that marks a complete still for packet size P:
// (P - 1) x StillPacketCount(P) + 1015; 0 for P below 2, which no offset
// ever equals (collection starts at 1024).
ULONG ExpectedStillLength(ULONG packetSize);

// Class library callback, once per packet of the video pipe. Returns the
// number of packet bytes, from *PayloadOffset (always 1), to append to the
// raw frame: P - 1 for an accepted packet (a short packet too), else 0.
ULONG CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                          PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                          PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer, PBOOLEAN FrameComplete,
                          PULONG PayloadOffset, PBOOLEAN PacketFlag);

// Class library callback at the start of each raw frame. The frame context
// is written by CamProcessUSBPacket on the frame-start packet instead.
VOID CamNewVideoFrame(PVOID DeviceContext, PVOID FrameContext);

}  // namespace dualcam::pipeline
