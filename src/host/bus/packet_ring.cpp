// The packet ring (see packet_ring.h).
#include "host/bus/packet_ring.h"

#include <algorithm>
#include <cstring>

namespace dualcam::host::bus {

void PacketRing::Reset(std::size_t slots, uint32_t slot_size) {
  std::lock_guard lock(mutex_);
  slots = std::max<std::size_t>(slots, 2);
  slot_size_ = slot_size;
  bytes_.assign(slots * slot_size, 0);
  slots_.assign(slots, Slot{});
  head_ = count_ = 0;
  lost_run_ = dropped_ = 0;
  ++generation_;
}

void PacketRing::Clear() {
  std::lock_guard lock(mutex_);
  head_ = count_ = 0;
  lost_run_ = 0;
  ++generation_;
}

bool PacketRing::PutLocked(std::span<const uint8_t> bytes, PacketStatus status) {
  if (slots_.empty() || count_ == slots_.size()) return false;
  const std::size_t at = (head_ + count_) % slots_.size();
  const std::size_t n = std::min<std::size_t>(bytes.size(), slot_size_);
  if (n) std::memcpy(bytes_.data() + at * slot_size_, bytes.data(), n);
  slots_[at] = {static_cast<uint32_t>(n), bytes.size() > slot_size_ ? PacketStatus::kOverflow : status};
  ++count_;
  return true;
}

PacketRing::Writer::~Writer() {
  const bool notify = pushed_;
  lock_.unlock();
  if (notify) ring_.ready_.notify_all();
}

void PacketRing::Writer::Push(std::span<const uint8_t> bytes, PacketStatus status) {
  PacketRing& r = ring_;
  if (r.lost_run_ > 0) {
    // The run of lost packets takes its place first, as one missed packet.
    if (!r.PutLocked({}, PacketStatus::kMissed)) {
      ++r.lost_run_;
      ++r.dropped_;
      return;
    }
    r.lost_run_ = 0;
    pushed_ = true;
  }
  if (!r.PutLocked(bytes, status)) {
    ++r.lost_run_;
    ++r.dropped_;
    return;
  }
  pushed_ = true;
}

bool PacketRing::Wait(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  ready_.wait_until(lock, deadline, [&] { return count_ > 0 || woken_; });
  woken_ = false;
  return count_ > 0;
}

void PacketRing::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  ready_.notify_all();
}

unsigned PacketRing::Drain(PacketSink& sink) {
  std::size_t head, count;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    head = head_;
    count = count_;
    generation = generation_;
  }
  // The batch's slots stay the consumer's until released below: the producer
  // writes only past head + count.
  std::size_t used = 0;
  while (used < count) {
    const std::size_t at = (head + used) % slots_.size();
    const Slot slot = slots_[at];
    ++used;
    if (!sink.Packet({bytes_.data() + at * slot_size_, slot.length}, slot.status)) break;
  }
  std::lock_guard lock(mutex_);
  if (generation == generation_) {
    head_ = (head_ + used) % slots_.size();
    count_ -= used;
  }
  return static_cast<unsigned>(used);
}

std::size_t PacketRing::Waiting() const {
  std::lock_guard lock(mutex_);
  return count_;
}

uint64_t PacketRing::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace dualcam::host::bus
