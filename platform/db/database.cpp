#include "platform/db/database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/notice_code.h"

namespace norv::platform {

// SQLite's result codes as kinds: the one place they are read.
ErrorKind KindOfSqlite(int rc) {
    switch (rc & 0xFF) {  // the primary code of an extended one
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ErrorKind::kBusy;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ErrorKind::kCorrupt;
        case SQLITE_CANTOPEN:
            return ErrorKind::kNotFound;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            return ErrorKind::kPermission;
        case SQLITE_FULL:
        case SQLITE_IOERR:
            return ErrorKind::kIo;
        default:
            return ErrorKind::kFormat;
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::BindText(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Statement::BindInt(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

void Statement::BindNull(int index) { sqlite3_bind_null(stmt_, index); }

bool Statement::ColumnIsNull(int index) const {
    return sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

Result<bool> Statement::Step() {
    db_.NoteCall();
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Status status = db_.ErrorStatus(rc, sqlite3_sql(stmt_));
    sqlite3_reset(stmt_);
    return status;
}

Status Statement::Run() {
    auto r = Step();
    sqlite3_reset(stmt_);
    return r.status();
}

std::string Statement::ColumnText(int index) const { return std::string(ColumnView(index)); }

std::string_view Statement::ColumnView(int index) const {
    const auto* text = sqlite3_column_blob(stmt_, index);
    int n = sqlite3_column_bytes(stmt_, index);
    return text ? std::string_view(static_cast<const char*>(text), static_cast<size_t>(n))
                : std::string_view();
}

int64_t Statement::ColumnInt(int index) const { return sqlite3_column_int64(stmt_, index); }

void Statement::Reset() {
    db_.NoteCall();
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

Result<std::unique_ptr<Database>> Database::Open(Env& env, const std::string& path, bool create) {
    // SQLite would only say "unable to open database file" later; say why now.
    if (!create && env.FAccessAt(AT_FDCWD, path.c_str(), W_OK, 0) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kDatabaseCannotWrite, {path}));
    }
    // SQLite's count of its memory takes a process-wide lock at every allocation, and norv never
    // reads it: off, before SQLite starts (once; a later call would be refused).
    static const int memory_count_off = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    (void)memory_count_off;
    sqlite3* raw = nullptr;
    // A connection is used by one thread at a time (the one that runs commands), so SQLite's
    // own lock around every call, a few percent of an init, is left out.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    std::unique_ptr<Database> db(new Database(env, path, raw));
    if (rc != SQLITE_OK) {
        std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        return Status::Error(KindOfSqlite(rc), rc,
                             Message(NoticeCode::kDatabaseCannotOpen, {path, message}));
    }
    // The baseline is evidence: owner-only. SQLite gives its journal files the same mode.
    if (create) env.FChmodAt(AT_FDCWD, path.c_str(), 0600, 0);
    sqlite3_extended_result_codes(raw, 1);
    // Another process holding a write lock briefly is waited for; a longer lock is an error.
    sqlite3_busy_timeout(raw, 5000);
    return db;
}

Database::~Database() { sqlite3_close_v2(db_); }

Status Database::ErrorStatus(int rc, const std::string& what) const {
    return Status::Error(
        KindOfSqlite(rc), rc,
        Message(NoticeCode::kDatabaseFailed, {path_, std::string(sqlite3_errmsg(db_)), what}));
}

Result<std::unique_ptr<Statement>> Database::Prepare(std::string_view sql) {
    NoteCall();
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) return ErrorStatus(rc, std::string(sql));
    return std::unique_ptr<Statement>(new Statement(*this, stmt));
}

Status Database::Exec(const std::string& sql) {
    NoteCall();
    char* error = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        return Status::Error(KindOfSqlite(rc), rc,
                             Message(NoticeCode::kDatabaseFailed, {path_, message, sql}));
    }
    return Status::Ok();
}

Result<int64_t> Database::QueryInt(const std::string& sql) {
    auto stmt = Prepare(sql);
    if (!stmt.ok()) return stmt.status();
    auto row = (*stmt)->Step();
    if (!row.ok()) return row.status();
    return row.value() ? (*stmt)->ColumnInt(0) : 0;
}

Result<std::string> Database::ColumnCollation(const std::string& table, const std::string& column) {
    const char* collation = nullptr;
    const int rc = sqlite3_table_column_metadata(db_, nullptr, table.c_str(), column.c_str(),
                                                 nullptr, &collation, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return ErrorStatus(rc, table + "." + column);
    return std::string(collation != nullptr ? collation : "BINARY");
}

bool Database::InTransaction() const { return sqlite3_get_autocommit(db_) == 0; }

}  // namespace norv::platform
