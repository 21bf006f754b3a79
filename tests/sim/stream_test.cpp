// The simulated camera's packet stream and pictures: frame-start packets
// carry the raw frame header, continuation numbers wrap after 127, the last
// packet is short, stills have exactly the length the host checks, damage is
// repeatable from its seed, the picture follows the controls the camera was
// sent, and what it sends decodes back to what the sensor saw.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/sim/encoder/encoder.h"
#include "host/sim/sim_camera.h"
#include "support/decoder_harness.h"
#include "support/picture_io.h"
#include "support/test_data.h"

namespace dualcam::host::sim {
namespace {

void Write(SimCamera& cam, uint16_t reg, uint16_t value) {
  uint32_t length = 0;
  ASSERT_EQ(cam.Control(false, kRequestRegister, value, reg, nullptr, &length), STATUS_SUCCESS);
}

void Send(SimCamera& cam, uint8_t request, uint16_t value, uint16_t index) {
  uint32_t length = 0;
  ASSERT_EQ(cam.Control(false, request, value, index, nullptr, &length), STATUS_SUCCESS);
}

// A detailed photograph, so that frames take many packets.
std::shared_ptr<const Scene> Detailed() {
  static const std::shared_ptr<const Scene> scene =
      PhotoScene::Load(testing::TestDataPath("kodim05_176x144.png"), nullptr);
  return scene;
}

void StartVideo(SimCamera& cam, uint16_t size_index = 0x0503) {
  Send(cam, kRequestImageSize, 0, size_index);
  Write(cam, kRegCaptureEngine, 0);
  Write(cam, kRegEngineSetup, 0x13);
  Write(cam, kRegCaptureEngine, 3);
}

// Reassembles one frame's payload the way the host's packet routine keeps it:
// every accepted packet without its first byte.
std::vector<uint8_t> Payload(const std::vector<SimPacket>& packets) {
  std::vector<uint8_t> out;
  for (const auto& p : packets) {
    if (p.bytes.empty() || p.bytes[0] == kPacketFiller) continue;
    out.insert(out.end(), p.bytes.begin() + 1, p.bytes.end());
  }
  return out;
}

TEST(SimCameraStream, NothingButIdlePacketsUntilTheCaptureEngineRuns) {
  SimCamera cam;
  std::vector<SimPacket> packets;
  EXPECT_EQ(cam.ProduceFrame(1023, packets), 0u);
  ASSERT_EQ(packets.size(), 2u);  // one filler, one empty packet
  EXPECT_EQ(packets[0].bytes.size(), 1023u);
  EXPECT_EQ(packets[0].bytes[0], kPacketFiller);
  EXPECT_EQ(packets[0].status, kPacketStatusOk);
  EXPECT_TRUE(packets[1].bytes.empty());
  EXPECT_EQ(packets[1].status, kPacketStatusShort);

  StartVideo(cam);
  Send(cam, kRequestPower, 0, 1);  // at rest: nothing
  packets.clear();
  EXPECT_EQ(cam.ProduceFrame(1023, packets), 0u);
  Send(cam, kRequestPower, 0, 0);
  packets.clear();
  EXPECT_EQ(cam.ProduceFrame(1023, packets), 1u);
  // A packet too small for the marker and the 13-byte header carries no frame.
  packets.clear();
  EXPECT_EQ(cam.ProduceFrame(13, packets), 0u);
}

TEST(SimCameraStream, VideoFrameIsHeaderedNumberedAndEndsShort) {
  SimCamera cam;
  StartVideo(cam, 0x0504);  // 176 x 144
  std::vector<SimPacket> packets;
  const uint32_t p = 256;
  ASSERT_EQ(cam.ProduceFrame(p, packets), 1u);
  const auto frame = cam.Frame(1);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->width, 176);
  EXPECT_EQ(frame->height, 144);
  EXPECT_EQ(frame->picture.size(), encoder::I420Size(176, 144));

  // Frame packets are everything before the trailing filler and empty packet.
  ASSERT_GE(packets.size(), 4u);
  const std::vector<SimPacket> body(packets.begin(), packets.end() - 2);
  EXPECT_EQ(body[0].bytes[0], kPacketFrameStart);
  EXPECT_EQ(body[0].bytes[1 + encoder::kFrameKindA], encoder::kVideoKindA);
  EXPECT_EQ(body[0].bytes[1 + encoder::kFrameKindB], encoder::kVideoKindB);
  for (std::size_t i = 1; i < body.size(); ++i) EXPECT_EQ(body[i].bytes[0], (i - 1) % 128) << i;
  for (std::size_t i = 0; i + 1 < body.size(); ++i) {
    EXPECT_EQ(body[i].bytes.size(), p);
    EXPECT_EQ(body[i].status, kPacketStatusOk);
  }
  const std::size_t tail = frame->raw_frame.size() % (p - 1);
  if (tail != 0) {
    EXPECT_EQ(body.back().bytes.size(), 1 + tail);
    EXPECT_EQ(body.back().status, kPacketStatusShort);
  }
  // The payloads put together are exactly the header and the compressed picture.
  EXPECT_EQ(Payload(body), frame->raw_frame);
  std::vector<uint8_t> expected(encoder::kRawHeaderSize);
  encoder::WriteRawFrameHeader(expected.data(), encoder::FrameKind::kVideo);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame->raw_frame.begin()));
}

TEST(SimCameraStream, StillFramesHaveExactlyTheCheckedLengthAndSequenceWraps) {
  for (uint32_t p : {1023u, 512u, 128u}) {
    SCOPED_TRACE(p);
    SimCamera cam;
    StartVideo(cam);
    Send(cam, kRequestButton, 2, 1);  // take a still
    std::vector<SimPacket> packets;
    ASSERT_EQ(cam.ProduceFrame(p, packets), 1u);
    const std::vector<SimPacket> body(packets.begin(), packets.end() - 2);
    const uint32_t n = StillPacketCount(p);
    ASSERT_EQ(body.size(), n);
    EXPECT_EQ(body[0].bytes[0], kPacketFrameStart);
    EXPECT_EQ(body[0].bytes[1 + encoder::kFrameKindA], encoder::kStillKindA);
    EXPECT_EQ(body[0].bytes[1 + encoder::kFrameKindB], encoder::kStillKindB);
    for (std::size_t i = 0; i < body.size(); ++i) {
      ASSERT_EQ(body[i].bytes.size(), p);
      ASSERT_EQ(body[i].status, kPacketStatusOk);
      if (i > 0) {
        ASSERT_EQ(body[i].bytes[0], (i - 1) % 128);
      }
    }
    // What the host collects after its 1024-byte gap: packet bytes 10.. of
    // the start packet, 1.. of the others, ending at the expected offset.
    EXPECT_EQ(1024 + (p - 10) + (n - 1) * (p - 1), (p - 1) * (202769 / (p - 1) + 1) + 1015);
    const auto frame = cam.Frame(1);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, kStillWidth);
    EXPECT_EQ(frame->kind, encoder::FrameKind::kStill);
    // The camera keeps sending stills until the host selects the video size.
    packets.clear();
    cam.ProduceFrame(p, packets);
    EXPECT_EQ(cam.Frame(2)->kind, encoder::FrameKind::kStill);
    Send(cam, kRequestImageSize, 0, 0x0503);
    cam.ProduceFrame(p, packets);
    EXPECT_EQ(cam.Frame(3)->kind, encoder::FrameKind::kVideo);
  }
}

TEST(SimCameraStream, KeepsItsFramePeriodHoweverOftenTheHostAsks) {
  using namespace std::chrono_literals;
  std::chrono::nanoseconds clock{0};
  SimCameraOptions options;
  options.frame_period = 33ms;
  options.now = [&] { return clock; };
  options.wait_until = [&](std::chrono::nanoseconds due) { clock = due; };
  SimCamera cam(options);
  std::vector<SimPacket> packets;
  cam.ProduceFrame(1023, packets);  // idle: no frame, no wait
  EXPECT_EQ(clock, 0ms);
  StartVideo(cam);
  std::vector<std::chrono::nanoseconds> sent;
  for (int i = 0; i < 3; ++i) {
    cam.ProduceFrame(1023, packets);
    sent.push_back(clock);
  }
  EXPECT_EQ(sent, (std::vector<std::chrono::nanoseconds>{0ms, 33ms, 66ms}));
  // Half a second of stills, asked for flat out, is half a second of frames;
  // the video after it goes on from the frame number time has reached.
  Send(cam, kRequestButton, 2, 1);
  while (clock < 500ms) cam.ProduceFrame(1023, packets);
  Send(cam, kRequestImageSize, 0, 0x0503);
  EXPECT_EQ(cam.FramesSent(), 17u);  // the last at 528 ms
  // A host that comes late gets a frame at once, and the cadence from there.
  clock = 2s;
  cam.ProduceFrame(1023, packets);
  cam.ProduceFrame(1023, packets);
  EXPECT_EQ(clock, 2033ms);
  EXPECT_EQ(cam.FramesSent(), 19u);
}

TEST(SimCameraStream, StillPayloadDecodesAsAPictureFourBytesIn) {
  SimCamera cam;
  std::string error;
  auto photo = PhotoScene::Load(testing::TestDataPath("kodim15_640x480.png"), &error);
  ASSERT_TRUE(photo) << error;
  cam.SetScene(photo);
  StartVideo(cam);
  Send(cam, kRequestButton, 2, 1);
  std::vector<SimPacket> packets;
  const uint32_t p = 1023;
  ASSERT_EQ(cam.ProduceFrame(p, packets), 1u);
  // Collect the still as the host does.
  std::vector<uint8_t> still;
  for (std::size_t i = 0; i + 2 < packets.size(); ++i) {
    const std::size_t from = i == 0 ? 10 : 1;
    still.insert(still.end(), packets[i].bytes.begin() + from, packets[i].bytes.end());
  }
  ASSERT_EQ(still.size(), StillPacketCount(p) * (p - 1) - 9);
  // The snapshot file keeps 202,752 bytes of it: the picture must end before.
  const auto frame = cam.Frame(1);
  std::size_t end = frame->raw_frame.size();
  while (end > 0 && frame->raw_frame[end - 1] == 0) --end;
  EXPECT_LE(end - 13 + 4, 202752u);
  testing::DecoderHarness harness;
  ASSERT_TRUE(harness.ready());
  auto decoded = harness.Decode(std::span<const uint8_t>(still).subspan(4), kStillWidth, kStillHeight, 3,
                                decoder::kOutputI420);
  ASSERT_TRUE(decoded.has_value());
  decoded->resize(frame->picture.size());
  EXPECT_GT(testing::CompareI420(*decoded, frame->picture, kStillWidth, kStillHeight).MinPsnr(), 30.0);
}

TEST(SimCameraStream, SameSeedGivesTheSameDamagedStream) {
  auto run = [](uint64_t seed) {
    SimCamera cam;
    cam.SetScene(Detailed());
    StartVideo(cam, 0x0504);
    cam.SetPacketFaults({.seed = seed, .drop = 20000, .reorder = 20000, .truncate = 20000, .error = 20000});
    std::vector<SimPacket> packets;
    for (int i = 0; i < 6; ++i) cam.ProduceFrame(128, packets);
    return packets;
  };
  auto same = [](const std::vector<SimPacket>& a, const std::vector<SimPacket>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (a[i].bytes != b[i].bytes || a[i].status != b[i].status) return false;
    return true;
  };
  const auto a = run(7), b = run(7), c = run(8);
  EXPECT_TRUE(same(a, b));
  EXPECT_FALSE(same(a, c));

  // And the damage is there: error statuses, and short packets without the
  // short-packet status.
  SimCamera clean;
  clean.SetScene(Detailed());
  StartVideo(clean, 0x0504);
  std::vector<SimPacket> undamaged;
  for (int i = 0; i < 6; ++i) clean.ProduceFrame(128, undamaged);
  EXPECT_FALSE(same(a, undamaged));
  const auto errors = std::count_if(a.begin(), a.end(), [](const SimPacket& p) { return p.status == kPacketStatusError; });
  const auto cut = std::count_if(a.begin(), a.end(), [](const SimPacket& p) {
    return p.status == kPacketStatusOk && !p.bytes.empty() && p.bytes.size() < 128;
  });
  EXPECT_GT(errors, 0);
  EXPECT_GT(cut, 0);
}

TEST(SimCameraStream, EachFaultKindDamagesTheWayItSays) {
  SimCamera cam;
  cam.SetScene(Detailed());
  StartVideo(cam, 0x0504);
  std::vector<SimPacket> clean;
  cam.ProduceFrame(128, clean);
  const std::size_t frame_packets = clean.size() - 2;
  ASSERT_GT(frame_packets, 50u);

  SimCamera dropping;
  dropping.SetScene(Detailed());
  StartVideo(dropping, 0x0504);
  dropping.SetPacketFaults({.seed = 1, .drop = 100000});
  std::vector<SimPacket> dropped;
  dropping.ProduceFrame(128, dropped);
  EXPECT_LT(dropped.size() - 2, frame_packets);

  SimCamera reordering;
  reordering.SetScene(Detailed());
  StartVideo(reordering, 0x0504);
  reordering.SetPacketFaults({.seed = 1, .reorder = 100000});
  std::vector<SimPacket> reordered;
  reordering.ProduceFrame(128, reordered);
  ASSERT_EQ(reordered.size(), clean.size());  // nothing lost, only moved
  bool out_of_order = false;
  for (std::size_t i = 2; i + 2 < reordered.size(); ++i)
    if (reordered[i].bytes[0] != static_cast<uint8_t>(reordered[i - 1].bytes[0] + 1)) out_of_order = true;
  EXPECT_TRUE(out_of_order);
}

TEST(SimCameraStream, FramesDecodeToWhatTheSensorSaw) {
  SimCamera cam;
  std::string error;
  auto photo = PhotoScene::Load(testing::TestDataPath("kodim15_320x240.png"), &error);
  ASSERT_TRUE(photo) << error;
  cam.SetScene(photo);
  StartVideo(cam, 0x0504);  // scaled to 176 x 144
  std::vector<SimPacket> packets;
  ASSERT_EQ(cam.ProduceFrame(1023, packets), 1u);
  const auto frame = cam.Frame(1);
  const std::span<const uint8_t> stream(frame->raw_frame.data() + encoder::kRawHeaderSize,
                                        frame->raw_frame.size() - encoder::kRawHeaderSize);
  testing::DecoderHarness harness;
  ASSERT_TRUE(harness.ready());
  // The camera compresses with its power-on tables, pair 3.
  auto decoded = harness.Decode(stream, 176, 144, 3, decoder::kOutputI420);
  ASSERT_TRUE(decoded.has_value());
  decoded->resize(frame->picture.size());
  const auto diff = testing::CompareI420(*decoded, frame->picture, 176, 144);
  EXPECT_GT(diff.MinPsnr(), 30.0);
}

TEST(SimCameraStream, ControlsChangeThePicture) {
  auto mean_luma = [](const FrameRecord& f) {
    uint64_t s = 0;
    for (int i = 0; i < f.width * f.height; ++i) s += f.picture[i];
    return static_cast<int>(s / (f.width * f.height));
  };
  auto chroma_spread = [](const FrameRecord& f) {
    int spread = 0;
    for (std::size_t i = static_cast<std::size_t>(f.width) * f.height; i < f.picture.size(); ++i)
      spread = std::max(spread, std::abs(f.picture[i] - 128));
    return spread;
  };
  auto take = [](const std::function<void(SimCamera&)>& setup) {
    SimCamera cam;
    Send(cam, kRequestAeAwbMode, 0, 0);  // automatic control off: a steady picture
    StartVideo(cam, 0x0504);
    setup(cam);
    std::vector<SimPacket> packets;
    cam.ProduceFrame(1023, packets);
    return *cam.Frame(1);
  };
  const FrameRecord plain = take([](SimCamera&) {});
  const FrameRecord bright = take([](SimCamera& c) { Write(c, kRegBrightness, 64); });
  const FrameRecord grey = take([](SimCamera& c) { Write(c, kRegSaturation, 0); });
  const FrameRecord flat = take([](SimCamera& c) { Write(c, kRegContrast, 32 + 31); });
  const FrameRecord warm = take([](SimCamera& c) { c.SetFirmwareVariable(kVarRGain, 200); });
  const FrameRecord rotated = take([](SimCamera& c) { Write(c, kRegHueLow, 180 * 2 & 0xFF); Write(c, kRegHueControl, ((360 >> 2) & 0xC0) | 1); });
  const FrameRecord sharp = take([](SimCamera& c) { Write(c, kRegSharpness, 200); });

  EXPECT_NEAR(mean_luma(bright), mean_luma(plain) + 64, 12);
  EXPECT_EQ(chroma_spread(grey), 0);
  EXPECT_GT(chroma_spread(plain), 40);
  EXPECT_NE(flat.picture, plain.picture);
  EXPECT_NE(sharp.picture, plain.picture);
  // More red gain: Cr (the red difference) rises over the picture.
  const std::size_t cr = static_cast<std::size_t>(plain.width) * plain.height * 5 / 4;
  long long plain_cr = 0, warm_cr = 0;
  for (std::size_t i = cr; i < plain.picture.size(); ++i) {
    plain_cr += plain.picture[i];
    warm_cr += warm.picture[i];
  }
  EXPECT_GT(warm_cr, plain_cr);
  // A half-turn of hue swaps the sign of both colour differences.
  const std::size_t cb = static_cast<std::size_t>(plain.width) * plain.height;
  int flipped = 0, total = 0;
  for (std::size_t i = cb; i < plain.picture.size(); ++i) {
    const int a = plain.picture[i] - 128, b = rotated.picture[i] - 128;
    if (std::abs(a) > 20) {
      ++total;
      if ((a > 0) != (b > 0)) ++flipped;
    }
  }
  EXPECT_GT(total, 0);
  EXPECT_EQ(flipped, total);
}

TEST(SimCameraStream, AutomaticExposureAndWhiteBalanceDriftOnlyWhenOn) {
  auto run = [](uint16_t mode) {
    SimCamera cam;
    // A dark, blue-cast scene: AE must raise the gain, AWB must lower blue.
    std::vector<uint8_t> rgb(64 * 48 * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      rgb[i] = 30;
      rgb[i + 1] = 40;
      rgb[i + 2] = 70;
    }
    cam.SetScene(std::make_shared<PhotoScene>(rgb, 64, 48));
    Send(cam, kRequestAeAwbMode, mode, 0);
    StartVideo(cam, 0x0507);
    std::vector<SimPacket> packets;
    for (int i = 0; i < 20; ++i) cam.ProduceFrame(1023, packets);
    return std::array<uint16_t, 4>{cam.FirmwareVariable(kVarCurAgc), cam.FirmwareVariable(kVarCurShutter),
                                   cam.FirmwareVariable(kVarRGain), cam.FirmwareVariable(kVarBGain)};
  };
  const auto off = run(0), both = run(4), ae_only = run(3);
  EXPECT_EQ(off, (std::array<uint16_t, 4>{kNeutralAgc, 1200, kNeutralGain, kNeutralGain}));
  EXPECT_GT(both[0], kNeutralAgc);
  EXPECT_NE(both[1], 1200);
  EXPECT_GT(both[2], kNeutralGain);  // red up, blue down: grey world
  EXPECT_LT(both[3], kNeutralGain);
  EXPECT_GT(ae_only[0], kNeutralAgc);
  EXPECT_EQ(ae_only[2], kNeutralGain);
}

TEST(SimCameraStream, PhotoSceneLoadsAndScales) {
  std::string error;
  auto photo = PhotoScene::Load(testing::TestDataPath("kodim05_176x144.png"), &error);
  ASSERT_TRUE(photo) << error;
  EXPECT_EQ(photo->width(), 176);
  EXPECT_EQ(photo->height(), 144);
  std::vector<uint8_t> same, scaled;
  photo->Render(1, 176, 144, same);
  EXPECT_EQ(same, photo->rgb());
  photo->Render(1, 352, 288, scaled);
  EXPECT_EQ(scaled.size(), 352u * 288 * 3);
  EXPECT_FALSE(PhotoScene::Load(testing::TestDataPath("PHOTOS.md"), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(PhotoScene::Load("/nonexistent.png", &error));
}

}  // namespace
}  // namespace dualcam::host::sim
