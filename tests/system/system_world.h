// The whole system in one test world: a deterministic host kernel with the
// settings key installed, the driver loaded through the host stream class,
// and simulated cameras attached through the capture-application API.
//
// Hard part: measuring pictures across three output layouts. RGB24 is read
// as bottom-up B, G, R; I420 by its planes; a VQJ9 sample carries the
// camera's own compressed frame, so its picture is the sensor picture of the
// camera frame whose bytes it passes through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "host/classlib/capture_app.h"
#include "host/kernel/host_kernel.h"

namespace dualcam::system::testing {

inline constexpr DWORD kRgb24 = 0;
inline constexpr DWORD kI420 = 0x30323449;
inline constexpr DWORD kVqj9 = 0x394A5156;

class SystemWorld : public ::testing::Test {
 protected:
  SystemWorld();
  ~SystemWorld() override;

  host::HostKernel& Kernel() { return kernel_; }
  host::CaptureDriver& Driver() { return *driver_; }

  // Attaches a camera and checks that it came up.
  std::unique_ptr<host::CaptureCamera> Attach(host::sim::SimCameraOptions options = {});

  void SetDword(const std::string& name, uint32_t value);
  std::optional<uint32_t> Dword(const std::string& name);
  void DeleteValue(const std::string& name);
  std::filesystem::path SnapshotFolder();

  static driver::DeviceContext* Ctx(host::CaptureCamera& camera);

  // The announced format of this compression and size, as opened.
  static KS_DATAFORMAT_VIDEOINFOHEADER Format(host::CaptureCamera& camera, DWORD compression, LONG width,
                                              LONG height);

 private:
  host::HostKernel kernel_{host::HostOptions::ForTests()};
  host::ScopedKernel installed_{kernel_};
  std::unique_ptr<host::CaptureDriver> driver_;
};

// Mean luma, luma spread and red-minus-blue balance of a picture.
struct PictureStats {
  double Luma = 0;
  double Spread = 0;      // standard deviation of luma
  double RedMinusBlue = 0;  // RGB: mean R - mean B; YUV: mean V - mean U
};

// Measures a delivered picture of the format; for VQJ9 the sensor picture
// of the camera frame it carries (nullopt when no camera frame matches).
std::optional<PictureStats> Measure(std::span<const uint8_t> picture, DWORD compression, int width, int height,
                                    host::sim::SimCamera& camera);

}  // namespace dualcam::system::testing
