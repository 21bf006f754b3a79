// The real-camera path measured against the emulated camera: 352x288 RGB24
// pictures of the kodim15 photograph read through libusb from the simulated
// camera behind umockdev, at the camera's 30 frames a second and as fast as
// it goes, next to the same capture in-process (the camera stepped by the
// reads); the ring between libusb's thread and the reader on its own.
//
// Hard part: saying what the CPU time is. The time per frame is the whole
// process's (every thread: the reader running the driver's frame path,
// libusb's event thread, and umockdev's worker, which here is the camera:
// it compresses each frame and answers every ioctl). The in-process run
// does the same compressing and driver work with no bus at all, so the
// difference is what libusb, the ring and the emulation add. Allocations are
// counted per thread (this binary replaces malloc): the reader's (the class
// library, the ring's consumer side and the driver) must be zero per frame;
// the event thread's are libusb's own (its usbfs backend allocates the URB
// records of every submit), our completions adding none. Run under umockdev-wrapper:
//   umockdev-wrapper build/release/bench/dualcam_bench --benchmark_filter=Usb
#include <benchmark/benchmark.h>

#include <sys/prctl.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/entry.h"
#include "host/bus/emulated/usb_emulation.h"
#include "host/bus/libusb_bus.h"
#include "host/bus/packet_ring.h"
#include "host/classlib/capture_app.h"
#include "host/kernel/host_kernel.h"
#include "host/sim/scene.h"

// --- Allocation counting, per kind of thread ---------------------------------

namespace {

// The reader (this benchmark's thread: the class library and the driver),
// the bus's event thread ("dualcam-usb": transfer completions and libusb's
// submits), and every other thread (umockdev's worker, which is the
// emulated camera, and libusb's hotplug thread).
enum Role { kReader, kEventThread, kOther, kRoles };
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations[kRoles];
// A thread's role is looked up by its name once per measurement (threads
// name themselves after they start, so not at their first allocation).
std::atomic<int> g_epoch{1};
thread_local int t_epoch = 0;
thread_local int t_role = kOther;
thread_local bool t_reader = false;

int RoleOfThisThread() {
  const int epoch = g_epoch.load(std::memory_order_relaxed);
  if (t_epoch != epoch) {
    t_epoch = epoch;
    char name[16] = {};
    prctl(PR_GET_NAME, name);
    t_role = t_reader ? kReader : std::strcmp(name, "dualcam-usb") == 0 ? kEventThread : kOther;
  }
  return t_role;
}

}  // namespace

void CountAllocation() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations[RoleOfThisThread()].fetch_add(1, std::memory_order_relaxed);
}

#include "support/allocation_interposer.h"

namespace {

using namespace dualcam;

double ProcessSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::shared_ptr<host::sim::SimCamera> PhotoCamera() {
  auto camera = std::make_shared<host::sim::SimCamera>();
  camera->SetScene(
      host::sim::PhotoScene::Load(std::string(DUALCAM_TESTDATA_DIR) + "/kodim15_352x288.png", nullptr));
  return camera;
}

// A driver with one camera streaming RGB24 352x288 on a deterministic
// kernel (the driver's waits take no real time; the frames do).
struct Capture {
  host::HostKernel kernel{host::HostOptions::ForTests()};
  host::ScopedKernel scope{kernel};
  std::unique_ptr<host::CaptureDriver> driver;
  std::unique_ptr<host::CaptureCamera> camera;
  std::unique_ptr<host::CaptureStream> stream;

  explicit Capture(std::shared_ptr<host::bus::UsbDevice> device) {
    host::InstallSettingsKey(kernel.registry());
    host::ResetCameraDriver();
    driver = host::CaptureDriver::Load(driver::DriverEntry);
    host::CameraDevice::Options options;
    options.Bus = std::move(device);
    camera = driver->AttachDevice(options);
    if (!camera) return;
    stream = camera->OpenStream(host::FormatFromRange(*host::FindRange(camera->GetStreamInfo(), 0, 352, 288)));
    if (stream) stream->SetState(KSSTATE_RUN);
  }
  ~Capture() {
    stream.reset();
    camera.reset();
    driver.reset();
    host::ResetCameraDriver();
  }
};

// Reads a picture per iteration below the capture application (whose Read
// allocates the application's own buffers and records): a read of one of
// eight preallocated buffers queued with the class library, and pumping
// until it is filled. Reports CPU per frame, allocations per frame by
// thread, packets the ring had to drop and pictures the driver repeated.
void Measure(benchmark::State& state, Capture& capture) {
  if (!capture.stream) {
    state.SkipWithError("the capture did not start");
    return;
  }
  host::CameraDevice& device = capture.camera->Device();
  std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(352 * 288 * 3));
  bool done = false;
  uint64_t frames = 0, failed = 0;
  auto read_one = [&](std::size_t i) {
    done = false;
    device.QueueRead(buffers[i % buffers.size()], [&done](const host::CompletedRead&) { done = true; });
    for (int tries = 0; !done && tries < 100; ++tries) device.Pump(1);
    if (!done) {
      ++failed;
      device.CancelReads();
    }
  };
  for (std::size_t i = 0; i < 10; ++i) read_one(i);  // steady state first
  t_reader = true;
  g_epoch.fetch_add(1);
  for (auto& count : g_allocations) count.store(0);
  const uint64_t delivered0 = device.Counters().FramesDelivered;
  const uint64_t accepted0 = device.Counters().PacketsAccepted;
  const uint64_t failed0 = device.Counters().PacketsFailed;
  g_counting.store(true);
  const double cpu0 = ProcessSeconds();
  for (auto _ : state) read_one(frames++);
  const double cpu = ProcessSeconds() - cpu0;
  g_counting.store(false);
  t_reader = false;
  const double n = static_cast<double>(std::max<uint64_t>(frames, 1));
  state.counters["failed_reads"] = static_cast<double>(failed);
  state.counters["frames"] = static_cast<double>(device.Counters().FramesDelivered - delivered0);
  state.counters["packets_per_frame"] = static_cast<double>(device.Counters().PacketsAccepted - accepted0) / n;
  state.counters["bad_packets"] = static_cast<double>(device.Counters().PacketsFailed - failed0);
  state.counters["cpu_ms_per_frame"] = cpu * 1e3 / n;
  state.counters["allocs_reader"] = static_cast<double>(g_allocations[kReader].load()) / n;
  state.counters["allocs_event_thread"] = static_cast<double>(g_allocations[kEventThread].load()) / n;
  state.counters["allocs_other_threads"] = static_cast<double>(g_allocations[kOther].load()) / n;
}

void BM_UsbCaptureInProcess(benchmark::State& state) {
  Capture capture(std::make_shared<host::bus::SimBus>(PhotoCamera()));
  Measure(state, capture);
}

void BM_UsbCaptureThroughLibusb(benchmark::State& state) {
  if (!host::bus::emulated::EmulatedUsb::Preloaded()) {
    state.SkipWithError("run under umockdev-wrapper");
    return;
  }
  static auto* testbed = new host::bus::emulated::EmulatedUsb();
  host::bus::emulated::EmulatedCamera::Options options;
  options.frames_per_second = static_cast<double>(state.range(0));
  auto& emulated = testbed->AddCamera(std::make_shared<host::bus::SimBus>(PhotoCamera()), options);
  {
    auto selector = host::bus::ParseDeviceSelector("usb:" + emulated.Place());
    auto opened = host::bus::LibusbBus::Open(*selector);
    if (!opened.device) {
      state.SkipWithError(opened.message.c_str());
    } else {
      Capture capture(opened.device);
      opened.device.reset();
      Measure(state, capture);
    }
  }
  testbed->Remove(emulated);
}

// The ring alone: a transfer's 32 packets of 1023 bytes in, then out.
void BM_UsbPacketRing(benchmark::State& state) {
  host::bus::PacketRing ring;
  ring.Reset(4096, 1023);
  std::vector<uint8_t> packet(1023, 0x5A);
  struct Sink final : host::bus::PacketSink {
    uint64_t bytes = 0;
    bool Packet(std::span<const uint8_t> data, host::bus::PacketStatus) override {
      bytes += data.size();
      return true;
    }
  } sink;
  for (auto _ : state) {
    {
      host::bus::PacketRing::Writer writer(ring);
      for (int i = 0; i < 32; ++i) writer.Push(packet, host::bus::PacketStatus::kOk);
    }
    ring.Drain(sink);
  }
  benchmark::DoNotOptimize(sink.bytes);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 32);
}

}  // namespace

BENCHMARK(BM_UsbCaptureInProcess)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_UsbCaptureThroughLibusb)
    ->ArgName("fps")
    ->Arg(30)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(300)
    ->UseRealTime();
BENCHMARK(BM_UsbPacketRing)->Unit(benchmark::kNanosecond);
