// Files for the host kernel: NT object paths ("\??\C:\...",
// "\DosDevices\C:\...", "\SystemRoot\...") mapped onto host folders, with the platform's
// create dispositions, sharing rules and failures.
//
// Hard part: an NT name must never reach outside its mapped folder, so "."
// and ".." components, empty components and characters that no NT file name
// may hold are refused before any host path is built. Components are matched
// without regard to case, as the names are compared case-insensitively.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/kernel.h"

namespace dualcam::host {

struct FileCreateResult {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    ULONG_PTR Information = 0;  // FILE_CREATED, FILE_OVERWRITTEN, ...
    int Descriptor = -1;
    std::filesystem::path HostPath;
};

class FileSystem {
public:
    FileSystem() = default;
    ~FileSystem();
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // Maps an NT prefix ("\SystemRoot", "\??\C:") onto a host folder; the
    // longest matching prefix wins. "\DosDevices\X:" and "\GLOBAL??\X:" are
    // the same as "\??\X:".
    void Map(std::string_view ntPrefix, const std::filesystem::path& hostFolder);
    // The host path an NT name stands for, or the failure status.
    NTSTATUS Resolve(std::string_view ntPath, std::filesystem::path* hostPath) const;

    FileCreateResult Create(std::string_view ntPath, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                            ULONG options);
    // Writes at offset, or at the current position when offset is null.
    NTSTATUS Write(int descriptor, const void* data, ULONG length, const LONGLONG* offset, ULONG_PTR* written);
    NTSTATUS Read(int descriptor, void* data, ULONG length, const LONGLONG* offset, ULONG_PTR* read);
    void Close(int descriptor);

    // The next write fails with this status, or moves only shortBytes bytes.
    void FailNextWrite(NTSTATUS status);
    void ShortNextWrite(ULONG shortBytes);

private:
    struct OpenFile {
        std::string Key;  // folded host path, for the sharing check
        ACCESS_MASK Access;
        ULONG Share;
        ULONG Options;
        LONGLONG Position = 0;
    };

    mutable std::mutex mutex_;
    std::map<std::string, std::filesystem::path> mappings_;  // folded prefix -> folder
    std::map<int, OpenFile> open_;
    std::optional<NTSTATUS> failNextWrite_;
    std::optional<ULONG> shortNextWrite_;
};

}  // namespace dualcam::host
