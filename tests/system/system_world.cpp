// The system test world and picture measurements.
#include "system/system_world.h"

#include <cmath>
#include <cstring>
#include <filesystem>

#include "driver/entry.h"
#include "pipeline/render.h"

namespace dualcam::system::testing {
namespace {

std::string SettingsKey() { return std::string(host::kSettingsKeyPath); }

PictureStats PlanarStats(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int height) {
  PictureStats stats;
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  double sum = 0, squares = 0;
  for (std::size_t i = 0; i < pixels; ++i) {
    sum += y[i];
    squares += static_cast<double>(y[i]) * y[i];
  }
  stats.Luma = sum / pixels;
  stats.Spread = std::sqrt(std::max(0.0, squares / pixels - stats.Luma * stats.Luma));
  const std::size_t chroma = static_cast<std::size_t>(width / 2) * (height / 2);
  double us = 0, vs = 0;
  for (std::size_t i = 0; i < chroma; ++i) {
    us += u[i];
    vs += v[i];
  }
  stats.RedMinusBlue = (vs - us) / chroma;
  return stats;
}

}  // namespace

SystemWorld::SystemWorld() {
  host::InstallSettingsKey(kernel_.registry());
  // The imaging software's install step makes the snapshot folder.
  std::filesystem::create_directories(SnapshotFolder());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = host::CaptureDriver::Load(driver::DriverEntry, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
}

SystemWorld::~SystemWorld() = default;

std::unique_ptr<host::CaptureCamera> SystemWorld::Attach(host::sim::SimCameraOptions options) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto camera = driver_->Attach(std::make_shared<host::sim::SimCamera>(options), &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return camera;
}

std::filesystem::path SystemWorld::SnapshotFolder() {
  return kernel_.fileRoot() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730";
}

void SystemWorld::SetDword(const std::string& name, uint32_t value) {
  kernel_.registry().SetDword(SettingsKey(), name, value);
}

std::optional<uint32_t> SystemWorld::Dword(const std::string& name) {
  return kernel_.registry().GetDword(SettingsKey(), name);
}

void SystemWorld::DeleteValue(const std::string& name) { kernel_.registry().DeleteValue(SettingsKey(), name); }

driver::DeviceContext* SystemWorld::Ctx(host::CaptureCamera& camera) {
  return static_cast<driver::DeviceContext*>(camera.DeviceContext());
}

KS_DATAFORMAT_VIDEOINFOHEADER SystemWorld::Format(host::CaptureCamera& camera, DWORD compression, LONG width,
                                                  LONG height) {
  const host::StreamInfo info = camera.GetStreamInfo();
  const KS_DATARANGE_VIDEO* range = host::FindRange(info, compression, width, height);
  EXPECT_NE(range, nullptr) << width << "x" << height;
  return range ? host::FormatFromRange(*range) : KS_DATAFORMAT_VIDEOINFOHEADER{};
}

std::optional<PictureStats> Measure(std::span<const uint8_t> picture, DWORD compression, int width, int height,
                                    host::sim::SimCamera& camera) {
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  if (compression == kI420) {
    if (picture.size() < pixels * 3 / 2) return std::nullopt;
    return PlanarStats(picture.data(), picture.data() + pixels, picture.data() + pixels + pixels / 4, width, height);
  }
  if (compression == kRgb24) {
    if (picture.size() < pixels * 3) return std::nullopt;
    PictureStats stats;
    double sum = 0, squares = 0, red = 0, blue = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
      const double b = picture[3 * i], g = picture[3 * i + 1], r = picture[3 * i + 2];
      const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
      sum += luma;
      squares += luma * luma;
      red += r;
      blue += b;
    }
    stats.Luma = sum / pixels;
    stats.Spread = std::sqrt(std::max(0.0, squares / pixels - stats.Luma * stats.Luma));
    stats.RedMinusBlue = (red - blue) / pixels;
    return stats;
  }
  // VQJ9: the raw frame behind the pass-through header is the camera's own.
  if (picture.size() < pipeline::kPassThroughHeaderSize + pipeline::kRawHeaderSize) return std::nullopt;
  const std::span<const uint8_t> raw = picture.subspan(pipeline::kPassThroughHeaderSize);
  uint32_t length = 0;
  std::memcpy(&length, raw.data() + pipeline::kPassThroughRawLengthOffset, 4);
  for (const host::sim::FrameRecord& frame : camera.FrameHistory()) {
    if (frame.raw_frame.size() < pipeline::kRawHeaderSize || frame.raw_frame.size() > raw.size()) continue;
    if (std::memcmp(frame.raw_frame.data() + pipeline::kRawHeaderSize, raw.data() + pipeline::kRawHeaderSize,
                    std::min<std::size_t>(frame.raw_frame.size(), length) - pipeline::kRawHeaderSize) != 0)
      continue;
    const std::size_t p = static_cast<std::size_t>(frame.width) * frame.height;
    if (frame.picture.size() < p * 3 / 2) return std::nullopt;
    return PlanarStats(frame.picture.data(), frame.picture.data() + p, frame.picture.data() + p + p / 4,
                       frame.width, frame.height);
  }
  return std::nullopt;
}

}  // namespace dualcam::system::testing
