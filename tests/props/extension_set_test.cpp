// The camera extension set: mains frequency, still capture with its
// one-second waits on the host clock, the information block through the
// property buffer, named values in the settings key and raw vendor
// requests, including every bound a caller can break.
#include <atomic>
#include <memory>

#include "camera/settings.h"
#include "props_harness.h"

namespace dualcam::props::testing {
namespace {

using namespace camera;

class ExtensionSet : public PropsWorld {
 protected:
  // Raw vendor request fields.
  static PropertyRequest Vendor(ULONG id, uint16_t request, uint16_t value, uint16_t index, uint16_t length)
  {
    PropertyRequest r = ExtensionRequest(id);
    r.PutUshort(layout::kExtRequest, request);
    r.PutUshort(layout::kExtRequestValue, value);
    r.PutUshort(layout::kExtRequestIndex, index);
    r.PutUshort(layout::kExtRequestLength, length);
    return r;
  }

  void ExpectStillFlagsClear()
  {
    EXPECT_EQ(Context()->StillReady.load(), 0u);
    EXPECT_EQ(Context()->StillRequested.load(), 0u);
    EXPECT_EQ(Context()->StillToSave.load(), 0u);
    EXPECT_EQ(Context()->StillByProperty.load(), 0u);
  }

  // Lets the packet path "complete" a still after the given sleep: fills
  // the still's raw data and raises StillReady as the packet routine does.
  void StillArrivesAfterSleep(int sleep)
  {
    // The clock may copy its hook for each call: keep the count outside it.
    auto count = std::make_shared<int>(0);
    OnDelay([this, sleep, count](int64_t) {
      EXPECT_EQ(Context()->StillByProperty.load(), 1u) << "the button poll must stay away during the wait";
      if (++*count != sleep) return;
      for (int i = 0; i < 4096; ++i) StillBuffer()[1024 + i] = static_cast<uint8_t>(i * 7 + 3);
      Context()->StillToSave.store(1);
      Context()->StillReady.store(1, std::memory_order_release);
    });
  }
};

TEST_F(ExtensionSet, FlickerKeepsAnyValueAndSendsTheMainsFrequency)
{
  PropertyRequest set = ExtensionRequest(CAMEXT_FLICKER, 7);
  EXPECT_EQ(Set(set), STATUS_SUCCESS);
  EXPECT_EQ(Context()->Flicker60, 7u);
  EXPECT_EQ(Requests(), std::vector<std::string>{Out(0xB0, 0, 0)});
  EXPECT_EQ(Dword("Flicker60"), 7u);
  // The next load brings the stored value back into range.
  LoadSettings(nullptr, Context());
  EXPECT_EQ(Context()->Flicker60, 1u);

  ClearRequests();
  PropertyRequest fifty = ExtensionRequest(CAMEXT_FLICKER, 0);
  Set(fifty);
  EXPECT_EQ(Requests(), std::vector<std::string>{Out(0xB0, 1, 0)});
  EXPECT_TRUE(Camera().Flicker50Hz());

  PropertyRequest get = ExtensionRequest(CAMEXT_FLICKER, 0xAAAA);
  EXPECT_EQ(Get(get), STATUS_SUCCESS);
  EXPECT_EQ(get.Transferred(), 1136u);
  EXPECT_EQ(get.Ulong(layout::kExtValue), 0u);
}

TEST_F(ExtensionSet, ItemsAnswerOnlyInTheirDirection)
{
  for (ULONG id : {CAMEXT_UNUSED_7, CAMEXT_UNUSED_8, CAMEXT_WRITE_INFO, CAMEXT_REGISTRY_DWORD, CAMEXT_VENDOR_READ,
                   CAMEXT_VENDOR_WRITE, CAMEXT_DECLARED_ONLY}) {
    PropertyRequest get = ExtensionRequest(id);
    EXPECT_EQ(Get(get), STATUS_NOT_SUPPORTED) << id;
  }
  for (ULONG id : {CAMEXT_UNUSED_7, CAMEXT_UNUSED_8, CAMEXT_STILL_CAPTURE, CAMEXT_READ_INFO, CAMEXT_DECLARED_ONLY}) {
    PropertyRequest set = ExtensionRequest(id);
    EXPECT_EQ(Set(set), STATUS_NOT_SUPPORTED) << id;
  }
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(Delays().empty());
}

TEST_F(ExtensionSet, ShortExtensionBuffersAreRefusedBeforeAnything)
{
  for (ULONG id : {CAMEXT_FLICKER, CAMEXT_STILL_CAPTURE, CAMEXT_READ_INFO}) {
    PropertyRequest get = ExtensionRequest(id);
    get.SetOutputSize(1136 - 1);
    EXPECT_EQ(Get(get), STATUS_BUFFER_TOO_SMALL) << id;
    EXPECT_TRUE(get.PatternFrom(layout::kExtData)) << id;
  }
  for (ULONG id : {CAMEXT_FLICKER, CAMEXT_WRITE_INFO, CAMEXT_REGISTRY_DWORD, CAMEXT_VENDOR_READ, CAMEXT_VENDOR_WRITE}) {
    PropertyRequest set = ExtensionRequest(id, layout::kExtDataSize);
    set.SetOutputSize(100);
    EXPECT_EQ(Set(set), STATUS_BUFFER_TOO_SMALL) << id;
  }
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(Delays().empty());
  EXPECT_TRUE(ValueNames().empty());
  EXPECT_EQ(Context()->StillByProperty.load(), 0u);
}

TEST_F(ExtensionSet, StillArrivingWithinTheFirstSecondIsDeliveredInTheBuffer)
{
  StillArrivesAfterSleep(1);
  PropertyRequest still = ExtensionRequest(CAMEXT_STILL_CAPTURE, 0xDEADBEEF);
  EXPECT_EQ(Get(still), STATUS_SUCCESS);
  EXPECT_EQ(still.Transferred(), 1136u);
  EXPECT_EQ(Delays(), std::vector<int64_t>{kOneSecond});
  // Value says how many bytes of the still the data area carries; it is
  // never an address.
  EXPECT_EQ(still.Ulong(layout::kExtValue), layout::kExtDataSize);
  EXPECT_EQ(still.Range(layout::kExtData, layout::kExtDataSize),
            std::vector<uint8_t>(StillBuffer() + 1024, StillBuffer() + 2048));
  ExpectStillFlagsClear();
  // The still trigger, then the camera goes back to the video size.
  EXPECT_EQ(Requests(), (std::vector<std::string>{Out(0x05, 2, 1), Out(0xA0, 0, 0x0503)}));
}

TEST_F(ExtensionSet, StillArrivingLateTakesOneSleepPerSecondWaited)
{
  StillArrivesAfterSleep(4);
  PropertyRequest still = ExtensionRequest(CAMEXT_STILL_CAPTURE);
  EXPECT_EQ(Get(still), STATUS_SUCCESS);
  EXPECT_EQ(Delays(), std::vector<int64_t>(4, kOneSecond));
  EXPECT_EQ(still.Ulong(layout::kExtValue), layout::kExtDataSize);
  ExpectStillFlagsClear();
}

TEST_F(ExtensionSet, StillThatNeverArrivesGivesUpAfterTenSeconds)
{
  Context()->StillToSave.store(1);  // left over; cleared whatever happens
  OnDelay([this](int64_t) { EXPECT_EQ(Context()->StillRequested.load(), 1u); });
  PropertyRequest still = ExtensionRequest(CAMEXT_STILL_CAPTURE, 0x12345678);
  EXPECT_EQ(Get(still), STATUS_SUCCESS);
  EXPECT_EQ(Delays(), std::vector<int64_t>(10, kOneSecond));
  EXPECT_EQ(still.Ulong(layout::kExtValue), 0u);
  EXPECT_EQ(still.Range(layout::kExtData, layout::kExtDataSize), std::vector<uint8_t>(layout::kExtDataSize, 0));
  ExpectStillFlagsClear();
  EXPECT_EQ(Requests(), (std::vector<std::string>{Out(0x05, 2, 1), Out(0xA0, 0, 0x0503)}));
}

TEST_F(ExtensionSet, InformationBlockTravelsInsideThePropertyBuffer)
{
  std::array<uint8_t, host::sim::kInfoBlockSize> block;
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i ^ 0x5A);
  Camera().SetInfoBlock(block);

  PropertyRequest read = ExtensionRequest(CAMEXT_READ_INFO);
  EXPECT_EQ(Get(read), STATUS_SUCCESS);
  EXPECT_EQ(read.Transferred(), 1136u);
  EXPECT_EQ(read.Ulong(layout::kExtValue), layout::kExtDataSize);
  EXPECT_EQ(read.Range(layout::kExtData, layout::kExtDataSize), std::vector<uint8_t>(block.begin(), block.end()));
  EXPECT_EQ(std::memcmp(Context()->CameraInfoBlock, block.data(), block.size()), 0);

  // Write a changed block back: it is taken from the data area.
  PropertyRequest write = ExtensionRequest(CAMEXT_WRITE_INFO, layout::kExtDataSize);
  std::array<uint8_t, host::sim::kInfoBlockSize> changed;
  for (size_t i = 0; i < changed.size(); ++i) changed[i] = static_cast<uint8_t>(255 - i);
  std::memcpy(write.Bytes() + layout::kExtData, changed.data(), changed.size());
  EXPECT_EQ(Set(write), STATUS_SUCCESS);
  EXPECT_EQ(Camera().InfoBlock(), changed);
}

TEST_F(ExtensionSet, InformationBlockWriteRefusesAnAddressInValue)
{
  const auto original = Camera().InfoBlock();
  // What a caller expecting the driver to read its memory would pass.
  const uint32_t addressLike = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Context()));
  for (uint32_t value : {addressLike, 0u, layout::kExtDataSize - 1, layout::kExtDataSize + 1}) {
    PropertyRequest write = ExtensionRequest(CAMEXT_WRITE_INFO, value);
    EXPECT_EQ(Set(write), STATUS_INVALID_PARAMETER) << value;
  }
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(Camera().InfoBlock(), original);

  // A camera that stays busy after the write is reported.
  Camera().SetAlwaysBusy(true);
  PropertyRequest busy = ExtensionRequest(CAMEXT_WRITE_INFO, layout::kExtDataSize);
  EXPECT_EQ(Set(busy), STATUS_UNSUCCESSFUL);
}

TEST_F(ExtensionSet, NamedValueMustEndWithinItsField)
{
  PropertyRequest gamma = ExtensionRequest(CAMEXT_REGISTRY_DWORD, 3);
  gamma.PutText(layout::kExtName, "Gamma");
  EXPECT_EQ(Set(gamma), STATUS_SUCCESS);
  EXPECT_EQ(Dword("Gamma"), 3u);
  // Takes effect at the next load.
  LoadSettings(nullptr, Context());
  EXPECT_EQ(Context()->Gamma, 3u);

  const std::string longest(63, 'N');
  PropertyRequest fits = ExtensionRequest(CAMEXT_REGISTRY_DWORD, 9);
  fits.PutText(layout::kExtName, longest);
  EXPECT_EQ(Set(fits), STATUS_SUCCESS);
  EXPECT_EQ(Dword(longest), 9u);

  // 64 characters and no terminator: the name would run into the request
  // fields behind it.
  PropertyRequest unterminated = ExtensionRequest(CAMEXT_REGISTRY_DWORD, 5);
  std::memset(unterminated.Bytes() + layout::kExtName, 'X', layout::kExtNameSize);
  unterminated.PutText(layout::kExtRequest, "Y");
  const auto before = ValueNames();
  EXPECT_EQ(Set(unterminated), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ValueNames(), before);
}

TEST_F(ExtensionSet, RawVendorReadFitsTheReplyCell)
{
  // Busy byte 0x5A: "VCR" holds it in its low byte and zeros above.
  Camera().QueueBusyReads(1, 0x5A);
  PropertyRequest busy = Vendor(CAMEXT_VENDOR_READ, 0x3306, 0, 0, 1);  // only the low 8 bits are the request
  EXPECT_EQ(Set(busy), STATUS_SUCCESS);
  EXPECT_EQ(Requests(), std::vector<std::string>{"in 06 v=0000 i=0000 n=1 -> 5A"});
  EXPECT_EQ(Dword("VCR"), 0x5Au);

  // Four bytes: a firmware variable read fills the low half.
  Camera().SetFirmwareVariable(4, 0xBEEF);
  PropertyRequest variable = Vendor(CAMEXT_VENDOR_READ, 0x30, 0, 4, 2);
  Set(variable);
  EXPECT_EQ(Dword("VCR"), 0xBEEFu);

  // A failed read still reports success and leaves the cell at 0.
  Camera().FailRequests({.in = true, .request = 0x30}, STATUS_DEVICE_DATA_ERROR);
  Set(variable);
  EXPECT_EQ(variable.Status(), STATUS_SUCCESS);
  EXPECT_EQ(Dword("VCR"), 0u);

  // Longer than the cell: refused before the camera is asked or VCR written.
  ClearRequests();
  ClearSettings();
  for (uint16_t length : {5, 1024, 0xFFFF}) {
    PropertyRequest tooLong = Vendor(CAMEXT_VENDOR_READ, 0x50, 0, 0, length);
    EXPECT_EQ(Set(tooLong), STATUS_INVALID_PARAMETER) << length;
  }
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(ValueNames().empty());
}

TEST_F(ExtensionSet, RawVendorWriteSendsNoDataStage)
{
  PropertyRequest write = Vendor(CAMEXT_VENDOR_WRITE, 0x1200, 0x0077, 0x21A3, 4);
  EXPECT_EQ(Set(write), STATUS_SUCCESS);
  EXPECT_EQ(Requests(), std::vector<std::string>{RegisterWrite(0x21A3, 0x77)});
  EXPECT_EQ(Camera().Register(0x21A3), 0x77);

  // A request the firmware stalls is still reported as sent.
  ClearRequests();
  PropertyRequest unknown = Vendor(CAMEXT_VENDOR_WRITE, 0x7E, 1, 2, 0);
  EXPECT_EQ(Set(unknown), STATUS_SUCCESS);
  EXPECT_EQ(Requests().size(), 1u);
}

}  // namespace
}  // namespace dualcam::props::testing
