// A folder taken out of a page's place into the cracked folder, made root's through and through.
//
// The folder was another user's, who may still hold descriptors into it. So, level by level,
// each folder is made root's and 0700 before it is listed (no entry can then be made in it
// through a descriptor kept), each file is copied into a fresh file of root's that then takes
// the file's name (writes through a kept descriptor reach only the old file, unlinked), each
// link becomes root's, and each FIFO, socket or device goes. Every item has its index line.
// Entries, levels and bytes are bounded; what lies past the bounds stays as it was moved, and
// the index and the messages say so.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "engine/scan_log.h"
#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "response/change_response.h"
#include "response/evidence_copy.h"

namespace norv {
namespace {

using platform::ScopedFd;

// What stands for the content of an item that has none to keep.
const platform::ContentDigest kNoContent{kNoCopyName, "", true};

// Names tried for a fresh copy beside its file; the folder is root's by then, so only names
// that were there before can be taken.
constexpr int kMostFreshNames = 16;

}  // namespace

struct ChangeResponse::TakenFolder {
    int cracked_fd = -1;
    std::string origin;  // the page's path the folder stood at
    int entries = 0;     // items secured so far
    int left_as_moved = 0;
};

void ChangeResponse::SecureTakenFolder(int cracked_fd, const std::string& moved_name,
                                       const std::string& path) {
    TakenFolder taken;
    taken.cracked_fd = cracked_fd;
    taken.origin = path;
    SecureTakenEntry(taken, cracked_fd, moved_name, moved_name, 0);
    if (taken.left_as_moved > 0) {
        const std::string text = path + " に置かれたフォルダの " +
                                 std::to_string(taken.left_as_moved) + " か所は、上限 (" +
                                 std::to_string(bounds_.most_taken_entries) + " 個、" +
                                 std::to_string(bounds_.most_taken_depth) +
                                 " 階層) を超えたか読めないため、移したときのまま " +
                                 platform::JoinPath(settings_.cracked_dir, moved_name) +
                                 " に残しました (理由は一覧にあります)";
        Say(path, Status::Error(ErrorKind::kLimit, kErrLimit, text), text);
    }
}

void ChangeResponse::IndexTakenEntry(TakenFolder& taken, const std::string& relative,
                                     const platform::ContentDigest& digest, int fd,
                                     const struct stat& st, const std::string& note) {
    // Laid out as any index line: the copy's name (here its path in the cracked folder), the
    // change, the date, the digest, where it stood, then what it was.
    const size_t slash = relative.find(platform::kSeparator);
    const std::string origin =
        taken.origin + (slash == std::string::npos ? std::string() : relative.substr(slash));
    std::string line =
        DisplayPath(relative) + "\t" + std::string(ChangeKindName(ChangeKind::kCreated)) + "\t" +
        regional_.DateTime(clock_.Now()) + "\t" + digest.md5 + "\t" + DisplayPath(origin);
    platform::ExtendedFacts facts = platform::ExtendedFactsOf(env_, fd, st);
    facts.sha256 = digest.sha256;
    line += CrackedAttributes(facts);
    if (!note.empty()) line += "\t" + note;
    Status indexed = AppendIndexLine(taken.cracked_fd, line);
    if (!indexed.ok()) {
        Say(taken.origin, indexed,
            "クラックフォルダの一覧に " + DisplayPath(relative) +
                " を書けません: " + indexed.message());
    }
}

void ChangeResponse::SecureTakenEntry(TakenFolder& taken, int dirfd, const std::string& name,
                                      const std::string& relative, int depth) {
    ++taken.entries;
    struct stat st {};
    // A file system mounted on an entry is asked nothing: its server could keep the look waiting.
    auto looked = platform::LookAtEntry(env_, dirfd, name, DisplayPath(relative));
    if (looked.ok() && looked->kind == platform::EntryKind::kMissing) return;
    if (!looked.ok()) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, st, "note=" + looked.status().message());
        return;
    }
    if (env_.FStatAt(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        IndexTakenEntry(taken, relative, kNoContent, -1, st,
                        "note=" + Status::FromErrno(errno, "読めません").message());
        return;
    }
    if (S_ISDIR(st.st_mode)) return SecureTakenSubfolder(taken, dirfd, name, relative, st, depth);
    if (S_ISREG(st.st_mode)) return CopyTakenFileAfresh(taken, dirfd, name, relative, st);
    if (S_ISLNK(st.st_mode)) {
        // A link cannot be written through; it becomes root's, its target kept as it is.
        env_.FChownAt(dirfd, name.c_str(), 0, 0, AT_SYMLINK_NOFOLLOW);
        auto target = platform::ReadLinkTarget(env_, dirfd, name.c_str());
        const platform::ContentDigest digest =
            target ? platform::ContentDigest{platform::Md5Hex(*target),
                                             platform::Sha256Hex(*target), true}
                   : platform::ContentDigest{"?", "", true};
        IndexTakenEntry(taken, relative, digest, -1, st, "");
        return;
    }
    // A FIFO, socket or device holds nothing to keep and is never opened: it goes.
    const bool gone = env_.UnlinkAt(dirfd, name.c_str(), 0) == 0;
    IndexTakenEntry(
        taken, relative, kNoContent, -1, st,
        "entry=" + SpecialEntryName(st.st_mode) +
            (gone ? "" : "\tnote=" + Status::FromErrno(errno, "削除できません").message()));
}

void ChangeResponse::SecureTakenSubfolder(TakenFolder& taken, int dirfd, const std::string& name,
                                          const std::string& relative, const struct stat& seen,
                                          int depth) {
    if (depth >= bounds_.most_taken_depth) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, seen,
                        "note=深すぎるため中を調べていません");
        return;
    }
    ScopedFd folder(env_,
                    platform::OpenWithinMount(env_, dirfd, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // Root's and 0700 before anything else: from now on nobody else can add, rename or remove
    // an entry in it, whatever descriptor they kept. The owner first, so that the mode set next
    // cannot be changed back by its former owner.
    struct stat st {};
    if (folder.get() < 0 || env_.FChown(folder.get(), 0, 0) != 0 ||
        env_.FChmod(folder.get(), 0700) != 0 || env_.FStat(folder.get(), &st) != 0 ||
        st.st_uid != 0 || (st.st_mode & 07777) != 0700) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, seen,
                        "note=" + Status::FromErrno(errno, "root のものにできません").message());
        return;
    }
    IndexTakenEntry(taken, relative, kNoContent, folder.get(), st, "");
    // Listed whole first (within the bound), then secured: the copies change the listing.
    std::vector<std::string> names;
    bool more = false;
    {
        DIR* listing = env_.FdOpenDir(env_.Dup(folder.get()));
        if (listing == nullptr) {
            ++taken.left_as_moved;
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
        SecureTakenEntry(taken, folder.get(), entry_name,
                         relative + platform::kSeparator + entry_name, depth + 1);
    }
    if (more) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, folder.get(), st,
                        "note=上限を超えたため、この中の残りは移したときのままです");
    }
}

void ChangeResponse::CopyTakenFileAfresh(TakenFolder& taken, int dirfd, const std::string& name,
                                         const std::string& relative, const struct stat& seen) {
    ScopedFd in(env_, platform::OpenRegularForReading(env_, dirfd, name.c_str()));
    struct stat st {};
    if (in.get() < 0 || env_.FStat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_ino != seen.st_ino || st.st_dev != seen.st_dev) {
        ++taken.left_as_moved;
        IndexTakenEntry(taken, relative, kNoContent, -1, seen,
                        "note=" + Status::FromErrno(errno, "読めません").message());
        return;
    }
    const int64_t size = st.st_size;
    // Within the run's bounds: whole, or its first bytes; past its copies, none (the file's
    // digest stands for it, and it goes all the same).
    const bool copy = copies_this_run_ < bounds_.most_copies;
    bool head = size > bounds_.most_bytes - bytes_this_run_;
    int64_t bytes = head ? std::min(size, kEvidenceHeadBytes) : size;
    bool rewritten = false;
    std::string fresh;
    Status copied = Status::Error(ErrorKind::kLimit, kErrLimit, kCopyLimitMessage);
    platform::ContentDigest digest;
    // Short of room, or the file written to while it was copied: its first bytes, once more.
    for (int attempt = 0; copy && attempt < 2 && !copied.ok(); ++attempt) {
        if (attempt == 1) {
            if (head || !(OutOfRoom(copied) || rewritten)) break;
            head = true;
            bytes = std::min(size, kEvidenceHeadBytes);
        }
        fresh.clear();
        for (int n = 0; n < kMostFreshNames; ++n) {
            const std::string candidate = ".norv-fresh-" + std::to_string(n);
            ScopedFd out(env_,
                         env_.OpenAt(dirfd, candidate.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (out.get() < 0) {
                copied = Status::FromErrno(errno, DisplayPath(relative) + " のコピーを作れません");
                if (errno == EEXIST) continue;
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
        copied = Status::FromErrno(errno, DisplayPath(relative) + " を置き換えられません");
    }
    if (!copied.ok() && !fresh.empty()) env_.UnlinkAt(dirfd, fresh.c_str(), 0);
    std::string note;
    if (copied.ok()) {
        ++copies_this_run_;
        bytes_this_run_ += bytes;
        if (head) {
            note = std::string("size=") + std::to_string(size) + "\t" + kHeadOnlyNote;
            env_.LSeek(in.get(), 0, SEEK_SET);
            digest = platform::DigestOfOpenFile(env_, in.get(), size);
        }
    } else {
        // Its digest stands for it. Past the run's copies it goes all the same, so nothing of it
        // stays writable by its former owner; a copy that failed otherwise leaves it as it was
        // moved, the evidence whole.
        env_.LSeek(in.get(), 0, SEEK_SET);
        digest = platform::DigestOfOpenFile(env_, in.get(), size);
        const bool gone = !copy && env_.UnlinkAt(dirfd, name.c_str(), 0) == 0;
        note = "size=" + std::to_string(size) + "\tnote=" + copied.message() +
               (gone ? " (コピーせずに削除しました)" : " (移したときのまま残しています)");
        if (!gone) ++taken.left_as_moved;
    }
    IndexTakenEntry(taken, relative, digest, in.get(), st, note);
}

}  // namespace norv
