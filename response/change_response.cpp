#include "response/change_response.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/file_system.h"
#include "platform/md5.h"

namespace norv {
namespace {

Status CopyRegularFile(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return Status::FromErrno(errno, from + " を読めません");
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return Status::Error(EINVAL, from + " は通常のファイルではありません");
    }
    // O_EXCL: an earlier copy of the same name is evidence too, never overwritten.
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        int err = errno;
        ::close(in);
        return Status::FromErrno(err, to + " を作れません");
    }
    Status status;
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            status = Status::FromErrno(errno, from + " を読めません");
            break;
        }
        if (n == 0) break;
        status = platform::WriteFully(out, std::string_view(buffer, static_cast<size_t>(n)), to);
        if (!status.ok()) break;
    }
    if (status.ok() && ::fsync(out) != 0)
        status = Status::FromErrno(errno, to + " に書き込めません");
    timespec times[2] = {st.st_atim, st.st_mtim};
    if (status.ok()) ::futimens(out, times);
    ::close(out);
    ::close(in);
    // The copy must hold exactly what the file held before the original may go.
    if (status.ok() && platform::Md5OfFile(to) != platform::Md5OfFile(from)) {
        status = Status::Error(EIO, to + " の内容が元のファイルと一致しません");
    }
    if (!status.ok()) ::unlink(to.c_str());
    return status;
}

Status CopySymlink(const std::string& from, const std::string& to) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(from.c_str(), target, sizeof target);
    if (n < 0) return Status::FromErrno(errno, from + " を読めません");
    if (::symlink(std::string(target, static_cast<size_t>(n)).c_str(), to.c_str()) != 0) {
        return Status::FromErrno(errno, to + " を作れません");
    }
    return Status::Ok();
}

}  // namespace

std::string CrackedStamp(const platform::RegionalFormat& regional, platform::TimePoint now) {
    std::string stamp = regional.ShortDate(now) + regional.LongTime(now);
    for (char& c : stamp) {
        if (c == '/' || c == ':') c = '-';
    }
    return stamp;
}

ChangeResponse::ChangeResponse(const Settings& settings, const SettingsEditState& edit,
                               ProtectedArchive& archive, const platform::Clock& clock,
                               const platform::RegionalFormat& regional, MessageBoxSink& messages)
    : settings_(settings),
      edit_(edit),
      archive_(archive),
      clock_(clock),
      regional_(regional),
      messages_(messages) {}

void ChangeResponse::RespondToChange(std::string_view kind, const std::string& path) {
    const std::string archive = archive_.ArchivePath();
    if (edit_.check2 == 0) return;
    if (!platform::FileExists(archive)) {
        messages_.ShowMessageBox(kNotSavedMessage);
        return;
    }
    if (kind == kChangeCreated) MoveToCracked(path);
    if (kind == kChangeAltered) {
        // The archived version goes back only once the tampered one is kept as evidence.
        if (MoveToCracked(path)) archive_.RestoreFromArchive(path);
    }
    if (kind == kChangeDeleted) archive_.RestoreFromArchive(path);
}

bool ChangeResponse::MoveToCracked(const std::string& path) {
    const std::string& folder = settings_.cracked_dir;
    auto fail = [&](const Status& status) {
        messages_.ShowMessageBox(
            "改ざんされたファイル " + path +
            " をクラックフォルダへ移せません (ファイルはそのままです): " + status.message());
        return false;
    };
    Status made = platform::MakeDirectories(folder, 0700);
    if (!made.ok()) return fail(made);

    auto facts = platform::LStat(path);
    if (!facts.ok()) return fail(facts.status());
    if (facts->kind != platform::EntryKind::kRegular &&
        facts->kind != platform::EntryKind::kSymlink) {
        return fail(Status::Error(ENOENT, path + " がありません"));
    }
    const std::string stamp = CrackedStamp(regional_, clock_.Now());
    const std::string name = platform::FileNameOfPath(path);
    // A second change of the same name within the same second gets its own copy.
    auto taken = [](const std::string& candidate) {
        auto existing = platform::LStat(candidate);
        return !existing.ok() || existing->kind != platform::EntryKind::kMissing;
    };
    std::string target = platform::JoinPath(folder, stamp + name);
    for (int n = 2; taken(target); ++n) {
        target = platform::JoinPath(folder, stamp + "(" + std::to_string(n) + ")" + name);
    }
    Status copied = facts->kind == platform::EntryKind::kSymlink ? CopySymlink(path, target)
                                                                 : CopyRegularFile(path, target);
    if (!copied.ok()) return fail(copied);
    if (::unlink(path.c_str()) != 0) {
        return fail(Status::FromErrno(
            errno, path + " を削除できません (コピーは " + target + " にあります)"));
    }
    return true;
}

}  // namespace norv
