// SQLite-backed registry for the host kernel.
//
// Hard part: each write checks that its key exists and writes the value in
// one BEGIN IMMEDIATE transaction, so another process cannot delete the key
// in between and two writers never interleave; SQLITE_BUSY waits for the
// busy timeout rather than failing at once.
#include "host/kernel/registry.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "host/kernel/wide.h"

namespace dualcam::host {
namespace {

constexpr int kBusyTimeoutMs = 10'000;
// Stored in the file's user_version once its tables and roots are in place;
// a file that has it is opened without taking the write lock.
constexpr int kSchemaVersion = 1;
constexpr std::size_t kMaxKeyComponent = 255;
constexpr std::size_t kMaxValueName = 16'383;

// One use of a kept statement: bound, stepped, then reset and unbound so
// that it holds no read transaction and no stale value for the next user.
class Statement {
public:
    explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Statement()
    {
        if (stmt_ != nullptr) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return stmt_ != nullptr; }
    Statement& Text(int index, std::string_view text)
    {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Int(int index, std::int64_t value)
    {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& Blob(int index, const std::vector<std::uint8_t>& data)
    {
        sqlite3_bind_blob(stmt_, index, data.empty() ? "" : static_cast<const void*>(data.data()),
                          static_cast<int>(data.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return stmt_ == nullptr ? SQLITE_ERROR : sqlite3_step(stmt_); }
    std::string ColumnText(int column)
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return text == nullptr ? std::string{} : std::string(text, sqlite3_column_bytes(stmt_, column));
    }
    std::int64_t ColumnInt(int column) { return sqlite3_column_int64(stmt_, column); }
    std::vector<std::uint8_t> ColumnBlob(int column)
    {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
        const int size = sqlite3_column_bytes(stmt_, column);
        return data == nullptr ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>(data, data + size);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

NTSTATUS StatusOf(int rc)
{
    if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return STATUS_SUCCESS;
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) return STATUS_IO_TIMEOUT;
    if (rc == SQLITE_FULL) return STATUS_DISK_FULL;
    return STATUS_UNSUCCESSFUL;
}

// Rolls back unless committed; keeps every write path to one transaction.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db)
    {
        status_ = StatusOf(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    }
    ~Transaction()
    {
        if (NT_SUCCESS(status_) && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    NTSTATUS Begun() const { return status_; }
    NTSTATUS Commit()
    {
        done_ = true;
        const NTSTATUS status = StatusOf(sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr));
        if (!NT_SUCCESS(status)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return status;
    }

private:
    sqlite3* db_;
    NTSTATUS status_;
    bool done_ = false;
};

std::string ParentOf(const std::string& path)
{
    const auto pos = path.rfind('\\');
    return pos == 0 || pos == std::string::npos ? std::string{} : path.substr(0, pos);
}

}  // namespace

RegistryValue RegistryValue::Dword(std::uint32_t value)
{
    RegistryValue out;
    out.Type = REG_DWORD;
    out.Data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return out;
}

RegistryValue RegistryValue::String(std::string_view utf8)
{
    RegistryValue out;
    out.Type = REG_SZ;
    std::u16string wide = Utf8ToUtf16(utf8);
    wide.push_back(u'\0');
    for (char16_t c : wide) {
        out.Data.push_back(static_cast<std::uint8_t>(c));
        out.Data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

RegistryValue RegistryValue::Binary(std::vector<std::uint8_t> bytes)
{
    RegistryValue out;
    out.Type = REG_BINARY;
    out.Data = std::move(bytes);
    return out;
}

std::optional<std::uint32_t> RegistryValue::AsDword() const
{
    if (Type != REG_DWORD || Data.size() != 4) return std::nullopt;
    return static_cast<std::uint32_t>(Data[0]) | static_cast<std::uint32_t>(Data[1]) << 8 |
           static_cast<std::uint32_t>(Data[2]) << 16 | static_cast<std::uint32_t>(Data[3]) << 24;
}

std::optional<std::string> RegistryValue::AsString() const
{
    if (Type != REG_SZ && Type != REG_EXPAND_SZ) return std::nullopt;
    std::u16string wide;
    for (std::size_t i = 0; i + 1 < Data.size(); i += 2) {
        const auto c = static_cast<char16_t>(Data[i] | Data[i + 1] << 8);
        if (c == u'\0') break;
        wide.push_back(c);
    }
    return Utf16ToUtf8(wide);
}

namespace {

// The reason of the handle's last failed call, as a RegistryOpenError for
// the file called name.
RegistryOpenError OpenError(sqlite3* db, const std::string& name)
{
    if (db == nullptr) return RegistryOpenError(false, ENOMEM, "cannot open registry database " + name + ": out of memory");
    const int code = sqlite3_errcode(db);
    const int system = sqlite3_system_errno(db);
    if (code == SQLITE_NOTADB)
        return RegistryOpenError(true, 0, name + " is not a registry database (" + sqlite3_errmsg(db) + ")");
    const std::string why = system != 0 ? std::strerror(system) : sqlite3_errmsg(db);
    return RegistryOpenError(false, system, "cannot open registry database " + name + ": " + why);
}

}  // namespace

Registry::Registry(const std::filesystem::path& file)
{
    const std::string name = file.empty() ? std::string(":memory:") : file.string();
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const RegistryOpenError error = OpenError(db_, name);
        sqlite3_close(db_);
        db_ = nullptr;
        throw error;
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // The first statements are where a file that is not a database, or one
    // that cannot be read or written, shows itself; the reason is taken
    // from the call that failed, before a rollback replaces it.
    std::optional<RegistryOpenError> failed;
    if (!file.empty()) {
        // WAL lets readers run beside the one writer; FULL sync makes each
        // committed value survive a crash of the machine, not only of the process.
        if (!NT_SUCCESS(Exec("PRAGMA journal_mode=WAL"))) failed = OpenError(db_, name);
        Exec("PRAGMA synchronous=FULL");
    }
    // A file already set up is only read here, so a tool opening the
    // registry never waits behind the writers of a busy key.
    if (!failed) {
        Statement version(Prepared("PRAGMA user_version"));
        if (version.Step() == SQLITE_ROW && version.ColumnInt(0) >= kSchemaVersion) return;
    }
    {
        Transaction tx(db_);
        NTSTATUS status = tx.Begun();
        if (NT_SUCCESS(status)) {
            status = Exec(
                "CREATE TABLE IF NOT EXISTS reg_keys(folded TEXT PRIMARY KEY, path TEXT NOT NULL);"
                "CREATE TABLE IF NOT EXISTS reg_values(key TEXT NOT NULL, folded_name TEXT NOT NULL,"
                " name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
                " PRIMARY KEY(key, folded_name));");
        }
        if (NT_SUCCESS(status)) {
            // The roots every system has.
            for (const char* root : {"\\Registry", "\\Registry\\Machine", "\\Registry\\User",
                                     "\\Registry\\Machine\\SOFTWARE", "\\Registry\\Machine\\SYSTEM",
                                     "\\Registry\\Machine\\HARDWARE"}) {
                Statement insert(Prepared("INSERT OR IGNORE INTO reg_keys(folded, path) VALUES(?1, ?2)"));
                insert.Text(1, FoldCase(root)).Text(2, root);
                if (insert.Step() != SQLITE_DONE) status = STATUS_UNSUCCESSFUL;
            }
        }
        if (NT_SUCCESS(status)) status = Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        if (NT_SUCCESS(status)) status = tx.Commit();
        if (NT_SUCCESS(status)) failed.reset();  // a journal mode the file could not take is no failure
        else if (!failed) failed = OpenError(db_, name);
        // The transaction ends here, while the handle is still open.
    }
    if (failed) {
        for (auto& [sql, stmt] : prepared_) sqlite3_finalize(stmt);
        prepared_.clear();
        sqlite3_close(db_);
        db_ = nullptr;
        throw *failed;
    }
}

Registry::~Registry()
{
    for (auto& [sql, stmt] : prepared_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

sqlite3_stmt* Registry::Prepared(const char* sql)
{
    auto it = prepared_.find(std::string_view(sql));
    if (it != prepared_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;  // the Statement then fails its step
    }
    prepared_.emplace(sql, stmt);
    return stmt;
}

NTSTATUS Registry::Exec(const char* sql) { return StatusOf(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)); }

std::optional<std::string> Registry::NormalisePath(std::string_view path)
{
    if (path.empty() || path.front() != '\\') return std::nullopt;
    while (path.size() > 1 && path.back() == '\\') path.remove_suffix(1);
    std::string out;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part.size() > kMaxKeyComponent) return std::nullopt;
        for (char c : part) {
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
        }
        out += '\\';
        out += part;
        start = end + 1;
    }
    if (out.empty() || FoldCase(out.substr(0, 9)) != "\\registry" || (out.size() > 9 && out[9] != '\\'))
        return std::nullopt;
    return out;
}

bool Registry::KeyExistsLocked(const std::string& folded)
{
    Statement query(Prepared("SELECT 1 FROM reg_keys WHERE folded = ?1"));
    query.Text(1, folded);
    return query.Step() == SQLITE_ROW;
}

NTSTATUS Registry::CreateKey(std::string_view path)
{
    const auto normal = NormalisePath(path);
    if (!normal) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    if (!NT_SUCCESS(tx.Begun())) return tx.Begun();
    for (std::string key = *normal; !key.empty(); key = ParentOf(key)) {
        Statement insert(Prepared("INSERT OR IGNORE INTO reg_keys(folded, path) VALUES(?1, ?2)"));
        insert.Text(1, FoldCase(key)).Text(2, key);
        if (insert.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
    }
    return tx.Commit();
}

NTSTATUS Registry::CreateSubKey(std::string_view path, bool* created)
{
    const auto normal = NormalisePath(path);
    if (!normal) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    if (!NT_SUCCESS(tx.Begun())) return tx.Begun();
    const std::string parent = ParentOf(*normal);
    if (!parent.empty() && !KeyExistsLocked(FoldCase(parent))) return STATUS_OBJECT_NAME_NOT_FOUND;
    Statement insert(Prepared("INSERT OR IGNORE INTO reg_keys(folded, path) VALUES(?1, ?2)"));
    insert.Text(1, FoldCase(*normal)).Text(2, *normal);
    if (insert.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
    if (created != nullptr) *created = sqlite3_changes(db_) > 0;
    return tx.Commit();
}

bool Registry::KeyExists(std::string_view path)
{
    const auto normal = NormalisePath(path);
    if (!normal) return false;
    std::lock_guard lock(mutex_);
    return KeyExistsLocked(FoldCase(*normal));
}

NTSTATUS Registry::DeleteKey(std::string_view path)
{
    const auto normal = NormalisePath(path);
    if (!normal) return STATUS_OBJECT_NAME_INVALID;
    const std::string folded = FoldCase(*normal);
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    if (!NT_SUCCESS(tx.Begun())) return tx.Begun();
    if (!KeyExistsLocked(folded)) return STATUS_OBJECT_NAME_NOT_FOUND;
    // The key and everything below it; the range avoids LIKE's wildcards.
    const std::string below = folded + "\\";
    const std::string beyond = folded + "]";  // ']' follows '\' in byte order
    Statement keys(Prepared("DELETE FROM reg_keys WHERE folded = ?1 OR (folded >= ?2 AND folded < ?3)"));
    keys.Text(1, folded).Text(2, below).Text(3, beyond);
    if (keys.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
    Statement values(Prepared("DELETE FROM reg_values WHERE key = ?1 OR (key >= ?2 AND key < ?3)"));
    values.Text(1, folded).Text(2, below).Text(3, beyond);
    if (values.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
    return tx.Commit();
}

NTSTATUS Registry::SetValue(std::string_view key, std::string_view name, const RegistryValue& value)
{
    const auto normal = NormalisePath(key);
    if (!normal) return STATUS_OBJECT_NAME_INVALID;
    if (name.size() > kMaxValueName) return STATUS_INVALID_PARAMETER;
    if (value.Data.size() > kMaxRegistryValueBytes) return STATUS_INSUFFICIENT_RESOURCES;
    const std::string folded = FoldCase(*normal);
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    if (!NT_SUCCESS(tx.Begun())) return tx.Begun();
    if (!KeyExistsLocked(folded)) return STATUS_OBJECT_NAME_NOT_FOUND;
    Statement upsert(Prepared("INSERT INTO reg_values(key, folded_name, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                     " ON CONFLICT(key, folded_name) DO UPDATE SET type = excluded.type, data = excluded.data"));
    upsert.Text(1, folded).Text(2, FoldCase(name)).Text(3, name).Int(4, value.Type).Blob(5, value.Data);
    if (upsert.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
    return tx.Commit();
}

NTSTATUS Registry::SetDword(std::string_view key, std::string_view name, std::uint32_t value)
{
    return SetValue(key, name, RegistryValue::Dword(value));
}

NTSTATUS Registry::SetString(std::string_view key, std::string_view name, std::string_view value)
{
    return SetValue(key, name, RegistryValue::String(value));
}

std::optional<RegistryValue> Registry::GetValue(std::string_view key, std::string_view name)
{
    const auto normal = NormalisePath(key);
    if (!normal) return std::nullopt;
    std::lock_guard lock(mutex_);
    Statement query(Prepared("SELECT type, data FROM reg_values WHERE key = ?1 AND folded_name = ?2"));
    query.Text(1, FoldCase(*normal)).Text(2, FoldCase(name));
    if (query.Step() != SQLITE_ROW) return std::nullopt;
    RegistryValue value;
    value.Type = static_cast<ULONG>(query.ColumnInt(0));
    value.Data = query.ColumnBlob(1);
    return value;
}

std::optional<std::uint32_t> Registry::GetDword(std::string_view key, std::string_view name)
{
    const auto value = GetValue(key, name);
    return value ? value->AsDword() : std::nullopt;
}

NTSTATUS Registry::DeleteValue(std::string_view key, std::string_view name)
{
    const auto normal = NormalisePath(key);
    if (!normal) return STATUS_OBJECT_NAME_INVALID;
    const std::string folded = FoldCase(*normal);
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    if (!NT_SUCCESS(tx.Begun())) return tx.Begun();
    if (!KeyExistsLocked(folded)) return STATUS_OBJECT_NAME_NOT_FOUND;
    Statement remove(Prepared("DELETE FROM reg_values WHERE key = ?1 AND folded_name = ?2"));
    remove.Text(1, folded).Text(2, FoldCase(name));
    if (remove.Step() != SQLITE_DONE) return STATUS_UNSUCCESSFUL;
    if (sqlite3_changes(db_) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    return tx.Commit();
}

std::vector<NamedValue> Registry::ListValues(std::string_view key)
{
    std::vector<NamedValue> out;
    const auto normal = NormalisePath(key);
    if (!normal) return out;
    std::lock_guard lock(mutex_);
    Statement query(Prepared("SELECT name, type, data FROM reg_values WHERE key = ?1 ORDER BY folded_name"));
    query.Text(1, FoldCase(*normal));
    while (query.Step() == SQLITE_ROW) {
        NamedValue item;
        item.Name = query.ColumnText(0);
        item.Value.Type = static_cast<ULONG>(query.ColumnInt(1));
        item.Value.Data = query.ColumnBlob(2);
        out.push_back(std::move(item));
    }
    return out;
}

}  // namespace dualcam::host
