// The last check's list of changes (what `changes` shows and `accept` takes), its marks, and the
// archive an accept left to write.
#include <strings.h>

#include <set>
#include <vector>

#include "engine/file_info_store.h"
#include "engine/store_rows.h"
#include "platform/base/notice_code.h"

namespace norv {

using store_rows::BindExtended;
using store_rows::ReadExtended;

Status FileInfoStore::BeginChangeList() {
    NORV_RETURN_IF_ERROR(db_.Exec("DELETE FROM norv_changes"));
    return SetState("checked", "");
}

Status FileInfoStore::EndChangeList() {
    auto mark = CheckedMark();
    if (!mark.ok()) return mark.status();
    // A change the check no longer finds is over: its writer must not be lent to a later one.
    NORV_RETURN_IF_ERROR(db_.Exec(
        "DELETE FROM norv_writers WHERE filename NOT IN (SELECT filename FROM norv_changes)"));
    NORV_RETURN_IF_ERROR(SetState("checked", mark.value()));
    return Commit();
}

Result<std::string> FileInfoStore::CheckedMark() {
    auto generation = GetState("generation");
    if (!generation.ok()) return generation.status();
    // SQLite raises the schema version at every change of the tables. An init of an earlier
    // norv, which knows nothing of the generation, builds its table beside the old one and
    // swaps it in: the version moves, and the list no longer counts as this baseline's.
    auto version = db_.Prepare("PRAGMA schema_version");
    if (!version.ok()) return version.status();
    auto row = (*version)->Step();
    if (!row.ok()) return row.status();
    if (!row.value())
        return Status::Error(ErrorKind::kIo, EIO, Message(std::string("PRAGMA schema_version")));
    return generation->value_or("0") + " " + std::to_string((*version)->ColumnInt(0));
}

Status FileInfoStore::ListChange(const ListedChange& change) {
    unlist_change_->BindText(1, change.path);
    NORV_RETURN_IF_ERROR(Write(*unlist_change_));
    platform::Statement& row = *list_change_;
    row.BindText(1, change.path);
    const std::string new_md5 = platform::OptionalMd5Text(change.new_md5);
    if (change.new_facts) {
        BindExtended(row, new_md5, *change.new_facts, 15);
    } else {
        row.BindText(2, new_md5);
        for (int i : {3, 4, 5, 6, 7, 8, 9, 15, 16}) row.BindNull(i);
    }
    row.BindText(10, ChangeKindName(change.kind));
    row.BindInt(11, change.size);
    row.BindInt(12, change.mtime);
    row.BindText(13, platform::OptionalMd5Text(change.old_md5));
    row.BindInt(14, change.new_facts ? 1 : 0);
    if (change.kind == ChangeKind::kMoved) {
        row.BindText(17, change.moved_from);
    } else {
        row.BindNull(17);
    }
    return Write(row);
}

Status FileInfoStore::RecordWriter(const std::string& path,
                                   const std::optional<platform::Md5Digest>& content,
                                   const std::string& writer) {
    auto row = db_.Prepare("INSERT OR REPLACE INTO norv_writers VALUES(?1,?2,?3)");
    if (!row.ok()) return row.status();
    (*row)->BindText(1, path);
    (*row)->BindText(2, platform::OptionalMd5Text(content));
    (*row)->BindText(3, writer);
    return Write(**row);
}

Result<std::string> FileInfoStore::WriterOf(const std::string& path,
                                            const std::optional<platform::Md5Digest>& content) {
    auto row = db_.Prepare("SELECT writer FROM norv_writers WHERE filename=?1 AND md5=?2");
    if (!row.ok()) return row.status();
    (*row)->BindText(1, path);
    (*row)->BindText(2, platform::OptionalMd5Text(content));
    auto step = (*row)->Step();
    if (!step.ok()) return step.status();
    return step.value() ? (*row)->ColumnText(0) : std::string();
}

Result<FileInfoStore::ChangeList> FileInfoStore::ReadChangeList() {
    NORV_RETURN_IF_ERROR(Commit());
    ChangeList list;
    auto generation = GetState("generation");
    if (!generation.ok()) return generation.status();
    auto checked = GetState("checked");
    if (!checked.ok()) return checked.status();
    auto mark = CheckedMark();
    if (!mark.ok()) return mark.status();
    list.generation = std::strtoll(generation->value_or("0").c_str(), nullptr, 10);
    list.checked = checked->has_value() && **checked == mark.value();
    // Each change with its baseline record's facts, as kExtendedJoin finds a record's.
    auto rows = db_.Prepare(
        "SELECT c.filename,c.kind,c.filesize,c.mtime,c.md5o,c.md5n,c.facts,c.sha256,c.type,"
        "c.mode,c.uid,c.gid,c.capabilities,c.acl,c.xattrs,c.flags,"
        "x.md5 IS NOT NULL,x.sha256,x.type,x.mode,x.uid,x.gid,x.capabilities,x.acl,x.xattrs,"
        "x.flags,"
        "(SELECT writer FROM norv_writers w WHERE w.filename=c.filename AND w.md5=c.md5n),"
        "c.moved_from"
        " FROM norv_changes c LEFT JOIN fingerprint x ON c.kind!='created' AND"
        " x.rowid=(SELECT rowid FROM fingerprint WHERE"
        " filename=COALESCE(NULLIF(c.moved_from,''),c.filename) AND md5=c.md5o"
        " LIMIT 1) ORDER BY c.rowid");
    if (!rows.ok()) return rows.status();
    for (;;) {
        auto step = (*rows)->Step();
        if (!step.ok()) return step.status();
        if (!step.value()) break;
        const platform::Statement& r = **rows;
        ListedChange change;
        change.path = r.ColumnText(0);
        const std::string kind = r.ColumnText(1);
        change.kind = kind == "created"   ? ChangeKind::kCreated
                      : kind == "deleted" ? ChangeKind::kDeleted
                      : kind == "moved"   ? ChangeKind::kMoved
                                          : ChangeKind::kAltered;
        change.size = r.ColumnInt(2);
        change.mtime = r.ColumnInt(3);
        change.old_md5 = platform::OptionalMd5FromText(r.ColumnText(4));
        change.new_md5 = platform::OptionalMd5FromText(r.ColumnText(5));
        change.new_facts = ReadExtended(r, 6);
        change.old_facts = ReadExtended(r, 16);
        change.writer = r.ColumnText(26);
        if (change.kind == ChangeKind::kMoved) change.moved_from = r.ColumnText(27);
        list.changes.push_back(std::move(change));
    }
    return list;
}

Status FileInfoStore::ApplyAccepted(const std::vector<AcceptedRow>& rows,
                                    const PendingArchive& marker) {
    NORV_RETURN_IF_ERROR(Commit());
    struct Prepared {
        std::unique_ptr<platform::Statement>* slot;
        std::string sql;
    };
    // The statements the store keeps prepared serve too; they run directly, not through Write,
    // which could commit in the middle of this transaction.
    std::unique_ptr<platform::Statement> forget_rows, set_marker;
    const Prepared prepared[] = {
        {&forget_rows, "DELETE FROM fileinfo WHERE filename=?1"},
        {&set_marker, "INSERT OR REPLACE INTO norv_state VALUES('accept_archive',?1)"},
    };
    for (const Prepared& p : prepared) {
        auto stmt = db_.Prepare(p.sql);
        if (!stmt.ok()) return stmt.status();
        *p.slot = std::move(stmt).value();
    }
    // This commit must be on the disk before the archive is renamed: the pair is decided here.
    NORV_RETURN_IF_ERROR(db_.Exec("PRAGMA synchronous=FULL"));
    Status status = db_.Exec("BEGIN IMMEDIATE");
    for (size_t i = 0; status.ok() && i < rows.size(); ++i) {
        const ListedChange& change = rows[i].change;
        for (platform::Statement* forget :
             {forget_rows.get(), forget_extended_.get(), unlist_change_.get()}) {
            forget->BindText(1, change.path);
            if (status.ok()) status = forget->Run();
            // An accepted move leaves its recorded path too.
            if (change.kind != ChangeKind::kMoved) continue;
            forget->BindText(1, change.moved_from);
            if (status.ok()) status = forget->Run();
        }
        if (!status.ok() || change.kind == ChangeKind::kDeleted) continue;
        insert_baseline_->BindText(1, change.path);
        insert_baseline_->BindText(2, std::to_string(change.size));
        insert_baseline_->BindText(3, rows[i].date);
        const std::string new_md5 = platform::OptionalMd5Text(change.new_md5);
        insert_baseline_->BindText(4, new_md5);
        status = insert_baseline_->Run();
        if (status.ok() && change.new_facts) {
            insert_extended_->BindText(1, change.path);
            BindExtended(*insert_extended_, new_md5, *change.new_facts, 10);
            status = insert_extended_->Run();
        }
    }
    if (status.ok()) {
        set_marker->BindText(1, std::to_string(marker.device) + ":" + std::to_string(marker.inode) +
                                    ":" + marker.temp_name);
        status = set_marker->Run();
    }
    if (status.ok()) status = db_.Exec("COMMIT");
    if (!status.ok() && db_.InTransaction()) (void)db_.Exec("ROLLBACK");
    Status normal = db_.Exec("PRAGMA synchronous=NORMAL");
    return status.ok() ? normal : status;
}

Result<std::optional<FileInfoStore::PendingArchive>> FileInfoStore::ReadPendingArchive() {
    NORV_RETURN_IF_ERROR(Commit());
    auto value = GetState("accept_archive");
    if (!value.ok()) return value.status();
    if (!value->has_value()) return std::optional<PendingArchive>();
    const std::string& text = **value;
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) {
        return Status::Error(kErrDatabase,
                             Message(NoticeCode::kAcceptMarkUnreadable, {db_.path(), text}));
    }
    PendingArchive marker;
    marker.device = std::strtoull(text.substr(0, first).c_str(), nullptr, 10);
    marker.inode = std::strtoull(text.substr(first + 1, second - first - 1).c_str(), nullptr, 10);
    marker.temp_name = text.substr(second + 1);
    return std::optional<PendingArchive>(marker);
}

Status FileInfoStore::ClearPendingArchive() {
    NORV_RETURN_IF_ERROR(Commit());
    return db_.Exec("DELETE FROM norv_state WHERE name='accept_archive'");
}

}  // namespace norv
