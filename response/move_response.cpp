// The response to a recorded file found moved within the trees: the file itself goes back to its
// recorded place by one rename that replaces nothing, and counts as put back only when what then
// stands there is the very file measured, as recorded. Otherwise the move is answered as a
// deleted file and a new one: the recorded file from the archive, the new one taken out.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/base/notice_code.h"
#include "response/change_response.h"

namespace norv {

Status ChangeResponse::MoveBack(const std::string& to, const FileLocation& where,
                                const RecordedFile& recorded, bool* renamed) {
    const std::string& from = recorded.moved_from;
    auto refused = [&](int err) {
        return Status::FromErrno(err, Message(NoticeCode::kCannotMoveBack, {to, from}));
    };
    if (!where.identity || !recorded.md5 || !recorded.extended) return refused(ENOENT);
    auto to_place = OpenWatchedPlace(env_, archive_.rules(), to);
    if (!to_place.ok()) return to_place.status();
    auto to_holder = OpenHoldingFolder(to_place.value());
    if (!to_holder.ok()) return to_holder.status();
    auto from_place = OpenWatchedPlace(env_, archive_.rules(), from);
    if (!from_place.ok()) return from_place.status();
    auto from_holder = OpenHoldingFolder(from_place.value());
    if (!from_holder.ok()) return from_holder.status();
    const std::string to_name = to_place->relative.back();
    const std::string from_name = from_place->relative.back();
    // Only the very file measured, and a file with no other name: a second name would keep a way
    // to what is put back.
    struct stat st {};
    if (env_.FStatAt((*to_holder)->fd(), to_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return refused(errno);
    }
    if (platform::FileIdentity{st.st_dev, st.st_ino} != *where.identity ||
        (S_ISREG(st.st_mode) && st.st_nlink != 1)) {
        return refused(EEXIST);
    }
    if (env_.RenameAt((*to_holder)->fd(), to_name.c_str(), (*from_holder)->fd(), from_name.c_str(),
                      RENAME_NOREPLACE) != 0) {
        return refused(errno);
    }
    *renamed = true;
    // Something swapped in before the rename came along with it: what stands at the recorded
    // place must be the file measured, with the recorded content and attributes.
    const platform::Fingerprint print = platform::FingerprintAt(**from_holder, from_name);
    // A second name made meanwhile would keep a way to it too.
    const bool one_name =
        env_.FStatAt((*from_holder)->fd(), from_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (!S_ISREG(st.st_mode) || st.st_nlink == 1);
    if (!one_name || print.facts.identity != *where.identity || print.changed_while_read ||
        !print.md5.measured() ||
        !platform::CompareFacts(recorded.md5, recorded.extended, print.md5, print.Extended())
             .empty()) {
        return Status::Error(ErrorKind::kExists, EEXIST,
                             Message(NoticeCode::kMovedBackNotAsRecorded, {from}));
    }
    return Status::Ok();
}

ResponseOutcome ChangeResponse::UndoMove(const std::string& to, const FileLocation& where,
                                         const RecordedFile& recorded) {
    const std::string& from = recorded.moved_from;
    bool renamed = false;
    const Status moved_back = MoveBack(to, where, recorded, &renamed);
    if (moved_back.ok()) {
        if (events_) events_->Action(from, ResponseAction::kRestore, true, Message(from));
        ResponseOutcome outcome;
        outcome.left = ResponseOutcome::Left::kRestored;
        outcome.restored_digest = *recorded.md5;
        outcome.restored_facts = recorded.extended;
        return outcome;
    }
    ReportFailure(from, moved_back, moved_back.what());
    RecordedFile record = recorded;
    record.moved_from.clear();
    // Whatever the rename brought to the recorded place is taken out by the restore.
    ResponseOutcome restored = Restore(from, record);
    if (!renamed) MoveToCracked(ChangeKind::kCreated, to, where);
    return restored;
}

}  // namespace norv
