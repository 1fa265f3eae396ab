#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/charset.h"
#include "platform/file_system.h"

namespace norv::platform {
Result<std::string> ReadFileBytes(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::FromErrno(errno, path + " を開けません");
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return Status::FromErrno(err, path + " を読めません");
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

Result<std::vector<std::string>> ReadTextLines(const std::string& path,
                                               const std::string& charset) {
    auto bytes = ReadFileBytes(path);
    if (!bytes.ok()) return bytes.status();
    const std::string& data = bytes.value();
    std::string set = charset.empty() ? SystemCharset() : charset;
    // The whole file decides: valid UTF-8 throughout, or read as CP932.
    if (IsUtf8Charset(set) && !IsValidUtf8(data)) set = kCp932;

    std::vector<std::string> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        size_t next = end == std::string::npos ? data.size() : end + 1;
        size_t stop = end == std::string::npos ? data.size() : end;
        if (stop > start && data[stop - 1] == '\r') --stop;
        auto line = DecodeText(std::string_view(data).substr(start, stop - start), set);
        if (!line.ok()) {
            return Status::Error(line.status().code(), path + " の " +
                                                           std::to_string(lines.size() + 1) +
                                                           " 行目: " + line.status().message());
        }
        lines.push_back(std::move(line).value());
        start = next;
    }
    return lines;
}

Result<std::unique_ptr<AtomicFile>> AtomicFile::Create(const std::string& path) {
    std::string temp = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return Status::FromErrno(errno, path + " の一時ファイルを作れません");
    return std::unique_ptr<AtomicFile>(new AtomicFile(path, std::move(temp), fd));
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temp_.c_str());
    }
}

Status AtomicFile::Write(std::string_view data) { return WriteFully(fd_, data, path_); }

Status AtomicFile::Commit(mode_t mode) {
    Status status;
    if (::fchmod(fd_, mode) != 0)
        status = Status::FromErrno(errno, temp_ + " の属性を設定できません");
    if (status.ok() && ::fsync(fd_) != 0)
        status = Status::FromErrno(errno, path_ + " に書き込めません");
    int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0 && status.ok()) status = Status::FromErrno(errno, path_ + " に書き込めません");
    if (status.ok() && ::rename(temp_.c_str(), path_.c_str()) != 0) {
        status = Status::FromErrno(errno, path_ + " を置き換えられません");
    }
    if (!status.ok()) {
        ::unlink(temp_.c_str());
        return status;
    }
    SyncParentDirectory(path_);
    return Status::Ok();
}

Status WriteFileAtomic(const std::string& path, const std::string& bytes, mode_t mode) {
    auto file = AtomicFile::Create(path);
    if (!file.ok()) return file.status();
    NORV_RETURN_IF_ERROR((*file)->Write(bytes));
    return (*file)->Commit(mode);
}

Status WriteTextFileAtomic(const std::string& path, const std::vector<std::string>& lines,
                           const std::string& charset, mode_t mode) {
    std::string set = charset.empty() ? SystemCharset() : charset;
    std::string bytes;
    for (size_t i = 0; i < lines.size(); ++i) {
        auto encoded = EncodeText(lines[i], set);
        if (!encoded.ok()) {
            return Status::Error(
                encoded.status().code(),
                path + " の " + std::to_string(i + 1) + " 行目: " + encoded.status().message());
        }
        bytes += encoded.value();
        bytes += "\r\n";
    }
    return WriteFileAtomic(path, bytes, mode);
}

}  // namespace norv::platform
