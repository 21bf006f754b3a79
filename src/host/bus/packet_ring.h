// The ring of packet slots between a live bus's transfer completions (one
// producer thread, the USB library's event thread) and the class library's
// pumping thread (one consumer at a time, under the device's lock).
//
// Hard part: neither side may wait on the other for long, and nothing may
// allocate once the stream runs. The slots are allocated when the stream
// starts; a completion copies its packets in under the lock (one lock a
// transfer, not a packet); the consumer takes a batch of filled slots under
// the lock and hands them to the minidriver in place without it (the
// producer only ever writes free slots), then frees what it used. When the
// consumer falls behind and the ring is full, packets are dropped, and the
// first slot that frees up carries one kMissed packet for the whole run, in
// its place in the stream, so the minidriver sees that packets were lost
// where they were lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "host/bus/usb_device.h"

namespace dualcam::host::bus {

class PacketRing {
 public:
  // Slots of `slot_size` bytes; empties the ring. Not while either side runs.
  void Reset(std::size_t slots, uint32_t slot_size);
  void Clear();

  // --- Producer ---
  class Writer {
   public:
    explicit Writer(PacketRing& ring) : ring_(ring), lock_(ring.mutex_) {}
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    // Bytes beyond the slot size are cut (the packet then reads as kOverflow).
    void Push(std::span<const uint8_t> bytes, PacketStatus status);

   private:
    PacketRing& ring_;
    std::unique_lock<std::mutex> lock_;
    bool pushed_ = false;
  };

  // --- Consumer ---
  // Until packets wait, Wake is called, or the deadline passes; true when
  // packets wait.
  bool Wait(std::chrono::steady_clock::time_point deadline);
  // Wakes a Wait in progress, or the next one if none is.
  void Wake();
  // Hands waiting packets to the sink in order until none is left or it
  // stops; returns how many were handed over.
  unsigned Drain(PacketSink& sink);

  std::size_t Waiting() const;
  uint64_t Dropped() const;  // packets lost to a full ring since Reset

 private:
  struct Slot {
    uint32_t length = 0;
    PacketStatus status = PacketStatus::kOk;
  };
  bool PutLocked(std::span<const uint8_t> bytes, PacketStatus status);

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<uint8_t> bytes_;  // slots x slot_size
  std::vector<Slot> slots_;
  uint32_t slot_size_ = 0;
  std::size_t head_ = 0;   // first waiting slot
  std::size_t count_ = 0;  // waiting slots
  uint64_t generation_ = 0;  // bumped by Clear, so a batch in hand is not freed twice
  uint64_t lost_run_ = 0;    // packets dropped since the last slot was free
  uint64_t dropped_ = 0;
  bool woken_ = false;
};

}  // namespace dualcam::host::bus
