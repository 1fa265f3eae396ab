#include "engine/scan_run.h"

#include "config/watched_place.h"

namespace norv {

void ScanRun::FindExcludedFolders(const ScanTools& tools) {
    skipped_logged.clear();
    const Settings& settings = tools.state.settings;
    // With automatic restore on, this run's evidence goes to the cracked folder: it is made now
    // so that a walk passing through it can never take a copy for a new file.
    if (tools.Restores() && !settings.cracked_dir.empty()) {
        (void)platform::MakeDirectories(tools.env(), settings.cracked_dir, 0700);
    }
    excluded_folders = ProgramFolders(tools.env(), settings);
}

bool ScanRun::IsUnseen(const std::string& path) const {
    if (unseen_places.empty()) return false;
    if (unseen_places.count(path) != 0) return true;
    // Each folder on the path, "/srv/", "/srv/www/", ...
    for (size_t slash = path.find(platform::kSeparator); slash != std::string::npos;
         slash = path.find(platform::kSeparator, slash + 1)) {
        if (unseen_places.count(path.substr(0, slash + 1)) != 0) return true;
    }
    return false;
}

bool ScanRun::CoveredByRule(const std::string& path) const {
    return CoveringRule(rules, path) != nullptr;
}

}  // namespace norv
