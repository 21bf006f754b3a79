// The host stream class: loads a camera minidriver, brings it the device and
// stream requests of capture applications as request blocks, and receives the
// minidriver's and the class library's completion notifications
// (StreamClassDeviceNotification, StreamClassStreamNotification).
//
// Hard part: completion is a contract with two sides. Every request handed
// to a minidriver must be completed exactly once, with the notification of
// its kind (device requests by the device notification, stream requests by
// the stream notification), and a device request before the request routine
// returns; reads complete later, from the thread that pumps the camera. The
// stream class keeps every request block it sent in a table until its
// completion arrives, so a double completion, a completion of the wrong kind
// or of a block it never sent is caught and counted (Misuse) instead of
// touching freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "host/classlib/camera_class_library.h"
#include "platform/kernel.h"
#include "platform/streamclass.h"

namespace dualcam::host {

// A minidriver's entry point, as the loader calls it.
using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// What came back of one request.
struct RequestOutcome {
  NTSTATUS Status = STATUS_PENDING;
  ULONG ActualBytesTransferred = 0;
  unsigned DeviceCompletions = 0;  // DeviceRequestComplete notifications
  unsigned StreamCompletions = 0;  // StreamRequestComplete notifications
  bool CompletedOnce() const { return DeviceCompletions + StreamCompletions == 1; }
};

// Completions that broke the contract, process-wide: blocks never sent or
// already completed, and completions of the wrong kind.
std::uint64_t StreamClassMisuse();

class StreamClass {
 public:
  // Calls the entry point with this driver object; the minidriver registers
  // with the class library from there. Returns null with *status set when
  // the entry point fails or registers nothing.
  static std::unique_ptr<StreamClass> Load(DriverEntryRoutine entry, NTSTATUS* status = nullptr);
  ~StreamClass();
  StreamClass(const StreamClass&) = delete;
  StreamClass& operator=(const StreamClass&) = delete;

  PDRIVER_OBJECT DriverObject() { return &driver_object_; }

  // Sends one device request to the minidriver's request routine.
  // HwDeviceExtension must already name the device. A request not completed
  // by the time the routine returns is counted as misuse and reported with
  // its Status as it stands.
  RequestOutcome SendDeviceRequest(HW_STREAM_REQUEST_BLOCK& srb);

  // Sends one stream request of an open stream to the class library, which
  // shows it to the minidriver's hook first. A data request that is not
  // completed at once is completed later; `done` runs then (on the thread
  // that completes it) and the block must stay valid until it has run.
  RequestOutcome SendStreamRequest(CameraDevice& device, HW_STREAM_REQUEST_BLOCK& srb, bool dataRequest,
                                   std::function<void(const RequestOutcome&)> done = nullptr);

 private:
  StreamClass() = default;
  DRIVER_OBJECT driver_object_{};
  UNICODE_STRING registry_path_{};
  PHW_RECEIVE_DEVICE_SRB receive_packet_ = nullptr;
};

// A request block filled in as the stream class fills it.
HW_STREAM_REQUEST_BLOCK MakeRequest(SRB_COMMAND command, PVOID deviceExtension,
                                    PHW_STREAM_OBJECT stream = nullptr);

}  // namespace dualcam::host
