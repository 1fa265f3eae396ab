#include "platform/md5.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
#include <vector>

namespace norv::platform {
namespace {

struct CtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string Hex(const unsigned char* digest, unsigned length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (unsigned i = 0; i < length; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 15];
    }
    return out;
}

// MD5 fetched from the provider once: an implicit fetch on every file takes a lock and
// allocates, which costs as much as hashing a small file.
const EVP_MD* Md5Algorithm() {
    static const EVP_MD* md5 = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
        return fetched ? fetched : EVP_md5();
    }();
    return md5;
}

// One MD5 computation. Each thread keeps one context for reuse; a stream made while that one is
// in use gets a context of its own.
class Md5Stream {
  public:
    Md5Stream() {
        thread_local Reusable reusable;
        if (!reusable.in_use && reusable.ctx) {
            reusable.in_use = true;
            reusable_ = &reusable;
            ctx_ = reusable.ctx.get();
        } else {
            own_.reset(EVP_MD_CTX_new());
            ctx_ = own_.get();
        }
        EVP_DigestInit_ex2(ctx_, Md5Algorithm(), nullptr);
    }
    ~Md5Stream() {
        if (reusable_) reusable_->in_use = false;
    }
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

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
    Reusable* reusable_ = nullptr;
    std::unique_ptr<EVP_MD_CTX, CtxFree> own_;
    EVP_MD_CTX* ctx_ = nullptr;
};

// A ReadToEnd sink that feeds `md5`.
std::function<Status(std::string_view)> UpdateWith(Md5Stream& md5) {
    return [&md5](std::string_view block) {
        md5.Update(block.data(), block.size());
        return Status::Ok();
    };
}

int OpenForDigest(int dirfd, const char* name) {
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    // Reading for a fingerprint should not disturb access times; only the owner or root may ask.
    int fd = ::openat(dirfd, name, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::openat(dirfd, name, flags);
    return fd;
}

}  // namespace

std::string Md5Hex(std::string_view bytes) {
    Md5Stream md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.Finish();
}

std::string Md5OfFile(const std::string& path) { return Md5OfFileAt(AT_FDCWD, path.c_str()); }

namespace {

// The digest of the open regular file `fd` of size `size`; closes it.
std::string Md5OfOpenFile(int fd, off_t size, const std::atomic<bool>* stop = nullptr) {
    // Read-ahead advice pays only on large files; on small ones it is one more system call.
    if (size >= (1 << 20)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    thread_local std::vector<char> buffer(1 << 18);
    Md5Stream md5;
    // A short read that reaches the size the file had when opened is its end: no second call
    // to learn it. Any other short read (a network file system) reads on.
    auto sink = [&md5, stop](std::string_view block) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            return Status::Error(kErrStopped, "stopped");
        }
        md5.Update(block.data(), block.size());
        return Status::Ok();
    };
    Status read = ReadToEnd(fd, buffer, sink, {}, -1, size);
    ::close(fd);
    return read.ok() ? md5.Finish() : std::string(kUnreadableDigest);
}

}  // namespace

std::string Md5OfDescriptor(int fd) {
    std::vector<char> buffer(1 << 16);
    Md5Stream md5;
    Status read = ReadToEnd(fd, buffer, UpdateWith(md5), {}, 0);
    return read.ok() ? md5.Finish() : std::string(kUnreadableDigest);
}

std::string Md5OfFileAt(int dirfd, const char* name) {
    int fd = OpenForDigest(dirfd, name);
    if (fd < 0) return std::string(kUnreadableDigest);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::string(kUnreadableDigest);
    }
    return Md5OfOpenFile(fd, st.st_size);
}

Fingerprint FingerprintAt(int dirfd, const std::string& name, const std::atomic<bool>* stop) {
    Fingerprint result;
    int fd = OpenForDigest(dirfd, name.c_str());
    if (fd < 0) {
        // A link (O_NOFOLLOW refused it) or a file that cannot be opened: its facts come from
        // the entry itself.
        auto facts = LStatAt(dirfd, name, name);
        if (!facts.ok()) return result;
        result.facts = facts.value();
        if (result.facts.kind == EntryKind::kSymlink) {
            result.digest = Md5OfSymlinkAt(dirfd, name.c_str());
        } else if (result.facts.kind == EntryKind::kRegular) {
            result.digest = std::string(kUnreadableDigest);
        }
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return result;
    }
    result.facts = FactsFromStat(st);
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return result;
    }
    result.digest = Md5OfOpenFile(fd, st.st_size, stop);
    return result;
}

std::string Md5OfSymlink(const std::string& path) { return Md5OfSymlinkAt(AT_FDCWD, path.c_str()); }

std::string Md5OfSymlinkAt(int dirfd, const char* name) {
    char target[PATH_MAX];
    ssize_t n = ::readlinkat(dirfd, name, target, sizeof target);
    if (n < 0) return std::string(kUnreadableDigest);
    return Md5Hex(std::string_view(target, static_cast<size_t>(n)));
}

}  // namespace norv::platform
