// Reading and writing USB descriptors (see descriptors.h).
#include "host/bus/descriptors.h"

#include <algorithm>
#include <set>

namespace dualcam::host::bus {
namespace {

constexpr std::size_t kDeviceLength = 18;
constexpr std::size_t kConfigurationLength = 9;
constexpr std::size_t kInterfaceLength = 9;
constexpr std::size_t kEndpointLength = 7;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Push16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

uint32_t Endpoint::BytesPerInterval() const {
  const uint32_t size = max_packet_size & 0x7FF;
  // Bits 12..11 = 3 is reserved; read as the most a high-speed endpoint has.
  const uint32_t transactions = std::min<uint32_t>((max_packet_size >> 11) & 3, 2) + 1;
  return size * transactions;
}

std::optional<DeviceInfo> ParseDeviceDescriptor(std::span<const uint8_t> bytes) {
  if (bytes.size() < kDeviceLength || bytes[0] < kDeviceLength || bytes[1] != kDescriptorDevice) return std::nullopt;
  DeviceInfo d;
  d.bcd_usb = Le16(&bytes[2]);
  d.device_class = bytes[4];
  d.max_packet_size0 = bytes[7];
  d.vendor_id = Le16(&bytes[8]);
  d.product_id = Le16(&bytes[10]);
  d.bcd_device = Le16(&bytes[12]);
  d.manufacturer_string = bytes[14];
  d.product_string = bytes[15];
  d.serial_string = bytes[16];
  d.configurations = bytes[17];
  return d;
}

std::optional<Configuration> ParseConfiguration(std::span<const uint8_t> bytes) {
  if (bytes.size() < kConfigurationLength || bytes[0] < kConfigurationLength ||
      bytes[1] != kDescriptorConfiguration)
    return std::nullopt;
  Configuration config;
  config.value = bytes[5];
  config.attributes = bytes[7];
  config.max_power = bytes[8];
  const std::size_t total = std::min<std::size_t>(Le16(&bytes[2]), bytes.size());
  if (total < bytes[0]) return std::nullopt;
  std::size_t at = bytes[0];
  while (at < total) {
    // A descriptor is at least its two header bytes and lies wholly inside.
    if (total - at < 2) return std::nullopt;
    const std::size_t length = bytes[at];
    const uint8_t type = bytes[at + 1];
    if (length < 2 || length > total - at) return std::nullopt;
    const uint8_t* d = &bytes[at];
    if (type == kDescriptorInterface) {
      if (length < kInterfaceLength) return std::nullopt;
      InterfaceSetting setting;
      setting.number = d[2];
      setting.alternate = d[3];
      setting.interface_class = d[5];
      setting.interface_subclass = d[6];
      setting.interface_protocol = d[7];
      config.settings.push_back(std::move(setting));
    } else if (type == kDescriptorEndpoint) {
      if (length < kEndpointLength) return std::nullopt;
      // An endpoint before any interface belongs to none; it is skipped.
      if (!config.settings.empty())
        config.settings.back().endpoints.push_back({d[2], d[3], Le16(&d[4]), d[6]});
    } else if (type == kDescriptorConfiguration || type == kDescriptorDevice) {
      return std::nullopt;  // a second configuration inside the first
    }
    at += length;
  }
  return config;
}

const StreamingSetting* StreamingInterface::Setting(uint8_t alternate) const {
  for (const auto& s : settings)
    if (s.alternate == alternate) return &s;
  return nullptr;
}

std::optional<StreamingInterface> FindStreamingInterface(const Configuration& configuration) {
  std::set<uint8_t> numbers;
  for (const auto& s : configuration.settings) numbers.insert(s.number);
  for (uint8_t number : numbers) {
    StreamingInterface found;
    found.number = number;
    bool vendor = false;
    bool carries = false;
    for (const auto& s : configuration.settings) {
      if (s.number != number || found.Setting(s.alternate)) continue;  // the first of a repeated number counts
      StreamingSetting setting;
      setting.alternate = s.alternate;
      for (const Endpoint& e : s.endpoints) {
        if (setting.endpoint == 0 && e.In() && e.Isochronous() && (found.endpoint == 0 || e.address == found.endpoint)) {
          setting.endpoint = e.address;
          setting.interval = e.interval;
          setting.packet_size = e.BytesPerInterval();
        } else {
          setting.others.push_back(e);
        }
      }
      if (setting.endpoint != 0 && found.endpoint == 0) found.endpoint = setting.endpoint;
      if (s.alternate == 0) {
        found.interface_class = s.interface_class;
        found.interface_subclass = s.interface_subclass;
        found.interface_protocol = s.interface_protocol;
      }
      vendor = vendor || s.interface_class == kClassVendorSpecific;
      carries = carries || setting.packet_size > 0;
      found.pipes = std::max<uint32_t>(found.pipes, static_cast<uint32_t>(s.endpoints.size()));
      found.settings.push_back(std::move(setting));
    }
    const StreamingSetting* zero = found.Setting(0);
    if (!vendor || !carries || !zero || zero->packet_size != 0) continue;
    std::sort(found.settings.begin(), found.settings.end(),
              [](const StreamingSetting& a, const StreamingSetting& b) { return a.alternate < b.alternate; });
    return found;
  }
  return std::nullopt;
}

void AppendDeviceDescriptor(std::vector<uint8_t>& out, const DeviceInfo& d) {
  out.insert(out.end(), {static_cast<uint8_t>(kDeviceLength), kDescriptorDevice});
  Push16(out, d.bcd_usb);
  out.insert(out.end(), {d.device_class, 0, 0, d.max_packet_size0});
  Push16(out, d.vendor_id);
  Push16(out, d.product_id);
  Push16(out, d.bcd_device);
  out.insert(out.end(), {d.manufacturer_string, d.product_string, d.serial_string, d.configurations});
}

std::vector<uint8_t> BuildConfiguration(const Configuration& configuration) {
  std::vector<uint8_t> out;
  std::set<uint8_t> interfaces;
  for (const auto& s : configuration.settings) interfaces.insert(s.number);
  out.insert(out.end(), {static_cast<uint8_t>(kConfigurationLength), kDescriptorConfiguration, 0, 0,
                         static_cast<uint8_t>(interfaces.size()), configuration.value, 0, configuration.attributes,
                         configuration.max_power});
  for (const auto& s : configuration.settings) {
    out.insert(out.end(), {static_cast<uint8_t>(kInterfaceLength), kDescriptorInterface, s.number, s.alternate,
                           static_cast<uint8_t>(s.endpoints.size()), s.interface_class, s.interface_subclass,
                           s.interface_protocol, 0});
    for (const Endpoint& e : s.endpoints) {
      out.insert(out.end(), {static_cast<uint8_t>(kEndpointLength), kDescriptorEndpoint, e.address, e.attributes});
      Push16(out, e.max_packet_size);
      out.push_back(e.interval);
    }
  }
  const uint16_t total = static_cast<uint16_t>(std::min<std::size_t>(out.size(), 0xFFFF));
  out[2] = static_cast<uint8_t>(total);
  out[3] = static_cast<uint8_t>(total >> 8);
  return out;
}

}  // namespace dualcam::host::bus
