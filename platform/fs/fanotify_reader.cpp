// The reader thread of FanotifyEvents: the kernel's queue read, each event given its folder's
// watch (or dropped, its folder ignored), and its writer read while the process may still live.
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "platform/base/notice_code.h"
#include "platform/fs/fanotify_internal.h"

namespace norv::platform {
namespace {

uint32_t KindsOf(uint64_t mask) {
    uint32_t kinds = 0;
    if (mask & (FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE)) kinds |= FolderEvent::kWritten;
    if (mask & (FAN_CREATE | FAN_MOVED_TO)) kinds |= FolderEvent::kAppeared;
    if (mask & (FAN_DELETE | FAN_MOVED_FROM)) kinds |= FolderEvent::kVanished;
    if (mask & FAN_MOVED_FROM) kinds |= FolderEvent::kMovedAway;
    if (mask & (FAN_CLOSE_WRITE | FAN_MOVED_TO | FAN_DELETE | FAN_MOVED_FROM)) {
        kinds |= FolderEvent::kFinished;
    }
    return kinds;
}

std::string DeviceName(dev_t dev) {
    return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

}  // namespace

void FanotifyEvents::Read() {
    auto fail = [this](Message what) { queue_.Fail(Status::FromErrno(errno, std::move(what))); };
    std::vector<FolderEvent> read;
    for (;;) {
        pollfd p[3] = {{fd_, POLLIN, 0}, {reader_.stop_fd(), POLLIN, 0}, {mounts_, POLLPRI, 0}};
        if (::poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return fail(Message(NoticeCode::kCannotReadFanotify));
        }
        if (p[1].revents != 0) return;
        if (p[2].revents & (POLLPRI | POLLERR)) {
            MountsChanged(read);
            queue_.Push(read);
        }
        if ((p[0].revents & POLLIN) == 0) continue;
        reading_ = true;
        const ssize_t n = env_.Read(fd_, buffer_.data(), buffer_.size());
        if (n < 0) {
            reading_ = false;
            if (errno == EAGAIN || errno == EINTR) continue;
            return fail(Message(NoticeCode::kCannotReadFanotify));
        }
        Parse(buffer_.data(), static_cast<size_t>(n), read);
        queue_.Push(read);
        reading_ = false;
    }
}

void FanotifyEvents::Parse(const char* data, size_t size, std::vector<FolderEvent>& events) {
    for (size_t at = 0; at + sizeof(fanotify_event_metadata) <= size;) {
        fanotify_event_metadata meta;
        std::memcpy(&meta, data + at, sizeof meta);
        if (meta.event_len < sizeof meta || at + meta.event_len > size) break;
        const char* end = data + at + meta.event_len;
        at += meta.event_len;
        if (meta.fd >= 0) ::close(meta.fd);  // never with handles, but a descriptor is not kept
        if (meta.mask & FAN_Q_OVERFLOW) {
            FolderEvent lost;
            lost.kinds = FolderEvent::kOverflow;
            events.push_back(std::move(lost));
            continue;
        }
        // The info records: the folder's handle and the entry's name, and the writer's pidfd.
        int watch = -1;
        bool ignored = false;
        std::string key;
        std::string name;
        bool self = false;
        int pidfd = FAN_NOPIDFD;
        bool has_pidfd = false;
        for (const char* info = end - (meta.event_len - meta.metadata_len);
             info + sizeof(fanotify_event_info_header) <= end;) {
            fanotify_event_info_header header;
            std::memcpy(&header, info, sizeof header);
            if (header.len < sizeof header || info + header.len > end) break;
            if (header.info_type == FAN_EVENT_INFO_TYPE_PIDFD &&
                header.len >= sizeof(fanotify_event_info_pidfd)) {
                fanotify_event_info_pidfd record;
                std::memcpy(&record, info, sizeof record);
                pidfd = record.pidfd;
                has_pidfd = true;
            } else if ((header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
                        header.info_type == FAN_EVENT_INFO_TYPE_DFID) &&
                       header.len >= sizeof(fanotify_event_info_fid) + 8) {
                const char* fsid = info + offsetof(fanotify_event_info_fid, fsid);
                // struct file_handle: its length, its type, then its bytes.
                const char* handle_at = info + sizeof(fanotify_event_info_fid);
                struct {
                    uint32_t handle_bytes;
                    int32_t handle_type;
                } handle;
                std::memcpy(&handle, handle_at, sizeof handle);
                const char* bytes = handle_at + sizeof handle;
                if (bytes + handle.handle_bytes > info + header.len) break;
                if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
                    const char* entry = bytes + handle.handle_bytes;
                    name.assign(entry,
                                ::strnlen(entry, static_cast<size_t>(info + header.len - entry)));
                }
                // An event on the folder itself names it alone, or with the name ".".
                self = name.empty() || name == ".";
                if (self) name.clear();
                key = HandleKey(fsid, handle.handle_type, bytes, handle.handle_bytes);
                std::lock_guard<std::mutex> lock(handles_mutex_);
                if (auto found = by_handle_.find(key); found != by_handle_.end()) {
                    watch = found->second;
                    if (self && (meta.mask & FAN_DELETE_SELF)) {
                        // Removed: the handle is never seen again, and the watch ends.
                        by_watch_.erase(watch);
                        by_handle_.erase(found);
                    }
                } else {
                    ignored = ignored_.count(key) != 0;
                }
            }
            info += header.len;
        }
        // An ignored folder's events end here, and so do those of a folder not watched about
        // itself: its removal or move is said in the folder above it.
        if (ignored || key.empty() || (watch < 0 && self)) {
            if (has_pidfd && pidfd >= 0) ::close(pidfd);
            continue;
        }
        FolderEvent event;
        event.watch = watch;
        event.is_folder = (meta.mask & FAN_ONDIR) != 0;
        event.folder_key = std::move(key);
        if (self) {
            if (!event.is_folder) {
                if (has_pidfd && pidfd >= 0) ::close(pidfd);
                continue;
            }
            if (meta.mask & FAN_DELETE_SELF) event.kinds |= FolderEvent::kFolderRemoved;
            if (meta.mask & FAN_MOVE_SELF) event.kinds |= FolderEvent::kFolderMoved;
            if (meta.mask & FAN_ATTRIB) event.kinds |= FolderEvent::kWritten;
            event.is_folder = false;  // the watched folder itself, as inotify says it
        } else {
            event.kinds = KindsOf(meta.mask);
            event.name = std::move(name);
        }
        // The writer: through the kernel's pidfd, or (an older kernel) one opened now by pid,
        // which the reads then prove to be alive.
        if (has_pidfd) {
            if (pidfd >= 0) {
                event.writer = writers_.Of(pidfd, meta.pid);
                ::close(pidfd);
            } else if (pidfd == FAN_NOPIDFD) {
                event.writer = WriterCache::Exited(meta.pid);
            }
        } else if (meta.pid > 0) {
            const int opened = static_cast<int>(::syscall(SYS_pidfd_open, meta.pid, 0));
            event.writer =
                opened >= 0 ? writers_.Of(opened, meta.pid) : WriterCache::Exited(meta.pid);
            if (opened >= 0) ::close(opened);
        }
        if (event.kinds == 0) continue;
        const bool removed = (event.kinds & FolderEvent::kFolderRemoved) != 0;
        events.push_back(std::move(event));
        if (removed) {
            FolderEvent ended;
            ended.watch = watch;
            ended.kinds = FolderEvent::kWatchEnded;
            events.push_back(std::move(ended));
        }
    }
}

void FanotifyEvents::MountsChanged(std::vector<FolderEvent>& events) {
    // The devices mounted now (the third field of each line of mountinfo).
    std::string table;
    char chunk[65536];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(mounts_, chunk, sizeof chunk, offset);
        if (n <= 0) break;
        table.append(chunk, static_cast<size_t>(n));
        offset += n;
    }
    std::unordered_set<std::string> mounted;
    for (size_t at = 0; at < table.size();) {
        const size_t end = std::min(table.find('\n', at), table.size());
        size_t field = at;
        for (int skip = 0; skip < 2 && field < end; ++skip) {
            field = table.find(' ', field);
            field = field == std::string::npos ? end : field + 1;
        }
        const size_t field_end = std::min(table.find(' ', field), end);
        if (field < end) mounted.insert(table.substr(field, field_end - field));
        at = end + 1;
    }
    std::lock_guard<std::mutex> lock(handles_mutex_);
    for (auto mark = marked_.begin(); mark != marked_.end();) {
        if (mounted.count(DeviceName(mark->second)) != 0) {
            ++mark;
            continue;
        }
        // Unmounted: every watch on it is moved away and ends, as inotify says an unmount.
        for (auto watch = by_watch_.begin(); watch != by_watch_.end();) {
            if (watch->second.compare(0, mark->first.size(), mark->first) != 0) {
                ++watch;
                continue;
            }
            FolderEvent moved;
            moved.watch = watch->first;
            moved.kinds = FolderEvent::kFolderMoved;
            events.push_back(moved);
            moved.kinds = FolderEvent::kWatchEnded;
            events.push_back(std::move(moved));
            by_handle_.erase(watch->second);
            watch = by_watch_.erase(watch);
        }
        mark = marked_.erase(mark);
    }
}

}  // namespace norv::platform
