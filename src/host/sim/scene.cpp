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

#include "host/sim/encoder/encoder.h"

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
  if (width <= 0 || height <= 0) {
    rgb.clear();
    return;
  }
  const std::size_t row_bytes = static_cast<std::size_t>(width) * 3;
  rgb.resize(row_bytes * height);  // every byte is written below
  const int bar_rows = height * 3 / 4;
  const int shift = static_cast<int>((frame_number * 2) % static_cast<uint32_t>(width));
  // Every bar row is the same, and so is every ramp row: draw one of each and
  // copy it down, which keeps a VGA frame to a few hundred kilobytes of copies.
  if (bar_rows > 0) {
    uint8_t* first = rgb.data();
    for (int x = 0; x < width; ++x) std::memcpy(first + 3 * x, kBars[((x + shift) % width) * 8 / width], 3);
    for (int y = 1; y < bar_rows; ++y) std::memcpy(first + y * row_bytes, first, row_bytes);
  }
  if (bar_rows < height) {
    uint8_t* first = rgb.data() + bar_rows * row_bytes;
    const int last = std::max(1, width - 1);
    for (int x = 0; x < width; ++x) std::memset(first + 3 * x, x * 255 / last, 3);
    for (int y = bar_rows + 1; y < height; ++y) std::memcpy(rgb.data() + y * row_bytes, first, row_bytes);
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
  // Bilinear, sampling at pixel centres, in 16.16 fixed point. The column
  // taps are the same on every row, so they are worked out once.
  struct Tap {
    std::size_t left, right;  // byte offsets of the two source pixels in a row
    int64_t weight;           // of the right one, 0..65535
  };
  std::vector<Tap> columns(static_cast<std::size_t>(width));
  for (int x = 0; x < width; ++x) {
    const int64_t sx = std::max<int64_t>(0, ((2 * x + 1) * int64_t{width_} * 65536) / (2 * width) - 32768);
    const int x0 = std::min(static_cast<int>(sx >> 16), width_ - 1);
    const int x1 = std::min(x0 + 1, width_ - 1);
    columns[x] = {static_cast<std::size_t>(x0) * 3, static_cast<std::size_t>(x1) * 3, sx & 0xFFFF};
  }
  const std::size_t source_row = static_cast<std::size_t>(width_) * 3;
  for (int y = 0; y < height; ++y) {
    const int64_t sy = std::max<int64_t>(0, ((2 * y + 1) * int64_t{height_} * 65536) / (2 * height) - 32768);
    const int y0 = std::min(static_cast<int>(sy >> 16), height_ - 1);
    const int y1 = std::min(y0 + 1, height_ - 1);
    const int64_t fy = sy & 0xFFFF;
    const uint8_t* upper = rgb_.data() + y0 * source_row;
    const uint8_t* lower = rgb_.data() + y1 * source_row;
    uint8_t* out = rgb.data() + static_cast<std::size_t>(y) * width * 3;
    for (const Tap& tap : columns) {
      for (int c = 0; c < 3; ++c) {
        const int64_t top = upper[tap.left + c] * (65536 - tap.weight) + upper[tap.right + c] * tap.weight;
        const int64_t bottom = lower[tap.left + c] * (65536 - tap.weight) + lower[tap.right + c] * tap.weight;
        const int64_t v = (top * (65536 - fy) + bottom * fy + (int64_t{1} << 31)) >> 32;
        *out++ = Clamp8(static_cast<int>(v));
      }
    }
  }
}

namespace {

// Working rows of DevelopPicture, kept per thread from frame to frame: a
// camera develops a picture every frame interval, and fresh buffers of a few
// hundred kilobytes each time cost more in page faults than the arithmetic.
struct DevelopScratch {
  std::vector<int> chroma;  // two rows, each Cb then Cr, width samples apiece
  std::vector<int> luma;    // the whole luma plane, only when sharpening
  std::vector<uint8_t> repeats;  // per row: 1 when its sensor row equals the one above
};

DevelopScratch& Scratch() {
  thread_local DevelopScratch scratch;
  return scratch;
}

// Mean of a 2x2 (or, at odd edges, smaller) block of chroma, rounded half
// away from zero so that grey stays exactly 128. The divisor is one of three
// constants, so no division instruction is needed.
int RoundedMean(int sum, int count) {
  switch (count) {
    case 4: return sum >= 0 ? (sum + 2) / 4 : -((-sum + 2) / 4);
    case 2: return sum >= 0 ? (sum + 1) / 2 : -((-sum + 1) / 2);
    default: return sum;
  }
}

}  // namespace

void DevelopPicture(const ImageControls& c, const std::vector<uint8_t>& rgb, int width, int height,
                    std::vector<uint8_t>& i420) {
  const std::size_t size = encoder::I420Size(std::max(width, 1), std::max(height, 1));
  const std::size_t pixels = width > 0 && height > 0 ? static_cast<std::size_t>(width) * height : 0;
  // No picture, or a sensor buffer that does not cover it: all zeros.
  if (pixels == 0 || rgb.size() < 3 * pixels) {
    i420.assign(size, 0);
    return;
  }
  i420.resize(size);  // every byte is written below

  // Exposure (gain (32 + agc) / 48) and white balance (gain / 128) act on the
  // sensor's RGB. Each is a function of one 8-bit sample for the whole frame,
  // so it is a table.
  const int exposure = 32 + c.exposure_agc;
  std::array<int, 256> red, green, blue;
  for (int v = 0; v < 256; ++v) {
    red[v] = std::min(255, v * exposure * c.red_gain / (48 * kNeutralGain));
    green[v] = std::min(255, v * exposure / 48);
    blue[v] = std::min(255, v * exposure * c.blue_gain / (48 * kNeutralGain));
  }
  // Contrast about mid-grey, then brightness: a table for the 0..255 luma
  // the conversion gives from 8-bit RGB; sharpened (or out-of-range) luma
  // takes the formula itself.
  const int slope = 32 + c.contrast;
  auto tone = [&](int y) { return Clamp8(128 + (y - 128) * slope / 32 + c.brightness); };
  std::array<uint8_t, 256> tones;
  for (int y = 0; y < 256; ++y) tones[y] = tone(y);
  auto toned = [&](int y) { return static_cast<unsigned>(y) < 256 ? tones[y] : tone(y); };

  // Hue rotation and saturation on the chroma pair.
  const int hue = ((c.hue % 720) + 720) % 720;
  const int cs = Hues().cos14[hue], sn = Hues().sin14[hue];
  const int saturation = c.saturation;

  const bool sharpen = c.sharpness != 2;
  DevelopScratch& scratch = Scratch();
  scratch.chroma.resize(4 * static_cast<std::size_t>(width));
  if (sharpen) scratch.luma.resize(pixels);
  scratch.repeats.assign(static_cast<std::size_t>(height), 0);
  int* const slots[2] = {scratch.chroma.data(), scratch.chroma.data() + 2 * width};
  int last_slot = 1;
  const uint8_t* last_row = nullptr;

  // Converts one sensor row (T.81 / JFIF BT.601 full range in 16-bit fixed
  // point): luma to the output (or the sharpening plane), chroma to a slot.
  // Scenes repeat rows (flat areas, bars), and a row equal to the one before
  // develops exactly as it did, so its results are copied instead. Returns
  // the slot holding the row's chroma.
  uint8_t* const out_y = i420.data();
  auto develop_row = [&](int row) -> const int* {
    const uint8_t* in = rgb.data() + static_cast<std::size_t>(row) * width * 3;
    const std::size_t at = static_cast<std::size_t>(row) * width;
    if (last_row && std::memcmp(in, last_row, static_cast<std::size_t>(width) * 3) == 0) {
      if (sharpen)
        std::memcpy(&scratch.luma[at], &scratch.luma[at - width], width * sizeof(int));
      else
        std::memcpy(out_y + at, out_y + at - width, width);
      last_row = in;
      scratch.repeats[row] = 1;
      return slots[last_slot];
    }
    last_slot ^= 1;  // never overwrite the previous row, which may be the pair's first
    int* cb = slots[last_slot];
    int* cr = cb + width;
    for (int x = 0; x < width; ++x) {
      const int r = red[in[3 * x]], g = green[in[3 * x + 1]], b = blue[in[3 * x + 2]];
      const int y = (19595 * r + 38470 * g + 7471 * b + 32768) >> 16;
      const int u0 = ((-11059 * r - 21709 * g + 32768 * b + 32768) >> 16);  // centred on 0
      const int v0 = ((32768 * r - 27439 * g - 5329 * b + 32768) >> 16);
      if (sharpen)
        scratch.luma[at + x] = y;
      else
        out_y[at + x] = toned(y);
      const int u = (u0 * cs - v0 * sn) / 16384;
      const int v = (u0 * sn + v0 * cs) / 16384;
      cb[x] = u * saturation / 40;
      cr[x] = v * saturation / 40;
    }
    last_row = in;
    return cb;
  };

  // Rows in pairs, each pair giving one row of both chroma planes.
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  uint8_t* out_cb = out_y + pixels;
  uint8_t* out_cr = out_cb + static_cast<std::size_t>(cw) * ch;
  for (int crow = 0; crow < ch; ++crow) {
    const int* top = develop_row(2 * crow);
    const bool two_rows = 2 * crow + 1 < height;
    const int* bottom = two_rows ? develop_row(2 * crow + 1) : nullptr;
    uint8_t* row_cb = out_cb + static_cast<std::size_t>(crow) * cw;
    uint8_t* row_cr = out_cr + static_cast<std::size_t>(crow) * cw;
    for (int col = 0; col < cw; ++col) {
      const int x = 2 * col;
      const bool two_cols = x + 1 < width;
      int su = top[x], sv = top[width + x];
      if (two_cols) su += top[x + 1], sv += top[width + x + 1];
      if (bottom) {
        su += bottom[x], sv += bottom[width + x];
        if (two_cols) su += bottom[x + 1], sv += bottom[width + x + 1];
      }
      const int count = (two_cols ? 2 : 1) * (two_rows ? 2 : 1);
      row_cb[col] = Clamp8(128 + RoundedMean(su, count));
      row_cr[col] = Clamp8(128 + RoundedMean(sv, count));
    }
  }

  // Sharpness: luma detail (the difference from a 3x3 box blur, edges
  // replicated) scaled by 1 + (s - 2) / 16. The box sum is a column sum of
  // three rows, then a row sum of three columns. A row whose three source
  // rows equal those of the row above comes out as that row did.
  if (sharpen) {
    const int detail = c.sharpness - 2;
    std::vector<int>& plane = scratch.luma;
    const std::vector<uint8_t>& same = scratch.repeats;
    int* columns = slots[0];  // the chroma rows are free again: 2 x width ints
    for (int row = 0; row < height; ++row) {
      if (row > 0 && same[row] && (row + 1 >= height || same[row + 1]) && (row < 2 || same[row - 1])) {
        std::memcpy(out_y + static_cast<std::size_t>(row) * width, out_y + static_cast<std::size_t>(row - 1) * width,
                    width);
        continue;
      }
      const int* above = &plane[static_cast<std::size_t>(std::max(row - 1, 0)) * width];
      const int* here = &plane[static_cast<std::size_t>(row) * width];
      const int* below = &plane[static_cast<std::size_t>(std::min(row + 1, height - 1)) * width];
      for (int x = 0; x < width; ++x) columns[x] = above[x] + here[x] + below[x];
      uint8_t* out = out_y + static_cast<std::size_t>(row) * width;
      for (int x = 0; x < width; ++x) {
        const int sum = columns[std::max(x - 1, 0)] + columns[x] + columns[std::min(x + 1, width - 1)];
        const int blurred = (sum + 4) / 9;
        out[x] = toned(here[x] + (here[x] - blurred) * detail / 16);
      }
    }
  }
}

}  // namespace dualcam::host::sim
