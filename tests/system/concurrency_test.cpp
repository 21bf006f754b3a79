// Two cameras stream at once through one loaded driver, each from its own
// thread: requests, reads, control changes and closes interleave freely, and
// neither camera's pictures or settings leak into the other's.
#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "host/sim/sim_camera.h"
#include "host/classlib/stream_class.h"
#include "system/system_world.h"

namespace dualcam::system::testing {
namespace {

class SystemConcurrency : public SystemWorld {};

struct CameraRun {
  DWORD Compression;
  LONG Width;
  LONG Height;
  LONG Brightness;
  std::vector<host::Picture> Pictures;
  NTSTATUS OpenStatus = STATUS_PENDING;
  NTSTATUS CloseStatus = STATUS_PENDING;
  uint16_t BrightnessRegister = 0;
};

void Stream(host::CaptureCamera& camera, const KS_DATAFORMAT_VIDEOINFOHEADER& format, CameraRun& run) {
  auto stream = camera.OpenStream(format, &run.OpenStatus);
  if (!stream) return;
  stream->SetState(KSSTATE_RUN);
  for (int round = 0; round < 3; ++round) {
    auto pictures = stream->Read(4);
    for (auto& p : pictures) run.Pictures.push_back(std::move(p));
    camera.SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, run.Brightness + round);
  }
  run.BrightnessRegister = camera.Camera().Register(host::sim::kRegBrightness);
  stream->SetState(KSSTATE_STOP);
  run.CloseStatus = stream->Close();
}

TEST_F(SystemConcurrency, TwoCamerasStreamAtOnceWithoutInterfering) {
  const std::uint64_t misuseBefore = host::StreamClassMisuse();
  auto first = Attach();
  auto second = Attach();
  ASSERT_TRUE(first && second);
  CameraRun a{kRgb24, 352, 288, 200, {}};
  CameraRun b{kI420, 176, 144, 60, {}};
  const auto formatA = Format(*first, a.Compression, a.Width, a.Height);
  const auto formatB = Format(*second, b.Compression, b.Width, b.Height);

  std::thread ta([&] { Stream(*first, formatA, a); });
  std::thread tb([&] { Stream(*second, formatB, b); });
  ta.join();
  tb.join();

  for (const CameraRun* run : {&a, &b}) {
    EXPECT_EQ(run->OpenStatus, STATUS_SUCCESS);
    EXPECT_EQ(run->CloseStatus, STATUS_SUCCESS);
    ASSERT_EQ(run->Pictures.size(), 12u);
    const ULONG size = run->Compression == kI420 ? run->Width * run->Height * 3 / 2 : run->Width * run->Height * 3;
    for (const auto& picture : run->Pictures) {
      EXPECT_EQ(picture.Status, STATUS_SUCCESS);
      EXPECT_EQ(picture.BytesUsed, size);
    }
  }
  // Each device's record and camera hold its own last setting.
  EXPECT_EQ(Ctx(*first)->Brightness, 202u);
  EXPECT_EQ(Ctx(*second)->Brightness, 62u);
  EXPECT_NE(a.BrightnessRegister, b.BrightnessRegister);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(host::StreamClassMisuse(), misuseBefore);
}

// The button poll runs in its own thread beside the stream, as the system
// worker thread does: presses, the still hand-shake and the snapshot file
// race the packet path and the request thread.
TEST_F(SystemConcurrency, ButtonPollBesideAStreamSavesTheStill) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status;
  auto stream = camera->OpenStream(Format(*camera, kI420, 176, 144), &status);
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  SetDword("SnapShot", 0);
  camera->Camera().PressButton();

  std::atomic<bool> saved{false};
  std::thread poll([&] {
    for (int cycle = 0; cycle < 400 && !saved.load(); ++cycle) {
      Kernel().workQueue().RunNext();
      saved = Dword("SnapShot") == 1u;
      std::this_thread::yield();
    }
  });
  // Reads go on until the still is saved and the stream has delivered: a
  // fast camera's still can be saved before the first video read returns.
  std::size_t pictures = 0;
  for (int round = 0; round < 60 && !(saved.load() && pictures > 0); ++round) {
    for (const auto& picture : stream->Read(2)) {
      EXPECT_EQ(picture.Status, STATUS_SUCCESS);
      ++pictures;
    }
  }
  poll.join();
  EXPECT_TRUE(saved.load());
  EXPECT_GT(pictures, 0u);
  EXPECT_TRUE(std::filesystem::exists(SnapshotFolder() / "snapraw.dat"));
  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace dualcam::system::testing
