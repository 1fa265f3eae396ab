// Reading and writing through a descriptor: the one write loop, the one read loop, and the
// calls whose harmless failures (an interrupted call, an attribute already gone) are told apart
// here rather than by each caller.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"

namespace norv::platform {

void SyncParentDirectory(Env& env, const std::string& path) {
    std::string dir = ParentOfPath(path);
    if (dir.empty()) dir = ".";
    int fd = env.OpenAt(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return;
    env.Fsync(fd);
    env.Close(fd);
}

Status WriteFully(Env& env, int fd, std::string_view data, const std::string& name) {
    while (!data.empty()) {
        ssize_t n = env.Write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            return Status::FromErrno(n < 0 ? errno : ENOSPC,
                                     Message(NoticeCode::kCannotWrite, {name}));
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return Status::Ok();
}

Status ReadToEnd(Env& env, int fd, std::span<char> buffer,
                 const std::function<Status(std::string_view)>& sink, const Message& what,
                 off_t offset, int64_t known_size) {
    int64_t total = 0;
    for (;;) {
        ssize_t n = offset >= 0 ? env.PRead(fd, buffer.data(), buffer.size(), offset + total)
                                : env.Read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Status::FromErrno(errno, what);
        if (n == 0) return Status::Ok();
        NORV_RETURN_IF_ERROR(sink(std::string_view(buffer.data(), static_cast<size_t>(n))));
        total += n;
        if (static_cast<size_t>(n) < buffer.size() && total == known_size) return Status::Ok();
    }
}

Result<size_t> ReadOnce(Env& env, int fd, std::span<char> buffer, const Message& what,
                        off_t offset) {
    for (;;) {
        const ssize_t n = offset >= 0 ? env.PRead(fd, buffer.data(), buffer.size(), offset)
                                      : env.Read(fd, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) return Status::FromErrno(errno, what);
    }
}

Status RemoveAttribute(Env& env, int fd, const char* name, const Message& what) {
    if (env.FRemoveXattr(fd, name) == 0 || errno == ENODATA || errno == EOPNOTSUPP) {
        return Status::Ok();
    }
    return Status::FromErrno(errno, what);
}

}  // namespace norv::platform
