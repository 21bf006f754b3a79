// The fuzz targets' shared world and checks; see fuzz_support.h.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include "driver/lifecycle.h"
#include "host/bus/sim_bus.h"
#include "pipeline/render.h"
#include "platform/usbcamd.h"

namespace dualcam::fuzz {
namespace {

void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK) {}
void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }
const decoder::DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};

}  // namespace

std::span<const uint8_t> FuzzInput::Take(std::size_t n) {
  const std::size_t count = std::min(n, Left());
  std::span<const uint8_t> part(data_ + pos_, count);
  pos_ += count;
  return part;
}

void Fail(const char* target, const char* what) {
  std::fprintf(stderr, "fuzz target %s: %s\n", target, what);
  std::fflush(stderr);
  std::abort();
}

World::World() : kernel_(host::HostOptions::ForTests()), scope_(kernel_) {
  if (host::InstallSettingsKey(kernel_.registry()) != STATUS_SUCCESS ||
      host::InstallVfwKey(kernel_.registry()) != STATUS_SUCCESS)
    Fail("world", "cannot install the registry keys");
  std::filesystem::create_directories(kernel_.fileRoot() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730");
  if (USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, 4, IgnoreRequest) != STATUS_SUCCESS)
    Fail("world", "cannot register with the class library");
  host::CameraDevice::Options options;
  options.Bus = std::make_shared<host::bus::SimBus>();
  options.DeviceData = &callbacks_;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  device_ = host::CameraDevice::Attach(options, &status);
  if (!device_ || status != STATUS_SUCCESS) Fail("world", "cannot attach the simulated camera");
  // The driver-wide decoder is held for the whole process, as an attached
  // device holds it in service.
  if (pipeline::SharedDecoderAcquire(&kHeap) != 1) Fail("world", "cannot set up the shared decoder");
  auto allocate = [](std::size_t bytes) {
    return static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, driver::kDriverPoolTag));
  };
  stillBuffer_ = allocate(driver::kStillBufferSize);
  lastGoodFrame_ = allocate(driver::kLastGoodFrameSize);
  quantTables_ = allocate(driver::kQuantTablesSize);
  interface_ = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(allocate(GET_USBD_INTERFACE_SIZE(1)));
  if (!stillBuffer_ || !lastGoodFrame_ || !quantTables_ || !interface_) Fail("world", "no pool for the capture buffers");
}

World& TheWorld() {
  // Never destroyed: the process ends with the fuzzer, and tearing the
  // kernel down from a static destructor would race the fuzzer's exit.
  static World* world = new World();
  return *world;
}

driver::DeviceContext* World::FreshContext() {
  static_cast<host::bus::SimBus&>(device_->Bus()).Camera().ClearRequestLog();
  kernel_.clock().ClearDelays();
  kernel_.workQueue().Discard();
  return new (device_->DeviceContext()) driver::DeviceContext{};
}

void World::ClearSettingsKey() {
  for (const host::NamedValue& value : kernel_.registry().ListValues(host::kSettingsKeyPath))
    kernel_.registry().DeleteValue(host::kSettingsKeyPath, value.Name);
}

host::PoolUsage World::PoolNow() const {
  return const_cast<host::HostKernel&>(kernel_).pool().LiveTotal();
}

void CheckPoolBalanced(const host::PoolUsage& before, const char* target) {
  const host::PoolUsage after = TheWorld().PoolNow();
  if (after.Blocks != before.Blocks || after.Bytes != before.Bytes) {
    std::fprintf(stderr, "pool: %zu blocks / %zu bytes before, %zu / %zu after\n", before.Blocks, before.Bytes,
                 after.Blocks, after.Bytes);
    Fail(target, "pool blocks outlived the input");
  }
}

CaptureBuffers::CaptureBuffers(driver::DeviceContext* context, USHORT packetSize) : context_(context) {
  World& world = TheWorld();
  std::memset(world.stillBuffer_, host::kFreshPoolByte, driver::kStillBufferSize);
  std::memset(world.lastGoodFrame_, host::kFreshPoolByte, driver::kLastGoodFrameSize);
  driver::FillQuantTables(world.quantTables_);
  const ULONG size = GET_USBD_INTERFACE_SIZE(1);
  std::memset(world.interface_, 0, size);
  world.interface_->Length = static_cast<USHORT>(size);
  world.interface_->NumberOfPipes = 1;
  world.interface_->AlternateSetting = packetSize == 0 ? 0 : 5;
  world.interface_->Pipes[0].MaximumPacketSize = packetSize;
  context->StillBuffer = world.stillBuffer_;
  context->LastGoodFrame = world.lastGoodFrame_;
  context->QuantTables = world.quantTables_;
  context->InterfaceCopy = world.interface_;
}

CaptureBuffers::~CaptureBuffers() {
  context_->StillBuffer = nullptr;
  context_->LastGoodFrame = nullptr;
  context_->QuantTables = nullptr;
  context_->InterfaceCopy = nullptr;
}

}  // namespace dualcam::fuzz
