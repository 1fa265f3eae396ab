#include "response/hold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>

#include "engine/scan_log.h"
#include "platform/base/notice_code.h"

namespace norv {
namespace {

using platform::ScopedFd;

constexpr std::string_view kHoldHeader = "norv-hold 1";

int64_t SecondsOf(platform::TimePoint t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Why the opened record must be ignored, or none when it may count: only a regular file of root
// (of the running user when norv is not root), mode 0600, can pause the response.
Message WhyUntrusted(platform::Env& env, const struct stat& st) {
    const uid_t me = env.GetEuid();
    if (!S_ISREG(st.st_mode)) return Message(NoticeCode::kHoldNotRegularFile);
    if (st.st_uid != me) {
        const std::string owner = std::to_string(st.st_uid);
        return me == 0 ? Message(NoticeCode::kHoldOwnerNotRoot, {owner})
                       : Message(NoticeCode::kHoldOwnerNotUser, {owner, std::to_string(me)});
    }
    if ((st.st_mode & 07777) != 0600) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return Message(NoticeCode::kHoldModeNotPrivate, {std::string(mode)});
    }
    if (st.st_size > static_cast<off_t>(kMostHoldBytes)) return Message(NoticeCode::kHoldTooLarge);
    return Message();
}

std::string RecordKey(const struct stat& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

}  // namespace

bool HoldRecord::Covers(std::string_view path) const {
    if (rules.empty()) return true;
    for (const std::string& rule : rules) {
        if (path == rule) return true;
        const bool separated = !rule.empty() && rule.back() == platform::kSeparator;
        if (path.size() > rule.size() && path.substr(0, rule.size()) == rule &&
            (separated || path[rule.size()] == platform::kSeparator)) {
            return true;
        }
    }
    return false;
}

std::string HoldText(const HoldRecord& record) {
    std::string text = std::string(kHoldHeader) + "\n";
    text += "pid=" + std::to_string(record.pid) + "\n";
    text += "started=" + std::to_string(record.started) + "\n";
    text += "expires=" + std::to_string(record.expires) + "\n";
    for (const std::string& rule : record.rules) text += "rule=" + rule + "\n";
    return text;
}

Result<HoldRecord> ParseHold(std::string_view text) {
    auto bad = [](Message why) {
        return Status::Error(ErrorKind::kFormat, EINVAL,
                             Message(NoticeCode::kHoldMalformed, {std::move(why)}));
    };
    HoldRecord record;
    bool pid = false, started = false, expires = false, header = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) return bad(Message(NoticeCode::kHoldLastLineUnended));
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!header) {
            if (line != kHoldHeader) {
                return bad(Message(NoticeCode::kHoldHeaderWrong, {std::string(kHoldHeader)}));
            }
            header = true;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) return bad(Message(NoticeCode::kHoldLineWithoutEquals));
        const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "pid" && !pid) {
            pid = platform::ParseWholeNumber(value, record.pid) && record.pid > 0;
            if (!pid) return bad(std::string("pid"));
        } else if (key == "started" && !started) {
            started = platform::ParseWholeNumber(value, record.started);
            if (!started) return bad(std::string("started"));
        } else if (key == "expires" && !expires) {
            expires = platform::ParseWholeNumber(value, record.expires);
            if (!expires) return bad(std::string("expires"));
        } else if (key == "rule" && !value.empty() && value[0] == platform::kSeparator &&
                   record.rules.size() < kMostHeldRules) {
            record.rules.emplace_back(value);
        } else {
            return bad(DisplayText(line));
        }
    }
    if (!header || !pid || !started || !expires) return bad(Message(NoticeCode::kHoldFieldMissing));
    return record;
}

std::optional<uint64_t> ProcessStartTime(platform::Env& env, int64_t pid) {
    if (pid <= 0) return std::nullopt;
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    ScopedFd fd(env, env.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
    if (fd.get() < 0) return std::nullopt;
    std::array<char, 4096> buffer{};
    auto read = platform::ReadOnce(env, fd.get(), buffer, path);
    if (!read.ok() || *read == 0) return std::nullopt;
    const std::string_view stat(buffer.data(), *read);
    // The command name may hold anything, ")" too: the fields start after the last ")".
    const size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // Fields from the third: state (1st here) ... starttime (20th here, 22nd of the line).
    for (int field = 1; field <= 20; ++field) {
        const size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return std::nullopt;
        rest = rest.substr(start);
        const size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view value = rest.substr(0, end);
        // A process that has ended but is not yet reaped holds nothing any more.
        if (field == 1 && (value == "Z" || value == "X")) return std::nullopt;
        if (field == 20) {
            uint64_t started = 0;
            if (!platform::ParseWholeNumber(value, started)) return std::nullopt;
            return started;
        }
        rest = rest.substr(end);
    }
    return std::nullopt;
}

HoldReader::HoldReader(platform::Env& env, std::string program_dir, const platform::Clock& clock)
    : env_(env), program_dir_(std::move(program_dir)), clock_(clock) {}

HoldLook HoldReader::ReadHold() {
    HoldLook look;
    const std::string shown = platform::JoinPath(program_dir_, kHoldFileName);
    if (!folder_) {
        auto folder = platform::OpenTrustedFolder(env_, program_dir_);
        if (!folder.ok()) return look;  // start-up refuses such a folder; nothing to hold here
        folder_ = std::move(folder).value();
    }
    ScopedFd fd(env_, env_.OpenAt(folder_->fd(), kHoldFileName,
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0));
    if (fd.get() < 0) {
        // No record is the usual case: told by the kind alone, without a message made.
        const int error = errno;
        if (KindOfErrno(error) == ErrorKind::kNotFound) {
            said_for_.clear();
            return look;
        }
        if (said_for_ != "open") {
            said_for_ = "open";
            look.notes.push_back(Message(
                NoticeCode::kHoldUnopenedIgnored,
                {Status::FromErrno(error, Message(NoticeCode::kCannotReadHold, {shown})).what()}));
        }
        return look;
    }
    struct stat st {};
    if (env_.FStat(fd.get(), &st) != 0) return look;
    const std::string key = RecordKey(st);
    auto ignore = [&](Message why) {
        if (said_for_ != key) {
            said_for_ = key;
            look.notes.push_back(
                Message(NoticeCode::kHoldIgnored, {DisplayPath(shown), std::move(why)}));
        }
        return look;
    };
    if (Message why = WhyUntrusted(env_, st); !why.empty()) return ignore(std::move(why));
    std::string text;
    std::array<char, 4096> buffer{};
    Status read = platform::ReadToEnd(
        env_, fd.get(), buffer,
        [&](std::string_view block) {
            if (text.size() + block.size() > kMostHoldBytes) {
                return Status::Error(ErrorKind::kLimit, EFBIG, Message(NoticeCode::kHoldTooLarge));
            }
            text.append(block);
            return Status::Ok();
        },
        shown, 0);
    if (!read.ok()) return ignore(Message(NoticeCode::kHoldUnreadable, {read.what()}));
    auto record = ParseHold(text);
    if (!record.ok()) {
        return ignore(Message(NoticeCode::kHoldUnreadable, {record.status().what()}));
    }

    Message ended;
    if (SecondsOf(clock_.Now()) >= record->expires) {
        ended = Message(NoticeCode::kHoldExpired, {std::to_string(record->pid)});
    } else if (env_.Flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
        // The holder keeps an exclusive lock on the record while it lives, and the kernel lets
        // it go when the holder ends, however it ends: a lock to be had means nobody holds.
        // Any other failure to lock leaves the hold standing, until its time is up.
        ended = Message(NoticeCode::kHoldHolderGone, {std::to_string(record->pid)});
    }
    if (ended.empty()) {
        said_for_.clear();
        look.hold = std::move(record).value();
        return look;
    }
    // The record goes only when the name still holds the very file read.
    struct stat now {};
    if (env_.FStatAt(folder_->fd(), kHoldFileName, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
        env_.UnlinkAt(folder_->fd(), kHoldFileName, 0);
    }
    if (said_for_ != key) {
        said_for_ = key;
        look.notes.push_back(Message(NoticeCode::kHoldEndedResponseResumes, {std::move(ended)}));
        look.ended = true;
    }
    return look;
}

Result<std::unique_ptr<Hold>> Hold::Take(platform::Env& env, const std::string& program_dir,
                                         const platform::Clock& clock, const HoldRecord& record) {
    const std::string path = platform::JoinPath(program_dir, kHoldFileName);
    for (const std::string& rule : record.rules) {
        if (rule.find('\n') != std::string::npos) {
            return Status::Error(ErrorKind::kFormat, EINVAL,
                                 Message(NoticeCode::kCannotHoldNewline, {DisplayPath(rule)}));
        }
    }
    auto folder = platform::OpenTrustedFolder(env, program_dir);
    if (!folder.ok()) return folder.status();
    const int dir = (*folder)->fd();
    const std::string temporary = std::string(kHoldFileName) + "." + std::to_string(record.pid);
    env.UnlinkAt(dir, temporary.c_str(), 0);
    ScopedFd fd(env, env.OpenAt(dir, temporary.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return Status::FromErrno(errno, Message(NoticeCode::kCannotCreateHold, {path}));
    auto fail = [&](const Status& status) {
        env.UnlinkAt(dir, temporary.c_str(), 0);
        return status;
    };
    struct stat st {};
    // Locked before it is in place: from its first moment under its name, the record is held
    // for as long as this process keeps the descriptor (close-on-exec, so the deploy's command
    // does not inherit it).
    if (env.Flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || env.FChmod(fd.get(), 0600) != 0 ||
        env.FStat(fd.get(), &st) != 0) {
        return fail(Status::FromErrno(errno, Message(NoticeCode::kCannotCreateHold, {path})));
    }
    Status written = platform::WriteFully(env, fd.get(), HoldText(record), path);
    if (written.ok() && env.Fsync(fd.get()) != 0) written = Status::FromErrno(errno, path);
    if (!written.ok()) return fail(written);
    // A record already there counts unless it ended by itself (the look removes it then).
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (env.RenameAt(dir, temporary.c_str(), dir, kHoldFileName, RENAME_NOREPLACE) == 0) {
            return std::unique_ptr<Hold>(
                new Hold(std::move(folder).value(), path, {st.st_dev, st.st_ino}, fd.release()));
        }
        const Status placed =
            Status::FromErrno(errno, Message(NoticeCode::kCannotPlaceHold, {path}));
        if (!placed.Is(ErrorKind::kExists)) return fail(placed);
        HoldLook look = HoldReader(env, program_dir, clock).ReadHold();
        if (look.hold) {
            return fail(Status::Error(
                ErrorKind::kBusy, EBUSY,
                Message(NoticeCode::kAnotherDeployHolds, {std::to_string(look.hold->pid), path})));
        }
        if (!look.ended) {
            return fail(Status::Error(
                ErrorKind::kRefused, EEXIST,
                Message(NoticeCode::kHoldRecordInTheWay,
                        {path, look.notes.empty() ? Message() : look.notes.front()})));
        }
    }
    return fail(
        Status::Error(ErrorKind::kBusy, EBUSY, Message(NoticeCode::kHoldPlacementRaced, {path})));
}

Hold::~Hold() { End(); }

Status Hold::End() {
    if (ended_) return Status::Ok();
    ended_ = true;
    platform::Env& env = folder_->env();
    // The lock goes last, once the record is gone: a look that opened it meanwhile still finds
    // it held rather than stale.
    ScopedFd lock(env, lock_fd_);
    lock_fd_ = -1;
    struct stat st {};
    if (env.FStatAt(folder_->fd(), kHoldFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const Status looked = Status::FromErrno(errno, path_);
        return looked.Is(ErrorKind::kNotFound) ? Status::Ok() : looked;
    }
    // Another hold may stand there now, once this one ended by itself: that one stays.
    if (st.st_dev != identity_.device || st.st_ino != identity_.inode) return Status::Ok();
    if (env.UnlinkAt(folder_->fd(), kHoldFileName, 0) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kCannotRemoveHold, {path_}));
    }
    return Status::Ok();
}

}  // namespace norv
