// The request routine against the whole system: load and arrival, stream
// information, the stream-open gates (format, BulkMode, the library's own
// refusal), close and removal reports, the stream hooks, power transitions,
// device properties, uninitialization, and the completion contract of every
// request.
#include <gtest/gtest.h>

#include "camera/extension_properties.h"
#include "driver/entry.h"
#include "host/classlib/camera_class_library.h"
#include "host/sim/sim_camera.h"
#include "host/classlib/stream_class.h"
#include "system/system_world.h"

namespace dualcam::system::testing {
namespace {

using host::CaptureCamera;
using host::CaptureStream;

class Dispatch : public SystemWorld {
 protected:
  std::unique_ptr<CaptureStream> OpenI420(CaptureCamera& camera, NTSTATUS* status, LONG w = 176, LONG h = 144) {
    return camera.OpenStream(Format(camera, kI420, w, h), status);
  }
};

TEST_F(Dispatch, LoadAndArrivalReportTheirStatusAndTheStreamInfoAnnouncesOnePin) {
  EXPECT_EQ(Dword("DriverStatus"), 1u);  // loaded, no device yet
  // The record and frame context sizes the library allocates per device.
  EXPECT_EQ(host::CurrentCameraDriver().DeviceContextSize, 1688u);
  EXPECT_EQ(host::CurrentCameraDriver().FrameContextSize, 4u);
  auto camera = Attach();
  ASSERT_TRUE(camera);
  EXPECT_EQ(Dword("DriverStatus"), 3u);
  EXPECT_EQ(Ctx(*camera)->DriverStatus.load(), 3u);
  EXPECT_EQ(Dword("BulkMode"), 0u);
  EXPECT_EQ(Dword("IsoMode"), 0u);

  SetDword("TimerTrigger", 1);
  const host::StreamInfo info = camera->GetStreamInfo();
  EXPECT_EQ(info.Status, STATUS_SUCCESS);
  EXPECT_EQ(info.NumberOfStreams, 1u);
  EXPECT_EQ(info.SizeOfHwStreamInformation, sizeof(HW_STREAM_INFORMATION));
  EXPECT_EQ(info.Formats.size(), 12u);
  EXPECT_EQ(info.NumberOfDevicePropertySets, 5u);
  EXPECT_EQ(info.NumberOfStreamPropertySets, 2u);
  EXPECT_EQ(info.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(Dword("TimerTrigger"), 0u);

  // Intersection is answered by the driver alone: the caller's range comes
  // back as a 152-byte format, sized first on an empty buffer.
  std::vector<uint8_t> answer(152);
  const host::RequestOutcome sized = camera->Intersect(info.Formats[5], {});
  EXPECT_EQ(sized.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(sized.ActualBytesTransferred, 152u);
  const host::RequestOutcome answered = camera->Intersect(info.Formats[5], answer);
  EXPECT_EQ(answered.Status, STATUS_SUCCESS);
  EXPECT_EQ(answered.ActualBytesTransferred, 152u);
  KS_DATAFORMAT_VIDEOINFOHEADER format;
  std::memcpy(&format, answer.data(), sizeof format);
  EXPECT_EQ(format.DataFormat.SampleSize, 230400u);
  EXPECT_TRUE(answered.CompletedOnce());
}

TEST_F(Dispatch, ACameraThatNeverBecomesReadyIsNotAttachedAndLeavesNothingBehind) {
  auto busy = std::make_shared<host::sim::SimCamera>();
  busy->SetAlwaysBusy(true);
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_FALSE(Driver().Attach(busy, &status));
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Kernel().pool().Live(0x206D6457).Blocks, 0u);
  EXPECT_EQ(Kernel().pool().Live(host::kLibraryPoolTag).Blocks, 0u);
  EXPECT_EQ(Kernel().names().LinkCount(), 0u);
  EXPECT_EQ(Kernel().workQueue().Pending(), 0u);
  // The driver still serves the next camera.
  auto camera = Attach();
  EXPECT_TRUE(camera);
}

TEST_F(Dispatch, BulkModeOtherThanZeroRefusesEveryOpenUntilItIsZeroAgain) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status = STATUS_SUCCESS;

  SetDword("BulkMode", 1);
  EXPECT_FALSE(OpenI420(*camera, &status));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(Dword("DriverStatus"), 3u);
  EXPECT_EQ(Ctx(*camera)->RegBulkMode, 1u);

  DeleteValue("BulkMode");
  EXPECT_FALSE(OpenI420(*camera, &status));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ctx(*camera)->RegBulkMode, 0xFFFFFFFFu);

  // Left by other software as text: not a number, so not 0 either.
  Kernel().registry().SetString(std::string(host::kSettingsKeyPath), "BulkMode", "0");
  EXPECT_FALSE(OpenI420(*camera, &status));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(camera->Device().StreamOpen(), false);  // the library was never asked
  EXPECT_EQ(Ctx(*camera)->StreamOpened, 0);

  SetDword("BulkMode", 0);
  auto stream = OpenI420(*camera, &status);
  ASSERT_TRUE(stream);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Dword("IsoMode"), 1u);
  EXPECT_EQ(Dword("DriverStatus"), 5u);
  EXPECT_EQ(Ctx(*camera)->StreamOpened, 1);
}

TEST_F(Dispatch, FormatsNotOfferedOnThePinAreRefusedAtOpen) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status = STATUS_SUCCESS;
  KS_DATAFORMAT_VIDEOINFOHEADER format = Format(*camera, kI420, 320, 240);

  KS_DATAFORMAT_VIDEOINFOHEADER upsideDown = format;
  upsideDown.VideoInfoHeader.bmiHeader.biHeight = -240;
  EXPECT_FALSE(camera->OpenStream(upsideDown, &status));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);

  for (auto [w, h] : {std::pair{640, 480}, {128, 96}, {240, 180}}) {
    KS_DATAFORMAT_VIDEOINFOHEADER other = format;
    other.VideoInfoHeader.bmiHeader.biWidth = w;
    other.VideoInfoHeader.bmiHeader.biHeight = h;
    EXPECT_FALSE(camera->OpenStream(other, &status)) << w << "x" << h;
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  }
  KS_DATAFORMAT_VIDEOINFOHEADER shortFormat = format;
  shortFormat.DataFormat.FormatSize = 100;  // claims less than the record it must be
  EXPECT_FALSE(camera->OpenStream(shortFormat, &status));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(Dword("DriverStatus"), 3u);
}

// An open that passes the driver's checks but that the class library itself
// refuses is a failure: it must not be published as an open stream.
TEST_F(Dispatch, AnOpenTheLibraryRefusesPublishesNoOpenStream) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status = STATUS_SUCCESS;

  camera->Device().FailStreamOpens(1);
  EXPECT_FALSE(OpenI420(*camera, &status));
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(Dword("DriverStatus"), 3u);
  EXPECT_EQ(Ctx(*camera)->DriverStatus.load(), 3u);
  EXPECT_EQ(Ctx(*camera)->StreamOpened, 0);

  // The still pin's list offers 640 x 480, so the driver lets it through;
  // the library runs only the capture pin.
  KS_DATAFORMAT_VIDEOINFOHEADER still = Format(*camera, kI420, 320, 240);
  still.VideoInfoHeader.bmiHeader.biWidth = 640;
  still.VideoInfoHeader.bmiHeader.biHeight = 480;
  EXPECT_FALSE(camera->OpenStream(still, &status, 1));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Dword("DriverStatus"), 3u);

  // After a surprise removal the library refuses opens; the status stays 8
  // (the button poll, which stops at 8, must not be revived).
  ASSERT_EQ(camera->SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(Dword("DriverStatus"), 8u);
  EXPECT_FALSE(OpenI420(*camera, &status));
  EXPECT_EQ(status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(Dword("DriverStatus"), 8u);
  EXPECT_EQ(Ctx(*camera)->DriverStatus.load(), 8u);
  EXPECT_EQ(Dword("IsoMode"), 0u);

  // And the one good open still works on a fresh camera.
  auto other = Attach();
  ASSERT_TRUE(other);
  auto opened = OpenI420(*other, &status);
  EXPECT_TRUE(opened);
  EXPECT_EQ(Dword("DriverStatus"), 5u);
}

TEST_F(Dispatch, CloseReportsTheClosedStreamAndReadsTheButtonOnceUnlessRemoved) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status;
  auto stream = OpenI420(*camera, &status);
  ASSERT_TRUE(stream);
  camera->Camera().ClearRequestLog();
  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(Dword("DriverStatus"), 7u);
  EXPECT_EQ(camera->Camera().RequestLines(), std::vector<std::string>{"in 05 v=0000 i=0001 n=1 -> 00"});

  stream = OpenI420(*camera, &status);
  ASSERT_TRUE(stream);
  EXPECT_EQ(Dword("IsoMode"), 1u);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(stream->Read(2).size(), 2u);
  ASSERT_EQ(camera->SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(Dword("DriverStatus"), 8u);
  EXPECT_FALSE(camera->Device().Capturing());
  camera->Camera().ClearRequestLog();
  SetDword("IsoMode", 1);
  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  EXPECT_EQ(Dword("IsoMode"), 0u);
  EXPECT_EQ(Dword("DriverStatus"), 8u);
  EXPECT_TRUE(camera->Camera().RequestLines().empty());
}

TEST_F(Dispatch, FormatRequestsStopAtTheHookWhileStateChangesReachTheLibrary) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status;
  auto stream = OpenI420(*camera, &status, 352, 288);
  ASSERT_TRUE(stream);

  EXPECT_EQ(stream->GetFormat(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(stream->ProposeFormat(Format(*camera, kRgb24, 160, 120)), STATUS_SUCCESS);
  KS_DATAFORMAT_VIDEOINFOHEADER big = Format(*camera, kI420, 352, 288);
  big.VideoInfoHeader.bmiHeader.biWidth = 640;
  big.VideoInfoHeader.bmiHeader.biHeight = 480;
  EXPECT_EQ(stream->ProposeFormat(big), STATUS_NO_MATCH);
  EXPECT_EQ(stream->SetFormat(big), STATUS_NO_MATCH);
  // A proposal that differs only in size fields and bit count still matches.
  KS_DATAFORMAT_VIDEOINFOHEADER loose = Format(*camera, kI420, 176, 144);
  loose.DataFormat.FormatSize = 200;
  loose.VideoInfoHeader.bmiHeader.biBitCount = 16;
  EXPECT_EQ(stream->ProposeFormat(loose), STATUS_SUCCESS);

  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(camera->Device().Capturing());
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(stream->GetState(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_RUN);

  // Setting another offered size on a running stream succeeds, and the
  // pictures keep the size the capture started with.
  EXPECT_EQ(stream->SetFormat(Format(*camera, kI420, 176, 144)), STATUS_SUCCESS);
  const auto pictures = stream->Read(3);
  ASSERT_EQ(pictures.size(), 3u);
  for (const auto& picture : pictures) {
    EXPECT_EQ(picture.Status, STATUS_SUCCESS);
    EXPECT_EQ(picture.BytesUsed, 352u * 288 * 3 / 2);
  }

  // Pause stops the camera and keeps the reads; stop cancels them.
  ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_FALSE(camera->Device().Capturing());
  EXPECT_TRUE(stream->Read(2, 0, 3).empty());
  EXPECT_EQ(stream->WaitingReads(), 2u);
  ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  const auto cancelled = stream->Read(0);
  ASSERT_EQ(cancelled.size(), 2u);
  EXPECT_EQ(cancelled[0].Status, STATUS_CANCELLED);
  EXPECT_EQ(stream->WaitingReads(), 0u);
}

TEST_F(Dispatch, EveryRequestIsCompletedExactlyOnceWithTheRightNotification) {
  const std::uint64_t misuseBefore = host::StreamClassMisuse();
  auto camera = Attach();
  ASSERT_TRUE(camera);
  for (SRB_COMMAND command : {SRB_OPEN_DEVICE_INSTANCE, SRB_CLOSE_DEVICE_INSTANCE, SRB_PAGING_OUT_DRIVER,
                              SRB_UNKNOWN_DEVICE_COMMAND, static_cast<SRB_COMMAND>(0x1FF)}) {
    HW_STREAM_REQUEST_BLOCK srb = host::MakeRequest(command, nullptr);
    const host::RequestOutcome outcome = camera->SendDeviceRequest(srb);
    EXPECT_TRUE(outcome.CompletedOnce()) << std::hex << command;
    EXPECT_EQ(outcome.DeviceCompletions, 1u);
  }
  HW_STREAM_REQUEST_BLOCK unknown = host::MakeRequest(SRB_UNKNOWN_DEVICE_COMMAND, nullptr);
  EXPECT_EQ(camera->SendDeviceRequest(unknown).Status, STATUS_NOT_IMPLEMENTED);
  // Requests without the record they need are refused, not followed into
  // null: no request block at all, stream information without its
  // descriptor, a stream open without its stream object.
  driver::DriverReceivePacket(nullptr);
  for (SRB_COMMAND command : {SRB_GET_STREAM_INFO, SRB_OPEN_STREAM}) {
    HW_STREAM_REQUEST_BLOCK bare = host::MakeRequest(command, nullptr);
    const host::RequestOutcome refused = camera->SendDeviceRequest(bare);
    EXPECT_EQ(refused.Status, STATUS_INVALID_PARAMETER) << std::hex << command;
    EXPECT_TRUE(refused.CompletedOnce());
  }

  NTSTATUS status;
  auto stream = OpenI420(*camera, &status);
  ASSERT_TRUE(stream);
  HW_STREAM_REQUEST_BLOCK format = host::MakeRequest(SRB_GET_DATA_FORMAT, nullptr);
  const host::RequestOutcome hooked = stream->SendStreamRequest(format);
  EXPECT_EQ(hooked.StreamCompletions, 1u);
  EXPECT_EQ(hooked.DeviceCompletions, 0u);
  HW_STREAM_REQUEST_BLOCK clock = host::MakeRequest(SRB_OPEN_MASTER_CLOCK, nullptr);
  EXPECT_EQ(stream->SendStreamRequest(clock).Status, STATUS_NOT_IMPLEMENTED);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(stream->Read(4).size(), 4u);
  stream->Read(2, 0, 0);
  stream.reset();  // closes, cancelling nothing left
  camera->Uninitialize();
  EXPECT_EQ(host::StreamClassMisuse(), misuseBefore);
}

// Stream properties pass the control hook and are answered by the library.
TEST_F(Dispatch, StreamPropertiesReportFramingAndFramesDroppedWhileNoReadWaited) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status;
  auto stream = OpenI420(*camera, &status);
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(stream->Read(2).size(), 2u);
  camera->Device().Pump(3);  // three frames with no read waiting

  auto ask = [&](const GUID& set, ULONG id, std::span<uint8_t> info) {
    KSPROPERTY property{set, id, KSPROPERTY_TYPE_GET};
    STREAM_PROPERTY_DESCRIPTOR descriptor{&property, 0, info.data(), sizeof property,
                                          static_cast<ULONG>(info.size())};
    HW_STREAM_REQUEST_BLOCK srb = host::MakeRequest(SRB_GET_STREAM_PROPERTY, nullptr);
    srb.CommandData.PropertyInfo = &descriptor;
    return stream->SendStreamRequest(srb);
  };
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
  auto outcome = ask(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                     {reinterpret_cast<uint8_t*>(&dropped), sizeof dropped});
  EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
  EXPECT_EQ(dropped.DropCount, 3);
  EXPECT_EQ(dropped.PictureNumber, 5);
  EXPECT_EQ(dropped.AverageFrameSize, 176u * 144 * 3 / 2);

  KSALLOCATOR_FRAMING framing{};
  outcome = ask(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                {reinterpret_cast<uint8_t*>(&framing), sizeof framing});
  EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
  EXPECT_EQ(framing.FrameSize, 176u * 144 * 3 / 2);
  uint8_t small[8] = {};
  EXPECT_EQ(ask(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, small).Status,
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(Dispatch, PowerDownParksTheCameraAndPowerUpResumesTheStream) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  NTSTATUS status;
  auto stream = OpenI420(*camera, &status);
  ASSERT_TRUE(stream);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(stream->Read(2).size(), 2u);

  EXPECT_EQ(camera->SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Ctx(*camera)->Suspended.load(), 1);
  EXPECT_FALSE(camera->Camera().Awake());
  EXPECT_TRUE(stream->Read(1, 0, 3).empty());  // nothing arrives while powered down

  EXPECT_EQ(camera->SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Ctx(*camera)->Suspended.load(), 0);
  EXPECT_TRUE(camera->Camera().Awake());
  const auto pictures = stream->Read(2);
  ASSERT_GE(pictures.size(), 2u);
  EXPECT_EQ(pictures.back().Status, STATUS_SUCCESS);
  EXPECT_EQ(pictures.back().BytesUsed, 176u * 144 * 3 / 2);
}

TEST_F(Dispatch, DevicePropertiesGoToTheirSetsAndChangeNothingWhenRefused) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  LONG value = -1;
  EXPECT_EQ(camera->GetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &value),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 128);
  EXPECT_NE(camera->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 256),
            STATUS_SUCCESS);
  EXPECT_EQ(Ctx(*camera)->Brightness, 128u);
  EXPECT_EQ(camera->SetControl(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 180),
            STATUS_SUCCESS);
  EXPECT_EQ(Ctx(*camera)->Brightness, 180u);
  EXPECT_EQ(Dword("Brightness"), 180u);

  // A set this device does not have.
  alignas(8) uint8_t buffer[40] = {};
  KSPROPERTY property{KSPROPSETID_Connection, 0, KSPROPERTY_TYPE_GET};
  std::memcpy(buffer, &property, sizeof property);
  const host::RequestOutcome outcome = camera->Property(false, buffer);
  EXPECT_EQ(outcome.Status, STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(outcome.CompletedOnce());
}

TEST_F(Dispatch, UninitializeReportsRemovalTakesTheNamesDownAndWaitsTwoSeconds) {
  auto camera = Attach();
  ASSERT_TRUE(camera);
  ASSERT_EQ(Kernel().names().LinkCount(), 1u);
  ASSERT_EQ(Kernel().names().Interfaces().size(), 1u);
  EXPECT_TRUE(Kernel().names().Interfaces()[0].Enabled);

  Kernel().clock().ClearDelays();
  std::optional<uint32_t> statusDuringWait;
  Kernel().clock().SetDelayHook([&](LONGLONG interval) {
    if (interval == driver::kUninitializeWait) statusDuringWait = Dword("DriverStatus");
  });
  EXPECT_EQ(camera->Uninitialize(), STATUS_SUCCESS);
  Kernel().clock().SetDelayHook(nullptr);

  EXPECT_EQ(statusDuringWait, 8u);  // written before the wait
  const auto delays = Kernel().clock().Delays();
  EXPECT_NE(std::find(delays.begin(), delays.end(), -20'000'000), delays.end());
  EXPECT_EQ(Dword("DriverStatus"), 8u);
  EXPECT_EQ(Kernel().names().LinkCount(), 0u);
  EXPECT_FALSE(Kernel().names().Interfaces()[0].Enabled);
  EXPECT_EQ(Kernel().pool().Live(0x206D6457).Blocks, 0u);
  EXPECT_EQ(Kernel().pool().Live(host::kStringPoolTag).Blocks, 0u);
  EXPECT_EQ(Kernel().workQueue().Pending(), 0u);  // the poll saw status 8 and ended
}

}  // namespace
}  // namespace dualcam::system::testing
