#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"

#include <fcntl.h>
#include <sys/capability.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace norv::platform {
namespace {

// The largest value the kernel keeps in one extended attribute (XATTR_SIZE_MAX).
constexpr size_t kLargestXattr = 65536;

uint32_t LittleEndian32(std::string_view bytes, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t LittleEndian16(std::string_view bytes, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// A value as a record keeps it: whole, or its digest when larger than the bound.
std::string Kept(std::string_view value) {
    if (value.size() <= kMostKeptXattrBytes) return std::string(value);
    return kDigestedXattrMark + Sha256Hex(value);
}

// The shown form of a value a record keeps only as its digest: the mark and 64 hexadecimal
// characters, which no value the kernel keeps looks like.
std::optional<std::string> ShownDigested(std::string_view raw) {
    if (raw.size() != 65 || raw[0] != kDigestedXattrMark) return std::nullopt;
    for (char c : raw.substr(1)) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    return "sha256:" + std::string(raw.substr(1));
}

bool Listed(std::string_view names, std::string_view wanted) {
    for (size_t at = 0; at < names.size();) {
        const size_t end = names.find('\0', at);
        const std::string_view name =
            names.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (name == wanted) return true;
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    return false;
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

std::string TypeName(EntryKind kind) {
    switch (kind) {
        case EntryKind::kRegular:
            return "file";
        case EntryKind::kSymlink:
            return "link";
        case EntryKind::kDirectory:
            return "folder";
        case EntryKind::kMissing:
            return "none";
        case EntryKind::kOther:
            break;
    }
    return "other";
}

struct CapFree {
    void operator()(cap_t caps) const { cap_free(caps); }
};

}  // namespace

XattrFacts ReadXattrFacts(Env& env, int fd) {
    XattrFacts facts;
    // Most files have no extended attribute at all: one listing then answers for both. A list
    // too long for the buffer (names an owner may add at will) asks for each by name.
    char names[1024];
    const ssize_t listed = env.FListXattr(fd, names, sizeof names);
    if (listed >= 0) {
        const std::string_view list(names, static_cast<size_t>(listed));
        if (!Listed(list, kCapabilityXattr)) facts.capabilities = std::string();
        if (!Listed(list, kAclXattr)) facts.acl = std::string();
    }
    if (!facts.capabilities)
        ReadXattr(env, fd, kCapabilityXattr, facts.capabilities, facts.capabilities_error);
    if (!facts.acl) ReadXattr(env, fd, kAclXattr, facts.acl, facts.acl_error);
    return facts;
}

ExtendedFacts ExtendedFactsOf(Env& env, int fd, const struct stat& st) {
    ExtendedFacts facts;
    const FileFacts file = FactsFromStat(st);
    facts.type = file.kind;
    facts.mode = static_cast<uint32_t>(st.st_mode & 07777);
    facts.owner = st.st_uid;
    facts.group = st.st_gid;
    if (S_ISLNK(st.st_mode)) {
        // A link has neither: its own attributes are not looked at by anyone.
        facts.capabilities = std::string();
        facts.acl = std::string();
    } else {
        XattrFacts xattrs = ReadXattrFacts(env, fd);
        facts.capabilities = std::move(xattrs.capabilities);
        facts.acl = std::move(xattrs.acl);
    }
    return facts;
}

std::string Fingerprint::Md5Text() const {
    if (md5.measured()) return md5.hex();
    const bool has_content = facts.kind == EntryKind::kRegular || facts.kind == EntryKind::kSymlink;
    return has_content ? md5.text() : std::string();
}

ExtendedFacts Fingerprint::Extended() const {
    ExtendedFacts extended;
    extended.sha256 = sha256.text();
    extended.type = facts.kind;
    extended.mode = static_cast<uint32_t>(facts.mode & 07777);
    extended.owner = facts.owner;
    extended.group = facts.group;
    extended.capabilities = capabilities;
    extended.acl = acl;
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
            result.capabilities = std::string();
            result.acl = std::string();
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
        XattrFacts xattrs = ReadXattrFacts(env, fd);
        result.capabilities = std::move(xattrs.capabilities);
        result.acl = std::move(xattrs.acl);
        result.capabilities_error = xattrs.capabilities_error;
        result.acl_error = xattrs.acl_error;
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
                                   const HashBudget& budget, IoPath io, bool kernel_forced)
    : lanes_(kernel, kernel_forced),
      sha256_lanes_(kernel, kernel_forced),
      io_(io),
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
        reader_ = env.NewBatchReader(env, io_);
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

std::vector<FactChange> CompareFacts(const Md5Digest& recorded_md5,
                                     const std::optional<ExtendedFacts>& recorded,
                                     const Md5Digest& md5, const ExtendedFacts& now) {
    std::vector<FactChange> changes;
    // A digest sampled on one side only is no evidence either way.
    auto differ = [](const auto& a, const auto& b) { return a != b && a.sampled() == b.sampled(); };
    const auto recorded_sha256 = Sha256Digest::FromText(recorded ? recorded->sha256 : "");
    const auto now_sha256 = Sha256Digest::FromText(now.sha256);
    const bool both_sha256 = recorded_sha256.measured() && now_sha256.measured();
    if (differ(recorded_md5, md5) || (both_sha256 && differ(recorded_sha256, now_sha256))) {
        // Both sides shown with the same digest.
        auto content = [&](const Md5Digest& digest_md5, const Sha256Digest& sha256) {
            return both_sha256 ? "sha256:" + sha256.text() : "md5:" + digest_md5.text();
        };
        changes.push_back(
            {Fact::kContent, content(recorded_md5, recorded_sha256), content(md5, now_sha256)});
    }
    if (!recorded) return changes;
    // The values are compared as kept (a digested ACL with a digested one) and shown only when
    // they differ: most files differ in nothing.
    auto differs = [](const auto& was, const auto& found) { return was != found; };
    auto differs_read = [](const std::optional<std::string>& was,
                           const std::optional<std::string>& found) {
        return was && found && *was != *found;  // not read on a side: compared with nothing
    };
    const bool changed[] = {differs(recorded->type, now.type),
                            differs(recorded->mode, now.mode),
                            differs(recorded->owner, now.owner),
                            differs(recorded->group, now.group),
                            differs_read(recorded->capabilities, now.capabilities),
                            differs_read(recorded->acl, now.acl)};
    constexpr Fact facts[] = {Fact::kType,  Fact::kMode,         Fact::kOwner,
                              Fact::kGroup, Fact::kCapabilities, Fact::kAcl};
    for (size_t i = 0; i < std::size(facts); ++i) {
        if (!changed[i]) continue;
        changes.push_back({facts[i], ShownFact(facts[i], recorded_md5.text(), *recorded),
                           ShownFact(facts[i], md5.text(), now)});
    }
    return changes;
}

std::string_view FactName(Fact fact) {
    switch (fact) {
        case Fact::kContent:
            return "content";
        case Fact::kSize:
            return "size";
        case Fact::kTime:
            return "time";
        case Fact::kType:
            return "type";
        case Fact::kMode:
            return "mode";
        case Fact::kOwner:
            return "owner";
        case Fact::kGroup:
            return "group";
        case Fact::kCapabilities:
            return "capabilities";
        case Fact::kAcl:
            return "acl";
    }
    return "";
}

std::optional<std::string> ShownFact(Fact fact, std::string_view md5, const ExtendedFacts& facts) {
    switch (fact) {
        case Fact::kContent:
            if (!facts.sha256.empty()) return "sha256:" + facts.sha256;
            return "md5:" + std::string(md5);
        case Fact::kType:
            return TypeName(facts.type);
        case Fact::kMode: {
            char octal[8];
            std::snprintf(octal, sizeof octal, "%04o", facts.mode & 07777u);
            return std::string(octal);
        }
        case Fact::kOwner:
            return std::to_string(facts.owner);
        case Fact::kGroup:
            return std::to_string(facts.group);
        case Fact::kCapabilities:
            if (!facts.capabilities) return std::nullopt;
            return ShownCapabilities(*facts.capabilities);
        case Fact::kAcl:
            if (!facts.acl) return std::nullopt;
            return ShownAcl(*facts.acl);
        case Fact::kSize:
        case Fact::kTime:
            return std::nullopt;
    }
    return std::nullopt;
}

std::string ShownCapabilities(std::string_view raw) {
    if (raw.empty()) return "";
    if (auto digested = ShownDigested(raw)) return *digested;
    // struct vfs_cap_data: a revision with the effective flag, then permitted and inheritable
    // 32 bits at a time, and from revision 3 the owner of the namespace they apply in.
    if (raw.size() < 4) return "raw:" + HexOf(raw);
    const uint32_t magic = LittleEndian32(raw, 0);
    const uint32_t revision = magic & VFS_CAP_REVISION_MASK;
    const size_t words = revision == VFS_CAP_REVISION_1 ? 1 : 2;
    const size_t size = revision == VFS_CAP_REVISION_1   ? XATTR_CAPS_SZ_1
                        : revision == VFS_CAP_REVISION_2 ? XATTR_CAPS_SZ_2
                        : revision == VFS_CAP_REVISION_3 ? XATTR_CAPS_SZ_3
                                                         : 0;
    if (size == 0 || raw.size() != size) return "raw:" + HexOf(raw);
    uint64_t permitted = 0, inheritable = 0;
    for (size_t i = 0; i < words; ++i) {
        permitted |= static_cast<uint64_t>(LittleEndian32(raw, 4 + 8 * i)) << (32 * i);
        inheritable |= static_cast<uint64_t>(LittleEndian32(raw, 8 + 8 * i)) << (32 * i);
    }
    const bool effective = (magic & VFS_CAP_FLAGS_EFFECTIVE) != 0;
    std::unique_ptr<_cap_struct, CapFree> caps(cap_init());
    if (!caps) return "raw:" + HexOf(raw);
    for (cap_value_t bit = 0; bit < 64; ++bit) {
        const uint64_t mask = uint64_t{1} << bit;
        if ((permitted & mask) == 0 && (inheritable & mask) == 0) continue;
        bool set = true;
        if (permitted & mask)
            set = set && cap_set_flag(caps.get(), CAP_PERMITTED, 1, &bit, CAP_SET) == 0;
        if (inheritable & mask)
            set = set && cap_set_flag(caps.get(), CAP_INHERITABLE, 1, &bit, CAP_SET) == 0;
        if (effective) set = set && cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, &bit, CAP_SET) == 0;
        if (!set) return "raw:" + HexOf(raw);  // a capability this libcap does not know
    }
    char* text = cap_to_text(caps.get(), nullptr);
    if (!text) return "raw:" + HexOf(raw);
    std::string shown = text;
    cap_free(text);
    if (revision == VFS_CAP_REVISION_3)
        shown += " rootid=" + std::to_string(LittleEndian32(raw, 20));
    return shown;
}

std::string ShownAcl(std::string_view raw) {
    if (raw.empty()) return "";
    if (auto digested = ShownDigested(raw)) return *digested;
    // The kernel's form: a version (2), then 8 bytes per entry: tag, permissions, id.
    if (raw.size() < 4 || (raw.size() - 4) % 8 != 0 || LittleEndian32(raw, 0) != 2) {
        return "raw:" + HexOf(raw);
    }
    std::string shown;
    for (size_t at = 4; at < raw.size(); at += 8) {
        const uint16_t tag = LittleEndian16(raw, at);
        const uint16_t perm = LittleEndian16(raw, at + 2);
        const uint32_t id = LittleEndian32(raw, at + 4);
        std::string entry;
        switch (tag) {
            case 0x01:
                entry = "user::";
                break;
            case 0x02:
                entry = "user:" + std::to_string(id) + ":";
                break;
            case 0x04:
                entry = "group::";
                break;
            case 0x08:
                entry = "group:" + std::to_string(id) + ":";
                break;
            case 0x10:
                entry = "mask::";
                break;
            case 0x20:
                entry = "other::";
                break;
            default:
                return "raw:" + HexOf(raw);
        }
        entry += (perm & 4) ? 'r' : '-';
        entry += (perm & 2) ? 'w' : '-';
        entry += (perm & 1) ? 'x' : '-';
        if (!shown.empty()) shown += ',';
        shown += entry;
    }
    return shown;
}

}  // namespace norv::platform
