#include "host/settings_store.h"

#include "lib/host_config.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sqlite3.h>
#include <sys/stat.h>

namespace nuvex::host {
namespace {

constexpr int kBusyTimeoutMs = 5000;

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    void Bind(int i, std::string_view s) {
        sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void Bind(int i, int v) { sqlite3_bind_int(stmt_, i, v); }
    int Step() { return sqlite3_step(stmt_); }
    sqlite3_stmt* get() { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace

std::string SettingsStore::DefaultPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        base = "/tmp";
    }
    return base + "/brannock/settings.db";
}

std::unique_ptr<SettingsStore> SettingsStore::Open(const std::string& path, std::string* error) {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        ::chmod(folder.c_str(), 0700); // settings are the user's alone
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        if (error) {
            *error = db ? sqlite3_errmsg(db) : "out of memory";
        }
        sqlite3_close(db);
        return nullptr;
    }
    ::chmod(path.c_str(), 0600);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    std::unique_ptr<SettingsStore> store(new SettingsStore(db));
    // WAL with full sync: a committed write survives a crash of the process
    // and of the machine.
    if (!store->Exec("PRAGMA journal_mode=WAL;") || !store->Exec("PRAGMA synchronous=FULL;") ||
        !store->Exec("CREATE TABLE IF NOT EXISTS host_values(plugin TEXT NOT NULL, key TEXT NOT NULL,"
                     " type INTEGER NOT NULL, value TEXT NOT NULL, PRIMARY KEY(plugin, key));") ||
        !store->Exec("CREATE TABLE IF NOT EXISTS seeded_plugins(plugin TEXT PRIMARY KEY);")) {
        if (error) {
            *error = store->lastError_;
        }
        return nullptr;
    }
    return store;
}

SettingsStore::~SettingsStore() {
    sqlite3_close(db_);
}

bool SettingsStore::Exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        lastError_ = msg ? msg : "sqlite error";
        sqlite3_free(msg);
        return false;
    }
    return true;
}

std::optional<StoredValue> SettingsStore::Get(std::string_view plugin, std::string_view key) {
    std::lock_guard lock(mutex_);
    Statement st(db_, "SELECT type, value FROM host_values WHERE plugin = ?1 AND key = ?2;");
    if (!st.ok()) {
        lastError_ = sqlite3_errmsg(db_);
        return std::nullopt;
    }
    st.Bind(1, Upper(plugin));
    st.Bind(2, NormalizeHostKey(key));
    if (st.Step() != SQLITE_ROW) {
        return std::nullopt;
    }
    StoredValue v;
    v.type = static_cast<ValueType>(sqlite3_column_int(st.get(), 0));
    const unsigned char* text = sqlite3_column_text(st.get(), 1);
    v.text = text ? reinterpret_cast<const char*>(text) : "";
    return v;
}

bool SettingsStore::Set(std::string_view plugin, std::string_view key, ValueType type,
                        std::string_view text) {
    std::lock_guard lock(mutex_);
    Statement st(db_,
                 "INSERT INTO host_values(plugin, key, type, value) VALUES(?1, ?2, ?3, ?4)"
                 " ON CONFLICT(plugin, key) DO UPDATE SET type = excluded.type, value = excluded.value;");
    if (!st.ok()) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    st.Bind(1, Upper(plugin));
    st.Bind(2, NormalizeHostKey(key));
    st.Bind(3, static_cast<int>(type));
    st.Bind(4, text);
    if (st.Step() != SQLITE_DONE) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool SettingsStore::Delete(std::string_view plugin, std::string_view key) {
    std::lock_guard lock(mutex_);
    Statement st(db_, "DELETE FROM host_values WHERE plugin = ?1 AND key = ?2;");
    if (!st.ok()) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    st.Bind(1, Upper(plugin));
    st.Bind(2, NormalizeHostKey(key));
    if (st.Step() != SQLITE_DONE) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool SettingsStore::IsSeeded(std::string_view plugin) {
    std::lock_guard lock(mutex_);
    Statement st(db_, "SELECT 1 FROM seeded_plugins WHERE plugin = ?1;");
    if (!st.ok()) {
        return false;
    }
    st.Bind(1, Upper(plugin));
    return st.Step() == SQLITE_ROW;
}

bool SettingsStore::Seed(std::string_view plugin, const std::map<std::string, std::string>& defaults) {
    std::lock_guard lock(mutex_);
    if (!Exec("BEGIN IMMEDIATE;")) {
        return false;
    }
    bool ok = true;
    for (const auto& [key, value] : defaults) {
        Statement st(db_,
                     "INSERT OR IGNORE INTO host_values(plugin, key, type, value) VALUES(?1, ?2, 0, ?3);");
        st.Bind(1, Upper(plugin));
        st.Bind(2, NormalizeHostKey(key));
        st.Bind(3, value);
        if (!st.ok() || st.Step() != SQLITE_DONE) {
            ok = false;
            break;
        }
    }
    if (ok) {
        Statement st(db_, "INSERT OR IGNORE INTO seeded_plugins(plugin) VALUES(?1);");
        st.Bind(1, Upper(plugin));
        ok = st.ok() && st.Step() == SQLITE_DONE;
    }
    if (!ok) {
        lastError_ = sqlite3_errmsg(db_);
        Exec("ROLLBACK;");
        return false;
    }
    return Exec("COMMIT;");
}

std::map<std::string, std::string> ParseConfigText(std::string_view text) {
    std::map<std::string, std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        auto eq = line.find('=');
        if (eq != std::string_view::npos && eq > 0) {
            out.emplace(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return out;
}

} // namespace nuvex::host
