// The registry's file store. One SQLite database holds the keys and values of
// all three roots; every write is one transaction, so a process killed in the
// middle of a write leaves the previous state whole. WAL mode and a busy
// time-out let the host and the plug-in use the file at the same time.
#include "lib/registry.h"
#include "lib/sqlite_db.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvex {

namespace regdetail {
std::string LowerAscii(std::string_view s);
std::string CanonicalKey(std::string_view key);
} // namespace regdetail

namespace {

using regdetail::CanonicalKey;
using regdetail::LowerAscii;

int RootCode(RegRoot root) {
    return static_cast<int>(root);
}

std::string ParentOf(const std::string& lpath) {
    auto slash = lpath.rfind('\\');
    return slash == std::string::npos ? std::string() : lpath.substr(0, slash);
}

using sqlite::Statement;
using sqlite::Transaction;

class SqliteRegistry final : public Registry {
public:
    explicit SqliteRegistry(sqlite3* db) : db_(db) {}
    ~SqliteRegistry() override { sqlite3_close_v2(db_); }

    bool KeyExists(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        return Exists(root, LowerAscii(CanonicalKey(key)));
    }

    bool CreateKey(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        Transaction tx(db_);
        return tx.active() && Create(root, CanonicalKey(key)) && tx.Commit();
    }

    std::optional<RegValue> GetValue(RegRoot root, std::string_view key, std::string_view name) override {
        std::lock_guard lock(mutex_);
        Statement st(db_, "SELECT type, data FROM vals WHERE root=?1 AND lkey=?2 AND lname=?3");
        st.Bind(1, RootCode(root)).Bind(2, LowerAscii(CanonicalKey(key))).Bind(3, LowerAscii(name));
        if (st.Step() != SQLITE_ROW) {
            return std::nullopt;
        }
        int type = st.Int(0);
        if (type < static_cast<int>(RegType::String) || type > static_cast<int>(RegType::DWord)) {
            return std::nullopt;
        }
        return RegValue{static_cast<RegType>(type), st.Text(1)};
    }

    bool SetValue(RegRoot root, std::string_view key, std::string_view name, const RegValue& value,
                  bool create) override {
        std::lock_guard lock(mutex_);
        std::string path = CanonicalKey(key);
        std::string lpath = LowerAscii(path);
        Transaction tx(db_);
        if (!tx.active()) {
            return false;
        }
        if (!Exists(root, lpath)) {
            if (!create || !Create(root, path)) {
                return false;
            }
        }
        Statement st(db_,
                     "INSERT INTO vals(root, lkey, lname, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5, ?6) "
                     "ON CONFLICT(root, lkey, lname) DO UPDATE SET type=excluded.type, data=excluded.data");
        st.Bind(1, RootCode(root)).Bind(2, lpath).Bind(3, LowerAscii(name)).Bind(4, name);
        st.Bind(5, static_cast<int>(value.type)).BindBlob(6, value.data);
        return st.Run() && tx.Commit();
    }

    bool DeleteValue(RegRoot root, std::string_view key, std::string_view name) override {
        std::lock_guard lock(mutex_);
        Transaction tx(db_);
        if (!tx.active()) {
            return false;
        }
        Statement st(db_, "DELETE FROM vals WHERE root=?1 AND lkey=?2 AND lname=?3");
        st.Bind(1, RootCode(root)).Bind(2, LowerAscii(CanonicalKey(key))).Bind(3, LowerAscii(name));
        if (!st.Run()) {
            return false;
        }
        bool removed = sqlite3_changes(db_) > 0;
        return tx.Commit() && removed;
    }

    bool DeleteKey(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        std::string lpath = LowerAscii(CanonicalKey(key));
        if (lpath.empty()) {
            return false; // a root is never deleted
        }
        std::string prefix = lpath + "\\";
        Transaction tx(db_);
        if (!tx.active()) {
            return false;
        }
        // substr instead of LIKE: key names may hold "%" and "_".
        Statement keys(db_, "DELETE FROM keys WHERE root=?1 AND (lpath=?2 OR substr(lpath, 1, ?3)=?4)");
        keys.Bind(1, RootCode(root)).Bind(2, lpath).Bind(3, static_cast<int>(prefix.size())).Bind(4, prefix);
        Statement vals(db_, "DELETE FROM vals WHERE root=?1 AND (lkey=?2 OR substr(lkey, 1, ?3)=?4)");
        vals.Bind(1, RootCode(root)).Bind(2, lpath).Bind(3, static_cast<int>(prefix.size())).Bind(4, prefix);
        return keys.Run() && vals.Run() && tx.Commit();
    }

    std::vector<std::string> SubKeys(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        Statement st(db_, "SELECT name FROM keys WHERE root=?1 AND lparent=?2 AND lpath<>'' ORDER BY lpath");
        st.Bind(1, RootCode(root)).Bind(2, LowerAscii(CanonicalKey(key)));
        while (st.Step() == SQLITE_ROW) {
            out.push_back(st.Text(0));
        }
        return out;
    }

    std::vector<std::string> ValueNames(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        Statement st(db_, "SELECT name FROM vals WHERE root=?1 AND lkey=?2 ORDER BY rowid");
        st.Bind(1, RootCode(root)).Bind(2, LowerAscii(CanonicalKey(key)));
        while (st.Step() == SQLITE_ROW) {
            out.push_back(st.Text(0));
        }
        return out;
    }

private:
    bool Exists(RegRoot root, const std::string& lpath) {
        if (lpath.empty()) {
            return true;
        }
        Statement st(db_, "SELECT 1 FROM keys WHERE root=?1 AND lpath=?2");
        st.Bind(1, RootCode(root)).Bind(2, lpath);
        return st.Step() == SQLITE_ROW;
    }

    // Inside a transaction: the key and every missing parent. Existing keys
    // keep the case they were first written with.
    bool Create(RegRoot root, const std::string& path) {
        std::size_t pos = 0;
        while (!path.empty() && pos <= path.size()) {
            std::size_t end = path.find('\\', pos);
            if (end == std::string::npos) {
                end = path.size();
            }
            std::string lsub = LowerAscii(path.substr(0, end));
            Statement st(db_,
                         "INSERT OR IGNORE INTO keys(root, lpath, lparent, name) VALUES(?1, ?2, ?3, ?4)");
            st.Bind(1, RootCode(root))
                .Bind(2, lsub)
                .Bind(3, ParentOf(lsub))
                .Bind(4, path.substr(pos, end - pos));
            if (!st.Run()) {
                return false;
            }
            pos = end + 1;
        }
        return true;
    }

    std::mutex mutex_;
    sqlite3* db_;
};

} // namespace

std::unique_ptr<Registry> OpenSqliteRegistry(const std::string& path) {
    // User-only folder and file, WAL and full sync: the project's one policy.
    sqlite3* db = sqlite::OpenPrivateDb(path, nullptr);
    if (!db) {
        return nullptr;
    }
    const char* setup =
        "CREATE TABLE IF NOT EXISTS keys(root INTEGER NOT NULL, lpath TEXT NOT NULL, lparent TEXT NOT NULL,"
        " name TEXT NOT NULL, PRIMARY KEY(root, lpath));"
        "CREATE INDEX IF NOT EXISTS keys_parent ON keys(root, lparent);"
        "CREATE TABLE IF NOT EXISTS vals(root INTEGER NOT NULL, lkey TEXT NOT NULL, lname TEXT NOT NULL,"
        " name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(root, lkey, lname));";
    if (sqlite3_exec(db, setup, nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return std::make_unique<SqliteRegistry>(db);
}

} // namespace nuvex
