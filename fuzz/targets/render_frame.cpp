// Fuzz target: the render routes. Any raw frame behind any header, at every
// format size (and raw/format pairs that do not belong together), in every
// output compression, with any tone curve and any buffer capacity around
// the picture's size. The routes run on the driver's shared decoder and on
// a still-sized one of the target's own.
//
// Hard part: the render promises more than "no crash": a refusal it can
// see before decoding (quality byte above 3, a pair it does not know, a
// buffer too small) leaves the application's buffer untouched, and a
// success writes exactly the picture's size. Both are checked on a buffer
// of exactly the capacity given, so ASan also sees any write past it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "pipeline/picture.h"
#include "pipeline/render.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace pipeline;

constexpr const char* kName = "render_frame";
constexpr std::size_t kPlanCount = sizeof kSizePlan / sizeof kSizePlan[0];
constexpr uint8_t kFill = 0xC3;

std::size_t PictureBytes(int width, int height, uint32_t compression) {
  return compression == kCompressionRgb ? RgbPictureBytes(width, height) : PlanarPictureBytes(width, height);
}

// A decoder of the target's own with still-sized work pictures, as the
// tools render 640x480 stills with; never released (the process ends with
// the fuzzer).
decoder::DecoderState* StillDecoder() {
  static decoder::DecoderState* state = [] {
    static const decoder::DecoderAllocator heap = {
        [](std::size_t bytes, void*) { return std::malloc(bytes); }, [](void* block, void*) { std::free(block); },
        nullptr};
    auto* made = new decoder::DecoderState{};
    if (decoder::DecoderInitialize(made, &heap, decoder::kStillWorkBufferSize) != 1)
      Fail(kName, "cannot set up the still decoder");
    return made;
  }();
  return state;
}

}  // namespace

int FuzzRenderFrame(const uint8_t* data, std::size_t size) {
  TheWorld();  // the shared decoder
  FuzzInput in(data, size);
  const SizePlanEntry& format = kSizePlan[in.Pick(kPlanCount)];
  // Mostly the plan's own raw size; sometimes another entry's.
  const SizePlanEntry& raw = in.Pick(4) == 0 ? kSizePlan[in.Pick(kPlanCount)] : format;
  uint32_t compression;
  switch (in.Pick(5)) {
    case 0: compression = kCompressionRgb; break;
    case 1: compression = kFourccI420; break;
    case 2: compression = kFourccIyuv; break;
    case 3: compression = kFourccVqj9; break;
    default: compression = in.U32(); break;
  }
  ProcessingOptions options{};
  SetToneCurve(&options, in.Pick(kToneCurveCount));
  const std::size_t picture = PictureBytes(format.FormatWidth, format.FormatHeight, compression);
  // Capacity: exact, a little short or long, or anything up to the picture.
  std::size_t capacity = picture;
  switch (in.Pick(4)) {
    case 0: break;
    case 1: capacity = picture - std::min<std::size_t>(picture, in.U8() + 1); break;
    case 2: capacity = picture + in.U8(); break;
    default: capacity = in.U32() % (picture + 1); break;
  }
  const uint8_t quality = in.U8() % 6;
  // The driver's shared decoder, or a still-sized one of the caller's own.
  const bool ownDecoder = in.Pick(4) == 0;
  const std::span<const uint8_t> body = in.Rest();

  // The frame as the frame routine hands it over: header rewritten with the
  // length and quality, zero slack after it.
  // The input is the whole raw frame, header included (its other header
  // bytes are the camera's and reach the render as they are).
  const uint32_t length = static_cast<uint32_t>(std::max(kRawHeaderSize, body.size()));
  std::vector<uint8_t> frame(length, 0);
  if (!body.empty()) std::memcpy(frame.data(), body.data(), body.size());
  for (int i = 0; i < 4; ++i) frame[kRawLengthOffset + i] = static_cast<uint8_t>(length >> (8 * i));
  frame[kRawQualityOffset] = quality;
  frame.resize(frame.size() + decoder::kRawFrameSlack, 0);

  std::vector<uint8_t> output(capacity, kFill);
  std::size_t written = 0xDEAD;
  const int ok = ownDecoder ? RenderFrameWith(StillDecoder(), &options, frame.data(), output.data(), capacity,
                                              &written, raw.RawWidth, raw.RawHeight, format.FormatWidth,
                                              format.FormatHeight, compression)
                            : RenderFrame(&options, frame.data(), output.data(), capacity, &written, raw.RawWidth,
                                          raw.RawHeight, format.FormatWidth, format.FormatHeight, compression);
  const bool rendered = compression == kCompressionRgb || compression == kFourccI420 || compression == kFourccIyuv;
  if (!rendered) {
    Check(ok == 1 && written == 0, kName, "an unknown compression was not a quiet no-op");
    Check(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == kFill; }), kName,
          "an unknown compression wrote to the buffer");
    return 0;
  }
  if (ok == 1) {
    Check(written == picture, kName, "a rendered picture of the wrong size");
    Check(capacity >= picture, kName, "a picture rendered into a buffer too small for it");
  }
  const bool refusedUpFront = quality > kMaxQualityIndex || capacity < picture;
  if (refusedUpFront) {
    Check(ok == 0, kName, "a frame the render must refuse was rendered");
    Check(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == kFill; }), kName,
          "a refused frame wrote to the buffer");
  }
  return 0;
}

}  // namespace dualcam::fuzz
