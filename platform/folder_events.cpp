#include "platform/folder_events.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace norv::platform {
namespace {

int64_t ReadLimit(const std::string& path) {
    std::ifstream in(path);
    int64_t value = -1;
    if (!(in >> value)) return -1;
    return value;
}

constexpr uint32_t kWatchedMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                  IN_ONLYDIR | IN_EXCL_UNLINK;

uint32_t KindsOf(uint32_t mask) {
    uint32_t kinds = 0;
    if (mask & (IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE)) kinds |= FolderEvent::kWritten;
    if (mask & (IN_CREATE | IN_MOVED_TO)) kinds |= FolderEvent::kAppeared;
    if (mask & (IN_DELETE | IN_MOVED_FROM)) kinds |= FolderEvent::kVanished;
    if (mask & IN_MOVED_FROM) kinds |= FolderEvent::kMovedAway;
    if (mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)) {
        kinds |= FolderEvent::kFinished;
    }
    if (mask & IN_DELETE_SELF) kinds |= FolderEvent::kFolderRemoved;
    if (mask & (IN_MOVE_SELF | IN_UNMOUNT)) kinds |= FolderEvent::kFolderMoved;
    if (mask & IN_IGNORED) kinds |= FolderEvent::kWatchEnded;
    if (mask & IN_Q_OVERFLOW) kinds |= FolderEvent::kOverflow;
    return kinds;
}

}  // namespace

WatchLimits ReadWatchLimits() {
    WatchLimits limits;
    const std::string system = "/proc/sys/fs/inotify/";
    limits.max_user_watches = ReadLimit(system + "max_user_watches");
    limits.max_queued_events = ReadLimit(system + "max_queued_events");
    limits.max_user_instances = ReadLimit(system + "max_user_instances");
    // A container's user namespace may hold its processes to less than the system allows.
    const int64_t in_namespace = ReadLimit("/proc/sys/user/max_inotify_watches");
    if (in_namespace >= 0 &&
        (limits.max_user_watches < 0 || in_namespace < limits.max_user_watches)) {
        limits.max_user_watches = in_namespace;
    }
    return limits;
}

Result<std::unique_ptr<FolderEvents>> FolderEvents::Create() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE) {
            return Status::Error(ErrorKind::kLimit, errno,
                                 "フォルダの監視を始められません: 監視の数が上限 "
                                 "(fs.inotify.max_user_instances = " +
                                     std::to_string(ReadWatchLimits().max_user_instances) +
                                     ") に達しています");
        }
        return Status::FromErrno(errno, "フォルダの監視を始められません");
    }
    auto events = std::unique_ptr<FolderEvents>(new FolderEvents(fd));
    // Room for many events per read; a name is at most NAME_MAX bytes.
    events->buffer_.resize(256 * 1024);
    return events;
}

FolderEvents::~FolderEvents() { ::close(fd_); }

Result<int> FolderEvents::Watch(const DirectoryHandle& folder, const std::string& shown_path) {
    // The descriptor's own entry in /proc names exactly the folder that was opened and checked.
    const std::string self = "/proc/self/fd/" + std::to_string(folder.fd());
    const int watch = ::inotify_add_watch(fd_, self.c_str(), kWatchedMask);
    if (watch >= 0) return watch;
    if (errno == ENOSPC) {
        return Status::Error(ErrorKind::kLimit, errno,
                             shown_path +
                                 " を監視できません: 監視できるフォルダの数が上限 "
                                 "(fs.inotify.max_user_watches = " +
                                 std::to_string(ReadWatchLimits().max_user_watches) +
                                 ") に達しています");
    }
    return Status::FromErrno(errno, shown_path + " を監視できません");
}

void FolderEvents::Unwatch(int watch) { ::inotify_rm_watch(fd_, watch); }

Status FolderEvents::Wait(std::chrono::milliseconds timeout, std::vector<FolderEvent>& events) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready < 0) return errno == EINTR ? Status::Ok() : Status::FromErrno(errno, "inotify");
    if (ready == 0) return Status::Ok();
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return Status::Ok();
        return Status::FromErrno(errno, "フォルダの変更を読めません");
    }
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        inotify_event header;
        std::memcpy(&header, buffer_.data() + at, sizeof header);
        FolderEvent event;
        event.watch = header.wd;
        event.kinds = KindsOf(header.mask);
        event.is_folder = (header.mask & IN_ISDIR) != 0;
        if (header.len > 0) {
            const char* name = buffer_.data() + at + sizeof header;
            event.name.assign(name, ::strnlen(name, header.len));
        }
        at += static_cast<ssize_t>(sizeof header + header.len);
        if (event.kinds != 0) events.push_back(std::move(event));
    }
    return Status::Ok();
}

}  // namespace norv::platform
