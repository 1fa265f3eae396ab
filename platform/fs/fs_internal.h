// What the fs library's own files share and no caller outside it needs: the kind of a mode and
// who may steer a path.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "platform/base/env.h"
#include "platform/fs/file_system.h"

namespace norv::platform::internal {

inline EntryKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::kRegular;
    if (S_ISLNK(mode)) return EntryKind::kSymlink;
    if (S_ISDIR(mode)) return EntryKind::kDirectory;
    return EntryKind::kOther;
}

// Root and the running user are the only owners whose links and folders may steer a path.
inline bool TrustedOwner(Env& env, uid_t owner) { return owner == 0 || owner == env.GetEuid(); }

}  // namespace norv::platform::internal
