// The simulated dual-mode camera: the device side of the default pipe (vendor
// control requests) and of the isochronous video pipe (the packet stream).
//
// Hard part: being a faithful, observable and repeatable device. Every control
// request is answered the way the camera's firmware answers it and is logged
// byte for byte so tests can assert exact sequences; the firmware's automatic
// exposure and white balance drift while it streams; the picture reflects the
// registers the host wrote (image controls, quantization tables, size); and
// every fault (failed requests, a camera that stays busy, damaged packets) is
// scripted or drawn from a seeded generator, never from time or chance.
//
// Thread safety: all members may be called from any thread; one mutex
// serialises them, as the firmware serialises requests on its default pipe.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/sim/encoder/encoder.h"
#include "host/sim/random.h"
#include "host/sim/scene.h"
#include "platform/ntstatus.h"

namespace dualcam::host::sim {

// --- The camera's request vocabulary (bRequest codes, USB 2.0 9.3.4) -------

inline constexpr uint8_t kRequestRegister = 0x00;      // camera register read/write
inline constexpr uint8_t kRequestButton = 0x05;        // in: button byte; out value 2: take a still
inline constexpr uint8_t kRequestBusy = 0x06;          // in: busy byte, 0 = ready
inline constexpr uint8_t kRequestAeAwbMode = 0x0C;     // out: automatic control mode 0..4
inline constexpr uint8_t kRequestStartup = 0x20;       // out: start-up setting
inline constexpr uint8_t kRequestFirmwareVar = 0x30;   // 16-bit firmware variable read/write
inline constexpr uint8_t kRequestInfoBlock = 0x50;     // 1024-byte information block
inline constexpr uint8_t kRequestImageSize = 0xA0;     // out: picture size by index
inline constexpr uint8_t kRequestFlicker = 0xB0;       // out: 1 = 50 Hz, 0 = 60 Hz mains
inline constexpr uint8_t kRequestPower = 0xE0;         // out: index 0 wakes, index 1 rests

// Camera registers the firmware gives a meaning to.
inline constexpr uint16_t kRegCaptureEngine = 0x2000;  // 3 runs, 0 stops
inline constexpr uint16_t kRegEngineSetup = 0x2301;
inline constexpr uint16_t kRegStartup = 0x2501;
inline constexpr uint16_t kRegLumaTable = 0x2800;      // + j, natural order
inline constexpr uint16_t kRegChromaTable = 0x2840;    // + j, natural order
inline constexpr uint16_t kRegQuality = 0x2880;
inline constexpr uint16_t kRegQualityLatch = 0x2881;  // 1: load the camera's pair of kRegQuality
inline constexpr uint16_t kRegSharpness = 0x21A3;
inline constexpr uint16_t kRegControlsOn = 0x21A6;
inline constexpr uint16_t kRegBrightness = 0x21A7;     // signed 16-bit offset
inline constexpr uint16_t kRegContrast = 0x21A8;       // contrast + 32
inline constexpr uint16_t kRegHueControl = 0x21AC;     // bits 6,7 = hue bits 8,9
inline constexpr uint16_t kRegHueLow = 0x21AD;
inline constexpr uint16_t kRegSaturation = 0x21AE;
inline constexpr uint16_t kRegPowerState = 0x25B2;     // 0 once the camera kept its setup

// Firmware variables.
inline constexpr uint16_t kVarAeawbSwitch = 0;
inline constexpr uint16_t kVarCurShutter = 1;
inline constexpr uint16_t kVarCurAgc = 2;
inline constexpr uint16_t kVarRGain = 4;
inline constexpr uint16_t kVarBGain = 5;
inline constexpr uint16_t kVarAdjAgc = 6;
inline constexpr uint16_t kVarMinAgc = 8;
inline constexpr uint16_t kVarMaxAgc = 9;
inline constexpr std::size_t kFirmwareVarCount = 16;

inline constexpr std::size_t kInfoBlockSize = 1024;

// Isochronous packet framing (first byte of each packet).
inline constexpr uint8_t kPacketFrameStart = 0xFE;
inline constexpr uint8_t kPacketFiller = 0xFF;
inline constexpr uint8_t kSequenceWrap = 128;  // continuation numbers run 0..127

// Status words the simulated bus puts in a packet descriptor.
inline constexpr int32_t kPacketStatusOk = 0;
inline constexpr int32_t kPacketStatusShort = 9;  // fewer bytes than the maximum arrived
inline constexpr int32_t kPacketStatusError = static_cast<int32_t>(0xC0000001u);  // CRC error

// The still picture the camera sends after a still request or a press of its
// button, in every frame until the host selects a video size again (request
// 0xA0): 640 x 480, compressed like video with the uploaded tables, behind a
// raw frame header whose frame-kind pair is 0, 2, and padded with zeros to
// exactly N = 202769 / (P - 1) + 1 packets of P bytes, so the still payload
// the host collects (packet bytes 10.. of the start packet, 1.. of the rest:
// N x (P - 1) - 9 bytes) has the length it checks. In that payload, and so in
// a snapshot file after its 1024-byte header, the compressed picture starts 4
// bytes in (raw header bytes 9..12 come first). A picture too large for the
// frame would be cut; at 640 x 480 with the camera's tables it is far smaller.
inline constexpr int kStillWidth = 640;
inline constexpr int kStillHeight = 480;
uint32_t StillPacketCount(uint32_t max_packet_size);

// One alternate setting of the streaming interface.
struct AlternateSetting {
  uint8_t number = 0;
  uint16_t max_packet_size = 0;
};
// 0 carries no isochronous bandwidth; 1..5 give 128, 256, 512, 768 and 1023
// bytes per packet (1023 is the full-speed isochronous maximum, USB 2.0 5.6.3).
inline constexpr std::array<AlternateSetting, 6> kAlternateSettings = {{
    {0, 0}, {1, 128}, {2, 256}, {3, 512}, {4, 768}, {5, 1023}}};

// Picture sizes selected by request 0xA0 (by its index field).
struct ImageSizeCode {
  uint16_t index;
  int width;
  int height;
};
inline constexpr std::array<ImageSizeCode, 6> kImageSizeCodes = {{
    {0x0501, 640, 480}, {0x0502, 352, 288}, {0x0503, 320, 240},
    {0x0504, 176, 144}, {0x0505, 160, 128}, {0x0507, 160, 112}}};

// --- Request log -----------------------------------------------------------

struct ControlRecord {
  bool in = false;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint32_t length = 0;         // data-stage length asked for
  std::vector<uint8_t> data;   // out: bytes sent; in: bytes returned
  NTSTATUS status = STATUS_SUCCESS;
};

// "out 00 v=0003 i=2000" or "in 06 v=0000 i=0000 n=1 -> 01"; a failed request
// ends in " !C000009C". Tests compare lists of these lines, which read well in
// a failure message.
std::string FormatRecord(const ControlRecord& record);

// Which requests a scripted failure applies to; an empty field matches all.
struct RequestMatch {
  std::optional<bool> in = std::nullopt;
  std::optional<uint8_t> request = std::nullopt;
  std::optional<uint16_t> index = std::nullopt;
  bool Matches(bool is_in, uint8_t req, uint16_t idx) const;
};

// --- Packet stream ---------------------------------------------------------

struct SimPacket {
  std::vector<uint8_t> bytes;  // what arrived; the descriptor's Length is bytes.size()
  int32_t status = kPacketStatusOk;
};

// Chances per million packets of each fault, and the seed of their schedule.
// The same seed and settings give the same damaged stream.
struct PacketFaults {
  uint64_t seed = 0;
  uint32_t drop = 0;      // the packet never arrives
  uint32_t reorder = 0;   // the packet arrives after the one that follows it
  uint32_t truncate = 0;  // the packet arrives short, with status 0 (a length error)
  uint32_t error = 0;     // the packet arrives with kPacketStatusError
};

struct FrameRecord {
  uint32_t number = 0;              // 1 for the first frame the camera sent
  encoder::FrameKind kind = encoder::FrameKind::kVideo;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> picture;     // the I420 picture the sensor produced
  std::vector<uint8_t> raw_frame;   // header + compressed picture (+ zero padding for a still)
};

struct SimCameraOptions {
  // Busy-byte reads answered non-zero after the camera is woken (request
  // 0xE0 index 0) and after an information block transfer is announced or
  // written. 0 keeps request sequences predictable.
  unsigned busy_reads_after_wake = 0;
  unsigned busy_reads_after_info = 0;
  // A press of the camera's button also makes it send a still picture.
  bool button_takes_still = true;
  // Idle packets the camera sends after each frame: full-length fillers
  // (first byte 0xFF) and empty packets (length 0, status 9).
  unsigned filler_packets_per_frame = 1;
  unsigned empty_packets_per_frame = 1;
  // Frames kept in the history (FrameHistory) for picture comparisons.
  std::size_t history_depth = 8;
  // The camera's frame period. Zero: a frame each time the bus asks for one,
  // so tests step the stream. Otherwise the camera keeps its own cadence
  // whatever the host does (a still held in the driver, reads in a hurry):
  // a frame asked for before it is due is sent when it is due, the caller
  // waiting as a host waits on its isochronous pipe; one asked for late is
  // sent at once, and the cadence starts again from it.
  std::chrono::nanoseconds frame_period{0};
  // The time the cadence follows, and the wait until a frame is due: the
  // machine's steady clock when empty; tests give a clock of their own.
  std::function<std::chrono::nanoseconds()> now{};
  std::function<void(std::chrono::nanoseconds)> wait_until{};
};

class SimCamera {
 public:
  explicit SimCamera(SimCameraOptions options = {});
  SimCamera(const SimCamera&) = delete;
  SimCamera& operator=(const SimCamera&) = delete;

  // The default pipe. length holds the data-stage length on entry and the
  // bytes moved on return. A failed request moves no byte (length 0), leaves
  // the buffer alone and changes nothing in the camera. A request the
  // firmware does not know is stalled (STATUS_UNSUCCESSFUL).
  NTSTATUS Control(bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* buffer,
                   uint32_t* length);

  // --- Request log ---
  std::vector<ControlRecord> RequestLog() const;
  std::vector<std::string> RequestLines() const;  // FormatRecord of each
  void ClearRequestLog();

  // --- Scripting ---
  // The next n busy-byte reads answer `byte` (non-zero: busy).
  void QueueBusyReads(unsigned n, uint8_t byte = 1);
  // The next n busy-byte reads fail with status and move no byte.
  void QueueBusyReadFailures(unsigned n, NTSTATUS status = STATUS_DEVICE_DATA_ERROR);
  // Answer every busy-byte read with 1 (after the queued ones) while set.
  void SetAlwaysBusy(bool busy);
  // Queue presses of the snapshot button; each button read reports one.
  void PressButton(unsigned presses = 1);
  // Fail the next `count` requests that match with `status`.
  void FailRequests(const RequestMatch& match, NTSTATUS status, unsigned count = 1);
  // Fail each request with the given chance (per million), seeded.
  void SetRandomRequestFailures(uint64_t seed, uint32_t per_million,
                                NTSTATUS status = STATUS_UNSUCCESSFUL);
  void SetPacketFaults(const PacketFaults& faults);

  // --- Scene ---
  void SetScene(std::shared_ptr<const Scene> scene);

  // --- Device state, as the firmware holds it ---
  uint16_t Register(uint16_t reg) const;
  uint16_t FirmwareVariable(uint16_t var) const;
  void SetFirmwareVariable(uint16_t var, uint16_t value);
  uint8_t AeAwbMode() const;
  bool Flicker50Hz() const;
  bool Awake() const;
  bool CaptureRunning() const;  // capture engine at 3 and awake
  int VideoWidth() const;
  int VideoHeight() const;
  bool StillPending() const;
  std::array<uint8_t, kInfoBlockSize> InfoBlock() const;
  void SetInfoBlock(const std::array<uint8_t, kInfoBlockSize>& block);
  // The quantization tables the camera compresses with (as uploaded).
  encoder::QuantPair QuantTables() const;
  ImageControls Controls() const;

  // --- The isochronous stream ---
  // Produces the packets of the next frame interval at maximum packet size P
  // and appends them to `packets`, first waiting for the frame to be due when
  // the camera keeps a frame period (SimCameraOptions::frame_period). Returns the frame number sent, or 0 when
  // the camera sent nothing but idle packets (capture stopped, at rest, or P
  // too small to carry a frame).
  uint32_t ProduceFrame(uint32_t max_packet_size, std::vector<SimPacket>& packets);
  // The most recent frames sent, oldest first.
  std::vector<FrameRecord> FrameHistory() const;
  std::optional<FrameRecord> Frame(uint32_t number) const;
  uint32_t FramesSent() const;

 private:
  NTSTATUS HandleLocked(bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* buffer,
                        uint32_t* length);
  NTSTATUS ReadBusyLocked(uint8_t* buffer, uint32_t* length);
  void WaitForFrameDue();
  void DriftLocked(const std::vector<uint8_t>& rgb, int width, int height);
  ImageControls ControlsLocked() const;
  encoder::QuantPair QuantTablesLocked() const;

  struct BusyRead {
    bool fails = false;
    uint8_t byte = 0;
    NTSTATUS status = STATUS_SUCCESS;
  };
  struct ScriptedFailure {
    RequestMatch match;
    NTSTATUS status;
    unsigned remaining;
  };

  mutable std::mutex mutex_;
  SimCameraOptions options_;
  std::vector<uint16_t> registers_;
  std::array<uint16_t, kFirmwareVarCount> vars_{};
  std::array<uint8_t, kInfoBlockSize> info_block_{};
  uint8_t ae_awb_mode_ = 4;
  uint8_t flicker_ = 0;
  uint16_t startup_ = 0;
  bool awake_ = true;
  int video_width_ = 320;
  int video_height_ = 240;
  bool still_pending_ = false;
  unsigned button_presses_ = 0;
  std::deque<BusyRead> busy_script_;
  bool always_busy_ = false;
  std::vector<ScriptedFailure> failures_;
  SeededRandom request_random_;
  uint32_t request_fail_chance_ = 0;
  NTSTATUS request_fail_status_ = STATUS_UNSUCCESSFUL;
  PacketFaults packet_faults_;
  SeededRandom packet_random_;
  std::vector<ControlRecord> log_;
  std::shared_ptr<const Scene> scene_;
  uint32_t frames_sent_ = 0;
  std::deque<FrameRecord> history_;
  // The cadence: when the next frame is due. Held while waiting for it, so
  // that producers (one isochronous pipe) take their turns and the camera's
  // own mutex stays free for control requests meanwhile.
  std::mutex cadence_mutex_;
  std::optional<std::chrono::nanoseconds> next_due_;
};

}  // namespace dualcam::host::sim
