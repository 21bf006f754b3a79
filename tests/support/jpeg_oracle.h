// The JPEG oracle: a camera bitstream wrapped in the T.81 marker segments it
// leaves out (SOI, DQT, SOF0 with 4:2:0 sampling, DHT with the Annex K
// tables, SOS, the entropy-coded data with 0xFF byte stuffing, EOI) becomes
// an ordinary baseline JPEG file that libjpeg decodes independently of our
// decoder. Tests and benchmarks compare against it.
//
// Hard part: libjpeg reports errors through a longjmp-style callback; the
// decode routines keep every C++ object alive across the setjmp so that the
// jump never skips a destructor.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/sim/encoder/encoder.h"

namespace dualcam::testing {

std::vector<uint8_t> WrapCameraStream(std::span<const uint8_t> stream, const encoder::QuantPair& tables,
                                      int width, int height);

struct OracleResult {
  bool ok = false;
  int warnings = 0;           // libjpeg's corrupt-data warnings
  std::vector<uint8_t> bytes;
};

// libjpeg with the fast integer IDCT (JDCT_IFAST) and no fancy upsampling.
// BGR: 3 bytes per pixel in order B, G, R; rows top-down, or bottom-up (as
// the driver delivers RGB) by handing libjpeg reversed row pointers.
OracleResult OracleDecodeBgr(std::span<const uint8_t> jpeg, bool bottom_up);
// raw_data_out: planar Y, Cb, Cr (I420 layout) at the picture size.
OracleResult OracleDecodeI420(std::span<const uint8_t> jpeg);

}  // namespace dualcam::testing
