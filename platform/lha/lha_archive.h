// LHA archives: our writer (level-2 headers, -lh5- or -lh0- data, -lhd- folders and links) and
// a safe extractor reading through libarchive.
//
// Every entry is stored under its full path without the leading "/", so entries from different
// folders never clash and an entry goes back to the place it came from, and to no other. Names
// are stored as the file system holds them (UTF-8 where they are text). Owner and group are
// kept in the Unix extended header, 16 bits each, as the format allows. Every file-system call
// goes through the Env given (for a restore, the one its root folder was opened with).
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/base/status.h"
#include "platform/digest/digest.h"
#include "platform/fs/file_system.h"
#include "platform/text/text_file.h"

namespace norv::platform::lha {

// A part of a tree left out of an archive: its path (a folder's ends in "/") and why.
struct MissedPart {
    std::string path;
    Status why;
};

// A new archive being written beside `archive`: it replaces the old one only at Commit(), and
// until then (or when anything fails, or the process is killed) the old archive is untouched.
// Entries are written one at a time, so memory holds one file, never the archive.
class ArchiveWriter {
  public:
    static Result<std::unique_ptr<ArchiveWriter>> Create(Env& env, const std::string& archive);

    // Adds `source` as the administrator wrote it (a link there is followed as the walk follows
    // a rule path): every file, link and folder below it when it is a folder, reached through
    // open folders only (links stored as links, never followed; the `skipped` folders left
    // out), or the file itself. `progress` (may be empty) hears each path. A part below it that
    // cannot be read (a file not read whole, a folder gone or unreadable) is left out with its
    // cause in `missed`, and the rest goes in; without `missed`, the first such part fails the
    // call, naming it. Fails when `source` itself cannot be archived, or when the archive cannot
    // be written: then broken() holds and the archive can take nothing more.
    Status Add(const std::string& source, const std::vector<FileIdentity>& skipped = {},
               const std::function<void(const std::string&)>& progress = {},
               std::vector<MissedPart>* missed = nullptr);
    // Copies across, entry by entry and byte for byte (data, stored folder and name, mode,
    // time, owner or its absence), every entry of the earlier archive `earlier` stored at or
    // below one of `stored_paths` (StoredPathOf form), except those this archive already holds,
    // which are newer. The earlier archive is opened only as OpenTrustedFile allows and read
    // from end to end; each entry copied is read through first, so its CRC holds. Memory holds
    // one block of an entry, never the entry. Returns, for each of `stored_paths`, the files and
    // links copied under it. Fails when the earlier archive cannot be opened or read whole
    // (damaged, cut short), or this one cannot be written: then broken() holds, and this archive,
    // which may hold some of them, is never committed.
    // Entries stored under a path of `dropped` (StoredPathOf form, exactly) are left out.
    Result<std::vector<int64_t>> KeepEarlier(const std::string& earlier,
                                             const std::vector<std::string>& stored_paths,
                                             const std::unordered_set<std::string>& dropped = {});
    // Adds the entry `name` of the open folder `folder` (never following a link), stored as
    // `path`: the file as it is read now, a link as a link. With `written_md5`, the MD5 of what
    // was stored (a link's target text), none when nothing was (the entry is gone or is no
    // file); with `written_facts`, the facts of the very entry stored (read through its
    // descriptor); with `written_sha256`, the SHA-256 of what was stored, as `written_md5`.
    Status AddFileAt(const DirectoryHandle& folder, const std::string& name,
                     const std::string& path, std::optional<Md5Digest>* written_md5,
                     FileFacts* written_facts = nullptr,
                     std::optional<Sha256Digest>* written_sha256 = nullptr);
    bool broken() const { return !broken_.ok(); }
    // The files and links added so far; folders are not counted, since an archive of folders
    // alone restores nothing.
    int64_t entries() const { return entries_; }
    // Writes the end mark and puts the archive in place, owner-only; refused once broken().
    Status Commit();
    // Commit in two steps (AtomicFile's Seal and Publish): the finished archive, owner-only and
    // flushed, stays beside the old one under temp_path() until Publish renames it into place.
    Result<FileIdentity> Seal();
    Status Publish() { return file_->Publish(); }
    void KeepSealed() { file_->KeepSealed(); }
    const std::string& temp_path() const { return file_->temp_path(); }

  private:
    explicit ArchiveWriter(std::unique_ptr<AtomicFile> file) : file_(std::move(file)) {}
    Status AddMember(int dirfd, const std::string& name, const std::string& display,
                     const std::string& stored_dir, const std::string& stored_name,
                     std::string* written_md5 = nullptr, struct stat* written_st = nullptr,
                     std::string* written_sha256 = nullptr);
    std::unique_ptr<AtomicFile> file_;
    int64_t entries_ = 0;
    Status broken_;  // the first write to the archive that failed
};

// Writes a new archive holding `source` alone (ArchiveWriter's Add and Commit).
Status AddToArchive(Env& env, const std::string& archive, const std::string& source);

// The path an archive stores for `path`: absolute, without the leading "/", empty names and
// "." left out ("/srv//www/" gives "srv/www"); a relative path is taken from the working folder.
std::string StoredPathOf(Env& env, const std::string& path);

struct ArchiveEntry {
    std::string path;  // as stored, "/"-separated, without a leading "/"
    std::string symlink_target;
    bool is_directory = false;
    int64_t size = 0;
};

// Every entry of the archive, in order. Fails on a damaged archive.
Result<std::vector<ArchiveEntry>> ListArchive(Env& env, const std::string& archive);

// Where each entry of one archive starts, so that a restore reads its one entry instead of
// every header before it. It belongs to the archive file it was built from (device, inode,
// size, modification and change times) and is built again, on first use, once that file has
// changed.
// Entries are keyed by a 64-bit digest of their path; the path read back at the offset is
// always compared, and a mismatch falls back to reading the archive from its start.
class ArchiveIndex {
  public:
    // The header offset of `stored_path` in the archive open as `fd`, or -1 when it is not
    // listed (or the index cannot be built).
    int64_t Find(Env& env, int fd, const std::string& stored_path);

  private:
    bool Current(const struct stat& st) const;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    off_t size_ = -1;
    timespec mtime_{};
    timespec ctime_{};  // changed by any write or rename, and set by no caller
    std::unordered_map<uint64_t, int64_t> offsets_;
};

// The names of the temporary files restores make in the watched folders (for a link, and for a
// file on a file system without unnamed files), each noted (appended and flushed) before the
// file is made, so that the ones a killed run leaves behind are removed
// by the next run instead of being reported as new files. The journal is a file of the
// program's own folder, owner-only, never opened through a link. Each line holds the folder
// (its path, device and inode) and the name.
inline constexpr const char* kRestoreJournalName = "norv-restore.journal";
inline constexpr const char* kRestoreTempPrefix = ".norv-restore-";
class RestoreJournal {
  public:
    RestoreJournal(Env& env, std::string path) : env_(&env), path_(std::move(path)) {}
    const std::string& path() const { return path_; }
    // Notes `name` as about to be made in the open folder `folder`.
    Status Record(const DirectoryHandle& folder, const std::string& name) const;
    // Removes each noted file still there, then empties the journal. The folder is opened again
    // one name at a time from "/" without following a link and must be the very folder noted
    // (device and inode); only a regular file or link with a noted name, owned by the user
    // norv runs as, is removed. Anything else is left alone: a file an attacker named like a
    // temporary file is an ordinary file. Returns the number removed.
    Result<int> RemoveLeftovers() const;

  private:
    Env* env_;
    std::string path_;
};

// Puts back the one entry stored under `stored_path` (StoredPathOf form) as `relative` (names)
// below the open folder `root`, whose path is `root_path` in messages. The folders on the way
// are opened one at a time without following a link; missing ones are made, with their
// archived mode and owner when the archive holds them. A file is written where nobody else can
// open it: unnamed (O_TMPFILE) in the target folder, or where the file system has no unnamed
// files, under a temporary name made with mode 0. An ACL it inherits from the folder is removed;
// it is given its archived mode, time and (as root) owner through its descriptor, and only then
// linked in (an unnamed file) or renamed into place; a link is made under a temporary name and
// renamed. Whatever stands at the name is never replaced (it may be evidence): that fails with
// EEXIST (EISDIR for a folder). Once in place, the name must hold the very file written
// (device and inode, against its descriptor): otherwise the restore fails with EEXIST, and what
// stands there is left as it is, for the caller to take out and try again. Nothing else is
// touched. Fails, naming the path, when the entry is missing, damaged (its CRC does not match),
// a folder on the way is a link, or anything cannot be written; then no temporary file remains.
// With an index, the entry and its folders are read where the index says they are. With a
// journal, a temporary file's name is noted there before it is made (a failure to note it fails
// the restore). With `written_digest`, the MD5 of what was written (a link's target text) is put
// there. With `finish`, the file, written and given its archived attributes, is handed over (its
// descriptor; for a link an O_PATH one) with that MD5 before it takes the file's place: what it
// sets there is set before anyone can see the file, and its failure fails the restore.
using FinishRestore = std::function<Status(int fd, bool is_link, const Md5Digest& written_md5)>;
Status RestoreEntry(const std::string& archive, const std::string& stored_path,
                    const DirectoryHandle& root, const std::string& root_path,
                    const std::vector<std::string>& relative, ArchiveIndex* index = nullptr,
                    const RestoreJournal* journal = nullptr, Md5Digest* written_digest = nullptr,
                    const FinishRestore& finish = {});

// RestoreEntry of `stored_path` to the same path below the folder `root` (tests, fuzzing).
Status RestoreEntryBelow(Env& env, const std::string& archive, const std::string& stored_path,
                         const std::string& root);

namespace detail {
// One raw level-2 entry (stored, -lh0-) with any stored folder and name, for tests that need
// archives no honest writer makes.
std::string RawEntry(const std::string& stored_dir, const std::string& name,
                     const std::string& data);
}  // namespace detail

}  // namespace norv::platform::lha
