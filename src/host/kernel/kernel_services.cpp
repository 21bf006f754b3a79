// The kernel services of src/platform/kernel.h, carried out by the current
// host kernel.
//
// Hard part: these functions receive whatever the driver passes, including
// malformed counted strings, null pointers and query tables that would fault
// the platform. Each validates before use and answers with a failure status
// (counted as misuse where the platform would have crashed). With no kernel
// installed every call fails cleanly; the performance counter then falls
// back to the machine's clock so that a busy-wait still ends.
#include <chrono>
#include <cstring>
#include <string>

#include "host/kernel/host_kernel.h"
#include "host/kernel/wide.h"
#include "platform/kernel.h"

namespace host = dualcam::host;

namespace {

constexpr std::size_t kMaxQueryTableEntries = 4096;

host::HostKernel* Kernel() { return host::CurrentKernel(); }

std::string Utf8(std::u16string_view text) { return host::Utf16ToUtf8(text); }

// Absolute registry path for RelativeTo and Path, as RtlXxxRegistry* take them.
NTSTATUS RegistryPathOf(host::HostKernel& kernel, ULONG relativeTo, PCWSTR path, std::string* out)
{
    const ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (base == RTL_REGISTRY_HANDLE) {
        const auto key = kernel.KeyOf(const_cast<PWSTR>(path));
        if (!key) return STATUS_INVALID_HANDLE;
        *out = *key;
        return STATUS_SUCCESS;
    }
    const auto text = host::View(path);
    if (!text) return STATUS_INVALID_PARAMETER;
    const std::string tail = Utf8(*text);
    switch (base) {
    case RTL_REGISTRY_ABSOLUTE: *out = tail; break;
    case RTL_REGISTRY_SERVICES: *out = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + tail; break;
    case RTL_REGISTRY_CONTROL: *out = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\" + tail; break;
    case RTL_REGISTRY_WINDOWS_NT:
        *out = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\" + tail;
        break;
    case RTL_REGISTRY_DEVICEMAP: *out = "\\Registry\\Machine\\Hardware\\DeviceMap\\" + tail; break;
    case RTL_REGISTRY_USER: *out = "\\Registry\\User\\.Default\\" + tail; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// The key an OBJECT_ATTRIBUTES names, with its root directory if any.
NTSTATUS KeyPathOf(host::HostKernel& kernel, POBJECT_ATTRIBUTES attributes, std::string* out)
{
    if (attributes == nullptr) return STATUS_INVALID_PARAMETER;
    const auto name = host::View(attributes->ObjectName);
    if (!name) return STATUS_INVALID_PARAMETER;
    if (attributes->RootDirectory != nullptr) {
        const auto root = kernel.KeyOf(attributes->RootDirectory);
        if (!root) return STATUS_INVALID_HANDLE;
        *out = *root + "\\" + Utf8(*name);
    } else {
        *out = Utf8(*name);
    }
    return STATUS_SUCCESS;
}

PWSTR AllocateWide(host::HostKernel& kernel, std::size_t bytes)
{
    return static_cast<PWSTR>(kernel.pool().Allocate(NonPagedPool, bytes, host::kStringPoolTag));
}

// Calls a query routine with one value; strings arrive terminated, as the
// routine may treat them as C strings.
NTSTATUS CallQueryRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const std::string& name,
                          const host::RegistryValue& value, PVOID context)
{
    std::u16string wideName = host::Utf8ToUtf16(name);
    std::vector<std::uint8_t> data = value.Data;
    if ((value.Type == REG_SZ || value.Type == REG_EXPAND_SZ) &&
        (data.size() < 2 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0)) {
        if (data.size() % 2 != 0) data.push_back(0);
        data.push_back(0);
        data.push_back(0);
    }
    return entry.QueryRoutine(wideName.data(), value.Type, data.empty() ? nullptr : data.data(),
                              static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

}  // namespace

// ---- Registry --------------------------------------------------------------

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    std::string key;
    NTSTATUS status = RegistryPathOf(*kernel, RelativeTo, Path, &key);
    if (!NT_SUCCESS(status)) return status;
    if (ValueData == nullptr && ValueLength > 0) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    if (ValueLength > host::kMaxRegistryValueBytes) return STATUS_INSUFFICIENT_RESOURCES;
    const auto name = host::View(ValueName);
    host::RegistryValue value;
    value.Type = ValueType;
    if (ValueLength > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(ValueData);
        value.Data.assign(bytes, bytes + ValueLength);
    }
    return kernel->registry().SetValue(key, name ? Utf8(*name) : std::string{}, value);
}

// Direct entries deliver REG_DWORD values of four bytes only: EntryContext is
// taken to be a 32-bit cell. A value of any other type or size is not
// written into the cell (which keeps whatever marker the caller put there);
// the entry answers STATUS_OBJECT_TYPE_MISMATCH and the remaining entries are
// still answered. The call returns the first failure. A missing required
// value stops the query with STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    if (QueryTable == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    std::string key;
    NTSTATUS status = RegistryPathOf(*kernel, RelativeTo, Path, &key);
    if (!NT_SUCCESS(status)) return status;
    auto& registry = kernel->registry();
    if (!registry.KeyExists(key))
        return (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;

    NTSTATUS result = STATUS_SUCCESS;
    auto note = [&result](NTSTATUS failure) {
        if (NT_SUCCESS(result)) result = failure;
    };
    for (std::size_t i = 0; i < kMaxQueryTableEntries; ++i) {
        const RTL_QUERY_REGISTRY_TABLE& entry = QueryTable[i];
        const bool direct = (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (entry.QueryRoutine == nullptr && !direct) return result;
        if ((entry.Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) != 0) {
            note(STATUS_NOT_SUPPORTED);
            continue;
        }
        const auto name = host::View(entry.Name);
        if (direct) {
            if (!name || entry.EntryContext == nullptr) {
                kernel->NoteMisuse();
                return STATUS_INVALID_PARAMETER;
            }
            const std::string valueName = Utf8(*name);
            auto value = registry.GetValue(key, valueName);
            if (!value && entry.DefaultType != REG_NONE) {
                value = host::RegistryValue{};
                value->Type = entry.DefaultType;
                const ULONG length = entry.DefaultLength != 0 ? entry.DefaultLength
                                     : entry.DefaultType == REG_DWORD ? 4 : 0;
                if (entry.DefaultData != nullptr && length <= host::kMaxRegistryValueBytes) {
                    const auto* bytes = static_cast<const std::uint8_t*>(entry.DefaultData);
                    value->Data.assign(bytes, bytes + length);
                }
            }
            if (!value) {
                if ((entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
                continue;
            }
            const auto dword = value->AsDword();
            if (!dword) {
                note(STATUS_OBJECT_TYPE_MISMATCH);
                continue;
            }
            const ULONG cell = *dword;
            std::memcpy(entry.EntryContext, &cell, sizeof cell);
        } else if (!name) {
            // No name: the routine sees every value of the key.
            for (const auto& item : registry.ListValues(key)) {
                status = CallQueryRoutine(entry, item.Name, item.Value, Context);
                if (!NT_SUCCESS(status)) return status;
            }
            continue;
        } else {
            const std::string valueName = Utf8(*name);
            auto value = registry.GetValue(key, valueName);
            if (!value && entry.DefaultType != REG_NONE && entry.DefaultData != nullptr) {
                value = host::RegistryValue{};
                value->Type = entry.DefaultType;
                const auto* bytes = static_cast<const std::uint8_t*>(entry.DefaultData);
                if (entry.DefaultLength <= host::kMaxRegistryValueBytes)
                    value->Data.assign(bytes, bytes + entry.DefaultLength);
            }
            if (!value) {
                if ((entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
                continue;
            }
            status = CallQueryRoutine(entry, valueName, *value, Context);
            if (!NT_SUCCESS(status)) return status;
        }
        if ((entry.Flags & RTL_QUERY_REGISTRY_DELETE) != 0 && name) registry.DeleteValue(key, Utf8(*name));
    }
    kernel->NoteMisuse();  // no terminating entry within any sane length
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    std::string key;
    const NTSTATUS status = RegistryPathOf(*kernel, RelativeTo, Path, &key);
    if (!NT_SUCCESS(status)) return status;
    const auto name = host::View(ValueName);
    return kernel->registry().DeleteValue(key, name ? Utf8(*name) : std::string{});
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    std::string key;
    const NTSTATUS status = RegistryPathOf(*kernel, RelativeTo, Path, &key);
    if (!NT_SUCCESS(status)) return status;
    return kernel->registry().CreateSubKey(key, nullptr);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    if (KeyHandle == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    std::string path;
    const NTSTATUS status = KeyPathOf(*kernel, ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) return status;
    const auto normal = host::Registry::NormalisePath(path);
    if (!normal) return STATUS_OBJECT_NAME_INVALID;
    if (!kernel->registry().KeyExists(*normal)) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = kernel->OpenKeyHandle(*normal);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING,
                     ULONG, PULONG Disposition)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    if (KeyHandle == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    std::string path;
    NTSTATUS status = KeyPathOf(*kernel, ObjectAttributes, &path);
    if (!NT_SUCCESS(status)) return status;
    const auto normal = host::Registry::NormalisePath(path);
    if (!normal) return STATUS_OBJECT_NAME_INVALID;
    bool created = false;
    status = kernel->registry().CreateSubKey(*normal, &created);
    if (!NT_SUCCESS(status)) return status;
    if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *KeyHandle = kernel->OpenKeyHandle(*normal);
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    const auto key = kernel->KeyOf(KeyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    const auto name = host::View(ValueName);
    if (!name || (Data == nullptr && DataSize > 0)) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    if (DataSize > host::kMaxRegistryValueBytes) return STATUS_INSUFFICIENT_RESOURCES;
    host::RegistryValue value;
    value.Type = Type;
    if (DataSize > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(Data);
        value.Data.assign(bytes, bytes + DataSize);
    }
    // A key deleted behind an open handle answers as a missing key.
    return kernel->registry().SetValue(*key, Utf8(*name), value);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    const auto key = kernel->KeyOf(KeyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    const auto name = host::View(ValueName);
    if (!name || ResultLength == nullptr || (KeyValueInformation == nullptr && Length > 0)) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_NOT_IMPLEMENTED;
    const auto value = kernel->registry().GetValue(*key, Utf8(*name));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    constexpr ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG needed = header + static_cast<ULONG>(value->Data.size());
    *ResultLength = needed;
    if (Length < header) return STATUS_BUFFER_TOO_SMALL;
    KEY_VALUE_PARTIAL_INFORMATION info{};
    info.Type = value->Type;
    info.DataLength = static_cast<ULONG>(value->Data.size());
    std::memcpy(KeyValueInformation, &info, header);
    if (Length < needed) return STATUS_BUFFER_OVERFLOW;
    if (!value->Data.empty())
        std::memcpy(static_cast<std::uint8_t*>(KeyValueInformation) + header, value->Data.data(), value->Data.size());
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    const auto key = kernel->KeyOf(KeyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    const auto name = host::View(ValueName);
    if (!name) return STATUS_INVALID_PARAMETER;
    return kernel->registry().DeleteValue(*key, Utf8(*name));
}

NTSTATUS ZwClose(HANDLE Handle)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_INVALID_HANDLE;
    return kernel->CloseHandle(Handle);
}

// ---- Strings ---------------------------------------------------------------

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    if (DestinationString == nullptr) return;
    if (SourceString == nullptr) {
        *DestinationString = ANSI_STRING{0, 0, nullptr};
        return;
    }
    // Longer sources are cut to what the 16-bit counts can hold.
    const std::size_t length = std::min<std::size_t>(std::strlen(SourceString), 0xFFFE);
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = static_cast<USHORT>(length + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (DestinationString == nullptr) return;
    if (SourceString == nullptr) {
        *DestinationString = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    const std::size_t chars = std::min<std::size_t>(std::u16string_view(SourceString).size(), 0x7FFE);
    DestinationString->Length = static_cast<USHORT>(chars * 2);
    DestinationString->MaximumLength = static_cast<USHORT>(chars * 2 + 2);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// ANSI characters are taken as Latin-1, each byte one wide character.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    if (DestinationString == nullptr || SourceString == nullptr || SourceString->Length > SourceString->MaximumLength ||
        (SourceString->Length > 0 && SourceString->Buffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    const std::size_t bytes = static_cast<std::size_t>(SourceString->Length) * 2;
    if (bytes > 0xFFFC) return STATUS_INVALID_PARAMETER;
    if (AllocateDestinationString) {
        auto* kernel = Kernel();
        if (kernel == nullptr) return STATUS_NO_MEMORY;
        PWSTR buffer = AllocateWide(*kernel, bytes + 2);
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + 2);
    } else if (DestinationString->MaximumLength < bytes ||
               (bytes > 0 && DestinationString->Buffer == nullptr)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = static_cast<unsigned char>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (DestinationString->MaximumLength >= bytes + 2) DestinationString->Buffer[bytes / 2] = u'\0';
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    const auto to = host::View(Destination);
    const auto from = host::View(Source);
    if (!to || !from) return STATUS_INVALID_PARAMETER;
    const std::size_t total = static_cast<std::size_t>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    if (Source->Length == 0) return STATUS_SUCCESS;
    // memmove: the source may lie inside the destination's buffer.
    std::memmove(reinterpret_cast<std::uint8_t*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + 2 <= Destination->MaximumLength) Destination->Buffer[total / 2] = u'\0';
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) return host::View(Destination) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    const std::size_t chars = std::u16string_view(Source).size();
    if (chars > 0x7FFE) return STATUS_BUFFER_TOO_SMALL;
    UNICODE_STRING from{static_cast<USHORT>(chars * 2), static_cast<USHORT>(chars * 2), const_cast<PWSTR>(Source)};
    return RtlAppendUnicodeStringToString(Destination, &from);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!host::View(DestinationString)) return;
    const auto from = host::View(SourceString);
    if (!from) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    const USHORT even = static_cast<USHORT>(bytes & ~1u);
    if (even > 0) std::memmove(DestinationString->Buffer, SourceString->Buffer, even);
    DestinationString->Length = even;
    if (even + 2 <= DestinationString->MaximumLength) DestinationString->Buffer[even / 2] = u'\0';
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    const auto a = host::View(String1);
    const auto b = host::View(String2);
    if (!a || !b || a->size() != b->size()) return FALSE;
    for (std::size_t i = 0; i < a->size(); ++i) {
        char16_t x = (*a)[i];
        char16_t y = (*b)[i];
        if (CaseInSensitive) {
            if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
            if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
        }
        if (x != y) return FALSE;
    }
    return TRUE;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString == nullptr) return;
    if (UnicodeString->Buffer != nullptr) {
        // A buffer the pool did not hand out is refused and counted, not freed.
        if (auto* kernel = Kernel()) kernel->pool().Free(UnicodeString->Buffer);
    }
    *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}

// ---- Memory ----------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    auto* kernel = Kernel();
    return kernel == nullptr ? nullptr : kernel->pool().Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, host::kUntaggedPoolTag);
}

VOID ExFreePool(PVOID P)
{
    if (auto* kernel = Kernel()) kernel->pool().Free(P);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    if (auto* kernel = Kernel()) kernel->pool().Free(P, Tag);
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    if (Length == 0 || Source1 == nullptr || Source2 == nullptr) return 0;
    const auto* a = static_cast<const std::uint8_t*>(Source1);
    const auto* b = static_cast<const std::uint8_t*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) ++same;
    return same;
}

// ---- Device names and interfaces -------------------------------------------

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    const auto link = host::View(SymbolicLinkName);
    const auto device = host::View(DeviceName);
    if (!link || !device) return STATUS_INVALID_PARAMETER;
    return kernel->names().CreateLink(Utf8(*link), Utf8(*device));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    const auto link = host::View(SymbolicLinkName);
    if (!link) return STATUS_INVALID_PARAMETER;
    return kernel->names().DeleteLink(Utf8(*link));
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    if (PhysicalDeviceObject == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    std::string reference;
    if (ReferenceString != nullptr) {
        const auto text = host::View(ReferenceString);
        if (!text) return STATUS_INVALID_PARAMETER;
        reference = Utf8(*text);
    }
    const std::u16string link =
        host::Utf8ToUtf16(kernel->names().RegisterInterface(PhysicalDeviceObject, *InterfaceClassGuid, reference));
    const std::size_t bytes = link.size() * 2;
    PWSTR buffer = AllocateWide(*kernel, bytes + 2);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = u'\0';
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + 2);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    const auto link = host::View(SymbolicLinkName);
    if (!link) return STATUS_INVALID_PARAMETER;
    return kernel->names().SetInterfaceState(Utf8(*link), Enable != FALSE);
}

// ---- Work items ------------------------------------------------------------

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return;
    if (!kernel->workQueue().Queue(WorkItem, QueueType)) kernel->NoteMisuse();
}

// ---- Time ------------------------------------------------------------------

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    if (Interval == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    kernel->clock().Delay(Interval->QuadPart);
    return STATUS_SUCCESS;
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    LARGE_INTEGER counter;
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = host::Clock::kFrequency;
    if (auto* kernel = Kernel()) {
        counter.QuadPart = kernel->clock().Counter();
    } else {
        counter.QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count() /
                           100;
    }
    return counter;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    if (auto* kernel = Kernel()) kernel->clock().Stall(MicroSeconds);
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    if (CurrentTime == nullptr) return;
    auto* kernel = Kernel();
    CurrentTime->QuadPart = kernel != nullptr ? kernel->clock().SystemTime() : 0;
}

// 64 x 32-bit product, wrapping on overflow as the processor's multiply does.
LARGE_INTEGER RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier)
{
    LARGE_INTEGER product;
    product.QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(Multiplicand.QuadPart) *
                                             static_cast<ULONGLONG>(static_cast<LONGLONG>(Multiplier)));
    return product;
}

// ---- Files -----------------------------------------------------------------

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID, ULONG)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_UNSUCCESSFUL;
    if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    const auto name = host::View(ObjectAttributes->ObjectName);
    if (!name) return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes->RootDirectory != nullptr) return STATUS_NOT_SUPPORTED;
    if ((CreateOptions & FILE_DIRECTORY_FILE) != 0) return STATUS_NOT_SUPPORTED;
    const auto result =
        kernel->files().Create(Utf8(*name), DesiredAccess, ShareAccess, CreateDisposition, CreateOptions);
    IoStatusBlock->Status = result.Status;
    IoStatusBlock->Information = result.Information;
    if (!NT_SUCCESS(result.Status)) return result.Status;
    *FileHandle = kernel->OpenFileHandle(result.Descriptor);
    return STATUS_SUCCESS;
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                     ULONG Length, PLARGE_INTEGER ByteOffset, PULONG)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_INVALID_HANDLE;
    const auto fd = kernel->FileOf(FileHandle);
    if (!fd) return STATUS_INVALID_HANDLE;
    if (IoStatusBlock == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    ULONG_PTR written = 0;
    const NTSTATUS status = kernel->files().Write(*fd, Buffer, Length,
                                                  ByteOffset != nullptr ? &ByteOffset->QuadPart : nullptr, &written);
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = written;
    return status;
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                    ULONG Length, PLARGE_INTEGER ByteOffset, PULONG)
{
    auto* kernel = Kernel();
    if (kernel == nullptr) return STATUS_INVALID_HANDLE;
    const auto fd = kernel->FileOf(FileHandle);
    if (!fd) return STATUS_INVALID_HANDLE;
    if (IoStatusBlock == nullptr) {
        kernel->NoteMisuse();
        return STATUS_INVALID_PARAMETER;
    }
    ULONG_PTR read = 0;
    const NTSTATUS status = kernel->files().Read(*fd, Buffer, Length,
                                                 ByteOffset != nullptr ? &ByteOffset->QuadPart : nullptr, &read);
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = read;
    return status;
}
