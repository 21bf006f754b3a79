// Pool memory: tagged blocks, live accounting, injected failures.
//
// Hard part: Free must never touch memory it did not hand out; the block
// table, not a header in front of the block, decides what is live.
#include "host/kernel/pool.h"

#include <cstdlib>
#include <cstring>

namespace dualcam::host {

Pool::~Pool()
{
    // Blocks still live here are leaks of the code under test; tests check
    // LiveByTag() before the kernel goes. Release them so the host itself
    // does not leak.
    for (auto& [block, info] : blocks_) std::free(block);
}

bool Pool::ShouldFail()
{
    if (failNth_ != 0) {
        if (--failNth_ == 0) return true;
    }
    if (failProbability_ > 0.0) {
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        if (draw(random_) < failProbability_) return true;
    }
    return false;
}

void* Pool::Allocate(POOL_TYPE, std::size_t bytes, ULONG tag)
{
    std::lock_guard lock(mutex_);
    ++allocations_;
    if (ShouldFail()) {
        ++injected_;
        return nullptr;
    }
    // 16-byte alignment, as pool blocks of this size have on x64.
    const std::size_t rounded = ((bytes == 0 ? 1 : bytes) + 15) & ~std::size_t{15};
    if (rounded < bytes) return nullptr;
    void* block = std::aligned_alloc(16, rounded);
    if (block == nullptr) return nullptr;
    std::memset(block, kFreshPoolByte, rounded);
    blocks_.emplace(block, Block{bytes, tag});
    auto& use = usage_[tag];
    ++use.Blocks;
    use.Bytes += bytes;
    return block;
}

bool Pool::Free(void* block, std::optional<ULONG> expectedTag)
{
    std::lock_guard lock(mutex_);
    auto it = blocks_.find(block);
    if (it == blocks_.end() || (expectedTag && *expectedTag != it->second.Tag)) {
        ++badFrees_;
        return false;
    }
    auto& use = usage_[it->second.Tag];
    --use.Blocks;
    use.Bytes -= it->second.Bytes;
    if (use.Blocks == 0) usage_.erase(it->second.Tag);
    std::memset(block, 0xDD, it->second.Bytes);
    std::free(block);
    blocks_.erase(it);
    return true;
}

void Pool::FailNthAllocation(std::uint64_t nth)
{
    std::lock_guard lock(mutex_);
    failNth_ = nth;
}

void Pool::FailWithProbability(double probability, std::uint64_t seed)
{
    std::lock_guard lock(mutex_);
    failProbability_ = probability;
    random_.seed(seed);
}

void Pool::StopFailing()
{
    std::lock_guard lock(mutex_);
    failNth_ = 0;
    failProbability_ = 0.0;
}

PoolUsage Pool::Live(ULONG tag) const
{
    std::lock_guard lock(mutex_);
    auto it = usage_.find(tag);
    return it == usage_.end() ? PoolUsage{} : it->second;
}

PoolUsage Pool::LiveTotal() const
{
    std::lock_guard lock(mutex_);
    PoolUsage total;
    for (const auto& [tag, use] : usage_) {
        total.Blocks += use.Blocks;
        total.Bytes += use.Bytes;
    }
    return total;
}

std::map<ULONG, PoolUsage> Pool::LiveByTag() const
{
    std::lock_guard lock(mutex_);
    return usage_;
}

std::uint64_t Pool::Allocations() const
{
    std::lock_guard lock(mutex_);
    return allocations_;
}

std::uint64_t Pool::InjectedFailures() const
{
    std::lock_guard lock(mutex_);
    return injected_;
}

std::uint64_t Pool::BadFrees() const
{
    std::lock_guard lock(mutex_);
    return badFrees_;
}

}  // namespace dualcam::host
