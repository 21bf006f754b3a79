// The camera class library against a minimal minidriver of the test's own:
// callback order at attach and removal, the zero-filled context, vendor
// commands reaching the camera, alternate-setting selection and refusal, and
// the gathering of packets into raw frames (equal to what the camera sent,
// clamped to the buffer, zero after the frame and in the slack).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/classlib/camera_class_library.h"
#include "pipeline/decoder/decoder.h"
#include "support/test_data.h"

namespace dualcam::host {
namespace {

// --- A minimal minidriver ---------------------------------------------------

struct FakeDriver {
  std::vector<std::string> calls;
  NTSTATUS configure_status = STATUS_SUCCESS;
  NTSTATUS initialize_status = STATUS_SUCCESS;
  ULONG raw_length_override = 0;  // 0: computed from the packet size
  std::vector<uint8_t> interface_copy;
  bool context_was_zero = false;
  // Packet screening state (one device at a time).
  uint8_t sequence = 0;
  uint32_t errors = 0;
  uint32_t frame_counter = 0;
  // What the frame routine saw.
  struct Frame {
    std::vector<uint8_t> buffer;  // the whole raw buffer, slack included
    ULONG raw_length;
    ULONG packets;
    ULONG context;
  };
  std::vector<Frame> frames;
  CameraDevice* device = nullptr;
};
FakeDriver* g = nullptr;

PUSBD_INTERFACE_INFORMATION Iface() {
  return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(g->interface_copy.data());
}

NTSTATUS FakeConfigure(PDEVICE_OBJECT, PVOID context, PUSBD_INTERFACE_INFORMATION iface,
                       PUSB_CONFIGURATION_DESCRIPTOR config, PLONG data_pipe, PLONG sync_pipe) {
  g->calls.push_back("configure");
  const auto* bytes = static_cast<const uint8_t*>(context);
  g->context_was_zero = std::all_of(bytes, bytes + 1688, [](uint8_t b) { return b == 0; });
  EXPECT_EQ(iface->Length, GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(iface->NumberOfPipes, 1u);
  EXPECT_EQ(iface->AlternateSetting, 0);
  EXPECT_EQ(iface->Pipes[0].PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(config->bDescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(config->wTotalLength, 9 + 6 * 16);
  g->interface_copy.assign(reinterpret_cast<uint8_t*>(iface), reinterpret_cast<uint8_t*>(iface) + iface->Length);
  *data_pipe = 0;
  *sync_pipe = -1;
  return g->configure_status;
}
NTSTATUS FakeInitialize(PDEVICE_OBJECT, PVOID) {
  g->calls.push_back("initialize");
  return g->initialize_status;
}
NTSTATUS FakeUnInitialize(PDEVICE_OBJECT, PVOID) {
  g->calls.push_back("uninitialize");
  return STATUS_SUCCESS;
}
NTSTATUS FakeAllocate(PDEVICE_OBJECT, PVOID context, PULONG raw_length, PVOID format) {
  g->calls.push_back("allocate");
  EXPECT_EQ(format, g);  // the format pointer is passed through
  *raw_length = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int alt = 5; alt >= 0; --alt) {
    Iface()->AlternateSetting = static_cast<UCHAR>(alt);
    status = USBCAMD_SelectAlternateInterface(context, Iface());
    if (status == STATUS_SUCCESS) break;
  }
  if (!NT_SUCCESS(status)) return status;
  const ULONG p = Iface()->Pipes[0].MaximumPacketSize;
  *raw_length = g->raw_length_override ? g->raw_length_override
                                       : p * ((p + 320 * 240 * 12 / 8 + 13) / (p - 1));
  g->frame_counter = 0;
  g->errors = 0;
  return status;
}
NTSTATUS FakeFree(PDEVICE_OBJECT, PVOID context) {
  g->calls.push_back("free");
  Iface()->AlternateSetting = 0;
  return USBCAMD_SelectAlternateInterface(context, Iface());
}
NTSTATUS FakeStart(PDEVICE_OBJECT, PVOID) {
  g->calls.push_back("start");
  return STATUS_SUCCESS;
}
NTSTATUS FakeStop(PDEVICE_OBJECT, PVOID) {
  g->calls.push_back("stop");
  return STATUS_SUCCESS;
}
NTSTATUS FakeSave(PDEVICE_OBJECT, PVOID) {
  g->calls.push_back("save");
  return STATUS_SUCCESS;
}
NTSTATUS FakeRestore(PDEVICE_OBJECT, PVOID) {
  g->calls.push_back("restore");
  return STATUS_SUCCESS;
}
VOID FakeNewFrame(PVOID, PVOID context) {
  // The library clears the frame context before each frame.
  EXPECT_EQ(std::memcmp(context, "\0\0\0\0", 4), 0);
}
// Frame start 0xFE completes the frame before it; continuations must be in
// order; the frame context records errors (upper half) and the count.
ULONG FakePacket(PDEVICE_OBJECT, PVOID, PVOID frame_context, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID,
                 PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data, PBOOLEAN complete, PULONG offset,
                 PBOOLEAN flag) {
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

class ClassLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    g = &driver_;
    ResetCameraDriver();
    ASSERT_EQ(USBCAMD_DriverEntry(&driver_object_, nullptr, 1688, 4, FakeReceive), STATUS_SUCCESS);
  }
  void TearDown() override {
    device_.reset();
    g = nullptr;
  }
  CameraDevice& Attach(std::shared_ptr<sim::SimCamera> camera = nullptr) {
    NTSTATUS status;
    device_ = CameraDevice::Attach({camera, &kFakeTable}, &status);
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
  static sim::SimPacket Packet(uint8_t first, uint32_t size, uint8_t fill, int32_t status = 0) {
    sim::SimPacket p;
    p.bytes.assign(size, fill);
    if (size) p.bytes[0] = first;
    p.status = status;
    return p;
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
  EXPECT_EQ(device.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(device.Remove(), STATUS_SUCCESS);  // once only
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize", "uninitialize"}));
  EXPECT_EQ(kernel_.pool().Live(kLibraryPoolTag).Blocks, before.Blocks);
}

TEST_F(ClassLibrary, FailedStepsStillKeepThePlatformOrder) {
  NTSTATUS status;
  driver_.initialize_status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(CameraDevice::Attach({nullptr, &kFakeTable}, &status), nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  // CamUnInitialize follows even a failed CamInitialize.
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize", "uninitialize"}));

  driver_.calls.clear();
  driver_.configure_status = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(CameraDevice::Attach({nullptr, &kFakeTable}, &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure"}));
  EXPECT_EQ(kernel_.pool().Live(kLibraryPoolTag).Blocks, 0u);

  // No registration: nothing to attach to.
  ResetCameraDriver();
  driver_.calls.clear();
  EXPECT_EQ(CameraDevice::Attach({nullptr, &kFakeTable}, &status), nullptr);
  EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(driver_.calls.empty());
  // A context that could not be allocated.
  ASSERT_EQ(USBCAMD_DriverEntry(&driver_object_, nullptr, 1688, 4, FakeReceive), STATUS_SUCCESS);
  kernel_.pool().FailNthAllocation(1);
  EXPECT_EQ(CameraDevice::Attach({nullptr, &kFakeTable}, &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(ClassLibrary, TheDriversTableFromTheRequestRoutineIsUsedWhenNoneIsGiven) {
  USBCAMD_DEVICE_DATA table = kFakeTable;
  EXPECT_EQ(USBCAMD_AdapterReceivePacket(nullptr, &table, nullptr, FALSE), nullptr);
  NTSTATUS status;
  device_ = CameraDevice::Attach({}, &status);
  ASSERT_NE(device_, nullptr);
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"configure", "initialize"}));
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

  device.RefuseAlternateSettings({5, 4});
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

  // A bus that gives nothing: the allocation fails and no capture starts.
  device.RefuseAlternateSettings({0, 1, 2, 3, 4, 5});
  EXPECT_EQ(device.StartCapture(g), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(device.Capturing());
  EXPECT_EQ(device.RawFrameLength(), 0u);
}

TEST_F(ClassLibrary, RandomRefusalsRepeatForTheSameSeed) {
  auto run = [&](uint64_t seed) {
    driver_.calls.clear();
    NTSTATUS status;
    auto device = CameraDevice::Attach({nullptr, &kFakeTable}, &status);
    driver_.device = device.get();
    device->RefuseAlternateSettingsRandomly(seed, 500000);
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
  device.DeliverPacket(Packet(0xFE, p, 0xAB));
  for (uint8_t s = 0; s < 6; ++s) device.DeliverPacket(Packet(s, p, 0xAB));
  device.DeliverPacket(Packet(0xFE, p, 0xCD));
  device.DeliverPacket(Packet(0, 10, 0xCD, 9));  // short: its unsent bytes arrive as zero
  device.DeliverPacket(Packet(0xFE, p, 0x00));
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
  device.DeliverPacket(Packet(0xFE, 1023, 0x77));
  for (uint8_t s = 0; s < 9; ++s) device.DeliverPacket(Packet(s, 1023, 0x77));
  device.DeliverPacket(Packet(0xFE, 1023, 0));
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

TEST_F(ClassLibrary, AnAbsurdRawFrameLengthIsRefusedAndTheBandwidthGivenBack) {
  CameraDevice& device = Attach();
  driver_.calls.clear();
  driver_.raw_length_override = 0xFFFFFFFFu;
  EXPECT_EQ(device.StartCapture(g), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(device.Capturing());
  EXPECT_EQ(driver_.calls, (std::vector<std::string>{"allocate", "free"}));
  EXPECT_EQ(device.AlternateSetting(), 0);
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
  device.DeliverPacket(Packet(0xFE, 1023, 0));
  EXPECT_EQ(device.Pump(2), 0u);
  EXPECT_EQ(device.Counters().PacketsDelivered, delivered);
}

TEST_F(ClassLibrary, LostPacketsMarkTheFrameTheyBelongTo) {
  auto camera = std::make_shared<sim::SimCamera>();
  camera->SetScene(sim::PhotoScene::Load(testing::TestDataPath("kodim05_176x144.png"), nullptr));
  CameraDevice& device = Attach(camera);
  RunCamera(*camera);
  device.RefuseAlternateSettings({5, 4, 3, 2});  // 128-byte packets: many per frame
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

}  // namespace
}  // namespace dualcam::host
