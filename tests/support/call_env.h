// CallEnv: the base of the tests' Envs. It passes every call on to its target and, for the kinds
// of call a subclass watches, first names the call (its kind and the paths it acts on) to
// Intercept, which may make it fail, and afterwards to Returned. FaultEnv and RaceEnv build on
// it. Paths come from /proc/self/fd, so they are those the kernel gives for the descriptors.
//
// A pattern names the calls a rule applies to: an fnmatch pattern over each path the call acts
// on (both names of a rename); one without "/" is matched against the last name only ("..",
// "index.html"); an empty one matches every call of the kind, those on no path included.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/base/batch_reader.h"
#include "platform/base/env.h"

namespace norv::testing {

enum class Call {
    kOpenAt,  // openat and openat2 alike: both open a name
    kClose,
    kDup,
    kRead,
    kPRead,
    kWrite,
    kLSeek,
    kFTruncate,
    kFsync,
    kFAdvise,
    kFlock,
    kMkOsTemp,
    kFStat,
    kFStatAt,
    kFAccessAt,
    kStatx,
    kFdOpenDir,
    kReadDir,
    kCloseDir,
    kMkdirAt,
    kMknodAt,
    kSymlinkAt,
    kReadLinkAt,
    kRenameAt,
    kUnlinkAt,
    kLinkAt,  // its paths: the linked file's (for an unnamed one its descriptor's) and the new name
    kFChown,
    kFChownAt,
    kFChmod,
    kFChmodAt,
    kFUtimens,
    kGetCwd,
    kGetEuid,
    kFListXattr,
    kFGetXattr,  // its paths: the file's and the attribute's name ("system.posix_acl_access")
    kFSetXattr,
    kFRemoveXattr,
    kCount
};

// Whether `pattern` (see above) names a call on `paths`.
bool PatternMatches(const std::string& pattern, const std::vector<std::string>& paths);

// The path the system gives for an open descriptor; empty when it has none.
std::string PathOfFd(int fd);

class CallEnv : public platform::EnvWrapper {
  public:
    explicit CallEnv(platform::Env* target = platform::Env::Default()) : EnvWrapper(target) {}

    int OpenAt(int dirfd, const char* name, int flags, mode_t mode) override;
    int OpenAt2(int dirfd, const char* name, struct open_how* how, size_t size) override;
    int Close(int fd) override;
    int Dup(int fd) override;
    ssize_t Read(int fd, void* buffer, size_t size) override;
    ssize_t PRead(int fd, void* buffer, size_t size, off_t offset) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    off_t LSeek(int fd, off_t offset, int whence) override;
    int FTruncate(int fd, off_t length) override;
    int Fsync(int fd) override;
    int FAdvise(int fd, off_t offset, off_t length, int advice) override;
    int Flock(int fd, int operation) override;
    int MkOsTemp(char* name_template, int flags) override;
    int FStat(int fd, struct stat* st) override;
    int FStatAt(int dirfd, const char* name, struct stat* st, int flags) override;
    int FAccessAt(int dirfd, const char* name, int mode, int flags) override;
    int Statx(int dirfd, const char* name, int flags, unsigned mask, struct statx* facts) override;
    DIR* FdOpenDir(int fd) override;
    dirent* ReadDir(DIR* dir) override;
    int CloseDir(DIR* dir) override;
    int MkdirAt(int dirfd, const char* name, mode_t mode) override;
    int MknodAt(int dirfd, const char* name, mode_t mode, dev_t device) override;
    int SymlinkAt(const char* target, int dirfd, const char* name) override;
    ssize_t ReadLinkAt(int dirfd, const char* name, char* buffer, size_t size) override;
    int RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                 unsigned flags) override;
    int UnlinkAt(int dirfd, const char* name, int flags) override;
    int LinkAt(int from_dirfd, const char* from, int to_dirfd, const char* to, int flags) override;
    int FChown(int fd, uid_t owner, gid_t group) override;
    int FChownAt(int dirfd, const char* name, uid_t owner, gid_t group, int flags) override;
    int FChmod(int fd, mode_t mode) override;
    int FChmodAt(int dirfd, const char* name, mode_t mode, int flags) override;
    int FUtimens(int fd, const struct timespec times[2]) override;
    char* GetCwd(char* buffer, size_t size) override;
    uid_t GetEuid() override;
    ssize_t FListXattr(int fd, char* names, size_t size) override;
    ssize_t FGetXattr(int fd, const char* name, void* value, size_t size) override;
    int FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) override;
    int FRemoveXattr(int fd, const char* name) override;
    // None: the ring would open, read and close files around Intercept, so the files go the
    // plain way, where every call is named.
    std::unique_ptr<platform::BatchReader> NewBatchReader(platform::Env&, platform::IoPath,
                                                          size_t) override {
        return nullptr;
    }

  protected:
    // What Intercept decides for one call: pass it on, or fail it with `error` (0 makes a read
    // or write return 0: an early end of file, a disk that takes nothing more).
    struct Verdict {
        bool fail = false;
        int error = 0;
    };
    // Whether calls of `call` concern this Env; only those are named (finding paths costs).
    virtual bool Watches(Call call) const = 0;
    // Before a watched call; `size` (reads and writes) may be lowered.
    virtual Verdict Intercept(Call call, const std::vector<std::string>& paths, size_t* size) = 0;
    // After a watched call that was passed on, whatever it returned.
    virtual void Returned(Call, const std::vector<std::string>&) {}

    // The path of the entry `name` of the folder `dirfd`.
    static std::string PathAt(int dirfd, const char* name);

  private:
    template <typename Result, typename Paths, typename Real>
    Result Run(Call call, Result failed, const Paths& paths_of, size_t* size, const Real& real);
};

}  // namespace norv::testing
