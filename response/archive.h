// ProtectedArchive: the known-good copy of every watched tree, "arcive.lzh" in the save folder.
//
// CreateArchive writes a new archive of every rule's path; RestoreFromArchive puts one changed
// file back, and only that file, from the
// entry stored under its full path. Both reach the watched trees through open folders from the
// rule's own path down, never through a link below it, and reach the system only through the
// Env given. Failures are shown with the archiver's title (kArchiveFailed, kRestoreFailed),
// followed by the cause on a second line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/notice.h"
#include "config/rule_table.h"
#include "config/settings.h"
#include "config/watched_place.h"
#include "platform/fs/file_system.h"
#include "platform/lha/lha_archive.h"

namespace norv {

inline constexpr const char* kArchiveFileName = "arcive.lzh";
// Parts of one rule named in its message; the rest are counted.
inline constexpr size_t kMostMissedShown = 10;

class ProtectedArchive {
  public:
    ProtectedArchive(platform::Env& env, const Settings& settings, const RuleTable& rules,
                     NoticeSink& notices);

    // save_dir + "/arcive.lzh"
    std::string ArchivePath() const;
    // Archives every rule that can be archived, and each part of it that can be read, into a
    // new archive, which replaces the old one. Each rule not in whole gets a message naming it
    // and the cause, and saying whether its earlier archived version was kept; the last one says
    // what the archive now holds. With an earlier archive, each rule or part that could not be
    // archived keeps the entries the earlier archive holds under its path, copied across
    // unchanged; an earlier archive that cannot be read stays as it was instead. Without one,
    // the new archive holds what could be archived. Temporary files that a killed run left in
    // the save folder are removed first. Returns the number of messages. `progress` hears each
    // path as it is added.
    int CreateArchive(const std::function<void(const std::string&)>& progress = {});
    // Puts back the archived version of the file at `path`; a message when that fails.
    // Gives a failure to the notices and returns it too.
    // With `say_failure` false the caller says it (it may try again first). With
    // `written_digest`, the digest of what was put back. `finish` is lha::RestoreEntry's: the
    // restored file's last touch before it takes its place.
    Status RestoreFromArchive(const std::string& path, bool say_failure = true,
                              platform::Md5Digest* written_digest = nullptr,
                              const platform::lha::FinishRestore& finish = {});
    // A restore of `path` failed: a notice titled as the archiver's restore (kRestoreFailed),
    // then the cause.
    void SayRestoreFailure(const std::string& path, const Status& status) const;
    const RuleTable& rules() const { return rules_; }
    platform::Env& env() const { return env_; }

    // Where restores note their temporary files: the program folder's kRestoreJournalName
    // (set at start-up); until set, the save folder's.
    void SetRestoreJournal(std::string path) { journal_path_ = std::move(path); }
    std::string RestoreJournalPath() const;
    // Removes the temporary files of restores a killed run left in the watched folders, exactly
    // those its journal lists (lha::RestoreJournal::RemoveLeftovers), and empties the journal.
    // To be called at the start of every run, before anything is checked; a failure is shown
    // with the archiver's title and the run goes on.
    void RemoveInterruptedRestores();
    // Removes the temporary archives a killed build or accept left in the save folder. Only
    // under the program folder's lock, and never while an accept's marker names one.
    void RemoveLeftoverTemporaries() const { RemoveLeftovers(); }

  private:
    void RemoveLeftovers() const;
    // A notice titled as the archiver's (kArchiveFailed for kArchiveError, kRestoreFailed for
    // kRestoreError), then `detail` on the next line.
    void ReportFailure(NoticeKind kind, const std::string& path, const Status& cause,
                       Message detail) const;

    platform::Env& env_;
    const Settings& settings_;
    const RuleTable& rules_;
    NoticeSink& notices_;
    platform::lha::ArchiveIndex index_;  // where each entry of the archive starts
    std::string journal_path_;
};

}  // namespace norv
