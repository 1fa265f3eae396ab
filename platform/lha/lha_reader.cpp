#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/fs/file_system.h"
#include "platform/lha/lha_archive.h"
#include "platform/lha/lha_internal.h"

namespace norv::platform::lha {
namespace {

// A reader of LHA archives, not yet opened.
std::unique_ptr<archive, ReadCloser> NewLhaReader() {
    std::unique_ptr<archive, ReadCloser> a(archive_read_new());
    archive_read_support_format_lha(a.get());
    archive_read_support_filter_none(a.get());
    // Names are read as stored, byte for byte: told they are UTF-8, libarchive would recompose
    // them (NFC), and a name written decomposed would no longer match its own stored path.
    return a;
}

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

}  // namespace

Message ArchiveFault(archive* a) {
    const char* why = archive_error_string(a);
    return why ? Message(std::string(why)) : Message(NoticeCode::kArchiveUnknownFault);
}

Status ArchiveError(NoticeCode code, std::vector<Message> args) {
    return Status::Error(kErrArchive, Message(code, std::move(args)));
}

Result<std::unique_ptr<archive, ReadCloser>> OpenAt(PositionedReader& reader,
                                                    const std::string& path) {
    auto a = NewLhaReader();
    if (archive_read_open2(a.get(), &reader, nullptr, ReadPositioned, SkipPositioned, nullptr) !=
        ARCHIVE_OK) {
        return ArchiveError(NoticeCode::kArchiveCannotOpen, {path, ArchiveFault(a.get())});
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

Result<std::vector<ArchiveEntry>> ListArchive(Env& env, const std::string& path) {
    ScopedUtf8Locale utf8;
    const int fd = env.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return ArchiveError(NoticeCode::kArchiveCannotOpen,
                            {path, std::string(std::strerror(errno))});
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
            return ArchiveError(NoticeCode::kArchiveDamaged, {path, ArchiveFault(a->get())});
        }
        ArchiveEntry entry;
        entry.path = EntryPath(e);
        entry.is_directory = archive_entry_filetype(e) == AE_IFDIR;
        if (const char* link = archive_entry_symlink(e)) entry.symlink_target = link;
        entry.size = archive_entry_size(e);
        entries.push_back(std::move(entry));
        if (archive_read_data_skip(a->get()) < ARCHIVE_WARN) {
            return ArchiveError(NoticeCode::kArchiveDamaged, {path, ArchiveFault(a->get())});
        }
    }
    return entries;
}

}  // namespace norv::platform::lha
