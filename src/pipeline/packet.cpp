// Packet assembly: screening, frame-context marking and still collection for
// each packet of the video pipe.
//
// Hard part: the still flags are shared with the button poll's thread
// without a lock, so they are written with one store each (the plain
// StillCaptured and StillFailCount words through std::atomic_ref), relaxed
// except StillReady, which hands StillBuffer over and so is released and
// acquired; this side only ever sets or clears whole flags; the still copy is clamped to
// StillBuffer while StillWriteOffset keeps counting, so an over-long still
// still fails its length check instead of writing past the buffer.
#include "pipeline/packet.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

namespace dualcam::pipeline {
namespace {

using driver::DeviceContext;

constexpr auto kRelaxed = std::memory_order_relaxed;

void StoreStillCaptured(DeviceContext* ctx, ULONG value) {
  std::atomic_ref<ULONG>(ctx->StillCaptured).store(value, kRelaxed);
}
ULONG LoadStillCaptured(DeviceContext* ctx) {
  return std::atomic_ref<ULONG>(ctx->StillCaptured).load(kRelaxed);
}
void StoreStillFailCount(DeviceContext* ctx, USHORT value) {
  std::atomic_ref<USHORT>(ctx->StillFailCount).store(value, kRelaxed);
}
USHORT LoadStillFailCount(DeviceContext* ctx) {
  return std::atomic_ref<USHORT>(ctx->StillFailCount).load(kRelaxed);
}

// The frame now ending was still-marked: decide whether its still is whole.
void FinishStillFrame(DeviceContext* ctx, ULONG packetSize) {
  if (ctx->StillCollecting.load(kRelaxed) == 1) {
    if (ctx->StillWriteOffset == ExpectedStillLength(packetSize)) {
      StoreStillFailCount(ctx, 0);
      StoreStillCaptured(ctx, 1);
      ctx->StillToSave.store(1, kRelaxed);
      // Release: the button poll reads StillBuffer once it sees StillReady 1.
      ctx->StillReady.store(1, std::memory_order_release);
    } else {
      StoreStillCaptured(ctx, 0);
    }
  }
  // A marked frame that was not collected (a previous still still waits)
  // fails only when the last still-marked frame did not complete.
  if (LoadStillCaptured(ctx) == 0) StoreStillFailCount(ctx, static_cast<USHORT>(LoadStillFailCount(ctx) + 1));
}

// Copies one packet's still payload to StillBuffer at StillWriteOffset. The
// offset advances by the whole payload even where the copy is clamped at
// the end of the buffer, so the length check sees the frame's true length.
void CopyStillPayload(DeviceContext* ctx, const UCHAR* payload, ULONG length) {
  const ULONG offset = ctx->StillWriteOffset;
  if (ctx->StillBuffer != nullptr && offset < driver::kStillBufferSize) {
    const ULONG room = static_cast<ULONG>(driver::kStillBufferSize) - offset;
    const ULONG copied = std::min(length, room);
    if (copied != 0) std::memmove(ctx->StillBuffer + offset, payload, copied);
  }
  const ULONG limit = std::numeric_limits<ULONG>::max();
  ctx->StillWriteOffset = offset > limit - length ? limit : offset + length;
}

void WriteFrameContext(PVOID frameContext, USHORT mark, ULONG counter) {
  const ULONG value = (static_cast<ULONG>(mark) << 16) | (counter & 0xFFFFu);
  const UCHAR bytes[kFrameContextSize] = {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
                                          static_cast<UCHAR>(value >> 16), static_cast<UCHAR>(value >> 24)};
  std::memcpy(frameContext, bytes, kFrameContextSize);
}

}  // namespace

USHORT CurrentPacketSize(const DeviceContext* context) {
  if (context == nullptr || context->InterfaceCopy == nullptr) return 0;
  return context->InterfaceCopy->Pipes[0].MaximumPacketSize;
}

ULONG StillPacketCount(ULONG packetSize) {
  if (packetSize < 2) return 0;
  return kStillPictureBytes / (packetSize - 1) + 1;
}

ULONG ExpectedStillLength(ULONG packetSize) {
  if (packetSize < 2) return 0;
  // The frame-start packet gives P - 10 bytes, every other packet P - 1:
  // N x (P - 1) - 9 bytes after the 1024-byte gap.
  return (packetSize - 1) * StillPacketCount(packetSize) + (kStillHeaderGap - 9);
}

ULONG CamProcessUSBPacket(PDEVICE_OBJECT /*BusDeviceObject*/, PVOID DeviceContext, PVOID CurrentFrameContext,
                          PUSBD_ISO_PACKET_DESCRIPTOR /*SyncPacket*/, PVOID /*SyncBuffer*/,
                          PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer, PBOOLEAN FrameComplete,
                          PULONG PayloadOffset, PBOOLEAN PacketFlag) {
  if (PayloadOffset != nullptr) *PayloadOffset = 1;
  if (PacketFlag != nullptr) *PacketFlag = 0;
  auto* ctx = static_cast<driver::DeviceContext*>(DeviceContext);
  if (ctx == nullptr || DataPacket == nullptr || DataBuffer == nullptr) return 0;

  // Alternate setting 0 carries nothing: no byte of a packet can be trusted.
  const ULONG p = CurrentPacketSize(ctx);
  if (p == 0) return 0;
  const ULONG payload = p - 1;

  // Screening. Status is the bus's USBD status, negative for an error.
  const LONG status = static_cast<LONG>(DataPacket->Status);
  const ULONG length = DataPacket->Length;
  if (status < 0) {
    ++ctx->PacketErrorCount;
    return 0;
  }
  const bool full = length == p && status == kPacketStatusSuccess;
  const bool shortPacket = length > 0 && length < p && status == kPacketStatusShort;
  if (length == 0 && status == kPacketStatusShort) return 0;
  if (!full && !shortPacket) {
    ++ctx->PacketErrorCount;
    return 0;
  }

  // The data buffer is the packet's whole P-byte slot; a short packet's
  // unreceived tail counts as payload too (the raw frame length is taken as
  // (P - 1) per packet).
  const auto* bytes = static_cast<const UCHAR*>(DataBuffer);
  ULONG result = 0;
  const UCHAR* stillPayload = nullptr;
  ULONG stillLength = 0;

  if (bytes[0] == kPacketFrameStart) {
    const bool endingStill = ctx->StillFrame.load(kRelaxed) == 1;
    if (endingStill) FinishStillFrame(ctx, p);
    if (FrameComplete != nullptr) *FrameComplete = endingStill ? 0 : 1;
    ctx->PacketSequence = 0;
    if (CurrentFrameContext != nullptr) ++ctx->FrameCounter;
    const USHORT mark = ctx->PacketErrorCount != 0 ? kLostPacketMark : 0;
    ctx->PacketErrorCount = 0;
    if (CurrentFrameContext != nullptr) WriteFrameContext(CurrentFrameContext, mark, ctx->FrameCounter);

    const bool still = p > kFrameStartKindBOffset && bytes[kFrameStartKindAOffset] == 0 &&
                       bytes[kFrameStartKindBOffset] == 2;
    if (still) {
      ctx->StillFrame.store(1, kRelaxed);
      // Acquire: the button poll has finished with StillBuffer before it
      // clears StillReady, so the buffer may be refilled from here on.
      if (ctx->StillReady.load(std::memory_order_acquire) == 0) {
        ctx->StillCollecting.store(1, kRelaxed);
        ctx->StillWriteOffset = kStillHeaderGap;
      } else {
        ctx->StillCollecting.store(0, kRelaxed);
      }
    } else {
      ctx->StillFrame.store(0, kRelaxed);
      ctx->StillCollecting.store(0, kRelaxed);
    }
    result = payload;
    if (p > kFrameStartStillOffset) {
      stillPayload = bytes + kFrameStartStillOffset;
      stillLength = p - kFrameStartStillOffset;
    }
  } else if (bytes[0] == kPacketFiller) {
    return 0;
  } else {
    // A lost packet leaves the expected number behind; every later
    // continuation of the frame is then refused too, and the frame is
    // marked either way.
    if (bytes[0] == ctx->PacketSequence) {
      ++ctx->PacketSequence;
      result = payload;
    } else {
      ++ctx->PacketErrorCount;
    }
    if (ctx->PacketSequence == kPacketSequenceWrap) ctx->PacketSequence = 0;
    stillPayload = bytes + 1;
    stillLength = payload;
  }

  if (ctx->StillFrame.load(kRelaxed) == 1 && ctx->StillCollecting.load(kRelaxed) != 0 && stillLength != 0)
    CopyStillPayload(ctx, stillPayload, stillLength);
  return result;
}

VOID CamNewVideoFrame(PVOID /*DeviceContext*/, PVOID /*FrameContext*/) {}

}  // namespace dualcam::pipeline
