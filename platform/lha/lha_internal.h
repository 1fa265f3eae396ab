// What the LHA writer, reader, index and restore share: the stored form of names, and a
// reader of an archive from any header on. Private to platform/lha.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/env.h"
#include "platform/base/notice_code.h"
#include "platform/base/status.h"

namespace norv::platform::lha {

// A name as the archive stores it: bytes that are not UTF-8 text, "|" and the escape range
// itself as U+F700 + byte (see lha_names.cpp).
std::string StorableName(std::string_view name);

// Names already in stored form, joined as stored paths are.
std::string JoinStored(const std::vector<std::string>& names);

// Names joined as stored paths are, each in its stored form.
std::string JoinNames(const std::vector<std::string>& names);

// `path` made absolute against the working folder.
std::string Absolute(Env& env, const std::string& path);

// "srv/www/" for the folder "/srv/www"; "" for "/".
std::string StoredDir(const std::string& absolute_dir);

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

// Why libarchive failed, in its own words: a reader that fails without any still says so.
Message ArchiveFault(archive* a);

// A failure the archive itself gives (numbered kErrArchive): `code` with its arguments.
Status ArchiveError(NoticeCode code, std::vector<Message> args);

struct ReadCloser {
    void operator()(archive* a) const { archive_read_free(a); }
};

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

// A reader of the archive open in `reader`, from its offset on; `path` names it in messages.
Result<std::unique_ptr<archive, ReadCloser>> OpenAt(PositionedReader& reader,
                                                    const std::string& path);

// An entry's stored path, without a trailing "/".
std::string EntryPath(archive_entry* e);

}  // namespace norv::platform::lha
