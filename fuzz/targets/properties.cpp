// Fuzz target: the device property sets. A sequence of get and set requests
// to every handler of the five sets (and to sets and items the driver does
// not have), with any property and value buffer sizes, one shared buffer or
// two, and any contents: image and exposure controls, frame rates and still
// trigger, the camera extension set (names, raw vendor requests, the
// information block, the still) and the VfW key set (open, set value,
// close).
//
// Hard part: key handles. A handle is a number the driver handed out in an
// earlier answer, which a fuzzer cannot guess, so a request may take the
// last handle this input opened in place of its own bytes; and every handle
// an input opened is closed at its end, after which none may stay open:
// the next input starts with all slots free, and a handle or pool block
// that outlives its input is a leak.
#include <algorithm>
#include <cstring>
#include <vector>

#include "camera/extension_properties.h"
#include "camera/properties.h"
#include "fuzz_support.h"
#include "host/kernel/registry.h"
#include "platform/ks.h"
#include "targets.h"

namespace dualcam::fuzz {
namespace {

using namespace camera;

constexpr const char* kName = "properties";
constexpr ULONG kSizes[] = {0, 8, 23, 24, 32, 39, 40, 48, 56, 63, 64, 112, 1095, 1096, 1135, 1136, 1140};
constexpr ULONG kExtensionIds[] = {CAMEXT_FLICKER,        CAMEXT_UNUSED_7,   CAMEXT_UNUSED_8,
                                   CAMEXT_STILL_CAPTURE,  CAMEXT_READ_INFO,  CAMEXT_WRITE_INFO,
                                   CAMEXT_REGISTRY_DWORD, CAMEXT_VENDOR_READ, CAMEXT_VENDOR_WRITE,
                                   CAMEXT_DECLARED_ONLY};

ULONG Size(FuzzInput& in) {
  const unsigned pick = in.Pick(20);
  if (pick < sizeof kSizes / sizeof kSizes[0]) return kSizes[pick];
  return in.U16() % 1300;
}

struct Request {
  bool set = false;
  std::vector<uint8_t> property, info;  // exactly the sizes the request gives
  bool shared = true;                   // one buffer for both, as the stream class passes
  ULONG inputSize = 0, outputSize = 0;
};

NTSTATUS Send(driver::DeviceContext* ctx, Request& r, ULONG* transferred) {
  STREAM_PROPERTY_DESCRIPTOR descriptor{};
  descriptor.Property = reinterpret_cast<PKSPROPERTY>(r.property.empty() ? nullptr : r.property.data());
  descriptor.PropertyInputSize = r.inputSize;
  descriptor.PropertyOutputSize = r.outputSize;
  descriptor.PropertyInfo = r.shared ? (r.property.empty() ? nullptr : r.property.data())
                                     : (r.info.empty() ? nullptr : r.info.data());
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = r.set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
  srb.Status = STATUS_PENDING;
  srb.ActualBytesTransferred = 0;
  srb.CommandData.PropertyInfo = &descriptor;
  const NTSTATUS status = DevicePropertyHandler(r.set ? kPropertySet : kPropertyGet, nullptr, ctx, &srb);
  Check(status == srb.Status || status == STATUS_NOT_SUPPORTED, kName, "returned status differs from the request's");
  *transferred = srb.ActualBytesTransferred;
  return status;
}

void CloseHandle(driver::DeviceContext* ctx, ULONG handle) {
  Request r;
  r.set = true;
  r.inputSize = r.outputSize = kVfwBufferSize;
  r.property.assign(kVfwBufferSize, 0);
  std::memcpy(r.property.data(), &PROPSETID_VFWWDM_KEY, sizeof(GUID));
  WriteUlongAt(r.property.data(), kVfwCommandOffset, kVfwCommandClose);
  WriteUlongAt(r.property.data(), kVfwHandleInOffset, handle);
  ULONG transferred = 0;
  Send(ctx, r, &transferred);
}

}  // namespace

int FuzzProperties(const uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  world.ClearSettingsKey();
  host::Registry& registry = world.Kernel().registry();
  for (const host::NamedValue& value : registry.ListValues(host::kVfwKeyPath))
    registry.DeleteValue(host::kVfwKeyPath, value.Name);
  const host::PoolUsage before = world.PoolNow();
  const std::size_t handlesBefore = world.Kernel().OpenHandles();
  Check(OpenVfwKeyHandles() == 0, kName, "key handles open before the input");

  FuzzInput in(data, size);
  std::vector<ULONG> opened;
  {
    driver::DeviceContext* ctx = world.FreshContext();
    CaptureBuffers buffers(ctx, 1023);
    ctx->DriverStatus.store(in.Flag() ? 5 : 3);
    for (unsigned n = 0; n < 64 && in.Left() > 0; ++n) {
      Request r;
      r.set = in.Flag();
      GUID set;
      switch (in.Pick(7)) {
        case 0: set = PROPSETID_VIDCAP_VIDEOPROCAMP; break;
        case 1: set = PROPSETID_VIDCAP_CAMERACONTROL; break;
        case 2: set = PROPSETID_VIDCAP_VIDEOCONTROL; break;
        case 3: set = PROPSETID_CAMERA_EXTENSION; break;
        case 4: set = PROPSETID_VFWWDM_KEY; break;
        case 5: set = PROPSETID_CAMERA_EXTENSION; set.Data4[7] ^= 1; break;  // a near miss
        default: { const auto bytes = in.Take(sizeof set); set = GUID{}; if (!bytes.empty()) std::memcpy(&set, bytes.data(), bytes.size()); }
      }
      ULONG id;
      switch (in.Pick(3)) {
        case 0: id = in.U8() % 16; break;
        case 1: id = kExtensionIds[in.Pick(sizeof kExtensionIds / sizeof kExtensionIds[0])]; break;
        default: id = in.U32(); break;
      }
      const ULONG flags = in.Flag() ? (r.set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET) : in.U32();
      r.inputSize = Size(in);
      r.outputSize = Size(in);
      r.shared = in.Pick(4) != 0;
      const ULONG propertyBytes = r.shared ? std::max(r.inputSize, r.outputSize) : r.inputSize;
      r.property.assign(propertyBytes, 0);
      if (!r.shared) r.info.assign(r.outputSize, 0);
      std::vector<uint8_t>& body = r.shared ? r.property : r.info;
      // Contents after the request header, then the header itself.
      const auto contents = in.Take(in.U16() % 1200);
      if (!body.empty() && !contents.empty())
        std::memcpy(body.data(), contents.data(), std::min(contents.size(), body.size()));
      KSPROPERTY header{set, id, flags};
      if (!r.property.empty())
        std::memcpy(r.property.data(), &header, std::min<std::size_t>(sizeof header, r.property.size()));
      if (!opened.empty() && in.Flag()) {
        if (r.property.size() >= kVfwHandleInOffset + 4) WriteUlongAt(r.property.data(), kVfwHandleInOffset, opened.back());
        if (body.size() >= kVfwHandleInOffset + 4) WriteUlongAt(body.data(), kVfwHandleInOffset, opened.back());
      }

      ULONG transferred = 0;
      const NTSTATUS status = Send(ctx, r, &transferred);
      if (NT_SUCCESS(status)) Check(transferred <= r.outputSize, kName, "an answer longer than its buffer");
      if (IsEqualGUID(set, PROPSETID_VFWWDM_KEY) && !r.set && status == STATUS_SUCCESS &&
          body.size() >= kVfwHandleOutOffset + 4)
        opened.push_back(ReadUlongAt(body.data(), kVfwHandleOutOffset));
      Check(OpenVfwKeyHandles() <= kVfwHandleSlots, kName, "more key handles than slots");
    }
    for (ULONG handle : opened) CloseHandle(ctx, handle);
    world.Kernel().workQueue().Discard();
  }
  Check(OpenVfwKeyHandles() == 0, kName, "a key handle outlived its close");
  Check(world.Kernel().OpenHandles() == handlesBefore, kName, "a kernel handle outlived the input");
  CheckPoolBalanced(before, kName);
  return 0;
}

}  // namespace dualcam::fuzz
