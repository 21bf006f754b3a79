// Format records to caps and back (see formats.h).
#include "formats.h"

#include <cstring>
#include <numeric>

#include "pipeline/render.h"

namespace dualcam::gst {
namespace {

constexpr int64_t kUnitsPerSecond = 10'000'000;  // frame intervals are in 100 ns units

// The colours of the driver's planar pictures: JPEG (T.81 / JFIF) YCbCr,
// full range, BT.601 matrix, chroma centred between the luma samples.
void SetPictureColours(GstVideoInfo* info) {
  info->colorimetry.range = GST_VIDEO_COLOR_RANGE_0_255;
  info->colorimetry.matrix = GST_VIDEO_COLOR_MATRIX_BT601;
  info->colorimetry.transfer = GST_VIDEO_TRANSFER_UNKNOWN;
  info->colorimetry.primaries = GST_VIDEO_COLOR_PRIMARIES_UNKNOWN;
  info->chroma_site = GST_VIDEO_CHROMA_SITE_JPEG;
}

}  // namespace

GstClockTime FormatDesc::Duration() const {
  return fps_n > 0 ? gst_util_uint64_scale_int(GST_SECOND, fps_d, fps_n) : GST_CLOCK_TIME_NONE;
}

void FrameRateOf(int64_t interval, int* fps_n, int* fps_d) {
  if (interval <= 0) {
    *fps_n = 0;
    *fps_d = 1;
    return;
  }
  const int64_t whole = (kUnitsPerSecond + interval / 2) / interval;
  if (whole > 0 && std::llabs(whole * interval - kUnitsPerSecond) * 1000 < kUnitsPerSecond) {
    *fps_n = static_cast<int>(whole);
    *fps_d = 1;
    return;
  }
  int64_t n = kUnitsPerSecond, d = interval;
  const int64_t g = std::gcd(n, d);
  n /= g;
  d /= g;
  // Intervals beyond what a fraction of ints holds are not frame rates.
  if (d > G_MAXINT) {
    *fps_n = 0;
    *fps_d = 1;
    return;
  }
  *fps_n = static_cast<int>(n);
  *fps_d = static_cast<int>(d);
}

std::optional<FormatDesc> DescribeRange(const KS_DATARANGE_VIDEO& range) {
  const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
  FormatDesc format;
  switch (bitmap.biCompression) {
    case pipeline::kFourccI420:
    case pipeline::kFourccIyuv:
      format.kind = PictureKind::kI420;
      break;
    case pipeline::kFourccVqj9:
      format.kind = PictureKind::kVqj9;
      break;
    case pipeline::kCompressionRgb:
      if (bitmap.biBitCount != 24) return std::nullopt;
      format.kind = PictureKind::kBgr;
      break;
    default:
      return std::nullopt;
  }
  // Even sizes only: the planar picture halves both.
  if (bitmap.biWidth <= 0 || bitmap.biHeight <= 0 || bitmap.biWidth > 8192 || bitmap.biHeight > 8192 ||
      bitmap.biWidth % 2 != 0 || bitmap.biHeight % 2 != 0)
    return std::nullopt;
  format.width = bitmap.biWidth;
  format.height = bitmap.biHeight;
  FrameRateOf(range.VideoInfoHeader.AvgTimePerFrame, &format.fps_n, &format.fps_d);
  if (format.fps_n == 0) return std::nullopt;
  return format;
}

GstCaps* CapsFor(const FormatDesc& format) {
  if (format.kind == PictureKind::kVqj9) {
    return gst_caps_new_simple(kVqj9CapsName, "width", G_TYPE_INT, format.width, "height", G_TYPE_INT, format.height,
                               "framerate", GST_TYPE_FRACTION, format.fps_n, format.fps_d, nullptr);
  }
  GstVideoInfo info;
  gst_video_info_init(&info);
  gst_video_info_set_format(&info, format.kind == PictureKind::kI420 ? GST_VIDEO_FORMAT_I420 : GST_VIDEO_FORMAT_BGR,
                            static_cast<guint>(format.width), static_cast<guint>(format.height));
  info.fps_n = format.fps_n;
  info.fps_d = format.fps_d;
  info.par_n = 1;
  info.par_d = 1;
  if (format.kind == PictureKind::kI420) SetPictureColours(&info);
  return gst_video_info_to_caps(&info);
}

GstCaps* CapsForRanges(std::span<const KS_DATARANGE_VIDEO> ranges) {
  GstCaps* caps = gst_caps_new_empty();
  for (const KS_DATARANGE_VIDEO& range : ranges) {
    if (auto format = DescribeRange(range)) caps = gst_caps_merge(caps, CapsFor(*format));
  }
  return caps;
}

std::optional<FormatDesc> FormatOfCaps(const GstCaps* caps) {
  if (caps == nullptr || !gst_caps_is_fixed(caps)) return std::nullopt;
  const GstStructure* structure = gst_caps_get_structure(caps, 0);
  FormatDesc format;
  if (gst_structure_has_name(structure, kVqj9CapsName)) {
    format.kind = PictureKind::kVqj9;
    if (!gst_structure_get_int(structure, "width", &format.width) ||
        !gst_structure_get_int(structure, "height", &format.height) ||
        !gst_structure_get_fraction(structure, "framerate", &format.fps_n, &format.fps_d))
      return std::nullopt;
    return format;
  }
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) return std::nullopt;
  switch (GST_VIDEO_INFO_FORMAT(&info)) {
    case GST_VIDEO_FORMAT_I420:
      format.kind = PictureKind::kI420;
      break;
    case GST_VIDEO_FORMAT_BGR:
      format.kind = PictureKind::kBgr;
      break;
    default:
      return std::nullopt;
  }
  format.width = GST_VIDEO_INFO_WIDTH(&info);
  format.height = GST_VIDEO_INFO_HEIGHT(&info);
  format.fps_n = GST_VIDEO_INFO_FPS_N(&info);
  format.fps_d = GST_VIDEO_INFO_FPS_D(&info);
  return format;
}

const KS_DATARANGE_VIDEO* RangeForCaps(std::span<const KS_DATARANGE_VIDEO> ranges, const GstCaps* caps) {
  if (caps == nullptr || !gst_caps_is_fixed(caps)) return nullptr;
  for (const KS_DATARANGE_VIDEO& range : ranges) {
    const auto format = DescribeRange(range);
    if (!format) continue;
    GstCaps* offered = CapsFor(*format);
    const bool takes = gst_caps_can_intersect(caps, offered);
    gst_caps_unref(offered);
    if (takes) return &range;
  }
  return nullptr;
}

bool PackedLayout(const GstVideoInfo& info) {
  const gsize width = GST_VIDEO_INFO_WIDTH(&info), height = GST_VIDEO_INFO_HEIGHT(&info);
  switch (GST_VIDEO_INFO_FORMAT(&info)) {
    case GST_VIDEO_FORMAT_I420:
      return GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) == static_cast<gint>(width) &&
             GST_VIDEO_INFO_PLANE_STRIDE(&info, 1) == static_cast<gint>(width / 2) &&
             GST_VIDEO_INFO_PLANE_STRIDE(&info, 2) == static_cast<gint>(width / 2) &&
             GST_VIDEO_INFO_PLANE_OFFSET(&info, 1) == width * height &&
             GST_VIDEO_INFO_PLANE_OFFSET(&info, 2) == width * height + (width / 2) * (height / 2) &&
             GST_VIDEO_INFO_SIZE(&info) == width * height * 3 / 2;
    case GST_VIDEO_FORMAT_BGR:
      return GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) == static_cast<gint>(width * 3) &&
             GST_VIDEO_INFO_SIZE(&info) == width * height * 3;
    default:
      return false;
  }
}

void FlipRows(const uint8_t* bottom_up, int width, int height, uint8_t* top_down, std::size_t stride) {
  const std::size_t row = static_cast<std::size_t>(width) * 3;
  for (int y = 0; y < height; ++y)
    std::memcpy(top_down + static_cast<std::size_t>(y) * stride,
                bottom_up + static_cast<std::size_t>(height - 1 - y) * row, row);
}

}  // namespace dualcam::gst
