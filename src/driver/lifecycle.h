// Device bring-up and tear-down: the camera callbacks the class library calls
// when a camera's interface has been chosen (CamConfigure), when the device
// starts (CamInitialize) and goes away (CamUnInitialize), and around power
// transitions (CamSaveState, CamRestoreState), with the park sequence that
// puts the camera to rest and keeps its learned exposure state.
//
// Hard part: ownership across failures. CamInitialize can stop half way (no
// pool, a camera that stays busy) and the class library still calls
// CamUnInitialize afterwards, so every resource taken here is recorded in the
// record the moment it is taken and released from that record alone: the
// pool blocks, this device's reference on the driver-wide decoder, and the
// names. Two cameras share one DOS link name; only the device that created
// the link may ever delete it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "driver/device_context.h"
#include "pipeline/decoder/annex_k.h"
#include "platform/kernel.h"
#include "platform/usb.h"

namespace dualcam::driver {

// Pool tag of every block the driver allocates ("Wdm " in memory order).
inline constexpr ULONG kDriverPoolTag = 0x206D6457;

// Device names. The DOS link is a single global name, so a second camera
// finds it taken.
inline constexpr char kDeviceNameText[] = "\\Device\\TL847";
inline constexpr char kDosLinkNameText[] = "\\DosDevices\\TL847";
static_assert(sizeof(kDosLinkNameText) <= kAnsiNameBufferLength);

// The first pipe's transfer limit set at configuration (bytes per request).
inline constexpr ULONG kVideoPipeMaximumTransferSize = 0x8000;

// ---- Quantization tables ----------------------------------------------------

// Four pairs of 8x8 tables, pair k = 64 luminance then 64 chrominance bytes in
// natural (row-major) order: T.81 Tables K.1 and K.2 scaled by kQuantScale[k]
// percent, entry = floor((base x s + 50) / 100). The order of the scales is
// the camera's quality numbering (pair 3 is the one streamed), not ascending.
inline constexpr std::array<ULONG, 4> kQuantScale = {10, 20, 40, 30};
inline constexpr size_t kQuantTableBytes = 64;
inline constexpr size_t kQuantPairBytes = 2 * kQuantTableBytes;

constexpr std::array<UCHAR, kQuantTablesSize> BuildQuantTables()
{
  std::array<UCHAR, kQuantTablesSize> tables{};
  for (size_t k = 0; k < kQuantScale.size(); ++k) {
    for (size_t i = 0; i < kQuantTableBytes; ++i) {
      tables[k * kQuantPairBytes + i] =
          static_cast<UCHAR>((decoder::annexk::kLuminanceQuant[i] * kQuantScale[k] + 50) / 100);
      tables[k * kQuantPairBytes + kQuantTableBytes + i] =
          static_cast<UCHAR>((decoder::annexk::kChrominanceQuant[i] * kQuantScale[k] + 50) / 100);
    }
  }
  return tables;
}
inline constexpr std::array<UCHAR, kQuantTablesSize> kQuantTableImage = BuildQuantTables();

// The camera divides by every entry: none may be 0, and each must fit a byte.
constexpr bool QuantTablesInRange()
{
  for (size_t k = 0; k < kQuantScale.size(); ++k) {
    for (size_t i = 0; i < kQuantTableBytes; ++i) {
      const ULONG luma = (decoder::annexk::kLuminanceQuant[i] * kQuantScale[k] + 50) / 100;
      const ULONG chroma = (decoder::annexk::kChrominanceQuant[i] * kQuantScale[k] + 50) / 100;
      if (luma < 1 || luma > 255 || chroma < 1 || chroma > 255) return false;
    }
  }
  return true;
}
static_assert(QuantTablesInRange());

// Copies the four table pairs into a 512-byte block.
void FillQuantTables(UCHAR* tables);

// ---- Processor check --------------------------------------------------------

// True when the processor can run the decoder. See lifecycle.cpp for why this
// is a CPUID test on x86 and always true elsewhere.
bool ProcessorSupportsDecoder();

// ---- Camera callbacks (class library) --------------------------------------

NTSTATUS CamConfigure(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PUSBD_INTERFACE_INFORMATION Interface,
                      PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PLONG DataPipeIndex,
                      PLONG SyncPipeIndex);
// STATUS_INSUFFICIENT_RESOURCES (a pool block could not be had) or
// STATUS_UNSUCCESSFUL (the camera stayed busy after the rest request); a
// failed device has already taken its names down again, and CamUnInitialize
// releases whatever else it obtained.
NTSTATUS CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
// Frees the device's blocks and gives back its decoder reference. A button
// poll cycle still running is waited for up to 1 s; past that the cycle is
// left to finish alone and frees StillBuffer itself when it is done.
NTSTATUS CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS CamRestoreState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// ---- Shared routines ---------------------------------------------------------

// Reads the camera's exposure state back (six firmware variables, eight when
// automatic white balance is on), saves it with "Manual_Exposure" to the
// settings key and puts the camera to rest. STATUS_UNSUCCESSFUL when the
// camera stays busy before the rest request (which is then not sent).
NTSTATUS ParkCamera(DeviceContext* context);

// Undoes the names of CamInitialize at device removal, after CamUnInitialize:
// disables the device interface, deletes the DOS link (only the device that
// created it holds its name) and frees both name strings. Safe to call on a
// record whose names were never set up, and more than once.
void RemoveDeviceNames(DeviceContext* context);

}  // namespace dualcam::driver
