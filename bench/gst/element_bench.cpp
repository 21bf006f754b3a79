// What dualcamsrc costs per frame on top of the driver's read path, at
// 352x288 in each kind: the same camera, once read through the capture
// application directly (as `dualcam capture --fast` reads it) and once
// pulled through a pipeline of dualcamsrc and fakesink, non-live so that
// neither waits for a clock.
//
// Hard part: the two must differ only by the element. Both run the host in
// real time (the button poll on its worker thread), both are measured in
// steady streaming (the stream opened once, before the timed loop) and in
// CPU time of the whole process, since the pipeline's frames are made on its
// streaming thread, not the benchmark's; each iteration is a window of the
// same number of frames.
#include <benchmark/benchmark.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "formats.h"
#include "home.h"
#include "host/classlib/capture_app.h"
#include "pipeline/render.h"
#include "registration.h"
#include "session.h"
#include "support/test_data.h"

namespace {

using namespace dualcam;

constexpr int kFrames = 150;  // frames per iteration
constexpr int kWidth = 352, kHeight = 288;

struct Kind {
  DWORD compression;
  const char* caps;
};
constexpr Kind kKinds[] = {
    {pipeline::kFourccI420, "video/x-raw,format=I420,width=352,height=288"},
    {pipeline::kCompressionRgb, "video/x-raw,format=BGR,width=352,height=288"},
    {pipeline::kFourccVqj9, "video/x-vqj9,width=352,height=288"},
};

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void BM_DriverReadPath(benchmark::State& state) {
  const Kind& kind = kKinds[state.range(0)];
  testing::TempDir dir("bench-read");
  tools::DriverSession session(tools::OpenHome((dir.path() / "home").string()), /*realtime=*/true);
  const host::StreamInfo info = session.camera().GetStreamInfo();
  const KS_DATARANGE_VIDEO* range = host::FindRange(info, kind.compression, kWidth, kHeight);
  if (range == nullptr) {
    state.SkipWithError("format not announced");
    return;
  }
  auto stream = session.camera().OpenStream(host::FormatFromRange(*range));
  stream->SetState(KSSTATE_RUN);
  for (auto _ : state) {
    const double start = ProcessCpuSeconds();
    for (int got = 0; got < kFrames;) {
      for (const host::Picture& picture : stream->Read(1)) got += picture.Status == STATUS_SUCCESS;
    }
    state.SetIterationTime((ProcessCpuSeconds() - start) / kFrames);
  }
  stream->SetState(KSSTATE_STOP);
  stream->Close();
}

// Frames reaching the sink, counted on its pad.
struct FrameCount {
  std::atomic<int64_t> frames{0};
  std::atomic<int64_t> wanted{0};
  std::mutex mutex;
  std::condition_variable reached;
};

GstPadProbeReturn CountFrame(GstPad*, GstPadProbeInfo*, gpointer data) {
  auto* count = static_cast<FrameCount*>(data);
  if (count->frames.fetch_add(1) + 1 == count->wanted.load()) {
    std::lock_guard lock(count->mutex);
    count->reached.notify_all();
  }
  return GST_PAD_PROBE_OK;
}

void BM_Element(benchmark::State& state) {
  const Kind& kind = kKinds[state.range(0)];
  testing::TempDir dir("bench-element");
  const std::string launch = "dualcamsrc is-live=false home=" + (dir.path() / "home").string() + " ! " + kind.caps +
                             " ! fakesink name=sink sync=false";
  GstElement* pipeline = gst_parse_launch(launch.c_str(), nullptr);
  if (pipeline == nullptr) {
    state.SkipWithError("no pipeline");
    return;
  }
  FrameCount count;
  count.wanted = kFrames;  // the first window is warm-up, outside the loop
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountFrame, &count, nullptr);
  auto wait_for = [&](int64_t frames) {
    std::unique_lock lock(count.mutex);
    return count.reached.wait_for(lock, std::chrono::seconds(60), [&] { return count.frames.load() >= frames; });
  };
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE || !wait_for(kFrames)) {
    state.SkipWithError("the pipeline did not stream");
  } else {
    for (auto _ : state) {
      const int64_t from = count.frames.load();
      count.wanted = from + kFrames;
      const double start = ProcessCpuSeconds();
      if (!wait_for(from + kFrames)) {
        state.SkipWithError("the stream stalled");
        break;
      }
      state.SetIterationTime((ProcessCpuSeconds() - start) / static_cast<double>(count.frames.load() - from));
    }
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pad);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
}

// The element's own work on each picture, alone: a pooled buffer, the
// picture copied into it (rows turned top-down for BGR), released. This is
// what the element adds per frame besides GStreamer's push.
void BM_PictureCopy(benchmark::State& state) {
  const Kind& kind = kKinds[state.range(0)];
  GstCaps* caps = gst_caps_from_string(kind.caps);
  GstVideoInfo info;
  const bool raw = gst_video_info_from_caps(&info, caps);
  // A pass-through sample of a typical length (the 352x288 test picture).
  const gsize size = raw ? GST_VIDEO_INFO_SIZE(&info) : 22'000;
  GstBufferPool* pool = gst_video_buffer_pool_new();
  GstStructure* config = gst_buffer_pool_get_config(pool);
  gst_buffer_pool_config_set_params(config, caps, static_cast<guint>(size), 2, 0);
  gst_buffer_pool_set_config(pool, config);
  gst_buffer_pool_set_active(pool, TRUE);
  std::vector<uint8_t> picture(size, 0x80);
  for (auto _ : state) {
    GstBuffer* buffer = nullptr;
    gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    if (kind.compression == pipeline::kCompressionRgb) {
      gst::FlipRows(picture.data(), kWidth, kHeight, map.data, static_cast<std::size_t>(kWidth) * 3);
    } else {
      std::memcpy(map.data, picture.data(), size);
    }
    gst_buffer_unmap(buffer, &map);
    benchmark::DoNotOptimize(buffer);
    gst_buffer_unref(buffer);
  }
  gst_buffer_pool_set_active(pool, FALSE);
  gst_object_unref(pool);
  gst_caps_unref(caps);
}

BENCHMARK(BM_PictureCopy)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
// Manual time is per frame; a fixed number of iterations of kFrames frames each.
BENCHMARK(BM_DriverReadPath)->DenseRange(0, 2)->UseManualTime()->Iterations(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Element)->DenseRange(0, 2)->UseManualTime()->Iterations(8)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  gst_init(nullptr, nullptr);
  if (!dualcam::gst::RegisterStatic()) {
    std::fprintf(stderr, "the plugin did not register\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gst_deinit();
  return 0;
}
