// Captures through the real libusb against the emulated camera, next to the
// same captures in-process, for tests that compare the two.
//
// Hard part: the emulated camera streams on its own, so a comparison holds
// only if it sends exactly the frames the in-process camera sends. Runs on
// the libusb side therefore grant the camera its frames (a budget) just
// before each read, as many as the in-process pump would make it send: one
// a picture, and one more before the first (a frame is complete only when
// the next one starts).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/bus/emulated/usb_emulation.h"
#include "host/bus/libusb_bus.h"
#include "host/classlib/capture_app.h"
#include "host/kernel/host_kernel.h"

namespace dualcam::usb::testing {

// The process's test bed, made once (umockdev's worker thread does not like
// to be torn down while libusb's threads of a finished test still wind up).
host::bus::emulated::EmulatedUsb& Testbed();

// What a capture delivered and what the camera was asked meanwhile.
struct CaptureRun {
  NTSTATUS attach = STATUS_PENDING;
  NTSTATUS open = STATUS_PENDING;
  std::vector<NTSTATUS> statuses;
  std::vector<std::vector<uint8_t>> pictures;  // the used bytes of each
  std::vector<std::string> requests;           // the camera's request log
  std::vector<host::CameraDevice::Selection> selections;
};

struct CapturePlan {
  DWORD compression = 0;
  LONG width = 176;
  LONG height = 144;
  std::vector<unsigned> reads = {3};  // pictures per Read call
};

// A deterministic world (virtual clock, stepped work queue, in-memory
// registry) with the driver loaded.
class DriverWorld {
 public:
  DriverWorld();
  ~DriverWorld();
  host::HostKernel& Kernel() { return kernel_; }
  host::CaptureDriver& Driver() { return *driver_; }

 private:
  host::HostKernel kernel_{host::HostOptions::ForTests()};
  host::ScopedKernel scope_{kernel_};
  std::unique_ptr<host::CaptureDriver> driver_;
};

// The capture in-process, the camera stepped by the reads; `script` sees
// the camera's bus first (refusals).
CaptureRun CaptureInProcess(std::shared_ptr<host::sim::SimCamera> camera, const CapturePlan& plan,
                            std::function<void(host::bus::SimBus&)> script = nullptr);
// The same capture through libusb with the camera behind the emulated bus;
// the camera sends only the frames each read needs.
CaptureRun CaptureThroughLibusb(std::shared_ptr<host::sim::SimCamera> camera, const CapturePlan& plan,
                                std::function<void(host::bus::SimBus&)> script = nullptr);

// Opens the camera at that place with libusb; fails the test when it cannot.
std::shared_ptr<host::bus::LibusbBus> OpenAt(const host::bus::emulated::EmulatedCamera& camera);

}  // namespace dualcam::usb::testing
