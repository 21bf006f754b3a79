// Our USB camera class library: driver registration, the attached devices,
// their vendor commands and alternate settings, and the gathering of
// isochronous packets into raw frames handed to the minidriver.
//
// Hard part: the raw frame buffer. The minidriver decides how many bytes of
// each packet to keep and may ask for more than the frame's buffer holds; the
// decoder it calls reads past the end of the frame it is given. So every
// append is clamped to the buffer, the reported packet count never implies
// more bytes than the buffer has, and before a frame is handed over the
// buffer is zeroed from the frame's end up to everything an earlier frame
// wrote (the slack after the capacity is never written at all).
#include "host/classlib/camera_class_library.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "pipeline/decoder/decoder.h"
#include "platform/streamclass.h"

namespace dualcam::host {
namespace {

std::mutex g_mutex;
CameraDriverRegistration g_registration;
std::unordered_map<PVOID, CameraDevice*> g_devices;

CameraDevice* FindDeviceLocked(PVOID context) {
  auto it = g_devices.find(context);
  return it == g_devices.end() ? nullptr : it->second;
}

// The most pipes an interface record may claim (USB 2.0 9.6.5 allows 15
// endpoints a direction beside the default pipe).
constexpr ULONG kMaxPipes = 32;

}  // namespace

CameraDriverRegistration CurrentCameraDriver() {
  std::lock_guard lock(g_mutex);
  return g_registration;
}

void ResetCameraDriver() {
  std::lock_guard lock(g_mutex);
  g_registration = {};
}

NTSTATUS NtStatusFromBus(bus::Status status) {
  switch (status) {
    case bus::Status::kOk: return STATUS_SUCCESS;
    case bus::Status::kTimeout: return STATUS_IO_TIMEOUT;
    case bus::Status::kStall: return STATUS_UNSUCCESSFUL;
    case bus::Status::kError: return STATUS_DEVICE_DATA_ERROR;
    case bus::Status::kNoDevice: return STATUS_DEVICE_NOT_CONNECTED;
    case bus::Status::kNoBandwidth: return STATUS_INSUFFICIENT_RESOURCES;
    case bus::Status::kInvalid: return STATUS_INVALID_PARAMETER;
    case bus::Status::kBusy: return STATUS_DEVICE_BUSY;
    case bus::Status::kAccess: return STATUS_ACCESS_DENIED;
    case bus::Status::kNotFound: return STATUS_NO_SUCH_DEVICE;
    case bus::Status::kNoMemory: return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_UNSUCCESSFUL;
}

USBD_STATUS UsbdPacketStatus(bus::PacketStatus status, ULONG length, ULONG packetSize) {
  switch (status) {
    // A short packet completes with the underrun status whose error bits the
    // library clears: 9, which the minidriver takes as "fewer bytes came".
    case bus::PacketStatus::kOk: return length >= packetSize ? USBD_STATUS_SUCCESS : (USBD_STATUS_DATA_UNDERRUN & 0xFF);
    case bus::PacketStatus::kError: return USBD_STATUS_ISO_TD_ERROR;
    case bus::PacketStatus::kOverflow: return USBD_STATUS_DATA_OVERRUN;
    case bus::PacketStatus::kStall: return USBD_STATUS_STALL_PID;
    case bus::PacketStatus::kMissed: return USBD_STATUS_ISO_NOT_ACCESSED_LATE;
    case bus::PacketStatus::kNoDevice: return USBD_STATUS_DEV_NOT_RESPONDING;
  }
  return USBD_STATUS_ISO_TD_ERROR;
}

// --- CameraDevice ----------------------------------------------------------

CameraDevice::CameraDevice(Options options)
    : bus_(std::move(options.Bus)), vendor_timeout_(options.VendorTimeout), frame_wait_(options.FrameWait) {}

std::unique_ptr<CameraDevice> CameraDevice::Attach(Options options, NTSTATUS* status) {
  NTSTATUS dummy;
  if (!status) status = &dummy;
  std::unique_ptr<CameraDevice> device = Create(std::move(options), status);
  if (!device) return nullptr;
  *status = device->Initialize();
  if (!NT_SUCCESS(*status)) return nullptr;  // the destructor runs CamUnInitialize if configured
  return device;
}

std::unique_ptr<CameraDevice> CameraDevice::Create(Options options, NTSTATUS* status) {
  NTSTATUS dummy;
  if (!status) status = &dummy;
  if (!options.Bus) {
    *status = STATUS_NO_SUCH_DEVICE;
    return nullptr;
  }
  const CameraDriverRegistration reg = CurrentCameraDriver();
  const USBCAMD_DEVICE_DATA* data = options.DeviceData;
  if (!data && reg.HasDeviceData) data = &reg.DeviceData;
  if (!reg.Registered || reg.DeviceContextSize == 0) {
    *status = STATUS_DEVICE_NOT_READY;
    return nullptr;
  }

  std::unique_ptr<CameraDevice> device(new CameraDevice(std::move(options)));
  if (data) {
    device->callbacks_ = *data;
    device->has_table_ = true;
  }
  device->context_size_ = reg.DeviceContextSize;
  device->context_ = ExAllocatePoolWithTag(NonPagedPool, reg.DeviceContextSize, kLibraryPoolTag);
  if (!device->context_) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  std::memset(device->context_, 0, reg.DeviceContextSize);
  device->frame_context_.assign(std::max<ULONG>(reg.FrameContextSize, 4), 0);
  // The bus says when the device leaves; only a flag is shared, so a notice
  // arriving while the record goes away touches nothing freed.
  device->bus_->SetGoneHandler([flag = device->vanished_] { flag->store(true, std::memory_order_release); });
  {
    std::lock_guard lock(g_mutex);
    g_devices[device->context_] = device.get();
  }
  *status = STATUS_SUCCESS;
  return device;
}

NTSTATUS CameraDevice::Initialize() {
  std::lock_guard lock(mutex_);
  if (configured_ || removed_ || uninitialized_) return STATUS_INVALID_DEVICE_REQUEST;
  if (!has_table_) {
    // No table came with the device: take the one the driver last handed
    // over, or there is nothing to bring the camera up with.
    const CameraDriverRegistration reg = CurrentCameraDriver();
    if (!reg.HasDeviceData) return STATUS_DEVICE_NOT_READY;
    callbacks_ = reg.DeviceData;
    has_table_ = true;
  }
  // The streaming interface, from the device's own descriptors.
  const std::span<const uint8_t> config = bus_->ConfigurationDescriptor();
  if (const auto parsed = bus::ParseConfiguration(config)) streaming_ = bus::FindStreamingInterface(*parsed);
  if (!streaming_) {
    configure_status_ = STATUS_DEVICE_DATA_ERROR;
    return configure_status_;
  }
  uint32_t largest = 1;
  for (const auto& setting : streaming_->settings) largest = std::max(largest, setting.packet_size);
  slot_.assign(largest, 0);

  // The interface as the bus driver describes it after selecting alternate
  // setting 0: the streaming endpoint first, carrying nothing yet.
  const ULONG pipes = std::min<ULONG>(streaming_->pipes, kMaxPipes);
  interface_info_.assign(GET_USBD_INTERFACE_SIZE(pipes), 0);
  auto* iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interface_info_.data());
  iface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
  iface->InterfaceNumber = streaming_->number;
  iface->AlternateSetting = 0;
  iface->NumberOfPipes = pipes;
  FillPipes(iface, *streaming_->Setting(0));
  for (ULONG i = 0; i < pipes; ++i) iface->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  // The configuration descriptor as it came, never shorter than its header.
  config_descriptor_.assign(config.begin(), config.end());
  if (config_descriptor_.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    config_descriptor_.resize(sizeof(USB_CONFIGURATION_DESCRIPTOR), 0);

  configure_status_ = callbacks_.CamConfigure
                          ? callbacks_.CamConfigure(&bus_device_, context_, iface,
                                                    reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
                                                        config_descriptor_.data()),
                                                    &data_pipe_index_, &sync_pipe_index_)
                          : STATUS_SUCCESS;
  if (!NT_SUCCESS(configure_status_)) return configure_status_;
  configured_ = true;

  initialize_status_ = callbacks_.CamInitialize ? callbacks_.CamInitialize(&bus_device_, context_) : STATUS_SUCCESS;
  initialized_ = true;  // CamUnInitialize follows even a failed initialization
  return initialize_status_;
}

void CameraDevice::FillPipes(PUSBD_INTERFACE_INFORMATION record, const bus::StreamingSetting& setting) const {
  record->Class = streaming_->interface_class;
  record->SubClass = streaming_->interface_subclass;
  record->Protocol = streaming_->interface_protocol;
  record->InterfaceHandle = const_cast<CameraDevice*>(this);
  for (ULONG i = 0; i < record->NumberOfPipes; ++i) {
    USBD_PIPE_INFORMATION& pipe = record->Pipes[i];
    pipe.PipeHandle = &pipe;
    if (i == 0) {
      pipe.MaximumPacketSize = static_cast<USHORT>(std::min<uint32_t>(setting.packet_size, 0xFFFF));
      pipe.EndpointAddress = setting.endpoint ? setting.endpoint : streaming_->endpoint;
      pipe.Interval = setting.interval;
      pipe.PipeType = UsbdPipeTypeIsochronous;
    } else if (i - 1 < setting.others.size()) {
      const bus::Endpoint& e = setting.others[i - 1];
      pipe.MaximumPacketSize = static_cast<USHORT>(std::min<uint32_t>(e.BytesPerInterval(), 0xFFFF));
      pipe.EndpointAddress = e.address;
      pipe.Interval = e.interval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e.attributes & 0x03);
    } else {
      pipe.MaximumPacketSize = 0;
      pipe.EndpointAddress = 0;
      pipe.Interval = 0;
      pipe.PipeType = UsbdPipeTypeIsochronous;
    }
  }
}

CameraDevice::~CameraDevice() { Remove(); }

NTSTATUS CameraDevice::UnInitialize() {
  std::lock_guard lock(mutex_);
  return UnInitializeLocked();
}

NTSTATUS CameraDevice::UnInitializeLocked() {
  if (uninitialized_) return STATUS_SUCCESS;
  uninitialized_ = true;
  if (capturing_) StopCaptureLocked();
  CancelReadsLocked();
  StopStreamLocked();
  stream_open_ = false;
  stream_state_ = KSSTATE_STOP;
  if (configured_ && callbacks_.CamUnInitialize) return callbacks_.CamUnInitialize(&bus_device_, context_);
  return STATUS_SUCCESS;
}

NTSTATUS CameraDevice::Remove() {
  std::lock_guard lock(mutex_);
  if (removed_) return STATUS_SUCCESS;
  const NTSTATUS status = UnInitializeLocked();
  removed_ = true;
  bus_->SetGoneHandler(nullptr);
  if (context_) {
    {
      std::lock_guard registry(g_mutex);
      g_devices.erase(context_);
    }
    ExFreePool(context_);
    context_ = nullptr;
  }
  return status;
}

void CameraDevice::Unplug() {
  std::lock_guard lock(mutex_);
  UnplugLocked();
}

void CameraDevice::UnplugLocked() {
  if (capturing_) StopCaptureLocked();
  CancelReadsLocked();
  StopStreamLocked();
  unplugged_.store(true, std::memory_order_relaxed);
}

NTSTATUS CameraDevice::StartCapture(PVOID format) {
  std::lock_guard lock(mutex_);
  return StartCaptureLocked(format);
}

NTSTATUS CameraDevice::StartCaptureLocked(PVOID format) {
  if (removed_) return STATUS_DEVICE_REMOVED;
  if (capturing_) StopCaptureLocked();
  ULONG raw_length = 0;
  const NTSTATUS status = callbacks_.CamAllocateBandwidth
                              ? callbacks_.CamAllocateBandwidth(&bus_device_, context_, &raw_length, format)
                              : STATUS_NOT_SUPPORTED;
  if (!NT_SUCCESS(status) || raw_length == 0 || raw_length > kMaxRawFrameLength) {
    // No capture follows; the allocation is given back all the same, since
    // it may have woken the camera and started its capture engine before it
    // failed (or before it found no setting, or asked for an impossible
    // frame). The free drops to alternate setting 0 and parks the camera.
    raw_frame_length_ = 0;
    if (callbacks_.CamAllocateBandwidth && callbacks_.CamFreeBandwidth)
      callbacks_.CamFreeBandwidth(&bus_device_, context_);
    StopStreamLocked();
    return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
  }
  raw_frame_length_ = raw_length;
  // Allocated once per capture, outside the packet path; zero throughout so
  // the slack after the capacity is zero for the whole capture.
  raw_buffer_.assign(static_cast<std::size_t>(raw_length) + decoder::kRawFrameSlack, 0);
  gathered_ = 0;
  dirty_end_ = 0;
  packets_in_frame_ = 0;
  truncated_ = false;
  std::fill(frame_context_.begin(), frame_context_.end(), 0);
  capturing_ = true;
  if (callbacks_.CamNewVideoFrame) callbacks_.CamNewVideoFrame(context_, frame_context_.data());
  if (callbacks_.CamStartCapture) {
    const NTSTATUS started = callbacks_.CamStartCapture(&bus_device_, context_);
    if (!NT_SUCCESS(started)) {
      StopCaptureLocked();
      return started;
    }
  }
  return status;
}

NTSTATUS CameraDevice::StopCapture() {
  std::lock_guard lock(mutex_);
  return StopCaptureLocked();
}

NTSTATUS CameraDevice::StopCaptureLocked() {
  if (!capturing_) return STATUS_SUCCESS;
  capturing_ = false;
  if (callbacks_.CamStopCapture) callbacks_.CamStopCapture(&bus_device_, context_);
  const NTSTATUS status =
      callbacks_.CamFreeBandwidth ? callbacks_.CamFreeBandwidth(&bus_device_, context_) : STATUS_SUCCESS;
  // Whatever setting the free left selected, nothing is received any more.
  StopStreamLocked();
  // A partly gathered frame is dropped with the capture.
  gathered_ = 0;
  packets_in_frame_ = 0;
  return status;
}

NTSTATUS CameraDevice::SaveState() {
  std::lock_guard lock(mutex_);
  if (removed_ || !callbacks_.CamSaveState) return STATUS_SUCCESS;
  return callbacks_.CamSaveState(&bus_device_, context_);
}

NTSTATUS CameraDevice::RestoreState() {
  std::lock_guard lock(mutex_);
  if (removed_ || !callbacks_.CamRestoreState) return STATUS_SUCCESS;
  return callbacks_.CamRestoreState(&bus_device_, context_);
}

std::vector<CameraDevice::Selection> CameraDevice::Selections() const {
  std::lock_guard lock(selection_mutex_);
  return selections_;
}

void CameraDevice::StopStreamLocked() {
  std::lock_guard lock(selection_mutex_);
  if (stream_running_) bus_->StopStream();
  stream_running_ = false;
}

NTSTATUS CameraDevice::SelectAlternateInterface(PUSBD_INTERFACE_INFORMATION request) {
  std::lock_guard lock(selection_mutex_);
  if (!request) return STATUS_INVALID_PARAMETER;
  const uint8_t wanted = request->AlternateSetting;
  auto result = [&](NTSTATUS status) {
    selections_.push_back({wanted, status});
    return status;
  };
  // The record must have room for the pipes it claims.
  if (request->NumberOfPipes < 1 || request->NumberOfPipes > kMaxPipes ||
      request->Length < GET_USBD_INTERFACE_SIZE(request->NumberOfPipes))
    return result(STATUS_INVALID_PARAMETER);
  const bus::StreamingSetting* setting = streaming_ ? streaming_->Setting(wanted) : nullptr;
  if (!setting || request->InterfaceNumber != streaming_->number) return result(STATUS_INVALID_PARAMETER);
  if (Unplugged() || bus_->Gone()) return result(STATUS_DEVICE_NOT_CONNECTED);

  // The interface changes only while nothing streams from it.
  const bool was_running = stream_running_;
  if (stream_running_) bus_->StopStream();
  stream_running_ = false;
  bus::Status selected = bus_->SelectAlternateSetting(streaming_->number, wanted);
  if (selected == bus::Status::kOk && setting->packet_size > 0) {
    selected = bus_->StartStream(setting->endpoint, setting->packet_size);
    if (selected == bus::Status::kOk) {
      stream_running_ = true;
    } else {
      // Without its stream the setting is no use: back to the one that
      // carries nothing, and the minidriver tries a smaller one.
      bus_->SelectAlternateSetting(streaming_->number, 0);
      alternate_setting_.store(0, std::memory_order_relaxed);
      packet_size_.store(0, std::memory_order_relaxed);
    }
  }
  if (selected != bus::Status::kOk) {
    // The old setting stays; so does its stream.
    if (was_running) {
      const bus::StreamingSetting* old = streaming_->Setting(AlternateSetting());
      if (old && old->packet_size > 0 && bus_->StartStream(old->endpoint, old->packet_size) == bus::Status::kOk)
        stream_running_ = true;
    }
    return result(NtStatusFromBus(selected));
  }
  alternate_setting_.store(wanted, std::memory_order_relaxed);
  packet_size_.store(std::min<uint32_t>(setting->packet_size, 0xFFFF), std::memory_order_relaxed);
  FillPipes(request, *setting);
  return result(STATUS_SUCCESS);
}

NTSTATUS CameraDevice::VendorCommand(bool in, UCHAR request, USHORT value, USHORT index, PVOID buffer,
                                     PULONG length) {
  const ULONG wanted = length ? *length : 0;
  if (length) *length = 0;
  if (Unplugged()) return STATUS_DEVICE_NOT_CONNECTED;
  if (wanted > 0xFFFF || (wanted > 0 && !buffer)) return STATUS_INVALID_PARAMETER;
  bus::ControlTransfer transfer;
  transfer.request_type = in ? bus::kVendorDeviceIn : bus::kVendorDeviceOut;
  transfer.request = request;
  transfer.value = value;
  transfer.index = index;
  transfer.data = static_cast<uint8_t*>(buffer);
  transfer.length = static_cast<uint16_t>(wanted);
  transfer.timeout = vendor_timeout_;
  const bus::ControlResult done = bus_->Control(transfer);
  if (length) *length = done.status == bus::Status::kOk ? std::min<ULONG>(done.transferred, wanted) : 0;
  return NtStatusFromBus(done.status);
}

void CameraDevice::ReadQueue::push_back(PendingRead read) {
  if (count_ == slots_.size()) {
    std::vector<PendingRead> grown(std::max<std::size_t>(8, slots_.size() * 2));
    for (std::size_t i = 0; i < count_; ++i) grown[i] = std::move(slots_[(head_ + i) % slots_.size()]);
    slots_ = std::move(grown);
    head_ = 0;
  }
  slots_[(head_ + count_) % slots_.size()] = std::move(read);
  ++count_;
}

CameraDevice::PendingRead CameraDevice::ReadQueue::pop_front() {
  PendingRead read = std::move(slots_[head_]);
  slots_[head_] = {};
  head_ = (head_ + 1) % slots_.size();
  --count_;
  return read;
}

void CameraDevice::QueueRead(std::span<uint8_t> buffer, ReadCompletion done) {
  std::lock_guard lock(mutex_);
  reads_.push_back({buffer, std::move(done)});
}

std::size_t CameraDevice::PendingReads() const {
  std::lock_guard lock(mutex_);
  return reads_.size();
}

void CameraDevice::CancelReads() {
  std::lock_guard lock(mutex_);
  CancelReadsLocked();
}

void CameraDevice::CancelReadsLocked() {
  while (!reads_.empty()) {
    PendingRead read = reads_.pop_front();
    CompletedRead result;
    result.Status = STATUS_CANCELLED;
    if (read.Done) read.Done(result);
  }
}

// Hands the bus's packets to the minidriver; stops when the capture stopped
// inside a callback, or once `limit` frames were completed (0: no limit).
class CameraDevice::PumpSink final : public bus::PacketSink {
 public:
  PumpSink(CameraDevice& device, unsigned limit) : device_(device), limit_(limit) {}
  bool Packet(std::span<const uint8_t> bytes, bus::PacketStatus status) override {
    if (!device_.ReadyToPumpLocked()) return false;
    if (device_.ProcessPacketLocked(bytes, status)) ++frames;
    return limit_ == 0 || frames < limit_;
  }
  unsigned frames = 0;

 private:
  CameraDevice& device_;
  unsigned limit_;
};

bool CameraDevice::ReadyToPumpLocked() const {
  return capturing_ && packet_size_.load(std::memory_order_relaxed) > 0 && power_state_ == PowerDeviceD0 &&
         !Unplugged();
}

unsigned CameraDevice::Pump(unsigned frames) {
  if (bus_->Stepped()) {
    unsigned sent = 0;
    for (unsigned i = 0; i < frames; ++i) {
      std::lock_guard lock(mutex_);
      if (!ReadyToPumpLocked()) break;
      // The stream does not change under a delivery (a selection stops and
      // restarts it).
      std::lock_guard selection(selection_mutex_);
      PumpSink sink(*this, 0);
      sent += bus_->Deliver(sink).frames_sent;
    }
    return sent;
  }
  // A live bus: wait without the lock (requests and other calls go on
  // meanwhile), deliver with it.
  const auto deadline = std::chrono::steady_clock::now() + frame_wait_ * frames;
  unsigned completed = 0;
  while (completed < frames) {
    {
      std::lock_guard lock(mutex_);
      if (!ReadyToPumpLocked()) break;
    }
    const auto waiting = std::chrono::steady_clock::now();
    const bool arrived = bus_->WaitForPackets(deadline);
    std::lock_guard lock(mutex_);
    counters_.BusWaitNanoseconds += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - waiting).count());
    if (!arrived) break;
    if (!ReadyToPumpLocked()) break;
    std::lock_guard selection(selection_mutex_);
    PumpSink sink(*this, frames - completed);
    bus_->Deliver(sink);
    completed += sink.frames;
  }
  return completed;
}

void CameraDevice::Interrupt() { bus_->Interrupt(); }

void CameraDevice::BeginFrame() {
  gathered_ = 0;
  packets_in_frame_ = 0;
  truncated_ = false;
  std::fill(frame_context_.begin(), frame_context_.end(), 0);
  if (callbacks_.CamNewVideoFrame) callbacks_.CamNewVideoFrame(context_, frame_context_.data());
}

void CameraDevice::FinishFrame() {
  if (packets_in_frame_ == 0) {
    ++counters_.EmptyFramesSkipped;
    return;
  }
  ++counters_.FramesCompleted;
  if (truncated_) ++counters_.FramesTruncated;
  // Zero from the frame's end over whatever earlier frames left behind.
  if (dirty_end_ > gathered_) std::memset(raw_buffer_.data() + gathered_, 0, dirty_end_ - gathered_);
  dirty_end_ = gathered_;

  if (reads_.empty()) {
    ++counters_.FramesDropped;
    return;
  }
  PendingRead read = reads_.pop_front();

  const uint16_t p = MaxPacketSize();
  ULONG packets = packets_in_frame_;
  if (p > 1) packets = std::min<ULONG>(packets, raw_frame_length_ / (p - 1u));
  CompletedRead result;
  result.NumberOfPackets = packets;
  result.RawFrameLength = static_cast<ULONG>(gathered_);
  result.Truncated = truncated_;
  std::memcpy(&result.FrameContext, frame_context_.data(), 4);
  ULONG returned = 0;
  result.Status = callbacks_.CamProcessRawVideoFrame
                      ? callbacks_.CamProcessRawVideoFrame(
                            &bus_device_, context_, frame_context_.data(), read.Buffer.data(),
                            static_cast<ULONG>(read.Buffer.size()), raw_buffer_.data(),
                            static_cast<ULONG>(gathered_), packets, &returned)
                      : STATUS_SUCCESS;
  result.BytesReturned = std::min<ULONG>(returned, static_cast<ULONG>(read.Buffer.size()));
  ++counters_.FramesDelivered;
  if (read.Done) read.Done(result);
}

void CameraDevice::DeliverPacket(std::span<const uint8_t> bytes, bus::PacketStatus status) {
  std::lock_guard lock(mutex_);
  if (!capturing_) return;
  ProcessPacketLocked(bytes, status);
}

bool CameraDevice::ProcessPacketLocked(std::span<const uint8_t> bytes, bus::PacketStatus status) {
  const uint32_t p = std::min<uint32_t>(packet_size_.load(std::memory_order_relaxed), slot_.size());
  if (!callbacks_.CamProcessUSBPacket || p == 0) return false;
  // The packet's slot in the transfer buffer: P bytes, the unreceived rest zero.
  const std::size_t received = std::min<std::size_t>(bytes.size(), p);
  if (received) std::memcpy(slot_.data(), bytes.data(), received);
  std::memset(slot_.data() + received, 0, p - received);

  USBD_ISO_PACKET_DESCRIPTOR descriptor{};
  descriptor.Offset = 0;
  descriptor.Length = static_cast<ULONG>(received);
  descriptor.Status = UsbdPacketStatus(status, static_cast<ULONG>(received), p);
  BOOLEAN frame_complete = FALSE;
  ULONG payload_offset = 0;
  BOOLEAN flag = FALSE;
  ++counters_.PacketsDelivered;
  if (status != bus::PacketStatus::kOk) ++counters_.PacketsFailed;
  const ULONG wanted = callbacks_.CamProcessUSBPacket(&bus_device_, context_, frame_context_.data(), nullptr,
                                                      nullptr, &descriptor, slot_.data(), &frame_complete,
                                                      &payload_offset, &flag);
  if (frame_complete) {
    FinishFrame();
    BeginFrame();
  }
  if (wanted == 0) return frame_complete;
  ++counters_.PacketsAccepted;
  const std::size_t offset = std::min<std::size_t>(payload_offset, p);
  const std::size_t count = std::min<std::size_t>(wanted, p - offset);
  const std::size_t room = raw_frame_length_ - std::min<std::size_t>(gathered_, raw_frame_length_);
  const std::size_t copied = std::min(count, room);
  if (copied < count) truncated_ = true;
  if (copied) std::memcpy(raw_buffer_.data() + gathered_, slot_.data() + offset, copied);
  gathered_ += copied;
  dirty_end_ = std::max(dirty_end_, gathered_);
  if (copied) ++packets_in_frame_;
  return frame_complete;
}

// --- Requests ----------------------------------------------------------------

void CameraDevice::FailStreamOpens(unsigned count, NTSTATUS status) {
  std::lock_guard lock(mutex_);
  failing_opens_ = count;
  failing_open_status_ = status;
}

void CameraDevice::PerformRequest(PHW_STREAM_REQUEST_BLOCK srb, const USBCAMD_DEVICE_DATA* deviceData) {
  std::lock_guard lock(mutex_);
  NTSTATUS status = STATUS_SUCCESS;
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
      if (deviceData && !configured_) {
        callbacks_ = *deviceData;
        has_table_ = true;
      }
      status = Initialize();
      break;
    case SRB_UNINITIALIZE_DEVICE:
      status = UnInitializeLocked();
      break;
    case SRB_SURPRISE_REMOVAL:
      UnplugLocked();
      break;
    case SRB_OPEN_STREAM:
      status = OpenStream(srb);
      break;
    case SRB_CLOSE_STREAM:
      CloseStream();
      break;
    case SRB_CHANGE_POWER_STATE: {
      const DEVICE_POWER_STATE wanted = srb->CommandData.DeviceState;
      if (wanted < PowerDeviceD0 || wanted > PowerDeviceD3) {
        status = STATUS_INVALID_PARAMETER;
      } else if (wanted != PowerDeviceD0 && power_state_ == PowerDeviceD0) {
        status = SaveState();
        power_state_ = wanted;
      } else if (wanted == PowerDeviceD0 && power_state_ != PowerDeviceD0) {
        status = RestoreState();
        power_state_ = wanted;
      } else {
        power_state_ = wanted;
      }
      break;
    }
    case SRB_GET_STREAM_INFO:
      if (srb->CommandData.StreamBuffer) {
        srb->CommandData.StreamBuffer->StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
      } else {
        status = STATUS_INVALID_PARAMETER;
      }
      break;
    case SRB_OPEN_DEVICE_INSTANCE:
    case SRB_CLOSE_DEVICE_INSTANCE:
    case SRB_PAGING_OUT_DRIVER:
    case SRB_INITIALIZATION_COMPLETE:
      break;
    default:  // properties, intersections and unknown commands are the minidriver's
      status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  srb->Status = status;
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

NTSTATUS CameraDevice::OpenStream(PHW_STREAM_REQUEST_BLOCK srb) {
  if (uninitialized_ || Unplugged()) return STATUS_DEVICE_REMOVED;
  PHW_STREAM_OBJECT stream = srb->StreamObject;
  // The library runs the capture pin only, one instance at a time.
  if (!stream || stream->StreamNumber != 0) return STATUS_INVALID_PARAMETER;
  if (stream_open_) return STATUS_DEVICE_BUSY;
  const KSDATAFORMAT* format = srb->CommandData.OpenFormat;
  if (!format) return STATUS_INVALID_PARAMETER;
  ULONG size = 0;
  std::memcpy(&size, format, sizeof size);
  if (size < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) || size > kMaxFormatSize) return STATUS_INVALID_PARAMETER;
  if (failing_opens_ > 0) {
    --failing_opens_;
    return failing_open_status_;
  }
  stream_format_.assign(reinterpret_cast<const uint8_t*>(format), reinterpret_cast<const uint8_t*>(format) + size);
  // The minidriver's hooks; the slots are the same function type.
  data_hook_ = stream->ReceiveDataPacket;
  control_hook_ = stream->ReceiveControlPacket;
  stream_object_ = stream;
  stream_state_ = KSSTATE_STOP;
  stream_open_ = true;
  return STATUS_SUCCESS;
}

void CameraDevice::CloseStream() {
  if (capturing_) StopCaptureLocked();
  CancelReadsLocked();
  stream_open_ = false;
  stream_state_ = KSSTATE_STOP;
  stream_object_ = nullptr;
  data_hook_ = nullptr;
  control_hook_ = nullptr;
}

NTSTATUS CameraDevice::SetStreamState(KSSTATE state) {
  switch (state) {
    case KSSTATE_RUN:
      if (!capturing_) {
        if (Unplugged()) return STATUS_DEVICE_REMOVED;
        const NTSTATUS status = StartCaptureLocked(stream_format_.data());
        if (!NT_SUCCESS(status)) return status;
      }
      break;
    case KSSTATE_PAUSE:
    case KSSTATE_ACQUIRE:
      if (capturing_) StopCaptureLocked();
      break;
    case KSSTATE_STOP:
      if (capturing_) StopCaptureLocked();
      CancelReadsLocked();
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  stream_state_ = state;
  return STATUS_SUCCESS;
}

void CameraDevice::QueueReadRequest(PHW_STREAM_REQUEST_BLOCK srb) {
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  if (srb->NumberOfBuffers < 1 || !header || !header->Data || Unplugged()) {
    // A read of a removed camera would wait for a frame that never comes.
    srb->Status = Unplugged() ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_PARAMETER;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    return;
  }
  header->DataUsed = 0;
  QueueRead({static_cast<uint8_t*>(header->Data), header->FrameExtent}, [srb, header](const CompletedRead& read) {
    header->DataUsed = read.BytesReturned;
    srb->ActualBytesTransferred = read.BytesReturned;
    srb->Status = read.Status;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
  });
}

// The two stream property sets the capture pin announces: the allocator
// framing (one frame of the format's sample size) and the dropped-frame
// count (frames completed while no read waited).
NTSTATUS CameraDevice::GetStreamProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
  if (!descriptor || !descriptor->Property || descriptor->PropertyInputSize < sizeof(KSPROPERTY))
    return STATUS_INVALID_PARAMETER;
  KSPROPERTY property;
  std::memcpy(&property, descriptor->Property, sizeof property);
  KSDATAFORMAT format{};
  std::memcpy(&format, stream_format_.data(), sizeof format);
  auto* info = static_cast<uint8_t*>(descriptor->PropertyInfo);
  if (IsEqualGUID(property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
    if (!info || descriptor->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) return STATUS_BUFFER_TOO_SMALL;
    KSALLOCATOR_FRAMING framing{};
    framing.PoolType = NonPagedPool;
    framing.Frames = 1;
    framing.FrameSize = format.SampleSize;
    std::memcpy(info, &framing, sizeof framing);
    srb->ActualBytesTransferred = sizeof framing;
    return STATUS_SUCCESS;
  }
  if (IsEqualGUID(property.Set, PROPSETID_VIDCAP_DROPPEDFRAMES) && property.Id == KSPROPERTY_DROPPEDFRAMES_CURRENT) {
    if (!info || descriptor->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S))
      return STATUS_BUFFER_TOO_SMALL;
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    dropped.Property = property;
    dropped.PictureNumber = static_cast<LONGLONG>(counters_.FramesDelivered + counters_.FramesDropped);
    dropped.DropCount = static_cast<LONGLONG>(counters_.FramesDropped);
    dropped.AverageFrameSize = format.SampleSize;
    std::memcpy(info, &dropped, sizeof dropped);
    srb->ActualBytesTransferred = sizeof dropped;
    return STATUS_SUCCESS;
  }
  return STATUS_NOT_IMPLEMENTED;
}

void CameraDevice::ReceiveStreamRequest(PHW_STREAM_REQUEST_BLOCK srb, bool dataRequest) {
  if (!srb) return;
  std::lock_guard lock(mutex_);
  if (!stream_open_ || srb->StreamObject != stream_object_) {
    srb->Status = STATUS_INVALID_DEVICE_REQUEST;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    return;
  }
  BOOLEAN completed = FALSE;
  if (PCAM_STREAM_HOOK hook = dataRequest ? data_hook_ : control_hook_) hook(srb, context_, &completed);
  if (completed) return;

  NTSTATUS status = STATUS_SUCCESS;
  switch (srb->Command) {
    case SRB_READ_DATA:
      QueueReadRequest(srb);
      return;  // completed when a frame fills it
    case SRB_SET_STREAM_STATE:
      status = SetStreamState(srb->CommandData.StreamState);
      break;
    case SRB_GET_STREAM_STATE:
      srb->CommandData.StreamState = stream_state_;
      srb->ActualBytesTransferred = sizeof(KSSTATE);
      break;
    case SRB_GET_STREAM_PROPERTY:
      status = GetStreamProperty(srb);
      break;
    default:
      status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  srb->Status = status;
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

}  // namespace dualcam::host

// --- The library functions the minidriver calls ------------------------------

using dualcam::host::CameraDevice;

NTSTATUS USBCAMD_DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING /*RegistryPath*/,
                             ULONG DeviceContextSize, ULONG FrameContextSize,
                             PHW_RECEIVE_DEVICE_SRB ReceivePacket) {
  if (DeviceContextSize == 0 || ReceivePacket == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(dualcam::host::g_mutex);
  auto& reg = dualcam::host::g_registration;
  reg.Registered = true;
  reg.DriverObject = DriverObject;
  reg.DeviceContextSize = DeviceContextSize;
  reg.FrameContextSize = FrameContextSize;
  reg.ReceivePacket = ReceivePacket;
  return STATUS_SUCCESS;
}

// The stream-class host puts the DeviceContext the library allocated for the
// camera (CameraDevice::DeviceContext) into the request's HwDeviceExtension.
PVOID USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                   PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion) {
  CameraDevice* device;
  {
    std::lock_guard lock(dualcam::host::g_mutex);
    if (DeviceData) {
      dualcam::host::g_registration.DeviceData = *DeviceData;
      dualcam::host::g_registration.HasDeviceData = true;
    }
    device = Srb ? dualcam::host::FindDeviceLocked(Srb->HwDeviceExtension) : nullptr;
  }
  if (DeviceObject) *DeviceObject = device ? device->BusDeviceObject() : nullptr;
  PVOID context = device ? device->DeviceContext() : nullptr;
  if (NeedsCompletion && Srb) {
    // Callbacks run without the library's lock: they call back into it.
    if (device) {
      device->PerformRequest(Srb, DeviceData);
    } else {
      Srb->Status = STATUS_NO_SUCH_DEVICE;
      StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
    }
  }
  return context;
}

NTSTATUS USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                      PVOID Buffer, PULONG BufferLength, BOOLEAN GetData,
                                      PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext) {
  CameraDevice* device;
  {
    std::lock_guard lock(dualcam::host::g_mutex);
    device = dualcam::host::FindDeviceLocked(DeviceContext);
  }
  // The record stays until its device object goes, which waits for every
  // thread that may still send commands (the button poll included).
  NTSTATUS status;
  if (!device) {
    if (BufferLength) *BufferLength = 0;
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    status = device->VendorCommand(GetData != FALSE, Request, Value, Index, Buffer, BufferLength);
  }
  if (CommandComplete) CommandComplete(DeviceContext, CommandContext, status);
  return status;
}

NTSTATUS USBCAMD_SelectAlternateInterface(PVOID DeviceContext, PUSBD_INTERFACE_INFORMATION RequestInterface) {
  CameraDevice* device;
  {
    std::lock_guard lock(dualcam::host::g_mutex);
    device = dualcam::host::FindDeviceLocked(DeviceContext);
  }
  if (!device) return STATUS_DEVICE_NOT_CONNECTED;
  return device->SelectAlternateInterface(RequestInterface);
}
