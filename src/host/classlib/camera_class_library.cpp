// Our USB camera class library: driver registration, the attached simulated
// cameras, their vendor commands and alternate settings, and the gathering of
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

constexpr UCHAR kVideoEndpoint = 0x81;  // IN endpoint 1 (USB 2.0 9.6.6)
constexpr UCHAR kVendorClass = 0xFF;

// The configuration descriptor of the camera: one interface with the
// alternate settings of sim::kAlternateSettings, each with one isochronous IN
// endpoint (USB 2.0 9.6.3, 9.6.5, 9.6.6).
std::vector<uint8_t> BuildConfigurationDescriptor() {
  std::vector<uint8_t> bytes;
  auto push16 = [&](uint16_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  };
  const std::size_t count = sim::kAlternateSettings.size();
  const uint16_t total = static_cast<uint16_t>(9 + count * (9 + 7));
  bytes.insert(bytes.end(), {9, USB_CONFIGURATION_DESCRIPTOR_TYPE});
  push16(total);
  bytes.insert(bytes.end(), {1, 1, 0, 0x80, 250});  // 1 interface, bus powered, 500 mA
  for (const auto& alt : sim::kAlternateSettings) {
    bytes.insert(bytes.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, alt.number, 1, kVendorClass, 0, 0, 0});
    bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, kVideoEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS});
    push16(alt.max_packet_size);
    bytes.push_back(1);
  }
  return bytes;
}

}  // namespace

CameraDriverRegistration CurrentCameraDriver() {
  std::lock_guard lock(g_mutex);
  return g_registration;
}

void ResetCameraDriver() {
  std::lock_guard lock(g_mutex);
  g_registration = {};
}

// --- CameraDevice ----------------------------------------------------------

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
  const CameraDriverRegistration reg = CurrentCameraDriver();
  const USBCAMD_DEVICE_DATA* data = options.DeviceData;
  if (!data && reg.HasDeviceData) data = &reg.DeviceData;
  if (!reg.Registered || reg.DeviceContextSize == 0) {
    *status = STATUS_DEVICE_NOT_READY;
    return nullptr;
  }

  std::unique_ptr<CameraDevice> device(new CameraDevice());
  device->camera_ = options.Camera ? std::move(options.Camera) : std::make_shared<sim::SimCamera>();
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
  {
    std::lock_guard lock(g_mutex);
    g_devices[device->context_] = device.get();
  }
  *status = STATUS_SUCCESS;
  return device;
}

NTSTATUS CameraDevice::Initialize() {
  if (configured_ || removed_ || uninitialized_) return STATUS_INVALID_DEVICE_REQUEST;
  if (!has_table_) {
    // No table came with the device: take the one the driver last handed
    // over, or there is nothing to bring the camera up with.
    const CameraDriverRegistration reg = CurrentCameraDriver();
    if (!reg.HasDeviceData) return STATUS_DEVICE_NOT_READY;
    callbacks_ = reg.DeviceData;
    has_table_ = true;
  }
  CameraDevice* device = this;
  // The streaming interface as the bus driver describes it after selecting
  // alternate setting 0: one isochronous IN pipe that carries nothing yet.
  device->interface_info_.assign(GET_USBD_INTERFACE_SIZE(1), 0);
  auto* iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(device->interface_info_.data());
  iface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
  iface->InterfaceNumber = 0;
  iface->AlternateSetting = 0;
  iface->Class = kVendorClass;
  iface->InterfaceHandle = device;
  iface->NumberOfPipes = 1;
  iface->Pipes[0].MaximumPacketSize = 0;
  iface->Pipes[0].EndpointAddress = kVideoEndpoint;
  iface->Pipes[0].Interval = 1;
  iface->Pipes[0].PipeType = UsbdPipeTypeIsochronous;
  iface->Pipes[0].PipeHandle = &device->interface_info_;
  iface->Pipes[0].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  device->config_descriptor_ = BuildConfigurationDescriptor();

  if (device->callbacks_.CamConfigure) {
    device->configure_status_ = device->callbacks_.CamConfigure(
        &device->bus_device_, device->context_, iface,
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device->config_descriptor_.data()),
        &device->data_pipe_index_, &device->sync_pipe_index_);
  } else {
    device->configure_status_ = STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(device->configure_status_)) return device->configure_status_;
  device->configured_ = true;

  device->initialize_status_ = device->callbacks_.CamInitialize
                                   ? device->callbacks_.CamInitialize(&device->bus_device_, device->context_)
                                   : STATUS_SUCCESS;
  device->initialized_ = true;  // CamUnInitialize follows even a failed initialization
  return device->initialize_status_;
}

CameraDevice::~CameraDevice() { Remove(); }

NTSTATUS CameraDevice::UnInitialize() {
  if (uninitialized_) return STATUS_SUCCESS;
  uninitialized_ = true;
  if (capturing_) StopCapture();
  CancelReads();
  stream_open_ = false;
  stream_state_ = KSSTATE_STOP;
  if (configured_ && callbacks_.CamUnInitialize) return callbacks_.CamUnInitialize(&bus_device_, context_);
  return STATUS_SUCCESS;
}

NTSTATUS CameraDevice::Remove() {
  if (removed_) return STATUS_SUCCESS;
  const NTSTATUS status = UnInitialize();
  removed_ = true;
  if (context_) {
    {
      std::lock_guard lock(g_mutex);
      g_devices.erase(context_);
    }
    ExFreePool(context_);
    context_ = nullptr;
  }
  return status;
}

void CameraDevice::Unplug() {
  if (capturing_) StopCapture();
  CancelReads();
  unplugged_.store(true, std::memory_order_relaxed);
}

NTSTATUS CameraDevice::StartCapture(PVOID format) {
  if (removed_) return STATUS_DEVICE_REMOVED;
  if (capturing_) StopCapture();
  ULONG raw_length = 0;
  NTSTATUS status = callbacks_.CamAllocateBandwidth
                        ? callbacks_.CamAllocateBandwidth(&bus_device_, context_, &raw_length, format)
                        : STATUS_NOT_SUPPORTED;
  if (!NT_SUCCESS(status) || raw_length == 0) {
    raw_frame_length_ = 0;
    return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
  }
  if (raw_length > kMaxRawFrameLength) {
    // No transfer of the camera comes near this; give the bandwidth back.
    raw_frame_length_ = 0;
    if (callbacks_.CamFreeBandwidth) callbacks_.CamFreeBandwidth(&bus_device_, context_);
    return STATUS_INSUFFICIENT_RESOURCES;
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
      StopCapture();
      return started;
    }
  }
  return status;
}

NTSTATUS CameraDevice::StopCapture() {
  if (!capturing_) return STATUS_SUCCESS;
  capturing_ = false;
  if (callbacks_.CamStopCapture) callbacks_.CamStopCapture(&bus_device_, context_);
  const NTSTATUS status =
      callbacks_.CamFreeBandwidth ? callbacks_.CamFreeBandwidth(&bus_device_, context_) : STATUS_SUCCESS;
  // A partly gathered frame is dropped with the capture.
  gathered_ = 0;
  packets_in_frame_ = 0;
  return status;
}

NTSTATUS CameraDevice::SaveState() {
  if (removed_ || !callbacks_.CamSaveState) return STATUS_SUCCESS;
  return callbacks_.CamSaveState(&bus_device_, context_);
}

NTSTATUS CameraDevice::RestoreState() {
  if (removed_ || !callbacks_.CamRestoreState) return STATUS_SUCCESS;
  return callbacks_.CamRestoreState(&bus_device_, context_);
}

void CameraDevice::RefuseAlternateSettings(std::set<uint8_t> settings, NTSTATUS status) {
  std::lock_guard lock(bus_mutex_);
  refused_ = std::move(settings);
  refused_status_ = status;
}

void CameraDevice::RefuseAlternateSettingsRandomly(uint64_t seed, uint32_t per_million, NTSTATUS status) {
  std::lock_guard lock(bus_mutex_);
  refusal_random_ = sim::SeededRandom(seed);
  refusal_chance_ = per_million;
  random_refusal_status_ = status;
}

uint8_t CameraDevice::AlternateSetting() const {
  std::lock_guard lock(bus_mutex_);
  return alternate_setting_;
}

uint16_t CameraDevice::MaxPacketSize() const {
  std::lock_guard lock(bus_mutex_);
  return max_packet_size_;
}

std::vector<CameraDevice::Selection> CameraDevice::Selections() const {
  std::lock_guard lock(bus_mutex_);
  return selections_;
}

NTSTATUS CameraDevice::SelectAlternateInterface(PUSBD_INTERFACE_INFORMATION request) {
  std::lock_guard lock(bus_mutex_);
  if (!request) return STATUS_INVALID_PARAMETER;
  const uint8_t wanted = request->AlternateSetting;
  auto result = [&](NTSTATUS status) {
    selections_.push_back({wanted, status});
    return status;
  };
  // The record must have room for the pipes it claims.
  if (request->NumberOfPipes < 1 || request->NumberOfPipes > 32 ||
      request->Length < GET_USBD_INTERFACE_SIZE(request->NumberOfPipes))
    return result(STATUS_INVALID_PARAMETER);
  if (wanted >= sim::kAlternateSettings.size()) return result(STATUS_INVALID_PARAMETER);
  if (refused_.count(wanted)) return result(refused_status_);
  if (wanted != 0 && refusal_random_.Chance(refusal_chance_)) return result(random_refusal_status_);

  const uint16_t packet = sim::kAlternateSettings[wanted].max_packet_size;
  alternate_setting_ = wanted;
  max_packet_size_ = packet;
  request->Class = kVendorClass;
  request->SubClass = 0;
  request->Protocol = 0;
  request->InterfaceHandle = this;
  for (ULONG i = 0; i < request->NumberOfPipes; ++i) {
    USBD_PIPE_INFORMATION& pipe = request->Pipes[i];
    pipe.MaximumPacketSize = i == 0 ? packet : 0;
    pipe.EndpointAddress = static_cast<UCHAR>(kVideoEndpoint + i);
    pipe.Interval = 1;
    pipe.PipeType = UsbdPipeTypeIsochronous;
    pipe.PipeHandle = &request->Pipes[i];
  }
  return result(STATUS_SUCCESS);
}

void CameraDevice::QueueRead(std::span<uint8_t> buffer, ReadCompletion done) {
  reads_.push_back({buffer, std::move(done)});
}

void CameraDevice::CancelReads() {
  while (!reads_.empty()) {
    PendingRead read = std::move(reads_.front());
    reads_.pop_front();
    CompletedRead result;
    result.Status = STATUS_CANCELLED;
    if (read.Done) read.Done(result);
  }
}

unsigned CameraDevice::Pump(unsigned frames) {
  unsigned sent = 0;
  std::vector<sim::SimPacket> packets;
  for (unsigned i = 0; i < frames; ++i) {
    const uint16_t p = MaxPacketSize();
    if (!capturing_ || p == 0 || power_state_ != PowerDeviceD0 || Unplugged()) break;
    packets.clear();
    if (camera_->ProduceFrame(p, packets) != 0) ++sent;
    for (const auto& packet : packets) {
      if (!capturing_) break;  // a callback may stop the capture
      DeliverPacket(packet);
    }
  }
  return sent;
}

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
  PendingRead read = std::move(reads_.front());
  reads_.pop_front();

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

void CameraDevice::DeliverPacket(const sim::SimPacket& packet) {
  if (!capturing_ || !callbacks_.CamProcessUSBPacket) return;
  const uint16_t p = MaxPacketSize();
  if (p == 0) return;
  // The packet's slot in the transfer buffer: P bytes, the unreceived rest zero.
  slot_.assign(p, 0);
  const std::size_t received = std::min<std::size_t>(packet.bytes.size(), p);
  if (received) std::memcpy(slot_.data(), packet.bytes.data(), received);

  USBD_ISO_PACKET_DESCRIPTOR descriptor{};
  descriptor.Offset = 0;
  descriptor.Length = static_cast<ULONG>(received);
  descriptor.Status = packet.status;
  BOOLEAN frame_complete = FALSE;
  ULONG payload_offset = 0;
  BOOLEAN flag = FALSE;
  ++counters_.PacketsDelivered;
  const ULONG wanted = callbacks_.CamProcessUSBPacket(&bus_device_, context_, frame_context_.data(),
                                                      nullptr, nullptr, &descriptor, slot_.data(),
                                                      &frame_complete, &payload_offset, &flag);
  if (frame_complete) {
    FinishFrame();
    BeginFrame();
  }
  if (wanted == 0) return;
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
}

// --- Requests ----------------------------------------------------------------

void CameraDevice::FailStreamOpens(unsigned count, NTSTATUS status) {
  failing_opens_ = count;
  failing_open_status_ = status;
}

void CameraDevice::PerformRequest(PHW_STREAM_REQUEST_BLOCK srb, const USBCAMD_DEVICE_DATA* deviceData) {
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
      status = UnInitialize();
      break;
    case SRB_SURPRISE_REMOVAL:
      Unplug();
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
  if (capturing_) StopCapture();
  CancelReads();
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
        const NTSTATUS status = StartCapture(stream_format_.data());
        if (!NT_SUCCESS(status)) return status;
      }
      break;
    case KSSTATE_PAUSE:
    case KSSTATE_ACQUIRE:
      if (capturing_) StopCapture();
      break;
    case KSSTATE_STOP:
      if (capturing_) StopCapture();
      CancelReads();
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  stream_state_ = state;
  return STATUS_SUCCESS;
}

void CameraDevice::QueueReadRequest(PHW_STREAM_REQUEST_BLOCK srb) {
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  if (srb->NumberOfBuffers < 1 || !header || !header->Data) {
    srb->Status = STATUS_INVALID_PARAMETER;
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
  std::shared_ptr<dualcam::host::sim::SimCamera> camera;
  {
    std::lock_guard lock(dualcam::host::g_mutex);
    CameraDevice* device = dualcam::host::FindDeviceLocked(DeviceContext);
    if (device && !device->Unplugged()) camera = device->CameraPtr();
  }
  NTSTATUS status;
  if (!camera) {
    if (BufferLength) *BufferLength = 0;
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    status = camera->Control(GetData != FALSE, Request, Value, Index, static_cast<uint8_t*>(Buffer),
                             BufferLength);
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
