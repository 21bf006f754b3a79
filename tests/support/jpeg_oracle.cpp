// Wrapping camera bitstreams as baseline JPEG files (T.81 Annex B syntax)
// and decoding them with libjpeg.
#include "support/jpeg_oracle.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace dualcam::testing {

namespace {

void PutMarker(std::vector<uint8_t>& out, uint8_t marker) {
  out.push_back(0xFF);
  out.push_back(marker);
}

void PutU16(std::vector<uint8_t>& out, int value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

// DHT segment for one table (B.2.4.2): class 0 = DC, 1 = AC.
void PutHuffmanTable(std::vector<uint8_t>& out, int table_class, int id, const encoder::HuffmanSpec& table) {
  PutMarker(out, 0xC4);
  PutU16(out, 2 + 1 + 16 + table.value_count);
  out.push_back(static_cast<uint8_t>(table_class << 4 | id));
  out.insert(out.end(), table.bits, table.bits + 16);
  out.insert(out.end(), table.values, table.values + table.value_count);
}

// DQT segment for one 8-bit table (B.2.4.1), entries in zig-zag order.
void PutQuantTable(std::vector<uint8_t>& out, int id, const uint8_t natural[64]) {
  PutMarker(out, 0xDB);
  PutU16(out, 2 + 1 + 64);
  out.push_back(static_cast<uint8_t>(id));
  for (int k = 0; k < 64; ++k) out.push_back(natural[encoder::kZigZag[k]]);
}

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  int warnings;
};

[[noreturn]] void OnError(j_common_ptr cinfo) {
  auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
  std::longjmp(manager->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
  if (level < 0) ++reinterpret_cast<ErrorManager*>(cinfo->err)->warnings;
}

void SetUp(jpeg_decompress_struct& cinfo, ErrorManager& errors) {
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  errors.base.emit_message = OnMessage;
  errors.warnings = 0;
}

}  // namespace

std::vector<uint8_t> WrapCameraStream(std::span<const uint8_t> stream, const encoder::QuantPair& tables, int width,
                                      int height) {
  std::vector<uint8_t> out;
  out.reserve(stream.size() + stream.size() / 64 + 700);
  PutMarker(out, 0xD8);  // SOI
  PutQuantTable(out, 0, tables.luma);
  PutQuantTable(out, 1, tables.chroma);
  // SOF0 (B.2.2): P = 8, Y, X, Nf = 3; Ci, Hi:Vi, Tqi.
  PutMarker(out, 0xC0);
  PutU16(out, 8 + 3 * 3);
  out.push_back(8);
  PutU16(out, height);
  PutU16(out, width);
  out.push_back(3);
  const uint8_t components[3][3] = {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}};
  for (const auto& c : components) out.insert(out.end(), c, c + 3);
  PutHuffmanTable(out, 0, 0, encoder::kDcLumaSpec);
  PutHuffmanTable(out, 1, 0, encoder::kAcLumaSpec);
  PutHuffmanTable(out, 0, 1, encoder::kDcChromaSpec);
  PutHuffmanTable(out, 1, 1, encoder::kAcChromaSpec);
  // SOS (B.2.3): Ns = 3; Csj, Tdj:Taj; Ss = 0, Se = 63, Ah:Al = 0.
  PutMarker(out, 0xDA);
  PutU16(out, 6 + 2 * 3);
  out.push_back(3);
  const uint8_t scan[3][2] = {{1, 0x00}, {2, 0x11}, {3, 0x11}};
  for (const auto& s : scan) out.insert(out.end(), s, s + 2);
  out.push_back(0);
  out.push_back(63);
  out.push_back(0);
  // Entropy-coded segment: every 0xFF data byte is followed by a stuffed
  // zero byte (F.1.2.3), which the camera's own stream does without.
  for (uint8_t byte : stream) {
    out.push_back(byte);
    if (byte == 0xFF) out.push_back(0x00);
  }
  PutMarker(out, 0xD9);  // EOI
  return out;
}

OracleResult OracleDecodeBgr(std::span<const uint8_t> jpeg, bool bottom_up) {
  OracleResult result;
  std::vector<JSAMPROW> rows;
  jpeg_decompress_struct cinfo{};
  ErrorManager errors{};
  SetUp(cinfo, errors);
  jpeg_create_decompress(&cinfo);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&cinfo);
    result.ok = false;
    result.bytes.clear();
    return result;
  }
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.dct_method = JDCT_IFAST;
  cinfo.do_fancy_upsampling = FALSE;
  cinfo.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&cinfo);
  const std::size_t stride = static_cast<std::size_t>(cinfo.output_width) * 3;
  const std::size_t height = cinfo.output_height;
  result.bytes.resize(stride * height);
  rows.resize(height);
  for (std::size_t y = 0; y < height; ++y)
    rows[y] = result.bytes.data() + (bottom_up ? height - 1 - y : y) * stride;
  while (cinfo.output_scanline < cinfo.output_height) {
    jpeg_read_scanlines(&cinfo, rows.data() + cinfo.output_scanline, cinfo.output_height - cinfo.output_scanline);
  }
  jpeg_finish_decompress(&cinfo);
  result.warnings = errors.warnings;
  jpeg_destroy_decompress(&cinfo);
  result.ok = true;
  return result;
}

OracleResult OracleDecodeI420(std::span<const uint8_t> jpeg) {
  OracleResult result;
  std::vector<uint8_t> planes[3];
  std::vector<JSAMPROW> row_arrays[3];
  jpeg_decompress_struct cinfo{};
  ErrorManager errors{};
  SetUp(cinfo, errors);
  jpeg_create_decompress(&cinfo);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&cinfo);
    result.ok = false;
    result.bytes.clear();
    return result;
  }
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.num_components != 3 || cinfo.comp_info[0].h_samp_factor != 2 || cinfo.comp_info[0].v_samp_factor != 2 ||
      cinfo.comp_info[1].h_samp_factor != 1 || cinfo.comp_info[2].v_samp_factor != 1) {
    jpeg_destroy_decompress(&cinfo);
    return result;
  }
  cinfo.dct_method = JDCT_IFAST;
  cinfo.raw_data_out = TRUE;
  cinfo.out_color_space = JCS_YCbCr;
  jpeg_start_decompress(&cinfo);
  const int width = static_cast<int>(cinfo.image_width), height = static_cast<int>(cinfo.image_height);
  // libjpeg writes whole blocks: planes are padded to 16 rows per call and to
  // whole blocks per row, then cropped.
  const int mcu_rows = (height + 15) / 16;
  int strides[3];
  for (int c = 0; c < 3; ++c) {
    strides[c] = static_cast<int>(cinfo.comp_info[c].width_in_blocks) * 8;
    const int rows = mcu_rows * (c == 0 ? 16 : 8);
    planes[c].assign(static_cast<std::size_t>(strides[c]) * rows, 0);
    row_arrays[c].resize(rows);
    for (int r = 0; r < rows; ++r) row_arrays[c][r] = planes[c].data() + static_cast<std::size_t>(r) * strides[c];
  }
  for (int m = 0; m < mcu_rows && cinfo.output_scanline < cinfo.output_height; ++m) {
    JSAMPARRAY arrays[3] = {row_arrays[0].data() + m * 16, row_arrays[1].data() + m * 8, row_arrays[2].data() + m * 8};
    jpeg_read_raw_data(&cinfo, arrays, 16);
  }
  jpeg_finish_decompress(&cinfo);
  result.warnings = errors.warnings;
  jpeg_destroy_decompress(&cinfo);
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  result.bytes.resize(static_cast<std::size_t>(width) * height + 2 * static_cast<std::size_t>(cw) * ch);
  uint8_t* out = result.bytes.data();
  for (int y = 0; y < height; ++y, out += width)
    std::copy_n(planes[0].data() + static_cast<std::size_t>(y) * strides[0], width, out);
  for (int c = 1; c < 3; ++c)
    for (int y = 0; y < ch; ++y, out += cw)
      std::copy_n(planes[c].data() + static_cast<std::size_t>(y) * strides[c], cw, out);
  result.ok = true;
  return result;
}

}  // namespace dualcam::testing
