// The simulated camera's firmware: control requests, the automatic exposure
// and white balance loops, and the video and still packet streams.
//
// Hard part: the packet stream must have exactly the shape the host's packet
// screening expects (a frame-start packet carrying the 13-byte header, then
// continuation packets numbered 0..127 and wrapping, the last one short, idle
// fillers and empty packets between frames; a still of exactly N packets),
// and every fault must come from the seeded schedule so a damaged stream can
// be replayed exactly.
#include "host/sim/sim_camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace dualcam::host::sim {
namespace {

// Power-on values of the firmware variables: automatic control on, a middle
// shutter, unity gains.
constexpr std::array<uint16_t, kFirmwareVarCount> kPowerOnVars = {
    4,            // 0 AE/AWB switch word
    1200,         // 1 current shutter (0..4095)
    kNeutralAgc,  // 2 current gain
    0,            // 3 unused
    kNeutralGain, // 4 red gain
    kNeutralGain, // 5 blue gain
    8,            // 6 gain adjustment
    0,            // 7 unused
    0,            // 8 minimum gain
    63,           // 9 maximum gain
    0, 0, 0, 0, 0, 0};

// Register values at power-on that the picture or the host reads back.
struct RegisterDefault {
  uint16_t reg;
  uint16_t value;
};
constexpr RegisterDefault kPowerOnRegisters[] = {
    {kRegSharpness, 2}, {kRegControlsOn, 0},     {kRegBrightness, 0}, {kRegContrast, 32},
    {kRegHueControl, 1}, {kRegHueLow, 0},        {kRegSaturation, 40}, {kRegQuality, 3},
    {kRegPowerState, 0}, {0x21A1, 0x11},         {0x21A2, 0x22},      {0x21A4, 0x44},
    {0x210E, 0x0E},      {0x2190, 0x90},         {0x2191, 0x91},
};

void FillPowerOnInfoBlock(std::array<uint8_t, kInfoBlockSize>& block) {
  block.fill(0);
  const char kIdent[] = "DUALCAM SIMULATED CAMERA 1.0";
  std::memcpy(block.data(), kIdent, sizeof kIdent - 1);
  // Offset 126: count n of 32-bit calibration words that follow at 128.
  constexpr uint16_t kWords = 6;
  block[126] = kWords & 0xFF;
  block[127] = kWords >> 8;
  for (uint32_t i = 0; i < kWords; ++i) {
    const uint32_t word = 0x01020304u * (i + 1);
    for (int b = 0; b < 4; ++b) block[128 + 4 * i + b] = static_cast<uint8_t>(word >> (8 * b));
  }
}

// Sums of the R, G and B samples of the first `pixels` pixels, in 32-bit
// partial sums over runs short enough never to overflow (2^16 x 255 < 2^32).
void SumChannels(const std::vector<uint8_t>& rgb, std::size_t pixels, uint64_t sum[3]) {
  pixels = std::min(pixels, rgb.size() / 3);
  const uint8_t* p = rgb.data();
  for (std::size_t begin = 0; begin < pixels; begin += 65536) {
    const std::size_t end = std::min(pixels, begin + 65536);
    uint32_t r = 0, g = 0, b = 0;
    for (std::size_t i = begin; i < end; ++i) {
      r += p[3 * i];
      g += p[3 * i + 1];
      b += p[3 * i + 2];
    }
    sum[0] += r;
    sum[1] += g;
    sum[2] += b;
  }
}

int StepToward(int current, int target, int step) {
  if (current < target) return std::min(current + step, target);
  if (current > target) return std::max(current - step, target);
  return current;
}

}  // namespace

uint32_t StillPacketCount(uint32_t max_packet_size) {
  if (max_packet_size < 2) return 0;
  return 202769u / (max_packet_size - 1) + 1;
}

std::string FormatRecord(const ControlRecord& r) {
  char head[64];
  std::snprintf(head, sizeof head, "%s %02X v=%04X i=%04X", r.in ? "in" : "out", r.request, r.value,
                r.index);
  std::string line = head;
  if (r.in || r.length != 0) line += " n=" + std::to_string(r.length);
  if (r.in && !r.data.empty()) {
    line += " ->";
    // Long replies (the information block) are shown by their length only.
    if (r.data.size() <= 8) {
      for (uint8_t b : r.data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        line += hex;
      }
    } else {
      line += " [" + std::to_string(r.data.size()) + " bytes]";
    }
  }
  if (r.status != STATUS_SUCCESS) {
    char st[16];
    std::snprintf(st, sizeof st, " !%08X", static_cast<uint32_t>(r.status));
    line += st;
  }
  return line;
}

bool RequestMatch::Matches(bool is_in, uint8_t req, uint16_t idx) const {
  return (!in || *in == is_in) && (!request || *request == req) && (!index || *index == idx);
}

SimCamera::SimCamera(SimCameraOptions options)
    : options_(options), registers_(0x10000, 0), scene_(std::make_shared<TestPatternScene>()) {
  vars_ = kPowerOnVars;
  for (const auto& d : kPowerOnRegisters) registers_[d.reg] = d.value;
  const encoder::QuantPair& pair = encoder::CameraQuantPair(3);
  for (int j = 0; j < 64; ++j) {
    registers_[kRegLumaTable + j] = pair.luma[j];
    registers_[kRegChromaTable + j] = pair.chroma[j];
  }
  FillPowerOnInfoBlock(info_block_);
}

NTSTATUS SimCamera::Control(bool in, uint8_t request, uint16_t value, uint16_t index,
                            uint8_t* buffer, uint32_t* length) {
  std::lock_guard lock(mutex_);
  ControlRecord record;
  record.in = in;
  record.request = request;
  record.value = value;
  record.index = index;
  record.length = length ? *length : 0;
  if (!in && length && buffer && *length <= 0xFFFF) record.data.assign(buffer, buffer + *length);

  NTSTATUS status;
  if (length == nullptr || (*length != 0 && buffer == nullptr) || *length > 0xFFFF) {
    // wLength is 16 bits on the wire (USB 2.0 9.3.5); a data stage needs a buffer.
    status = STATUS_INVALID_PARAMETER;
    if (length) *length = 0;
  } else {
    status = STATUS_SUCCESS;
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
      if (it->match.Matches(in, request, index)) {
        status = it->status;
        if (--it->remaining == 0) failures_.erase(it);
        break;
      }
    }
    if (status == STATUS_SUCCESS && request_random_.Chance(request_fail_chance_))
      status = request_fail_status_;
    if (status != STATUS_SUCCESS) {
      *length = 0;
    } else {
      status = HandleLocked(in, request, value, index, buffer, length);
    }
  }
  record.status = status;
  if (in && length && buffer && NT_SUCCESS(status)) record.data.assign(buffer, buffer + *length);
  log_.push_back(std::move(record));
  return status;
}

NTSTATUS SimCamera::ReadBusyLocked(uint8_t* buffer, uint32_t* length) {
  BusyRead read;
  if (!busy_script_.empty()) {
    read = busy_script_.front();
    busy_script_.pop_front();
  } else {
    read.byte = always_busy_ ? 1 : 0;
  }
  if (read.fails) {
    *length = 0;
    return read.status;
  }
  if (*length == 0) return STATUS_SUCCESS;
  buffer[0] = read.byte;
  *length = 1;
  return STATUS_SUCCESS;
}

NTSTATUS SimCamera::HandleLocked(bool in, uint8_t request, uint16_t value, uint16_t index,
                                 uint8_t* buffer, uint32_t* length) {
  // Anything the firmware does not recognise is stalled, which the host's USB
  // stack reports as an unsuccessful request.
  const NTSTATUS kStall = STATUS_UNSUCCESSFUL;
  auto reply = [&](const uint8_t* bytes, uint32_t n) {
    const uint32_t moved = std::min(*length, n);
    if (moved) std::memcpy(buffer, bytes, moved);
    *length = moved;
    return STATUS_SUCCESS;
  };

  switch (request) {
    case kRequestRegister:
      if (in) {
        const uint8_t b = static_cast<uint8_t>(registers_[index]);
        return reply(&b, 1);
      }
      registers_[index] = value;
      if (index == kRegCaptureEngine && value != 0 && value != 3) registers_[index] = 0;
      // Latching the quality loads the camera's own table pair of that index;
      // tables uploaded afterwards replace it entry by entry.
      if (index == kRegQualityLatch && value == 1 && registers_[kRegQuality] < encoder::kQualityCount) {
        const encoder::QuantPair& pair = encoder::CameraQuantPair(registers_[kRegQuality]);
        for (int j = 0; j < 64; ++j) {
          registers_[kRegLumaTable + j] = pair.luma[j];
          registers_[kRegChromaTable + j] = pair.chroma[j];
        }
      }
      *length = 0;
      return STATUS_SUCCESS;

    case kRequestButton:
      if (in && index == 1) {
        uint8_t b = 0;
        if (button_presses_ > 0 && *length > 0) {
          --button_presses_;
          b = 1;
        }
        return reply(&b, 1);
      }
      if (!in && value == 2 && index == 1) {
        still_pending_ = true;
        *length = 0;
        return STATUS_SUCCESS;
      }
      return kStall;

    case kRequestBusy:
      if (!in) return kStall;
      return ReadBusyLocked(buffer, length);

    case kRequestAeAwbMode:
      if (in || value > 4) return kStall;
      ae_awb_mode_ = static_cast<uint8_t>(value);
      *length = 0;
      return STATUS_SUCCESS;

    case kRequestStartup:
      if (in) return kStall;
      startup_ = value;
      *length = 0;
      return STATUS_SUCCESS;

    case kRequestFirmwareVar:
      if (index >= kFirmwareVarCount) return kStall;
      if (in) {
        const uint8_t le[2] = {static_cast<uint8_t>(vars_[index]),
                               static_cast<uint8_t>(vars_[index] >> 8)};
        return reply(le, 2);
      }
      vars_[index] = value;
      *length = 0;
      return STATUS_SUCCESS;

    case kRequestInfoBlock:
      if (!in && index == 0x00FF) {  // announce a transfer
        for (unsigned i = 0; i < options_.busy_reads_after_info; ++i) busy_script_.push_back({false, 1, 0});
        *length = 0;
        return STATUS_SUCCESS;
      }
      if (index != 0) return kStall;
      if (in) return reply(info_block_.data(), kInfoBlockSize);
      {
        const uint32_t n = std::min<uint32_t>(*length, kInfoBlockSize);
        if (n) std::memcpy(info_block_.data(), buffer, n);
        *length = n;
        for (unsigned i = 0; i < options_.busy_reads_after_info; ++i) busy_script_.push_back({false, 1, 0});
      }
      return STATUS_SUCCESS;

    case kRequestImageSize:
      if (in) return kStall;
      for (const auto& code : kImageSizeCodes) {
        if (code.index == index) {
          video_width_ = code.width;
          video_height_ = code.height;
          // Selecting the video size also ends a still in progress.
          still_pending_ = false;
          *length = 0;
          return STATUS_SUCCESS;
        }
      }
      return kStall;

    case kRequestFlicker:
      if (in || value > 1) return kStall;
      flicker_ = static_cast<uint8_t>(value);
      *length = 0;
      return STATUS_SUCCESS;

    case kRequestPower:
      if (in || index > 1) return kStall;
      if (index == 0) {
        awake_ = true;
        for (unsigned i = 0; i < options_.busy_reads_after_wake; ++i) busy_script_.push_back({false, 1, 0});
      } else {
        awake_ = false;
      }
      *length = 0;
      return STATUS_SUCCESS;

    default:
      return kStall;
  }
}

std::vector<ControlRecord> SimCamera::RequestLog() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::vector<std::string> SimCamera::RequestLines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  lines.reserve(log_.size());
  for (const auto& r : log_) lines.push_back(FormatRecord(r));
  return lines;
}

void SimCamera::ClearRequestLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

void SimCamera::QueueBusyReads(unsigned n, uint8_t byte) {
  std::lock_guard lock(mutex_);
  for (unsigned i = 0; i < n; ++i) busy_script_.push_back({false, byte, STATUS_SUCCESS});
}

void SimCamera::QueueBusyReadFailures(unsigned n, NTSTATUS status) {
  std::lock_guard lock(mutex_);
  for (unsigned i = 0; i < n; ++i) busy_script_.push_back({true, 0, status});
}

void SimCamera::SetAlwaysBusy(bool busy) {
  std::lock_guard lock(mutex_);
  always_busy_ = busy;
}

void SimCamera::PressButton(unsigned presses) {
  std::lock_guard lock(mutex_);
  button_presses_ += presses;
  if (presses > 0 && options_.button_takes_still) still_pending_ = true;
}

void SimCamera::FailRequests(const RequestMatch& match, NTSTATUS status, unsigned count) {
  std::lock_guard lock(mutex_);
  if (count > 0) failures_.push_back({match, status, count});
}

void SimCamera::SetRandomRequestFailures(uint64_t seed, uint32_t per_million, NTSTATUS status) {
  std::lock_guard lock(mutex_);
  request_random_ = SeededRandom(seed);
  request_fail_chance_ = per_million;
  request_fail_status_ = status;
}

void SimCamera::SetPacketFaults(const PacketFaults& faults) {
  std::lock_guard lock(mutex_);
  packet_faults_ = faults;
  packet_random_ = SeededRandom(faults.seed);
}

void SimCamera::SetScene(std::shared_ptr<const Scene> scene) {
  std::lock_guard lock(mutex_);
  scene_ = scene ? std::move(scene) : std::make_shared<TestPatternScene>();
}

uint16_t SimCamera::Register(uint16_t reg) const {
  std::lock_guard lock(mutex_);
  return registers_[reg];
}

uint16_t SimCamera::FirmwareVariable(uint16_t var) const {
  std::lock_guard lock(mutex_);
  return var < kFirmwareVarCount ? vars_[var] : 0;
}

void SimCamera::SetFirmwareVariable(uint16_t var, uint16_t value) {
  std::lock_guard lock(mutex_);
  if (var < kFirmwareVarCount) vars_[var] = value;
}

uint8_t SimCamera::AeAwbMode() const {
  std::lock_guard lock(mutex_);
  return ae_awb_mode_;
}

bool SimCamera::Flicker50Hz() const {
  std::lock_guard lock(mutex_);
  return flicker_ == 1;
}

bool SimCamera::Awake() const {
  std::lock_guard lock(mutex_);
  return awake_;
}

bool SimCamera::CaptureRunning() const {
  std::lock_guard lock(mutex_);
  return awake_ && registers_[kRegCaptureEngine] == 3;
}

int SimCamera::VideoWidth() const {
  std::lock_guard lock(mutex_);
  return video_width_;
}

int SimCamera::VideoHeight() const {
  std::lock_guard lock(mutex_);
  return video_height_;
}

bool SimCamera::StillPending() const {
  std::lock_guard lock(mutex_);
  return still_pending_;
}

std::array<uint8_t, kInfoBlockSize> SimCamera::InfoBlock() const {
  std::lock_guard lock(mutex_);
  return info_block_;
}

void SimCamera::SetInfoBlock(const std::array<uint8_t, kInfoBlockSize>& block) {
  std::lock_guard lock(mutex_);
  info_block_ = block;
}

encoder::QuantPair SimCamera::QuantTables() const {
  std::lock_guard lock(mutex_);
  return QuantTablesLocked();
}

encoder::QuantPair SimCamera::QuantTablesLocked() const {
  // A table entry of 0 would divide by zero; the camera's compressor treats
  // it as 1, the finest step (T.81 B.2.4.1 allows 1..255).
  encoder::QuantPair pair;
  for (int j = 0; j < 64; ++j) {
    pair.luma[j] = static_cast<uint8_t>(std::max<int>(1, registers_[kRegLumaTable + j] & 0xFF));
    pair.chroma[j] = static_cast<uint8_t>(std::max<int>(1, registers_[kRegChromaTable + j] & 0xFF));
  }
  return pair;
}

ImageControls SimCamera::Controls() const {
  std::lock_guard lock(mutex_);
  return ControlsLocked();
}

ImageControls SimCamera::ControlsLocked() const {
  ImageControls c;
  c.brightness = std::clamp<int>(static_cast<int16_t>(registers_[kRegBrightness]), -128, 127);
  c.contrast = std::clamp<int>(static_cast<int>(registers_[kRegContrast]) - 32, 0, 31);
  c.hue = ((registers_[kRegHueControl] & 0xC0) << 2) | (registers_[kRegHueLow] & 0xFF);
  c.saturation = std::min<int>(registers_[kRegSaturation], 63);
  c.sharpness = std::min<int>(registers_[kRegSharpness], 255);
  c.red_gain = std::min<int>(vars_[kVarRGain], 255);
  c.blue_gain = std::min<int>(vars_[kVarBGain], 255);
  c.exposure_agc = std::min<int>(vars_[kVarCurAgc], 63);
  return c;
}

void SimCamera::DriftLocked(const std::vector<uint8_t>& rgb, int width, int height) {
  const bool ae = ae_awb_mode_ == 3 || ae_awb_mode_ == 4;
  const bool awb = ae_awb_mode_ == 1 || ae_awb_mode_ == 4;
  // A slow deterministic wobble (period 48 frames) keeps the loops moving the
  // way a real sensor's noise does.
  const int wobble = static_cast<int>((frames_sent_ / 16) % 3) - 1;
  // Both loops read the picture's channel sums: one pass gives all three.
  uint64_t sum[3] = {0, 0, 0};
  if (ae || awb) SumChannels(rgb, static_cast<std::size_t>(width) * height, sum);
  if (ae) {
    // Aim for a mean level of 118 after the gain (32 + agc) / 48.
    const uint64_t total = sum[0] + sum[1] + sum[2];
    const int mean = std::max(1, rgb.empty() ? 0 : static_cast<int>(total / rgb.size()));
    const int lo = std::min<int>(vars_[kVarMinAgc], 63);
    const int hi = std::max<int>(lo, std::min<int>(vars_[kVarMaxAgc], 63));
    const int target = std::clamp(118 * 48 / mean - 32 + wobble, lo, hi);
    const int agc = StepToward(vars_[kVarCurAgc], target, 1);
    vars_[kVarCurAgc] = static_cast<uint16_t>(agc);
    const int shutter_target = std::min(4095, 600 + 50 * agc);
    vars_[kVarCurShutter] = static_cast<uint16_t>(StepToward(vars_[kVarCurShutter], shutter_target, 8));
  }
  if (awb) {
    // Grey-world balance: red and blue gains move toward equal channel means.
    const uint64_t g = std::max<uint64_t>(sum[1], 1);
    const int r_target = std::clamp<int>(static_cast<int>(kNeutralGain * g / std::max<uint64_t>(sum[0], 1)) + wobble, 64, 255);
    const int b_target = std::clamp<int>(static_cast<int>(kNeutralGain * g / std::max<uint64_t>(sum[2], 1)) - wobble, 64, 255);
    vars_[kVarRGain] = static_cast<uint16_t>(StepToward(vars_[kVarRGain], r_target, 1));
    vars_[kVarBGain] = static_cast<uint16_t>(StepToward(vars_[kVarBGain], b_target, 1));
  }
}

void SimCamera::WaitForFrameDue() {
  const auto period = options_.frame_period;
  if (period.count() <= 0 || !CaptureRunning()) return;
  std::lock_guard cadence(cadence_mutex_);
  auto now = [this] {
    return options_.now ? options_.now()
                        : std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch());
  };
  const auto at = now();
  if (next_due_ && at < *next_due_) {
    if (options_.wait_until) {
      options_.wait_until(*next_due_);
    } else {
      std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(*next_due_)));
    }
    next_due_ = *next_due_ + period;
  } else {
    // First frame, or the host came late: no burst of the frames it missed.
    next_due_ = at + period;
  }
}

uint32_t SimCamera::ProduceFrame(uint32_t max_packet_size, std::vector<SimPacket>& packets) {
  // Why the cadence matters: while the driver holds video back for a still
  // (until its next button poll) the host reads and reads; without it the
  // camera would send a frame for each, hundreds of stills in half a second,
  // and its frame numbers would leap ahead of time.
  WaitForFrameDue();
  std::lock_guard lock(mutex_);
  const uint32_t p = max_packet_size;
  auto idle = [&] {
    if (p >= 1) {
      for (unsigned i = 0; i < options_.filler_packets_per_frame; ++i) {
        SimPacket filler;
        filler.bytes.assign(p, 0);
        filler.bytes[0] = kPacketFiller;
        packets.push_back(std::move(filler));
      }
    }
    for (unsigned i = 0; i < options_.empty_packets_per_frame; ++i)
      packets.push_back(SimPacket{{}, kPacketStatusShort});
  };
  // A frame-start packet must hold the packet marker and the 13-byte header.
  if (!awake_ || registers_[kRegCaptureEngine] != 3 || p < 1 + encoder::kRawHeaderSize) {
    idle();
    return 0;
  }

  // The oldest record leaves the history as this frame enters it; its
  // buffers are reused, so a steady stream allocates nothing per frame.
  FrameRecord frame;
  if (!history_.empty() && history_.size() >= std::max<std::size_t>(1, options_.history_depth)) {
    frame = std::move(history_.front());
    history_.pop_front();
  }
  frame.number = ++frames_sent_;
  const bool still = still_pending_;
  frame.kind = still ? encoder::FrameKind::kStill : encoder::FrameKind::kVideo;
  frame.width = still ? kStillWidth : video_width_;
  frame.height = still ? kStillHeight : video_height_;

  // The sensor picture, reused from frame to frame on each thread.
  thread_local std::vector<uint8_t> rgb;
  scene_->Render(frame.number, frame.width, frame.height, rgb);
  DriftLocked(rgb, frame.width, frame.height);
  DevelopPicture(ControlsLocked(), rgb, frame.width, frame.height, frame.picture);

  frame.raw_frame.assign(encoder::kRawHeaderSize, 0);
  encoder::WriteRawFrameHeader(frame.raw_frame.data(), frame.kind);
  const encoder::I420View view{frame.picture, frame.width, frame.height};
  encoder::EncodePicture(view, QuantTablesLocked(), frame.raw_frame);

  const uint32_t payload = p - 1;
  if (still) {
    // A still is always exactly N full packets: the bitstream, then zero
    // padding; a picture that does not fit is cut (it then fails to decode,
    // but the frame keeps the length the host checks).
    const std::size_t total = static_cast<std::size_t>(StillPacketCount(p)) * payload;
    frame.raw_frame.resize(total, 0);
  }

  // Split into packets: the frame-start packet, then numbered continuations.
  std::vector<SimPacket> frame_packets;
  std::size_t offset = 0;
  uint8_t sequence = 0;
  bool first = true;
  while (offset < frame.raw_frame.size()) {
    const std::size_t n = std::min<std::size_t>(payload, frame.raw_frame.size() - offset);
    SimPacket packet;
    packet.bytes.resize(1 + n);
    packet.bytes[0] = first ? kPacketFrameStart : sequence;
    if (!first) sequence = static_cast<uint8_t>((sequence + 1) % kSequenceWrap);
    std::memcpy(packet.bytes.data() + 1, frame.raw_frame.data() + offset, n);
    packet.status = n == payload ? kPacketStatusOk : kPacketStatusShort;
    frame_packets.push_back(std::move(packet));
    offset += n;
    first = false;
  }

  // Damage from the seeded schedule. Each packet draws its four chances in a
  // fixed order, whatever the settings, so one fault's rate does not shift the
  // schedule of another.
  const PacketFaults& f = packet_faults_;
  if (f.drop || f.reorder || f.truncate || f.error) {
    std::vector<SimPacket> damaged;
    damaged.reserve(frame_packets.size());
    std::optional<SimPacket> held;  // a packet overtaken by its successor
    for (auto& packet : frame_packets) {
      const bool drop = packet_random_.Chance(f.drop);
      const bool reorder = packet_random_.Chance(f.reorder);
      const bool truncate = packet_random_.Chance(f.truncate);
      const bool error = packet_random_.Chance(f.error);
      const uint32_t cut = packet_random_.Below(std::max<uint32_t>(1, static_cast<uint32_t>(packet.bytes.size()) - 1));
      if (drop) continue;
      if (truncate && packet.bytes.size() > 1) {
        packet.bytes.resize(1 + cut);
        packet.status = kPacketStatusOk;
      }
      if (error) packet.status = kPacketStatusError;
      if (held) {
        damaged.push_back(std::move(packet));
        damaged.push_back(std::move(*held));
        held.reset();
      } else if (reorder) {
        held = std::move(packet);
      } else {
        damaged.push_back(std::move(packet));
      }
    }
    if (held) damaged.push_back(std::move(*held));
    frame_packets = std::move(damaged);
  }

  for (auto& packet : frame_packets) packets.push_back(std::move(packet));
  idle();

  history_.push_back(std::move(frame));
  while (history_.size() > std::max<std::size_t>(1, options_.history_depth)) history_.pop_front();
  return frames_sent_;
}

std::vector<FrameRecord> SimCamera::FrameHistory() const {
  std::lock_guard lock(mutex_);
  return {history_.begin(), history_.end()};
}

std::optional<FrameRecord> SimCamera::Frame(uint32_t number) const {
  std::lock_guard lock(mutex_);
  for (const auto& f : history_)
    if (f.number == number) return f;
  return std::nullopt;
}

uint32_t SimCamera::FramesSent() const {
  std::lock_guard lock(mutex_);
  return frames_sent_;
}

}  // namespace dualcam::host::sim
