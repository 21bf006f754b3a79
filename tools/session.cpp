// The driver run and the control table (see session.h).
#include "session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "camera/properties.h"
#include "command.h"
#include "driver/entry.h"
#include "host/classlib/camera_class_library.h"

namespace dualcam::tools {
namespace {

std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

LONG DefaultOf(ULONG id) {
  for (const auto& range : camera::kVideoProcAmpRanges)
    if (range.Id == id) return static_cast<LONG>(range.Default);
  return 0;
}

LONG MaximumOf(ULONG id) {
  for (const auto& range : camera::kVideoProcAmpRanges)
    if (range.Id == id) return static_cast<LONG>(range.Maximum);
  return 0;
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace

const std::vector<ControlDef>& Controls() {
  static const std::vector<ControlDef> kControls = [] {
    const GUID* amp = &PROPSETID_VIDCAP_VIDEOPROCAMP;
    auto proc = [&](std::string_view name, ULONG id, bool has_auto, std::string_view meaning) {
      return ControlDef{name, amp, id, MaximumOf(id), DefaultOf(id), has_auto, meaning};
    };
    return std::vector<ControlDef>{
        proc("brightness", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, false, "added to the luminance; 128 is neutral"),
        proc("contrast", KSPROPERTY_VIDEOPROCAMP_CONTRAST, false, "luminance slope; 0 is neutral"),
        proc("hue", KSPROPERTY_VIDEOPROCAMP_HUE, false, "colour rotation in half degrees"),
        proc("saturation", KSPROPERTY_VIDEOPROCAMP_SATURATION, false, "colour strength; 40 is neutral"),
        proc("sharpness", KSPROPERTY_VIDEOPROCAMP_SHARPNESS, false, "detail enhancement; 2 is neutral"),
        proc("gamma", KSPROPERTY_VIDEOPROCAMP_GAMMA, false, "tone curve applied by the driver"),
        proc("white_balance", KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true, "colour temperature, or auto"),
        ControlDef{"exposure", &PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE,
                   static_cast<LONG>(camera::kExposureRange.Maximum),
                   static_cast<LONG>(camera::kExposureRange.Default), true, "sensor gain, or auto"},
    };
  }();
  return kControls;
}

const ControlDef& FindControl(std::string_view name) {
  const std::string folded = Fold(name);
  for (const ControlDef& control : Controls())
    if (control.name == folded || (folded == "whitebalance" && control.name == "white_balance")) return control;
  std::string names;
  for (const ControlDef& control : Controls()) names += (names.empty() ? "" : ", ") + std::string(control.name);
  UsageError("unknown control '" + std::string(name) + "' (controls: " + names + ")");
}

ControlSetting ParseControlSetting(std::string_view text) {
  const auto equals = text.find('=');
  if (equals == std::string_view::npos) UsageError("expected NAME=VALUE, got '" + std::string(text) + "'");
  const ControlDef& control = FindControl(text.substr(0, equals));
  const std::string_view value = text.substr(equals + 1);
  const std::string range =
      " (0.." + std::to_string(control.maximum) + (control.has_auto ? ", auto or default)" : " or default)");
  if (Fold(value) == "default") return {&control, std::nullopt, true};
  if (Fold(value) == "auto") {
    if (!control.has_auto) UsageError(std::string(control.name) + " has no automatic mode");
    return {&control, std::nullopt};
  }
  const std::string_view digits = value.substr(!value.empty() && (value[0] == '-' || value[0] == '+') ? 1 : 0);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
    UsageError("value '" + std::string(value) + "' for " + std::string(control.name) + " is not a number" + range);
  const auto number = ParseInt(value[0] == '+' ? value.substr(1) : value, 0, control.maximum);
  if (!number) UsageError("value '" + std::string(value) + "' out of range for " + std::string(control.name) + range);
  return {&control, *number};
}

void DriverSession::Start(const DataHome& home, bool realtime) {
  host::HostOptions options = host::HostOptions::ForRealRun(home.RegistryFile(), home.FileRoot());
  options.Deterministic = !realtime;
  try {
    kernel_ = std::make_unique<host::HostKernel>(options);
  } catch (const std::exception& error) {
    UsageError(std::string("cannot set up the host: ") + error.what());
  }
  scope_ = std::make_unique<host::ScopedKernel>(*kernel_);
  // One registration per process; a second session in the same process
  // (tests) starts from scratch.
  host::ResetCameraDriver();
  NTSTATUS status = STATUS_SUCCESS;
  driver_ = host::CaptureDriver::Load(&driver::DriverEntry, &status);
  if (!driver_) UsageError("the driver did not load (status " + Hex(status) + ")");
}

DriverSession::DriverSession(const DataHome& home, bool realtime, std::shared_ptr<host::sim::SimCamera> camera) {
  Start(home, realtime);
  NTSTATUS status = STATUS_SUCCESS;
  camera_ = driver_->Attach(camera ? std::move(camera) : std::make_shared<host::sim::SimCamera>(), &status);
  if (!camera_) UsageError("the camera did not come up (status " + Hex(status) + ")");
}

DriverSession::DriverSession(const DataHome& home, bool realtime, std::shared_ptr<host::bus::UsbDevice> device) {
  Start(home, realtime);
  const std::string name = device->Name();
  host::CameraDevice::Options options;
  options.Bus = std::move(device);
  NTSTATUS status = STATUS_SUCCESS;
  camera_ = driver_->AttachDevice(std::move(options), &status);
  if (!camera_)
    UsageError("the camera " + name + " did not come up (status " + Hex(status) + ")" +
               (status == STATUS_DEVICE_DATA_ERROR ? ": it has no interface the driver streams from" : ""));
}

DriverSession::~DriverSession() { Close(); }

void DriverSession::Close() {
  if (camera_) {
    camera_->Uninitialize();
    camera_.reset();
  }
}

void DriverSession::Apply(const ControlSetting& setting) {
  const ControlDef& control = *setting.control;
  auto set = [&](LONG value, ULONG flags) {
    const NTSTATUS status = camera_->SetControl(*control.set, control.id, value, flags);
    if (status != STATUS_SUCCESS)
      UsageError("the driver refused " + std::string(control.name) + " (status " + Hex(status) + ")");
  };
  if (setting.restore_default) {
    set(control.default_value, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    if (control.has_auto) set(control.default_value, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO);
  } else if (!setting.value) {
    set(Read(control).value, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO);  // automatic mode keeps the current value
  } else {
    set(*setting.value, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
  }
}

DriverSession::Reading DriverSession::Read(const ControlDef& control) {
  Reading reading;
  ULONG flags = 0;
  const NTSTATUS status = camera_->GetControl(*control.set, control.id, &reading.value, &flags);
  if (status != STATUS_SUCCESS)
    UsageError("cannot read " + std::string(control.name) + " (status " + Hex(status) + ")");
  reading.automatic = control.has_auto && (flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0;
  return reading;
}

}  // namespace dualcam::tools
