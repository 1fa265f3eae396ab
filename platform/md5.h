// MD5 fingerprints as 32 lower-case hexadecimal characters (OpenSSL libcrypto).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace norv::platform {

inline constexpr std::string_view kUnreadableDigest = "                                ";

// How much of one file a fingerprint reads. A file larger than `most_bytes` (a planted sparse
// file of a terabyte reads as zeros for most of an hour), or one whose reading takes longer than
// `longest` (a file that grows as fast as it is read, a stalling disk), is not hashed whole: it
// gets a sampled digest instead. 64 GiB is larger than any page, script or media file a watched
// site holds, and reads in about three minutes from a fast disk; ten minutes leaves room for a
// slow disk to read a file just under that size, so only an abnormal file ever reaches either.
struct HashBudget {
    int64_t most_bytes = int64_t{64} << 30;
    std::chrono::steady_clock::duration longest = std::chrono::minutes(10);
};
inline constexpr HashBudget kDefaultHashBudget{};

// A sampled digest: the mark, then 31 hexadecimal characters of the MD5 of the file's size, its
// first kSampleBytes and its last kSampleBytes. It has the length of a real digest, but the mark
// is never a hexadecimal character nor a blank, so it never equals a real or an unreadable
// digest; two files of the same size that begin and end alike share it.
inline constexpr char kSampledDigestMark = '~';
inline constexpr int64_t kSampleBytes = 1 << 20;
bool IsSampledDigest(std::string_view digest);

// The digest of an open regular file of `size` bytes, read from its start (never past `size`,
// however the file grows meanwhile) within `budget`: whole when it fits the budget, sampled
// otherwise; blanks when it cannot be read. `stop`, when set, gives blanks.
struct ContentDigest {
    std::string digest;
    bool whole = true;  // false: a sampled digest (or blanks after a stop or a read failure)
};
ContentDigest DigestOfOpenFile(Env& env, int fd, int64_t size,
                               const HashBudget& budget = kDefaultHashBudget,
                               const std::atomic<bool>* stop = nullptr);

std::string Md5Hex(std::string_view bytes);

// MD5 of bytes given piece by piece (what a restore writes, as it writes it).
class Md5Stream;
class Md5Digester {
  public:
    Md5Digester();
    ~Md5Digester();
    Md5Digester(const Md5Digester&) = delete;
    Md5Digester& operator=(const Md5Digester&) = delete;
    void Update(std::string_view bytes);
    // 32 lower-case hexadecimal characters; the digester is spent.
    std::string HexDigest();

  private:
    std::unique_ptr<Md5Stream> stream_;
};

// MD5 of the regular file at `path`, streamed in large blocks. The file is opened without
// following a symbolic link and without blocking, and must still be a regular file once open,
// so a FIFO or device swapped in after the listing is never read. Any failure gives 32 blanks,
// which compare unequal to every real digest.
std::string Md5OfFile(Env& env, const std::string& path);

// MD5 of everything in the open file `fd`, read from its start; blanks when it cannot be read.
std::string Md5OfDescriptor(Env& env, int fd);

// The same for the entry `name` of the open folder `dirfd` (within the default budget).
std::string Md5OfFileAt(Env& env, int dirfd, const char* name);
std::string Md5OfSymlinkAt(Env& env, int dirfd, const char* name);

// One entry of the open folder `folder` measured and fingerprinted with a single open: a regular
// file by its content (facts from the opened file itself), a symbolic link by its target text. An
// entry that is gone, or is now a folder, FIFO, socket or device, has kind kMissing or kOther
// and no digest; a file that cannot be read has the blank digest.
//
// A regular file over the hash budget has `content_whole` false and a sampled digest (see
// kSampledDigestMark): its content was not fully hashed, so a change in the middle of it goes
// unseen, and a file hashed whole on one run and sampled on another (the time budget ran out)
// has two different digests with no change at all.
//
// A file held under a write lease by another process is waited for, at most the kernel's
// lease-break time (/proc/sys/fs/lease-break-time), and only once it is known to be a regular
// file: a FIFO or device is never opened in blocking mode.
//
// A file system mounted on the entry itself is measured only when MountGuard admits it; one
// another user mounted is neither read nor asked for its facts: the entry counts as a regular
// file that could not be read, and `cause` says why.
struct Fingerprint {
    FileFacts facts;
    std::string digest;
    bool content_whole = true;
    Status cause;  // why the content could not be read, when more is known than that
    // A regular file whose content could not be read: its blank digest is no fingerprint.
    bool unreadable() const {
        return facts.kind == EntryKind::kRegular && digest == kUnreadableDigest;
    }
};
// `stop`, when given and set, cuts a long read short: the digest is then blank, and the caller,
// which asked for the stop, must not record it.
Fingerprint FingerprintAt(const DirectoryHandle& folder, const std::string& name,
                          const std::atomic<bool>* stop = nullptr,
                          const HashBudget& budget = kDefaultHashBudget);

// MD5 of a symbolic link's target text: a re-pointed link changes its digest.
std::string Md5OfSymlink(Env& env, const std::string& path);

}  // namespace norv::platform
