// The VfW key set: open the system key, set values through the handle the
// get returned, close it; and the handles, commands and fields a caller can
// get wrong. Also two threads opening, writing and closing keys at once.
#include <thread>

#include "host/kernel/wide.h"
#include "props_harness.h"

namespace dualcam::props::testing {
namespace {

using namespace camera;

class VfwKeySet : public PropsWorld {
 protected:
  uint32_t Open()
  {
    PropertyRequest get = VfwRequest();
    EXPECT_EQ(Get(get), STATUS_SUCCESS);
    EXPECT_EQ(get.Transferred(), 1096u);
    return get.Ulong(layout::kVfwHandleOut);
  }
  NTSTATUS Close(uint32_t handle)
  {
    PropertyRequest close = VfwRequest(1, handle);
    return Set(close);
  }
  PropertyRequest SetValue(uint32_t handle, const std::u16string& name, const std::vector<uint8_t>& data,
                           ULONG type = REG_BINARY)
  {
    PropertyRequest request = VfwRequest(3, handle);
    request.PutWide(layout::kVfwValueName, name);
    request.PutUlong(layout::kVfwDataLength, static_cast<uint32_t>(data.size()));
    if (!data.empty()) std::memcpy(request.Bytes() + layout::kVfwData, data.data(), data.size());
    request.PutUlong(layout::kVfwValueType, type);
    return request;
  }
  std::optional<host::RegistryValue> VfwValue(const std::string& name)
  {
    return Kernel().registry().GetValue(host::kVfwKeyPath, name);
  }
};

TEST_F(VfwKeySet, OpenSetAndCloseThroughTheReturnedHandle)
{
  const size_t handlesBefore = Kernel().OpenHandles();
  const uint32_t handle = Open();
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(Kernel().OpenHandles(), handlesBefore + 1);
  EXPECT_EQ(OpenVfwKeyHandles(), 1);

  PropertyRequest dword = SetValue(handle, u"DevicePath", {1, 0, 0, 0}, REG_DWORD);
  EXPECT_EQ(Set(dword), STATUS_SUCCESS);
  EXPECT_EQ(Kernel().registry().GetDword(host::kVfwKeyPath, "DevicePath"), 1u);

  // A full 520-byte value.
  std::vector<uint8_t> big(layout::kVfwDataSize);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  PropertyRequest binary = SetValue(handle, u"Blob", big);
  EXPECT_EQ(Set(binary), STATUS_SUCCESS);
  ASSERT_TRUE(VfwValue("Blob").has_value());
  EXPECT_EQ(VfwValue("Blob")->Data, big);

  EXPECT_EQ(Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(Kernel().OpenHandles(), handlesBefore);
  EXPECT_EQ(OpenVfwKeyHandles(), 0);

  // The handle is gone: neither a value write nor a second close reaches it.
  PropertyRequest late = SetValue(handle, u"Late", {1});
  EXPECT_EQ(Set(late), STATUS_INVALID_HANDLE);
  EXPECT_FALSE(VfwValue("Late").has_value());
  EXPECT_EQ(Close(handle), STATUS_INVALID_HANDLE);
}

TEST_F(VfwKeySet, HandlesThisDriverNeverGaveOutAreRefused)
{
  // A key handle opened by someone else in the same process.
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\MACHINE\\SOFTWARE\\Orvantic Tech\\Dual Mode Cameras\\MV7730");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE foreign = nullptr;
  ASSERT_EQ(ZwOpenKey(&foreign, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
  const auto foreignValue = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(foreign));

  for (uint32_t handle : {0u, foreignValue, 0xFFFFFFFFu, 0x104u}) {
    PropertyRequest write = SetValue(handle, u"Sneak", {1, 2, 3, 4}, REG_DWORD);
    EXPECT_EQ(Set(write), STATUS_INVALID_HANDLE) << handle;
    EXPECT_EQ(Close(handle), STATUS_INVALID_HANDLE) << handle;
  }
  EXPECT_FALSE(Kernel().registry().GetDword(host::kSettingsKeyPath, "Sneak").has_value());
  EXPECT_TRUE(Kernel().KeyOf(foreign).has_value()) << "someone else's handle stays open";
  EXPECT_EQ(ZwClose(foreign), STATUS_SUCCESS);

  // The handle is taken from offset 28, not from where the get put it.
  const uint32_t handle = Open();
  PropertyRequest wrongSlot = VfwRequest(1, 0);
  wrongSlot.PutUlong(layout::kVfwHandleOut, handle);
  EXPECT_EQ(Set(wrongSlot), STATUS_INVALID_HANDLE);
  EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

TEST_F(VfwKeySet, NamesAndLengthsMustFitTheirFields)
{
  const uint32_t handle = Open();
  const auto before = Kernel().registry().ListValues(host::kVfwKeyPath).size();

  // 260 characters fill the field without room for the terminator.
  PropertyRequest unterminated = SetValue(handle, u"", {1});
  for (ULONG i = 0; i < layout::kVfwValueNameSize; i += 2) unterminated.PutUshort(layout::kVfwValueName + i, u'V');
  EXPECT_EQ(Set(unterminated), STATUS_INVALID_PARAMETER);

  PropertyRequest tooLong = SetValue(handle, u"Long", {1});
  tooLong.PutUlong(layout::kVfwDataLength, layout::kVfwDataSize + 1);
  EXPECT_EQ(Set(tooLong), STATUS_INVALID_PARAMETER);
  PropertyRequest huge = SetValue(handle, u"Huge", {1});
  huge.PutUlong(layout::kVfwDataLength, 0x80000000u);
  EXPECT_EQ(Set(huge), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Kernel().registry().ListValues(host::kVfwKeyPath).size(), before);

  // The longest name that fits is fine.
  const std::u16string longest(259, u'L');
  PropertyRequest fits = SetValue(handle, longest, {7, 0, 0, 0}, REG_DWORD);
  EXPECT_EQ(Set(fits), STATUS_SUCCESS);
  EXPECT_EQ(Kernel().registry().GetDword(host::kVfwKeyPath, host::Utf16ToUtf8(longest)), 7u);

  // Other commands and short buffers.
  PropertyRequest command2 = VfwRequest(2, handle);
  EXPECT_EQ(Set(command2), STATUS_NOT_SUPPORTED);
  PropertyRequest shortSet = VfwRequest(1, handle);
  shortSet.SetOutputSize(1096 - 1);
  EXPECT_EQ(Set(shortSet), STATUS_BUFFER_TOO_SMALL);
  PropertyRequest shortGet = VfwRequest();
  shortGet.SetOutputSize(36);
  EXPECT_EQ(Get(shortGet), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(OpenVfwKeyHandles(), 1) << "refused requests opened and closed nothing";
  EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

TEST_F(VfwKeySet, MissingKeyAndFullTableOpenNothing)
{
  ASSERT_EQ(Kernel().registry().DeleteKey(host::kVfwKeyPath), STATUS_SUCCESS);
  const size_t handlesBefore = Kernel().OpenHandles();
  PropertyRequest missing = VfwRequest();
  EXPECT_EQ(Get(missing), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(OpenVfwKeyHandles(), 0);
  ASSERT_EQ(host::InstallVfwKey(Kernel().registry()), STATUS_SUCCESS);

  std::vector<uint32_t> handles;
  for (int i = 0; i < 16; ++i) handles.push_back(Open());
  PropertyRequest oneMore = VfwRequest();
  EXPECT_EQ(Get(oneMore), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Kernel().OpenHandles(), handlesBefore + 16) << "the extra handle was closed again";
  for (uint32_t handle : handles) EXPECT_EQ(Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(Kernel().OpenHandles(), handlesBefore);
}

// Two cameras' request threads using the key set at once: every handle one
// thread opens is its own to write and close.
class VfwKeyConcurrency : public VfwKeySet {};

TEST_F(VfwKeyConcurrency, TwoThreadsOpenWriteAndCloseAtOnce)
{
  auto worker = [this](int thread, int* failures) {
    for (int i = 0; i < 40; ++i) {
      PropertyRequest get = VfwRequest();
      if (camera::VfwKeyGet(Context(), get.Srb()) != STATUS_SUCCESS) {
        ++*failures;
        continue;
      }
      const uint32_t handle = get.Ulong(layout::kVfwHandleOut);
      PropertyRequest write = SetValue(handle, thread == 0 ? u"A" : u"B", {static_cast<uint8_t>(i), 0, 0, 0},
                                       REG_DWORD);
      if (camera::VfwKeySet(Context(), write.Srb()) != STATUS_SUCCESS) ++*failures;
      PropertyRequest close = VfwRequest(1, handle);
      if (camera::VfwKeySet(Context(), close.Srb()) != STATUS_SUCCESS) ++*failures;
    }
  };
  int failures[2] = {0, 0};
  std::thread first(worker, 0, &failures[0]);
  std::thread second(worker, 1, &failures[1]);
  first.join();
  second.join();
  EXPECT_EQ(failures[0] + failures[1], 0);
  EXPECT_EQ(OpenVfwKeyHandles(), 0);
  EXPECT_EQ(Kernel().registry().GetDword(host::kVfwKeyPath, "A"), 39u);
  EXPECT_EQ(Kernel().registry().GetDword(host::kVfwKeyPath, "B"), 39u);
}

}  // namespace
}  // namespace dualcam::props::testing
