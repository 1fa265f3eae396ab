// The response to a folder or a FIFO, socket or device that differs from its record: a folder
// gets its recorded mode, owners, ACL, attributes and flags back through the descriptor the walk
// measured it by; a special file gets its owners and mode back, or is made again as recorded when
// it is gone or is now of another kind (what stands there taken out first, as for a file).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/base/notice_code.h"
#include "response/change_response.h"
#include "response/restored_attributes.h"

namespace norv {
namespace {

// The file type and device number a special file's kind names; type 0 for none.
struct SpecialType {
    mode_t type = 0;
    dev_t device = 0;
};

SpecialType TypeOfKind(const std::string& kind) {
    if (kind == "fifo") return {S_IFIFO, 0};
    if (kind == "socket") return {S_IFSOCK, 0};
    unsigned major_number = 0, minor_number = 0;
    char name[16] = {};
    if (std::sscanf(kind.c_str(), "%15[a-z-] %u:%u", name, &major_number, &minor_number) != 3) {
        return {};
    }
    const dev_t device = makedev(major_number, minor_number);
    if (std::string(name) == "char-device") return {S_IFCHR, device};
    if (std::string(name) == "block-device") return {S_IFBLK, device};
    return {};
}

// Takes the locking flags off the folder `fd` when it has them: they forbid changing it.
void Unlock(platform::Env& env, int fd) {
    unsigned flags = 0;
    if (env.GetInodeFlags(fd, &flags) == 0 && (flags & platform::kLockingInodeFlags) != 0) {
        (void)env.SetInodeFlags(fd, flags & ~platform::kLockingInodeFlags);
    }
}

}  // namespace

ResponseOutcome ChangeResponse::RestorePlace(const std::string& path, const FileLocation& where,
                                             const RecordedFile& recorded) {
    std::vector<Message> notes;
    const Status done = recorded.place_kind == platform::kFolderKind
                            ? PutBackFolder(path, where, recorded, notes)
                            : PutBackSpecialFile(path, recorded);
    if (!done.ok()) ReportFailure(path, done, done.what());
    for (const Message& note : notes)
        ReportFailure(path, Status::Error(ErrorKind::kIo, 0, note), note);
    if (events_) {
        events_->Action(path, ResponseAction::kRestore, done.ok(),
                        done.ok() ? Message(path) : done.what());
    }
    ResponseOutcome outcome;
    if (done.ok()) {
        outcome.left = ResponseOutcome::Left::kRestored;
        outcome.restored_facts = recorded.extended;
    }
    return outcome;
}

Status ChangeResponse::PutBackFolder(const std::string& path, const FileLocation& where,
                                     const RecordedFile& recorded, std::vector<Message>& notes) {
    // Only through the very folder that was measured.
    if (!where.folder || !recorded.extended) {
        return Status::Error(ErrorKind::kNotFound, ENOENT,
                             Message(NoticeCode::kCannotPutBackMode, {path}));
    }
    const int fd = where.folder->fd();
    // Only the very folder recorded: another one put at its place (a sibling renamed there) is
    // never given this one's owner or mode.
    struct stat st {};
    if (env_.FStat(fd, &st) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackMode, {path}));
    }
    if (!recorded.place_identity ||
        platform::FileIdentity{st.st_dev, st.st_ino} != *recorded.place_identity) {
        return Status::Error(ErrorKind::kRefused, EEXIST,
                             Message(NoticeCode::kPlaceReplaced, {path}));
    }
    unsigned flags_before = 0;
    const bool flags_read = env_.GetInodeFlags(fd, &flags_before) == 0;
    Unlock(env_, fd);
    // The mode recorded is the folder's own, set-group-id and sticky bits included: the content
    // check that guards a file's privileges has nothing to compare for a folder.
    const platform::Md5Digest none;
    PutBack put_back;
    const Status set =
        PutBackAttributes(env_, fd, /*is_link=*/false, none,
                          RecordedFile{none, recorded.extended, {}}, path, &put_back);
    if (!set.ok()) {
        // The flags it had stay: a failure never leaves it more open than found.
        if (flags_read) (void)env_.SetInodeFlags(fd, flags_before);
        return set;
    }
    notes = std::move(put_back.notes);
    if (put_back.locking_flags != 0) {
        unsigned flags = 0;
        if (env_.GetInodeFlags(fd, &flags) != 0 ||
            env_.SetInodeFlags(fd, flags | put_back.locking_flags) != 0) {
            notes.push_back(
                Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackInodeFlags, {path}))
                    .what());
        }
    }
    return Status::Ok();
}

Status ChangeResponse::PutBackSpecialFile(const std::string& path, const RecordedFile& recorded) {
    const SpecialType wanted = TypeOfKind(recorded.place_kind);
    if (wanted.type == 0 || !recorded.extended) {
        return Status::Error(ErrorKind::kFormat, EINVAL,
                             Message(NoticeCode::kCannotRemakeSpecialFile, {path}));
    }
    const platform::ExtendedFacts& facts = *recorded.extended;
    auto fail = [&](int err) {
        return Status::FromErrno(err, Message(NoticeCode::kCannotRemakeSpecialFile, {path}));
    };
    for (int round = 0;; ++round) {
        auto place = OpenWatchedPlace(env_, archive_.rules(), path);
        if (!place.ok()) return place.status();
        auto holder = OpenHoldingFolder(place.value());
        if (!holder.ok()) return holder.status();
        const std::string name = place->relative.back();
        const int dirfd = (*holder)->fd();
        // What stands there, looked at through one descriptor that follows nothing: owner and
        // mode go on that very entry, and only while it is of the recorded kind, so a link or a
        // file another user put there is never given them.
        platform::ScopedFd entry(
            env_, env_.OpenAt(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
        struct stat st {};
        const bool there = entry.get() >= 0 && env_.FStat(entry.get(), &st) == 0;
        // One more name for it elsewhere would share what is set here: not the recorded file.
        // The very entry recorded, with no other name: another one moved to its place (a
        // socket of a daemon, a device) is taken out and a new one made, never given these.
        const bool as_recorded =
            there && (st.st_mode & S_IFMT) == wanted.type && st.st_nlink == 1 &&
            (wanted.device == 0 || st.st_rdev == wanted.device) && recorded.place_identity &&
            platform::FileIdentity{st.st_dev, st.st_ino} == *recorded.place_identity;
        if (!as_recorded && there) {
            if (round == kMostRestoreRounds) return fail(EEXIST);
            entry.reset();
            if (!TakeOutWhatStands(path)) return fail(EEXIST);
            continue;
        }
        if (!there) {
            if (errno != ENOENT) return fail(errno);
            if (env_.MknodAt(dirfd, name.c_str(), wanted.type | 0600, wanted.device) != 0) {
                if (errno == EEXIST && round < kMostRestoreRounds) continue;
                return fail(errno);
            }
            entry.reset(env_.OpenAt(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
            if (entry.get() < 0 || env_.FStat(entry.get(), &st) != 0) return fail(errno);
            if ((st.st_mode & S_IFMT) != wanted.type || st.st_nlink != 1 ||
                st.st_rdev != wanted.device) {
                return Status::FromErrno(EEXIST, Message(NoticeCode::kSpecialFileSwapped, {path}));
            }
        }
        // The owner first: changing it clears the set-id bits.
        if (env_.FChownAt(entry.get(), "", facts.owner, facts.group,
                          AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackOwner, {path}));
        }
        // A descriptor that follows nothing cannot take a mode itself; its /proc name reaches
        // that very inode, and nothing else.
        const std::string by_descriptor = "/proc/self/fd/" + std::to_string(entry.get());
        if (env_.FChmodAt(AT_FDCWD, by_descriptor.c_str(), facts.mode & 07777, 0) != 0) {
            return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackMode, {path}));
        }
        return Status::Ok();
    }
}

}  // namespace norv
