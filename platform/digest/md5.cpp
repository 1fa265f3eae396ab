#include "platform/digest/md5.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace norv::platform {

std::string HexOf(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string BytesOfHex(std::string_view hex) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return 0;
    };
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1]));
    }
    return out;
}

namespace {

struct CtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string Hex(const unsigned char* digest, unsigned length) {
    return HexOf(std::string_view(reinterpret_cast<const char*>(digest), length));
}

// Each algorithm fetched from the provider once: an implicit fetch on every file takes a lock
// and allocates, which costs as much as hashing a small file.
const EVP_MD* Md5Algorithm() {
    static const EVP_MD* md5 = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
        return fetched ? fetched : EVP_md5();
    }();
    return md5;
}

const EVP_MD* Sha256Algorithm() {
    static const EVP_MD* sha256 = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched ? fetched : EVP_sha256();
    }();
    return sha256;
}

enum class Algorithm { kMd5, kSha256 };

}  // namespace

// One digest computation. Each thread keeps one context per algorithm for reuse; a stream made
// while that one is in use gets a context of its own.
class DigestStream {
  public:
    // `keep`: a stream kept for message after message (Restart), with a context of its own.
    explicit DigestStream(Algorithm algorithm, bool keep = false) : algorithm_(algorithm) {
        thread_local Reusable reusable[2];
        Reusable& mine = reusable[algorithm == Algorithm::kMd5 ? 0 : 1];
        if (!keep && !mine.in_use && mine.ctx) {
            mine.in_use = true;
            reusable_ = &mine;
            ctx_ = mine.ctx.get();
        } else {
            own_.reset(EVP_MD_CTX_new());
            ctx_ = own_.get();
        }
        Restart();
    }
    ~DigestStream() {
        if (reusable_) reusable_->in_use = false;
    }
    DigestStream(const DigestStream&) = delete;
    DigestStream& operator=(const DigestStream&) = delete;

    void Restart() {
        EVP_DigestInit_ex2(ctx_, algorithm_ == Algorithm::kMd5 ? Md5Algorithm() : Sha256Algorithm(),
                           nullptr);
    }
    void Update(const void* data, size_t n) { EVP_DigestUpdate(ctx_, data, n); }
    std::string Finish() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        EVP_DigestFinal_ex(ctx_, digest, &length);
        return Hex(digest, length);
    }

  private:
    struct Reusable {
        std::unique_ptr<EVP_MD_CTX, CtxFree> ctx{EVP_MD_CTX_new()};
        bool in_use = false;
    };
    Algorithm algorithm_;
    Reusable* reusable_ = nullptr;
    std::unique_ptr<EVP_MD_CTX, CtxFree> own_;
    EVP_MD_CTX* ctx_ = nullptr;
};

class Md5Stream : public DigestStream {
  public:
    Md5Stream() : DigestStream(Algorithm::kMd5) {}
};

// MD5 and SHA-256 fed with the same bytes.
class BothDigests {
  public:
    BothDigests() : md5_(Algorithm::kMd5), sha256_(Algorithm::kSha256) {}
    void Update(const void* data, size_t n) {
        md5_.Update(data, n);
        sha256_.Update(data, n);
    }
    DigestStream& md5() { return md5_; }
    DigestStream& sha256() { return sha256_; }

  private:
    DigestStream md5_;
    DigestStream sha256_;
};

Sha256Digester::Sha256Digester()
    : stream_(std::make_unique<DigestStream>(Algorithm::kSha256, true)) {}
Sha256Digester::~Sha256Digester() = default;
void Sha256Digester::Restart() { stream_->Restart(); }
void Sha256Digester::Update(std::string_view bytes) { stream_->Update(bytes.data(), bytes.size()); }
std::string Sha256Digester::HexDigest() { return stream_->Finish(); }

Md5Digester::Md5Digester() : stream_(std::make_unique<Md5Stream>()) {}
Md5Digester::~Md5Digester() = default;
void Md5Digester::Update(std::string_view bytes) { stream_->Update(bytes.data(), bytes.size()); }
std::string Md5Digester::HexDigest() { return stream_->Finish(); }

namespace {

// A ReadToEnd sink that feeds `md5`.
std::function<Status(std::string_view)> UpdateWith(Md5Stream& md5) {
    return [&md5](std::string_view block) {
        md5.Update(block.data(), block.size());
        return Status::Ok();
    };
}

// Reads up to `want` bytes at `offset` into `out`; false when a read fails.
bool ReadAt(Env& env, int fd, int64_t offset, int64_t want, std::vector<char>& out) {
    out.resize(static_cast<size_t>(want));
    int64_t got = 0;
    while (got < want) {
        ssize_t n = env.PRead(fd, out.data() + got, static_cast<size_t>(want - got),
                              static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;  // shrunk meanwhile: what is there is the sample
        got += n;
    }
    out.resize(static_cast<size_t>(got));
    return true;
}

}  // namespace

ContentDigest UnreadContent() { return {Md5Digest(), Sha256Digest(), true}; }

ContentDigest SampledDigestOfOpenFile(Env& env, int fd, int64_t size) {
    BothDigests both;
    const std::string head = "norv sampled " + std::to_string(size) + "\n";
    both.Update(head.data(), head.size());
    std::vector<char> block;
    const int64_t want = std::min(size, kSampleBytes);
    for (int64_t offset : {int64_t{0}, size - want}) {
        if (!ReadAt(env, fd, offset, want, block)) return UnreadContent();
        both.Update(block.data(), block.size());
    }
    return {Md5Digest(kSampledDigestMark + both.md5().Finish().substr(0, 31)),
            Sha256Digest(kSampledDigestMark + both.sha256().Finish().substr(0, 63)), false};
}

std::string Md5Hex(std::string_view bytes) {
    Md5Stream md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.Finish();
}

std::string Sha256Hex(std::string_view bytes) {
    DigestStream sha256(Algorithm::kSha256);
    sha256.Update(bytes.data(), bytes.size());
    return sha256.Finish();
}

int OpenForDigest(Env& env, int dirfd, const char* name, MountGuard* mounts, Status* refusal) {
    // Reading for a fingerprint should not disturb access times; only the owner or root may ask.
    int fd = OpenRegularForReading(env, dirfd, name, O_NOATIME, mounts, refusal);
    if (fd < 0 && errno == EPERM) fd = OpenRegularForReading(env, dirfd, name, 0, mounts, refusal);
    return fd;
}

std::string Md5OfFile(Env& env, const std::string& path) {
    return Md5OfFileAt(env, AT_FDCWD, path.c_str());
}

namespace {

// The digest of the open regular file `fd` of size `size`; closes it.
ContentDigest Md5OfOpenFile(Env& env, int fd, off_t size,
                            const HashBudget& budget = kDefaultHashBudget,
                            const std::atomic<bool>* stop = nullptr) {
    ContentDigest digest = DigestOfOpenFile(env, fd, size, budget, stop);
    env.Close(fd);
    return digest;
}

}  // namespace

bool IsSampledDigest(std::string_view digest) {
    return !digest.empty() && digest[0] == kSampledDigestMark;
}

namespace {

// Files this large are read by offsets, their holes found and skipped; on a smaller one the two
// more system calls cost more than they could save.
constexpr int64_t kSparseFrom = int64_t{1} << 20;

// How far beyond what is hashed a large file is asked to be read ahead. 8 MiB a file keeps a
// disk busy with one file in hand; with every lane of a worker busy (16 or 32 files) it is at
// most 256 MiB of page cache per worker, given back as the lanes hash it.
constexpr int64_t kReadAheadBytes = int64_t{8} << 20;

// What a hole reads as, handed out a block at a time without reading it.
std::string_view Zeros(int64_t most) {
    static const std::vector<char> zeros(size_t{1} << 18);
    return {zeros.data(), static_cast<size_t>(std::min<int64_t>(most, zeros.size()))};
}

}  // namespace

ContentRead::ContentRead(Env& env, int fd, int64_t size, const HashBudget& budget,
                         const std::atomic<bool>* stop, const std::function<void()>* pause)
    : env_(env),
      fd_(fd),
      size_(size),
      stop_(stop),
      pause_(pause),
      deadline_(env.SteadyNow() + budget.longest) {
    // Read-ahead advice pays only on large files; on small ones it is one more system call.
    if (size < kSparseFrom) return;
    env.FAdvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const off_t at = env.LSeek(fd, 0, SEEK_CUR);
    if (at < 0) return;
    sparse_ = true;
    start_ = at;
}

ContentRead::Next ContentRead::Read(std::span<char> buffer, std::string_view& block) {
    if (pause_ && hashed_ > 0 && !ended_) {
        // The pause's own work is not the file's: an attacker keeping watched files busy cannot
        // push a large file past its time and have it sampled (and reported altered).
        const auto paused_at = env_.SteadyNow();
        (*pause_)();
        deadline_ += env_.SteadyNow() - paused_at;
    }
    if (sparse_) return ReadSparse(buffer, block);
    if (ended_) return Next::kEnd;
    ssize_t n;
    do {
        n = env_.Read(fd_, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Next::kFailed;
    if (n == 0) return Next::kEnd;
    if (stop_ && stop_->load(std::memory_order_relaxed)) return Next::kFailed;
    // Nothing past the size the file had when opened is hashed, however fast it grows.
    const auto take = std::min<int64_t>(n, size_ - hashed_);
    block = std::string_view(buffer.data(), static_cast<size_t>(take));
    hashed_ += take;
    total_ += n;
    // A short read that reaches the size is the end: no second call to learn it. Any other
    // short read (a network file system) reads on.
    if (hashed_ >= size_ && take < n) {
        ended_ = true;
    } else if (hashed_ < size_ && env_.SteadyNow() >= deadline_) {
        return Next::kOverTime;
    } else if (static_cast<size_t>(n) < buffer.size() && total_ == size_) {
        ended_ = true;
    }
    return Next::kBlock;
}

std::optional<DataExtent> NextDataExtent(Env& env, int fd, off_t at, off_t limit) {
    const off_t data = env.LSeek(fd, at, SEEK_DATA);
    if (data < 0) {
        if (errno == ENXIO) return std::nullopt;
        return DataExtent{at, limit};
    }
    const off_t begin = std::clamp(data, at, limit);
    const off_t hole = env.LSeek(fd, data, SEEK_HOLE);
    // A region the file cannot bound is data to the limit; either way the extent ends past its
    // start, so a caller stepping from extent to extent moves on.
    return DataExtent{begin, hole > begin ? std::min(hole, limit) : limit};
}

ContentRead::Found ContentRead::FindData(int64_t at) {
    const auto extent = NextDataExtent(env_, fd_, static_cast<off_t>(start_ + at),
                                       static_cast<off_t>(start_ + size_));
    if (!extent) {
        // No data from `at` on: a hole to the end as the file is now (never past the size
        // measured), or the end itself when the file shrank meanwhile.
        const off_t end = env_.LSeek(fd_, 0, SEEK_END);
        if (end < 0) return Found::kUnknown;
        if (end - start_ <= at) return Found::kEnded;
        hole_end_ = data_end_ = std::min<int64_t>(end - start_, size_);
        return Found::kData;
    }
    hole_end_ = extent->begin - start_;
    data_end_ = extent->end - start_;
    return Found::kData;
}

ContentRead::Next ContentRead::ReadSparse(std::span<char> buffer, std::string_view& block) {
    if (ended_) return Next::kEnd;
    if (hashed_ >= data_end_) {
        switch (FindData(hashed_)) {
            case Found::kData:
                break;
            case Found::kEnded:
                return Next::kEnd;
            case Found::kUnknown:
                hole_end_ = hashed_;
                data_end_ = size_;
                break;
        }
    }
    if (hashed_ < hole_end_) {
        return Handed(block, Zeros(std::min<int64_t>(hole_end_ - hashed_, std::ssize(buffer))));
    }
    if (hashed_ + kReadAheadBytes / 2 > advised_ && advised_ < size_) {
        // The kernel is asked for the next stretch before it is needed, without waiting for it,
        // so several blocks of this file are in flight while the lanes hash the last ones.
        const int64_t from = std::max(advised_, hashed_);
        advised_ = std::min<int64_t>(hashed_ + kReadAheadBytes, size_);
        env_.FAdvise(fd_, static_cast<off_t>(start_ + from), static_cast<off_t>(advised_ - from),
                     POSIX_FADV_WILLNEED);
    }
    const auto want =
        static_cast<size_t>(std::min<int64_t>(data_end_ - hashed_, std::ssize(buffer)));
    ssize_t n;
    do {
        n = env_.PRead(fd_, buffer.data(), want, static_cast<off_t>(start_ + hashed_));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Next::kFailed;
    if (n == 0) return Next::kEnd;  // shrunk meanwhile: the second look tells
    return Handed(block, std::string_view(buffer.data(), static_cast<size_t>(n)));
}

ContentRead::Next ContentRead::Handed(std::string_view& block, std::string_view bytes) {
    if (stop_ && stop_->load(std::memory_order_relaxed)) return Next::kFailed;
    block = bytes;
    hashed_ += std::ssize(bytes);
    // The size reached is the end, known without a call: no pause before it is told.
    ended_ = hashed_ >= size_;
    if (hashed_ < size_ && env_.SteadyNow() >= deadline_) return Next::kOverTime;
    return Next::kBlock;
}

ContentDigest DigestOfOpenFile(Env& env, int fd, int64_t size, const HashBudget& budget,
                               const std::atomic<bool>* stop, const std::function<void()>* pause) {
    if (size > budget.most_bytes) return SampledDigestOfOpenFile(env, fd, size);
    thread_local std::vector<char> buffer(1 << 18);
    BothDigests both;
    ContentRead read(env, fd, size, budget, stop, pause);
    for (;;) {
        std::string_view block;
        switch (read.Read(buffer, block)) {
            case ContentRead::Next::kBlock:
                both.Update(block.data(), block.size());
                continue;
            case ContentRead::Next::kEnd:
                return {Md5Digest(both.md5().Finish()), Sha256Digest(both.sha256().Finish()), true};
            case ContentRead::Next::kOverTime:
                return SampledDigestOfOpenFile(env, fd, size);
            case ContentRead::Next::kFailed:
                break;
        }
        return UnreadContent();
    }
}

std::string Md5OfDescriptor(Env& env, int fd) {
    std::vector<char> buffer(1 << 16);
    Md5Stream md5;
    Status read = ReadToEnd(env, fd, buffer, UpdateWith(md5), {}, 0);
    return read.ok() ? md5.Finish() : std::string(kUnreadableDigest);
}

std::string Md5OfFileAt(Env& env, int dirfd, const char* name) {
    MountGuard mounts(env);
    int fd = OpenForDigest(env, dirfd, name, &mounts);
    if (fd < 0) return std::string(kUnreadableDigest);
    struct stat st {};
    if (env.FStat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        env.Close(fd);
        return std::string(kUnreadableDigest);
    }
    return Md5OfOpenFile(env, fd, st.st_size).md5.text();
}

std::string Md5OfSymlink(Env& env, const std::string& path) {
    return Md5OfSymlinkAt(env, AT_FDCWD, path.c_str());
}

std::string Md5OfSymlinkAt(Env& env, int dirfd, const char* name) {
    const auto target = ReadLinkTarget(env, dirfd, name);
    return target ? Md5Hex(*target) : std::string(kUnreadableDigest);
}

}  // namespace norv::platform
