#include "support/sim_device.h"

namespace dualcam::testing {

host::CameraDevice::Options SimDeviceOptions(std::shared_ptr<host::sim::SimCamera> camera,
                                             const USBCAMD_DEVICE_DATA* callbacks) {
  host::CameraDevice::Options options;
  options.Bus = std::make_shared<host::bus::SimBus>(std::move(camera));
  options.DeviceData = callbacks;
  return options;
}

host::bus::SimBus& SimBusOf(host::CameraDevice& device) { return dynamic_cast<host::bus::SimBus&>(device.Bus()); }

host::sim::SimCamera& SimCameraOf(host::CameraDevice& device) { return SimBusOf(device).Camera(); }

void DeliverSimPacket(host::CameraDevice& device, const host::sim::SimPacket& packet) {
  device.DeliverPacket(packet.bytes, host::bus::SimPacketStatus(packet, device.MaxPacketSize()));
}

}  // namespace dualcam::testing
