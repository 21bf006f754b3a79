// Removal while a button poll cycle is saving a still on another thread.
//
// Hard part: the fault is a window, not a state. Each cycle here finds a
// complete still waiting and the last result taken, so it writes the
// 203,776-byte file from StillBuffer; the device is uninitialized from this
// thread at a different moment in each round. If the blocks were freed
// under a running cycle, ASan (use after free) and TSan (free racing the
// file write) stop the run; every build checks that the blocks are gone
// afterwards and that the poll ended by itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "button/button_harness.h"
#include "driver/lifecycle.h"

namespace dualcam::button::testing {
namespace {

TEST(ButtonRemovalConcurrency, UninitializeWaitsForACycleSavingAStill) {
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
    EXPECT_EQ(world.Kernel().workQueue().Pending(), 0u);
    std::error_code error;
    if (std::filesystem::file_size(world.SnapshotPath(), error) == 203776u) ++saves;
  }
  EXPECT_GT(saves, 0) << "no round saved a still: the window was never open";
}

}  // namespace
}  // namespace dualcam::button::testing
