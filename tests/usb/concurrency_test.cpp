// The threads of a real capture: libusb's event thread completes transfers,
// the reading thread pumps frames into the driver, and a second thread sends
// vendor requests as the button poll does. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/usbcamd.h"
#include "usb/usb_world.h"

namespace dualcam::usb::testing {
namespace {

TEST(EmulatedUsbConcurrency, VendorRequestsFromAnotherThreadWhileFramesFlow) {
  // A camera at its own rate (fast, but not so fast that the emulated node,
  // which passes one ioctl at a time, is never free for the requests).
  auto& emulated = Testbed().AddCamera(nullptr, {.frames_per_second = 120, .kernel_driver = {}});
  {
    DriverWorld world;
    host::CameraDevice::Options options;
    options.Bus = OpenAt(emulated);
    NTSTATUS status;
    auto camera = world.Driver().AttachDevice(options, &status);
    ASSERT_TRUE(camera);
    auto stream = camera->OpenStream(
        host::FormatFromRange(*host::FindRange(camera->GetStreamInfo(), 0x30323449, 176, 144)), &status);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::atomic<NTSTATUS> last{STATUS_PENDING};
    PVOID context = camera->DeviceContext();
    std::thread poll([&] {
      while (!done.load()) {
        uint8_t button = 0;
        ULONG length = 1;
        const NTSTATUS status =
            USBCAMD_ControlVendorCommand(context, 0x05, 0, 1, &button, &length, TRUE, nullptr, nullptr);
        last.store(status);
        if (status == STATUS_SUCCESS) answered.fetch_add(1);
      }
    });
    for (int i = 0; i < 5000 && answered.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int before = answered.load();
    unsigned pictures = 0;
    for (int i = 0; i < 4; ++i)
      for (const auto& picture : stream->Read(2)) pictures += picture.Status == STATUS_SUCCESS;
    done.store(true);
    poll.join();
    EXPECT_EQ(pictures, 8u);
    EXPECT_GT(before, 0) << std::hex << last.load();
    EXPECT_GT(answered.load(), before) << std::hex << last.load();
    EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
    EXPECT_EQ(camera->Uninitialize(), STATUS_SUCCESS);
  }
  Testbed().Remove(emulated);
}

}  // namespace
}  // namespace dualcam::usb::testing
