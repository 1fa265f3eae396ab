// Where a watched path lies: the rule that covers it, and the names from that rule's folder down.
// Every caller that acts on a watched file by its path (the change response, the archive, the
// real-time watch) opens it this way, name by name, never following a link below the rule.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/rule_table.h"
#include "platform/base/status.h"
#include "platform/fs/file_system.h"

namespace norv {

// A watched path as the rule that covers it reaches it: the rule's own folder (or, for a file
// rule, the folder holding the file) opened as the administrator wrote it, and the names below.
struct WatchedPlace {
    std::shared_ptr<platform::DirectoryHandle> root;
    std::string root_path;              // for messages
    std::vector<std::string> relative;  // the last one is the file's name
};

// The rule covering `path` (the most specific one), nothing when none does; with `below`, the
// path's names under that rule's folder ("" for a file rule).
const Rule* CoveringRule(const RuleTable& rules, const std::string& path,
                         std::string* below = nullptr);

// Finds the rule covering `path` (the most specific one) and opens its root. Fails when no rule
// covers the path or the root cannot be opened.
Result<WatchedPlace> OpenWatchedPlace(platform::Env& env, const RuleTable& rules,
                                      const std::string& path);

// The folder holding `place`'s file, opened name by name without following a link.
Result<std::shared_ptr<platform::DirectoryHandle>> OpenHoldingFolder(const WatchedPlace& place);

}  // namespace norv
