// USB descriptors as a device sends them (USB 2.0 9.6): reading a device
// descriptor and a configuration with its interfaces and endpoints, finding
// the camera's streaming interface in it, and writing descriptors back.
//
// Hard part: the bytes come from a device and are not trusted. Every
// descriptor's bLength is checked against the bytes that are there and
// against the least its type needs, wTotalLength against what arrived, and
// a descriptor that would run past the end makes the whole configuration
// unreadable rather than half-read. Class-specific descriptors between the
// standard ones are skipped by their length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace dualcam::host::bus {

inline constexpr uint8_t kDescriptorDevice = 0x01;
inline constexpr uint8_t kDescriptorConfiguration = 0x02;
inline constexpr uint8_t kDescriptorString = 0x03;
inline constexpr uint8_t kDescriptorInterface = 0x04;
inline constexpr uint8_t kDescriptorEndpoint = 0x05;
inline constexpr uint8_t kClassVendorSpecific = 0xFF;

struct DeviceInfo {
  uint16_t bcd_usb = 0;
  uint8_t device_class = 0;
  uint8_t max_packet_size0 = 0;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t bcd_device = 0;
  uint8_t manufacturer_string = 0;
  uint8_t product_string = 0;
  uint8_t serial_string = 0;
  uint8_t configurations = 0;
};
// Null unless the bytes open with a device descriptor of at least 18 bytes.
std::optional<DeviceInfo> ParseDeviceDescriptor(std::span<const uint8_t> bytes);

struct Endpoint {
  uint8_t address = 0;     // bit 7: IN
  uint8_t attributes = 0;  // bits 1..0: transfer type
  uint16_t max_packet_size = 0;  // as sent: bits 10..0 size, 12..11 extra transactions
  uint8_t interval = 0;
  bool In() const { return (address & 0x80) != 0; }
  bool Isochronous() const { return (attributes & 0x03) == 0x01; }
  // Bytes the endpoint moves per service interval: the size times one plus
  // the additional transactions (high-bandwidth endpoints, USB 2.0 9.6.6).
  uint32_t BytesPerInterval() const;
};

struct InterfaceSetting {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interface_class = 0;
  uint8_t interface_subclass = 0;
  uint8_t interface_protocol = 0;
  std::vector<Endpoint> endpoints;  // in descriptor order
};

struct Configuration {
  uint8_t value = 0;  // bConfigurationValue
  uint8_t attributes = 0;
  uint8_t max_power = 0;
  std::vector<InterfaceSetting> settings;  // every interface descriptor, in order
};

// The configuration descriptor and what follows it, wTotalLength bytes (or
// fewer when fewer arrived: then the descriptors that are whole are read).
// Null when the first descriptor is not a configuration, or a descriptor is
// shorter than its type needs or runs past the end.
std::optional<Configuration> ParseConfiguration(std::span<const uint8_t> bytes);

// The camera's streaming interface: vendor-specific class, alternate
// setting 0 carrying nothing, and at least one alternate setting with an
// isochronous IN endpoint that carries bytes.
struct StreamingSetting {
  uint8_t alternate = 0;
  uint8_t endpoint = 0;          // the isochronous IN endpoint; 0 when the setting has none
  uint8_t interval = 0;
  uint32_t packet_size = 0;      // bytes per interval; 0 carries nothing
  std::vector<Endpoint> others;  // the setting's other endpoints, in order
};
struct StreamingInterface {
  uint8_t number = 0;
  uint8_t interface_class = 0;
  uint8_t interface_subclass = 0;
  uint8_t interface_protocol = 0;
  uint8_t endpoint = 0;  // the streaming endpoint, as its settings name it
  std::vector<StreamingSetting> settings;  // by alternate number, each once
  // Pipes a record of this interface needs: the most endpoints any of its
  // settings has, at least one.
  uint32_t pipes = 1;
  const StreamingSetting* Setting(uint8_t alternate) const;
};
std::optional<StreamingInterface> FindStreamingInterface(const Configuration& configuration);

// Writing descriptors (the simulated camera's own, and a configuration
// that a USB library handed over already parsed).
void AppendDeviceDescriptor(std::vector<uint8_t>& out, const DeviceInfo& device);
// The configuration descriptor, with wTotalLength and bNumInterfaces counted
// from `settings`, then each setting with its endpoints. Class-specific
// descriptors are not carried: nothing in the camera's path reads them.
std::vector<uint8_t> BuildConfiguration(const Configuration& configuration);

}  // namespace dualcam::host::bus
