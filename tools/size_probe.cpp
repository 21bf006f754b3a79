// Finding a raw frame's picture size (see size_probe.h).
#include "size_probe.h"

#include <cstdlib>

#include "pipeline/decoder/decoder.h"
#include "pipeline/render.h"

namespace dualcam::tools {
namespace {

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

// This thread's probing decoder (never the driver's shared one, which a
// capture in this process may be using).
struct ProbeDecoder {
  decoder::DecoderState state{};
  ~ProbeDecoder() { decoder::DecoderRelease(&state); }
  decoder::DecoderState* Get() {
    static const decoder::DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};
    if (state.Ready == 0 && decoder::DecoderInitialize(&state, &kHeap) != 1) return nullptr;
    return &state;
  }
};

constexpr std::pair<int, int> kProbed[] = {{352, 288}, {320, 240}, {176, 144}, {160, 120}, {640, 480}};

}  // namespace

std::span<const std::pair<int, int>> ProbedSizes() { return kProbed; }

std::optional<SizeFit> FitAt(std::span<const uint8_t> raw_frame, int quality, int width, int height) {
  const pipeline::SizePlanEntry* plan = pipeline::FindSizePlan(width, height);
  if (plan == nullptr || raw_frame.size() <= pipeline::kRawHeaderSize ||
      raw_frame.size() > static_cast<std::size_t>(INT32_MAX) - decoder::kRawFrameSlack)
    return std::nullopt;
  thread_local ProbeDecoder probe;
  decoder::DecoderState* state = probe.Get();
  if (state == nullptr || decoder::DecoderSelectQuality(state, static_cast<int16_t>(quality)) != 1) return std::nullopt;

  const std::size_t length = raw_frame.size() - pipeline::kRawHeaderSize;
  std::vector<uint8_t> data(raw_frame.begin() + pipeline::kRawHeaderSize, raw_frame.end());
  data.resize(length + decoder::kReadSlack, 0);
  std::vector<uint8_t> picture(
      decoder::DecoderOutputBytes(plan->RawWidth, plan->RawHeight, decoder::kOutputI420), 0);
  if (picture.empty() ||
      decoder::DecoderBuildRowTable(state, plan->RawWidth, plan->RawHeight, decoder::kOutputI420, picture.data()) != 1 ||
      decoder::DecodePicture(state, data.data(), static_cast<int32_t>(length), picture.data(), decoder::kOutputI420) != 1)
    return std::nullopt;
  // Bits the reader fetched but the picture did not use are not consumed.
  const std::ptrdiff_t fetched = state->ReadPosition - state->InputStart;
  const std::ptrdiff_t used = fetched - state->BitCount / 8;
  if (used < 0 || static_cast<std::size_t>(used) > length) return std::nullopt;  // ran past the data
  // A frame is whole packets: zeros pad the picture up to the last one's
  // end. They are not data.
  std::size_t end = length;
  while (end > static_cast<std::size_t>(used) && data[end - 1] == 0) --end;
  return SizeFit{width, height, end, end - static_cast<std::size_t>(used)};
}

bool EndsAtDataEnd(const SizeFit& fit) { return fit.unused <= 4; }

std::optional<SizeFit> DetectSize(std::span<const uint8_t> raw_frame, int quality) {
  std::optional<SizeFit> found;
  for (const auto& [width, height] : kProbed) {
    const auto fit = FitAt(raw_frame, quality, width, height);
    if (!fit || !EndsAtDataEnd(*fit)) continue;
    if (found) return std::nullopt;  // two sizes fit: no telling
    found = fit;
  }
  return found;
}

}  // namespace dualcam::tools
