// The raw-frame routine on a bare DeviceContext with the shared decoder:
// what each frame context, frame kind and output kind delivers, and the
// bounds of every buffer it writes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host/sim/encoder/encoder.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/frame.h"
#include "pipeline/packet.h"
#include "pipeline/render.h"

namespace dualcam::pipeline {
namespace {

using driver::DeviceContext;

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

constexpr int kW = 176, kH = 144;
constexpr ULONG kP = 1023;
constexpr size_t kGuard = 512;
constexpr UCHAR kGuardByte = 0xEE;

// A raw frame as the library hands it over: whole packets of P - 1 bytes,
// zero after the compressed picture and decoder::kRawFrameSlack zeros after
// the last packet.
struct RawFrame {
  std::vector<UCHAR> bytes;
  ULONG packets = 0;
};

RawFrame MakeRaw(int seed, encoder::FrameKind kind = encoder::FrameKind::kVideo, ULONG minPackets = 0, int w = kW,
                 int h = kH) {
  std::vector<uint8_t> yuv(w * h * 3 / 2);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) yuv[y * w + x] = static_cast<uint8_t>((x * 2 + y * seed) & 0xFF);
  std::fill(yuv.begin() + w * h, yuv.end(), static_cast<uint8_t>(100 + seed));
  const auto frame = encoder::EncodeRawFrame(encoder::I420View{yuv, w, h}, 3, kind);
  RawFrame raw;
  raw.packets = std::max<ULONG>(minPackets, static_cast<ULONG>((frame.size() + kP - 2) / (kP - 1)));
  raw.bytes.assign(raw.packets * (kP - 1) + decoder::kRawFrameSlack, 0);
  std::copy(frame.begin(), frame.end(), raw.bytes.begin());
  return raw;
}

class FrameTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const decoder::DecoderAllocator heap = {HeapAllocate, HeapRelease, nullptr};
    ASSERT_EQ(SharedDecoderAcquire(&heap), 1);
  }
  static void TearDownTestSuite() { SharedDecoderRelease(); }

  void SetUp() override {
    iface_.Pipes[0].MaximumPacketSize = kP;
    ctx_.InterfaceCopy = &iface_;
    // Stale pool bytes: a whole decodable frame of a different picture, so a
    // repeat that decoded it would show.
    last_good_.assign(driver::kLastGoodFrameSize, 0);
    RawFrame stale = MakeRaw(9);
    std::copy(stale.bytes.begin(), stale.bytes.end(), last_good_.begin());
    const ULONG l = stale.packets * (kP - 1);
    std::memcpy(last_good_.data() + 1, &l, 4);
    last_good_[7] = 3;
    ctx_.LastGoodFrame = last_good_.data();
    UseFormat(kCompressionRgb);
  }

  void UseFormat(ULONG compression, int w = kW, int h = kH) {
    ctx_.OutputCompression = compression;
    ctx_.FormatWidth = w;
    ctx_.FormatHeight = h;
    ctx_.RawWidth = static_cast<ULONG>(w);
    ctx_.RawHeight = static_cast<ULONG>(h);
    ctx_.QualityIndex = 3;
  }
  size_t PictureSize() const {
    const size_t pixels = static_cast<size_t>(kW) * kH;
    return ctx_.OutputCompression == kCompressionRgb ? pixels * 3 : pixels * 3 / 2;
  }

  // Runs the callback on a copy of raw into a buffer of `length` bytes
  // (filled with `fill`) followed by guard bytes; checks the guard.
  std::vector<UCHAR> Process(const RawFrame& raw, ULONG context, ULONG length = 0, UCHAR fill = 0x5A,
                             ULONG* returned = nullptr, ULONG packets = ~0u) {
    if (length == 0) length = static_cast<ULONG>(PictureSize());
    std::vector<UCHAR> out(length + kGuard, fill);
    std::fill(out.begin() + length, out.end(), kGuardByte);
    std::vector<UCHAR> copy = raw.bytes;
    ULONG bytes = 0xDEAD;
    const NTSTATUS status =
        CamProcessRawVideoFrame(nullptr, &ctx_, &context, out.data(), length, copy.data(),
                                static_cast<ULONG>(copy.size()), packets == ~0u ? raw.packets : packets, &bytes);
    EXPECT_EQ(status, STATUS_SUCCESS);
    for (size_t i = length; i < out.size(); ++i) {
      EXPECT_EQ(out[i], kGuardByte) << "written past FrameLength at " << i;
      if (out[i] != kGuardByte) break;
    }
    if (returned) *returned = bytes;
    out.resize(length);
    return out;
  }

  // The picture the renderer makes of raw, for comparison.
  std::vector<UCHAR> Rendered(const RawFrame& raw) {
    std::vector<UCHAR> copy = raw.bytes;
    const ULONG l = raw.packets * (kP - 1);
    std::memcpy(copy.data() + 1, &l, 4);
    copy[7] = 3;
    std::vector<UCHAR> out(PictureSize());
    size_t written = 0;
    EXPECT_EQ(RenderFrame(&ctx_.ProcessingOptions, copy.data(), out.data(), out.size(), &written, kW, kH, kW, kH,
                          ctx_.OutputCompression),
              1);
    return out;
  }

  static bool AllZero(const std::vector<UCHAR>& v) {
    return std::all_of(v.begin(), v.end(), [](UCHAR b) { return b == 0; });
  }

  DeviceContext ctx_{};
  USBD_INTERFACE_INFORMATION iface_{};
  std::vector<UCHAR> last_good_;
};

TEST_F(FrameTest, GoodFramesDecodeAndBecomeTheRepeat) {
  const RawFrame a = MakeRaw(1), b = MakeRaw(2);
  for (ULONG kind : {kCompressionRgb, kFourccI420, kFourccIyuv}) {
    SCOPED_TRACE(kind);
    UseFormat(kind);
    ULONG returned = 0;
    // The lower half alone (frame 1, no mark) does not stop a decode.
    EXPECT_EQ(Process(a, 0x00000001, 0, 0x5A, &returned), Rendered(a));
    EXPECT_EQ(returned, PictureSize());
    EXPECT_EQ(Process(b, 0x00000002), Rendered(b));
    // A frame that lost packets shows the last good one (b), not the stale
    // bytes LastGoodFrame started with.
    const std::vector<UCHAR> kept(last_good_.begin(), last_good_.begin() + b.packets * (kP - 1));
    EXPECT_EQ(Process(a, 0x55AA0003, 0, 0x5A, &returned), Rendered(b));
    EXPECT_EQ(returned, PictureSize());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), last_good_.begin())) << "a repeat changed LastGoodFrame";
  }
}

TEST_F(FrameTest, NoPictureDeliveries) {
  const RawFrame a = MakeRaw(1);
  ULONG returned = 0;
  // First frame lost packets: the blank picture, FrameLength reported.
  EXPECT_TRUE(AllZero(Process(a, 0x55AA0001, 0, 0x5A, &returned)));
  EXPECT_EQ(returned, PictureSize());
  // So also after a restart while a last good picture is kept: frame 1 of
  // the new capture is blank, not the old capture's picture.
  ASSERT_EQ(Process(a, 0x00000002), Rendered(a));
  EXPECT_TRUE(AllZero(Process(a, 0x55AA0001)));
  // Later frame lost packets before anything rendered: blank too, not a
  // decode of whatever LastGoodFrame held.
  ctx_.LastGoodFrameValid = 0;
  UseFormat(kFourccI420);
  EXPECT_TRUE(AllZero(Process(a, 0x55AA0002)));
  // VQJ9: the marker, the rest of the buffer as it was.
  UseFormat(kFourccVqj9);
  const auto out = Process(a, 0x55AA0007, 20000, 0x5A, &returned);
  EXPECT_EQ(returned, 20000u);
  const UCHAR marker[7] = {0, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(0, std::memcmp(out.data(), marker, 7));
  EXPECT_TRUE(std::all_of(out.begin() + 7, out.end(), [](UCHAR v) { return v == 0x5A; }));
}

TEST_F(FrameTest, DamagedFramesRepeatTheLastGoodPicture) {
  const RawFrame good = MakeRaw(1), other = MakeRaw(2);
  const auto picture = Process(good, 0x00000002);
  ASSERT_EQ(picture, Rendered(good));
  const std::vector<UCHAR> kept(last_good_.begin(), last_good_.begin() + good.packets * (kP - 1));

  // Truncated bitstream: the decode fails.
  EXPECT_EQ(Process(other, 0x00000003, 0, 0x5A, nullptr, 2), picture);
  // Too short to hold its header (0 packets, or a packet size of 0 or 1).
  EXPECT_EQ(Process(other, 0x00000004, 0, 0x5A, nullptr, 0), picture);
  for (USHORT p : {0, 1}) {
    iface_.Pipes[0].MaximumPacketSize = p;
    EXPECT_EQ(Process(other, 0x00000005), picture) << "P = " << p;
  }
  iface_.Pipes[0].MaximumPacketSize = kP;
  // A quality index with no tables.
  ctx_.QualityIndex = 4;
  EXPECT_EQ(Process(other, 0x00000006), picture);
  ctx_.QualityIndex = 3;
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), last_good_.begin()));
}

TEST_F(FrameTest, StillMarkedFrameRepeatsOrMarks) {
  const RawFrame good = MakeRaw(1), still = MakeRaw(2, encoder::FrameKind::kStill);
  ctx_.StillCollecting.store(1);  // no size request then (none can be sent here anyway)
  EXPECT_TRUE(AllZero(Process(still, 0x00000002))) << "nothing rendered yet: blank";
  const auto picture = Process(good, 0x00000003);
  ULONG returned = 0;
  EXPECT_EQ(Process(still, 0x00000004, 0, 0x5A, &returned), picture);
  EXPECT_EQ(returned, PictureSize());
  UseFormat(kFourccVqj9);
  const auto out = Process(still, 0x00000005, 30000, 0x5A, &returned);
  EXPECT_EQ(returned, 30000u);
  EXPECT_EQ(out[6], 6);
  EXPECT_EQ(out[7], 0x5A);
}

TEST_F(FrameTest, PassThroughSampleLayout) {
  UseFormat(kFourccVqj9);
  ctx_.Gamma = 4;
  ctx_.Contrast = 0x1F;
  const RawFrame raw = MakeRaw(1, encoder::FrameKind::kVideo, 10);
  ASSERT_EQ(raw.packets, 10u);
  ULONG returned = 0;
  const auto out = Process(raw, 0x00000002, 10394 + 100, 0x5A, &returned);
  EXPECT_EQ(returned, 10394u);
  EXPECT_EQ(0, std::memcmp(out.data(), "VQJ9", 4));
  EXPECT_EQ(out[4] | out[5] << 8, 256);
  EXPECT_EQ(out[9], 4);
  EXPECT_EQ(out[10] | out[11] << 8, 0x1F);
  EXPECT_TRUE(std::all_of(out.begin() + 12, out.begin() + 172, [](UCHAR v) { return v == 0; }));
  EXPECT_EQ(out[172], 0x5A) << "bytes 172..173 are not written";
  ULONG l = 0;
  std::memcpy(&l, out.data() + 174 + 9, 4);
  EXPECT_EQ(l, 10220u);
  EXPECT_EQ(out[174 + 5], 3);
  // The rest of the raw frame, header bytes 0..4 and 6..8 included, as it came.
  EXPECT_EQ(0, std::memcmp(out.data() + 174, raw.bytes.data(), 5));
  EXPECT_EQ(0, std::memcmp(out.data() + 174 + 6, raw.bytes.data() + 6, 3));
  EXPECT_EQ(0, std::memcmp(out.data() + 174 + 13, raw.bytes.data() + 13, 10220 - 13));
}

TEST_F(FrameTest, SampleThatDoesNotFitBecomesTheMarker) {
  UseFormat(kFourccVqj9);
  const RawFrame raw = MakeRaw(1, encoder::FrameKind::kVideo, 10);
  ULONG returned = 0;
  // One byte short of L + 174: the marker instead, nothing past the buffer.
  const auto out = Process(raw, 0x00000002, 10393, 0x5A, &returned);
  EXPECT_EQ(returned, 10393u);
  EXPECT_EQ(out[6], 6);
  EXPECT_EQ(out[7], 0x5A);
  // A buffer too small even for the marker is left alone.
  const auto tiny = Process(raw, 0x55AA0003, 5, 0x5A, &returned);
  EXPECT_TRUE(std::all_of(tiny.begin(), tiny.end(), [](UCHAR v) { return v == 0x5A; }));
}

TEST_F(FrameTest, SmallApplicationBufferIsNeverOverrun) {
  const RawFrame good = MakeRaw(1);
  for (ULONG kind : {kCompressionRgb, kFourccI420}) {
    SCOPED_TRACE(kind);
    UseFormat(kind);
    const ULONG small = static_cast<ULONG>(PictureSize()) - 1;
    ULONG returned = 0;
    // The guard check in Process catches any write past `small` bytes.
    const auto out = Process(good, 0x00000002, small, 0x5A, &returned);
    EXPECT_EQ(returned, small);
    EXPECT_TRUE(AllZero(out)) << "no picture fits: the blank one";
    Process(good, 0x55AA0003, small);
  }
}

TEST_F(FrameTest, FrameLongerThanLastGoodFrameIsNotKept) {
  const RawFrame a = MakeRaw(1);
  const auto first = Process(a, 0x00000002);
  // Decodes fine, but its L (300 x 1022 bytes) exceeds LastGoodFrame.
  const RawFrame big = MakeRaw(2, encoder::FrameKind::kVideo, 300);
  ASSERT_GT(big.packets * (kP - 1), driver::kLastGoodFrameSize);
  EXPECT_EQ(Process(big, 0x00000003), Rendered(big));
  EXPECT_EQ(Process(a, 0x55AA0004), first) << "the repeat is the last frame that could be kept";
}

TEST_F(FrameTest, KeptFrameIsNotRepeatedAtAnotherRawSize) {
  // A 352x288 picture decoded as 176x144 would come out scrambled rather
  // than fail; after the capture changed size the repeat is the blank one.
  const RawFrame large = MakeRaw(1, encoder::FrameKind::kVideo, 0, 352, 288);
  UseFormat(kFourccI420, 352, 288);
  const auto first = Process(large, 0x00000002, 352 * 288 * 3 / 2);
  ASSERT_FALSE(AllZero(first));
  EXPECT_EQ(Process(large, 0x55AA0003, 352 * 288 * 3 / 2), first) << "same size: repeated";
  UseFormat(kFourccI420);
  EXPECT_TRUE(AllZero(Process(large, 0x55AA0004)));
  // Back at the size it was kept at, it is the repeat again.
  UseFormat(kFourccI420, 352, 288);
  EXPECT_EQ(Process(large, 0x55AA0005, 352 * 288 * 3 / 2), first);
}

TEST_F(FrameTest, OtherOutputKindsWriteNothingButCountAsGood) {
  const RawFrame a = MakeRaw(1);
  UseFormat(0x32595559);  // "YUY2"
  ULONG returned = 0;
  const auto out = Process(a, 0x00000002, 1000, 0x5A, &returned);
  EXPECT_EQ(returned, 1000u);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](UCHAR v) { return v == 0x5A; }));
  EXPECT_EQ(ctx_.LastGoodFrameValid, 1);
  ULONG l = 0;
  std::memcpy(&l, last_good_.data() + 1, 4);
  EXPECT_EQ(l, a.packets * (kP - 1));
}

TEST(FrameLength, ComputedFromPacketSizeAndCount) {
  EXPECT_EQ(ComputeRawFrameLength(1023, 10), 10220u);
  EXPECT_EQ(ComputeRawFrameLength(0, 10), 0u);
  EXPECT_EQ(ComputeRawFrameLength(1, 10), 0u);
  EXPECT_EQ(ComputeRawFrameLength(65535, 0xFFFFFFFFu), 0u) << "a product past 32 bits";
}

}  // namespace
}  // namespace dualcam::pipeline
