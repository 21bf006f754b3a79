// The one instance of the camera callback table that is handed to the class
// library; see callbacks.h.
//
// Hard part: the library's entry points take the table by non-const pointer,
// so the instance lives in writable static storage; it is initialised from
// the compile-time table before any code runs and never written after.
#include "driver/callbacks.h"

namespace dualcam::driver {
namespace {

constexpr bool EverySlotFilled(const USBCAMD_DEVICE_DATA& data)
{
  return data.Sig == 0 && data.CamInitialize && data.CamUnInitialize && data.CamProcessUSBPacket &&
         data.CamNewVideoFrame && data.CamProcessRawVideoFrame && data.CamStartCapture && data.CamStopCapture &&
         data.CamConfigure && data.CamSaveState && data.CamRestoreState && data.CamAllocateBandwidth &&
         data.CamFreeBandwidth;
}
static_assert(EverySlotFilled(kCameraCallbacks));

constinit USBCAMD_DEVICE_DATA g_cameraCallbacks = kCameraCallbacks;

}  // namespace

PUSBCAMD_DEVICE_DATA CameraCallbacks() { return &g_cameraCallbacks; }

}  // namespace dualcam::driver
