// ChangeResponse: what happens to a changed file when automatic restore is on.
//
// A new file is moved into the cracked folder under a date-time stamp; an altered file is moved
// there and then put back from the archive; a deleted file is put back. With automatic restore
// off (read at every call) nothing is touched. A file is acted on only through the folder the
// walk opened and verified (or, when none is given, through the rule's folder opened name by
// name), never through its path again. It leaves its place only once its copy in the cracked
// folder is complete and verified; symbolic links are moved as links, never followed. Every
// copy is listed with its origin in the cracked folder's index, and no copy is ever replaced.
//
// What one run puts into the cracked folder is bounded (QuarantineBounds). A copy is sparse
// where the file is. A file that cannot be copied whole (over the run's bytes, or the disk
// full) leaves evidence instead: a copy of its first bytes and an index line with its size and
// digest; it is then removed all the same and, when altered, restored, so a defacement never
// stays for want of room. Past the run's number of copies, a changed file (new or altered)
// still leaves the site, without a copy: an index line (up to a bound) keeps its size and
// digest, and the run's end says how many left so (EndRun). A file inside a folder taken out
// is already off the site: past the copies it stays there, root's and owner-only, and is
// counted in the run's end too.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "config/notice.h"
#include "config/settings.h"
#include "engine/engine_hooks.h"
#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "platform/text/regional_time.h"
#include "response/archive.h"
#include "response/hold.h"

namespace norv {

// The cracked folder's index, a stored format: its fixed words are kept here, byte for byte, and
// never change. One line per copy in the cracked folder: copy name, change kind, date and time,
// MD5 of the copy and the full path the file was taken from, separated by tabs; for a copy in
// part or none, the size and, for a part, kHeadOnlyNote. Then, as "name=value" fields, what the
// file was (CrackedAttributes), and a last note or entry field, if any.
inline constexpr const char* kCrackedIndexName = "cracked_index.txt";
// The last field for a copy of the first bytes only, and the copy name of a file removed
// without a copy.
inline constexpr const char* kHeadOnlyNote = "先頭のみ";
inline constexpr const char* kNoCopyName = "-";
namespace cracked_index {
inline constexpr const char* kNoteField = "note=";    // why an item stays as it was moved
inline constexpr const char* kSizeField = "size=";    // the size of a file not copied whole
inline constexpr const char* kEntryField = "entry=";  // what a FIFO, socket or device was
inline constexpr const char* kSha256Field = "sha256=";
inline constexpr const char* kUnknownFact = "?";  // a fact that could not be read
// Notes on items of a folder taken out.
inline constexpr const char* kTooDeepNote = "深すぎるため中を調べていません";
inline constexpr const char* kRestLeftNote = "上限を超えたため、この中の残りは移したときのままです";
inline constexpr const char* kKeptUncopiedNote =
    "コピーの上限を超えたため、コピーせずに root のものにして残しています";
inline constexpr const char* kLeftAsMovedNote = " (移したときのまま残しています)";
}  // namespace cracked_index

// The cracked folder's bounds per run, counted from ChangeResponse::BeginRun.
//  - most_copies: copies (whole or first bytes) made into the cracked folder. Past it a file
//    is removed without a copy, so a flood of junk never keeps a webshell on the site; a file
//    in a folder taken out is kept as it is instead, made root's.
//  - most_bytes: bytes of whole copies. A file that would pass it is kept as its first
//    kEvidenceHeadBytes; so is any file larger than it. 16 GiB is several times a large site's
//    media files, and reads back (for the verification) in about a minute.
//  - most_uncopied_lines: index lines of files removed without a copy; past it such a file is
//    counted in the run's summary alone, so the index stays bounded too.
inline constexpr int kMostQuarantineCopiesPerRun = 1000;
inline constexpr int64_t kMostQuarantineBytesPerRun = int64_t{16} << 30;
inline constexpr int64_t kEvidenceHeadBytes = 1 << 20;
inline constexpr int kMostUncopiedIndexLinesPerRun = 10000;
// A folder put at a recorded file's place and taken out: the items (at every level together) and
// the levels below it that are made root's and listed; what lies past them is left as it was moved,
// and said.
inline constexpr int kMostTakenFolderEntries = 1000;
inline constexpr int kMostTakenFolderDepth = 16;
struct QuarantineBounds {
    int most_copies = kMostQuarantineCopiesPerRun;
    int64_t most_bytes = kMostQuarantineBytesPerRun;
    int most_uncopied_lines = kMostUncopiedIndexLinesPerRun;
    // A folder taken out of a recorded file's place: its items and levels made root's and listed.
    int most_taken_entries = kMostTakenFolderEntries;
    int most_taken_depth = kMostTakenFolderDepth;
};
// The run's summary of files removed without a copy, `unlisted` of them without an index line,
// and of files in folders taken out kept without a fresh copy.
Message UncopiedSummary(int removed, int unlisted, int kept = 0);
// Rounds of "take out what stands at the recorded file's place, restore again" for one change: a
// process that puts something there again and again (before the restore, or in the restored
// recorded file's place right after it) is outlasted this many times, then reported as a failed
// restore.
inline constexpr int kMostRestoreRounds = 3;
// What stands for the content of an item that has none to keep.
inline const platform::ContentDigest kNoContent{platform::Md5Digest(kNoCopyName), {}, true};
// Copies of one name within one second; past this a move gives up with a message.
inline constexpr int kMostCopiesPerName = 1000;

// The short date immediately followed by the long time, "/" and ":" made "-":
// 2004/04/11 + 12:34:56 gives 2004-04-1112-34-56.
std::string CrackedStamp(const platform::RegionalFormat& regional, platform::TimePoint now);

// The name of a copy in the cracked folder: the stamp, "(n)" from the second copy on, and the
// file's name, shortened when needed so that it fits one folder entry (255 bytes): the stamp,
// the "(n)", the name's extension and a part that keeps shortened names apart stay whole.
std::string CrackedName(const std::string& stamp, int copy_number, const std::string& name);

// The fields the index appends for what a file in the cracked folder was: type, mode, owner,
// group, capabilities, acl and sha256, each "\tname=value" (the shown forms of
// platform::ShownFact; "?" for a fact that could not be read).
std::string CrackedAttributes(const platform::ExtendedFacts& facts);
// The same fields for an item that could not be looked at: each "?".
std::string UnknownCrackedAttributes();
// What a FIFO, socket or device is, as the index's "entry=" field says it.
std::string SpecialEntryName(mode_t mode);

class ChangeResponse : public ChangeResponder {
  public:
    ChangeResponse(const Settings& settings, const LiveSwitches& switches,
                   ProtectedArchive& archive, const platform::Clock& clock,
                   const platform::RegionalFormat& regional, NoticeSink& notices,
                   std::string charset = {});

    ResponseOutcome RespondToChange(ChangeKind kind, const std::string& path,
                                    const FileLocation& where,
                                    const RecordedFile& recorded = {}) override;
    // Moves the file into the cracked folder; returns false (after a message) when it stays.
    bool MoveToCracked(ChangeKind kind, const std::string& path, const FileLocation& where);
    // Starts a run: the bounds count again from zero, and the temporary files of restores a
    // killed run left behind are removed (ProtectedArchive::RemoveInterruptedRestores). To be
    // called before the first change of every check and every batch the watch acts on.
    void BeginRun() override;
    // Ends a run: how many files left without a copy, said once in the messages and the
    // events, and returned for the log; nothing when none did.
    std::vector<Message> EndRun() override;
    void SetBounds(const QuarantineBounds& bounds) { bounds_ = bounds; }
    // Where each move and restore is reported, done or failed; null for nowhere.
    void SetEventSink(EventSink* events) { events_ = events; }
    // Where a deploy's hold is read, at each change; null for no hold. A held change is left
    // as it is; what the look has to say (a hold that ended by itself, a record ignored) goes
    // to the messages, the events, and the next change's outcome (the log).
    void SetHoldReader(HoldReader* hold) { hold_ = hold; }
    bool Holds(const std::string& path) override;
    bool HeldChangesFreed() override;

  private:
    const Settings& settings_;
    const LiveSwitches& switches_;  // auto_restore, read at every call
    ProtectedArchive& archive_;
    platform::Env& env_;  // the archive's
    const platform::Clock& clock_;
    const platform::RegionalFormat& regional_;
    NoticeSink& notices_;
    const std::string charset_;
    EventSink* events_ = nullptr;
    HoldReader* hold_ = nullptr;
    // The latest Holds answer, for the response to the same path that follows it.
    std::string held_path_;
    bool held_ = false;
    std::vector<Message> hold_notes_;  // not yet in an outcome; bounded
    bool left_held_ = false;           // a change was left alone under a hold standing now
    QuarantineBounds bounds_;
    int copies_this_run_ = 0;
    int64_t bytes_this_run_ = 0;
    bool limit_shown_ = false;
    int removed_uncopied_ = 0;  // this run's files removed past the copy bound
    int uncopied_lines_ = 0;    // index lines written for them
    int unlisted_ = 0;          // of them, past most_uncopied_lines: no index line
    int kept_uncopied_ = 0;     // files in folders taken out kept without a fresh copy

    // Looks at the hold, saying what the look has to say.
    HoldLook LookAtHold();
    ResponseOutcome Respond(ChangeKind kind, const std::string& path, const FileLocation& where,
                            const RecordedFile& recorded);
    // Gives a failure of the response at `path` to the notices, and keeps it for the outcome of
    // the change being answered (the log quotes it).
    void ReportFailure(const std::string& path, const Status& cause, const Message& text);
    std::vector<Message>* said_ = nullptr;
    // Puts the recorded file back as `recorded`; what it then left at the place.
    ResponseOutcome Restore(const std::string& path, const RecordedFile& recorded);
    // A recorded file moved within the trees, put back by a rename, or else restored and the
    // new one taken out (move_response.cpp). `renamed`: the rename was done.
    ResponseOutcome UndoMove(const std::string& to, const FileLocation& where,
                             const RecordedFile& recorded);
    Status MoveBack(const std::string& to, const FileLocation& where, const RecordedFile& recorded,
                    bool* renamed);
    // A folder or special file put back as recorded (place_response.cpp).
    ResponseOutcome RestorePlace(const std::string& path, const FileLocation& where,
                                 const RecordedFile& recorded);
    Status PutBackFolder(const std::string& path, const FileLocation& where,
                         const RecordedFile& recorded, std::vector<Message>& notes);
    Status PutBackSpecialFile(const std::string& path, const RecordedFile& recorded);
    // Takes out whatever stands where a recorded file must come back; false when it could not.
    bool TakeOutWhatStands(const std::string& path);
    // A folder taken out into the cracked folder (as `moved_name` there, from `path`), made
    // root's through and through, each item listed (taken_folder.cpp).
    struct TakenFolder;
    void SecureTakenFolder(int cracked_fd, const std::string& moved_name, const std::string& path);
    void SecureTakenEntry(TakenFolder& taken, int dirfd, const std::string& name,
                          const std::string& relative, int depth);
    void SecureTakenSubfolder(TakenFolder& taken, int dirfd, const std::string& name,
                              const std::string& relative, const struct stat& seen, int depth);
    void CopyTakenFileAfresh(TakenFolder& taken, int dirfd, const std::string& name,
                             const std::string& relative, const struct stat& seen);
    void KeepTakenFileUncopied(TakenFolder& taken, int fd, const std::string& relative,
                               const struct stat& st);
    // `st` null: the item could not be looked at.
    void IndexTakenEntry(TakenFolder& taken, const std::string& relative,
                         const platform::ContentDigest& digest, int fd, const struct stat* st,
                         const std::string& note);

    // The steps of MoveToCracked, in order, sharing what each found.
    struct QuarantineMove;
    // Says why the file stays where it is, in the messages and the events.
    bool FailMove(const std::string& path, const Status& status);
    // Acts only through the folder that holds the file, never through its path again.
    Status FindHolder(QuarantineMove& move);
    // Evidence goes only into a folder no other user can reach into.
    Status OpenCrackedFolder(QuarantineMove& move);
    // Whether the entry is a FIFO, socket or device, found without opening it.
    Result<bool> LookAtSpecial(QuarantineMove& move);
    // Opens the file once, and only the very file that was measured.
    Status OpenSuspect(QuarantineMove& move);
    // Keeps a run's copies within its bounds.
    void ChooseEvidence(QuarantineMove& move);
    // Copies what the bounds allow, so that the removal never loses the evidence.
    Status KeepEvidence(QuarantineMove& move);
    // Makes a copy entry under a free name, so that no earlier evidence is replaced.
    Status MakeCopyEntry(QuarantineMove& move);
    // Fills one copy entry and reads it back, so that only a true copy counts.
    Status CopyIntoCracked(QuarantineMove& move, int64_t bytes, bool head,
                           platform::ContentDigest* copied_digest);
    // Says in the index what the evidence was, where a copy alone cannot say it.
    void WriteIndexLine(QuarantineMove& move);
    // Appends one line to the cracked folder's index, flushed.
    Status AppendIndexLine(int cracked_fd, const std::string& line);
    // Opens the cracked folder's index to append to, once it is known to be root's alone.
    Status OpenCrackedIndex(int cracked_fd, platform::ScopedFd& index);
    // Appends one line to the open index, unflushed.
    Status AppendToIndex(int index_fd, const std::string& line);
    // Removes the file only if its name still holds the very file that was copied.
    Status RemoveSuspect(QuarantineMove& move);
};

}  // namespace norv
