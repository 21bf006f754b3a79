// Fuzz target: the compressed-picture decoder on any bitstream, at every
// raw size the camera sends, at odd sizes no camera sends, in both output
// kinds (and the bottom-up kind 2), with any quality index.
//
// Hard part: telling a fault from a refusal. The input buffer carries
// exactly the decoder's read slack and the output exactly the bytes the
// row table addresses, so ASan sees any read or write past either; and the
// same input decoded by a second decoder state with another history, on
// the reference path, must give the same result and bytes, or the decoder
// depends on what came before or the fast path strays from the reference.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "pipeline/decoder/decoder.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace decoder;

constexpr const char* kName = "decode_picture";
constexpr int kSizes[][2] = {{160, 112}, {160, 128}, {176, 144}, {320, 240}, {352, 288}, {640, 480}};
constexpr std::size_t kSizeCount = sizeof kSizes / sizeof kSizes[0];

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }
const DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};

struct Decoder {
  DecoderState state{};
  Decoder() {
    if (DecoderInitialize(&state, &kHeap) != 1) Fail(kName, "DecoderInitialize failed");
  }
  ~Decoder() { DecoderRelease(&state); }
};

// Decodes into a buffer of exactly `bytes`; returns the result.
int DecodeOnce(DecoderPath path, DecoderState* state, int width, int height, int kind, int16_t quality,
               const std::vector<uint8_t>& stream, int32_t length, std::vector<uint8_t>& out) {
  DecoderSelectQuality(state, quality);
  if (DecoderBuildRowTable(state, width, height, kind, out.empty() ? nullptr : out.data()) != 1) return -1;
  return DecodePictureWith(path, state, stream.data(), length, out.empty() ? nullptr : out.data(), kind);
}

}  // namespace

int FuzzDecodePicture(const uint8_t* data, std::size_t size) {
  static Decoder first;  // lives across inputs, like the driver's decoder
  FuzzInput in(data, size);
  const unsigned sizeChoice = in.U8();
  int width, height;
  if (sizeChoice < 250) {
    width = kSizes[sizeChoice % kSizeCount][0];
    height = kSizes[sizeChoice % kSizeCount][1];
  } else {  // any geometry at all, within the row table's reach or not
    width = static_cast<int16_t>(in.U16());
    height = static_cast<int16_t>(in.U16());
  }
  const int kind = static_cast<int>(in.U8() % 4);  // 3 is no kind
  const int16_t quality = static_cast<int16_t>(in.U8() % 6);  // 4, 5 are refused
  const std::span<const uint8_t> body = in.Rest();

  // The decoder may read kReadSlack bytes past the length it is given.
  std::vector<uint8_t> stream(body.begin(), body.end());
  stream.resize(body.size() + kReadSlack, 0);
  const int32_t length = static_cast<int32_t>(body.size());

  const std::size_t bytes = DecoderOutputBytes(width, height, kind);
  if (bytes > 640 * 480 * 3) Fail(kName, "output size beyond the largest picture");
  std::vector<uint8_t> a(bytes, 0x5A), b(bytes, 0x5A);
  const int ra = DecodeOnce(ActiveDecoderPath(), &first.state, width, height, kind, quality, stream, length, a);
  if (bytes == 0) Check(ra != 1, kName, "a picture was decoded with no row table");
  if (kind == 3) Check(ra != 1, kName, "an unknown output kind decoded");
  // A refused quality index keeps whatever the state had selected before,
  // so only a valid one makes two histories comparable.
  if (quality <= 3) {
    // Another state with another history (it sees only these inputs),
    // decoding on the plain scalar path: the fast path must agree with it
    // on every input, damaged or not. Set up once, since its 900 KB of work
    // buffers cost more than a decode.
    static Decoder second;
    const int rb =
        DecodeOnce(DecoderPath::Reference, &second.state, width, height, kind, quality, stream, length, b);
    Check(ra == rb, kName, "the fast and the reference decoder disagree on the result");
    Check(a == b, kName, "the fast and the reference decoder disagree on the picture");
  }
  return 0;
}

}  // namespace dualcam::fuzz
