#pragma once
// The one SQLite wrapper of the project's two stores (the registry substitute
// and the host's settings): opening a store file user-only with one
// durability policy, prepared statements, and the write transaction guard.
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace nuvex::sqlite {

// Opens (creating) a store file for this user alone: missing folders are made
// 0700, an existing folder of another user is refused, the file is created
// 0600 before SQLite first writes to it (SQLite gives its -wal and -shm files
// the same mode). WAL with synchronous=FULL: a committed write survives a
// crash of the process and of the machine. nullptr and a reason on failure.
sqlite3* OpenPrivateDb(const std::string& path, std::string* error);

// Runs SQL without results; false with the reason in error (may be null).
bool Exec(sqlite3* db, const char* sql, std::string* error);

class Statement {
public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement& Bind(int idx, int v);
    Statement& Bind(int idx, std::string_view v);
    // A zero-length blob is still a blob, not NULL.
    Statement& BindBlob(int idx, std::string_view v);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    bool Run();
    // Ready to bind and step again, for the next row of a loop.
    void Reset();
    std::string Text(int col);
    int Int(int col);

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// The one way the stores write: BEGIN IMMEDIATE takes the write lock up front
// (waiting up to the busy time-out), and anything not committed rolls back.
class Transaction {
public:
    explicit Transaction(sqlite3* db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool active() const { return active_; }
    bool Commit();

private:
    sqlite3* db_;
    bool active_ = false;
};

} // namespace nuvex::sqlite
