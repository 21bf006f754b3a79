// Raw frame processing and output dispatch for one gathered camera frame.
//
// Hard part: the bounds. A VQJ9 sample that would not fit the application's
// buffer becomes the no-picture marker instead of overrunning it; a raw
// frame too short to hold its header is a damaged frame; a frame too long
// for LastGoodFrame (with the decoder's read slack) is not kept, so the
// previous good picture stays the repeat; and until a frame has rendered,
// a repeat is the blank picture rather than a decode of whatever
// LastGoodFrame held. A repeat that cannot be rendered also leaves the blank
// picture, never the remains of a failed decode. LastGoodFrame also
// survives a change of capture size, and a compressed picture decoded at a
// size other than its own can come out as a scrambled picture rather than
// a failure, so the kept frame carries the raw size it was sent at and is
// repeated only at that size.
#include "pipeline/frame.h"

#include <cstring>

#include "camera/vendor.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/packet.h"
#include "pipeline/render.h"

namespace dualcam::pipeline {
namespace {

using driver::DeviceContext;

constexpr auto kRelaxed = std::memory_order_relaxed;

// The last 8 bytes of LastGoodFrame: the raw width and height the kept frame
// was decoded at.
constexpr std::size_t kLastGoodTagSize = 8;
constexpr std::size_t kLastGoodTagOffset = driver::kLastGoodFrameSize - kLastGoodTagSize;
constexpr std::size_t kLastGoodMaxLength = kLastGoodTagOffset - decoder::kRawFrameSlack;

ULONG GetU32(const UCHAR* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<ULONG>(at[3]) << 24);
}

void PutU32(UCHAR* at, ULONG value) {
  at[0] = static_cast<UCHAR>(value);
  at[1] = static_cast<UCHAR>(value >> 8);
  at[2] = static_cast<UCHAR>(value >> 16);
  at[3] = static_cast<UCHAR>(value >> 24);
}

void WriteNoPictureMarker(UCHAR* out, ULONG length) {
  if (length >= sizeof(kNoPictureMarker)) std::memcpy(out, kNoPictureMarker, sizeof(kNoPictureMarker));
}

void WriteBlank(UCHAR* out, ULONG length) { std::memset(out, 0, length); }

int RenderInto(DeviceContext* ctx, UCHAR* raw, UCHAR* out, ULONG length) {
  std::size_t written = 0;
  return RenderFrame(&ctx->ProcessingOptions, raw, out, length, &written, static_cast<int>(ctx->RawWidth),
                     static_cast<int>(ctx->RawHeight), ctx->FormatWidth, ctx->FormatHeight,
                     ctx->OutputCompression);
}

// The last good picture again, or the blank picture when there is none (no
// frame has rendered yet, or it no longer renders into this buffer).
void RepeatLastGood(DeviceContext* ctx, UCHAR* out, ULONG length) {
  if (ctx->LastGoodFrameValid != 0 && ctx->LastGoodFrame != nullptr) {
    const UCHAR* tag = ctx->LastGoodFrame + kLastGoodTagOffset;
    if (GetU32(tag) == ctx->RawWidth && GetU32(tag + 4) == ctx->RawHeight &&
        RenderInto(ctx, ctx->LastGoodFrame, out, length) != 0)
      return;
  }
  WriteBlank(out, length);
}

// What a frame without a usable picture delivers: the marker for VQJ9, the
// blank picture for the first frame of a capture, otherwise a repeat.
void DeliverNoPicture(DeviceContext* ctx, ULONG frameNumber, UCHAR* out, ULONG length) {
  if (ctx->OutputCompression == kFourccVqj9)
    WriteNoPictureMarker(out, length);
  else if (frameNumber == 1)
    WriteBlank(out, length);
  else
    RepeatLastGood(ctx, out, length);
}

// Keeps the frame (header rewritten for decoding) for repeats, with the
// decoder's read slack zeroed after it. A frame that does not fit is not
// kept; the previous good frame stays.
void KeepLastGood(DeviceContext* ctx, const UCHAR* raw) {
  if (ctx->LastGoodFrame == nullptr) return;
  const ULONG l = RawFrameLength(raw);
  if (l < kRawHeaderSize || l > kLastGoodMaxLength) return;
  std::memcpy(ctx->LastGoodFrame, raw, l);
  std::memset(ctx->LastGoodFrame + l, 0, decoder::kRawFrameSlack);
  PutU32(ctx->LastGoodFrame + kLastGoodTagOffset, ctx->RawWidth);
  PutU32(ctx->LastGoodFrame + kLastGoodTagOffset + 4, ctx->RawHeight);
  ctx->LastGoodFrameValid = 1;
}

}  // namespace

ULONG ComputeRawFrameLength(ULONG packetSize, ULONG numberOfPackets) {
  if (packetSize < 2) return 0;
  const ULONGLONG l = static_cast<ULONGLONG>(packetSize - 1) * numberOfPackets;
  return l > 0xFFFFFFFFull ? 0 : static_cast<ULONG>(l);
}

NTSTATUS CamProcessRawVideoFrame(PDEVICE_OBJECT /*BusDeviceObject*/, PVOID DeviceContext, PVOID FrameContext,
                                 PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                 ULONG /*RawFrameLength*/, ULONG NumberOfPackets, PULONG BytesReturned) {
  if (BytesReturned != nullptr) *BytesReturned = 0;
  auto* ctx = static_cast<driver::DeviceContext*>(DeviceContext);
  auto* out = static_cast<UCHAR*>(FrameBuffer);
  if (ctx == nullptr || out == nullptr) return STATUS_SUCCESS;

  ULONG frameContext = 0;
  if (FrameContext != nullptr) {
    UCHAR bytes[kFrameContextSize];
    std::memcpy(bytes, FrameContext, kFrameContextSize);
    frameContext = GetU32(bytes);
  }
  const ULONG frameNumber = frameContext & 0xFFFFu;
  auto* raw = static_cast<UCHAR*>(RawFrameBuffer);
  const ULONG l = ComputeRawFrameLength(CurrentPacketSize(ctx), NumberOfPackets);

  // Lost packets, or a frame too short to hold its header: no picture.
  if ((frameContext >> 16) == kLostPacketMark || raw == nullptr || l < kRawHeaderSize) {
    DeliverNoPicture(ctx, frameNumber, out, FrameLength);
    if (BytesReturned != nullptr) *BytesReturned = FrameLength;
    return STATUS_SUCCESS;
  }

  // A still picture in the middle of the video: the packet routine collects
  // it; the stream shows the previous picture. When the still was not being
  // collected the camera may have left its video size, so it is set again.
  if (raw[kRawFrameKindAOffset] == kStillFrameKindA && raw[kRawFrameKindBOffset] == kStillFrameKindB) {
    if (ctx->OutputCompression == kFourccVqj9)
      WriteNoPictureMarker(out, FrameLength);
    else
      RepeatLastGood(ctx, out, FrameLength);
    if (BytesReturned != nullptr) *BytesReturned = FrameLength;
    if (ctx->StillCollecting.load(kRelaxed) == 0) camera::SelectImageSize(ctx);
    return STATUS_SUCCESS;
  }

  if (ctx->OutputCompression == kFourccVqj9) {
    // Pass-through sample: 174-byte header, then the raw frame with its
    // length at bytes 9..12 and the quality index at byte 5.
    if (static_cast<ULONGLONG>(l) + kPassThroughHeaderSize > FrameLength) {
      WriteNoPictureMarker(out, FrameLength);
      if (BytesReturned != nullptr) *BytesReturned = FrameLength;
      return STATUS_SUCCESS;
    }
    BuildPassThroughHeader(out, ctx->Gamma, ctx->Contrast);
    std::memcpy(out, kPassThroughTag, sizeof(kPassThroughTag));
    UCHAR* sample = out + kPassThroughHeaderSize;
    std::memmove(sample, raw, l);
    PutU32(sample + kPassThroughRawLengthOffset, l);
    sample[kPassThroughRawQualityOffset] = ctx->QualityIndex;
    if (BytesReturned != nullptr) *BytesReturned = l + static_cast<ULONG>(kPassThroughHeaderSize);
    return STATUS_SUCCESS;
  }

  // Decoded output: the header gives the decoder its length and quality.
  PutU32(raw + kRawLengthOffset, l);
  raw[kRawQualityOffset] = ctx->QualityIndex;
  if (RenderInto(ctx, raw, out, FrameLength) != 0)
    KeepLastGood(ctx, raw);
  else
    RepeatLastGood(ctx, out, FrameLength);
  if (BytesReturned != nullptr) *BytesReturned = FrameLength;
  return STATUS_SUCCESS;
}

}  // namespace dualcam::pipeline
