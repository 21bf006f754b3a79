// Delayed work queue: stepped or threaded.
//
// Hard part: the routine is read from the item before it runs, and the item
// leaves the waiting list before its routine starts, so the routine may queue
// the same item again (or free it) without the queue touching it afterwards.
#include "host/kernel/work_queue.h"

#include <algorithm>

namespace dualcam::host {

WorkQueue::WorkQueue(unsigned workerThreads)
{
    for (unsigned i = 0; i < workerThreads; ++i) workers_.emplace_back([this] { WorkerLoop(); });
}

WorkQueue::~WorkQueue()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        items_.clear();
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
}

bool WorkQueue::Queue(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE)
{
    {
        std::lock_guard lock(mutex_);
        if (item == nullptr || item->WorkerRoutine == nullptr || stopping_ ||
            std::find(items_.begin(), items_.end(), item) != items_.end()) {
            ++refused_;
            return false;
        }
        items_.push_back(item);
    }
    wake_.notify_one();
    return true;
}

bool WorkQueue::RunNext()
{
    PWORKER_THREAD_ROUTINE routine;
    PVOID parameter;
    {
        std::lock_guard lock(mutex_);
        if (items_.empty()) return false;
        PWORK_QUEUE_ITEM item = items_.front();
        items_.pop_front();
        routine = item->WorkerRoutine;
        parameter = item->Parameter;
        ++running_;
        runningParameters_.push_back(parameter);
    }
    routine(parameter);
    {
        std::lock_guard lock(mutex_);
        --running_;
        ++completed_;
        runningParameters_.erase(std::find(runningParameters_.begin(), runningParameters_.end(), parameter));
    }
    idle_.notify_all();
    return true;
}

std::size_t WorkQueue::RunUntilIdle(std::size_t maxItems)
{
    std::size_t ran = 0;
    while (ran < maxItems && RunNext()) ++ran;
    return ran;
}

std::size_t WorkQueue::Pending() const
{
    std::lock_guard lock(mutex_);
    return items_.size();
}

void WorkQueue::WaitIdle()
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return (items_.empty() && running_ == 0) || stopping_; });
}

void WorkQueue::WaitForParameter(PVOID parameter)
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] {
        const bool waiting = std::any_of(items_.begin(), items_.end(),
                                         [&](PWORK_QUEUE_ITEM item) { return item->Parameter == parameter; });
        const bool running =
            std::find(runningParameters_.begin(), runningParameters_.end(), parameter) != runningParameters_.end();
        return stopping_ || (!waiting && !running);
    });
}

std::uint64_t WorkQueue::Refused() const
{
    std::lock_guard lock(mutex_);
    return refused_;
}

std::uint64_t WorkQueue::Completed() const
{
    std::lock_guard lock(mutex_);
    return completed_;
}

std::size_t WorkQueue::Discard()
{
    std::lock_guard lock(mutex_);
    const std::size_t dropped = items_.size();
    items_.clear();
    idle_.notify_all();
    return dropped;
}

void WorkQueue::WorkerLoop()
{
    for (;;) {
        PWORKER_THREAD_ROUTINE routine;
        PVOID parameter;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
            if (stopping_) return;
            PWORK_QUEUE_ITEM item = items_.front();
            items_.pop_front();
            routine = item->WorkerRoutine;
            parameter = item->Parameter;
            ++running_;
            runningParameters_.push_back(parameter);
        }
        routine(parameter);
        {
            std::lock_guard lock(mutex_);
            --running_;
            ++completed_;
            runningParameters_.erase(std::find(runningParameters_.begin(), runningParameters_.end(), parameter));
        }
        idle_.notify_all();
    }
}

}  // namespace dualcam::host
