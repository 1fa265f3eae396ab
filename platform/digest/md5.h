// The content digests of a fingerprint, MD5 and SHA-256, in lower-case hexadecimal (OpenSSL
// libcrypto, which uses the processor's SHA instructions where it has them). Both come from one
// read of the content.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/digest/digest.h"
#include "platform/fs/file_system.h"

namespace norv::platform {

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

// A sampled digest: the mark, then the first 31 (MD5) or 63 (SHA-256) hexadecimal characters of
// the digest of the file's size, its first kSampleBytes and its last kSampleBytes. It has the
// length of a real digest, but the mark is never a hexadecimal character nor a blank, so it never
// equals a real or an unreadable digest; two files of the same size that begin and end alike
// share it.
inline constexpr int64_t kSampleBytes = 1 << 20;
bool IsSampledDigest(std::string_view digest);

// The digests of an open regular file of `size` bytes, both from one read from its start (never
// past `size`, however the file grows meanwhile) within `budget`: whole when it fits the budget,
// sampled otherwise. When it cannot be read, neither digest is measured. `stop`, when set, gives
// the same.
struct ContentDigest {
    Md5Digest md5;
    Sha256Digest sha256;
    bool whole = true;  // false: sampled digests (or none after a stop or a read failure)
};
ContentDigest DigestOfOpenFile(Env& env, int fd, int64_t size,
                               const HashBudget& budget = kDefaultHashBudget,
                               const std::atomic<bool>* stop = nullptr,
                               const std::function<void()>* pause = nullptr);

// The sampled digests of the open file `fd` of `size` bytes, what DigestOfOpenFile gives a file
// over the budget; and what it gives a file it could not read.
ContentDigest SampledDigestOfOpenFile(Env& env, int fd, int64_t size);
ContentDigest UnreadContent();

// The next run of data in the open file `fd` from offset `at` on, bounded by `limit`, found with
// SEEK_DATA and SEEK_HOLE: [begin, end), with at <= begin <= end <= limit (begin == end == limit
// when the data lies past `limit`). A file that cannot tell where its holes are (a file system
// without hole support, a failed seek) is all data: [at, limit). Nothing when the file holds no
// data from `at` on (a hole to its end, or `at` at or past its end).
struct DataExtent {
    off_t begin = 0;
    off_t end = 0;
};
std::optional<DataExtent> NextDataExtent(Env& env, int fd, off_t at, off_t limit);

// DigestOfOpenFile's whole-content read, one block at a time, for a caller that hashes the
// blocks itself (a digest worker hashing several files' MD5s together). Reads from the file's
// current position, never past `size`, within the budget's time; the caller checks `most_bytes`
// first. A large file's holes are found with SEEK_DATA/SEEK_HOLE and handed out as zeros without
// being read, so a planted sparse file costs the hashing of its size, not the reading of it.
// `pause`, when given, is called between blocks: a caller may do more urgent work there.
class ContentRead {
  public:
    enum class Next {
        kBlock,     // `block` holds the next bytes (in the buffer given)
        kEnd,       // the whole content was read: its digests are the file's
        kOverTime,  // the time budget ran out: SampledDigestOfOpenFile is the file's
        kFailed,    // a read failed or the stop came: UnreadContent
    };
    ContentRead(Env& env, int fd, int64_t size, const HashBudget& budget,
                const std::atomic<bool>* stop, const std::function<void()>* pause = nullptr);
    Next Read(std::span<char> buffer, std::string_view& block);

  private:
    // The next block of a file read by offsets, its holes as zeros.
    Next ReadSparse(std::span<char> buffer, std::string_view& block);
    // Where the data from `at` on begins and ends (hole_end_, data_end_), by NextDataExtent;
    // kUnknown when the file's end cannot be learned (the rest is read then), kEnded when it
    // ends at `at`.
    enum class Found { kData, kEnded, kUnknown };
    Found FindData(int64_t at);
    // `bytes` handed out as the next block.
    Next Handed(std::string_view& block, std::string_view bytes);

    Env& env_;
    int fd_;
    int64_t size_;
    const std::atomic<bool>* stop_;
    const std::function<void()>* pause_;
    std::chrono::steady_clock::time_point deadline_;
    int64_t hashed_ = 0;  // bytes handed out, never more than size_
    int64_t total_ = 0;   // bytes read (by the plain read; the sparse one counts hashed_)
    bool ended_ = false;  // the last block was handed out
    // Reading by offsets, holes skipped: start_ is the offset of the first byte; data from
    // hole_end_ to data_end_ (relative to start_) is read, what lies before hole_end_ is a hole.
    bool sparse_ = false;
    int64_t start_ = 0;
    int64_t hole_end_ = 0;
    int64_t data_end_ = 0;
    int64_t advised_ = 0;  // read-ahead asked up to here (relative to start_)
};

std::string Md5Hex(std::string_view bytes);

// Lower-case hexadecimal of any bytes, and back (a character that is no hex digit reads as 0).
std::string HexOf(std::string_view bytes);
std::string BytesOfHex(std::string_view hex);
std::string Sha256Hex(std::string_view bytes);

// SHA-256 of bytes given piece by piece, with one context kept for file after file.
class DigestStream;
class Sha256Digester {
  public:
    Sha256Digester();
    ~Sha256Digester();
    Sha256Digester(const Sha256Digester&) = delete;
    Sha256Digester& operator=(const Sha256Digester&) = delete;
    void Restart();
    void Update(std::string_view bytes);
    // 64 lower-case hexadecimal characters; Restart() before the next bytes.
    std::string HexDigest();

  private:
    std::unique_ptr<DigestStream> stream_;
};

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

// Opens the entry `name` of `dirfd` for a digest's read (OpenRegularForReading, which with
// `mounts` refuses another user's file system, the reason in `refusal`), without changing its
// access time where this process may ask that. -1 with errno set on failure.
int OpenForDigest(Env& env, int dirfd, const char* name, MountGuard* mounts = nullptr,
                  Status* refusal = nullptr);

// MD5 of a symbolic link's target text: a re-pointed link changes its digest.
std::string Md5OfSymlink(Env& env, const std::string& path);

}  // namespace norv::platform
