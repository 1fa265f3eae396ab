// FileInfoStore: the table `fileinfo` of the database "norv.db", one record per monitored file.
//
// Columns, in this order: filename, filesize, filedate, md5o (baseline digest), md5c (digest at
// the latest check, one blank for a file first seen by a check), flg (0 not seen in this run,
// 1 seen and equal, 2 seen and altered, 3 first seen in this run). The eight statements are
// prepared once and run with bound parameters, so a path is stored exactly as it is, apostrophes
// and all, and compared byte for byte.
//
// Writes are grouped into transactions of at most ~100 ms for speed. Commit() makes everything
// run so far durable; the engine calls it before acting on a change, at the end of a run and
// before reporting a failure, so a failed run keeps every statement executed before it, and a
// killed one loses at most the last fraction of a second, never the file's integrity.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/database.h"
#include "platform/status.h"

namespace norv {

class FileInfoStore {
  public:
    // Opens the store on `db`. A database without the table gets it (with an index on
    // filename) only when `new_file` is true; an existing table of another shape is an error and
    // the file is left as it is.
    static Result<std::unique_ptr<FileInfoStore>> Open(platform::Database& db, bool new_file);
    ~FileInfoStore();

    Status ResetFlags();   // S1: every record not yet seen
    Status DeleteAll();    // S2
    Status MarkAllSeen();  // S3
    // S4: a baseline record (md5o = md5c = digest, flg 0).
    Status InsertBaseline(const std::string& path, int64_t size, const std::string& date,
                          const std::string& digest);
    // S5: the baseline digest of the first record for the path, if any.
    Result<std::optional<std::string>> LookupBaseline(const std::string& path);
    // S6: a record first seen by a check (md5c one blank, flg 3).
    Status InsertNew(const std::string& path, int64_t size, const std::string& date,
                     const std::string& digest);
    // S7
    Status UpdateSeen(const std::string& path, int flag, const std::string& digest);
    // S8: calls `row` with each filename whose flg is still 0, in the database's order. Stops
    // at the first failure `row` returns.
    Status ForEachUnseen(const std::function<Status(const std::string&)>& row);

    Status Commit();

  private:
    explicit FileInfoStore(platform::Database& db) : db_(db) {}
    Status Prepare();
    // Runs a writing statement inside the current batch, opening one when none is open.
    Status Write(platform::Statement& statement);

    platform::Database& db_;
    std::unique_ptr<platform::Statement> begin_, commit_;
    std::unique_ptr<platform::Statement> s1_, s2_, s3_, s4_, s5_, s6_, s7_, s8_;
    std::chrono::steady_clock::time_point batch_started_;
};

}  // namespace norv
