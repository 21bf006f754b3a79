// The camera's vendor control requests and the programming steps built on
// them: start-up and quantization-table upload, image controls, exposure and
// white balance, picture size, and the 1024-byte information block.
//
// Hard part: everything here is best effort and synchronous. The firmware
// answers in its own time (the busy byte), a failed request must leave the
// caller's buffer alone, and the exact order and encoding of the requests is
// what the firmware depends on, so each step is a fixed, table-driven
// sequence with the waits between requests given in 100-ns units to the
// kernel's sleep.
#pragma once

#include <cstdint>

#include "driver/device_context.h"
#include "platform/kernel.h"
#include "platform/ntstatus.h"

namespace dualcam::camera {

using driver::DeviceContext;

// Direction of the data stage (USB 2.0 9.3.1, bmRequestType bit 7).
enum class VendorDirection : UCHAR {
  Out = 0,  // host to camera
  In = 1,   // camera to host (a read)
};

// Request codes (bRequest) of the camera's vendor protocol.
inline constexpr UCHAR kRequestRegister = 0x00;          // camera register write (out) / read (in, 1 byte)
inline constexpr UCHAR kRequestButton = 0x05;            // in: button byte; out value 2 index 1: take a still
inline constexpr UCHAR kRequestBusy = 0x06;              // in: busy byte, 0 = ready
inline constexpr UCHAR kRequestAeAwbMode = 0x0C;         // automatic exposure / white balance mode
inline constexpr UCHAR kRequestStartup = 0x20;           // start-up setting (value 2, index 1)
inline constexpr UCHAR kRequestFirmwareVariable = 0x30;  // 16-bit firmware variable read / write
inline constexpr UCHAR kRequestInfoBlock = 0x50;         // information block transfer
inline constexpr UCHAR kRequestImageSize = 0xA0;         // picture size (index = size code)
inline constexpr UCHAR kRequestFlicker = 0xB0;           // mains frequency: 1 = 50 Hz, 0 = 60 Hz
inline constexpr UCHAR kRequestPower = 0xE0;             // index 0 wakes, index 1 puts to rest

inline constexpr USHORT kPowerWake = 0;
inline constexpr USHORT kPowerRest = 1;
inline constexpr USHORT kInfoBlockAnnounceIndex = 0x00FF;
inline constexpr USHORT kStillTriggerValue = 2;
inline constexpr USHORT kButtonIndex = 1;

// Camera registers written or read by the driver.
inline constexpr USHORT kRegCaptureEngine = 0x2000;  // 0 stops, 3 runs
inline constexpr USHORT kRegCapturePrime = 0x2301;   // 0x13 before the engine starts
inline constexpr USHORT kRegStartup = 0x2501;        // 1 at start-up
inline constexpr USHORT kRegLumaTable = 0x2800;      // + j, j = 0..63
inline constexpr USHORT kRegChromaTable = 0x2840;    // + j, j = 0..63
inline constexpr USHORT kRegQuality = 0x2880;        // table pair in use
inline constexpr USHORT kRegQualityLatch = 0x2881;   // 1 after kRegQuality
inline constexpr USHORT kRegSharpness = 0x21A3;
inline constexpr USHORT kRegImageControlsOn = 0x21A6;
inline constexpr USHORT kRegBrightness = 0x21A7;
inline constexpr USHORT kRegContrast = 0x21A8;
inline constexpr USHORT kRegHueControl = 0x21AC;
inline constexpr USHORT kRegHueLow = 0x21AD;
inline constexpr USHORT kRegSaturation = 0x21AE;
inline constexpr USHORT kRegRestoreProbe = 0x25B2;

inline constexpr USHORT kCaptureEngineStop = 0x00;
inline constexpr USHORT kCaptureEngineRun = 0x03;
inline constexpr USHORT kCapturePrimeValue = 0x13;

// Firmware variable numbers (request 0x30 index).
inline constexpr USHORT kFwAeawbSwitch = 0;
inline constexpr USHORT kFwCurShutter = 1;
inline constexpr USHORT kFwCurAgc = 2;
inline constexpr USHORT kFwRGain = 4;
inline constexpr USHORT kFwBGain = 5;
inline constexpr USHORT kFwAdjAgc = 6;
inline constexpr USHORT kFwMinAgc = 8;
inline constexpr USHORT kFwMaxAgc = 9;

// WaitCameraReady reads the busy byte at most this often.
inline constexpr int kReadyPollLimit = 100;
// Pause between two busy reads of WaitCameraReady, in ms.
inline constexpr ULONG kReadyPollIntervalMs = 10;
// Busy polls around an information block transfer: at most 29 reads, 200 ms apart.
inline constexpr int kInfoBlockPollLimit = 29;
inline constexpr ULONG kInfoBlockPollIntervalMs = 200;
// Settling time after automatic control was switched off.
inline constexpr ULONG kAeSettleMs = 33;

// A wait routine for WaitCameraReady: DelayMs (sleeps) or SpinWaitMs (spins).
using WaitRoutine = void (*)(ULONG milliseconds);

// --- The one path to the camera -------------------------------------------

// Sends one vendor control request on the default pipe and returns when it
// has ended, with the class library's status unchanged. `length` bytes of
// data stage (0: none); for a read the bytes land in `buffer`. When
// `bytesMoved` is given it receives the length the library reports back.
NTSTATUS VendorRequest(DeviceContext* context, VendorDirection direction, UCHAR request,
                       USHORT value, USHORT index, ULONG length, void* buffer,
                       ULONG* bytesMoved = nullptr);

// Register write (request 0x00 out, no data stage).
NTSTATUS WriteCameraRegister(DeviceContext* context, USHORT reg, USHORT value);
// Register read (request 0x00 in, one byte). A failed read leaves *byte alone.
NTSTATUS ReadCameraRegister(DeviceContext* context, USHORT reg, UCHAR* byte);
// Firmware variable write (request 0x30 out, the value in wValue).
NTSTATUS WriteFirmwareVariable(DeviceContext* context, USHORT variable, USHORT value);
// Firmware variable read (request 0x30 in, two bytes little-endian). *word is
// changed only when both bytes arrived, so a failed or short read keeps the
// previous word.
NTSTATUS ReadFirmwareVariable(DeviceContext* context, USHORT variable, USHORT* word);

// --- Waits ------------------------------------------------------------------

// Sleeps n ms: KeDelayExecutionThread with the relative interval -(n x 10,000).
void DelayMs(ULONG milliseconds);
// Busy-waits n ms on the performance counter without yielding the processor.
void SpinWaitMs(ULONG milliseconds);
// Polls the busy byte until it reads 0 (STATUS_SUCCESS) or 100 reads found
// the camera busy (STATUS_UNSUCCESSFUL), calling wait(10) between reads.
NTSTATUS WaitCameraReady(DeviceContext* context, WaitRoutine wait);

// --- Encodings --------------------------------------------------------------

// Automatic-control mode sent with request 0x0C: 4 both automatic, 3 exposure
// only, 1 white balance only, 0 neither.
USHORT AeAwbMode(const DeviceContext* context);
// The mode ApplyImageSettings sends: as AeAwbMode but 0 when only white
// balance is automatic (ApplyExposureSettings then sends the full mode).
USHORT ImageSettingsAeAwbMode(const DeviceContext* context);
// Request 0xB0's value: 1 (50 Hz) when Flicker60 is 0, else 0 (60 Hz).
USHORT FlickerValue(const DeviceContext* context);
// Register encodings of the image controls.
USHORT EncodeBrightness(ULONG brightness);  // (b - 128) as 16-bit two's complement
USHORT EncodeContrast(ULONG contrast);      // c + 32
USHORT EncodeHueControl(ULONG hue);         // ((h >> 2) & 0xC0) | 1
USHORT EncodeHueLow(ULONG hue);             // h & 0xFF
// Size code of request 0xA0 for a SizeIndex, or 0 for an index outside 1..7.
USHORT ImageSizeCode(ULONG sizeIndex);

// Red and blue gains that ApplyWhiteBalance writes for the current settings.
struct WhiteBalanceGains {
  USHORT Red;
  USHORT Blue;
};
WhiteBalanceGains ComputeWhiteBalanceGains(const DeviceContext* context);

// --- Programming steps ------------------------------------------------------

// Wakes the camera, waits until it is ready, uploads the quantization tables
// of QualityIndex, selects the picture size and starts the capture engine.
// STATUS_UNSUCCESSFUL (nothing sent after the wait) when the camera stays busy.
NTSTATUS PrepareCamera(DeviceContext* context);
// Pushes brightness, contrast, hue, saturation, sharpness, flicker and the
// automatic-control mode to the camera and selects the tone curve of Gamma.
void ApplyImageSettings(DeviceContext* context);
// Switches automatic control off, lets it settle, restores the exposure
// variables and the white balance, and switches the full mode back on.
void ApplyExposureSettings(DeviceContext* context);
// Request 0x0C with 0, then with the automatic-control mode.
void SendAeAwbMode(DeviceContext* context);
// Writes the red (variable 4) and blue (variable 5) gains for WhiteBalance.
void ApplyWhiteBalance(DeviceContext* context);
// With automatic exposure on, writes the saved gain variables 2, 8, 6, 9 and
// the switch word 0 back into the camera.
void RestoreAutoExposure(DeviceContext* context);
// Request 0xA0 with the size code of SizeIndex; nothing for other indexes.
void SelectImageSize(DeviceContext* context);

// Reads the camera's 1024-byte information block into `block`. The status of
// the block read is returned (STATUS_UNSUCCESSFUL when fewer than 1024 bytes
// arrived); callers that only want a best-effort read may ignore it.
NTSTATUS ReadCameraInfoBlock(DeviceContext* context, UCHAR* block);
// Writes `block` (1024 bytes) into the camera. STATUS_UNSUCCESSFUL when the
// write request fails or the camera is still busy after it.
NTSTATUS WriteCameraInfoBlock(DeviceContext* context, const UCHAR* block);

}  // namespace dualcam::camera
