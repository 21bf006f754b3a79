// dualcamdec (see dualcam_dec.h): a GstBaseTransform from video/x-vqj9 to
// I420 or BGR at the sample's size.
//
// Hard part: every sample is untrusted (a file read back, a damaged
// recording) and must come out as the driver would have rendered it. The
// sample's header is checked before anything in it is used (tag, declared
// raw length against the bytes present, gamma), the raw frame is rendered
// by the same routine `dualcam decode` uses, and a sample that carries no
// picture (the driver's no-picture marker, or one that does not render)
// gives the last good picture again, or an all-zero one before the first,
// as the driver gives for lost frames.
#include "dualcam_dec.h"

#include <gst/video/video.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "driver/formats.h"
#include "formats.h"
#include "pipeline/render.h"
#include "pipeline/tone_curve.h"
#include "render_io.h"

GST_DEBUG_CATEGORY_STATIC(dualcam_dec_debug);
#define GST_CAT_DEFAULT dualcam_dec_debug

namespace dualcam::gst {
namespace {

struct DecState {
  std::mutex mutex;  // guards every field below
  std::optional<FormatDesc> out;
  GstVideoInfo info{};
  GstBuffer* last = nullptr;  // the last picture rendered
  bool warned = false;        // a sample that does not render was reported
};

// The raw frame a pass-through sample carries, with its quality and tone
// curve; nothing when the sample is not a well-formed one.
struct SampleFrame {
  std::span<const uint8_t> raw;
  int quality = 0;
  int gamma = 0;
};

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

std::optional<SampleFrame> ParseSample(std::span<const uint8_t> sample) {
  if (sample.size() < pipeline::kPassThroughHeaderSize + pipeline::kRawHeaderSize ||
      std::memcmp(sample.data(), pipeline::kPassThroughTag, sizeof pipeline::kPassThroughTag) != 0)
    return std::nullopt;
  const auto raw = sample.subspan(pipeline::kPassThroughHeaderSize);
  const uint32_t length = ReadLe32(raw.data() + pipeline::kPassThroughRawLengthOffset);
  const int gamma = sample[pipeline::kPassThroughGammaOffset];
  if (length < pipeline::kRawHeaderSize || length > raw.size() || gamma >= pipeline::kToneCurveCount)
    return std::nullopt;
  return SampleFrame{raw.first(length), raw[pipeline::kPassThroughRawQualityOffset], gamma};
}

// The fields a raw picture of the driver's carries besides its size and rate.
void SetPictureFields(GstStructure* structure, PictureKind kind) {
  GstCaps* model = CapsFor(FormatDesc{kind, 16, 16, 30, 1});
  const GstStructure* fields = gst_caps_get_structure(model, 0);
  for (const char* name : {"format", "colorimetry", "chroma-site", "pixel-aspect-ratio", "interlace-mode"}) {
    if (const GValue* value = gst_structure_get_value(fields, name)) gst_structure_set_value(structure, name, value);
  }
  gst_caps_unref(model);
}

GstStructure* Reshape(const GstStructure* from, const char* name) {
  GstStructure* to = gst_structure_new_empty(name);
  for (const char* field : {"width", "height", "framerate"}) {
    if (const GValue* value = gst_structure_get_value(from, field)) gst_structure_set_value(to, field, value);
  }
  return to;
}

// The capture formats of one kind at any frame rate (recordings may be
// replayed at another).
GstCaps* TemplateCaps(bool samples) {
  GstCaps* caps = gst_caps_new_empty();
  for (const KS_DATARANGE_VIDEO& range : driver::CaptureFormats) {
    const auto format = DescribeRange(range);
    if (!format || format->kind != PictureKind::kVqj9) continue;
    GstCaps* offered = CapsFor(*format);
    for (PictureKind kind : {PictureKind::kI420, PictureKind::kBgr}) {
      GstStructure* structure = Reshape(gst_caps_get_structure(offered, 0), samples ? kVqj9CapsName : "video/x-raw");
      gst_structure_set(structure, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
      if (!samples) SetPictureFields(structure, kind);
      caps = gst_caps_merge_structure(caps, structure);
      if (samples) break;
    }
    gst_caps_unref(offered);
  }
  return caps;
}

}  // namespace
}  // namespace dualcam::gst

using dualcam::gst::DecState;
using dualcam::gst::FormatDesc;
using dualcam::gst::PictureKind;

struct _DualcamDec {
  GstBaseTransform parent;
  DecState* state;
};

G_DEFINE_TYPE(DualcamDec, dualcam_dec, GST_TYPE_BASE_TRANSFORM)

static GstCaps* dualcam_dec_transform_caps(GstBaseTransform*, GstPadDirection direction, GstCaps* caps,
                                           GstCaps* filter) {
  GstCaps* result = gst_caps_new_empty();
  for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
    const GstStructure* structure = gst_caps_get_structure(caps, i);
    if (direction == GST_PAD_SINK) {
      if (!gst_structure_has_name(structure, dualcam::gst::kVqj9CapsName)) continue;
      for (PictureKind kind : {PictureKind::kI420, PictureKind::kBgr}) {
        GstStructure* picture = dualcam::gst::Reshape(structure, "video/x-raw");
        dualcam::gst::SetPictureFields(picture, kind);
        result = gst_caps_merge_structure(result, picture);
      }
    } else {
      if (!gst_structure_has_name(structure, "video/x-raw")) continue;
      result = gst_caps_merge_structure(result, dualcam::gst::Reshape(structure, dualcam::gst::kVqj9CapsName));
    }
  }
  if (filter != nullptr) {
    GstCaps* both = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(result);
    result = both;
  }
  return result;
}

static gboolean dualcam_dec_set_caps(GstBaseTransform* trans, GstCaps* incaps, GstCaps* outcaps) {
  DualcamDec* self = DUALCAM_DEC(trans);
  const auto in = dualcam::gst::FormatOfCaps(incaps);
  const auto out = dualcam::gst::FormatOfCaps(outcaps);
  GstVideoInfo info;
  if (!in || !out || in->kind != PictureKind::kVqj9 || out->kind == PictureKind::kVqj9 || in->width != out->width ||
      in->height != out->height || dualcam::pipeline::FindSizePlan(out->width, out->height) == nullptr ||
      !gst_video_info_from_caps(&info, outcaps) || !dualcam::gst::PackedLayout(info)) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("cannot render these samples into this format"),
                      ("in %" GST_PTR_FORMAT ", out %" GST_PTR_FORMAT, incaps, outcaps));
    return FALSE;
  }
  std::lock_guard lock(self->state->mutex);
  self->state->out = out;
  self->state->info = info;
  gst_clear_buffer(&self->state->last);
  self->state->warned = false;
  return TRUE;
}

static gboolean dualcam_dec_transform_size(GstBaseTransform* trans, GstPadDirection direction, GstCaps*, gsize,
                                           GstCaps*, gsize* othersize) {
  DualcamDec* self = DUALCAM_DEC(trans);
  if (direction != GST_PAD_SINK) return FALSE;  // a sample's size says nothing of the picture's
  std::lock_guard lock(self->state->mutex);
  if (!self->state->out) return FALSE;
  *othersize = GST_VIDEO_INFO_SIZE(&self->state->info);
  return TRUE;
}

static GstFlowReturn dualcam_dec_transform(GstBaseTransform* trans, GstBuffer* inbuf, GstBuffer* outbuf) {
  DualcamDec* self = DUALCAM_DEC(trans);
  std::optional<FormatDesc> out;
  GstVideoInfo info;
  {
    std::lock_guard lock(self->state->mutex);
    out = self->state->out;
    info = self->state->info;
  }
  if (!out) return GST_FLOW_NOT_NEGOTIATED;
  const gsize bytes = GST_VIDEO_INFO_SIZE(&info);
  if (gst_buffer_get_size(outbuf) < bytes) return GST_FLOW_ERROR;

  std::optional<std::vector<uint8_t>> picture;
  bool marker = false;
  GstMapInfo in;
  if (gst_buffer_map(inbuf, &in, GST_MAP_READ)) {
    const std::span<const uint8_t> sample(in.data, in.size);
    marker = sample.size() >= sizeof dualcam::pipeline::kNoPictureMarker &&
             std::memcmp(sample.data(), dualcam::pipeline::kNoPictureMarker,
                         sizeof dualcam::pipeline::kNoPictureMarker) == 0;
    if (const auto frame = dualcam::gst::ParseSample(sample))
      picture = dualcam::tools::RenderRawFrame(frame->raw, out->width, out->height, out->kind == PictureKind::kI420,
                                               frame->quality, frame->gamma);
    gst_buffer_unmap(inbuf, &in);
  }

  GstMapInfo map;
  if (!gst_buffer_map(outbuf, &map, GST_MAP_WRITE)) return GST_FLOW_ERROR;
  if (picture) {
    if (out->kind == PictureKind::kBgr) {
      dualcam::gst::FlipRows(picture->data(), out->width, out->height, map.data,
                             static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)));
    } else {
      std::memcpy(map.data, picture->data(), std::min<gsize>(bytes, picture->size()));
    }
    gst_buffer_unmap(outbuf, &map);
    std::lock_guard lock(self->state->mutex);
    gst_buffer_replace(&self->state->last, outbuf);
    return GST_FLOW_OK;
  }

  bool warn = false;
  {
    std::lock_guard lock(self->state->mutex);
    if (self->state->last != nullptr) {
      gst_buffer_extract(self->state->last, 0, map.data, bytes);
    } else {
      std::memset(map.data, 0, bytes);  // the driver's blank first picture
    }
    warn = !marker && !self->state->warned;
    if (warn) self->state->warned = true;
  }
  gst_buffer_unmap(outbuf, &map);
  if (warn)
    GST_ELEMENT_WARNING(self, STREAM, DECODE, ("a sample could not be rendered; the last picture is repeated"),
                        ("not a well-formed %dx%d pass-through sample, or its picture is corrupt", out->width,
                         out->height));
  GST_DEBUG_OBJECT(self, "no picture in sample %" G_GUINT64_FORMAT " (%s)", GST_BUFFER_OFFSET(inbuf),
                   marker ? "no-picture marker" : "does not render");
  return GST_FLOW_OK;
}

static gboolean dualcam_dec_stop(GstBaseTransform* trans) {
  DualcamDec* self = DUALCAM_DEC(trans);
  std::lock_guard lock(self->state->mutex);
  gst_clear_buffer(&self->state->last);
  self->state->out.reset();
  return TRUE;
}

static void dualcam_dec_init(DualcamDec* self) { self->state = new DecState(); }

static void dualcam_dec_finalize(GObject* object) {
  DualcamDec* self = DUALCAM_DEC(object);
  gst_clear_buffer(&self->state->last);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(dualcam_dec_parent_class)->finalize(object);
}

static void dualcam_dec_class_init(DualcamDecClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  GST_DEBUG_CATEGORY_INIT(dualcam_dec_debug, "dualcamdec", 0, "dual-mode camera sample renderer");
  object_class->finalize = dualcam_dec_finalize;

  GstCaps* sink = dualcam::gst::TemplateCaps(true);
  GstCaps* src = dualcam::gst::TemplateCaps(false);
  gst_element_class_add_pad_template(element_class, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, sink));
  gst_element_class_add_pad_template(element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, src));
  gst_caps_unref(sink);
  gst_caps_unref(src);
  gst_element_class_set_static_metadata(
      element_class, "Dual-mode camera sample renderer", "Codec/Decoder/Video",
      "Renders the camera's pass-through samples into I420 or BGR pictures with the driver's render routes",
      "dualcam");

  trans_class->transform_caps = dualcam_dec_transform_caps;
  trans_class->set_caps = dualcam_dec_set_caps;
  trans_class->transform_size = dualcam_dec_transform_size;
  trans_class->transform = dualcam_dec_transform;
  trans_class->stop = dualcam_dec_stop;
  trans_class->passthrough_on_same_caps = FALSE;
}
