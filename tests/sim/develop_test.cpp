// The sensor pipeline's development of a picture where scenes repeat rows
// (flat areas, colour bars): a repeated row must develop exactly as it would
// alone, and sharpening must follow its 3x3 box blur across every boundary
// between runs of equal rows, at the picture's edges and at odd sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/sim/encoder/encoder.h"
#include "host/sim/scene.h"

namespace dualcam::host::sim {
namespace {

// A small deterministic generator, so a failure names the case that made it.
struct Lcg {
  uint32_t state;
  uint32_t Next(uint32_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  }
};

// RGB rows drawn from three templates in runs of 1..4, so that pictures
// hold runs of equal rows, single odd rows and changes at the edges.
std::vector<uint8_t> RowRuns(Lcg& random, int width, int height, bool grey) {
  std::vector<std::vector<uint8_t>> templates(3, std::vector<uint8_t>(static_cast<std::size_t>(width) * 3));
  for (auto& row : templates)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c)
        row[3 * x + c] = static_cast<uint8_t>(grey && c > 0 ? row[3 * x] : random.Next(256));
  std::vector<uint8_t> rgb;
  while (rgb.size() < static_cast<std::size_t>(width) * height * 3) {
    const auto& row = templates[random.Next(3)];
    for (uint32_t run = 1 + random.Next(4); run > 0 && rgb.size() < static_cast<std::size_t>(width) * height * 3; --run)
      rgb.insert(rgb.end(), row.begin(), row.end());
  }
  return rgb;
}

TEST(SimDevelop, RepeatedRowsDevelopAsTheyWouldAlone) {
  Lcg random{7};
  for (int trial = 0; trial < 60; ++trial) {
    const int width = 1 + static_cast<int>(random.Next(19));
    const int height = 1 + static_cast<int>(random.Next(12));
    ImageControls controls;  // sharpness stays neutral: rows develop on their own
    controls.brightness = static_cast<int>(random.Next(256)) - 128;
    controls.contrast = static_cast<int>(random.Next(32));
    controls.hue = static_cast<int>(random.Next(720));
    controls.saturation = static_cast<int>(random.Next(64));
    controls.red_gain = static_cast<int>(random.Next(256));
    controls.blue_gain = static_cast<int>(random.Next(256));
    controls.exposure_agc = static_cast<int>(random.Next(64));
    const std::vector<uint8_t> rgb = RowRuns(random, width, height, false);
    std::vector<uint8_t> whole;
    DevelopPicture(controls, rgb, width, height, whole);
    ASSERT_EQ(whole.size(), encoder::I420Size(width, height));
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 3;
    // Each pair of rows developed as a picture of its own gives the same
    // luma rows and the same row of both chroma planes.
    for (int pair = 0; pair < ch; ++pair) {
      SCOPED_TRACE("trial " + std::to_string(trial) + ", rows " + std::to_string(2 * pair));
      const int rows = std::min(2, height - 2 * pair);
      const std::vector<uint8_t> part(rgb.begin() + 2 * pair * row_bytes, rgb.begin() + (2 * pair + rows) * row_bytes);
      std::vector<uint8_t> alone;
      DevelopPicture(controls, part, width, rows, alone);
      for (int r = 0; r < rows; ++r)
        for (int x = 0; x < width; ++x)
          ASSERT_EQ(alone[r * width + x], whole[(2 * pair + r) * width + x]) << "luma x " << x;
      const std::size_t luma = static_cast<std::size_t>(width) * height;
      const std::size_t plane = static_cast<std::size_t>(cw) * ch;
      for (int x = 0; x < cw; ++x) {
        EXPECT_EQ(alone[width * rows + x], whole[luma + pair * cw + x]) << "Cb x " << x;
        EXPECT_EQ(alone[width * rows + cw + x], whole[luma + plane + pair * cw + x]) << "Cr x " << x;
      }
    }
  }
}

TEST(SimDevelop, SharpeningFollowsTheBoxBlurAcrossRunsOfEqualRows) {
  Lcg random{11};
  for (int trial = 0; trial < 80; ++trial) {
    const int width = 1 + static_cast<int>(random.Next(17));
    const int height = 1 + static_cast<int>(random.Next(14));
    ImageControls controls;
    controls.sharpness = std::vector<int>{0, 1, 3, 18, 100, 255}[random.Next(6)];
    // Grey rows: luma is the grey level itself and the chroma stays 128.
    const std::vector<uint8_t> rgb = RowRuns(random, width, height, true);
    std::vector<uint8_t> out;
    DevelopPicture(controls, rgb, width, height, out);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(width) + "x" + std::to_string(height) +
                 ", sharpness " + std::to_string(controls.sharpness));
    auto grey = [&](int x, int y) {
      return static_cast<int>(rgb[(static_cast<std::size_t>(std::clamp(y, 0, height - 1)) * width +
                                   std::clamp(x, 0, width - 1)) * 3]);
    };
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) sum += grey(x + dx, y + dy);
        const int level = grey(x, y);
        const int expected = std::clamp(level + (level - (sum + 4) / 9) * (controls.sharpness - 2) / 16, 0, 255);
        ASSERT_EQ(out[static_cast<std::size_t>(y) * width + x], expected) << "at " << x << "," << y;
      }
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(luma), out.end(), [](uint8_t v) { return v == 128; }));
  }
}

TEST(SimDevelop, ASensorBufferShorterThanThePictureGivesZeros) {
  ImageControls controls;
  const std::vector<uint8_t> rgb(10 * 4 * 3 - 1, 200);
  std::vector<uint8_t> out(5, 9);
  DevelopPicture(controls, rgb, 10, 4, out);
  ASSERT_EQ(out.size(), encoder::I420Size(10, 4));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0; }));
}

TEST(SimDevelop, TestPatternOfNoSizeIsEmpty) {
  std::vector<uint8_t> rgb(12, 1);
  TestPatternScene().Render(3, -2, 5, rgb);
  EXPECT_TRUE(rgb.empty());
  rgb.assign(12, 1);
  TestPatternScene().Render(3, 4, 0, rgb);
  EXPECT_TRUE(rgb.empty());
}

}  // namespace
}  // namespace dualcam::host::sim
