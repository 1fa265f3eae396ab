// WatchBurst: the real-time watch's side of the engine. Files named by folder events are checked
// one by one as a check checks them (through the ChangeRecorder), and a burst of changes (a
// series close together) is reported as one: its events' run, its log lines, its mail. It also
// remembers what the change response left at each place, so that norv's own work is never a
// new change, and hands a running check the watch's urgent files.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/change_recorder.h"
#include "engine/scan_run.h"
#include "engine/scan_tools.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/file_system.h"

namespace norv {

// Files a check's looks on the watch's asking (SetUrgentFiles) may find gone, each remembered for
// the report of the files the walk did not meet, before the check asks no more.
inline constexpr size_t kMostUrgentFiles = 100000;

// One file named by an event in a watched folder, and the folder the watch opened and verified.
struct WatchedFile {
    std::shared_ptr<platform::DirectoryHandle> folder;  // null when the folder itself is gone
    std::string name;                                   // in `folder`
    std::string path;                                   // as the records and the log show it
    std::shared_ptr<const platform::Writer> writer = nullptr;  // who wrote it last, where known
};

class WatchBurst {
  public:
    WatchBurst(ScanTools& tools, ScanRun& run, ChangeRecorder& recorder)
        : tools_(tools), run_(run), recorder_(recorder) {}

    // A burst starts with the counters at 0 and a "watch" run in the events.
    void Begin();
    // Checks each file (see ScanEngine::CheckWatchedFiles). The caller holds the program
    // folder's lock.
    Status CheckFiles(const std::vector<WatchedFile>& files, bool pages_first);
    // Ends the burst: the events' summary, and the mail when the burst found changes and
    // mail_alert is 1. Returns whether a mail was sent.
    bool End();

    // One file, as CheckFiles checks each; `pages_first`: the urgent files are checked between
    // the blocks of its content.
    Status CheckFile(const WatchedFile& file, bool pages_first = false);
    // Where a check finds the watch's urgent files; null to stop asking.
    void SetUrgentFiles(std::function<std::vector<WatchedFile>()> source) {
        urgent_files_ = std::move(source);
    }
    // Whether CheckUrgentFiles may answer files now: a watch hands them over and restore is on.
    bool AnswersUrgentFiles() const { return urgent_files_ && tools_.Restores(); }
    // Checks what the urgent files' source gives now, if anything, within the run (its log,
    // counters and response), when automatic restore is on; adds each path checked, once, to
    // `checked_paths` when given.
    Status CheckUrgentFiles(std::vector<std::string>* checked_paths = nullptr);

    // What the response left at `path` is forgotten (see ScanEngine::ForgetResponseAt).
    void ForgetResponseAt(const std::string& path) { left_by_response_.erase(path); }
    // See ScanEngine::RestoresAtOnce.
    bool RestoresAtOnce(const std::string& path);

  private:
    Status CheckPresentOrGone(const WatchedFile& file, const platform::Fingerprint& fingerprint,
                              bool present);
    // Remembers what the response to the change at `path` left there (left_by_response_).
    Status RememberResponse(const std::string& path);
    // The recorded file, gone, that the new file `file` is, moved: the same content, length and
    // attributes (at most kMostMoveCandidates records of its content are looked at).
    Result<std::optional<std::pair<std::string, FileInfoStore::Baseline>>> RecordedFileMovedHere(
        const WatchedFile& file, const platform::Fingerprint& fingerprint);
    // The contents of the recorded files of the batch that are gone (ScanRun::move_sources).
    Status FindMoveSources(const std::vector<WatchedFile>& files);
    // The end of a batch: each recorded file found gone reported, as the move of a new file of
    // the batch with the same facts or as deleted, then the new files not moved.
    Status ReportHeldChanges();

    ScanTools& tools_;
    ScanRun& run_;
    ChangeRecorder& recorder_;
    std::function<std::vector<WatchedFile>()> urgent_files_;
    std::vector<std::string> lines_;  // the change lines of the current burst
    size_t lines_beyond_ = 0;         // and how many more there were
    bool response_begun_ = false;     // the response's run for this burst has begun
    // What the change response left at each path it acted on during the watch: seen again, it
    // is norv's own work, never a new change (an archive that differs from the baseline would
    // otherwise be restored, found altered and restored again without end).
    struct LeftByResponse {
        std::optional<platform::Md5Digest> digest;     // none when nothing was left
        std::optional<platform::ExtendedFacts> facts;  // the attributes the restore set
        // What the baseline recorded of the file then.
        std::optional<platform::Md5Digest> baseline_digest;
    };
    std::unordered_map<std::string, LeftByResponse> left_by_response_;
    // In a batch, the recorded files found gone, held until the batch's new files are known (a
    // rename gives both at once); counted as deleted when found.
    struct HeldGone {
        std::string path;
        FileInfoStore::Baseline baseline;
        std::shared_ptr<const platform::Writer> writer;
    };
    bool hold_gone_ = false;
    std::vector<HeldGone> held_gone_;
    // Recorded files of this batch reported moved from when their new name was checked: their
    // own event in the batch is no second finding.
    std::unordered_set<std::string> moved_away_;
    // New FIFOs, sockets and devices the watch reported, so that more events of one are not new
    // findings (bounded: forgetting costs one more report).
    std::unordered_map<std::string, platform::FileIdentity> specials_reported_;
};

}  // namespace norv
