// The button poll and the snapshot: one work-item cycle every half second
// that reads the camera's button, answers the registry mailbox and saves a
// collected still to the snapshot file.
//
// Hard part: the still flags are shared with the packet routine and the
// still-capture property without a lock. Every flag this file reads or
// clears is touched with one relaxed load or store (the plain StillCaptured,
// StillFailCount and mailbox words through std::atomic_ref), except
// StillReady, which also hands StillBuffer between threads: it is read with
// acquire before the buffer is used and cleared with release after, so the
// packet routine never refills the buffer while it is being written out.
// The cycle also has to stop cleanly: once DriverStatus reads 8 (or 0) the
// item is never queued again, because the record goes away soon after; and
// a cycle that outlasts the removal's bounded wait frees StillBuffer itself.
#include "camera/button.h"

#include <array>
#include <atomic>
#include <cstring>

#include "camera/registry_values.h"
#include "camera/settings.h"
#include "camera/vendor.h"
#include "platform/usbcamd.h"

namespace dualcam::camera {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// DriverStatus values the cycle distinguishes: 4..6 means a stream is open
// (5 in practice), 1..7 every live state; 8 is written at removal.
constexpr bool StreamOpen(ULONG status) { return status >= 4 && status <= 6; }
constexpr bool DeviceLive(ULONG status) { return status >= 1 && status <= 7; }

// Bit 0 of the button byte: the button was pressed since the last read.
constexpr UCHAR kButtonPressed = 0x01;

// Pool tag of the driver's blocks, "Wdm " (first character in the low byte).
constexpr ULONG kDriverPoolTag = 0x206D6457;

// Path buffer: the folder's 37 characters (74 bytes) and a terminator (2)
// beyond the file name's own maximum length.
constexpr size_t kPathExtraBytes = 76;

// Header bytes 0..2 and the payload length at 3..6.
constexpr UCHAR kHeaderLead[3] = {1, 1, 0};

// One header byte filled from one camera register (request 0x00 in).
struct HeaderRegister {
  USHORT Offset;
  USHORT Register;
};

// In the order the registers are read; byte 38 (Gamma) is filled between
// 0x21A2 and 0x2190.
constexpr std::array<HeaderRegister, 33> kHeaderRegisters = {{
    {7, 0x2121},  {8, 0x2122},  {9, 0x2123},  {10, 0x2124}, {11, 0x2125}, {12, 0x2126}, {13, 0x2127},
    {14, 0x2128}, {15, 0x2129},                                                               // 0x2121..0x2129
    {16, 0x2140}, {17, 0x2141}, {18, 0x2142}, {19, 0x2143}, {20, 0x2144}, {21, 0x2145}, {22, 0x2146},
    {23, 0x2147}, {24, 0x2148}, {25, 0x2149}, {26, 0x214A},                                   // 0x2140..0x214A
    {27, 0x210E},
    {28, kRegBrightness},  // 0x21A7
    {29, kRegContrast},    // 0x21A8
    {30, kRegSaturation},  // 0x21AE
    {31, kRegHueLow},      // 0x21AD
    {32, kRegHueControl},  // 0x21AC
    {33, kRegImageControlsOn},  // 0x21A6
    {34, kRegSharpness},   // 0x21A3
    {35, 0x21A4},
    {36, 0x21A1},
    {37, 0x21A2},
    {39, 0x2190},
    {40, 0x2191},
}};
// Registers read before Gamma is placed at byte 38.
constexpr size_t kRegistersBeforeGamma = 31;
static_assert(kHeaderRegisters[kRegistersBeforeGamma - 1].Offset == kHeaderGammaOffset - 1);
static_assert(kHeaderRegisters[kRegistersBeforeGamma].Offset == kHeaderGammaOffset + 1);
static_assert(kHeaderRegisters.back().Offset + 1 == kHeaderZeroFrom);

// The still flags that are plain words in the record, each touched with a
// single relaxed access.
ULONG LoadStillCaptured(DeviceContext* context) { return std::atomic_ref<ULONG>(context->StillCaptured).load(kRelaxed); }
void StoreStillCaptured(DeviceContext* context, ULONG value)
{
  std::atomic_ref<ULONG>(context->StillCaptured).store(value, kRelaxed);
}
USHORT LoadStillFailCount(DeviceContext* context)
{
  return std::atomic_ref<USHORT>(context->StillFailCount).load(kRelaxed);
}
void StoreStillFailCount(DeviceContext* context, USHORT value)
{
  std::atomic_ref<USHORT>(context->StillFailCount).store(value, kRelaxed);
}
// The mailbox words are also reset by capture set-up on another thread.
ULONG LoadMailbox(ULONG& cell) { return std::atomic_ref<ULONG>(cell).load(kRelaxed); }
void StoreMailbox(ULONG& cell, ULONG value) { std::atomic_ref<ULONG>(cell).store(value, kRelaxed); }

void PutLe16(UCHAR* at, USHORT value)
{
  at[0] = static_cast<UCHAR>(value);
  at[1] = static_cast<UCHAR>(value >> 8);
}
void PutLe32(UCHAR* at, ULONG value)
{
  for (int i = 0; i < 4; ++i) at[i] = static_cast<UCHAR>(value >> (8 * i));
}

// Request 0x05 in, value 0, index 1, one byte into ButtonState, straight to
// the class library. The length cell is set to 1 before every read: the
// library writes the bytes moved back into it, and a read that moved nothing
// would otherwise leave 0 there and every later read would ask for no byte.
void ReadButton(DeviceContext* context)
{
  context->ButtonReadLength = 1;
  USBCAMD_ControlVendorCommand(context, kRequestButton, 0, kButtonIndex, &context->ButtonState,
                               &context->ButtonReadLength, TRUE, nullptr, nullptr);
}

// Ends the hand-shake for the still now in StillBuffer (saved or failed) or
// for a request given up: the camera goes back to the video size.
void ReleaseStillRequest(DeviceContext* context)
{
  context->StillRequested.store(0, kRelaxed);
  context->StillToSave.store(0, kRelaxed);
  SelectImageSize(context);
  StoreStillCaptured(context, 0);
}

// Reads "SnapShoot" and "SnapShot" with one query of two direct entries.
// A value that is absent, or not a 32-bit number, reads as kValueAbsent.
void ReadMailbox(DeviceContext* context)
{
  ULONG snapShoot = kValueAbsent;
  ULONG snapShot = kValueAbsent;
  StoreMailbox(context->SnapShootValue, kValueAbsent);
  StoreMailbox(context->SnapShotValue, kValueAbsent);
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(kValueSnapShoot);  // the query only reads the name
  table[0].EntryContext = &snapShoot;
  table[0].DefaultType = REG_NONE;
  table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[1].Name = const_cast<PWSTR>(kValueSnapShot);
  table[1].EntryContext = &snapShot;
  table[1].DefaultType = REG_NONE;
  // A failed query (key missing) leaves both cells absent, which blocks
  // saving, giving up and triggering alike.
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSettingsKeyPath, table, nullptr, nullptr);
  StoreMailbox(context->SnapShootValue, snapShoot);
  StoreMailbox(context->SnapShotValue, snapShot);
}

// One snapshot file and one "SnapShot" result serve every camera of the
// driver. A save claims them, so that the cycles of two cameras on two
// worker threads never write the file at once, and goes ahead only while
// the result still reads 0 at that moment: the reading of the previous
// cycle may be stale, since another camera may have posted a result the
// application has not taken yet, and saving then would overwrite the file
// under it.
std::atomic<ULONG> g_SnapshotFileClaimed{0};

bool ResultTakenNow()
{
  ULONG current = kValueAbsent;
  return NT_SUCCESS(ReadSettingsDword(kValueSnapShot, &current)) && current == 0;
}

}  // namespace

VOID ButtonPoll(PVOID parameter)
{
  auto* context = static_cast<DeviceContext*>(parameter);
  if (context == nullptr) {
    return;
  }
  // Announced before DriverStatus is read, both in the single total order of
  // sequentially consistent operations (as CamUnInitialize's store of the
  // removed status and its read of this flag are): either CamUnInitialize
  // sees this cycle and waits for it, or this cycle sees the removal and
  // leaves the blocks alone.
  context->PollUsingBlocks.store(1, std::memory_order_seq_cst);

  if (context->Suspended.load(kRelaxed) == 0) {
    ReadButton(context);
    if ((context->ButtonState & kButtonPressed) != 0) {
      // A press while streaming asks for the still the camera sends by
      // itself; no still trigger goes out for it.
      if (StreamOpen(context->DriverStatus.load(kRelaxed)) && context->StillRequested.load(kRelaxed) != 1 &&
          context->StillReady.load(kRelaxed) == 0 && LoadStillCaptured(context) == 0) {
        context->StillRequested.store(1, kRelaxed);
      }
      WriteSettingsDword(kValueTimerTrigger, 1);
      context->ButtonState = 0;
    }
  }

  if (StreamOpen(context->DriverStatus.load(std::memory_order_seq_cst)) && context->SnapshotBusy.load(kRelaxed) == 0) {
    SnapshotService(context);
  }
  // Release: what the service did with the blocks happens before their free.
  UCHAR inUse = 1;
  if (!context->PollUsingBlocks.compare_exchange_strong(inUse, 0, std::memory_order_acq_rel)) {
    // 2: the removal stopped waiting for this cycle and left StillBuffer to
    // it (see CamUnInitialize); nothing else holds the block any more.
    UCHAR* still = context->StillBuffer;
    context->StillBuffer = nullptr;
    if (still != nullptr) ExFreePool(still);
    context->PollUsingBlocks.store(0, std::memory_order_release);
  }

  if (!DeviceLive(context->DriverStatus.load(kRelaxed))) {
    return;  // removed: the poll ends for good
  }
  LARGE_INTEGER interval;
  interval.QuadPart = kButtonPollInterval;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  // Removal may have begun during the sleep; the record must not be
  // referenced by a queued item once it has.
  if (!DeviceLive(context->DriverStatus.load(kRelaxed))) {
    return;
  }
  ExQueueWorkItem(&context->ButtonWorkItem, DelayedWorkQueue);
}

void SnapshotService(DeviceContext* context)
{
  context->SnapshotBusy.store(1, kRelaxed);
  if (context->StillByProperty.load(kRelaxed) == 1) {
    // The still-capture property owns the still until it ends.
    context->SnapshotBusy.store(0, kRelaxed);
    return;
  }

  // "SnapShot" as read in the previous cycle: 0 means the application has
  // taken the last result and a new one may be posted.
  const ULONG snapShot = LoadMailbox(context->SnapShotValue);

  // A save that finds the file claimed or an untaken result waits for a
  // later cycle; the still stays ready.
  ULONG unclaimed = 0;
  if (context->StillReady.load(std::memory_order_acquire) == 1 && snapShot == 0 &&
      context->StillToSave.load(kRelaxed) == 1 &&
      g_SnapshotFileClaimed.compare_exchange_strong(unclaimed, 1, std::memory_order_acquire)) {
    if (ResultTakenNow()) {
      StoreStillFailCount(context, 0);
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      if (context->StillBuffer != nullptr) {
        BuildSnapshotHeader(context, context->StillBuffer);
        status = WriteSnapshotFile(context, kSnapshotFileName);
      }
      WriteSettingsDword(kValueSnapShot, NT_SUCCESS(status) ? kSnapShotSaved : kSnapShotFailed);
      WriteSettingsDword(kValueSnapShoot, 0);
      ReleaseStillRequest(context);
    }
    g_SnapshotFileClaimed.store(0, std::memory_order_release);
  }

  // Several incomplete stills may arrive between two cycles, so the count
  // can pass the limit unseen; any count at or past it ends the request.
  if (context->StillReady.load(kRelaxed) == 0 && snapShot == 0 && LoadStillFailCount(context) >= kStillGiveUpCount) {
    WriteSettingsDword(kValueSnapShot, kSnapShotFailed);
    WriteSettingsDword(kValueSnapShoot, 0);
    context->StillRequested.store(0, kRelaxed);
    StoreStillFailCount(context, 0);
    SelectImageSize(context);
    StoreStillCaptured(context, 0);
  }

  ReadMailbox(context);

  if (LoadMailbox(context->SnapShootValue) == 1 && context->StillRequested.load(kRelaxed) == 0) {
    VendorRequest(context, VendorDirection::Out, kRequestButton, kStillTriggerValue, kButtonIndex, 0, nullptr);
    context->StillRequested.store(1, kRelaxed);
  }

  // The application has accepted the last result: the packet routine may
  // collect the next still into StillBuffer, which this thread is done with.
  // A still collected but not yet saved (its save waited because "SnapShot"
  // was not 0, e.g. another program posted a result meanwhile) is kept: it
  // is saved at the next cycle instead of being overwritten unsaved. While
  // StillReady is 1 the packet routine collects nothing, so the two flags
  // read here cannot change under this thread but by the still property,
  // which keeps this service idle.
  if (LoadMailbox(context->SnapShotValue) == 0 && context->StillReady.load(std::memory_order_acquire) == 1 &&
      context->StillToSave.load(kRelaxed) == 0) {
    context->StillReady.store(0, std::memory_order_release);
  }

  context->SnapshotBusy.store(0, kRelaxed);
}

void BuildSnapshotHeader(DeviceContext* context, UCHAR* stillBuffer)
{
  if (context == nullptr || stillBuffer == nullptr) {
    return;
  }
  std::memcpy(stillBuffer, kHeaderLead, sizeof kHeaderLead);
  PutLe32(stillBuffer + kHeaderDataLengthOffset, kSnapshotDataLength);

  // A failed read leaves its byte as it was in the buffer.
  for (size_t i = 0; i < kHeaderRegisters.size(); ++i) {
    if (i == kRegistersBeforeGamma) {
      stillBuffer[kHeaderGammaOffset] = static_cast<UCHAR>(context->Gamma);
    }
    ReadCameraRegister(context, kHeaderRegisters[i].Register, stillBuffer + kHeaderRegisters[i].Offset);
  }

  std::memset(stillBuffer + kHeaderZeroFrom, 0, kSnapshotHeaderSize - kHeaderZeroFrom);

  // The word count comes from the camera; the header holds 191 words at
  // most, and the count written is the count copied, so a reader never
  // takes picture bytes for words.
  const UCHAR* info = context->CameraInfoBlock;
  USHORT words = static_cast<USHORT>(info[kInfoBlockWordCountOffset] | (info[kInfoBlockWordCountOffset + 1] << 8));
  if (words > kHeaderMaxWords) {
    words = kHeaderMaxWords;
  }
  PutLe16(stillBuffer + kHeaderWordCountOffset, words);
  std::memcpy(stillBuffer + kHeaderWordsOffset, info + kInfoBlockWordsOffset, size_t{words} * 4);
}

NTSTATUS WriteSnapshotFile(DeviceContext* context, PCWSTR fileName)
{
  if (context == nullptr || context->StillBuffer == nullptr || fileName == nullptr) {
    return STATUS_UNSUCCESSFUL;
  }

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, fileName);
  const size_t pathBytes = size_t{name.MaximumLength} + kPathExtraBytes;
  if (pathBytes > 0xFFFF) {
    return STATUS_NO_SUCH_FILE;  // no counted string can name it
  }
  auto* pathBuffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, pathBytes, kDriverPoolTag));
  if (pathBuffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UNICODE_STRING path{0, static_cast<USHORT>(pathBytes), pathBuffer};
  UNICODE_STRING folder;
  RtlInitUnicodeString(&folder, kSnapshotFolder);
  RtlAppendUnicodeStringToString(&path, &folder);
  RtlAppendUnicodeStringToString(&path, &name);

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE file = nullptr;
  const NTSTATUS created = ZwCreateFile(&file, SYNCHRONIZE | FILE_WRITE_DATA, &attributes, &io, nullptr,
                                        FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT,
                                        nullptr, 0);
  ExFreePool(pathBuffer);
  if (!NT_SUCCESS(created)) {
    return STATUS_NO_SUCH_FILE;
  }

  io = IO_STATUS_BLOCK{};
  const NTSTATUS written =
      ZwWriteFile(file, nullptr, nullptr, nullptr, &io, context->StillBuffer, kSnapshotFileSize, nullptr, nullptr);
  const NTSTATUS closed = ZwClose(file);
  if (!NT_SUCCESS(written) || io.Information < kSnapshotFileSize) {
    return STATUS_UNSUCCESSFUL;
  }
  return closed;
}

}  // namespace dualcam::camera
