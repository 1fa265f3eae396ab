// ScanRun: what one run carries from its start to its end (a check or an init, or a batch of the
// watch's looks), kept by the engine and shared by its parts: the rules as the start found them,
// the folders never walked, the places it could not see, where it measured each folder, and
// the new files a check holds for quarantine after its walk.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/rule_table.h"
#include "engine/measured_places.h"
#include "engine/scan_tools.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/file_system.h"
#include "platform/fs/writer.h"

namespace norv {

// Warning lines for unseen places in one run; the rest are counted in one line.
inline constexpr size_t kMostUnseenLines = 1000;

struct ScanRun {
    // A new file a check with automatic restore on holds for quarantine after its walk: kept by
    // its path and the identity it was measured with, opened again from its rule down and moved
    // only if it is still that file.
    struct DeferredQuarantine {
        std::string path;
        platform::FileIdentity identity;
    };

    // The rules as the run's start found them: the settings window may edit the table while the
    // run yields, and must not pull a rule from under it.
    RuleTable rules;
    // The cracked and save folders, never walked: evidence and archives are not watched files.
    std::vector<platform::FileIdentity> excluded_folders;
    std::set<std::string> skipped_logged;  // folders the log has named as skipped this run
    // What this run could not see: folder paths ending in the separator, and single files.
    std::set<std::string> unseen_places;
    // The facts this run (or watch burst) has said it could not read, once each.
    std::set<std::string_view> missing_facts_said;
    // Files this check's looks on the watch's asking reported deleted; at most kMostUrgentFiles.
    std::unordered_set<std::string> urgent_gone;
    MeasuredPlaces measured;
    // In a check with automatic restore on, a new file is reported as it is met but quarantined
    // only after the walk and the deleted files' restores: a flood of new files met before an
    // altered recorded file never holds the recorded file back.
    bool defer_quarantines = false;
    // Whether the baseline records folders and special files; asked once per run.
    std::optional<bool> places_recorded;
    std::vector<DeferredQuarantine> deferred_quarantines;
    // A new file a check met, held until the recorded files it did not meet are known: one of
    // them with the same content, length and attributes makes it a move. Its log line is
    // written when it is met; its event, its place in the change list and its response wait.
    struct HeldCreation {
        std::string path;
        std::optional<platform::Md5Digest> md5;
        int64_t size = -1;
        int64_t mtime = -1;
        std::optional<platform::ExtendedFacts> facts;
        std::optional<platform::FileIdentity> identity;
        std::shared_ptr<const platform::Writer> writer;
        bool moved = false;  // paired with a recorded file as its move
    };
    bool hold_creations = false;
    // When set, only new files of these contents (MD5 text) are held: the watch holds those that
    // may be a recorded file of its batch moved, and answers the others at once.
    std::optional<std::unordered_set<std::string>> move_sources;
    std::vector<HeldCreation> held_creations;
    size_t held_bytes = 0;  // their paths' and attributes' (kMostHeldCreationBytes)
    // The held creations by content (MD5 text), for a look-up per recorded file gone.
    std::unordered_multimap<std::string, size_t> held_by_md5;

    // Drops every held new file (held_creations, held_by_md5, held_bytes).
    void ForgetHeldCreations() {
        held_creations.clear();
        held_by_md5.clear();
        held_bytes = 0;
    }
    // Finds the folders never walked (excluded_folders), and forgets the skipped ones named.
    void FindExcludedFolders(const ScanTools& tools);
    // Whether `path` is an unseen place or below one.
    bool IsUnseen(const std::string& path) const;
    // Whether a rule this run walked covers `path` (a file rule's file, a folder rule's files, a
    // tree).
    bool CoveredByRule(const std::string& path) const;
};

}  // namespace norv
