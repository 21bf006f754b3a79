// Pool memory for the host kernel: tagged blocks with live accounting per
// tag and injected allocation failures.
//
// Hard part: a wrong free (unknown pointer, double free, wrong tag) would
// bring the platform down; here it is refused and counted, so a test can
// assert on it instead of crashing. Fresh blocks are filled with a pattern,
// not zeros, as pool memory is not cleared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <mutex>
#include <random>
#include <unordered_map>

#include "platform/kernel.h"

namespace dualcam::host {

// Four-character tag as the platform stores it: first character in the
// lowest byte, so PoolTag("Wdm ") == 0x206D6457.
constexpr ULONG PoolTag(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// Tag of untagged allocations (ExAllocatePool).
constexpr ULONG kUntaggedPoolTag = PoolTag("None");
// Tag of the strings the kernel allocates for its callers (converted strings,
// interface link names); freed with RtlFreeUnicodeString.
constexpr ULONG kStringPoolTag = PoolTag("Strg");

constexpr std::uint8_t kFreshPoolByte = 0xA5;

struct PoolUsage {
    std::size_t Blocks = 0;
    std::size_t Bytes = 0;
};

class Pool {
public:
    Pool() = default;
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Null on an injected failure or when the host is out of memory.
    void* Allocate(POOL_TYPE type, std::size_t bytes, ULONG tag);
    // Returns false (and counts a bad free) for a pointer that is not a live
    // block, or whose tag differs when expectedTag is given.
    bool Free(void* block, std::optional<ULONG> expectedTag = std::nullopt);

    // Fails the nth allocation from now (1 = the next one); 0 cancels.
    void FailNthAllocation(std::uint64_t nth);
    // Fails each allocation with the given probability, from a seeded
    // generator so a failing run can be repeated.
    void FailWithProbability(double probability, std::uint64_t seed);
    void StopFailing();

    PoolUsage Live(ULONG tag) const;
    PoolUsage LiveTotal() const;
    std::map<ULONG, PoolUsage> LiveByTag() const;
    std::uint64_t Allocations() const;
    std::uint64_t InjectedFailures() const;
    std::uint64_t BadFrees() const;

private:
    struct Block {
        std::size_t Bytes;
        ULONG Tag;
    };
    bool ShouldFail();

    mutable std::mutex mutex_;
    std::unordered_map<void*, Block> blocks_;
    std::map<ULONG, PoolUsage> usage_;
    std::uint64_t allocations_ = 0;
    std::uint64_t failNth_ = 0;
    double failProbability_ = 0.0;
    std::mt19937_64 random_;
    std::uint64_t injected_ = 0;
    std::uint64_t badFrees_ = 0;
};

}  // namespace dualcam::host
