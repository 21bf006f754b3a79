// Fuzz target: the frame path from the bus in. A packet size, a negotiated
// format and a sequence of packets (frame starts with any header bytes,
// continuations in and out of sequence, fillers, empty and short packets,
// bus errors, any status and length) go through the packet routine; each
// frame it completes goes through the raw-frame routine into an
// application buffer of any capacity, the way the class library gathers
// and hands them over.
//
// Hard part: the gathering around the two routines must be the library's
// own (P-byte slots with a zero tail, appends clamped to the raw frame
// buffer, the buffer's tail zero after the frame, the packet count capped
// to the buffer, the frame context cleared per frame), or the target would
// find faults the library never lets happen, or hide ones it does. The
// checks: the routine always succeeds, never reports more bytes than the
// buffer holds, never writes past it (ASan), the still copy stays inside
// StillBuffer, and no pool block outlives the input.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "host/classlib/camera_class_library.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/frame.h"
#include "pipeline/packet.h"
#include "pipeline/picture.h"
#include "pipeline/render.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace pipeline;

constexpr const char* kName = "frame_path";
constexpr USHORT kPacketSizes[] = {1023, 768, 512, 256, 128, 0, 1, 2, 3, 10, 11, 14};
constexpr std::size_t kPlanCount = sizeof kSizePlan / sizeof kSizePlan[0];
// Keeps one input's work bounded (a 640x480 frame at 128-byte packets is
// about 3,600 packets).
constexpr unsigned kMaxPackets = 20000;

class Gatherer {
 public:
  Gatherer(driver::DeviceContext* ctx, USHORT p, std::size_t rawCapacity, std::vector<uint8_t>& app)
      : ctx_(ctx), p_(p), raw_(rawCapacity + decoder::kRawFrameSlack, 0), capacity_(rawCapacity), app_(app) {}

  void Deliver(std::span<const uint8_t> bytes, ULONG length, LONG status) {
    if (p_ == 0) return;  // the library delivers nothing on setting 0
    slot_.assign(p_, 0);
    std::memcpy(slot_.data(), bytes.data(), std::min<std::size_t>(bytes.size(), p_));
    USBD_ISO_PACKET_DESCRIPTOR descriptor{};
    descriptor.Length = std::min<ULONG>(length, p_);
    descriptor.Status = status;
    BOOLEAN complete = FALSE;
    ULONG offset = 0;
    BOOLEAN flag = FALSE;
    const ULONG wanted = CamProcessUSBPacket(nullptr, ctx_, context_, nullptr, nullptr, &descriptor, slot_.data(),
                                             &complete, &offset, &flag);
    Check(ctx_->StillWriteOffset >= kStillHeaderGap || ctx_->StillCollecting.load() == 0 ||
              ctx_->StillFrame.load() == 0,
          kName, "still collection started below the header gap");
    if (complete) {
      Finish();
      Begin();
    }
    if (wanted == 0) return;
    Check(wanted <= p_, kName, "the packet routine asked for more bytes than a packet holds");
    const std::size_t at = std::min<std::size_t>(offset, p_);
    const std::size_t count = std::min<std::size_t>(wanted, p_ - at);
    const std::size_t room = capacity_ - std::min(gathered_, capacity_);
    const std::size_t copied = std::min(count, room);
    if (copied) std::memcpy(raw_.data() + gathered_, slot_.data() + at, copied);
    gathered_ += copied;
    dirtyEnd_ = std::max(dirtyEnd_, gathered_);
    if (copied) ++packets_;
  }

  void Finish() {
    if (packets_ == 0) return;
    if (dirtyEnd_ > gathered_) std::memset(raw_.data() + gathered_, 0, dirtyEnd_ - gathered_);
    dirtyEnd_ = gathered_;
    ULONG packets = packets_;
    if (p_ > 1) packets = std::min<ULONG>(packets, static_cast<ULONG>(capacity_ / (p_ - 1u)));
    ULONG returned = 0xDEADBEEF;
    const NTSTATUS status = CamProcessRawVideoFrame(nullptr, ctx_, context_, app_.data(),
                                                    static_cast<ULONG>(app_.size()), raw_.data(),
                                                    static_cast<ULONG>(gathered_), packets, &returned);
    Check(status == STATUS_SUCCESS, kName, "the raw-frame routine failed a frame");
    Check(returned <= app_.size(), kName, "more bytes returned than the buffer holds");
    // The routine rewrites header bytes of the raw frame in place; the
    // slack after the frame must stay zero for the next decode.
    for (std::size_t i = capacity_; i < raw_.size(); ++i)
      Check(raw_[i] == 0, kName, "the raw frame's slack was written");
  }

  // The library hands the frame context to both routines; a context with
  // any bytes at all must be taken as well.
  void OverwriteContext(std::span<const uint8_t> bytes) {
    std::memcpy(context_, bytes.data(), std::min(bytes.size(), sizeof context_));
  }

  void Begin() {
    gathered_ = 0;
    packets_ = 0;
    std::memset(context_, 0, sizeof context_);
    CamNewVideoFrame(ctx_, context_);
  }

 private:
  driver::DeviceContext* ctx_;
  USHORT p_;
  std::vector<uint8_t> raw_;
  std::size_t capacity_;
  std::vector<uint8_t>& app_;
  std::vector<uint8_t> slot_;
  std::size_t gathered_ = 0, dirtyEnd_ = 0;
  ULONG packets_ = 0;
  UCHAR context_[kFrameContextSize] = {};
};

}  // namespace

int FuzzFramePath(const uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  const host::PoolUsage before = world.PoolNow();
  FuzzInput in(data, size);

  const uint8_t sizeChoice = in.U8();
  const USHORT p = sizeChoice < 240 ? kPacketSizes[sizeChoice % 12] : static_cast<USHORT>(in.U16() % 1100);
  const SizePlanEntry& plan = kSizePlan[in.Pick(kPlanCount)];
  ULONG compression;
  switch (in.Pick(4)) {
    case 0: compression = kCompressionRgb; break;
    case 1: compression = kFourccI420; break;
    case 2: compression = kFourccVqj9; break;
    default: compression = in.U32(); break;
  }
  const uint8_t setup = in.U8();

  {
    driver::DeviceContext* ctx = world.FreshContext();
    CaptureBuffers buffers(ctx, p);
    if (!ctx->StillBuffer || !ctx->LastGoodFrame || !ctx->QuantTables || !ctx->InterfaceCopy)
      Fail(kName, "no pool for the capture buffers");
    // As capture set-up leaves the record.
    ctx->DriverStatus.store(5);
    ctx->FormatWidth = plan.FormatWidth;
    ctx->FormatHeight = plan.FormatHeight;
    ctx->RawWidth = plan.RawWidth;
    ctx->RawHeight = plan.RawHeight;
    ctx->RawBitsPerPixel = 12;
    ctx->SizeIndex = static_cast<USHORT>(1 + (&plan - kSizePlan));
    ctx->OutputCompression = compression;
    ctx->QualityIndex = static_cast<UCHAR>(setup & 3);
    ctx->Gamma = (setup >> 2) % 10;
    ctx->Contrast = in.U8() % 32;
    SetToneCurve(&ctx->ProcessingOptions, static_cast<int>(ctx->Gamma));
    // A still may already wait to be saved, or be requested.
    ctx->StillReady.store((setup >> 6) & 1);
    ctx->StillRequested.store(setup >> 7);

    // The library's raw frame buffer for this format and packet size.
    const std::size_t rawBytes = static_cast<std::size_t>(plan.RawWidth) * plan.RawHeight * 12 / 8;
    std::size_t rawCapacity = p > 1 ? std::size_t{p} * ((p + rawBytes + 13) / (p - 1)) : 0;
    if (in.Pick(8) == 0) rawCapacity = in.U16();  // a library that gathers less
    std::size_t appBytes = compression == kCompressionRgb ? RgbPictureBytes(plan.FormatWidth, plan.FormatHeight)
                           : compression == kFourccVqj9   ? rawCapacity + kPassThroughHeaderSize
                                                          : PlanarPictureBytes(plan.FormatWidth, plan.FormatHeight);
    switch (in.Pick(4)) {
      case 0: appBytes -= std::min<std::size_t>(appBytes, in.U16()); break;
      case 1: appBytes += in.U8(); break;
      default: break;
    }
    if (appBytes == 0) appBytes = 1;  // the library never hands over an empty buffer
    std::vector<uint8_t> app(appBytes, 0xA5);

    Gatherer gatherer(ctx, p, rawCapacity, app);
    gatherer.Begin();
    std::vector<uint8_t> packet;
    UCHAR sequence = 0;
    for (unsigned n = 0; n < kMaxPackets && in.Left() > 0; ++n) {
      const uint8_t op = in.U8();
      packet.assign(p, 0);
      ULONG length = p;
      LONG status = kPacketStatusSuccess;
      if (op % 10 == 9) {
        const auto bytes = in.Take(kFrameContextSize);
        if (bytes.size() == kFrameContextSize) gatherer.OverwriteContext(bytes);
        continue;
      }
      if (packet.empty()) {  // setting 0: the library delivers nothing to write into
        gatherer.Deliver(packet, 0, kPacketStatusSuccess);
        continue;
      }
      switch (op % 10) {
        case 0: {  // frame start with its header and first bytes
          packet[0] = kPacketFrameStart;
          const auto header = in.Take(in.U16() % (p + 1u));
          std::copy_n(header.begin(), std::min<std::size_t>(header.size(), p > 1 ? p - 1 : 0), packet.begin() + 1);
          sequence = 0;
          break;
        }
        case 1:
        case 2: {  // in-sequence continuations carrying input bytes
          const auto body = in.Take(in.U16() % (p + 1u));
          std::copy_n(body.begin(), std::min<std::size_t>(body.size(), p > 1 ? p - 1 : 0), packet.begin() + 1);
          packet[0] = sequence;
          sequence = static_cast<UCHAR>((sequence + 1) % kPacketSequenceWrap);
          break;
        }
        case 3: {  // a run of in-sequence continuations of zeros
          const unsigned run = 1 + in.U8();
          for (unsigned i = 0; i < run && n < kMaxPackets; ++i, ++n) {
            packet.assign(p, 0);
            packet[0] = sequence;
            sequence = static_cast<UCHAR>((sequence + 1) % kPacketSequenceWrap);
            gatherer.Deliver(packet, p, kPacketStatusSuccess);
          }
          continue;
        }
        case 4:  // filler
          packet[0] = kPacketFiller;
          break;
        case 5:  // empty, as an idle microframe
          length = 0;
          status = kPacketStatusShort;
          break;
        case 6:  // bus error
          status = static_cast<LONG>(0xC0000000u | in.U16());
          break;
        case 7: {  // short packet
          length = p ? in.U16() % p : 0;
          status = kPacketStatusShort;
          packet[0] = sequence;
          sequence = static_cast<UCHAR>((sequence + 1) % kPacketSequenceWrap);
          break;
        }
        default: {  // anything at all
          const auto bytes = in.Take(in.U8());
          std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), p), packet.begin());
          length = in.U16();
          status = static_cast<LONG>(in.U32());
          break;
        }
      }
      gatherer.Deliver(packet, length, status);
    }
    // Capture stop: the frame being gathered is not handed over.
  }
  CheckPoolBalanced(before, kName);
  return 0;
}

}  // namespace dualcam::fuzz
