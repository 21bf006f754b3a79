// The fast decoding paths behind DecodePicture: a 64-bit bit buffer with wide
// lookups for the entropy decoding, and per-MCU transform and colour kernels
// chosen by the processor's features.
//
// The hard part is that a fast path is only an implementation of the scalar
// reference, never a second definition of the pictures: the read bound, the
// failure rules and the bit reader state left behind must come out the same.
// The entropy side gets that by running the reference block decoder for any
// block it cannot vouch for (near the end of the data, an invalid code, a run
// past the block), and the kernels by computing the same 16-bit lanes.
#pragma once

#include <cstdint>

#include "pipeline/decoder/decoder.h"

namespace dualcam::decoder {

// The per-MCU kernels of one fast path. The transform leaves the MCU's samples in
// state->PixelBlocks in a layout of the path's own, which its writers read: the portable path
// keeps one 8x8 block after another, the vector paths keep the luminance as one 16x16 square
// (rows of 16 bytes, so a picture row of the MCU is one load) followed by the two 8x8 chroma
// blocks.
struct McuKernels {
    // Inverse-transforms the MCU's six coefficient blocks and leaves them zero for the next
    // MCU. A block whose acPresent entry is 0 holds only its DC coefficient.
    void (*TransformMcu)(DecoderState* state, const uint8_t acPresent[6]);
    // Write the MCU at (x, y) through the row table: B,G,R pixels, or I420 planes.
    void (*WriteMcuBgr)(const DecoderState* state, const DecoderTables& tables, int x, int y);
    void (*WriteMcuI420)(const DecoderState* state, int x, int y);
};

// The kernels of `path`; false when the path is Reference or not available here.
bool FastKernelsFor(DecoderPath path, McuKernels* kernels);

// Samples of a block whose only coefficient is its DC value: the 16-bit lanes of the transform
// carry P(dc, multiplier) unchanged through both passes, so all 64 samples are equal.
inline uint8_t DcOnlySample(int16_t dc, int16_t multiplier) {
    const int16_t lane = static_cast<int16_t>(int32_t{dc} * multiplier);
    const int32_t level = static_cast<int16_t>(lane >> 5) + 128;
    return static_cast<uint8_t>(level < 0 ? 0 : (level > 255 ? 255 : level));
}

// The MCU walk with the fast entropy decoder; the caller has checked the arguments, the row
// table and a positive height, and has recorded the input in the state.
int DecodePictureFast(DecoderState* state, const uint8_t* data, int32_t length, int kind,
                      const McuKernels& kernels);

// x86 kernels (simd_kernels.cpp); false when this build or processor has none for `path`.
bool X86KernelsFor(DecoderPath path, McuKernels* kernels);

}  // namespace dualcam::decoder
