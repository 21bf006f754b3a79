// The camera compressor on its own: its tables against the values the
// standard and the camera fix, the exact bits of simple pictures, edge
// padding, argument errors, and libjpeg's verdict on what it produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "host/sim/encoder/encoder.h"
#include "host/sim/encoder/picture.h"
#include "support/jpeg_oracle.h"
#include "support/picture_io.h"
#include "support/test_data.h"

namespace dualcam::encoder {
namespace {

std::vector<uint8_t> FlatI420(int width, int height, uint8_t y, uint8_t cb, uint8_t cr) {
  std::vector<uint8_t> bytes(I420Size(width, height), cb);
  std::fill_n(bytes.begin(), static_cast<std::size_t>(width) * height, y);
  const std::size_t chroma = static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() - chroma), chroma, cr);
  return bytes;
}

// First codes per length (2..16) of the canonical codes that BITS implies
// (T.81 C.2), or -1 for lengths without codes.
std::vector<int> FirstCodes(const HuffmanSpec& table) {
  std::vector<int> first;
  int code = 0;
  for (int len = 1; len <= 16; ++len) {
    if (len >= 2) first.push_back(table.bits[len - 1] ? code : -1);
    code = (code + table.bits[len - 1]) << 1;
  }
  return first;
}

TEST(EncoderTables, CameraPairsAreAnnexKScaledWithTruncation) {
  const uint8_t pair0_luma[8] = {2, 1, 1, 2, 2, 4, 5, 6};
  const uint8_t pair0_chroma[8] = {2, 2, 2, 5, 10, 10, 10, 10};
  const uint8_t pair2_luma[8] = {6, 4, 4, 6, 10, 16, 20, 24};
  const uint8_t pair2_chroma[8] = {7, 7, 10, 19, 40, 40, 40, 40};
  EXPECT_TRUE(std::equal(pair0_luma, pair0_luma + 8, CameraQuantPair(0).luma));
  EXPECT_TRUE(std::equal(pair0_chroma, pair0_chroma + 8, CameraQuantPair(0).chroma));
  EXPECT_TRUE(std::equal(pair2_luma, pair2_luma + 8, CameraQuantPair(2).luma));
  EXPECT_TRUE(std::equal(pair2_chroma, pair2_chroma + 8, CameraQuantPair(2).chroma));
  // Pair 3 (30%): last luminance entry 99 -> (2970 + 50) / 100 = 30.
  EXPECT_EQ(CameraQuantPair(3).luma[63], 30);
  EXPECT_EQ(CameraQuantPair(1).chroma[63], 20);  // 99 at 20% -> 20
  for (int q = 0; q < kQualityCount; ++q)
    for (int i = 0; i < 64; ++i) EXPECT_GE(CameraQuantPair(q).luma[i], 1);
}

TEST(EncoderTables, HuffmanSpecsGiveTheStandardCanonicalCodes) {
  // Independent data: the first codes per length of K.5 and K.6 as the
  // camera's decoder knows them.
  const std::vector<int> k5 = {0, 4, 10, 26, 58, 120, 248, 502, 1014, 2038, 4084, -1, -1, 32704, 65410};
  const std::vector<int> k6 = {0, 4, 10, 24, 56, 120, 246, 500, 1014, 2038, 4084, -1, 16352, 32706, 65416};
  EXPECT_EQ(FirstCodes(kAcLumaSpec), k5);
  EXPECT_EQ(FirstCodes(kAcChromaSpec), k6);
  for (const HuffmanSpec* table : {&kDcLumaSpec, &kDcChromaSpec, &kAcLumaSpec, &kAcChromaSpec}) {
    int total = 0;
    for (uint8_t n : table->bits) total += n;
    EXPECT_EQ(total, table->value_count);
  }
  // Every (run, size) symbol of a baseline AC table is present exactly once.
  for (const HuffmanSpec* table : {&kAcLumaSpec, &kAcChromaSpec}) {
    std::vector<int> seen(256, 0);
    for (int i = 0; i < table->value_count; ++i) ++seen[table->values[i]];
    EXPECT_EQ(seen[0x00], 1);
    EXPECT_EQ(seen[0xF0], 1);
    for (int run = 0; run < 16; ++run)
      for (int size = 1; size <= 10; ++size) EXPECT_EQ(seen[run << 4 | size], 1) << run << "/" << size;
  }
}

TEST(EncoderBitstream, FlatGreyMcuIsTheShortestCode) {
  // Six blocks with DC difference 0 and an immediate end of block:
  // Y: 00 1010 (x4), Cb and Cr: 00 00 -> 28 A2 8A 00, no padding needed.
  const auto grey = FlatI420(160, 112, 128, 128, 128);
  const auto stream = EncodePicture({grey, 160, 112}, CameraQuantPair(0));
  ASSERT_EQ(stream.size(), 70u * 4);
  for (std::size_t i = 0; i < stream.size(); i += 4) {
    EXPECT_EQ(stream[i], 0x28);
    EXPECT_EQ(stream[i + 1], 0xA2);
    EXPECT_EQ(stream[i + 2], 0x8A);
    EXPECT_EQ(stream[i + 3], 0x00);
  }
}

TEST(EncoderBitstream, DcPredictionCarriesAndLastByteIsPaddedWithOnes) {
  // Luminance 129 at pair 0: DC = 8 / 2 = 4 -> first block 100 100 1010,
  // every later block difference 0 (predictors are never reset).
  const auto flat = FlatI420(32, 16, 129, 128, 128);
  const auto stream = EncodePicture({flat, 32, 16}, CameraQuantPair(0));
  const std::vector<uint8_t> expected = {0x92, 0x8A, 0x28, 0xA0, 0x02, 0x8A, 0x28, 0xA0, 0x0F};
  EXPECT_EQ(stream, expected);

  // 127: DC -4 -> 100 then the ones' complement bits 011.
  const auto darker = FlatI420(16, 16, 127, 128, 128);
  const auto dark_stream = EncodePicture({darker, 16, 16}, CameraQuantPair(0));
  ASSERT_FALSE(dark_stream.empty());
  EXPECT_EQ(dark_stream[0], 0x8E);  // 1000 1110: 100 011 10(10 ...)
}

TEST(EncoderBitstream, SizesOffTheMcuGridReplicateTheirEdges) {
  // A 20x10 picture must code as the 32x16 picture made by repeating its
  // last column and row.
  encoder::RgbPicture small = dualcam::testing::LoadPhoto("kodim23", 176, 144);
  ASSERT_FALSE(small.pixels.empty());
  small = ResizeRgb(small, 20, 10);
  const I420Picture yuv = RgbToI420(small);
  const int w = 20, h = 10, pw = 32, ph = 16;
  std::vector<uint8_t> padded(I420Size(pw, ph));
  auto copy_plane = [&](const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
    for (int y = 0; y < dh; ++y)
      for (int x = 0; x < dw; ++x) dst[y * dw + x] = src[std::min(y, sh - 1) * sw + std::min(x, sw - 1)];
  };
  copy_plane(yuv.bytes.data(), w, h, padded.data(), pw, ph);
  copy_plane(yuv.bytes.data() + w * h, w / 2, h / 2, padded.data() + pw * ph, pw / 2, ph / 2);
  copy_plane(yuv.bytes.data() + w * h + (w / 2) * (h / 2), w / 2, h / 2, padded.data() + pw * ph + (pw / 2) * (ph / 2),
             pw / 2, ph / 2);
  EXPECT_EQ(EncodePicture({yuv.bytes, w, h}, CameraQuantPair(3)), EncodePicture({padded, pw, ph}, CameraQuantPair(3)));
}

TEST(EncoderErrors, BadArgumentsLeaveTheOutputAlone) {
  const auto grey = FlatI420(16, 16, 128, 128, 128);
  std::vector<uint8_t> out = {1, 2, 3};
  EXPECT_EQ(EncodePicture({grey, 0, 16}, CameraQuantPair(0), out), EncodeError::kBadSize);
  EXPECT_EQ(EncodePicture({grey, 16, -1}, CameraQuantPair(0), out), EncodeError::kBadSize);
  EXPECT_EQ(EncodePicture({grey, kMaxDimension + 1, 16}, CameraQuantPair(0), out), EncodeError::kBadSize);
  EXPECT_EQ(EncodePicture({std::span(grey).first(grey.size() - 1), 16, 16}, CameraQuantPair(0), out),
            EncodeError::kShortInput);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(EncodePicture({grey, 32, 32}, CameraQuantPair(0)).empty());
  // Odd sizes: chroma planes of (w+1)/2 x (h+1)/2, read exactly to their end
  // (an exact-size heap buffer, so ASan sees any overread).
  for (auto [w, h] : {std::pair{17, 9}, std::pair{1, 1}, std::pair{15, 31}}) {
    const std::vector<uint8_t> odd(I420Size(w, h), 77);
    EXPECT_EQ(I420Size(w, h), static_cast<std::size_t>(w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2)));
    EXPECT_FALSE(EncodePicture({odd, w, h}, CameraQuantPair(1)).empty()) << w << "x" << h;
  }
  // Appending keeps what was there (a header reserved in front).
  EXPECT_EQ(EncodePicture({grey, 16, 16}, CameraQuantPair(0), out), EncodeError::kNone);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 0x28, 0xA2, 0x8A, 0x00}));
}

TEST(EncoderRawFrame, HeaderMarksVideoAndStillFrames) {
  const std::vector<uint8_t> picture = {0x28, 0xA2, 0x8A, 0x00};
  const auto video = BuildRawFrame(picture);
  ASSERT_EQ(video.size(), kRawHeaderSize + picture.size());
  EXPECT_EQ(video[3], 0xFF);
  EXPECT_EQ(video[4], 0xFF);
  const auto still = BuildRawFrame(picture, FrameKind::kStill);
  EXPECT_EQ(still[3], 0x00);
  EXPECT_EQ(still[4], 0x02);
  for (std::size_t i : {0, 1, 2, 5, 6, 7, 8, 9, 10, 11, 12}) {
    EXPECT_EQ(video[i], 0) << i;
    EXPECT_EQ(still[i], 0) << i;
  }
  EXPECT_TRUE(std::equal(picture.begin(), picture.end(), video.begin() + kRawHeaderSize));

  const auto grey = FlatI420(16, 16, 128, 128, 128);
  EXPECT_EQ(EncodeRawFrame({grey, 16, 16}, 0), video);
  EXPECT_TRUE(EncodeRawFrame({grey, 0, 0}, 0).empty());
}

// libjpeg accepts every stream the encoder makes, including ones with 0xFF
// data bytes (stuffed by the wrapper), and gets the photograph back.
TEST(EncoderOracle, LibjpegDecodesPhotographsCleanly) {
  for (std::string_view stem : dualcam::testing::kPhotoStems) {
    const RgbPicture rgb = dualcam::testing::LoadPhoto(stem, 176, 144);
    ASSERT_FALSE(rgb.pixels.empty());
    const I420Picture yuv = RgbToI420(rgb);
    for (int q = 0; q < kQualityCount; ++q) {
      const auto stream = EncodePicture({yuv.bytes, 176, 144}, CameraQuantPair(q));
      ASSERT_FALSE(stream.empty());
      const auto jpeg = dualcam::testing::WrapCameraStream(stream, CameraQuantPair(q), 176, 144);
      const auto decoded = dualcam::testing::OracleDecodeI420(jpeg);
      ASSERT_TRUE(decoded.ok) << stem << " q" << q;
      EXPECT_EQ(decoded.warnings, 0) << stem << " q" << q;
      const auto diff = dualcam::testing::CompareI420(decoded.bytes, yuv.bytes, 176, 144);
      std::printf("encoder %s 176x144 pair %d: %zu bytes, libjpeg Y PSNR %.2f dB\n", std::string(stem).c_str(), q,
                  stream.size(), diff.channel[0].psnr);
      // Measured 31.8 dB (kodim05, pair 2) to 42.4 dB (kodim23, pair 0).
      EXPECT_GE(diff.channel[0].psnr, q == 2 ? 30.0 : 32.0) << stem << " q" << q;
      if (q == 0) {
        EXPECT_NE(std::find(stream.begin(), stream.end(), 0xFF), stream.end()) << stem;
      }
    }
  }
}

// Two simulated cameras compress at once: the shared tables are built once
// and read-only, so both get the bytes a lone encoder gives.
TEST(EncoderConcurrency, TwoCamerasCompressAtOnce) {
  const I420Picture a = RgbToI420(dualcam::testing::LoadPhoto("kodim15", 176, 144));
  const I420Picture b = RgbToI420(dualcam::testing::LoadPhoto("kodim23", 176, 144));
  std::vector<uint8_t> results[2];
  std::thread first([&] { results[0] = EncodePicture({a.bytes, 176, 144}, CameraQuantPair(3)); });
  std::thread second([&] { results[1] = EncodePicture({b.bytes, 176, 144}, CameraQuantPair(1)); });
  first.join();
  second.join();
  EXPECT_EQ(results[0], EncodePicture({a.bytes, 176, 144}, CameraQuantPair(3)));
  EXPECT_EQ(results[1], EncodePicture({b.bytes, 176, 144}, CameraQuantPair(1)));
}

}  // namespace
}  // namespace dualcam::encoder
