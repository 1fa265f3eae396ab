// DeployWatch: who wrote what while a deploy's command ran.
//
// It marks the file systems of the held rules on fanotify, takes the events of every folder on
// them (each with its folder's file handle) and notes, for each entry written, made, moved or
// removed, whether a process of the command's cgroup did it and whether any other did. A change
// is the command's own only when the command wrote it and no other process did. An entry whose
// events were lost, or that a process gone before it could be read wrote (its pid never seen in
// the cgroup), is no one's: it is left for review, never accepted on a guess.
//
// Bounds: at most kMostEntries entries and kMostMembers pids of the cgroup are kept; past them
// the watch counts as having lost events.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/notice.h"
#include "config/rule_table.h"
#include "platform/base/status.h"
#include "platform/fs/cgroup.h"
#include "platform/fs/folder_event_source.h"

namespace norv {

class DeployWatch {
  public:
    static constexpr size_t kMostEntries = 1 << 18;
    static constexpr size_t kMostMembers = 1 << 16;
    static constexpr std::chrono::seconds kStopWithin{30};

    // Starts watching the rules named in `held` (every rule when empty) for `cgroup`'s writes.
    // Fails with kUnsupported where fanotify cannot be had.
    static Result<std::unique_ptr<DeployWatch>> Start(platform::Env& env, const RuleTable& rules,
                                                      const std::vector<std::string>& held,
                                                      const platform::CommandCgroup& cgroup);
    ~DeployWatch();
    DeployWatch(const DeployWatch&) = delete;
    DeployWatch& operator=(const DeployWatch&) = delete;

    // Takes the events still coming (until none came for a moment) and stops.
    void Stop();
    // Why the change at `path` is not the command's own; none when it is. After Stop.
    std::optional<Message> NotOwn(const std::string& path) const;

  private:
    struct Entry {
        bool own = false;      // a process of the cgroup wrote it
        bool unknown = false;  // a process gone before it could be read wrote it
        std::shared_ptr<const platform::Writer> stranger;  // the first other writer
    };
    DeployWatch(platform::Env& env, const RuleTable& rules, const platform::CommandCgroup& cgroup,
                std::unique_ptr<platform::FolderEventSource> source)
        : env_(env), rules_(rules), cgroup_(cgroup), source_(std::move(source)) {}
    void Run();
    void Note(const platform::FolderEvent& event);

    platform::Env& env_;
    const RuleTable& rules_;
    const platform::CommandCgroup& cgroup_;
    std::unique_ptr<platform::FolderEventSource> source_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    // The watch thread's until Stop, then read only.
    std::unordered_map<std::string, Entry> entries_;  // folder key, '\0', name
    std::unordered_set<pid_t> members_;               // pids seen in the cgroup
    bool lost_ = false;
};

}  // namespace norv
