// FileInfoStore: the table `fileinfo` of the database "norv.db", one record per monitored file.
//
// Columns, in this order: filename, filesize, filedate, md5o (baseline digest), md5c (digest at
// the latest check, one blank for a file first seen by a check), flg (0 not seen in this run,
// 1 seen and equal, 2 seen and altered, 3 first seen in this run). The eight statements are
// prepared once and run with bound parameters, so a path is stored exactly as it is, apostrophes
// and all, and compared byte for byte.
//
// A new baseline (init) is built in a table beside, `fileinfo_new`, and takes the place of the
// old records in one transaction only when it is complete: an init that fails or is killed
// leaves the previous baseline as it was.
//
// A record first seen by a check keeps md5c one blank until a new baseline includes the file:
// it is reported as created at every check, and forgotten without a word once the file is gone.
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

    // The flg column.
    enum Flag : int { kNotSeen = 0, kSeenEqual = 1, kSeenAltered = 2, kFirstSeenByThisRun = 3 };
    // md5c of a record first seen by a check, until a new baseline includes it.
    static constexpr const char* kFirstSeenByCheck = " ";

    struct Baseline {
        std::string md5o;
        bool first_seen_by_check = false;  // md5c is kFirstSeenByCheck
    };

    Status ResetFlags();  // every record not yet seen (flg 0)
    Status DeleteAll();
    Status MarkAllSeen();  // flg 1 everywhere
    // Starts a new baseline beside the current records (a table left by a killed init is
    // dropped first); InsertBaseline then writes there.
    Status BeginBaseline();
    // Replaces every record with the new baseline, in one transaction.
    Status CommitBaseline();
    // Copies into the new baseline every baseline record (not one first seen by a check) for
    // which `keep` holds and that the new baseline does not have yet: the part of the trees an
    // init could not see keeps its previous baseline.
    Status CarryOverBaseline(const std::function<bool(const std::string& path)>& keep);
    bool building_baseline() const { return insert_new_baseline_ != nullptr; }
    // Calls `row` with each baseline record's file name that the new baseline being built
    // does not have.
    Status ForEachMissingFromNewBaseline(const std::function<Status(const std::string&)>& row);
    // Drops an unfinished baseline; the records stay as they were.
    Status AbandonBaseline();
    // A baseline record (md5o = md5c = digest, flg 0), into the new baseline while one is built.
    Status InsertBaseline(const std::string& path, int64_t size, const std::string& date,
                          const std::string& digest);
    // The first record for the path, if any.
    Result<std::optional<Baseline>> LookupBaseline(const std::string& path);
    // A record first seen by a check (md5c kFirstSeenByCheck, flg 3).
    Status InsertNew(const std::string& path, int64_t size, const std::string& date,
                     const std::string& digest);
    Status UpdateSeen(const std::string& path, int flag, const std::string& digest);
    // Removes the records first seen by a check whose files were not seen in this run.
    Status ForgetVanishedNewFiles();
    // Removes the record of `path` if it was first seen by a check; a baseline record stays.
    Status ForgetNewFile(const std::string& path);
    // The digest a record first seen by a check was last reported with (kept in md5o until a
    // new baseline includes the file).
    Status UpdateNewFileDigest(const std::string& path, const std::string& digest);
    // Calls `row` with each filename whose flg is still 0, in the database's order. Stops at
    // the first failure `row` returns.
    // Each unseen record's file name and baseline digest (md5o).
    Status ForEachUnseen(
        const std::function<Status(const std::string& filename, const std::string& md5o)>& row);

    Status Commit();

  private:
    explicit FileInfoStore(platform::Database& db) : db_(db) {}
    Status Prepare();
    // Runs a writing statement inside the current batch, opening one when none is open.
    Status Write(platform::Statement& statement);

    platform::Database& db_;
    std::unique_ptr<platform::Statement> begin_, commit_;
    std::unique_ptr<platform::Statement> reset_flags_, delete_all_, mark_all_seen_,
        insert_baseline_, lookup_, insert_new_, update_seen_, select_unseen_, forget_vanished_,
        forget_new_file_, update_new_digest_;
    std::unique_ptr<platform::Statement> insert_new_baseline_;  // while a baseline is built
    std::chrono::steady_clock::time_point batch_started_;
};

}  // namespace norv
