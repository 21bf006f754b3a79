// Our USB camera class library: the USBCAMD_ functions of
// platform/usbcamd.h, and the C++ side that attaches a simulated camera to
// the registered minidriver and runs its captures.
//
// Hard part: honouring exactly the calls and orders the minidriver relies on
// (CamConfigure before CamInitialize, CamUnInitialize last; CamAllocate-
// Bandwidth before any packet of a capture; a raw frame handed over only
// after the packet that completed it came back with FrameComplete set) while
// keeping every raw frame buffer safe to decode: frames are clamped to the
// buffer, the buffer's tail is zero from the frame's end on (never stale bytes
// of an earlier frame) and decoder::kRawFrameSlack zero bytes follow its
// capacity, because the decoder reads a little past the frame it is given.
//
// The isochronous path. Each packet the camera sends is put in a P-byte slot
// (P = the maximum packet size of the selected alternate setting; bytes the
// packet did not fill are zero), described by a USBD_ISO_PACKET_DESCRIPTOR
// (Offset 0, Length = bytes received, Status) and given to
// CamProcessUSBPacket with the frame context of the frame being gathered.
// The routine's result is the number of bytes to append, from the payload
// offset it reports (both clamped to the slot). When it sets FrameComplete,
// the frame gathered so far (without this packet) is finished: handed to
// CamProcessRawVideoFrame with the oldest waiting read, or dropped when no
// read waits, or skipped when no packet was appended to it (there is no
// picture to give); then the frame context is cleared, CamNewVideoFrame is
// called for the next frame, and this packet's bytes open it.
// NumberOfPackets counts the packets that appended bytes, capped at
// capacity / (P - 1) so that (P - 1) x NumberOfPackets never exceeds the
// buffer.
//
// Alternate settings are the camera's (sim::kAlternateSettings: 0 carries
// nothing, 1..5 carry 128, 256, 512, 768 and 1023 bytes a packet); the bus can
// be scripted to refuse some of them, as a bus without the bandwidth does.
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
// cancels the reads and cuts the camera off (later vendor commands fail with
// STATUS_DEVICE_NOT_CONNECTED, later opens with STATUS_DEVICE_REMOVED).
// Stream requests arrive through ReceiveStreamRequest: the minidriver's hook
// sees each first; SRB_SET_STREAM_STATE to RUN runs CamAllocateBandwidth and
// CamStartCapture with the open format, PAUSE and ACQUIRE stop the capture
// and keep the reads, STOP stops it and cancels them; SRB_READ_DATA queues the
// request's first buffer and completes it (StreamClassStreamNotification)
// when a frame fills it; SRB_GET_STREAM_PROPERTY answers the allocator
// framing and the dropped-frame count.
//
// Thread safety: a Device's capture calls, requests and pumping must come
// from one thread at a time (the platform never runs two callbacks of a
// device at once); USBCAMD_ControlVendorCommand may be called from any
// thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <vector>

#include "host/sim/sim_camera.h"
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
  uint64_t FramesCompleted = 0;   // FrameComplete seen with a non-empty frame
  uint64_t FramesDelivered = 0;   // handed to CamProcessRawVideoFrame
  uint64_t FramesDropped = 0;     // completed while no read waited
  uint64_t FramesTruncated = 0;   // longer than the raw frame buffer
  uint64_t EmptyFramesSkipped = 0;
};

// A simulated camera attached to the registered minidriver.
class CameraDevice {
 public:
  struct Options {
    // The camera; a new default one when null.
    std::shared_ptr<sim::SimCamera> Camera;
    // Callback table; the one the driver handed to USBCAMD_AdapterReceivePacket
    // when absent.
    const USBCAMD_DEVICE_DATA* DeviceData = nullptr;
  };

  // Allocates the zero-filled DeviceContext of the registered size (host
  // pool), then calls CamConfigure with the streaming interface and
  // CamInitialize. On failure returns null and sets *status to the failing
  // step's status; a device whose CamConfigure succeeded gets CamUnInitialize
  // before it is freed.
  static std::unique_ptr<CameraDevice> Attach(Options options, NTSTATUS* status = nullptr);
  // The first half of Attach: the zero-filled DeviceContext, known to the
  // library functions, with no callback run yet (the device object exists,
  // SRB_INITIALIZE_DEVICE has not arrived). Null when there is no
  // registration, no callback table or no pool.
  static std::unique_ptr<CameraDevice> Create(Options options, NTSTATUS* status = nullptr);
  // The second half: CamConfigure, then CamInitialize. Once only.
  NTSTATUS Initialize();
  // CamUnInitialize (after stopping a running capture and cancelling the
  // reads), keeping the DeviceContext. Idempotent; Remove() includes it.
  NTSTATUS UnInitialize();
  // The device left the bus: capture stopped, reads cancelled, vendor
  // commands fail from now on.
  void Unplug();
  bool Unplugged() const { return unplugged_.load(std::memory_order_relaxed); }

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
  sim::SimCamera& Camera() { return *camera_; }
  std::shared_ptr<sim::SimCamera> CameraPtr() const { return camera_; }
  NTSTATUS ConfigureStatus() const { return configure_status_; }
  NTSTATUS InitializeStatus() const { return initialize_status_; }

  // Capture: CamAllocateBandwidth with the format (a
  // KS_DATAFORMAT_VIDEOINFOHEADER), then, when that succeeded with a non-zero
  // raw frame length, CamStartCapture. The raw frame buffer is allocated here.
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
  // Refuse a selection of these alternate settings (a bus short of
  // bandwidth) until changed; status is what the selection returns.
  void RefuseAlternateSettings(std::set<uint8_t> settings,
                               NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
  // Refuse each selection of a setting above 0 with the given chance, seeded.
  void RefuseAlternateSettingsRandomly(uint64_t seed, uint32_t per_million,
                                       NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
  uint8_t AlternateSetting() const;
  uint16_t MaxPacketSize() const;
  // Every selection asked for, in order, with its result.
  struct Selection {
    uint8_t AlternateSetting;
    NTSTATUS Status;
  };
  std::vector<Selection> Selections() const;
  // Called by USBCAMD_SelectAlternateInterface.
  NTSTATUS SelectAlternateInterface(PUSBD_INTERFACE_INFORMATION request);

  // --- The isochronous path ---
  // A read waiting for the next finished frame. The buffer must stay valid
  // until done is called (from the pumping thread).
  void QueueRead(std::span<uint8_t> buffer, ReadCompletion done);
  std::size_t PendingReads() const { return reads_.size(); }
  // Completes every pending read with STATUS_CANCELLED and no bytes.
  void CancelReads();
  // Lets the camera send `frames` frame intervals of packets and delivers
  // them. Does nothing when no capture runs or the setting carries nothing.
  // Returns the number of frames the camera sent.
  unsigned Pump(unsigned frames = 1);
  // Delivers one packet as the bus received it (tests craft their own).
  void DeliverPacket(const sim::SimPacket& packet);
  const StreamCounters& Counters() const { return counters_; }
  // The frame context of the frame being gathered.
  std::span<const uint8_t> CurrentFrameContext() const { return frame_context_; }

 private:
  CameraDevice() = default;
  void FinishFrame();
  void BeginFrame();

  std::shared_ptr<sim::SimCamera> camera_;
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
  std::vector<uint8_t> interface_info_;  // the record given to CamConfigure
  std::vector<uint8_t> config_descriptor_;
  LONG data_pipe_index_ = 0;
  LONG sync_pipe_index_ = -1;

  mutable std::mutex bus_mutex_;  // alternate setting state (selection may come from any thread)
  uint8_t alternate_setting_ = 0;
  uint16_t max_packet_size_ = 0;
  std::set<uint8_t> refused_;
  NTSTATUS refused_status_ = STATUS_INSUFFICIENT_RESOURCES;
  sim::SeededRandom refusal_random_;
  uint32_t refusal_chance_ = 0;
  NTSTATUS random_refusal_status_ = STATUS_INSUFFICIENT_RESOURCES;
  std::vector<Selection> selections_;

  bool capturing_ = false;
  ULONG raw_frame_length_ = 0;
  std::vector<uint8_t> raw_buffer_;   // capacity + slack
  std::size_t gathered_ = 0;          // bytes of the current frame
  std::size_t dirty_end_ = 0;         // bytes written since the buffer was last zero
  ULONG packets_in_frame_ = 0;
  bool truncated_ = false;
  std::vector<uint8_t> frame_context_;
  std::vector<uint8_t> slot_;
  struct PendingRead {
    std::span<uint8_t> Buffer;
    ReadCompletion Done;
  };
  std::deque<PendingRead> reads_;
  StreamCounters counters_;
};

}  // namespace dualcam::host
