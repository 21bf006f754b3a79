// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes
// into choices and fields, the one host world every target of a process
// runs in, and the checks that make a silent fault a crash the fuzzer sees.
//
// Hard part: libFuzzer runs millions of inputs in one process, so nothing
// here may grow with the number of runs (request logs, recorded delays,
// queued work items are cleared per input) and every input must start from
// the same state, or a crash found after a million runs cannot be replayed
// from its input file alone. Pool accounting is compared before and after
// each input: a block that outlives its input is a leak and stops the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/device_context.h"
#include "host/kernel/host_kernel.h"
#include "host/classlib/camera_class_library.h"

namespace dualcam::fuzz {

// Reads the input front to back; past its end every read gives zeros, so a
// short input is still a complete (if dull) case.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  // One of n choices (n >= 1).
  unsigned Pick(unsigned n) { return U8() % n; }
  bool Flag() { return (U8() & 1) != 0; }
  // Up to n bytes (fewer at the end of the input).
  std::span<const uint8_t> Take(std::size_t n);
  std::span<const uint8_t> Rest() { return Take(Left()); }
  std::size_t Left() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Prints what broke and aborts: the fuzzer keeps the input, a gtest
// replaying it dies with the message.
[[noreturn]] void Fail(const char* target, const char* what);
inline void Check(bool ok, const char* target, const char* what) {
  if (!ok) Fail(target, what);
}

// The process-wide world: a deterministic host kernel (in-memory registry,
// virtual clock, stepped work queue, private file root with the snapshot
// folder), the settings and VfW keys, the shared decoder, and one simulated
// camera attached with an empty callback table so that vendor requests
// reach a camera without any driver callback running.
class World {
 public:
  host::HostKernel& Kernel() { return kernel_; }
  host::CameraDevice& Device() { return *device_; }

  // A fresh zero record at the attached camera's context address (so its
  // vendor requests are routed to the camera), with the logs the world
  // keeps emptied. Pool blocks the previous input left in the record must
  // have been freed by then.
  driver::DeviceContext* FreshContext();
  // Empties the settings key.
  void ClearSettingsKey();

  // Live pool blocks and bytes, for the per-input leak check.
  host::PoolUsage PoolNow() const;

 private:
  friend class CaptureBuffers;
  friend World& TheWorld();
  World();
  host::HostKernel kernel_;
  host::ScopedKernel scope_;
  std::unique_ptr<host::CameraDevice> device_;
  USBCAMD_DEVICE_DATA callbacks_{};
  UCHAR* stillBuffer_ = nullptr;
  UCHAR* lastGoodFrame_ = nullptr;
  UCHAR* quantTables_ = nullptr;
  PUSBD_INTERFACE_INFORMATION interface_ = nullptr;
};

World& TheWorld();

// Aborts when the pool holds other blocks than before the input.
void CheckPoolBalanced(const host::PoolUsage& before, const char* target);

// The pool blocks a capture record owns (still buffer, last good frame,
// quantization tables, interface copy), lent to the record for one input.
// They are allocated once per process and refilled with the pool's fresh
// pattern for each input: allocating 600 KB per input under ASan would
// cost more than the input itself.
class CaptureBuffers {
 public:
  CaptureBuffers(driver::DeviceContext* context, USHORT packetSize);
  ~CaptureBuffers();  // takes them back from the record
  CaptureBuffers(const CaptureBuffers&) = delete;
  CaptureBuffers& operator=(const CaptureBuffers&) = delete;

 private:
  driver::DeviceContext* context_;
};

}  // namespace dualcam::fuzz
