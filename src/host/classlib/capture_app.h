// A small capture-application API over the host stream class: load a camera
// minidriver, attach cameras (simulated ones, or any USB device the class
// library can drive: a real camera through libusb), read the capture pin's
// formats, open
// a stream in one of them, run it, read pictures, read and change the
// device's properties, move the device through power states, and take it
// away again (orderly or by surprise). The `dualcam` tool and the system
// tests use the same calls.
//
// Hard part: lifetimes that the platform ties together. The class library
// keeps pointers to a stream's object and to each queued read's buffer and
// request block until it completes them, so those live in heap records owned
// by the stream and outliving every completion; the device's record must
// stay allocated after SRB_UNINITIALIZE_DEVICE until the request routine has
// returned and the button poll has stopped, so the device object goes only
// after both. A camera must outlive its streams; Uninitialize and
// SurpriseRemove detach any open stream first.
//
// A camera that leaves the bus by itself is noticed by the next Read (or
// CheckRemoval), which sends SRB_SURPRISE_REMOVAL as the platform's stream
// class would: the minidriver takes the camera down on its usual path and
// the waiting reads come back cancelled.
//
// Thread safety: one camera and its stream from one thread at a time;
// different cameras from different threads at once. The exceptions are the
// device's property requests (Property, GetControl, SetControl): they may
// come from one other thread while a stream reads, as an application's
// property requests arrive on the stream class's request threads while
// frames flow (the control socket's server thread does this), but not while
// the camera is attached, uninitialized or removed; and
// CaptureStream::Interrupt, which may be called from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include <atomic>

#include "host/bus/usb_device.h"
#include "host/classlib/camera_class_library.h"
#include "host/classlib/stream_class.h"
#include "host/sim/sim_camera.h"
#include "platform/ks.h"
#include "platform/streamclass.h"

namespace dualcam::host {

class CaptureCamera;
class CaptureStream;

// The stream information a device announces.
struct StreamInfo {
  NTSTATUS Status = STATUS_PENDING;
  ULONG NumberOfStreams = 0;
  ULONG SizeOfHwStreamInformation = 0;
  ULONG NumberOfDevicePropertySets = 0;
  ULONG NumberOfStreamPropertySets = 0;
  KSPIN_DATAFLOW DataFlow = KSPIN_DATAFLOW_IN;
  std::vector<KS_DATARANGE_VIDEO> Formats;  // the capture pin's list, in order
};

// The format to open with for an announced range: the range's header and
// video-info header as a KS_DATAFORMAT_VIDEOINFOHEADER (FormatSize 152).
KS_DATAFORMAT_VIDEOINFOHEADER FormatFromRange(const KS_DATARANGE_VIDEO& range);

// The first announced range with this compression ("I420", "VQJ9" or 0 for
// RGB24) and size, or null.
const KS_DATARANGE_VIDEO* FindRange(const StreamInfo& info, DWORD compression, LONG width, LONG height);

// One picture read from a stream.
struct Picture {
  NTSTATUS Status = STATUS_PENDING;
  ULONG BytesUsed = 0;             // DataUsed of the buffer
  std::vector<uint8_t> Bytes;      // the whole buffer (FrameExtent bytes)
  std::span<const uint8_t> Used() const { return {Bytes.data(), BytesUsed}; }
};

// A loaded minidriver.
class CaptureDriver {
 public:
  // Calls the entry point (which registers with the class library).
  static std::unique_ptr<CaptureDriver> Load(DriverEntryRoutine entry, NTSTATUS* status = nullptr);

  // Device arrival: the library creates the device's record, then the
  // stream class sends SRB_INITIALIZE_DEVICE (CamConfigure, CamInitialize)
  // and SRB_INITIALIZATION_COMPLETE. Null with *status set on failure.
  // A simulated camera (a new one when null) on a bus of its own:
  std::unique_ptr<CaptureCamera> Attach(std::shared_ptr<sim::SimCamera> camera = nullptr,
                                        NTSTATUS* status = nullptr);
  // Any USB device; `options.Bus` is the device, its DeviceData is ignored.
  std::unique_ptr<CaptureCamera> AttachDevice(CameraDevice::Options options, NTSTATUS* status = nullptr);

  StreamClass& Streams() { return *stream_class_; }

 private:
  CaptureDriver() = default;
  std::unique_ptr<StreamClass> stream_class_;
};

class CaptureCamera {
 public:
  ~CaptureCamera();  // Uninitialize() unless gone already
  CaptureCamera(const CaptureCamera&) = delete;
  CaptureCamera& operator=(const CaptureCamera&) = delete;

  // SRB_GET_STREAM_INFO.
  StreamInfo GetStreamInfo();
  // SRB_GET_DATA_INTERSECTION for stream 0 with the given range; the answer
  // lands in `answer` (ActualBytesTransferred bytes of it).
  RequestOutcome Intersect(const KS_DATARANGE_VIDEO& range, std::span<uint8_t> answer, ULONG stream = 0);

  // SRB_OPEN_STREAM with the format (stream 0 unless said). Null with
  // *status set when the open was refused.
  std::unique_ptr<CaptureStream> OpenStream(const KS_DATAFORMAT_VIDEOINFOHEADER& format, NTSTATUS* status = nullptr,
                                            ULONG streamNumber = 0);

  // SRB_GET/SET_DEVICE_PROPERTY with a raw property buffer (the KSPROPERTY
  // at its start; the same buffer takes the answer).
  RequestOutcome Property(bool set, std::span<uint8_t> buffer);
  // The controls of PROPSETID_VIDCAP_VIDEOPROCAMP and
  // PROPSETID_VIDCAP_CAMERACONTROL (both carry Value and Flags at 24 and 28).
  NTSTATUS GetControl(const GUID& set, ULONG id, LONG* value, ULONG* flags = nullptr);
  NTSTATUS SetControl(const GUID& set, ULONG id, LONG value, ULONG flags = 2 /* manual */);

  // SRB_CHANGE_POWER_STATE.
  NTSTATUS SetPowerState(DEVICE_POWER_STATE state);
  // SRB_SURPRISE_REMOVAL; the device stays until Uninitialize.
  NTSTATUS SurpriseRemove();
  // When the device has left the bus, sends SRB_SURPRISE_REMOVAL (once).
  // True when the camera has been removed, by this or by SurpriseRemove.
  bool CheckRemoval();
  bool Removed() const { return removed_; }
  // SRB_UNINITIALIZE_DEVICE, then the device object goes. On a stepped work
  // queue the items waiting then get their turn first (the poll sees the
  // removal and ends), as they would during the driver's wait.
  NTSTATUS Uninitialize();
  bool Present() const { return device_ != nullptr; }

  // Any device request, for tests: HwDeviceExtension is filled in.
  RequestOutcome SendDeviceRequest(HW_STREAM_REQUEST_BLOCK& srb);

  CameraDevice& Device() { return *device_; }
  // The simulated camera of a camera attached by Attach; null for others.
  sim::SimCamera* SimulatedCamera() const { return camera_.get(); }
  // The same, for callers that know the camera is simulated.
  sim::SimCamera& Camera() { return *camera_; }
  PVOID DeviceContext() const { return device_ ? device_->DeviceContext() : nullptr; }

 private:
  friend class CaptureDriver;
  friend class CaptureStream;
  CaptureCamera() = default;

  StreamClass* stream_class_ = nullptr;
  std::shared_ptr<sim::SimCamera> camera_;
  std::unique_ptr<CameraDevice> device_;
  CaptureStream* open_stream_ = nullptr;
  bool removed_ = false;
};

class CaptureStream {
 public:
  ~CaptureStream();  // Close() if still open
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // SRB_SET_STREAM_STATE / SRB_GET_STREAM_STATE.
  NTSTATUS SetState(KSSTATE state);
  NTSTATUS GetState(KSSTATE* state);
  // SRB_PROPOSE_DATA_FORMAT, SRB_SET_DATA_FORMAT, SRB_GET_DATA_FORMAT.
  NTSTATUS ProposeFormat(const KS_DATAFORMAT_VIDEOINFOHEADER& format);
  NTSTATUS SetFormat(const KS_DATAFORMAT_VIDEOINFOHEADER& format);
  NTSTATUS GetFormat();
  // Any stream request, for tests; control requests unless `data`.
  RequestOutcome SendStreamRequest(HW_STREAM_REQUEST_BLOCK& srb, bool data = false);

  // Queues `count` SRB_READ_DATA requests with buffers of `bufferBytes`
  // (0: the format's SampleSize), then lets the camera send frames until
  // they all completed or `maxFrames` frame intervals passed (0: count + 8):
  // a simulated camera is stepped that often, a real one is waited for (at
  // most the device's FrameWait per interval). Returns the pictures
  // completed meanwhile, in completion order; reads still waiting stay
  // queued and come back from a later call. A camera that left the bus is
  // removed (CheckRemoval) and its reads come back cancelled.
  std::vector<Picture> Read(unsigned count, std::size_t bufferBytes = 0, unsigned maxFrames = 0);
  std::size_t WaitingReads() const;
  // Makes a Read in progress, and every later one until Resume, return at
  // once with what has completed (any thread).
  void Interrupt();
  void Resume();

  // SRB_CLOSE_STREAM.
  NTSTATUS Close();
  bool Open() const { return open_; }
  const KS_DATAFORMAT_VIDEOINFOHEADER& Format() const { return format_; }

 private:
  friend class CaptureCamera;
  CaptureStream() = default;
  struct ReadRecord {
    HW_STREAM_REQUEST_BLOCK Srb{};
    KSSTREAM_HEADER Header{};
    std::vector<uint8_t> Buffer;
  };
  void Detach();

  CaptureCamera* camera_ = nullptr;
  HW_STREAM_OBJECT object_{};
  KS_DATAFORMAT_VIDEOINFOHEADER format_{};
  bool open_ = false;
  std::atomic<bool> interrupted_{false};
  std::shared_ptr<bus::UsbDevice> bus_;
  mutable std::mutex reads_mutex_;
  std::deque<std::unique_ptr<ReadRecord>> waiting_;
  std::vector<Picture> completed_;
};

}  // namespace dualcam::host
