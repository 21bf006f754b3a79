// One run of the driver inside the `dualcam` command: the host kernel on the
// data folder's registry file and file root, the driver loaded through its
// entry point, and one camera attached through the stream class (the
// simulated one, or a real one on the USB bus); plus the image and camera
// controls the driver's property sets expose.
//
// Hard part: teardown order. The camera must be removed (its uninitialize
// request waits for the button poll to stop) before the driver's stream
// class goes, and both before the kernel whose registry and work queue they
// use; members are declared so that destruction runs in exactly that order,
// also when a command leaves by an exception.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "home.h"
#include "host/classlib/capture_app.h"
#include "host/bus/usb_device.h"
#include "host/kernel/host_kernel.h"
#include "host/sim/sim_camera.h"

namespace dualcam::tools {

// A control as the property sets offer it: valid values 0..maximum, step 1.
struct ControlDef {
  std::string_view name;
  const GUID* set;
  ULONG id;
  LONG maximum;
  LONG default_value;
  bool has_auto;  // automatic mode through the control's flags
  std::string_view meaning;
};

const std::vector<ControlDef>& Controls();
// The control of that name (case-insensitive, '-' and '_' alike), or a
// ToolError listing the names.
const ControlDef& FindControl(std::string_view name);

// A control assignment "name=value"; value "auto" selects automatic mode,
// "default" the control's default (value, and automatic mode where it has one).
struct ControlSetting {
  const ControlDef* control;
  std::optional<LONG> value;  // nothing: automatic (or, with restore_default, the default)
  bool restore_default = false;
};
// Throws ToolError for an unknown control, a value that is not a number or
// is out of range, or "auto" on a control without automatic mode. Names and
// keywords are taken whatever their case.
ControlSetting ParseControlSetting(std::string_view text);

class DriverSession {
 public:
  // realtime: real clock and a worker thread for the button poll (captures);
  // otherwise a virtual clock and a stepped work queue (quick control
  // access). Throws ToolError when the driver or the camera cannot start.
  DriverSession(const DataHome& home, bool realtime, std::shared_ptr<host::sim::SimCamera> camera = nullptr);
  // The same with a camera on a bus (bus/libusb_bus.h opens a real one).
  DriverSession(const DataHome& home, bool realtime, std::shared_ptr<host::bus::UsbDevice> device);
  ~DriverSession();
  DriverSession(const DriverSession&) = delete;
  DriverSession& operator=(const DriverSession&) = delete;

  host::CaptureCamera& camera() { return *camera_; }
  host::HostKernel& kernel() { return *kernel_; }

  // Applies a setting through the property set; throws ToolError when the
  // driver refuses it. A default is the same requests `ctl set` makes: the
  // default value in manual mode, then automatic mode where the control has
  // it (an automatic exposure set only switches the mode, so the value must
  // go first).
  void Apply(const ControlSetting& setting);
  // Current value and automatic flag, through the property set.
  struct Reading {
    LONG value = 0;
    bool automatic = false;
  };
  Reading Read(const ControlDef& control);

  // Removes the camera now (the driver's orderly uninitialize).
  void Close();

 private:
  void Start(const DataHome& home, bool realtime);
  std::unique_ptr<host::HostKernel> kernel_;
  std::unique_ptr<host::ScopedKernel> scope_;
  std::unique_ptr<host::CaptureDriver> driver_;
  std::unique_ptr<host::CaptureCamera> camera_;
};

}  // namespace dualcam::tools
