// A thread's I/O priority (ioprio_set): how the block layer's scheduler ranks its reads against
// other processes'. A thread sets its own; the threads it makes afterwards (io_uring's workers
// for its ring among them) inherit it. mq-deadline and BFQ honour the class; mq-deadline ranks
// every best-effort level alike, and without a scheduler ("none") nothing is ranked.
//
// kIdle: served only when no other process's I/O waits (mq-deadline and BFQ age idle requests
// so that they still end). kBestEffort: the lowest best-effort level (7), what the service's
// unit gives. kInherited: whatever the process was started with.
#pragma once

#include <optional>
#include <string_view>

namespace norv::platform {

enum class IoPriority { kInherited, kBestEffort, kIdle };

// "idle" or "best-effort"; nothing for another name.
std::optional<IoPriority> ParseIoPriority(std::string_view name);

// The ioprio_set value for `priority` (class << 13 | level); 0 for kInherited.
int IoPriorityValue(IoPriority priority);

// Sets the calling thread's I/O priority (0, or the errno); kInherited changes nothing.
int SetIoPriority(IoPriority priority);

}  // namespace norv::platform
