// The device provider and its devices (see device_provider.cpp).
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define DUALCAM_TYPE_DEVICE (dualcam_device_get_type())
G_DECLARE_FINAL_TYPE(DualcamDevice, dualcam_device, DUALCAM, DEVICE, GstDevice)

#define DUALCAM_TYPE_DEVICE_PROVIDER (dualcam_device_provider_get_type())
G_DECLARE_FINAL_TYPE(DualcamDeviceProvider, dualcam_device_provider, DUALCAM, DEVICE_PROVIDER, GstDeviceProvider)

G_END_DECLS
