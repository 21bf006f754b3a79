// A world for the property-set tests: a deterministic host kernel (virtual
// clock that records every sleep, in-memory registry with the settings key
// and the VfW key), a simulated camera reached through the host's camera
// class library, a device record bound to it, and property requests built
// as the stream class builds them (a request block whose descriptor points
// at the caller's buffer).
//
// Hard part: a request buffer is allocated at exactly its stated size and
// the tests fill it with a pattern first, so a handler that writes past the
// sizes it was given shows either under the address sanitizer or as a
// changed pattern byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera/extension_properties.h"
#include "camera/properties.h"
#include "driver/device_context.h"
#include "host/kernel/host_kernel.h"
#include "host/sim/sim_camera.h"
#include "platform/streamclass.h"

namespace dualcam::props::testing {

// Fill byte of fresh request buffers.
inline constexpr uint8_t kPattern = 0xCD;
// What the stream class preloads into a request's Status.
inline constexpr NTSTATUS kPreloadedStatus = STATUS_PENDING;

// One property request: its buffer (the property structure and the answer
// share it, as they do for the video-capture sets), the descriptor and the
// request block.
class PropertyRequest {
 public:
  // A buffer of `size` bytes holding the KSPROPERTY (set, id) and the
  // pattern elsewhere; input and output sizes both `size`.
  PropertyRequest(const GUID& set, ULONG id, ULONG size);

  uint8_t* Bytes() { return buffer_.get(); }
  ULONG Size() const { return size_; }
  // The sizes the request states (the buffer itself keeps its size).
  void SetInputSize(ULONG size) { descriptor_.PropertyInputSize = size; }
  void SetOutputSize(ULONG size) { descriptor_.PropertyOutputSize = size; }
  // The request block, pointing at this request's descriptor and buffer.
  PHW_STREAM_REQUEST_BLOCK Srb();
  PSTREAM_PROPERTY_DESCRIPTOR Descriptor() { return &descriptor_; }

  void PutUlong(ULONG offset, uint32_t value) { std::memcpy(Bytes() + offset, &value, 4); }
  void PutUshort(ULONG offset, uint16_t value) { std::memcpy(Bytes() + offset, &value, 2); }
  void PutText(ULONG offset, const std::string& text);      // with its terminator
  void PutWide(ULONG offset, const std::u16string& text);   // with its terminator
  uint32_t Ulong(ULONG offset) const;
  int64_t Longlong(ULONG offset) const;
  std::vector<uint8_t> Range(ULONG offset, ULONG length) const;
  // True when every byte from offset to the end still holds the pattern.
  bool PatternFrom(ULONG offset) const;

  NTSTATUS Status() const { return srb_.Status; }
  ULONG Transferred() const { return srb_.ActualBytesTransferred; }

 private:
  std::unique_ptr<uint8_t[]> buffer_;
  ULONG size_;
  STREAM_PROPERTY_DESCRIPTOR descriptor_{};
  HW_STREAM_REQUEST_BLOCK srb_{};
};

// The image-control and exposure structure with Value and Flags set.
PropertyRequest ControlRequest(const GUID& set, ULONG id, uint32_t value = 0, uint32_t flags = 0);
// A camera extension request (1136 bytes) with Value set.
PropertyRequest ExtensionRequest(ULONG id, uint32_t value = 0);
// A VfW key request (1096 bytes) with Command and the handle given.
PropertyRequest VfwRequest(uint32_t command = 0, uint32_t handle = 0);

class PropsWorld : public ::testing::Test {
 protected:
  PropsWorld();
  ~PropsWorld() override;
  void SetUp() override;
  void TearDown() override;

  driver::DeviceContext* Context() { return context_; }
  host::HostKernel& Kernel();
  host::sim::SimCamera& Camera();

  NTSTATUS Get(PropertyRequest& request);
  NTSTATUS Set(PropertyRequest& request);

  std::vector<std::string> Requests() const;
  void ClearRequests();
  std::vector<int64_t> Delays() const;
  void ClearDelays();
  // Runs after each sleep of the driver (on the sleeping thread).
  void OnDelay(std::function<void(int64_t)> hook);

  // Values of the settings key.
  std::optional<uint32_t> Dword(const std::string& name) const;
  std::vector<std::string> ValueNames() const;
  void ClearSettings();

  // The device's still buffer (allocated here; the device callbacks that
  // would allocate it are not run).
  uint8_t* StillBuffer() { return still_.data(); }

 private:
  struct World;
  std::unique_ptr<World> world_;
  driver::DeviceContext* context_ = nullptr;
  std::vector<uint8_t> still_;
};

// Request lines as the simulated camera formats them.
std::string Out(uint8_t request, uint16_t value, uint16_t index);
std::string RegisterWrite(uint16_t reg, uint16_t value);
std::string FirmwareWrite(uint16_t variable, uint16_t value);

}  // namespace dualcam::props::testing
