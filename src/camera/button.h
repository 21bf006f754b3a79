// The snapshot button and the still picture: a self-requeuing work item that
// polls the camera's button about every half second, reports presses through
// the registry, exchanges still requests and results with applications
// through a registry mailbox, triggers the camera's still, and writes each
// complete still, behind a 1024-byte header, to the snapshot file.
//
// Hard part: the poll shares the still flags with the packet routine (the
// class library's completion path) and the still-capture property (a
// stream-class request thread) without a lock. Each side only sets or clears
// whole flags with single relaxed stores, and the hand-shake is ordered so
// that a still is collected, saved and released exactly once:
//   requested (StillRequested 1) -> collected (StillReady 1, StillToSave 1)
//   -> saved ("SnapShot" 1 or 2, StillToSave 0) -> released (StillReady 0
//   once the application has written "SnapShot" 0).
#pragma once

#include <cstddef>

#include "driver/device_context.h"
#include "platform/kernel.h"
#include "platform/ntstatus.h"

namespace dualcam::camera {

using driver::DeviceContext;

// Folder of the snapshot file, as the kernel names it (37 characters with
// the closing separator).
inline constexpr WCHAR kSnapshotFolder[] = u"\\SystemRoot\\twain_32\\Orvantic\\Mv7730\\";
inline constexpr size_t kSnapshotFolderLength = sizeof(kSnapshotFolder) / sizeof(WCHAR) - 1;
static_assert(kSnapshotFolderLength == 37);
// Name of the snapshot file inside that folder.
inline constexpr WCHAR kSnapshotFileName[] = u"snapraw.dat";

// Layout of the snapshot file: the header, then the still payload as the
// camera sent it. The file is the first kSnapshotFileSize bytes of
// StillBuffer.
inline constexpr size_t kSnapshotHeaderSize = 1024;
inline constexpr ULONG kSnapshotDataLength = 0x31800;  // 202,752
inline constexpr ULONG kSnapshotFileSize = kSnapshotHeaderSize + kSnapshotDataLength;  // 203,776
static_assert(kSnapshotFileSize == 203776);
static_assert(kSnapshotFileSize <= driver::kStillBufferSize);

// Header offsets.
inline constexpr size_t kHeaderDataLengthOffset = 3;  // 32-bit, unaligned
inline constexpr size_t kHeaderRegistersOffset = 7;   // 33 register bytes, then Gamma
inline constexpr size_t kHeaderGammaOffset = 38;
inline constexpr size_t kHeaderZeroFrom = 41;
inline constexpr size_t kHeaderWordCountOffset = 256;  // 16-bit n
inline constexpr size_t kHeaderWordsOffset = 258;      // n 32-bit words
// The most information-block words the header holds: (1024 - 258) / 4.
inline constexpr USHORT kHeaderMaxWords = (kSnapshotHeaderSize - kHeaderWordsOffset) / 4;
static_assert(kHeaderMaxWords == 191);
// Where the count and the words sit in the camera's information block.
inline constexpr size_t kInfoBlockWordCountOffset = 126;
inline constexpr size_t kInfoBlockWordsOffset = 128;

// Poll period: the relative interval given to KeDelayExecutionThread,
// in 100-ns units (0.5 s).
inline constexpr LONGLONG kButtonPollInterval = -5'000'000;

// A still request that yields this many incomplete still frames without a
// complete one is given up with "SnapShot" = 2.
inline constexpr USHORT kStillGiveUpCount = 10;

// "SnapShot" results written by the driver.
inline constexpr ULONG kSnapShotSaved = 1;
inline constexpr ULONG kSnapShotFailed = 2;

// The work-item routine (parameter: the DeviceContext). One cycle: read the
// button, report a press, run SnapshotService while a stream is open, then
// sleep 0.5 s and queue ButtonWorkItem again unless the device is being
// removed (DriverStatus 8, or 0). Nothing touches the button while
// Suspended is set.
VOID ButtonPoll(PVOID context);

// The registry mailbox and the still hand-shake; called only by ButtonPoll.
void SnapshotService(DeviceContext* context);

// Fills the first 1024 bytes of `stillBuffer` with the snapshot header:
// the fixed bytes, 33 camera registers read in order, Gamma, and the
// information block's word list (at most kHeaderMaxWords words). A failed
// register read leaves its header byte as it was.
void BuildSnapshotHeader(DeviceContext* context, UCHAR* stillBuffer);

// Writes the first kSnapshotFileSize bytes of StillBuffer to the file
// `fileName` in kSnapshotFolder, replacing any earlier file. Returns
// STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES (no pool for the path),
// STATUS_NO_SUCH_FILE (the file could not be created) or
// STATUS_UNSUCCESSFUL (the write failed or was short).
NTSTATUS WriteSnapshotFile(DeviceContext* context, PCWSTR fileName);

}  // namespace dualcam::camera
