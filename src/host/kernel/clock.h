// Time for the host kernel: sleeps, busy-waits and the performance counter,
// on the machine's clock in real runs and on a virtual clock in tests.
//
// Hard part: a busy-wait reads the counter until enough time has passed; on
// a virtual clock nothing else moves time, so every counter read advances it
// by a fixed step, or a busy-wait would never end. Sleeps advance the
// virtual clock by their interval at once.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/kernel.h"

namespace dualcam::host {

class Clock {
public:
    // Counter frequency in both modes: one tick per 100 ns.
    static constexpr LONGLONG kFrequency = 10'000'000;

    Clock(bool virtualTime, LONGLONG counterStep);

    // Interval as KeDelayExecutionThread takes it, in 100 ns units:
    // negative = relative, positive = absolute system time. Recorded as given.
    void Delay(LONGLONG interval);
    void Stall(ULONG microseconds);
    LONGLONG Counter();
    // 100 ns units since 1601-01-01 (UTC).
    LONGLONG SystemTime();

    bool IsVirtual() const { return virtual_; }
    // Every interval passed to Delay, in order.
    std::vector<LONGLONG> Delays() const;
    void ClearDelays();
    // Moves virtual time on (no effect on a real clock).
    void Advance(LONGLONG units);
    LONGLONG Now() const;  // 100 ns units since the clock started
    // Called (outside the clock's lock) after each recorded delay, e.g. to run
    // work that would have run on another thread during the sleep.
    void SetDelayHook(std::function<void(LONGLONG interval)> hook);

private:
    LONGLONG RealNow() const;

    const bool virtual_;
    const LONGLONG counterStep_;
    mutable std::mutex mutex_;
    LONGLONG virtualNow_ = 0;
    std::vector<LONGLONG> delays_;
    std::function<void(LONGLONG)> hook_;
    std::int64_t startNs_ = 0;
};

}  // namespace dualcam::host
