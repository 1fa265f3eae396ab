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
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <unordered_set>

#include "platform/charset.h"
#include "platform/file_system.h"
#include "platform/lha/lh5_encoder.h"
#include "platform/md5.h"
#include "platform/text_file.h"
#include "platform/tree_walk.h"

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

struct Member {
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
    // Owner and group have 16 bits here. A larger id would come back as another user's (a uid
    // of 65536 as root), so then none is stored and a restore leaves the file to root, without
    // set-id bits.
    if (m.st.st_uid <= 0xFFFF && m.st.st_gid <= 0xFFFF) ext.push_back({0x51, ids});
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

// A regular file's data read from `fd` (all `m.st.st_size` bytes) and encoded.
Result<std::string> ReadAndEncode(Env& env, const Member& m, int fd, const std::string& display,
                                  std::string* md5) {
    std::string data;
    data.resize(static_cast<size_t>(m.st.st_size));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = env.Read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Status::FromErrno(errno, display + " を読めません");
        if (n == 0) {
            return Status::Error(ErrorKind::kIo, EIO,
                                 display + " を最後まで読めません (読んでいる間に短くなりました)");
        }
        done += static_cast<size_t>(n);
    }
    uint16_t crc = Crc16(data);
    if (md5) *md5 = Md5Hex(data);
    if (data.size() >= kSmallestCompressed) {
        std::string packed = CompressLh5(data);
        if (packed.size() < data.size()) return EncodeEntry(m, data, "-lh5-", packed, crc);
    }
    return EncodeEntry(m, data, "-lh0-", data, crc);
}

// The entry for `m`; a regular file's data is read from the open file `fd`, whose path is
// `display` in messages. A read error or a file that shrank while read fails: a damaged entry
// with a matching CRC would only show at restore time.
Result<std::string> EntryBytes(Env& env, const Member& m, int fd, const std::string& display,
                               std::string* md5 = nullptr) {
    if (S_ISDIR(m.st.st_mode) || S_ISLNK(m.st.st_mode)) {
        if (md5) *md5 = S_ISLNK(m.st.st_mode) ? Md5Hex(m.link_target) : std::string();
        return EncodeEntry(m, "", "-lhd-", "", 0);
    }
    // The header holds sizes in 32 bits; a larger file is refused before anything is read.
    if (m.st.st_size > static_cast<off_t>(UINT32_MAX)) {
        return Status::Error(ErrorKind::kLimit, EFBIG,
                             display +
                                 " は大きすぎて保存できません (LHA に入るのは 4 GiB - 1 "
                                 "バイトまでです)");
    }
    // The file and its packed form are held in memory; running out is this file's failure, not
    // the end of the program.
    try {
        return ReadAndEncode(env, m, fd, display, md5);
    } catch (const std::bad_alloc&) {
        return Status::Error(ErrorKind::kLimit, ENOMEM,
                             display + " を保存するためのメモリが足りません");
    }
}

// A name as the archive stores it. Readers take stored names for UTF-8 text, so each byte of a
// name that is not (names are bytes to the file system) is stored as the private-use character
// U+F700 + byte. So is "|", which separates a link's name from its target: a name holding one
// could otherwise pass for another file's link. So, byte by byte, is a character of that escape
// range itself, so that no two names are ever stored alike (a planted "caf\uF7E9" would
// otherwise be stored as "caf\xE9" is). The restore never writes to a stored name, only matches
// it: the file goes back under the name the walk found.
std::string StorableName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    auto escape = [&out](unsigned char byte) {
        const unsigned code = 0xF700u + byte;
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    };
    for (size_t i = 0; i < name.size();) {
        char32_t cp = 0;
        size_t n = DecodeUtf8At(name, i, cp);
        const bool escape_range = cp >= 0xF700 && cp <= 0xF7FF;
        if (n > 0 && cp != '|' && !escape_range) {
            out.append(name.substr(i, n));
            i += n;
            continue;
        }
        for (size_t end = i + std::max<size_t>(n, 1); i < end; ++i) {
            escape(static_cast<unsigned char>(name[i]));
        }
    }
    return out;
}

// Names already in stored form, joined as stored paths are.
std::string JoinStored(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        if (!out.empty()) out += '/';
        out += name;
    }
    return out;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        if (!out.empty()) out += '/';
        out += StorableName(name);
    }
    return out;
}

std::string Absolute(Env& env, const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!env.GetCwd(cwd, sizeof cwd)) return "/" + path;
    return std::string(cwd) + "/" + path;
}

// "srv/www/" for the folder "/srv/www"; "" for "/".
std::string StoredDir(const std::string& absolute_dir) {
    std::string dir = JoinNames(PathNames(absolute_dir));
    if (!dir.empty()) dir += '/';
    return dir;
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

// A reader of LHA archives, not yet opened.
std::unique_ptr<archive, ReadCloser> NewLhaReader() {
    std::unique_ptr<archive, ReadCloser> a(archive_read_new());
    archive_read_support_format_lha(a.get());
    archive_read_support_filter_none(a.get());
    // Names are read as stored, byte for byte: told they are UTF-8, libarchive would recompose
    // them (NFC), and a name written decomposed would no longer match its own stored path.
    return a;
}

// Reads the archive open as `fd` from `offset` on, through pread: a header anywhere in an
// archive starts a valid LHA stream, so one entry can be read without those before it.
struct PositionedReader {
    Env* env = nullptr;
    int fd = -1;
    int64_t offset = 0;
    // When known, the file's size: a skip stops there, so an archive cut short reads as cut,
    // not as ended.
    int64_t size = -1;
    std::vector<char> buffer = std::vector<char>(65536);
};

la_ssize_t ReadPositioned(archive* a, void* data, const void** block) {
    auto* reader = static_cast<PositionedReader*>(data);
    const ssize_t n = reader->env->PRead(reader->fd, reader->buffer.data(), reader->buffer.size(),
                                         static_cast<off_t>(reader->offset));
    if (n < 0) {
        archive_set_error(a, errno, "%s", std::strerror(errno));
        return -1;
    }
    reader->offset += n;
    *block = reader->buffer.data();
    return n;
}

la_int64_t SkipPositioned(archive*, void* data, la_int64_t request) {
    auto* reader = static_cast<PositionedReader*>(data);
    if (reader->size >= 0) {
        request =
            std::min<la_int64_t>(request, std::max<int64_t>(reader->size - reader->offset, 0));
    }
    reader->offset += request;
    return request;
}

Result<std::unique_ptr<archive, ReadCloser>> OpenAt(PositionedReader& reader,
                                                    const std::string& path) {
    auto a = NewLhaReader();
    if (archive_read_open2(a.get(), &reader, nullptr, ReadPositioned, SkipPositioned, nullptr) !=
        ARCHIVE_OK) {
        return Status::Error(kErrArchive, path + " を開けません: " + archive_error_string(a.get()));
    }
    return a;
}

uint64_t PathKey(const std::string& path) {
    // FNV-1a: cheap, and every hit is checked against the path read back.
    uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : path) h = (h ^ ch) * 1099511628211ull;
    return h;
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

struct StoredOwner {
    uid_t uid;
    gid_t gid;
};

// The owner recorded in the Unix extended header (0x51) of the level-2 header at `offset`, if
// any. libarchive reads it too, but cannot tell a missing owner from root.
std::optional<StoredOwner> ReadStoredOwner(Env& env, int fd, int64_t offset) {
    unsigned char size_bytes[2];
    if (env.PRead(fd, size_bytes, 2, offset) != 2) return std::nullopt;
    const size_t size = size_bytes[0] | static_cast<size_t>(size_bytes[1]) << 8;
    if (size < 26) return std::nullopt;
    std::string header(size, '\0');
    if (env.PRead(fd, header.data(), size, offset) != static_cast<ssize_t>(size)) {
        return std::nullopt;
    }
    if (header[20] != 2) return std::nullopt;
    size_t at = 24;
    size_t next = Get16(header, at);
    at += 2;
    // Each extended header is at least 3 bytes, so this ends within the header.
    while (next >= 3 && at + next <= header.size()) {
        if (static_cast<uint8_t>(header[at]) == 0x51 && next >= 7) {
            return StoredOwner{static_cast<uid_t>(Get16(header, at + 3)),
                               static_cast<gid_t>(Get16(header, at + 1))};
        }
        const size_t size_at = at + next - 2;
        at += next;
        next = Get16(header, size_at);
    }
    return std::nullopt;
}

// The owner to give a restored file, when norv runs as root: the archived one. Never the
// owner of whatever file stands there at restore time, which an attacker may have put there.
std::optional<StoredOwner> OwnerToRestore(Env& env, const std::optional<StoredOwner>& stored) {
    if (env.GetEuid() != 0) return std::nullopt;
    return stored;
}

// The mode to give a restored file: without a known owner it stays root's, so it never keeps
// set-id bits.
mode_t ModeToRestore(Env& env, mode_t archived, const std::optional<StoredOwner>& owner) {
    mode_t mode = archived & 07777;
    if (!owner && env.GetEuid() == 0) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    return mode;
}

std::string TempName(unsigned attempt) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 rng(std::random_device{}());
    std::string name = kRestoreTempPrefix;
    for (int i = 0; i < 8; ++i) name += kLetters[(rng() + attempt) % 36];
    return name;
}

constexpr unsigned kTempAttempts = 100;

bool IsEmptyFolder(const DirectoryHandle& folder, const std::string& path) {
    auto listing = ListDirectory(folder, path);
    return listing.ok() && listing->empty();
}

// Writes the current entry to `name` inside the open folder `dir`, through a temporary file
// made there, and renames it into place. `display` names the target in messages. A file that
// stands at the name is never replaced: it may be evidence (the response moves a tampered file
// away before it restores), so the restore fails instead, then and at the rename itself.
Status WriteEntryAt(archive* a, archive_entry* e, const DirectoryHandle& dir,
                    const std::string& name, const std::string& display,
                    const std::optional<StoredOwner>& stored_owner, const RestoreJournal* journal,
                    std::string* written_digest, const FinishRestore& finish) {
    // Looked at without asking a file system mounted on the name since the check: refused.
    auto existing = LookAtEntry(dir.env(), dir.fd(), name, display);
    if (!existing.ok()) return existing.status();
    if (existing->kind == EntryKind::kDirectory) {
        return Status::Error(ErrorKind::kExists, EISDIR,
                             display + " はフォルダなので置き換えません");
    }
    if (existing->kind != EntryKind::kMissing) {
        return Status::Error(ErrorKind::kExists, EEXIST, display + " は既にあるため上書きしません");
    }
    Env& env = dir.env();
    const auto owner = OwnerToRestore(env, stored_owner);
    const mode_t mode = ModeToRestore(env, archive_entry_perm(e), owner);
    const timespec mtime{archive_entry_mtime(e), 0};
    const int dirfd = dir.fd();
    std::string temp;
    auto fail = [&](Status status) {
        if (!temp.empty()) env.UnlinkAt(dirfd, temp.c_str(), 0);
        return status;
    };
    if (archive_entry_filetype(e) == AE_IFLNK) {
        const char* link = archive_entry_symlink(e);
        if (!link) return Status::Error(kErrArchive, display + " のリンク先がありません");
        for (unsigned attempt = 0; attempt < kTempAttempts && temp.empty(); ++attempt) {
            std::string candidate = TempName(attempt);
            if (journal) NORV_RETURN_IF_ERROR(journal->Record(dir, candidate));
            if (env.SymlinkAt(link, dirfd, candidate.c_str()) == 0) {
                temp = candidate;
            } else if (errno != EEXIST) {
                return Status::FromErrno(errno, display + " を展開できません");
            }
        }
        if (temp.empty()) return Status::FromErrno(EEXIST, display + " を展開できません");
        const std::string digest = Md5Hex(link);
        if (written_digest) *written_digest = digest;
        if (owner || finish) {
            // Through a descriptor of the link just made: the name may have been swapped for
            // another file meanwhile, which must never be given away.
            int link_fd = env.OpenAt(dirfd, temp.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
            struct stat st {};
            bool ours = link_fd >= 0 && env.FStat(link_fd, &st) == 0 && S_ISLNK(st.st_mode) &&
                        st.st_uid == env.GetEuid();
            int changed = ours && owner ? env.FChownAt(link_fd, "", owner->uid, owner->gid,
                                                       AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW)
                          : ours        ? 0
                                        : -1;
            int err = ours ? errno : EAGAIN;
            Status finished = changed == 0 && finish ? finish(link_fd, true, digest) : Status::Ok();
            if (link_fd >= 0) env.Close(link_fd);
            if (changed != 0) {
                return fail(Status::FromErrno(err, display + " の所有者を戻せません"));
            }
            if (!finished.ok()) return fail(finished);
        }
    } else {
        int fd = -1;
        for (unsigned attempt = 0; attempt < kTempAttempts && fd < 0; ++attempt) {
            std::string candidate = TempName(attempt);
            if (journal) NORV_RETURN_IF_ERROR(journal->Record(dir, candidate));
            fd = env.OpenAt(dirfd, candidate.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                temp = candidate;
            } else if (errno != EEXIST) {
                return Status::FromErrno(errno, display + " を展開できません");
            }
        }
        if (fd < 0) return Status::FromErrno(EEXIST, display + " を展開できません");
        Status status;
        Md5Digester written;
        char buffer[65536];
        for (;;) {
            la_ssize_t n = archive_read_data(a, buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0) {
                const char* why = archive_error_string(a);
                status = Status::Error(kErrArchive, display + ": " + (why ? why : "読めません"));
                break;
            }
            const std::string_view block(buffer, static_cast<size_t>(n));
            status = WriteFully(env, fd, block, display);
            if (!status.ok()) break;
            written.Update(block);
        }
        const std::string digest = written.HexDigest();
        if (written_digest) *written_digest = digest;
        // The owner before the mode: changing the owner clears set-id bits.
        if (status.ok() && owner && env.FChown(fd, owner->uid, owner->gid) != 0) {
            status = Status::FromErrno(errno, display + " の所有者を戻せません");
        }
        if (status.ok() && env.FChmod(fd, mode) != 0) status = Status::FromErrno(errno, display);
        if (status.ok() && finish) status = finish(fd, false, digest);
        const timespec times[2] = {mtime, mtime};
        if (status.ok()) env.FUtimens(fd, times);
        if (status.ok() && env.Fsync(fd) != 0) status = Status::FromErrno(errno, display);
        env.Close(fd);
        if (!status.ok()) return fail(status);
    }
    if (env.RenameAt(dirfd, temp.c_str(), dirfd, name.c_str(), RENAME_NOREPLACE) != 0) {
        return fail(Status::FromErrno(errno, display + " を置き換えられません"));
    }
    env.Fsync(dirfd);
    return Status::Ok();
}

}  // namespace

Result<std::unique_ptr<ArchiveWriter>> ArchiveWriter::Create(Env& env, const std::string& archive) {
    auto file = AtomicFile::Create(env, archive);
    if (!file.ok()) return file.status();
    return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(std::move(file).value()));
}

Status ArchiveWriter::AddMember(int dirfd, const std::string& name, const std::string& display,
                                const std::string& stored_dir, const std::string& stored_name,
                                std::string* written_md5) {
    Env& env = file_->env();
    Member m;
    m.stored_dir = stored_dir;
    m.name = StorableName(stored_name);
    int fd = -1;
    if (name.empty()) {
        // The folder `dirfd` itself.
        if (env.FStat(dirfd, &m.st) != 0)
            return Status::FromErrno(errno, display + " を読めません");
    } else {
        fd = env.OpenAt(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd < 0 && errno != ELOOP) {
            if (errno == ENOENT) return Status::Ok();  // gone meanwhile
            return Status::FromErrno(errno, display + " を読めません");
        }
        int got = fd >= 0 ? env.FStat(fd, &m.st)
                          : env.FStatAt(dirfd, name.c_str(), &m.st, AT_SYMLINK_NOFOLLOW);
        if (got != 0) {
            int err = errno;
            if (fd >= 0) env.Close(fd);
            if (err == ENOENT) return Status::Ok();
            return Status::FromErrno(err, display + " を読めません");
        }
        if (S_ISLNK(m.st.st_mode)) {
            auto target = ReadLinkTarget(env, dirfd, name.c_str());
            if (!target || target->empty()) return Status::Ok();  // replaced meanwhile
            m.link_target = std::move(*target);
        } else if (!S_ISREG(m.st.st_mode)) {
            if (fd >= 0) env.Close(fd);
            return Status::Ok();  // FIFOs, sockets, devices, folders swapped in: not archived
        }
    }
    auto bytes = EntryBytes(env, m, fd, display, written_md5);
    if (fd >= 0) env.Close(fd);
    if (!bytes.ok()) return bytes.status();
    Status written = file_->Write(bytes.value());
    if (!written.ok()) {
        broken_ = written;
        return written;
    }
    if (!S_ISDIR(m.st.st_mode)) ++entries_;
    return Status::Ok();
}

Status ArchiveWriter::Add(const std::string& source, const std::vector<FileIdentity>& skipped,
                          const std::function<void(const std::string&)>& progress,
                          std::vector<MissedPart>* missed) {
    if (broken()) return broken_;
    Env& env = file_->env();
    const std::string root = Absolute(env, source);
    auto resolved = ResolveAdministratorPath(env, source);
    if (!resolved.ok()) return resolved.status();
    FileFacts facts;
    facts.kind = EntryKind::kDirectory;
    if (!resolved->name.empty()) {
        auto found = LStatAt(*resolved->parent, resolved->name, root);
        if (!found.ok()) return found.status();
        facts = found.value();
    }
    if (facts.kind == EntryKind::kRegular) {
        if (progress) progress(root);
        const std::vector<std::string> names = PathNames(root);
        return AddMember(resolved->parent->fd(), resolved->name, root,
                         StoredDir(ParentOfPath(root)), names.empty() ? "" : names.back());
    }
    if (facts.kind == EntryKind::kMissing) {
        return Status::FromErrno(ENOENT, root + " を保存できません");
    }
    if (facts.kind != EntryKind::kDirectory) {
        return Status::Error(ErrorKind::kRefused, EINVAL,
                             root + " はファイルでもフォルダでもありません");
    }
    auto folder = OpenResolvedDirectory(resolved.value(), root);
    if (!folder.ok()) return folder.status();
    TreeWalk::Options options;
    options.report_folders = true;
    options.skipped = skipped;
    TreeWalk walk(std::move(folder).value(), root, options);
    // A part that cannot be read costs only itself, unless the archive itself is broken.
    auto leave_out = [&](const std::string& path, Status why) {
        if (why.ok() || broken() || missed == nullptr) return why;
        missed->push_back({path, std::move(why)});
        return Status::Ok();
    };
    for (;;) {
        TreeWalk::Entry entry = walk.Next();
        switch (entry.type) {
            case TreeWalk::Entry::Type::kEnd:
                return Status::Ok();
            case TreeWalk::Entry::Type::kFailure:
                return entry.failure;
            case TreeWalk::Entry::Type::kUnseen:
                NORV_RETURN_IF_ERROR(leave_out(
                    entry.dir, Status::Error(entry.failure.kind(), entry.failure.code(),
                                             entry.dir + ": " + entry.failure.message())));
                continue;
            case TreeWalk::Entry::Type::kSkippedFolder:
            case TreeWalk::Entry::Type::kFilesLeftOut:
                continue;
            case TreeWalk::Entry::Type::kFolder:
                if (progress) progress(entry.dir);
                NORV_RETURN_IF_ERROR(leave_out(
                    entry.dir,
                    AddMember(entry.folder->fd(), "", entry.dir, StoredDir(entry.dir), "")));
                continue;
            case TreeWalk::Entry::Type::kFile:
                if (progress) progress(entry.dir + entry.name);
                NORV_RETURN_IF_ERROR(
                    leave_out(entry.dir + entry.name,
                              AddMember(entry.folder->fd(), entry.name, entry.dir + entry.name,
                                        StoredDir(entry.dir), entry.name)));
                continue;
        }
    }
}

Status ArchiveWriter::AddFileAt(const DirectoryHandle& folder, const std::string& name,
                                const std::string& path, std::string* written_md5) {
    if (broken()) return broken_;
    if (written_md5) written_md5->clear();
    const std::string root = Absolute(file_->env(), path);
    const std::vector<std::string> names = PathNames(root);
    return AddMember(folder.fd(), name, root, StoredDir(ParentOfPath(root)),
                     names.empty() ? "" : names.back(), written_md5);
}

Result<std::vector<int64_t>> ArchiveWriter::KeepEarlier(
    const std::string& earlier, const std::vector<std::string>& stored_paths,
    const std::unordered_set<std::string>& dropped) {
    if (broken()) return broken_;
    auto fail = [this](Status why) {
        broken_ = why;
        return why;
    };
    std::vector<std::string> wanted;
    for (const std::string& path : stored_paths) wanted.push_back(JoinStored(PathNames(path)));
    auto below = [](const std::string& top, const std::string& path) {
        return top.empty() || (path.compare(0, top.size(), top) == 0 &&
                               (path.size() == top.size() || path[top.size()] == '/'));
    };
    auto is_wanted = [&](const std::string& path) {
        return std::any_of(wanted.begin(), wanted.end(),
                           [&](const std::string& top) { return below(top, path); });
    };
    ScopedUtf8Locale utf8;
    // Each entry is taken once: what this archive already holds there is newer, and an earlier
    // archive of nested rules holds some paths twice.
    std::unordered_set<std::string> held;
    Env& env = file_->env();
    struct stat st {};
    if (env.FStat(file_->fd(), &st) != 0) {
        return fail(Status::FromErrno(errno, file_->path() + " を読めません"));
    }
    if (st.st_size > 0) {
        PositionedReader reader{&env, file_->fd(), 0, st.st_size};
        auto a = OpenAt(reader, file_->path());
        if (!a.ok()) return fail(a.status());
        archive_entry* e = nullptr;
        for (int rc; (rc = archive_read_next_header(a->get(), &e)) != ARCHIVE_EOF;) {
            if (rc < ARCHIVE_WARN || archive_read_data_skip(a->get()) < ARCHIVE_WARN) {
                const char* why = archive_error_string(a->get());
                return fail(Status::Error(kErrArchive,
                                          file_->path() + " を読めません: " + (why ? why : "")));
            }
            if (std::string path = EntryPath(e); is_wanted(path)) held.insert(std::move(path));
        }
    }

    auto trusted = OpenTrustedFile(env, earlier);
    if (!trusted.ok()) return fail(trusted.status());
    const int fd = trusted.value();
    ScopedFd closer(env, fd);
    if (env.FStat(fd, &st) != 0) return fail(Status::FromErrno(errno, earlier + " を読めません"));
    PositionedReader reader{&env, fd, 0, st.st_size};
    auto a = OpenAt(reader, earlier);
    if (!a.ok()) return fail(a.status());
    auto damaged = [&](const char* why) {
        return fail(Status::Error(kErrArchive, earlier + " は壊れています: " + (why ? why : "")));
    };
    std::vector<int64_t> copied(wanted.size(), 0);
    std::vector<char> block(65536);
    archive_entry* e = nullptr;
    for (int rc; (rc = archive_read_next_header(a->get(), &e)) != ARCHIVE_EOF;) {
        if (rc < ARCHIVE_WARN) return damaged(archive_error_string(a->get()));
        const int64_t header_at = archive_read_header_position(a->get());
        const std::string path = EntryPath(e);
        if (!is_wanted(path) || held.count(path) != 0 || dropped.count(path) != 0) {
            if (archive_read_data_skip(a->get()) < ARCHIVE_WARN) {
                return damaged(archive_error_string(a->get()));
            }
            continue;
        }
        // Read through first: an entry whose data fails its CRC is never passed on.
        for (la_ssize_t n; (n = archive_read_data(a->get(), block.data(), block.size())) != 0;) {
            if (n < 0) return damaged(archive_error_string(a->get()));
        }
        // Then its bytes as they stand, header and packed data, so nothing of it is re-encoded.
        unsigned char fixed[22];
        if (env.PRead(fd, fixed, sizeof fixed, header_at) != static_cast<ssize_t>(sizeof fixed) ||
            fixed[20] != 2) {
            return damaged((path + " の見出しを読めません").c_str());
        }
        const uint64_t header_size = fixed[0] | static_cast<uint64_t>(fixed[1]) << 8;
        const uint64_t packed_size = fixed[7] | static_cast<uint64_t>(fixed[8]) << 8 |
                                     static_cast<uint64_t>(fixed[9]) << 16 |
                                     static_cast<uint64_t>(fixed[10]) << 24;
        const uint64_t length = header_size + packed_size;
        for (uint64_t done = 0; done < length;) {
            const ssize_t n =
                env.PRead(fd, block.data(), std::min<uint64_t>(block.size(), length - done),
                          static_cast<off_t>(header_at + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail(Status::FromErrno(errno, earlier + " を読めません"));
            if (n == 0) return damaged((path + " が途中で切れています").c_str());
            Status written = file_->Write(std::string_view(block.data(), static_cast<size_t>(n)));
            if (!written.ok()) return fail(written);
            done += static_cast<uint64_t>(n);
        }
        held.insert(path);
        if (archive_entry_filetype(e) == AE_IFDIR) continue;
        ++entries_;
        for (size_t i = 0; i < wanted.size(); ++i) {
            if (below(wanted[i], path)) ++copied[i];
        }
    }
    return copied;
}

Status ArchiveWriter::Commit() {
    if (broken()) return broken_;
    NORV_RETURN_IF_ERROR(file_->Write(std::string_view("\0", 1)));  // the end mark
    return file_->Commit(0600);
}

Result<FileIdentity> ArchiveWriter::Seal() {
    if (broken()) return broken_;
    NORV_RETURN_IF_ERROR(file_->Write(std::string_view("\0", 1)));  // the end mark
    return file_->Seal(0600);
}

Status AddToArchive(Env& env, const std::string& archive, const std::string& source) {
    auto writer = ArchiveWriter::Create(env, archive);
    if (!writer.ok()) return writer.status();
    NORV_RETURN_IF_ERROR((*writer)->Add(source));
    return (*writer)->Commit();
}

std::string StoredPathOf(Env& env, const std::string& path) {
    return JoinNames(PathNames(Absolute(env, path)));
}

Result<std::vector<ArchiveEntry>> ListArchive(Env& env, const std::string& path) {
    ScopedUtf8Locale utf8;
    const int fd = env.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return Status::Error(kErrArchive, path + " を開けません: " + std::strerror(errno));
    }
    ScopedFd closer(env, fd);
    PositionedReader reader{&env, fd, 0};
    auto a = OpenAt(reader, path);
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

int64_t ArchiveIndex::Find(Env& env, int fd, const std::string& stored_path) {
    struct stat st {};
    if (env.FStat(fd, &st) != 0) return -1;
    if (!Current(st)) {
        offsets_.clear();
        size_ = -1;
        PositionedReader reader{&env, fd, 0};
        auto a = OpenAt(reader, "");
        if (!a.ok()) return -1;
        archive_entry* e = nullptr;
        for (;;) {
            const int rc = archive_read_next_header(a->get(), &e);
            if (rc == ARCHIVE_EOF) break;
            if (rc < ARCHIVE_WARN) return -1;  // damaged: every restore reads it whole and says so
            offsets_.try_emplace(PathKey(EntryPath(e)), archive_read_header_position(a->get()));
            if (archive_read_data_skip(a->get()) < ARCHIVE_WARN) return -1;
        }
        device_ = st.st_dev;
        inode_ = st.st_ino;
        size_ = st.st_size;
        mtime_ = st.st_mtim;
        ctime_ = st.st_ctim;
    }
    auto found = offsets_.find(PathKey(stored_path));
    return found == offsets_.end() ? -1 : found->second;
}

bool ArchiveIndex::Current(const struct stat& st) const {
    return size_ >= 0 && st.st_dev == device_ && st.st_ino == inode_ && st.st_size == size_ &&
           st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec &&
           st.st_ctim.tv_sec == ctime_.tv_sec && st.st_ctim.tv_nsec == ctime_.tv_nsec;
}

Status RestoreEntry(const std::string& archive_path, const std::string& stored_path,
                    const DirectoryHandle& root, const std::string& root_path,
                    const std::vector<std::string>& relative, ArchiveIndex* index,
                    const RestoreJournal* journal, std::string* written_digest,
                    const FinishRestore& finish) {
    // Already in stored form: only its separators are tidied.
    const std::string wanted = JoinStored(PathNames(stored_path));
    if (!SafeStoredPath(wanted) || relative.empty()) {
        return Status::Error(ErrorKind::kRefused, EPERM, wanted + " は展開しません (危険なパス)");
    }
    ScopedUtf8Locale utf8;
    Env& env = root.env();
    // One descriptor for everything read: the entries and the owners stored beside them. The
    // archive says what goes back, with which mode and owner: only one that nobody but root can
    // have written or swapped is believed.
    auto trusted = OpenTrustedFile(env, archive_path);
    if (!trusted.ok()) return trusted.status();
    int raw = trusted.value();
    ScopedFd raw_closer(env, raw);
    // Folder entries on the way to the wanted one, for folders the restore must make again.
    struct FolderFacts {
        mode_t mode;
        std::optional<StoredOwner> owner;
    };
    std::map<std::string, FolderFacts> folders;
    // Where to start: the wanted entry itself when the index knows it (its folders then read
    // where the index puts them), else the archive's start.
    int64_t start = index ? index->Find(env, raw, wanted) : -1;
    if (start >= 0) {
        const std::vector<std::string> names = PathNames(wanted);
        for (size_t n = 1; n < names.size(); ++n) {
            const std::string folder =
                JoinStored(std::vector<std::string>(names.begin(), names.begin() + n));
            const int64_t folder_at = index->Find(env, raw, folder);
            if (folder_at < 0) continue;
            PositionedReader folder_reader{&env, raw, folder_at};
            auto fa = OpenAt(folder_reader, archive_path);
            archive_entry* fe = nullptr;
            if (fa.ok() && archive_read_next_header(fa->get(), &fe) >= ARCHIVE_WARN &&
                archive_entry_filetype(fe) == AE_IFDIR && EntryPath(fe) == folder) {
                folders[folder] = {static_cast<mode_t>(archive_entry_perm(fe) & 07777),
                                   ReadStoredOwner(env, raw, folder_at)};
            }
        }
    }
    // Anything unexpected where the index pointed is read again from the archive's start.
    auto read_whole = [&] {
        return RestoreEntry(archive_path, stored_path, root, root_path, relative, nullptr, journal,
                            written_digest, finish);
    };
    PositionedReader reader{&env, raw, std::max<int64_t>(start, 0)};
    auto a = OpenAt(reader, archive_path);
    if (!a.ok()) return start >= 0 ? read_whole() : a.status();
    archive_entry* e = nullptr;
    for (;;) {
        int rc = archive_read_next_header(a->get(), &e);
        if (start >= 0 && rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return read_whole();
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) {
            const char* why = archive_error_string(a->get());
            return Status::Error(kErrArchive,
                                 archive_path + " は壊れています: " + (why ? why : ""));
        }
        const int64_t header_at =
            std::max<int64_t>(start, 0) + archive_read_header_position(a->get());
        const std::string path = EntryPath(e);
        if (start >= 0 && path != wanted) return read_whole();  // two paths, one key
        if (archive_entry_filetype(e) == AE_IFDIR) {
            if (wanted.compare(0, path.size() + 1, path + "/") == 0) {
                folders[path] = {static_cast<mode_t>(archive_entry_perm(e) & 07777),
                                 ReadStoredOwner(env, raw, header_at)};
            }
            continue;
        }
        if (path != wanted) continue;
        // The folders on the way, one name at a time below the root.
        std::shared_ptr<DirectoryHandle> holder;
        const DirectoryHandle* at = &root;
        std::string shown = root_path;
        const size_t stored_base = PathNames(wanted).size() - relative.size();
        for (size_t i = 0; i + 1 < relative.size(); ++i) {
            shown = FolderPrefix(shown) + relative[i];
            auto opened = OpenDirectoryAt(*at, relative[i], shown);
            if (!opened.ok() && opened.status().Is(ErrorKind::kNotFound)) {
                const bool made = env.MkdirAt(at->fd(), relative[i].c_str(), 0700) == 0;
                opened = OpenDirectoryAt(*at, relative[i], shown);
                auto names = PathNames(wanted);
                names.resize(stored_base + i + 1);
                auto archived = folders.find(JoinStored(names));
                // The archived owner and mode go only to the very folder just made: empty, ours
                // and 0700. One renamed into its place meanwhile is never given away.
                struct stat st {};
                if (made && opened.ok() && archived != folders.end() &&
                    env.FStat((*opened)->fd(), &st) == 0 && st.st_uid == env.GetEuid() &&
                    (st.st_mode & 07777) == 0700 && IsEmptyFolder(**opened, shown)) {
                    const int fd = (*opened)->fd();
                    const auto owner = OwnerToRestore(env, archived->second.owner);
                    if (owner) (void)env.FChown(fd, owner->uid, owner->gid);
                    env.FChmod(fd, ModeToRestore(env, archived->second.mode, owner));
                }
            }
            if (!opened.ok()) {
                if (opened.status().Is(ErrorKind::kLink) ||
                    opened.status().Is(ErrorKind::kNotFound)) {
                    return Status::Error(ErrorKind::kLink, ELOOP,
                                         shown +
                                             " はフォルダではない (シンボリックリンクなど) "
                                             "ため展開しません");
                }
                return opened.status();
            }
            holder = std::move(opened).value();
            at = holder.get();
        }
        return WriteEntryAt(a->get(), e, *at, relative.back(),
                            FolderPrefix(shown) + relative.back(),
                            ReadStoredOwner(env, raw, header_at), journal, written_digest, finish);
    }
    return Status::Error(ErrorKind::kNotFound, ENOENT,
                         archive_path + " に " + wanted + " はありません");
}

Status RestoreEntryBelow(Env& env, const std::string& archive, const std::string& stored_path,
                         const std::string& root) {
    auto folder = OpenDirectory(env, root);
    if (!folder.ok()) return folder.status();
    return RestoreEntry(archive, stored_path, **folder, root, PathNames(stored_path));
}

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
        return Status::FromErrno(errno ? errno : ENOENT, path_ + " に記録できません");
    }
    const std::string line = EscapeJournalField(*where) + "\t" + std::to_string(st.st_dev) + "\t" +
                             std::to_string(st.st_ino) + "\t" + EscapeJournalField(name) + "\n";
    const int fd = OpenJournal(*env_, path_, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) return Status::FromErrno(errno, path_ + " に記録できません");
    Status written = WriteFully(*env_, fd, line, path_);
    if (written.ok() && env_->Fsync(fd) != 0) {
        written = Status::FromErrno(errno, path_ + " に記録できません");
    }
    env_->Close(fd);
    return written;
}

Result<int> RestoreJournal::RemoveLeftovers() const {
    Env& env = *env_;
    const int fd = OpenJournal(env, path_, O_RDWR);
    if (fd < 0) {
        if (errno == ENOENT) return 0;
        return Status::FromErrno(errno, path_ + " を読めません");
    }
    std::string text;
    std::vector<char> buffer(1 << 16);
    Status read = ReadToEnd(
        env, fd, buffer,
        [&](std::string_view block) {
            if (text.size() + block.size() > kMostJournalBytes) {
                return Status::Error(ErrorKind::kLimit, EFBIG, path_ + " が大きすぎます");
            }
            text.append(block);
            return Status::Ok();
        },
        path_ + " を読めません", 0);
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
        struct stat st {};
        if (env.FStat(dirfd, &dir_st) == 0 && std::to_string(dir_st.st_dev) == fields[1] &&
            std::to_string(dir_st.st_ino) == fields[2] &&
            env.FStatAt(dirfd, name->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && st.st_uid == env.GetEuid() &&
            env.UnlinkAt(dirfd, name->c_str(), 0) == 0) {
            ++removed;
        }
        env.Close(dirfd);
    }
    Status cleared = read;
    if (env.FTruncate(fd, 0) != 0 || env.Fsync(fd) != 0) {
        cleared = Status::FromErrno(errno, path_ + " を空にできません");
    }
    env.Close(fd);
    if (!cleared.ok()) return cleared;
    return removed;
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

}  // namespace norv::platform::lha
