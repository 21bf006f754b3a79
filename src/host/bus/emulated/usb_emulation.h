// The simulated camera below libusb: a umockdev test bed whose USB device
// node is answered, ioctl by ioctl, from the simulated camera's firmware
// (bus::SimBus), so that the real libusb path (enumeration from sysfs,
// usbdevfs claims, settings, control and isochronous URBs, removal) runs
// unchanged against a camera that exists only in software.
//
// Processes that open the node must run with umockdev's preload library
// (umockdev-wrapper, or LD_PRELOAD=libumockdev-preload.so.0) and see
// UMOCKDEV_DIR, which creating the test bed sets in this process's
// environment; the ioctls then arrive here, on umockdev's worker thread,
// from this process or from any child started under the preload.
//
// Hard part: being usbdevfs closely enough for libusb. A URB's
// isochronous packet descriptors lie inline after it, so the URB is read
// twice: once to learn the packet count, then whole; packets are filled each
// at its own offset. A reaped URB is handed back as the client's own
// pointer. Nothing here may block umockdev's thread for long: a reap with
// nothing ready waits at most a millisecond before EAGAIN, which also keeps
// libusb from spinning on the ever-writable emulated node while a URB waits
// for frames. A control request the firmware times out is never answered
// and waits for libusb's discard, as on a wire. Leaving the bus ends every
// URB in flight with ESHUTDOWN, fails later requests with ENODEV and sends
// the "remove" uevent.
//
// Frames. The camera sends a frame interval whenever an isochronous URB
// needs packets and the device allows one: without limit (benchmarks), at
// a frame rate (the script that runs commands against it), or within a
// budget that a test grants (SimBus::LimitFrames / AllowFrames here), so
// that a capture through libusb sees exactly the frames the in-process path
// does. A URB is completed as soon as it holds at least one packet; its
// other slots carry nothing (zero-length packets, as a camera with nothing
// to send gives).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/bus/sim_bus.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace dualcam::host::bus::emulated {

class EmulatedCamera {
 public:
  struct Options {
    uint8_t port = 0;                 // on bus 1 (usb 1-<port>); 0: the next from 2 on
    double frames_per_second = 0;     // 0: as fast as URBs ask for them
    std::string kernel_driver;        // a driver bound to the interface, or none
  };
  struct Stats {
    uint64_t urbs_submitted = 0;
    uint64_t urbs_reaped = 0;
    uint64_t urbs_discarded = 0;
    uint64_t iso_packets = 0;       // filled with a packet of the camera's
    uint64_t frames = 0;            // frame intervals the camera sent
    uint64_t refused_claims = 0;    // claims of an interface another client held
    unsigned clients = 0;           // open file descriptors now
    bool driver_bound = false;      // the kernel driver, if any, is bound now
  };

  EmulatedCamera(const EmulatedCamera&) = delete;
  EmulatedCamera& operator=(const EmulatedCamera&) = delete;
  ~EmulatedCamera();

  SimBus& Device() { return *device_; }
  sim::SimCamera& Camera() { return device_->Camera(); }
  const std::string& DeviceNode() const { return devnode_; }  // /dev/bus/usb/001/00N
  const std::string& SysPath() const { return syspath_; }
  std::string Place() const;  // "1-2"

  // Lets the camera send `frames` more frame intervals, when limited.
  void AllowFrames(uint64_t frames);
  Stats GetStats() const;

 private:
  friend class EmulatedUsb;
  struct Urb {
    UMockdevIoctlData* data = nullptr;  // the URB as resolved, its buffer a child
    unsigned long client_addr = 0;
    bool iso = false;
  };
  struct Client {
    std::deque<Urb> waiting;  // submitted, not yet complete
    std::deque<Urb> done;     // complete, not yet reaped
  };

  EmulatedCamera(UMockdevTestbed* testbed, std::shared_ptr<SimBus> device, const Options& options, unsigned number);
  static int HandleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static void ClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  bool Handle(UMockdevIoctlClient* client);
  void Submit(UMockdevIoctlClient* client);
  void Reap(UMockdevIoctlClient* client);
  void Discard(UMockdevIoctlClient* client);
  void RunControlLocked(Urb& urb, Client& owner);
  // Completes waiting isochronous URBs of `owner` from the camera's packets.
  void FillLocked(Client& owner);
  bool ProduceLocked();
  void Unplug();

  UMockdevTestbed* testbed_;
  bool unplugged_ = false;  // taken out of the test bed
  UMockdevIoctlBase* handler_ = nullptr;
  std::shared_ptr<SimBus> device_;
  Options options_;
  std::string devnode_;
  std::string syspath_;

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::map<UMockdevIoctlClient*, Client> clients_;
  std::map<unsigned, UMockdevIoctlClient*> claims_;
  bool gone_ = false;
  bool driver_bound_ = false;
  std::deque<sim::SimPacket> packets_;  // produced, not yet in a URB
  std::vector<sim::SimPacket> produced_;
  std::chrono::steady_clock::time_point next_frame_{};
  Stats stats_;
};

// The test bed: a private sysfs and /dev tree for this process and the
// children it starts under the preload.
class EmulatedUsb {
 public:
  EmulatedUsb();
  ~EmulatedUsb();
  EmulatedUsb(const EmulatedUsb&) = delete;
  EmulatedUsb& operator=(const EmulatedUsb&) = delete;

  // The folder UMOCKDEV_DIR names.
  std::string Root() const;
  // True in a process that runs with umockdev's preload library.
  static bool Preloaded();

  // A simulated camera plugged in at usb 1-<port> (a new default one when
  // null).
  EmulatedCamera& AddCamera(std::shared_ptr<SimBus> device = nullptr, EmulatedCamera::Options options = {});
  // The camera leaves the bus: its URBs end, the "remove" uevent goes out,
  // and its node and sysfs entry go.
  void Unplug(EmulatedCamera& camera);
  // Unplugs it (if still there) and forgets it.
  void Remove(EmulatedCamera& camera);

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::vector<std::unique_ptr<EmulatedCamera>> cameras_;
  unsigned added_ = 0;  // device numbers are never reused
};

}  // namespace dualcam::host::bus::emulated
