// Line-oriented text files in the system's character set: CR LF line ends, no byte-order mark.
//
// Reading accepts CR LF and bare LF and a last line without a line end. Writing replaces the file
// atomically: the new content goes to a temporary file beside it, is flushed to disk and renamed
// over the old one, so a failure at any point leaves the old file whole.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/status.h"

namespace norv::platform {

// Reads every line of the file, converted to UTF-8. An empty `charset` means the system's.
Result<std::vector<std::string>> ReadTextLines(const std::string& path,
                                               const std::string& charset = {});

// Writes `lines`, each followed by CR LF, converted from UTF-8 to `charset` (empty: the
// system's). A character the set cannot hold fails with the file and line number, and the old
// file stays as it was. The file gets `mode` (owner-only by default).
Status WriteTextFileAtomic(const std::string& path, const std::vector<std::string>& lines,
                           const std::string& charset = {}, mode_t mode = 0600);

// Writes raw bytes to `path` atomically, as WriteTextFileAtomic does.
Status WriteFileAtomic(const std::string& path, const std::string& bytes, mode_t mode = 0600);

// The whole content of a file as bytes.
Result<std::string> ReadFileBytes(const std::string& path);

}  // namespace norv::platform
