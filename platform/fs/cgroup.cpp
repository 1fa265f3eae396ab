#include "platform/fs/cgroup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/base/env.h"
#include "platform/base/notice_code.h"

namespace norv::platform {
namespace {

// mountinfo escapes blanks, tabs, new lines and backslashes as \ooo.
std::string Unescaped(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Where the unified hierarchy is mounted, and the cgroup its mount shows as its root.
bool FindUnifiedMount(std::string& mount_point, std::string& root) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type;
        tail >> type;
        if (type != "cgroup2") continue;
        std::istringstream head(line.substr(0, dash));
        std::string id, parent, device, mount_root, point;
        head >> id >> parent >> device >> mount_root >> point;
        root = Unescaped(mount_root);
        mount_point = Unescaped(point);
        return true;
    }
    return false;
}

// This process's cgroup in the unified hierarchy ("0::/path").
bool OwnCgroup(std::string& path) {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("0::", 0) == 0) {
            path = line.substr(3);
            return true;
        }
    }
    return false;
}

Status Unsupported(int err) {
    return Status::Error(ErrorKind::kUnsupported, err, Message(NoticeCode::kNoCgroupHierarchy));
}

}  // namespace

Result<std::unique_ptr<CommandCgroup>> CommandCgroup::Make(Env& env, const std::string& name) {
    std::string mount_point, root, own;
    if (!FindUnifiedMount(mount_point, root) || !OwnCgroup(own)) return Unsupported(0);
    // The mount shows the hierarchy from `root` down; this process's cgroup lies below it.
    std::string below = own;
    if (root != "/") {
        if (own.rfind(root, 0) != 0) return Unsupported(0);
        below = own.substr(root.size());
    }
    const std::string folder = mount_point + (below.empty() ? "/" : below);
    const int parent =
        env.OpenAt(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (parent < 0) return Unsupported(errno);
    const std::string path = (own == "/" ? std::string() : own) + "/" + name;
    if (env.MkdirAt(parent, name.c_str(), 0755) != 0) {
        const int err = errno;
        env.Close(parent);
        if (err == EACCES || err == EPERM || err == EROFS) return Unsupported(err);
        return Status::FromErrno(err, Message(NoticeCode::kCannotMakeCgroup, {path}));
    }
    const std::string procs_name = name + "/cgroup.procs";
    const int procs = env.OpenAt(parent, procs_name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (procs < 0) {
        const int err = errno;
        env.UnlinkAt(parent, name.c_str(), AT_REMOVEDIR);
        env.Close(parent);
        return Status::FromErrno(err, Message(NoticeCode::kCannotMakeCgroup, {path}));
    }
    return std::unique_ptr<CommandCgroup>(new CommandCgroup(env, parent, name, path, procs));
}

CommandCgroup::~CommandCgroup() {
    env_.Close(procs_);
    env_.UnlinkAt(parent_, name_.c_str(), AT_REMOVEDIR);  // EBUSY while processes are left
    env_.Close(parent_);
}

bool CommandCgroup::Holds(const std::string& cgroup) const {
    return cgroup == path_ || cgroup.rfind(path_ + "/", 0) == 0;
}

int CommandCgroup::JoinFromChild() const {
    // "0" moves the writing process.
    return ::write(procs_, "0", 1) == 1 ? 0 : errno;  // not through the Env: after a fork
}

std::vector<pid_t> CommandCgroup::Processes(size_t most) const {
    std::vector<pid_t> pids;
    const std::string procs_name = name_ + "/cgroup.procs";
    const int fd = env_.OpenAt(parent_, procs_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) return pids;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = env_.Read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > most * 12) break;
    }
    env_.Close(fd);
    std::istringstream in(text);
    long pid = 0;
    while (pids.size() < most && in >> pid) pids.push_back(static_cast<pid_t>(pid));
    return pids;
}

}  // namespace norv::platform
