// The camera extension and VfW key property sets.
//
// Hard part: these requests reach straight into the camera, the settings
// key and a system key, so every field is bounded before use (text must end
// within its room, lengths must fit their fields), data is exchanged only
// through the request's own buffer, and a caller's key handle is honoured
// only when this driver opened it. The still capture blocks the request
// thread for up to ten seconds while the packet path and the button poll
// run on other threads; it holds StillByProperty for the whole wait and
// clears the shared still flags at the end whatever happened.
#include "camera/extension_properties.h"

#include <atomic>
#include <cstring>

#include "camera/properties.h"
#include "camera/registry_values.h"
#include "camera/settings.h"
#include "camera/vendor.h"

namespace dualcam::camera {
namespace {

// ---- Key handles opened for callers ----------------------------------------------

// A caller names its key by the 32-bit value the get returned. Each open
// handle is kept here with that value; a close or value write looks the
// value up and uses the handle kept here, so a value this driver never gave
// out (or already took back) can reach neither ZwClose nor ZwSetValueKey.
// Slots are claimed and released with single atomic operations: two cameras
// may answer property requests at once.
struct VfwHandleSlot {
  std::atomic<ULONG_PTR> Handle;  // 0 = free
};
VfwHandleSlot gVfwHandles[kVfwHandleSlots];

bool ClaimVfwSlot(HANDLE handle)
{
  const auto value = reinterpret_cast<ULONG_PTR>(handle);
  for (VfwHandleSlot& slot : gVfwHandles) {
    ULONG_PTR expected = 0;
    if (slot.Handle.compare_exchange_strong(expected, value, std::memory_order_acq_rel)) return true;
  }
  return false;
}

// Takes the handle named by `token` out of the table; null when none is.
HANDLE ReleaseVfwSlot(ULONG token)
{
  if (token == 0) return nullptr;
  for (VfwHandleSlot& slot : gVfwHandles) {
    ULONG_PTR expected = token;
    if (slot.Handle.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
      return reinterpret_cast<HANDLE>(expected);
    }
  }
  return nullptr;
}

// The handle named by `token`, left in the table; null when none is.
HANDLE FindVfwSlot(ULONG token)
{
  if (token == 0) return nullptr;
  for (const VfwHandleSlot& slot : gVfwHandles) {
    if (slot.Handle.load(std::memory_order_acquire) == token) return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(token));
  }
  return nullptr;
}

// Length of zero-terminated 8-bit text within `room` bytes, or -1 when no
// terminator lies within them.
int BoundedLength(const UCHAR* text, ULONG room)
{
  const void* end = std::memchr(text, 0, room);
  return end == nullptr ? -1 : static_cast<int>(static_cast<const UCHAR*>(end) - text);
}

// Characters of zero-terminated wide text within `roomBytes`, or -1.
int BoundedWideLength(const UCHAR* text, ULONG roomBytes)
{
  for (ULONG i = 0; i + 1 < roomBytes; i += 2) {
    if (text[i] == 0 && text[i + 1] == 0) return static_cast<int>(i / 2);
  }
  return -1;
}

// ---- Camera extension items ------------------------------------------------------

NTSTATUS FlickerGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb, UCHAR* buffer)
{
  srb->ActualBytesTransferred = kExtensionBufferSize;
  WriteUlongAt(buffer, kExtValueOffset, context->Flicker60);
  return Complete(srb, STATUS_SUCCESS);
}

NTSTATUS FlickerSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb, const UCHAR* buffer)
{
  // Any value is kept as given (not 0 means 60 Hz); the next settings load
  // brings an out-of-range value back to the default.
  context->Flicker60 = ReadUlongAt(buffer, kExtValueOffset);
  VendorRequest(context, VendorDirection::Out, kRequestFlicker, FlickerValue(context), 0, 0, nullptr);
  SaveSettings(context, kSaveFlicker60);
  return Complete(srb, STATUS_SUCCESS);
}

NTSTATUS StillCaptureGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb, UCHAR* buffer)
{
  srb->ActualBytesTransferred = kExtensionBufferSize;
  // Keeps the button poll's snapshot service away from this still.
  context->StillByProperty.store(1, std::memory_order_relaxed);
  VendorRequest(context, VendorDirection::Out, kRequestButton, kStillTriggerValue, kButtonIndex, 0, nullptr);
  context->StillRequested.store(1, std::memory_order_relaxed);

  // One second, then look; at the tenth miss give up: at most ten sleeps.
  bool seen = false;
  DelayMs(kStillWaitMs);
  for (int misses = 0;;) {
    // Acquire pairs with the packet path's release: the still's bytes are
    // in StillBuffer once the flag reads 1.
    if (context->StillReady.load(std::memory_order_acquire) == 1) {
      seen = true;
      break;
    }
    if (++misses == kStillWaitLimit) break;
    DelayMs(kStillWaitMs);
  }

  UCHAR* data = buffer + kExtDataOffset;
  ULONG delivered = 0;
  if (seen && context->StillBuffer != nullptr) {
    // The still's raw data starts after the 1024-byte header gap.
    std::memcpy(data, context->StillBuffer + driver::kCameraInfoBlockSize, kExtDataSize);
    delivered = kExtDataSize;
  } else {
    std::memset(data, 0, kExtDataSize);
  }

  context->StillReady.store(0, std::memory_order_release);
  context->StillRequested.store(0, std::memory_order_relaxed);
  context->StillToSave.store(0, std::memory_order_relaxed);
  context->StillByProperty.store(0, std::memory_order_relaxed);
  SelectImageSize(context);

  WriteUlongAt(buffer, kExtValueOffset, delivered);
  return Complete(srb, STATUS_SUCCESS);
}

NTSTATUS ReadInfoGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb, UCHAR* buffer)
{
  srb->ActualBytesTransferred = kExtensionBufferSize;
  ReadCameraInfoBlock(context, context->CameraInfoBlock);
  static_assert(sizeof(context->CameraInfoBlock) == kExtDataSize);
  std::memcpy(buffer + kExtDataOffset, context->CameraInfoBlock, kExtDataSize);
  WriteUlongAt(buffer, kExtValueOffset, kExtDataSize);
  return Complete(srb, STATUS_SUCCESS);
}

NTSTATUS WriteInfoSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb, const UCHAR* buffer)
{
  // Value states how many bytes the data area carries; only a whole block
  // is written, and a caller still passing an address is refused here.
  if (ReadUlongAt(buffer, kExtValueOffset) != kExtDataSize) return Complete(srb, STATUS_INVALID_PARAMETER);
  return Complete(srb, WriteCameraInfoBlock(context, buffer + kExtDataOffset));
}

NTSTATUS RegistryDwordSet(PHW_STREAM_REQUEST_BLOCK srb, const UCHAR* buffer)
{
  const UCHAR* name = buffer + kExtNameOffset;
  if (BoundedLength(name, kExtNameSize) < 0) return Complete(srb, STATUS_INVALID_PARAMETER);

  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, reinterpret_cast<PCSZ>(name));
  WCHAR wide[kExtNameSize];
  UNICODE_STRING unicode{0, static_cast<USHORT>(sizeof wide), wide};
  const NTSTATUS converted = RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE);
  if (!NT_SUCCESS(converted)) return Complete(srb, converted);
  wide[unicode.Length / sizeof(WCHAR)] = u'\0';
  return Complete(srb, WriteSettingsDword(wide, ReadUlongAt(buffer, kExtValueOffset)));
}

NTSTATUS VendorReadSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb, const UCHAR* buffer)
{
  const ULONG length = ReadUshortAt(buffer, kExtRequestLengthOffset);
  if (length > kVendorReplyCellSize) return Complete(srb, STATUS_INVALID_PARAMETER);
  ULONG cell = 0;
  VendorRequest(context, VendorDirection::In, static_cast<UCHAR>(ReadUshortAt(buffer, kExtRequestOffset) & 0xFF),
                ReadUshortAt(buffer, kExtRequestValueOffset), ReadUshortAt(buffer, kExtRequestIndexOffset), length,
                &cell);
  WriteSettingsDword(kValueVendorReadReply, cell);
  return Complete(srb, STATUS_SUCCESS);
}

NTSTATUS VendorWriteSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb, const UCHAR* buffer)
{
  VendorRequest(context, VendorDirection::Out, static_cast<UCHAR>(ReadUshortAt(buffer, kExtRequestOffset) & 0xFF),
                ReadUshortAt(buffer, kExtRequestValueOffset), ReadUshortAt(buffer, kExtRequestIndexOffset), 0,
                nullptr);
  return Complete(srb, STATUS_SUCCESS);
}

// The request's buffer when it holds a whole `size`-byte structure and
// names item `*id`; otherwise completes the request and returns null.
UCHAR* WholeBuffer(PHW_STREAM_REQUEST_BLOCK srb, ULONG size, ULONG* id)
{
  PropertyBuffers buffers;
  if (!GetPropertyBuffers(srb, &buffers)) {
    Complete(srb, STATUS_INVALID_PARAMETER);
    return nullptr;
  }
  *id = ReadUlongAt(buffers.Property, offsetof(KSPROPERTY, Id));
  if (buffers.InfoSize < size) {
    Complete(srb, STATUS_BUFFER_TOO_SMALL);
    return nullptr;
  }
  return buffers.Info;
}

}  // namespace

NTSTATUS CameraExtensionGet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb)
{
  ULONG id = 0;
  UCHAR* buffer = WholeBuffer(srb, kExtensionBufferSize, &id);
  if (buffer == nullptr) return srb->Status;
  switch (id) {
    case CAMEXT_FLICKER: return FlickerGet(context, srb, buffer);
    case CAMEXT_STILL_CAPTURE: return StillCaptureGet(context, srb, buffer);
    case CAMEXT_READ_INFO: return ReadInfoGet(context, srb, buffer);
    default: return Complete(srb, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS CameraExtensionSet(DeviceContext* context, PHW_STREAM_REQUEST_BLOCK srb)
{
  ULONG id = 0;
  const UCHAR* buffer = WholeBuffer(srb, kExtensionBufferSize, &id);
  if (buffer == nullptr) return srb->Status;
  switch (id) {
    case CAMEXT_FLICKER: return FlickerSet(context, srb, buffer);
    case CAMEXT_WRITE_INFO: return WriteInfoSet(context, srb, buffer);
    case CAMEXT_REGISTRY_DWORD: return RegistryDwordSet(srb, buffer);
    case CAMEXT_VENDOR_READ: return VendorReadSet(context, srb, buffer);
    case CAMEXT_VENDOR_WRITE: return VendorWriteSet(context, srb, buffer);
    default: return Complete(srb, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS VfwKeyGet(DeviceContext* /*context*/, PHW_STREAM_REQUEST_BLOCK srb)
{
  ULONG id = 0;
  UCHAR* buffer = WholeBuffer(srb, kVfwBufferSize, &id);
  if (buffer == nullptr) return srb->Status;
  if (id != kVfwKeyPropertyId) return Complete(srb, STATUS_NOT_SUPPORTED);
  srb->ActualBytesTransferred = kVfwBufferSize;

  UNICODE_STRING path;
  RtlInitUnicodeString(&path, kVfwKeyPath);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE handle = nullptr;
  const NTSTATUS status = ZwOpenKey(&handle, KEY_ALL_ACCESS, &attributes);
  if (!NT_SUCCESS(status)) return Complete(srb, status);

  // The caller gets the handle as a 32-bit value: one that does not fit, or
  // one more than the table holds, is closed again rather than left open
  // under a name nobody can use.
  const auto value = reinterpret_cast<ULONG_PTR>(handle);
  if (value == 0 || value > 0xFFFFFFFFu || !ClaimVfwSlot(handle)) {
    ZwClose(handle);
    return Complete(srb, STATUS_INSUFFICIENT_RESOURCES);
  }
  WriteUlongAt(buffer, kVfwHandleOutOffset, static_cast<ULONG>(value));
  return Complete(srb, STATUS_SUCCESS);
}

NTSTATUS VfwKeySet(DeviceContext* /*context*/, PHW_STREAM_REQUEST_BLOCK srb)
{
  ULONG id = 0;
  UCHAR* buffer = WholeBuffer(srb, kVfwBufferSize, &id);
  if (buffer == nullptr) return srb->Status;
  if (id != kVfwKeyPropertyId) return Complete(srb, STATUS_NOT_SUPPORTED);

  const ULONG command = ReadUlongAt(buffer, kVfwCommandOffset);
  const ULONG token = ReadUlongAt(buffer, kVfwHandleInOffset);
  switch (command) {
    case kVfwCommandClose: {
      HANDLE handle = ReleaseVfwSlot(token);
      if (handle == nullptr) return Complete(srb, STATUS_INVALID_HANDLE);
      return Complete(srb, ZwClose(handle));
    }
    case kVfwCommandSetValue: {
      HANDLE handle = FindVfwSlot(token);
      if (handle == nullptr) return Complete(srb, STATUS_INVALID_HANDLE);
      const int nameChars = BoundedWideLength(buffer + kVfwValueNameOffset, kVfwValueNameSize);
      const ULONG dataLength = ReadUlongAt(buffer, kVfwDataLengthOffset);
      if (nameChars < 0 || dataLength > kVfwDataSize) return Complete(srb, STATUS_INVALID_PARAMETER);
      // Copied out so the name is an aligned, terminated wide string.
      WCHAR name[kVfwValueNameSize / sizeof(WCHAR)];
      std::memcpy(name, buffer + kVfwValueNameOffset, (static_cast<size_t>(nameChars) + 1) * sizeof(WCHAR));
      UNICODE_STRING valueName;
      RtlInitUnicodeString(&valueName, name);
      return Complete(srb, ZwSetValueKey(handle, &valueName, 0, ReadUlongAt(buffer, kVfwValueTypeOffset),
                                         buffer + kVfwDataOffset, dataLength));
    }
    default: return Complete(srb, STATUS_NOT_SUPPORTED);
  }
}

int CloseVfwKeyHandles()
{
  // Each slot is emptied with one exchange, so a close racing with this one
  // (a caller's command 1 on another thread) closes a handle exactly once.
  // The handles were opened in the callers' request threads; the host keeps
  // one handle table for the process, so closing them here closes theirs.
  int closed = 0;
  for (VfwHandleSlot& slot : gVfwHandles) {
    const ULONG_PTR value = slot.Handle.exchange(0, std::memory_order_acq_rel);
    if (value != 0) {
      ZwClose(reinterpret_cast<HANDLE>(value));
      ++closed;
    }
  }
  return closed;
}

int OpenVfwKeyHandles()
{
  int open = 0;
  for (const VfwHandleSlot& slot : gVfwHandles) {
    if (slot.Handle.load(std::memory_order_relaxed) != 0) ++open;
  }
  return open;
}

}  // namespace dualcam::camera
