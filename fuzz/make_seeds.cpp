// Writes the seed corpus of every fuzz target (fuzz/corpus/<target>/): each
// seed is a well-formed case laid out in the byte order its target reads,
// so the fuzzer starts from inputs that reach the deep paths (a picture
// that decodes, a packet stream that completes frames, an offered range).
// Usage: dualcam_fuzz_seeds CORPUS_DIR
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/formats.h"
#include "host/sim/encoder/encoder.h"
#include "pipeline/render.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace dualcam;

fs::path g_root;

void Write(const char* target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
void Le16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// A smooth test picture with some detail, I420.
Bytes Pattern(int w, int h, int seed) {
  Bytes yuv(encoder::I420Size(w, h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) yuv[y * w + x] = static_cast<uint8_t>((x * 3 + y * 2 + seed * 40 + ((x ^ y) & 8) * 4));
  for (std::size_t i = static_cast<std::size_t>(w) * h; i < yuv.size(); ++i)
    yuv[i] = static_cast<uint8_t>(128 + ((i + seed) % 37) - 18);
  return yuv;
}

Bytes Stream(int w, int h, int quality, int seed) {
  const Bytes yuv = Pattern(w, h, seed);
  return encoder::EncodePicture({yuv, w, h}, encoder::CameraQuantPair(quality));
}

Bytes RawFrame(int w, int h, int quality, int seed) {
  const Bytes yuv = Pattern(w, h, seed);
  return encoder::EncodeRawFrame({yuv, w, h}, quality);
}

void DecodeSeeds() {
  const int sizes[][2] = {{160, 112}, {160, 128}, {176, 144}, {320, 240}, {352, 288}, {640, 480}};
  for (int s = 0; s < 6; ++s)
    for (int kind = 0; kind < 2; ++kind) {
      if (s == 5 && kind == 0) continue;  // one large seed is enough
      const int quality = (s + kind) % 4;
      Bytes in = {static_cast<uint8_t>(s), static_cast<uint8_t>(kind), static_cast<uint8_t>(quality)};
      Append(in, Stream(sizes[s][0], sizes[s][1], quality, s));
      Write("decode_picture", "size" + std::to_string(s) + "_kind" + std::to_string(kind), in);
    }
}

void RenderSeeds() {
  // Plan index, compression choice (0 RGB, 1 I420, 2 IYUV, 3 VQJ9), gamma.
  const int cases[][3] = {{0, 0, 0}, {1, 1, 3}, {2, 0, 0}, {3, 2, 5}, {4, 1, 9}, {5, 0, 1}};
  for (const auto& c : cases) {
    const pipeline::SizePlanEntry& plan = pipeline::kSizePlan[c[0]];
    Bytes in = {static_cast<uint8_t>(c[0]), 1 /* own raw size */, static_cast<uint8_t>(c[1]),
                static_cast<uint8_t>(c[2]), 0 /* exact capacity */, 3 /* quality */};
    Append(in, RawFrame(plan.RawWidth, plan.RawHeight, 3, c[0]));
    Write("render_frame", "plan" + std::to_string(c[0]), in);
  }
}

// Packets of one raw frame at packet size p, as frame_path's operations.
void FramePackets(Bytes& in, const Bytes& raw, uint16_t p) {
  const std::size_t payload = p - 1u;
  for (std::size_t at = 0, n = 0; at < raw.size(); at += payload, ++n) {
    const std::size_t count = std::min(payload, raw.size() - at);
    in.push_back(n == 0 ? 0 : 1);  // frame start, or an in-sequence continuation
    Le16(in, static_cast<uint16_t>(count + 1));
    in.insert(in.end(), raw.begin() + static_cast<long>(at), raw.begin() + static_cast<long>(at + count));
  }
  in.push_back(4);  // a filler and an empty packet close the interval
  in.push_back(5);
}

void FramePathSeeds() {
  // Packet-size choice 0 = 1023, 3 = 256; plan 2 = 176x144; compression 0 RGB, 1 I420, 2 VQJ9.
  const int cases[][3] = {{0, 2, 0}, {0, 2, 1}, {3, 2, 2}, {0, 0, 1}};
  for (const auto& c : cases) {
    const pipeline::SizePlanEntry& plan = pipeline::kSizePlan[c[1]];
    Bytes in = {static_cast<uint8_t>(c[0]), static_cast<uint8_t>(c[1]), static_cast<uint8_t>(c[2]),
                3 /* quality 3, gamma 0 */, 0 /* contrast */, 1 /* library's buffer */, 2 /* exact app buffer */};
    const uint16_t p = c[0] == 0 ? 1023 : 256;
    for (int frame = 0; frame < 3; ++frame) FramePackets(in, RawFrame(plan.RawWidth, plan.RawHeight, 3, frame), p);
    in.push_back(0);  // the next frame start completes the last frame
    Le16(in, 0);
    Write("frame_path", "p" + std::to_string(p) + "_plan" + std::to_string(c[1]) + "_c" + std::to_string(c[2]), in);
  }
  // A still-marked frame in the middle of the video.
  Bytes in = {0, 2, 0, 3, 0, 1, 2};
  Bytes still = RawFrame(176, 144, 3, 7);
  still[3] = 0;
  still[4] = 2;
  FramePackets(in, RawFrame(176, 144, 3, 1), 1023);
  FramePackets(in, still, 1023);
  FramePackets(in, RawFrame(176, 144, 3, 2), 1023);
  in.push_back(0);
  Le16(in, 0);
  Write("frame_path", "still_in_video", in);
}

void FormatSeeds() {
  for (unsigned i = 0; i < driver::kCaptureFormatCount; ++i) {
    // Intersection: flag, stream 0, base i, own length, no patches, FormatSize kept, output = a format.
    Write("formats", "intersect" + std::to_string(i),
          {1, 0, static_cast<uint8_t>(i), 1, 0, 1, 1});
    // Check: flag, stream 0, base i, own length, no patches, FormatSize kept, propose.
    Write("formats", "check" + std::to_string(i), {0, 0, static_cast<uint8_t>(i), 1, 0, 1, 0});
  }
  for (unsigned i = 0; i < driver::kStillFormatCount; i += 3)
    Write("formats", "still_intersect" + std::to_string(i),
          {1, 1, static_cast<uint8_t>(driver::kCaptureFormatCount + i), 1, 0, 1, 1});
}

void SettingsSeeds() {
  // Every setting written as a DWORD near its range (form 0, "around" index, no offset).
  for (int around = 0; around < 5; ++around) {
    Bytes in = {19};
    for (uint8_t s = 0; s < 19; ++s) {
      in.push_back(s);
      in.push_back(0);  // form 0
      in.push_back(static_cast<uint8_t>(around));
      in.insert(in.end(), {0, 0, 0});
      in.push_back(1);  // no offset
    }
    Write("load_settings", "around" + std::to_string(around), in);
  }
  // Mistyped values: a string, a binary and a QWORD-typed value.
  Write("load_settings", "mistyped", {3, 0, 2, 1, 4, 'a', 'b', 'c', 'd', 11, 2, 2, 4, 1, 2, 3, 4, 5, 2, 6, 8,
                                      1, 2, 3, 4, 5, 6, 7, 8});
}

void SnapshotSeeds() {
  // Word count (flag 0: one byte), info block length, block; flags; status pick; ...
  for (uint8_t words : {uint8_t{0}, uint8_t{12}, uint8_t{191}, uint8_t{255}}) {
    Bytes in = {0, words};
    Le16(in, 1024);
    for (int i = 0; i < 1024; ++i) in.push_back(static_cast<uint8_t>(i * 7));
    // flags: StillReady + StillToSave; status 5 (stream open); fail count 0;
    // "SnapShot" cell 0; gamma 3; size 5; mailboxes: SnapShoot 1, SnapShot 0.
    in.insert(in.end(), {0x0C, 0, 3, 0, 1, 0, 1, 3, 5, 1, 1, 1, 1, 0, 1});
    Write("snapshot", "words" + std::to_string(words), in);
  }
}

void ToolSeeds() {
  Bytes raw = RawFrame(176, 144, 3, 3);
  Bytes in = {2, 12};  // 176x144, RGB, quality given 0 (bits 4..6 = 0)... gamma not given
  in[0] = 2 | (4 << 4);  // quality not given: the driver's 3
  Append(in, raw);
  Write("decode_tool", "raw_frame", in);
  Bytes sample(pipeline::kPassThroughHeaderSize, 0);
  std::memcpy(sample.data(), pipeline::kPassThroughTag, 4);
  sample[4] = 0;
  sample[5] = 1;  // version 256
  sample[9] = 2;  // gamma
  Bytes frame = raw;
  const uint32_t l = static_cast<uint32_t>(frame.size());
  for (int i = 0; i < 4; ++i) frame[9 + i] = static_cast<uint8_t>(l >> (8 * i));
  frame[5] = 3;
  Append(sample, frame);
  Bytes in2 = {static_cast<uint8_t>(2 | 8 | (4 << 4)), 12};
  Append(in2, sample);
  Write("decode_tool", "vqj9_sample", in2);
  // Snapshot mode (bit 7): the header, then the still's data as the camera
  // sent it (header bytes 9..12, then the picture), the rest zero.
  Bytes snap = {static_cast<uint8_t>(0x80 | (4 << 4)), 12};
  Bytes header(1024, 0);
  header[0] = 1;
  header[1] = 1;
  header[3] = 0x00;
  header[4] = 0x18;
  header[5] = 0x03;  // 0x31800
  header[38] = 1;    // gamma
  Append(snap, header);
  Append(snap, {0, 0, 0, 0});
  Bytes flat(encoder::I420Size(640, 480), 128);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) flat[y * 640 + x] = static_cast<uint8_t>(64 + (x / 40) * 8 + (y / 60) * 4);
  Append(snap, encoder::EncodePicture({flat, 640, 480}, encoder::CameraQuantPair(3)));
  Write("decode_tool", "snapshot_file", snap);
}

// One property request in the order FuzzProperties reads it.
void PropertyRequest(Bytes& in, bool set, uint8_t setPick, uint8_t id, uint8_t inSize, uint8_t outSize,
                     const Bytes& contents, bool haveHandle, bool useHandle) {
  in.insert(in.end(), {static_cast<uint8_t>(set), setPick, 0, id, 1, inSize, outSize, 1});
  Le16(in, static_cast<uint16_t>(contents.size()));
  Append(in, contents);
  if (haveHandle) in.push_back(useHandle ? 1 : 0);
}

void PropertySeeds() {
  // Size picks: 4 = 32, 6 = 40, 8 = 56, 10 = 64, 13 = 1096, 15 = 1136.
  const uint8_t standardSizes[] = {6, 4, 8, 10};
  for (uint8_t setPick = 0; setPick < 3; ++setPick) {
    Bytes in = {1};
    for (uint8_t id = 0; id < 8; ++id)
      PropertyRequest(in, false, setPick, id, standardSizes[id % 4], standardSizes[id % 4], {}, false, false);
    for (uint8_t id = 0; id < 8; ++id) {
      Bytes value(40, 0);
      value[24] = static_cast<uint8_t>(id * 9);  // Value
      value[28] = static_cast<uint8_t>(id % 3);  // Flags
      PropertyRequest(in, true, setPick, id, 6, 6, value, false, false);
    }
    Write("properties", "standard_set" + std::to_string(setPick), in);
  }
  // The extension set, item by item (pick 1 = the extension id list).
  Bytes ext = {1};
  for (uint8_t item = 0; item < 10; ++item) {
    for (bool set : {false, true}) {
      Bytes buffer(1136, 0);
      buffer[28] = item == 5 ? 0 : 4;                         // Value (1024 = 0x400 for the info block)
      buffer[29] = item == 5 ? 4 : 0;
      std::memcpy(buffer.data() + 40, "Brightness", 10);       // Name
      buffer[104] = 0x06;                                      // bRequest: busy byte
      buffer[110] = 1;                                         // wLength
      ext.insert(ext.end(), {static_cast<uint8_t>(set), 3, 1, item, 1, 15, 15, 1});
      Le16(ext, static_cast<uint16_t>(buffer.size()));
      Append(ext, buffer);
    }
  }
  Write("properties", "extension_set", ext);
  // The VfW key set: open, set a value through the handle, close it.
  Bytes vfw = {0};
  PropertyRequest(vfw, false, 4, 0, 13, 13, {}, false, false);
  Bytes value(1096, 0);
  value[24] = 3;  // set a value
  const char16_t name[] = u"DevicePath";
  std::memcpy(value.data() + 44, name, sizeof name);
  value[564] = 4;  // data length
  value[568] = 42;
  value[1088] = 4;  // REG_DWORD
  PropertyRequest(vfw, true, 4, 0, 13, 13, value, true, true);
  Bytes close(1096, 0);
  close[24] = 1;
  PropertyRequest(vfw, true, 4, 0, 13, 13, close, true, true);
  Write("properties", "vfw_key", vfw);
}

}  // namespace

// The control socket: one request of each kind as a client sends it, a
// reply and a refused request.
void ControlSeeds() {
  const char* seeds[][2] = {
      {"list", "dualcam/1 list\n"},
      {"get", "dualcam/1 get brightness white_balance\n"},
      {"set", "dualcam/1 set saturation=0 exposure=auto\r\n"},
      {"reset", "dualcam/1 reset gamma\n"},
      {"status", "dualcam/1 status\n"},
      {"still", "dualcam/1 still\n"},
      {"stop", "dualcam/1 stop\n"},
      {"reply", "dualcam/1 ok\nstill file=/home/a%20b/snapraw.dat result=1\n"},
      {"error", "dualcam/1 error rejected unknown control 'satur'\n"},
      {"version", "dualcam/2 status\n"},
  };
  for (const auto& seed : seeds) {
    const std::string text = seed[1];
    Write("control_request", seed[0], Bytes(text.begin(), text.end()));
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 1;
  }
  g_root = argv[1];
  DecodeSeeds();
  RenderSeeds();
  FramePathSeeds();
  FormatSeeds();
  SettingsSeeds();
  SnapshotSeeds();
  ToolSeeds();
  PropertySeeds();
  ControlSeeds();
  return 0;
}
