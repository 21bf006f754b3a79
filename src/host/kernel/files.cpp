// NT file names on host folders.
//
// Hard part: sharing is checked among the files this kernel has open, as the
// platform checks it among the handles of one system: a file opened with no
// sharing refuses every other open until it is closed.
#include "host/kernel/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "host/kernel/wide.h"

namespace dualcam::host {
namespace {

constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// "\DosDevices\C:" and "\GLOBAL??\C:" name the same thing as "\??\C:".
std::string CanonicalPrefix(std::string_view path)
{
    std::string folded = FoldCase(path);
    for (std::string_view alias : {std::string_view("\\dosdevices\\"), std::string_view("\\global??\\")}) {
        if (folded.compare(0, alias.size(), alias) == 0) folded = "\\??\\" + folded.substr(alias.size());
    }
    return folded;
}

bool ValidComponent(std::string_view part)
{
    if (part.empty() || part == "." || part == ".." || part.size() > 255) return false;
    for (char c : part) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
            c == '|')
            return false;
    }
    return true;
}

// The entry of folder whose name equals part without regard to case, or part.
std::string MatchEntry(const std::filesystem::path& folder, const std::string& part)
{
    std::error_code ec;
    if (std::filesystem::exists(folder / part, ec)) return part;
    const std::string folded = FoldCase(part);
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (FoldCase(name) == folded) return name;
    }
    return part;
}

}  // namespace

FileSystem::~FileSystem()
{
    for (auto& [fd, file] : open_) ::close(fd);
}

void FileSystem::Map(std::string_view ntPrefix, const std::filesystem::path& hostFolder)
{
    std::string key = CanonicalPrefix(ntPrefix);
    while (key.size() > 1 && key.back() == '\\') key.pop_back();
    std::lock_guard lock(mutex_);
    mappings_[key] = hostFolder;
}

NTSTATUS FileSystem::Resolve(std::string_view ntPath, std::filesystem::path* hostPath) const
{
    if (ntPath.empty() || ntPath.front() != '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    const std::string folded = CanonicalPrefix(ntPath);
    std::filesystem::path folder;
    std::size_t rest = std::string::npos;
    {
        std::lock_guard lock(mutex_);
        std::size_t best = 0;
        for (const auto& [prefix, mapped] : mappings_) {
            if (prefix.size() > best && folded.compare(0, prefix.size(), prefix) == 0 &&
                (folded.size() == prefix.size() || folded[prefix.size()] == '\\')) {
                best = prefix.size();
                folder = mapped;
                rest = prefix.size();
            }
        }
    }
    if (rest == std::string::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
    // The remainder keeps its original case, as it becomes host names; alias
    // rewriting only changed the start, so it is the same-length tail.
    std::string_view remainder = ntPath.substr(ntPath.size() - (folded.size() - rest));
    std::vector<std::string> parts;
    while (!remainder.empty()) {
        if (remainder.front() != '\\') return STATUS_OBJECT_NAME_INVALID;
        remainder.remove_prefix(1);
        const std::size_t end = remainder.find('\\');
        const std::string_view part = remainder.substr(0, end);
        if (!ValidComponent(part)) return STATUS_OBJECT_NAME_INVALID;
        parts.emplace_back(part);
        remainder = end == std::string_view::npos ? std::string_view{} : remainder.substr(end);
    }
    if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::filesystem::path path = folder;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string name = MatchEntry(path, parts[i]);
        path /= name;
        std::error_code ec;
        if (i + 1 < parts.size() && !std::filesystem::is_directory(path, ec)) return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *hostPath = path;
    return STATUS_SUCCESS;
}

FileCreateResult FileSystem::Create(std::string_view ntPath, ACCESS_MASK access, ULONG shareAccess,
                                    ULONG disposition, ULONG options)
{
    FileCreateResult result;
    if (disposition > FILE_OVERWRITE_IF) {
        result.Status = STATUS_INVALID_PARAMETER;
        return result;
    }
    std::filesystem::path path;
    result.Status = Resolve(ntPath, &path);
    if (!NT_SUCCESS(result.Status)) return result;

    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    if (exists && std::filesystem::is_directory(path, ec)) {
        result.Status = STATUS_FILE_IS_A_DIRECTORY;
        return result;
    }
    if (!exists && (disposition == FILE_OPEN || disposition == FILE_OVERWRITE)) {
        result.Status = STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    if (exists && disposition == FILE_CREATE) {
        result.Status = STATUS_OBJECT_NAME_COLLISION;
        return result;
    }

    std::lock_guard lock(mutex_);
    const std::string key = FoldCase(path.string());
    const bool wantsWrite = (access & kWriteAccess) != 0;
    const bool wantsRead = (access & kReadAccess) != 0;
    for (const auto& [fd, file] : open_) {
        if (file.Key != key) continue;
        const bool otherWrites = (file.Access & kWriteAccess) != 0;
        const bool otherReads = (file.Access & kReadAccess) != 0;
        if ((wantsWrite && !(file.Share & FILE_SHARE_WRITE)) || (wantsRead && !(file.Share & FILE_SHARE_READ)) ||
            (otherWrites && !(shareAccess & FILE_SHARE_WRITE)) || (otherReads && !(shareAccess & FILE_SHARE_READ)) ||
            (!wantsRead && !wantsWrite && file.Share == 0)) {
            result.Status = STATUS_SHARING_VIOLATION;
            return result;
        }
    }

    int flags = O_CLOEXEC | O_CREAT;
    // The existence check above is advisory; O_EXCL makes FILE_CREATE exact.
    if (disposition == FILE_CREATE) flags |= O_EXCL;
    flags |= wantsWrite && wantsRead ? O_RDWR : wantsWrite ? O_WRONLY : O_RDONLY;
    const bool truncates = exists && (disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                                      disposition == FILE_OVERWRITE_IF);
    if (truncates) {
        flags |= O_TRUNC;
        if (!wantsWrite) flags = (flags & ~O_ACCMODE) | O_RDWR;
    }
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        result.Status = errno == EEXIST ? STATUS_OBJECT_NAME_COLLISION
                        : errno == EACCES ? STATUS_ACCESS_DENIED
                        : errno == ENOSPC ? STATUS_DISK_FULL
                        : errno == ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND
                                          : STATUS_UNSUCCESSFUL;
        return result;
    }
    open_[fd] = OpenFile{key, access, shareAccess, options};
    result.Descriptor = fd;
    result.HostPath = path;
    result.Status = STATUS_SUCCESS;
    if (!exists) {
        result.Information = FILE_CREATED;
    } else if (disposition == FILE_SUPERSEDE) {
        result.Information = FILE_SUPERSEDED;
    } else if (truncates) {
        result.Information = FILE_OVERWRITTEN;
    } else {
        result.Information = FILE_OPENED;
    }
    return result;
}

NTSTATUS FileSystem::Write(int descriptor, const void* data, ULONG length, const LONGLONG* offset,
                           ULONG_PTR* written)
{
    *written = 0;
    LONGLONG position;
    ULONG toWrite = length;
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(descriptor);
        if (it == open_.end()) return STATUS_INVALID_HANDLE;
        if ((it->second.Access & kWriteAccess) == 0) return STATUS_ACCESS_DENIED;
        // Without an offset the platform needs a file opened for synchronous I/O.
        const bool synchronous =
            (it->second.Options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
        if (offset == nullptr && !synchronous) return STATUS_INVALID_PARAMETER;
        if (length > 0 && data == nullptr) return STATUS_INVALID_PARAMETER;
        if (offset != nullptr && *offset < 0) return STATUS_INVALID_PARAMETER;
        if (failNextWrite_) {
            const NTSTATUS status = *failNextWrite_;
            failNextWrite_.reset();
            return status;
        }
        if (shortNextWrite_) {
            toWrite = std::min(toWrite, *shortNextWrite_);
            shortNextWrite_.reset();
        }
        position = offset != nullptr ? *offset : it->second.Position;
    }
    ULONG done = 0;
    while (done < toWrite) {
        const ssize_t n = ::pwrite(descriptor, static_cast<const char*>(data) + done, toWrite - done,
                                   static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *written = done;
            return errno == ENOSPC ? STATUS_DISK_FULL : STATUS_UNSUCCESSFUL;
        }
        done += static_cast<ULONG>(n);
    }
    std::lock_guard lock(mutex_);
    auto it = open_.find(descriptor);
    if (it != open_.end()) it->second.Position = position + done;
    *written = done;
    return STATUS_SUCCESS;
}

NTSTATUS FileSystem::Read(int descriptor, void* data, ULONG length, const LONGLONG* offset, ULONG_PTR* read)
{
    *read = 0;
    LONGLONG position;
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(descriptor);
        if (it == open_.end()) return STATUS_INVALID_HANDLE;
        if ((it->second.Access & kReadAccess) == 0) return STATUS_ACCESS_DENIED;
        if (length > 0 && data == nullptr) return STATUS_INVALID_PARAMETER;
        if (offset != nullptr && *offset < 0) return STATUS_INVALID_PARAMETER;
        position = offset != nullptr ? *offset : it->second.Position;
    }
    ssize_t n;
    do {
        n = ::pread(descriptor, data, length, static_cast<off_t>(position));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return STATUS_UNSUCCESSFUL;
    if (n == 0 && length > 0) return STATUS_END_OF_FILE;
    std::lock_guard lock(mutex_);
    auto it = open_.find(descriptor);
    if (it != open_.end()) it->second.Position = position + n;
    *read = static_cast<ULONG_PTR>(n);
    return STATUS_SUCCESS;
}

void FileSystem::Close(int descriptor)
{
    std::lock_guard lock(mutex_);
    if (open_.erase(descriptor) > 0) ::close(descriptor);
}

void FileSystem::FailNextWrite(NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    failNextWrite_ = status;
}

void FileSystem::ShortNextWrite(ULONG shortBytes)
{
    std::lock_guard lock(mutex_);
    shortNextWrite_ = shortBytes;
}

}  // namespace dualcam::host
