#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"

#include <fcntl.h>
#include <sys/capability.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace norv::platform {
namespace {

// The largest value the kernel keeps in one extended attribute (XATTR_SIZE_MAX), and the
// longest list of names it gives (XATTR_LIST_MAX).
constexpr size_t kLargestXattr = 65536;
constexpr size_t kLongestXattrList = 65536;

// A value as a record keeps it: whole, or its digest when larger than the bound.
std::string Kept(std::string_view value) {
    if (value.size() <= kMostKeptXattrBytes) return std::string(value);
    return kDigestedXattrMark + Sha256Hex(value);
}

// Calls `each` with every name of a listing (names each ended by a NUL).
template <typename Each>
void ForEachName(std::string_view names, Each each) {
    for (size_t at = 0; at < names.size();) {
        size_t end = names.find('\0', at);
        if (end == std::string_view::npos) end = names.size();
        if (end > at) each(names.substr(at, end - at));
        at = end + 1;
    }
}

void AppendLittleEndian32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// Every attribute of the listing but the capabilities and the ACL, in ExtendedFacts::xattrs'
// form; nothing (and the errno) when one cannot be read. An attribute removed between the
// listing and its reading is left out: the file then simply has one fewer.
std::optional<std::string> OtherXattrs(Env& env, int fd, std::string_view list, int& error) {
    std::vector<std::string_view> others;
    ForEachName(list, [&](std::string_view name) {
        if (name != kCapabilityXattr && name != kAclXattr) others.push_back(name);
    });
    if (others.empty()) return std::string();
    std::sort(others.begin(), others.end());
    thread_local std::vector<char> buffer(kLargestXattr);
    std::string encoded;
    Sha256Digester digest;
    bool digested = false;
    for (std::string_view name : others) {
        const std::string name_text(name);
        ssize_t got;
        do {
            got = env.FGetXattr(fd, name_text.c_str(), buffer.data(), buffer.size());
        } while (got < 0 && errno == EINTR);
        if (got < 0 && errno == ENODATA) continue;
        if (got < 0) {
            error = errno;
            return std::nullopt;
        }
        std::string entry = name_text;
        entry.push_back('\0');
        AppendLittleEndian32(entry, static_cast<uint32_t>(got));
        entry.append(buffer.data(), static_cast<size_t>(got));
        // Past the bound only the digest goes on: a record stays small whatever an owner adds.
        if (!digested && encoded.size() + entry.size() > kMostKeptOtherXattrBytes) {
            digest.Update(encoded);
            encoded.clear();
            digested = true;
        }
        if (digested) {
            digest.Update(entry);
        } else {
            encoded += entry;
        }
    }
    if (!digested) return encoded;
    return kDigestedXattrMark + digest.HexDigest();
}

bool Listed(std::string_view names, std::string_view wanted) {
    bool found = false;
    ForEachName(names, [&](std::string_view name) { found = found || name == wanted; });
    return found;
}

// What a link has: its own attributes are not looked at by anyone.
XattrFacts NoAttributes() {
    XattrFacts none;
    none.capabilities = none.acl = none.others = std::string();
    none.inode_flags = 0;
    return none;
}

void TakeAttributes(XattrFacts&& read, Fingerprint& result) {
    result.capabilities = std::move(read.capabilities);
    result.acl = std::move(read.acl);
    result.xattrs = std::move(read.others);
    result.inode_flags = read.inode_flags;
    result.capabilities_error = read.capabilities_error;
    result.acl_error = read.acl_error;
    result.xattrs_error = read.others_error;
    result.inode_flags_error = read.inode_flags_error;
}

// Reads the attribute `name` of `fd`: its kept value, "" when the file has none, nothing (and
// the errno) when it cannot be read.
void ReadXattr(Env& env, int fd, const char* name, std::optional<std::string>& value, int& error) {
    thread_local std::vector<char> buffer(kLargestXattr);
    for (;;) {
        const ssize_t got = env.FGetXattr(fd, name, buffer.data(), buffer.size());
        if (got >= 0) {
            value = Kept(std::string_view(buffer.data(), static_cast<size_t>(got)));
            return;
        }
        if (errno == EINTR) continue;
        if (errno == ENODATA) {
            value = std::string();
        } else {
            error = errno;
        }
        return;
    }
}

}  // namespace

XattrFacts ReadXattrFacts(Env& env, int fd) {
    XattrFacts facts;
    // Most files have no extended attribute at all: one short listing answers for them. A list
    // too long for it (names an owner may add at will) is asked again in the kernel's longest.
    char names[1024];
    thread_local std::vector<char> long_names;
    std::string_view list;
    ssize_t listed = env.FListXattr(fd, names, sizeof names);
    if (listed >= 0) {
        list = std::string_view(names, static_cast<size_t>(listed));
    } else if (errno == ERANGE) {
        long_names.resize(kLongestXattrList);
        listed = env.FListXattr(fd, long_names.data(), long_names.size());
        if (listed >= 0) list = std::string_view(long_names.data(), static_cast<size_t>(listed));
    }
    if (listed < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP)) {
        // A file system without extended attributes: the file has none.
        facts.capabilities = facts.acl = facts.others = std::string();
    } else if (listed < 0) {
        facts.others_error = errno;
    } else {
        if (!Listed(list, kCapabilityXattr)) facts.capabilities = std::string();
        if (!Listed(list, kAclXattr)) facts.acl = std::string();
        facts.others = OtherXattrs(env, fd, list, facts.others_error);
    }
    // Without a listing these two are still asked for by name; the others cannot be.
    if (!facts.capabilities)
        ReadXattr(env, fd, kCapabilityXattr, facts.capabilities, facts.capabilities_error);
    if (!facts.acl) ReadXattr(env, fd, kAclXattr, facts.acl, facts.acl_error);
    unsigned flags = 0;
    if (env.GetInodeFlags(fd, &flags) == 0) {
        facts.inode_flags = flags & kComparedInodeFlags;
    } else if (errno == ENOTTY || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EINVAL) {
        facts.inode_flags = 0;  // a file system without them
    } else {
        facts.inode_flags_error = errno;
    }
    return facts;
}

ExtendedFacts ExtendedFactsOf(Env& env, int fd, const struct stat& st) {
    ExtendedFacts facts;
    const FileFacts file = FactsFromStat(st);
    facts.type = file.kind;
    facts.mode = static_cast<uint32_t>(st.st_mode & 07777);
    facts.owner = st.st_uid;
    facts.group = st.st_gid;
    XattrFacts xattrs = S_ISLNK(st.st_mode) ? NoAttributes() : ReadXattrFacts(env, fd);
    facts.capabilities = std::move(xattrs.capabilities);
    facts.acl = std::move(xattrs.acl);
    facts.xattrs = std::move(xattrs.others);
    facts.inode_flags = xattrs.inode_flags;
    return facts;
}

std::string PlaceKind(const struct stat& st) {
    const std::string device =
        " " + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    if (S_ISDIR(st.st_mode)) return kFolderKind;
    if (S_ISFIFO(st.st_mode)) return "fifo";
    if (S_ISSOCK(st.st_mode)) return "socket";
    if (S_ISCHR(st.st_mode)) return "char-device" + device;
    if (S_ISBLK(st.st_mode)) return "block-device" + device;
    return "";
}

Result<PlaceFacts> FolderFactsOf(Env& env, int fd, const std::string& path) {
    struct stat st {};
    if (env.FStat(fd, &st) != 0) return Status::FromErrno(errno, Message(path));
    return PlaceFacts{PlaceKind(st), ExtendedFactsOf(env, fd, st), {st.st_dev, st.st_ino}};
}

Result<PlaceFacts> SpecialFactsAt(const DirectoryHandle& folder, const std::string& name,
                                  const std::string& path) {
    struct stat st {};
    if (folder.env().FStatAt(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return Status::FromErrno(errno, Message(path));
    }
    PlaceFacts place;
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode)) return place;
    place.kind = PlaceKind(st);
    place.facts.type = EntryKind::kOther;
    place.facts.mode = static_cast<uint32_t>(st.st_mode & 07777);
    place.facts.owner = st.st_uid;
    place.facts.group = st.st_gid;
    place.identity = {st.st_dev, st.st_ino};
    return place;
}

std::vector<FactChange> ComparePlaces(const PlaceFacts& recorded, const PlaceFacts& now) {
    std::vector<FactChange> changes;
    if (recorded.kind != now.kind) changes.push_back({Fact::kType, recorded.kind, now.kind});
    for (FactChange& change : CompareFacts(std::nullopt, recorded.facts, std::nullopt, now.facts)) {
        if (change.fact != Fact::kType) changes.push_back(std::move(change));
    }
    return changes;
}

std::string Fingerprint::Md5Text() const {
    if (md5.measured()) return md5.hex();
    const bool has_content = facts.kind == EntryKind::kRegular || facts.kind == EntryKind::kSymlink;
    return has_content ? md5.text() : std::string();
}

ExtendedFacts Fingerprint::Extended() const {
    ExtendedFacts extended;
    extended.sha256 = sha256;
    extended.type = facts.kind;
    extended.mode = static_cast<uint32_t>(facts.mode & 07777);
    extended.owner = facts.owner;
    extended.group = facts.group;
    extended.capabilities = capabilities;
    extended.acl = acl;
    extended.xattrs = xattrs;
    extended.inode_flags = inode_flags;
    return extended;
}

namespace {

// FingerprintAt up to the content: opens the entry and looks at it. Gives the open descriptor of
// a regular file whose content is to be read, its facts in `result` and `st`, or -1 when
// `result` is already complete.
int OpenToFingerprint(const DirectoryHandle& folder, const std::string& name, Fingerprint& result,
                      struct stat& st) {
    Env& env = folder.env();
    const int dirfd = folder.fd();
    MountGuard mounts(env);
    int fd = OpenForDigest(env, dirfd, name.c_str(), &mounts, &result.cause);
    if (fd < 0 && !result.cause.ok()) {
        // Another user's file system on the file itself: asked nothing, not even its facts.
        result.facts.kind = EntryKind::kRegular;
        result.md5 = Md5Digest();
        return -1;
    }
    if (fd < 0) {
        // A link (O_NOFOLLOW refused it) or a file that cannot be opened: its facts come from
        // the entry itself.
        struct stat before {};
        if (env.FStatAt(dirfd, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        result.facts = FactsFromStat(before);
        if (result.facts.kind == EntryKind::kSymlink) {
            const auto target = ReadLinkTarget(env, dirfd, name.c_str());
            if (!target) {
                result.md5 = Md5Digest();
                return -1;
            }
            const std::string& text = *target;
            result.md5 = Md5Digest(Md5Hex(text));
            result.sha256 = Sha256Digest(Sha256Hex(text));
            TakeAttributes(NoAttributes(), result);
            // A link replaced between the look and the read is another link.
            struct stat after {};
            result.changed_while_read =
                env.FStatAt(dirfd, name.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0 ||
                !SameTimes(before, after);
        } else if (result.facts.kind == EntryKind::kRegular) {
            result.md5 = Md5Digest();
        }
        return -1;
    }
    if (env.FStat(fd, &st) != 0) {
        env.Close(fd);
        return -1;
    }
    result.facts = FactsFromStat(st);
    if (!S_ISREG(st.st_mode)) {
        env.Close(fd);
        return -1;
    }
    return fd;
}

// FingerprintAt after the content: its digests, then the attributes and the second look.
void FinishFingerprint(Env& env, int fd, const struct stat& st, ContentDigest content,
                       Fingerprint& result) {
    result.md5 = std::move(content.md5);
    result.sha256 = std::move(content.sha256);
    result.content_whole = content.whole;
    if (result.md5.measured()) {
        TakeAttributes(ReadXattrFacts(env, fd), result);
        // Any write, truncation, chmod, chown or attribute change since the first look moves
        // the change time: what was read is then no one state of the file.
        struct stat after {};
        result.changed_while_read = env.FStat(fd, &after) != 0 || !SameTimes(st, after);
    }
}

}  // namespace

Fingerprint FingerprintAt(const DirectoryHandle& folder, const std::string& name,
                          const std::atomic<bool>* stop, const HashBudget& budget,
                          const std::function<void()>* pause) {
    Fingerprint result;
    struct stat st {};
    const int fd = OpenToFingerprint(folder, name, result, st);
    if (fd < 0) return result;
    Env& env = folder.env();
    ScopedFd open(env, fd);
    FinishFingerprint(env, fd, st, DigestOfOpenFile(env, fd, st.st_size, budget, stop, pause),
                      result);
    return result;
}

FingerprintLanes::FingerprintLanes(DigestKernel kernel, const std::atomic<bool>* stop,
                                   const HashBudget& budget, IoPath io, bool kernel_forced,
                                   size_t batch_files)
    : lanes_(kernel, kernel_forced),
      sha256_lanes_(kernel, kernel_forced),
      io_(io),
      batch_files_(batch_files),
      reader_tried_(io == IoPath::kPlain),
      stop_(stop),
      budget_(budget) {}

FingerprintLanes::~FingerprintLanes() {
    for (File& file : files_) {
        if (file.fd >= 0) file.env->Close(file.fd);
    }
    for (Queued& queued : queue_) {
        if (queued.result.fd >= 0) queued.folder->env().Close(queued.result.fd);
    }
}

void FingerprintLanes::Add(const DirectoryHandle& folder, const std::string& name, Done done) {
    Env& env = folder.env();
    if (!reader_tried_) {
        reader_tried_ = true;
        reader_ = env.NewBatchReader(env, io_, batch_files_);
        if (reader_) batch_files_ = reader_->batch_files();
    }
    // Batched only through the Env the reader was made by: its folders' calls are its own.
    if (reader_ && !reader_->broken() && &env == &reader_->env()) {
        queue_.push_back({&folder, &name, std::move(done), false, {}});
        return;
    }
    Fingerprint result;
    struct stat st {};
    const int fd = OpenToFingerprint(folder, name, result, st);
    if (fd < 0) return done(std::move(result));
    AddOpen(env, fd, st, std::move(result), std::move(done), std::nullopt);
}

void FingerprintLanes::AddOpen(Env& env, int fd, const struct stat& st, Fingerprint result,
                               Done done, std::optional<std::vector<char>> whole, bool batch_fd) {
    if (st.st_size > budget_.most_bytes) {
        // Sampled at once: there is nothing to share with the other lanes.
        FinishFingerprint(env, fd, st, SampledDigestOfOpenFile(env, fd, st.st_size), result);
        env.Close(fd);
        return done(std::move(result));
    }
    int lane = 0;
    while (files_[lane].fd >= 0) ++lane;
    File& file = files_[lane];
    file.batch_fd = batch_fd;
    file.env = &env;
    file.fd = fd;
    file.st = st;
    file.result = std::move(result);
    if (whole) {
        file.whole = std::move(whole);
        file.fed = false;
    } else {
        file.read.emplace(env, fd, st.st_size, budget_, stop_);
        if (file.buffer.empty()) file.buffer.resize(kBlockBytes);
    }
    if (sha256_in_lanes()) {
        sha256_lanes_.Start(lane);
    } else {
        file.sha256.Restart();
    }
    file.done = std::move(done);
    lanes_.Start(lane);
    ++in_hand_;
}

void FingerprintLanes::OpenQueue() {
    std::vector<BatchReader::Request> requests;
    std::vector<Queued*> asked;
    for (Queued& queued : queue_) {
        if (queued.opened) continue;
        requests.push_back({queued.folder->fd(), queued.name->c_str(), budget_.most_bytes});
        asked.push_back(&queued);
    }
    std::vector<BatchReader::Result> results;
    reader_->Run(requests, results, stop_);
    if (reader_->broken() && !reader_failure_said_) {
        reader_failure_said_ = true;
        if (on_reader_failure_) on_reader_failure_(reader_->failure());
    }
    for (size_t i = 0; i < asked.size(); ++i) {
        asked[i]->result = std::move(results[i]);
        asked[i]->opened = true;
    }
}

void FingerprintLanes::AddQueued() {
    if (!queue_.front().opened) OpenQueue();
    Queued queued = std::move(queue_.front());
    queue_.pop_front();
    Env& env = queued.folder->env();
    BatchReader::Result& batch = queued.result;
    Fingerprint result;
    struct stat st {};
    const int fd = batch.fd;
    if (fd < 0) {
        // Not opened in the batch (a link, a mount point, a lease...): opened afresh its own way.
        const int own = OpenToFingerprint(*queued.folder, *queued.name, result, st);
        if (own < 0) return queued.done(std::move(result));
        return AddOpen(env, own, st, std::move(result), std::move(queued.done), std::nullopt);
    }
    // Opened in the batch: looked at as OpenToFingerprint looks, once.
    if (batch.looked) {
        st = batch.st;
    } else if (env.FStat(fd, &st) != 0) {
        reader_->Close(fd);
        return queued.done(std::move(result));
    }
    result.facts = FactsFromStat(st);
    if (!S_ISREG(st.st_mode)) {
        reader_->Close(fd);
        return queued.done(std::move(result));
    }
    std::optional<std::vector<char>> whole;
    if (batch.whole) whole = std::move(batch.bytes);
    AddOpen(env, fd, st, std::move(result), std::move(queued.done), std::move(whole), true);
}

void FingerprintLanes::Finish(int lane, ContentDigest content) {
    File& file = files_[lane];
    FinishFingerprint(*file.env, file.fd, file.st, std::move(content), file.result);
    // A descriptor the batch opened is closed with its next batch.
    if (file.batch_fd) {
        reader_->Close(file.fd);
    } else {
        file.env->Close(file.fd);
    }
    file.batch_fd = false;
    file.fd = -1;
    file.read.reset();
    file.whole.reset();
    --in_hand_;
    Done done = std::move(file.done);
    file.done = nullptr;
    done(std::move(file.result));
}

void FingerprintLanes::Step() {
    using Next = ContentRead::Next;
    using State = DigestLaneState;
    // A file's block goes to its MD5 lane and to its SHA-256 lane or stream; the next is read
    // once both lanes have hashed all they were given.
    auto hungry = [&](int lane) {
        return lanes_.state(lane) == State::kHungry &&
               (!sha256_in_lanes() || sha256_lanes_.state(lane) == State::kHungry);
    };
    auto feed = [&](int lane, File& file, std::string_view block) {
        if (sha256_in_lanes()) {
            sha256_lanes_.Feed(lane, block.data(), block.size());
        } else {
            file.sha256.Update(block);
        }
        lanes_.Feed(lane, block.data(), block.size());
    };
    auto end = [&](int lane) {
        if (sha256_in_lanes()) sha256_lanes_.End(lane);
        lanes_.End(lane);
    };
    // Every file whose lanes have hashed all they were given reads its next block. A file read
    // whole in a batch gives its bytes in one.
    for (int lane = 0; lane < lanes_.width(); ++lane) {
        File& file = files_[lane];
        while (file.fd >= 0 && hungry(lane)) {
            if (file.whole) {
                if (file.fed) {
                    end(lane);
                } else {
                    feed(lane, file, std::string_view(file.whole->data(), file.whole->size()));
                    file.fed = true;
                }
                continue;
            }
            std::string_view block;
            const Next next = file.read->Read(file.buffer, block);
            if (next == Next::kBlock) {
                feed(lane, file, block);
            } else if (next == Next::kEnd) {
                end(lane);
            } else {
                lanes_.Drop(lane);
                if (sha256_in_lanes()) sha256_lanes_.Drop(lane);
                Finish(lane, next == Next::kOverTime
                                 ? SampledDigestOfOpenFile(*file.env, file.fd, file.st.st_size)
                                 : UnreadContent());
            }
        }
    }
    lanes_.Run();
    if (sha256_in_lanes()) sha256_lanes_.Run();
    for (int lane = 0; lane < lanes_.width(); ++lane) {
        if (lanes_.state(lane) != State::kDone) continue;
        if (sha256_in_lanes() && sha256_lanes_.state(lane) != State::kDone) continue;
        const Md5Bytes md5 = lanes_.TakeDigest(lane);
        std::string sha256;
        if (sha256_in_lanes()) {
            const Sha256Bytes digest = sha256_lanes_.TakeDigest(lane);
            sha256 = HexOf(std::string_view(reinterpret_cast<const char*>(digest.data()), 32));
        } else {
            sha256 = files_[lane].sha256.HexDigest();
        }
        Finish(lane,
               {Md5Digest(HexOf(std::string_view(reinterpret_cast<const char*>(md5.data()), 16))),
                Sha256Digest(std::move(sha256)), true});
    }
}

}  // namespace norv::platform
