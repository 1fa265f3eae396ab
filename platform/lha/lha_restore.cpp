#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <random>

#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "platform/fs/tree_walk.h"
#include "platform/lha/lha_archive.h"
#include "platform/lha/lha_internal.h"

namespace norv::platform::lha {
namespace {

uint32_t Get16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1]))
                                             << 8;
}

// Refuses a stored path that could leave its place: empty, ".", ".." or empty components.
bool SafeStoredPath(const std::string& path) {
    if (path.empty()) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

struct StoredOwner {
    uid_t uid;
    gid_t gid;
};

// The owner recorded in the Unix extended header (0x51) of the level-2 header at `offset`, if
// any. libarchive reads it too, but cannot tell a missing owner from root.
std::optional<StoredOwner> ReadStoredOwner(Env& env, int fd, int64_t offset) {
    unsigned char size_bytes[2];
    if (env.PRead(fd, size_bytes, 2, offset) != 2) return std::nullopt;
    const size_t size = size_bytes[0] | static_cast<size_t>(size_bytes[1]) << 8;
    if (size < 26) return std::nullopt;
    std::string header(size, '\0');
    if (env.PRead(fd, header.data(), size, offset) != static_cast<ssize_t>(size)) {
        return std::nullopt;
    }
    if (header[20] != 2) return std::nullopt;
    size_t at = 24;
    size_t next = Get16(header, at);
    at += 2;
    // Each extended header is at least 3 bytes, so this ends within the header.
    while (next >= 3 && at + next <= header.size()) {
        if (static_cast<uint8_t>(header[at]) == 0x51 && next >= 7) {
            return StoredOwner{static_cast<uid_t>(Get16(header, at + 3)),
                               static_cast<gid_t>(Get16(header, at + 1))};
        }
        const size_t size_at = at + next - 2;
        at += next;
        next = Get16(header, size_at);
    }
    return std::nullopt;
}

// The owner to give a restored file, when norv runs as root: the archived one. Never the
// owner of whatever file stands there at restore time, which an attacker may have put there.
std::optional<StoredOwner> OwnerToRestore(Env& env, const std::optional<StoredOwner>& stored) {
    if (env.GetEuid() != 0) return std::nullopt;
    return stored;
}

// The mode to give a restored file: without a known owner it stays root's, so it never keeps
// set-id bits.
mode_t ModeToRestore(Env& env, mode_t archived, const std::optional<StoredOwner>& owner) {
    mode_t mode = archived & 07777;
    if (!owner && env.GetEuid() == 0) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    return mode;
}

std::string TempName(unsigned attempt) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 rng(std::random_device{}());
    std::string name = kRestoreTempPrefix;
    for (int i = 0; i < 8; ++i) name += kLetters[(rng() + attempt) % 36];
    return name;
}

constexpr unsigned kTempAttempts = 100;

bool IsEmptyFolder(const DirectoryHandle& folder, const std::string& path) {
    auto listing = ListDirectory(folder, path);
    return listing.ok() && listing->empty();
}

// The file a restore writes: open as `fd`, its identity, and its temporary name in the target
// folder when it has one (none for an unnamed O_TMPFILE file).
struct Written {
    explicit Written(Env& env) : fd(env) {}
    ScopedFd fd;
    FileIdentity identity;
    std::string temp;
};

Status NoteIdentity(Env& env, Written& file, const std::string& display) {
    struct stat st {};
    if (env.FStat(file.fd.get(), &st) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotExtract, {display}));
    }
    file.identity = {st.st_dev, st.st_ino};
    return Status::Ok();
}

// A new file in `dir` that nobody else can open before it is given its final mode and ACL: an
// unnamed one (O_TMPFILE), which has no name until it is linked in. Where the file system has
// none, a named one made with mode 0, noted in the journal first: an ACL inherited from the
// folder's default one then grants nothing, since the mode's group bits mask its named entries.
Status MakeUnreachableFile(const DirectoryHandle& dir, const RestoreJournal* journal, Written& file,
                           const std::string& display) {
    Env& env = dir.env();
    file.fd.reset(env.OpenAt(dir.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0));
    if (file.fd.get() < 0 && errno != EOPNOTSUPP && errno != EISDIR) {
        return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotExtract, {display}));
    }
    for (unsigned attempt = 0; attempt < kTempAttempts && file.fd.get() < 0; ++attempt) {
        std::string candidate = TempName(attempt);
        if (journal) NORV_RETURN_IF_ERROR(journal->Record(dir, candidate));
        file.fd.reset(env.OpenAt(dir.fd(), candidate.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0));
        if (file.fd.get() >= 0) {
            file.temp = candidate;
        } else if (errno != EEXIST) {
            return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotExtract, {display}));
        }
    }
    if (file.fd.get() < 0) {
        return Status::FromErrno(EEXIST, Message(NoticeCode::kArchiveCannotExtract, {display}));
    }
    return NoteIdentity(env, file, display);
}

// Removes the temporary name of a restore that failed, only while it still holds the file
// written: whatever was renamed onto it meanwhile is someone else's and stays.
void RemoveTemporary(Env& env, int dirfd, const Written& file, const std::string& display) {
    if (file.temp.empty()) return;
    auto still = StillHolds(env, dirfd, file.temp, file.identity, display);
    if (still.ok() && *still) env.UnlinkAt(dirfd, file.temp.c_str(), 0);
}

// Gives the written file the name `name`, which must be free: an unnamed file is linked (a link
// refuses a name in use), a named one renamed without replacing.
int Place(Env& env, int dirfd, const Written& file, const std::string& name) {
    if (!file.temp.empty()) {
        return env.RenameAt(dirfd, file.temp.c_str(), dirfd, name.c_str(), RENAME_NOREPLACE);
    }
    const std::string self = "/proc/self/fd/" + std::to_string(file.fd.get());
    if (env.LinkAt(AT_FDCWD, self.c_str(), dirfd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != ENOENT) return -1;  // a /proc that is not mounted: linked by its descriptor
    return env.LinkAt(file.fd.get(), "", dirfd, name.c_str(), AT_EMPTY_PATH);
}

// Whether what stands at `name` now is the very file written. Anyone who can write the folder
// can put another file there right after it was placed; norv's own is then wherever that left
// it, and what stands there is left alone: it may be evidence.
Status VerifyPlaced(Env& env, int dirfd, const Written& file, const std::string& name,
                    const std::string& display) {
    auto still = StillHolds(env, dirfd, name, file.identity, display);
    if (!still.ok()) return still.status();
    if (!*still) {
        return Status::Error(ErrorKind::kExists, EEXIST,
                             Message(NoticeCode::kArchiveReplacedAfterRestore, {display}));
    }
    return Status::Ok();
}

// The link stored in the entry, made under a temporary name (links cannot be made unnamed) and
// opened itself (O_PATH) into `file`, then given its owner and finished.
Status WriteLink(archive_entry* e, const DirectoryHandle& dir, const std::string& display,
                 const std::optional<StoredOwner>& owner, const RestoreJournal* journal,
                 Md5Digest* written_digest, const FinishRestore& finish, Written& file) {
    Env& env = dir.env();
    const int dirfd = dir.fd();
    const char* link = archive_entry_symlink(e);
    if (!link) return ArchiveError(NoticeCode::kArchiveNoLinkTarget, {display});
    for (unsigned attempt = 0; attempt < kTempAttempts && file.temp.empty(); ++attempt) {
        std::string candidate = TempName(attempt);
        if (journal) NORV_RETURN_IF_ERROR(journal->Record(dir, candidate));
        if (env.SymlinkAt(link, dirfd, candidate.c_str()) == 0) {
            file.temp = candidate;
        } else if (errno != EEXIST) {
            return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotExtract, {display}));
        }
    }
    if (file.temp.empty()) {
        return Status::FromErrno(EEXIST, Message(NoticeCode::kArchiveCannotExtract, {display}));
    }
    const Md5Digest digest(Md5Hex(link));
    if (written_digest) *written_digest = digest;
    // Through a descriptor of the link just made: the name may have been swapped for another
    // file meanwhile, which must never be given away, nor removed, nor put in place.
    file.fd.reset(env.OpenAt(dirfd, file.temp.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
    struct stat st {};
    const bool ours = file.fd.get() >= 0 && env.FStat(file.fd.get(), &st) == 0 &&
                      S_ISLNK(st.st_mode) && st.st_uid == env.GetEuid();
    if (!ours) {
        file.temp.clear();  // not ours to remove
        return Status::FromErrno(EAGAIN,
                                 Message(NoticeCode::kArchiveCannotRestoreOwner, {display}));
    }
    file.identity = {st.st_dev, st.st_ino};
    if (owner && env.FChownAt(file.fd.get(), "", owner->uid, owner->gid,
                              AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRestoreOwner, {display}));
    }
    return finish ? finish(file.fd.get(), true, digest) : Status::Ok();
}

// The file stored in the entry, written to a file nobody else can open (MakeUnreachableFile)
// and given its archived owner, mode and time, and what `finish` sets, all before it has its
// final name.
Status WriteRegular(archive* a, archive_entry* e, const DirectoryHandle& dir,
                    const std::string& display, const std::optional<StoredOwner>& owner,
                    const RestoreJournal* journal, Md5Digest* written_digest,
                    const FinishRestore& finish, Written& file) {
    Env& env = dir.env();
    NORV_RETURN_IF_ERROR(MakeUnreachableFile(dir, journal, file, display));
    const int fd = file.fd.get();
    Md5Digester written;
    char buffer[65536];
    for (;;) {
        la_ssize_t n = archive_read_data(a, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) return ArchiveError(NoticeCode::kWithCause, {display, ArchiveFault(a)});
        const std::string_view block(buffer, static_cast<size_t>(n));
        NORV_RETURN_IF_ERROR(WriteFully(env, fd, block, display));
        written.Update(block);
    }
    const Md5Digest digest(written.HexDigest());
    if (written_digest) *written_digest = digest;
    // An ACL inherited from the folder's default one is the folder's, not the file's: gone
    // before the mode, whose group bits would otherwise unmask its entries.
    if (env.FRemoveXattr(fd, kAclXattr) != 0 && errno != ENODATA && errno != EOPNOTSUPP) {
        return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRemoveAcl, {display}));
    }
    // The owner before the mode: changing the owner clears set-id bits.
    if (owner && env.FChown(fd, owner->uid, owner->gid) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRestoreOwner, {display}));
    }
    const mode_t mode = ModeToRestore(env, archive_entry_perm(e), owner);
    if (env.FChmod(fd, mode) != 0) return Status::FromErrno(errno, display);
    if (finish) NORV_RETURN_IF_ERROR(finish(fd, false, digest));
    const timespec mtime{archive_entry_mtime(e), 0};
    const timespec times[2] = {mtime, mtime};
    env.FUtimens(fd, times);
    if (env.Fsync(fd) != 0) return Status::FromErrno(errno, display);
    return Status::Ok();
}

// Writes the current entry to `name` inside the open folder `dir` (WriteRegular, WriteLink) and
// puts it in place; `display` names the target in messages. A file that stands at the name is
// never replaced: it may be evidence (the response moves a tampered file away before it
// restores), so the restore fails instead, then and when the file is put in place. The restore
// is done only once the name is seen to hold the very file written.
Status WriteEntryAt(archive* a, archive_entry* e, const DirectoryHandle& dir,
                    const std::string& name, const std::string& display,
                    const std::optional<StoredOwner>& stored_owner, const RestoreJournal* journal,
                    Md5Digest* written_digest, const FinishRestore& finish) {
    // Looked at without asking a file system mounted on the name since the check: refused.
    auto existing = LookAtEntry(dir.env(), dir.fd(), name, display);
    if (!existing.ok()) return existing.status();
    if (existing->kind == EntryKind::kDirectory) {
        return Status::Error(ErrorKind::kExists, EISDIR,
                             Message(NoticeCode::kArchiveFolderInTheWay, {display}));
    }
    if (existing->kind != EntryKind::kMissing) {
        return Status::Error(ErrorKind::kExists, EEXIST,
                             Message(NoticeCode::kArchiveWillNotOverwrite, {display}));
    }
    Env& env = dir.env();
    const auto owner = OwnerToRestore(env, stored_owner);
    const int dirfd = dir.fd();
    Written file(env);
    Status written =
        archive_entry_filetype(e) == AE_IFLNK
            ? WriteLink(e, dir, display, owner, journal, written_digest, finish, file)
            : WriteRegular(a, e, dir, display, owner, journal, written_digest, finish, file);
    if (!written.ok()) {
        RemoveTemporary(env, dirfd, file, display);
        return written;
    }
    if (Place(env, dirfd, file, name) != 0) {
        const int error = errno;
        RemoveTemporary(env, dirfd, file, display);
        if (error == EEXIST) {
            return Status::Error(ErrorKind::kExists, EEXIST,
                                 Message(NoticeCode::kArchiveWillNotOverwrite, {display}));
        }
        return Status::FromErrno(error, Message(NoticeCode::kArchiveCannotReplace, {display}));
    }
    env.Fsync(dirfd);
    return VerifyPlaced(env, dirfd, file, name, display);
}

// What the archive says of a folder on the way to an entry, for a folder the restore makes again.
struct FolderFacts {
    mode_t mode;
    std::optional<StoredOwner> owner;
};
using WayFolders = std::map<std::string, FolderFacts>;

// The folder entries on the way to `wanted` where the index puts them: an entry read from its
// own header on never passes them.
void ReadIndexedFolders(Env& env, int raw, ArchiveIndex& index, const std::string& wanted,
                        const std::string& archive_path, WayFolders& folders) {
    const std::vector<std::string> names = PathNames(wanted);
    for (size_t n = 1; n < names.size(); ++n) {
        const std::string folder =
            JoinStored(std::vector<std::string>(names.begin(), names.begin() + n));
        const int64_t folder_at = index.Find(env, raw, folder);
        if (folder_at < 0) continue;
        PositionedReader folder_reader{&env, raw, folder_at};
        auto fa = OpenAt(folder_reader, archive_path);
        archive_entry* fe = nullptr;
        if (fa.ok() && archive_read_next_header(fa->get(), &fe) >= ARCHIVE_WARN &&
            archive_entry_filetype(fe) == AE_IFDIR && EntryPath(fe) == folder) {
            folders[folder] = {static_cast<mode_t>(archive_entry_perm(fe) & 07777),
                               ReadStoredOwner(env, raw, folder_at)};
        }
    }
}

// Gives the folder the restore just made its archived owner and mode.
void GiveMadeFolderItsOwner(Env& env, const DirectoryHandle& made, const FolderFacts& archived,
                            const std::string& shown) {
    // The archived owner and mode go only to the very folder just made: empty, ours and 0700.
    // One renamed into its place meanwhile is never given away.
    struct stat st {};
    if (env.FStat(made.fd(), &st) == 0 && st.st_uid == env.GetEuid() &&
        (st.st_mode & 07777) == 0700 && IsEmptyFolder(made, shown)) {
        const int fd = made.fd();
        const auto owner = OwnerToRestore(env, archived.owner);
        if (owner) (void)env.FChown(fd, owner->uid, owner->gid);
        env.FChmod(fd, ModeToRestore(env, archived.mode, owner));
    }
}

// The folder an entry goes back into, and its path.
struct WayDown {
    std::shared_ptr<DirectoryHandle> holder;  // when it is not the root
    const DirectoryHandle* at = nullptr;
    std::string shown;
};

// The folders on the way to `wanted`, opened one name at a time below the root, those missing
// made again: a name on the way that is no folder (a link) is never followed.
Result<WayDown> OpenFoldersOnTheWay(const DirectoryHandle& root, const std::string& root_path,
                                    const std::vector<std::string>& relative,
                                    const std::string& wanted, const WayFolders& folders) {
    Env& env = root.env();
    WayDown way{nullptr, &root, root_path};
    const size_t stored_base = PathNames(wanted).size() - relative.size();
    for (size_t i = 0; i + 1 < relative.size(); ++i) {
        way.shown = FolderPrefix(way.shown) + relative[i];
        auto opened = OpenDirectoryAt(*way.at, relative[i], way.shown);
        if (!opened.ok() && opened.status().Is(ErrorKind::kNotFound)) {
            const bool made = env.MkdirAt(way.at->fd(), relative[i].c_str(), 0700) == 0;
            opened = OpenDirectoryAt(*way.at, relative[i], way.shown);
            auto names = PathNames(wanted);
            names.resize(stored_base + i + 1);
            auto archived = folders.find(JoinStored(names));
            if (made && opened.ok() && archived != folders.end()) {
                GiveMadeFolderItsOwner(env, **opened, archived->second, way.shown);
            }
        }
        if (!opened.ok()) {
            if (opened.status().Is(ErrorKind::kLink) || opened.status().Is(ErrorKind::kNotFound)) {
                return Status::Error(ErrorKind::kLink, ELOOP,
                                     Message(NoticeCode::kArchiveWayNotFolder, {way.shown}));
            }
            return opened.status();
        }
        way.holder = std::move(opened).value();
        way.at = way.holder.get();
    }
    return way;
}

}  // namespace

Status RestoreEntry(const std::string& archive_path, const std::string& stored_path,
                    const DirectoryHandle& root, const std::string& root_path,
                    const std::vector<std::string>& relative, ArchiveIndex* index,
                    const RestoreJournal* journal, Md5Digest* written_digest,
                    const FinishRestore& finish) {
    // Already in stored form: only its separators are tidied.
    const std::string wanted = JoinStored(PathNames(stored_path));
    if (!SafeStoredPath(wanted) || relative.empty()) {
        return Status::Error(ErrorKind::kRefused, EPERM,
                             Message(NoticeCode::kArchiveUnsafePath, {wanted}));
    }
    ScopedUtf8Locale utf8;
    Env& env = root.env();
    // One descriptor for everything read: the entries and the owners stored beside them. The
    // archive says what goes back, with which mode and owner: only one that nobody but root can
    // have written or swapped is believed.
    auto trusted = OpenTrustedFile(env, archive_path);
    if (!trusted.ok()) return trusted.status();
    int raw = trusted.value();
    ScopedFd raw_closer(env, raw);
    // Folder entries on the way to the wanted one, for folders the restore must make again.
    WayFolders folders;
    // Where to start: the wanted entry itself when the index knows it (its folders then read
    // where the index puts them), else the archive's start.
    int64_t start = index ? index->Find(env, raw, wanted) : -1;
    if (start >= 0) ReadIndexedFolders(env, raw, *index, wanted, archive_path, folders);
    // Anything unexpected where the index pointed is read again from the archive's start.
    auto read_whole = [&] {
        return RestoreEntry(archive_path, stored_path, root, root_path, relative, nullptr, journal,
                            written_digest, finish);
    };
    PositionedReader reader{&env, raw, std::max<int64_t>(start, 0)};
    auto a = OpenAt(reader, archive_path);
    if (!a.ok()) return start >= 0 ? read_whole() : a.status();
    archive_entry* e = nullptr;
    for (;;) {
        int rc = archive_read_next_header(a->get(), &e);
        if (start >= 0 && rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return read_whole();
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) {
            return ArchiveError(NoticeCode::kArchiveDamaged,
                                {archive_path, ArchiveFault(a->get())});
        }
        const int64_t header_at =
            std::max<int64_t>(start, 0) + archive_read_header_position(a->get());
        const std::string path = EntryPath(e);
        if (start >= 0 && path != wanted) return read_whole();  // two paths, one key
        if (archive_entry_filetype(e) == AE_IFDIR) {
            if (wanted.compare(0, path.size() + 1, path + "/") == 0) {
                folders[path] = {static_cast<mode_t>(archive_entry_perm(e) & 07777),
                                 ReadStoredOwner(env, raw, header_at)};
            }
            continue;
        }
        if (path != wanted) continue;
        auto way = OpenFoldersOnTheWay(root, root_path, relative, wanted, folders);
        if (!way.ok()) return way.status();
        return WriteEntryAt(a->get(), e, *way->at, relative.back(),
                            FolderPrefix(way->shown) + relative.back(),
                            ReadStoredOwner(env, raw, header_at), journal, written_digest, finish);
    }
    return Status::Error(ErrorKind::kNotFound, ENOENT,
                         Message(NoticeCode::kArchiveEntryMissing, {archive_path, wanted}));
}

Status RestoreEntryBelow(Env& env, const std::string& archive, const std::string& stored_path,
                         const std::string& root) {
    auto folder = OpenDirectory(env, root);
    if (!folder.ok()) return folder.status();
    return RestoreEntry(archive, stored_path, **folder, root, PathNames(stored_path));
}

}  // namespace norv::platform::lha
