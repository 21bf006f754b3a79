// Removal while a button poll cycle is saving a still on another thread.
//
// Hard part: the fault is a window, not a state. Each cycle here finds a
// complete still waiting and the last result taken, so it writes the
// 203,776-byte file from StillBuffer; the device is uninitialized from this
// thread at a different moment in each round. On the virtual clock the
// removal's bounded wait passes at once, so rounds land on both sides of
// it: the removal frees the still buffer after the cycle, or leaves it to
// the cycle. If the buffer were freed under a running cycle, ASan (use
// after free) and TSan (free racing the file write) stop the run; every
// build checks that the blocks are gone afterwards and that the poll ended
// by itself. The second test holds a cycle inside its save (the file is a
// pipe nobody reads yet) for longer than the bound.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "button/button_harness.h"
#include "driver/lifecycle.h"

namespace dualcam::button::testing {
namespace {

TEST(ButtonRemovalConcurrency, UninitializeNeverFreesTheStillBufferUnderARunningCycle) {
  int saves = 0;
  for (int round = 0; round < 32; ++round) {
    WorldOptions options;
    options.RealDriver = true;
    ButtonWorld world(options);
    ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
    driver::DeviceContext* ctx = world.Context();

    std::atomic<int> cycles{0};
    std::thread poll([&] {
      do {
        // The application has taken the last result and a whole still
        // waits: the cycle saves it (every other cycle, since the cycle
        // reads back the result it posted).
        world.SetValue("SnapShot", 0);
        ctx->StillToSave.store(1, std::memory_order_relaxed);
        ctx->StillReady.store(1, std::memory_order_release);
        cycles.fetch_add(1, std::memory_order_relaxed);
      } while (world.RunCycle());
    });
    // Let a few cycles start, then take the device away at a moment that
    // moves with the round.
    while (cycles.load(std::memory_order_relaxed) < 2 + round % 4) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(137 * round));
    EXPECT_EQ(driver::CamUnInitialize(nullptr, ctx), STATUS_SUCCESS);
    poll.join();  // the poll sees the removal and stops queuing itself

    EXPECT_EQ(ctx->StillBuffer, nullptr);
    EXPECT_EQ(ctx->LastGoodFrame, nullptr);
    EXPECT_EQ(ctx->PollUsingBlocks.load(), 0);
    EXPECT_EQ(world.Kernel().pool().Live(0x206D6457).Blocks, 0u);
    EXPECT_EQ(world.Kernel().workQueue().Pending(), 0u);
    std::error_code error;
    if (std::filesystem::file_size(world.SnapshotPath(), error) == 203776u) ++saves;
  }
  EXPECT_GT(saves, 0) << "no round saved a still: the window was never open";
}

TEST(ButtonRemovalConcurrency, ACycleStuckInItsSaveIsWaitedForOneSecondAndThenFreesTheBufferItself) {
  WorldOptions options;
  options.RealDriver = true;
  ButtonWorld world(options);
  ASSERT_EQ(world.StartCapture(), STATUS_SUCCESS);
  driver::DeviceContext* ctx = world.Context();
  // The snapshot file is a pipe: the save blocks opening it until a reader
  // comes, as a save blocks on a file system that does not answer.
  ASSERT_EQ(mkfifo(world.SnapshotPath().c_str(), 0644), 0);
  world.SetValue("SnapShot", 0);
  ASSERT_TRUE(world.RunCycle());  // reads "SnapShot" 0
  ctx->StillToSave.store(1, std::memory_order_relaxed);
  ctx->StillReady.store(1, std::memory_order_release);
  UCHAR* const still = ctx->StillBuffer;
  ASSERT_NE(still, nullptr);

  // The save's path buffer is the one block a cycle allocates: once it is
  // live the cycle is at the create that blocks.
  const size_t blocks = world.Kernel().pool().Live(0x206D6457).Blocks;
  std::thread poll([&] { world.RunCycle(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (world.Kernel().pool().Live(0x206D6457).Blocks == blocks && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  if (world.Kernel().pool().Live(0x206D6457).Blocks == blocks) {
    ctx->DriverStatus.store(8);
    poll.join();
    FAIL() << "the cycle never reached its save";
  }
  world.Kernel().clock().ClearDelays();
  EXPECT_EQ(driver::CamUnInitialize(nullptr, ctx), STATUS_SUCCESS);
  // 100 looks 10 ms apart, then removal goes on without the cycle.
  const auto delays = world.Kernel().clock().Delays();
  EXPECT_EQ(delays.size(), 100u);
  EXPECT_TRUE(std::all_of(delays.begin(), delays.end(), [](LONGLONG d) { return d == -100'000; }));
  EXPECT_EQ(ctx->PollUsingBlocks.load(), 2) << "the still buffer is the cycle's now";
  EXPECT_EQ(ctx->StillBuffer, still);
  EXPECT_EQ(ctx->LastGoodFrame, nullptr);
  // Still live: the still buffer and the save's path buffer, nothing else.
  EXPECT_EQ(world.Kernel().pool().Live(0x206D6457).Blocks, 2u);
  EXPECT_GE(world.Kernel().pool().Live(0x206D6457).Bytes, 306177u);

  // The file system answers; the cycle finishes its save and frees the
  // buffer it was left.
  const int reader = open(world.SnapshotPath().c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  uint8_t chunk[8192];
  while (read(reader, chunk, sizeof chunk) > 0) {
  }
  close(reader);
  poll.join();
  EXPECT_TRUE(world.Value("SnapShot").value_or(0) != 0) << "the save posted its result";
  EXPECT_EQ(ctx->StillBuffer, nullptr);
  EXPECT_EQ(ctx->PollUsingBlocks.load(), 0);
  EXPECT_EQ(world.Kernel().pool().Live(0x206D6457).Blocks, 0u);
  EXPECT_EQ(world.Kernel().workQueue().Pending(), 0u);
}

}  // namespace
}  // namespace dualcam::button::testing
