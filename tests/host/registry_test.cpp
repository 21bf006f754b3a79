// Registry of the host kernel: values through the platform calls and the C++
// API, key rules, the direct-query answers, and several writers at once.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "platform/kernel.h"
#include "support/test_data.h"

namespace dualcam::host {
namespace {

constexpr char16_t kSettingsKey[] = u"\\Registry\\MACHINE\\SOFTWARE\\Orvantic Tech\\Dual Mode Cameras\\MV7730";

NTSTATUS WriteDword(PCWSTR key, PCWSTR name, ULONG value)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, name, REG_DWORD, &value, sizeof value);
}

class RegistryTest : public ::testing::Test {
protected:
    HostKernel kernel_;
    ScopedKernel scope_{kernel_};
};

TEST_F(RegistryTest, WritesFailUntilTheKeyIsInstalledThenRoundTrip)
{
    EXPECT_EQ(WriteDword(kSettingsKey, u"DriverStatus", 1), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kernel_.registry().GetValue(kSettingsKeyPath, "DriverStatus"));

    ASSERT_EQ(InstallSettingsKey(kernel_.registry()), STATUS_SUCCESS);
    EXPECT_EQ(WriteDword(kSettingsKey, u"DriverStatus", 3), STATUS_SUCCESS);
    EXPECT_EQ(kernel_.registry().GetDword(kSettingsKeyPath, "DriverStatus"), 3u);

    // Overwrite keeps one value, with the latest datum.
    EXPECT_EQ(WriteDword(kSettingsKey, u"DriverStatus", 8), STATUS_SUCCESS);
    const auto values = kernel_.registry().ListValues(kSettingsKeyPath);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Value.AsDword(), 8u);

    // String and binary values keep type and bytes.
    ASSERT_EQ(kernel_.registry().SetString(kSettingsKeyPath, "Label", "caméra"), STATUS_SUCCESS);
    EXPECT_EQ(kernel_.registry().GetValue(kSettingsKeyPath, "Label")->AsString(), "caméra");
    const std::uint8_t blob[3] = {1, 0, 0xFF};
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSettingsKey, u"Blob", REG_BINARY,
                                    const_cast<std::uint8_t*>(blob), 3),
              STATUS_SUCCESS);
    const auto stored = kernel_.registry().GetValue(kSettingsKeyPath, "Blob");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->Type, REG_BINARY);
    EXPECT_EQ(stored->Data, (std::vector<std::uint8_t>{1, 0, 0xFF}));

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSettingsKey, u"Blob"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSettingsKey, u"Blob"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, KeysAndValueNamesIgnoreCaseAndTrailingSeparators)
{
    ASSERT_EQ(InstallSettingsKey(kernel_.registry()), STATUS_SUCCESS);
    EXPECT_EQ(WriteDword(u"\\REGISTRY\\machine\\software\\ORVANTIC TECH\\dual mode cameras\\mv7730\\", u"isomode", 1),
              STATUS_SUCCESS);
    EXPECT_EQ(kernel_.registry().GetDword(kSettingsKeyPath, "IsoMode"), 1u);
    EXPECT_EQ(WriteDword(kSettingsKey, u"ISOMODE", 0), STATUS_SUCCESS);
    EXPECT_EQ(kernel_.registry().ListValues(kSettingsKeyPath).size(), 1u);
    // The name keeps the case it was first written with.
    EXPECT_EQ(kernel_.registry().ListValues(kSettingsKeyPath)[0].Name, "isomode");
}

TEST_F(RegistryTest, MalformedPathsAreRefused)
{
    for (const char* bad : {"", "Registry\\Machine", "\\Registry\\\\Machine", "\\Machine\\Software", "\\RegistryX"}) {
        EXPECT_FALSE(Registry::NormalisePath(bad)) << bad;
        EXPECT_NE(kernel_.registry().CreateKey(bad), STATUS_SUCCESS) << bad;
    }
    EXPECT_EQ(WriteDword(nullptr, u"x", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSettingsKey, u"x", REG_DWORD, nullptr, 4),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, DirectQueryFillsDwordCellsAndLeavesOthersAlone)
{
    ASSERT_EQ(InstallSettingsKey(kernel_.registry()), STATUS_SUCCESS);
    auto& registry = kernel_.registry();
    ASSERT_EQ(registry.SetDword(kSettingsKeyPath, "Brightness", 0x80), STATUS_SUCCESS);
    ASSERT_EQ(registry.SetString(kSettingsKeyPath, "Contrast", "high"), STATUS_SUCCESS);
    ASSERT_EQ(registry.SetValue(kSettingsKeyPath, "Hue", RegistryValue::Binary({1, 2, 3, 4, 5, 6, 7, 8})),
              STATUS_SUCCESS);
    ASSERT_EQ(registry.SetDword(kSettingsKeyPath, "Gamma", 7), STATUS_SUCCESS);

    ULONG cells[5] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    RTL_QUERY_REGISTRY_TABLE table[6] = {};
    const char16_t* names[5] = {u"Brightness", u"Contrast", u"Hue", u"Missing", u"Gamma"};
    for (int i = 0; i < 5; ++i) {
        table[i].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[i].Name = const_cast<PWSTR>(names[i]);
        table[i].EntryContext = &cells[i];
    }
    // A string or an 8-byte value would overrun a 32-bit cell: the cell keeps
    // its absence marker, the query says why, and later entries still land.
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSettingsKey, table, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(cells[0], 0x80u);
    EXPECT_EQ(cells[1], 0xFFFFFFFFu);
    EXPECT_EQ(cells[2], 0xFFFFFFFFu);
    EXPECT_EQ(cells[3], 0xFFFFFFFFu);
    EXPECT_EQ(cells[4], 7u);

    // A missing key leaves every cell and answers as the platform does.
    ULONG cell = 0xFFFFFFFF;
    RTL_QUERY_REGISTRY_TABLE one[2] = {};
    one[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    one[0].Name = const_cast<PWSTR>(u"Brightness");
    one[0].EntryContext = &cell;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\SOFTWARE\\Nowhere", one, nullptr,
                                     nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(cell, 0xFFFFFFFFu);

    // A required value that is missing stops the query.
    one[0].Name = const_cast<PWSTR>(u"Missing");
    one[0].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSettingsKey, one, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // A default stands in for a missing value.
    ULONG fallback = 42;
    one[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    one[0].DefaultType = REG_DWORD;
    one[0].DefaultData = &fallback;
    one[0].DefaultLength = 4;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSettingsKey, one, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(cell, 42u);
}

TEST_F(RegistryTest, QueryRoutineSeesTerminatedStrings)
{
    ASSERT_EQ(InstallSettingsKey(kernel_.registry()), STATUS_SUCCESS);
    ASSERT_EQ(kernel_.registry().SetString(kSettingsKeyPath, "Name", "ab"), STATUS_SUCCESS);
    struct Seen {
        ULONG Type = 0;
        std::u16string Text;
    } seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = [](PWSTR, ULONG type, PVOID data, ULONG, PVOID context, PVOID) -> NTSTATUS {
        auto* out = static_cast<Seen*>(context);
        out->Type = type;
        out->Text = static_cast<const char16_t*>(data);
        return STATUS_SUCCESS;
    };
    table[0].Name = const_cast<PWSTR>(u"name");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kSettingsKey, table, &seen, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(seen.Type, REG_SZ);
    EXPECT_EQ(seen.Text, u"ab");
}

TEST_F(RegistryTest, KeyHandlesOpenSetQueryAndClose)
{
    ASSERT_EQ(InstallVfwKey(kernel_.registry()), STATUS_SUCCESS);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\MediaResources\\MsVideo\\"
                                u"MsVideo.VfwWdm\\");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Driver");
    const char16_t data[] = u"camera";
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(data), sizeof data), STATUS_SUCCESS);

    alignas(8) std::uint8_t buffer[64];
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 8, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 14, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 12 + sizeof data);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    const auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, REG_SZ);
    EXPECT_EQ(info->DataLength, sizeof data);
    EXPECT_EQ(std::memcmp(info->Data, data, sizeof data), 0);

    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(data), sizeof data), STATUS_INVALID_HANDLE);
    EXPECT_EQ(kernel_.OpenHandles(), 0u);

    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\Absent");
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryFile, ValuesSurviveReopeningTheDatabase)
{
    dualcam::testing::TempDir dir("reg");
    const auto file = dir.path() / "registry.db";
    {
        Registry registry(file);
        ASSERT_EQ(InstallSettingsKey(registry), STATUS_SUCCESS);
        ASSERT_EQ(registry.SetDword(kSettingsKeyPath, "BulkMode", 0), STATUS_SUCCESS);
    }
    Registry again(file);
    EXPECT_TRUE(again.KeyExists(kSettingsKeyPath));
    EXPECT_EQ(again.GetDword(kSettingsKeyPath, "BulkMode"), 0u);
    EXPECT_EQ(again.DeleteKey("\\Registry\\Machine\\SOFTWARE\\Orvantic Tech"), STATUS_SUCCESS);
    EXPECT_FALSE(again.KeyExists(kSettingsKeyPath));
    EXPECT_FALSE(again.GetValue(kSettingsKeyPath, "BulkMode"));
    EXPECT_TRUE(again.KeyExists("\\Registry\\Machine\\SOFTWARE"));
}

// A tool opening the registry while a capture is in the middle of a write
// reads at once: opening a file already set up takes no write lock (which
// it would otherwise wait for, and after the busy timeout fail).
TEST(RegistryFile, OpeningWaitsForNoWriter)
{
    dualcam::testing::TempDir dir("reg");
    const auto file = dir.path() / "registry.db";
    {
        Registry registry(file);
        ASSERT_EQ(InstallSettingsKey(registry), STATUS_SUCCESS);
    }
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        Registry reader(file);
        EXPECT_TRUE(reader.KeyExists(kSettingsKeyPath));
    }
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
}

// Two processes share the settings key as a mailbox: each writes its own
// values and the same value, at the same time, and none is lost.
TEST(RegistryFile, TwoProcessesWritingOneKeyLoseNothing)
{
    dualcam::testing::TempDir dir("reg");
    const auto file = dir.path() / "registry.db";
    {
        Registry registry(file);
        ASSERT_EQ(InstallSettingsKey(registry), STATUS_SUCCESS);
    }
    constexpr int kWrites = 60;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        {
            Registry registry(file);
            for (int i = 0; i < kWrites; ++i) {
                failures += registry.SetDword(kSettingsKeyPath, "child" + std::to_string(i), i) != STATUS_SUCCESS;
                failures += registry.SetDword(kSettingsKeyPath, "Shared", 1000 + i) != STATUS_SUCCESS;
            }
        }
        ::_exit(failures == 0 ? 0 : 1);
    }
    Registry registry(file);
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(registry.SetDword(kSettingsKeyPath, "parent" + std::to_string(i), i), STATUS_SUCCESS);
        EXPECT_EQ(registry.SetDword(kSettingsKeyPath, "Shared", 2000 + i), STATUS_SUCCESS);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(registry.GetDword(kSettingsKeyPath, "child" + std::to_string(i)), static_cast<std::uint32_t>(i));
        EXPECT_EQ(registry.GetDword(kSettingsKeyPath, "parent" + std::to_string(i)), static_cast<std::uint32_t>(i));
    }
    const auto shared = registry.GetDword(kSettingsKeyPath, "Shared");
    ASSERT_TRUE(shared);
    EXPECT_TRUE(*shared == 1000 + kWrites - 1 || *shared == 2000 + kWrites - 1) << *shared;
    EXPECT_EQ(registry.ListValues(kSettingsKeyPath).size(), 2u * kWrites + 1);
}

TEST(HostConcurrency, TwoConnectionsWriteOneKeyAtOnce)
{
    dualcam::testing::TempDir dir("reg");
    const auto file = dir.path() / "registry.db";
    Registry first(file);
    ASSERT_EQ(InstallSettingsKey(first), STATUS_SUCCESS);
    Registry second(file);
    constexpr int kWrites = 40;
    auto writer = [&](Registry& registry, const std::string& prefix) {
        for (int i = 0; i < kWrites; ++i) registry.SetDword(kSettingsKeyPath, prefix + std::to_string(i), i);
    };
    std::thread a(writer, std::ref(first), "a");
    std::thread b(writer, std::ref(second), "b");
    a.join();
    b.join();
    EXPECT_EQ(first.ListValues(kSettingsKeyPath).size(), 2u * kWrites);
}

}  // namespace
}  // namespace dualcam::host
