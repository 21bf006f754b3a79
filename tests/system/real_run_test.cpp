// The system as the tool runs it: real clock, a worker thread running the
// button poll beside the stream, a registry file and a file folder on disk.
// Removal must wait for the poll to end before the device record goes.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "driver/entry.h"
#include "host/classlib/capture_app.h"
#include "host/kernel/host_kernel.h"

namespace dualcam::system::testing {
namespace {

TEST(RealRunConcurrency, StreamWithThePollOnAWorkerThreadThenRemoveCleanly) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("dualcam-realrun-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root);
  {
    host::HostKernel kernel(host::HostOptions::ForRealRun(root / "registry.db", root / "files"));
    host::ScopedKernel installed(kernel);
    ASSERT_EQ(host::InstallSettingsKey(kernel.registry()), STATUS_SUCCESS);
    NTSTATUS status;
    auto driver = host::CaptureDriver::Load(driver::DriverEntry, &status);
    ASSERT_TRUE(driver);
    auto camera = driver->Attach(nullptr, &status);
    ASSERT_TRUE(camera) << std::hex << status;
    const host::StreamInfo info = camera->GetStreamInfo();
    const KS_DATARANGE_VIDEO* range = host::FindRange(info, 0, 176, 144);
    ASSERT_NE(range, nullptr);
    auto stream = camera->OpenStream(host::FormatFromRange(*range), &status);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const auto pictures = stream->Read(5);
    ASSERT_EQ(pictures.size(), 5u);
    for (const auto& picture : pictures) EXPECT_EQ(picture.BytesUsed, 176u * 144 * 3);
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
    auto* context = static_cast<driver::DeviceContext*>(camera->DeviceContext());
    EXPECT_EQ(context->DriverStatus.load(), 7u);
    EXPECT_EQ(camera->Uninitialize(), STATUS_SUCCESS);
    kernel.workQueue().WaitIdle();
    EXPECT_EQ(kernel.workQueue().Pending(), 0u);
    EXPECT_EQ(kernel.registry().GetDword(std::string(host::kSettingsKeyPath), "DriverStatus"), 8u);
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace dualcam::system::testing
