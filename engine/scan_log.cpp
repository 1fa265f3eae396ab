#include "engine/scan_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"

namespace norv {
namespace {

constexpr int kPrintZone = 14;
// Lines are handed to the system in blocks of about this size, and at each change line.
constexpr size_t kBlockBytes = 8192;

// The log's fixed texts, byte for byte as its readers (people, scripts, the mail) expect them.
namespace words {
constexpr std::string_view kTitle = "                    NORV スキャン結果\u3000";
constexpr std::string_view kServerName = "サーバ名： ";
constexpr std::string_view kDateTime = "\u3000\u3000日時： ";
constexpr std::string_view kRuleHeader = "===> ディレクトリ検査 : ";
constexpr std::string_view kCreated = "Created: ";
constexpr std::string_view kAltered = "Altered: ";
constexpr std::string_view kDeleted = "Deleted: ";
constexpr std::string_view kSkipped = "Skipped: ";
constexpr std::string_view kWarning = "Warning: ";
constexpr std::string_view kNotice = "Notice: ";
constexpr std::string_view kSummaryTitle =
    "\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000サマリー情報";
constexpr std::string_view kChecked = "検査数：";
constexpr std::string_view kAlteredCount = "更新\u3000：";
constexpr std::string_view kCreatedCount = "作成\u3000：";
constexpr std::string_view kDeletedCount = "削除\u3000：";
constexpr std::string_view kUncheckedCount = "未検査：";
}  // namespace words

// A change line's word: what happened to the file.
std::string_view ChangeWord(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kCreated:
            return words::kCreated;
        case ChangeKind::kAltered:
            return words::kAltered;
        case ChangeKind::kDeleted:
        // The log keeps a move's two lines: its recorded path deleted (this one), its new path
        // created (written when the file was met).
        case ChangeKind::kMoved:
            return words::kDeleted;
    }
    return words::kAltered;
}

void AppendHexEscape(std::string& out, unsigned value, int digits, char kind) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\%c%0*X", kind, digits, value);
    out += buf;
}

// A text with what could break or forge a line, or hide in it, escaped (see DisplayPath).
std::string Escaped(std::string_view path, bool escape_backslash) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size();) {
        auto c = static_cast<unsigned char>(path[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            AppendHexEscape(out, c, 2, 'x');
        } else if (c == '\\' && escape_backslash) {
            // Escaped itself, so a name holding a backslash and "n" never reads as a line break.
            out += "\\\\";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            char32_t cp = 0;
            size_t n = platform::DecodeUtf8At(path, i, cp);
            if (n == 0) {
                AppendHexEscape(out, c, 2, 'x');
            } else {
                if (platform::IsHiddenCodePoint(cp)) {
                    if (cp > 0xFFFF) {
                        AppendHexEscape(out, static_cast<unsigned>(cp), 8, 'U');
                    } else {
                        AppendHexEscape(out, static_cast<unsigned>(cp), 4, 'u');
                    }
                } else {
                    out.append(path.substr(i, n));
                }
                i += n;
                continue;
            }
        }
        ++i;
    }
    return out;
}

}  // namespace

std::string DisplayPath(std::string_view path) { return Escaped(path, true); }

std::string DisplayText(std::string_view text) { return Escaped(text, false); }

std::string LogText(const Message& message) {
    if (message.code() == NoticeCode::kLiteral) return message.literal();
    std::vector<Message> args;
    args.reserve(message.args().size());
    for (const Message& arg : message.args()) {
        args.push_back(arg.code() == NoticeCode::kLiteral ? arg
                                                          : Message(DisplayPath(Render(arg))));
    }
    return Render(Message(message.code(), std::move(args)));
}

std::string CountLine(std::string_view label, int32_t count) {
    int columns = 0;
    for (size_t i = 0; i < label.size();) {
        const size_t end = platform::Utf8CharacterEnd(label, i);
        // A full-width character takes two columns, as CP932 prints it.
        columns += end - i == 1 ? 1 : 2;
        i = end;
    }
    std::string line(label);
    line.append(static_cast<size_t>(kPrintZone - columns % kPrintZone), ' ');
    line += count < 0 ? "" : " ";
    line += std::to_string(count);
    line += ' ';
    return line;
}

ScanLog::~ScanLog() { CloseKeepingLines(); }

Status ScanLog::OpenFile(platform::Env& env, int how, NoticeCode failure) {
    // Emptied only once known to be norv's own file with no other name: through a hard link the
    // truncation and the lines would reach another file.
    int fd = env.OpenAt(AT_FDCWD, path_.c_str(),
                        O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (how & ~O_TRUNC), 0600);
    if (fd < 0) return Status::FromErrno(errno, Message(failure, {path_}));
    Status own = platform::CheckOwnFileToWrite(env, fd, path_);
    if (!own.ok()) {
        own = Status::Error(own.kind(), own.code(),
                            Message(NoticeCode::kLogFileRefused, {own.what()}));
    } else if ((how & O_TRUNC) != 0 && env.FTruncate(fd, 0) != 0) {
        own = Status::FromErrno(errno, Message(failure, {path_}));
    }
    if (!own.ok()) {
        env.Close(fd);
        return own;
    }
    env_ = &env;
    fd_ = fd;
    pending_.clear();
    return Status::Ok();
}

Status ScanLog::Open(platform::Env& env, const std::string& path, const std::string& charset,
                     const std::string& server_name, const std::string& date_time) {
    CloseKeepingLines();
    line_prefix_.clear();
    path_ = path;
    charset_ = charset.empty() ? platform::SystemCharset() : charset;
    NORV_RETURN_IF_ERROR(OpenFile(env, O_TRUNC, NoticeCode::kCannotCreateLog));
    const std::string lines[] = {
        std::string(kLogSeparator),
        std::string(words::kTitle),
        std::string(kLogSeparator),
        std::string(words::kServerName) + server_name,
        std::string(words::kDateTime) + date_time,
        std::string(kLogSeparator),
    };
    for (const auto& line : lines) NORV_RETURN_IF_ERROR(WriteLine(line));
    return Flush();
}

Status ScanLog::OpenToAppend(platform::Env& env, const std::string& path,
                             const std::string& charset, const std::string& date_time) {
    CloseKeepingLines();
    path_ = path;
    charset_ = charset.empty() ? platform::SystemCharset() : charset;
    NORV_RETURN_IF_ERROR(OpenFile(env, O_APPEND, NoticeCode::kCannotOpenLog));
    line_prefix_ = date_time + " ";
    return Status::Ok();
}

std::vector<std::string> ScanLog::TakeAppendedLines(size_t* more) {
    *more = appended_beyond_;
    appended_beyond_ = 0;
    return std::exchange(appended_, {});
}

Status ScanLog::RuleHeader(const std::string& rule_path) {
    NORV_RETURN_IF_ERROR(WriteLine(kLogSeparator));
    NORV_RETURN_IF_ERROR(WriteLine(std::string(words::kRuleHeader) + DisplayPath(rule_path)));
    return WriteLine("");
}

Status ScanLog::ChangeLine(ChangeKind kind, const std::string& path) {
    std::string line = line_prefix_;
    line += ChangeWord(kind);
    line += DisplayPath(path);
    NORV_RETURN_IF_ERROR(WriteLine(line));
    if (!line_prefix_.empty()) {
        if (appended_.size() < kMostKeptLines) {
            appended_.push_back(line);
        } else {
            ++appended_beyond_;
        }
    }
    // A change line is evidence: handed to the system before anything acts on the change, so
    // it survives norv being killed there (a power cut may still take the last lines).
    return Flush();
}

Status ScanLog::SkippedLine(const std::string& path) {
    return WriteLine(std::string(words::kSkipped) + DisplayPath(path));
}

Status ScanLog::WarningLine(const Message& text) {
    return WriteLine(std::string(words::kWarning) + LogText(text));
}

Status ScanLog::NoticeLine(const Message& text) {
    return WriteLine(std::string(words::kNotice) + LogText(text));
}

Status ScanLog::SummaryAndClose(const ScanCounters& counters) {
    NORV_RETURN_IF_ERROR(WriteLine(kLogSeparator));
    NORV_RETURN_IF_ERROR(WriteLine(words::kSummaryTitle));
    NORV_RETURN_IF_ERROR(WriteLine(kLogSeparator));
    NORV_RETURN_IF_ERROR(WriteLine(CountLine(words::kChecked, counters.checked)));
    NORV_RETURN_IF_ERROR(WriteLine(CountLine(words::kAlteredCount, counters.altered)));
    NORV_RETURN_IF_ERROR(WriteLine(CountLine(words::kCreatedCount, counters.created)));
    NORV_RETURN_IF_ERROR(WriteLine(CountLine(words::kDeletedCount, counters.deleted)));
    // Only when a part could not be seen: otherwise the summary has its usual four lines.
    if (counters.unchecked > 0) {
        NORV_RETURN_IF_ERROR(WriteLine(CountLine(words::kUncheckedCount, counters.unchecked)));
    }
    Status flushed = Flush();
    const int fd = fd_;
    fd_ = -1;
    if (env_->Close(fd) != 0 && flushed.ok()) {
        flushed = Status::FromErrno(errno, Message(NoticeCode::kCannotWriteLog, {path_}));
    }
    return flushed;
}

void ScanLog::CloseKeepingLines() {
    if (fd_ < 0) return;
    (void)Flush();
    env_->Close(fd_);
    fd_ = -1;
}

Status ScanLog::WriteLine(std::string_view utf8) {
    if (fd_ < 0) {
        return Status::Error(ErrorKind::kIo, EBADF, Message(NoticeCode::kLogNotOpen, {path_}));
    }
    pending_ += platform::EncodeTextEscaping(utf8, charset_);
    pending_ += "\r\n";
    if (pending_.size() >= kBlockBytes) return Flush();
    return Status::Ok();
}

Status ScanLog::Flush() {
    if (pending_.empty()) return Status::Ok();
    Status written = platform::WriteFully(*env_, fd_, pending_, path_);
    pending_.clear();
    if (!written.ok()) {
        return Status::FromErrno(written.code(), Message(NoticeCode::kCannotWriteLog, {path_}));
    }
    return Status::Ok();
}

}  // namespace norv
