// Fuzz target: the class library facing a hostile USB device. The input
// plays the device: its configuration descriptor (the simulated camera's
// with bytes changed, or any bytes), its answers to control requests and
// alternate-setting selections, whether its stream starts, and its packets
// (any length, any status, any bytes, also more than the packet size); and
// a minidriver of the target's own asks for any setting and raw frame
// length, keeps any byte count from any payload offset and completes frames
// when the input says. Between them, the library is driven through attach,
// captures, pumping, reads, power changes, hostile selection records and
// vendor commands, and removal.
//
// Hard part: checking the library's promises rather than the minidriver's
// luck. The checks: the interface record given to CamConfigure has room for
// its pipes and puts an isochronous pipe first; each packet reaches the
// packet routine with Length at most the packet size, Status 0 only when
// full, 9 only when short, negative for a failed packet, and a zero slot
// after Length; each raw frame is within the buffer, its packet count
// within capacity / (P - 1), and zero from its end to the slack's end; no
// callback runs while another does; and no pool block outlives the input
// (ASan catches every byte read or written out of bounds).
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "host/bus/descriptors.h"
#include "host/bus/sim_bus.h"
#include "host/classlib/camera_class_library.h"
#include "pipeline/decoder/decoder.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

constexpr const char* kName = "usb_device";
constexpr unsigned kMaxSteps = 64;
constexpr unsigned kMaxPacketsPerStep = 400;

using host::bus::PacketStatus;
using host::bus::Status;

constexpr Status kStatuses[] = {Status::kOk,          Status::kOk,     Status::kTimeout, Status::kStall,
                                Status::kError,       Status::kNoDevice, Status::kNoBandwidth, Status::kInvalid,
                                Status::kBusy};
constexpr PacketStatus kPacketStatuses[] = {PacketStatus::kOk,    PacketStatus::kOk,       PacketStatus::kOk,
                                            PacketStatus::kError, PacketStatus::kOverflow, PacketStatus::kStall,
                                            PacketStatus::kMissed, PacketStatus::kNoDevice};

// The device the input plays. Stepped: each Deliver is one burst of packets
// the input describes.
class FuzzDevice final : public host::bus::UsbDevice {
 public:
  FuzzDevice(FuzzInput& in, std::vector<uint8_t> configuration) : in_(in), configuration_(std::move(configuration)) {
    descriptor_ = host::bus::SimDeviceDescriptor();
  }
  std::span<const uint8_t> DeviceDescriptor() const override { return descriptor_; }
  std::span<const uint8_t> ConfigurationDescriptor() const override { return configuration_; }
  std::string Name() const override { return "fuzz"; }
  host::bus::ControlResult Control(const host::bus::ControlTransfer& t) override {
    if (gone_) return {Status::kNoDevice, 0};
    const Status status = kStatuses[in_.Pick(std::size(kStatuses))];
    if (status != Status::kOk) return {status, 0};
    const uint16_t moved = static_cast<uint16_t>(std::min<unsigned>(in_.U16(), t.length));
    if (t.In() && t.data) {
      const auto bytes = in_.Take(moved);
      std::memset(t.data, 0, moved);
      if (!bytes.empty()) std::memcpy(t.data, bytes.data(), bytes.size());
    }
    return {Status::kOk, moved};
  }
  Status SelectAlternateSetting(uint8_t, uint8_t) override {
    return gone_ ? Status::kNoDevice : kStatuses[in_.Pick(std::size(kStatuses))];
  }
  Status StartStream(uint8_t, uint32_t packet_size) override {
    if (gone_) return Status::kNoDevice;
    const Status status = kStatuses[in_.Pick(std::size(kStatuses))];
    if (status == Status::kOk) packet_size_ = packet_size;
    return status;
  }
  void StopStream() override { packet_size_ = 0; }
  bool Stepped() const override { return true; }
  bool WaitForPackets(std::chrono::steady_clock::time_point) override { return true; }
  void Interrupt() override {}
  Delivered Deliver(host::bus::PacketSink& sink) override {
    Delivered delivered;
    if (gone_ || packet_size_ == 0) return delivered;
    const unsigned count = std::min<unsigned>(in_.U16() % 64 + 1, kMaxPacketsPerStep);
    for (unsigned i = 0; i < count && in_.Left() > 0; ++i) {
      const unsigned kind = in_.Pick(4);
      const std::size_t length =
          kind == 0 ? packet_size_ : std::min<std::size_t>(in_.U16() % (packet_size_ + 64 + 1), 4096);
      packet_.assign(length, 0);
      const auto bytes = in_.Take(std::min<std::size_t>(length, 32));
      if (!bytes.empty()) std::memcpy(packet_.data(), bytes.data(), bytes.size());
      // Often a frame start or the next continuation, so frames do form.
      if (length > 0 && kind != 3) packet_[0] = kind == 1 ? 0xFE : sequence_++;
      ++delivered.packets;
      if (!sink.Packet(packet_, kPacketStatuses[in_.Pick(std::size(kPacketStatuses))])) break;
    }
    delivered.frames_sent = 1;
    return delivered;
  }
  bool Gone() const override { return gone_; }
  void SetGoneHandler(std::function<void()> handler) override {
    handler_ = std::move(handler);
    if (gone_ && handler_) handler_();
  }
  void Unplug() {
    gone_ = true;
    if (handler_) handler_();
  }

 private:
  FuzzInput& in_;
  std::vector<uint8_t> descriptor_;
  std::vector<uint8_t> configuration_;
  std::vector<uint8_t> packet_;
  uint32_t packet_size_ = 0;
  uint8_t sequence_ = 0;
  bool gone_ = false;
  std::function<void()> handler_;
};

// The minidriver of the target: its choices come from the input too.
struct Minidriver {
  FuzzInput* in = nullptr;
  host::CameraDevice* device = nullptr;
  std::vector<uint8_t> interface_copy;
  int inside = 0;
};
Minidriver* g = nullptr;

struct Inside {
  Inside() { Check(g->inside++ == 0, kName, "two callbacks of the device ran at once"); }
  ~Inside() { --g->inside; }
};

PUSBD_INTERFACE_INFORMATION Copy() { return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(g->interface_copy.data()); }

NTSTATUS Configure(PDEVICE_OBJECT, PVOID, PUSBD_INTERFACE_INFORMATION iface, PUSB_CONFIGURATION_DESCRIPTOR,
                   PLONG data, PLONG sync) {
  Inside inside;
  Check(iface->NumberOfPipes >= 1 && iface->NumberOfPipes <= 32, kName, "an interface record without pipes");
  Check(iface->Length >= GET_USBD_INTERFACE_SIZE(iface->NumberOfPipes), kName, "an interface record too short");
  Check(iface->Pipes[0].PipeType == UsbdPipeTypeIsochronous, kName, "the first pipe is not the stream");
  Check(iface->AlternateSetting == 0, kName, "configured on a setting other than 0");
  g->interface_copy.assign(reinterpret_cast<uint8_t*>(iface), reinterpret_cast<uint8_t*>(iface) + iface->Length);
  *data = 0;
  *sync = -1;
  return g->in->Pick(8) == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}
NTSTATUS Initialize(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  return g->in->Pick(8) == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}
NTSTATUS Plain(PDEVICE_OBJECT, PVOID) {
  Inside inside;
  return STATUS_SUCCESS;
}
NTSTATUS Allocate(PDEVICE_OBJECT, PVOID context, PULONG raw, PVOID) {
  Inside inside;
  *raw = 0;
  Copy()->AlternateSetting = static_cast<UCHAR>(g->in->Pick(8));
  const NTSTATUS status = USBCAMD_SelectAlternateInterface(context, Copy());
  if (!NT_SUCCESS(status)) return status;
  const ULONG p = Copy()->Pipes[0].MaximumPacketSize;
  switch (g->in->Pick(4)) {
    case 0: *raw = 0; break;
    case 1: *raw = g->in->U32(); break;
    default: *raw = p > 1 ? p * ((p + 38016 + 13) / (p - 1)) : g->in->U16(); break;
  }
  return status;
}
NTSTATUS Free(PDEVICE_OBJECT, PVOID context) {
  Inside inside;
  Copy()->AlternateSetting = 0;
  return USBCAMD_SelectAlternateInterface(context, Copy());
}
VOID NewFrame(PVOID, PVOID) { Inside inside; }
ULONG Packet(PDEVICE_OBJECT, PVOID, PVOID frame_context, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID,
             PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data, PBOOLEAN complete, PULONG offset, PBOOLEAN flag) {
  Inside inside;
  const ULONG p = g->device->MaxPacketSize();
  Check(packet->Offset == 0, kName, "a packet not at its slot's start");
  Check(packet->Length <= p, kName, "a packet longer than the packet size");
  if (packet->Status == 0) Check(packet->Length == p, kName, "status 0 on a short packet");
  if (packet->Status == 9) Check(packet->Length < p, kName, "status 9 on a full packet");
  Check(packet->Status == 0 || packet->Status == 9 || packet->Status < 0, kName, "an unknown packet status");
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (ULONG i = packet->Length; i < p; ++i) Check(bytes[i] == 0, kName, "stale bytes after a packet's end");
  std::memset(frame_context, 0x5A, 4);
  *complete = g->in->Pick(6) == 0 || (packet->Length > 0 && bytes[0] == 0xFE);
  *offset = g->in->Pick(4) == 0 ? g->in->U16() : 1;
  *flag = 0;
  switch (g->in->Pick(4)) {
    case 0: return 0;
    case 1: return g->in->U32();
    default: return p > 0 ? p - 1 : 0;
  }
}
NTSTATUS RawFrame(PDEVICE_OBJECT, PVOID, PVOID, PVOID buffer, ULONG length, PVOID raw, ULONG raw_length,
                  ULONG packets, PULONG returned) {
  Inside inside;
  const ULONG capacity = g->device->RawFrameLength();
  const ULONG p = g->device->MaxPacketSize();
  Check(raw_length <= capacity, kName, "a raw frame longer than its buffer");
  if (p > 1) Check(static_cast<uint64_t>(packets) * (p - 1) <= capacity, kName, "a packet count past the buffer");
  const auto* bytes = static_cast<const uint8_t*>(raw);
  for (ULONG i = raw_length; i < capacity + decoder::kRawFrameSlack; ++i)
    Check(bytes[i] == 0, kName, "stale bytes after a raw frame");
  if (length) std::memset(buffer, 0x42, length);
  *returned = g->in->Pick(4) == 0 ? g->in->U32() : length;
  return STATUS_SUCCESS;
}

constexpr USBCAMD_DEVICE_DATA kTable = {0,    Initialize, Plain,     Packet, NewFrame, RawFrame, Plain,
                                        Plain, Configure,  Plain,     Plain,  Allocate, Free};

std::vector<uint8_t> Configuration(FuzzInput& in) {
  if (in.Flag()) {
    const auto bytes = in.Take(in.U16() % 512);
    return {bytes.begin(), bytes.end()};
  }
  // The simulated camera's, with a few bytes changed.
  std::vector<uint8_t> config = host::bus::SimConfigurationDescriptor();
  for (unsigned changes = in.Pick(4); changes > 0; --changes) {
    const std::size_t at = in.U16() % config.size();
    config[at] = in.U8();
  }
  return config;
}

}  // namespace

int FuzzUsbDevice(const uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  const host::PoolUsage before = world.PoolNow();
  FuzzInput in(data, size);
  Minidriver driver;
  driver.in = &in;
  g = &driver;
  {
    auto device = std::make_shared<FuzzDevice>(in, Configuration(in));
    host::CameraDevice::Options options;
    options.Bus = device;
    options.DeviceData = &kTable;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<host::CameraDevice> camera = host::CameraDevice::Create(options, &status);
    Check(camera != nullptr, kName, "no device record");
    driver.device = camera.get();
    if (NT_SUCCESS(camera->Initialize())) {
      std::vector<std::vector<uint8_t>> buffers;
      int format = 0;  // the minidriver does not read it
      for (unsigned step = 0; step < kMaxSteps && in.Left() > 0; ++step) {
        switch (in.Pick(10)) {
          case 0: camera->StartCapture(&format); break;
          case 1: camera->StopCapture(); break;
          case 2:
          case 3: camera->Pump(in.Pick(3) + 1); break;
          case 4:
            if (buffers.size() < 16) {
              buffers.emplace_back(in.U16() % 8192);
              camera->QueueRead(buffers.back(), nullptr);
            }
            break;
          case 5: camera->CancelReads(); break;
          case 6: in.Flag() ? camera->SaveState() : camera->RestoreState(); break;
          case 7: {
            // A selection record that lies about its size or pipes.
            std::vector<uint8_t> record(in.U16() % 256 + sizeof(USBD_INTERFACE_INFORMATION), 0);
            auto* iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record.data());
            iface->Length = in.U16();
            iface->NumberOfPipes = in.U8();
            iface->InterfaceNumber = in.Pick(2) == 0 ? in.U8() : 0;
            iface->AlternateSetting = in.U8();
            if (GET_USBD_INTERFACE_SIZE(iface->NumberOfPipes) <= record.size())
              USBCAMD_SelectAlternateInterface(camera->DeviceContext(), iface);
            break;
          }
          case 8: {
            std::vector<uint8_t> reply(in.U16() % 64);
            ULONG length = in.Pick(8) == 0 ? in.U32() : static_cast<ULONG>(reply.size());
            if (length > reply.size()) reply.resize(std::min<ULONG>(length, 0x20000));
            USBCAMD_ControlVendorCommand(camera->DeviceContext(), in.U8(), in.U16(), in.U16(), reply.data(),
                                         &length, in.Flag(), nullptr, nullptr);
            Check(length <= reply.size(), kName, "a vendor command moved more bytes than asked");
            break;
          }
          case 9:
            if (in.Flag()) device->Unplug(); else camera->Unplug();
            break;
        }
      }
    }
    camera->Remove();
    camera.reset();
  }
  g = nullptr;
  CheckPoolBalanced(before, kName);
  return 0;
}

}  // namespace dualcam::fuzz
