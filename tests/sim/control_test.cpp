// The simulated camera's default pipe: every request of the vocabulary round
// trips, failures move no data, scripted busy and button answers come in
// order, and the request log records exactly what went over the wire.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/sim/sim_camera.h"

namespace dualcam::host::sim {
namespace {

using Lines = std::vector<std::string>;

// Small helpers that send one request and return the status.
NTSTATUS Out(SimCamera& cam, uint8_t request, uint16_t value, uint16_t index) {
  uint32_t length = 0;
  return cam.Control(false, request, value, index, nullptr, &length);
}

struct InResult {
  NTSTATUS status;
  uint32_t length;
  std::vector<uint8_t> bytes;
};

InResult In(SimCamera& cam, uint8_t request, uint16_t value, uint16_t index, uint32_t n,
            uint8_t fill = 0xEE) {
  std::vector<uint8_t> buffer(n, fill);
  uint32_t length = n;
  const NTSTATUS status = cam.Control(true, request, value, index, buffer.data(), &length);
  return {status, length, buffer};
}

TEST(SimCameraControl, RegistersRoundTripAndReadBackTheLowByte) {
  SimCamera cam;
  EXPECT_EQ(Out(cam, kRequestRegister, 0xFF80, kRegBrightness), STATUS_SUCCESS);  // brightness 0
  EXPECT_EQ(cam.Register(kRegBrightness), 0xFF80);
  const InResult r = In(cam, kRequestRegister, 0, kRegBrightness, 1);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, 1u);
  EXPECT_EQ(r.bytes[0], 0x80);
  // A longer read still moves only the one byte the firmware answers.
  const InResult wide = In(cam, kRequestRegister, 0, kRegBrightness, 4);
  EXPECT_EQ(wide.length, 1u);
  EXPECT_EQ(wide.bytes[1], 0xEE);
  EXPECT_EQ(cam.Controls().brightness, -128);
  EXPECT_EQ(cam.RequestLines(), (Lines{"out 00 v=FF80 i=21A7", "in 00 v=0000 i=21A7 n=1 -> 80",
                                       "in 00 v=0000 i=21A7 n=4 -> 80"}));
}

TEST(SimCameraControl, ImageControlRegistersDecodeAsTheHostEncodesThem) {
  SimCamera cam;
  Out(cam, kRequestRegister, 63, kRegContrast);                      // contrast 31
  Out(cam, kRequestRegister, ((719 >> 2) & 0xC0) | 1, kRegHueControl);  // hue 719
  Out(cam, kRequestRegister, 719 & 0xFF, kRegHueLow);
  Out(cam, kRequestRegister, 63, kRegSaturation);
  Out(cam, kRequestRegister, 200, kRegSharpness);
  Out(cam, kRequestRegister, 0x007F, kRegBrightness);
  const ImageControls c = cam.Controls();
  EXPECT_EQ(c.contrast, 31);
  EXPECT_EQ(c.hue, 719);
  EXPECT_EQ(c.saturation, 63);
  EXPECT_EQ(c.sharpness, 200);
  EXPECT_EQ(c.brightness, 127);
}

TEST(SimCameraControl, FirmwareVariablesAreLittleEndianWords) {
  SimCamera cam;
  EXPECT_EQ(Out(cam, kRequestFirmwareVar, 0x0ABC, kVarCurShutter), STATUS_SUCCESS);
  const InResult r = In(cam, kRequestFirmwareVar, 0, kVarCurShutter, 2);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, 2u);
  EXPECT_EQ(r.bytes, (std::vector<uint8_t>{0xBC, 0x0A}));
  // Power-on values a host reads when its registry holds nothing.
  EXPECT_EQ(cam.FirmwareVariable(kVarAeawbSwitch), 4);
  EXPECT_EQ(cam.FirmwareVariable(kVarRGain), kNeutralGain);
  EXPECT_EQ(cam.FirmwareVariable(kVarMaxAgc), 63);
  // Variables beyond the firmware's table are stalled.
  EXPECT_EQ(In(cam, kRequestFirmwareVar, 0, 16, 2).status, STATUS_UNSUCCESSFUL);
}

TEST(SimCameraControl, FailedReadsMoveNothingAndChangeNothing) {
  SimCamera cam;
  cam.FailRequests({.in = true, .request = kRequestFirmwareVar}, STATUS_DEVICE_DATA_ERROR);
  const InResult failed = In(cam, kRequestFirmwareVar, 0, kVarCurAgc, 2, 0x5A);
  EXPECT_EQ(failed.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(failed.length, 0u);
  EXPECT_EQ(failed.bytes, (std::vector<uint8_t>{0x5A, 0x5A}));
  // The scripted failure was used up: the next read succeeds.
  EXPECT_EQ(In(cam, kRequestFirmwareVar, 0, kVarCurAgc, 2).status, STATUS_SUCCESS);

  // A failed write leaves the camera as it was.
  cam.FailRequests({.in = false, .request = kRequestRegister, .index = kRegSaturation},
                   STATUS_UNSUCCESSFUL, 2);
  EXPECT_EQ(Out(cam, kRequestRegister, 10, kRegSaturation), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Out(cam, kRequestRegister, 11, kRegContrast), STATUS_SUCCESS);  // other index
  EXPECT_EQ(Out(cam, kRequestRegister, 12, kRegSaturation), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(cam.Register(kRegSaturation), 40);
  EXPECT_EQ(Out(cam, kRequestRegister, 13, kRegSaturation), STATUS_SUCCESS);
  EXPECT_EQ(cam.Register(kRegSaturation), 13);
}

TEST(SimCameraControl, MalformedTransfersAreRefusedWithoutTouchingMemory) {
  SimCamera cam;
  EXPECT_EQ(cam.Control(true, kRequestBusy, 0, 0, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  uint32_t length = 4;
  EXPECT_EQ(cam.Control(true, kRequestBusy, 0, 0, nullptr, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  // wLength is 16 bits: a longer transfer cannot be expressed.
  std::vector<uint8_t> big(0x10000);
  length = 0x10000;
  EXPECT_EQ(cam.Control(false, kRequestInfoBlock, 0, 0, big.data(), &length),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cam.RequestLog().size(), 3u);
}

TEST(SimCameraControl, UnknownAndMisdirectedRequestsStall) {
  SimCamera cam;
  EXPECT_EQ(Out(cam, 0x77, 0, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(In(cam, kRequestImageSize, 0, 0x0501, 1).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(In(cam, kRequestPower, 0, 0, 1).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Out(cam, kRequestAeAwbMode, 5, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(cam.AeAwbMode(), 4);
  EXPECT_EQ(cam.RequestLines(),
            (Lines{"out 77 v=0000 i=0000 !C0000001", "in A0 v=0000 i=0501 n=1 !C0000001",
                   "in E0 v=0000 i=0000 n=1 !C0000001", "out 0C v=0005 i=0000 !C0000001"}));
}

TEST(SimCameraControl, BusyByteFollowsTheScript) {
  SimCamera cam;
  cam.QueueBusyReads(2);
  cam.QueueBusyReadFailures(1, STATUS_DEVICE_DATA_ERROR);
  cam.QueueBusyReads(1, 7);
  std::vector<NTSTATUS> statuses;
  std::vector<int> bytes;  // -1 where no byte moved
  for (int i = 0; i < 5; ++i) {
    const InResult r = In(cam, kRequestBusy, 0, 0, 1, 0xAA);
    statuses.push_back(r.status);
    bytes.push_back(r.length == 1 ? r.bytes[0] : -1);
  }
  EXPECT_EQ(bytes, (std::vector<int>{1, 1, -1, 7, 0}));
  EXPECT_EQ(statuses[2], STATUS_DEVICE_DATA_ERROR);

  cam.SetAlwaysBusy(true);
  for (int i = 0; i < 150; ++i) ASSERT_EQ(In(cam, kRequestBusy, 0, 0, 1).bytes[0], 1);
  cam.SetAlwaysBusy(false);
  EXPECT_EQ(In(cam, kRequestBusy, 0, 0, 1).bytes[0], 0);
}

TEST(SimCameraControl, WakeAndInformationTransfersMakeTheCameraBusyWhenConfigured) {
  SimCamera cam({.busy_reads_after_wake = 2, .busy_reads_after_info = 1});
  Out(cam, kRequestPower, 0, 1);
  EXPECT_FALSE(cam.Awake());
  Out(cam, kRequestPower, 0, 0);
  EXPECT_TRUE(cam.Awake());
  EXPECT_EQ(In(cam, kRequestBusy, 0, 0, 1).bytes[0], 1);
  EXPECT_EQ(In(cam, kRequestBusy, 0, 0, 1).bytes[0], 1);
  EXPECT_EQ(In(cam, kRequestBusy, 0, 0, 1).bytes[0], 0);
  Out(cam, kRequestInfoBlock, 0, 0x00FF);
  EXPECT_EQ(In(cam, kRequestBusy, 0, 0, 1).bytes[0], 1);
  EXPECT_EQ(In(cam, kRequestBusy, 0, 0, 1).bytes[0], 0);
}

TEST(SimCameraControl, ButtonPressesAreReportedOncePerReadAndTriggerStills) {
  SimCamera cam;
  cam.PressButton(2);
  EXPECT_TRUE(cam.StillPending());
  EXPECT_EQ(In(cam, kRequestButton, 0, 1, 1).bytes[0], 1);
  EXPECT_EQ(In(cam, kRequestButton, 0, 1, 1).bytes[0], 1);
  EXPECT_EQ(In(cam, kRequestButton, 0, 1, 1).bytes[0], 0);
  // Selecting the video size ends the still.
  EXPECT_EQ(Out(cam, kRequestImageSize, 0, 0x0503), STATUS_SUCCESS);
  EXPECT_FALSE(cam.StillPending());
  // The host's still trigger.
  EXPECT_EQ(Out(cam, kRequestButton, 2, 1), STATUS_SUCCESS);
  EXPECT_TRUE(cam.StillPending());
  EXPECT_EQ(Out(cam, kRequestButton, 3, 1), STATUS_UNSUCCESSFUL);

  SimCamera quiet({.button_takes_still = false});
  quiet.PressButton();
  EXPECT_FALSE(quiet.StillPending());
  EXPECT_EQ(In(quiet, kRequestButton, 0, 1, 1).bytes[0], 1);
}

TEST(SimCameraControl, InformationBlockReadsAndWritesWhole) {
  SimCamera cam;
  const InResult r = In(cam, kRequestInfoBlock, 0, 0, kInfoBlockSize);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.length, kInfoBlockSize);
  const auto block = cam.InfoBlock();
  EXPECT_TRUE(std::equal(block.begin(), block.end(), r.bytes.begin()));
  const unsigned words = r.bytes[126] | (r.bytes[127] << 8);
  EXPECT_GT(words, 0u);
  EXPECT_LE(words, 191u);  // fits the snapshot header the host builds from it

  std::vector<uint8_t> written(kInfoBlockSize);
  for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 7);
  uint32_t length = kInfoBlockSize;
  EXPECT_EQ(cam.Control(false, kRequestInfoBlock, 0, 0, written.data(), &length), STATUS_SUCCESS);
  EXPECT_EQ(length, kInfoBlockSize);
  EXPECT_EQ(In(cam, kRequestInfoBlock, 0, 0, kInfoBlockSize).bytes, written);
  // The log keeps the bytes that went out and shows long replies by size.
  const auto log = cam.RequestLog();
  EXPECT_EQ(log[1].data, written);
  EXPECT_EQ(cam.RequestLines().back(), "in 50 v=0000 i=0000 n=1024 -> [1024 bytes]");
}

TEST(SimCameraControl, ImageSizeCodesSelectTheRawSizes) {
  SimCamera cam;
  for (const auto& code : kImageSizeCodes) {
    ASSERT_EQ(Out(cam, kRequestImageSize, 0, code.index), STATUS_SUCCESS);
    EXPECT_EQ(cam.VideoWidth(), code.width);
    EXPECT_EQ(cam.VideoHeight(), code.height);
  }
  // An index the firmware does not know keeps the size.
  EXPECT_EQ(Out(cam, kRequestImageSize, 0, 0x0506), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Out(cam, kRequestImageSize, 0, 0x0508), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(cam.VideoWidth(), 160);
  EXPECT_EQ(cam.VideoHeight(), 112);
}

TEST(SimCameraControl, UploadedQuantizationTablesAreTheOnesInUse) {
  SimCamera cam;
  // Latching a quality selects the camera's own pair of that index.
  Out(cam, kRequestRegister, 1, kRegQuality);
  Out(cam, kRequestRegister, 1, kRegQualityLatch);
  EXPECT_EQ(cam.QuantTables().luma[0], encoder::CameraQuantPair(1).luma[0]);
  EXPECT_EQ(cam.QuantTables().chroma[63], encoder::CameraQuantPair(1).chroma[63]);
  // Uploaded tables replace it.
  const encoder::QuantPair& pair = encoder::CameraQuantPair(0);
  for (int j = 0; j < 64; ++j) {
    Out(cam, kRequestRegister, pair.luma[j], static_cast<uint16_t>(kRegLumaTable + j));
    Out(cam, kRequestRegister, pair.chroma[j], static_cast<uint16_t>(kRegChromaTable + j));
  }
  encoder::QuantPair used = cam.QuantTables();
  EXPECT_TRUE(std::equal(std::begin(used.luma), std::end(used.luma), std::begin(pair.luma)));
  EXPECT_TRUE(std::equal(std::begin(used.chroma), std::end(used.chroma), std::begin(pair.chroma)));
  // An entry of 0 cannot divide: the camera takes it as 1.
  Out(cam, kRequestRegister, 0, kRegLumaTable + 5);
  EXPECT_EQ(cam.QuantTables().luma[5], 1);
}

TEST(SimCameraControl, CaptureEngineRunsOnlyWhileAwake) {
  SimCamera cam;
  EXPECT_FALSE(cam.CaptureRunning());
  Out(cam, kRequestRegister, 0, kRegCaptureEngine);
  Out(cam, kRequestRegister, 0x13, kRegEngineSetup);
  Out(cam, kRequestRegister, 3, kRegCaptureEngine);
  EXPECT_TRUE(cam.CaptureRunning());
  Out(cam, kRequestPower, 0, 1);  // rest
  EXPECT_FALSE(cam.CaptureRunning());
  Out(cam, kRequestPower, 0, 0);  // wake
  EXPECT_TRUE(cam.CaptureRunning());
  Out(cam, kRequestRegister, 0, kRegCaptureEngine);
  EXPECT_FALSE(cam.CaptureRunning());
}

TEST(SimCameraControl, ModeFlickerAndStartupRequestsAreKept) {
  SimCamera cam;
  for (uint16_t mode : {0, 1, 3, 4}) {
    ASSERT_EQ(Out(cam, kRequestAeAwbMode, mode, 0), STATUS_SUCCESS);
    EXPECT_EQ(cam.AeAwbMode(), mode);
  }
  EXPECT_EQ(Out(cam, kRequestFlicker, 1, 0), STATUS_SUCCESS);
  EXPECT_TRUE(cam.Flicker50Hz());
  EXPECT_EQ(Out(cam, kRequestFlicker, 0, 0), STATUS_SUCCESS);
  EXPECT_FALSE(cam.Flicker50Hz());
  EXPECT_EQ(Out(cam, kRequestStartup, 2, 1), STATUS_SUCCESS);
}

TEST(SimCameraControl, RandomRequestFailuresRepeatForTheSameSeed) {
  auto run = [](uint64_t seed) {
    SimCamera cam;
    cam.SetRandomRequestFailures(seed, 300000);
    std::vector<NTSTATUS> out;
    for (int i = 0; i < 200; ++i) out.push_back(In(cam, kRequestBusy, 0, 0, 1).status);
    return out;
  };
  const auto a = run(42), b = run(42), c = run(43);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  const auto failures = std::count(a.begin(), a.end(), STATUS_UNSUCCESSFUL);
  EXPECT_GT(failures, 30);  // about 60 of 200 at 30 %
  EXPECT_LT(failures, 100);
}

}  // namespace
}  // namespace dualcam::host::sim
