#include "engine/file_info_store.h"

#include <vector>

namespace norv {
namespace {

constexpr auto kBatchInterval = std::chrono::milliseconds(100);
constexpr const char* kTableShape =
    " (filename TEXT, filesize TEXT, filedate TEXT, md5o TEXT, md5c TEXT, flg INTEGER)";
const std::vector<std::string> kColumns = {"filename", "filesize", "filedate",
                                           "md5o",     "md5c",     "flg"};

}  // namespace

Result<std::unique_ptr<FileInfoStore>> FileInfoStore::Open(platform::Database& db, bool new_file) {
    // Reading the schema also proves the file is a database at all.
    auto columns = db.Prepare("SELECT name FROM pragma_table_info('fileinfo') ORDER BY cid");
    if (!columns.ok()) return columns.status();
    std::vector<std::string> found;
    for (;;) {
        auto row = (*columns)->Step();
        if (!row.ok()) return row.status();
        if (!row.value()) break;
        found.push_back((*columns)->ColumnText(0));
    }
    if (found.empty() && new_file) {
        NORV_RETURN_IF_ERROR(db.Exec(std::string("CREATE TABLE fileinfo") + kTableShape));
    } else if (found != kColumns) {
        return Status::Error(kErrDatabase, "データベース " + db.path() +
                                               " には正しい fileinfo 表がありません。"
                                               "このファイルには手を加えません");
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
    std::unique_ptr<FileInfoStore> store(new FileInfoStore(db));
    NORV_RETURN_IF_ERROR(store->Prepare());
    return store;
}

FileInfoStore::~FileInfoStore() {
    // Nothing can be reported from here; what the last batch held is as durable as the disk
    // allows, and the callers commit explicitly wherever a failure must be seen.
    (void)Commit();
}

Status FileInfoStore::Prepare() {
    struct Item {
        std::unique_ptr<platform::Statement>* slot;
        const char* sql;
    };
    const Item items[] = {
        {&begin_, "BEGIN"},
        {&commit_, "COMMIT"},
        {&reset_flags_, "UPDATE fileinfo SET flg=0"},
        {&delete_all_, "DELETE FROM fileinfo"},
        {&mark_all_seen_, "UPDATE fileinfo SET flg=1"},
        {&insert_baseline_, "INSERT INTO fileinfo VALUES(?1,?2,?3,?4,?4,0)"},
        {&lookup_, "SELECT md5o,md5c FROM fileinfo WHERE filename=?1"},
        {&insert_new_, "INSERT INTO fileinfo VALUES(?1,?2,?3,?4,' ',3)"},
        {&update_seen_, "UPDATE fileinfo SET flg=?1,md5c=?2 WHERE filename=?3"},
        {&select_unseen_, "SELECT filename,md5o FROM fileinfo WHERE flg=0"},
        {&forget_vanished_, "DELETE FROM fileinfo WHERE flg=0 AND md5c=' '"},
        {&forget_new_file_, "DELETE FROM fileinfo WHERE filename=?1 AND md5c=' '"},
        {&update_new_digest_, "UPDATE fileinfo SET md5o=?2 WHERE filename=?1 AND md5c=' '"},
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
        batch_started_ = std::chrono::steady_clock::now();
        NORV_RETURN_IF_ERROR(begin_->Run());
    }
    NORV_RETURN_IF_ERROR(statement.Run());
    if (std::chrono::steady_clock::now() - batch_started_ >= kBatchInterval) return Commit();
    return Status::Ok();
}

Status FileInfoStore::ResetFlags() { return Write(*reset_flags_); }
Status FileInfoStore::DeleteAll() { return Write(*delete_all_); }
Status FileInfoStore::MarkAllSeen() { return Write(*mark_all_seen_); }
Status FileInfoStore::ForgetVanishedNewFiles() { return Write(*forget_vanished_); }

Status FileInfoStore::UpdateNewFileDigest(const std::string& path, const std::string& digest) {
    update_new_digest_->BindText(1, path);
    update_new_digest_->BindText(2, digest);
    return Write(*update_new_digest_);
}

Status FileInfoStore::ForgetNewFile(const std::string& path) {
    forget_new_file_->BindText(1, path);
    return Write(*forget_new_file_);
}

Status FileInfoStore::BeginBaseline() {
    NORV_RETURN_IF_ERROR(Commit());
    insert_new_baseline_.reset();
    NORV_RETURN_IF_ERROR(db_.Exec("DROP TABLE IF EXISTS fileinfo_new"));
    NORV_RETURN_IF_ERROR(db_.Exec(std::string("CREATE TABLE fileinfo_new") + kTableShape));
    auto insert = db_.Prepare("INSERT INTO fileinfo_new VALUES(?1,?2,?3,?4,?4,0)");
    if (!insert.ok()) return insert.status();
    insert_new_baseline_ = std::move(insert).value();
    return Status::Ok();
}

Status FileInfoStore::CommitBaseline() {
    NORV_RETURN_IF_ERROR(Commit());
    insert_new_baseline_.reset();
    Status status = db_.Exec("BEGIN");
    // The new table takes the old one's place, and its index is built in one sorted pass: far
    // cheaper than copying every row into the indexed table. Rows keep their walk order.
    for (const char* sql : {"DROP TABLE fileinfo", "ALTER TABLE fileinfo_new RENAME TO fileinfo",
                            "CREATE INDEX fileinfo_filename ON fileinfo(filename)", "COMMIT"}) {
        if (status.ok()) status = db_.Exec(sql);
    }
    if (!status.ok() && db_.InTransaction()) (void)db_.Exec("ROLLBACK");
    return status;
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
        (*insert)->BindText(1, path);
        (*insert)->BindText(2, (*rows)->ColumnText(1));
        (*insert)->BindText(3, (*rows)->ColumnText(2));
        (*insert)->BindText(4, (*rows)->ColumnText(3));
        status = (*insert)->Run();
    }
    (*rows)->Reset();
    if (status.ok()) status = db_.Exec("COMMIT");
    if (!status.ok() && db_.InTransaction()) (void)db_.Exec("ROLLBACK");
    if (status.ok()) status = db_.Exec("DROP INDEX fileinfo_new_carry");
    return status;
}

Status FileInfoStore::ForEachMissingFromNewBaseline(
    const std::function<Status(const std::string&)>& row) {
    NORV_RETURN_IF_ERROR(Commit());
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

Status FileInfoStore::AbandonBaseline() {
    Status committed = Commit();
    insert_new_baseline_.reset();
    Status dropped = db_.Exec("DROP TABLE IF EXISTS fileinfo_new");
    return committed.ok() ? dropped : committed;
}

Status FileInfoStore::InsertBaseline(const std::string& path, int64_t size, const std::string& date,
                                     const std::string& digest) {
    platform::Statement& insert = insert_new_baseline_ ? *insert_new_baseline_ : *insert_baseline_;
    insert.BindText(1, path);
    insert.BindText(2, std::to_string(size));
    insert.BindText(3, date);
    insert.BindText(4, digest);
    return Write(insert);
}

Result<std::optional<FileInfoStore::Baseline>> FileInfoStore::LookupBaseline(
    const std::string& path) {
    lookup_->BindText(1, path);
    auto row = lookup_->Step();
    std::optional<Baseline> baseline;
    if (row.ok() && row.value()) {
        baseline = Baseline{lookup_->ColumnText(0), lookup_->ColumnText(1) == kFirstSeenByCheck};
    }
    lookup_->Reset();
    if (!row.ok()) return row.status();
    return baseline;
}

Status FileInfoStore::InsertNew(const std::string& path, int64_t size, const std::string& date,
                                const std::string& digest) {
    insert_new_->BindText(1, path);
    insert_new_->BindText(2, std::to_string(size));
    insert_new_->BindText(3, date);
    insert_new_->BindText(4, digest);
    return Write(*insert_new_);
}

Status FileInfoStore::UpdateSeen(const std::string& path, int flag, const std::string& digest) {
    update_seen_->BindInt(1, flag);
    update_seen_->BindText(2, digest);
    update_seen_->BindText(3, path);
    return Write(*update_seen_);
}

Status FileInfoStore::ForEachUnseen(
    const std::function<Status(const std::string&, const std::string&)>& row) {
    Status status;
    for (;;) {
        auto step = select_unseen_->Step();
        if (!step.ok()) {
            status = step.status();
            break;
        }
        if (!step.value()) break;
        status = row(select_unseen_->ColumnText(0), select_unseen_->ColumnText(1));
        if (!status.ok()) break;
    }
    select_unseen_->Reset();
    return status;
}

}  // namespace norv
