// The verified copy of a file's content that every piece of evidence in the cracked folder is.
#include "response/evidence_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <vector>

#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"

namespace norv {
namespace {

using platform::ScopedFd;

// Copies the first `size` bytes of the open regular file `in` to the new file `out`, data
// extents only: a hole stays a hole, so a sparse file's copy costs what its data costs.
Status CopyExtents(platform::Env& env, int in, int64_t size, int out,
                   const std::string& shown_copy) {
    std::vector<char> buffer(1 << 16);
    int64_t at = 0;
    // Each pass starts past the one before (an extent ends past its start), so the loop ends
    // within `size` whatever the file does meanwhile.
    while (at < size) {
        const auto extent =
            platform::NextDataExtent(env, in, static_cast<off_t>(at), static_cast<off_t>(size));
        if (!extent || extent->begin >= size) break;  // holes to the end
        const off_t end = extent->end;
        for (off_t pos = extent->begin; pos < end;) {
            const auto want =
                static_cast<size_t>(std::min<off_t>(static_cast<off_t>(buffer.size()), end - pos));
            auto read = platform::ReadOnce(env, in, std::span(buffer.data(), want),
                                           Message(NoticeCode::kEvidenceUnreadable), pos);
            if (!read.ok()) return read.status();
            const auto n = static_cast<off_t>(*read);
            if (n == 0) return Status::Ok();  // shrunk: the verification tells
            if (env.LSeek(out, pos, SEEK_SET) != pos) {
                return Status::FromErrno(errno,
                                         Message(NoticeCode::kCannotWriteEvidence, {shown_copy}));
            }
            NORV_RETURN_IF_ERROR(platform::WriteFully(
                env, out, std::string_view(buffer.data(), static_cast<size_t>(n)), shown_copy));
            pos += n;
        }
        at = end;
    }
    if (env.FTruncate(out, static_cast<off_t>(size)) != 0) {
        return Status::FromErrno(errno, Message(NoticeCode::kCannotWriteEvidence, {shown_copy}));
    }
    return Status::Ok();
}

// The digests of the first `size` bytes of `fd`, read whole from its start.
platform::ContentDigest WholeDigest(platform::Env& env, int fd, int64_t size) {
    if (env.LSeek(fd, 0, SEEK_SET) != 0) return platform::UnreadContent();
    platform::HashBudget unbounded;
    unbounded.most_bytes = INT64_MAX;
    unbounded.longest = std::chrono::steady_clock::duration::max() / 2;
    return platform::DigestOfOpenFile(env, fd, size, unbounded);
}

}  // namespace

Status CopyAndVerify(platform::Env& env, int in, const struct stat& st, int64_t size,
                     bool head_only, int out, int cracked_dir, const std::string& copy_name,
                     const std::string& shown_copy, platform::ContentDigest* digest,
                     bool* rewritten) {
    *rewritten = false;
    NORV_RETURN_IF_ERROR(CopyExtents(env, in, size, out, shown_copy));
    if (env.Fsync(out) != 0)
        return Status::FromErrno(errno, Message(NoticeCode::kCannotWriteEvidence, {shown_copy}));
    const timespec times[2] = {st.st_atim, st.st_mtim};
    env.FUtimens(out, times);
    ScopedFd back(env,
                  env.OpenAt(cracked_dir, copy_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (back.get() < 0)
        return Status::FromErrno(errno, Message(NoticeCode::kCannotReadBackCopy, {shown_copy}));
    *digest = WholeDigest(env, back.get(), size);
    char past_end = 0;
    const bool longer = !head_only && env.PRead(in, &past_end, 1, static_cast<off_t>(size)) != 0;
    const platform::ContentDigest original = WholeDigest(env, in, size);
    if (longer || digest->md5 != original.md5 || digest->sha256 != original.sha256 ||
        !digest->md5.measured()) {
        struct stat now {};
        *rewritten = env.FStat(in, &now) == 0 && !platform::SameTimes(st, now);
        return Status::Error(ErrorKind::kCorrupt, EIO,
                             Message(NoticeCode::kCopyDiffers, {shown_copy}));
    }
    return Status::Ok();
}

bool OutOfRoom(const Status& status) { return status.Is(ErrorKind::kNoSpace); }

}  // namespace norv
