#include "platform/lha/lha_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <locale.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/file_system.h"
#include "platform/lha/lh5_encoder.h"
#include "platform/text_file.h"

namespace norv::platform::lha {
namespace {

constexpr size_t kSmallestCompressed = 8;  // shorter data is stored: some readers misread it

void Put16(std::string& s, uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

uint32_t Get16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1]))
                                             << 8;
}

uint32_t Get32(const std::string& s, size_t at) { return Get16(s, at) | Get16(s, at + 2) << 16; }

struct Member {
    std::string disk_path;
    std::string stored_dir;  // "srv/www/" style, may be empty
    std::string name;        // empty for a folder
    struct stat st;
    std::string link_target;
};

// A level-2 header followed by the entry's data.
std::string EncodeEntry(const Member& m, const std::string& data, const char* method,
                        const std::string& packed, uint16_t crc) {
    struct Ext {
        uint8_t type;
        std::string data;
    };
    std::vector<Ext> ext;
    ext.push_back({0x00, std::string(2, '\0')});  // header CRC, filled in below
    std::string name = m.name;
    if (!m.link_target.empty()) name += "|" + m.link_target;
    if (!name.empty()) ext.push_back({0x01, name});
    if (!m.stored_dir.empty()) {
        std::string dir = m.stored_dir;
        for (char& c : dir) {
            if (c == '/') c = static_cast<char>(0xFF);
        }
        ext.push_back({0x02, dir});
    }
    std::string mode, ids, mtime;
    Put16(mode, static_cast<uint32_t>(m.st.st_mode) & 0xFFFF);
    Put16(ids, static_cast<uint32_t>(m.st.st_gid) & 0xFFFF);
    Put16(ids, static_cast<uint32_t>(m.st.st_uid) & 0xFFFF);
    Put32(mtime, static_cast<uint32_t>(m.st.st_mtime));
    ext.push_back({0x50, mode});
    ext.push_back({0x51, ids});
    ext.push_back({0x54, mtime});

    auto build = [&](bool with_time) {
        std::string h;
        Put16(h, 0);  // total size, below
        h += method;
        Put32(h, static_cast<uint32_t>(packed.size()));
        Put32(h, static_cast<uint32_t>(data.size()));
        Put32(h, static_cast<uint32_t>(m.st.st_mtime));
        h.push_back(0x20);
        h.push_back(2);  // header level
        Put16(h, crc);
        h.push_back('U');
        std::vector<const Ext*> kept;
        for (const Ext& e : ext) {
            if (e.type != 0x54 || with_time) kept.push_back(&e);
        }
        Put16(h, static_cast<uint32_t>(3 + kept.front()->data.size()));
        for (size_t i = 0; i < kept.size(); ++i) {
            h.push_back(static_cast<char>(kept[i]->type));
            h += kept[i]->data;
            Put16(h, i + 1 < kept.size() ? static_cast<uint32_t>(3 + kept[i + 1]->data.size()) : 0);
        }
        h[0] = static_cast<char>(h.size() & 0xFF);
        h[1] = static_cast<char>((h.size() >> 8) & 0xFF);
        return h;
    };
    std::string header = build(true);
    // A header whose size ends in a zero byte reads as the end of the archive to some readers.
    if ((header.size() & 0xFF) == 0) header = build(false);
    uint16_t header_crc = Crc16(header);
    header[27] = static_cast<char>(header_crc & 0xFF);  // data of the first extended header
    header[28] = static_cast<char>(header_crc >> 8);
    return header + packed;
}

Result<std::string> EntryBytes(const Member& m) {
    if (S_ISDIR(m.st.st_mode) || S_ISLNK(m.st.st_mode)) return EncodeEntry(m, "", "-lhd-", "", 0);
    if (m.st.st_size > static_cast<off_t>(UINT32_MAX)) {
        return Status::Error(EFBIG, m.disk_path + " は大きすぎて保存できません");
    }
    int fd = ::open(m.disk_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Status::FromErrno(errno, m.disk_path + " を読めません");
    struct stat now {};
    if (::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) {
        ::close(fd);
        return Status::Error(EINVAL, m.disk_path + " は通常のファイルではありません");
    }
    std::string data;
    data.resize(static_cast<size_t>(now.st_size));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    data.resize(done);
    uint16_t crc = Crc16(data);
    if (data.size() >= kSmallestCompressed) {
        std::string packed = CompressLh5(data);
        if (packed.size() < data.size()) return EncodeEntry(m, data, "-lh5-", packed, crc);
    }
    return EncodeEntry(m, data, "-lh0-", data, crc);
}

std::string StoredDir(const std::string& absolute_dir) {
    std::string dir = absolute_dir;
    while (!dir.empty() && dir.front() == '/') dir.erase(0, 1);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

std::string Absolute(const std::string& path) {
    std::string out = path;
    if (out.empty() || out[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) out = std::string(cwd) + "/" + out;
    }
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

Status Collect(const std::string& dir, std::vector<Member>& members) {
    auto listing = ListDirectory(dir);
    if (!listing.ok()) return listing.status();
    for (const auto& entry : listing.value()) {
        Member m;
        m.disk_path = dir + "/" + entry.name;
        if (::lstat(m.disk_path.c_str(), &m.st) != 0) continue;  // gone meanwhile
        if (S_ISDIR(m.st.st_mode)) {
            m.stored_dir = StoredDir(m.disk_path);
            members.push_back(m);
            NORV_RETURN_IF_ERROR(Collect(m.disk_path, members));
            continue;
        }
        if (!S_ISREG(m.st.st_mode) && !S_ISLNK(m.st.st_mode)) continue;
        m.stored_dir = StoredDir(dir);
        m.name = entry.name;
        if (S_ISLNK(m.st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = ::readlink(m.disk_path.c_str(), target, sizeof target);
            if (n <= 0) continue;
            m.link_target.assign(target, static_cast<size_t>(n));
        }
        members.push_back(m);
    }
    return Status::Ok();
}

// The length of an existing archive's entries, up to (not including) its end mark, checked entry
// by entry without reading the data. 0 when there is no archive.
Result<uint64_t> ExistingEntriesLength(const std::string& archive) {
    int fd = ::open(archive.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return uint64_t{0};
        return Status::FromErrno(errno, archive + " を読めません");
    }
    struct stat st {};
    ::fstat(fd, &st);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t at = 0;
    Status status;
    for (;;) {
        std::string header(26, '\0');
        ssize_t n = ::pread(fd, header.data(), header.size(), static_cast<off_t>(at));
        if (n >= 1 && header[0] == '\0') break;  // the end mark
        if (n < 26 || header[20] != 2) {
            status =
                Status::Error(kErrArchive, archive + " は追加できる LHA アーカイブではありません");
            break;
        }
        uint64_t next = at + Get16(header, 0) + Get32(header, 7);
        if (Get16(header, 0) < 26 || next > size) {
            status = Status::Error(kErrArchive, archive + " は壊れています");
            break;
        }
        at = next;
    }
    ::close(fd);
    if (!status.ok()) return status;
    return at;
}

// Copies the first `length` bytes of `from` to the open file `to`.
Status CopyPrefix(const std::string& from, uint64_t length, int to, const std::string& to_name) {
    if (length == 0) return Status::Ok();
    int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::FromErrno(errno, from + " を読めません");
    std::string buffer(1 << 16, '\0');
    Status status;
    while (length > 0 && status.ok()) {
        ssize_t n = ::read(fd, buffer.data(), std::min<uint64_t>(buffer.size(), length));
        if (n <= 0) {
            status = Status::FromErrno(n < 0 ? errno : EIO, from + " を読めません");
            break;
        }
        status = WriteFully(to, std::string_view(buffer.data(), static_cast<size_t>(n)), to_name);
        length -= static_cast<uint64_t>(n);
    }
    ::close(fd);
    return status;
}

// libarchive converts names through the thread's locale; ours are UTF-8 whatever the process's
// locale is, so reading runs under a UTF-8 one.
class ScopedUtf8Locale {
  public:
    ScopedUtf8Locale() : utf8_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr)) {
        if (utf8_) previous_ = ::uselocale(utf8_);
    }
    ~ScopedUtf8Locale() {
        if (utf8_) {
            ::uselocale(previous_);
            ::freelocale(utf8_);
        }
    }
    ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
    ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

  private:
    locale_t utf8_;
    locale_t previous_ = nullptr;
};

struct ReadCloser {
    void operator()(archive* a) const { archive_read_free(a); }
};

Result<std::unique_ptr<archive, ReadCloser>> OpenForReading(const std::string& path) {
    std::unique_ptr<archive, ReadCloser> a(archive_read_new());
    archive_read_support_format_lha(a.get());
    archive_read_support_filter_none(a.get());
    // Our names are UTF-8 whatever the locale says.
    archive_read_set_options(a.get(), "lha:hdrcharset=UTF-8");
    if (archive_read_open_filename(a.get(), path.c_str(), 65536) != ARCHIVE_OK) {
        return Status::Error(kErrArchive, path + " を開けません: " + archive_error_string(a.get()));
    }
    return a;
}

std::string EntryPath(archive_entry* e) {
    const char* utf8 = archive_entry_pathname_utf8(e);
    const char* path = utf8 ? utf8 : archive_entry_pathname(e);
    std::string p = path ? path : "";
    while (!p.empty() && p.back() == '/') p.pop_back();
    return p;
}

// Refuses a stored path that could leave its place: empty, ".", ".." or empty components.
bool SafeStoredPath(const std::string& path) {
    if (path.empty()) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

// Creates the missing folders on the way to `dir` and refuses any that is a symbolic link.
Status PrepareParents(const std::string& root, const std::string& relative_dir) {
    std::string at = root;
    size_t start = 0;
    while (start < relative_dir.size()) {
        size_t end = relative_dir.find('/', start);
        if (end == std::string::npos) end = relative_dir.size();
        at += (at.empty() || at.back() != '/' ? "/" : "") + relative_dir.substr(start, end - start);
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0) {
            if (errno != ENOENT) return Status::FromErrno(errno, at + " を調べられません");
            if (::mkdir(at.c_str(), 0755) != 0)
                return Status::FromErrno(errno, at + " を作れません");
        } else if (!S_ISDIR(st.st_mode)) {
            return Status::Error(
                ELOOP, at + " はフォルダではない (シンボリックリンクなど) ため展開しません");
        }
        start = end + 1;
    }
    return Status::Ok();
}

Status WriteEntry(archive* a, archive_entry* e, const std::string& target) {
    const std::string dir = ParentOfPath(target);
    const mode_t mode = archive_entry_perm(e) & 07777;
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        return Status::Error(EISDIR, target + " はフォルダなので置き換えません");
    }
    std::string temp = dir + "/.norv-restore-XXXXXX";
    if (archive_entry_filetype(e) == AE_IFLNK) {
        int fd = ::mkstemp(temp.data());
        if (fd < 0) return Status::FromErrno(errno, target + " を展開できません");
        ::close(fd);
        ::unlink(temp.c_str());
        const char* link = archive_entry_symlink(e);
        if (!link || ::symlink(link, temp.c_str()) != 0) {
            return Status::FromErrno(errno, target + " を展開できません");
        }
    } else {
        int fd = ::mkstemp(temp.data());
        if (fd < 0) return Status::FromErrno(errno, target + " を展開できません");
        Status status;
        char buffer[65536];
        for (;;) {
            la_ssize_t n = archive_read_data(a, buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0) {
                status = Status::Error(kErrArchive, target + ": " + archive_error_string(a));
                break;
            }
            if (::write(fd, buffer, static_cast<size_t>(n)) != n) {
                status = Status::FromErrno(errno, target + " に書き込めません");
                break;
            }
        }
        if (status.ok() && ::fchmod(fd, mode) != 0) status = Status::FromErrno(errno, target);
        timespec times[2] = {{archive_entry_mtime(e), 0}, {archive_entry_mtime(e), 0}};
        if (status.ok()) ::futimens(fd, times);
        if (status.ok() && ::fsync(fd) != 0) status = Status::FromErrno(errno, target);
        ::close(fd);
        if (!status.ok()) {
            ::unlink(temp.c_str());
            return status;
        }
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return Status::FromErrno(err, target + " を置き換えられません");
    }
    return Status::Ok();
}

}  // namespace

Status AddToArchive(const std::string& archive, const std::string& source,
                    const std::function<void(const std::string&)>& progress) {
    const std::string root = Absolute(source);
    std::vector<Member> members;
    Member top;
    top.disk_path = root;
    if (::lstat(root.c_str(), &top.st) != 0)
        return Status::FromErrno(errno, root + " を保存できません");
    if (S_ISDIR(top.st.st_mode)) {
        top.stored_dir = StoredDir(root);
        members.push_back(top);
        NORV_RETURN_IF_ERROR(Collect(root, members));
    } else if (S_ISREG(top.st.st_mode)) {
        top.stored_dir = StoredDir(ParentOfPath(root));
        top.name = FileNameOfPath(root);
        members.push_back(top);
    } else {
        return Status::Error(EINVAL, root + " はファイルでもフォルダでもありません");
    }

    auto existing = ExistingEntriesLength(archive);
    if (!existing.ok()) return existing.status();

    // Written beside the archive and renamed over it at the end: a failure at any point (a full
    // disk, a kill) leaves the archive as it was. Entries are written one at a time, so memory
    // holds one file, never the archive.
    auto file = AtomicFile::Create(archive);
    if (!file.ok()) return file.status();
    NORV_RETURN_IF_ERROR(CopyPrefix(archive, existing.value(), (*file)->fd(), archive));
    for (const Member& member : members) {
        if (progress) progress(member.disk_path);
        auto bytes = EntryBytes(member);
        if (!bytes.ok()) return bytes.status();
        NORV_RETURN_IF_ERROR((*file)->Write(bytes.value()));
    }
    NORV_RETURN_IF_ERROR((*file)->Write(std::string_view("\0", 1)));  // the end mark
    return (*file)->Commit(0600);
}

Result<std::vector<ArchiveEntry>> ListArchive(const std::string& path) {
    ScopedUtf8Locale utf8;
    auto a = OpenForReading(path);
    if (!a.ok()) return a.status();
    std::vector<ArchiveEntry> entries;
    archive_entry* e = nullptr;
    for (;;) {
        int rc = archive_read_next_header(a->get(), &e);
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) {
            return Status::Error(kErrArchive,
                                 path + " は壊れています: " + archive_error_string(a->get()));
        }
        ArchiveEntry entry;
        entry.path = EntryPath(e);
        entry.is_directory = archive_entry_filetype(e) == AE_IFDIR;
        if (const char* link = archive_entry_symlink(e)) entry.symlink_target = link;
        entry.size = archive_entry_size(e);
        entries.push_back(std::move(entry));
        if (archive_read_data_skip(a->get()) < ARCHIVE_WARN) {
            return Status::Error(kErrArchive,
                                 path + " は壊れています: " + archive_error_string(a->get()));
        }
    }
    return entries;
}

Status ExtractByNameBelow(const std::string& archive_path, const std::string& name,
                          const std::string& root) {
    ScopedUtf8Locale utf8;
    auto a = OpenForReading(archive_path);
    if (!a.ok()) return a.status();
    int matched = 0;
    Status first_failure;
    archive_entry* e = nullptr;
    for (;;) {
        int rc = archive_read_next_header(a->get(), &e);
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) {
            return Status::Error(
                kErrArchive, archive_path + " は壊れています: " + archive_error_string(a->get()));
        }
        std::string path = EntryPath(e);
        if (archive_entry_filetype(e) == AE_IFDIR || FileNameOfPath(path) != name) continue;
        ++matched;
        Status status;
        if (!SafeStoredPath(path)) {
            status = Status::Error(
                EPERM, archive_path + " の項目 " + path + " は展開しません (危険なパス)");
        } else {
            status = PrepareParents(root, ParentOfPath(path));
            if (status.ok()) {
                std::string target = (root == "/" ? "" : root) + "/" + path;
                status = WriteEntry(a->get(), e, target);
            }
        }
        if (!status.ok() && first_failure.ok()) first_failure = status;
    }
    if (!first_failure.ok()) return first_failure;
    if (matched == 0) {
        return Status::Error(ENOENT, archive_path + " に " + name + " はありません");
    }
    return Status::Ok();
}

namespace detail {
std::string RawEntry(const std::string& stored_dir, const std::string& name,
                     const std::string& data) {
    Member m;
    m.stored_dir = stored_dir;
    m.name = name;
    m.st = {};
    m.st.st_mode = S_IFREG | 0644;
    return EncodeEntry(m, data, "-lh0-", data, Crc16(data));
}
}  // namespace detail

Status ExtractByName(const std::string& archive, const std::string& name) {
    return ExtractByNameBelow(archive, name, "/");
}

}  // namespace norv::platform::lha
