// Baseline sequential DCT encoder for the camera's marker-less bitstream
// (T.81 Annex F.1 with 4:2:0 interleaved MCUs Y0 Y1 Y2 Y3 Cb Cr).
//
// The hard parts: the forward DCT (double precision, T.81 A.3.3) must stay
// within the baseline ranges after quantization, so values are clamped to the
// largest categories the Annex K tables can code (DC difference 11, AC size
// 10); and edges of pictures whose sizes are not multiples of 16 are filled by
// replication so that no MCU reads outside the planes.
#include "host/encoder/encoder.h"

#include <algorithm>
#include <cmath>
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
  QuantPair camera_pairs[kQualityCount];

  EncoderTables() {
    for (int x = 0; x < 8; ++x) {
      for (int u = 0; u < 8; ++u) {
        const double cu = u == 0 ? std::numbers::sqrt2 / 2.0 : 1.0;
        basis[x][u] = cu / 2.0 * std::cos((2 * x + 1) * u * std::numbers::pi / 16.0);
      }
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

  void Put(uint32_t value, int length) {
    if (length == 0) return;
    accumulator_ = (accumulator_ << length) | (value & ((1u << length) - 1));
    count_ += length;
    while (count_ >= 8) {
      count_ -= 8;
      out_.push_back(static_cast<uint8_t>(accumulator_ >> count_));
    }
    accumulator_ &= (1u << count_) - 1;
  }

  // T.81 F.1.2.3: fill the last byte with 1 bits.
  void Flush() {
    if (count_ > 0) Put(0x7F, 8 - count_);
  }

 private:
  std::vector<uint8_t>& out_;
  uint32_t accumulator_ = 0;
  int count_ = 0;
};

// Category (SSSS) of a value: number of bits of its magnitude (T.81 F.1.2.1).
int Category(int value) {
  int magnitude = value < 0 ? -value : value;
  int bits = 0;
  while (magnitude != 0) {
    ++bits;
    magnitude >>= 1;
  }
  return bits;
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
  const int dc_category = Category(difference);
  writer.Put(dc.code[dc_category], dc.length[dc_category]);
  writer.Put(ExtraBits(difference, dc_category), dc_category);

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
    writer.Put(ac.code[symbol], ac.length[symbol]);
    writer.Put(ExtraBits(value, size), size);
    run = 0;
  }
  if (run > 0) writer.Put(ac.code[0x00], ac.length[0x00]);  // EOB
}

// Forward DCT and quantization of one 8x8 block of samples (0..255).
void TransformBlock(const uint8_t samples[64], const uint8_t quant[64], int16_t out[64],
                    const EncoderTables& tables) {
  double rows[64];  // rows[y*8+u]: horizontal transform of each row
  for (int y = 0; y < 8; ++y) {
    for (int u = 0; u < 8; ++u) {
      double sum = 0.0;
      for (int x = 0; x < 8; ++x) sum += tables.basis[x][u] * (samples[y * 8 + x] - 128.0);
      rows[y * 8 + u] = sum;
    }
  }
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      double sum = 0.0;
      for (int y = 0; y < 8; ++y) sum += tables.basis[y][v] * rows[y * 8 + u];
      const int index = v * 8 + u;
      long q = std::lround(sum / quant[index]);
      // Baseline limits of the Annex K tables: AC size <= 10, and DC kept
      // within +-1023 so that any difference of two stays in category 11.
      q = std::clamp(q, -1023L, 1023L);
      out[index] = static_cast<int16_t>(q);
    }
  }
}

// Copies an 8x8 block whose top-left sample is (x0, y0), replicating the last
// column and row of the plane for positions beyond its edges.
void GatherBlock(const uint8_t* plane, int width, int height, int x0, int y0, uint8_t out[64]) {
  for (int r = 0; r < 8; ++r) {
    const int y = std::min(y0 + r, height - 1);
    const uint8_t* row = plane + static_cast<std::size_t>(y) * width;
    for (int c = 0; c < 8; ++c) out[r * 8 + c] = row[std::min(x0 + c, width - 1)];
  }
}

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

  BitWriter writer(out);
  int predictor_y = 0, predictor_cb = 0, predictor_cr = 0;  // never reset
  uint8_t samples[64];
  int16_t coefficients[64];
  for (int my = 0; my < height; my += 16) {
    for (int mx = 0; mx < width; mx += 16) {
      static constexpr int kOffsets[4][2] = {{0, 0}, {8, 0}, {0, 8}, {8, 8}};
      for (const auto& offset : kOffsets) {
        GatherBlock(y_plane, width, height, mx + offset[0], my + offset[1], samples);
        TransformBlock(samples, quant.luma, coefficients, tables);
        EncodeBlock(writer, coefficients, predictor_y, tables.dc_luma, tables.ac_luma);
      }
      GatherBlock(cb_plane, chroma_width, chroma_height, mx / 2, my / 2, samples);
      TransformBlock(samples, quant.chroma, coefficients, tables);
      EncodeBlock(writer, coefficients, predictor_cb, tables.dc_chroma, tables.ac_chroma);
      GatherBlock(cr_plane, chroma_width, chroma_height, mx / 2, my / 2, samples);
      TransformBlock(samples, quant.chroma, coefficients, tables);
      EncodeBlock(writer, coefficients, predictor_cr, tables.dc_chroma, tables.ac_chroma);
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
