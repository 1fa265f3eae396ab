// The records of the folders and special files under the rules (`norv_places`).
#include "engine/file_info_store.h"
#include "engine/store_rows.h"

namespace norv {

namespace store_rows {

const char* const kPlacesShape =
    " (path TEXT PRIMARY KEY, kind TEXT, met INTEGER, mode INTEGER, uid INTEGER, gid INTEGER,"
    " acl TEXT, xattrs TEXT, flags INTEGER, device INTEGER, inode INTEGER)";
const char* const kInsertPlace = " VALUES(?1,?2,1,?3,?4,?5,?6,?7,?8,?9,?10)";
const size_t kPlacesColumns = 11;

}  // namespace store_rows

namespace {

void BindPlace(platform::Statement& insert, const std::string& path,
               const platform::PlaceFacts& place) {
    insert.BindText(1, path);
    insert.BindText(2, place.kind);
    insert.BindInt(3, place.facts.mode);
    insert.BindInt(4, place.facts.owner);
    insert.BindInt(5, place.facts.group);
    int index = 6;
    for (const auto* value : {&place.facts.acl, &place.facts.xattrs}) {
        if (*value) {
            insert.BindText(index, platform::HexOf(**value));
        } else {
            insert.BindNull(index);
        }
        ++index;
    }
    if (place.facts.inode_flags) {
        insert.BindInt(8, *place.facts.inode_flags);
    } else {
        insert.BindNull(8);
    }
    insert.BindInt(9, static_cast<int64_t>(place.identity.device));
    insert.BindInt(10, static_cast<int64_t>(place.identity.inode));
}

// A row of `SELECT * FROM norv_places`.
platform::PlaceFacts ReadPlace(const platform::Statement& row) {
    platform::PlaceFacts place;
    place.kind = row.ColumnText(1);
    place.facts.type = place.kind == platform::kFolderKind ? platform::EntryKind::kDirectory
                                                           : platform::EntryKind::kOther;
    place.facts.mode = static_cast<uint32_t>(row.ColumnInt(3));
    place.facts.owner = static_cast<uint32_t>(row.ColumnInt(4));
    place.facts.group = static_cast<uint32_t>(row.ColumnInt(5));
    if (!row.ColumnIsNull(6)) place.facts.acl = platform::BytesOfHex(row.ColumnText(6));
    if (!row.ColumnIsNull(7)) place.facts.xattrs = platform::BytesOfHex(row.ColumnText(7));
    if (!row.ColumnIsNull(8)) place.facts.inode_flags = static_cast<uint32_t>(row.ColumnInt(8));
    place.identity = {static_cast<dev_t>(row.ColumnInt(9)), static_cast<ino_t>(row.ColumnInt(10))};
    return place;
}

}  // namespace

Status FileInfoStore::RecordPlace(const std::string& path, const platform::PlaceFacts& place) {
    platform::Statement& insert = insert_new_place_ ? *insert_new_place_ : *insert_place_;
    BindPlace(insert, path, place);
    return Write(insert);
}

Result<std::optional<platform::PlaceFacts>> FileInfoStore::LookupPlace(const std::string& path) {
    lookup_place_->BindText(1, path);
    auto row = lookup_place_->Step();
    std::optional<platform::PlaceFacts> place;
    if (row.ok() && row.value()) place = ReadPlace(*lookup_place_);
    lookup_place_->Reset();
    if (!row.ok()) return row.status();
    return place;
}

Status FileInfoStore::MarkPlaceMet(const std::string& path) {
    mark_place_met_->BindText(1, path);
    return Write(*mark_place_met_);
}

Status FileInfoStore::ForEachUnmetPlace(
    const std::function<Status(const std::string&, const platform::PlaceFacts&)>& row) {
    Status status;
    for (;;) {
        auto step = select_unmet_places_->Step();
        if (!step.ok()) {
            status = step.status();
            break;
        }
        if (!step.value()) break;
        status = row(select_unmet_places_->ColumnText(0), ReadPlace(*select_unmet_places_));
        if (!status.ok()) break;
    }
    select_unmet_places_->Reset();
    return status;
}

Result<bool> FileInfoStore::BaselineRecordsPlaces() {
    auto value = GetState("places");
    if (!value.ok()) return value.status();
    return value->has_value();
}

Status FileInfoStore::CarryOverPlaces(const std::function<bool(const std::string&)>& keep) {
    auto rows = db_.Prepare("SELECT path FROM norv_places");
    if (!rows.ok()) return rows.status();
    auto copy = db_.Prepare(
        "INSERT OR IGNORE INTO norv_places_new SELECT * FROM norv_places WHERE path=?1");
    if (!copy.ok()) return copy.status();
    Status status = db_.Exec("BEGIN");
    while (status.ok()) {
        auto row = (*rows)->Step();
        if (!row.ok()) status = row.status();
        if (!status.ok() || !row.value()) break;
        const std::string path = (*rows)->ColumnText(0);
        if (!keep(path)) continue;
        (*copy)->BindText(1, path);
        status = (*copy)->Run();
    }
    (*rows)->Reset();
    if (status.ok()) status = db_.Exec("COMMIT");
    if (!status.ok() && db_.InTransaction()) (void)db_.Exec("ROLLBACK");
    return status;
}

}  // namespace norv
