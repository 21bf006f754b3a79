// Our USB camera class library: the USBCAMD_ functions of
// platform/usbcamd.h, and the C++ side that attaches a USB device (any
// bus::UsbDevice: the simulated camera, or a real one through libusb) to the
// registered minidriver and runs its captures.
//
// Hard part: honouring exactly the calls and orders the minidriver relies on
// (CamConfigure before CamInitialize, CamUnInitialize last; CamAllocate-
// Bandwidth before any packet of a capture, and every allocation paired with
// a CamFreeBandwidth, also one that failed; a raw frame handed over only
// after the packet that completed it came back with FrameComplete set) while
// keeping every raw frame buffer safe to decode: frames are clamped to the
// buffer, the buffer's tail is zero from the frame's end on (never stale bytes
// of an earlier frame) and decoder::kRawFrameSlack zero bytes follow its
// capacity, because the decoder reads a little past the frame it is given.
//
// The device. The library knows the camera only through its descriptors and
// the bus: it finds the streaming interface in the configuration descriptor
// (vendor-specific class, alternate setting 0 carrying nothing, isochronous
// IN endpoint), builds the USBD_INTERFACE_INFORMATION that CamConfigure gets
// from alternate setting 0 (the streaming endpoint as the first pipe), and
// on each selection fills the pipes from the chosen setting's descriptors.
// A device without such an interface does not start.
//
// The bus's answers become the statuses the minidriver knows: a refused
// alternate setting is the bus refusing bandwidth (STATUS_INSUFFICIENT_
// RESOURCES), a timeout STATUS_IO_TIMEOUT, a stall STATUS_UNSUCCESSFUL, an
// error on the wire STATUS_DEVICE_DATA_ERROR, a vanished device
// STATUS_DEVICE_NOT_CONNECTED. Selecting a setting that carries bytes also
// starts the isochronous stream (the bus reserves bandwidth only when it
// submits transfers), so a bus short of bandwidth refuses there too.
//
// The isochronous path. Each packet is put in a P-byte slot (P = the bytes a
// packet carries at the selected setting; bytes the packet did not fill are
// zero), described by a USBD_ISO_PACKET_DESCRIPTOR (Offset 0, Length =
// bytes received, Status: 0 for a full packet, 9 for a short one, a USBD
// error status for one that failed) and given to CamProcessUSBPacket with the
// frame context of the frame being gathered. The routine's result is the
// number of bytes to append, from the payload offset it reports (both
// clamped to the slot). When it sets FrameComplete, the frame gathered so far
// (without this packet) is finished: handed to CamProcessRawVideoFrame with
// the oldest waiting read, or dropped when no read waits, or skipped when no
// packet was appended to it (there is no picture to give); then the frame
// context is cleared, CamNewVideoFrame is called for the next frame, and this
// packet's bytes open it. NumberOfPackets counts the packets that appended
// bytes, capped at capacity / (P - 1) so that (P - 1) x NumberOfPackets never
// exceeds the buffer.
//
// Pumping. A stepped bus (the simulated camera) sends one frame interval per
// step, delivered at once. A live bus delivers what has arrived: Pump waits
// (at most FrameWait per frame asked for, without holding the device's lock)
// and delivers packets until that many frames were completed, leaving the
// rest queued, so no frame is dropped while reads wait.
//
// Requests. USBCAMD_AdapterReceivePacket with NeedsCompletion FALSE only
// returns the request's DeviceContext (the request's HwDeviceExtension) and
// the bus device object. With TRUE it carries the request out and completes
// it (StreamClassDeviceNotification) before returning: SRB_INITIALIZE_DEVICE
// runs CamConfigure then CamInitialize; SRB_UNINITIALIZE_DEVICE stops a
// running capture, cancels the reads and runs CamUnInitialize, but leaves the
// DeviceContext allocated until the device object goes (Remove), because the
// minidriver still uses it after the library returns; SRB_OPEN_STREAM keeps a
// copy of the format and the minidriver's two hooks from the stream object;
// SRB_CLOSE_STREAM stops the capture and cancels the reads;
// SRB_CHANGE_POWER_STATE runs CamSaveState when leaving D0 and
// CamRestoreState when coming back; SRB_SURPRISE_REMOVAL stops the capture,
// cancels the reads and cuts the camera off (later vendor commands and reads
// fail with STATUS_DEVICE_NOT_CONNECTED, later opens with
// STATUS_DEVICE_REMOVED).
// A device that leaves the bus by itself is only marked (Vanished): the
// application then sends SRB_SURPRISE_REMOVAL, as the platform's stream
// class does, so the minidriver sees the removal on its usual path.
// Stream requests arrive through ReceiveStreamRequest: the minidriver's hook
// sees each first; SRB_SET_STREAM_STATE to RUN runs CamAllocateBandwidth and
// CamStartCapture with the open format, PAUSE and ACQUIRE stop the capture
// and keep the reads, STOP stops it and cancels them; SRB_READ_DATA queues the
// request's first buffer and completes it (StreamClassStreamNotification)
// when a frame fills it; SRB_GET_STREAM_PROPERTY answers the allocator
// framing and the dropped-frame count.
//
// Thread safety: the callbacks of one device never run at once. Requests,
// capture calls and pumping take the device's lock, whichever thread they
// come from (a live bus's transfers complete on its own thread and only queue
// packets; they are handed to the minidriver by Pump). Vendor commands may
// come from any thread, also from inside a callback; so may alternate-setting
// selections, except from inside the packet and frame callbacks (a delivery
// holds the selection lock, so that the stream does not change under it).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "host/bus/descriptors.h"
#include "host/bus/usb_device.h"
#include "platform/streamclass.h"
#include "platform/usbcamd.h"

namespace dualcam::host {

// What USBCAMD_DriverEntry recorded, and the callback table the driver last
// handed to USBCAMD_AdapterReceivePacket.
struct CameraDriverRegistration {
  bool Registered = false;
  PDRIVER_OBJECT DriverObject = nullptr;
  ULONG DeviceContextSize = 0;
  ULONG FrameContextSize = 0;
  PHW_RECEIVE_DEVICE_SRB ReceivePacket = nullptr;
  bool HasDeviceData = false;
  USBCAMD_DEVICE_DATA DeviceData{};
};
CameraDriverRegistration CurrentCameraDriver();
// Forgets the registration (tests that load the driver again).
void ResetCameraDriver();

// Pool tag of the blocks the library allocates for a device ("Ucam").
inline constexpr ULONG kLibraryPoolTag = 0x6D616355;
// The largest raw frame a capture may ask to gather (a 640 x 480 frame at
// 12 bits a pixel needs about 461 KB); larger requests are refused.
inline constexpr ULONG kMaxRawFrameLength = 4u << 20;
// The longest open format the library keeps a copy of.
inline constexpr ULONG kMaxFormatSize = 4096;

// The status the minidriver sees for a bus's answer (see the file comment).
NTSTATUS NtStatusFromBus(bus::Status status);
// The USBD status of a packet that arrived with `length` of `packetSize`
// bytes: 0 full, 9 short, a USBD error status for one that failed.
USBD_STATUS UsbdPacketStatus(bus::PacketStatus status, ULONG length, ULONG packetSize);

// One capture read waiting for a frame: the application's buffer.
struct CompletedRead {
  NTSTATUS Status = STATUS_SUCCESS;  // what CamProcessRawVideoFrame returned
  ULONG BytesReturned = 0;
  ULONG FrameContext = 0;            // the first 4 bytes of the frame context
  ULONG NumberOfPackets = 0;
  ULONG RawFrameLength = 0;          // bytes gathered (after clamping)
  bool Truncated = false;            // the frame was longer than its buffer
};
using ReadCompletion = std::function<void(const CompletedRead&)>;

struct StreamCounters {
  uint64_t PacketsDelivered = 0;
  uint64_t PacketsAccepted = 0;   // the packet routine asked for bytes
  uint64_t PacketsFailed = 0;     // arrived with an error status
  uint64_t FramesCompleted = 0;   // FrameComplete seen with a non-empty frame
  uint64_t FramesDelivered = 0;   // handed to CamProcessRawVideoFrame
  uint64_t FramesDropped = 0;     // completed while no read waited
  uint64_t FramesTruncated = 0;   // longer than the raw frame buffer
  uint64_t EmptyFramesSkipped = 0;
  uint64_t BusWaitNanoseconds = 0;  // a live bus: time pumps waited for packets
};

// A USB camera attached to the registered minidriver.
class CameraDevice {
 public:
  struct Options {
    // The device; required.
    std::shared_ptr<bus::UsbDevice> Bus;
    // Callback table; the one the driver handed to USBCAMD_AdapterReceivePacket
    // when absent.
    const USBCAMD_DEVICE_DATA* DeviceData = nullptr;
    // How long a vendor command may take before it fails with
    // STATUS_IO_TIMEOUT.
    std::chrono::milliseconds VendorTimeout{1000};
    // How long Pump waits on a live bus for each frame it was asked for.
    std::chrono::milliseconds FrameWait{500};
  };

  // Allocates the zero-filled DeviceContext of the registered size (host
  // pool), then calls CamConfigure with the streaming interface and
  // CamInitialize. On failure returns null and sets *status to the failing
  // step's status; a device whose CamConfigure succeeded gets CamUnInitialize
  // before it is freed.
  static std::unique_ptr<CameraDevice> Attach(Options options, NTSTATUS* status = nullptr);
  // The first half of Attach: the zero-filled DeviceContext, known to the
  // library functions, with no callback run yet (the device object exists,
  // SRB_INITIALIZE_DEVICE has not arrived). Null when there is no device,
  // no registration or no pool.
  static std::unique_ptr<CameraDevice> Create(Options options, NTSTATUS* status = nullptr);
  // The second half: finds the streaming interface in the descriptors, then
  // CamConfigure, then CamInitialize. Once only. A device whose descriptors
  // hold no streaming interface fails with STATUS_DEVICE_DATA_ERROR before
  // any callback runs.
  NTSTATUS Initialize();
  // CamUnInitialize (after stopping a running capture and cancelling the
  // reads), keeping the DeviceContext. Idempotent; Remove() includes it.
  NTSTATUS UnInitialize();
  // SRB_SURPRISE_REMOVAL's part: capture stopped, reads cancelled, vendor
  // commands fail from now on.
  void Unplug();
  bool Unplugged() const { return unplugged_.load(std::memory_order_relaxed); }
  // The device left the bus by itself (the bus said so); the application is
  // to send SRB_SURPRISE_REMOVAL.
  bool Vanished() const { return vanished_->load(std::memory_order_acquire); }

  // --- Stream requests (the library's side of the capture stream) ---
  // Carries out a forwarded request and completes it; see the file comment.
  void PerformRequest(PHW_STREAM_REQUEST_BLOCK srb, const USBCAMD_DEVICE_DATA* deviceData);
  // A stream request for the open stream: the hook first, then the library.
  void ReceiveStreamRequest(PHW_STREAM_REQUEST_BLOCK srb, bool dataRequest);
  bool StreamOpen() const { return stream_open_; }
  KSSTATE StreamState() const { return stream_state_; }
  DEVICE_POWER_STATE PowerState() const { return power_state_; }
  // The next `count` stream opens that reach the library fail with `status`
  // (an allocation the library could not make).
  void FailStreamOpens(unsigned count, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
  ~CameraDevice();  // Remove() if not yet done
  CameraDevice(const CameraDevice&) = delete;
  CameraDevice& operator=(const CameraDevice&) = delete;

  // CamUnInitialize (after stopping a running capture) and release of the
  // DeviceContext; returns CamUnInitialize's status. Idempotent.
  NTSTATUS Remove();

  PVOID DeviceContext() const { return context_; }
  PDEVICE_OBJECT BusDeviceObject() { return &bus_device_; }
  bus::UsbDevice& Bus() const { return *bus_; }
  const std::shared_ptr<bus::UsbDevice>& BusPtr() const { return bus_; }
  NTSTATUS ConfigureStatus() const { return configure_status_; }
  NTSTATUS InitializeStatus() const { return initialize_status_; }
  // The streaming interface found at Initialize.
  const std::optional<bus::StreamingInterface>& Streaming() const { return streaming_; }

  // Capture: CamAllocateBandwidth with the format (a
  // KS_DATAFORMAT_VIDEOINFOHEADER), then, when that succeeded with a non-zero
  // raw frame length, CamStartCapture. The raw frame buffer is allocated here.
  // An allocation that failed, gave no raw frame length or one too long is
  // given back with CamFreeBandwidth (the camera is parked again).
  NTSTATUS StartCapture(PVOID format);
  // CamStopCapture, then CamFreeBandwidth (returned). Pending reads stay.
  NTSTATUS StopCapture();
  bool Capturing() const { return capturing_; }
  ULONG RawFrameLength() const { return raw_frame_length_; }
  // Raw frame buffer (capacity RawFrameLength() + decoder::kRawFrameSlack).
  std::span<const uint8_t> RawFrameBuffer() const { return raw_buffer_; }

  // Power transitions.
  NTSTATUS SaveState();
  NTSTATUS RestoreState();

  // --- The bus ---
  uint8_t AlternateSetting() const { return alternate_setting_.load(std::memory_order_relaxed); }
  uint16_t MaxPacketSize() const { return static_cast<uint16_t>(packet_size_.load(std::memory_order_relaxed)); }
  // Every selection asked for, in order, with its result.
  struct Selection {
    uint8_t AlternateSetting;
    NTSTATUS Status;
  };
  std::vector<Selection> Selections() const;
  // Called by USBCAMD_SelectAlternateInterface.
  NTSTATUS SelectAlternateInterface(PUSBD_INTERFACE_INFORMATION request);
  // Called by USBCAMD_ControlVendorCommand.
  NTSTATUS VendorCommand(bool in, UCHAR request, USHORT value, USHORT index, PVOID buffer, PULONG length);

  // --- The isochronous path ---
  // A read waiting for the next finished frame. The buffer must stay valid
  // until done is called (from the pumping thread).
  void QueueRead(std::span<uint8_t> buffer, ReadCompletion done);
  std::size_t PendingReads() const;
  // Completes every pending read with STATUS_CANCELLED and no bytes.
  void CancelReads();
  // Stepped bus: lets the camera send `frames` frame intervals of packets
  // and delivers them; returns the number of frames the camera sent. Live
  // bus: delivers packets until `frames` frames were completed, waiting at
  // most FrameWait for each; returns the frames completed. Either does
  // nothing when no capture runs, the device is powered down or gone.
  unsigned Pump(unsigned frames = 1);
  // Makes a Pump that waits on a live bus return now (any thread).
  void Interrupt();
  // Delivers one packet as the bus received it (tests craft their own).
  void DeliverPacket(std::span<const uint8_t> bytes, bus::PacketStatus status);
  const StreamCounters& Counters() const { return counters_; }
  // The frame context of the frame being gathered.
  std::span<const uint8_t> CurrentFrameContext() const { return frame_context_; }

 private:
  class PumpSink;
  explicit CameraDevice(Options options);
  bool ReadyToPumpLocked() const;
  // One packet through CamProcessUSBPacket; true when it completed a frame.
  bool ProcessPacketLocked(std::span<const uint8_t> bytes, bus::PacketStatus status);
  void FinishFrame();
  void BeginFrame();
  NTSTATUS StartCaptureLocked(PVOID format);
  NTSTATUS StopCaptureLocked();
  NTSTATUS UnInitializeLocked();
  void UnplugLocked();
  void CancelReadsLocked();
  void StopStreamLocked();
  void FillPipes(PUSBD_INTERFACE_INFORMATION record, const bus::StreamingSetting& setting) const;

  std::shared_ptr<bus::UsbDevice> bus_;
  std::chrono::milliseconds vendor_timeout_;
  std::chrono::milliseconds frame_wait_;
  // Held while a callback runs: requests, capture calls, pumping.
  mutable std::recursive_mutex mutex_;
  USBCAMD_DEVICE_DATA callbacks_{};
  DEVICE_OBJECT bus_device_{};
  PVOID context_ = nullptr;
  ULONG context_size_ = 0;
  bool configured_ = false;
  bool initialized_ = false;
  bool removed_ = false;
  NTSTATUS configure_status_ = STATUS_UNSUCCESSFUL;
  NTSTATUS initialize_status_ = STATUS_UNSUCCESSFUL;
  bool uninitialized_ = false;
  bool has_table_ = false;
  std::atomic<bool> unplugged_{false};
  // Shared with the bus's gone handler, which may outlive this record.
  std::shared_ptr<std::atomic<bool>> vanished_ = std::make_shared<std::atomic<bool>>(false);

  // The open capture stream as the library keeps it.
  bool stream_open_ = false;
  PHW_STREAM_OBJECT stream_object_ = nullptr;
  PCAM_STREAM_HOOK data_hook_ = nullptr;
  PCAM_STREAM_HOOK control_hook_ = nullptr;
  std::vector<uint8_t> stream_format_;
  KSSTATE stream_state_ = KSSTATE_STOP;
  DEVICE_POWER_STATE power_state_ = PowerDeviceD0;
  unsigned failing_opens_ = 0;
  NTSTATUS failing_open_status_ = STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS OpenStream(PHW_STREAM_REQUEST_BLOCK srb);
  void CloseStream();
  NTSTATUS SetStreamState(KSSTATE state);
  void QueueReadRequest(PHW_STREAM_REQUEST_BLOCK srb);
  NTSTATUS GetStreamProperty(PHW_STREAM_REQUEST_BLOCK srb);
  std::optional<bus::StreamingInterface> streaming_;
  std::vector<uint8_t> interface_info_;  // the record given to CamConfigure
  std::vector<uint8_t> config_descriptor_;
  LONG data_pipe_index_ = 0;
  LONG sync_pipe_index_ = -1;

  // The selected setting. Selections may come from any thread; the packet
  // path reads the packet size without the selection lock.
  mutable std::mutex selection_mutex_;
  std::atomic<uint8_t> alternate_setting_{0};
  std::atomic<uint32_t> packet_size_{0};
  bool stream_running_ = false;  // under selection_mutex_
  std::vector<Selection> selections_;

  bool capturing_ = false;
  ULONG raw_frame_length_ = 0;
  std::vector<uint8_t> raw_buffer_;   // capacity + slack
  std::size_t gathered_ = 0;          // bytes of the current frame
  std::size_t dirty_end_ = 0;         // bytes written since the buffer was last zero
  ULONG packets_in_frame_ = 0;
  bool truncated_ = false;
  std::vector<uint8_t> frame_context_;
  std::vector<uint8_t> slot_;         // the largest packet any setting carries
  struct PendingRead {
    std::span<uint8_t> Buffer;
    ReadCompletion Done;
  };
  // Waiting reads, oldest first: a ring that grows when full and otherwise
  // reuses its slots, so that a read queued per frame allocates nothing once
  // the capture runs (a deque frees and allocates its blocks as it goes).
  class ReadQueue {
   public:
    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    void push_back(PendingRead read);
    PendingRead pop_front();

   private:
    std::vector<PendingRead> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
  };
  ReadQueue reads_;
  StreamCounters counters_;
};

}  // namespace dualcam::host
