// Kernel types and the kernel services the driver calls: registry, strings,
// pool memory, device names and interfaces, work items, time and files.
//
// Hard part: these are the platform's own names and record layouts (LLP64:
// ULONG and LONG are 32-bit, pointers 64-bit), so that driver code reads the
// same here as on the platform. Declarations only: the host layer defines the
// functions, and nothing here depends on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ntstatus.h"

// ---- Basic types -----------------------------------------------------------

typedef void VOID;
typedef void* PVOID;
typedef char CHAR, *PCHAR, CCHAR;
typedef const char* PCSZ;
typedef std::uint8_t UCHAR, *PUCHAR;
typedef std::int16_t SHORT, CSHORT;
typedef std::uint16_t USHORT, *PUSHORT;
typedef std::int32_t LONG, *PLONG;
typedef std::uint32_t ULONG, *PULONG;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::uintptr_t ULONG_PTR;
typedef std::size_t SIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef char16_t WCHAR, *PWSTR, *PWCHAR;
typedef const char16_t* PCWSTR;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// 64-bit signed value with its 32-bit halves (little-endian order).
typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8);

// Counted strings: Length and MaximumLength are in bytes, not characters, and
// Buffer need not be terminated.
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16);

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;
typedef const ANSI_STRING* PCANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID* LPCGUID;
static_assert(sizeof(GUID) == 16);

inline bool IsEqualGUID(const GUID& A, const GUID& B) { return std::memcmp(&A, &B, sizeof(GUID)) == 0; }

// Still-image device interface class {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}.
inline constexpr GUID GUID_DEVINTERFACE_IMAGE = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
static_assert(sizeof(IO_STATUS_BLOCK) == 16);

typedef VOID (*PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

// ---- Objects, names and access ---------------------------------------------

constexpr ULONG OBJ_INHERIT = 0x00000002;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);

inline VOID InitializeObjectAttributes(POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Name, ULONG Flags,
                                       HANDLE Root, PVOID SecurityDescriptor)
{
    Attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    Attributes->RootDirectory = Root;
    Attributes->ObjectName = Name;
    Attributes->Attributes = Flags;
    Attributes->SecurityDescriptor = SecurityDescriptor;
    Attributes->SecurityQualityOfService = nullptr;
}

constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr ACCESS_MASK KEY_READ = 0x20019;
constexpr ACCESS_MASK KEY_WRITE = 0x20006;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;
constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;

// ---- Device and driver objects ---------------------------------------------

struct _DRIVER_OBJECT;

// Only the fields that code on either side of the boundary looks at; the
// platform's record has more, none of which the driver touches.
typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    PVOID DeviceExtension;
    ULONG Flags;
    ULONG Characteristics;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef VOID (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_UNLOAD DriverUnload;
    PVOID MinidriverData;  // where the stream class keeps its per-driver data
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---- Registry --------------------------------------------------------------

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;

constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
constexpr ULONG RTL_REGISTRY_SERVICES = 1;
constexpr ULONG RTL_REGISTRY_CONTROL = 2;
constexpr ULONG RTL_REGISTRY_WINDOWS_NT = 3;
constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;
constexpr ULONG RTL_REGISTRY_USER = 5;
constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;
constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;

constexpr ULONG RTL_QUERY_REGISTRY_SUBKEY = 0x00000001;
constexpr ULONG RTL_QUERY_REGISTRY_TOPKEY = 0x00000002;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
constexpr ULONG RTL_QUERY_REGISTRY_NOVALUE = 0x00000008;
constexpr ULONG RTL_QUERY_REGISTRY_NOEXPAND = 0x00000010;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
constexpr ULONG RTL_QUERY_REGISTRY_DELETE = 0x00000040;

typedef NTSTATUS (*PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                ULONG ValueLength, PVOID Context, PVOID EntryContext);

// A query table ends with an entry whose QueryRoutine is null and whose Name
// is null. With RTL_QUERY_REGISTRY_DIRECT, EntryContext is the destination:
// a ULONG cell for REG_DWORD, a UNICODE_STRING for strings, or, for other
// types, a buffer whose first LONG gives its size in bytes.
typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56);

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

constexpr ULONG REG_OPTION_NON_VOLATILE = 0;
constexpr ULONG REG_CREATED_NEW_KEY = 1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 2;

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength);
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment);
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
// Closes a key or a file handle.
NTSTATUS ZwClose(HANDLE Handle);

// ---- Strings ---------------------------------------------------------------

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
// Frees a buffer that RtlAnsiStringToUnicodeString or IoRegisterDeviceInterface
// allocated, and empties the string. An empty string is left as it is.
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// ---- Memory ----------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePool(PVOID P);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
// Number of leading bytes that are equal.
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
inline VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { std::memset(Destination, Fill, Length); }
inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) { std::memcpy(Destination, Source, Length); }
inline VOID RtlMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length) { std::memmove(Destination, Source, Length); }

// ---- Device names and interfaces -------------------------------------------

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
// On success SymbolicLinkName receives a pool-allocated name that the caller
// frees with RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);

// ---- Work items ------------------------------------------------------------

typedef VOID (*PWORKER_THREAD_ROUTINE)(PVOID Parameter);

typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

inline VOID ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Context)
{
    Item->WorkerRoutine = Routine;
    Item->Parameter = Context;
    Item->List.Flink = nullptr;
    Item->List.Blink = nullptr;
}

// The item must stay valid until its routine has started; the routine may
// queue the same item again.
VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

// ---- Time ------------------------------------------------------------------

// Interval in 100 ns units: negative = relative to now, positive = absolute.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
VOID KeStallExecutionProcessor(ULONG MicroSeconds);
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
LARGE_INTEGER RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier);

// ---- Files -----------------------------------------------------------------

constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr ULONG FILE_SHARE_READ = 0x00000001;
constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
constexpr ULONG FILE_SHARE_DELETE = 0x00000004;

constexpr ULONG FILE_SUPERSEDE = 0x00000000;
constexpr ULONG FILE_OPEN = 0x00000001;
constexpr ULONG FILE_CREATE = 0x00000002;
constexpr ULONG FILE_OPEN_IF = 0x00000003;
constexpr ULONG FILE_OVERWRITE = 0x00000004;
constexpr ULONG FILE_OVERWRITE_IF = 0x00000005;

constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_WRITE_THROUGH = 0x00000002;
constexpr ULONG FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

// IO_STATUS_BLOCK.Information after a create.
constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr ULONG_PTR FILE_OVERWRITTEN = 3;
constexpr ULONG_PTR FILE_EXISTS = 4;
constexpr ULONG_PTR FILE_DOES_NOT_EXIST = 5;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength);
NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                     PULONG Key);
NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key);
