// MD5 fingerprints as 32 lower-case hexadecimal characters (OpenSSL libcrypto).
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace norv::platform {

inline constexpr std::string_view kUnreadableDigest = "                                ";

std::string Md5Hex(std::string_view bytes);

// MD5 of the regular file at `path`, streamed in large blocks. The file is opened without
// following a symbolic link and without blocking, and must still be a regular file once open,
// so a FIFO or device swapped in after the listing is never read. Any failure gives 32 blanks,
// which compare unequal to every real digest.
std::string Md5OfFile(const std::string& path);

// MD5 of everything in the open file `fd`, read from its start; blanks when it cannot be read.
std::string Md5OfDescriptor(int fd);

// The same for the entry `name` of the open folder `dirfd`.
std::string Md5OfFileAt(int dirfd, const char* name);
std::string Md5OfSymlinkAt(int dirfd, const char* name);

// One entry of an open folder measured and fingerprinted with a single open: a regular file by
// its content (facts from the opened file itself), a symbolic link by its target text. An
// entry that is gone, or is now a folder, FIFO, socket or device, has kind kMissing or kOther
// and no digest; a file that cannot be read has the blank digest.
struct Fingerprint {
    FileFacts facts;
    std::string digest;
};
// `stop`, when given and set, cuts a long read short: the digest is then blank, and the caller,
// which asked for the stop, must not record it.
Fingerprint FingerprintAt(int dirfd, const std::string& name,
                          const std::atomic<bool>* stop = nullptr);

// MD5 of a symbolic link's target text: a re-pointed link changes its digest.
std::string Md5OfSymlink(const std::string& path);

}  // namespace norv::platform
