// The simulated camera on a bus of its own: the first UsbDevice. It gives
// the camera's descriptors (one vendor-specific interface whose alternate
// settings 0..5 carry 0, 128, 256, 512, 768 and 1023 bytes a packet on
// isochronous IN endpoint 0x81), passes vendor requests to the camera's
// firmware, answers the standard string requests itself, and makes the
// camera send one frame interval of packets each time it is stepped.
//
// The device descriptor carries vendor id 0x1209 and product id 0x0001: the
// pair pid.codes sets aside for test devices that are never shipped. They
// are ours to give to a device that exists only in software; a real camera's
// ids are its maker's, and nothing here assumes them.
//
// Hard part: being the same device whichever bus it is seen through. The
// class library steps it directly (tests on the virtual clock), and the
// emulated USB device behind umockdev serves usbdevfs requests from it
// (bus/emulated), so the refusals, the frame budget and the mapping of the
// firmware's answers to bus statuses live here, once.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "host/bus/descriptors.h"
#include "host/bus/usb_device.h"
#include "host/sim/random.h"
#include "host/sim/sim_camera.h"

namespace dualcam::host::bus {

inline constexpr uint16_t kSimVendorId = 0x1209;
inline constexpr uint16_t kSimProductId = 0x0001;
inline constexpr uint8_t kSimInterface = 0;
inline constexpr uint8_t kSimVideoEndpoint = 0x81;

// The simulated camera's descriptors.
std::vector<uint8_t> SimDeviceDescriptor();
std::vector<uint8_t> SimConfigurationDescriptor();

// How a packet of the simulated camera's stream arrives on a bus whose
// packets are `packet_size` bytes: the camera's short-packet status 9 is a
// short packet (kOk with fewer bytes), an error status is kError, and a
// packet cut short without that status (a length error on the wire) is
// kError too, carrying the bytes that came.
PacketStatus SimPacketStatus(const sim::SimPacket& packet, uint32_t packet_size);

class SimBus final : public UsbDevice {
 public:
  // A new default camera when null.
  explicit SimBus(std::shared_ptr<sim::SimCamera> camera = nullptr);

  sim::SimCamera& Camera() const { return *camera_; }
  const std::shared_ptr<sim::SimCamera>& CameraPtr() const { return camera_; }

  std::span<const uint8_t> DeviceDescriptor() const override { return device_descriptor_; }
  std::span<const uint8_t> ConfigurationDescriptor() const override { return configuration_; }
  std::string Name() const override { return "simulated camera"; }
  ControlResult Control(const ControlTransfer& transfer) override;
  Status SelectAlternateSetting(uint8_t interface, uint8_t setting) override;
  Status StartStream(uint8_t endpoint, uint32_t packet_size) override;
  void StopStream() override;
  bool Stepped() const override { return true; }
  bool WaitForPackets(std::chrono::steady_clock::time_point) override { return true; }
  void Interrupt() override {}
  Delivered Deliver(PacketSink& sink) override;
  bool Gone() const override;
  void SetGoneHandler(std::function<void()> handler) override;

  // --- The bus, scripted ---
  // Refuse these alternate settings (a bus short of bandwidth) until changed.
  void RefuseAlternateSettings(std::set<uint8_t> settings, Status status = Status::kNoBandwidth);
  // Refuse each selection of a setting above 0 with the given chance, seeded.
  void RefuseAlternateSettingsRandomly(uint64_t seed, uint32_t per_million, Status status = Status::kNoBandwidth);
  // The camera leaves the bus: the gone handler runs, and every later
  // request fails with kNoDevice.
  void Unplug();
  // Frame intervals the camera may still send; none is limited at first.
  // A camera out of intervals sends nothing until allowed more.
  void AllowFrames(uint64_t intervals);
  void LimitFrames(uint64_t intervals);
  void Unlimit();

  // --- The device side, for a bus that serves this device to others ---
  uint8_t AlternateSetting() const;
  uint32_t PacketSize() const;  // bytes a packet at the selected setting
  // The next frame interval's packets at the selected setting's size,
  // appended to `packets`. False (nothing appended) when the setting
  // carries nothing, the device is gone, or no interval is allowed.
  bool ProduceInterval(std::vector<sim::SimPacket>& packets, bool* frame_sent = nullptr);

 private:
  std::shared_ptr<sim::SimCamera> camera_;
  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_;

  mutable std::mutex mutex_;
  uint8_t alternate_ = 0;
  bool streaming_ = false;
  bool gone_ = false;
  std::function<void()> gone_handler_;
  std::set<uint8_t> refused_;
  Status refused_status_ = Status::kNoBandwidth;
  sim::SeededRandom refusal_random_;
  uint32_t refusal_chance_ = 0;
  Status random_refusal_status_ = Status::kNoBandwidth;
  std::optional<uint64_t> intervals_left_;
  std::vector<sim::SimPacket> packets_;  // reused from interval to interval
};

}  // namespace dualcam::host::bus
