// Pool, clock and delayed work queue of the host kernel, through the
// platform calls the driver makes.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "platform/kernel.h"

namespace dualcam::host {
namespace {

constexpr ULONG kDeviceTag = PoolTag("Wdm ");

class ServicesTest : public ::testing::Test {
protected:
    HostKernel kernel_;
    ScopedKernel scope_{kernel_};
};

TEST_F(ServicesTest, PoolAccountsLiveBlocksPerTagAndRefusesWrongFrees)
{
    EXPECT_EQ(kDeviceTag, 0x206D6457u);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kDeviceTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kDeviceTag);
    void* c = ExAllocatePool(NonPagedPool, 5);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(static_cast<std::uint8_t*>(a)[99], kFreshPoolByte);  // pool memory is not cleared
    EXPECT_EQ(kernel_.pool().Live(kDeviceTag).Blocks, 2u);
    EXPECT_EQ(kernel_.pool().Live(kDeviceTag).Bytes, 128u);
    EXPECT_EQ(kernel_.pool().Live(kUntaggedPoolTag).Blocks, 1u);

    ExFreePool(a);
    ExFreePool(a);  // double free
    int local = 0;
    ExFreePool(&local);  // never allocated
    ExFreePool(nullptr);
    ExFreePoolWithTag(b, PoolTag("Othr"));  // wrong tag: refused, block stays
    EXPECT_EQ(kernel_.pool().BadFrees(), 4u);
    EXPECT_EQ(kernel_.pool().Live(kDeviceTag).Blocks, 1u);
    ExFreePoolWithTag(b, kDeviceTag);
    ExFreePool(c);
    EXPECT_EQ(kernel_.pool().LiveTotal().Blocks, 0u);
    EXPECT_TRUE(kernel_.pool().LiveByTag().empty());
}

TEST_F(ServicesTest, PoolFailsTheNthAllocationAndSeededFailuresRepeat)
{
    kernel_.pool().FailNthAllocation(3);
    std::vector<void*> blocks;
    for (int i = 0; i < 5; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 16, kDeviceTag));
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    EXPECT_EQ(kernel_.pool().InjectedFailures(), 1u);
    for (void* block : blocks) {
        if (block != nullptr) ExFreePool(block);
    }

    auto pattern = [this](std::uint64_t seed) {
        kernel_.pool().FailWithProbability(0.5, seed);
        std::string failures;
        for (int i = 0; i < 32; ++i) {
            void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kDeviceTag);
            failures += block == nullptr ? 'x' : '.';
            if (block != nullptr) ExFreePool(block);
        }
        kernel_.pool().StopFailing();
        return failures;
    };
    const std::string first = pattern(7);
    EXPECT_EQ(pattern(7), first);
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
    EXPECT_EQ(kernel_.pool().LiveTotal().Blocks, 0u);
}

TEST_F(ServicesTest, VirtualClockRecordsDelaysAndAdvancesAtOnce)
{
    const LONGLONG start = kernel_.clock().Now();
    LARGE_INTEGER interval;
    interval.QuadPart = -330'000;  // 33 ms, relative
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    interval.QuadPart = -20'000'000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(kernel_.clock().Delays(), (std::vector<LONGLONG>{-330'000, -20'000'000}));
    EXPECT_EQ(kernel_.clock().Now() - start, 20'330'000);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);

    // An absolute time in the past does not move the clock backwards.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    interval.QuadPart = now.QuadPart - 1000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_EQ(later.QuadPart, now.QuadPart);
}

TEST_F(ServicesTest, FarOffWaitsSaturateInsteadOfWrapping)
{
    LARGE_INTEGER interval;
    interval.QuadPart = INT64_MIN;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    interval.QuadPart = -1;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, INT64_MAX);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, INT64_MAX);
}

// A busy-wait written as the driver writes it ends on the virtual clock, and
// takes as much virtual time as it asked for.
TEST_F(ServicesTest, BusyWaitOnThePerformanceCounterEnds)
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER start = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    int reads = 0;
    for (;;) {
        ++reads;
        LARGE_INTEGER now = KeQueryPerformanceCounter(nullptr);
        now.QuadPart -= start.QuadPart;
        const LARGE_INTEGER ms = RtlExtendedIntegerMultiply(now, 1000);
        if (ms.QuadPart / frequency.QuadPart >= 5) break;
        ASSERT_LT(reads, 1'000'000);
    }
    EXPECT_GE(kernel_.clock().Now(), 50'000);
    EXPECT_TRUE(kernel_.clock().Delays().empty());  // a busy-wait is not a sleep
}

TEST(ServicesArithmetic, ExtendedMultiplyIsSignedAndWraps)
{
    LARGE_INTEGER value;
    value.QuadPart = -3;
    EXPECT_EQ(RtlExtendedIntegerMultiply(value, 7).QuadPart, -21);
    value.QuadPart = 1'000'000'000'000LL;
    EXPECT_EQ(RtlExtendedIntegerMultiply(value, -1000).QuadPart, -1'000'000'000'000'000LL);
    value.QuadPart = INT64_MAX;
    EXPECT_EQ(RtlExtendedIntegerMultiply(value, 2).QuadPart, -2);  // wraps, no trap
    const std::uint8_t a[4] = {1, 2, 3, 4};
    const std::uint8_t b[4] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
}

struct Poller {
    WORK_QUEUE_ITEM Item;
    int Runs = 0;
    int Limit = 0;
};

VOID PollOnce(PVOID parameter)
{
    auto* poller = static_cast<Poller*>(parameter);
    ++poller->Runs;
    LARGE_INTEGER half;
    half.QuadPart = -5'000'000;
    KeDelayExecutionThread(KernelMode, FALSE, &half);
    if (poller->Runs < poller->Limit) ExQueueWorkItem(&poller->Item, DelayedWorkQueue);
}

TEST_F(ServicesTest, SteppedQueueRunsOneItemAtATimeAndAllowsRequeue)
{
    Poller poller;
    poller.Limit = 3;
    ExInitializeWorkItem(&poller.Item, PollOnce, &poller);
    ExQueueWorkItem(&poller.Item, DelayedWorkQueue);
    ExQueueWorkItem(&poller.Item, DelayedWorkQueue);  // already waiting: refused
    EXPECT_EQ(kernel_.workQueue().Refused(), 1u);
    EXPECT_EQ(kernel_.workQueue().Pending(), 1u);
    EXPECT_EQ(poller.Runs, 0);  // nothing runs until the test steps the queue

    EXPECT_TRUE(kernel_.workQueue().RunNext());
    EXPECT_EQ(poller.Runs, 1);
    EXPECT_EQ(kernel_.workQueue().Pending(), 1u);  // re-queued itself
    EXPECT_EQ(kernel_.workQueue().RunUntilIdle(10), 2u);
    EXPECT_EQ(poller.Runs, 3);
    EXPECT_FALSE(kernel_.workQueue().RunNext());
    EXPECT_EQ(kernel_.clock().Delays(), (std::vector<LONGLONG>(3, -5'000'000)));

    ExQueueWorkItem(nullptr, DelayedWorkQueue);
    WORK_QUEUE_ITEM empty{};
    ExQueueWorkItem(&empty, DelayedWorkQueue);
    EXPECT_EQ(kernel_.workQueue().Pending(), 0u);
    EXPECT_EQ(kernel_.workQueue().Refused(), 3u);
}

TEST(ServicesWithoutKernel, CallsFailCleanly)
{
    ASSERT_EQ(CurrentKernel(), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kDeviceTag), nullptr);
    ULONG value = 1;
    EXPECT_FALSE(NT_SUCCESS(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine", u"x", REG_DWORD,
                                                  &value, 4)));
    const LARGE_INTEGER a = KeQueryPerformanceCounter(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(KeQueryPerformanceCounter(nullptr).QuadPart, a.QuadPart);
}

TEST(ServicesScope, ScopedKernelRestoresThePreviousOne)
{
    HostKernel outer;
    HostKernel inner;
    ScopedKernel outerScope(outer);
    {
        ScopedKernel innerScope(inner);
        EXPECT_EQ(CurrentKernel(), &inner);
        void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kDeviceTag);
        EXPECT_EQ(inner.pool().Live(kDeviceTag).Blocks, 1u);
        ExFreePool(block);
    }
    EXPECT_EQ(CurrentKernel(), &outer);
    EXPECT_EQ(outer.pool().Allocations(), 0u);
}

struct Counter {
    WORK_QUEUE_ITEM Item;
    std::atomic<int> Runs{0};
    int Limit = 0;
};

VOID CountAndRequeue(PVOID parameter)
{
    auto* counter = static_cast<Counter*>(parameter);
    if (counter->Runs.fetch_add(1) + 1 < counter->Limit) ExQueueWorkItem(&counter->Item, DelayedWorkQueue);
}

TEST(HostConcurrency, WorkerThreadsRunItemsQueuedFromSeveralThreads)
{
    HostOptions options;
    options.Deterministic = false;
    options.WorkerThreads = 2;
    HostKernel kernel(options);
    ScopedKernel scope(kernel);
    Counter counters[4];
    std::vector<std::thread> queuers;
    for (auto& counter : counters) {
        counter.Limit = 25;
        ExInitializeWorkItem(&counter.Item, CountAndRequeue, &counter);
        queuers.emplace_back([&counter] { ExQueueWorkItem(&counter.Item, DelayedWorkQueue); });
    }
    for (auto& thread : queuers) thread.join();
    // Each chain re-queues itself until its limit; wait until all are done.
    for (int spins = 0; spins < 2000; ++spins) {
        kernel.workQueue().WaitIdle();
        bool done = true;
        for (auto& counter : counters) done = done && counter.Runs.load() == counter.Limit;
        if (done) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& counter : counters) EXPECT_EQ(counter.Runs.load(), 25);
    EXPECT_EQ(kernel.workQueue().Completed(), 100u);
    EXPECT_EQ(kernel.workQueue().Refused(), 0u);
}

TEST(HostConcurrency, RealClockSleepsAndRecordsFromWorkers)
{
    HostOptions options;
    options.Deterministic = false;
    HostKernel kernel(options);
    ScopedKernel scope(kernel);
    Poller poller;
    poller.Limit = 1;
    ExInitializeWorkItem(&poller.Item, [](PVOID parameter) {
        auto* self = static_cast<Poller*>(parameter);
        LARGE_INTEGER interval;
        interval.QuadPart = -10'000;  // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        ++self->Runs;
    }, &poller);
    const LONGLONG before = kernel.clock().Now();
    ExQueueWorkItem(&poller.Item, DelayedWorkQueue);
    kernel.workQueue().WaitIdle();
    EXPECT_EQ(poller.Runs, 1);
    EXPECT_GE(kernel.clock().Now() - before, 10'000);
    EXPECT_EQ(kernel.clock().Delays(), (std::vector<LONGLONG>{-10'000}));
}

}  // namespace
}  // namespace dualcam::host
