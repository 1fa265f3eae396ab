#include "engine/file_info_store.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <set>
#include <vector>

#include "engine/store_rows.h"
#include "platform/base/notice_code.h"
#include "platform/digest/md5.h"

namespace norv {

using store_rows::BindExtended;
using store_rows::kExtendedJoin;
using store_rows::ReadExtended;
using store_rows::SizeOf;

namespace {

constexpr auto kBatchInterval = std::chrono::milliseconds(100);
constexpr const char* kTableShape =
    " (filename TEXT, filesize TEXT, filedate TEXT, md5o TEXT, md5c TEXT, flg INTEGER)";
const std::vector<std::string> kColumns = {"filename", "filesize", "filedate",
                                           "md5o",     "md5c",     "flg"};
// NULL where a fact was not read; capabilities, acl and xattrs in hexadecimal, "" for none.
// xattrs and flags came later: a table without them gains them (ExtendSchema), and its records
// hold NULL there, facts not recorded.
constexpr const char* kExtendedShape =
    " (filename TEXT, md5 TEXT, sha256 TEXT, type TEXT, mode INTEGER, uid INTEGER, gid INTEGER,"
    " capabilities TEXT, acl TEXT, xattrs TEXT, flags INTEGER)";
const std::vector<std::string> kExtendedColumns = {"filename", "md5",    "sha256", "type",
                                                   "mode",     "uid",    "gid",    "capabilities",
                                                   "acl",      "xattrs", "flags"};
const std::vector<std::string> kExtendedColumnsBeforeXattrs = {
    "filename", "md5", "sha256", "type", "mode", "uid", "gid", "capabilities", "acl"};
// The columns added to a table of an earlier shape, in their order; the change list has one more.
constexpr const char* kLaterColumns[][2] = {
    {"xattrs", "TEXT"}, {"flags", "INTEGER"}, {"moved_from", "TEXT"}};
constexpr const char* kInsertExtended = " VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11)";
// The last check's changes: the new MD5 and extended facts first, in fingerprint's order, so
// that BindExtended and ReadExtended serve them too.
constexpr const char* kChangesShape =
    " (filename TEXT, md5n TEXT, sha256 TEXT, type TEXT, mode INTEGER, uid INTEGER, gid INTEGER,"
    " capabilities TEXT, acl TEXT, kind TEXT, filesize INTEGER, mtime INTEGER, md5o TEXT,"
    " facts INTEGER, xattrs TEXT, flags INTEGER, moved_from TEXT)";
constexpr int kChangesColumns = 17;
constexpr const char* kStateShape = " (name TEXT PRIMARY KEY, value TEXT)";
// The baseline's digest is kept in norv_state once computed; any write that changes a baseline
// record (by norv of any version, or by hand) drops it, so it is never stale.
constexpr const char* kDigestKept = "baseline_sha256";
constexpr const char* kForgetDigest =
    " BEGIN DELETE FROM norv_state WHERE name='baseline_sha256'; END";
constexpr const char* kDigestTriggers[] = {
    "CREATE TRIGGER IF NOT EXISTS fileinfo_baseline_added AFTER INSERT ON fileinfo"
    " WHEN NEW.md5c!=' '",
    "CREATE TRIGGER IF NOT EXISTS fileinfo_baseline_removed AFTER DELETE ON fileinfo"
    " WHEN OLD.md5c!=' '",
    "CREATE TRIGGER IF NOT EXISTS fileinfo_baseline_changed AFTER UPDATE ON fileinfo"
    " WHEN (OLD.md5c!=' ' OR NEW.md5c!=' ') AND (OLD.filename IS NOT NEW.filename OR"
    " OLD.filesize IS NOT NEW.filesize OR OLD.filedate IS NOT NEW.filedate OR"
    " OLD.md5o IS NOT NEW.md5o OR (OLD.md5c!=' ') IS NOT (NEW.md5c!=' '))"};
// The writer the watch saw make a change, kept for the content it made (md5, OptionalMd5Text's
// form; "" for a file removed): the checks and the changes list name it while the file holds
// that content.
constexpr const char* kWritersShape = " (filename TEXT PRIMARY KEY, md5 TEXT, writer TEXT)";

const char* TypeText(platform::EntryKind kind) {
    return kind == platform::EntryKind::kSymlink ? "link" : "file";
}

}  // namespace

namespace store_rows {

const char* const kExtendedJoin =
    " x.md5 IS NOT NULL,x.sha256,x.type,x.mode,x.uid,x.gid,x.capabilities,x.acl,x.xattrs,x.flags"
    " FROM fileinfo f LEFT JOIN fingerprint x ON x.rowid=(SELECT rowid FROM fingerprint"
    " WHERE filename=f.filename AND md5=f.md5o LIMIT 1)";

// Binds `extended` to ?2 (its MD5) to ?9, and its later facts (xattrs, flags) to `later_at`
// and the next, of an insert into a fingerprint table.
void BindExtended(platform::Statement& insert, const std::string& md5,
                  const platform::ExtendedFacts& extended, int later_at) {
    insert.BindText(2, md5);
    if (extended.sha256.measured()) {
        insert.BindText(3, extended.sha256.text());
    } else {
        insert.BindNull(3);
    }
    insert.BindText(4, TypeText(extended.type));
    insert.BindInt(5, extended.mode);
    insert.BindInt(6, extended.owner);
    insert.BindInt(7, extended.group);
    int index = 8;
    for (const auto* value : {&extended.capabilities, &extended.acl}) {
        if (*value) {
            insert.BindText(index, platform::HexOf(**value));
        } else {
            insert.BindNull(index);
        }
        ++index;
    }
    if (extended.xattrs) {
        insert.BindText(later_at, platform::HexOf(*extended.xattrs));
    } else {
        insert.BindNull(later_at);
    }
    if (extended.inode_flags) {
        insert.BindInt(later_at + 1, *extended.inode_flags);
    } else {
        insert.BindNull(later_at + 1);
    }
}

// A length as fileinfo keeps it (text); nothing when it is not a whole number.
std::optional<int64_t> SizeOf(const std::string& text) {
    int64_t size = 0;
    if (!platform::ParseWholeNumber(text, size) || size < 0) return std::nullopt;
    return size;
}

// The extended facts in the columns from `first` on (kExtendedJoin's), if the row has them.
std::optional<platform::ExtendedFacts> ReadExtended(const platform::Statement& row, int first) {
    if (row.ColumnInt(first) == 0) return std::nullopt;
    platform::ExtendedFacts extended;
    extended.sha256 = platform::Sha256Digest::FromText(row.ColumnText(first + 1));
    extended.type = row.ColumnText(first + 2) == "link" ? platform::EntryKind::kSymlink
                                                        : platform::EntryKind::kRegular;
    extended.mode = static_cast<uint32_t>(row.ColumnInt(first + 3));
    extended.owner = static_cast<uint32_t>(row.ColumnInt(first + 4));
    extended.group = static_cast<uint32_t>(row.ColumnInt(first + 5));
    if (!row.ColumnIsNull(first + 6))
        extended.capabilities = platform::BytesOfHex(row.ColumnText(first + 6));
    if (!row.ColumnIsNull(first + 7))
        extended.acl = platform::BytesOfHex(row.ColumnText(first + 7));
    if (!row.ColumnIsNull(first + 8))
        extended.xattrs = platform::BytesOfHex(row.ColumnText(first + 8));
    if (!row.ColumnIsNull(first + 9))
        extended.inode_flags = static_cast<uint32_t>(row.ColumnInt(first + 9));
    return extended;
}

}  // namespace store_rows

namespace {

Result<std::vector<std::string>> ColumnsOf(platform::Database& db, const std::string& table) {
    auto columns = db.Prepare("SELECT name FROM pragma_table_info('" + table + "') ORDER BY cid");
    if (!columns.ok()) return columns.status();
    std::vector<std::string> found;
    for (;;) {
        auto row = (*columns)->Step();
        if (!row.ok()) return row.status();
        if (!row.value()) break;
        found.push_back((*columns)->ColumnText(0));
    }
    return found;
}

}  // namespace

Result<std::unique_ptr<FileInfoStore>> FileInfoStore::Open(platform::Database& db, bool new_file) {
    // Reading the schema also proves the file is a database at all.
    auto columns = ColumnsOf(db, "fileinfo");
    if (!columns.ok()) return columns.status();
    const std::vector<std::string>& found = columns.value();
    if (found.empty() && new_file) {
        // Pages of 16 KiB, set before the file has any: a baseline of 100,000 files is then a
        // quarter of the reads and writes of SQLite's 4 KiB pages, and an init or a check
        // about a tenth faster. A database made before keeps its pages.
        NORV_RETURN_IF_ERROR(db.Exec("PRAGMA page_size=16384"));
        NORV_RETURN_IF_ERROR(db.Exec(std::string("CREATE TABLE fileinfo") + kTableShape));
    } else if (found != kColumns) {
        return Status::Error(kErrDatabase, Message(NoticeCode::kNotOurFileinfoTable, {db.path()}));
    }
    // A second table of another shape is not ours either; nothing is changed before this.
    auto extended = ColumnsOf(db, "fingerprint");
    if (!extended.ok()) return extended.status();
    if (!extended->empty() && extended.value() != kExtendedColumns &&
        extended.value() != kExtendedColumnsBeforeXattrs) {
        return Status::Error(kErrDatabase,
                             Message(NoticeCode::kNotOurFingerprintTable, {db.path()}));
    }
    NORV_RETURN_IF_ERROR(db.Exec("PRAGMA journal_mode=WAL"));
    NORV_RETURN_IF_ERROR(db.Exec("PRAGMA synchronous=NORMAL"));
    // Debian's SQLite zeroes every freed page by default, which makes replacing a baseline
    // rewrite the old table's every page. The file is the administrator's alone and the old
    // rows hold nothing the new ones do not, so freed pages are left as they are; content
    // deleted inside a page that stays in use is still overwritten.
    NORV_RETURN_IF_ERROR(db.Exec("PRAGMA secure_delete=FAST"));
    // An index changes no record; without it every lookup would read the whole table.
    NORV_RETURN_IF_ERROR(
        db.Exec("CREATE INDEX IF NOT EXISTS fileinfo_filename ON fileinfo(filename)"));
    // The watch finds a renamed file's recorded path by its content.
    NORV_RETURN_IF_ERROR(db.Exec("CREATE INDEX IF NOT EXISTS fileinfo_md5o ON fileinfo(md5o)"));
    std::unique_ptr<FileInfoStore> store(new FileInfoStore(db));
    NORV_RETURN_IF_ERROR(store->ExtendSchema(new_file));
    NORV_RETURN_IF_ERROR(store->Prepare());
    return store;
}

Status FileInfoStore::ExtendSchema(bool new_file) {
    // Only a database without the table waits for the write lock: opening one that has it never
    // waits for a run of another norv to end.
    auto existing = ColumnsOf(db_, "fingerprint");
    if (!existing.ok()) return existing.status();
    if (existing->empty()) {
        // One writer at a time decides, so two programs opening the same old database say it
        // once.
        NORV_RETURN_IF_ERROR(db_.Exec("BEGIN IMMEDIATE"));
        auto columns = ColumnsOf(db_, "fingerprint");
        Status status = columns.status();
        if (status.ok() && columns->empty()) {
            status = db_.Exec(std::string("CREATE TABLE fingerprint") + kExtendedShape);
            // A database that held records before has them without their extended facts.
            if (status.ok() && !new_file) {
                auto records = db_.QueryInt("SELECT EXISTS(SELECT 1 FROM fileinfo)");
                status = records.status();
                extended_notice_ = status.ok() && records.value() != 0;
            }
        }
        if (status.ok()) status = db_.Exec("COMMIT");
        if (!status.ok()) {
            (void)db_.Exec("ROLLBACK");
            extended_notice_ = false;
            return status;
        }
    }
    NORV_RETURN_IF_ERROR(AddLaterColumns("fingerprint", kExtendedColumns.size()));
    NORV_RETURN_IF_ERROR(
        db_.Exec("CREATE INDEX IF NOT EXISTS fingerprint_filename ON fingerprint(filename)"));
    NORV_RETURN_IF_ERROR(
        db_.Exec(std::string("CREATE TABLE IF NOT EXISTS norv_changes") + kChangesShape));
    NORV_RETURN_IF_ERROR(AddLaterColumns("norv_changes", kChangesColumns));
    NORV_RETURN_IF_ERROR(
        db_.Exec(std::string("CREATE TABLE IF NOT EXISTS norv_writers") + kWritersShape));
    // A places table of an earlier shape holds nothing a check cannot make again: it goes, and
    // the folders gain their records at the next check as in a baseline made before them.
    auto places = ColumnsOf(db_, "norv_places");
    if (!places.ok()) return places.status();
    if (!places->empty() && places->size() != store_rows::kPlacesColumns) {
        NORV_RETURN_IF_ERROR(db_.Exec("DROP TABLE norv_places"));
        NORV_RETURN_IF_ERROR(
            db_.Exec("CREATE TABLE IF NOT EXISTS norv_state (name TEXT PRIMARY KEY, value TEXT)"));
        NORV_RETURN_IF_ERROR(db_.Exec("DELETE FROM norv_state WHERE name='places'"));
    }
    NORV_RETURN_IF_ERROR(
        db_.Exec(std::string("CREATE TABLE IF NOT EXISTS norv_places") + store_rows::kPlacesShape));
    NORV_RETURN_IF_ERROR(
        db_.Exec(std::string("CREATE TABLE IF NOT EXISTS norv_state") + kStateShape));
    return AddDigestTriggers();
}

Status FileInfoStore::AddDigestTriggers() {
    auto present = db_.QueryInt(
        "SELECT count(*) FROM sqlite_schema WHERE type='trigger' AND tbl_name='fileinfo'");
    if (!present.ok()) return present.status();
    if (present.value() == static_cast<int64_t>(std::size(kDigestTriggers))) return Status::Ok();
    // A digest kept before the triggers watched the table may be stale.
    Status status = db_.Exec("BEGIN IMMEDIATE");
    if (status.ok()) status = db_.Exec("DELETE FROM norv_state WHERE name='baseline_sha256'");
    for (const char* trigger : kDigestTriggers) {
        if (status.ok()) status = db_.Exec(std::string(trigger) + kForgetDigest);
    }
    if (status.ok()) status = db_.Exec("COMMIT");
    if (!status.ok()) (void)db_.Exec("ROLLBACK");
    return status;
}

Status FileInfoStore::AddLaterColumns(const std::string& table, size_t columns_now) {
    auto found = ColumnsOf(db_, table);
    if (!found.ok()) return found.status();
    if (found->size() >= columns_now) return Status::Ok();
    // One writer at a time: two programs opening the same database add each column once.
    NORV_RETURN_IF_ERROR(db_.Exec("BEGIN IMMEDIATE"));
    found = ColumnsOf(db_, table);
    Status status = found.status();
    size_t columns = status.ok() ? found->size() : 0;
    for (const auto& [name, type] : kLaterColumns) {
        if (!status.ok() || columns >= columns_now) break;
        if (std::find(found->begin(), found->end(), name) != found->end()) continue;
        status = db_.Exec("ALTER TABLE " + table + " ADD COLUMN " + name + " " + type);
        ++columns;
    }
    if (status.ok()) status = db_.Exec("COMMIT");
    if (!status.ok()) (void)db_.Exec("ROLLBACK");
    return status;
}

FileInfoStore::~FileInfoStore() {
    // Nothing can be reported from here; what the last batch held is as durable as the disk
    // allows, and the callers commit explicitly wherever a failure must be seen.
    (void)Commit();
}

Status FileInfoStore::Prepare() {
    struct Item {
        std::unique_ptr<platform::Statement>* slot;
        std::string sql;
    };
    const Item items[] = {
        {&begin_, "BEGIN"},
        {&commit_, "COMMIT"},
        {&reset_flags_, "UPDATE fileinfo SET flg=0"},
        {&delete_all_, "DELETE FROM fileinfo"},
        {&mark_all_seen_, "UPDATE fileinfo SET flg=1"},
        {&insert_baseline_, "INSERT INTO fileinfo VALUES(?1,?2,?3,?4,?4,0)"},
        {&lookup_, std::string("SELECT f.md5o,f.md5c,f.filesize,f.filedate,") + kExtendedJoin +
                       " WHERE f.filename=?1 LIMIT 1"},
        {&insert_new_, "INSERT INTO fileinfo VALUES(?1,?2,?3,?4,' ',3)"},
        {&update_seen_, "UPDATE fileinfo SET flg=?1,md5c=?2 WHERE filename=?3"},
        {&update_flag_, "UPDATE fileinfo SET flg=?1 WHERE filename=?2"},
        {&select_unmarked_,
         std::string("SELECT f.filename,f.md5o,f.filesize,") + kExtendedJoin + " WHERE f.flg=0"},
        {&delete_extended_, "DELETE FROM fingerprint"},
        {&insert_extended_, std::string("INSERT INTO fingerprint") + kInsertExtended},
        {&forget_extended_, "DELETE FROM fingerprint WHERE filename=?1"},
        {&forget_vanished_, "DELETE FROM fileinfo WHERE flg=0 AND md5c=' '"},
        {&forget_new_file_, "DELETE FROM fileinfo WHERE filename=?1 AND md5c=' '"},
        {&update_new_digest_, "UPDATE fileinfo SET md5o=?2 WHERE filename=?1 AND md5c=' '"},
        {&unlist_change_, "DELETE FROM norv_changes WHERE filename=?1"},
        {&recorded_after_,
         "SELECT filename FROM fileinfo WHERE filename>?1 AND md5c!=' ' ORDER BY filename "
         "LIMIT ?2"},
        {&list_change_,
         "INSERT INTO norv_changes VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,"
         "?17)"},
        {&reset_places_, "UPDATE norv_places SET met=0"},
        {&recorded_with_content_,
         "SELECT filename FROM fileinfo WHERE md5o=?1 AND md5c!=' ' LIMIT ?2"},
        {&insert_place_,
         std::string("INSERT OR REPLACE INTO norv_places") + store_rows::kInsertPlace},
        {&lookup_place_, "SELECT * FROM norv_places WHERE path=?1"},
        {&mark_place_met_, "UPDATE norv_places SET met=1 WHERE path=?1"},
        {&select_unmet_places_, "SELECT * FROM norv_places WHERE met=0"},
    };
    for (const Item& item : items) {
        auto stmt = db_.Prepare(item.sql);
        if (!stmt.ok()) return stmt.status();
        *item.slot = std::move(stmt).value();
    }
    return Status::Ok();
}

Status FileInfoStore::Commit() {
    if (!db_.InTransaction()) return Status::Ok();
    return commit_->Run();
}

Status FileInfoStore::Write(platform::Statement& statement) {
    if (!db_.InTransaction()) {
        batch_started_ = db_.env().SteadyNow();
        NORV_RETURN_IF_ERROR(begin_->Run());
    }
    NORV_RETURN_IF_ERROR(statement.Run());
    if (db_.env().SteadyNow() - batch_started_ >= kBatchInterval) return Commit();
    return Status::Ok();
}

Status FileInfoStore::ResetFlags() {
    NORV_RETURN_IF_ERROR(Write(*reset_flags_));
    return Write(*reset_places_);
}
Status FileInfoStore::DeleteAll() {
    NORV_RETURN_IF_ERROR(Write(*delete_all_));
    return Write(*delete_extended_);
}
Status FileInfoStore::MarkAllSeen() { return Write(*mark_all_seen_); }
Status FileInfoStore::ForgetVanishedNewFiles() { return Write(*forget_vanished_); }

Status FileInfoStore::UpdateNewFileDigest(const std::string& path,
                                          const platform::Md5Digest& digest) {
    update_new_digest_->BindText(1, path);
    update_new_digest_->BindText(2, digest.text());
    return Write(*update_new_digest_);
}

Status FileInfoStore::ForgetNewFile(const std::string& path) {
    forget_new_file_->BindText(1, path);
    return Write(*forget_new_file_);
}

Status FileInfoStore::BeginBaseline() {
    NORV_RETURN_IF_ERROR(Commit());
    new_baseline_digest_.reset();
    insert_new_baseline_.reset();
    insert_new_extended_.reset();
    insert_new_place_.reset();
    for (const char* sql :
         {"DROP TABLE IF EXISTS fileinfo_new", "DROP TABLE IF EXISTS fingerprint_new",
          "DROP TABLE IF EXISTS norv_places_new"}) {
        NORV_RETURN_IF_ERROR(db_.Exec(sql));
    }
    NORV_RETURN_IF_ERROR(db_.Exec(std::string("CREATE TABLE fileinfo_new") + kTableShape));
    NORV_RETURN_IF_ERROR(db_.Exec(std::string("CREATE TABLE fingerprint_new") + kExtendedShape));
    NORV_RETURN_IF_ERROR(
        db_.Exec(std::string("CREATE TABLE norv_places_new") + store_rows::kPlacesShape));
    auto insert_place = db_.Prepare(std::string("INSERT OR REPLACE INTO norv_places_new") +
                                    store_rows::kInsertPlace);
    if (!insert_place.ok()) return insert_place.status();
    insert_new_place_ = std::move(insert_place).value();
    auto insert = db_.Prepare("INSERT INTO fileinfo_new VALUES(?1,?2,?3,?4,?4,0)");
    if (!insert.ok()) return insert.status();
    auto insert_extended =
        db_.Prepare(std::string("INSERT INTO fingerprint_new") + kInsertExtended);
    if (!insert_extended.ok()) return insert_extended.status();
    insert_new_baseline_ = std::move(insert).value();
    insert_new_extended_ = std::move(insert_extended).value();
    return Status::Ok();
}

Status FileInfoStore::CommitBaseline(const std::vector<std::string>& rules) {
    NORV_RETURN_IF_ERROR(Commit());
    insert_new_baseline_.reset();
    insert_new_extended_.reset();
    insert_new_place_.reset();
    // The rules this baseline was made for, each in hexadecimal (a path may hold any byte).
    std::string rule_list;
    for (const std::string& rule : rules) rule_list += platform::HexOf(rule) + "\n";
    auto keep_rules = db_.Prepare("INSERT OR REPLACE INTO norv_state VALUES('rules',?1)");
    if (!keep_rules.ok()) return keep_rules.status();
    (*keep_rules)->BindText(1, rule_list);
    Status status = db_.Exec("BEGIN");
    if (status.ok()) status = (*keep_rules)->Run();
    // The new tables take the old ones' place, and their indexes are built in one sorted pass:
    // far cheaper than copying every row into the indexed tables. Rows keep their walk order.
    for (const char* sql :
         {"DROP TABLE fileinfo", "ALTER TABLE fileinfo_new RENAME TO fileinfo",
          "CREATE INDEX fileinfo_filename ON fileinfo(filename)",
          "CREATE INDEX fileinfo_md5o ON fileinfo(md5o)", "DROP TABLE fingerprint",
          "ALTER TABLE fingerprint_new RENAME TO fingerprint",
          "CREATE INDEX fingerprint_filename ON fingerprint(filename)", "DROP TABLE norv_places",
          "ALTER TABLE norv_places_new RENAME TO norv_places",
          "INSERT OR REPLACE INTO norv_state VALUES('places','1')",
          // A new baseline: the last check's changes were found against the old one.
          "DELETE FROM norv_changes", "DELETE FROM norv_writers",
          "DELETE FROM norv_state WHERE name='checked'",
          "DELETE FROM norv_state WHERE name='baseline_sha256'",
          "INSERT OR REPLACE INTO norv_state VALUES('generation',"
          " CAST(COALESCE((SELECT value FROM norv_state WHERE name='generation'),'0') AS INTEGER)"
          "+1)"}) {
        if (status.ok()) status = db_.Exec(sql);
    }
    // The table's triggers went with it.
    for (const char* trigger : kDigestTriggers) {
        if (status.ok()) status = db_.Exec(std::string(trigger) + kForgetDigest);
    }
    // The digest taken of the new rows as they stand, when nothing was added since.
    if (status.ok() && new_baseline_digest_) {
        auto keep_digest = db_.Prepare("INSERT INTO norv_state VALUES(?1,?2)");
        status = keep_digest.status();
        if (status.ok()) {
            (*keep_digest)->BindText(1, kDigestKept);
            (*keep_digest)->BindText(2, *new_baseline_digest_);
            status = (*keep_digest)->Run();
        }
    }
    new_baseline_digest_.reset();
    if (status.ok()) status = db_.Exec("COMMIT");
    if (!status.ok() && db_.InTransaction()) (void)db_.Exec("ROLLBACK");
    return status;
}

Result<std::string> FileInfoStore::BaselineDigest() {
    auto kept = GetState(kDigestKept);
    if (kept.ok() && kept->has_value()) return std::move(**kept);
    // Computed and kept in one write transaction, so that a baseline another norv changes
    // meanwhile never leaves a stale digest kept; inside the caller's own transaction (which
    // may be rolled back), or without the lock, it is only computed.
    const bool keep = !db_.InTransaction() && db_.Exec("BEGIN IMMEDIATE").ok();
    auto digest = ComputeBaselineDigest();
    if (keep) {
        Status kept_now = digest.status();
        auto set = db_.Prepare("INSERT OR REPLACE INTO norv_state VALUES(?1,?2)");
        if (kept_now.ok()) kept_now = set.status();
        if (kept_now.ok()) {
            (*set)->BindText(1, kDigestKept);
            (*set)->BindText(2, digest.value());
            kept_now = (*set)->Run();
        }
        if (kept_now.ok()) kept_now = db_.Exec("COMMIT");
        if (!kept_now.ok()) (void)db_.Exec("ROLLBACK");
    }
    return digest;
}

namespace {

// Adds the row `rows` stands on (path, length, time, MD5) to a baseline digest: each value as its
// length and bytes (NULL as "-"), so no two rows read alike. `bytes` is only room to build the
// row in, kept from row to row.
void AddDigestRow(platform::Statement& rows, platform::Sha256Digester& digest, std::string& bytes) {
    bytes.clear();
    for (int column = 0; column < 4; ++column) {
        if (rows.ColumnIsNull(column)) {
            bytes += '-';
            continue;
        }
        const std::string_view value = rows.ColumnView(column);
        char length[24];
        bytes.append(length, std::to_chars(length, length + sizeof length, value.size()).ptr);
        bytes += ':';
        bytes += value;
    }
    bytes += '\n';
    digest.Update(bytes);
}

}  // namespace

Result<std::string> FileInfoStore::ComputeBaselineDigest() {
    // A statement of its own: reading never disturbs the writes grouped in a transaction.
    auto rows = db_.Prepare(
        "SELECT filename,filesize,filedate,md5o FROM fileinfo WHERE md5c!=' ' "
        "ORDER BY filename,filesize,filedate,md5o");
    if (!rows.ok()) return rows.status();
    platform::Sha256Digester digest;
    std::string bytes;
    for (;;) {
        auto row = (*rows)->Step();
        if (!row.ok()) return row.status();
        if (!row.value()) break;
        AddDigestRow(**rows, digest, bytes);
    }
    return digest.HexDigest();
}

Status FileInfoStore::CarryOverBaseline(const std::function<bool(const std::string&)>& keep) {
    NORV_RETURN_IF_ERROR(Commit());
    // An index for the look-ups below only; the new table gets its own when it takes the old
    // one's place.
    NORV_RETURN_IF_ERROR(
        db_.Exec("CREATE INDEX IF NOT EXISTS fileinfo_new_carry ON fileinfo_new(filename)"));
    auto rows = db_.Prepare("SELECT filename,filesize,filedate,md5o FROM fileinfo WHERE md5c!=' '");
    if (!rows.ok()) return rows.status();
    auto present = db_.Prepare("SELECT 1 FROM fileinfo_new WHERE filename=?1");
    if (!present.ok()) return present.status();
    auto insert = db_.Prepare("INSERT INTO fileinfo_new VALUES(?1,?2,?3,?4,?4,0)");
    if (!insert.ok()) return insert.status();
    auto insert_extended = db_.Prepare(
        "INSERT INTO fingerprint_new SELECT * FROM fingerprint WHERE filename=?1 AND md5=?2");
    if (!insert_extended.ok()) return insert_extended.status();
    Status status = db_.Exec("BEGIN");
    while (status.ok()) {
        auto row = (*rows)->Step();
        if (!row.ok()) status = row.status();
        if (!status.ok() || !row.value()) break;
        const std::string path = (*rows)->ColumnText(0);
        if (!keep(path)) continue;
        (*present)->BindText(1, path);
        auto found = (*present)->Step();
        (*present)->Reset();
        if (!found.ok()) status = found.status();
        if (!status.ok() || found.value()) continue;
        new_baseline_digest_.reset();
        (*insert)->BindText(1, path);
        (*insert)->BindText(2, (*rows)->ColumnText(1));
        (*insert)->BindText(3, (*rows)->ColumnText(2));
        (*insert)->BindText(4, (*rows)->ColumnText(3));
        status = (*insert)->Run();
        if (!status.ok()) break;
        (*insert_extended)->BindText(1, path);
        (*insert_extended)->BindText(2, (*rows)->ColumnText(3));
        status = (*insert_extended)->Run();
    }
    (*rows)->Reset();
    if (status.ok()) status = db_.Exec("COMMIT");
    if (!status.ok() && db_.InTransaction()) (void)db_.Exec("ROLLBACK");
    if (status.ok()) status = db_.Exec("DROP INDEX fileinfo_new_carry");
    if (status.ok()) status = CarryOverPlaces(keep);
    return status;
}

Status FileInfoStore::ForEachMissingFromNewBaseline(
    const std::function<Status(const std::string&)>& row) {
    NORV_RETURN_IF_ERROR(Commit());
    auto collation = db_.ColumnCollation("fileinfo", "filename");
    if (!collation.ok()) return collation.status();
    if (::strcasecmp(collation->c_str(), "BINARY") != 0) {
        // A table made elsewhere may compare names its own way: SQLite decides each one.
        auto rows = db_.Prepare(
            "SELECT filename FROM fileinfo WHERE md5c!=' ' AND "
            "filename NOT IN (SELECT filename FROM fileinfo_new)");
        if (!rows.ok()) return rows.status();
        for (;;) {
            auto step = (*rows)->Step();
            if (!step.ok()) return step.status();
            if (!step.value()) return Status::Ok();
            NORV_RETURN_IF_ERROR(row((*rows)->ColumnText(0)));
        }
    }
    // Both lists in name order, walked side by side: the old one comes from its index, and one
    // sort of the new names costs far less than a temporary index of them probed once per old
    // row. Names compare byte by byte, as SQLite's BINARY collation does.
    auto old_rows = db_.Prepare(
        "SELECT filename,typeof(filename) FROM fileinfo WHERE md5c!=' ' ORDER BY filename");
    if (!old_rows.ok()) return old_rows.status();
    // The new rows in the order the baseline's digest takes them, so that this one sort also
    // gives the new baseline's digest (every row of it is a baseline record).
    auto new_rows = db_.Prepare(
        "SELECT filename,filesize,filedate,md5o FROM fileinfo_new "
        "ORDER BY filename,filesize,filedate,md5o");
    if (!new_rows.ok()) return new_rows.status();
    platform::Sha256Digester new_digest;
    std::string digest_bytes;
    std::optional<std::string> newer;  // the least new name not yet passed; none at the end
    auto advance = [&]() -> Status {
        auto step = (*new_rows)->Step();
        if (!step.ok()) return step.status();
        if (!step.value()) {
            newer.reset();
            return Status::Ok();
        }
        if (!newer) newer.emplace();
        newer->assign((*new_rows)->ColumnView(0));  // into the room the last name took
        AddDigestRow(**new_rows, new_digest, digest_bytes);
        return Status::Ok();
    };
    NORV_RETURN_IF_ERROR(advance());
    const bool none_new = !newer;
    for (;;) {
        auto step = (*old_rows)->Step();
        if (!step.ok()) return step.status();
        if (!step.value()) {
            while (newer) NORV_RETURN_IF_ERROR(advance());
            new_baseline_digest_ = new_digest.HexDigest();
            return Status::Ok();
        }
        const std::string_view path = (*old_rows)->ColumnView(0);
        const std::string_view type = (*old_rows)->ColumnView(1);
        // The new names are all text. A name written elsewhere as bytes equals none of them;
        // a missing name is in a list only when the list is empty. Both sort apart from text.
        if (type == "null" && !none_new) continue;
        if (type == "text") {
            while (newer && *newer < path) NORV_RETURN_IF_ERROR(advance());
            if (newer && *newer == path) continue;
        }
        NORV_RETURN_IF_ERROR(row(std::string(path)));
    }
}

Status FileInfoStore::AbandonBaseline() {
    Status committed = Commit();
    new_baseline_digest_.reset();
    insert_new_baseline_.reset();
    insert_new_extended_.reset();
    insert_new_place_.reset();
    Status dropped = db_.Exec("DROP TABLE IF EXISTS fileinfo_new");
    Status dropped_extended = db_.Exec("DROP TABLE IF EXISTS fingerprint_new");
    Status dropped_places = db_.Exec("DROP TABLE IF EXISTS norv_places_new");
    if (!committed.ok()) return committed;
    if (!dropped.ok()) return dropped;
    return dropped_extended.ok() ? dropped_places : dropped_extended;
}

Status FileInfoStore::InsertBaseline(const std::string& path, int64_t size, const std::string& date,
                                     const platform::Md5Digest& digest,
                                     const std::optional<platform::ExtendedFacts>& extended) {
    platform::Statement& insert = insert_new_baseline_ ? *insert_new_baseline_ : *insert_baseline_;
    new_baseline_digest_.reset();
    insert.BindText(1, path);
    insert.BindText(2, std::to_string(size));
    insert.BindText(3, date);
    insert.BindText(4, digest.text());
    NORV_RETURN_IF_ERROR(Write(insert));
    if (!extended) return Status::Ok();
    platform::Statement& facts = insert_new_extended_ ? *insert_new_extended_ : *insert_extended_;
    facts.BindText(1, path);
    BindExtended(facts, digest.text(), *extended, 10);
    return Write(facts);
}

Status FileInfoStore::RecordExtended(const std::string& path, const platform::Md5Digest& md5,
                                     const platform::ExtendedFacts& extended) {
    // A row of another content (left by a program that knew only fileinfo) goes first.
    forget_extended_->BindText(1, path);
    NORV_RETURN_IF_ERROR(Write(*forget_extended_));
    insert_extended_->BindText(1, path);
    BindExtended(*insert_extended_, md5.text(), extended, 10);
    return Write(*insert_extended_);
}

Result<std::optional<FileInfoStore::Baseline>> FileInfoStore::LookupBaseline(
    const std::string& path) {
    lookup_->BindText(1, path);
    auto row = lookup_->Step();
    std::optional<Baseline> baseline;
    if (row.ok() && row.value()) {
        baseline = Baseline{platform::OptionalMd5FromText(lookup_->ColumnText(0)),
                            lookup_->ColumnText(1) == kFirstSeenByCheck, ReadExtended(*lookup_, 4),
                            SizeOf(lookup_->ColumnText(2)), lookup_->ColumnText(3)};
        if (baseline->first_seen_by_check) baseline->extended.reset();
    }
    lookup_->Reset();
    if (!row.ok()) return row.status();
    return baseline;
}

Status FileInfoStore::InsertNew(const std::string& path, int64_t size, const std::string& date,
                                const platform::Md5Digest& digest) {
    insert_new_->BindText(1, path);
    insert_new_->BindText(2, std::to_string(size));
    insert_new_->BindText(3, date);
    insert_new_->BindText(4, digest.text());
    return Write(*insert_new_);
}

Status FileInfoStore::UpdateSeen(const std::string& path, int flag,
                                 const platform::Md5Digest& digest) {
    update_seen_->BindInt(1, flag);
    update_seen_->BindText(2, digest.text());
    update_seen_->BindText(3, path);
    return Write(*update_seen_);
}

Status FileInfoStore::UpdateFlag(const std::string& path, int flag) {
    update_flag_->BindInt(1, flag);
    update_flag_->BindText(2, path);
    return Write(*update_flag_);
}

Status FileInfoStore::ForEachUnmarked(
    const std::function<Status(const std::string&, const Baseline&)>& row) {
    Status status;
    for (;;) {
        auto step = select_unmarked_->Step();
        if (!step.ok()) {
            status = step.status();
            break;
        }
        if (!step.value()) break;
        status = row(select_unmarked_->ColumnText(0),
                     Baseline{platform::OptionalMd5FromText(select_unmarked_->ColumnText(1)), false,
                              ReadExtended(*select_unmarked_, 3),
                              SizeOf(select_unmarked_->ColumnText(2)), ""});
        if (!status.ok()) break;
    }
    select_unmarked_->Reset();
    return status;
}

namespace {

// The first column of each row `statement` gives, as text; the statement is reset after.
Result<std::vector<std::string>> FirstColumnOfEach(platform::Statement& statement) {
    std::vector<std::string> names;
    Status status;
    for (;;) {
        auto step = statement.Step();
        if (!step.ok()) {
            status = step.status();
            break;
        }
        if (!step.value()) break;
        names.push_back(statement.ColumnText(0));
    }
    statement.Reset();
    if (!status.ok()) return status;
    return names;
}

}  // namespace

Result<std::vector<std::string>> FileInfoStore::RecordedAfter(const std::string& after,
                                                              size_t most) {
    recorded_after_->BindText(1, after);
    recorded_after_->BindInt(2, static_cast<int64_t>(most));
    return FirstColumnOfEach(*recorded_after_);
}

Result<std::vector<std::string>> FileInfoStore::RecordedWithContent(const platform::Md5Digest& md5,
                                                                    size_t most) {
    recorded_with_content_->BindText(1, md5.text());
    recorded_with_content_->BindInt(2, static_cast<int64_t>(most));
    return FirstColumnOfEach(*recorded_with_content_);
}

Result<std::optional<std::set<std::string>>> FileInfoStore::BaselineRules() {
    auto list = GetState("rules");
    if (!list.ok()) return list.status();
    if (!list->has_value()) return std::optional<std::set<std::string>>();
    std::set<std::string> rules;
    const std::string& text = **list;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        rules.insert(platform::BytesOfHex(text.substr(at, end - at)));
    }
    return std::optional(std::move(rules));
}

Status FileInfoStore::SetState(const std::string& name, const std::string& value) {
    auto set = db_.Prepare("INSERT OR REPLACE INTO norv_state VALUES(?1,?2)");
    if (!set.ok()) return set.status();
    (*set)->BindText(1, name);
    (*set)->BindText(2, value);
    return Write(**set);
}

Result<std::optional<std::string>> FileInfoStore::GetState(const std::string& name) {
    auto get = db_.Prepare("SELECT value FROM norv_state WHERE name=?1");
    if (!get.ok()) return get.status();
    (*get)->BindText(1, name);
    auto row = (*get)->Step();
    if (!row.ok()) return row.status();
    if (!row.value()) return std::optional<std::string>();
    return std::optional<std::string>((*get)->ColumnText(0));
}

}  // namespace norv
