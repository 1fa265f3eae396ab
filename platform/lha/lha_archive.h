// LHA archives: our writer (level-2 headers, -lh5- or -lh0- data, -lhd- folders and links) and
// a safe extractor reading through libarchive.
//
// Every entry is stored under its full path without the leading "/", so entries from different
// folders never clash and an entry goes back to the place it came from. Names are UTF-8.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace norv::platform::lha {

// Adds `source` to the archive: every file, link and folder below it when it is a folder (links
// are stored as links, never followed), or the file itself. A missing archive is created; an
// existing one keeps its entries. The archive is replaced atomically, owner-only, and written
// entry by entry (memory holds one file at a time). `progress` (may be empty) hears each path.
Status AddToArchive(const std::string& archive, const std::string& source,
                    const std::function<void(const std::string&)>& progress = {});

struct ArchiveEntry {
    std::string path;  // as stored, "/"-separated, without a leading "/"
    std::string symlink_target;
    bool is_directory = false;
    int64_t size = 0;
};

// Every entry of the archive, in order. Fails on a damaged archive.
Result<std::vector<ArchiveEntry>> ListArchive(const std::string& archive);

// Extracts every entry whose file name is `name` to "/" + its stored path, replacing the file
// there. Refused (and counted as a failure): an entry whose path holds "." or "..", or whose
// way passes through a symbolic link. Each file is written beside its place and renamed, with
// its stored mode and time. Fails when no entry matched or any could not be written.
Status ExtractByName(const std::string& archive, const std::string& name);

// As ExtractByName, but below `root` instead of "/" (for tests and a restore elsewhere).
Status ExtractByNameBelow(const std::string& archive, const std::string& name,
                          const std::string& root);

namespace detail {
// One raw level-2 entry (stored, -lh0-) with any stored folder and name, for tests that need
// archives no honest writer makes.
std::string RawEntry(const std::string& stored_dir, const std::string& name,
                     const std::string& data);
}  // namespace detail

}  // namespace norv::platform::lha
