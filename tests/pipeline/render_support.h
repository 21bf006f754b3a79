// Helpers for the render tests: raw camera frames (encoded pictures or the
// hand-built grey stream) laid out as the frame path hands them over, a
// recording allocator for the shared decoder, and the reference picture
// built by composing the decoder and the picture operations by hand.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pipeline/render.h"

namespace dualcam::pipeline::test {

// Hands the shared decoder its work pictures from the heap and remembers
// them, so tests can watch what a render touches. FailFrom makes the n-th
// and later allocations fail.
struct RecordingAllocator {
    std::vector<void*> Live;
    int Calls = 0;
    int FailFrom = -1;
    decoder::DecoderAllocator Table{&Allocate, &Release, this};

    static void* Allocate(std::size_t bytes, void* context);
    static void Release(void* block, void* context);
};

// Planar test picture with gradients, edges and colour, varied by seed.
std::vector<std::uint8_t> PatternPicture(int width, int height, int seed);

// Raw frame as RenderFrame expects it: 13-byte header with the length at
// bytes 1..4 and the quality at byte 7, the compressed picture, then
// kRawFrameSlack zero bytes.
std::vector<std::uint8_t> EncodedRawFrame(int width, int height, int quality, int seed);
// Same layout around a stream of grey MCUs (28 A2 8A 00: every block DC 0,
// no AC), which decodes to 128 everywhere.
std::vector<std::uint8_t> GreyRawFrame(int width, int height, int quality);

enum class OutputKind { Rgb, Planar };

// The picture RenderFrame should produce for the plan entry, built from a
// private decoder and the picture operations, using the active tone curve
// when toneCurveIndex is not 0. Empty when any step fails.
std::vector<std::uint8_t> ComposedPicture(const std::vector<std::uint8_t>& rawFrame,
                                          const SizePlanEntry& entry, OutputKind kind,
                                          int toneCurveIndex);

inline std::uint32_t CompressionOf(OutputKind kind) {
    return kind == OutputKind::Rgb ? kCompressionRgb : kFourccI420;
}

}  // namespace dualcam::pipeline::test
