// The camera callback table handed to the class library with every request
// it carries out for this driver: which routine answers each of the twelve
// points of a device's, a capture's and a frame's life.
//
// Hard part: the slot order is the platform's and fixed; the table is built
// at compile time with every slot named beside its initializer, and each
// routine's type is checked against its slot's, so a routine in a wrong slot
// of another type, or a slot left out, fails the build instead of a capture.
#pragma once

#include "driver/capture.h"
#include "driver/lifecycle.h"
#include "pipeline/frame.h"
#include "pipeline/packet.h"
#include "platform/usbcamd.h"

namespace dualcam::driver {

inline constexpr USBCAMD_DEVICE_DATA kCameraCallbacks = {
    /* Sig                     */ 0,
    /* CamInitialize           */ CamInitialize,
    /* CamUnInitialize         */ CamUnInitialize,
    /* CamProcessUSBPacket     */ pipeline::CamProcessUSBPacket,
    /* CamNewVideoFrame        */ pipeline::CamNewVideoFrame,
    /* CamProcessRawVideoFrame */ pipeline::CamProcessRawVideoFrame,
    /* CamStartCapture         */ CamStartCapture,
    /* CamStopCapture          */ CamStopCapture,
    /* CamConfigure            */ CamConfigure,
    /* CamSaveState            */ CamSaveState,
    /* CamRestoreState         */ CamRestoreState,
    /* CamAllocateBandwidth    */ CamAllocateBandwidth,
    /* CamFreeBandwidth        */ CamFreeBandwidth,
};

// The table as the library's entry points take it (a non-const pointer; the
// library only reads it). Every call returns the same record.
PUSBCAMD_DEVICE_DATA CameraCallbacks();

}  // namespace dualcam::driver
