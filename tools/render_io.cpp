// The driver's render outside the driver (see render_io.h).
#include "render_io.h"

#include <cstdlib>

#include "pipeline/decoder/decoder.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"

namespace dualcam::tools {
namespace {

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// This thread's decoder, with work pictures large enough for a 640x480
// still: the driver's shared decoder has smaller ones (its formats end at
// 352x288) and may be in use by a capture in this process. Kept for the
// thread's life, so a capture that renders each frame sets it up once.
class ToolDecoder {
 public:
  ToolDecoder() = default;
  ToolDecoder(const ToolDecoder&) = delete;
  ToolDecoder& operator=(const ToolDecoder&) = delete;
  ~ToolDecoder() { decoder::DecoderRelease(&state_); }

  // The ready state, or null when its buffers cannot be had (tried again
  // next time).
  decoder::DecoderState* Get() {
    static const decoder::DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};
    if (state_.Ready == 0 && decoder::DecoderInitialize(&state_, &kHeap, decoder::kStillWorkBufferSize) != 1)
      return nullptr;
    return &state_;
  }

 private:
  decoder::DecoderState state_{};
};

}  // namespace

std::optional<std::vector<uint8_t>> RenderRawFrame(std::span<const uint8_t> raw, int width, int height, bool planar,
                                                   int quality, int gamma) {
  const pipeline::SizePlanEntry* plan = pipeline::FindSizePlan(width, height);
  if (plan == nullptr || raw.size() < pipeline::kRawHeaderSize || gamma < 0 ||
      gamma >= pipeline::kToneCurveCount || raw.size() > UINT32_MAX)
    return std::nullopt;
  std::vector<uint8_t> frame(raw.begin(), raw.end());
  frame.resize(raw.size() + decoder::kRawFrameSlack, 0);
  WriteLe32(frame.data() + pipeline::kRawLengthOffset, static_cast<uint32_t>(raw.size()));
  // A quality above 3 is passed on as it is: the render refuses it like the
  // driver does.
  frame[pipeline::kRawQualityOffset] = static_cast<uint8_t>(quality);

  thread_local ToolDecoder tool;
  decoder::DecoderState* state = tool.Get();
  if (state == nullptr) return std::nullopt;

  pipeline::ProcessingOptions processing{};
  pipeline::SetToneCurve(&processing, gamma);
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  std::vector<uint8_t> picture(planar ? pixels * 3 / 2 : pixels * 3, 0);
  std::size_t written = 0;
  const int ok = pipeline::RenderFrameWith(state, &processing, frame.data(), picture.data(), picture.size(),
                                           &written, plan->RawWidth, plan->RawHeight, width, height,
                                           planar ? pipeline::kFourccI420 : pipeline::kCompressionRgb);
  if (ok != 1) return std::nullopt;
  return picture;
}

encoder::RgbPicture DriverBufferToRgb(std::span<const uint8_t> buffer, int width, int height, bool planar) {
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  if (planar) {
    std::vector<uint8_t> copy(buffer.begin(), buffer.end());
    copy.resize(pixels * 3 / 2, 0);
    return encoder::I420ToRgb({width, height, std::move(copy)});
  }
  encoder::RgbPicture rgb;
  rgb.width = width;
  rgb.height = height;
  rgb.pixels.assign(pixels * 3, 0);
  const std::size_t stride = static_cast<std::size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    const std::size_t from = (height - 1 - y) * stride;
    if (from + stride > buffer.size()) continue;
    const uint8_t* src = buffer.data() + from;
    uint8_t* dst = rgb.pixels.data() + y * stride;
    for (int x = 0; x < width; ++x) {
      dst[3 * x] = src[3 * x + 2];
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x];
    }
  }
  return rgb;
}

}  // namespace dualcam::tools
