// The frame path under damage and stills, end to end through the host, and
// the compressed pass-through checked against the `dualcam decode` command.
//
// A picture is classified as decoded (close to its own sensor frame), a
// repeat (byte for byte the last decoded picture) or blank (all zero);
// anything else is garbage and fails.
#include <algorithm>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "camera/vendor.h"
#include "host/sim/encoder/encoder.h"
#include "host/sim/scene.h"
#include "pipeline/frame.h"
#include "pipeline/packet.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "stream_harness.h"
#include "support/picture_io.h"
#include "support/run_tool.h"
#include "support/test_data.h"
#include "support/sim_device.h"

namespace dualcam::framepath::testing {
namespace {

using host::sim::SimPacket;
using pipeline::kCompressionRgb;
using pipeline::kFourccI420;
using pipeline::kFourccVqj9;


enum class Fault { kNone, kDrop, kReorder, kError, kTruncate, kStill };

// Damages one continuation packet in the middle of a frame (never the
// frame-start packet or the last one, whose loss no packet rule can see).
void Damage(std::vector<SimPacket>& packets, Fault fault) {
  std::vector<size_t> frame;  // indexes of the frame's own packets
  for (size_t i = 0; i < packets.size(); ++i)
    if (!packets[i].bytes.empty() && packets[i].bytes[0] != pipeline::kPacketFiller) frame.push_back(i);
  ASSERT_GE(frame.size(), 4u);
  const size_t victim = frame[frame.size() / 2];
  switch (fault) {
    case Fault::kDrop: packets.erase(packets.begin() + static_cast<long>(victim)); break;
    case Fault::kReorder: std::swap(packets[victim], packets[victim + 1]); break;
    case Fault::kError: packets[victim].status = static_cast<int32_t>(0xC0000001u); break;
    case Fault::kTruncate: packets[victim].bytes.resize(packets[victim].bytes.size() / 2); break;
    default: break;
  }
}

enum class Kind { kDecoded, kRepeated, kBlank, kGarbage };

struct Tally {
  std::map<Kind, int> counts;
  std::vector<uint8_t> last_decoded;
  double min_garbage_psnr = 1000;
  Kind Classify(const DeliveredPicture& picture, StreamHarness& harness, const CaptureFormat& format) {
    const auto& bytes = picture.Bytes;
    Kind kind = Kind::kGarbage;
    if (!last_decoded.empty() && bytes == last_decoded) {
      kind = Kind::kRepeated;
    } else if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; })) {
      kind = Kind::kBlank;
    } else {
      // A lost frame-start packet joins two camera frames into one raw frame,
      // after which the frame counter no longer names the camera's frame:
      // a decoded picture must be close to one of the recent sensor frames.
      double best = 0;
      for (const auto& record : harness.Camera().FrameHistory())
        if (record.kind == encoder::FrameKind::kVideo)
          best = std::max(best, dualcam::testing::Compare(bytes, ExpectedPicture(record, format)).psnr);
      if (best >= kMinPsnr) {
        kind = Kind::kDecoded;
        last_decoded = bytes;
      } else {
        min_garbage_psnr = std::min(min_garbage_psnr, best);
      }
    }
    ++counts[kind];
    return kind;
  }
};

void TakeStill(StreamHarness& harness) {
  uint32_t length = 0;
  ASSERT_EQ(harness.Camera().Control(false, 0x05, 2, 1, nullptr, &length), STATUS_SUCCESS);
}

int SizeRequests(StreamHarness& harness) {
  int n = 0;
  for (const auto& record : harness.Camera().RequestLog()) n += !record.in && record.request == 0xA0;
  return n;
}

TEST(FramePathStream, InjectedFaultsGiveOnePicturePerFrame) {
  for (ULONG compression : {kCompressionRgb, kFourccI420}) {
    SCOPED_TRACE(compression);
    host::sim::SimCameraOptions options;
    options.history_depth = 32;
    StreamHarness harness(options);
    const CaptureFormat format{320, 240, compression, 5};
    ASSERT_EQ(harness.Start(format), STATUS_SUCCESS);
    host::CameraDevice& device = harness.Device();
    const size_t size = PictureBytes(format, device.RawFrameLength());
    std::vector<std::vector<uint8_t>> buffers(16, std::vector<uint8_t>(size, 0xA5));
    std::vector<DeliveredPicture> delivered;
    for (auto& buffer : buffers)
      device.QueueRead(buffer, [&](const host::CompletedRead& read) { delivered.push_back({read, buffer}); });

    // The capture joins the camera mid-frame: one accepted packet, then one
    // out of order. That partial frame is the capture's first and lost
    // packets, so it is the blank picture.
    std::vector<uint8_t> slot(1023, 0x33);
    slot[0] = 0;
    dualcam::testing::DeliverSimPacket(device, {slot, 0});
    slot[0] = 5;
    dualcam::testing::DeliverSimPacket(device, {slot, 0});

    // Frame 8 is a still picture. The frame start that ends a still-marked
    // frame completes nothing, so frame 9 is gathered into the same raw
    // frame, which then shows as one repeat; meanwhile the snapshot side
    // sends the camera back to its video size, as it does once it has the
    // still.
    const Fault schedule[] = {Fault::kNone,  Fault::kDrop, Fault::kNone,     Fault::kReorder, Fault::kError,
                              Fault::kNone,  Fault::kTruncate, Fault::kStill, Fault::kNone,  Fault::kNone,
                              Fault::kDrop,  Fault::kNone, Fault::kNone};
    const Kind expected[] = {Kind::kBlank,    Kind::kDecoded,  Kind::kRepeated, Kind::kDecoded, Kind::kRepeated,
                             Kind::kRepeated, Kind::kDecoded,  Kind::kRepeated, Kind::kRepeated, Kind::kDecoded,
                             Kind::kRepeated, Kind::kDecoded,  Kind::kDecoded};
    int requestsAfterStill = 0;
    for (Fault fault : schedule) {
      if (fault == Fault::kStill) TakeStill(harness);
      std::vector<SimPacket> packets;
      harness.Camera().ProduceFrame(device.MaxPacketSize(), packets);
      if (fault != Fault::kStill) Damage(packets, fault);
      for (const auto& packet : packets) dualcam::testing::DeliverSimPacket(device, packet);
      if (fault == Fault::kStill) {
        camera::SelectImageSize(harness.Context());
        requestsAfterStill = SizeRequests(harness);
      }
    }
    // The frame start of one more frame ends the last scheduled one.
    std::vector<SimPacket> packets;
    harness.Camera().ProduceFrame(device.MaxPacketSize(), packets);
    dualcam::testing::DeliverSimPacket(device, packets.front());

    // One picture per raw frame: the partial one, and each frame but the
    // still, which shares its raw frame with the next.
    ASSERT_EQ(delivered.size(), std::size(expected));
    Tally tally;
    for (size_t i = 0; i < std::size(expected); ++i) {
      EXPECT_EQ(tally.Classify(delivered[i], harness, format), expected[i]) << "picture " << i;
      EXPECT_EQ(delivered[i].Read.BytesReturned, size);
    }
    EXPECT_EQ(tally.counts[Kind::kDecoded], 6);
    EXPECT_EQ(tally.counts[Kind::kRepeated], 6);
    EXPECT_EQ(tally.counts[Kind::kBlank], 1);
    EXPECT_EQ(tally.counts[Kind::kGarbage], 0);

    // The still was collected whole. It was not being collected when its
    // raw frame was delivered, so the frame path asked for the video size.
    const driver::DeviceContext* ctx = harness.Context();
    EXPECT_EQ(ctx->StillReady.load(), 1u);
    EXPECT_EQ(ctx->StillToSave.load(), 1);
    EXPECT_EQ(ctx->StillCaptured, 1u);
    EXPECT_EQ(ctx->StillFailCount, 0);
    EXPECT_EQ(ctx->StillWriteOffset, pipeline::ExpectedStillLength(1023));
    EXPECT_EQ(SizeRequests(harness), requestsAfterStill + 1);
    EXPECT_EQ(harness.Camera().VideoWidth(), 320);
    device.CancelReads();
  }
}

// A still-marked raw frame asks the camera for its video size again only
// when the still is not being collected: a request in the middle of a
// collection would end the still the camera is sending.
TEST(FramePathStream, StillMarkedFrameSelectsTheVideoSizeOnlyWhenNotCollecting) {
  StreamHarness harness;
  const CaptureFormat format{320, 240, kCompressionRgb, 5};
  ASSERT_EQ(harness.Start(format), STATUS_SUCCESS);
  driver::DeviceContext* ctx = harness.Context();
  std::vector<uint8_t> out(320 * 240 * 3);
  for (UCHAR collecting : {1, 0}) {
    SCOPED_TRACE(static_cast<int>(collecting));
    std::vector<uint8_t> raw(1022 * 4 + decoder::kRawFrameSlack, 0);
    raw[3] = 0;  // frame kind 0, 2: a still
    raw[4] = 2;
    ctx->StillCollecting.store(collecting);
    const int before = SizeRequests(harness);
    ULONG frameContext = 5, returned = 0;
    pipeline::CamProcessRawVideoFrame(nullptr, ctx, &frameContext, out.data(), static_cast<ULONG>(out.size()),
                                      raw.data(), static_cast<ULONG>(raw.size()), 4, &returned);
    EXPECT_EQ(returned, out.size());
    EXPECT_EQ(SizeRequests(harness) - before, collecting ? 0 : 1);
  }
}

TEST(FramePathStream, SeededPacketDamageNeverShowsGarbage) {
  for (UCHAR alternate : {5, 3, 1}) {
    SCOPED_TRACE(alternate);
    host::sim::SimCameraOptions options;
    options.history_depth = 64;
    StreamHarness harness(options);
    const CaptureFormat format{176, 144, kFourccI420, alternate};
    ASSERT_EQ(harness.Start(format), STATUS_SUCCESS);
    host::sim::PacketFaults faults;
    faults.seed = 7 + alternate;
    faults.drop = faults.reorder = faults.truncate = faults.error = 20000;  // 2 % each
    harness.Camera().SetPacketFaults(faults);
    const auto pictures = harness.Capture(30);
    ASSERT_EQ(pictures.size(), 30u);
    Tally tally;
    for (const auto& picture : pictures) tally.Classify(picture, harness, format);
    EXPECT_EQ(tally.counts[Kind::kGarbage], 0) << "worst " << tally.min_garbage_psnr << " dB";
    EXPECT_GT(tally.counts[Kind::kDecoded], 0);
    EXPECT_GT(tally.counts[Kind::kRepeated], 0) << "the seed should damage some frames";
  }
}

// The VQJ9 sample, rendered by the command, equals the driver's own RGB24
// and I420 output of the same raw frame, tone curve included.
TEST(FramePathStream, PassThroughSamplesDecodeLikeTheDriver) {
  dualcam::testing::TempDir dir("framepath-vqj9");
  for (const auto& plan : pipeline::kSizePlan) {
    const CaptureFormat format{plan.FormatWidth, plan.FormatHeight, kFourccVqj9, 5};
    const std::string size = std::to_string(format.Width) + "x" + std::to_string(format.Height);
    SCOPED_TRACE(size);
    StreamHarness harness;
    ASSERT_EQ(harness.Start(format), STATUS_SUCCESS);
    driver::DeviceContext* ctx = harness.Context();
    // The driver streams nothing larger than 352x288: its work pictures do
    // not hold the 640x480 planar picture a toned RGB render needs, so that
    // size is compared on the direct route.
    const int gamma = plan.FormatWidth == 320 || plan.FormatWidth == 640 ? 0 : 3;
    ctx->Gamma = static_cast<ULONG>(gamma);
    pipeline::SetToneCurve(&ctx->ProcessingOptions, gamma);
    const auto samples = harness.Capture(1);
    ASSERT_EQ(samples.size(), 1u);
    const auto& read = samples[0].Read;
    std::vector<uint8_t> sample(samples[0].Bytes.begin(), samples[0].Bytes.begin() + read.BytesReturned);
    ASSERT_EQ(0, std::memcmp(sample.data(), "VQJ9", 4));
    const auto path = dir / ("sample_" + size + ".vqj9");
    ASSERT_TRUE(dualcam::testing::WriteFileBytes(path, sample));

    for (ULONG compression : {kCompressionRgb, kFourccI420}) {
      const bool rgb = compression == kCompressionRgb;
      // The driver's own rendering of the same raw frame.
      std::vector<uint8_t> raw(sample.begin() + pipeline::kPassThroughHeaderSize, sample.end());
      raw.resize(raw.size() + decoder::kRawFrameSlack, 0);
      ctx->OutputCompression = compression;
      const size_t pixels = static_cast<size_t>(format.Width) * format.Height;
      std::vector<uint8_t> own(rgb ? pixels * 3 : pixels * 3 / 2);
      ULONG frameContext = read.FrameContext, returned = 0;
      pipeline::CamProcessRawVideoFrame(nullptr, ctx, &frameContext, own.data(), static_cast<ULONG>(own.size()),
                                        raw.data(), static_cast<ULONG>(raw.size()), read.NumberOfPackets,
                                        &returned);
      const auto out = dir / (size + (rgb ? ".bgr" : ".yuv"));
      const auto run = dualcam::testing::RunTool(
          {"decode", "--size", size, "--format", rgb ? "rgb24" : "i420", path.string(), out.string()});
      ASSERT_EQ(run.exit_status, 0) << run.err;
      const auto decoded = dualcam::testing::ReadFileBytes(out);
      ASSERT_TRUE(decoded.has_value());
      EXPECT_TRUE(*decoded == own) << (rgb ? "RGB24" : "I420") << " differs";
      EXPECT_FALSE(std::all_of(own.begin(), own.end(), [](uint8_t b) { return b == 0; }));
    }
  }
}

// Two cameras stream at once, each on its own thread, through the one
// shared decoder.
TEST(FramePathConcurrency, TwoCamerasStreamAtOnce) {
  StreamHarness harness;
  const CaptureFormat first{352, 288, kCompressionRgb, 5};
  ASSERT_EQ(harness.Start(first), STATUS_SUCCESS);
  const CaptureFormat second{160, 120, kFourccI420, 4};
  host::CameraDevice* other = &harness.AttachAnother();
  ASSERT_EQ(harness.StartOn(*other, second), STATUS_SUCCESS);

  std::vector<DeliveredPicture> a;
  std::vector<std::vector<uint8_t>> b(6, std::vector<uint8_t>(PictureBytes(second, 0), 0xA5));
  std::vector<host::CompletedRead> bReads;
  std::thread worker([&] {
    for (auto& buffer : b) other->QueueRead(buffer, [&](const host::CompletedRead& read) { bReads.push_back(read); });
    other->Pump(8);
  });
  a = harness.Capture(6);
  worker.join();
  ASSERT_EQ(a.size(), 6u);
  ASSERT_EQ(bReads.size(), 6u);
  for (const auto& picture : a) {
    const auto record = harness.Camera().Frame((picture.Read.FrameContext & 0xFFFF) - 1);
    ASSERT_TRUE(record.has_value());
    EXPECT_GE(dualcam::testing::Compare(picture.Bytes, ExpectedPicture(*record, first)).psnr, kMinPsnr);
  }
  for (size_t i = 0; i < b.size(); ++i) {
    const auto record = dualcam::testing::SimCameraOf(*other).Frame((bReads[i].FrameContext & 0xFFFF) - 1);
    ASSERT_TRUE(record.has_value());
    EXPECT_GE(dualcam::testing::Compare(b[i], ExpectedPicture(*record, second)).psnr, kMinPsnr);
  }
}

}  // namespace
}  // namespace dualcam::framepath::testing
