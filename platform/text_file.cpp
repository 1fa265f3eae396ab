#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/charset.h"
#include "platform/file_ops.h"
#include "platform/file_system.h"

namespace norv::platform {
Result<std::string> ReadFileBytes(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::FromErrno(errno, path + " を開けません");
    std::string bytes;
    char buf[65536];
    Status read = ReadToEnd(
        fd, buf,
        [&](std::string_view block) {
            bytes += block;
            return Status::Ok();
        },
        path + " を読めません");
    ::close(fd);
    if (!read.ok()) return read;
    return bytes;
}

namespace {

// U+FEFF in UTF-8: the byte-order mark.
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

Status LineError(const std::string& path, size_t number, const Status& cause) {
    return Status::Error(cause.kind(), cause.code(),
                         path + " の " + std::to_string(number) + " 行目: " + cause.message());
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

Result<std::vector<std::string>> ReadTextLines(const std::string& path,
                                               const std::string& charset) {
    auto bytes = ReadFileBytes(path);
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
    if (status.ok() && Files().Fsync(fd_) != 0)
        status = Status::FromErrno(errno, path_ + " に書き込めません");
    int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0 && status.ok()) status = Status::FromErrno(errno, path_ + " に書き込めません");
    if (status.ok() && Files().RenameAt(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), 0) != 0) {
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
                encoded.status().kind(), encoded.status().code(),
                path + " の " + std::to_string(i + 1) + " 行目: " + encoded.status().message());
        }
        bytes += encoded.value();
        bytes += "\r\n";
    }
    return WriteFileAtomic(path, bytes, mode);
}

}  // namespace norv::platform
