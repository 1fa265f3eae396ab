#include "platform/md5.h"

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

ContentDigest UnreadContent() { return {std::string(kUnreadableDigest), std::string(), true}; }

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
    return {kSampledDigestMark + both.md5().Finish().substr(0, 31),
            kSampledDigestMark + both.sha256().Finish().substr(0, 63), false};
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

ContentRead::ContentRead(Env& env, int fd, int64_t size, const HashBudget& budget,
                         const std::atomic<bool>* stop)
    : env_(env),
      fd_(fd),
      size_(size),
      stop_(stop),
      deadline_(std::chrono::steady_clock::now() + budget.longest) {
    // Read-ahead advice pays only on large files; on small ones it is one more system call.
    if (size >= (1 << 20)) env.FAdvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

ContentRead::Next ContentRead::Read(std::span<char> buffer, std::string_view& block) {
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
    } else if (hashed_ < size_ && std::chrono::steady_clock::now() >= deadline_) {
        return Next::kOverTime;
    } else if (static_cast<size_t>(n) < buffer.size() && total_ == size_) {
        ended_ = true;
    }
    return Next::kBlock;
}

ContentDigest DigestOfOpenFile(Env& env, int fd, int64_t size, const HashBudget& budget,
                               const std::atomic<bool>* stop) {
    if (size > budget.most_bytes) return SampledDigestOfOpenFile(env, fd, size);
    thread_local std::vector<char> buffer(1 << 18);
    BothDigests both;
    ContentRead read(env, fd, size, budget, stop);
    for (;;) {
        std::string_view block;
        switch (read.Read(buffer, block)) {
            case ContentRead::Next::kBlock:
                both.Update(block.data(), block.size());
                continue;
            case ContentRead::Next::kEnd:
                return {both.md5().Finish(), both.sha256().Finish(), true};
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
    return Md5OfOpenFile(env, fd, st.st_size).md5;
}

std::string Md5OfSymlink(Env& env, const std::string& path) {
    return Md5OfSymlinkAt(env, AT_FDCWD, path.c_str());
}

std::string Md5OfSymlinkAt(Env& env, int dirfd, const char* name) {
    const auto target = ReadLinkTarget(env, dirfd, name);
    return target ? Md5Hex(*target) : std::string(kUnreadableDigest);
}

}  // namespace norv::platform
