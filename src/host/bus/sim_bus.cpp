// The simulated camera as a UsbDevice (see sim_bus.h).
#include "host/bus/sim_bus.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace dualcam::host::bus {
namespace {

constexpr uint8_t kRequestGetDescriptor = 0x06;  // USB 2.0 9.4.3
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::string_view kManufacturer = "dualcam";
constexpr std::string_view kProduct = "Simulated dual-mode camera";

// The firmware answers in NTSTATUS terms; on the wire each failure is one of
// a handful of things.
Status FromFirmware(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return Status::kOk;
    case STATUS_UNSUCCESSFUL: return Status::kStall;
    case STATUS_IO_TIMEOUT: return Status::kTimeout;
    case STATUS_DEVICE_NOT_CONNECTED: return Status::kNoDevice;
    default: return Status::kError;
  }
}

std::vector<uint8_t> StringDescriptor(std::string_view text) {
  std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), kDescriptorString};
  for (char c : text) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  return out;
}

}  // namespace

std::vector<uint8_t> SimDeviceDescriptor() {
  DeviceInfo d;
  d.bcd_usb = 0x0110;  // full speed
  d.max_packet_size0 = 8;
  d.vendor_id = kSimVendorId;
  d.product_id = kSimProductId;
  d.bcd_device = 0x0100;
  d.manufacturer_string = 1;
  d.product_string = 2;
  d.configurations = 1;
  std::vector<uint8_t> out;
  AppendDeviceDescriptor(out, d);
  return out;
}

std::vector<uint8_t> SimConfigurationDescriptor() {
  Configuration config;
  config.value = 1;
  config.attributes = 0x80;  // bus powered
  config.max_power = 250;    // 500 mA
  for (const auto& alt : sim::kAlternateSettings) {
    InterfaceSetting setting;
    setting.number = kSimInterface;
    setting.alternate = alt.number;
    setting.interface_class = kClassVendorSpecific;
    setting.endpoints.push_back({kSimVideoEndpoint, 0x01 /* isochronous */, alt.max_packet_size, 1});
    config.settings.push_back(std::move(setting));
  }
  return BuildConfiguration(config);
}

PacketStatus SimPacketStatus(const sim::SimPacket& packet, uint32_t packet_size) {
  if (packet.status < 0) return PacketStatus::kError;
  if (packet.bytes.size() > packet_size) return PacketStatus::kOverflow;
  if (packet.bytes.size() < packet_size && packet.status != sim::kPacketStatusShort) return PacketStatus::kError;
  return PacketStatus::kOk;
}

SimBus::SimBus(std::shared_ptr<sim::SimCamera> camera)
    : camera_(camera ? std::move(camera) : std::make_shared<sim::SimCamera>()),
      device_descriptor_(SimDeviceDescriptor()),
      configuration_(SimConfigurationDescriptor()) {}

ControlResult SimBus::Control(const ControlTransfer& transfer) {
  if (Gone()) return {Status::kNoDevice, 0};
  const uint8_t type = transfer.request_type & 0x60;
  if (type == 0x00 && transfer.In() && transfer.request == kRequestGetDescriptor) {
    // Standard GET_DESCRIPTOR: device, configuration and the two strings.
    std::vector<uint8_t> reply;
    const uint8_t kind = static_cast<uint8_t>(transfer.value >> 8);
    const uint8_t index = static_cast<uint8_t>(transfer.value);
    if (kind == kDescriptorDevice) {
      reply = device_descriptor_;
    } else if (kind == kDescriptorConfiguration && index == 0) {
      reply = configuration_;
    } else if (kind == kDescriptorString && index == 0) {
      reply = {4, kDescriptorString, static_cast<uint8_t>(kLanguageEnglishUs), kLanguageEnglishUs >> 8};
    } else if (kind == kDescriptorString && (index == 1 || index == 2)) {
      reply = StringDescriptor(index == 1 ? kManufacturer : kProduct);
    } else {
      return {Status::kStall, 0};
    }
    const uint32_t n = std::min<uint32_t>(transfer.length, static_cast<uint32_t>(reply.size()));
    if (n && transfer.data) std::memcpy(transfer.data, reply.data(), n);
    return {Status::kOk, transfer.data ? n : 0};
  }
  if (type != 0x40 || (transfer.request_type & 0x1F) != 0) return {Status::kStall, 0};  // vendor, to the device
  uint32_t length = transfer.data ? transfer.length : 0;
  const NTSTATUS status =
      camera_->Control(transfer.In(), transfer.request, transfer.value, transfer.index, transfer.data, &length);
  const Status result = FromFirmware(status);
  return {result, result == Status::kOk ? length : 0};
}

Status SimBus::SelectAlternateSetting(uint8_t interface, uint8_t setting) {
  std::lock_guard lock(mutex_);
  if (gone_) return Status::kNoDevice;
  if (interface != kSimInterface || setting >= sim::kAlternateSettings.size()) return Status::kInvalid;
  if (streaming_) return Status::kBusy;
  if (refused_.count(setting)) return refused_status_;
  if (setting != 0 && refusal_random_.Chance(refusal_chance_)) return random_refusal_status_;
  alternate_ = setting;
  return Status::kOk;
}

Status SimBus::StartStream(uint8_t endpoint, uint32_t packet_size) {
  std::lock_guard lock(mutex_);
  if (gone_) return Status::kNoDevice;
  const uint32_t selected = sim::kAlternateSettings[alternate_].max_packet_size;
  if (endpoint != kSimVideoEndpoint || selected == 0 || packet_size != selected) return Status::kInvalid;
  streaming_ = true;
  return Status::kOk;
}

void SimBus::StopStream() {
  std::lock_guard lock(mutex_);
  streaming_ = false;
}

UsbDevice::Delivered SimBus::Deliver(PacketSink& sink) {
  Delivered delivered;
  {
    std::lock_guard lock(mutex_);
    if (!streaming_) return delivered;
  }
  packets_.clear();
  bool sent = false;
  if (!ProduceInterval(packets_, &sent)) return delivered;
  delivered.frames_sent = sent ? 1 : 0;
  const uint32_t size = PacketSize();
  for (const auto& packet : packets_) {
    ++delivered.packets;
    const auto bytes = std::span<const uint8_t>(packet.bytes).first(std::min<std::size_t>(packet.bytes.size(), size));
    if (!sink.Packet(bytes, SimPacketStatus(packet, size))) break;
  }
  return delivered;
}

bool SimBus::ProduceInterval(std::vector<sim::SimPacket>& packets, bool* frame_sent) {
  uint32_t size;
  {
    std::lock_guard lock(mutex_);
    size = sim::kAlternateSettings[alternate_].max_packet_size;
    if (gone_ || size == 0) return false;
    if (intervals_left_) {
      if (*intervals_left_ == 0) return false;
      --*intervals_left_;
    }
  }
  const uint32_t frame = camera_->ProduceFrame(size, packets);
  if (frame_sent) *frame_sent = frame != 0;
  return true;
}

bool SimBus::Gone() const {
  std::lock_guard lock(mutex_);
  return gone_;
}

void SimBus::SetGoneHandler(std::function<void()> handler) {
  bool now;
  {
    std::lock_guard lock(mutex_);
    gone_handler_ = handler;
    now = gone_;
  }
  if (now && handler) handler();
}

void SimBus::Unplug() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    if (gone_) return;
    gone_ = true;
    streaming_ = false;
    handler = gone_handler_;
  }
  if (handler) handler();
}

void SimBus::RefuseAlternateSettings(std::set<uint8_t> settings, Status status) {
  std::lock_guard lock(mutex_);
  refused_ = std::move(settings);
  refused_status_ = status;
}

void SimBus::RefuseAlternateSettingsRandomly(uint64_t seed, uint32_t per_million, Status status) {
  std::lock_guard lock(mutex_);
  refusal_random_ = sim::SeededRandom(seed);
  refusal_chance_ = per_million;
  random_refusal_status_ = status;
}

void SimBus::AllowFrames(uint64_t intervals) {
  std::lock_guard lock(mutex_);
  if (intervals_left_) *intervals_left_ += intervals;
}

void SimBus::LimitFrames(uint64_t intervals) {
  std::lock_guard lock(mutex_);
  intervals_left_ = intervals;
}

void SimBus::Unlimit() {
  std::lock_guard lock(mutex_);
  intervals_left_.reset();
}

uint8_t SimBus::AlternateSetting() const {
  std::lock_guard lock(mutex_);
  return alternate_;
}

uint32_t SimBus::PacketSize() const {
  std::lock_guard lock(mutex_);
  return sim::kAlternateSettings[alternate_].max_packet_size;
}

}  // namespace dualcam::host::bus
