// Decoding speed of the camera's pictures: our DecodePicture (BGR and I420
// output kinds) and the driver's render routes, against libjpeg decoding the
// same pictures wrapped as JPEG files (fast integer IDCT, no fancy
// upsampling; bottom-up BGR through reversed row pointers, and raw planar
// YUV), all in one binary and one run so the ratios are comparable.
//
// Inputs are fixed: photographs compressed with the quantization pair the
// driver selects (3). Every loop decodes into a buffer allocated once, so
// only decoding is timed.
//
// The hard part is measuring on a shared, loaded machine. The Photo/ and
// Path/ benchmarks therefore decode ours and libjpeg's alternately within
// each iteration and time each decode with the thread's own CPU clock, so
// both sides meet the same load and the ratio counter compares like with
// like; the photographs come from DUALCAM_PHOTO_DIR (default
// ../shared/testdata/photos beside the repository, falling back to tests/data).
#include <benchmark/benchmark.h>

#include <csetjmp>
#include <ctime>
#include <filesystem>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "host/sim/encoder/encoder.h"
#include "host/sim/encoder/picture.h"
#include "pipeline/decoder/decoder.h"
#include "pipeline/render.h"
#include "support/decoder_harness.h"
#include "support/jpeg_oracle.h"
#include "support/picture_io.h"

namespace {

using namespace dualcam;

constexpr int kQuality = 3;

struct Input {
  int width = 0, height = 0;
  std::vector<uint8_t> stream;  // camera bitstream + decoder read slack
  int32_t length = 0;
  std::vector<uint8_t> raw;     // raw frame rewritten for decoding + slack
  std::vector<uint8_t> jpeg;    // the stream wrapped as a JPEG file
};

const Input& InputFor(int width, int height) {
  static std::vector<Input> cache;
  for (const Input& input : cache)
    if (input.width == width && input.height == height) return input;
  Input input;
  input.width = width;
  input.height = height;
  const std::string path = std::string(DUALCAM_TESTDATA_DIR) + "/kodim15_" + std::to_string(width) + "x" +
                           std::to_string(height) + ".png";
  auto rgb = testing::LoadPng(path);
  if (!rgb) {
    std::fprintf(stderr, "missing %s\n", path.c_str());
    std::abort();
  }
  const auto yuv = encoder::RgbToI420(*rgb);
  const auto& tables = encoder::CameraQuantPair(kQuality);
  input.stream = encoder::EncodePicture({yuv.bytes, width, height}, tables);
  input.length = static_cast<int32_t>(input.stream.size());
  input.jpeg = testing::WrapCameraStream(input.stream, tables, width, height);
  input.raw = encoder::BuildRawFrame(input.stream);
  const uint32_t raw_length = static_cast<uint32_t>(input.raw.size());
  for (int b = 0; b < 4; ++b) input.raw[1 + b] = static_cast<uint8_t>(raw_length >> (8 * b));
  input.raw[7] = kQuality;
  input.raw.resize(input.raw.size() + decoder::kRawFrameSlack, 0);
  input.stream.resize(input.stream.size() + decoder::kReadSlack, 0);
  cache.push_back(std::move(input));
  return cache.back();
}

void SetRate(benchmark::State& state, const Input& input) {
  state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(input.width) * input.height * 1e-6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

// --- ours ------------------------------------------------------------------

void BM_DecodePicture(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Input& input = InputFor(static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  testing::DecoderHarness harness;
  std::vector<uint8_t> out(decoder::DecoderOutputBytes(input.width, input.height, kind));
  for (auto _ : state) {
    const int ok =
        harness.DecodeInto(input.stream.data(), input.length, input.width, input.height, kQuality, kind, out.data());
    if (ok != 1) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  SetRate(state, input);
}

void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }

// The whole frame route at a format size: select, build, decode, resize,
// tone and convert, under the shared decoder's lock.
void BM_RenderFrame(benchmark::State& state) {
  static const decoder::DecoderAllocator heap = {HeapAllocate, HeapRelease, nullptr};
  const bool planar = state.range(0) == 1;
  const int format_w = static_cast<int>(state.range(1)), format_h = static_cast<int>(state.range(2));
  const pipeline::SizePlanEntry* plan = pipeline::FindSizePlan(format_w, format_h);
  const int raw_w = plan->RawWidth, raw_h = plan->RawHeight;
  // Raw sizes without a checked-in photograph reuse the 176x144 picture's
  // statistics by compressing it scaled.
  Input scaled;
  const Input* input = nullptr;
  if (raw_w == 176 || raw_w == 320 || raw_w == 352 || raw_w == 640) {
    input = &InputFor(raw_w, raw_h);
  } else {
    auto rgb = testing::LoadPng(std::string(DUALCAM_TESTDATA_DIR) + "/kodim15_176x144.png");
    const auto yuv = encoder::RgbToI420(encoder::ResizeRgb(*rgb, raw_w, raw_h));
    scaled.raw = encoder::EncodeRawFrame({yuv.bytes, raw_w, raw_h}, kQuality);
    const uint32_t raw_length = static_cast<uint32_t>(scaled.raw.size());
    for (int b = 0; b < 4; ++b) scaled.raw[1 + b] = static_cast<uint8_t>(raw_length >> (8 * b));
    scaled.raw[7] = kQuality;
    scaled.raw.resize(scaled.raw.size() + decoder::kRawFrameSlack, 0);
    input = &scaled;
  }
  pipeline::SharedDecoderAcquire(&heap);
  pipeline::ProcessingOptions options{};
  const std::size_t pixels = static_cast<std::size_t>(format_w) * format_h;
  std::vector<uint8_t> out(planar ? pixels * 3 / 2 : pixels * 3);
  std::vector<uint8_t> raw = input->raw;  // the render rewrites nothing, but takes a mutable frame
  for (auto _ : state) {
    std::size_t written = 0;
    const int ok = pipeline::RenderFrame(&options, raw.data(), out.data(), out.size(), &written, raw_w, raw_h,
                                         format_w, format_h, planar ? pipeline::kFourccI420 : pipeline::kCompressionRgb);
    if (ok != 1) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  pipeline::SharedDecoderRelease();
  state.counters["Mpixel/s"] =
      benchmark::Counter(static_cast<double>(pixels) * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

// --- libjpeg -------------------------------------------------------------

struct JpegErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void JpegFail(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1); }
void JpegQuiet(j_common_ptr, int) {}

// Decodes into preallocated rows; false on a libjpeg error.
bool LibjpegDecode(const Input& input, bool raw_planar, JSAMPROW* rows, JSAMPARRAY planes[3]) {
  jpeg_decompress_struct cinfo;
  JpegErrors errors;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = JpegFail;
  errors.base.emit_message = JpegQuiet;
  jpeg_create_decompress(&cinfo);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_mem_src(&cinfo, input.jpeg.data(), static_cast<unsigned long>(input.jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.dct_method = JDCT_IFAST;
  cinfo.do_fancy_upsampling = FALSE;
  if (raw_planar) {
    cinfo.raw_data_out = TRUE;
    cinfo.out_color_space = JCS_YCbCr;
  } else {
    cinfo.out_color_space = JCS_EXT_BGR;
  }
  jpeg_start_decompress(&cinfo);
  if (raw_planar) {
    for (int row = 0; cinfo.output_scanline < cinfo.output_height; row += 16) {
      JSAMPARRAY arrays[3] = {planes[0] + row, planes[1] + row / 2, planes[2] + row / 2};
      jpeg_read_raw_data(&cinfo, arrays, 16);
    }
  } else {
    while (cinfo.output_scanline < cinfo.output_height)
      jpeg_read_scanlines(&cinfo, rows + cinfo.output_scanline, cinfo.output_height - cinfo.output_scanline);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

void BM_Libjpeg(benchmark::State& state) {
  const bool raw_planar = state.range(0) == 1;
  const Input& input = InputFor(static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const int w = input.width, h = input.height;
  // Bottom-up BGR: row pointers handed to libjpeg in reverse order.
  std::vector<uint8_t> bgr(static_cast<std::size_t>(w) * h * 3);
  std::vector<JSAMPROW> rows(h);
  for (int y = 0; y < h; ++y) rows[y] = bgr.data() + static_cast<std::size_t>(h - 1 - y) * w * 3;
  std::vector<uint8_t> plane[3];
  std::vector<JSAMPROW> plane_rows[3];
  JSAMPARRAY planes[3];
  for (int c = 0; c < 3; ++c) {
    const int pw = c == 0 ? w : w / 2, ph = c == 0 ? h : h / 2;
    plane[c].resize(static_cast<std::size_t>(pw) * ph);
    for (int y = 0; y < ph; ++y) plane_rows[c].push_back(plane[c].data() + static_cast<std::size_t>(y) * pw);
    planes[c] = plane_rows[c].data();
  }
  for (auto _ : state) {
    if (!LibjpegDecode(input, raw_planar, rows.data(), planes)) state.SkipWithError("libjpeg failed");
    benchmark::ClobberMemory();
  }
  SetRate(state, input);
}

// --- photographs: ours and libjpeg alternately, per picture ---------------------

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A photograph at one size, compressed, and wrapped for libjpeg.
Input PhotoInput(const std::filesystem::path& path, int width, int height) {
  Input input;
  input.width = width;
  input.height = height;
  auto rgb = testing::LoadPng(path);
  if (!rgb) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::abort();
  }
  const auto yuv = encoder::RgbToI420(*rgb);
  const auto& tables = encoder::CameraQuantPair(kQuality);
  input.stream = encoder::EncodePicture({yuv.bytes, width, height}, tables);
  input.length = static_cast<int32_t>(input.stream.size());
  input.jpeg = testing::WrapCameraStream(input.stream, tables, width, height);
  input.stream.resize(input.stream.size() + decoder::kReadSlack, 0);
  return input;
}

// Output buffers for libjpeg, as BM_Libjpeg lays them out.
struct LibjpegTarget {
  std::vector<uint8_t> bgr;
  std::vector<JSAMPROW> rows;
  std::vector<uint8_t> plane[3];
  std::vector<JSAMPROW> plane_rows[3];
  JSAMPARRAY planes[3] = {};
  LibjpegTarget(int w, int h) : bgr(static_cast<std::size_t>(w) * h * 3), rows(h) {
    for (int y = 0; y < h; ++y) rows[y] = bgr.data() + static_cast<std::size_t>(h - 1 - y) * w * 3;
    for (int c = 0; c < 3; ++c) {
      const int pw = c == 0 ? w : w / 2, ph = c == 0 ? h : h / 2;
      plane[c].resize(static_cast<std::size_t>(pw) * ph);
      for (int y = 0; y < ph; ++y) plane_rows[c].push_back(plane[c].data() + static_cast<std::size_t>(y) * pw);
      planes[c] = plane_rows[c].data();
    }
  }
};

// Each iteration: select, build and decode on `path`, then libjpeg on the same picture.
// Counters: microseconds of thread CPU time per picture for each, and their ratio.
void PhotoVersusLibjpeg(benchmark::State& state, const Input* input, int kind, decoder::DecoderPath path) {
  testing::DecoderHarness harness;
  decoder::DecoderState* decoder_state = harness.state();
  std::vector<uint8_t> out(decoder::DecoderOutputBytes(input->width, input->height, kind));
  LibjpegTarget target(input->width, input->height);
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    int ok = decoder::DecoderSelectQuality(decoder_state, kQuality) &
             decoder::DecoderBuildRowTable(decoder_state, input->width, input->height, kind, out.data());
    ok &= decoder::DecodePictureWith(path, decoder_state, input->stream.data(), input->length, out.data(), kind);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    const double t1 = ThreadSeconds();
    if (!LibjpegDecode(*input, kind == 1, target.rows.data(), target.planes)) ok = 0;
    benchmark::ClobberMemory();
    const double t2 = ThreadSeconds();
    if (ok != 1) state.SkipWithError("decode failed");
    ours += t1 - t0;
    theirs += t2 - t1;
  }
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["ours_us"] = 1e6 * ours / n;
  state.counters["libjpeg_us"] = 1e6 * theirs / n;
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}

std::filesystem::path PhotoDirectory() {
  const char* dir = std::getenv("DUALCAM_PHOTO_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  // The photographs live in the shared folder beside the repository.
  const std::filesystem::path shared =
      std::filesystem::path(DUALCAM_SOURCE_DIR) / ".." / "shared" / "testdata" / "photos";
  if (std::filesystem::is_directory(shared)) return shared;
  return DUALCAM_TESTDATA_DIR;
}

// Photo/<picture>/<size>/kind:K for every kodim*_WxH.png at 352x288 and 640x480, on the
// path DecodePicture runs; Path/<path>/kodim15/352x288/kind:K for every available path.
void RegisterPhotoBenchmarks() {
  static std::vector<std::unique_ptr<Input>> inputs;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(PhotoDirectory())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("kodim", 0) == 0 && entry.path().extension() == ".png") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  const decoder::DecoderPath active = decoder::ActiveDecoderPath();
  for (auto [w, h] : {std::pair{352, 288}, std::pair{640, 480}}) {
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    for (const auto& file : files) {
      const std::string name = file.stem().string();  // kodimNN_WxH
      if (name.size() < size.size() || name.compare(name.size() - size.size(), size.size(), size) != 0) continue;
      inputs.push_back(std::make_unique<Input>(PhotoInput(file, w, h)));
      const Input* input = inputs.back().get();
      const std::string picture = name.substr(0, name.find('_'));
      for (int kind : {0, 1}) {
        benchmark::RegisterBenchmark(("Photo/" + picture + "/" + size + "/kind:" + std::to_string(kind)).c_str(),
                                     PhotoVersusLibjpeg, input, kind, active)
            ->Unit(benchmark::kMicrosecond);
      }
      if (picture == "kodim15" && w == 352) {
        for (int p = 0; p < decoder::kDecoderPathCount; ++p) {
          const auto path = static_cast<decoder::DecoderPath>(p);
          if (!decoder::DecoderPathAvailable(path)) continue;
          for (int kind : {0, 1}) {
            benchmark::RegisterBenchmark((std::string("Path/") + decoder::DecoderPathName(path) + "/" + picture +
                                          "/" + size + "/kind:" + std::to_string(kind))
                                             .c_str(),
                                         PhotoVersusLibjpeg, input, kind, path)
                ->Unit(benchmark::kMicrosecond);
          }
        }
      }
    }
  }
}

void PictureSizes(benchmark::internal::Benchmark* b) {
  for (int kind : {0, 1})
    for (auto [w, h] : {std::pair{176, 144}, std::pair{352, 288}, std::pair{640, 480}}) b->Args({kind, w, h});
  b->ArgNames({"kind", "w", "h"});
}

void FormatSizes(benchmark::internal::Benchmark* b) {
  for (int planar : {0, 1})
    for (const auto& entry : pipeline::kSizePlan) b->Args({planar, entry.FormatWidth, entry.FormatHeight});
  b->ArgNames({"i420", "w", "h"});
}

BENCHMARK(BM_DecodePicture)->Apply(PictureSizes);
BENCHMARK(BM_Libjpeg)->Apply(PictureSizes);
BENCHMARK(BM_RenderFrame)->Apply(FormatSizes);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RegisterPhotoBenchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
