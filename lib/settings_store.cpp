#include "lib/settings_store.h"

#include "lib/host_config.h"
#include "lib/registry.h"
#include "lib/sqlite_db.h"
#include "lib/text.h"

#include <sqlite3.h>

namespace nuvex::host {
namespace {

using sqlite::Statement;
using sqlite::Transaction;

std::string Plugin(std::string_view plugin) {
    return text::ToUpperAscii(plugin);
}

bool Upsert(sqlite3* db, std::string_view plugin, std::string_view key, ValueType type,
            std::string_view text) {
    Statement st(db, "INSERT INTO host_values(plugin, key, type, value) VALUES(?1, ?2, ?3, ?4)"
                     " ON CONFLICT(plugin, key) DO UPDATE SET type = excluded.type, value = excluded.value;");
    return st.Bind(1, Plugin(plugin))
        .Bind(2, NormalizeHostKey(key))
        .Bind(3, static_cast<int>(type))
        .Bind(4, text)
        .Run();
}

bool Remove(sqlite3* db, std::string_view plugin, std::string_view key) {
    Statement st(db, "DELETE FROM host_values WHERE plugin = ?1 AND key = ?2;");
    return st.Bind(1, Plugin(plugin)).Bind(2, NormalizeHostKey(key)).Run();
}

} // namespace

std::string SettingsStore::DefaultPath() {
    // Beside the registry store, found the same way (XDG, HOME, then the password database).
    const std::string registry = DefaultRegistryPath();
    return registry.substr(0, registry.rfind('/')) + "/settings.db";
}

std::unique_ptr<SettingsStore> SettingsStore::Open(const std::string& path, std::string* error) {
    sqlite3* db = sqlite::OpenPrivateDb(path, error);
    if (!db) {
        return nullptr;
    }
    std::unique_ptr<SettingsStore> store(new SettingsStore(db));
    if (!store->Exec("CREATE TABLE IF NOT EXISTS host_values(plugin TEXT NOT NULL, key TEXT NOT NULL,"
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
    sqlite3_close_v2(db_);
}

bool SettingsStore::Exec(const char* sql) {
    return sqlite::Exec(db_, sql, &lastError_);
}

std::optional<StoredValue> SettingsStore::Get(std::string_view plugin, std::string_view key, bool* failed) {
    std::lock_guard lock(mutex_);
    if (failed) {
        *failed = false;
    }
    Statement st(db_, "SELECT type, value FROM host_values WHERE plugin = ?1 AND key = ?2;");
    const int rc = st.Bind(1, Plugin(plugin)).Bind(2, NormalizeHostKey(key)).Step();
    if (rc == SQLITE_ROW) {
        StoredValue v;
        v.type = static_cast<ValueType>(st.Int(0));
        v.text = st.Text(1);
        return v;
    }
    if (rc != SQLITE_DONE) {
        // Not "no such value": the store could not answer (locked, unreadable, damaged).
        lastError_ = sqlite3_errmsg(db_);
        if (failed) {
            *failed = true;
        }
    }
    return std::nullopt;
}

bool SettingsStore::GetMany(std::string_view plugin, const std::vector<std::string>& keys,
                            std::vector<std::optional<StoredValue>>& out) {
    std::lock_guard lock(mutex_);
    out.clear();
    out.reserve(keys.size());
    // One read transaction: the values belong to one state of the store even
    // when another process writes meanwhile.
    if (!Exec("BEGIN;")) {
        return false;
    }
    bool ok = true;
    {
        Statement st(db_, "SELECT type, value FROM host_values WHERE plugin = ?1 AND key = ?2;");
        const std::string p = Plugin(plugin);
        for (const std::string& key : keys) {
            const int rc = st.Bind(1, p).Bind(2, NormalizeHostKey(key)).Step();
            if (rc == SQLITE_ROW) {
                out.push_back(StoredValue{static_cast<ValueType>(st.Int(0)), st.Text(1)});
            } else if (rc == SQLITE_DONE) {
                out.emplace_back(std::nullopt);
            } else {
                lastError_ = sqlite3_errmsg(db_);
                ok = false;
                break;
            }
            st.Reset();
        }
    }
    Exec(ok ? "COMMIT;" : "ROLLBACK;");
    if (!ok) {
        out.clear();
    }
    return ok;
}

bool SettingsStore::Set(std::string_view plugin, std::string_view key, ValueType type,
                        std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!Upsert(db_, plugin, key, type, text)) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool SettingsStore::Delete(std::string_view plugin, std::string_view key) {
    std::lock_guard lock(mutex_);
    if (!Remove(db_, plugin, key)) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool SettingsStore::Apply(std::string_view plugin, const std::vector<Write>& writes) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    bool ok = tx.active();
    for (std::size_t i = 0; ok && i < writes.size(); ++i) {
        const Write& w = writes[i];
        ok = !w.key.empty() &&
             (w.remove ? Remove(db_, plugin, w.key) : Upsert(db_, plugin, w.key, w.type, w.text));
    }
    if (!ok || !tx.Commit()) {
        lastError_ =
            writes.empty() || ok ? sqlite3_errmsg(db_) : "a write of the batch failed: nothing was stored";
        return false;
    }
    return true;
}

bool SettingsStore::IsSeeded(std::string_view plugin) {
    std::lock_guard lock(mutex_);
    Statement st(db_, "SELECT 1 FROM seeded_plugins WHERE plugin = ?1;");
    return st.Bind(1, Plugin(plugin)).Step() == SQLITE_ROW;
}

bool SettingsStore::Seed(std::string_view plugin, const std::map<std::string, std::string>& defaults) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    bool ok = tx.active();
    for (auto it = defaults.begin(); ok && it != defaults.end(); ++it) {
        Statement st(db_,
                     "INSERT OR IGNORE INTO host_values(plugin, key, type, value) VALUES(?1, ?2, 0, ?3);");
        ok = st.Bind(1, Plugin(plugin)).Bind(2, NormalizeHostKey(it->first)).Bind(3, it->second).Run();
    }
    if (ok) {
        Statement st(db_, "INSERT OR IGNORE INTO seeded_plugins(plugin) VALUES(?1);");
        ok = st.Bind(1, Plugin(plugin)).Run();
    }
    if (!ok || !tx.Commit()) {
        lastError_ = sqlite3_errmsg(db_);
        return false;
    }
    return true;
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
