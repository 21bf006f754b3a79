// RGB <-> I420 conversion and resizing for pictures the host feeds to the
// compressor. Accuracy matters more than speed here: tests measure the
// camera path's PSNR against these conversions, so they round to nearest in
// double precision instead of using the fixed-point shortcuts of the driver.
#include "host/sim/encoder/picture.h"

#include <algorithm>
#include <cmath>

namespace dualcam::encoder {

namespace {

uint8_t ClampByte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// One axis of the resize: for each output position, the source positions and
// weights that contribute to it.
struct Tap {
  int index;
  double weight;
};

std::vector<std::vector<Tap>> AxisTaps(int source, int target) {
  std::vector<std::vector<Tap>> taps(target);
  const double scale = static_cast<double>(source) / target;
  for (int i = 0; i < target; ++i) {
    if (scale >= 1.0) {  // area average over [i*scale, (i+1)*scale)
      const double begin = i * scale, end = (i + 1) * scale;
      for (int s = static_cast<int>(begin); s < source && s < end; ++s) {
        const double overlap = std::min(end, s + 1.0) - std::max(begin, static_cast<double>(s));
        if (overlap > 0) taps[i].push_back({s, overlap / scale});
      }
    } else {  // bilinear between pixel centres
      const double centre = std::clamp((i + 0.5) * scale - 0.5, 0.0, source - 1.0);
      const int left = static_cast<int>(centre);
      const int right = std::min(left + 1, source - 1);
      const double t = centre - left;
      taps[i].push_back({left, 1.0 - t});
      if (right != left) taps[i].push_back({right, t});
    }
  }
  return taps;
}

}  // namespace

I420Picture RgbToI420(const RgbPicture& rgb) {
  I420Picture out;
  out.width = rgb.width;
  out.height = rgb.height;
  if (rgb.width <= 0 || rgb.height <= 0 || rgb.pixels.size() < static_cast<std::size_t>(rgb.width) * rgb.height * 3)
    return out;
  const int w = rgb.width, h = rgb.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  out.bytes.assign(static_cast<std::size_t>(w) * h + 2 * static_cast<std::size_t>(cw) * ch, 0);
  std::vector<double> cb_full(static_cast<std::size_t>(w) * h), cr_full(cb_full.size());
  for (int i = 0; i < w * h; ++i) {
    const double r = rgb.pixels[i * 3], g = rgb.pixels[i * 3 + 1], b = rgb.pixels[i * 3 + 2];
    out.bytes[i] = ClampByte(0.299 * r + 0.587 * g + 0.114 * b);
    cb_full[i] = -0.168736 * r - 0.331264 * g + 0.5 * b + 128.0;
    cr_full[i] = 0.5 * r - 0.418688 * g - 0.081312 * b + 128.0;
  }
  uint8_t* cb = out.bytes.data() + static_cast<std::size_t>(w) * h;
  uint8_t* cr = cb + static_cast<std::size_t>(cw) * ch;
  for (int y = 0; y < ch; ++y) {
    for (int x = 0; x < cw; ++x) {
      double sb = 0, sr = 0;
      int n = 0;
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
          const int sx = 2 * x + dx, sy = 2 * y + dy;
          if (sx >= w || sy >= h) continue;
          sb += cb_full[sy * w + sx];
          sr += cr_full[sy * w + sx];
          ++n;
        }
      }
      cb[y * cw + x] = ClampByte(sb / n);
      cr[y * cw + x] = ClampByte(sr / n);
    }
  }
  return out;
}

RgbPicture I420ToRgb(const I420Picture& yuv) {
  RgbPicture out;
  out.width = yuv.width;
  out.height = yuv.height;
  const int w = yuv.width, h = yuv.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  if (w <= 0 || h <= 0 || yuv.bytes.size() < static_cast<std::size_t>(w) * h + 2 * static_cast<std::size_t>(cw) * ch)
    return out;
  out.pixels.resize(static_cast<std::size_t>(w) * h * 3);
  const uint8_t* cb = yuv.bytes.data() + static_cast<std::size_t>(w) * h;
  const uint8_t* cr = cb + static_cast<std::size_t>(cw) * ch;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double Y = yuv.bytes[y * w + x];
      const double U = cb[(y / 2) * cw + x / 2] - 128.0;
      const double V = cr[(y / 2) * cw + x / 2] - 128.0;
      uint8_t* p = &out.pixels[(static_cast<std::size_t>(y) * w + x) * 3];
      p[0] = ClampByte(Y + 1.402 * V);
      p[1] = ClampByte(Y - 0.344136 * U - 0.714136 * V);
      p[2] = ClampByte(Y + 1.772 * U);
    }
  }
  return out;
}

RgbPicture ResizeRgb(const RgbPicture& rgb, int width, int height) {
  RgbPicture out;
  if (width <= 0 || height <= 0 || rgb.width <= 0 || rgb.height <= 0 ||
      rgb.pixels.size() < static_cast<std::size_t>(rgb.width) * rgb.height * 3)
    return out;
  out.width = width;
  out.height = height;
  out.pixels.resize(static_cast<std::size_t>(width) * height * 3);
  const auto xt = AxisTaps(rgb.width, width);
  const auto yt = AxisTaps(rgb.height, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double acc[3] = {0, 0, 0};
      for (const Tap& ty : yt[y]) {
        for (const Tap& tx : xt[x]) {
          const uint8_t* p = &rgb.pixels[(static_cast<std::size_t>(ty.index) * rgb.width + tx.index) * 3];
          for (int c = 0; c < 3; ++c) acc[c] += p[c] * ty.weight * tx.weight;
        }
      }
      for (int c = 0; c < 3; ++c) out.pixels[(static_cast<std::size_t>(y) * width + x) * 3 + c] = ClampByte(acc[c]);
    }
  }
  return out;
}

}  // namespace dualcam::encoder
