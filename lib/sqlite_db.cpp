#include "lib/sqlite_db.h"

#include "lib/log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvex::sqlite {
namespace {

constexpr int kBusyTimeoutMs = 5000;

// Missing folders are made user-only; an existing one must be ours.
bool EnsurePrivateParent(const std::string& path, std::string* error) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) {
        return true;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(parent, ec)) {
        if (!EnsurePrivateParent(parent.string(), error)) {
            return false;
        }
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot make the folder " + parent.string();
            return false;
        }
        return true;
    }
    if (path.find('/', parent.string().size() + 1) != std::string::npos) {
        return true; // only the file's own folder is checked
    }
    struct stat st {};
    if (::stat(parent.c_str(), &st) != 0 || st.st_uid != ::getuid()) {
        *error = "the folder " + parent.string() + " belongs to another user";
        return false;
    }
    return true;
}

} // namespace

sqlite3* OpenPrivateDb(const std::string& path, std::string* error) {
    std::string why;
    if (path.empty()) {
        why = "no path";
    } else if (EnsurePrivateParent(path, &why)) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        struct stat st {};
        if (fd < 0) {
            why = "cannot create " + path + ": " + std::strerror(errno);
        } else if (::fstat(fd, &st) != 0 || st.st_uid != ::getuid()) {
            why = path + " belongs to another user";
        } else if ((st.st_mode & 077) != 0) {
            ::fchmod(fd, 0600);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    sqlite3* db = nullptr;
    if (why.empty() && sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                                       nullptr) != SQLITE_OK) {
        why = db ? sqlite3_errmsg(db) : "out of memory";
    }
    if (why.empty()) {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        Exec(db, "PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;", &why);
    }
    if (!why.empty()) {
        sqlite3_close_v2(db);
        log::Warning("sqlite", "cannot open the store " + path + ": " + why);
        if (error) {
            *error = why;
        }
        return nullptr;
    }
    return db;
}

bool Exec(sqlite3* db, const char* sql, std::string* error) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        if (error) {
            *error = msg ? msg : sqlite3_errmsg(db);
        }
        sqlite3_free(msg);
        return false;
    }
    return true;
}

Statement::Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int idx, int v) {
    if (stmt_) {
        sqlite3_bind_int(stmt_, idx, v);
    }
    return *this;
}

Statement& Statement::Bind(int idx, std::string_view v) {
    if (stmt_) {
        sqlite3_bind_text(stmt_, idx, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    return *this;
}

Statement& Statement::BindBlob(int idx, std::string_view v) {
    if (stmt_) {
        sqlite3_bind_blob(stmt_, idx, v.empty() ? "" : v.data(), static_cast<int>(v.size()),
                          SQLITE_TRANSIENT);
    }
    return *this;
}

int Statement::Step() {
    return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR;
}

void Statement::Reset() {
    if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
}

bool Statement::Run() {
    return Step() == SQLITE_DONE;
}

std::string Statement::Text(int col) {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
}

int Statement::Int(int col) {
    return sqlite3_column_int(stmt_, col);
}

Transaction::Transaction(sqlite3* db) : db_(db) {
    active_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

Transaction::~Transaction() {
    if (active_) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

bool Transaction::Commit() {
    if (!active_) {
        return false;
    }
    bool ok = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) {
        active_ = false;
    }
    return ok;
}

} // namespace nuvex::sqlite
