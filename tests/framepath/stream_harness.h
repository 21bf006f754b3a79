// A capture world for the frame-path tests: a deterministic host kernel with
// the settings key, a simulated camera attached through the host's camera
// class library, and the driver's own callback table, so the frame path
// runs under the same calls and orders as in service.
//
// Hard part: choosing the packet size. The driver's bandwidth allocation
// takes the largest alternate setting the bus accepts, so the world makes
// the bus refuse every setting above the one a test wants.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "host/sim/sim_camera.h"
#include "host/classlib/camera_class_library.h"

namespace dualcam::framepath::testing {

// Quality index 3 (T.81 Annex K tables at 30 %) on a photograph: the lowest
// figure measured over every size, output kind and packet size was 33.2 dB
// (160x120 RGB24).
inline constexpr double kMinPsnr = 31.0;

// The stand-in for the negotiated format handed to CamAllocateBandwidth.
struct CaptureFormat {
  int Width = 352;
  int Height = 288;
  ULONG Compression = 0;
  UCHAR AlternateSetting = 5;  // 5..1: 1023, 768, 512, 256, 128 bytes a packet
};

// Size of the application buffer a format needs (a VQJ9 buffer holds the
// largest raw frame of the capture behind its header).
std::size_t PictureBytes(const CaptureFormat& format, ULONG rawFrameLength);

// The sensor's picture of a frame as the driver should deliver it at the
// format size: the I420 picture resized along the driver's route, converted
// to bottom-up B,G,R for RGB24.
std::vector<uint8_t> ExpectedPicture(const host::sim::FrameRecord& frame, const CaptureFormat& format);

struct DeliveredPicture {
  host::CompletedRead Read;
  std::vector<uint8_t> Bytes;  // the application's buffer after completion
};

class StreamHarness {
 public:
  explicit StreamHarness(host::sim::SimCameraOptions options = {});
  ~StreamHarness();
  StreamHarness(const StreamHarness&) = delete;
  StreamHarness& operator=(const StreamHarness&) = delete;

  driver::DeviceContext* Context();
  host::CameraDevice& Device();
  host::sim::SimCamera& Camera();

  NTSTATUS Start(const CaptureFormat& format);
  void Stop();

  // A second camera in the same world, with the same callbacks; removed
  // with the world.
  host::CameraDevice& AttachAnother();
  NTSTATUS StartOn(host::CameraDevice& device, const CaptureFormat& format);

  // Queues `count` reads, each a buffer of `bufferBytes` filled with `fill`
  // (0 = the format's own size), and pumps frames until all completed (at
  // most count + 4 frame intervals). Pictures come back in completion order.
  std::vector<DeliveredPicture> Capture(unsigned count, std::size_t bufferBytes = 0, uint8_t fill = 0xA5);

 private:
  struct World;
  void RemoveDevice(host::CameraDevice& device);

  std::unique_ptr<World> world_;
  CaptureFormat format_;
};

}  // namespace dualcam::framepath::testing
