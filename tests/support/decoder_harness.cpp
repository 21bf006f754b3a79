// A test-owned decoder instance; see decoder_harness.h.
#include "support/decoder_harness.h"

#include <algorithm>
#include <cstdlib>

namespace dualcam::testing {

namespace {

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }
const decoder::DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};

}  // namespace

DecoderHarness::DecoderHarness() : state_(std::make_unique<decoder::DecoderState>()) {
  ready_ = decoder::DecoderInitialize(state_.get(), &kHeap) == 1;
}

DecoderHarness::~DecoderHarness() {
  if (ready_) decoder::DecoderRelease(state_.get());
}

int DecoderHarness::DecodeInto(const uint8_t* input, int32_t length, int width, int height, int quality, int kind,
                               uint8_t* out) {
  if (!ready_) return 0;
  if (decoder::DecoderSelectQuality(state_.get(), static_cast<int16_t>(quality)) != 1) return 0;
  if (decoder::DecoderBuildRowTable(state_.get(), width, height, kind, out) != 1) return 0;
  return decoder::DecodePicture(state_.get(), input, length, out, kind);
}

std::optional<std::vector<uint8_t>> DecoderHarness::Decode(std::span<const uint8_t> stream, int width, int height,
                                                           int quality, int kind) {
  const std::size_t bytes = decoder::DecoderOutputBytes(width, height, kind);
  if (bytes == 0) return std::nullopt;
  input_.assign(stream.begin(), stream.end());
  input_.resize(stream.size() + decoder::kReadSlack, 0);
  std::vector<uint8_t> out(bytes, 0);
  if (DecodeInto(input_.data(), static_cast<int32_t>(stream.size()), width, height, quality, kind, out.data()) != 1)
    return std::nullopt;
  return out;
}

}  // namespace dualcam::testing
