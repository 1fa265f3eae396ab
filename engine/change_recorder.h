// ChangeRecorder: what a check and an init do with each file measured, and how a run reports.
//
// An init records each file into the new baseline; a check compares it with the baseline and
// reports what changed (log line, change list, event, change response), then the recorded files
// it did not meet as deleted. The places a run could not see, and the warnings about what it
// measured, are said here too. It works on the run the engine carries (ScanRun), through the
// engine's tools (ScanTools).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scan_run.h"
#include "engine/scan_tools.h"
#include "platform/digest/fingerprint.h"

namespace norv {

// Failed restores remembered for the watch between two of its looks; past it, the periodic full
// checks find the rest.
inline constexpr size_t kMostFailedRestores = 10000;

// New files a check holds until the recorded files gone are known (ScanRun::HeldCreation);
// beyond, each is reported whole at once and is never part of a move.
inline constexpr size_t kMostHeldCreations = 100000;
// ... and the bytes their paths and attributes take, at most.
inline constexpr size_t kMostHeldCreationBytes = size_t{64} << 20;

// New files a check with automatic restore on holds for quarantine after its walk; beyond, each
// is answered as soon as it is reported.
inline constexpr size_t kMostDeferredQuarantines = 10000;

// Whether the recorded file `gone` and a new file with `md5`, `size` and `facts` are one file
// moved: the same content (a whole digest), length and every recorded attribute.
bool IsSameFileMoved(const FileInfoStore::Baseline& gone,
                     const std::optional<platform::Md5Digest>& md5, int64_t size,
                     const platform::ExtendedFacts& facts);

class ChangeRecorder {
  public:
    ChangeRecorder(ScanTools& tools, ScanRun& run) : tools_(tools), run_(run) {}

    // Run between the files of the report of deleted files and of the deferred quarantine (the
    // watch's urgent files); its failure ends the run.
    void SetBetweenFiles(std::function<Status()> step) { between_files_ = std::move(step); }
    // How many new files a check holds for quarantine after its walk (kMostDeferredQuarantines).
    void SetMostDeferredQuarantines(size_t most) { most_deferred_quarantines_ = most; }

    // Records or compares one measured file (`dir` + `name` is its path as the records show
    // it); `where` is where the walk found it, for the response and for measuring it again.
    Status RecordFile(const std::string& dir, const std::string& name,
                      const platform::Fingerprint& fingerprint, const FileLocation& where = {});
    // `now` is what was measured of a present file, kept in the change list for review.
    Status ReportChange(const ChangeEvent& change, const FileLocation& where,
                        const RecordedFile& recorded = {},
                        const std::optional<platform::ExtendedFacts>& now = std::nullopt);
    // A new FIFO, socket or device at `path` (entry `name` of `folder`): Created, and answered
    // as a new file is, never opened.
    Status ReportNewSpecialEntry(const std::string& path, const platform::DirectoryHandle& folder,
                                 const std::string& name, const platform::FileFacts& facts);
    // A folder, or a FIFO, socket or device, the walk met at `path` (a folder's ends in the
    // separator): an init records it; a check compares it with its record and reports what
    // changed as altered. `where` is the folder itself (name "") or the special file's folder and
    // name. A special file without a record is the caller's to report (ReportNewSpecialEntry); a
    // folder without one is new, told by its files, or, in a baseline made before folders were
    // recorded, gains its record.
    Status RecordPlace(const std::string& path, const platform::PlaceFacts& now,
                       const FileLocation& where);
    // The recorded files the run did not meet, reported deleted unless not seen or left out.
    Status ReportDeletedFiles();
    // The recorded file at `path` not found: the move of a held new file of the same facts, or
    // else deleted.
    Status ReportGone(const std::string& path, const FileInfoStore::Baseline& baseline);
    // The new file at `path`, measured as `fingerprint` where `where` says, is the recorded file
    // `from`, gone: the log's created and deleted lines, then one move.
    Status ReportMoveTo(const std::string& from, const FileInfoStore::Baseline& gone,
                        const std::string& path, const platform::Fingerprint& fingerprint,
                        const FileLocation& where);
    // The same for the special files; a folder gone is told by its files.
    Status ReportDeletedPlaces();
    // The new files a check held (ScanRun::held_creations) and that no recorded file gone made a
    // move, reported now (event, change list, response).
    Status ReleaseHeldCreations();
    // The new files a check held back (ScanRun::deferred_quarantines), quarantined now.
    Status QuarantineDeferred();

    // A place the run could not see or measure: a folder (its path ends in the separator) or a
    // file. A `Warning:` line and event say so with `why`; the records there are kept as they
    // are: a check reports none of them deleted, an init keeps their previous baseline.
    Status NoteUnseen(const std::string& place, const Status& why);
    // A `Warning:` line ("<place>: <text>") and a warning event, `text` in words (LogText).
    Status Warn(const std::string& place, const Message& text);
    // The failures the last response told, each a `Warning:` line.
    Status LogResponseFailures();

    // What the response of the latest change reported left (untouched when none ran since
    // ForgetLastResponse).
    const ResponseOutcome& last_response() const { return last_response_; }
    void ForgetLastResponse() { last_response_ = {}; }
    // The paths whose restore the response was asked for and did not do since the last call
    // (a failure it reported; at most kMostFailedRestores), for the watch to try again.
    std::vector<std::string> TakeFailedRestores() { return std::exchange(failed_restores_, {}); }

    // The writer the changes reported from now on are said to come from (the watch's file).
    void SetWriter(std::shared_ptr<const platform::Writer> writer) { writer_ = std::move(writer); }
    const std::shared_ptr<const platform::Writer>& writer() const { return writer_; }
    // A line ("<path>  <WriterSummary>") for each change of the run whose writer is known, at
    // most kMostWrittenBy (then one more says how many were left out), for the mail.
    static constexpr size_t kMostWrittenBy = 100;
    const std::vector<std::string>& written_by() const { return written_by_; }
    void ForgetWrittenBy() {
        written_by_.clear();
        written_by_beyond_ = 0;
    }
    // written_by() with its last line saying how many more there were.
    std::vector<std::string> WrittenByForMail() const;

  private:
    std::shared_ptr<const platform::Writer> writer_;
    std::vector<std::string> written_by_;
    int64_t written_by_beyond_ = 0;
    // Adds to `changed` what fileinfo's length and time say where the digests cannot (a
    // digest of part of the content); warns of a comparison made on part of it.
    Status CompareLengthAndTime(const std::string& path, const FileInfoStore::Baseline& recorded,
                                const platform::Fingerprint& print,
                                std::vector<platform::FactChange>& changed);
    // A `Warning:` line and event when the file's content was not hashed whole, and once per
    // run for each fact that could not be read (the first file it happened to is named).
    Status NoteIfSampled(const std::string& path, const platform::Fingerprint& fingerprint);
    Status NoteMissingFacts(const std::string& path, const platform::Fingerprint& fingerprint);
    Status BetweenFiles() { return between_files_ ? between_files_() : Status::Ok(); }
    // What ReportChange does once the log line is written and the writer known: the change
    // list, the event and the response.
    Status ShowAndRespond(const ChangeEvent& change, const FileLocation& where,
                          const RecordedFile& recorded,
                          const std::optional<platform::ExtendedFacts>& now,
                          const std::shared_ptr<const platform::Writer>& writer);
    // Whether a recorded file the run did not meet is reported deleted (and counted so), or
    // left: reported by a look at the watch's files, measured elsewhere, or not seen (counted
    // unchecked).
    bool CountAsDeleted(const std::string& path);
    // The held new file that is `gone` (a recorded file not met) moved: the same content,
    // length and attributes; none when there is none.
    std::optional<size_t> HeldCreationMovedFrom(const FileInfoStore::Baseline& gone);
    // Reports the recorded file `from` moved to the held new file: the log's deleted line (its
    // created line was written when it was met), then one move.
    Status ReportMove(const std::string& from, const FileInfoStore::Baseline& gone,
                      size_t held_index);

    ScanTools& tools_;
    ScanRun& run_;
    std::function<Status()> between_files_;
    ResponseOutcome last_response_;             // of the latest change reported
    std::vector<std::string> failed_restores_;  // see TakeFailedRestores
    size_t most_deferred_quarantines_ = kMostDeferredQuarantines;
};

}  // namespace norv
