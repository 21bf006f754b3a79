// Stand-in device bring-up and capture set-up around the driver's packet and
// frame routines; see stream_harness.h.
#include "stream_harness.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <gtest/gtest.h>

#include "camera/vendor.h"
#include "host/encoder/encoder.h"
#include "host/host_kernel.h"
#include "pipeline/frame.h"
#include "pipeline/packet.h"
#include "pipeline/picture.h"
#include "pipeline/render.h"
#include "platform/usbcamd.h"

namespace dualcam::framepath::testing {
namespace {

using driver::DeviceContext;

constexpr ULONG kPoolTag = 0x206D6457;  // "Wdm "

void IgnoreRequest(PHW_STREAM_REQUEST_BLOCK) {}
void* HeapAllocate(std::size_t bytes, void*) { return std::malloc(bytes); }
void HeapRelease(void* block, void*) { std::free(block); }
const decoder::DecoderAllocator kHeap = {HeapAllocate, HeapRelease, nullptr};

DeviceContext* Ctx(PVOID context) { return static_cast<DeviceContext*>(context); }

NTSTATUS Configure(PDEVICE_OBJECT, PVOID context, PUSBD_INTERFACE_INFORMATION iface,
                   PUSB_CONFIGURATION_DESCRIPTOR, PLONG, PLONG) {
  DeviceContext* ctx = new (context) DeviceContext{};
  auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, iface->Length, kPoolTag));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(copy, iface, iface->Length);
  ctx->InterfaceCopy = copy;
  return STATUS_SUCCESS;
}

NTSTATUS Initialize(PDEVICE_OBJECT, PVOID context) {
  DeviceContext* ctx = Ctx(context);
  // Pool blocks come back filled with stale bytes, as in service: the frame
  // path must not take LastGoodFrame's contents for a picture.
  ctx->StillBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, driver::kStillBufferSize, kPoolTag));
  ctx->LastGoodFrame =
      static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, driver::kLastGoodFrameSize, kPoolTag));
  ctx->QuantTables = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, driver::kQuantTablesSize, kPoolTag));
  if (!ctx->StillBuffer || !ctx->LastGoodFrame || !ctx->QuantTables) return STATUS_INSUFFICIENT_RESOURCES;
  for (int k = 0; k < encoder::kQualityCount; ++k) {
    const encoder::QuantPair& pair = encoder::CameraQuantPair(k);
    std::memcpy(ctx->QuantTables + k * 128, pair.luma, 64);
    std::memcpy(ctx->QuantTables + k * 128 + 64, pair.chroma, 64);
  }
  if (pipeline::SharedDecoderAcquire(&kHeap) != 1) return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}

NTSTATUS UnInitialize(PDEVICE_OBJECT, PVOID context) {
  DeviceContext* ctx = Ctx(context);
  for (UCHAR** block : {&ctx->StillBuffer, &ctx->LastGoodFrame, &ctx->QuantTables}) {
    if (*block) ExFreePool(*block);
    *block = nullptr;
  }
  if (ctx->InterfaceCopy) ExFreePool(ctx->InterfaceCopy);
  ctx->InterfaceCopy = nullptr;
  pipeline::SharedDecoderRelease();
  return STATUS_SUCCESS;
}

USHORT SizeIndexOf(int width, int height) {
  static constexpr int kSizes[7][2] = {{128, 96}, {160, 120}, {176, 144}, {240, 180},
                                       {320, 240}, {352, 288}, {640, 480}};
  for (USHORT i = 0; i < 7; ++i)
    if (kSizes[i][0] == width && kSizes[i][1] == height) return static_cast<USHORT>(i + 1);
  return 0;
}

NTSTATUS AllocateBandwidth(PDEVICE_OBJECT, PVOID context, PULONG rawFrameLength, PVOID format) {
  DeviceContext* ctx = Ctx(context);
  const auto* f = static_cast<const CaptureFormat*>(format);
  *rawFrameLength = 0;
  ctx->FormatWidth = f->Width;
  ctx->FormatHeight = f->Height;
  ctx->OutputCompression = f->Compression;
  for (auto* flag : {&ctx->StillReady, &ctx->StillRequested}) flag->store(0);
  for (auto* flag : {&ctx->StillFrame, &ctx->StillCollecting, &ctx->StillToSave}) flag->store(0);
  ctx->StillFailCount = 0;
  ctx->FrameCounter = 0;
  ctx->PacketErrorCount = 0;
  if (const pipeline::SizePlanEntry* plan = pipeline::FindSizePlan(f->Width, f->Height)) {
    ctx->SizeIndex = SizeIndexOf(f->Width, f->Height);
    ctx->QualityIndex = 3;
    ctx->RawWidth = plan->RawWidth;
    ctx->RawHeight = plan->RawHeight;
    ctx->RawBitsPerPixel = 12;
  }
  ctx->InterfaceCopy->AlternateSetting = f->AlternateSetting;
  const NTSTATUS status = USBCAMD_SelectAlternateInterface(context, ctx->InterfaceCopy);
  if (!NT_SUCCESS(status)) return status;
  const ULONG p = ctx->InterfaceCopy->Pipes[0].MaximumPacketSize;
  const ULONG rawBytes = (ctx->RawBitsPerPixel * ctx->RawHeight * ctx->RawWidth) >> 3;
  if (p > 1) *rawFrameLength = p * ((p + rawBytes + 13) / (p - 1));
  return STATUS_SUCCESS;
}

NTSTATUS StartCapture(PDEVICE_OBJECT, PVOID context) { return camera::PrepareCamera(Ctx(context)); }

USBCAMD_DEVICE_DATA Callbacks() {
  USBCAMD_DEVICE_DATA data{};
  data.CamInitialize = Initialize;
  data.CamUnInitialize = UnInitialize;
  data.CamProcessUSBPacket = pipeline::CamProcessUSBPacket;
  data.CamNewVideoFrame = pipeline::CamNewVideoFrame;
  data.CamProcessRawVideoFrame = pipeline::CamProcessRawVideoFrame;
  data.CamStartCapture = StartCapture;
  data.CamConfigure = Configure;
  data.CamAllocateBandwidth = AllocateBandwidth;
  return data;
}

}  // namespace

std::size_t PictureBytes(const CaptureFormat& format, ULONG rawFrameLength) {
  const std::size_t pixels = static_cast<std::size_t>(format.Width) * format.Height;
  switch (format.Compression) {
    case pipeline::kCompressionRgb: return pixels * 3;
    case pipeline::kFourccVqj9: return rawFrameLength + pipeline::kPassThroughHeaderSize;
    default: return pixels * 3 / 2;
  }
}

std::vector<uint8_t> ExpectedPicture(const host::sim::FrameRecord& frame, const CaptureFormat& format) {
  const int w = format.Width, h = format.Height;
  std::vector<uint8_t> planar(pipeline::PlanarPictureBytes(w, h), 0);
  if (frame.width == w && frame.height == h) {
    planar = frame.picture;
  } else if (w == 128) {
    std::vector<uint8_t> stretched(pipeline::PlanarPictureBytes(160, 120), 0);
    pipeline::StretchPicture(frame.picture.data(), stretched.data(), 160, 112, 160, 120);
    pipeline::ResamplePicture(stretched.data(), planar.data(), 160, 120, w, h);
  } else {
    pipeline::ResamplePicture(frame.picture.data(), planar.data(), frame.width, frame.height, w, h);
  }
  if (format.Compression != pipeline::kCompressionRgb) return planar;
  std::vector<uint8_t> bgr(pipeline::RgbPictureBytes(w, h), 0);
  pipeline::ConvertToRgb(planar.data(), bgr.data(), w, h);
  return bgr;
}

struct StreamHarness::World {
  host::HostKernel kernel{host::HostOptions::ForTests()};
  host::ScopedKernel installed{kernel};
  USBCAMD_DEVICE_DATA callbacks = Callbacks();
  std::unique_ptr<host::CameraDevice> device;
};

StreamHarness::StreamHarness(host::sim::SimCameraOptions options) : world_(std::make_unique<World>()) {
  EXPECT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, driver::kDeviceContextSize, pipeline::kFrameContextSize,
                                IgnoreRequest),
            STATUS_SUCCESS);
  host::CameraDevice::Options attach;
  attach.Camera = std::make_shared<host::sim::SimCamera>(options);
  attach.DeviceData = &world_->callbacks;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  world_->device = host::CameraDevice::Attach(attach, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
}

StreamHarness::~StreamHarness() {
  if (world_->device) world_->device->Remove();
  world_->device.reset();
  host::ResetCameraDriver();
}

driver::DeviceContext* StreamHarness::Context() { return Ctx(world_->device->DeviceContext()); }
host::CameraDevice& StreamHarness::Device() { return *world_->device; }
host::sim::SimCamera& StreamHarness::Camera() { return world_->device->Camera(); }

const USBCAMD_DEVICE_DATA* StreamHarness::CallbackTable() const { return &world_->callbacks; }

NTSTATUS StreamHarness::Start(const CaptureFormat& format) {
  format_ = format;
  return world_->device->StartCapture(&format_);
}

void StreamHarness::Stop() { world_->device->StopCapture(); }

std::vector<DeliveredPicture> StreamHarness::Capture(unsigned count, std::size_t bufferBytes, uint8_t fill) {
  if (bufferBytes == 0) bufferBytes = PictureBytes(format_, world_->device->RawFrameLength());
  std::vector<std::vector<uint8_t>> buffers(count, std::vector<uint8_t>(bufferBytes, fill));
  std::vector<DeliveredPicture> delivered;
  for (auto& buffer : buffers) {
    world_->device->QueueRead(buffer, [&delivered, &buffer](const host::CompletedRead& read) {
      if (read.Status != STATUS_CANCELLED) delivered.push_back({read, buffer});
    });
  }
  for (unsigned i = 0; i < count + 4 && delivered.size() < count; ++i) world_->device->Pump(1);
  world_->device->CancelReads();
  return delivered;
}

}  // namespace dualcam::framepath::testing
