// A device world for the button tests: a host kernel (deterministic or
// real), a simulated camera attached through the host's camera class
// library, and a callback table whose packet routine is the driver's own.
//
// Hard part: the bring-up and capture callbacks are small stand-ins that
// give the DeviceContext what the button poll and still collection read
// (the pool copy of the interface, StillBuffer, the work item, the raw mode
// and the still and mailbox resets of a capture start) and program the
// camera the way a capture start does, so the poll runs against the same
// calls as in service. Teardown stops the poll the way removal does
// (DriverStatus 8, then waiting out the cycle) before the record goes away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/device_context.h"
#include "host/kernel/host_kernel.h"
#include "host/sim/sim_camera.h"
#include "host/classlib/camera_class_library.h"
#include "support/sim_device.h"

namespace dualcam::button::testing {

struct WorldOptions {
  // Deterministic: virtual clock and stepped work queue. Otherwise the real
  // clock and a worker thread, with the registry in RegistryFile.
  bool Deterministic = true;
  std::filesystem::path RegistryFile;
  std::filesystem::path FileRoot;
  // Create "\SystemRoot\twain_32\Orvantic\Mv7730" under the file root.
  bool CreateSnapshotFolder = true;
  // The driver's own callback table (device bring-up, capture set-up and
  // the frame routine) instead of the stand-ins.
  bool RealDriver = false;
  host::sim::SimCameraOptions Camera{};
};

class ButtonWorld {
 public:
  explicit ButtonWorld(WorldOptions options = {});
  ~ButtonWorld();
  ButtonWorld(const ButtonWorld&) = delete;
  ButtonWorld& operator=(const ButtonWorld&) = delete;

  host::HostKernel& Kernel() { return *kernel_; }
  driver::DeviceContext* Context();
  host::CameraDevice& Device() { return *device_; }
  host::sim::SimCamera& Camera() { return dualcam::testing::SimCameraOf(*device_); }

  // Capture at 320 x 240 RGB on the largest alternate setting the bus
  // takes: resets the still flags and the mailbox as capture set-up does,
  // starts the camera's video and sets DriverStatus 5 (a stream is open).
  NTSTATUS StartCapture();
  // Stepped queue: runs one waiting poll cycle; false when none waited.
  bool RunCycle();
  // Sets DriverStatus 8 and waits until no cycle is waiting or running.
  void StopPoll();

  // REG_DWORD values of the settings key.
  std::optional<uint32_t> Value(std::string_view name);
  void SetValue(std::string_view name, uint32_t value);

  std::filesystem::path SnapshotFolder() const;
  std::filesystem::path SnapshotPath() const;
  std::vector<uint8_t> SnapshotBytes() const;

  // The camera's request lines since the last call.
  std::vector<std::string> TakeRequests();

 private:
  std::unique_ptr<host::HostKernel> kernel_;
  std::unique_ptr<host::ScopedKernel> scope_;
  DRIVER_OBJECT driver_object_{};
  std::unique_ptr<host::CameraDevice> device_;
  bool real_driver_ = false;
};

// Request lines as FormatRecord writes them, for the requests the poll sends.
inline constexpr std::string_view kButtonReadLine = "in 05 v=0000 i=0001 n=1";
inline constexpr std::string_view kStillTriggerLine = "out 05 v=0002 i=0001";
// Lines starting with `prefix`.
std::size_t CountLines(const std::vector<std::string>& lines, std::string_view prefix);

}  // namespace dualcam::button::testing
