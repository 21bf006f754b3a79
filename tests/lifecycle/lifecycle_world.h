// A world for the device lifecycle and capture tests: a deterministic host
// kernel (virtual clock, in-memory registry, stepped work queue, pool
// accounting) with the settings key installed and the driver registered with
// the host's camera class library, whose simulated cameras are attached with
// the driver's own callback table.
//
// Hard part: the button work item that CamInitialize queues holds a pointer
// to the device record; the stepped queue never runs it by itself, and the
// world discards it before any record is freed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "host/kernel/host_kernel.h"
#include "host/classlib/camera_class_library.h"
#include "host/sim/sim_camera.h"
#include "platform/ks.h"

namespace dualcam::lifecycle::testing {

class LifecycleWorld : public ::testing::Test {
 protected:
  LifecycleWorld();
  ~LifecycleWorld() override;

  host::HostKernel& Kernel() { return kernel_; }

  // Attaches a camera (CamConfigure, CamInitialize). The device is kept by
  // the world, removed at the end if the test did not; null on failure.
  host::CameraDevice* Attach(NTSTATUS* status = nullptr, host::sim::SimCameraOptions options = {});
  // Removal as the request routine does it: CamUnInitialize, then the names.
  void Remove(host::CameraDevice* device);

  static driver::DeviceContext* Ctx(host::CameraDevice* device);

  void SetDword(const std::string& name, uint32_t value);
  std::optional<uint32_t> Dword(const std::string& name);
  // Writes every setting so that loading them asks nothing of the camera.
  void SeedSettings(uint32_t autoExposure = 1, uint32_t autoWhiteBalance = 1);

  // Live pool use under the driver's tag, the kernel's string tag and in all.
  host::PoolUsage DriverPool() { return kernel_.pool().Live(0x206D6457); }
  host::PoolUsage StringPool() { return kernel_.pool().Live(host::kStringPoolTag); }

 private:
  host::HostKernel kernel_{host::HostOptions::ForTests()};
  host::ScopedKernel installed_{kernel_};
  std::vector<std::unique_ptr<host::CameraDevice>> devices_;
};

// The negotiated format handed to CamAllocateBandwidth.
KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(LONG width, LONG height, DWORD compression = 0);

// Request lines as the simulated camera formats them.
std::string Out(uint8_t request, uint16_t value, uint16_t index);
std::string FirmwareRead(uint16_t variable, uint16_t value);
std::string BusyRead(uint8_t byte);

}  // namespace dualcam::lifecycle::testing
