#include "tests/support/file_attributes.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/capability.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <vector>

namespace norv::testing {
namespace {

std::string FromHex(const char* hex) {
    std::string out;
    for (const char* p = hex; p[0] && p[1]; p += 2) {
        out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
    }
    return out;
}

bool SetAclOfType(const std::string& path, acl_type_t type, const char* text) {
    acl_t acl = acl_from_text(text);
    if (!acl) return false;
    const bool set = acl_set_file(path.c_str(), type, acl) == 0;
    acl_free(acl);
    return set;
}

}  // namespace

bool SetCapabilities(const std::string& path, const char* text) {
    cap_t caps = cap_from_text(text);
    if (!caps) return false;
    const bool set = cap_set_file(path.c_str(), caps) == 0;
    cap_free(caps);
    return set;
}

bool SetAcl(const std::string& path, const char* text) {
    return SetAclOfType(path, ACL_TYPE_ACCESS, text);
}

bool SetDefaultAcl(const std::string& path, const char* text) {
    return SetAclOfType(path, ACL_TYPE_DEFAULT, text);
}

bool ReadableAs(uid_t uid, gid_t gid, const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) _exit(2);
        _exit(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) >= 0 ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string RawXattr(const std::string& path, const char* name) {
    std::vector<char> value(65536);
    const ssize_t n = ::lgetxattr(path.c_str(), name, value.data(), value.size());
    return n > 0 ? std::string(value.data(), static_cast<size_t>(n)) : std::string();
}

bool SetInodeFlags(const std::string& path, unsigned flags) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int value = static_cast<int>(flags);
    const bool set = ::ioctl(fd, FS_IOC_SETFLAGS, &value) == 0;
    ::close(fd);
    return set;
}

std::string Md5CollisionA() {
    return FromHex(
        "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
        "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
        "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
        "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70");
}

std::string Md5CollisionB() {
    return FromHex(
        "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f89"
        "55ad340609f4b30283e4888325f1415a085125e8f7cdc99fd91dbd7280373c5b"
        "d8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0"
        "e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70");
}

}  // namespace norv::testing
