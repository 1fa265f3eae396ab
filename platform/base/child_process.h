// Waiting for a child process the program started.
#pragma once

#include <sys/types.h>

#include <optional>

namespace norv::platform {

// The wait status of `child` once it has ended (an interrupted wait is waited again), or nothing
// when it cannot be waited for.
std::optional<int> WaitForChild(pid_t child);
// Waits until `child` has ended without reaping it: until WaitForChild, it stays a zombie whose
// pid and /proc entry (its cgroup, its ids) still name it. False when it cannot be waited for.
bool WaitForChildToEnd(pid_t child);

}  // namespace norv::platform
