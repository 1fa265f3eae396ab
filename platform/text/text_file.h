// Line-oriented text files in the system's character set: CR LF line ends, no byte-order mark.
//
// Reading accepts CR LF and bare LF and a last line without a line end, and a file that starts
// with a UTF-8 or UTF-16 (LE or BE) byte-order mark, which then names its encoding. Writing
// replaces the file atomically: the new content goes to a temporary file beside it, is flushed to
// disk and renamed over the old one, so a failure at any point leaves the old file whole.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/env.h"
#include "platform/base/status.h"
#include "platform/fs/file_system.h"

namespace norv::platform {

// No bound on a file's size.
inline constexpr int64_t kNoSizeLimit = -1;

// Whose file a read accepts. kAdministrator: the file must be in a trusted folder
// (OpenTrustedFolder) and root's (or the running user's) alone (WhyFileUntrusted), for a file
// that decides what norv does as root (its settings, its rules, the log it mails); anything else
// fails with kRefused, naming the file and the fix.
enum class FileTrust { kAnyOwner, kAdministrator };

// Reads every line of the file, converted to UTF-8. An empty `charset` means the system's; with
// a UTF-8 set each line is UTF-8 when valid, else CP932. A line that cannot be read fails with the
// file and that line's number. The file is read as ReadFileBytes reads it, `max_bytes` included.
Result<std::vector<std::string>> ReadTextLines(Env& env, const std::string& path,
                                               const std::string& charset = {},
                                               int64_t max_bytes = kNoSizeLimit,
                                               FileTrust trust = FileTrust::kAnyOwner);

// Writes `lines`, each followed by CR LF, converted from UTF-8 to `charset` (empty: the
// system's). A character the set cannot hold fails with the file and line number, and the old
// file stays as it was. The file gets `mode` (owner-only by default).
Status WriteTextFileAtomic(Env& env, const std::string& path, const std::vector<std::string>& lines,
                           const std::string& charset = {}, mode_t mode = 0600);

// A file being written beside `path` that takes its place only at Commit(): until then, and if
// anything fails, the file at `path` is untouched and the temporary one is removed.
class AtomicFile {
  public:
    static Result<std::unique_ptr<AtomicFile>> Create(Env& env, const std::string& path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    int fd() const { return fd_; }
    Env& env() const { return *env_; }
    const std::string& path() const { return path_; }
    Status Write(std::string_view data);
    // Sets `mode`, flushes to disk and renames over `path`.
    Status Commit(mode_t mode);
    // Commit in two steps, for a caller that must record the finished file before it takes
    // `path`'s place: Seal sets `mode`, flushes and closes it, and gives its identity; Publish
    // renames it over `path` and flushes the folder. A sealed file that is never published is
    // removed when the AtomicFile goes, unless KeepSealed was called (someone else now owns it).
    Result<FileIdentity> Seal(mode_t mode);
    Status Publish();
    void KeepSealed() { keep_sealed_ = true; }
    // The temporary file's path (beside `path`).
    const std::string& temp_path() const { return temp_; }

  private:
    // Sets `mode`, flushes and closes the file (sealed from then on); with `st`, also its facts.
    Status Finish(mode_t mode, struct stat* st);
    AtomicFile(Env& env, std::string path, std::string temp, int fd)
        : env_(&env), path_(std::move(path)), temp_(std::move(temp)), fd_(fd) {}
    Env* env_;
    std::string path_;
    std::string temp_;
    int fd_;
    bool sealed_ = false;
    bool keep_sealed_ = false;
};

// Writes raw bytes to `path` atomically, as WriteTextFileAtomic does.
Status WriteFileAtomic(Env& env, const std::string& path, const std::string& bytes,
                       mode_t mode = 0600);

// The whole content of a file as bytes. Only a regular file is read, never through a symbolic
// link, and opening it never waits (a named pipe or a device in its place fails at once, naming
// what it is). With `max_bytes` (not kNoSizeLimit) a longer file fails with kLimit, and no more
// than one byte beyond the bound is ever read, so a file that keeps growing cannot exhaust memory.
Result<std::string> ReadFileBytes(Env& env, const std::string& path,
                                  int64_t max_bytes = kNoSizeLimit,
                                  FileTrust trust = FileTrust::kAnyOwner);

}  // namespace norv::platform
