#include "response/change_response.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "engine/scan_log.h"
#include "platform/charset.h"
#include "platform/file_ops.h"
#include "platform/file_system.h"
#include "platform/md5.h"

namespace norv {
namespace {

// Copies of one name within one second; past this the move gives up with a message.
constexpr int kMostCopiesPerName = 1000;

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// Copies the open regular file `in` to the new file `out`, flushes it and gives it the
// file's times. The copy must then read back as exactly what the file holds.
Status CopyAndVerify(int in, const struct stat& st, int out, int cracked_dir,
                     const std::string& copy_name, const std::string& shown_copy,
                     std::string* digest) {
    platform::FileOps& files = platform::Files();
    std::vector<char> buffer(1 << 16);
    NORV_RETURN_IF_ERROR(platform::ReadToEnd(
        in, buffer,
        [&](std::string_view block) { return platform::WriteFully(out, block, shown_copy); },
        "読めません"));
    if (files.Fsync(out) != 0) return Status::FromErrno(errno, shown_copy + " に書き込めません");
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
    Descriptor back(
        files.OpenAt(cracked_dir, copy_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (back.get() < 0) return Status::FromErrno(errno, shown_copy + " を読めません");
    *digest = platform::Md5OfDescriptor(back.get());
    if (*digest != platform::Md5OfDescriptor(in) || *digest == platform::kUnreadableDigest) {
        return Status::Error(EIO, shown_copy + " の内容が元のファイルと一致しません");
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

std::string CrackedName(const std::string& stamp, int copy_number, const std::string& name) {
    const std::string unique = copy_number > 1 ? "(" + std::to_string(copy_number) + ")" : "";
    std::string full = stamp + unique + name;
    if (full.size() <= NAME_MAX) return full;
    const size_t dot = name.rfind('.');
    std::string extension;
    if (dot != std::string::npos && dot > 0 && name.size() - dot <= 16) extension = name.substr(dot);
    // Shortened names that begin alike stay apart through a digest of the whole name.
    const std::string tag = "~" + platform::Md5Hex(name).substr(0, 8);
    const size_t fixed = stamp.size() + unique.size() + tag.size() + extension.size();
    const size_t room = fixed < NAME_MAX ? NAME_MAX - fixed : 0;
    // Cut between characters, never inside a UTF-8 sequence.
    size_t cut = 0;
    while (cut < name.size()) {
        const size_t end = platform::Utf8CharacterEnd(name, cut);
        if (end > room) break;
        cut = end;
    }
    full = stamp + unique + name.substr(0, cut) + tag + extension;
    if (full.size() > NAME_MAX) full.resize(NAME_MAX);
    return full;
}

ChangeResponse::ChangeResponse(const Settings& settings, const LiveSwitches& switches,
                               ProtectedArchive& archive, const platform::Clock& clock,
                               const platform::RegionalFormat& regional, MessageBoxSink& messages,
                               std::string charset)
    : settings_(settings),
      switches_(switches),
      archive_(archive),
      clock_(clock),
      regional_(regional),
      messages_(messages),
      charset_(std::move(charset)) {}

void ChangeResponse::RespondToChange(std::string_view kind, const std::string& path,
                                     const FileLocation& where) {
    if (switches_.auto_restore == 0) return;
    if (!platform::FileExists(archive_.ArchivePath())) {
        messages_.ShowMessageBox(kNotSavedMessage);
        if (events_) {
            events_->Action(path, kind == kChangeCreated ? "quarantine" : "restore", false,
                            kNotSavedMessage);
        }
        return;
    }
    if (kind == kChangeCreated) MoveToCracked(kind, path, where);
    if (kind == kChangeAltered) {
        // The archived version goes back only once the tampered one is kept as evidence.
        if (MoveToCracked(kind, path, where)) Restore(path);
    }
    if (kind == kChangeDeleted) Restore(path);
}

void ChangeResponse::Restore(const std::string& path) {
    Status restored = archive_.RestoreFromArchive(path);
    if (events_) {
        events_->Action(path, "restore", restored.ok(),
                        restored.ok() ? path : restored.message());
    }
}

bool ChangeResponse::MoveToCracked(std::string_view kind, const std::string& path,
                                   const FileLocation& where) {
    auto fail = [&](const Status& status) {
        messages_.ShowMessageBox(
            "改ざんされたファイル " + path +
            " をクラックフォルダへ移せません (ファイルはそのままです): " + status.message());
        if (events_) events_->Action(path, "quarantine", false, status.message());
        return false;
    };
    // The folder holding the file: the one the walk verified, or the rule's, name by name.
    std::shared_ptr<platform::DirectoryHandle> opened_holder;
    const platform::DirectoryHandle* holder = where.folder;
    std::string name = where.name;
    if (!holder) {
        auto place = OpenWatchedPlace(archive_.rules(), path);
        if (!place.ok()) return fail(place.status());
        auto folder = OpenHoldingFolder(place.value());
        if (!folder.ok()) return fail(folder.status());
        opened_holder = std::move(folder).value();
        holder = opened_holder.get();
        name = place->relative.back();
    }

    const std::string& folder = settings_.cracked_dir;
    Status made = platform::MakeDirectories(folder, 0700);
    if (!made.ok()) return fail(made);
    auto resolved = platform::ResolveAdministratorPath(folder);
    if (!resolved.ok()) return fail(resolved.status());
    auto cracked = platform::OpenResolvedDirectory(resolved.value(), folder);
    if (!cracked.ok()) return fail(cracked.status());
    const int cracked_fd = (*cracked)->fd();

    // The file itself, opened once: a regular file, or a link (O_NOFOLLOW refuses it).
    Descriptor in(::openat(holder->fd(), name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    std::string link_target;
    if (in.get() >= 0) {
        if (::fstat(in.get(), &st) != 0) return fail(Status::FromErrno(errno, path));
        if (!S_ISREG(st.st_mode)) {
            return fail(Status::Error(EINVAL, path + " は通常のファイルではありません"));
        }
    } else {
        if (errno != ELOOP) return fail(Status::FromErrno(errno, path + " を読めません"));
        if (::fstatat(holder->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode)) {
            return fail(Status::FromErrno(ENOENT, path + " がありません"));
        }
        link_target.assign(PATH_MAX, '\0');
        ssize_t n = ::readlinkat(holder->fd(), name.c_str(), link_target.data(),
                                 link_target.size());
        if (n < 0) return fail(Status::FromErrno(errno, path + " を読めません"));
        link_target.resize(static_cast<size_t>(n));
    }
    const bool is_link = in.get() < 0;

    // A free name: an earlier copy of the same name is evidence too, never overwritten.
    const std::string stamp = CrackedStamp(regional_, clock_.Now());
    std::string copy_name;
    Descriptor out;
    for (int n = 1; n <= kMostCopiesPerName && copy_name.empty(); ++n) {
        std::string candidate = CrackedName(stamp, n, name);
        int made_entry = -1;
        if (is_link) {
            made_entry = ::symlinkat(link_target.c_str(), cracked_fd, candidate.c_str());
        } else {
            out.reset(platform::Files().OpenAt(cracked_fd, candidate.c_str(),
                                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                               0600));
            made_entry = out.get();
        }
        if (made_entry >= 0) {
            copy_name = std::move(candidate);
        } else if (errno != EEXIST) {
            return fail(Status::FromErrno(errno, platform::JoinPath(folder, candidate) +
                                                     " を作れません"));
        }
    }
    if (copy_name.empty()) {
        return fail(Status::Error(EEXIST, folder + " に " + name + " のコピーの空き名がありません"));
    }
    const std::string shown_copy = platform::JoinPath(folder, copy_name);
    std::string digest = platform::Md5Hex(link_target);
    if (!is_link) {
        Status copied =
            CopyAndVerify(in.get(), st, out.get(), cracked_fd, copy_name, shown_copy, &digest);
        if (!copied.ok()) {
            ::unlinkat(cracked_fd, copy_name.c_str(), 0);
            return fail(Status::Error(copied.kind(), copied.code(), path + ": " + copied.message()));
        }
    }

    // The index says where the copy came from.
    std::string line = DisplayPath(copy_name) + "\t" + std::string(kind) + "\t" +
                       regional_.DateTime(clock_.Now()) + "\t" + digest + "\t" +
                       DisplayPath(path);
    std::string bytes = platform::EncodeTextEscaping(
                            line, charset_.empty() ? platform::SystemCharset() : charset_) +
                        "\r\n";
    Descriptor index(::openat(cracked_fd, kCrackedIndexName,
                              O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    Status indexed = index.get() < 0
                         ? Status::FromErrno(errno, platform::JoinPath(folder, kCrackedIndexName))
                         : platform::WriteFully(index.get(), bytes, kCrackedIndexName);
    if (indexed.ok() && ::fsync(index.get()) != 0) indexed = Status::FromErrno(errno, folder);
    if (!indexed.ok()) {
        messages_.ShowMessageBox("クラックフォルダの一覧に " + shown_copy +
                                 " を書けません: " + indexed.message());
    }

    // The file leaves its place only if the name still holds the very file that was copied.
    struct stat now {};
    if (::fstatat(holder->fd(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        return fail(Status::Error(EAGAIN, path + " はコピーの間に置き換えられました (コピーは " +
                                              shown_copy + " にあります)"));
    }
    if (platform::Files().UnlinkAt(holder->fd(), name.c_str(), 0) != 0) {
        return fail(Status::FromErrno(
            errno, path + " を削除できません (コピーは " + shown_copy + " にあります)"));
    }
    if (events_) events_->Action(path, "quarantine", true, shown_copy);
    return true;
}

}  // namespace norv
