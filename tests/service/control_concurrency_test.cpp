// Controls that reach a streaming camera from another thread, as they do
// through the control socket: the server thread carries each request into
// the driver's property sets while the capture thread reads pictures, and
// the pictures change from the next frames on with none lost.
#include <atomic>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "driver/entry.h"
#include "host/classlib/capture_app.h"
#include "host/kernel/host_kernel.h"
#include "host/service/control_client.h"
#include "host/service/control_server.h"
#include "support/test_data.h"

namespace dualcam::host::service {
namespace {

constexpr int kWidth = 176, kHeight = 144;

// Largest difference between the colour channels of any pixel of a bottom-up
// B,G,R picture: 0 for a grey one.
int Colourfulness(const Picture& picture) {
  int most = 0;
  const auto bytes = picture.Used();
  for (std::size_t i = 0; i + 2 < bytes.size(); i += 3) {
    const int b = bytes[i], g = bytes[i + 1], r = bytes[i + 2];
    most = std::max({most, std::abs(r - g), std::abs(g - b), std::abs(r - b)});
  }
  return most;
}

TEST(ServiceConcurrency, SaturationSetThroughTheSocketGreysTheNextPicturesOfARunningStream) {
  HostKernel kernel;
  ScopedKernel scope(kernel);
  InstallSettingsKey(kernel.registry());
  ResetCameraDriver();
  auto driver = CaptureDriver::Load(&driver::DriverEntry);
  ASSERT_TRUE(driver);
  auto camera = driver->Attach(std::make_shared<sim::SimCamera>());
  ASSERT_TRUE(camera);
  const StreamInfo info = camera->GetStreamInfo();
  const KS_DATARANGE_VIDEO* range = FindRange(info, 0, kWidth, kHeight);
  ASSERT_NE(range, nullptr);
  auto stream = camera->OpenStream(FormatFromRange(*range));
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);

  dualcam::testing::TempDir folder("service-concurrency");
  auto lock = CameraLock::TryAcquire(folder.path()).lock;
  ASSERT_TRUE(lock);
  // The owner's handler: a control request becomes a property request.
  auto started = ControlServer::Start(*lock, [&](const Request& request) {
    for (const std::string& word : request.words) {
      const LONG value = std::atoi(word.substr(word.find('=') + 1).c_str());
      if (camera->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, value) !=
          STATUS_SUCCESS)
        return Reply::Error(ReplyStatus::kRejected, "refused");
    }
    return Reply::Ok();
  });
  ASSERT_TRUE(started.server) << started.what;

  // The capture thread reads on; the set arrives from another process's
  // side of the socket while it does.
  std::vector<Picture> pictures;
  std::atomic<std::size_t> read{0};
  constexpr std::size_t kNotYet = ~std::size_t{0};
  std::atomic<std::size_t> applied_after{kNotYet};
  std::thread capture([&] {
    // Ten more pictures once the set is answered, however late that comes.
    while (pictures.size() < 2000 && (applied_after.load() == kNotYet || pictures.size() < applied_after.load() + 10)) {
      for (Picture& picture : stream->Read(1)) pictures.push_back(std::move(picture));
      read.store(pictures.size());
    }
  });
  while (read.load() < 10) std::this_thread::yield();
  const Answer answer = AskCamera(folder.path(), {Verb::kSet, {"saturation=0"}});
  const std::size_t read_when_applied = read.load();
  applied_after.store(read_when_applied);
  capture.join();
  started.server.reset();
  EXPECT_EQ(answer.reply, Reply::Ok()) << answer.error;

  ASSERT_GE(pictures.size(), read_when_applied + 10);
  for (const Picture& picture : pictures) {
    EXPECT_EQ(picture.Status, STATUS_SUCCESS);
    EXPECT_EQ(picture.BytesUsed, static_cast<ULONG>(kWidth * kHeight * 3));
  }
  EXPECT_GT(Colourfulness(pictures.front()), 60);
  // Grey from the picture after the one in flight when the set was applied.
  for (std::size_t i = read_when_applied + 2; i < pictures.size(); ++i)
    EXPECT_LE(Colourfulness(pictures[i]), 2) << "picture " << i << ", set applied after " << read_when_applied;
  EXPECT_EQ(kernel.registry().GetDword(kSettingsKeyPath, "Saturation"), 0u);
  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace dualcam::host::service
