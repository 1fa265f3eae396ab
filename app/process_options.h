// What the process takes from its surroundings: who runs it, and the NORV_* variables that steer
// how it reads files. Read once where the process starts
// (the CLI's Run, the GUI's main) and passed down: nothing below the app asks the environment
// or the process's identity.
#pragma once

#include <string>

#include "platform/base/env.h"
#include "platform/digest/fingerprint.h"

namespace norv {

struct ProcessOptions {
    // Who accepts changes: the login user behind sudo (SUDO_USER), else the name of the login
    // uid (/proc/self/loginuid), else of the real uid; a number when no name is known.
    std::string user;
    // NORV_IO (plain, uring; unset: by the kernel) and NORV_DIGEST_KERNEL (avx512, avx2,
    // portable; unset: the best the processor runs).
    platform::ReadOptions reading;
    // NORV_FANOTIFY=off: the watch and deploys do without fanotify, as on a kernel without it.
    bool fanotify = true;
};

ProcessOptions ReadProcessOptions(platform::Env& env);

}  // namespace norv
