// The bus seam: what the camera class library needs of a USB device, and no
// more. Two implementations stand behind it: the simulated camera
// (bus/sim_bus.h), stepped frame by frame for tests, and a real device
// reached through libusb-1.0 (bus/libusb_bus.h).
//
// Hard part: one contract for a device that is stepped and one that streams
// on its own. The class library never waits inside its own lock: it asks
// WaitForPackets (which returns at once on a stepped bus) and only then,
// under its lock, has Deliver hand over what is there. A stepped bus makes
// the camera send one frame interval per Deliver; a live bus hands over the
// packets that arrived, in order, until the sink says it has enough, so the
// packets after that stay queued for the next call. The statuses here are
// the bus's own; turning them into the NTSTATUS and USBD values the
// minidriver expects is the class library's job, done in one place.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace dualcam::host::bus {

// How a request to the device ended.
enum class Status : uint8_t {
  kOk,
  kTimeout,      // the device did not answer in time
  kStall,        // the device refused the request (a STALL handshake)
  kError,        // the transfer failed on the wire (CRC, bit stuffing, no handshake)
  kNoDevice,     // the device has left the bus
  kNoBandwidth,  // the bus cannot give the setting's isochronous bandwidth
  kInvalid,      // no such interface, setting or endpoint; a malformed request
  kBusy,         // another program holds the device or its interface
  kAccess,       // the system refused access (permissions)
  kNotFound,     // no device matched
  kNoMemory,
};
std::string_view StatusName(Status status);

// One control transfer on the default pipe (USB 2.0 9.3). `request_type` is
// bmRequestType (its top bit the direction); `data` holds `length` bytes to
// send, or room for `length` bytes to receive; it may be null when length
// is 0.
struct ControlTransfer {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint8_t* data = nullptr;
  uint16_t length = 0;
  std::chrono::milliseconds timeout{1000};
  bool In() const { return (request_type & 0x80) != 0; }
};
// bmRequestType of a vendor request to the device (USB 2.0 9.3.1).
inline constexpr uint8_t kVendorDeviceOut = 0x40;
inline constexpr uint8_t kVendorDeviceIn = 0xC0;

struct ControlResult {
  Status status = Status::kOk;
  uint32_t transferred = 0;  // data-stage bytes moved; 0 on failure
};

// How one isochronous packet completed. A packet shorter than the stream's
// packet size is kOk (the device sent less); the length tells.
enum class PacketStatus : uint8_t {
  kOk,
  kError,     // CRC, bit stuffing, a length the device did not mean
  kOverflow,  // the device sent more than the packet size (babble)
  kStall,
  kMissed,    // the host lost it (too late, or no room to keep it)
  kNoDevice,
};

// Receives a stream's packets in the order they arrived.
class PacketSink {
 public:
  // `bytes` is what arrived (at most the stream's packet size). Returns
  // false to stop the delivery after this packet.
  virtual bool Packet(std::span<const uint8_t> bytes, PacketStatus status) = 0;

 protected:
  ~PacketSink() = default;
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Wire-format descriptors: the 18-byte device descriptor, and the active
  // configuration descriptor followed by all its interface, endpoint and
  // class descriptors (wTotalLength bytes). They do not change while the
  // device is open. Nothing in them is trusted.
  virtual std::span<const uint8_t> DeviceDescriptor() const = 0;
  virtual std::span<const uint8_t> ConfigurationDescriptor() const = 0;

  // Where the device is, for messages ("usb 1-2 (1209:0001)").
  virtual std::string Name() const = 0;

  // One control transfer; returns when it has ended or timed out. May be
  // called from any thread, also while the stream runs.
  virtual ControlResult Control(const ControlTransfer& transfer) = 0;

  // Selects an alternate setting of an interface (SET_INTERFACE). The
  // stream must be stopped. kNoBandwidth when the bus cannot carry it.
  virtual Status SelectAlternateSetting(uint8_t interface, uint8_t setting) = 0;

  // Starts receiving the isochronous IN endpoint of the selected setting in
  // packets of `packet_size` bytes (bytes per service interval), and stops
  // again. Starting may fail with kNoBandwidth (the bus reserves the
  // bandwidth only when transfers are submitted). Stopping drops whatever
  // was received and not yet delivered.
  virtual Status StartStream(uint8_t endpoint, uint32_t packet_size) = 0;
  virtual void StopStream() = 0;

  // True for a bus whose camera sends only when told (the simulated one).
  virtual bool Stepped() const = 0;
  // Live buses: waits until packets wait to be delivered, the device is
  // gone, Interrupt was called, or the deadline passed; true when packets
  // wait. A stepped bus returns true at once.
  virtual bool WaitForPackets(std::chrono::steady_clock::time_point deadline) = 0;
  // Wakes a WaitForPackets in progress (from any thread).
  virtual void Interrupt() = 0;

  struct Delivered {
    unsigned frames_sent = 0;  // stepped: 1 when the camera sent a frame
    unsigned packets = 0;
  };
  // Stepped: the camera sends one frame interval, delivered to the sink.
  // Live: the packets that arrived, until none is left or the sink stops.
  // Called from one thread at a time, never from inside a sink.
  virtual Delivered Deliver(PacketSink& sink) = 0;

  // The device has left the bus. The handler runs once, on whatever thread
  // noticed it (also at once when the device is gone already).
  virtual bool Gone() const = 0;
  virtual void SetGoneHandler(std::function<void()> handler) = 0;
};

}  // namespace dualcam::host::bus
