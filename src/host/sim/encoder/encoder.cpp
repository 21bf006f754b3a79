// Baseline sequential DCT encoder for the camera's marker-less bitstream
// (T.81 Annex F.1 with 4:2:0 interleaved MCUs Y0 Y1 Y2 Y3 Cb Cr).
//
// The hard parts: the forward DCT (double precision, T.81 A.3.3) must stay
// within the baseline ranges after quantization, so values are clamped to the
// largest categories the Annex K tables can code (DC difference 11, AC size
// 10); and edges of pictures whose sizes are not multiples of 16 are filled by
// replication so that no MCU reads outside the planes.
#include "host/sim/encoder/encoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

namespace dualcam::encoder {

namespace {

// Derived code table (T.81 C.2, Figures C.1-C.3): code and length per symbol.
struct HuffmanCodes {
  uint16_t code[256] = {};
  uint8_t length[256] = {};
};

HuffmanCodes DeriveCodes(const HuffmanSpec& table) {
  HuffmanCodes codes;
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < table.bits[len - 1] && k < table.value_count; ++i, ++k) {
      codes.code[table.values[k]] = static_cast<uint16_t>(code);
      codes.length[table.values[k]] = static_cast<uint8_t>(len);
      ++code;
    }
    code <<= 1;
  }
  return codes;
}

struct EncoderTables {
  HuffmanCodes dc_luma = DeriveCodes(kDcLumaSpec);
  HuffmanCodes dc_chroma = DeriveCodes(kDcChromaSpec);
  HuffmanCodes ac_luma = DeriveCodes(kAcLumaSpec);
  HuffmanCodes ac_chroma = DeriveCodes(kAcChromaSpec);
  // basis[x][u] = C(u)/2 * cos((2x+1) u pi / 16), so that
  // F(v,u) = sum_y sum_x basis[y][v] basis[x][u] s(y,x)  (T.81 A.3.3).
  double basis[8][8] = {};
  // Bounds on one output of the vertical pass, F(v, u) = sum over y of
  // basis[y][v] * rows[y][u], as computed in double precision:
  //   |F| <= spread[v] * max |rows[y][u]|        for any column;
  //   |F| <= residue[v] * |rows[0][u]|           when the eight rows are equal.
  // spread is the sum of |basis[y][v]| and residue the size of the sum of
  // basis[y][v] (0 in exact arithmetic for v > 0), each widened far beyond
  // the rounding error of eight products and sums (under 1e-15 relative).
  double spread[8] = {};
  double residue[8] = {};
  QuantPair camera_pairs[kQualityCount];

  EncoderTables() {
    for (int x = 0; x < 8; ++x) {
      for (int u = 0; u < 8; ++u) {
        const double cu = u == 0 ? std::numbers::sqrt2 / 2.0 : 1.0;
        basis[x][u] = cu / 2.0 * std::cos((2 * x + 1) * u * std::numbers::pi / 16.0);
      }
    }
    for (int v = 0; v < 8; ++v) {
      double magnitude = 0.0, sum = 0.0;
      for (int y = 0; y < 8; ++y) {
        magnitude += std::fabs(basis[y][v]);
        sum += basis[y][v];
      }
      spread[v] = magnitude * (1.0 + 1e-9);
      residue[v] = std::fabs(sum) + magnitude * 1e-12;
    }
    constexpr int kCameraPercent[kQualityCount] = {10, 20, 40, 30};
    for (int i = 0; i < kQualityCount; ++i) camera_pairs[i] = ScaledQuantPair(kCameraPercent[i]);
  }
};

const EncoderTables& Tables() {
  static const EncoderTables tables;  // thread-safe one-time build
  return tables;
}

// MSB-first bit packer with no byte stuffing: every byte value is data in the
// camera's stream.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

  // Appends the low `length` bits of value (length <= 32), most significant
  // first. Whole bytes leave four at a time.
  void Put(uint32_t value, int length) {
    if (length == 0) return;
    accumulator_ = (accumulator_ << length) | (value & ((uint64_t{1} << length) - 1));
    count_ += length;
    if (count_ >= 32) {
      count_ -= 32;
      const uint32_t word = static_cast<uint32_t>(accumulator_ >> count_);
      const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                                static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
      out_.insert(out_.end(), bytes, bytes + 4);
      accumulator_ &= (uint64_t{1} << count_) - 1;
    }
  }

  // T.81 F.1.2.3: fill the last byte with 1 bits.
  void Flush() {
    if (count_ % 8 != 0) Put(0x7F, 8 - count_ % 8);
    while (count_ >= 8) {
      count_ -= 8;
      out_.push_back(static_cast<uint8_t>(accumulator_ >> count_));
    }
    accumulator_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t accumulator_ = 0;  // count_ (< 32) pending bits, right-aligned
  int count_ = 0;
};

// Category (SSSS) of a value: number of bits of its magnitude (T.81 F.1.2.1).
int Category(int value) {
  return std::bit_width(static_cast<unsigned>(value < 0 ? -value : value));
}

// The extra bits that follow a category: the value itself when positive,
// value - 1 in ones' complement form when negative (T.81 F.1.2.1).
uint32_t ExtraBits(int value, int category) {
  return static_cast<uint32_t>(value < 0 ? value - 1 : value) & ((1u << category) - 1);
}

void EncodeBlock(BitWriter& writer, const int16_t coefficients[64], int& predictor,
                 const HuffmanCodes& dc, const HuffmanCodes& ac) {
  const int difference = coefficients[0] - predictor;
  predictor = coefficients[0];
  // A code (16 bits at most) and its extra bits (11 at most) go in one Put.
  const int dc_category = Category(difference);
  writer.Put((uint32_t{dc.code[dc_category]} << dc_category) | ExtraBits(difference, dc_category),
             dc.length[dc_category] + dc_category);

  int run = 0;
  for (int k = 1; k < 64; ++k) {
    const int value = coefficients[kZigZag[k]];
    if (value == 0) {
      ++run;
      continue;
    }
    while (run > 15) {  // ZRL: sixteen zeros (symbol 0xF0)
      writer.Put(ac.code[0xF0], ac.length[0xF0]);
      run -= 16;
    }
    const int size = Category(value);
    const int symbol = (run << 4) | size;
    writer.Put((uint32_t{ac.code[symbol]} << size) | ExtraBits(value, size), ac.length[symbol] + size);
    run = 0;
  }
  if (run > 0) writer.Put(ac.code[0x00], ac.length[0x00]);  // EOB
}

// lround for the magnitudes a block can reach (|x| well under 2^31): round
// to nearest, halves away from zero. x - trunc(x) is exact in binary floating
// point, so the comparison with one half decides exactly as the library does,
// without its call.
long RoundHalfAway(double x) {
  const long whole = static_cast<long>(x);  // toward zero
  const double fraction = x - static_cast<double>(whole);
  return whole + (fraction >= 0.5) - (fraction <= -0.5);
}

// Forward DCT and quantization of one 8x8 block of level-shifted samples
// (T.81 A.3.1: sample - 128). Each output is the same sequence of double
// operations in the same order as the direct sums
//   rows[y][u] = sum over x = 0..7 of basis[x][u] * s(y, x)
//   F(v, u)    = sum over y = 0..7 of basis[y][v] * rows[y][u]
// so the coefficients never depend on how the loops are arranged; the loops
// run over u innermost so eight independent sums proceed side by side.
// Two shortcuts give the very same coefficients with less work: a row of
// samples equal to the one above transforms to the same row, and a row of
// outputs whose bound (EncoderTables::spread, residue) stays under half of
// every quantizer step in it can only round to zeros.
void TransformBlock(const uint8_t samples[64], const double quant[64], int16_t out[64],
                    const EncoderTables& tables) {
  double rows[64];
  bool rows_equal = true;
  for (int y = 0; y < 8; ++y) {
    double* row = rows + 8 * y;
    const uint8_t* in = samples + 8 * y;
    if (y > 0 && std::equal(in, in + 8, in - 8)) {
      std::copy(row - 8, row, row);
      continue;
    }
    rows_equal = rows_equal && y == 0;
    double shifted[8];
    for (int x = 0; x < 8; ++x) shifted[x] = in[x] - 128.0;
    double sum[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int x = 0; x < 8; ++x)
      for (int u = 0; u < 8; ++u) sum[u] += tables.basis[x][u] * shifted[x];
    std::copy(sum, sum + 8, row);
  }
  double largest[8];  // per column u, the largest |rows[y][u]|
  for (int u = 0; u < 8; ++u) {
    double m = 0.0;
    for (int y = 0; y < 8; ++y) m = std::max(m, std::fabs(rows[8 * y + u]));
    largest[u] = m;
  }
  const double* bound = rows_equal ? tables.residue : tables.spread;
  for (int v = 0; v < 8; ++v) {
    bool zeros = true;
    for (int u = 0; u < 8; ++u) zeros = zeros && largest[u] * bound[v] < 0.4999999 * quant[v * 8 + u];
    if (zeros) {
      std::fill(out + v * 8, out + v * 8 + 8, int16_t{0});
      continue;
    }
    double sum[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int y = 0; y < 8; ++y)
      for (int u = 0; u < 8; ++u) sum[u] += tables.basis[y][v] * rows[8 * y + u];
    for (int u = 0; u < 8; ++u) {
      const int index = v * 8 + u;
      // Baseline limits of the Annex K tables: AC size <= 10, and DC kept
      // within +-1023 so that any difference of two stays in category 11.
      const double q = std::clamp(sum[u] / quant[index], -2048.0, 2048.0);
      out[index] = static_cast<int16_t>(std::clamp(RoundHalfAway(q), -1023L, 1023L));
    }
  }
}

// Copies an 8x8 block whose top-left sample is (x0, y0), replicating the
// last column and row of the plane for positions beyond its edges.
void GatherBlock(const uint8_t* plane, int width, int height, int x0, int y0, uint8_t out[64]) {
  const bool inside = x0 + 8 <= width;
  for (int r = 0; r < 8; ++r) {
    const int y = std::min(y0 + r, height - 1);
    const uint8_t* row = plane + static_cast<std::size_t>(y) * width;
    if (inside) {
      std::memcpy(out + r * 8, row + x0, 8);
    } else {
      for (int c = 0; c < 8; ++c) out[r * 8 + c] = row[std::min(x0 + c, width - 1)];
    }
  }
}

// The last block transformed with one table and its coefficients: flat areas
// give runs of equal blocks, and an equal block has equal coefficients.
struct LastBlock {
  uint8_t samples[64];
  int16_t coefficients[64];
  bool valid = false;

  const int16_t* Transform(const uint8_t block[64], const double quant[64], const EncoderTables& tables) {
    if (!valid || std::memcmp(block, samples, 64) != 0) {
      std::memcpy(samples, block, 64);
      TransformBlock(samples, quant, coefficients, tables);
      valid = true;
    }
    return coefficients;
  }
};

}  // namespace

QuantPair ScaledQuantPair(int percent) {
  QuantPair pair{};
  for (int i = 0; i < 64; ++i) {
    pair.luma[i] = static_cast<uint8_t>(std::clamp((kAnnexKLuma[i] * percent + 50) / 100, 1, 255));
    pair.chroma[i] = static_cast<uint8_t>(std::clamp((kAnnexKChroma[i] * percent + 50) / 100, 1, 255));
  }
  return pair;
}

const QuantPair& CameraQuantPair(int index) {
  if (index < 0 || index >= kQualityCount) index = kQualityCount - 1;
  return Tables().camera_pairs[index];
}

std::size_t I420Size(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const std::size_t luma = static_cast<std::size_t>(width) * height;
  const std::size_t chroma = static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2);
  return luma + 2 * chroma;
}

const char* EncodeErrorMessage(EncodeError error) {
  switch (error) {
    case EncodeError::kNone: return "no error";
    case EncodeError::kBadSize: return "picture size out of range";
    case EncodeError::kShortInput: return "picture buffer smaller than its size needs";
  }
  return "unknown error";
}

EncodeError EncodePicture(const I420View& picture, const QuantPair& quant, std::vector<uint8_t>& out) {
  const int width = picture.width;
  const int height = picture.height;
  if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) return EncodeError::kBadSize;
  if (picture.bytes.size() < I420Size(width, height)) return EncodeError::kShortInput;

  const EncoderTables& tables = Tables();
  const int chroma_width = (width + 1) / 2;
  const int chroma_height = (height + 1) / 2;
  const uint8_t* y_plane = picture.bytes.data();
  const uint8_t* cb_plane = y_plane + static_cast<std::size_t>(width) * height;
  const uint8_t* cr_plane = cb_plane + static_cast<std::size_t>(chroma_width) * chroma_height;

  // Each block costs at most a few hundred bits; reserving a rough bound keeps
  // the per-frame path free of repeated growth when the vector is fresh.
  out.reserve(out.size() + static_cast<std::size_t>(width) * height / 2 + 64);

  // Quantizer steps as doubles, converted once per picture (exactly).
  double luma_steps[64], chroma_steps[64];
  for (int j = 0; j < 64; ++j) {
    luma_steps[j] = quant.luma[j];
    chroma_steps[j] = quant.chroma[j];
  }

  BitWriter writer(out);
  int predictor_y = 0, predictor_cb = 0, predictor_cr = 0;  // never reset
  // Luma blocks are compared with the two before them (the MCU's blocks go
  // left, right, then below), each chroma plane with its own last block.
  LastBlock luma_memo[2], last_cb, last_cr;
  int luma_next = 0;
  auto transform_luma = [&](const uint8_t block[64]) -> const int16_t* {
    for (LastBlock& memo : luma_memo)
      if (memo.valid && std::memcmp(block, memo.samples, 64) == 0) return memo.coefficients;
    LastBlock& memo = luma_memo[luma_next];
    luma_next ^= 1;
    return memo.Transform(block, luma_steps, tables);
  };
  uint8_t samples[64];
  for (int my = 0; my < height; my += 16) {
    for (int mx = 0; mx < width; mx += 16) {
      static constexpr int kOffsets[4][2] = {{0, 0}, {8, 0}, {0, 8}, {8, 8}};
      for (const auto& offset : kOffsets) {
        GatherBlock(y_plane, width, height, mx + offset[0], my + offset[1], samples);
        EncodeBlock(writer, transform_luma(samples), predictor_y, tables.dc_luma, tables.ac_luma);
      }
      GatherBlock(cb_plane, chroma_width, chroma_height, mx / 2, my / 2, samples);
      EncodeBlock(writer, last_cb.Transform(samples, chroma_steps, tables), predictor_cb, tables.dc_chroma,
                  tables.ac_chroma);
      GatherBlock(cr_plane, chroma_width, chroma_height, mx / 2, my / 2, samples);
      EncodeBlock(writer, last_cr.Transform(samples, chroma_steps, tables), predictor_cr, tables.dc_chroma,
                  tables.ac_chroma);
    }
  }
  writer.Flush();
  return EncodeError::kNone;
}

std::vector<uint8_t> EncodePicture(const I420View& picture, const QuantPair& quant) {
  std::vector<uint8_t> out;
  if (EncodePicture(picture, quant, out) != EncodeError::kNone) out.clear();
  return out;
}

void WriteRawFrameHeader(uint8_t header[kRawHeaderSize], FrameKind kind) {
  std::fill(header, header + kRawHeaderSize, uint8_t{0});
  header[kFrameKindA] = kind == FrameKind::kStill ? kStillKindA : kVideoKindA;
  header[kFrameKindB] = kind == FrameKind::kStill ? kStillKindB : kVideoKindB;
}

std::vector<uint8_t> BuildRawFrame(std::span<const uint8_t> picture, FrameKind kind) {
  std::vector<uint8_t> frame(kRawHeaderSize + picture.size());
  WriteRawFrameHeader(frame.data(), kind);
  std::copy(picture.begin(), picture.end(), frame.begin() + kRawHeaderSize);
  return frame;
}

std::vector<uint8_t> EncodeRawFrame(const I420View& picture, int quality_index, FrameKind kind) {
  std::vector<uint8_t> frame(kRawHeaderSize);
  WriteRawFrameHeader(frame.data(), kind);
  if (EncodePicture(picture, CameraQuantPair(quality_index), frame) != EncodeError::kNone) return {};
  return frame;
}

}  // namespace dualcam::encoder
