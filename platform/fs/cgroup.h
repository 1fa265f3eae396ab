// CommandCgroup: a cgroup of the unified (v2) hierarchy made below this process's own, so that
// the processes of one command (a deploy's), and only they, can be told apart from every other
// writer: each names it, or a cgroup below it, in /proc/<pid>/cgroup (Writer::cgroup). A process
// cannot leave it by forking or daemonising; only root could move it out.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/base/env.h"
#include "platform/base/status.h"

namespace norv::platform {

class CommandCgroup {
  public:
    // Makes `name` below this process's cgroup. Fails with kUnsupported where there is no
    // writable unified hierarchy (cgroup v1 only, not root).
    static Result<std::unique_ptr<CommandCgroup>> Make(Env& env, const std::string& name);
    // Removes it once empty; one that still holds processes stays, with them.
    ~CommandCgroup();
    CommandCgroup(const CommandCgroup&) = delete;
    CommandCgroup& operator=(const CommandCgroup&) = delete;

    // As /proc/<pid>/cgroup names it ("/system.slice/x.service/norv-deploy-1").
    const std::string& path() const { return path_; }
    // A process whose cgroup is `cgroup` is in this one (or below it).
    bool Holds(const std::string& cgroup) const;
    // For a child between fork and exec: moves the calling process in (one write, safe after a
    // fork). 0, or the errno.
    int JoinFromChild() const;
    // The processes in it now, at most `most`.
    std::vector<pid_t> Processes(size_t most) const;

  private:
    CommandCgroup(Env& env, int parent, std::string name, std::string path, int procs)
        : env_(env),
          parent_(parent),
          name_(std::move(name)),
          path_(std::move(path)),
          procs_(procs) {}
    Env& env_;
    int parent_;  // the folder of this process's own cgroup
    std::string name_;
    std::string path_;
    int procs_;  // its cgroup.procs, open for writing
};

}  // namespace norv::platform
