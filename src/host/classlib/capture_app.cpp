// The capture-application API: request blocks built and sent the way the
// stream class sends them on behalf of an application.
//
// Hard part: reads. Each read is a heap record (request block, stream header,
// buffer) that the class library points into until it completes it, which
// happens on this thread while the camera is pumped, or at a state change
// or close that cancels it. The completion moves the buffer out into a
// Picture and frees the record; nothing else frees a record, so no
// completion can reach freed memory.
#include "host/classlib/capture_app.h"

#include <algorithm>
#include <cstring>

#include "host/bus/sim_bus.h"
#include "host/kernel/host_kernel.h"

namespace dualcam::host {
namespace {

// Offsets of Value and Flags in the 40-byte control property records.
constexpr std::size_t kControlValueOffset = offsetof(KSPROPERTY_VIDEOPROCAMP_S, Value);
constexpr std::size_t kControlFlagsOffset = offsetof(KSPROPERTY_VIDEOPROCAMP_S, Flags);
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == sizeof(KSPROPERTY_CAMERACONTROL_S));

}  // namespace

KS_DATAFORMAT_VIDEOINFOHEADER FormatFromRange(const KS_DATARANGE_VIDEO& range) {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
  format.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  std::memcpy(&format.VideoInfoHeader, &range.VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
  return format;
}

const KS_DATARANGE_VIDEO* FindRange(const StreamInfo& info, DWORD compression, LONG width, LONG height) {
  for (const KS_DATARANGE_VIDEO& range : info.Formats) {
    const KS_BITMAPINFOHEADER& bmi = range.VideoInfoHeader.bmiHeader;
    if (bmi.biCompression == compression && bmi.biWidth == width && bmi.biHeight == height) return &range;
  }
  return nullptr;
}

// --- CaptureDriver -------------------------------------------------------------

std::unique_ptr<CaptureDriver> CaptureDriver::Load(DriverEntryRoutine entry, NTSTATUS* status) {
  NTSTATUS dummy;
  if (!status) status = &dummy;
  std::unique_ptr<CaptureDriver> driver(new CaptureDriver());
  driver->stream_class_ = StreamClass::Load(entry, status);
  if (!driver->stream_class_) return nullptr;
  return driver;
}

std::unique_ptr<CaptureCamera> CaptureDriver::Attach(std::shared_ptr<sim::SimCamera> camera, NTSTATUS* status) {
  auto bus = std::make_shared<bus::SimBus>(std::move(camera));
  std::shared_ptr<sim::SimCamera> simulated = bus->CameraPtr();
  CameraDevice::Options options;
  options.Bus = std::move(bus);
  std::unique_ptr<CaptureCamera> attached = AttachDevice(std::move(options), status);
  if (attached) attached->camera_ = std::move(simulated);
  return attached;
}

std::unique_ptr<CaptureCamera> CaptureDriver::AttachDevice(CameraDevice::Options options, NTSTATUS* status) {
  NTSTATUS dummy;
  if (!status) status = &dummy;
  std::unique_ptr<CaptureCamera> attached(new CaptureCamera());
  attached->stream_class_ = stream_class_.get();
  options.DeviceData = nullptr;  // the table comes with SRB_INITIALIZE_DEVICE
  attached->device_ = CameraDevice::Create(std::move(options), status);
  if (!attached->device_) return nullptr;

  HW_STREAM_REQUEST_BLOCK init = MakeRequest(SRB_INITIALIZE_DEVICE, attached->DeviceContext());
  *status = attached->SendDeviceRequest(init).Status;
  if (!NT_SUCCESS(*status)) {
    // The device never started: the library takes it down (CamUnInitialize
    // when CamConfigure had succeeded) without an uninitialize request.
    attached->device_.reset();
    return nullptr;
  }
  HW_STREAM_REQUEST_BLOCK complete = MakeRequest(SRB_INITIALIZATION_COMPLETE, attached->DeviceContext());
  attached->SendDeviceRequest(complete);
  return attached;
}

// --- CaptureCamera -------------------------------------------------------------

CaptureCamera::~CaptureCamera() {
  if (device_) Uninitialize();
}

RequestOutcome CaptureCamera::SendDeviceRequest(HW_STREAM_REQUEST_BLOCK& srb) {
  if (!device_) {
    RequestOutcome gone;
    gone.Status = STATUS_NO_SUCH_DEVICE;
    return gone;
  }
  srb.HwDeviceExtension = device_->DeviceContext();
  return stream_class_->SendDeviceRequest(srb);
}

StreamInfo CaptureCamera::GetStreamInfo() {
  StreamInfo info;
  // The header and one stream information record, as the stream class
  // allocates them for a device that announces one stream.
  HW_STREAM_DESCRIPTOR descriptor{};
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_GET_STREAM_INFO, nullptr);
  srb.CommandData.StreamBuffer = &descriptor;
  srb.NumberOfBytesToTransfer = sizeof descriptor;
  info.Status = SendDeviceRequest(srb).Status;
  if (!NT_SUCCESS(info.Status)) return info;
  const HW_STREAM_HEADER& header = descriptor.StreamHeader;
  info.NumberOfStreams = header.NumberOfStreams;
  info.SizeOfHwStreamInformation = header.SizeOfHwStreamInformation;
  info.NumberOfDevicePropertySets = header.NumDevPropArrayEntries;
  if (header.NumberOfStreams >= 1) {
    const HW_STREAM_INFORMATION& stream = descriptor.StreamInfo;
    info.DataFlow = stream.DataFlow;
    info.NumberOfStreamPropertySets = stream.NumberOfPropertySets;
    for (ULONG i = 0; stream.StreamFormatsArray && i < stream.NumberOfFormatArrayEntries; ++i) {
      const KSDATARANGE* range = stream.StreamFormatsArray[i];
      if (range == nullptr || range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) continue;
      KS_DATARANGE_VIDEO copy;
      std::memcpy(&copy, range, sizeof copy);
      info.Formats.push_back(copy);
    }
  }
  return info;
}

RequestOutcome CaptureCamera::Intersect(const KS_DATARANGE_VIDEO& range, std::span<uint8_t> answer, ULONG stream) {
  KS_DATARANGE_VIDEO caller = range;
  STREAM_DATA_INTERSECT_INFO intersect{};
  intersect.StreamNumber = stream;
  intersect.DataRange = &caller.DataRange;
  intersect.DataFormatBuffer = answer.empty() ? nullptr : answer.data();
  intersect.SizeOfDataFormatBuffer = static_cast<ULONG>(answer.size());
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_GET_DATA_INTERSECTION, nullptr);
  srb.CommandData.IntersectInfo = &intersect;
  return SendDeviceRequest(srb);
}

std::unique_ptr<CaptureStream> CaptureCamera::OpenStream(const KS_DATAFORMAT_VIDEOINFOHEADER& format, NTSTATUS* status,
                                                         ULONG streamNumber) {
  NTSTATUS dummy;
  if (!status) status = &dummy;
  std::unique_ptr<CaptureStream> stream(new CaptureStream());
  stream->camera_ = this;
  stream->format_ = format;
  stream->object_.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
  stream->object_.StreamNumber = streamNumber;
  stream->object_.HwDeviceExtension = DeviceContext();
  if (device_) stream->bus_ = device_->BusPtr();
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_OPEN_STREAM, nullptr, &stream->object_);
  srb.CommandData.OpenFormat = &stream->format_.DataFormat;
  *status = SendDeviceRequest(srb).Status;
  if (!NT_SUCCESS(*status)) return nullptr;
  stream->open_ = true;
  open_stream_ = stream.get();
  return stream;
}

RequestOutcome CaptureCamera::Property(bool set, std::span<uint8_t> buffer) {
  STREAM_PROPERTY_DESCRIPTOR descriptor{};
  descriptor.Property = reinterpret_cast<PKSPROPERTY>(buffer.data());
  descriptor.PropertyInfo = buffer.data();
  descriptor.PropertyInputSize = static_cast<ULONG>(buffer.size());
  descriptor.PropertyOutputSize = static_cast<ULONG>(buffer.size());
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY, nullptr);
  srb.CommandData.PropertyInfo = &descriptor;
  return SendDeviceRequest(srb);
}

NTSTATUS CaptureCamera::GetControl(const GUID& set, ULONG id, LONG* value, ULONG* flags) {
  alignas(8) uint8_t buffer[sizeof(KSPROPERTY_VIDEOPROCAMP_S)] = {};
  KSPROPERTY property{set, id, KSPROPERTY_TYPE_GET};
  std::memcpy(buffer, &property, sizeof property);
  const RequestOutcome outcome = Property(false, buffer);
  if (NT_SUCCESS(outcome.Status)) {
    if (value) std::memcpy(value, buffer + kControlValueOffset, sizeof *value);
    if (flags) std::memcpy(flags, buffer + kControlFlagsOffset, sizeof *flags);
  }
  return outcome.Status;
}

NTSTATUS CaptureCamera::SetControl(const GUID& set, ULONG id, LONG value, ULONG flags) {
  alignas(8) uint8_t buffer[sizeof(KSPROPERTY_VIDEOPROCAMP_S)] = {};
  KSPROPERTY property{set, id, KSPROPERTY_TYPE_SET};
  std::memcpy(buffer, &property, sizeof property);
  std::memcpy(buffer + kControlValueOffset, &value, sizeof value);
  std::memcpy(buffer + kControlFlagsOffset, &flags, sizeof flags);
  return Property(true, buffer).Status;
}

NTSTATUS CaptureCamera::SetPowerState(DEVICE_POWER_STATE state) {
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_CHANGE_POWER_STATE, nullptr);
  srb.CommandData.DeviceState = state;
  return SendDeviceRequest(srb).Status;
}

NTSTATUS CaptureCamera::SurpriseRemove() {
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_SURPRISE_REMOVAL, nullptr);
  const NTSTATUS status = SendDeviceRequest(srb).Status;
  if (device_) removed_ = true;
  return status;
}

bool CaptureCamera::CheckRemoval() {
  if (!removed_ && device_ && device_->Vanished()) SurpriseRemove();
  return removed_;
}

NTSTATUS CaptureCamera::Uninitialize() {
  if (!device_) return STATUS_NO_SUCH_DEVICE;
  // The stream goes with the device; the library cancels its reads.
  if (CaptureStream* stream = open_stream_) {
    stream->Close();
    stream->Detach();
  }
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_UNINITIALIZE_DEVICE, nullptr);
  const NTSTATUS status = SendDeviceRequest(srb).Status;
  // On a stepped queue the items waiting now are run once, standing in for
  // the worker thread that runs during the driver's wait: a poll of this
  // device sees the removal and does not queue itself again.
  if (HostKernel* kernel = CurrentKernel(); kernel && kernel->workQueue().Stepped()) {
    for (std::size_t waiting = kernel->workQueue().Pending(); waiting > 0; --waiting) {
      kernel->workQueue().RunNext();
    }
    // Another thread stepping the queue may be running a poll of this device
    // right now; the record stays until it has finished.
    kernel->workQueue().WaitForParameter(device_->DeviceContext());
  } else if (kernel) {
    // The driver's wait is a sleep, not a hand-shake: a worker delayed past
    // it would still be reading the record. The device object goes only
    // once no work item for the record waits or runs, as a work item that
    // holds a reference on its device object guarantees.
    kernel->workQueue().WaitForParameter(device_->DeviceContext());
  }
  device_.reset();  // the device object goes: the record is freed
  return status;
}

// --- CaptureStream -------------------------------------------------------------

CaptureStream::~CaptureStream() {
  if (open_) Close();
  if (camera_ && camera_->open_stream_ == this) camera_->open_stream_ = nullptr;
}

void CaptureStream::Detach() {
  open_ = false;
  if (camera_ && camera_->open_stream_ == this) camera_->open_stream_ = nullptr;
  camera_ = nullptr;
}

RequestOutcome CaptureStream::SendStreamRequest(HW_STREAM_REQUEST_BLOCK& srb, bool data) {
  if (!open_ || !camera_ || !camera_->device_) {
    RequestOutcome closed;
    closed.Status = STATUS_INVALID_DEVICE_REQUEST;
    return closed;
  }
  srb.StreamObject = &object_;
  srb.HwDeviceExtension = camera_->DeviceContext();
  srb.Flags |= SRB_HW_FLAGS_STREAM_REQUEST;
  return camera_->stream_class_->SendStreamRequest(*camera_->device_, srb, data);
}

NTSTATUS CaptureStream::SetState(KSSTATE state) {
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_SET_STREAM_STATE, nullptr, &object_);
  srb.CommandData.StreamState = state;
  return SendStreamRequest(srb).Status;
}

NTSTATUS CaptureStream::GetState(KSSTATE* state) {
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_GET_STREAM_STATE, nullptr, &object_);
  const NTSTATUS status = SendStreamRequest(srb).Status;
  if (NT_SUCCESS(status) && state) *state = srb.CommandData.StreamState;
  return status;
}

NTSTATUS CaptureStream::ProposeFormat(const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
  KS_DATAFORMAT_VIDEOINFOHEADER copy = format;
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_PROPOSE_DATA_FORMAT, nullptr, &object_);
  srb.CommandData.OpenFormat = &copy.DataFormat;
  return SendStreamRequest(srb).Status;
}

NTSTATUS CaptureStream::SetFormat(const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
  KS_DATAFORMAT_VIDEOINFOHEADER copy = format;
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_SET_DATA_FORMAT, nullptr, &object_);
  srb.CommandData.OpenFormat = &copy.DataFormat;
  return SendStreamRequest(srb).Status;
}

NTSTATUS CaptureStream::GetFormat() {
  KS_DATAFORMAT_VIDEOINFOHEADER answer{};
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_GET_DATA_FORMAT, nullptr, &object_);
  srb.CommandData.OpenFormat = &answer.DataFormat;
  return SendStreamRequest(srb).Status;
}

std::size_t CaptureStream::WaitingReads() const {
  std::lock_guard lock(reads_mutex_);
  return waiting_.size();
}

std::vector<Picture> CaptureStream::Read(unsigned count, std::size_t bufferBytes, unsigned maxFrames) {
  if (bufferBytes == 0) bufferBytes = format_.DataFormat.SampleSize;
  if (maxFrames == 0) maxFrames = count + 8;
  for (unsigned i = 0; i < count && open_ && camera_ && camera_->device_; ++i) {
    auto record = std::make_unique<ReadRecord>();
    ReadRecord* raw = record.get();
    raw->Buffer.assign(bufferBytes, 0);
    raw->Header.Size = sizeof(KSSTREAM_HEADER);
    raw->Header.FrameExtent = static_cast<ULONG>(bufferBytes);
    raw->Header.Data = raw->Buffer.data();
    raw->Srb = MakeRequest(SRB_READ_DATA, nullptr, &object_);
    raw->Srb.CommandData.DataBufferArray = &raw->Header;
    raw->Srb.NumberOfBuffers = 1;
    raw->Srb.Flags |= SRB_HW_FLAGS_DATA_TRANSFER;
    {
      std::lock_guard lock(reads_mutex_);
      waiting_.push_back(std::move(record));
    }
    raw->Srb.StreamObject = &object_;
    raw->Srb.HwDeviceExtension = camera_->DeviceContext();
    camera_->stream_class_->SendStreamRequest(*camera_->device_, raw->Srb, true,
                                              [this, raw](const RequestOutcome& outcome) {
                                                std::lock_guard lock(reads_mutex_);
                                                Picture picture;
                                                picture.Status = outcome.Status;
                                                picture.BytesUsed = std::min<ULONG>(
                                                    raw->Header.DataUsed, static_cast<ULONG>(raw->Buffer.size()));
                                                picture.Bytes = std::move(raw->Buffer);
                                                completed_.push_back(std::move(picture));
                                                auto it = std::find_if(waiting_.begin(), waiting_.end(),
                                                                       [raw](const auto& r) { return r.get() == raw; });
                                                if (it != waiting_.end()) waiting_.erase(it);
                                              });
  }
  for (unsigned frame = 0; frame < maxFrames && WaitingReads() > 0 && camera_ && camera_->device_; ++frame) {
    if (interrupted_.load(std::memory_order_acquire) || camera_->CheckRemoval()) break;
    if (camera_->device_->Pump(1) == 0 && !camera_->device_->Capturing()) break;
  }
  if (camera_) camera_->CheckRemoval();
  std::lock_guard lock(reads_mutex_);
  std::vector<Picture> pictures = std::move(completed_);
  completed_.clear();
  return pictures;
}

void CaptureStream::Interrupt() {
  interrupted_.store(true, std::memory_order_release);
  // The device record may be going away on the reading thread; the bus,
  // shared, outlives it.
  if (bus_) bus_->Interrupt();
}

void CaptureStream::Resume() { interrupted_.store(false, std::memory_order_release); }

NTSTATUS CaptureStream::Close() {
  if (!open_ || !camera_) return STATUS_INVALID_DEVICE_REQUEST;
  HW_STREAM_REQUEST_BLOCK srb = MakeRequest(SRB_CLOSE_STREAM, nullptr, &object_);
  const NTSTATUS status = camera_->SendDeviceRequest(srb).Status;
  open_ = false;
  if (camera_->open_stream_ == this) camera_->open_stream_ = nullptr;
  return status;
}

}  // namespace dualcam::host
