// The attributes a restored file is given: the baseline's owner, group, mode, ACL, capabilities,
// other extended attributes and inode flags, set through the descriptor of the file the restore
// wrote, before it takes the recorded file's place, so that it comes back exactly as recorded.
//
// Privileges are given only where the baseline shows them and the content is the baseline's: a
// restore never makes a set-id file, or one with capabilities, that the baseline did not have,
// and an archived content that differs from the baseline's (an archive older than the baseline)
// comes back without its set-id bits and capabilities. Without the baseline's extended facts (a
// record made before the fingerprint was extended) the file keeps the archive's owner and mode,
// never a set-id bit. Owner and group come from the baseline, never from the file that stood
// there, and never root's unless the baseline was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/engine_hooks.h"
#include "platform/base/status.h"
#include "platform/digest/fingerprint.h"

namespace norv {

struct PutBack {
    // The facts the file has once set, read back through the same descriptor (no SHA-256).
    std::optional<platform::ExtendedFacts> left;
    // What was withheld and why, for the administrator.
    std::vector<Message> notes;
    // The immutable and append-only flags the baseline shows: set only once the file stands in
    // its place (PutBackLockingFlags), since they forbid linking and renaming it.
    uint32_t locking_flags = 0;
    platform::FileIdentity written;  // the restored file
};

// Sets the attributes on `fd`, the restored file (an O_PATH descriptor when `is_link`), whose
// content has MD5 `written_md5`, through `env`; `path` names it in messages. Fails, leaving the
// file unused by the restore, when the owner, mode or ACL cannot be set.
Status PutBackAttributes(platform::Env& env, int fd, bool is_link,
                         const platform::Md5Digest& written_md5, const RecordedFile& recorded,
                         const std::string& path, PutBack* done);

// Sets `put_back.locking_flags` on the file now at `name` of `folder`, if it is still the file
// restored (`put_back.written`).
Status PutBackLockingFlags(platform::Env& env, const platform::DirectoryHandle& folder,
                           const std::string& name, const PutBack& put_back,
                           const std::string& path);

}  // namespace norv
