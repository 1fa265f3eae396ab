// The hold: a deploy pauses the change response for some rules in every running norv.
//
// A hold is the file kHoldFileName in the program folder. While it stands, changes under the
// held rules are still found, logged and sent as events (marked held), but nothing is moved or
// restored. Only root can hold norv running as root: the record counts only when it is a
// regular file of root (of the running user when norv does not run as root), mode 0600,
// opened without following a link relative to the verified program folder, and read whole
// within kMostHoldBytes. A record that fails any of these, or cannot be read as a record, is
// ignored with a warning.
//
// The holder keeps an exclusive flock on the record for as long as it holds; the kernel ends
// that lock with the holder, however it ends. A reader that can take a shared lock on the record
// knows its holder is gone. The record names its holder (process id and start time, for the
// messages) and when it expires. A hold whose holder is gone, or whose time is up, ends by
// itself: the first norv to read it removes the record and says so. The holder ends it by
// removing the record, then letting the lock go (Hold::End).
//
// Thread safety: a HoldReader and a Hold are used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/env.h"
#include "platform/base/status.h"
#include "platform/fs/file_system.h"
#include "platform/text/regional_time.h"

namespace norv {

inline constexpr const char* kHoldFileName = "norv-hold";
inline constexpr int64_t kDefaultHoldMinutes = 60;
inline constexpr int64_t kMostHoldMinutes = 24 * 60;
inline constexpr size_t kMostHoldBytes = 64 * 1024;
inline constexpr size_t kMostHeldRules = 1000;

// What the record holds. Written as text lines: "norv-hold 1", then "pid=", "started=",
// "expires=" and one "rule=" per held rule (none: every rule).
struct HoldRecord {
    int64_t pid = 0;
    uint64_t started = 0;  // the holder's start, in clock ticks since boot (/proc/PID/stat);
                           // it tells a person which process held, not whether it lives
    int64_t expires = 0;   // seconds since the epoch
    std::vector<std::string> rules;

    // Whether a change at `path` lies under the hold: every path when no rule is named, else
    // a path that is a held rule's or lies below one.
    bool Covers(std::string_view path) const;
};

std::string HoldText(const HoldRecord& record);
// kFormat when the text is not a record as HoldText writes it.
Result<HoldRecord> ParseHold(std::string_view text);

// The start time of process `pid` in clock ticks since boot, read from /proc through `env`;
// nothing when there is no such process.
std::optional<uint64_t> ProcessStartTime(platform::Env& env, int64_t pid);

// What a look at the hold found.
struct HoldLook {
    std::optional<HoldRecord> hold;  // a hold in force
    // What the look has to say: a hold that ended by itself, a record that was ignored. Each
    // is said once for one record.
    std::vector<Message> notes;
    bool ended = false;  // a hold ended by itself at this look
};

// Reads the hold for a running norv, at each change it answers: one openat when there is none.
class HoldReader {
  public:
    HoldReader(platform::Env& env, std::string program_dir, const platform::Clock& clock);
    HoldLook ReadHold();
    const std::string& program_dir() const { return program_dir_; }

  private:
    platform::Env& env_;
    const std::string program_dir_;
    const platform::Clock& clock_;
    std::shared_ptr<platform::DirectoryHandle> folder_;  // the verified program folder
    std::string said_for_;  // the record (device, inode, change time) last warned about
};

// The holder's side: deploy takes the hold, and ends it when done.
class Hold {
  public:
    // Writes the record for `record` (pid, start time, expiry and rules filled in by the
    // caller) into the program folder, as a new file locked, then renamed into place; the lock
    // lasts until End or this process's end. Refused (kBusy) while another hold is in force; a
    // record whose holder is gone or whose time is up is replaced.
    static Result<std::unique_ptr<Hold>> Take(platform::Env& env, const std::string& program_dir,
                                              const platform::Clock& clock,
                                              const HoldRecord& record);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Removes the record, when it is still this hold's. Called again, does nothing.
    Status End();

  private:
    Hold(std::shared_ptr<platform::DirectoryHandle> folder, std::string path,
         platform::FileIdentity identity, int lock_fd)
        : folder_(std::move(folder)),
          path_(std::move(path)),
          identity_(identity),
          lock_fd_(lock_fd) {}
    std::shared_ptr<platform::DirectoryHandle> folder_;
    std::string path_;
    platform::FileIdentity identity_;
    int lock_fd_;  // the record, locked exclusively until End
    bool ended_ = false;
};

}  // namespace norv
