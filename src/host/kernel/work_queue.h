// The delayed work queue of the host kernel (ExQueueWorkItem): worker
// threads in real runs, a queue stepped by the test in deterministic runs.
//
// Hard part: an item queued again while it is still waiting would corrupt
// the platform's list; here the second queueing is refused and counted. An
// item may re-queue itself from its own routine, which is the normal case
// for a polling routine.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel.h"

namespace dualcam::host {

class WorkQueue {
public:
    // workerThreads == 0: stepped; the owner runs items with RunNext().
    explicit WorkQueue(unsigned workerThreads);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // False (and counted) for a null item or routine, or an item already waiting.
    bool Queue(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type);

    bool Stepped() const { return workers_.empty(); }
    // Stepped queue: runs the oldest waiting item on the calling thread.
    // Returns false when nothing was waiting.
    bool RunNext();
    // Runs items until none waits or maxItems have run; returns the count.
    std::size_t RunUntilIdle(std::size_t maxItems);
    std::size_t Pending() const;
    // Threaded queue: waits until no item waits or runs.
    void WaitIdle();
    // Items that were refused by Queue.
    std::uint64_t Refused() const;
    // Items run so far.
    std::uint64_t Completed() const;
    // Drops waiting items (they never run); returns how many were dropped.
    std::size_t Discard();
    // Threaded queue: waits until no item with this parameter waits or runs
    // (a routine that stops queueing itself ends the wait). Lets an owner
    // free the record an item points at without relying on a sleep.
    void WaitForParameter(PVOID parameter);

private:
    void WorkerLoop();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<PWORK_QUEUE_ITEM> items_;
    std::vector<std::thread> workers_;
    unsigned running_ = 0;
    std::vector<PVOID> runningParameters_;
    bool stopping_ = false;
    std::uint64_t refused_ = 0;
    std::uint64_t completed_ = 0;
};

}  // namespace dualcam::host
