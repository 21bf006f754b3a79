// dualcamsrc (see dualcam_src.h): a live GstPushSrc over CameraOwner.
//
// The camera is taken at NULL to READY (its caps are then the device's
// announced formats) and given back at READY to NULL; the stream opens when
// caps are set, with the driver's intersection answer for the format record
// those caps came from, and closes when the source stops. Each create() waits
// on the pipeline clock for the next frame interval, lets the camera send one
// frame, and hands the picture on with the clock's time as its timestamp (a
// real camera keeps its own time: its frames are read as they come and
// stamped with the clock's time on arrival);
// a frame interval that brings no picture (lost packets, a still the camera
// sends instead) is reported as dropped and the next one waited for.
//
// Hard part: the application thread. Properties, colour balance channels
// and the still signal arrive from it at any state while the streaming
// thread pumps frames. Settings made before the camera is open are kept,
// in order, and carried into the driver's property sets at open (a setting
// made then must not be lost); after that every control goes straight to
// the driver, serialised with the frames inside CameraOwner. The fields the
// two threads share live in SrcState under its mutex, which is never held
// across a pump or a clock wait, so unlock() can always reach the wait.
#include "dualcam_src.h"

#include <gst/video/colorbalance.h>
#include <gst/video/video.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera_owner.h"
#include "driver/formats.h"
#include "formats.h"
#include "session.h"

GST_DEBUG_CATEGORY_STATIC(dualcam_src_debug);
#define GST_CAT_DEFAULT dualcam_src_debug

namespace dualcam::gst {
namespace {

std::atomic<bool> g_stepped_host{false};

enum : guint {
  PROP_0,
  PROP_DEVICE,
  PROP_SCENE,
  PROP_HOME,
  PROP_IS_LIVE,
  PROP_CONTROLS,  // two ids per control from here: its value, then its automatic flag
};

guint ValuePropId(std::size_t control) { return PROP_CONTROLS + 2 * static_cast<guint>(control); }

// The controls the colour balance interface carries, by channel label.
constexpr std::pair<const char*, std::string_view> kBalanceChannels[] = {
    {"BRIGHTNESS", "brightness"}, {"CONTRAST", "contrast"}, {"HUE", "hue"}, {"SATURATION", "saturation"}};

std::string PropertyName(std::string_view control) {
  std::string name(control);
  for (char& c : name)
    if (c == '_') c = '-';
  return name;
}

struct ControlState {
  LONG value = 0;
  bool automatic = false;
};

}  // namespace

struct SrcState {
  std::mutex mutex;  // guards every field below
  // Settings.
  std::string device = "sim";
  std::string scene = "pattern";
  std::optional<std::string> home;
  bool live = true;
  std::vector<tools::ControlSetting> pending;  // asked for before the camera was open, in order
  std::vector<ControlState> known;             // last value seen or set, per control
  // The camera.
  std::shared_ptr<CameraOwner> owner;
  // Streaming.
  std::optional<FormatDesc> format;
  GstVideoInfo info{};
  GstClockID wait_id = nullptr;
  bool flushing = false;
  GstClockTime next_time = GST_CLOCK_TIME_NONE;  // running time of the next frame interval
  uint64_t pumps = 0;                            // frame intervals since the stream started
  uint64_t pictures = 0;
  uint64_t dropped = 0;
  GList* channels = nullptr;                     // GstColorBalanceChannel, owned
};

}  // namespace dualcam::gst

using dualcam::gst::CameraOwner;
using dualcam::gst::ControlState;
using dualcam::gst::Failure;
using dualcam::gst::FormatDesc;
using dualcam::gst::OwnerError;
using dualcam::gst::OwnerEvent;
using dualcam::gst::PictureKind;
using dualcam::gst::SrcState;
using namespace dualcam::gst;  // the property ids and balance channels above

struct _DualcamSrc {
  GstPushSrc parent;
  SrcState* state;
};

static void dualcam_src_color_balance_init(GstColorBalanceInterface* iface);

G_DEFINE_TYPE_WITH_CODE(DualcamSrc, dualcam_src, GST_TYPE_PUSH_SRC,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_COLOR_BALANCE, dualcam_src_color_balance_init))

namespace {

const std::vector<dualcam::tools::ControlDef>& Controls() { return dualcam::tools::Controls(); }

std::shared_ptr<CameraOwner> Owner(DualcamSrc* self) {
  std::lock_guard lock(self->state->mutex);
  return self->state->owner;
}

void PostOwnerError(DualcamSrc* self, const OwnerError& error) {
  const char* text = error.what();
  switch (error.failure()) {
    case Failure::kNoCamera:
      GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("%s", text), (nullptr));
      break;
    case Failure::kBusy:
      GST_ELEMENT_ERROR(self, RESOURCE, BUSY, ("%s", text), (nullptr));
      break;
    case Failure::kSettings:
      GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s", text), (nullptr));
      break;
    case Failure::kFormat:
      GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("%s", text), (nullptr));
      break;
    case Failure::kOpen:
      GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("%s", text), (nullptr));
      break;
  }
}

GstClockTime RunningTimeNow(DualcamSrc* self) {
  GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
  if (clock == nullptr) return GST_CLOCK_TIME_NONE;
  const GstClockTime now = gst_clock_get_time(clock);
  gst_object_unref(clock);
  const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
  return now >= base ? now - base : 0;
}

// A picture the element owns, as a buffer without a copy.
GstBuffer* WrapBytes(std::vector<uint8_t>&& bytes, gsize size) {
  auto* owned = new std::vector<uint8_t>(std::move(bytes));
  size = std::min(size, owned->size());
  return gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), owned->data(), owned->size(), 0, size, owned,
                                     [](gpointer data) { delete static_cast<std::vector<uint8_t>*>(data); });
}

void PostEvent(DualcamSrc* self, OwnerEvent event) {
  const GstClockTime running_time = RunningTimeNow(self);
  GstStructure* structure = nullptr;
  if (std::holds_alternative<dualcam::gst::ButtonEvent>(event)) {
    structure = gst_structure_new("dualcam-button", "running-time", GST_TYPE_CLOCK_TIME, running_time, nullptr);
  } else {
    auto& still = std::get<dualcam::gst::StillEvent>(event);
    structure = gst_structure_new("dualcam-still", "requested", G_TYPE_BOOLEAN, still.requested, "saved",
                                  G_TYPE_BOOLEAN, still.saved, "running-time", GST_TYPE_CLOCK_TIME, running_time,
                                  nullptr);
    if (!still.file.empty()) gst_structure_set(structure, "location", G_TYPE_STRING, still.file.c_str(), nullptr);
    if (!still.error.empty()) gst_structure_set(structure, "error", G_TYPE_STRING, still.error.c_str(), nullptr);
    if (!still.picture.empty()) {
      GstCaps* caps = dualcam::gst::CapsFor(FormatDesc{still.kind, still.width, still.height, 0, 1});
      const gsize size = still.picture.size();
      GstBuffer* buffer = WrapBytes(std::move(still.picture), size);
      GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
      gst_structure_set(structure, "sample", GST_TYPE_SAMPLE, sample, nullptr);
      gst_sample_unref(sample);
      gst_buffer_unref(buffer);
      gst_caps_unref(caps);
    }
  }
  gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), structure));
}

// --- Controls ----------------------------------------------------------------

ControlState ReadControl(DualcamSrc* self, std::size_t index) {
  const dualcam::tools::ControlDef& control = Controls()[index];
  if (auto owner = Owner(self)) {
    try {
      const auto reading = owner->Read(control);
      std::lock_guard lock(self->state->mutex);
      ControlState& known = self->state->known[index];
      known.value = reading.value;
      known.automatic = reading.automatic;
    } catch (const OwnerError& error) {
      GST_WARNING_OBJECT(self, "%s", error.what());
    }
  }
  std::lock_guard lock(self->state->mutex);
  return self->state->known[index];
}

// value: a manual value; nothing: automatic mode; `manual_keep`: manual
// mode at the current value (the automatic flag switched off).
void WriteControl(DualcamSrc* self, std::size_t index, std::optional<LONG> value, bool manual_keep = false) {
  const dualcam::tools::ControlDef& control = Controls()[index];
  std::shared_ptr<CameraOwner> owner;
  {
    std::lock_guard lock(self->state->mutex);
    owner = self->state->owner;
    ControlState& known = self->state->known[index];
    if (manual_keep) value = known.value;
    if (!owner) {
      self->state->pending.push_back({&control, value});
      if (value) known.value = *value;
      known.automatic = !value.has_value();
      return;
    }
  }
  try {
    if (manual_keep) value = owner->Read(control).value;
    owner->Apply({&control, value});
  } catch (const OwnerError& error) {
    GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS, ("%s", error.what()), (nullptr));
  }
  ReadControl(self, index);
}

std::optional<std::size_t> ControlIndex(std::string_view name) {
  for (std::size_t i = 0; i < Controls().size(); ++i)
    if (Controls()[i].name == name) return i;
  return std::nullopt;
}

// --- Pacing --------------------------------------------------------------------

// Waits on the pipeline clock for the start of the next frame interval;
// *timestamp is the clock's running time then. Without a clock the frames
// come as fast as the camera makes them.
GstFlowReturn WaitForFrame(DualcamSrc* self, GstClockTime duration, GstClockTime* timestamp) {
  SrcState& state = *self->state;
  GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
  if (clock == nullptr) {
    *timestamp = GST_CLOCK_TIME_NONE;
    return GST_FLOW_OK;
  }
  const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
  GstClockTime now = gst_clock_get_time(clock);
  now = now >= base ? now - base : 0;
  GstClockID id = nullptr;
  GstClockTime target;
  {
    std::lock_guard lock(state.mutex);
    if (state.flushing) {
      gst_object_unref(clock);
      return GST_FLOW_FLUSHING;
    }
    if (!GST_CLOCK_TIME_IS_VALID(state.next_time)) state.next_time = now;
    target = state.next_time;
    id = gst_clock_new_single_shot_id(clock, base + target);
    state.wait_id = id;
  }
  const GstClockReturn result = gst_clock_id_wait(id, nullptr);
  now = gst_clock_get_time(clock);
  now = now >= base ? now - base : 0;
  gst_object_unref(clock);
  {
    std::lock_guard lock(state.mutex);
    state.wait_id = nullptr;
    gst_clock_id_unref(id);
    if (result == GST_CLOCK_UNSCHEDULED || state.flushing) return GST_FLOW_FLUSHING;
    // Late by more than a frame: the camera's frames meanwhile are gone, and
    // the next interval starts from now.
    if (now > target + duration) {
      state.dropped += (now - target) / duration;
      target = now;
    }
    state.next_time = target + duration;
  }
  *timestamp = now;
  return GST_FLOW_OK;
}

// The picture in a buffer of the pipeline's own. A copy, on purpose: the
// driver's buffer is then released at once, as a capture application
// releases it, and the read that follows reuses its memory; handed on
// instead, each would live as long as the pipeline holds the picture and
// every read would fault fresh pages in, which costs more than the copy.
GstBuffer* PictureBuffer(DualcamSrc* self, const dualcam::host::Picture& picture, const FormatDesc& format,
                         const GstVideoInfo& info) {
  // A pass-through sample is as long as the driver reported.
  const gsize size = format.kind == PictureKind::kVqj9 ? picture.BytesUsed : GST_VIDEO_INFO_SIZE(&info);
  if (picture.Bytes.size() < size || size == 0) return nullptr;
  GstBuffer* buffer = nullptr;
  if (format.kind != PictureKind::kVqj9) {
    if (GstBufferPool* pool = gst_base_src_get_buffer_pool(GST_BASE_SRC(self))) {
      if (gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr) != GST_FLOW_OK) buffer = nullptr;
      gst_object_unref(pool);
    }
  }
  if (buffer == nullptr || gst_buffer_get_size(buffer) < size) {
    if (buffer) gst_buffer_unref(buffer);
    buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    return nullptr;
  }
  if (format.kind == PictureKind::kBgr) {
    dualcam::gst::FlipRows(picture.Bytes.data(), format.width, format.height, map.data,
                           static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)));
  } else {
    std::memcpy(map.data, picture.Bytes.data(), size);
  }
  gst_buffer_unmap(buffer, &map);
  gst_buffer_set_size(buffer, static_cast<gssize>(size));
  return buffer;
}

}  // namespace

namespace dualcam::gst {

std::shared_ptr<CameraOwner> OwnerOf(GstElement* element) {
  if (!DUALCAM_IS_SRC(element)) return nullptr;
  return Owner(DUALCAM_SRC(element));
}

void UseSteppedHost(bool stepped) { g_stepped_host.store(stepped); }

}  // namespace dualcam::gst

// --- The camera: taken at NULL to READY, given back at READY to NULL ---------

static gboolean dualcam_src_open(DualcamSrc* self) {
  dualcam::gst::OwnerOptions options;
  std::vector<dualcam::tools::ControlSetting> pending;
  {
    std::lock_guard lock(self->state->mutex);
    options.device = self->state->device;
    options.scene = self->state->scene;
    options.home = self->state->home;
    options.stepped = dualcam::gst::g_stepped_host.load();
    pending = self->state->pending;
  }
  std::shared_ptr<CameraOwner> owner;
  try {
    owner = CameraOwner::Open(options, [self](OwnerEvent event) { PostEvent(self, std::move(event)); });
  } catch (const OwnerError& error) {
    PostOwnerError(self, error);
    return FALSE;
  }
  for (const auto& setting : pending) {
    try {
      owner->Apply(setting);
    } catch (const OwnerError& error) {
      GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS, ("%s", error.what()), (nullptr));
    }
  }
  {
    std::lock_guard lock(self->state->mutex);
    self->state->owner = std::move(owner);
    self->state->pending.clear();
  }
  for (std::size_t i = 0; i < Controls().size(); ++i) ReadControl(self, i);
  return TRUE;
}

static void dualcam_src_close(DualcamSrc* self) {
  std::shared_ptr<CameraOwner> owner;
  {
    std::lock_guard lock(self->state->mutex);
    owner = std::move(self->state->owner);
  }
  // The camera is removed and the lock given back once the last user lets go.
  owner.reset();
}

static GstStateChangeReturn dualcam_src_change_state(GstElement* element, GstStateChange transition) {
  DualcamSrc* self = DUALCAM_SRC(element);
  if (transition == GST_STATE_CHANGE_NULL_TO_READY && !dualcam_src_open(self)) return GST_STATE_CHANGE_FAILURE;
  const GstStateChangeReturn result = GST_ELEMENT_CLASS(dualcam_src_parent_class)->change_state(element, transition);
  if ((transition == GST_STATE_CHANGE_NULL_TO_READY && result == GST_STATE_CHANGE_FAILURE) ||
      transition == GST_STATE_CHANGE_READY_TO_NULL)
    dualcam_src_close(self);
  return result;
}

// --- Negotiation -----------------------------------------------------------------

static GstCaps* dualcam_src_get_caps(GstBaseSrc* src, GstCaps* filter) {
  DualcamSrc* self = DUALCAM_SRC(src);
  GstCaps* caps = nullptr;
  if (auto owner = Owner(self)) {
    caps = dualcam::gst::CapsForRanges(owner->Formats());
  } else {
    caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(src));
  }
  if (filter != nullptr) {
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
  }
  return caps;
}

static gboolean dualcam_src_negotiate(GstBaseSrc* src) {
  if (GST_BASE_SRC_CLASS(dualcam_src_parent_class)->negotiate(src)) return TRUE;
  // Say which format was asked for when the camera offers none of it; the
  // driver's own refusals were reported where they happened.
  GstCaps* ours = dualcam_src_get_caps(src, nullptr);
  GstCaps* theirs = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(src), nullptr);
  if (theirs != nullptr && !gst_caps_can_intersect(ours, theirs)) {
    gchar* asked = gst_caps_to_string(theirs);
    GST_ELEMENT_ERROR(src, STREAM, FORMAT, ("the camera does not offer the format asked for"),
                      ("asked for %s; the camera offers I420 and BGR pictures and %s samples at 352x288, "
                       "320x240, 176x144 and 160x120 (gst-inspect-1.0 dualcamsrc)",
                       asked, dualcam::gst::kVqj9CapsName));
    g_free(asked);
  }
  if (theirs) gst_caps_unref(theirs);
  gst_caps_unref(ours);
  return FALSE;
}

static gboolean dualcam_src_set_caps(GstBaseSrc* src, GstCaps* caps) {
  DualcamSrc* self = DUALCAM_SRC(src);
  auto owner = Owner(self);
  if (!owner) return FALSE;
  const KS_DATARANGE_VIDEO* range = dualcam::gst::RangeForCaps(owner->Formats(), caps);
  const auto format = range ? dualcam::gst::DescribeRange(*range) : std::nullopt;
  if (!format) {
    gchar* text = gst_caps_to_string(caps);
    GST_ELEMENT_ERROR(src, STREAM, FORMAT, ("the camera does not offer %s", text), (nullptr));
    g_free(text);
    return FALSE;
  }
  GstVideoInfo info;
  gst_video_info_init(&info);
  if (format->kind != PictureKind::kVqj9 &&
      (!gst_video_info_from_caps(&info, caps) || !dualcam::gst::PackedLayout(info))) {
    GST_ELEMENT_ERROR(src, STREAM, FORMAT, ("the driver's picture layout does not match GStreamer's"), (nullptr));
    return FALSE;
  }
  try {
    owner->StartStream(*range);
  } catch (const OwnerError& error) {
    PostOwnerError(self, error);
    return FALSE;
  }
  {
    std::lock_guard lock(self->state->mutex);
    self->state->format = format;
    self->state->info = info;
    self->state->next_time = GST_CLOCK_TIME_NONE;
    self->state->pumps = 0;
    self->state->pictures = 0;
    self->state->dropped = 0;
  }
  // The latency is known from here on.
  gst_element_post_message(GST_ELEMENT(src), gst_message_new_latency(GST_OBJECT(src)));
  return TRUE;
}

// Pictures go into pooled buffers (downstream's pool when it offers one):
// a fresh allocation of a whole picture per frame costs page faults.
static gboolean dualcam_src_decide_allocation(GstBaseSrc* src, GstQuery* query) {
  GstCaps* caps = nullptr;
  gst_query_parse_allocation(query, &caps, nullptr);
  GstVideoInfo info;
  if (caps != nullptr && gst_video_info_from_caps(&info, caps)) {
    GstBufferPool* pool = nullptr;
    guint size = 0, min = 0, max = 0;
    const bool offered = gst_query_get_n_allocation_pools(query) > 0;
    if (offered) gst_query_parse_nth_allocation_pool(query, 0, &pool, &size, &min, &max);
    if (pool == nullptr) pool = gst_video_buffer_pool_new();
    size = std::max<guint>(size, static_cast<guint>(GST_VIDEO_INFO_SIZE(&info)));
    if (offered) {
      gst_query_set_nth_allocation_pool(query, 0, pool, size, min, max);
    } else {
      gst_query_add_allocation_pool(query, pool, size, min, max);
    }
    gst_object_unref(pool);
  }
  return GST_BASE_SRC_CLASS(dualcam_src_parent_class)->decide_allocation(src, query);
}

static gboolean dualcam_src_query(GstBaseSrc* src, GstQuery* query) {
  DualcamSrc* self = DUALCAM_SRC(src);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return GST_BASE_SRC_CLASS(dualcam_src_parent_class)->query(src, query);
  bool live;
  std::optional<FormatDesc> format;
  {
    std::lock_guard lock(self->state->mutex);
    live = self->state->live;
    format = self->state->format;
  }
  // A picture leaves one frame interval after the interval it was taken
  // in began; one read waits at a time, so no more is held.
  const GstClockTime frame = format ? format->Duration() : 0;
  gst_query_set_latency(query, live, live ? frame : 0, live && format ? frame : GST_CLOCK_TIME_NONE);
  return TRUE;
}

// --- Streaming ----------------------------------------------------------------------

static gboolean dualcam_src_start(GstBaseSrc* src) {
  DualcamSrc* self = DUALCAM_SRC(src);
  std::lock_guard lock(self->state->mutex);
  self->state->flushing = false;
  self->state->format.reset();
  self->state->next_time = GST_CLOCK_TIME_NONE;
  return TRUE;
}

static gboolean dualcam_src_stop(GstBaseSrc* src) {
  DualcamSrc* self = DUALCAM_SRC(src);
  if (auto owner = Owner(self)) owner->StopStream();
  std::lock_guard lock(self->state->mutex);
  self->state->format.reset();
  return TRUE;
}

static gboolean dualcam_src_unlock(GstBaseSrc* src) {
  DualcamSrc* self = DUALCAM_SRC(src);
  std::shared_ptr<CameraOwner> owner;
  {
    std::lock_guard lock(self->state->mutex);
    self->state->flushing = true;
    if (self->state->wait_id != nullptr) gst_clock_id_unschedule(self->state->wait_id);
    owner = self->state->owner;
  }
  if (owner) owner->Interrupt();  // a real camera's read stops waiting for its frame
  return TRUE;
}

static gboolean dualcam_src_unlock_stop(GstBaseSrc* src) {
  DualcamSrc* self = DUALCAM_SRC(src);
  std::shared_ptr<CameraOwner> owner;
  {
    std::lock_guard lock(self->state->mutex);
    self->state->flushing = false;
    owner = self->state->owner;
  }
  if (owner) owner->Resume();
  return TRUE;
}

static GstFlowReturn dualcam_src_create(GstPushSrc* push, GstBuffer** out) {
  DualcamSrc* self = DUALCAM_SRC(push);
  std::shared_ptr<CameraOwner> owner;
  std::optional<FormatDesc> format;
  GstVideoInfo info;
  bool live;
  {
    std::lock_guard lock(self->state->mutex);
    owner = self->state->owner;
    format = self->state->format;
    info = self->state->info;
    live = self->state->live;
  }
  if (!owner || !format) return GST_FLOW_NOT_NEGOTIATED;
  const GstClockTime duration = format->Duration();
  // A real camera keeps its own time: its frames are taken as they come and
  // timestamped by the clock when they do; the simulated one sends a frame
  // when the clock says the interval has come.
  const bool self_paced = owner->SelfPaced();
  for (;;) {
    GstClockTime timestamp = GST_CLOCK_TIME_NONE;
    if (live && !self_paced) {
      const GstFlowReturn waited = WaitForFrame(self, duration, &timestamp);
      if (waited != GST_FLOW_OK) return waited;
    } else {
      std::lock_guard lock(self->state->mutex);
      if (self->state->flushing) return GST_FLOW_FLUSHING;
    }
    CameraOwner::Step step = owner->Pump();
    {
      std::lock_guard lock(self->state->mutex);
      if (self->state->flushing) return GST_FLOW_FLUSHING;
    }
    if (live && self_paced) timestamp = RunningTimeNow(self);
    owner->DeliverEvents();
    if (step.stopped) return GST_FLOW_EOS;  // `dualcam stop`: the pipeline ends as after its last frame
    if (step.removed) {
      GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("the camera was removed"), (nullptr));
      return GST_FLOW_ERROR;
    }
    if (step.stalled) {
      GST_ELEMENT_ERROR(self, RESOURCE, READ, ("the camera delivers no pictures"),
                        ("no picture for ten seconds of frames"));
      return GST_FLOW_ERROR;
    }
    uint64_t interval_number, picture_number, dropped;
    {
      std::lock_guard lock(self->state->mutex);
      interval_number = self->state->pumps++;
      if (!step.picture) ++self->state->dropped;
      picture_number = self->state->pictures;
      dropped = self->state->dropped;
    }
    // Without a clock to read, the frame's time is its place in the stream.
    if (!GST_CLOCK_TIME_IS_VALID(timestamp)) timestamp = interval_number * duration;
    // A frame is known to be complete when the next one starts: its packets
    // came during the interval before the one that brought it.
    timestamp = timestamp >= duration ? timestamp - duration : 0;
    if (!step.picture) {
      GstMessage* qos = gst_message_new_qos(GST_OBJECT(self), live, timestamp, timestamp, timestamp, duration);
      gst_message_set_qos_stats(qos, GST_FORMAT_BUFFERS, picture_number, dropped);
      gst_element_post_message(GST_ELEMENT(self), qos);
      continue;
    }
    GstBuffer* buffer = PictureBuffer(self, *step.picture, *format, info);
    step.picture.reset();
    if (buffer == nullptr) {
      GST_ELEMENT_ERROR(self, RESOURCE, READ, ("the driver delivered a short picture"), (nullptr));
      return GST_FLOW_ERROR;
    }
    gst_object_sync_values(GST_OBJECT(self), timestamp);
    GST_BUFFER_PTS(buffer) = timestamp;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = duration;
    GST_BUFFER_OFFSET(buffer) = picture_number;
    GST_BUFFER_OFFSET_END(buffer) = picture_number + 1;
    {
      std::lock_guard lock(self->state->mutex);
      ++self->state->pictures;
    }
    *out = buffer;
    return GST_FLOW_OK;
  }
}

// --- Still ---------------------------------------------------------------------------

static gboolean dualcam_src_take_still(DualcamSrc* self) {
  auto owner = Owner(self);
  return owner && owner->RequestStill();
}

// --- Properties ------------------------------------------------------------------------

static void dualcam_src_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  DualcamSrc* self = DUALCAM_SRC(object);
  SrcState& state = *self->state;
  auto text = [&](const char* fallback) {
    const gchar* given = g_value_get_string(value);
    return std::string(given && *given ? given : fallback);
  };
  switch (id) {
    case PROP_DEVICE: {
      std::lock_guard lock(state.mutex);
      state.device = text("sim");
      return;
    }
    case PROP_SCENE: {
      std::lock_guard lock(state.mutex);
      state.scene = text("pattern");
      return;
    }
    case PROP_HOME: {
      std::lock_guard lock(state.mutex);
      const gchar* given = g_value_get_string(value);
      state.home = given && *given ? std::optional<std::string>(given) : std::nullopt;
      return;
    }
    case PROP_IS_LIVE: {
      const bool live = g_value_get_boolean(value);
      {
        std::lock_guard lock(state.mutex);
        state.live = live;
      }
      gst_base_src_set_live(GST_BASE_SRC(self), live);
      return;
    }
    default:
      break;
  }
  if (id >= PROP_CONTROLS && id < dualcam::gst::ValuePropId(Controls().size())) {
    const std::size_t index = (id - PROP_CONTROLS) / 2;
    if ((id - PROP_CONTROLS) % 2 == 0) {
      WriteControl(self, index, static_cast<LONG>(g_value_get_int(value)));
    } else if (g_value_get_boolean(value)) {
      WriteControl(self, index, std::nullopt);
    } else {
      WriteControl(self, index, std::nullopt, /*manual_keep=*/true);
    }
    return;
  }
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

static void dualcam_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  DualcamSrc* self = DUALCAM_SRC(object);
  SrcState& state = *self->state;
  switch (id) {
    case PROP_DEVICE: {
      std::lock_guard lock(state.mutex);
      g_value_set_string(value, state.device.c_str());
      return;
    }
    case PROP_SCENE: {
      std::lock_guard lock(state.mutex);
      g_value_set_string(value, state.scene.c_str());
      return;
    }
    case PROP_HOME: {
      std::lock_guard lock(state.mutex);
      g_value_set_string(value, state.home ? state.home->c_str() : nullptr);
      return;
    }
    case PROP_IS_LIVE: {
      std::lock_guard lock(state.mutex);
      g_value_set_boolean(value, state.live);
      return;
    }
    default:
      break;
  }
  if (id >= PROP_CONTROLS && id < dualcam::gst::ValuePropId(Controls().size())) {
    const std::size_t index = (id - PROP_CONTROLS) / 2;
    const ControlState reading = ReadControl(self, index);
    if ((id - PROP_CONTROLS) % 2 == 0) {
      g_value_set_int(value, reading.value);
    } else {
      g_value_set_boolean(value, reading.automatic);
    }
    return;
  }
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

// --- Colour balance ---------------------------------------------------------------------

static const GList* dualcam_src_list_channels(GstColorBalance* balance) {
  return DUALCAM_SRC(balance)->state->channels;
}

static std::optional<std::size_t> BalanceControl(GstColorBalanceChannel* channel) {
  if (channel == nullptr || channel->label == nullptr) return std::nullopt;
  for (const auto& [label, control] : kBalanceChannels)
    if (std::strcmp(channel->label, label) == 0) return ControlIndex(control);
  return std::nullopt;
}

static void dualcam_src_set_value(GstColorBalance* balance, GstColorBalanceChannel* channel, gint value) {
  DualcamSrc* self = DUALCAM_SRC(balance);
  const auto index = BalanceControl(channel);
  if (!index) return;
  value = std::clamp(value, channel->min_value, channel->max_value);
  WriteControl(self, *index, static_cast<LONG>(value));
  g_object_notify(G_OBJECT(self), dualcam::gst::PropertyName(Controls()[*index].name).c_str());
  gst_color_balance_value_changed(balance, channel, ReadControl(self, *index).value);
}

static gint dualcam_src_get_value(GstColorBalance* balance, GstColorBalanceChannel* channel) {
  const auto index = BalanceControl(channel);
  return index ? ReadControl(DUALCAM_SRC(balance), *index).value : 0;
}

static GstColorBalanceType dualcam_src_get_balance_type(GstColorBalance*) { return GST_COLOR_BALANCE_HARDWARE; }

static void dualcam_src_color_balance_init(GstColorBalanceInterface* iface) {
  iface->list_channels = dualcam_src_list_channels;
  iface->set_value = dualcam_src_set_value;
  iface->get_value = dualcam_src_get_value;
  iface->get_balance_type = dualcam_src_get_balance_type;
}

// --- Object ------------------------------------------------------------------------------

static void dualcam_src_init(DualcamSrc* self) {
  self->state = new SrcState();
  for (const auto& control : Controls()) self->state->known.push_back({control.default_value, control.has_auto});
  for (const auto& [label, name] : kBalanceChannels) {
    const auto index = ControlIndex(name);
    if (!index) continue;
    auto* channel = GST_COLOR_BALANCE_CHANNEL(g_object_new(GST_TYPE_COLOR_BALANCE_CHANNEL, nullptr));
    channel->label = g_strdup(label);
    channel->min_value = 0;
    channel->max_value = Controls()[*index].maximum;
    self->state->channels = g_list_append(self->state->channels, channel);
  }
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
  gst_base_src_set_do_timestamp(GST_BASE_SRC(self), FALSE);
}

static void dualcam_src_finalize(GObject* object) {
  DualcamSrc* self = DUALCAM_SRC(object);
  g_list_free_full(self->state->channels, g_object_unref);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(dualcam_src_parent_class)->finalize(object);
}

static void dualcam_src_class_init(DualcamSrcClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass* base_class = GST_BASE_SRC_CLASS(klass);
  GstPushSrcClass* push_class = GST_PUSH_SRC_CLASS(klass);
  GST_DEBUG_CATEGORY_INIT(dualcam_src_debug, "dualcamsrc", 0, "dual-mode camera source");

  object_class->set_property = dualcam_src_set_property;
  object_class->get_property = dualcam_src_get_property;
  object_class->finalize = dualcam_src_finalize;
  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  const auto ready_flags = static_cast<GParamFlags>(flags | GST_PARAM_MUTABLE_READY);
  const auto live_flags = static_cast<GParamFlags>(flags | GST_PARAM_MUTABLE_PLAYING | GST_PARAM_CONTROLLABLE);
  const std::string devices = std::string("The camera: ") + dualcam::gst::kDeviceNames +
                              " (as 'dualcam capture --device' names them); sim is the simulated camera";
  g_object_class_install_property(object_class, PROP_DEVICE,
                                  g_param_spec_string("device", "Device", g_intern_string(devices.c_str()), "sim",
                                                      flags));
  g_object_class_install_property(
      object_class, PROP_SCENE,
      g_param_spec_string("scene", "Scene",
                          "What the simulated camera sees: 'pattern' (moving colour bars) or a PNG photograph",
                          "pattern", flags));
  g_object_class_install_property(
      object_class, PROP_HOME,
      g_param_spec_string("home", "Data folder",
                          "The data folder (registry, snapshot folder, camera lock); default $DUALCAM_HOME, else "
                          "$XDG_DATA_HOME/dualcam, else ~/.local/share/dualcam",
                          nullptr, flags));
  g_object_class_install_property(
      object_class, PROP_IS_LIVE,
      g_param_spec_boolean("is-live", "Is live",
                           "Paced by the pipeline clock at the camera's frame rate and timestamped from it; when "
                           "false, frames come as fast as the camera makes them, timestamped by their place in the "
                           "stream",
                           TRUE, ready_flags));
  for (std::size_t i = 0; i < Controls().size(); ++i) {
    const auto& control = Controls()[i];
    const std::string name = dualcam::gst::PropertyName(control.name);
    const std::string blurb = std::string(control.meaning) + " (the driver's property set; kept in the settings key" +
                              (control.has_auto ? "; setting it switches automatic mode off)" : ")");
    g_object_class_install_property(
        object_class, dualcam::gst::ValuePropId(i),
        g_param_spec_int(g_intern_string(name.c_str()), g_intern_string(name.c_str()), g_intern_string(blurb.c_str()),
                         0, control.maximum, control.default_value, live_flags));
    if (control.has_auto) {
      const std::string auto_name = name + "-auto";
      g_object_class_install_property(
          object_class, dualcam::gst::ValuePropId(i) + 1,
          g_param_spec_boolean(g_intern_string(auto_name.c_str()), g_intern_string(auto_name.c_str()),
                               g_intern_string(("automatic " + name + " by the camera").c_str()), TRUE, live_flags));
    }
  }

  g_signal_new_class_handler("take-still", G_TYPE_FROM_CLASS(klass),
                             static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
                             G_CALLBACK(dualcam_src_take_still), nullptr, nullptr, nullptr, G_TYPE_BOOLEAN, 0);

  GstCaps* caps = dualcam::gst::CapsForRanges(dualcam::driver::CaptureFormats);
  gst_element_class_add_pad_template(element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
  gst_caps_unref(caps);
  gst_element_class_set_static_metadata(
      element_class, "Dual-mode camera source", "Source/Video",
      "The dual-mode camera through its driver: I420 and BGR pictures or the camera's compressed samples, image "
      "controls, stills (action signal take-still, message dualcam-still) and the button (message dualcam-button)",
      "dualcam");
  element_class->change_state = dualcam_src_change_state;

  base_class->get_caps = dualcam_src_get_caps;
  base_class->negotiate = dualcam_src_negotiate;
  base_class->set_caps = dualcam_src_set_caps;
  base_class->query = dualcam_src_query;
  base_class->decide_allocation = dualcam_src_decide_allocation;
  base_class->start = dualcam_src_start;
  base_class->stop = dualcam_src_stop;
  base_class->unlock = dualcam_src_unlock;
  base_class->unlock_stop = dualcam_src_unlock_stop;
  push_class->create = dualcam_src_create;
}
