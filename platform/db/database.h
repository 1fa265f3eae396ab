// A thin layer over SQLite 3: one connection and prepared statements with bound parameters.
//
// The connection owns its statements; a Statement is only valid while its Database lives. Not
// thread safe: one thread at a time uses a Database and its statements.
// Errors carry SQLite's extended result code and name the database file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/base/env.h"
#include "platform/base/status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace norv::platform {

// The kind of an SQLite result code.
ErrorKind KindOfSqlite(int rc);

class Database;

class Statement {
  public:
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void BindText(int index, std::string_view text);
    void BindInt(int index, int64_t value);
    void BindNull(int index);
    // Runs one step: true with a row to read, false when done.
    Result<bool> Step();
    // Runs a statement that returns no rows to its end, then resets it.
    Status Run();
    std::string ColumnText(int index) const;
    // The same bytes without a copy: valid until the statement steps, resets or ends.
    std::string_view ColumnView(int index) const;
    int64_t ColumnInt(int index) const;
    bool ColumnIsNull(int index) const;
    void Reset();

  private:
    friend class Database;
    Statement(Database& db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
    Database& db_;
    sqlite3_stmt* stmt_;
};

class Database {
  public:
    // Opens an existing database file read-write. With `create`, a missing file is created. The
    // checks before and the mode after go through `env`; SQLite's own reads and writes do not.
    static Result<std::unique_ptr<Database>> Open(Env& env, const std::string& path, bool create);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    Result<std::unique_ptr<Statement>> Prepare(std::string_view sql);
    Status Exec(const std::string& sql);
    // Runs a query returning one integer (e.g. a count), 0 when it returns no row.
    Result<int64_t> QueryInt(const std::string& sql);

    // The collating sequence `column` of `table` was declared with ("BINARY" unless said).
    Result<std::string> ColumnCollation(const std::string& table, const std::string& column);

    bool InTransaction() const;
    const std::string& path() const { return path_; }
    // The Env it was opened through (its clock times the store's batches).
    Env& env() const { return env_; }
    Status ErrorStatus(int rc, const std::string& what) const;

  private:
    Database(Env& env, std::string path, sqlite3* db)
        : env_(env), path_(std::move(path)), db_(db) {}
    friend class Statement;
    // Counts the calls into SQLite, unguarded on purpose: two threads using one connection
    // (which is opened without SQLite's own lock) race on it, and ThreadSanitizer says so.
    void NoteCall() { ++calls_; }
    Env& env_;
    std::string path_;
    sqlite3* db_;
    uint64_t calls_ = 0;
};

}  // namespace norv::platform
