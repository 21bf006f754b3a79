// The camera's formats as a pipeline sees them: each of the capture pin's
// format records (the driver's own, as the device announces them) becomes
// one caps structure, and fixed caps lead back to the record they came from,
// which is what the driver's data intersection is then asked about.
//
// Hard part: saying exactly what the driver's pictures are. I420 is full
// range JPEG YCbCr with the chroma sited between the samples; RGB24 rows are
// B, G, R bytes stored bottom-up, which GStreamer calls BGR once the rows are
// turned top-down; the pass-through sample has caps of its own, named after
// its FourCC. The packed layouts the driver writes match GStreamer's default
// strides at every offered size, which PackedLayout() checks rather than
// assumes.
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/ks.h"

namespace dualcam::gst {

// The pass-through sample's caps name.
inline constexpr char kVqj9CapsName[] = "video/x-vqj9";

enum class PictureKind { kI420, kBgr, kVqj9 };

// What a format record means to a pipeline.
struct FormatDesc {
  PictureKind kind = PictureKind::kI420;
  int width = 0;
  int height = 0;
  int fps_n = 0;  // frame rate of the record's frame interval
  int fps_d = 1;
  GstClockTime Duration() const;
  bool operator==(const FormatDesc&) const = default;
};

// Nothing for a record of a kind the element does not carry.
std::optional<FormatDesc> DescribeRange(const KS_DATARANGE_VIDEO& range);

// The frame rate of a frame interval in 100 ns units, as a fraction: a whole
// rate when the interval is within 0.1 % of one (333,333 is 30/1), else
// 10^7 / interval reduced.
void FrameRateOf(int64_t interval, int* fps_n, int* fps_d);

// One structure per record, in the records' order (the order the driver
// reports and searches them in).
GstCaps* CapsForRanges(std::span<const KS_DATARANGE_VIDEO> ranges);
GstCaps* CapsFor(const FormatDesc& format);

// The first record whose caps take `caps` (fixed), or null.
const KS_DATARANGE_VIDEO* RangeForCaps(std::span<const KS_DATARANGE_VIDEO> ranges, const GstCaps* caps);
// The format of fixed caps of one of the three kinds.
std::optional<FormatDesc> FormatOfCaps(const GstCaps* caps);

// True when GStreamer's layout for this format is the packed one the driver
// writes (planes back to back, rows without padding).
bool PackedLayout(const GstVideoInfo& info);

// Bottom-up B,G,R rows into top-down rows of `stride` bytes.
void FlipRows(const uint8_t* bottom_up, int width, int height, uint8_t* top_down, std::size_t stride);

}  // namespace dualcam::gst
