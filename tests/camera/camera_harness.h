// A world for the camera-control tests: a deterministic host kernel (virtual
// clock, in-memory registry), a simulated camera on the default pipe and one
// zero-filled device record bound to it.
//
// Hard part: the vendor layer talks to the camera only through the class
// library, so the record must be registered with the host's library exactly
// as an attached camera would be, without running the driver's own device
// callbacks, which these tests do not exercise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "host/sim/sim_camera.h"

namespace dualcam::camera::testing {

class CameraHarness : public ::testing::Test {
 protected:
  CameraHarness();
  ~CameraHarness() override;

  void SetUp() override;
  void TearDown() override;

  driver::DeviceContext* Context() { return context_; }
  host::sim::SimCamera& Camera();

  // The camera's request log, one formatted line per request; cleared by
  // ClearRequests().
  std::vector<std::string> Requests() const;
  void ClearRequests();

  // Intervals (100 ns units, negative = relative) given to
  // KeDelayExecutionThread, in order; cleared by ClearDelays().
  std::vector<int64_t> Delays() const;
  void ClearDelays();
  // Virtual time since the world was made, in 100 ns units.
  int64_t Now() const;

  // The settings key in the host registry.
  void InstallSettingsKey();
  void RemoveSettingsKey();
  void SetDword(const std::u16string& name, uint32_t value);
  void SetString(const std::u16string& name, const std::u16string& text);
  void SetBinary(const std::u16string& name, const std::vector<uint8_t>& bytes);
  // The value as a REG_DWORD, or nothing when absent or of another type.
  std::optional<uint32_t> Dword(const std::u16string& name) const;
  // Names of every value in the settings key.
  std::vector<std::u16string> ValueNames() const;

 private:
  struct World;
  std::unique_ptr<World> world_;
  driver::DeviceContext* context_ = nullptr;
};

// Request lines as the simulated camera formats them, for readable expectations.
std::string Out(uint8_t request, uint16_t value, uint16_t index);
std::string RegisterWrite(uint16_t reg, uint16_t value);
std::string FirmwareWrite(uint16_t variable, uint16_t value);
std::string BusyRead(uint8_t byte);

}  // namespace dualcam::camera::testing
