// Vendor command layer against the simulated camera: the exact request
// sequences of each programming step, the encodings of the image controls,
// the busy polls and their limits, the waits as the kernel saw them, and the
// information block transfers.
#include "camera/vendor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "camera_harness.h"
#include "pipeline/tone_curve.h"

namespace dualcam::camera {
namespace {

using host::sim::RequestMatch;
using testing::BusyRead;
using testing::FirmwareWrite;
using testing::Out;
using testing::RegisterWrite;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class VendorTest : public testing::CameraHarness {
 protected:
  void SetUp() override
  {
    CameraHarness::SetUp();
    DeviceContext* ctx = Context();
    ctx->Brightness = 128;
    ctx->Contrast = 0;
    ctx->Hue = 0;
    ctx->Saturation = 40;
    ctx->Sharpness = 2;
    ctx->WhiteBalance = 10;
    ctx->Gamma = 0;
    ctx->AutoExposure = 1;
    ctx->AutoWhiteBalance = 1;
    ctx->Flicker60 = 1;
    ctx->FirmwareParams = {4, 1200, 20, 3, 130, 140, 8, 40};
    ClearRequests();
    ClearDelays();
  }
};

// ---- Image controls ---------------------------------------------------------

TEST_F(VendorTest, ApplyImageSettingsWritesEveryControlInOrderWithItsEncoding)
{
  DeviceContext* ctx = Context();
  ctx->Brightness = 0;    // (0 - 128) as 16 bits
  ctx->Contrast = 31;     // + 32
  ctx->Hue = 719;         // 0x2CF: control 0x81, low byte 0xCF
  ctx->Saturation = 63;
  ctx->Sharpness = 255;
  ctx->Flicker60 = 0;     // 50 Hz -> value 1
  ctx->Gamma = 5;

  ApplyImageSettings(ctx);

  EXPECT_THAT(Requests(), ElementsAre(RegisterWrite(0x21AC, 1), RegisterWrite(0x21A6, 1),
                                      RegisterWrite(0x21A7, 0xFF80), RegisterWrite(0x21A8, 63),
                                      RegisterWrite(0x21AC, 0x81), RegisterWrite(0x21AD, 0xCF),
                                      RegisterWrite(0x21AE, 63), RegisterWrite(0x21A3, 255),
                                      Out(0xB0, 1, 0), Out(0x0C, 4, 0)));
  EXPECT_EQ(pipeline::ToneCurveIndexOf(&ctx->ProcessingOptions), 5);
  EXPECT_EQ(Delays().size(), 0u);
}

TEST_F(VendorTest, ImageControlEncodingsAtTheirLimits)
{
  EXPECT_EQ(EncodeBrightness(0), 0xFF80);
  EXPECT_EQ(EncodeBrightness(128), 0x0000);
  EXPECT_EQ(EncodeBrightness(255), 0x007F);
  EXPECT_EQ(EncodeContrast(31), 63);
  EXPECT_EQ(EncodeHueControl(719), 0x81);
  EXPECT_EQ(EncodeHueLow(719), 0xCF);
  EXPECT_EQ(EncodeHueControl(255), 0x01);
  EXPECT_EQ(EncodeHueLow(255), 0xFF);
  EXPECT_EQ(EncodeHueControl(256), 0x41);  // bit 8 -> bit 6
  EXPECT_EQ(EncodeHueControl(512), 0x81);  // bit 9 -> bit 7
}

TEST_F(VendorTest, AutomaticModeForEachFlagCombination)
{
  DeviceContext* ctx = Context();
  struct Case {
    ULONG ae, awb;
    USHORT imageMode;  // what ApplyImageSettings sends last
    USHORT fullMode;   // what SendAeAwbMode sends second
  };
  // Only white balance automatic: the image step sends 0, the full mode is 1.
  const Case cases[] = {{1, 1, 4, 4}, {1, 0, 3, 3}, {0, 1, 0, 1}, {0, 0, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "AE " << c.ae << " AWB " << c.awb);
    ctx->AutoExposure = c.ae;
    ctx->AutoWhiteBalance = c.awb;
    ClearRequests();
    ApplyImageSettings(ctx);
    EXPECT_EQ(Requests().back(), Out(0x0C, c.imageMode, 0));
    ClearRequests();
    SendAeAwbMode(ctx);
    EXPECT_THAT(Requests(), ElementsAre(Out(0x0C, 0, 0), Out(0x0C, c.fullMode, 0)));
  }
  EXPECT_EQ(Camera().AeAwbMode(), 0);
}

// ---- Exposure and white balance -----------------------------------------------

TEST_F(VendorTest, ApplyExposureSettingsRestoresSavedGainsAroundASettlingPause)
{
  DeviceContext* ctx = Context();
  ApplyExposureSettings(ctx);

  EXPECT_THAT(Requests(), ElementsAre(Out(0x0C, 0, 0), FirmwareWrite(2, 20), FirmwareWrite(8, 3),
                                      FirmwareWrite(6, 8), FirmwareWrite(9, 40), FirmwareWrite(0, 4),
                                      FirmwareWrite(4, 130), FirmwareWrite(5, 140), Out(0x0C, 4, 0)));
  EXPECT_THAT(Delays(), ElementsAre(-330000));  // 33 ms in 100 ns units
  EXPECT_EQ(Camera().FirmwareVariable(2), 20);
  EXPECT_EQ(Camera().FirmwareVariable(9), 40);
}

TEST_F(VendorTest, ManualExposureLeavesTheGainVariablesAlone)
{
  DeviceContext* ctx = Context();
  ctx->AutoExposure = 0;
  RestoreAutoExposure(ctx);
  EXPECT_TRUE(Requests().empty());

  ApplyExposureSettings(ctx);
  EXPECT_THAT(Requests(), ElementsAre(Out(0x0C, 0, 0), FirmwareWrite(4, 130), FirmwareWrite(5, 140),
                                      Out(0x0C, 1, 0)));
}

TEST_F(VendorTest, WhiteBalanceShiftsOneGainByTheDistanceFromNeutral)
{
  DeviceContext* ctx = Context();
  ctx->AutoWhiteBalance = 0;
  ctx->FirmwareParams.FwRGain = 100;
  ctx->FirmwareParams.FwBGain = 50;

  const int offsets[] = {6, 12, 19, 25, 32, 38, 44, 51, 57, 64};
  for (int distance = 1; distance <= 10; ++distance) {
    SCOPED_TRACE(distance);
    ctx->WhiteBalance = 10 + distance;  // warmer: red rises
    WhiteBalanceGains gains = ComputeWhiteBalanceGains(ctx);
    EXPECT_EQ(gains.Red, 100 + offsets[distance - 1]);
    EXPECT_EQ(gains.Blue, 50);
    ctx->WhiteBalance = 10 - distance;  // cooler: blue rises
    gains = ComputeWhiteBalanceGains(ctx);
    EXPECT_EQ(gains.Red, 100);
    EXPECT_EQ(gains.Blue, 50 + offsets[distance - 1]);
  }

  ctx->WhiteBalance = 20;
  ctx->FirmwareParams.FwRGain = 250;
  ApplyWhiteBalance(ctx);
  ctx->WhiteBalance = 0;
  ctx->FirmwareParams.FwBGain = 250;
  ApplyWhiteBalance(ctx);
  EXPECT_THAT(Requests(), ElementsAre(FirmwareWrite(4, 255), FirmwareWrite(5, 50), FirmwareWrite(4, 250),
                                      FirmwareWrite(5, 255)));
  // The saved gains are not changed by the shift.
  EXPECT_EQ(ctx->FirmwareParams.FwRGain, 250);
  EXPECT_EQ(ctx->FirmwareParams.FwBGain, 250);
}

TEST_F(VendorTest, WhiteBalanceCapDoesNotWrapALargeStoredGain)
{
  DeviceContext* ctx = Context();
  ctx->AutoWhiteBalance = 0;
  ctx->WhiteBalance = 20;
  ctx->FirmwareParams.FwRGain = 0xFFF0;  // any 16-bit word may come from the registry
  EXPECT_EQ(ComputeWhiteBalanceGains(ctx).Red, 255);

  // Automatic white balance, or the neutral setting, sends the gains as saved.
  ctx->AutoWhiteBalance = 1;
  EXPECT_EQ(ComputeWhiteBalanceGains(ctx).Red, 0xFFF0);
  ctx->AutoWhiteBalance = 0;
  ctx->WhiteBalance = 10;
  EXPECT_EQ(ComputeWhiteBalanceGains(ctx).Red, 0xFFF0);
}

// ---- Picture size ---------------------------------------------------------------

TEST_F(VendorTest, SelectImageSizeSendsTheCodeOfEachSizeIndexAndNothingElse)
{
  DeviceContext* ctx = Context();
  const USHORT codes[] = {0, 0x0507, 0x0505, 0x0504, 0x0503, 0x0503, 0x0502, 0x0501, 0, 0};
  for (USHORT index = 0; index < 10; ++index) {
    SCOPED_TRACE(index);
    ClearRequests();
    ctx->SizeIndex = index;
    SelectImageSize(ctx);
    if (codes[index] == 0) {
      EXPECT_TRUE(Requests().empty());
    } else {
      EXPECT_THAT(Requests(), ElementsAre(Out(0xA0, 0, codes[index])));
    }
  }
  ctx->SizeIndex = 0xFFFF;
  ClearRequests();
  SelectImageSize(ctx);
  EXPECT_TRUE(Requests().empty());
}

// ---- Waits ---------------------------------------------------------------------

std::vector<ULONG> g_waits;
void RecordWait(ULONG ms) { g_waits.push_back(ms); }

TEST_F(VendorTest, WaitCameraReadyAllowsNinetyNineBusyReadsButNotAHundred)
{
  DeviceContext* ctx = Context();

  g_waits.clear();
  Camera().QueueBusyReads(99);
  EXPECT_EQ(WaitCameraReady(ctx, RecordWait), STATUS_SUCCESS);
  EXPECT_EQ(Requests().size(), 100u);
  EXPECT_EQ(Requests().back(), BusyRead(0));
  EXPECT_EQ(g_waits, std::vector<ULONG>(99, 10));

  ClearRequests();
  g_waits.clear();
  Camera().QueueBusyReads(100);
  EXPECT_EQ(WaitCameraReady(ctx, RecordWait), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Requests(), std::vector<std::string>(100, BusyRead(1)));
  EXPECT_EQ(g_waits.size(), 99u);  // no wait after the last read
}

TEST_F(VendorTest, WaitCameraReadyEndsAtOnceOnADataError)
{
  DeviceContext* ctx = Context();

  // Before any byte arrived: busy.
  g_waits.clear();
  Camera().QueueBusyReadFailures(1, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(WaitCameraReady(ctx, RecordWait), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Requests().size(), 1u);
  EXPECT_TRUE(g_waits.empty());

  // After a busy byte arrived: still busy, no further read.
  ClearRequests();
  Camera().QueueBusyReads(2);
  Camera().QueueBusyReadFailures(1, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(WaitCameraReady(ctx, RecordWait), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Requests().size(), 3u);
}

TEST_F(VendorTest, WaitCameraReadyCountsOtherFailedReadsAsReadsOfTheLastByte)
{
  DeviceContext* ctx = Context();

  // Failures before any byte: the byte counts as busy, the poll goes on.
  Camera().QueueBusyReadFailures(3, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(WaitCameraReady(ctx, RecordWait), STATUS_SUCCESS);
  EXPECT_EQ(Requests().size(), 4u);

  // A camera whose every read fails is busy after exactly 100 reads.
  ClearRequests();
  Camera().QueueBusyReadFailures(150, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(WaitCameraReady(ctx, RecordWait), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Requests().size(), 100u);
}

TEST_F(VendorTest, DelayMsGivesTheKernelARelativeIntervalIn100NsUnits)
{
  DelayMs(33);
  DelayMs(0);
  DelayMs(200);
  DelayMs(500000);  // would wrap to a positive (absolute) time in 32 bits
  EXPECT_THAT(Delays(), ElementsAre(-330000, 0, -2000000, -5000000000LL));
}

TEST_F(VendorTest, SpinWaitMsSpinsOnTheCounterWithoutSleeping)
{
  const int64_t start = Now();
  SpinWaitMs(10);
  const int64_t spun = Now() - start;
  EXPECT_GE(spun, 100000);  // 10 ms in 100 ns units
  EXPECT_LT(spun, 110000);  // and not much more
  EXPECT_TRUE(Delays().empty());
}

// ---- Start-up ------------------------------------------------------------------

std::vector<std::string> ExpectedPrepareRequests(const UCHAR* pair, USHORT sizeCode)
{
  std::vector<std::string> lines = {Out(0xE0, 0, 0), BusyRead(0), RegisterWrite(0x2501, 1), Out(0x20, 2, 1),
                                    RegisterWrite(0x2880, 3), RegisterWrite(0x2881, 1)};
  for (USHORT j = 0; j < 64; ++j) {
    lines.push_back(RegisterWrite(0x2800 + j, pair[j]));
    lines.push_back(RegisterWrite(0x2840 + j, pair[64 + j]));
  }
  lines.push_back(Out(0xA0, 0, sizeCode));
  lines.push_back(RegisterWrite(0x2000, 0));
  lines.push_back(RegisterWrite(0x2301, 0x13));
  lines.push_back(RegisterWrite(0x2000, 3));
  return lines;
}

TEST_F(VendorTest, PrepareCameraUploadsTheSelectedTablePairAlternatingLumaAndChroma)
{
  DeviceContext* ctx = Context();
  std::array<UCHAR, driver::kQuantTablesSize> tables;
  tables.fill(0xEE);                                 // pairs 0..2: must not be sent
  std::iota(tables.begin() + 384, tables.end(), 1);  // pair 3: 1..128
  ctx->QuantTables = tables.data();
  ctx->QualityIndex = 3;
  ctx->SizeIndex = 5;

  EXPECT_EQ(PrepareCamera(ctx), STATUS_SUCCESS);

  const std::vector<std::string> expected = ExpectedPrepareRequests(tables.data() + 384, 0x0503);
  EXPECT_EQ(Requests(), expected);
  EXPECT_EQ(expected.size(), 138u);  // the busy read included
  EXPECT_THAT(Delays(), ElementsAre(-100000));
  EXPECT_TRUE(Camera().CaptureRunning());
  const auto uploaded = Camera().QuantTables();
  EXPECT_TRUE(std::equal(std::begin(uploaded.luma), std::end(uploaded.luma), tables.begin() + 384));
  EXPECT_TRUE(std::equal(std::begin(uploaded.chroma), std::end(uploaded.chroma), tables.begin() + 448));
}

TEST_F(VendorTest, PrepareCameraStopsAfterTheBusyPollWhenTheCameraStaysBusy)
{
  DeviceContext* ctx = Context();
  std::array<UCHAR, driver::kQuantTablesSize> tables{};
  ctx->QuantTables = tables.data();
  ctx->QualityIndex = 3;
  ctx->SizeIndex = 5;
  Camera().SetAlwaysBusy(true);

  EXPECT_EQ(PrepareCamera(ctx), STATUS_UNSUCCESSFUL);

  std::vector<std::string> expected = {Out(0xE0, 0, 0)};
  expected.insert(expected.end(), 100, BusyRead(1));
  EXPECT_EQ(Requests(), expected);
  // The first 10 ms, then 99 pauses between the 100 reads.
  EXPECT_EQ(Delays(), std::vector<int64_t>(100, -100000));
}

TEST_F(VendorTest, PrepareCameraNeverReadsPastTheTableBlock)
{
  DeviceContext* ctx = Context();
  // Exactly the block's size on the heap, so a read past it is caught.
  std::vector<UCHAR> tables(driver::kQuantTablesSize, 7);
  ctx->QuantTables = tables.data();
  ctx->SizeIndex = 2;

  for (UCHAR quality : {UCHAR{4}, UCHAR{255}}) {
    SCOPED_TRACE(static_cast<int>(quality));
    ClearRequests();
    ctx->QualityIndex = quality;
    EXPECT_EQ(PrepareCamera(ctx), STATUS_SUCCESS);
    EXPECT_EQ(Requests().size(), 10u);  // everything but the 128 table writes
  }

  ctx->QualityIndex = 3;
  ctx->QuantTables = nullptr;
  ClearRequests();
  EXPECT_EQ(PrepareCamera(ctx), STATUS_SUCCESS);
  EXPECT_EQ(Requests().size(), 10u);
}

// ---- Information block -----------------------------------------------------------

TEST_F(VendorTest, ReadCameraInfoBlockAnnouncesWaitsAndReadsTheBlock)
{
  DeviceContext* ctx = Context();
  std::array<uint8_t, 1024> block;
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
  Camera().SetInfoBlock(block);
  Camera().QueueBusyReads(3);

  EXPECT_EQ(ReadCameraInfoBlock(ctx, ctx->CameraInfoBlock), STATUS_SUCCESS);

  EXPECT_THAT(Requests(), ElementsAre(Out(0x50, 0, 0x00FF), BusyRead(1), BusyRead(1), BusyRead(1), BusyRead(0),
                                      "in 50 v=0000 i=0000 n=1024 -> [1024 bytes]"));
  EXPECT_THAT(Delays(), ElementsAre(-2000000, -2000000, -2000000, -2000000));
  EXPECT_EQ(std::memcmp(ctx->CameraInfoBlock, block.data(), block.size()), 0);
}

TEST_F(VendorTest, ReadCameraInfoBlockReadsEvenWhenTheCameraStaysBusy)
{
  DeviceContext* ctx = Context();
  Camera().SetAlwaysBusy(true);

  ReadCameraInfoBlock(ctx, ctx->CameraInfoBlock);

  const auto lines = Requests();
  ASSERT_EQ(lines.size(), 31u);  // announce, 29 busy reads, the block read
  EXPECT_EQ(std::count(lines.begin(), lines.end(), BusyRead(1)), 29);
  EXPECT_EQ(lines.back(), "in 50 v=0000 i=0000 n=1024 -> [1024 bytes]");
  EXPECT_EQ(Delays().size(), 29u);  // the first 200 ms and 28 between reads
}

TEST_F(VendorTest, ReadCameraInfoBlockReportsAFailedReadAndKeepsTheBlock)
{
  DeviceContext* ctx = Context();
  std::memset(ctx->CameraInfoBlock, 0x5A, sizeof(ctx->CameraInfoBlock));
  Camera().FailRequests(RequestMatch{true, 0x50, 0}, STATUS_DEVICE_DATA_ERROR);

  EXPECT_EQ(ReadCameraInfoBlock(ctx, ctx->CameraInfoBlock), STATUS_DEVICE_DATA_ERROR);
  EXPECT_TRUE(std::all_of(std::begin(ctx->CameraInfoBlock), std::end(ctx->CameraInfoBlock),
                          [](UCHAR b) { return b == 0x5A; }));
}

TEST_F(VendorTest, WriteCameraInfoBlockWritesAndPollsTwice)
{
  DeviceContext* ctx = Context();
  std::array<UCHAR, 1024> block;
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<UCHAR>(255 - i % 251);

  EXPECT_EQ(WriteCameraInfoBlock(ctx, block.data()), STATUS_SUCCESS);

  EXPECT_THAT(Requests(), ElementsAre(Out(0x50, 0, 0x00FF), BusyRead(0), "out 50 v=0000 i=0000 n=1024",
                                      BusyRead(0)));
  EXPECT_THAT(Delays(), ElementsAre(-2000000, -2000000));
  const auto stored = Camera().InfoBlock();
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), block.begin()));
}

TEST_F(VendorTest, WriteCameraInfoBlockFailsWhenBusyAfterwardsOrWhenTheWriteFails)
{
  DeviceContext* ctx = Context();
  std::array<UCHAR, 1024> block{};

  // Ready before the write, busy for all 29 reads after it.
  Camera().QueueBusyReads(1, 0);
  Camera().QueueBusyReads(29);
  EXPECT_EQ(WriteCameraInfoBlock(ctx, block.data()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Requests().size(), 1u + 1u + 1u + 29u);

  // Busy for a while after the write, then ready.
  ClearRequests();
  Camera().QueueBusyReads(1, 0);
  Camera().QueueBusyReads(28);
  EXPECT_EQ(WriteCameraInfoBlock(ctx, block.data()), STATUS_SUCCESS);

  // The write itself refused: reported, although the camera is not busy.
  Camera().FailRequests(RequestMatch{false, 0x50, 0}, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(WriteCameraInfoBlock(ctx, block.data()), STATUS_UNSUCCESSFUL);
}

// ---- Register and firmware-variable helpers -----------------------------------------

TEST_F(VendorTest, FailedReadsLeaveTheCallersWordAlone)
{
  DeviceContext* ctx = Context();
  Camera().SetFirmwareVariable(1, 0x1234);

  USHORT word = 0xBEEF;
  EXPECT_EQ(ReadFirmwareVariable(ctx, 1, &word), STATUS_SUCCESS);
  EXPECT_EQ(word, 0x1234);  // little-endian on the wire

  Camera().FailRequests(RequestMatch{true, 0x30, 1}, STATUS_DEVICE_DATA_ERROR);
  word = 0xBEEF;
  EXPECT_EQ(ReadFirmwareVariable(ctx, 1, &word), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(word, 0xBEEF);

  UCHAR byte = 0x77;
  Camera().FailRequests(RequestMatch{true, 0x00, 0x25B2}, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ReadCameraRegister(ctx, 0x25B2, &byte), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(byte, 0x77);

  // A request the firmware refuses comes back unchanged to the caller.
  ULONG moved = 99;
  EXPECT_EQ(VendorRequest(ctx, VendorDirection::Out, 0x77, 0, 0, 0, nullptr, &moved), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(moved, 0u);
}

}  // namespace
}  // namespace dualcam::camera
