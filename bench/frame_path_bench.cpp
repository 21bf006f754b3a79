// The whole frame path per frame: every USB packet of one camera frame
// through CamProcessUSBPacket, gathered the way the class library gathers
// them, then CamProcessRawVideoFrame into the application's buffer, at
// 352x288 for each output kind; and the decoder alone on the same frame, for
// the decoder's share of the path.
//
// Hard part: measuring only the driver. The class library's part is kept to
// what it must do (one copy of each accepted payload into the raw frame
// buffer), every buffer is allocated before the timed loop, and the frame
// context starts clean every frame as the library's does.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "host/sim/encoder/encoder.h"
#include "host/sim/encoder/picture.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/frame.h"
#include "pipeline/packet.h"
#include "pipeline/render.h"
#include "support/decoder_harness.h"
#include "support/picture_io.h"

namespace {

using namespace dualcam;

constexpr int kWidth = 352, kHeight = 288;
constexpr ULONG kPacketSize = 1023;

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

// One camera frame of the kodim15 photograph as P-byte packet slots.
struct FramePackets {
  std::vector<uint8_t> stream;               // compressed picture + read slack
  std::vector<std::vector<uint8_t>> slots;   // frame-start packet first
  std::vector<ULONG> lengths;                // bytes received per packet
};

const FramePackets& Packets() {
  static const FramePackets packets = [] {
    FramePackets p;
    const std::string path = std::string(DUALCAM_TESTDATA_DIR) + "/kodim15_352x288.png";
    auto rgb = testing::LoadPng(path);
    if (!rgb) {
      std::fprintf(stderr, "missing %s\n", path.c_str());
      std::abort();
    }
    const auto yuv = encoder::RgbToI420(*rgb);
    const auto raw = encoder::EncodeRawFrame({yuv.bytes, kWidth, kHeight}, 3);
    p.stream.assign(raw.begin() + encoder::kRawHeaderSize, raw.end());
    p.stream.resize(p.stream.size() + decoder::kReadSlack, 0);
    const std::size_t payload = kPacketSize - 1;
    for (std::size_t offset = 0, n = 0; offset < raw.size(); offset += payload, ++n) {
      std::vector<uint8_t> slot(kPacketSize, 0);
      slot[0] = n == 0 ? pipeline::kPacketFrameStart : static_cast<uint8_t>((n - 1) % 128);
      const std::size_t count = std::min(payload, raw.size() - offset);
      std::memcpy(slot.data() + 1, raw.data() + offset, count);
      p.slots.push_back(std::move(slot));
      p.lengths.push_back(static_cast<ULONG>(1 + count));
    }
    return p;
  }();
  return packets;
}

void BM_FramePath(benchmark::State& state) {
  static const ULONG kKinds[] = {pipeline::kCompressionRgb, pipeline::kFourccI420, pipeline::kFourccVqj9};
  const ULONG compression = kKinds[state.range(0)];
  static const decoder::DecoderAllocator heap = {HeapAllocate, HeapRelease, nullptr};
  if (pipeline::SharedDecoderAcquire(&heap) != 1) {
    state.SkipWithError("decoder set-up failed");
    return;
  }
  const FramePackets& packets = Packets();

  USBD_INTERFACE_INFORMATION iface{};
  iface.Pipes[0].MaximumPacketSize = kPacketSize;
  auto ctx = std::make_unique<driver::DeviceContext>();
  std::vector<UCHAR> still(driver::kStillBufferSize), lastGood(driver::kLastGoodFrameSize);
  ctx->InterfaceCopy = &iface;
  ctx->StillBuffer = still.data();
  ctx->LastGoodFrame = lastGood.data();
  ctx->OutputCompression = compression;
  ctx->FormatWidth = kWidth;
  ctx->FormatHeight = kHeight;
  ctx->RawWidth = kWidth;
  ctx->RawHeight = kHeight;
  ctx->QualityIndex = 3;

  const std::size_t rawCapacity = packets.slots.size() * (kPacketSize - 1);
  std::vector<UCHAR> raw(rawCapacity + decoder::kRawFrameSlack, 0);
  std::vector<UCHAR> picture(compression == pipeline::kCompressionRgb ? kWidth * kHeight * 3
                             : compression == pipeline::kFourccI420  ? kWidth * kHeight * 3 / 2
                                                                     : rawCapacity + pipeline::kPassThroughHeaderSize);
  UCHAR frameContext[4] = {};
  std::size_t gathered = 0;
  ULONG gatheredPackets = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < packets.slots.size(); ++i) {
      USBD_ISO_PACKET_DESCRIPTOR descriptor{0, packets.lengths[i], packets.lengths[i] == kPacketSize ? 0 : 9};
      BOOLEAN complete = 0, flag = 0;
      ULONG offset = 0;
      auto* slot = const_cast<uint8_t*>(packets.slots[i].data());
      const ULONG bytes = pipeline::CamProcessUSBPacket(nullptr, ctx.get(), frameContext, nullptr, nullptr,
                                                        &descriptor, slot, &complete, &offset, &flag);
      if (complete && gatheredPackets != 0) {
        ULONG returned = 0;
        pipeline::CamProcessRawVideoFrame(nullptr, ctx.get(), frameContext, picture.data(),
                                          static_cast<ULONG>(picture.size()), raw.data(),
                                          static_cast<ULONG>(gathered), gatheredPackets, &returned);
        benchmark::DoNotOptimize(returned);
        ++frames;
        gathered = 0;
        gatheredPackets = 0;
        std::memset(frameContext, 0, sizeof(frameContext));
      }
      if (bytes != 0 && gathered + bytes <= rawCapacity) {
        std::memcpy(raw.data() + gathered, slot + offset, bytes);
        gathered += bytes;
        ++gatheredPackets;
      }
    }
  }
  benchmark::ClobberMemory();
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["packets_per_frame"] = static_cast<double>(packets.slots.size());
  pipeline::SharedDecoderRelease();
}

// DecodePicture alone (quality select and row table included) on the same
// picture, straight into a picture buffer: the decoder's part of the path.
void BM_FramePathDecodeOnly(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  testing::DecoderHarness harness;
  const FramePackets& packets = Packets();
  std::vector<uint8_t> out(decoder::DecoderOutputBytes(kWidth, kHeight, kind));
  const auto length = static_cast<int32_t>(packets.stream.size() - decoder::kReadSlack);
  for (auto _ : state) {
    benchmark::DoNotOptimize(harness.DecodeInto(packets.stream.data(), length, kWidth, kHeight, 3, kind, out.data()));
  }
}

BENCHMARK(BM_FramePath)->ArgName("kind")->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FramePathDecodeOnly)->ArgName("kind")->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

}  // namespace
