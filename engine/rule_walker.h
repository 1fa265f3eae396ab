// RuleWalker: finds the files one rule covers and measures them, for the ChangeRecorder to
// record or compare. A folder rule's tree is walked through open folders (TreeWalk), its files
// fingerprinted on worker threads (DigestPipeline) or one by one; a file rule's file is measured
// alone. Each folder's files are measured once per run (MeasuredPlaces), whatever path reaches
// them.
#pragma once

#include <string>

#include "config/rule_table.h"
#include "engine/change_recorder.h"
#include "engine/scan_run.h"
#include "engine/scan_tools.h"
#include "engine/watch_burst.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/tree_walk.h"

namespace norv {

// One fingerprinting thread per processor.
int DefaultDigestWorkers();

class RuleWalker {
  public:
    RuleWalker(ScanTools& tools, ScanRun& run, ChangeRecorder& recorder, WatchBurst& watch)
        : tools_(tools), run_(run), recorder_(recorder), watch_(watch) {}

    // A folder rule (kFolder, or kTree with its subfolders) at `path`.
    Status WalkDirectory(const std::string& path, RuleKind kind);
    // A file rule at `path`: measured and recorded, or reported deleted.
    Status CheckSingleFile(const std::string& path);

    // Threads that fingerprint files ahead of the recording step; 0 fingerprints each file on
    // the run's thread just before recording it. Results are the same either way.
    void SetDigestWorkers(int workers) { digest_workers_ = workers; }

  private:
    Status WalkSerially(platform::TreeWalk& walk);
    // Measures a file the walk met on the run's thread, answering the files the watch hands over
    // before it and between the blocks of its content.
    Status MeasureNow(const platform::TreeWalk::Entry& entry, platform::Fingerprint& fingerprint);
    Status HandleWalkEntry(const platform::TreeWalk::Entry& entry,
                           const platform::Fingerprint& fingerprint);
    Status SkipFolder(const std::string& dir);
    // A FIFO, socket or device the walk met: recorded by an init, compared by a check, reported
    // by a check when it is new.
    Status ReportSpecialEntry(const platform::TreeWalk::Entry& entry);
    // A folder the walk entered: its own facts recorded or compared.
    Status RecordFolder(const platform::TreeWalk::Entry& entry);
    // Whether a file a walk met was measured by an earlier single-file rule (then said).
    Result<bool> MeasuredBySingleFileRule(const platform::TreeWalk::Entry& entry);
    // A `Warning:` line for the place whose files were measured under another path; records
    // there are kept, neither deleted nor carried into a new baseline.
    Status NoteMeasuredElsewhere(const std::string& place);

    ScanTools& tools_;
    ScanRun& run_;
    ChangeRecorder& recorder_;
    WatchBurst& watch_;  // asked for its urgent files between files and while they are read
    int digest_workers_ = DefaultDigestWorkers();
};

}  // namespace norv
