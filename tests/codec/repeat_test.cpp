// The compressor on pictures made of repeated blocks, where it reuses the
// coefficients of an equal block it has just transformed: every copy of a
// block must decode (through libjpeg) to the same samples wherever it stands
// and whatever came before it, and different blocks must stay different.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "host/sim/encoder/encoder.h"
#include "support/jpeg_oracle.h"

namespace dualcam::encoder {
namespace {

using Tile = std::array<uint8_t, 64>;

Tile MakeTile(uint32_t seed) {
  Tile tile;
  uint32_t state = seed;
  for (auto& v : tile) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(40 + (state >> 24) % 176);
  }
  return tile;
}

// The tile with its samples from `from` on replaced: blocks that agree in
// their first rows must still be told apart.
Tile Variant(Tile tile, int from, uint32_t seed) {
  const Tile other = MakeTile(seed);
  std::copy(other.begin() + from, other.end(), tile.begin() + from);
  return tile;
}

// Copies tile t into the 8x8 block (bx, by) of a plane `stride` wide.
void Put(std::vector<uint8_t>& plane, std::size_t offset, int stride, int bx, int by, const Tile& t) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) plane[offset + static_cast<std::size_t>(by * 8 + r) * stride + bx * 8 + c] = t[r * 8 + c];
}

TEST(EncoderRepeats, EqualBlocksDecodeAlikeWhereverTheyStand) {
  constexpr int kWidth = 96, kHeight = 64;
  const std::array<Tile, 3> luma_tiles = {MakeTile(1), Variant(MakeTile(1), 40, 2), Variant(MakeTile(1), 63, 3)};
  const std::array<Tile, 2> chroma_tiles = {MakeTile(4), Variant(MakeTile(4), 32, 5)};
  std::vector<uint8_t> picture(I420Size(kWidth, kHeight));
  const int cw = kWidth / 2, ch = kHeight / 2;
  const std::size_t cb = static_cast<std::size_t>(kWidth) * kHeight;
  const std::size_t cr = cb + static_cast<std::size_t>(cw) * ch;

  // Layouts that hit an equal block just before, two before, and none; the
  // Cr plane repeats the Cb plane's blocks in another order.
  std::vector<int> luma_layout, cb_layout, cr_layout;
  uint32_t state = 99;
  auto draw = [&](int n) {
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 16) % n);
  };
  for (int by = 0; by < kHeight / 8; ++by)
    for (int bx = 0; bx < kWidth / 8; ++bx) {
      luma_layout.push_back(draw(3));
      Put(picture, 0, kWidth, bx, by, luma_tiles[luma_layout.back()]);
    }
  for (int by = 0; by < ch / 8; ++by)
    for (int bx = 0; bx < cw / 8; ++bx) {
      cb_layout.push_back(draw(2));
      cr_layout.push_back(draw(2));
      Put(picture, cb, cw, bx, by, chroma_tiles[cb_layout.back()]);
      Put(picture, cr, cw, bx, by, chroma_tiles[cr_layout.back()]);
    }

  const QuantPair& tables = CameraQuantPair(0);
  const std::vector<uint8_t> stream = EncodePicture(I420View{picture, kWidth, kHeight}, tables);
  ASSERT_FALSE(stream.empty());
  const auto decoded = testing::OracleDecodeI420(testing::WrapCameraStream(stream, tables, kWidth, kHeight));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.warnings, 0);
  ASSERT_EQ(decoded.bytes.size(), picture.size());

  // The first place each tile stands is the reference for all its copies.
  auto check = [&](std::size_t offset, int stride, int blocks_wide, const std::vector<int>& layout,
                   int kinds, const char* plane) {
    std::vector<int> first(kinds, -1);
    for (int i = 0; i < static_cast<int>(layout.size()); ++i) {
      const int bx = i % blocks_wide, by = i / blocks_wide;
      int& ref = first[layout[i]];
      if (ref < 0) {
        ref = i;
        continue;
      }
      const int rx = ref % blocks_wide, ry = ref / blocks_wide;
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const std::size_t here = offset + static_cast<std::size_t>(by * 8 + r) * stride + bx * 8 + c;
          const std::size_t there = offset + static_cast<std::size_t>(ry * 8 + r) * stride + rx * 8 + c;
          ASSERT_EQ(decoded.bytes[here], decoded.bytes[there]) << plane << " block " << i << " sample " << r * 8 + c;
          // And the copy is the tile, up to the quantization's error.
          ASSERT_LE(std::abs(decoded.bytes[here] - picture[here]), 12) << plane << " block " << i;
        }
    }
    for (int k = 0; k < kinds; ++k) ASSERT_GE(first[k], 0) << plane << " layout never used tile " << k;
  };
  check(0, kWidth, kWidth / 8, luma_layout, 3, "Y");
  check(cb, cw, cw / 8, cb_layout, 2, "Cb");
  check(cr, cw, cw / 8, cr_layout, 2, "Cr");
}

}  // namespace
}  // namespace dualcam::encoder
