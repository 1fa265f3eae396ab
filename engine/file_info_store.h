// FileInfoStore: the table `fileinfo` of the database "norv.db", one record per monitored file.
//
// Columns, in this order: filename, filesize, filedate, md5o (baseline digest), md5c (digest at
// the latest check, one blank for a file first seen by a check), flg (0 not seen in this run,
// 1 seen and equal, 2 seen and altered, 3 first seen in this run). The eight statements are
// prepared once and run with bound parameters, so a path is stored exactly as it is, apostrophes
// and all, and compared byte for byte.
//
// Beside it, the table `fingerprint` keeps what a baseline records of each file beyond those
// columns (platform::ExtendedFacts: SHA-256, type, mode, owner, group, capabilities, ACL), keyed
// by the same filename and by the MD5 it was measured with: a row whose MD5 is not the record's
// md5o (left by a program that knew only fileinfo) belongs to another content and is not used.
// Both are written in the same transactions. A database without `fingerprint` (made before the
// fingerprint was extended) gets it, empty, when opened; records without a row are then filled
// by the next check that finds their file unchanged (RecordExtended), never reported. A run killed
// meanwhile leaves rows filled or not, each whole.
//
// A new baseline (init) is built in tables beside, `fileinfo_new` and `fingerprint_new`, and
// takes the place of the old records in one transaction only when it is complete: an init that
// fails or is killed leaves the previous baseline as it was.
//
// A record first seen by a check keeps md5c one blank until a new baseline includes the file:
// it is reported as created at every check, and forgotten without a word once the file is gone.
//
// The changes the last check found are kept in `norv_changes`, one row per path with what was
// shown of it (kind, size, time, both MD5s, the extended facts found), for review and accept.
// `norv_places` records each folder and FIFO, socket or device under the rules (see RecordPlace).
// `norv_state` holds the baseline's generation, which every init that replaces the records
// raises (and then empties the list), the generation the last finished check ran against, and
// an accept's marker while its new archive waits to be renamed into place (response/accept.h).
// A database without them (made by an earlier norv) gets them, empty, when opened: generation
// 0 and no finished check.
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
#include <set>
#include <string>
#include <vector>

#include "engine/engine_hooks.h"
#include "platform/base/status.h"
#include "platform/db/database.h"
#include "platform/digest/fingerprint.h"

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
        // None where the record holds no digest (md5o ""): it equals no digest measured now.
        std::optional<platform::Md5Digest> md5o;
        bool first_seen_by_check = false;  // md5c is kFirstSeenByCheck
        // None for a record made before the fingerprint was extended, or first seen by a check.
        std::optional<platform::ExtendedFacts> extended;
        // fileinfo's length (LookupBaseline, ForEachUnmarked) and time (LookupBaseline): with a
        // digest of part of the content, they and the attributes are what a comparison has.
        std::optional<int64_t> size;
        std::string date;
    };

    // True once, after Open gave an existing database the table `fingerprint`: the run that
    // follows says that the fingerprint was extended.
    bool TakeExtendedNotice() {
        const bool notice = extended_notice_;
        extended_notice_ = false;
        return notice;
    }

    Status ResetFlags();  // every record not yet seen (flg 0)
    Status DeleteAll();
    Status MarkAllSeen();  // flg 1 everywhere
    // Starts a new baseline beside the current records (a table left by a killed init is
    // dropped first); InsertBaseline then writes there.
    Status BeginBaseline();
    // Replaces every record with the new baseline, in one transaction, and keeps the rules it
    // was made for (see BaselineRules).
    Status CommitBaseline(const std::vector<std::string>& rules);
    // The rules the baseline was made for, as CommitBaseline was given them; nothing for a
    // baseline made before they were kept.
    Result<std::optional<std::set<std::string>>> BaselineRules();
    // The SHA-256 (hexadecimal) of the baseline as it stands: every record a baseline made
    // (not one first seen by a check), in path order, each its path, length, time and MD5 as
    // fileinfo holds them. One pass over the table, kept until a baseline record changes;
    // equal baselines give equal digests, and the flags and digests a check sets change nothing.
    Result<std::string> BaselineDigest();
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
    // A baseline record (md5o = md5c = digest, flg 0) with its extended facts (none: a record
    // as a program that knew only fileinfo made it), into the new baseline while one is built.
    Status InsertBaseline(const std::string& path, int64_t size, const std::string& date,
                          const platform::Md5Digest& digest,
                          const std::optional<platform::ExtendedFacts>& extended = std::nullopt);
    // Gives the baseline record of `path`, whose content is still `md5`, the extended facts it
    // lacks.
    Status RecordExtended(const std::string& path, const platform::Md5Digest& md5,
                          const platform::ExtendedFacts& extended);
    // The first record for the path, if any.
    Result<std::optional<Baseline>> LookupBaseline(const std::string& path);
    // A record first seen by a check (md5c kFirstSeenByCheck, flg 3).
    Status InsertNew(const std::string& path, int64_t size, const std::string& date,
                     const platform::Md5Digest& digest);
    Status UpdateSeen(const std::string& path, int flag, const platform::Md5Digest& digest);
    // The flag alone: md5c keeps the digest of the latest measurement that was one.
    Status UpdateFlag(const std::string& path, int flag);
    // Removes the records first seen by a check whose files were not seen in this run.
    Status ForgetVanishedNewFiles();
    // Removes the record of `path` if it was first seen by a check; a baseline record stays.
    Status ForgetNewFile(const std::string& path);
    // The digest a record first seen by a check was last reported with (kept in md5o until a
    // new baseline includes the file).
    Status UpdateNewFileDigest(const std::string& path, const platform::Md5Digest& digest);
    // Calls `row` with each record whose flg is still 0, in the database's order: its file name,
    // its baseline (md5o, extended facts and length). Stops at the first failure `row` returns.
    Status ForEachUnmarked(
        const std::function<Status(const std::string& filename, const Baseline& baseline)>& row);
    // Up to `most` file names of baseline records (not those first seen by a check) that come
    // after `after` in byte order: the records are read a page at a time, never held whole, and
    // no statement stays open between pages while the caller writes.
    Result<std::vector<std::string>> RecordedAfter(const std::string& after, size_t most);

    // The folders and the FIFOs, sockets and devices under the rules, each recorded in the
    // table `norv_places` by its path (a folder's ends in the separator) with its kind and facts
    // (platform::PlaceFacts), and a mark of whether this run has met it. An init records them
    // into a table beside, swapped in with the files' records (CommitBaseline).
    // Records `place` (into the new baseline while one is built), met by this run.
    Status RecordPlace(const std::string& path, const platform::PlaceFacts& place);
    Result<std::optional<platform::PlaceFacts>> LookupPlace(const std::string& path);
    Status MarkPlaceMet(const std::string& path);
    // Calls `row` with each place record this run has not met (ResetFlags unmarks them all).
    Status ForEachUnmetPlace(const std::function<Status(const std::string& path,
                                                        const platform::PlaceFacts& place)>& row);
    // Whether the baseline records the places: one made by an earlier norv has none, and its
    // folders gain their records at the next check instead.
    Result<bool> BaselineRecordsPlaces();

    // Up to `most` file names of baseline records whose content is `md5` (an index keeps this
    // one look-up).
    Result<std::vector<std::string>> RecordedWithContent(const platform::Md5Digest& md5,
                                                         size_t most);

    Status Commit();

    // One change of the last check, as it was shown.
    struct ListedChange {
        std::string path;
        ChangeKind kind = ChangeKind::kAltered;
        int64_t size = -1;   // now; -1 when gone
        int64_t mtime = -1;  // seconds since the epoch; -1 when gone
        // The baseline's (none for a created file), and now's (none for a deleted file, or one
        // that changed while read). Kept as OptionalMd5Text writes them.
        std::optional<platform::Md5Digest> old_md5;
        std::optional<platform::Md5Digest> new_md5;
        std::optional<platform::ExtendedFacts> new_facts;  // now; none for a deleted file
        // The baseline's, read with the list (its record's for old_md5); not stored with the
        // change, and none where the baseline has none (a created file, an older record).
        std::optional<platform::ExtendedFacts> old_facts;
        // Who made it, as the watch saw (WriterJson's text), read with the list; "" unknown.
        std::string writer;
        // A move: the recorded path it left.
        std::string moved_from = {};
    };
    struct ChangeList {
        int64_t generation = 0;  // of the baseline the list was found against
        bool checked = false;    // a check finished since the last init
        std::vector<ListedChange> changes;
    };
    // A check begins: the list empties and counts as unfinished until EndChangeList.
    Status BeginChangeList();
    Status EndChangeList();
    // Adds a change to the list, replacing an earlier one of the same path.
    Status ListChange(const ListedChange& change);
    // The writer the watch saw make `path` hold `content` (none: removed), as WriterJson's
    // text; WriterOf gives it back while the content is the same. EndChangeList forgets the
    // writers of paths the finished check did not list, a new baseline all of them.
    Status RecordWriter(const std::string& path, const std::optional<platform::Md5Digest>& content,
                        const std::string& writer);
    Result<std::string> WriterOf(const std::string& path,
                                 const std::optional<platform::Md5Digest>& content);
    Result<ChangeList> ReadChangeList();

    // An accepted change written as the baseline: `date` is filedate's text for `change.mtime`.
    struct AcceptedRow {
        ListedChange change;
        std::string date;
    };
    // The accept's marker: the new archive, still under its temporary name in the save folder.
    struct PendingArchive {
        std::string temp_name;
        uint64_t device = 0;
        uint64_t inode = 0;
    };
    // In one transaction, made durable before it returns: each row becomes the baseline
    // (altered and created: a baseline record as InsertBaseline writes it, extended facts
    // included; deleted: its records go), leaves the change list, and `marker` is set.
    Status ApplyAccepted(const std::vector<AcceptedRow>& rows, const PendingArchive& marker);
    Result<std::optional<PendingArchive>> ReadPendingArchive();
    Status ClearPendingArchive();

  private:
    explicit FileInfoStore(platform::Database& db) : db_(db) {}
    Status Prepare();
    // Creates `fingerprint` in a database that has only fileinfo.
    Status ExtendSchema(bool new_file);
    // Adds to `table`, when it has fewer than `columns_now` columns, the facts recorded since.
    Status AddLaterColumns(const std::string& table, size_t columns_now);
    // The triggers that drop the kept baseline digest when a baseline record changes.
    Status AddDigestTriggers();
    Result<std::string> ComputeBaselineDigest();
    // CarryOverBaseline's part for the places.
    Status CarryOverPlaces(const std::function<bool(const std::string& path)>& keep);
    // Runs a writing statement inside the current batch, opening one when none is open.
    Status Write(platform::Statement& statement);

    platform::Database& db_;
    std::unique_ptr<platform::Statement> begin_, commit_;
    std::unique_ptr<platform::Statement> reset_flags_, delete_all_, mark_all_seen_,
        insert_baseline_, lookup_, insert_new_, update_seen_, update_flag_, select_unmarked_,
        forget_vanished_, forget_new_file_, update_new_digest_, delete_extended_, insert_extended_,
        forget_extended_, unlist_change_, list_change_, recorded_after_, reset_places_,
        insert_place_, lookup_place_, mark_place_met_, select_unmet_places_, recorded_with_content_;
    // While a baseline is built.
    std::unique_ptr<platform::Statement> insert_new_baseline_, insert_new_extended_,
        insert_new_place_;
    // Inserts or replaces the state value `name`.
    Status SetState(const std::string& name, const std::string& value);
    Result<std::optional<std::string>> GetState(const std::string& name);
    // What a finished check notes and the list's reader compares: the baseline generation and
    // SQLite's schema version, so an init that knows nothing of the generation is seen too.
    Result<std::string> CheckedMark();

    bool extended_notice_ = false;
    // The new baseline's digest, taken by ForEachMissingFromNewBaseline's pass over its rows;
    // dropped when a row is added after, and kept by CommitBaseline.
    std::optional<std::string> new_baseline_digest_;
    std::chrono::steady_clock::time_point batch_started_;
};

}  // namespace norv
