// FaultyFileOps: a FileOps for tests that passes calls to the system and fails the ones it is
// told to (the Nth call of an operation, or every call, on files whose path matches a pattern),
// shortens reads and writes, or flips one byte written to a file. Install it with
// platform::ScopedFileOps. Safe to call from several threads.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_ops.h"

namespace norv::testing {

class FaultyFileOps : public platform::FileOps {
  public:
    enum class Op {
        kOpenAt,
        kRead,
        kPRead,
        kWrite,
        kFsync,
        kRenameAt,
        kUnlinkAt,
        kFListXattr,
        kFGetXattr,  // the pattern may also name the attribute ("system.posix_acl_access")
        kFSetXattr,
        kFRemoveXattr,
        kFChown,
        kFChmod,
    };

    // The `nth` matching call of `op` (counted from 1; 0: every one) fails with errno `error`.
    // A call matches when `pattern` is empty or, as an fnmatch pattern, matches the path of the
    // file it acts on (either name of a rename). With `error` 0 a read or write returns 0
    // instead: an end of file that comes early, or a disk that takes nothing more.
    void Fail(Op op, int error, int nth = 1, std::string pattern = {});
    // Each read (kRead, kPRead) or write on a matching file moves at most `bytes`.
    void Limit(Op op, size_t bytes, std::string pattern = {});
    // The byte at `offset` of a matching file is flipped in the data written to it.
    void FlipWrittenByte(std::string pattern, off_t offset);
    // The calls of `op` so far that matched a rule set for it.
    int MatchedCalls(Op op) const;

    int OpenAt(int dirfd, const char* name, int flags, mode_t mode) override;
    ssize_t Read(int fd, void* buffer, size_t size) override;
    ssize_t PRead(int fd, void* buffer, size_t size, off_t offset) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    int Fsync(int fd) override;
    int RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                 unsigned flags) override;
    int UnlinkAt(int dirfd, const char* name, int flags) override;
    ssize_t FListXattr(int fd, char* names, size_t size) override;
    ssize_t FGetXattr(int fd, const char* name, void* value, size_t size) override;
    int FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) override;
    int FRemoveXattr(int fd, const char* name) override;
    int FChown(int fd, uid_t owner, gid_t group) override;
    int FChmod(int fd, mode_t mode) override;

  private:
    struct Rule {
        Op op;
        std::string pattern;
        int error = 0;       // for failures
        int nth = 0;         // for failures
        size_t limit = 0;    // for limits; 0 when the rule is a failure
        off_t flip_at = -1;  // for flips
        int seen = 0;
    };
    // What to do with a call of `op` on `paths`: fail (true, errno in *error), else at most
    // *size bytes (lowered by limits) and, for a flip, its offset in *flip_at.
    bool Decide(Op op, const std::vector<std::string>& paths, int* error, size_t* size,
                off_t* flip_at);
    bool HasRules(Op op) const;

    // A call of `op` on `paths` that is to fail: -1 with errno set; 0 otherwise.
    int Failed(Op op, const std::vector<std::string>& paths);

    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    int matched_[13] = {};
};

}  // namespace norv::testing
