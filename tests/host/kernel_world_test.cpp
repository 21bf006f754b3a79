// The host kernel as a whole: a real-run world sharing its registry file with
// another program, keys created through the platform calls, the delay hook
// that lets a test act while the driver sleeps, and name conversion edges.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "host/kernel/wide.h"
#include "platform/kernel.h"
#include "support/test_data.h"

namespace dualcam::host {
namespace {

// A tool's registry connection and a running driver's kernel exchange values
// through the settings key, as the snapshot mailbox does.
TEST(KernelWorld, RealRunSharesTheSettingsKeyWithAnotherProgram)
{
    dualcam::testing::TempDir dir("world");
    const auto file = dir.path() / "registry.db";
    HostKernel kernel(HostOptions::ForRealRun(file, dir.path() / "files"));
    ScopedKernel scope(kernel);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "files" / "SystemRoot"));
    ASSERT_EQ(InstallSettingsKey(kernel.registry()), STATUS_SUCCESS);

    Registry tool(file);
    ASSERT_EQ(tool.SetDword(kSettingsKeyPath, "SnapShoot", 1), STATUS_SUCCESS);

    ULONG snapShoot = 0xFFFFFFFF;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"SnapShoot");
    table[0].EntryContext = &snapShoot;
    const std::u16string key = Utf8ToUtf16(kSettingsKeyPath);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(snapShoot, 1u);

    ULONG answer = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key.c_str(), u"SnapShot", REG_DWORD, &answer, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(tool.GetDword(kSettingsKeyPath, "SnapShot"), 1u);
}

TEST(KernelWorld, PlatformKeyCreationNeedsTheParent)
{
    HostKernel kernel;
    ScopedKernel scope(kernel);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\SOFTWARE\\Vendor\\Product");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(u"\\Registry\\Machine\\SOFTWARE\\Vendor")),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    // A value written through a handle relative to that key.
    UNICODE_STRING child;
    RtlInitUnicodeString(&child, u"Sub");
    OBJECT_ATTRIBUTES relative;
    InitializeObjectAttributes(&relative, &child, OBJ_CASE_INSENSITIVE, key, nullptr);
    HANDLE sub = nullptr;
    ASSERT_EQ(ZwCreateKey(&sub, KEY_ALL_ACCESS, &relative, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(kernel.registry().KeyExists("\\registry\\machine\\software\\vendor\\product\\sub"));
    EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

struct Sleeper {
    WORK_QUEUE_ITEM Item;
    int Runs = 0;
};

// The driver's uninitialize sleeps while its poll item would run on another
// thread; the delay hook lets a deterministic test run the item inside that
// sleep.
TEST(KernelWorld, DelayHookRunsQueuedWorkDuringASleep)
{
    HostKernel kernel;
    ScopedKernel scope(kernel);
    Sleeper sleeper;
    ExInitializeWorkItem(&sleeper.Item, [](PVOID parameter) { ++static_cast<Sleeper*>(parameter)->Runs; },
                         &sleeper);
    kernel.clock().SetDelayHook([&kernel](LONGLONG) { kernel.workQueue().RunUntilIdle(8); });
    ExQueueWorkItem(&sleeper.Item, DelayedWorkQueue);
    LARGE_INTEGER twoSeconds;
    twoSeconds.QuadPart = -20'000'000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &twoSeconds), STATUS_SUCCESS);
    EXPECT_EQ(sleeper.Runs, 1);
    EXPECT_EQ(kernel.workQueue().Pending(), 0u);
    kernel.clock().SetDelayHook(nullptr);
}

TEST(KernelWorld, FilesWrittenCanBeReadBackAtOffsets)
{
    HostKernel kernel;
    ScopedKernel scope(kernel);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\??\\C:\\data.bin");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    ASSERT_EQ(ZwCreateFile(&file, GENERIC_READ | GENERIC_WRITE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                           FILE_CREATE, 0, nullptr, 0),
              STATUS_SUCCESS);
    char text[] = "0123456789";
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    // Not opened for synchronous I/O: a write needs an explicit offset.
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, text, 10, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, text, 10, &offset, nullptr), STATUS_SUCCESS);
    char back[4] = {};
    offset.QuadPart = 6;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, back, 4, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 4u);
    EXPECT_EQ(std::string(back, 4), "6789");
    offset.QuadPart = 10;
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, back, 4, &offset, nullptr), STATUS_END_OF_FILE);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST(KernelWorld, NameConversionSurvivesBrokenUnits)
{
    EXPECT_EQ(Utf16ToUtf8(u"Gr\u00FC\u00DFe \U0001F4F7"), "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x93\xB7");
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(u"Gr\u00FC\u00DFe \U0001F4F7")), u"Gr\u00FC\u00DFe \U0001F4F7");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(Utf8ToUtf16("x\xC3"), u"x\uFFFD");         // cut short
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");        // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");    // encoded surrogate
    UNICODE_STRING odd{3, 8, const_cast<char16_t*>(u"abcd")};
    EXPECT_FALSE(View(&odd));
    UNICODE_STRING nobuffer{2, 2, nullptr};
    EXPECT_FALSE(View(&nobuffer));
}

}  // namespace
}  // namespace dualcam::host
