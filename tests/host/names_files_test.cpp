// Files, symbolic links, device interfaces and counted strings of the host
// kernel, through the platform calls.
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "platform/kernel.h"

namespace dualcam::host {
namespace {

class NamesFilesTest : public ::testing::Test {
protected:
    // Opens an NT path for writing as the snapshot writer does.
    NTSTATUS Create(const char16_t* path, HANDLE* handle, ULONG disposition = FILE_OVERWRITE_IF,
                    ULONG share = 0, ULONG_PTR* information = nullptr)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = ZwCreateFile(handle, SYNCHRONIZE | FILE_WRITE_DATA, &attributes, &io, nullptr,
                                             FILE_ATTRIBUTE_NORMAL, share, disposition, FILE_SYNCHRONOUS_IO_NONALERT,
                                             nullptr, 0);
        if (information != nullptr) *information = io.Information;
        return status;
    }
    NTSTATUS Write(HANDLE handle, const std::string& text, ULONG_PTR* written)
    {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<char*>(text.data()),
                                            static_cast<ULONG>(text.size()), nullptr, nullptr);
        *written = io.Information;
        return status;
    }
    std::string HostFile(const std::filesystem::path& relative)
    {
        std::ifstream in(kernel_.fileRoot() / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    HostKernel kernel_;
    ScopedKernel scope_{kernel_};
};

TEST_F(NamesFilesTest, CreateOverwritesAndWritesSequentially)
{
    std::filesystem::create_directories(kernel_.fileRoot() / "SystemRoot" / "twain_32" / "Orvantic" / "Mv7730");
    const char16_t* path = u"\\SystemRoot\\TWAIN_32\\orvantic\\Mv7730\\snapraw.dat";
    HANDLE file = nullptr;
    ULONG_PTR information = 99;
    ASSERT_EQ(Create(path, &file, FILE_OVERWRITE_IF, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, FILE_CREATED);
    ULONG_PTR written = 0;
    EXPECT_EQ(Write(file, "first ", &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(Write(file, "write", &written), STATUS_SUCCESS);

    // No sharing: a second open fails while the first is open.
    HANDLE second = nullptr;
    EXPECT_EQ(Create(path, &second), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    // Case-insensitive names find the existing folders rather than new ones.
    EXPECT_EQ(HostFile("SystemRoot/twain_32/Orvantic/Mv7730/snapraw.dat"), "first write");

    ASSERT_EQ(Create(path, &file, FILE_OVERWRITE_IF, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, FILE_OVERWRITTEN);
    EXPECT_EQ(Write(file, "new", &written), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(HostFile("SystemRoot/twain_32/Orvantic/Mv7730/snapraw.dat"), "new");

    EXPECT_EQ(Create(path, &file, FILE_CREATE), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Create(u"\\SystemRoot\\twain_32\\Orvantic\\Mv7730\\absent.dat", &file, FILE_OPEN),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel_.OpenHandles(), 0u);
}

TEST_F(NamesFilesTest, DriveLettersAndAliasesMapToTheSameFolder)
{
    HANDLE file = nullptr;
    ULONG_PTR written = 0;
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\one.txt", &file), STATUS_SUCCESS);
    EXPECT_EQ(Write(file, "x", &written), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"\\??\\c:\\ONE.TXT", &file, FILE_OPEN_IF), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(HostFile("C/one.txt"), "x");

    // A configured snapshot folder takes its prefix.
    const auto snapshots = kernel_.fileRoot() / "snapshots";
    std::filesystem::create_directories(snapshots);
    kernel_.files().Map("\\SystemRoot\\twain_32\\Orvantic\\Mv7730", snapshots);
    ASSERT_EQ(Create(u"\\SystemRoot\\twain_32\\Orvantic\\Mv7730\\snapraw.dat", &file), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(snapshots / "snapraw.dat"));
}

TEST_F(NamesFilesTest, BadNamesAndMissingFoldersFailWithoutTouchingTheHost)
{
    HANDLE file = nullptr;
    EXPECT_EQ(Create(u"\\SystemRoot\\twain_32\\Orvantic\\Mv7730\\snapraw.dat", &file),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(kernel_.fileRoot() / "SystemRoot" / "twain_32"));
    for (const char16_t* bad : {u"\\SystemRoot\\..\\escape.txt", u"\\SystemRoot\\.\\x", u"\\SystemRoot\\\\x",
                                u"\\SystemRoot\\a/b", u"\\SystemRoot\\a*b", u"\\SystemRoot", u"\\SystemRoot\\"}) {
        EXPECT_EQ(Create(bad, &file), STATUS_OBJECT_NAME_INVALID) << static_cast<int>(bad[12]);
    }
    EXPECT_EQ(Create(u"\\Device\\Elsewhere\\x", &file), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create(u"relative.txt", &file), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create(u"\\SystemRoot\\x", &file, 9), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(std::filesystem::exists(kernel_.fileRoot() / "escape.txt"));
    EXPECT_EQ(kernel_.OpenHandles(), 0u);
}

TEST_F(NamesFilesTest, InjectedWriteFailuresAndShortWritesReachTheCaller)
{
    HANDLE file = nullptr;
    ASSERT_EQ(Create(u"\\SystemRoot\\data.bin", &file), STATUS_SUCCESS);
    ULONG_PTR written = 0;
    kernel_.files().FailNextWrite(STATUS_DISK_FULL);
    EXPECT_EQ(Write(file, "abcdef", &written), STATUS_DISK_FULL);
    EXPECT_EQ(written, 0u);
    kernel_.files().ShortNextWrite(2);
    EXPECT_EQ(Write(file, "abcdef", &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(Write(file, "cd", &written), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(HostFile("SystemRoot/data.bin"), "abcd");

    IO_STATUS_BLOCK io{};
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, nullptr, 0, nullptr, nullptr), STATUS_INVALID_HANDLE);
}

TEST_F(NamesFilesTest, SymbolicLinksCollideAndDelete)
{
    UNICODE_STRING link;
    UNICODE_STRING device;
    RtlInitUnicodeString(&link, u"\\DosDevices\\TL847");
    RtlInitUnicodeString(&device, u"\\Device\\TL847");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_SUCCESS);
    UNICODE_STRING upper;
    RtlInitUnicodeString(&upper, u"\\DOSDEVICES\\tl847");
    EXPECT_EQ(IoCreateSymbolicLink(&upper, &device), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kernel_.names().LinkTarget("\\DosDevices\\TL847"), "\\Device\\TL847");
    EXPECT_EQ(IoDeleteSymbolicLink(&upper), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel_.names().LinkCount(), 0u);
}

TEST_F(NamesFilesTest, InterfaceLinkIsPoolAllocatedAndStable)
{
    DEVICE_OBJECT pdo{};
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &GUID_DEVINTERFACE_IMAGE, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(kernel_.pool().Live(kStringPoolTag).Blocks, 1u);
    EXPECT_EQ(name.MaximumLength, name.Length + 2);
    EXPECT_EQ(name.Buffer[name.Length / 2], u'\0');
    const std::u16string first(name.Buffer, name.Length / 2);
    EXPECT_NE(first.find(u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}"), std::u16string::npos);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(kernel_.names().InterfaceEnabled(std::string(first.begin(), first.end())));
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &GUID_DEVINTERFACE_IMAGE, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(again.Buffer, again.Length / 2), first);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(kernel_.names().InterfaceEnabled(std::string(first.begin(), first.end())));

    RtlFreeUnicodeString(&name);
    RtlFreeUnicodeString(&again);
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_EQ(kernel_.pool().Live(kStringPoolTag).Blocks, 0u);
    EXPECT_EQ(kernel_.pool().BadFrees(), 0u);

    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\nothing");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoRegisterDeviceInterface(nullptr, &GUID_DEVINTERFACE_IMAGE, nullptr, &name),
              STATUS_INVALID_DEVICE_REQUEST);
    // Freeing a string the pool never handed out is refused, not a crash.
    RtlFreeUnicodeString(&unknown);
    EXPECT_EQ(kernel_.pool().BadFrees(), 1u);
}

TEST_F(NamesFilesTest, CountedStringsKeepByteLengthsAndBounds)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "snapraw.dat");
    EXPECT_EQ(ansi.Length, 11);
    EXPECT_EQ(ansi.MaximumLength, 12);

    UNICODE_STRING wide{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(wide.Length, 22);
    EXPECT_EQ(wide.MaximumLength, 24);
    EXPECT_EQ(std::u16string(wide.Buffer), u"snapraw.dat");

    // Append into a fixed buffer: exact fit works, one byte short fails and
    // leaves the destination as it was.
    char16_t storage[20] = {};
    UNICODE_STRING path{0, 2 * 4 + 22, storage};
    UNICODE_STRING folder;
    RtlInitUnicodeString(&folder, u"\\ab\\");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&path, &folder), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&path, &wide), STATUS_SUCCESS);
    EXPECT_EQ(path.Length, 30);
    EXPECT_EQ(std::u16string(storage, 15), u"\\ab\\snapraw.dat");
    UNICODE_STRING tight{0, 21, storage + 16};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&tight, &wide), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tight.Length, 0);

    // Without allocation the destination must be big enough.
    char16_t small[4];
    UNICODE_STRING fixed{0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    // A malformed counted string is refused rather than read past its end.
    UNICODE_STRING broken{7, 4, storage};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&path, &broken), STATUS_INVALID_PARAMETER);

    UNICODE_STRING same;
    RtlInitUnicodeString(&same, u"SNAPRAW.DAT");
    EXPECT_TRUE(RtlEqualUnicodeString(&wide, &same, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&wide, &same, FALSE));

    kernel_.pool().FailNthAllocation(1);
    UNICODE_STRING failed{};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&failed, &ansi, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(failed.Buffer, nullptr);

    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(kernel_.pool().LiveTotal().Blocks, 0u);
}

}  // namespace
}  // namespace dualcam::host
