#include "engine/file_info_store.h"

#include <vector>

namespace norv {
namespace {

constexpr auto kBatchInterval = std::chrono::milliseconds(100);
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
        NORV_RETURN_IF_ERROR(db.Exec(
            "CREATE TABLE fileinfo (filename TEXT, filesize TEXT, filedate TEXT, md5o TEXT, "
            "md5c TEXT, flg INTEGER)"));
    } else if (found != kColumns) {
        return Status::Error(kErrDatabase, "データベース " + db.path() +
                                               " には正しい fileinfo 表がありません。"
                                               "このファイルには手を加えません");
    }
    NORV_RETURN_IF_ERROR(db.Exec("PRAGMA journal_mode=WAL"));
    NORV_RETURN_IF_ERROR(db.Exec("PRAGMA synchronous=NORMAL"));
    // An index changes no record; without it every lookup would read the whole table.
    NORV_RETURN_IF_ERROR(
        db.Exec("CREATE INDEX IF NOT EXISTS fileinfo_filename ON fileinfo(filename)"));
    std::unique_ptr<FileInfoStore> store(new FileInfoStore(db));
    NORV_RETURN_IF_ERROR(store->Prepare());
    return store;
}

FileInfoStore::~FileInfoStore() { Commit(); }

Status FileInfoStore::Prepare() {
    struct Item {
        std::unique_ptr<platform::Statement>* slot;
        const char* sql;
    };
    const Item items[] = {
        {&begin_, "BEGIN"},
        {&commit_, "COMMIT"},
        {&s1_, "UPDATE fileinfo SET flg=0"},
        {&s2_, "DELETE FROM fileinfo"},
        {&s3_, "UPDATE fileinfo SET flg=1"},
        {&s4_, "INSERT INTO fileinfo VALUES(?1,?2,?3,?4,?4,0)"},
        {&s5_, "SELECT md5o FROM fileinfo WHERE filename=?1"},
        {&s6_, "INSERT INTO fileinfo VALUES(?1,?2,?3,?4,' ',3)"},
        {&s7_, "UPDATE fileinfo SET flg=?1,md5c=?2 WHERE filename=?3"},
        {&s8_, "SELECT filename,flg FROM fileinfo WHERE flg=0"},
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

Status FileInfoStore::ResetFlags() { return Write(*s1_); }
Status FileInfoStore::DeleteAll() { return Write(*s2_); }
Status FileInfoStore::MarkAllSeen() { return Write(*s3_); }

Status FileInfoStore::InsertBaseline(const std::string& path, int64_t size, const std::string& date,
                                     const std::string& digest) {
    s4_->BindText(1, path);
    s4_->BindText(2, std::to_string(size));
    s4_->BindText(3, date);
    s4_->BindText(4, digest);
    return Write(*s4_);
}

Result<std::optional<std::string>> FileInfoStore::LookupBaseline(const std::string& path) {
    s5_->BindText(1, path);
    auto row = s5_->Step();
    std::optional<std::string> baseline;
    if (row.ok() && row.value()) baseline = s5_->ColumnText(0);
    s5_->Reset();
    if (!row.ok()) return row.status();
    return baseline;
}

Status FileInfoStore::InsertNew(const std::string& path, int64_t size, const std::string& date,
                                const std::string& digest) {
    s6_->BindText(1, path);
    s6_->BindText(2, std::to_string(size));
    s6_->BindText(3, date);
    s6_->BindText(4, digest);
    return Write(*s6_);
}

Status FileInfoStore::UpdateSeen(const std::string& path, int flag, const std::string& digest) {
    s7_->BindInt(1, flag);
    s7_->BindText(2, digest);
    s7_->BindText(3, path);
    return Write(*s7_);
}

Status FileInfoStore::ForEachUnseen(const std::function<Status(const std::string&)>& row) {
    Status status;
    for (;;) {
        auto step = s8_->Step();
        if (!step.ok()) {
            status = step.status();
            break;
        }
        if (!step.value()) break;
        status = row(s8_->ColumnText(0));
        if (!status.ok()) break;
    }
    s8_->Reset();
    return status;
}

}  // namespace norv
