#include "platform/fs/folder_events.h"

#include "platform/base/notice_code.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
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

Result<std::unique_ptr<FolderEvents>> FolderEvents::Create(Env& env, size_t most_queued_bytes) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE) {
            const std::string limit = std::to_string(ReadWatchLimits().max_user_instances);
            return Status::Error(ErrorKind::kLimit, EMFILE,
                                 Message(NoticeCode::kWithCause,
                                         {Message(NoticeCode::kCannotStartWatching),
                                          Message(NoticeCode::kWatchInstancesAtLimit, {limit})}));
        }
        return Status::FromErrno(errno, Message(NoticeCode::kCannotStartWatching));
    }
    auto events = std::unique_ptr<FolderEvents>(new FolderEvents(env, fd, most_queued_bytes));
    NORV_RETURN_IF_ERROR(events->reader_.Open(Message(NoticeCode::kCannotStartWatching)));
    events->buffer_.resize(EventReaderThread::kReadBufferBytes);
    events->reader_.Start([raw = events.get()] { raw->Read(); });
    return events;
}

FolderEvents::~FolderEvents() {
    reader_.Stop();
    ::close(fd_);
}

void FolderEvents::Read() {
    // The reader ends on a failure, which Wait hands on from then on.
    auto fail = [this](Message what) { queue_.Fail(Status::FromErrno(errno, std::move(what))); };
    std::vector<FolderEvent> read;
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {reader_.stop_fd(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return fail(std::string("inotify"));
        }
        if (p[1].revents != 0) return;
        reading_ = true;
        const ssize_t n = env_.Read(fd_, buffer_.data(), buffer_.size());
        if (n < 0) {
            reading_ = false;
            if (errno == EAGAIN || errno == EINTR) continue;
            return fail(Message(NoticeCode::kCannotReadChanges));
        }
        read.clear();
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
            if (event.kinds != 0) read.push_back(std::move(event));
        }
        queue_.Push(read);
        reading_ = false;
    }
}

Result<int> FolderEvents::Watch(const DirectoryHandle& folder, const std::string& shown_path) {
    // The descriptor's own entry in /proc names exactly the folder that was opened and checked.
    const std::string self = "/proc/self/fd/" + std::to_string(folder.fd());
    const int watch = ::inotify_add_watch(fd_, self.c_str(), kWatchedMask);
    if (watch >= 0) return watch;
    if (errno == ENOSPC) {
        const std::string limit = std::to_string(ReadWatchLimits().max_user_watches);
        return Status::Error(
            ErrorKind::kLimit, ENOSPC,
            Message(NoticeCode::kWithCause, {Message(NoticeCode::kCannotWatchFolder, {shown_path}),
                                             Message(NoticeCode::kWatchesAtLimit, {limit})}));
    }
    return Status::FromErrno(errno, Message(NoticeCode::kCannotWatchFolder, {shown_path}));
}

void FolderEvents::Unwatch(int watch) { ::inotify_rm_watch(fd_, watch); }

size_t FolderEvents::waiting() const { return queue_.size(); }

bool FolderEvents::Drained() const {
    int pending = 0;
    if (::ioctl(fd_, FIONREAD, &pending) != 0) return false;
    return pending == 0 && !reading_.load() && queue_.size() == 0;
}

Status FolderEvents::Wait(std::chrono::milliseconds timeout, std::vector<FolderEvent>& events) {
    return queue_.Take(timeout, kMostEventsPerWait, events);
}

}  // namespace norv::platform
