// The host stream class: driver load, request delivery and the completion
// table behind the two notifications.
//
// Hard part: a completion may arrive on any thread, before or after the
// sender has returned from the routine it called. Each block in flight has
// one table entry; the notification records the completion there, and
// whichever side comes last (the sender returning, or a late completion of a
// read) runs the caller's `done` and removes the entry, under one lock, so
// `done` runs exactly once and never for a block already forgotten.
#include "host/classlib/stream_class.h"

#include <mutex>
#include <unordered_map>

namespace dualcam::host {
namespace {

struct Tracked {
  bool StreamKind = false;
  bool SenderReturned = false;
  RequestOutcome Outcome;
  std::function<void(const RequestOutcome&)> Done;
};

std::mutex g_mutex;
std::unordered_map<PHW_STREAM_REQUEST_BLOCK, Tracked> g_inFlight;
std::atomic<std::uint64_t> g_misuse{0};

void NoteMisuse() { g_misuse.fetch_add(1, std::memory_order_relaxed); }

void Track(PHW_STREAM_REQUEST_BLOCK srb, bool streamKind, std::function<void(const RequestOutcome&)> done) {
  std::lock_guard lock(g_mutex);
  Tracked& entry = g_inFlight[srb];
  if (entry.Outcome.DeviceCompletions + entry.Outcome.StreamCompletions != 0 || entry.Done) {
    NoteMisuse();  // the block was sent again while still in flight
  }
  entry = Tracked{};
  entry.StreamKind = streamKind;
  entry.Done = std::move(done);
}

void Notify(PHW_STREAM_REQUEST_BLOCK srb, bool streamKind) {
  std::function<void(const RequestOutcome&)> done;
  RequestOutcome outcome;
  {
    std::lock_guard lock(g_mutex);
    auto it = srb ? g_inFlight.find(srb) : g_inFlight.end();
    if (it == g_inFlight.end()) {
      NoteMisuse();
      return;
    }
    Tracked& entry = it->second;
    if (entry.StreamKind != streamKind) NoteMisuse();
    if (entry.Outcome.DeviceCompletions + entry.Outcome.StreamCompletions != 0) {
      NoteMisuse();  // completed twice
      return;
    }
    (streamKind ? entry.Outcome.StreamCompletions : entry.Outcome.DeviceCompletions)++;
    entry.Outcome.Status = srb->Status;
    entry.Outcome.ActualBytesTransferred = srb->ActualBytesTransferred;
    if (!entry.SenderReturned) return;  // the sender picks it up
    done = std::move(entry.Done);
    outcome = entry.Outcome;
    g_inFlight.erase(it);
  }
  if (done) done(outcome);
}

// Called by the sender after the routine returned: the outcome so far; the
// entry stays for a completion still to come when `keepForLate` is set.
RequestOutcome SenderReturned(PHW_STREAM_REQUEST_BLOCK srb, bool keepForLate) {
  std::function<void(const RequestOutcome&)> done;
  RequestOutcome outcome;
  {
    std::lock_guard lock(g_mutex);
    auto it = g_inFlight.find(srb);
    if (it == g_inFlight.end()) return outcome;
    Tracked& entry = it->second;
    outcome = entry.Outcome;
    const bool completed = outcome.DeviceCompletions + outcome.StreamCompletions != 0;
    if (!completed && keepForLate) {
      entry.SenderReturned = true;
      return outcome;
    }
    if (!completed) {
      NoteMisuse();  // a device request must be completed before the routine returns
      outcome.Status = srb->Status;
    }
    done = std::move(entry.Done);
    g_inFlight.erase(it);
  }
  if (done) done(outcome);
  return outcome;
}

}  // namespace

std::uint64_t StreamClassMisuse() { return g_misuse.load(std::memory_order_relaxed); }

HW_STREAM_REQUEST_BLOCK MakeRequest(SRB_COMMAND command, PVOID deviceExtension, PHW_STREAM_OBJECT stream) {
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.SizeOfThisPacket = sizeof srb;
  srb.Command = command;
  srb.Status = STATUS_PENDING;  // the stream class preloads it
  srb.HwDeviceExtension = deviceExtension;
  srb.StreamObject = stream;
  if (stream) srb.Flags = SRB_HW_FLAGS_STREAM_REQUEST;
  return srb;
}

std::unique_ptr<StreamClass> StreamClass::Load(DriverEntryRoutine entry, NTSTATUS* status) {
  NTSTATUS dummy;
  if (!status) status = &dummy;
  if (!entry) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  ResetCameraDriver();
  std::unique_ptr<StreamClass> loaded(new StreamClass());
  loaded->driver_object_.Type = 4;  // IO_TYPE_DRIVER
  loaded->driver_object_.Size = sizeof(DRIVER_OBJECT);
  *status = entry(&loaded->driver_object_, &loaded->registry_path_);
  if (!NT_SUCCESS(*status)) return nullptr;
  const CameraDriverRegistration registration = CurrentCameraDriver();
  if (!registration.Registered || registration.ReceivePacket == nullptr) {
    *status = STATUS_DEVICE_NOT_READY;
    return nullptr;
  }
  loaded->receive_packet_ = registration.ReceivePacket;
  return loaded;
}

StreamClass::~StreamClass() = default;

RequestOutcome StreamClass::SendDeviceRequest(HW_STREAM_REQUEST_BLOCK& srb) {
  Track(&srb, false, nullptr);
  receive_packet_(&srb);
  return SenderReturned(&srb, false);
}

RequestOutcome StreamClass::SendStreamRequest(CameraDevice& device, HW_STREAM_REQUEST_BLOCK& srb, bool dataRequest,
                                              std::function<void(const RequestOutcome&)> done) {
  const bool mayCompleteLate = static_cast<bool>(done);
  Track(&srb, true, std::move(done));
  device.ReceiveStreamRequest(&srb, dataRequest);
  return SenderReturned(&srb, mayCompleteLate);
}

}  // namespace dualcam::host

// --- The notifications minidrivers and the class library call ---------------

VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID,
                                   PHW_STREAM_REQUEST_BLOCK Srb) {
  if (NotificationType != DeviceRequestComplete) return;  // ready and event notices carry no completion
  dualcam::host::Notify(Srb, false);
}

VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType, PHW_STREAM_OBJECT,
                                   PHW_STREAM_REQUEST_BLOCK Srb) {
  if (NotificationType != StreamRequestComplete) return;
  dualcam::host::Notify(Srb, true);
}
