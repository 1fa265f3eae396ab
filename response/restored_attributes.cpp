#include "response/restored_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/base/env.h"
#include "platform/base/notice_code.h"

namespace norv {
namespace {

constexpr mode_t kSetIdBits = S_ISUID | S_ISGID;

// A value a record keeps only as its digest cannot be written back.
bool Digested(const std::string& value) {
    return !value.empty() && value[0] == platform::kDigestedXattrMark;
}

// Sets the attribute `name` to `value`, or removes it for "" (a file system without it has none
// to remove).
Status SetXattr(platform::Env& env, int fd, const char* name, const std::string& value,
                const std::string& path) {
    if (value.empty()) {
        return platform::RemoveAttribute(
            env, fd, name,
            Message(NoticeCode::kCannotRemoveRestoredAttribute, {path, std::string(name)}));
    }
    if (env.FSetXattr(fd, name, value.data(), value.size(), 0) == 0) return Status::Ok();
    return Status::FromErrno(
        errno, Message(NoticeCode::kCannotPutBackAttribute, {path, std::string(name)}));
}

Status ReadBack(platform::Env& env, int fd, PutBack* done) {
    struct stat st {};
    if (env.FStat(fd, &st) != 0) return Status::FromErrno(errno, std::string("fstat"));
    done->left = platform::ExtendedFactsOf(env, fd, st);
    done->written = platform::FileIdentity{st.st_dev, st.st_ino};
    // The locking flags are not on it yet; the file will have them once in its place.
    if (done->left->inode_flags) *done->left->inode_flags |= done->locking_flags;
    return Status::Ok();
}

// Gives the file the recorded other extended attributes, and takes off those it has that the
// record does not. What cannot be put back is said; the content still comes back.
void PutBackOtherXattrs(platform::Env& env, int fd, const std::string& recorded,
                        const std::string& path, PutBack* done) {
    auto wanted = platform::DecodedXattrs(recorded);
    if (!wanted) {
        done->notes.push_back(Message(NoticeCode::kXattrsDigestedNotPutBack, {path}));
        return;
    }
    const platform::XattrFacts now = platform::ReadXattrFacts(env, fd);
    if (now.others) {
        if (auto present = platform::DecodedXattrs(*now.others)) {
            for (const auto& attribute : *present) {
                const std::string& name = attribute.first;
                const bool kept = std::any_of(wanted->begin(), wanted->end(),
                                              [&](const auto& w) { return w.first == name; });
                if (kept) continue;
                Status removed = SetXattr(env, fd, name.c_str(), "", path);
                if (!removed.ok()) done->notes.push_back(removed.what());
            }
        }
    }
    for (const auto& [name, value] : *wanted) {
        if (env.FSetXattr(fd, name.c_str(), value.data(), value.size(), 0) == 0) continue;
        done->notes.push_back(
            Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackAttribute, {path, name}))
                .what());
    }
}

}  // namespace

Status PutBackAttributes(platform::Env& env, int fd, bool is_link,
                         const platform::Md5Digest& written_md5, const RecordedFile& recorded,
                         const std::string& path, PutBack* done) {
    const bool root = env.GetEuid() == 0;
    if (!recorded.extended) {
        // What the baseline held is not known: the archive's owner and mode stand, without
        // a privilege nobody recorded.
        struct stat st {};
        if (!is_link && env.FStat(fd, &st) == 0 && (st.st_mode & kSetIdBits) != 0 &&
            env.FChmod(fd, st.st_mode & 07777 & ~kSetIdBits) != 0) {
            return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackMode, {path}));
        }
        return ReadBack(env, fd, done);
    }
    const platform::ExtendedFacts& facts = *recorded.extended;
    if (is_link) {
        if (root && env.FChownAt(fd, "", facts.owner, facts.group,
                                 AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackOwner, {path}));
        }
        return ReadBack(env, fd, done);
    }
    // Privileges belong to the content the baseline recorded, not to whatever the archive holds.
    const bool baseline_content = recorded.md5 == written_md5;
    // The owner first: changing it clears set-id bits and capabilities.
    if (root && env.FChown(fd, facts.owner, facts.group) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackOwner, {path}));
    }
    if (facts.acl) {
        if (Digested(*facts.acl)) {
            NORV_RETURN_IF_ERROR(SetXattr(env, fd, platform::kAclXattr, "", path));
            done->notes.push_back(Message(NoticeCode::kAclDigestedNotPutBack, {path}));
        } else {
            NORV_RETURN_IF_ERROR(SetXattr(env, fd, platform::kAclXattr, *facts.acl, path));
        }
    }
    mode_t mode = facts.mode & 07777;
    const bool privileged =
        (mode & kSetIdBits) != 0 || (facts.capabilities && !facts.capabilities->empty());
    if (privileged && !baseline_content) {
        mode &= ~kSetIdBits;
        done->notes.push_back(Message(NoticeCode::kPrivilegesWithheld, {path}));
    }
    // After the ACL: the group bits are then its mask, as recorded.
    if (env.FChmod(fd, mode) != 0)
        return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackMode, {path}));
    if (facts.xattrs) PutBackOtherXattrs(env, fd, *facts.xattrs, path, done);
    if (facts.inode_flags) {
        // All but the locking flags now; those once the file stands in its place.
        done->locking_flags = *facts.inode_flags & platform::kLockingInodeFlags;
        unsigned flags = 0;
        if (env.GetInodeFlags(fd, &flags) == 0) {
            const unsigned wanted = (flags & ~platform::kComparedInodeFlags) |
                                    (*facts.inode_flags & ~platform::kLockingInodeFlags);
            if (wanted != flags && env.SetInodeFlags(fd, wanted) != 0) {
                done->notes.push_back(
                    Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackInodeFlags, {path}))
                        .what());
            }
        }
    }
    if (root && baseline_content && facts.capabilities && !facts.capabilities->empty()) {
        if (Digested(*facts.capabilities)) {
            done->notes.push_back(Message(NoticeCode::kCapabilitiesDigestedNotPutBack, {path}));
        } else {
            // A capability withheld is safe; the file still comes back.
            Status set = SetXattr(env, fd, platform::kCapabilityXattr, *facts.capabilities, path);
            if (!set.ok()) done->notes.push_back(set.what());
        }
    }
    return ReadBack(env, fd, done);
}

Status PutBackLockingFlags(platform::Env& env, const platform::DirectoryHandle& folder,
                           const std::string& name, const PutBack& put_back,
                           const std::string& path) {
    if (put_back.locking_flags == 0) return Status::Ok();
    platform::ScopedFd fd(env, env.OpenAt(folder.fd(), name.c_str(),
                                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat st {};
    if (fd.get() < 0 || env.FStat(fd.get(), &st) != 0)
        return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackInodeFlags, {path}));
    // Another file put in its place meanwhile is not given them: a change of its own.
    if (platform::FileIdentity{st.st_dev, st.st_ino} != put_back.written) {
        return Status::FromErrno(EEXIST, Message(NoticeCode::kCannotPutBackInodeFlags, {path}));
    }
    unsigned flags = 0;
    if (env.GetInodeFlags(fd.get(), &flags) != 0 ||
        env.SetInodeFlags(fd.get(), flags | put_back.locking_flags) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kCannotPutBackInodeFlags, {path}));
    }
    return Status::Ok();
}

}  // namespace norv
