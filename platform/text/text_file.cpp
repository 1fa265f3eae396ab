#include "platform/text/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"

namespace norv::platform {
namespace {

// What stands at a path instead of a regular file, for the message refusing it.
Message KindName(mode_t mode) {
    if (S_ISDIR(mode)) return Message(NoticeCode::kTextKindFolder);
    if (S_ISFIFO(mode)) return Message(NoticeCode::kTextKindPipe);
    if (S_ISCHR(mode)) return Message(NoticeCode::kTextKindCharDevice);
    if (S_ISBLK(mode)) return Message(NoticeCode::kTextKindBlockDevice);
    if (S_ISSOCK(mode)) return Message(NoticeCode::kTextKindSocket);
    return Message(NoticeCode::kTextKindSpecial);
}

Message SizeText(int64_t bytes) {
    if (bytes >= (1 << 20) && bytes % (1 << 20) == 0) {
        return Message(NoticeCode::kTextSizeMiB, {std::to_string(bytes >> 20)});
    }
    return Message(NoticeCode::kTextSizeBytes, {std::to_string(bytes)});
}

Status TooLarge(const std::string& path, int64_t max_bytes) {
    return Status::Error(ErrorKind::kLimit, kErrLimit,
                         Message(NoticeCode::kTextTooLarge, {path, SizeText(max_bytes)}));
}

}  // namespace

Result<std::string> ReadFileBytes(Env& env, const std::string& path, int64_t max_bytes,
                                  FileTrust trust) {
    // An administrator's file is opened only through its trusted folder, by its name alone.
    std::shared_ptr<DirectoryHandle> folder;
    if (trust == FileTrust::kAdministrator) {
        auto opened = OpenTrustedFolderOf(env, path);
        if (!opened.ok()) {
            if (opened.status().Is(ErrorKind::kNotFound)) {
                return Status::FromErrno(ENOENT, Message(NoticeCode::kTextCannotOpen, {path}));
            }
            return Status::Error(
                opened.status().kind(), opened.status().code(),
                Message(NoticeCode::kTextRefusedToRead, {path, opened.status().what()}));
        }
        folder = std::move(opened).value();
    }
    // O_NONBLOCK: opening a named pipe with no writer would otherwise wait for ever.
    int fd = folder ? env.OpenAt(folder->fd(), FileNameOfPath(path).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0)
                    : env.OpenAt(AT_FDCWD, path.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ELOOP) {
            return Status::Error(ErrorKind::kLink, ELOOP, Message(NoticeCode::kTextIsLink, {path}));
        }
        return Status::FromErrno(errno, Message(NoticeCode::kTextCannotOpen, {path}));
    }
    struct stat st {};
    if (env.FStat(fd, &st) != 0) {
        Status failed = Status::FromErrno(errno, Message(NoticeCode::kTextCannotStat, {path}));
        env.Close(fd);
        return failed;
    }
    if (!S_ISREG(st.st_mode)) {
        env.Close(fd);
        return Status::Error(ErrorKind::kRefused, kErrFormat,
                             Message(NoticeCode::kTextNotRegular, {path, KindName(st.st_mode)}));
    }
    if (trust == FileTrust::kAdministrator) {
        const Message why = WhyFileUntrusted(env, st, path, false);
        if (!why.empty()) {
            env.Close(fd);
            return Status::Error(ErrorKind::kRefused, EPERM, why);
        }
    }
    if (max_bytes != kNoSizeLimit && st.st_size > max_bytes) {
        env.Close(fd);
        return TooLarge(path, max_bytes);
    }
    // Never more than one byte past the bound, however the file grows after fstat.
    const int64_t most = max_bytes == kNoSizeLimit ? INT64_MAX : max_bytes + 1;
    std::string bytes;
    bytes.reserve(static_cast<size_t>(std::min<int64_t>(st.st_size, most)));
    char buf[65536];
    Status read;
    while (static_cast<int64_t>(bytes.size()) < most) {
        const size_t want = static_cast<size_t>(
            std::min<int64_t>(sizeof buf, most - static_cast<int64_t>(bytes.size())));
        const ssize_t n = env.Read(fd, buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            read = Status::FromErrno(errno, Message(NoticeCode::kTextCannotRead, {path}));
            break;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    env.Close(fd);
    if (!read.ok()) return read;
    if (max_bytes != kNoSizeLimit && static_cast<int64_t>(bytes.size()) > max_bytes) {
        return TooLarge(path, max_bytes);
    }
    return bytes;
}

namespace {

// U+FEFF in UTF-8: the byte-order mark.
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

Status LineError(const std::string& path, size_t number, const Status& cause) {
    return Status::Error(
        cause.kind(), cause.code(),
        Message(NoticeCode::kTextLineError, {path, std::to_string(number), cause.what()}));
}

// Lines of UTF-16 text (after its byte-order mark), split at the LF code unit.
Result<std::vector<std::string>> Utf16Lines(const std::string& path, std::string_view data,
                                            bool big_endian) {
    const char lf_first = big_endian ? '\0' : '\n';
    const char lf_second = big_endian ? '\n' : '\0';
    const char cr_first = big_endian ? '\0' : '\r';
    const char cr_second = big_endian ? '\r' : '\0';
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t stop = start;
        while (stop + 1 < data.size() && !(data[stop] == lf_first && data[stop + 1] == lf_second))
            stop += 2;
        // A lone last byte stays in the line, where decoding reports it.
        if (stop + 1 == data.size()) ++stop;
        size_t next = stop < data.size() ? stop + 2 : stop;
        if (stop >= start + 2 && stop % 2 == 0 && data[stop - 2] == cr_first &&
            data[stop - 1] == cr_second) {
            stop -= 2;
        }
        auto line = DecodeUtf16(data.substr(start, stop - start), big_endian);
        if (!line.ok()) return LineError(path, lines.size() + 1, line.status());
        lines.push_back(std::move(line).value());
        start = next;
    }
    return lines;
}

}  // namespace

Result<std::vector<std::string>> ReadTextLines(Env& env, const std::string& path,
                                               const std::string& charset, int64_t max_bytes,
                                               FileTrust trust) {
    auto bytes = ReadFileBytes(env, path, max_bytes, trust);
    if (!bytes.ok()) return bytes.status();
    std::string_view data = bytes.value();
    std::string set = charset.empty() ? SystemCharset() : charset;
    // A byte-order mark names the file's encoding, whatever the locale's. Marks repeated after
    // it go too: written back without a mark, a leading U+FEFF would read as one.
    if (data.starts_with(kUtf8Mark)) {
        while (data.starts_with(kUtf8Mark)) data.remove_prefix(kUtf8Mark.size());
        set = kUtf8;
    } else if (data.starts_with("\xFF\xFE") || data.starts_with("\xFE\xFF")) {
        bool big_endian = data[0] == '\xFE';
        auto lines = Utf16Lines(path, data.substr(2), big_endian);
        if (lines.ok() && !lines->empty()) {
            std::string& first = lines->front();
            size_t marks = 0;
            while (std::string_view(first).substr(marks).starts_with(kUtf8Mark))
                marks += kUtf8Mark.size();
            first.erase(0, marks);
        }
        return lines;
    }

    // Each line decides for itself (with a UTF-8 set: UTF-8, else CP932), so one line written on
    // Windows does not turn the UTF-8 lines around it into mojibake.
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        size_t next = end == std::string::npos ? data.size() : end + 1;
        size_t stop = end == std::string::npos ? data.size() : end;
        if (stop > start && data[stop - 1] == '\r') --stop;
        auto line = DecodeText(data.substr(start, stop - start), set);
        if (!line.ok()) return LineError(path, lines.size() + 1, line.status());
        lines.push_back(std::move(line).value());
        start = next;
    }
    return lines;
}

Result<std::unique_ptr<AtomicFile>> AtomicFile::Create(Env& env, const std::string& path) {
    std::string temp = path + ".tmp-XXXXXX";
    int fd = env.MkOsTemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Status::FromErrno(errno, Message(NoticeCode::kTextCannotMakeTemp, {path}));
    return std::unique_ptr<AtomicFile>(new AtomicFile(env, path, std::move(temp), fd));
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) {
        env_->Close(fd_);
        env_->UnlinkAt(AT_FDCWD, temp_.c_str(), 0);
    } else if (sealed_ && !keep_sealed_) {
        env_->UnlinkAt(AT_FDCWD, temp_.c_str(), 0);
    }
}

Status AtomicFile::Finish(mode_t mode, struct stat* st) {
    if (fd_ < 0) {
        return Status::Error(ErrorKind::kIo, EBADF,
                             Message(NoticeCode::kTextAlreadyClosed, {path_}));
    }
    Status status;
    if (env_->FChmod(fd_, mode) != 0)
        status = Status::FromErrno(errno, Message(NoticeCode::kTextCannotSetMode, {temp_}));
    if (status.ok() && env_->Fsync(fd_) != 0)
        status = Status::FromErrno(errno, Message(NoticeCode::kTextCannotWrite, {path_}));
    if (status.ok() && st && env_->FStat(fd_, st) != 0)
        status = Status::FromErrno(errno, Message(NoticeCode::kTextCannotRead, {temp_}));
    int closed = env_->Close(fd_);
    fd_ = -1;
    sealed_ = true;
    if (closed != 0 && status.ok()) {
        status = Status::FromErrno(errno, Message(NoticeCode::kTextCannotWrite, {path_}));
    }
    return status;
}

Result<FileIdentity> AtomicFile::Seal(mode_t mode) {
    struct stat st {};
    NORV_RETURN_IF_ERROR(Finish(mode, &st));
    return FileIdentity{st.st_dev, st.st_ino};
}

Status AtomicFile::Publish() {
    if (!sealed_) {
        return Status::Error(ErrorKind::kIo, EBADF,
                             Message(NoticeCode::kTextNotYetClosed, {temp_}));
    }
    if (env_->RenameAt(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), 0) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kTextCannotReplace, {path_}));
    }
    sealed_ = false;
    SyncParentDirectory(*env_, path_);
    return Status::Ok();
}

Status AtomicFile::Write(std::string_view data) { return WriteFully(*env_, fd_, data, path_); }

Status AtomicFile::Commit(mode_t mode) {
    Status status = Finish(mode, nullptr);
    if (status.ok()) status = Publish();
    if (!status.ok()) {
        env_->UnlinkAt(AT_FDCWD, temp_.c_str(), 0);
        sealed_ = false;
    }
    return status;
}

Status WriteFileAtomic(Env& env, const std::string& path, const std::string& bytes, mode_t mode) {
    auto file = AtomicFile::Create(env, path);
    if (!file.ok()) return file.status();
    NORV_RETURN_IF_ERROR((*file)->Write(bytes));
    return (*file)->Commit(mode);
}

Status WriteTextFileAtomic(Env& env, const std::string& path, const std::vector<std::string>& lines,
                           const std::string& charset, mode_t mode) {
    std::string set = charset.empty() ? SystemCharset() : charset;
    std::string bytes;
    for (size_t i = 0; i < lines.size(); ++i) {
        auto encoded = EncodeText(lines[i], set);
        if (!encoded.ok()) {
            return LineError(path, i + 1, encoded.status());
        }
        bytes += encoded.value();
        bytes += "\r\n";
    }
    return WriteFileAtomic(env, path, bytes, mode);
}

}  // namespace norv::platform
