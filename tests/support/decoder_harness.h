// A private decoder instance for tests and benchmarks: owns one
// DecoderState (heap-allocated, it is large) with work buffers from the
// C heap, and decodes a whole camera stream into a correctly sized buffer
// with the read slack the decoder needs after its input.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pipeline/decoder/decoder.h"

namespace dualcam::testing {

class DecoderHarness {
 public:
  DecoderHarness();
  ~DecoderHarness();
  DecoderHarness(const DecoderHarness&) = delete;
  DecoderHarness& operator=(const DecoderHarness&) = delete;

  bool ready() const { return ready_; }
  decoder::DecoderState* state() { return state_.get(); }

  // Decodes stream at width x height with quality index and output kind;
  // nullopt when any step reports failure. The output is sized by
  // DecoderOutputBytes (e.g. 160x120 covers 128 rows).
  std::optional<std::vector<uint8_t>> Decode(std::span<const uint8_t> stream, int width, int height,
                                             int quality, int kind);

  // Lower-level: decodes into out (which must hold DecoderOutputBytes),
  // returning DecodePicture's result. input must carry kReadSlack readable
  // bytes after length.
  int DecodeInto(const uint8_t* input, int32_t length, int width, int height, int quality, int kind, uint8_t* out);

 private:
  std::unique_ptr<decoder::DecoderState> state_;
  bool ready_ = false;
  std::vector<uint8_t> input_;  // stream copy plus zero slack
};

}  // namespace dualcam::testing
