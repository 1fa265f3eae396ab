#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "platform/fs/tree_walk.h"
#include "platform/lha/lh5_encoder.h"
#include "platform/lha/lha_archive.h"
#include "platform/lha/lha_internal.h"

namespace norv::platform::lha {

// The method ids an entry's header stores: what every LHA reader looks for, byte for byte.
namespace words {
constexpr const char* kMethodLh5 = "-lh5-";     // data packed with -lh5-
constexpr const char* kMethodStored = "-lh0-";  // data as it is
constexpr const char* kMethodFolder = "-lhd-";  // a folder or a link: no data
}  // namespace words

namespace {

void Put16(std::string& s, uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

constexpr size_t kSmallestCompressed = 8;  // shorter data is stored: some readers misread it

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
                                  std::string* md5, std::string* sha256) {
    std::string data;
    data.resize(static_cast<size_t>(m.st.st_size));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = env.Read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRead, {display}));
        }
        if (n == 0) {
            return Status::Error(ErrorKind::kIo, EIO,
                                 Message(NoticeCode::kArchiveFileShrank, {display}));
        }
        done += static_cast<size_t>(n);
    }
    uint16_t crc = Crc16(data);
    if (md5) *md5 = Md5Hex(data);
    if (sha256) *sha256 = Sha256Hex(data);
    if (data.size() >= kSmallestCompressed) {
        std::string packed = CompressLh5(data);
        if (packed.size() < data.size()) {
            return EncodeEntry(m, data, words::kMethodLh5, packed, crc);
        }
    }
    return EncodeEntry(m, data, words::kMethodStored, data, crc);
}

// The entry for `m`; a regular file's data is read from the open file `fd`, whose path is
// `display` in messages. A read error or a file that shrank while read fails: a damaged entry
// with a matching CRC would only show at restore time.
Result<std::string> EntryBytes(Env& env, const Member& m, int fd, const std::string& display,
                               std::string* md5 = nullptr, std::string* sha256 = nullptr) {
    if (S_ISDIR(m.st.st_mode) || S_ISLNK(m.st.st_mode)) {
        if (md5) *md5 = S_ISLNK(m.st.st_mode) ? Md5Hex(m.link_target) : std::string();
        if (sha256) *sha256 = S_ISLNK(m.st.st_mode) ? Sha256Hex(m.link_target) : std::string();
        return EncodeEntry(m, "", words::kMethodFolder, "", 0);
    }
    // The header holds sizes in 32 bits; a larger file is refused before anything is read.
    if (m.st.st_size > static_cast<off_t>(UINT32_MAX)) {
        return Status::Error(ErrorKind::kLimit, EFBIG,
                             Message(NoticeCode::kArchiveFileTooLarge, {display}));
    }
    // The file and its packed form are held in memory; running out is this file's failure, not
    // the end of the program.
    try {
        return ReadAndEncode(env, m, fd, display, md5, sha256);
    } catch (const std::bad_alloc&) {
        return Status::Error(ErrorKind::kLimit, ENOMEM,
                             Message(NoticeCode::kArchiveOutOfMemory, {display}));
    }
}

}  // namespace

Result<std::unique_ptr<ArchiveWriter>> ArchiveWriter::Create(Env& env, const std::string& archive) {
    auto file = AtomicFile::Create(env, archive);
    if (!file.ok()) return file.status();
    return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(std::move(file).value()));
}

Status ArchiveWriter::AddMember(int dirfd, const std::string& name, const std::string& display,
                                const std::string& stored_dir, const std::string& stored_name,
                                std::string* written_md5, struct stat* written_st,
                                std::string* written_sha256) {
    Env& env = file_->env();
    Member m;
    m.stored_dir = stored_dir;
    m.name = StorableName(stored_name);
    int fd = -1;
    if (name.empty()) {
        // The folder `dirfd` itself.
        if (env.FStat(dirfd, &m.st) != 0)
            return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRead, {display}));
    } else {
        fd = env.OpenAt(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd < 0 && errno != ELOOP) {
            if (errno == ENOENT) return Status::Ok();  // gone meanwhile
            return Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRead, {display}));
        }
        int got = fd >= 0 ? env.FStat(fd, &m.st)
                          : env.FStatAt(dirfd, name.c_str(), &m.st, AT_SYMLINK_NOFOLLOW);
        if (got != 0) {
            int err = errno;
            if (fd >= 0) env.Close(fd);
            if (err == ENOENT) return Status::Ok();
            return Status::FromErrno(err, Message(NoticeCode::kArchiveCannotRead, {display}));
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
    auto bytes = EntryBytes(env, m, fd, display, written_md5, written_sha256);
    if (fd >= 0) env.Close(fd);
    if (!bytes.ok()) return bytes.status();
    Status written = file_->Write(bytes.value());
    if (!written.ok()) {
        broken_ = written;
        return written;
    }
    if (!S_ISDIR(m.st.st_mode)) ++entries_;
    if (written_st) *written_st = m.st;
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
        return Status::FromErrno(ENOENT, Message(NoticeCode::kArchiveCannotSave, {root}));
    }
    if (facts.kind != EntryKind::kDirectory) {
        return Status::Error(ErrorKind::kRefused, EINVAL,
                             Message(NoticeCode::kArchiveNeitherFileNorFolder, {root}));
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
                                             Message(NoticeCode::kWithCause,
                                                     {entry.dir, entry.failure.what()}))));
                continue;
            case TreeWalk::Entry::Type::kSkippedFolder:
            case TreeWalk::Entry::Type::kFilesLeftOut:
            case TreeWalk::Entry::Type::kSpecial:  // not asked for
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
                                const std::string& path, std::optional<Md5Digest>* written_md5,
                                FileFacts* written_facts,
                                std::optional<Sha256Digest>* written_sha256) {
    if (broken()) return broken_;
    if (written_md5) written_md5->reset();
    if (written_sha256) written_sha256->reset();
    if (written_facts) *written_facts = FileFacts{};
    std::string md5, sha256;
    const std::string root = Absolute(file_->env(), path);
    const std::vector<std::string> names = PathNames(root);
    struct stat st {};
    st.st_mode = 0;
    Status added = AddMember(folder.fd(), name, root, StoredDir(ParentOfPath(root)),
                             names.empty() ? "" : names.back(), &md5, &st, &sha256);
    if (written_md5 && !md5.empty()) *written_md5 = Md5Digest(md5);
    if (written_sha256 && !sha256.empty()) *written_sha256 = Sha256Digest(sha256);
    if (added.ok() && written_facts && st.st_mode != 0) *written_facts = FactsFromStat(st);
    return added;
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
        return fail(
            Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRead, {file_->path()})));
    }
    if (st.st_size > 0) {
        PositionedReader reader{&env, file_->fd(), 0, st.st_size};
        auto a = OpenAt(reader, file_->path());
        if (!a.ok()) return fail(a.status());
        archive_entry* e = nullptr;
        for (int rc; (rc = archive_read_next_header(a->get(), &e)) != ARCHIVE_EOF;) {
            if (rc < ARCHIVE_WARN || archive_read_data_skip(a->get()) < ARCHIVE_WARN) {
                return fail(ArchiveError(NoticeCode::kWithCause,
                                         {Message(NoticeCode::kArchiveCannotRead, {file_->path()}),
                                          ArchiveFault(a->get())}));
            }
            if (std::string path = EntryPath(e); is_wanted(path)) held.insert(std::move(path));
        }
    }

    auto trusted = OpenTrustedFile(env, earlier);
    if (!trusted.ok()) return fail(trusted.status());
    const int fd = trusted.value();
    ScopedFd closer(env, fd);
    if (env.FStat(fd, &st) != 0) {
        return fail(Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRead, {earlier})));
    }
    PositionedReader reader{&env, fd, 0, st.st_size};
    auto a = OpenAt(reader, earlier);
    if (!a.ok()) return fail(a.status());
    auto damaged = [&](Message why) {
        return fail(ArchiveError(NoticeCode::kArchiveDamaged, {earlier, std::move(why)}));
    };
    std::vector<int64_t> copied(wanted.size(), 0);
    std::vector<char> block(65536);
    archive_entry* e = nullptr;
    for (int rc; (rc = archive_read_next_header(a->get(), &e)) != ARCHIVE_EOF;) {
        if (rc < ARCHIVE_WARN) return damaged(ArchiveFault(a->get()));
        const int64_t header_at = archive_read_header_position(a->get());
        const std::string path = EntryPath(e);
        if (!is_wanted(path) || held.count(path) != 0 || dropped.count(path) != 0) {
            if (archive_read_data_skip(a->get()) < ARCHIVE_WARN) {
                return damaged(ArchiveFault(a->get()));
            }
            continue;
        }
        // Read through first: an entry whose data fails its CRC is never passed on.
        for (la_ssize_t n; (n = archive_read_data(a->get(), block.data(), block.size())) != 0;) {
            if (n < 0) return damaged(ArchiveFault(a->get()));
        }
        // Then its bytes as they stand, header and packed data, so nothing of it is re-encoded.
        unsigned char fixed[22];
        if (env.PRead(fd, fixed, sizeof fixed, header_at) != static_cast<ssize_t>(sizeof fixed) ||
            fixed[20] != 2) {
            return damaged(Message(NoticeCode::kArchiveHeaderUnreadable, {path}));
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
            if (n < 0) {
                return fail(
                    Status::FromErrno(errno, Message(NoticeCode::kArchiveCannotRead, {earlier})));
            }
            if (n == 0) return damaged(Message(NoticeCode::kArchiveEntryCut, {path}));
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

namespace detail {
std::string RawEntry(const std::string& stored_dir, const std::string& name,
                     const std::string& data) {
    Member m;
    m.stored_dir = stored_dir;
    m.name = name;
    m.st = {};
    m.st.st_mode = S_IFREG | 0644;
    return EncodeEntry(m, data, words::kMethodStored, data, Crc16(data));
}
}  // namespace detail

}  // namespace norv::platform::lha
