// Scenes for the simulated sensor and the camera's image pipeline.
//
// Hard part: keeping every step integer and neutral at the power-on settings,
// so that a picture taken with default controls is exactly the scene (tests
// compare against it) while each control moves the picture in the direction
// a user expects. Hue uses a rotation with 14-bit fixed-point sine and cosine
// taken from a table computed once.
#include "host/sim/scene.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "host/encoder/encoder.h"

namespace dualcam::host::sim {
namespace {

uint8_t Clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// 5 x 7 digits, one row per byte, bit 4 the leftmost column.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// The eight bars of a standard 75 % colour-bar chart: white, yellow, cyan,
// green, magenta, red, blue, black.
constexpr uint8_t kBars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                 {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};

// Sine and cosine of h half-degrees, h = 0..719, scaled by 2^14.
struct HueTable {
  std::array<int, 720> sin14{};
  std::array<int, 720> cos14{};
  HueTable() {
    for (int h = 0; h < 720; ++h) {
      const double a = h * std::numbers::pi / 360.0;
      sin14[h] = static_cast<int>(std::lround(std::sin(a) * 16384.0));
      cos14[h] = static_cast<int>(std::lround(std::cos(a) * 16384.0));
    }
  }
};
const HueTable& Hues() {
  static const HueTable table;
  return table;
}

}  // namespace

void TestPatternScene::Render(uint32_t frame_number, int width, int height,
                              std::vector<uint8_t>& rgb) const {
  rgb.assign(static_cast<std::size_t>(width) * height * 3, 0);
  if (width <= 0 || height <= 0) return;
  const int bar_rows = height * 3 / 4;
  const int shift = static_cast<int>((frame_number * 2) % static_cast<uint32_t>(width));
  for (int y = 0; y < height; ++y) {
    uint8_t* row = rgb.data() + static_cast<std::size_t>(y) * width * 3;
    for (int x = 0; x < width; ++x) {
      uint8_t* px = row + 3 * x;
      if (y < bar_rows) {
        const int bar = ((x + shift) % width) * 8 / width;
        std::memcpy(px, kBars[bar], 3);
      } else {
        const uint8_t level = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
        px[0] = px[1] = px[2] = level;
      }
    }
  }
  // The frame number, five digits, white on black, scale 2.
  constexpr int kScale = 2;
  uint32_t n = frame_number;
  char text[6];
  for (int i = 4; i >= 0; --i) {
    text[i] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  const int box_w = 5 * 6 * kScale + 2 * kScale, box_h = 7 * kScale + 2 * kScale;
  for (int y = 0; y < std::min(box_h, height); ++y)
    for (int x = 0; x < std::min(box_w, width); ++x)
      std::memset(rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3, 0, 3);
  for (int d = 0; d < 5; ++d) {
    const auto& glyph = kDigits[text[d] - '0'];
    for (int gy = 0; gy < 7; ++gy)
      for (int gx = 0; gx < 5; ++gx) {
        if (!(glyph[gy] & (0x10 >> gx))) continue;
        for (int sy = 0; sy < kScale; ++sy)
          for (int sx = 0; sx < kScale; ++sx) {
            const int x = kScale + (d * 6 + gx) * kScale + sx;
            const int y = kScale + gy * kScale + sy;
            if (x < width && y < height)
              std::memset(rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3, 235, 3);
          }
      }
  }
}

PhotoScene::PhotoScene(std::vector<uint8_t> rgb, int width, int height)
    : rgb_(std::move(rgb)), width_(width), height_(height) {}

std::shared_ptr<PhotoScene> PhotoScene::Load(const std::filesystem::path& path, std::string* error) {
  auto fail = [&](const std::string& why) -> std::shared_ptr<PhotoScene> {
    if (error) *error = path.string() + ": " + why;
    return nullptr;
  };
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return fail("cannot open");
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  // The simplified libpng API converts every colour type and depth to RGB8
  // (palette, grey, alpha composited on black, 16-bit reduced).
  if (!png_image_begin_read_from_stdio(&image, file)) {
    std::fclose(file);
    return fail(image.message);
  }
  image.format = PNG_FORMAT_RGB;
  if (image.width == 0 || image.height == 0 || image.width > 8192 || image.height > 8192) {
    png_image_free(&image);
    std::fclose(file);
    return fail("unsupported picture size");
  }
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  const int ok = png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr);
  std::fclose(file);
  if (!ok) {
    const std::string message = image.message;
    png_image_free(&image);
    return fail(message);
  }
  return std::make_shared<PhotoScene>(std::move(rgb), static_cast<int>(image.width),
                                      static_cast<int>(image.height));
}

void PhotoScene::Render(uint32_t, int width, int height, std::vector<uint8_t>& rgb) const {
  rgb.resize(static_cast<std::size_t>(std::max(width, 0)) * std::max(height, 0) * 3);
  if (width <= 0 || height <= 0) return;
  if (width == width_ && height == height_) {
    rgb = rgb_;
    return;
  }
  // Bilinear, sampling at pixel centres, in 16.16 fixed point.
  for (int y = 0; y < height; ++y) {
    const int64_t sy = std::max<int64_t>(0, ((2 * y + 1) * int64_t{height_} * 65536) / (2 * height) - 32768);
    const int y0 = std::min(static_cast<int>(sy >> 16), height_ - 1);
    const int y1 = std::min(y0 + 1, height_ - 1);
    const int fy = static_cast<int>(sy & 0xFFFF);
    for (int x = 0; x < width; ++x) {
      const int64_t sx = std::max<int64_t>(0, ((2 * x + 1) * int64_t{width_} * 65536) / (2 * width) - 32768);
      const int x0 = std::min(static_cast<int>(sx >> 16), width_ - 1);
      const int x1 = std::min(x0 + 1, width_ - 1);
      const int fx = static_cast<int>(sx & 0xFFFF);
      for (int c = 0; c < 3; ++c) {
        auto at = [&](int xx, int yy) -> int64_t {
          return rgb_[(static_cast<std::size_t>(yy) * width_ + xx) * 3 + c];
        };
        const int64_t top = at(x0, y0) * (65536 - fx) + at(x1, y0) * fx;
        const int64_t bottom = at(x0, y1) * (65536 - fx) + at(x1, y1) * fx;
        const int64_t v = (top * (65536 - fy) + bottom * fy + (int64_t{1} << 31)) >> 32;
        rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c] = Clamp8(static_cast<int>(v));
      }
    }
  }
}

int MeanLevel(const std::vector<uint8_t>& samples) {
  if (samples.empty()) return 0;
  uint64_t sum = 0;
  for (uint8_t s : samples) sum += s;
  return static_cast<int>(sum / samples.size());
}

void DevelopPicture(const ImageControls& c, const std::vector<uint8_t>& rgb, int width, int height,
                    std::vector<uint8_t>& i420) {
  i420.assign(encoder::I420Size(std::max(width, 1), std::max(height, 1)), 0);
  if (width <= 0 || height <= 0) return;
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  std::vector<int> y(pixels), cb(pixels), cr(pixels);

  // Exposure (gain (32 + agc) / 48) and white balance (gain / 128) act on the
  // sensor's RGB; the conversion is T.81 / JFIF BT.601 full range in 16-bit
  // fixed point.
  const int exposure = 32 + c.exposure_agc;
  for (std::size_t i = 0; i < pixels; ++i) {
    const int r = std::min(255, rgb[3 * i] * exposure * c.red_gain / (48 * kNeutralGain));
    const int g = std::min(255, rgb[3 * i + 1] * exposure / 48);
    const int b = std::min(255, rgb[3 * i + 2] * exposure * c.blue_gain / (48 * kNeutralGain));
    y[i] = (19595 * r + 38470 * g + 7471 * b + 32768) >> 16;
    cb[i] = ((-11059 * r - 21709 * g + 32768 * b + 32768) >> 16);  // centred on 0
    cr[i] = ((32768 * r - 27439 * g - 5329 * b + 32768) >> 16);
  }

  // Sharpness: luma detail (the difference from a 3x3 box blur) scaled by
  // 1 + (s - 2) / 16; s = 2 leaves the picture alone.
  if (c.sharpness != 2) {
    std::vector<int> blurred(pixels);
    for (int row = 0; row < height; ++row)
      for (int col = 0; col < width; ++col) {
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            const int yy = std::clamp(row + dy, 0, height - 1);
            const int xx = std::clamp(col + dx, 0, width - 1);
            sum += y[static_cast<std::size_t>(yy) * width + xx];
          }
        blurred[static_cast<std::size_t>(row) * width + col] = (sum + 4) / 9;
      }
    for (std::size_t i = 0; i < pixels; ++i)
      y[i] = y[i] + (y[i] - blurred[i]) * (c.sharpness - 2) / 16;
  }

  // Contrast about mid-grey, then brightness; hue rotation and saturation on
  // the chroma pair.
  const int hue = ((c.hue % 720) + 720) % 720;
  const int cs = Hues().cos14[hue], sn = Hues().sin14[hue];
  for (std::size_t i = 0; i < pixels; ++i) {
    y[i] = Clamp8(128 + (y[i] - 128) * (32 + c.contrast) / 32 + c.brightness);
    const int u = (cb[i] * cs - cr[i] * sn) / 16384;
    const int v = (cb[i] * sn + cr[i] * cs) / 16384;
    cb[i] = u * c.saturation / 40;
    cr[i] = v * c.saturation / 40;
  }

  uint8_t* out_y = i420.data();
  for (std::size_t i = 0; i < pixels; ++i) out_y[i] = static_cast<uint8_t>(y[i]);
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  uint8_t* out_cb = out_y + pixels;
  uint8_t* out_cr = out_cb + static_cast<std::size_t>(cw) * ch;
  for (int row = 0; row < ch; ++row)
    for (int col = 0; col < cw; ++col) {
      int su = 0, sv = 0, n = 0;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const int yy = 2 * row + dy, xx = 2 * col + dx;
          if (yy >= height || xx >= width) continue;
          su += cb[static_cast<std::size_t>(yy) * width + xx];
          sv += cr[static_cast<std::size_t>(yy) * width + xx];
          ++n;
        }
      // Round half away from zero so that grey stays exactly 128.
      auto avg = [n](int s) { return s >= 0 ? (s + n / 2) / n : -((-s + n / 2) / n); };
      out_cb[static_cast<std::size_t>(row) * cw + col] = Clamp8(128 + avg(su));
      out_cr[static_cast<std::size_t>(row) * cw + col] = Clamp8(128 + avg(sv));
    }
}

}  // namespace dualcam::host::sim
