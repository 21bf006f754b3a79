// The per-camera record: one DeviceContext per attached camera, allocated
// zero-filled by the camera class library with the size this driver registers
// and handed to every callback.
//
// Hard part: the record is shared by three execution contexts with no lock
// (the stream-class request threads, the class library's callbacks and the
// delayed-work-queue thread that polls the button). Every field written by one
// of them and read by another is a whole aligned word or byte written with a
// single store; here those fields are std::atomic of the same width, used with
// relaxed loads and stores, which keeps the single-store behaviour and makes
// the sharing well defined. Nothing else in the record needs ordering: each
// side only sets or clears whole flags.
//
// Zero-filled memory is a valid record: std::atomic<uint32_t> and
// std::atomic<uint8_t> are lock-free on this platform and have the size and
// representation of the plain integer, so all-zero bytes are an atomic holding
// 0. The class library obtains the block zero-filled from pool and uses it in
// place; tests may also value-initialise one (`DeviceContext ctx{};`).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "pipeline/tone_curve.h"
#include "platform/kernel.h"
#include "platform/usb.h"

namespace dualcam::driver {

// The context size handed to USBCAMD_DriverEntry. The record below is smaller;
// the tail is padding that no routine touches.
inline constexpr ULONG kDeviceContextSize = 1688;

// Size of the camera information block (vendor request 0x50).
inline constexpr size_t kCameraInfoBlockSize = 1024;

// Byte sizes of the pool blocks the context owns (allocated at CamInitialize).
inline constexpr size_t kQuantTablesSize = 512;       // four 128-byte table pairs
inline constexpr size_t kStillBufferSize = 306177;    // one still picture being collected
inline constexpr size_t kLastGoodFrameSize = 304128;  // copy of the last decoded raw frame

// Length of the buffer the device names are printed into.
inline constexpr size_t kAnsiNameBufferLength = 32;

// Copies of the camera's eight firmware variables, in the order the record
// keeps them (variable numbers 0, 1, 2, 8, 4, 5, 6, 9). They are read back
// from the camera when streaming ends, saved to the registry, reloaded and
// written into the camera when streaming is next prepared.
struct FirmwareParamWords {
  USHORT FwAeawbSwitch;  // variable 0: automatic exposure / white balance switch word
  USHORT FwCurShutter;   // variable 1: current shutter (saved, never written back)
  USHORT FwCurAgc;       // variable 2: current gain; also the manual exposure
  USHORT FwMinAgc;       // variable 8: minimum gain
  USHORT FwRGain;        // variable 4: red gain
  USHORT FwBGain;        // variable 5: blue gain
  USHORT FwAdjAgc;       // variable 6: gain adjustment
  USHORT FwMaxAgc;       // variable 9: maximum gain
};
static_assert(sizeof(FirmwareParamWords) == 16);

struct DeviceContext {
  // Driver state number (2 configured, 3 initialized, 5 stream open,
  // 7 stream closed, 8 removed), mirrored into the registry value
  // "DriverStatus". Read by the button poll to know when to stop.
  std::atomic<ULONG> DriverStatus;

  // biCompression of the running format: 0 (RGB24), "I420" or "VQJ9".
  ULONG OutputCompression;
  // Size code of the running format, 1..7; selects the camera's video mode.
  USHORT SizeIndex;
  // Quantization-table pair in use (always 3 once a capture was set up).
  UCHAR QualityIndex;

  // biWidth / biHeight of the running format (signed, as in the bitmap header).
  LONG FormatWidth;
  LONG FormatHeight;
  // Size of the picture the camera sends for that format.
  ULONG RawWidth;
  ULONG RawHeight;
  // 12 (4:2:0); sizes the raw frame.
  ULONG RawBitsPerPixel;

  // Expected sequence number of the next continuation packet.
  UCHAR PacketSequence;

  // User settings "Auto Exposure Enable", "Auto White Balance Enable",
  // "Flicker60" (each 0 or 1). Like the image settings below, property
  // requests write them on a request thread while the capture and the
  // button poll read them: each is one 32-bit word stored whole.
  std::atomic<ULONG> AutoExposure;
  std::atomic<ULONG> AutoWhiteBalance;
  std::atomic<ULONG> Flicker60;

  // Frame starts since the capture began.
  ULONG FrameCounter;

  // Pool blocks owned by the context (freed at CamUnInitialize).
  UCHAR* QuantTables;    // kQuantTablesSize: pair k = 64 luminance + 64 chrominance bytes
  UCHAR* StillBuffer;    // kStillBufferSize
  UCHAR* LastGoodFrame;  // kLastGoodFrameSize

  // "BulkMode" as read at stream open.
  ULONG RegBulkMode;

  // 1 while a still requested through the still-capture property is awaited;
  // the button-driven still handling is skipped meanwhile.
  std::atomic<ULONG> StillByProperty;

  // Registry values "SnapShoot" and "SnapShot" as last read by the button poll.
  ULONG SnapShootValue;
  ULONG SnapShotValue;

  // Still-capture hand-shake between the button poll and packet assembly.
  std::atomic<ULONG> StillRequested;
  std::atomic<ULONG> StillReady;
  // Still collection state of packet assembly.
  std::atomic<UCHAR> StillFrame;
  std::atomic<UCHAR> StillCollecting;
  // 1 while the snapshot service runs.
  std::atomic<UCHAR> SnapshotBusy;
  // A collected still waits to be saved.
  std::atomic<UCHAR> StillToSave;

  // Next write offset in StillBuffer.
  ULONG StillWriteOffset;
  // The last still-marked frame completed.
  ULONG StillCaptured;
  // Still-marked frames that ended incomplete.
  USHORT StillFailCount;

  // Camera information block read from the camera at CamInitialize.
  UCHAR CameraInfoBlock[kCameraInfoBlockSize];

  // Picture post-processing options (tone curve index), zeroed at CamInitialize.
  pipeline::ProcessingOptions ProcessingOptions;

  // Copies of the camera's firmware variables.
  FirmwareParamWords FirmwareParams;

  // 1 between CamSaveState and CamRestoreState; the button poll leaves the
  // button alone meanwhile.
  std::atomic<UCHAR> Suspended;

  // Pool copy of the streaming interface given to CamConfigure; its
  // AlternateSetting and first pipe's MaximumPacketSize describe the running
  // alternate setting.
  PUSBD_INTERFACE_INFORMATION InterfaceCopy;

  // Index into the frame-rate table; never assigned, stays 0.
  ULONG FrameRateIndex;
  // Read by the actual-frame-rate answer; never assigned, stays 0.
  UCHAR FrameRateFixed;

  // Packets refused by packet assembly during this capture.
  ULONG PacketErrorCount;

  // 1 once a stream has been opened.
  UCHAR StreamOpened;

  // The one-byte button read lands in the first byte of this 32-bit slot.
  union {
    UCHAR ButtonState;
    ULONG ButtonStateSlot;
  };
  // Length cell of the button read (1).
  ULONG ButtonReadLength;

  // Image settings, in the ranges of the settings store. Property requests
  // change them on a request thread while the frame path (the pass-through
  // header carries Gamma and Contrast) and the button poll (the snapshot
  // header carries Gamma) read them, so each is a whole 32-bit word
  // written with one store.
  std::atomic<ULONG> Brightness;
  std::atomic<ULONG> Contrast;
  std::atomic<ULONG> Hue;
  std::atomic<ULONG> Saturation;
  std::atomic<ULONG> Sharpness;
  std::atomic<ULONG> WhiteBalance;
  std::atomic<ULONG> Gamma;
  ULONG ImageSettingsSpare;  // the slot after Gamma; unused
  // "Manual_Exposure" (10 when absent).
  std::atomic<ULONG> ManualExposure;

  // The button poll's work item (re-queued by its own routine).
  WORK_QUEUE_ITEM ButtonWorkItem;

  // "\DosDevices\..." link name.
  UNICODE_STRING DosLinkName;
  // First the device name, then the registered device interface's link name.
  UNICODE_STRING InterfaceLinkName;
  // Scratch for the name conversion, describing AnsiNameBuffer.
  ANSI_STRING AnsiNameString;
  CHAR AnsiNameBuffer[kAnsiNameBufferLength];

  // Alternate setting in use when the state was saved for a power transition.
  USHORT SavedAlternateSetting;

  // 1 once LastGoodFrame holds a frame that rendered; until then a repeat
  // delivers the blank picture. Written only by the raw-frame callback.
  UCHAR LastGoodFrameValid;

  // 1 while this device counts in DeviceInstanceCount and holds a reference
  // on the driver-wide decoder (both taken by CamInitialize, given back by
  // CamUnInitialize), so that a device whose initialization stopped before
  // then never gives back another's.
  UCHAR InstanceCounted;

  // 1 from the start of a button poll cycle until its snapshot service is
  // done with StillBuffer. CamUnInitialize marks the device removed and then
  // waits for 0 before freeing the blocks: a cycle that began before the
  // removal may be writing the still file from StillBuffer at that moment.
  // The wait is bounded; past it CamUnInitialize sets 2, which hands
  // StillBuffer to the running cycle: the cycle frees it when it is done.
  std::atomic<UCHAR> PollUsingBlocks;
};

static_assert(sizeof(DeviceContext) <= kDeviceContextSize,
              "the record must fit the context size registered with the class library");
static_assert(std::is_standard_layout_v<DeviceContext>);
static_assert(sizeof(std::atomic<ULONG>) == sizeof(ULONG) && std::atomic<ULONG>::is_always_lock_free);
static_assert(sizeof(std::atomic<UCHAR>) == sizeof(UCHAR) && std::atomic<UCHAR>::is_always_lock_free);
static_assert(offsetof(DeviceContext, DriverStatus) == 0);

// Number of devices that have run CamInitialize (as far as the decoder step)
// and not yet CamUnInitialize. The last device to go closes the VfW key
// handles callers left open. The shared decoder keeps a count of its own
// users under its lock (pipeline::SharedDecoderAcquire), which builds it for
// the first and frees it with the last. Two cameras may come and go at once,
// hence atomic.
inline std::atomic<LONG> DeviceInstanceCount{0};

}  // namespace dualcam::driver
