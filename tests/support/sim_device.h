// Attaching the simulated camera to the class library directly (tests that
// run below the stream class), and reaching it again through the device.
#pragma once

#include <memory>

#include "host/bus/sim_bus.h"
#include "host/classlib/camera_class_library.h"
#include "host/sim/sim_camera.h"

namespace dualcam::testing {

// Options for CameraDevice::Attach with the camera (a new default one when
// null) on a simulated bus of its own.
host::CameraDevice::Options SimDeviceOptions(std::shared_ptr<host::sim::SimCamera> camera = nullptr,
                                             const USBCAMD_DEVICE_DATA* callbacks = nullptr);

// The simulated bus and camera of a device attached that way.
host::bus::SimBus& SimBusOf(host::CameraDevice& device);
host::sim::SimCamera& SimCameraOf(host::CameraDevice& device);

// Delivers a packet of the simulated camera's stream as the bus would hand
// it over at the device's selected packet size.
void DeliverSimPacket(host::CameraDevice& device, const host::sim::SimPacket& packet);

}  // namespace dualcam::testing
