#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/base/notice_code.h"
#include "platform/fs/fanotify_internal.h"
#include "platform/fs/folder_events.h"

namespace norv::platform {
namespace {

constexpr uint64_t kMarkedMask = FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE | FAN_CREATE |
                                 FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_DELETE_SELF |
                                 FAN_MOVE_SELF | FAN_ONDIR;

int SystemInit(unsigned flags, unsigned event_flags) { return ::fanotify_init(flags, event_flags); }
int SystemMark(int fd, unsigned flags, uint64_t mask, int dirfd, const char* path) {
    return ::fanotify_mark(fd, flags, mask, dirfd, path);
}

// The kernel or the file system cannot (as against a fault or a refusal of this folder).
bool CannotHaveFanotify(int err) {
    return err == EPERM || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EXDEV ||
           err == ENODEV;
}

Status Refused(int err, Message what) {
    return Status::Error(
        CannotHaveFanotify(err) ? ErrorKind::kUnsupported : KindOfErrno(err), err,
        Message(NoticeCode::kWithCause, {std::move(what), std::string(std::strerror(err))}));
}

}  // namespace

const FanotifyCalls& SystemFanotifyCalls() {
    static const FanotifyCalls calls{&SystemInit, &SystemMark};
    return calls;
}

std::string HandleKey(const void* fsid, int handle_type, const void* handle, size_t handle_bytes) {
    std::string key(sizeof(fsid_t) + sizeof handle_type + handle_bytes, '\0');
    std::memcpy(key.data(), fsid, sizeof(fsid_t));
    std::memcpy(key.data() + sizeof(fsid_t), &handle_type, sizeof handle_type);
    std::memcpy(key.data() + sizeof(fsid_t) + sizeof handle_type, handle, handle_bytes);
    return key;
}

Result<std::unique_ptr<FanotifyEvents>> FanotifyEvents::Create(Env& env, const FanotifyCalls& calls,
                                                               size_t most_queued_bytes) {
    constexpr unsigned kFlags = FAN_CLOEXEC | FAN_NONBLOCK | FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME;
    constexpr unsigned kEventFlags = O_RDONLY | O_CLOEXEC | O_LARGEFILE;
    bool pidfds = true;
    int fd = calls.init(kFlags | FAN_REPORT_PIDFD, kEventFlags);
    if (fd < 0 && errno == EINVAL) {
        // A kernel before 5.15: the events name the writer's pid alone.
        pidfds = false;
        fd = calls.init(kFlags, kEventFlags);
    }
    if (fd < 0) return Refused(errno, Message(NoticeCode::kCannotStartFanotify));
    const int mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mounts < 0) {
        const int error = errno;
        ::close(fd);
        return Status::FromErrno(error, Message(NoticeCode::kCannotStartFanotify));
    }
    auto events = std::unique_ptr<FanotifyEvents>(
        new FanotifyEvents(env, calls, fd, mounts, pidfds, most_queued_bytes));
    NORV_RETURN_IF_ERROR(events->reader_.Open(Message(NoticeCode::kCannotStartFanotify)));
    events->buffer_.resize(EventReaderThread::kReadBufferBytes);
    events->reader_.Start([raw = events.get()] { raw->Read(); });
    return events;
}

FanotifyEvents::~FanotifyEvents() {
    reader_.Stop();
    ::close(mounts_);
    ::close(fd_);
}

Result<std::string> FolderHandleKey(const DirectoryHandle& folder, const std::string& shown_path) {
    struct statfs fs;
    if (::fstatfs(folder.fd(), &fs) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kCannotWatchOnFanotify, {shown_path}));
    }
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mount_id = 0;
    // The descriptor itself: the folder opened and checked, never a path looked up again.
    if (::name_to_handle_at(folder.fd(), "", handle, &mount_id, AT_EMPTY_PATH) != 0) {
        return Refused(errno, Message(NoticeCode::kCannotWatchOnFanotify, {shown_path}));
    }
    return HandleKey(&fs.f_fsid, handle->handle_type, handle->f_handle, handle->handle_bytes);
}

std::string_view FileSystemOfKey(std::string_view key) {
    return key.substr(0, std::min(key.size(), sizeof(fsid_t)));
}

Result<LocatedFolder> LocateFolder(const DirectoryHandle& on_its_file_system,
                                   const std::string& key) {
    int handle_type = 0;
    if (key.size() < sizeof(fsid_t) + sizeof handle_type ||
        key.size() - sizeof(fsid_t) - sizeof handle_type > MAX_HANDLE_SZ) {
        return Status::FromErrno(EINVAL,
                                 Message(NoticeCode::kCannotWatchOnFanotify, {std::string()}));
    }
    std::memcpy(&handle_type, key.data() + sizeof(fsid_t), sizeof handle_type);
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_type = handle_type;
    handle->handle_bytes = static_cast<unsigned>(key.size() - sizeof(fsid_t) - sizeof handle_type);
    std::memcpy(handle->f_handle, key.data() + sizeof(fsid_t) + sizeof handle_type,
                handle->handle_bytes);
    // O_PATH: nothing of the folder is read, and no file system is asked to open it.
    const int fd = ::open_by_handle_at(on_its_file_system.fd(), handle,
                                       O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return Status::FromErrno(errno,
                                 Message(NoticeCode::kCannotWatchOnFanotify, {std::string()}));
    DirectoryHandle folder(on_its_file_system.env(), fd);
    LocatedFolder located;
    auto identity = IdentityOf(folder, "");
    if (!identity.ok()) return identity.status();
    located.identity = identity.value();
    auto path = PathOfOpenFolder(folder, "");
    if (!path.ok()) return path.status();
    located.path = std::move(path).value();
    return located;
}

Result<std::string> PathOfOpenFolder(const DirectoryHandle& folder, const std::string& shown_path) {
    const std::string link = "/proc/self/fd/" + std::to_string(folder.fd());
    auto target = ReadLinkTarget(folder.env(), AT_FDCWD, link.c_str());
    // A folder removed meanwhile is named with " (deleted)" after its old path: no place. A
    // folder's own name may end so too: removed is told by its links.
    struct stat st {};
    if (!target || target->empty() || target->front() != '/' ||
        (target->ends_with(" (deleted)") && (::fstat(folder.fd(), &st) != 0 || st.st_nlink == 0))) {
        return Status::FromErrno(target ? ENOENT : errno,
                                 Message(NoticeCode::kCannotWatchOnFanotify, {shown_path}));
    }
    return std::move(*target);
}

Result<int> FanotifyEvents::Watch(const DirectoryHandle& folder, const std::string& shown_path) {
    auto found_key = FolderHandleKey(folder, shown_path);
    if (!found_key.ok()) return found_key.status();
    const std::string& key = found_key.value();
    const std::string fsid = key.substr(0, sizeof(fsid_t));
    std::lock_guard<std::mutex> lock(handles_mutex_);
    if (auto found = by_handle_.find(key); found != by_handle_.end()) return found->second;
    if (marked_.count(fsid) == 0) {
        struct stat st;
        if (::fstat(folder.fd(), &st) != 0) {
            return Status::FromErrno(errno,
                                     Message(NoticeCode::kCannotWatchOnFanotify, {shown_path}));
        }
        if (calls_.mark(fd_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMarkedMask, folder.fd(),
                        nullptr) != 0) {
            return Refused(errno, Message(NoticeCode::kCannotMarkFileSystem, {shown_path}));
        }
        marked_.emplace(fsid, st.st_dev);
    }
    const int watch = next_watch_++;
    by_handle_.emplace(key, watch);
    by_watch_.emplace(watch, key);
    ignored_.erase(key);
    return watch;
}

int FanotifyEvents::WatchOf(const std::string& key) const {
    std::lock_guard<std::mutex> lock(handles_mutex_);
    auto found = by_handle_.find(key);
    return found == by_handle_.end() ? -1 : found->second;
}

void FanotifyEvents::Ignore(const std::string& key) {
    std::lock_guard<std::mutex> lock(handles_mutex_);
    if (by_handle_.count(key) != 0) return;
    if (ignored_.size() >= kMostIgnored) ignored_.clear();
    ignored_.insert(key);
}

void FanotifyEvents::ForgetIgnored() {
    std::lock_guard<std::mutex> lock(handles_mutex_);
    ignored_.clear();
}

void FanotifyEvents::Unwatch(int watch) {
    // The file system's mark stays: other folders on it may be watched again.
    std::lock_guard<std::mutex> lock(handles_mutex_);
    auto found = by_watch_.find(watch);
    if (found == by_watch_.end()) return;
    by_handle_.erase(found->second);
    by_watch_.erase(found);
}

size_t FanotifyEvents::marks() const {
    std::lock_guard<std::mutex> lock(handles_mutex_);
    return marked_.size();
}

size_t FanotifyEvents::watches() const {
    std::lock_guard<std::mutex> lock(handles_mutex_);
    return by_watch_.size();
}

size_t FanotifyEvents::waiting() const { return queue_.size(); }

bool FanotifyEvents::Drained() const {
    int pending = 0;
    if (::ioctl(fd_, FIONREAD, &pending) != 0) return false;
    return pending == 0 && !reading_.load() && queue_.size() == 0;
}

Status FanotifyEvents::Wait(std::chrono::milliseconds timeout, std::vector<FolderEvent>& events) {
    return queue_.Take(timeout, kMostEventsPerWait, events);
}

Result<std::unique_ptr<FolderEventSource>> OpenFolderEventSource(Env& env,
                                                                 const EventSourceOptions& options,
                                                                 Message* why_not_fanotify) {
    if (why_not_fanotify != nullptr) *why_not_fanotify = Message();
    if (options.try_fanotify) {
        auto fanotify = FanotifyEvents::Create(
            env, options.fanotify != nullptr ? *options.fanotify : SystemFanotifyCalls(),
            options.most_queued_bytes);
        if (fanotify.ok()) return std::unique_ptr<FolderEventSource>(std::move(fanotify).value());
        if (why_not_fanotify != nullptr) *why_not_fanotify = fanotify.status().what();
        if (options.fanotify_only) return fanotify.status();
    }
    if (options.fanotify_only) {
        return Status::Error(ErrorKind::kUnsupported, 0, Message(NoticeCode::kCannotStartFanotify));
    }
    auto inotify = FolderEvents::Create(env, options.most_queued_bytes);
    if (!inotify.ok()) return inotify.status();
    return std::unique_ptr<FolderEventSource>(std::move(inotify).value());
}

}  // namespace norv::platform
