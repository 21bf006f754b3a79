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

// A relative wait of one second (100 ns units), as the driver asks for it.
inline constexpr int64_t kOneSecond = -10'000'000;

// The stream class's request callback for tests that send none.
void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK);

// Fill byte of fresh request buffers.
inline constexpr uint8_t kPattern = 0xCD;
// What the stream class preloads into a request's Status.
inline constexpr NTSTATUS kPreloadedStatus = STATUS_PENDING;

// The private sets' buffer layouts, written out as numbers: a field the
// driver moved must fail these tests, not move them along with it.
namespace layout {
inline constexpr ULONG kExtValue = 28;
inline constexpr ULONG kExtName = 40;  // 64 bytes
inline constexpr ULONG kExtNameSize = 64;
inline constexpr ULONG kExtRequest = 104;
inline constexpr ULONG kExtRequestValue = 106;
inline constexpr ULONG kExtRequestIndex = 108;
inline constexpr ULONG kExtRequestLength = 110;
inline constexpr ULONG kExtData = 112;  // 1024 bytes
inline constexpr ULONG kExtDataSize = 1024;
inline constexpr ULONG kVfwCommand = 24;
inline constexpr ULONG kVfwHandleIn = 28;
inline constexpr ULONG kVfwHandleOut = 32;
inline constexpr ULONG kVfwValueName = 44;  // 520 bytes
inline constexpr ULONG kVfwValueNameSize = 520;
inline constexpr ULONG kVfwDataLength = 564;
inline constexpr ULONG kVfwData = 568;  // 520 bytes
inline constexpr ULONG kVfwDataSize = 520;
inline constexpr ULONG kVfwValueType = 1088;
}  // namespace layout

// One property request: the property buffer (the KSPROPERTY-based
// structure the request names), the answer or value buffer, the descriptor
// and the request block. The two buffers are apart, as the stream class
// hands them over, so a handler that reads a field from the wrong one finds
// the pattern there.
class PropertyRequest {
 public:
  // Two buffers of `size` bytes, each holding the KSPROPERTY (set, id) and
  // the pattern elsewhere; input and output sizes both `size`.
  PropertyRequest(const GUID& set, ULONG id, ULONG size);

  // The answer (get) or value (set) buffer; Put* and the readers below use it.
  uint8_t* Bytes() { return buffer_.get(); }
  // The property buffer.
  uint8_t* PropertyBytes() { return property_.get(); }
  void PutPropertyUlong(ULONG offset, uint32_t value) { std::memcpy(PropertyBytes() + offset, &value, 4); }
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
  std::unique_ptr<uint8_t[]> property_;
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
