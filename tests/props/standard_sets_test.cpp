// The announced set table and the three standard video-capture sets, driven
// with request blocks against a device record on the simulated camera: what
// each get answers, what each set sends to the camera and writes to the
// registry, and that refused requests change nothing.
#include <algorithm>

#include "camera/settings.h"
#include "pipeline/tone_curve.h"
#include "props_harness.h"

namespace dualcam::props::testing {
namespace {

using camera::kControlPropertySize;

class StandardSets : public PropsWorld {
 protected:
  void SetUp() override
  {
    PropsWorld::SetUp();
    pipeline::ResetToneState();
    // Settings as a load would leave them.
    Context()->Brightness = 128;
    Context()->Saturation = 40;
    Context()->Sharpness = 2;
    Context()->WhiteBalance = 10;
    Context()->ManualExposure = 10;
    Context()->AutoExposure = 1;
    Context()->AutoWhiteBalance = 1;
    Context()->FirmwareParams.FwRGain = 100;
    Context()->FirmwareParams.FwBGain = 90;
  }
  void TearDown() override
  {
    pipeline::ResetToneState();
    PropsWorld::TearDown();
  }

  PropertyRequest ProcAmp(ULONG id, uint32_t value = 0, uint32_t flags = 0)
  {
    return ControlRequest(PROPSETID_VIDCAP_VIDEOPROCAMP, id, value, flags);
  }
  PropertyRequest Exposure(uint32_t value = 0, uint32_t flags = 0)
  {
    return ControlRequest(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, value, flags);
  }
  PropertyRequest VideoControl(ULONG id, ULONG size, uint32_t streamIndex, uint32_t word = 0)
  {
    // StreamIndex and the flags word are read from the property itself.
    PropertyRequest request(PROPSETID_VIDCAP_VIDEOCONTROL, id, size);
    if (size >= 28) request.PutPropertyUlong(24, streamIndex);
    if (size >= 32) request.PutPropertyUlong(28, word);
    return request;
  }
};

TEST_F(StandardSets, TableAnnouncesFiveSetsWithItemsRangesAndDefaults)
{
  ULONG count = 0;
  const KSPROPERTY_SET* sets = camera::GetDevicePropertyTable(&count);
  ASSERT_EQ(count, 5u);
  const GUID* order[] = {&PROPSETID_VIDCAP_VIDEOPROCAMP, &PROPSETID_VIDCAP_CAMERACONTROL,
                         &camera::PROPSETID_CAMERA_EXTENSION, &PROPSETID_VIDCAP_VIDEOCONTROL,
                         &camera::PROPSETID_VFWWDM_KEY};
  const ULONG items[] = {7, 1, 10, 4, 1};
  for (ULONG i = 0; i < count; ++i) {
    EXPECT_TRUE(IsEqualGUID(*sets[i].Set, *order[i])) << "set " << i;
    EXPECT_EQ(sets[i].PropertiesCount, items[i]) << "set " << i;
    EXPECT_EQ(sets[i].FastIoCount, 0u);
  }

  // Image controls in table order, each with a 0..max stepping range and a
  // default that must agree with what the settings store falls back to.
  const ULONG procAmpOrder[] = {0, 1, 2, 3, 4, 7, 5};
  const camera::Setting settingOf[] = {camera::Setting::Brightness, camera::Setting::Contrast,
                                       camera::Setting::Hue,        camera::Setting::Saturation,
                                       camera::Setting::Sharpness,  camera::Setting::WhiteBalance,
                                       camera::Setting::Gamma};
  for (int i = 0; i < 7; ++i) {
    const KSPROPERTY_ITEM& item = sets[0].PropertyItem[i];
    EXPECT_EQ(item.PropertyId, procAmpOrder[i]);
    EXPECT_TRUE(item.GetSupported && item.SetSupported);
    EXPECT_EQ(item.MinProperty, 40u);
    EXPECT_EQ(item.MinData, 40u);
    ASSERT_NE(item.Values, nullptr);
    EXPECT_TRUE(IsEqualGUID(item.Values->PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(item.Values->PropTypeSet.Id, VT_I4);
    ASSERT_EQ(item.Values->MembersListCount, 2u);
    const KSPROPERTY_MEMBERSLIST& range = item.Values->MembersList[0];
    const KSPROPERTY_MEMBERSLIST& fallback = item.Values->MembersList[1];
    EXPECT_EQ(range.MembersHeader.MembersFlags, KSPROPERTY_MEMBER_STEPPEDRANGES);
    const auto* stepping = static_cast<const KSPROPERTY_STEPPING_LONG*>(range.Members);
    const camera::SettingInfo& setting = camera::SettingInfoOf(settingOf[i]);
    EXPECT_EQ(stepping->SteppingDelta, 1u);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, 0);
    EXPECT_EQ(static_cast<ULONG>(stepping->Bounds.SignedMaximum), setting.Maximum) << "item " << item.PropertyId;
    EXPECT_EQ(fallback.MembersHeader.MembersFlags, KSPROPERTY_MEMBER_VALUES);
    EXPECT_EQ(fallback.MembersHeader.Flags, KSPROPERTY_MEMBER_FLAG_DEFAULT);
    EXPECT_EQ(static_cast<ULONG>(*static_cast<const LONG*>(fallback.Members)), setting.Default)
        << "item " << item.PropertyId;
  }
  const KSPROPERTY_ITEM& exposure = sets[1].PropertyItem[0];
  EXPECT_EQ(exposure.PropertyId, KSPROPERTY_CAMERACONTROL_EXPOSURE);
  EXPECT_EQ(*static_cast<const LONG*>(exposure.Values->MembersList[1].Members), 10);
  EXPECT_EQ(static_cast<const KSPROPERTY_STEPPING_LONG*>(exposure.Values->MembersList[0].Members)->Bounds.SignedMaximum,
            63);

  // Extension: nine items with get and set, the last with neither.
  for (ULONG i = 0; i < 10; ++i) {
    const KSPROPERTY_ITEM& item = sets[2].PropertyItem[i];
    EXPECT_EQ(item.MinProperty, 1136u);
    EXPECT_EQ(item.MinData, 1136u);
    EXPECT_EQ(bool(item.GetSupported), i < 9);
    EXPECT_EQ(bool(item.SetSupported), i < 9);
  }
  EXPECT_EQ(sets[2].PropertyItem[9].PropertyId, 16394u);
  // Video control: only the mode can be set; the frame-rate list has no minimum answer.
  EXPECT_FALSE(sets[3].PropertyItem[0].SetSupported);
  EXPECT_EQ(sets[3].PropertyItem[2].MinData, 0u);
  EXPECT_EQ(sets[3].PropertyItem[1].MinProperty, 56u);
  EXPECT_TRUE(sets[3].PropertyItem[3].SetSupported);
  EXPECT_EQ(sets[4].PropertyItem[0].MinProperty, 1096u);
}

TEST_F(StandardSets, ImageControlGetsAnswerLowBitsAndTheWhiteBalanceAutoFlag)
{
  Context()->Hue = 0x12345;  // only the low 16 bits are reported
  PropertyRequest hue = ProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE, 0xFFFFFFFF, 0xFFFFFFFF);
  EXPECT_EQ(Get(hue), STATUS_SUCCESS);
  EXPECT_EQ(hue.Status(), STATUS_SUCCESS);
  EXPECT_EQ(hue.Transferred(), 40u);
  EXPECT_EQ(hue.Ulong(24), 0x2345u);
  EXPECT_EQ(hue.Ulong(28), 2u);
  EXPECT_EQ(hue.Ulong(32), 2u);

  PropertyRequest wb = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE);
  Get(wb);
  EXPECT_EQ(wb.Ulong(24), 10u);
  EXPECT_EQ(wb.Ulong(28), 1u);  // automatic
  EXPECT_EQ(wb.Ulong(32), 3u);
  Context()->AutoWhiteBalance = 0;
  Get(wb);
  EXPECT_EQ(wb.Ulong(28), 2u);
  EXPECT_EQ(wb.Ulong(32), 3u);

  Context()->ManualExposure = 33;
  Context()->AutoExposure = 0;
  PropertyRequest exposure = Exposure();
  EXPECT_EQ(Get(exposure), STATUS_SUCCESS);
  EXPECT_EQ(exposure.Ulong(24), 33u);
  EXPECT_EQ(exposure.Ulong(28), 2u);
  EXPECT_EQ(exposure.Ulong(32), 3u);
  EXPECT_TRUE(Requests().empty()) << "a get asks nothing of the camera";
}

TEST_F(StandardSets, ImageControlSetsReachRecordCameraAndRegistry)
{
  struct Case {
    ULONG id;
    uint32_t value;
    std::vector<std::string> requests;
    const char* valueName;
    std::atomic<ULONG> driver::DeviceContext::*field;
  };
  const Case cases[] = {
      {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, {RegisterWrite(0x21A7, 0xFF80)}, "Brightness",
       &driver::DeviceContext::Brightness},
      {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 255, {RegisterWrite(0x21A7, 0x007F)}, "Brightness",
       &driver::DeviceContext::Brightness},
      {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 31, {RegisterWrite(0x21A8, 63)}, "Contrast",
       &driver::DeviceContext::Contrast},
      {KSPROPERTY_VIDEOPROCAMP_HUE, 719, {RegisterWrite(0x21AC, 0x81), RegisterWrite(0x21AD, 0xCF)}, "Hue",
       &driver::DeviceContext::Hue},
      {KSPROPERTY_VIDEOPROCAMP_SATURATION, 63, {RegisterWrite(0x21AE, 63)}, "Saturation",
       &driver::DeviceContext::Saturation},
      {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 200, {RegisterWrite(0x21A3, 200)}, "Sharpness",
       &driver::DeviceContext::Sharpness},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.valueName);
    ClearRequests();
    ClearSettings();
    PropertyRequest request = ProcAmp(c.id, c.value, 0);
    EXPECT_EQ(Set(request), STATUS_SUCCESS);
    EXPECT_EQ(request.Status(), STATUS_SUCCESS);
    EXPECT_EQ((Context()->*c.field).load(), c.value);
    EXPECT_EQ(Requests(), c.requests);
    EXPECT_EQ(ValueNames(), std::vector<std::string>{c.valueName});
    EXPECT_EQ(Dword(c.valueName), c.value);
  }
  // The camera holds what was sent.
  EXPECT_EQ(Camera().Register(0x21A3), 200);
}

TEST_F(StandardSets, OutOfRangeOrShortSetsChangeNothing)
{
  struct Case {
    const GUID* set;
    ULONG id;
    uint32_t value;
    ULONG outputSize;
    NTSTATUS status;
  };
  const Case cases[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 256, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0xFFFFFFFF, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, 720, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, 10, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 21, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 0, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 5, 39, STATUS_BUFFER_TOO_SMALL},
      {&PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, 64, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, 5, 40, STATUS_NOT_SUPPORTED},
      {&PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, 5, 0, STATUS_BUFFER_TOO_SMALL},
  };
  const auto* record = reinterpret_cast<const uint8_t*>(Context());
  const std::vector<uint8_t> before(record, record + sizeof(driver::DeviceContext));
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "id " << c.id << " value " << c.value);
    PropertyRequest request = ControlRequest(*c.set, c.id, c.value, 2);
    request.SetOutputSize(c.outputSize);
    EXPECT_EQ(Set(request), c.status);
    EXPECT_EQ(request.Status(), c.status);
  }
  EXPECT_EQ(std::memcmp(before.data(), record, before.size()), 0) << "the record changed";
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(ValueNames().empty());
  EXPECT_EQ(pipeline::ToneCurveIndexOf(&Context()->ProcessingOptions), 0);
}

TEST_F(StandardSets, ShortAnswerBuffersAreNeverWrittenPast)
{
  PropertyRequest get(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, kControlPropertySize);
  get.SetOutputSize(24);
  EXPECT_EQ(Get(get), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(get.PatternFrom(24));

  PropertyRequest caps = VideoControl(KSPROPERTY_VIDEOCONTROL_CAPS, 32, 1);
  caps.SetOutputSize(16);
  EXPECT_EQ(Get(caps), STATUS_BUFFER_TOO_SMALL);
  EXPECT_NE(caps.Ulong(28), 0x0Cu);

  // A request block without a descriptor, or with a property shorter than a
  // KSPROPERTY, is refused rather than read.
  PropertyRequest bare = ProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS);
  PHW_STREAM_REQUEST_BLOCK srb = bare.Srb();
  srb->CommandData.PropertyInfo = nullptr;
  EXPECT_EQ(camera::DevicePropertyHandler(0, nullptr, Context(), srb), STATUS_INVALID_PARAMETER);
  PropertyRequest tiny(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, kControlPropertySize);
  tiny.SetInputSize(20);
  EXPECT_EQ(Get(tiny), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(tiny.PatternFrom(24));

  // A set the driver does not have leaves the request as it came.
  PropertyRequest foreign(PROPSETID_VIDCAP_DROPPEDFRAMES, 0, kControlPropertySize);
  EXPECT_EQ(Get(foreign), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(foreign.Status(), kPreloadedStatus);
  EXPECT_TRUE(foreign.PatternFrom(24));
}

TEST_F(StandardSets, GammaSelectsTheToneCurveWithoutAskingTheCamera)
{
  PropertyRequest gamma = ProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA, 3);
  EXPECT_EQ(Set(gamma), STATUS_SUCCESS);
  EXPECT_EQ(Context()->Gamma, 3u);
  EXPECT_EQ(pipeline::ToneCurveIndexOf(&Context()->ProcessingOptions), 3);
  pipeline::ToneStateView state;
  pipeline::ReadToneState(&state);
  EXPECT_EQ(std::memcmp(state.Active, pipeline::ToneCurveTable(3), sizeof state.Active), 0);
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(Dword("Gamma"), 3u);

  PropertyRequest get = ProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA);
  Get(get);
  EXPECT_EQ(get.Ulong(24), 3u);
}

TEST_F(StandardSets, WhiteBalanceFollowsTheAutoFlagRule)
{
  // Manual, warmer: red gain + 32, then the mode goes off and back on
  // without automatic white balance (3: exposure only).
  PropertyRequest manual = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 15, 2);
  EXPECT_EQ(Set(manual), STATUS_SUCCESS);
  EXPECT_EQ(Context()->WhiteBalance, 15u);
  EXPECT_EQ(Context()->AutoWhiteBalance, 0u);
  EXPECT_EQ(Requests(), (std::vector<std::string>{FirmwareWrite(4, 132), FirmwareWrite(5, 90), Out(0x0C, 0, 0),
                                                  Out(0x0C, 3, 0)}));
  EXPECT_EQ(Dword("White Balance"), 15u);
  EXPECT_EQ(Dword("Auto White Balance Enable"), 0u);
  EXPECT_EQ(Context()->FirmwareParams.FwRGain, 100) << "the stored gain is not changed";

  // The red gain never passes 255.
  Context()->FirmwareParams.FwRGain = 240;
  ClearRequests();
  PropertyRequest warmest = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 20, 2);
  Set(warmest);
  EXPECT_EQ(Requests().front(), FirmwareWrite(4, 255));

  // Flags outside 0..3 keep the current mode; 1 and 3 switch it on, 0 off.
  const std::pair<uint32_t, uint32_t> rule[] = {{5, 0}, {1, 1}, {0x100, 1}, {0, 0}, {3, 1}, {2, 0}};
  for (const auto& [flags, expected] : rule) {
    PropertyRequest request = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 12, flags);
    EXPECT_EQ(Set(request), STATUS_SUCCESS);
    EXPECT_EQ(Context()->AutoWhiteBalance, expected) << "flags " << flags;
    EXPECT_EQ(Dword("Auto White Balance Enable"), expected) << "flags " << flags;
  }
  // Automatic white balance writes the stored gains unchanged and mode 4.
  Context()->FirmwareParams.FwRGain = 100;
  ClearRequests();
  PropertyRequest automatic = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 3, 1);
  Set(automatic);
  EXPECT_EQ(Requests(), (std::vector<std::string>{FirmwareWrite(4, 100), FirmwareWrite(5, 90), Out(0x0C, 0, 0),
                                                  Out(0x0C, 4, 0)}));
}

TEST_F(StandardSets, ExposureSetDropsTheValueWhileAutomatic)
{
  PropertyRequest automatic = Exposure(40, 1);
  EXPECT_EQ(Set(automatic), STATUS_SUCCESS);
  EXPECT_EQ(Context()->AutoExposure, 1u);
  EXPECT_EQ(Context()->ManualExposure, 10u);
  EXPECT_EQ(Requests(), (std::vector<std::string>{Out(0x0C, 0, 0), Out(0x0C, 4, 0)}));
  EXPECT_EQ(ValueNames(), std::vector<std::string>{"Auto Exposure Enable"});
  EXPECT_EQ(Dword("Auto Exposure Enable"), 1u);

  ClearRequests();
  PropertyRequest manual = Exposure(40, 2);
  EXPECT_EQ(Set(manual), STATUS_SUCCESS);
  EXPECT_EQ(Context()->AutoExposure, 0u);
  EXPECT_EQ(Context()->ManualExposure, 40u);
  EXPECT_EQ(Context()->FirmwareParams.FwCurAgc, 40);
  EXPECT_EQ(Requests(), (std::vector<std::string>{Out(0x0C, 0, 0), Out(0x0C, 1, 0), FirmwareWrite(2, 40)}));
  EXPECT_EQ(Camera().FirmwareVariable(2), 40);
  EXPECT_EQ(Dword("Manual_Exposure"), 40u);
  EXPECT_EQ(Dword("Auto Exposure Enable"), 0u);
  EXPECT_EQ(Dword("Fw_CurAgc"), std::nullopt) << "only the exposure setting is saved";
}

TEST_F(StandardSets, VideoControlCapsAndModeAnswerTheStillStream)
{
  PropertyRequest caps0 = VideoControl(KSPROPERTY_VIDEOCONTROL_CAPS, 32, 0);
  EXPECT_EQ(Get(caps0), STATUS_NOT_SUPPORTED);
  PropertyRequest caps1 = VideoControl(KSPROPERTY_VIDEOCONTROL_CAPS, 32, 1);
  EXPECT_EQ(Get(caps1), STATUS_SUCCESS);
  EXPECT_EQ(caps1.Ulong(28), 0x0Cu);
  EXPECT_EQ(caps1.Transferred(), 32u);

  PropertyRequest modeSize = VideoControl(KSPROPERTY_VIDEOCONTROL_MODE, 32, 0);
  modeSize.SetOutputSize(0);
  EXPECT_EQ(Get(modeSize), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(modeSize.Transferred(), 32u);
  PropertyRequest modeShort = VideoControl(KSPROPERTY_VIDEOCONTROL_MODE, 32, 0);
  modeShort.SetOutputSize(31);
  EXPECT_EQ(Get(modeShort), STATUS_NOT_SUPPORTED);
  PropertyRequest mode = VideoControl(KSPROPERTY_VIDEOCONTROL_MODE, 32, 0);
  EXPECT_EQ(Get(mode), STATUS_SUCCESS);
  EXPECT_EQ(mode.Ulong(28), 0x0Cu);

  // A trigger on the still stream is acknowledged; anything else is refused
  // as not supported, never left at the preloaded pending status, which
  // would complete as a success. Nothing reaches the camera.
  PropertyRequest trigger = VideoControl(KSPROPERTY_VIDEOCONTROL_MODE, 32, 1, KS_VideoControlFlag_Trigger);
  EXPECT_EQ(Set(trigger), STATUS_SUCCESS);
  PropertyRequest noFlag = VideoControl(KSPROPERTY_VIDEOCONTROL_MODE, 32, 1, KS_VideoControlFlag_FlipVertical);
  EXPECT_EQ(Set(noFlag), static_cast<NTSTATUS>(0xC00000BB));
  EXPECT_EQ(noFlag.Status(), static_cast<NTSTATUS>(0xC00000BB));
  PropertyRequest otherStream = VideoControl(KSPROPERTY_VIDEOCONTROL_MODE, 32, 0, 0x0C);
  EXPECT_EQ(Set(otherStream), static_cast<NTSTATUS>(0xC00000BB));
  PropertyRequest capsSet = VideoControl(KSPROPERTY_VIDEOCONTROL_CAPS, 32, 1);
  EXPECT_EQ(Set(capsSet), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(Requests().empty());
}

TEST_F(StandardSets, FrameRatesSizeQueryThenList)
{
  PropertyRequest size = VideoControl(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 64, 0);
  size.SetOutputSize(0);
  EXPECT_EQ(Get(size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size.Transferred(), 64u);

  PropertyRequest tooSmall = VideoControl(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 64, 0);
  tooSmall.SetOutputSize(40);
  EXPECT_EQ(Get(tooSmall), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(tooSmall.PatternFrom(40));

  // Same list for every stream.
  for (uint32_t stream : {0u, 1u, 7u}) {
    PropertyRequest list = VideoControl(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 64, stream);
    ASSERT_EQ(Get(list), STATUS_SUCCESS);
    EXPECT_EQ(list.Transferred(), 64u);
    EXPECT_EQ(list.Ulong(0), 56u);
    EXPECT_EQ(list.Ulong(4), 7u);
    const int64_t expected[] = {1666666, 833333, 666666, 555555, 476190, 416666, 333333};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(list.Longlong(8 + 8 * i), expected[i]);
  }
}

TEST_F(StandardSets, ActualFrameRateNeedsAnOpenStream)
{
  PropertyRequest closed = VideoControl(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 0);
  EXPECT_EQ(Get(closed), STATUS_NOT_SUPPORTED);
  PropertyRequest still = VideoControl(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 1);
  EXPECT_EQ(Get(still), STATUS_NOT_SUPPORTED);
  PropertyRequest size = VideoControl(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 0);
  size.SetOutputSize(0);
  EXPECT_EQ(Get(size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size.Transferred(), 56u);

  Context()->StreamOpened = 1;
  PropertyRequest shortAnswer = VideoControl(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 0);
  shortAnswer.SetOutputSize(55);
  EXPECT_EQ(Get(shortAnswer), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(shortAnswer.PatternFrom(40));

  PropertyRequest open = VideoControl(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 0);
  EXPECT_EQ(Get(open), STATUS_SUCCESS);
  EXPECT_EQ(open.Transferred(), 56u);
  EXPECT_EQ(open.Longlong(40), 0);
  EXPECT_EQ(open.Longlong(48), 333333);

  Context()->FrameRateIndex = 3;
  Context()->FrameRateFixed = 1;
  Get(open);
  EXPECT_EQ(open.Longlong(40), 666666);
  EXPECT_EQ(open.Longlong(48), 666666);

  // An index past the table answers "unknown" instead of reading beyond it.
  Context()->FrameRateIndex = 1000;
  EXPECT_EQ(Get(open), STATUS_SUCCESS);
  EXPECT_EQ(open.Longlong(40), 0);
}

}  // namespace
}  // namespace dualcam::props::testing
