// The mount guard: which mounted file systems the walk and the restore enter, read from
// /proc/self/mountinfo, and the looks and opens that never cross a mount point unadmitted.
#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"
#include "platform/fs/fs_internal.h"

namespace norv::platform {

using internal::KindOfMode;
using internal::TrustedOwner;

namespace {

bool MountRoot(const struct statx& place) {
    return (place.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Whether openat2 serves here: a kernel before 5.6, or a sandbox that filters it, has not. The
// kernel's answer holds for the process: it is asked once, through the first caller's Env.
bool HaveOpenat2(Env& env) {
    static const bool have = [&env] {
        struct open_how how {};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_NO_XDEV;
        const int fd = env.OpenAt2(AT_FDCWD, "/", &how, sizeof how);
        if (fd < 0) return false;
        env.Close(fd);
        return true;
    }();
    return have;
}

// A field of the mount tables with its octal escapes ("\\040" for a space) undone.
std::string Unescaped(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

// Reads the table at `path` line by line, at most MountGuard::kMostMountLines; false when it
// could not be read whole.
bool ReadTableLines(Env& env, const char* path, const std::function<void(std::string_view)>& take) {
    const int table = env.OpenAt(AT_FDCWD, path, O_RDONLY | O_CLOEXEC, 0);
    if (table < 0) return false;
    std::string partial;  // a line not yet ended
    size_t lines = 0;
    std::vector<char> buffer(1 << 16);
    const Status read = ReadToEnd(
        env, table, buffer,
        [&](std::string_view block) {
            for (size_t end; (end = block.find('\n')) != std::string_view::npos;) {
                if (++lines > MountGuard::kMostMountLines)
                    return Status::Error(kErrLimit, std::string(path));
                partial.append(block.substr(0, end + 1));
                take(partial);
                partial.clear();
                block.remove_prefix(end + 1);
            }
            partial.append(block);
            return Status::Ok();
        },
        std::string(path));
    if (read.ok() && !partial.empty() && ++lines <= MountGuard::kMostMountLines) take(partial);
    env.Close(table);
    return read.ok() && lines <= MountGuard::kMostMountLines;
}

// Whether `user` (a name) is root or the running user.
bool TrustedUserName(Env& env, const std::string& user) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return false;
    }
    return TrustedOwner(env, found->pw_uid);
}

// One space-separated field after another; the kernel escapes every space inside a field.
std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t start = 0; start <= line.size();) {
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

}  // namespace

std::optional<MountFacts> ParseMountInfoLine(std::string_view line) {
    static constexpr std::string_view kPseudo[] = {
        "proc",    "sysfs",       "devtmpfs", "devpts", "cgroup",     "cgroup2", "debugfs",
        "tracefs", "securityfs",  "pstore",   "bpf",    "configfs",   "mqueue",  "hugetlbfs",
        "fusectl", "binfmt_misc", "efivarfs", "autofs", "rpc_pipefs", "nsfs",    "selinuxfs"};
    // "36 35 98:0 /root /mnt opts [optional fields] - fstype source superopts"
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    const std::vector<std::string_view> fields = Fields(line);
    if (fields.size() < 10) return std::nullopt;
    const auto dash = std::find(fields.begin() + 6, fields.end(), "-");
    if (fields.end() - dash < 4) return std::nullopt;
    const std::string_view device = fields[2];
    const size_t colon = device.find(':');
    unsigned major = 0, minor = 0;
    if (colon == std::string_view::npos || !ParseWholeNumber(device.substr(0, colon), major) ||
        !ParseWholeNumber(device.substr(colon + 1), minor)) {
        return std::nullopt;
    }
    MountFacts facts;
    facts.device = makedev(major, minor);
    facts.mount_point = Unescaped(fields[4]);
    const std::string_view type = dash[1];
    facts.pseudo = std::find(std::begin(kPseudo), std::end(kPseudo), type) != std::end(kPseudo);
    facts.fuse = type == "fuse" || type == "fuseblk" || type.starts_with("fuse.") ||
                 type.starts_with("fuseblk.");
    if (!facts.fuse) return facts;
    std::string_view options = dash[3];
    while (!options.empty()) {
        const size_t comma = std::min(options.find(','), options.size());
        const std::string_view option = options.substr(0, comma);
        uid_t user = 0;
        if (option.starts_with("user_id=") && ParseWholeNumber(option.substr(8), user)) {
            facts.fuse_user = user;
        }
        options.remove_prefix(std::min(comma + 1, options.size()));
    }
    return facts;
}

std::vector<std::vector<std::string>> MountPointsBelow(Env& env,
                                                       const std::vector<std::string>& folders) {
    std::vector<std::vector<std::string>> below(folders.size());
    (void)ReadTableLines(env, "/proc/self/mountinfo", [&](std::string_view line) {
        auto facts = ParseMountInfoLine(line);
        if (!facts || facts->pseudo) return;
        for (size_t i = 0; i < folders.size(); ++i) {
            if (facts->mount_point.size() > folders[i].size() &&
                facts->mount_point.starts_with(folders[i])) {
                below[i].push_back(facts->mount_point);
            }
        }
    });
    return below;
}

std::optional<UserMount> ParseUserMountLine(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    UserMount mount;
    for (std::string_view field : Fields(line)) {
        if (field.starts_with("TARGET=")) mount.target = Unescaped(field.substr(7));
        if (!field.starts_with("OPTS=")) continue;
        std::string_view options = field.substr(5);
        while (!options.empty()) {
            const size_t comma = std::min(options.find(','), options.size());
            const std::string_view option = options.substr(0, comma);
            if (option.starts_with("user=")) mount.user = Unescaped(option.substr(5));
            options.remove_prefix(std::min(comma + 1, options.size()));
        }
    }
    if (mount.target.empty() || mount.user.empty()) return std::nullopt;
    return mount;
}

const MountGuard::Verdict& MountGuard::Of(dev_t device) {
    if (auto known = verdicts_.find(device); known != verdicts_.end()) return known->second;
    Env& env = *env_;
    Verdict verdict;
    bool found = false;
    bool whole = false;                     // every line of the table read and understood
    std::vector<std::string> mount_points;  // where the device is mounted
    auto take_line = [&](std::string_view line) {
        auto facts = ParseMountInfoLine(line);
        if (!facts) {
            whole = false;
            return;
        }
        if (facts->device != device) return;
        found = true;
        mount_points.push_back(std::move(facts->mount_point));
        verdict.pseudo = verdict.pseudo || facts->pseudo;
        if (!facts->fuse || !verdict.refused.empty()) return;
        if (!facts->fuse_user) {
            verdict.refused = Message(NoticeCode::kFuseMountUserUnknown);
        } else if (!TrustedOwner(env, *facts->fuse_user)) {
            verdict.refused =
                Message(NoticeCode::kMountedByOtherUid, {std::to_string(*facts->fuse_user)});
        }
    };
    whole = true;
    if (!ReadTableLines(env, "/proc/self/mountinfo", take_line)) whole = false;
    // A user's own mount: mount(8) notes who made it; without its table, there is none.
    if (found && verdict.refused.empty() && !verdict.pseudo) {
        (void)ReadTableLines(env, kUserMountTable, [&](std::string_view line) {
            auto mount = ParseUserMountLine(line);
            if (!mount || !verdict.refused.empty() ||
                std::find(mount_points.begin(), mount_points.end(), mount->target) ==
                    mount_points.end() ||
                TrustedUserName(env, mount->user)) {
                return;
            }
            verdict.refused = Message(NoticeCode::kMountedByOtherUser, {mount->user});
        });
    }
    if (!found && !whole) {
        verdict.refused = Message(NoticeCode::kMountNotInTable);
    }
    return verdicts_.emplace(device, std::move(verdict)).first->second;
}

Status MountGuard::Admit(int dirfd, const char* name, const std::string& path) {
    struct statx place {};
    if (env_->Statx(dirfd, name, kLookOnly | (*name == '\0' ? AT_EMPTY_PATH : 0), 0, &place) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Status::Ok();  // nothing there to enter
        return Status::FromErrno(errno, Message(NoticeCode::kCannotReadFacts, {path}));
    }
    // A kernel that cannot tell a mount point (before 5.8) has every entry judged by its device.
    if ((place.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && !MountRoot(place)) {
        return Status::Ok();
    }
    const Verdict& verdict = Of(makedev(place.stx_dev_major, place.stx_dev_minor));
    if (verdict.refused.empty()) return Status::Ok();
    return Status::Error(ErrorKind::kRefused, EACCES,
                         Message(NoticeCode::kMountNotEntered, {path, verdict.refused}));
}

bool MountGuard::Pseudo(dev_t device) { return Of(device).pseudo; }

Result<FileFacts> LookAtEntry(Env& env, int dirfd, const std::string& name,
                              const std::string& path) {
    struct statx place {};
    if (env.Statx(dirfd, name.c_str(), kLookOnly, STATX_TYPE | STATX_INO, &place) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return FileFacts{};
        return Status::FromErrno(errno, Message(NoticeCode::kCannotReadFacts, {path}));
    }
    bool mount_point = MountRoot(place);
    if ((place.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0) {
        struct statx folder {};
        if (env.Statx(dirfd, "", kLookOnly | AT_EMPTY_PATH, 0, &folder) != 0) {
            return Status::FromErrno(errno, Message(NoticeCode::kCannotReadFolderFacts, {path}));
        }
        mount_point = place.stx_dev_major != folder.stx_dev_major ||
                      place.stx_dev_minor != folder.stx_dev_minor;
    }
    if (mount_point) {
        return Status::Error(ErrorKind::kRefused, EXDEV,
                             Message(NoticeCode::kMountedOnEntry, {path}));
    }
    FileFacts facts;
    facts.kind = KindOfMode(place.stx_mode);
    facts.identity = {makedev(place.stx_dev_major, place.stx_dev_minor), place.stx_ino};
    return facts;
}

Result<bool> StillHolds(Env& env, int dirfd, const std::string& name, const FileIdentity& identity,
                        const std::string& path) {
    auto now = LookAtEntry(env, dirfd, name, path);
    if (!now.ok()) return now.status();
    return now->kind != EntryKind::kMissing && now->identity == identity;
}

int OpenWithinMount(Env& env, int dirfd, const char* name, int flags) {
    if (HaveOpenat2(env)) {
        struct open_how how {};
        how.flags = static_cast<uint64_t>(flags);
        how.resolve = RESOLVE_NO_XDEV;
        return env.OpenAt2(dirfd, name, &how, sizeof how);
    }
    // Without openat2 a mount point is told by a look that asks its file system nothing; one
    // mounted between that look and the open is not seen.
    struct statx place {};
    struct statx folder {};
    if (env.Statx(dirfd, name, kLookOnly, 0, &place) == 0 &&
        env.Statx(dirfd, "", kLookOnly | AT_EMPTY_PATH, 0, &folder) == 0 &&
        (MountRoot(place) || place.stx_dev_major != folder.stx_dev_major ||
         place.stx_dev_minor != folder.stx_dev_minor)) {
        errno = EXDEV;
        return -1;
    }
    return env.OpenAt(dirfd, name, flags, 0);
}

}  // namespace norv::platform
