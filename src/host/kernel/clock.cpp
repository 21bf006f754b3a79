// Real and virtual time for the host kernel.
//
// Hard part: the delay hook runs without the lock held, because it may run
// code that sleeps again.
#include "host/kernel/clock.h"

#include <chrono>
#include <thread>

namespace dualcam::host {
namespace {

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochIn1601 = 116'444'736'000'000'000LL;
// Virtual system time starts at 2000-01-01 00:00 UTC, a fixed, plausible date.
constexpr LONGLONG kVirtualStart = kUnixEpochIn1601 + 946'684'800LL * 10'000'000LL;

std::int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

LONGLONG VirtualSystemTime(LONGLONG sinceStart)
{
    return sinceStart > INT64_MAX - kVirtualStart ? INT64_MAX : kVirtualStart + sinceStart;
}

LONGLONG RealSystemTime()
{
    const auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    return kUnixEpochIn1601 + sinceUnix / 100;
}

}  // namespace

Clock::Clock(bool virtualTime, LONGLONG counterStep)
    : virtual_(virtualTime), counterStep_(counterStep > 0 ? counterStep : 1), startNs_(SteadyNs())
{
}

LONGLONG Clock::RealNow() const { return (SteadyNs() - startNs_) / 100; }

void Clock::Delay(LONGLONG interval)
{
    std::function<void(LONGLONG)> hook;
    LONGLONG wait = 0;
    {
        std::lock_guard lock(mutex_);
        delays_.push_back(interval);
        hook = hook_;
        if (interval < 0) {
            wait = interval == INT64_MIN ? INT64_MAX : -interval;
        } else {
            const LONGLONG now = virtual_ ? VirtualSystemTime(virtualNow_) : RealSystemTime();
            wait = interval > now ? interval - now : 0;
        }
        // Saturate: a far-off wake-up time must not wrap the clock round.
        if (virtual_) virtualNow_ = wait > INT64_MAX - virtualNow_ ? INT64_MAX : virtualNow_ + wait;
    }
    if (!virtual_ && wait > 0) std::this_thread::sleep_for(std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>(wait));
    if (!virtual_ && wait == 0) std::this_thread::yield();
    if (hook) hook(interval);
}

void Clock::Stall(ULONG microseconds)
{
    if (virtual_) {
        Advance(static_cast<LONGLONG>(microseconds) * 10);
        return;
    }
    const std::int64_t until = SteadyNs() + static_cast<std::int64_t>(microseconds) * 1000;
    while (SteadyNs() < until) {
    }
}

LONGLONG Clock::Counter()
{
    if (!virtual_) return RealNow();
    std::lock_guard lock(mutex_);
    if (virtualNow_ <= INT64_MAX - counterStep_) virtualNow_ += counterStep_;
    return virtualNow_;
}

LONGLONG Clock::SystemTime()
{
    if (virtual_) {
        std::lock_guard lock(mutex_);
        return VirtualSystemTime(virtualNow_);
    }
    return RealSystemTime();
}

std::vector<LONGLONG> Clock::Delays() const
{
    std::lock_guard lock(mutex_);
    return delays_;
}

void Clock::ClearDelays()
{
    std::lock_guard lock(mutex_);
    delays_.clear();
}

void Clock::Advance(LONGLONG units)
{
    if (!virtual_ || units <= 0) return;
    std::lock_guard lock(mutex_);
    virtualNow_ = units > INT64_MAX - virtualNow_ ? INT64_MAX : virtualNow_ + units;
}

LONGLONG Clock::Now() const
{
    if (!virtual_) return RealNow();
    std::lock_guard lock(mutex_);
    return virtualNow_;
}

void Clock::SetDelayHook(std::function<void(LONGLONG)> hook)
{
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

}  // namespace dualcam::host
