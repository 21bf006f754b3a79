// The snapshot header and file: the header's fixed bytes, the 33 register
// bytes in read order with Gamma between them, the information block's word
// list bounded to what the header holds, failed register reads, and the
// file's size, replacement and every failure status.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <vector>

#include "button/button_harness.h"
#include "camera/button.h"

namespace dualcam::button::testing {
namespace {

// Header offset and register of each register byte, in read order.
struct RegisterByte {
  std::size_t offset;
  uint16_t reg;
};
constexpr std::array<RegisterByte, 33> kExpectedRegisters = {{
    {7, 0x2121},  {8, 0x2122},  {9, 0x2123},  {10, 0x2124}, {11, 0x2125}, {12, 0x2126}, {13, 0x2127},
    {14, 0x2128}, {15, 0x2129}, {16, 0x2140}, {17, 0x2141}, {18, 0x2142}, {19, 0x2143}, {20, 0x2144},
    {21, 0x2145}, {22, 0x2146}, {23, 0x2147}, {24, 0x2148}, {25, 0x2149}, {26, 0x214A}, {27, 0x210E},
    {28, 0x21A7}, {29, 0x21A8}, {30, 0x21AE}, {31, 0x21AD}, {32, 0x21AC}, {33, 0x21A6}, {34, 0x21A3},
    {35, 0x21A4}, {36, 0x21A1}, {37, 0x21A2}, {39, 0x2190}, {40, 0x2191},
}};

class SnapshotHeader : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each register holds a value of its own (0x40 + position).
    for (std::size_t i = 0; i < kExpectedRegisters.size(); ++i) {
      uint32_t none = 0;
      world_.Camera().Control(false, 0x00, static_cast<uint16_t>(0x40 + i), kExpectedRegisters[i].reg, nullptr,
                              &none);
    }
    world_.TakeRequests();
    world_.Context()->Gamma = 0x107;  // only the low byte is kept
    header_.fill(0xCC);
  }
  void SetInfoWords(uint16_t count) {
    uint8_t* info = world_.Context()->CameraInfoBlock;
    info[126] = static_cast<uint8_t>(count);
    info[127] = static_cast<uint8_t>(count >> 8);
    for (std::size_t i = 128; i < 1024; ++i) info[i] = static_cast<uint8_t>(i * 7);
  }
  void Build() { camera::BuildSnapshotHeader(world_.Context(), header_.data()); }
  uint16_t Count() const { return static_cast<uint16_t>(header_[256] | header_[257] << 8); }

  ButtonWorld world_;
  std::array<uint8_t, 1024> header_{};
};

TEST_F(SnapshotHeader, FixedBytesRegistersInOrderAndGamma) {
  SetInfoWords(0);
  Build();
  EXPECT_EQ(std::vector<uint8_t>(header_.begin(), header_.begin() + 7),
            (std::vector<uint8_t>{0x01, 0x01, 0x00, 0x00, 0x18, 0x03, 0x00}));
  for (std::size_t i = 0; i < kExpectedRegisters.size(); ++i) {
    EXPECT_EQ(header_[kExpectedRegisters[i].offset], 0x40 + i) << "register " << std::hex << kExpectedRegisters[i].reg;
  }
  EXPECT_EQ(header_[38], 0x07);
  for (std::size_t i = 41; i < 1024; ++i) ASSERT_EQ(header_[i], 0) << "byte " << i;

  // One one-byte read per register, in the header's order.
  const auto requests = world_.TakeRequests();
  ASSERT_EQ(requests.size(), kExpectedRegisters.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    char expected[40];
    std::snprintf(expected, sizeof expected, "in 00 v=0000 i=%04X n=1", kExpectedRegisters[i].reg);
    EXPECT_EQ(requests[i].rfind(expected, 0), 0u) << requests[i];
  }
}

TEST_F(SnapshotHeader, FailedRegisterReadLeavesItsByte) {
  SetInfoWords(0);
  world_.Camera().FailRequests({.in = true, .request = 0x00, .index = 0x2125}, STATUS_DEVICE_DATA_ERROR);
  world_.Camera().FailRequests({.in = true, .request = 0x00, .index = 0x2191}, STATUS_DEVICE_DATA_ERROR);
  Build();
  EXPECT_EQ(header_[11], 0xCC);
  EXPECT_EQ(header_[40], 0xCC);
  EXPECT_EQ(header_[10], 0x43);
  EXPECT_EQ(header_[12], 0x45);
  EXPECT_EQ(header_[39], 0x40 + 31);
}

TEST_F(SnapshotHeader, InformationWordsAreCopiedAndBoundedToTheHeader) {
  const uint8_t* info = world_.Context()->CameraInfoBlock;
  for (uint16_t count : {uint16_t{3}, uint16_t{191}, uint16_t{192}, uint16_t{500}, uint16_t{0xFFFF}}) {
    SCOPED_TRACE(count);
    SetInfoWords(count);
    header_.fill(0xCC);
    Build();
    const std::size_t kept = std::min<std::size_t>(count, 191);
    EXPECT_EQ(Count(), kept) << "the count written is the count copied";
    EXPECT_TRUE(std::equal(info + 128, info + 128 + 4 * kept, header_.begin() + 258));
    for (std::size_t i = 258 + 4 * kept; i < 1024; ++i) ASSERT_EQ(header_[i], 0) << "byte " << i;
  }
}

class SnapshotFile : public ::testing::Test {
 protected:
  void SetUp() override {
    // A recognisable still: byte k of the buffer is k mod 251.
    for (std::size_t k = 0; k < driver::kStillBufferSize; ++k) {
      world_.Context()->StillBuffer[k] = static_cast<uint8_t>(k % 251);
    }
  }
  NTSTATUS Write() { return camera::WriteSnapshotFile(world_.Context(), camera::kSnapshotFileName); }

  ButtonWorld world_;
};

TEST_F(SnapshotFile, HoldsTheFirstBytesOfTheStillBufferAndReplacesALongerFile) {
  {
    std::ofstream old(world_.SnapshotPath(), std::ios::binary);
    old << std::string(300000, 'x');
  }
  ASSERT_EQ(Write(), STATUS_SUCCESS);
  const auto file = world_.SnapshotBytes();
  ASSERT_EQ(file.size(), 203776u);
  for (std::size_t k = 0; k < file.size(); ++k) ASSERT_EQ(file[k], k % 251) << "byte " << k;
  // The path block is given back and the file closed.
  EXPECT_EQ(world_.Kernel().pool().Live(host::PoolTag("Wdm ")).Blocks, 0u);
  EXPECT_EQ(world_.Kernel().pool().BadFrees(), 0u);
  EXPECT_EQ(world_.Kernel().OpenHandles(), 0u);
}

TEST_F(SnapshotFile, FailuresReportTheirStatus) {
  world_.Kernel().files().ShortNextWrite(1000);
  EXPECT_EQ(Write(), STATUS_UNSUCCESSFUL);
  world_.Kernel().files().FailNextWrite(STATUS_DISK_FULL);
  EXPECT_EQ(Write(), STATUS_UNSUCCESSFUL);
  world_.Kernel().pool().FailNthAllocation(1);
  EXPECT_EQ(Write(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(world_.Kernel().OpenHandles(), 0u);
  EXPECT_EQ(world_.Kernel().pool().Live(host::PoolTag("Wdm ")).Blocks, 0u);
  // No still buffer (bring-up failed part-way): nothing to write.
  uint8_t* still = world_.Context()->StillBuffer;
  world_.Context()->StillBuffer = nullptr;
  EXPECT_EQ(Write(), STATUS_UNSUCCESSFUL);
  world_.Context()->StillBuffer = still;
  std::filesystem::remove_all(world_.SnapshotFolder());
  EXPECT_EQ(Write(), STATUS_NO_SUCH_FILE);
}

TEST(SnapshotService, MissingFolderReportsFailureAndEndsTheRequest) {
  WorldOptions options;
  options.CreateSnapshotFolder = false;
  ButtonWorld world(options);
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  driver::DeviceContext* ctx = world.Context();
  world.SetValue("SnapShoot", 1);
  ASSERT_TRUE(world.RunCycle());
  for (int frame = 0; frame < 4 && ctx->StillReady.load() == 0; ++frame) world.Device().Pump(1);
  ASSERT_EQ(ctx->StillReady.load(), 1u);
  ASSERT_TRUE(world.RunCycle());
  EXPECT_EQ(world.Value("SnapShot"), 2u);
  EXPECT_EQ(world.Value("SnapShoot"), 0u);
  EXPECT_EQ(ctx->StillToSave.load(), 0);
  EXPECT_EQ(ctx->StillRequested.load(), 0u);
  EXPECT_FALSE(std::filesystem::exists(world.SnapshotPath()));
}

}  // namespace
}  // namespace dualcam::button::testing
