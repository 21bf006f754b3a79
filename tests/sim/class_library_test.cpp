// The camera class library against a minimal minidriver of the test's own
// and two buses: the simulated camera's, and a scripted one whose
// descriptors, answers and packets each test chooses. Callback order at
// attach and removal, the zero-filled context, the interface record built
// from descriptors, vendor commands and their failures, alternate-setting
// selection and refusal (every allocation paired with a free), packet
// statuses as the minidriver sees them, and the gathering of packets into
// raw frames (equal to what the camera sent, clamped to the buffer, zero
// after the frame and in the slack), stepped or drained from a live bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/bus/sim_bus.h"
#include "host/classlib/camera_class_library.h"
#include "host/kernel/host_kernel.h"
#include "pipeline/decoder/decoder.h"
#include "support/sim_device.h"
#include "support/test_data.h"

namespace dualcam::host {
namespace {

using dualcam::testing::SimBusOf;

// --- A minimal minidriver ---------------------------------------------------

struct FakeDriver {
  std::vector<std::string> calls;
  NTSTATUS configure_status = STATUS_SUCCESS;
  NTSTATUS initialize_status = STATUS_SUCCESS;
  ULONG raw_length_override = 0;  // 0: computed from the packet size
  bool no_raw_length = false;     // succeed with a raw frame length of 0
  std::vector<uint8_t> interface_copy;
  bool context_was_zero = false;
  // Packet screening state (one device at a time).
  uint8_t sequence = 0;
  uint32_t errors = 0;
  uint32_t frame_counter = 0;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> descriptors;  // every packet seen
  // What the frame routine saw.
  struct Frame {
    std::vector<uint8_t> buffer;  // the whole raw buffer, slack included
    ULONG raw_length;
    ULONG packets;
    ULONG context;
  };
  std::vector<Frame> frames;
  CameraDevice* device = nullptr;
  // Two callbacks of the device inside at once.
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
};
FakeDriver* g = nullptr;

// Every callback marks itself inside for its duration.
struct Inside {
  Inside() {
    if (g->inside.fetch_add(1) != 0) g->overlaps.fetch_add(1);
  }
  ~Inside() { g->inside.fetch_sub(1); }
};

PUSBD_INTERFACE_INFORMATION Iface() {
  return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(g->interface_copy.data());
}

NTSTATUS FakeConfigure(PDEVICE_OBJECT, PVOID context, PUSBD_INTERFACE_INFORMATION iface,
                       PUSB_CONFIGURATION_DESCRIPTOR config, PLONG data_pipe, PLONG sync_pipe) {
  Inside inside;
  g->calls.push_back("configure");
  const auto* bytes = static_cast<const uint8_t*>(context);
  g->context_was_zero = std::all_of(bytes, bytes + 1688, [](uint8_t b) { return b == 0; });
  EXPECT_EQ(config->bDescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  g->interface_copy.assign(reinterpret_cast<uint8_t*>(iface), reinterpret_cast<uint8_t*>(iface) + iface->Length);
  *data_pipe = 0;
  *sync_pipe = -1;
  return g->configure_status;
}
NTSTATUS FakeInitialize(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  g->calls.push_back("initialize");
  return g->initialize_status;
}
NTSTATUS FakeUnInitialize(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  g->calls.push_back("uninitialize");
  return STATUS_SUCCESS;
}
NTSTATUS FakeAllocate(PDEVICE_OBJECT, PVOID context, PULONG raw_length, PVOID format) {
  Inside inside;
  g->calls.push_back("allocate");
  EXPECT_EQ(format, g);  // the format pointer is passed through
  *raw_length = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int alt = 5; alt >= 0; --alt) {
    Iface()->AlternateSetting = static_cast<UCHAR>(alt);
    status = USBCAMD_SelectAlternateInterface(context, Iface());
    if (status == STATUS_SUCCESS) break;
  }
  if (!NT_SUCCESS(status) || g->no_raw_length) return status;
  const ULONG p = Iface()->Pipes[0].MaximumPacketSize;
  *raw_length = g->raw_length_override ? g->raw_length_override
                                       : p * ((p + 320 * 240 * 12 / 8 + 13) / (p - 1));
  g->frame_counter = 0;
  g->errors = 0;
  return status;
}
NTSTATUS FakeFree(PDEVICE_OBJECT, PVOID context) {
  Inside inside;
  g->calls.push_back("free");
  Iface()->AlternateSetting = 0;
  return USBCAMD_SelectAlternateInterface(context, Iface());
}
NTSTATUS FakeStart(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  g->calls.push_back("start");
  return STATUS_SUCCESS;
}
NTSTATUS FakeStop(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  g->calls.push_back("stop");
  return STATUS_SUCCESS;
}
NTSTATUS FakeSave(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  g->calls.push_back("save");
  return STATUS_SUCCESS;
}
NTSTATUS FakeRestore(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  g->calls.push_back("restore");
  return STATUS_SUCCESS;
}
VOID FakeNewFrame(PVOID, PVOID context) {
  Inside inside;
  // The library clears the frame context before each frame.
  EXPECT_EQ(std::memcmp(context, "\0\0\0\0", 4), 0);
}
// Frame start 0xFE completes the frame before it; continuations must be in
// order; the frame context records errors (upper half) and the count.
ULONG FakePacket(PDEVICE_OBJECT, PVOID, PVOID frame_context, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID,
                 PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data, PBOOLEAN complete, PULONG offset,
                 PBOOLEAN flag) {
  Inside inside;
  g->descriptors.push_back(*packet);
  *offset = 1;
  *flag = 0;
  const ULONG p = Iface()->Pipes[0].MaximumPacketSize;
  const bool full = packet->Length == p && packet->Status == 0;
  const bool shortp = packet->Length > 0 && packet->Length < p && packet->Status == 9;
  if (packet->Status < 0 || !(full || shortp)) {
    if (!(packet->Length == 0 && packet->Status == 9)) ++g->errors;
    return 0;
  }
  const uint8_t first = static_cast<uint8_t*>(data)[0];
  if (first == 0xFE) {
    *complete = 1;
    g->sequence = 0;
    ++g->frame_counter;
    const ULONG ctx = (g->errors ? 0x55AA0000u : 0) | (g->frame_counter & 0xFFFF);
    std::memcpy(frame_context, &ctx, 4);
    g->errors = 0;
    return p - 1;
  }
  if (first == 0xFF) return 0;
  if (first != g->sequence) {
    ++g->errors;
    return 0;
  }
  g->sequence = static_cast<uint8_t>((g->sequence + 1) % 128);
  return p - 1;
}
NTSTATUS FakeRawFrame(PDEVICE_OBJECT, PVOID, PVOID frame_context, PVOID buffer, ULONG length, PVOID raw,
                      ULONG raw_length, ULONG packets, PULONG returned) {
  Inside inside;
  const auto whole = g->device->RawFrameBuffer();
  EXPECT_EQ(raw, whole.data());
  ULONG ctx;
  std::memcpy(&ctx, frame_context, 4);
  g->frames.push_back({{whole.begin(), whole.end()}, raw_length, packets, ctx});
  std::memset(buffer, 0x42, length);
  *returned = length;
  return STATUS_SUCCESS;
}
VOID FakeReceive(PHW_STREAM_REQUEST_BLOCK) {}

constexpr USBCAMD_DEVICE_DATA kFakeTable = {
    0, FakeInitialize, FakeUnInitialize, FakePacket, FakeNewFrame, FakeRawFrame, FakeStart,
    FakeStop, FakeConfigure, FakeSave, FakeRestore, FakeAllocate, FakeFree};

// --- A scripted bus ----------------------------------------------------------

// A device whose descriptors, control answers, selections and packets the
// test chooses. Live unless told otherwise: packets wait in a queue until a
// Pump drains them.
class ScriptedBus final : public bus::UsbDevice {
 public:
  explicit ScriptedBus(std::vector<uint8_t> configuration) : configuration_(std::move(configuration)) {
    bus::DeviceInfo info;
    info.vendor_id = 0x1234;
    bus::AppendDeviceDescriptor(device_, info);
  }
  std::span<const uint8_t> DeviceDescriptor() const override { return device_; }
  std::span<const uint8_t> ConfigurationDescriptor() const override { return configuration_; }
  std::string Name() const override { return "scripted"; }
  bus::ControlResult Control(const bus::ControlTransfer& t) override {
    std::lock_guard lock(mutex_);
    controls.push_back(t);
    if (t.In() && t.data) std::memset(t.data, 0x5A, t.length);
    return {control_status, control_status == bus::Status::kOk ? t.length : 0u};
  }
  bus::Status SelectAlternateSetting(uint8_t interface, uint8_t setting) override {
    std::lock_guard lock(mutex_);
    selected.push_back({interface, setting});
    return refused.count(setting) ? refused[setting] : bus::Status::kOk;
  }
  bus::Status StartStream(uint8_t endpoint, uint32_t packet_size) override {
    std::lock_guard lock(mutex_);
    streams.push_back({endpoint, packet_size});
    return stream_status;
  }
  void StopStream() override {}
  bool Stepped() const override { return false; }
  bool WaitForPackets(std::chrono::steady_clock::time_point deadline) override {
    std::unique_lock lock(mutex_);
    return ready_.wait_until(lock, deadline, [&] { return !packets_.empty(); });
  }
  void Interrupt() override {}
  Delivered Deliver(bus::PacketSink& sink) override {
    Delivered delivered;
    for (;;) {
      std::pair<std::vector<uint8_t>, bus::PacketStatus> packet;
      {
        std::lock_guard lock(mutex_);
        if (packets_.empty()) break;
        packet = std::move(packets_.front());
        packets_.pop_front();
      }
      ++delivered.packets;
      if (!sink.Packet(packet.first, packet.second)) break;
    }
    return delivered;
  }
  bool Gone() const override { return false; }
  void SetGoneHandler(std::function<void()>) override {}

  void Queue(std::vector<uint8_t> bytes, bus::PacketStatus status = bus::PacketStatus::kOk) {
    std::lock_guard lock(mutex_);
    packets_.push_back({std::move(bytes), status});
    ready_.notify_all();
  }
  std::size_t Queued() const {
    std::lock_guard lock(mutex_);
    return packets_.size();
  }

  bus::Status control_status = bus::Status::kOk;
  bus::Status stream_status = bus::Status::kOk;
  std::map<uint8_t, bus::Status> refused;
  std::vector<bus::ControlTransfer> controls;
  std::vector<std::pair<uint8_t, uint8_t>> selected;
  std::vector<std::pair<uint8_t, uint32_t>> streams;

 private:
  std::vector<uint8_t> device_;
  std::vector<uint8_t> configuration_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<std::vector<uint8_t>, bus::PacketStatus>> packets_;
};

// A configuration of one vendor-specific interface, number `number`, whose
// alternate settings carry these packet sizes (0 for the first).
std::vector<uint8_t> VendorInterface(uint8_t number, std::vector<uint16_t> sizes) {
  bus::Configuration config;
  config.value = 1;
  for (std::size_t alt = 0; alt < sizes.size(); ++alt) {
    bus::InterfaceSetting setting;
    setting.number = number;
    setting.alternate = static_cast<uint8_t>(alt);
    setting.interface_class = bus::kClassVendorSpecific;
    setting.endpoints.push_back({0x81, 0x01, sizes[alt], 1});
    config.settings.push_back(setting);
  }
  return bus::BuildConfiguration(config);
}

class ClassLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    g = &driver_;
    ResetCameraDriver();
    ASSERT_EQ(USBCAMD_DriverEntry(&driver_object_, nullptr, 1688, 4, FakeReceive), STATUS_SUCCESS);
  }
  void TearDown() override {
    device_.reset();
    EXPECT_EQ(driver_.overlaps.load(), 0) << "two callbacks of the device ran at once";
    g = nullptr;
  }
  CameraDevice& Attach(std::shared_ptr<sim::SimCamera> camera = nullptr) {
    NTSTATUS status;
    device_ = CameraDevice::Attach(dualcam::testing::SimDeviceOptions(camera, &kFakeTable), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    driver_.device = device_.get();
    return *device_;
  }
  CameraDevice& AttachBus(std::shared_ptr<bus::UsbDevice> device) {
    NTSTATUS status;
    CameraDevice::Options options;
    options.Bus = std::move(device);
    options.DeviceData = &kFakeTable;
    options.FrameWait = std::chrono::milliseconds(20);
    device_ = CameraDevice::Attach(options, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    driver_.device = device_.get();
    return *device_;
  }
  // Starts the camera's video at 176 x 144 through its own vocabulary.
  static void RunCamera(sim::SimCamera& cam, uint16_t size = 0x0504) {
    uint32_t n = 0;
    cam.Control(false, sim::kRequestImageSize, 0, size, nullptr, &n);
    cam.Control(false, sim::kRequestRegister, 3, sim::kRegCaptureEngine, nullptr, &n);
  }
  void QueueReads(int count) {
    for (int i = 0; i < count; ++i) {
      buffers_.emplace_back(4096);
      device_->QueueRead(buffers_.back(), [this](const CompletedRead& r) { completed_.push_back(r); });
    }
  }
  static std::vector<uint8_t> Packet(uint8_t first, uint32_t size, uint8_t fill) {
    std::vector<uint8_t> p(size, fill);
    if (size) p[0] = first;
    return p;
  }
  void Deliver(uint8_t first, uint32_t size, uint8_t fill, bus::PacketStatus status = bus::PacketStatus::kOk) {
    device_->DeliverPacket(Packet(first, size, fill), status);
  }

  HostKernel kernel_;
  ScopedKernel scope_{kernel_};
  DRIVER_OBJECT driver_object_{};
  FakeDriver driver_;
  std::unique_ptr<CameraDevice> device_;
  std::deque<std::vector<uint8_t>> buffers_;
  std::vector<CompletedRead> completed_;
};

TEST_F(ClassLibrary, AttachConfiguresThenInitializesAZeroFilledContext) {
  const auto before = kernel_.pool().Live(kLibraryPoolTag);
  CameraDevice& device = Attach();
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize"}));
  EXPECT_TRUE(driver_.context_was_zero);
  EXPECT_EQ(kernel_.pool().Live(kLibraryPoolTag).Blocks, before.Blocks + 1);
  EXPECT_EQ(kernel_.pool().Live(kLibraryPoolTag).Bytes, before.Bytes + 1688);
  // The simulated camera's streaming interface at alternate setting 0.
  EXPECT_EQ(Iface()->Length, GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(Iface()->NumberOfPipes, 1u);
  EXPECT_EQ(Iface()->AlternateSetting, 0);
  EXPECT_EQ(Iface()->Class, 0xFF);
  EXPECT_EQ(Iface()->Pipes[0].PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(Iface()->Pipes[0].EndpointAddress, 0x81);
  EXPECT_EQ(Iface()->Pipes[0].MaximumPacketSize, 0);
  EXPECT_EQ(device.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(device.Remove(), STATUS_SUCCESS);  // once only
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize", "uninitialize"}));
  EXPECT_EQ(kernel_.pool().Live(kLibraryPoolTag).Blocks, before.Blocks);
}

TEST_F(ClassLibrary, FailedStepsStillKeepThePlatformOrder) {
  NTSTATUS status;
  driver_.initialize_status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(CameraDevice::Attach(dualcam::testing::SimDeviceOptions(nullptr, &kFakeTable), &status), nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  // CamUnInitialize follows even a failed CamInitialize.
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize", "uninitialize"}));

  driver_.calls.clear();
  driver_.configure_status = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(CameraDevice::Attach(dualcam::testing::SimDeviceOptions(nullptr, &kFakeTable), &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure"}));
  EXPECT_EQ(kernel_.pool().Live(kLibraryPoolTag).Blocks, 0u);

  // No registration, or no device: nothing to attach.
  ResetCameraDriver();
  driver_.calls.clear();
  EXPECT_EQ(CameraDevice::Attach(dualcam::testing::SimDeviceOptions(nullptr, &kFakeTable), &status), nullptr);
  EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
  ASSERT_EQ(USBCAMD_DriverEntry(&driver_object_, nullptr, 1688, 4, FakeReceive), STATUS_SUCCESS);
  EXPECT_EQ(CameraDevice::Attach({nullptr, &kFakeTable}, &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(driver_.calls.empty());
  // A context that could not be allocated.
  kernel_.pool().FailNthAllocation(1);
  EXPECT_EQ(CameraDevice::Attach(dualcam::testing::SimDeviceOptions(nullptr, &kFakeTable), &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(ClassLibrary, TheDriversTableFromTheRequestRoutineIsUsedWhenNoneIsGiven) {
  USBCAMD_DEVICE_DATA table = kFakeTable;
  EXPECT_EQ(USBCAMD_AdapterReceivePacket(nullptr, &table, nullptr, FALSE), nullptr);
  NTSTATUS status;
  device_ = CameraDevice::Attach(dualcam::testing::SimDeviceOptions(), &status);
  ASSERT_NE(device_, nullptr);
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize"}));
}

// A camera whose streaming interface is number 2, whose setting 0 has only an
// interrupt endpoint, and whose setting 2 is a high-bandwidth one.
TEST_F(ClassLibrary, TheInterfaceRecordComesFromTheDevicesOwnDescriptors) {
  bus::Configuration config;
  config.value = 1;
  config.settings.push_back({0, 0, 0x01, 0x01, 0, {}});  // an audio control interface first
  config.settings.push_back({2, 0, 0xFF, 0, 0, {{0x83, 0x03, 16, 8}}});
  config.settings.push_back({2, 1, 0xFF, 0, 0, {{0x83, 0x03, 16, 8}, {0x82, 0x05, 768, 1}}});
  config.settings.push_back({2, 2, 0xFF, 0, 0, {{0x82, 0x05, 0x0BFF, 1}, {0x83, 0x03, 16, 8}}});
  auto scripted = std::make_shared<ScriptedBus>(bus::BuildConfiguration(config));
  CameraDevice& device = AttachBus(scripted);
  ASSERT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize"}));
  EXPECT_EQ(Iface()->InterfaceNumber, 2);
  EXPECT_EQ(Iface()->NumberOfPipes, 2u);
  EXPECT_EQ(Iface()->Length, GET_USBD_INTERFACE_SIZE(2));
  // The streaming endpoint is the first pipe even where it carries nothing.
  EXPECT_EQ(Iface()->Pipes[0].EndpointAddress, 0x82);
  EXPECT_EQ(Iface()->Pipes[0].MaximumPacketSize, 0);
  EXPECT_EQ(Iface()->Pipes[1].EndpointAddress, 0x83);
  EXPECT_EQ(Iface()->Pipes[1].PipeType, UsbdPipeTypeInterrupt);

  Iface()->AlternateSetting = 2;
  ASSERT_EQ(USBCAMD_SelectAlternateInterface(device.DeviceContext(), Iface()), STATUS_SUCCESS);
  EXPECT_EQ(Iface()->Pipes[0].MaximumPacketSize, 2046);  // 1023 bytes, two transactions
  EXPECT_EQ(Iface()->Pipes[1].MaximumPacketSize, 16);
  EXPECT_EQ(device.MaxPacketSize(), 2046);
  EXPECT_EQ(scripted->selected.back(), (std::pair<uint8_t, uint8_t>{2, 2}));
  EXPECT_EQ(scripted->streams.back(), (std::pair<uint8_t, uint32_t>{0x82, 2046}));
  // A setting the descriptors do not have never reaches the bus.
  Iface()->AlternateSetting = 3;
  const auto asked = scripted->selected.size();
  EXPECT_EQ(USBCAMD_SelectAlternateInterface(device.DeviceContext(), Iface()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(scripted->selected.size(), asked);
  EXPECT_EQ(device.AlternateSetting(), 2);
}

TEST_F(ClassLibrary, ADeviceWithoutAStreamingInterfaceDoesNotStart) {
  const std::vector<std::vector<uint8_t>> configurations = {
      {},                                             // nothing at all
      {9, 2, 9, 0, 0, 1, 0, 0x80, 50},                // no interface
      VendorInterface(0, {512, 1023}),                // setting 0 carries bytes
      VendorInterface(0, {0}),                        // no setting carries anything
      {9, 2, 30, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 9, 4, 0, 1, 1, 0xFF, 0, 0, 0,
       7, 5, 0x81},                                   // an endpoint cut short
  };
  // Not vendor-specific, or an OUT endpoint: not the camera's either.
  auto standard = VendorInterface(0, {0, 1023});
  standard[9 + 5] = standard[9 + 16 + 5] = 0x0E;
  auto out = VendorInterface(0, {0, 1023});
  out[9 + 9 + 2] = out[9 + 16 + 9 + 2] = 0x01;
  std::vector<std::vector<uint8_t>> all = configurations;
  all.push_back(standard);
  all.push_back(out);
  for (std::size_t i = 0; i < all.size(); ++i) {
    SCOPED_TRACE(i);
    NTSTATUS status = STATUS_SUCCESS;
    CameraDevice::Options options;
    options.Bus = std::make_shared<ScriptedBus>(all[i]);
    options.DeviceData = &kFakeTable;
    EXPECT_EQ(CameraDevice::Attach(options, &status), nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(driver_.calls.empty());
  }
  EXPECT_EQ(kernel_.pool().Live(kLibraryPoolTag).Blocks, 0u);
}

TEST_F(ClassLibrary, VendorCommandsReachTheDevicesCamera) {
  auto camera = std::make_shared<sim::SimCamera>();
  CameraDevice& device = Attach(camera);
  uint8_t byte = 0xEE;
  ULONG length = 1;
  camera->PressButton();
  EXPECT_EQ(USBCAMD_ControlVendorCommand(device.DeviceContext(), sim::kRequestButton, 0, 1, &byte, &length,
                                         TRUE, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(length, 1u);
  length = 0;
  EXPECT_EQ(USBCAMD_ControlVendorCommand(device.DeviceContext(), sim::kRequestRegister, 3, 0x2000, nullptr,
                                         &length, FALSE, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_TRUE(camera->CaptureRunning());
  EXPECT_EQ(camera->RequestLines(),
            (std::vector<std::string>{"in 05 v=0000 i=0001 n=1 -> 01", "out 00 v=0003 i=2000"}));

  // A context the library does not know, or a removed device.
  int stranger = 0;
  length = 1;
  EXPECT_EQ(USBCAMD_ControlVendorCommand(&stranger, sim::kRequestBusy, 0, 0, &byte, &length, TRUE,
                                         nullptr, nullptr),
            STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(length, 0u);
  PVOID context = device.DeviceContext();
  device.Remove();
  length = 1;
  EXPECT_EQ(USBCAMD_ControlVendorCommand(context, sim::kRequestBusy, 0, 0, &byte, &length, TRUE, nullptr,
                                         nullptr),
            STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(ClassLibrary, BusFailuresOfVendorCommandsBecomeTheStatusesTheDriverKnows) {
  auto scripted = std::make_shared<ScriptedBus>(VendorInterface(0, {0, 1023}));
  NTSTATUS status;
  CameraDevice::Options options;
  options.Bus = scripted;
  options.DeviceData = &kFakeTable;
  options.VendorTimeout = std::chrono::milliseconds(250);
  device_ = CameraDevice::Attach(options, &status);
  ASSERT_NE(device_, nullptr);
  const std::pair<bus::Status, NTSTATUS> cases[] = {
      {bus::Status::kOk, STATUS_SUCCESS},
      {bus::Status::kTimeout, STATUS_IO_TIMEOUT},
      {bus::Status::kStall, STATUS_UNSUCCESSFUL},
      {bus::Status::kError, STATUS_DEVICE_DATA_ERROR},
      {bus::Status::kNoDevice, STATUS_DEVICE_NOT_CONNECTED},
  };
  for (const auto& [answer, expected] : cases) {
    scripted->control_status = answer;
    uint8_t reply[2] = {0xEE, 0xEE};
    ULONG length = 2;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(device_->DeviceContext(), 0x30, 7, 9, reply, &length, TRUE, nullptr,
                                           nullptr),
              expected);
    EXPECT_EQ(length, answer == bus::Status::kOk ? 2u : 0u);
    const bus::ControlTransfer& sent = scripted->controls.back();
    EXPECT_EQ(sent.request_type, 0xC0);  // vendor, device to host
    EXPECT_EQ(sent.request, 0x30);
    EXPECT_EQ(sent.value, 7);
    EXPECT_EQ(sent.index, 9);
    EXPECT_EQ(sent.length, 2);
    EXPECT_EQ(sent.timeout, std::chrono::milliseconds(250));
  }
  // A data stage longer than a control transfer carries never reaches the bus.
  const auto sent = scripted->controls.size();
  std::vector<uint8_t> big(0x10000);
  ULONG length = static_cast<ULONG>(big.size());
  EXPECT_EQ(USBCAMD_ControlVendorCommand(device_->DeviceContext(), 0x50, 0, 0, big.data(), &length, FALSE, nullptr,
                                         nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(scripted->controls.size(), sent);
}

TEST_F(ClassLibrary, AlternateSettingsGiveTheirPacketSizesAndCanBeRefused) {
  CameraDevice& device = Attach();
  for (const auto& alt : sim::kAlternateSettings) {
    Iface()->AlternateSetting = alt.number;
    ASSERT_EQ(USBCAMD_SelectAlternateInterface(device.DeviceContext(), Iface()), STATUS_SUCCESS);
    EXPECT_EQ(Iface()->Pipes[0].MaximumPacketSize, alt.max_packet_size);
    EXPECT_EQ(device.MaxPacketSize(), alt.max_packet_size);
  }
  Iface()->AlternateSetting = 6;
  EXPECT_EQ(USBCAMD_SelectAlternateInterface(device.DeviceContext(), Iface()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device.AlternateSetting(), 5);  // unchanged
  // A record too short for the pipes it claims is refused untouched.
  USBD_INTERFACE_INFORMATION small = *Iface();
  small.NumberOfPipes = 2;
  EXPECT_EQ(USBCAMD_SelectAlternateInterface(device.DeviceContext(), &small), STATUS_INVALID_PARAMETER);

  SimBusOf(device).RefuseAlternateSettings({5, 4});
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  const auto selections = device.Selections();
  ASSERT_GE(selections.size(), 3u);
  const std::vector<CameraDevice::Selection> last(selections.end() - 3, selections.end());
  EXPECT_EQ(last[0].AlternateSetting, 5);
  EXPECT_EQ(last[0].Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(last[1].AlternateSetting, 4);
  EXPECT_EQ(last[2].AlternateSetting, 3);
  EXPECT_EQ(last[2].Status, STATUS_SUCCESS);
  EXPECT_EQ(device.MaxPacketSize(), 512);
  EXPECT_EQ(device.StopCapture(), STATUS_SUCCESS);
  EXPECT_EQ(device.AlternateSetting(), 0);

  // A bus that gives nothing: the allocation fails, no capture starts, and
  // what the allocation did is undone by a free all the same.
  SimBusOf(device).RefuseAlternateSettings({0, 1, 2, 3, 4, 5});
  driver_.calls.clear();
  EXPECT_EQ(device.StartCapture(g), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(device.Capturing());
  EXPECT_EQ(device.RawFrameLength(), 0u);
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"allocate", "free"}));
}

TEST_F(ClassLibrary, AnAllocationWithoutARawFrameIsGivenBackToo) {
  CameraDevice& device = Attach();
  driver_.calls.clear();
  driver_.no_raw_length = true;
  EXPECT_EQ(device.StartCapture(g), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(device.Capturing());
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"allocate", "free"}));
  EXPECT_EQ(device.AlternateSetting(), 0);

  driver_.calls.clear();
  driver_.no_raw_length = false;
  driver_.raw_length_override = 0xFFFFFFFFu;  // more than any transfer of the camera
  EXPECT_EQ(device.StartCapture(g), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(device.Capturing());
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"allocate", "free"}));
  EXPECT_EQ(device.AlternateSetting(), 0);
}

TEST_F(ClassLibrary, ASettingWhoseStreamCannotStartIsRefusedLikeBandwidth) {
  auto scripted = std::make_shared<ScriptedBus>(VendorInterface(0, {0, 256, 1023}));
  scripted->stream_status = bus::Status::kNoBandwidth;  // selected, but the transfers find no bandwidth
  CameraDevice& device = AttachBus(scripted);
  Iface()->AlternateSetting = 2;
  EXPECT_EQ(USBCAMD_SelectAlternateInterface(device.DeviceContext(), Iface()), STATUS_INSUFFICIENT_RESOURCES);
  // Back on the setting that carries nothing.
  EXPECT_EQ(scripted->selected.back(), (std::pair<uint8_t, uint8_t>{0, 0}));
  EXPECT_EQ(device.AlternateSetting(), 0);
  EXPECT_EQ(device.MaxPacketSize(), 0);
}

TEST_F(ClassLibrary, RandomRefusalsRepeatForTheSameSeed) {
  auto run = [&](uint64_t seed) {
    driver_.calls.clear();
    NTSTATUS status;
    auto device = CameraDevice::Attach(dualcam::testing::SimDeviceOptions(nullptr, &kFakeTable), &status);
    driver_.device = device.get();
    SimBusOf(*device).RefuseAlternateSettingsRandomly(seed, 500000);
    std::vector<int> chosen;
    for (int i = 0; i < 12; ++i) {
      device->StartCapture(g);
      chosen.push_back(device->AlternateSetting());
      device->StopCapture();
    }
    return chosen;
  };
  const auto a = run(11), b = run(11), c = run(12);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(std::count(a.begin(), a.end(), 5), 12);  // some were refused
}

TEST_F(ClassLibrary, CaptureCallbacksComeInOrder) {
  CameraDevice& device = Attach();
  driver_.calls.clear();
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  EXPECT_TRUE(device.Capturing());
  EXPECT_EQ(device.SaveState(), STATUS_SUCCESS);
  EXPECT_EQ(device.RestoreState(), STATUS_SUCCESS);
  device.Remove();  // stops the running capture first
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"allocate", "start", "save", "restore", "stop", "free",
                                                     "uninitialize"}));
}

TEST_F(ClassLibrary, PacketsReachTheDriverWithTheStatusesItKnows) {
  CameraDevice& device = Attach();
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  const ULONG p = device.MaxPacketSize();
  Deliver(0xFE, p, 1);                                  // full
  Deliver(0, 10, 1);                                    // short
  Deliver(1, 0, 1);                                     // empty
  Deliver(2, 7, 1, bus::PacketStatus::kError);          // failed, with what came
  Deliver(3, p + 40, 1);                                // more than a packet: cut to P
  Deliver(4, p, 1, bus::PacketStatus::kMissed);
  ASSERT_EQ(driver_.descriptors.size(), 6u);
  const std::pair<ULONG, USBD_STATUS> expected[] = {
      {p, 0}, {10, 9}, {0, 9}, {7, USBD_STATUS_ISO_TD_ERROR}, {p, 0}, {p, USBD_STATUS_ISO_NOT_ACCESSED_LATE}};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(driver_.descriptors[i].Length, expected[i].first) << i;
    EXPECT_EQ(driver_.descriptors[i].Status, expected[i].second) << i;
    EXPECT_EQ(driver_.descriptors[i].Offset, 0u);
  }
  EXPECT_EQ(device.Counters().PacketsFailed, 2u);
}

TEST_F(ClassLibrary, RawFrameIsWhatTheCameraSentThenZeros) {
  auto camera = std::make_shared<sim::SimCamera>();
  camera->SetScene(sim::PhotoScene::Load(testing::TestDataPath("kodim05_176x144.png"), nullptr));
  CameraDevice& device = Attach(camera);
  RunCamera(*camera);
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  const ULONG p = device.MaxPacketSize();
  ASSERT_EQ(p, 1023u);
  EXPECT_EQ(device.RawFrameBuffer().size(), device.RawFrameLength() + decoder::kRawFrameSlack);
  QueueReads(2);
  // Frame 1 is completed by frame 2's start packet, frame 2 by frame 3's.
  EXPECT_EQ(device.Pump(3), 3u);
  ASSERT_EQ(driver_.frames.size(), 2u);
  ASSERT_EQ(completed_.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const auto& seen = driver_.frames[i];
    const auto sent = camera->Frame(i + 1);
    ASSERT_TRUE(sent.has_value());
    const std::size_t packets = (sent->raw_frame.size() + p - 2) / (p - 1);
    EXPECT_EQ(seen.packets, packets);
    EXPECT_EQ(seen.raw_length, packets * (p - 1));
    EXPECT_TRUE(std::equal(sent->raw_frame.begin(), sent->raw_frame.end(), seen.buffer.begin()));
    EXPECT_TRUE(std::all_of(seen.buffer.begin() + sent->raw_frame.size(), seen.buffer.end(),
                            [](uint8_t b) { return b == 0; }));
    // The frame context the packet routine wrote for this frame.
    EXPECT_EQ(seen.context, static_cast<ULONG>(i + 2));
    EXPECT_EQ(completed_[i].BytesReturned, 4096u);
    EXPECT_EQ(completed_[i].NumberOfPackets, packets);
    EXPECT_FALSE(completed_[i].Truncated);
  }
  EXPECT_EQ(buffers_[0][0], 0x42);
  // Nothing came before the first frame start: that empty frame was skipped.
  EXPECT_EQ(device.Counters().EmptyFramesSkipped, 1u);
  EXPECT_EQ(device.Counters().FramesDelivered, 2u);
}

TEST_F(ClassLibrary, NoStaleBytesOfAnEarlierFrameRemain) {
  CameraDevice& device = Attach();
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  const uint32_t p = device.MaxPacketSize();
  QueueReads(2);
  // A long frame of 0xAB bytes, then a short one of 0xCD, then a start.
  Deliver(0xFE, p, 0xAB);
  for (uint8_t s = 0; s < 6; ++s) Deliver(s, p, 0xAB);
  Deliver(0xFE, p, 0xCD);
  Deliver(0, 10, 0xCD);  // short: its unsent bytes arrive as zero
  Deliver(0xFE, p, 0x00);
  ASSERT_EQ(driver_.frames.size(), 2u);
  const auto& second = driver_.frames[1];
  EXPECT_EQ(second.packets, 2u);
  EXPECT_EQ(second.raw_length, 2 * (p - 1));
  EXPECT_TRUE(std::all_of(second.buffer.begin(), second.buffer.begin() + (p - 1) + 9,
                          [](uint8_t b) { return b == 0xCD; }));
  EXPECT_TRUE(std::all_of(second.buffer.begin() + (p - 1) + 9, second.buffer.end(),
                          [](uint8_t b) { return b == 0; }));
}

TEST_F(ClassLibrary, AFrameLongerThanItsBufferIsClampedAndItsCountCapped) {
  CameraDevice& device = Attach();
  driver_.raw_length_override = 3 * 1022 + 500;
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  ASSERT_EQ(device.MaxPacketSize(), 1023);
  QueueReads(1);
  Deliver(0xFE, 1023, 0x77);
  for (uint8_t s = 0; s < 9; ++s) Deliver(s, 1023, 0x77);
  Deliver(0xFE, 1023, 0);
  ASSERT_EQ(driver_.frames.size(), 1u);
  const auto& seen = driver_.frames[0];
  const std::size_t capacity = device.RawFrameLength();
  EXPECT_EQ(seen.raw_length, capacity);
  EXPECT_EQ(seen.packets, 3u);  // (P - 1) x packets stays inside the buffer
  EXPECT_EQ(seen.buffer.size(), capacity + decoder::kRawFrameSlack);
  EXPECT_TRUE(std::all_of(seen.buffer.begin(), seen.buffer.begin() + capacity, [](uint8_t b) { return b == 0x77; }));
  EXPECT_TRUE(std::all_of(seen.buffer.begin() + capacity, seen.buffer.end(), [](uint8_t b) { return b == 0; }));
  ASSERT_EQ(completed_.size(), 1u);
  EXPECT_TRUE(completed_[0].Truncated);
  EXPECT_EQ(device.Counters().FramesTruncated, 1u);
}

TEST_F(ClassLibrary, FramesWithoutAWaitingReadAreDroppedAndReadsCanBeCancelled) {
  auto camera = std::make_shared<sim::SimCamera>();
  CameraDevice& device = Attach(camera);
  RunCamera(*camera);
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  device.Pump(4);
  EXPECT_EQ(device.Counters().FramesDropped, 3u);
  EXPECT_TRUE(driver_.frames.empty());
  QueueReads(2);
  device.CancelReads();
  ASSERT_EQ(completed_.size(), 2u);
  EXPECT_EQ(completed_[0].Status, STATUS_CANCELLED);
  EXPECT_EQ(device.PendingReads(), 0u);
  // No packets reach the driver once the capture stopped.
  device.StopCapture();
  const auto delivered = device.Counters().PacketsDelivered;
  Deliver(0xFE, 1023, 0);
  EXPECT_EQ(device.Pump(2), 0u);
  EXPECT_EQ(device.Counters().PacketsDelivered, delivered);
}

TEST_F(ClassLibrary, LostPacketsMarkTheFrameTheyBelongTo) {
  auto camera = std::make_shared<sim::SimCamera>();
  camera->SetScene(sim::PhotoScene::Load(testing::TestDataPath("kodim05_176x144.png"), nullptr));
  CameraDevice& device = Attach(camera);
  RunCamera(*camera);
  SimBusOf(device).RefuseAlternateSettings({5, 4, 3, 2});  // 128-byte packets: many per frame
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  camera->SetPacketFaults({.seed = 3, .drop = 30000});
  QueueReads(12);
  device.Pump(12);
  // A lost frame-start packet merges two frames into one.
  const int frames = static_cast<int>(driver_.frames.size());
  ASSERT_GE(frames, 6);
  int marked = 0;
  for (const auto& f : driver_.frames) marked += (f.context >> 16) == 0x55AA;
  EXPECT_GT(marked, 0);
  EXPECT_LT(marked, frames);
}

// A live bus is drained only as far as the frames asked for: the packets of
// later frames stay queued for the reads that come next, so none is dropped.
TEST_F(ClassLibrary, ALiveBusIsDrainedOnlyAsFarAsTheFramesAskedFor) {
  auto scripted = std::make_shared<ScriptedBus>(VendorInterface(0, {0, 64}));
  CameraDevice& device = AttachBus(scripted);
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  ASSERT_EQ(device.MaxPacketSize(), 64);
  for (uint8_t fill : {0xA1, 0xB2, 0xC3}) {
    scripted->Queue(Packet(0xFE, 64, fill));
    scripted->Queue(Packet(0, 64, fill));
  }
  QueueReads(1);
  EXPECT_EQ(device.Pump(1), 1u);  // the first start completes only an empty frame
  EXPECT_EQ(completed_.size(), 0u);
  EXPECT_EQ(device.Pump(1), 1u);
  ASSERT_EQ(completed_.size(), 1u);
  EXPECT_EQ(scripted->Queued(), 3u);  // frame B's body and frame C wait
  EXPECT_EQ(driver_.frames[0].buffer[0], 0xA1);
  QueueReads(1);
  EXPECT_EQ(device.Pump(1), 1u);
  ASSERT_EQ(completed_.size(), 2u);
  EXPECT_EQ(driver_.frames[1].buffer[0], 0xB2);
  EXPECT_EQ(device.Counters().FramesDropped, 0u);
  // Nothing more comes: the wait is bounded (FrameWait 20 ms a frame).
  scripted->Queue(Packet(0, 64, 0xC3));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device.Pump(3), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(scripted->Queued(), 0u);
}

TEST_F(ClassLibrary, ADeviceThatLeavesTheBusIsMarkedAndAnswersNoMore) {
  auto camera = std::make_shared<sim::SimCamera>();
  CameraDevice& device = Attach(camera);
  RunCamera(*camera);
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  QueueReads(1);
  EXPECT_EQ(device.Pump(2), 2u);
  EXPECT_FALSE(device.Vanished());
  SimBusOf(device).Unplug();
  EXPECT_TRUE(device.Vanished());
  EXPECT_EQ(device.Pump(2), 0u);
  uint8_t byte = 0;
  ULONG length = 1;
  EXPECT_EQ(USBCAMD_ControlVendorCommand(device.DeviceContext(), sim::kRequestBusy, 0, 0, &byte, &length, TRUE,
                                         nullptr, nullptr),
            STATUS_DEVICE_NOT_CONNECTED);
  Iface()->AlternateSetting = 5;
  EXPECT_EQ(USBCAMD_SelectAlternateInterface(device.DeviceContext(), Iface()), STATUS_DEVICE_NOT_CONNECTED);
  // The removal itself is the surprise-removal request's to do.
  EXPECT_TRUE(device.Capturing());
  device.Unplug();
  EXPECT_FALSE(device.Capturing());
  EXPECT_EQ(device.PendingReads(), 0u);
}

// The button poll sends vendor commands from its own thread while the
// library delivers packets; the camera and the device table must hold.
class ClassLibraryConcurrency : public ClassLibrary {};

TEST_F(ClassLibraryConcurrency, VendorCommandsWhileStreaming) {
  auto camera = std::make_shared<sim::SimCamera>();
  CameraDevice& device = Attach(camera);
  RunCamera(*camera);
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  PVOID context = device.DeviceContext();
  std::thread poll([&] {
    while (!done.load()) {
      uint8_t byte;
      ULONG length = 1;
      if (USBCAMD_ControlVendorCommand(context, sim::kRequestButton, 0, 1, &byte, &length, TRUE, nullptr,
                                       nullptr) == STATUS_SUCCESS)
        answered.fetch_add(1);
      length = 0;
      USBCAMD_ControlVendorCommand(context, sim::kRequestRegister, 64, sim::kRegBrightness, nullptr, &length,
                                   FALSE, nullptr, nullptr);
    }
  });
  // Frames come quickly: let the poll get going before the packets flow.
  for (int i = 0; i < 5000 && answered.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  QueueReads(5);
  device.Pump(6);
  done.store(true);
  poll.join();
  EXPECT_EQ(driver_.frames.size(), 5u);
  EXPECT_GT(answered.load(), 0);
}

// Packets arrive on a live bus's own thread while the reading thread pumps
// and a request thread stops and restarts the capture: the minidriver's
// callbacks still never overlap (TearDown checks), and pumping ends once
// the capture is stopped.
TEST_F(ClassLibraryConcurrency, CallbacksNeverOverlapWhateverThreadCallsIn) {
  auto scripted = std::make_shared<ScriptedBus>(VendorInterface(0, {0, 64}));
  CameraDevice& device = AttachBus(scripted);
  ASSERT_EQ(device.StartCapture(g), STATUS_SUCCESS);
  std::atomic<bool> done{false};
  std::thread arrivals([&] {
    uint8_t sequence = 0;
    while (!done.load()) {
      scripted->Queue(Packet(sequence == 0 ? 0xFE : static_cast<uint8_t>(sequence - 1), 64, 0x11));
      sequence = static_cast<uint8_t>((sequence + 1) % 8);
      std::this_thread::yield();
    }
  });
  std::thread requests([&] {
    for (int i = 0; i < 20; ++i) {
      device.StopCapture();
      device.StartCapture(g);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 200; ++i) {
    device.QueueRead(buffers_.emplace_back(4096), [](const CompletedRead&) {});
    device.Pump(1);
  }
  requests.join();
  done.store(true);
  arrivals.join();
  device.StopCapture();
  EXPECT_EQ(device.Pump(1), 0u);
  EXPECT_GT(device.Counters().PacketsDelivered, 0u);
}

}  // namespace
}  // namespace dualcam::host
