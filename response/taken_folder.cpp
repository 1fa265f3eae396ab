// A folder taken out of a recorded file's place into the cracked folder, made root's through and
// through.
//
// The folder was another user's, who may still hold descriptors into it. So, level by level,
// each folder is made root's and 0700 before it is listed (no entry can then be made in it
// through a descriptor kept), each file is copied into a fresh file of root's beside it that
// then takes the file's name (writes through a kept descriptor reach only the old file,
// unlinked), each link becomes root's, and each FIFO, socket or device goes. Every item has its
// index line. Entries, levels and bytes are bounded; what lies past the bounds stays as it was
// moved (a folder at the deepest level is made root's, not listed), and the index and the
// messages say so. Past the run's copies a file is kept as it is, made root's and owner-only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "engine/scan_log.h"
#include "platform/base/notice_code.h"
#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "response/change_response.h"
#include "response/evidence_copy.h"

namespace norv {
namespace {

using cracked_index::kNoteField;
using cracked_index::kSizeField;
using platform::ScopedFd;

// A note of the index that quotes a message: the index is a stored file, so the message is
// rendered into it here.
std::string Note(const Status& status) { return kNoteField + Render(status.what()); }

// Names tried for a fresh copy beside its file; the folder is root's by then, so only names
// that were there before can be taken.
constexpr int kMostFreshNames = 16;

}  // namespace

struct ChangeResponse::TakenFolder {
    TakenFolder(platform::Env& env, int cracked, const std::string& path)
        : cracked_fd(cracked), origin(path), index(env) {}
    const int cracked_fd;
    const std::string origin;  // the recorded file's path the folder stood at
    // The cracked folder's index, opened at the folder's first line and kept for the rest.
    ScopedFd index;
    Status index_status;    // why the index cannot be written, once it is known
    int entries = 0;        // items gone through so far, at every level together
    int left_as_moved = 0;  // places left as they were moved
};

void ChangeResponse::SecureTakenFolder(int cracked_fd, const std::string& moved_name,
                                       const std::string& path) {
    TakenFolder taken(env_, cracked_fd, path);
    SecureTakenEntry(taken, cracked_fd, moved_name, moved_name, 0);
    if (taken.index.get() >= 0 && env_.Fsync(taken.index.get()) != 0) {
        const Status unsynced =
            Status::FromErrno(errno, platform::JoinPath(settings_.cracked_dir, kCrackedIndexName));
        ReportFailure(path, unsynced,
                      Message(NoticeCode::kCannotWriteCrackedIndex, {unsynced.what()}));
    }
    if (taken.left_as_moved > 0) {
        const Message text(
            NoticeCode::kTakenFolderPartsLeft,
            {path, std::to_string(taken.left_as_moved), std::to_string(bounds_.most_taken_entries),
             std::to_string(bounds_.most_taken_depth),
             platform::JoinPath(settings_.cracked_dir, moved_name)});
        ReportFailure(path, Status::Error(ErrorKind::kLimit, kErrLimit, text), text);
    }
}

void ChangeResponse::IndexTakenEntry(TakenFolder& taken, const std::string& relative,
                                     const platform::ContentDigest& digest, int fd,
                                     const struct stat* st, const std::string& note) {
    // Laid out as any index line: the copy's name (here its path in the cracked folder), the
    // change, the date, the digest, where it stood, then what it was ("?" where it could not be
    // looked at).
    const size_t slash = relative.find(platform::kSeparator);
    const std::string origin =
        taken.origin + (slash == std::string::npos ? std::string() : relative.substr(slash));
    std::string line =
        DisplayPath(relative) + "\t" + std::string(ChangeKindName(ChangeKind::kCreated)) + "\t" +
        regional_.DateTime(clock_.Now()) + "\t" + digest.md5.text() + "\t" + DisplayPath(origin);
    if (st != nullptr) {
        platform::ExtendedFacts facts = platform::ExtendedFactsOf(env_, fd, *st);
        facts.sha256 = digest.sha256;
        line += CrackedAttributes(facts);
    } else {
        line += UnknownCrackedAttributes();
    }
    if (!note.empty()) line += "\t" + note;
    if (taken.index.get() < 0 && taken.index_status.ok()) {
        taken.index_status = OpenCrackedIndex(taken.cracked_fd, taken.index);
    }
    const bool said_before = !taken.index_status.ok();
    if (taken.index_status.ok()) taken.index_status = AppendToIndex(taken.index.get(), line);
    // Said once for the folder: the lines after it would fail alike.
    if (!taken.index_status.ok() && !said_before) {
        ReportFailure(taken.origin, taken.index_status,
                      Message(NoticeCode::kCannotIndexTakenEntry,
                              {DisplayPath(relative), taken.index_status.what()}));
    }
}

void ChangeResponse::SecureTakenEntry(TakenFolder& taken, int dirfd, const std::string& name,
                                      const std::string& relative, int depth) {
    ++taken.entries;
    // A file system mounted on an entry is asked nothing: its server could keep the look waiting.
    auto looked = platform::LookAtEntry(env_, dirfd, name, DisplayPath(relative));
    if (looked.ok() && looked->kind == platform::EntryKind::kMissing) return;
    if (!looked.ok()) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, nullptr, Note(looked.status()));
        return;
    }
    struct stat st {};
    if (env_.FStatAt(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const Status unread = Status::FromErrno(errno, Message(NoticeCode::kEvidenceUnreadable));
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, nullptr, Note(unread));
        return;
    }
    if (S_ISDIR(st.st_mode)) return SecureTakenSubfolder(taken, dirfd, name, relative, st, depth);
    if (S_ISREG(st.st_mode)) return CopyTakenFileAfresh(taken, dirfd, name, relative, st);
    if (S_ISLNK(st.st_mode)) {
        // A link cannot be written through; it becomes root's, its target kept as it is.
        env_.FChownAt(dirfd, name.c_str(), 0, 0, AT_SYMLINK_NOFOLLOW);
        auto target = platform::ReadLinkTarget(env_, dirfd, name.c_str());
        const platform::ContentDigest digest =
            target ? platform::ContentDigest{platform::Md5Digest(platform::Md5Hex(*target)),
                                             platform::Sha256Digest(platform::Sha256Hex(*target)),
                                             true}
                   : platform::ContentDigest{platform::Md5Digest("?"), {}, true};
        IndexTakenEntry(taken, relative, digest, -1, &st, "");
        return;
    }
    // A FIFO, socket or device holds nothing to keep and is never opened: it goes.
    const bool gone = env_.UnlinkAt(dirfd, name.c_str(), 0) == 0;
    const Status kept =
        gone ? Status::Ok() : Status::FromErrno(errno, Message(NoticeCode::kTakenItemNotRemoved));
    if (!gone) ++taken.left_as_moved;
    IndexTakenEntry(taken, relative, kNoContent, -1, &st,
                    cracked_index::kEntryField + SpecialEntryName(st.st_mode) +
                        (gone ? "" : "\t" + Note(kept)));
}

void ChangeResponse::SecureTakenSubfolder(TakenFolder& taken, int dirfd, const std::string& name,
                                          const std::string& relative, const struct stat& seen,
                                          int depth) {
    ScopedFd folder(env_,
                    platform::OpenWithinMount(env_, dirfd, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // Root's and 0700 before anything else, at the deepest level too: from now on nobody else
    // can add, rename or remove an entry in it, whatever descriptor they kept. The owner first,
    // so that the mode set next cannot be changed back by its former owner.
    // Its index line keeps the owner and mode it came with, taken through the descriptor
    // before they change: who made the folder is evidence too.
    struct stat came {};
    struct stat st {};
    Status secured;
    if (folder.get() < 0 || env_.FStat(folder.get(), &came) != 0 ||
        env_.FChown(folder.get(), 0, 0) != 0 || env_.FChmod(folder.get(), 0700) != 0 ||
        env_.FStat(folder.get(), &st) != 0) {
        secured = Status::FromErrno(errno, Message(NoticeCode::kTakenItemNotMadeRoots));
    } else if (st.st_uid != 0 || (st.st_mode & 07777) != 0700) {
        secured = Status::Error(ErrorKind::kRefused, EPERM,
                                Message(NoticeCode::kTakenItemOwnerUnchanged));
    }
    if (!secured.ok()) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, &seen, Note(secured));
        return;
    }
    if (depth >= bounds_.most_taken_depth) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, folder.get(), &came,
                        kNoteField + std::string(cracked_index::kTooDeepNote));
        return;
    }
    IndexTakenEntry(taken, relative, kNoContent, folder.get(), &came, "");
    // Listed whole first (within the bound), then secured: the copies change the listing.
    std::vector<std::string> names;
    bool more = false;
    {
        const int listed_fd = env_.Dup(folder.get());
        DIR* listing = listed_fd < 0 ? nullptr : env_.FdOpenDir(listed_fd);
        if (listing == nullptr) {
            const Status unlisted =
                Status::FromErrno(errno, Message(NoticeCode::kTakenFolderUnlisted));
            if (listed_fd >= 0) env_.Close(listed_fd);
            ++taken.left_as_moved;
            IndexTakenEntry(taken, relative, kNoContent, folder.get(), &came, Note(unlisted));
            return;
        }
        while (dirent* entry = env_.ReadDir(listing)) {
            const std::string entry_name = entry->d_name;
            if (entry_name == "." || entry_name == "..") continue;
            if (taken.entries + static_cast<int>(names.size()) >= bounds_.most_taken_entries) {
                more = true;
                break;
            }
            names.push_back(entry_name);
        }
        env_.CloseDir(listing);
    }
    for (const std::string& entry_name : names) {
        // The bound counts the items gone through, at every level together: what a folder
        // listed here holds may have used it up.
        if (taken.entries >= bounds_.most_taken_entries) {
            more = true;
            break;
        }
        SecureTakenEntry(taken, folder.get(), entry_name,
                         relative + platform::kSeparator + entry_name, depth + 1);
    }
    if (more) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, folder.get(), &came,
                        kNoteField + std::string(cracked_index::kRestLeftNote));
    }
}

void ChangeResponse::KeepTakenFileUncopied(TakenFolder& taken, int fd, const std::string& relative,
                                           const struct stat& st) {
    // Past the run's copies the file is evidence all the same: it stays, root's and owner-only
    // (the owner first, so that its former owner cannot set the mode back), its digest in the
    // index, and the run's summary counts it.
    const platform::ContentDigest digest = platform::DigestOfOpenFile(env_, fd, st.st_size);
    std::string note = kSizeField + std::to_string(st.st_size) + "\t";
    if (env_.FChown(fd, 0, 0) != 0 || env_.FChmod(fd, 0600) != 0) {
        const Status unsecured =
            Status::FromErrno(errno, Message(NoticeCode::kTakenItemNotMadeRoots));
        ++taken.left_as_moved;
        note += Note(unsecured) + cracked_index::kLeftAsMovedNote;
    } else {
        ++kept_uncopied_;
        note += kNoteField + std::string(cracked_index::kKeptUncopiedNote);
    }
    IndexTakenEntry(taken, relative, digest, fd, &st, note);
}

void ChangeResponse::CopyTakenFileAfresh(TakenFolder& taken, int dirfd, const std::string& name,
                                         const std::string& relative, const struct stat& seen) {
    ScopedFd in(env_, platform::OpenRegularForReading(env_, dirfd, name.c_str()));
    struct stat st {};
    Status opened;
    if (in.get() < 0 || env_.FStat(in.get(), &st) != 0) {
        opened = Status::FromErrno(errno, Message(NoticeCode::kEvidenceUnreadable));
    } else if (!S_ISREG(st.st_mode) || st.st_ino != seen.st_ino || st.st_dev != seen.st_dev) {
        opened =
            Status::Error(ErrorKind::kRefused, EAGAIN, Message(NoticeCode::kTakenItemReplaced));
    }
    if (!opened.ok()) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, &seen, Note(opened));
        return;
    }
    if (copies_this_run_ >= bounds_.most_copies) {
        return KeepTakenFileUncopied(taken, in.get(), relative, st);
    }
    const int64_t size = st.st_size;
    // Within the run's bytes: whole, or its first bytes.
    bool head = size > bounds_.most_bytes - bytes_this_run_;
    int64_t bytes = head ? std::min(size, kEvidenceHeadBytes) : size;
    bool rewritten = false;
    std::string fresh;
    Status copied;
    platform::ContentDigest digest;
    // Short of room, or the file written to while it was copied: its first bytes, once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            if (copied.ok() || head || !(OutOfRoom(copied) || rewritten)) break;
            head = true;
            bytes = std::min(size, kEvidenceHeadBytes);
        }
        // The fresh copy is made in the folder the file is in, so that it can take its name.
        fresh.clear();
        for (int n = 0; n < kMostFreshNames; ++n) {
            const std::string candidate = ".norv-fresh-" + std::to_string(n);
            ScopedFd out(env_,
                         env_.OpenAt(dirfd, candidate.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (out.get() < 0) {
                const int error = errno;
                copied = Status::FromErrno(
                    error, Message(NoticeCode::kCannotMakeFreshCopy, {DisplayPath(relative)}));
                if (copied.Is(ErrorKind::kExists)) continue;
                break;
            }
            fresh = candidate;
            copied = CopyAndVerify(env_, in.get(), st, bytes, head, out.get(), dirfd, fresh,
                                   DisplayPath(relative), &digest, &rewritten);
            if (!copied.ok()) {
                env_.UnlinkAt(dirfd, fresh.c_str(), 0);
                fresh.clear();
            }
            break;
        }
    }
    // The fresh copy takes the file's name; the file itself, and whatever is written to it
    // through a kept descriptor, is unlinked with it.
    if (copied.ok() && env_.RenameAt(dirfd, fresh.c_str(), dirfd, name.c_str(), 0) != 0) {
        copied = Status::FromErrno(
            errno, Message(NoticeCode::kCannotReplaceWithFreshCopy, {DisplayPath(relative)}));
    }
    if (!copied.ok() && !fresh.empty()) env_.UnlinkAt(dirfd, fresh.c_str(), 0);
    std::string note;
    if (copied.ok()) {
        ++copies_this_run_;
        bytes_this_run_ += bytes;
        if (head) {
            note = kSizeField + std::to_string(size) + "\t" + kHeadOnlyNote;
            env_.LSeek(in.get(), 0, SEEK_SET);
            digest = platform::DigestOfOpenFile(env_, in.get(), size);
        }
    } else {
        // Its digest stands for it, and it stays as it was moved: the evidence whole.
        env_.LSeek(in.get(), 0, SEEK_SET);
        digest = platform::DigestOfOpenFile(env_, in.get(), size);
        note = kSizeField + std::to_string(size) + "\t" + Note(copied) +
               cracked_index::kLeftAsMovedNote;
        ++taken.left_as_moved;
    }
    IndexTakenEntry(taken, relative, digest, in.get(), &st, note);
}

}  // namespace norv
