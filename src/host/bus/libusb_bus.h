// A real USB camera through libusb-1.0: finding it, opening and claiming its
// streaming interface, vendor requests with timeouts, alternate settings,
// and the isochronous stream.
//
// Hard part: a stream that runs on libusb's thread while the class library
// reads on its own, and a device that may vanish at any moment. Each bus
// has its own libusb context and an event thread that completes transfers:
// a completion copies its packets into the preallocated ring (packet_ring.h)
// and resubmits the same transfer, so nothing is allocated by this code once
// the stream runs, and no minidriver callback ever runs on libusb's thread.
// Several transfers are kept in flight, sized from the selected setting's
// packet size. Stopping cancels them and waits, with a bound, for every
// callback to have seen its transfer come back (after an unplug some never
// do; those transfers are kept, never freed under a pending callback, until
// the event thread has stopped). Removal is seen three ways: libusb's
// hotplug notice, a transfer ending with LIBUSB_TRANSFER_NO_DEVICE, or any
// request answering LIBUSB_ERROR_NO_DEVICE; whichever comes first marks the
// bus gone, and every later request fails at once with kNoDevice.
//
// Opening detaches a kernel driver bound to the interface (re-attached at
// the end), claims the interface and selects alternate setting 0; closing
// selects 0 again, releases, re-attaches and closes.
//
// Thread safety: as UsbDevice says; Control from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/bus/descriptors.h"
#include "host/bus/packet_ring.h"
#include "host/bus/usb_device.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

namespace dualcam::host::bus {

// Which device to open, as the command line names it:
//   "usb"             the one camera on the bus
//   "usb:VVVV:PPPP"   vendor and product id in hex, as lsusb shows them
//   "usb:B-P[.P...]"  bus number and port path, as the kernel names the place
struct DeviceSelector {
  enum class Kind { kAny, kIds, kPlace } kind = Kind::kAny;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
};
// Null with *error set when the text is not one of those forms.
std::optional<DeviceSelector> ParseDeviceSelector(std::string_view text, std::string* error = nullptr);

// A device on the bus.
struct UsbCameraInfo {
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint8_t bus = 0;
  uint8_t address = 0;
  std::vector<uint8_t> ports;
  std::string manufacturer;  // the device's strings, when it could be asked
  std::string product;
  bool camera = false;       // has the camera's streaming interface
  std::string Place() const;  // "1-2.3"
  std::string Ids() const;    // "1209:0001"
};

class LibusbBus final : public UsbDevice {
 public:
  struct Options {
    unsigned transfers = 4;              // in flight at once
    unsigned packets_per_transfer = 32;  // a transfer covers 32 ms at full speed
    std::size_t ring_packets = 4096;     // about 20 frames of 352 x 288 at 1023 bytes a packet
  };
  struct Opened {
    std::shared_ptr<LibusbBus> device;  // null on failure
    Status status = Status::kOk;
    std::string message;  // on failure: what went wrong, with the system's reason
  };

  // Every device on the bus; `cameras_only` keeps those with the camera's
  // streaming interface. *error is set when libusb cannot start.
  static std::vector<UsbCameraInfo> List(bool cameras_only, std::string* error = nullptr);
  static Opened Open(const DeviceSelector& selector, const Options& options);
  static Opened Open(const DeviceSelector& selector) { return Open(selector, Options{}); }
  ~LibusbBus() override;
  LibusbBus(const LibusbBus&) = delete;
  LibusbBus& operator=(const LibusbBus&) = delete;

  const UsbCameraInfo& Info() const { return info_; }

  std::span<const uint8_t> DeviceDescriptor() const override { return device_descriptor_; }
  std::span<const uint8_t> ConfigurationDescriptor() const override { return configuration_; }
  std::string Name() const override;
  ControlResult Control(const ControlTransfer& transfer) override;
  Status SelectAlternateSetting(uint8_t interface, uint8_t setting) override;
  Status StartStream(uint8_t endpoint, uint32_t packet_size) override;
  void StopStream() override;
  bool Stepped() const override { return false; }
  bool WaitForPackets(std::chrono::steady_clock::time_point deadline) override;
  void Interrupt() override;
  Delivered Deliver(PacketSink& sink) override;
  bool Gone() const override { return gone_.load(std::memory_order_acquire); }
  void SetGoneHandler(std::function<void()> handler) override;

  // Packets lost because the reading side fell behind.
  uint64_t PacketsDropped() const { return ring_.Dropped(); }

 private:
  struct Transfer;
  explicit LibusbBus(const Options& options);
  static void TransferDone(libusb_transfer* transfer);
  void Completed(Transfer& transfer);
  void MarkGone();
  void EventLoop();
  void FreeTransfers();

  Options options_;
  UsbCameraInfo info_;
  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_;
  uint8_t interface_ = 0;
  libusb_context* context_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
  libusb_device* device_ = nullptr;
  bool claimed_ = false;
  bool detached_driver_ = false;
  int hotplug_ = 0;
  bool has_hotplug_ = false;
  std::thread events_;
  std::atomic<bool> quit_{false};

  std::atomic<bool> gone_{false};
  std::mutex gone_mutex_;
  std::function<void()> gone_handler_;

  // The stream. Transfers are owned here; `in_flight_` counts those libusb
  // still holds (their callback has not yet retired them).
  std::mutex stream_mutex_;
  std::condition_variable retired_;
  std::vector<std::unique_ptr<Transfer>> transfers_;
  uint32_t packet_size_ = 0;
  unsigned in_flight_ = 0;
  bool streaming_ = false;
  bool stuck_ = false;  // a stop ran out of time: transfers kept until the end
  PacketRing ring_;
};

}  // namespace dualcam::host::bus
