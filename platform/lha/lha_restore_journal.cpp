#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"
#include "platform/lha/lha_archive.h"
#include "platform/text/text_file.h"

namespace norv::platform::lha {
namespace {

// A journal line keeps every byte of a folder's path: bytes below 0x21, "%" and 0x7f as %XX.
std::string EscapeJournalField(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == '%' || c == 0x7f) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> UnescapeJournalField(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const std::string hex = text.substr(i + 1, 2);
        char* end = nullptr;
        const long value = std::strtol(hex.c_str(), &end, 16);
        if (end != hex.c_str() + 2) return std::nullopt;
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

int OpenJournal(Env& env, const std::string& path, int flags) {
    return env.OpenAt(AT_FDCWD, path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// The folder at the absolute `path`, opened one name at a time from "/" without following a
// link; -1 when any name is not a folder.
int OpenFolderByNames(Env& env, const std::string& path) {
    if (path.empty() || path[0] != '/') return -1;
    int fd = env.OpenAt(AT_FDCWD, "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    for (const std::string& name : PathNames(path)) {
        if (fd < 0) return -1;
        int next = env.OpenAt(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        env.Close(fd);
        fd = next;
    }
    return fd;
}

// The most of a journal read: far more than the lines of any run's restores.
constexpr size_t kMostJournalBytes = 16 << 20;

}  // namespace

Status RestoreJournal::Record(const DirectoryHandle& folder, const std::string& name) const {
    struct stat st {};
    const std::string link = "/proc/self/fd/" + std::to_string(folder.fd());
    errno = 0;
    const auto where = ReadLinkTarget(*env_, AT_FDCWD, link.c_str());
    if (!where || where->empty() || env_->FStat(folder.fd(), &st) != 0) {
        return Status::FromErrno(errno ? errno : ENOENT,
                                 Message(NoticeCode::kArchiveCannotJournal, {path_}));
    }
    const std::string line = EscapeJournalField(*where) + "\t" + std::to_string(st.st_dev) + "\t" +
                             std::to_string(st.st_ino) + "\t" + EscapeJournalField(name) + "\n";
    const int fd = OpenJournal(*env_, path_, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotJournal, {path_}));
    }
    if (Status own = CheckOwnFileToWrite(*env_, fd, path_); !own.ok()) {
        env_->Close(fd);
        return own;
    }
    Status written = WriteFully(*env_, fd, line, path_);
    if (written.ok() && env_->Fsync(fd) != 0) {
        written = Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotJournal, {path_}));
    }
    env_->Close(fd);
    return written;
}

Result<int> RestoreJournal::RemoveLeftovers() const {
    Env& env = *env_;
    const int fd = OpenJournal(env, path_, O_RDWR);
    if (fd < 0) {
        if (errno == ENOENT) return 0;
        return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRead, {path_}));
    }
    // The journal says which files are removed, and is emptied after: root's own file alone.
    if (Status own = CheckOwnFileToWrite(env, fd, path_); !own.ok()) {
        env.Close(fd);
        return own;
    }
    std::string text;
    std::vector<char> buffer(1 << 16);
    Status read = ReadToEnd(
        env, fd, buffer,
        [&](std::string_view block) {
            if (text.size() + block.size() > kMostJournalBytes) {
                return Status::Error(ErrorKind::kLimit, EFBIG,
                                     Message(NoticeCode::kArchiveJournalTooLarge, {path_}));
            }
            text.append(block);
            return Status::Ok();
        },
        Message(NoticeCode::kArchiveCannotRead, {path_}), 0);
    int removed = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // a line cut short by a kill made no file
        std::vector<std::string> fields;
        size_t field_at = at;
        for (size_t tab; (tab = text.find('\t', field_at)) < end; field_at = tab + 1) {
            fields.push_back(text.substr(field_at, tab - field_at));
        }
        fields.push_back(text.substr(field_at, end - field_at));
        at = end + 1;
        if (fields.size() != 4) continue;
        auto folder = UnescapeJournalField(fields[0]);
        auto name = UnescapeJournalField(fields[3]);
        if (!folder || !name || name->rfind(kRestoreTempPrefix, 0) != 0 ||
            name->find('/') != std::string::npos) {
            continue;
        }
        const int dirfd = OpenFolderByNames(env, *folder);
        if (dirfd < 0) continue;
        struct stat dir_st {};
        const bool same_folder = env.FStat(dirfd, &dir_st) == 0 &&
                                 std::to_string(dir_st.st_dev) == fields[1] &&
                                 std::to_string(dir_st.st_ino) == fields[2];
        // The temporary file is opened once, itself (O_PATH), and judged through that
        // descriptor. Nothing unlinks by descriptor: just before the unlink, a look that asks
        // nothing must find that very file still at the name, so one renamed onto it since
        // stays.
        const ScopedFd held(env, same_folder ? OpenWithinMount(env, dirfd, name->c_str(),
                                                               O_PATH | O_NOFOLLOW | O_CLOEXEC)
                                             : -1);
        struct stat st {};
        if (held.get() >= 0 && env.FStat(held.get(), &st) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && st.st_uid == env.GetEuid()) {
            auto still = StillHolds(env, dirfd, *name, FileIdentity{st.st_dev, st.st_ino},
                                    JoinPath(*folder, *name));
            if (still.ok() && *still && env.UnlinkAt(dirfd, name->c_str(), 0) == 0) {
                ++removed;
            }
        }
        env.Close(dirfd);
    }
    Status cleared = read;
    if (env.FTruncate(fd, 0) != 0 || env.Fsync(fd) != 0) {
        cleared =
            Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotEmptyJournal, {path_}));
    }
    env.Close(fd);
    if (!cleared.ok()) return cleared;
    return removed;
}

}  // namespace norv::platform::lha
