// The one instance of the camera callback table that is handed to the class
// library; see callbacks.h.
//
// Hard part: the library's entry points take the table by non-const pointer,
// so the instance lives in writable static storage; it is initialised from
// the compile-time table before any code runs and never written after. A
// slot left out of kCameraCallbacks' initializer fails the build
// (-Wmissing-field-initializers under -Wextra -Werror).
#include "driver/callbacks.h"

namespace dualcam::driver {
namespace {

constinit USBCAMD_DEVICE_DATA g_cameraCallbacks = kCameraCallbacks;

}  // namespace

PUSBCAMD_DEVICE_DATA CameraCallbacks() { return &g_cameraCallbacks; }

}  // namespace dualcam::driver
