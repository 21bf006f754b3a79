// Inverse transform and pixel output of one MCU: an 8x8 AA&N scaled inverse
// DCT computed in wrapping signed 16-bit lanes with dequantization folded
// into the first pass, then table-driven colour conversion into B,G,R rows or
// I420 planes through the row-pointer table.
//
// The hard part is bit-exactness: sums wrap modulo 2^16, the scaled multiply
// keeps the high half of a pre-shifted product (floor), and only the final
// +128 saturates. A vector kernel must reproduce InverseTransformBlock lane by
// lane.
#pragma once

#include <cstdint>

#include "pipeline/decoder/decoder.h"

namespace dualcam::decoder {

// coefficients and multipliers in natural order; samples row-major.
void InverseTransformBlock(const int16_t* coefficients, const int16_t* multipliers,
                           int16_t* workspace, uint8_t* samples);

// Writes the MCU whose top-left pixel is (x, y) from state->PixelBlocks.
void WriteMcuBgr(const DecoderState* state, const DecoderTables& tables, int x, int y);
void WriteMcuI420(const DecoderState* state, int x, int y);

}  // namespace dualcam::decoder
