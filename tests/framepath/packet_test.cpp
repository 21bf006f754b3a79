// Packet screening, frame-context marking and still collection, packet by
// packet, on a bare DeviceContext.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "pipeline/packet.h"

namespace dualcam::pipeline {
namespace {

using driver::DeviceContext;

class PacketTest : public ::testing::Test {
 protected:
  void SetUpPacketSize(USHORT p) {
    iface_.Pipes[0].MaximumPacketSize = p;
    ctx_.InterfaceCopy = &iface_;
  }
  void SetUp() override {
    SetUpPacketSize(1023);
    // The still buffer with guard bytes after it that no copy may touch.
    still_.assign(driver::kStillBufferSize + kGuard, 0xEE);
    ctx_.StillBuffer = still_.data();
  }

  // A packet slot of P bytes: first byte, then payload bytes counting from
  // `fill` so copies can be traced.
  std::vector<UCHAR> Slot(UCHAR first, UCHAR fill = 0x10) const {
    std::vector<UCHAR> slot(iface_.Pipes[0].MaximumPacketSize == 0 ? 1 : iface_.Pipes[0].MaximumPacketSize);
    for (size_t i = 0; i < slot.size(); ++i) slot[i] = static_cast<UCHAR>(fill + i);
    slot[0] = first;
    return slot;
  }
  std::vector<UCHAR> FrameStart(bool still = false) const {
    auto slot = Slot(kPacketFrameStart);
    if (slot.size() > 5) {
      slot[4] = still ? 0 : 0xFF;
      slot[5] = still ? 2 : 0xFF;
    }
    return slot;
  }

  struct Result {
    ULONG bytes;
    BOOLEAN complete;
    ULONG offset;
    BOOLEAN flag;
  };
  Result Send(std::vector<UCHAR> slot, ULONG length, LONG status, bool withContext = true) {
    USBD_ISO_PACKET_DESCRIPTOR d{0, length, status};
    Result r{0, 0xAA, 0xAA, 0xAA};
    r.bytes = CamProcessUSBPacket(nullptr, &ctx_, withContext ? frame_context_ : nullptr, nullptr, nullptr, &d,
                                  slot.data(), &r.complete, &r.offset, &r.flag);
    return r;
  }
  Result SendFull(std::vector<UCHAR> slot) { return Send(slot, static_cast<ULONG>(slot.size()), 0); }
  ULONG Context() const {
    ULONG v;
    std::memcpy(&v, frame_context_, 4);
    return v;
  }
  // One still-marked frame of `packets` packets, then the next frame start.
  // From packet `misnumberedFrom` on the continuation packets carry a wrong
  // sequence number.
  Result SendStillFrame(ULONG packets, ULONG misnumberedFrom = ~0u) {
    SendFull(FrameStart(true));
    for (ULONG i = 1; i < packets; ++i)
      SendFull(Slot(i >= misnumberedFrom ? UCHAR{200} : static_cast<UCHAR>((i - 1) % 128), static_cast<UCHAR>(i)));
    return SendFull(FrameStart());
  }

  static constexpr size_t kGuard = 4096;
  DeviceContext ctx_{};
  USBD_INTERFACE_INFORMATION iface_{};
  std::vector<UCHAR> still_;
  UCHAR frame_context_[4] = {0x11, 0x22, 0x33, 0x44};
};

TEST_F(PacketTest, ScreeningByStatusAndLength) {
  SendFull(FrameStart());
  // Every result also sets the payload offset to 1 and the flag to 0.
  Result r = Send(Slot(0xFF), 1023, 0);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.offset, 1u);
  EXPECT_EQ(r.flag, 0);
  EXPECT_EQ(r.complete, 0xAA) << "FrameComplete is written only on frame starts";
  EXPECT_EQ(ctx_.PacketErrorCount, 0u) << "a filler is not an error";

  EXPECT_EQ(Send(Slot(0), 0, kPacketStatusShort).bytes, 0u);
  EXPECT_EQ(ctx_.PacketErrorCount, 0u) << "an empty packet is not an error";
  EXPECT_EQ(Send(Slot(0), 0, 0).bytes, 0u);
  EXPECT_EQ(ctx_.PacketErrorCount, 1u);

  // A short packet counts P - 1, not its length.
  EXPECT_EQ(Send(Slot(0), 100, kPacketStatusShort).bytes, 1022u);
  EXPECT_EQ(ctx_.PacketSequence, 1);
  EXPECT_EQ(Send(Slot(1), 1023, kPacketStatusShort).bytes, 0u) << "full length with status 9";
  EXPECT_EQ(Send(Slot(1), 100, 0).bytes, 0u) << "short with status 0";
  EXPECT_EQ(Send(Slot(1), 1023, static_cast<LONG>(0xC0000001)).bytes, 0u) << "bus error";
  EXPECT_EQ(Send(Slot(1), 1024, 0).bytes, 0u) << "longer than P";
  EXPECT_EQ(ctx_.PacketErrorCount, 5u);
  EXPECT_EQ(ctx_.PacketSequence, 1) << "refused packets do not move the sequence";
}

TEST_F(PacketTest, SequenceGapMarksTheFrameAndRefusesTheRest) {
  EXPECT_EQ(SendFull(FrameStart()).bytes, 1022u);
  EXPECT_EQ(SendFull(Slot(0)).bytes, 1022u);
  EXPECT_EQ(SendFull(Slot(1)).bytes, 1022u);
  EXPECT_EQ(SendFull(Slot(3)).bytes, 0u);
  EXPECT_EQ(SendFull(Slot(4)).bytes, 0u);
  EXPECT_EQ(ctx_.PacketSequence, 2);
  EXPECT_EQ(SendFull(Slot(2)).bytes, 1022u) << "the number still expected is accepted again";
  EXPECT_EQ(ctx_.PacketErrorCount, 2u);

  const Result r = SendFull(FrameStart());
  EXPECT_EQ(r.complete, 1);
  EXPECT_EQ(Context(), 0x55AA0002u);
  EXPECT_EQ(ctx_.PacketErrorCount, 0u);
  EXPECT_EQ(ctx_.PacketSequence, 0);
  SendFull(FrameStart());
  EXPECT_EQ(Context(), 0x00000003u) << "a clean frame is not marked";
}

TEST_F(PacketTest, SequenceWrapsAfter127) {
  SendFull(FrameStart());
  for (int i = 0; i < 128; ++i) ASSERT_EQ(SendFull(Slot(static_cast<UCHAR>(i))).bytes, 1022u) << i;
  EXPECT_EQ(ctx_.PacketSequence, 0);
  EXPECT_EQ(SendFull(Slot(0)).bytes, 1022u);
  EXPECT_EQ(SendFull(Slot(128)).bytes, 0u) << "numbers 128..253 never match";
}

TEST_F(PacketTest, NullFrameContextKeepsTheCounterButClearsErrors) {
  SendFull(FrameStart());
  Send(Slot(9), 1023, 0);
  ASSERT_EQ(ctx_.PacketErrorCount, 1u);
  Send(FrameStart(), 1023, 0, /*withContext=*/false);
  EXPECT_EQ(ctx_.FrameCounter, 1u);
  EXPECT_EQ(ctx_.PacketErrorCount, 0u);
  // The counter's low half only: 65536 + 5 frames write 5.
  ctx_.FrameCounter = 0x10004;
  SendFull(FrameStart());
  EXPECT_EQ(Context(), 0x00000005u);
}

TEST_F(PacketTest, ExpectedStillLengthForAnyPacketSize) {
  EXPECT_EQ(StillPacketCount(1023), 199u);
  EXPECT_EQ(ExpectedStillLength(1023), 204393u);
  EXPECT_EQ(StillPacketCount(512), 397u);
  EXPECT_EQ(ExpectedStillLength(512), 203882u);
  EXPECT_EQ(ExpectedStillLength(0), 0u);
  EXPECT_EQ(ExpectedStillLength(1), 0u);
  EXPECT_EQ(StillPacketCount(1), 0u);
  for (ULONG p = 11; p <= 65535; p += 97) {
    const ULONG n = StillPacketCount(p);
    // N packets give N x (P - 1) - 9 bytes after the gap, and at least the
    // whole picture, which fits the still buffer.
    ASSERT_EQ(ExpectedStillLength(p), kStillHeaderGap + n * (p - 1) - 9) << p;
    ASSERT_GE(n * (p - 1), kStillPictureBytes) << p;
    ASSERT_LE(ExpectedStillLength(p), driver::kStillBufferSize) << p;
  }
}

TEST_F(PacketTest, StillOfExactlyNPacketsCompletes) {
  ctx_.StillFailCount = 3;
  // The last 99 packets are misnumbered: the video frame refuses them, the
  // still copies them all the same.
  const Result r = SendStillFrame(199, 100);
  EXPECT_EQ(r.complete, 0) << "the frame start ending a still frame completes nothing";
  EXPECT_EQ(ctx_.StillWriteOffset, 204393u);
  EXPECT_EQ(ctx_.StillReady.load(), 1u);
  EXPECT_EQ(ctx_.StillToSave.load(), 1);
  EXPECT_EQ(ctx_.StillCaptured, 1u);
  EXPECT_EQ(ctx_.StillFailCount, 0);
  EXPECT_EQ(ctx_.StillFrame.load(), 0);
  // The frame start gives bytes 10..P-1, each continuation bytes 1..P-1.
  const auto start = FrameStart(true);
  EXPECT_EQ(0, std::memcmp(still_.data() + 1024, start.data() + 10, 1013));
  const auto cont = Slot(0, 1);
  EXPECT_EQ(0, std::memcmp(still_.data() + 1024 + 1013, cont.data() + 1, 1022));
  const auto misnumbered = Slot(200, 198);
  EXPECT_EQ(0, std::memcmp(still_.data() + 1024 + 1013 + 197 * 1022, misnumbered.data() + 1, 1022));
  EXPECT_EQ(Context() >> 16, 0x55AAu) << "the still's raw frame is marked";
  EXPECT_EQ(still_[driver::kStillBufferSize], 0xEE);
  EXPECT_EQ(SendFull(FrameStart()).complete, 1) << "after a video frame, frames complete again";
}

TEST_F(PacketTest, StillOfOnePacketMoreOrLessFails) {
  for (ULONG packets : {198u, 200u}) {
    SCOPED_TRACE(packets);
    ctx_.StillFailCount = 0;
    SendStillFrame(packets);
    EXPECT_EQ(ctx_.StillReady.load(), 0u);
    EXPECT_EQ(ctx_.StillToSave.load(), 0);
    EXPECT_EQ(ctx_.StillCaptured, 0u);
    EXPECT_EQ(ctx_.StillFailCount, 1);
  }
  // With P = 512 the count is 397.
  SetUpPacketSize(512);
  SendStillFrame(397);
  EXPECT_EQ(ctx_.StillReady.load(), 1u);
}

TEST_F(PacketTest, StillArrivingWhileOneWaitsIsNotCollected) {
  SendStillFrame(199);
  ASSERT_EQ(ctx_.StillReady.load(), 1u);
  std::vector<UCHAR> kept(still_.begin(), still_.begin() + 204393);
  // A second still, numbered differently, while the first waits.
  SendFull(FrameStart(true));
  EXPECT_EQ(ctx_.StillCollecting.load(), 0);
  for (int i = 0; i < 198; ++i) SendFull(Slot(static_cast<UCHAR>(i % 128), 0x77));
  SendFull(FrameStart());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), still_.begin())) << "the waiting still was overwritten";
  EXPECT_EQ(ctx_.StillFailCount, 0) << "the last still completed, so this one is not a failure";

  // Once the last still-marked frame failed, an uncollected one counts.
  ctx_.StillCaptured = 0;
  SendStillFrame(199);
  EXPECT_EQ(ctx_.StillFailCount, 1);
  // Cleared by the snapshot side: the next still is collected.
  ctx_.StillReady.store(0);
  SendStillFrame(199);
  EXPECT_EQ(ctx_.StillReady.load(), 1u);
  EXPECT_EQ(ctx_.StillFailCount, 0);
}

TEST_F(PacketTest, OverlongStillStopsAtTheEndOfTheBuffer) {
  // 400 packets of 1022 bytes would run about 100 KB past the buffer.
  SendStillFrame(400);
  for (size_t i = driver::kStillBufferSize; i < still_.size(); ++i) ASSERT_EQ(still_[i], 0xEE) << i;
  EXPECT_EQ(ctx_.StillReady.load(), 0u);
  EXPECT_EQ(ctx_.StillFailCount, 1);
  EXPECT_EQ(ctx_.StillWriteOffset, 1024u + 1013u + 399u * 1022u) << "the offset keeps the true length";
}

TEST_F(PacketTest, TinyPacketSizesNeitherDivideByZeroNorUnderflow) {
  for (USHORT p : {0, 1, 2, 5, 9}) {
    SCOPED_TRACE(p);
    SetUpPacketSize(p);
    ctx_.StillReady.store(0);
    for (int frame = 0; frame < 3; ++frame) {
      const Result start = Send(FrameStart(true), p, 0);
      EXPECT_EQ(start.bytes, p == 0 ? 0u : p - 1u);
      Send(Slot(0), p, 0);
    }
    EXPECT_EQ(ctx_.StillReady.load(), 0u);
    for (size_t i = driver::kStillBufferSize; i < still_.size(); ++i) ASSERT_EQ(still_[i], 0xEE);
  }
}

}  // namespace
}  // namespace dualcam::pipeline
