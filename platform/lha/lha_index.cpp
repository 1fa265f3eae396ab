#include <sys/stat.h>

#include "platform/lha/lha_archive.h"
#include "platform/lha/lha_internal.h"

namespace norv::platform::lha {
namespace {

uint64_t PathKey(const std::string& path) {
    // FNV-1a: cheap, and every hit is checked against the path read back.
    uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : path) h = (h ^ ch) * 1099511628211ull;
    return h;
}

}  // namespace

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

}  // namespace norv::platform::lha
