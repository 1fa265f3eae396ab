// The copy of a file's content kept as evidence in the cracked folder, read back and verified.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/base/env.h"
#include "platform/base/status.h"
#include "platform/digest/md5.h"

namespace norv {

// Copies the open regular file `in` (`size` bytes, or with `head_only` its first `size` bytes)
// to the new file `out`, flushes it and gives it the file's times. The copy (`copy_name` in the
// folder `cracked_dir`) must then read back as exactly what the file holds there, and a whole
// copy must have found the file's end where its size said (one that grew meanwhile, or a
// pseudo-file's size of 0, does not match). `rewritten` tells a file written to meanwhile (its
// times or size moved) from a copy that was damaged on its way.
Status CopyAndVerify(platform::Env& env, int in, const struct stat& st, int64_t size,
                     bool head_only, int out, int cracked_dir, const std::string& copy_name,
                     const std::string& shown_copy, platform::ContentDigest* digest,
                     bool* rewritten);

// A copy that failed for want of room: the evidence shrinks to fit.
bool OutOfRoom(const Status& status);

}  // namespace norv
