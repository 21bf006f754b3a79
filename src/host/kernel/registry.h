// The host kernel's registry: typed values under keys with absolute,
// case-insensitive paths ("\Registry\Machine\SOFTWARE\..."), kept in SQLite.
//
// Hard part: the settings key is a mailbox between the driver and other
// programs, which may be other processes using the same database file. The
// database runs in WAL mode with a busy timeout, and every value write is
// one immediate transaction that checks the key and writes the value
// together, so concurrent writers never lose each other's values and a
// crash leaves either the old or the new value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"

struct sqlite3;
struct sqlite3_stmt;

namespace dualcam::host {

struct RegistryValue {
    ULONG Type = REG_NONE;
    std::vector<std::uint8_t> Data;

    static RegistryValue Dword(std::uint32_t value);
    static RegistryValue String(std::string_view utf8);  // REG_SZ, UTF-16LE with terminator
    static RegistryValue Binary(std::vector<std::uint8_t> bytes);
    std::optional<std::uint32_t> AsDword() const;       // REG_DWORD of exactly 4 bytes
    std::optional<std::string> AsString() const;        // REG_SZ / REG_EXPAND_SZ
};

struct NamedValue {
    std::string Name;
    RegistryValue Value;
};

// The key the driver keeps its settings and status values in.
inline constexpr std::string_view kSettingsKeyPath =
    "\\Registry\\MACHINE\\SOFTWARE\\Orvantic Tech\\Dual Mode Cameras\\MV7730";
// The system key the VfW-key property set opens.
inline constexpr std::string_view kVfwKeyPath =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\MediaResources\\MsVideo\\MsVideo.VfwWdm";

// Why a registry file could not be opened. The message names the file and
// the reason: the system's (e.g. "Permission denied", "Is a directory")
// when a system call failed, else the database's. A file that exists but
// holds something other than a database is told apart, and left as it is.
class RegistryOpenError : public std::runtime_error {
public:
    RegistryOpenError(bool notADatabase, int systemError, const std::string& message)
        : std::runtime_error(message), notADatabase_(notADatabase), systemError_(systemError) {}
    bool NotADatabase() const { return notADatabase_; }
    int SystemError() const { return systemError_; }  // errno, or 0

private:
    bool notADatabase_;
    int systemError_;
};

class Registry {
public:
    // Empty path: a private in-memory database. Otherwise the file is
    // created if needed and may be shared with other processes.
    // Throws RegistryOpenError if the database cannot be opened.
    explicit Registry(const std::filesystem::path& file);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Normalised form of an absolute key path ("\Registry\..." with single
    // separators and no trailing one), or nothing if the path is malformed.
    static std::optional<std::string> NormalisePath(std::string_view path);

    // Creates the key and any missing parent. STATUS_SUCCESS also when it existed.
    NTSTATUS CreateKey(std::string_view path);
    // Creates only the last component: its parent must exist.
    NTSTATUS CreateSubKey(std::string_view path, bool* created);
    bool KeyExists(std::string_view path);
    // Deletes the key, its values and its subkeys.
    NTSTATUS DeleteKey(std::string_view path);

    // STATUS_OBJECT_NAME_NOT_FOUND if the key is missing.
    NTSTATUS SetValue(std::string_view key, std::string_view name, const RegistryValue& value);
    NTSTATUS SetDword(std::string_view key, std::string_view name, std::uint32_t value);
    NTSTATUS SetString(std::string_view key, std::string_view name, std::string_view value);
    std::optional<RegistryValue> GetValue(std::string_view key, std::string_view name);
    std::optional<std::uint32_t> GetDword(std::string_view key, std::string_view name);
    NTSTATUS DeleteValue(std::string_view key, std::string_view name);
    // Values of the key in name order (names as first written).
    std::vector<NamedValue> ListValues(std::string_view key);

private:
    NTSTATUS Exec(const char* sql);
    bool KeyExistsLocked(const std::string& folded);
    // The compiled form of one of this file's statements, compiled on first
    // use and kept: a settings load queries a dozen values, and compiling
    // each query anew cost more than running it. Caller holds mutex_.
    sqlite3_stmt* Prepared(const char* sql);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*, std::less<>> prepared_;
};

// Largest value the registry accepts, in bytes.
inline constexpr std::size_t kMaxRegistryValueBytes = 1 << 20;

}  // namespace dualcam::host
