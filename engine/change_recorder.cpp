// The per-file decision (baseline, new, unchanged, altered) and the deleted-file report.
#include "engine/change_recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config/watched_place.h"
#include "engine/scan_engine.h"
#include "engine/writer_json.h"
#include "platform/base/notice_code.h"
#include "platform/text/regional_time.h"

namespace norv {

Status ChangeRecorder::ReportChange(const ChangeEvent& change, const FileLocation& where,
                                    const RecordedFile& recorded,
                                    const std::optional<platform::ExtendedFacts>& now) {
    NORV_RETURN_IF_ERROR(tools_.log.ChangeLine(
        change.kind, change.kind == ChangeKind::kMoved ? change.moved_from : change.path));
    // Who made it: named by the watch's event, or, for a check, the writer the watch saw make
    // this very content, kept in the store.
    std::shared_ptr<const platform::Writer> writer = change.writer ? change.writer : writer_;
    if (writer) {
        NORV_RETURN_IF_ERROR(
            tools_.store.RecordWriter(change.path, change.new_md5, WriterJson(*writer).dump()));
    } else {
        auto kept = tools_.store.WriterOf(change.path, change.new_md5);
        if (!kept.ok()) return kept.status();
        if (!kept->empty()) writer = WriterFromJsonText(kept.value());
    }
    if (writer) {
        if (written_by_.size() < kMostWrittenBy) {
            written_by_.push_back(DisplayPath(change.path) + "  " + WriterSummary(*writer));
        } else {
            ++written_by_beyond_;
        }
    }
    // A new file with the content of a recorded file waits for the recorded files gone: it may be
    // one of them moved.
    auto may_be_moved = [&]() -> Result<bool> {
        if (change.kind != ChangeKind::kCreated || !run_.hold_creations || !change.new_md5 ||
            !now || run_.held_creations.size() >= kMostHeldCreations ||
            run_.held_bytes >= kMostHeldCreationBytes) {
            return false;
        }
        if (run_.move_sources) return run_.move_sources->count(change.new_md5->text()) != 0;
        auto same_content = tools_.store.RecordedWithContent(*change.new_md5, 1);
        if (!same_content.ok()) return same_content.status();
        return !same_content->empty();
    };
    auto hold = may_be_moved();
    if (!hold.ok()) return hold.status();
    if (*hold) {
        last_response_ = {};
        run_.held_bytes += change.path.size() + now->xattrs.value_or("").size() +
                           now->acl.value_or("").size() + now->capabilities.value_or("").size();
        run_.held_by_md5.emplace(change.new_md5->text(), run_.held_creations.size());
        run_.held_creations.push_back({change.path, change.new_md5, change.size, change.mtime, now,
                                       where.identity, writer, false});
        return Status::Ok();
    }
    return ShowAndRespond(change, where, recorded, now, writer);
}

Status ChangeRecorder::ShowAndRespond(const ChangeEvent& change, const FileLocation& where,
                                      const RecordedFile& recorded,
                                      const std::optional<platform::ExtendedFacts>& now,
                                      const std::shared_ptr<const platform::Writer>& writer) {
    // Kept for review and accept, as shown; a digest not taken leaves nothing to accept.
    FileInfoStore::ListedChange listed{change.path,
                                       change.kind,
                                       change.size,
                                       change.mtime,
                                       change.old_md5 ? change.old_md5 : recorded.md5,
                                       change.new_md5,
                                       change.new_md5 ? now : std::nullopt,
                                       std::nullopt,
                                       ""};
    listed.moved_from = change.moved_from;
    NORV_RETURN_IF_ERROR(tools_.store.ListChange(listed));
    // Asked whether or not anyone is told: the answer stands for the response below.
    const bool held = tools_.hooks.responder.Holds(change.path);
    if (tools_.events) {
        ChangeEvent shown = change;
        shown.held = held;
        shown.writer = writer;
        shown.FindRule(run_.rules);
        tools_.events->Change(shown);
    }
    // New files wait for the end of the walk, up to a bound; past it one is answered at once,
    // so that a flood of new files never keeps the last of them on the site.
    if (run_.defer_quarantines && change.kind == ChangeKind::kCreated && where.identity &&
        run_.deferred_quarantines.size() < most_deferred_quarantines_) {
        last_response_ = {};
        run_.deferred_quarantines.push_back({change.path, *where.identity});
        return Status::Ok();
    }
    // The response may wait on the user or move files; what the store holds so far is kept.
    NORV_RETURN_IF_ERROR(tools_.store.Commit());
    last_response_ =
        tools_.hooks.responder.RespondToChange(change.kind, change.path, where, recorded);
    // A restore asked for and not done (the response said why) is for the watch to try again.
    if (!held && change.kind != ChangeKind::kCreated && tools_.Restores() &&
        last_response_.left != ResponseOutcome::Left::kRestored &&
        !last_response_.failures.empty() && failed_restores_.size() < kMostFailedRestores) {
        failed_restores_.push_back(change.kind == ChangeKind::kMoved ? change.moved_from
                                                                     : change.path);
    }
    // A response that failed says so in the log and the mail, below the change's line.
    return LogResponseFailures();
}

bool IsSameFileMoved(const FileInfoStore::Baseline& gone,
                     const std::optional<platform::Md5Digest>& md5, int64_t size,
                     const platform::ExtendedFacts& facts) {
    // A digest of part of the content proves nothing of the rest; nor does a record without its
    // attributes: a copy anyone made would pass for it.
    if (!gone.md5o || gone.md5o->sampled() || !gone.extended) return false;
    if (gone.size && *gone.size != size) return false;
    return platform::CompareFacts(gone.md5o, gone.extended, md5, facts).empty();
}

std::optional<size_t> ChangeRecorder::HeldCreationMovedFrom(const FileInfoStore::Baseline& gone) {
    if (!gone.md5o || run_.held_by_md5.empty()) return std::nullopt;
    auto [first, last] = run_.held_by_md5.equal_range(gone.md5o->text());
    for (auto it = first; it != last; ++it) {
        const ScanRun::HeldCreation& held = run_.held_creations[it->second];
        if (!held.moved && IsSameFileMoved(gone, held.md5, held.size, *held.facts)) {
            return it->second;
        }
    }
    return std::nullopt;
}

Status ChangeRecorder::ReportMove(const std::string& from, const FileInfoStore::Baseline& gone,
                                  size_t held_index) {
    run_.held_creations[held_index].moved = true;
    // A copy: a look at the watch's files meanwhile may hold more and move the list.
    const ScanRun::HeldCreation held = run_.held_creations[held_index];
    ChangeEvent move{ChangeKind::kMoved, held.path, gone.md5o, held.md5, held.size, held.mtime, {}};
    move.moved_from = from;
    move.writer = held.writer;
    FileLocation where;
    where.identity = held.identity;
    RecordedFile recorded{gone.md5o, gone.extended, {}, from};
    NORV_RETURN_IF_ERROR(tools_.log.ChangeLine(ChangeKind::kDeleted, from));
    return ShowAndRespond(move, where, recorded, held.facts, held.writer);
}

Status ChangeRecorder::ReportMoveTo(const std::string& from, const FileInfoStore::Baseline& gone,
                                    const std::string& path,
                                    const platform::Fingerprint& fingerprint,
                                    const FileLocation& where) {
    ScanCounters& counters = tools_.state.counters;
    ++counters.checked;
    ++counters.created;
    ++counters.deleted;
    const platform::FileFacts& facts = fingerprint.facts;
    NORV_RETURN_IF_ERROR(tools_.store.InsertNew(
        path, facts.size, tools_.hooks.regional.DateTime(platform::FromTimespec(facts.mtime)),
        fingerprint.md5));
    NORV_RETURN_IF_ERROR(tools_.log.ChangeLine(ChangeKind::kCreated, path));
    ChangeEvent move{ChangeKind::kMoved, path, gone.md5o, fingerprint.md5, facts.size,
                     facts.mtime.tv_sec, {}};
    move.moved_from = from;
    FileLocation found = where;
    found.identity = facts.identity;
    return ReportChange(move, found, RecordedFile{gone.md5o, gone.extended, {}, from},
                        fingerprint.Extended());
}

Status ChangeRecorder::ReleaseHeldCreations() {
    run_.hold_creations = false;
    const std::vector<ScanRun::HeldCreation> held = std::move(run_.held_creations);
    run_.ForgetHeldCreations();
    for (const ScanRun::HeldCreation& creation : held) {
        if (creation.moved) continue;
        NORV_RETURN_IF_ERROR(tools_.StopPoint());
        ChangeEvent change{ChangeKind::kCreated,
                           creation.path,
                           std::nullopt,
                           creation.md5,
                           creation.size,
                           creation.mtime,
                           {}};
        FileLocation where;
        where.identity = creation.identity;
        NORV_RETURN_IF_ERROR(ShowAndRespond(change, where, {}, creation.facts, creation.writer));
    }
    return Status::Ok();
}

Status ChangeRecorder::LogResponseFailures() {
    for (const Message& failure : last_response_.failures) {
        // Worded here, where the log quotes it: a cause on a line of its own joins the line.
        std::string text = Render(failure);
        std::replace(text.begin(), text.end(), '\n', ' ');
        NORV_RETURN_IF_ERROR(tools_.log.WarningLine(Message(DisplayText(text))));
    }
    return Status::Ok();
}

Status ChangeRecorder::QuarantineDeferred() {
    run_.defer_quarantines = false;
    const std::vector<ScanRun::DeferredQuarantine> due = std::move(run_.deferred_quarantines);
    run_.deferred_quarantines.clear();
    if (due.empty()) return Status::Ok();
    NORV_RETURN_IF_ERROR(tools_.store.Commit());
    for (const ScanRun::DeferredQuarantine& file : due) {
        NORV_RETURN_IF_ERROR(tools_.StopPoint());
        tools_.hooks.observer.YieldToEvents();
        NORV_RETURN_IF_ERROR(BetweenFiles());
        // The walk's folders are closed by now: the response opens the file's folder again from
        // its rule down, and acts only on the very file that was measured.
        FileLocation where;
        where.identity = file.identity;
        // Whether a hold covers it now, not when it was reported.
        tools_.hooks.responder.Holds(file.path);
        last_response_ =
            tools_.hooks.responder.RespondToChange(ChangeKind::kCreated, file.path, where, {});
        NORV_RETURN_IF_ERROR(LogResponseFailures());
    }
    return Status::Ok();
}

namespace {

// Measurements of one file that may be taken again when it changed while it was read: an init
// never records a half-measured file.
constexpr int kMostMeasurements = 3;

}  // namespace

Status ChangeRecorder::RecordFile(const std::string& dir, const std::string& name,
                                  const platform::Fingerprint& measured,
                                  const FileLocation& where) {
    const std::string path = dir + name;
    const platform::Fingerprint* fingerprint = &measured;
    platform::Fingerprint again;
    if (tools_.state.mode == ScanMode::kInit) {
        for (int n = 1; fingerprint->changed_while_read && where.folder && n < kMostMeasurements;
             ++n) {
            again = platform::FingerprintAt(*where.folder, where.name, tools_.stop_requested);
            NORV_RETURN_IF_ERROR(tools_.StopPoint());
            fingerprint = &again;
        }
        if (fingerprint->changed_while_read || fingerprint->unreadable()) {
            return NoteUnseen(path, Status::Error(ErrorKind::kBusy, EAGAIN,
                                                  Message(NoticeCode::kKeptChangingWhileRead)));
        }
    }
    const platform::Fingerprint& print = *fingerprint;
    NORV_RETURN_IF_ERROR(NoteIfSampled(path, print));
    NORV_RETURN_IF_ERROR(NoteMissingFacts(path, print));
    ScanCounters& counters = tools_.state.counters;
    ++counters.checked;
    const int64_t size = print.facts.size;
    const std::timespec& mtime = print.facts.mtime;
    auto file_date = [&] { return tools_.hooks.regional.DateTime(platform::FromTimespec(mtime)); };
    // What a file that changed while it was read is recorded with: no digest.
    const platform::Md5Digest digest = print.changed_while_read ? platform::Md5Digest() : print.md5;

    if (tools_.state.mode == ScanMode::kInit) {
        NORV_RETURN_IF_ERROR(
            tools_.store.InsertBaseline(path, size, file_date(), print.md5, print.Extended()));
        tools_.hooks.observer.ShowProgress({ScanPhase::kRecordingBaseline, path, counters});
    } else if (tools_.state.mode == ScanMode::kCheck) {
        auto baseline = tools_.store.LookupBaseline(path);
        if (!baseline.ok()) return baseline.status();
        // The digest now: none taken of a file that changed while it was read.
        const std::optional<platform::Md5Digest> new_md5 =
            print.changed_while_read ? std::nullopt : std::optional(print.md5);
        FileLocation found = where;
        found.identity = print.facts.identity;
        if (!baseline->has_value()) {
            ++counters.created;
            // The record first, then the log line and the response.
            NORV_RETURN_IF_ERROR(tools_.store.InsertNew(path, size, file_date(), digest));
            NORV_RETURN_IF_ERROR(ReportChange(
                {ChangeKind::kCreated, path, std::nullopt, new_md5, size, mtime.tv_sec, {}}, found,
                {}, print.Extended()));
        } else if ((*baseline)->first_seen_by_check) {
            // Not in the baseline yet: reported at every check until an init takes it in.
            ++counters.created;
            NORV_RETURN_IF_ERROR(tools_.store.UpdateFlag(path, FileInfoStore::kFirstSeenByThisRun));
            NORV_RETURN_IF_ERROR(ReportChange(
                {ChangeKind::kCreated, path, std::nullopt, new_md5, size, mtime.tv_sec, {}}, found,
                {}, print.Extended()));
        } else {
            const FileInfoStore::Baseline& recorded = **baseline;
            std::vector<platform::FactChange> changed;
            if (print.changed_while_read) {
                // Something is changing it right now: that is a change, though what it becomes
                // is not known yet.
                const platform::ExtendedFacts none;
                changed.push_back({platform::Fact::kContent,
                                   platform::ShownFact(platform::Fact::kContent,
                                                       platform::OptionalMd5Text(recorded.md5o),
                                                       recorded.extended.value_or(none)),
                                   std::nullopt});
            } else {
                changed = platform::CompareFacts(recorded.md5o, recorded.extended, print.md5,
                                                 print.Extended());
                NORV_RETURN_IF_ERROR(CompareLengthAndTime(path, recorded, print, changed));
            }
            int flag = FileInfoStore::kSeenEqual;
            if (!changed.empty()) {
                flag = FileInfoStore::kSeenAltered;
                ++counters.altered;
                const ChangeEvent change{
                    ChangeKind::kAltered, path, recorded.md5o, new_md5, size, mtime.tv_sec,
                    std::move(changed)};
                // The log line and the response before the record is updated.
                NORV_RETURN_IF_ERROR(
                    ReportChange(change, where, RecordedFile{recorded.md5o, recorded.extended, {}},
                                 print.Extended()));
            } else if (!recorded.extended && recorded.md5o) {
                // A record made before the fingerprint was extended, its file unchanged: it gets
                // its extended facts now, without a report.
                NORV_RETURN_IF_ERROR(
                    tools_.store.RecordExtended(path, *recorded.md5o, print.Extended()));
            } else if (recorded.extended && recorded.md5o && !print.changed_while_read &&
                       ((!recorded.extended->xattrs && print.xattrs) ||
                        (!recorded.extended->inode_flags && print.inode_flags))) {
                // A record made before the other attributes and the flags were, its file
                // unchanged in all it records: it gains them now, as an old record gains its
                // extended facts.
                NORV_RETURN_IF_ERROR(
                    tools_.store.RecordExtended(path, *recorded.md5o, print.Extended()));
            }
            if (print.changed_while_read) {
                NORV_RETURN_IF_ERROR(tools_.store.UpdateFlag(path, flag));
            } else {
                NORV_RETURN_IF_ERROR(tools_.store.UpdateSeen(path, flag, print.md5));
            }
        }
        tools_.hooks.observer.ShowProgress({ScanPhase::kChecking, path, counters});
    }
    return Status::Ok();
}

Status ChangeRecorder::CompareLengthAndTime(const std::string& path,
                                            const FileInfoStore::Baseline& recorded,
                                            const platform::Fingerprint& print,
                                            std::vector<platform::FactChange>& changed) {
    if (std::any_of(changed.begin(), changed.end(), [](const platform::FactChange& c) {
            return c.fact == platform::Fact::kContent;
        })) {
        return Status::Ok();
    }
    // Equal digests of a different length can only be digests of part of the content (a file
    // grown past the hash budget, holes and all): a length that differs is always a change.
    if (recorded.size && *recorded.size != print.facts.size) {
        changed.push_back({platform::Fact::kSize, std::to_string(*recorded.size),
                           std::to_string(print.facts.size)});
        return Status::Ok();
    }
    const bool in_part = (recorded.md5o && recorded.md5o->sampled()) || print.md5.sampled();
    if (!in_part) return Status::Ok();
    // Compared on part of the content: a time that differs is a change too.
    const std::string date =
        tools_.hooks.regional.DateTime(platform::FromTimespec(print.facts.mtime));
    if (!recorded.date.empty() && recorded.date != date) {
        changed.push_back({platform::Fact::kTime, recorded.date, date});
        return Status::Ok();
    }
    if (!changed.empty() || !print.content_whole) return Status::Ok();  // said by NoteIfSampled
    return Warn(path, Message(NoticeCode::kComparedInPart));
}

Status ChangeRecorder::Warn(const std::string& place, const Message& text) {
    // The event and the log quote it: its words are stored.
    if (tools_.events) tools_.events->Warning(place, text);
    return tools_.log.WarningLine(DisplayPath(place) + ": " + LogText(text));
}

Status ChangeRecorder::NoteUnseen(const std::string& place, const Status& why) {
    if (!run_.unseen_places.insert(place).second) return Status::Ok();
    if (run_.unseen_places.size() > kMostUnseenLines) {
        // The event alone, quoting the cause as the system gave it (LogText would escape the
        // names in it).
        if (tools_.events) tools_.events->Warning(place, Message(why.message()));
        return Status::Ok();
    }
    return Warn(place, Message(NoticeCode::kCannotCheck, {why.what()}));
}

Status ChangeRecorder::NoteIfSampled(const std::string& path,
                                     const platform::Fingerprint& fingerprint) {
    if (fingerprint.content_whole) return Status::Ok();
    return Warn(path, Message(NoticeCode::kHashedInPart, {std::to_string(fingerprint.facts.size)}));
}

Status ChangeRecorder::NoteMissingFacts(const std::string& path,
                                        const platform::Fingerprint& fingerprint) {
    struct Fact {
        std::string_view name;
        NoticeCode shown;
        bool read;
        int error;
    };
    const Fact facts[] = {
        {"capabilities", NoticeCode::kCapabilityFact, fingerprint.capabilities.has_value(),
         fingerprint.capabilities_error},
        {"acl", NoticeCode::kAclFact, fingerprint.acl.has_value(), fingerprint.acl_error},
        {"xattrs", NoticeCode::kXattrsFact, fingerprint.xattrs.has_value(),
         fingerprint.xattrs_error},
        {"flags", NoticeCode::kInodeFlagsFact, fingerprint.inode_flags.has_value(),
         fingerprint.inode_flags_error},
    };
    for (const Fact& fact : facts) {
        if (fact.read || !run_.missing_facts_said.insert(fact.name).second) continue;
        NORV_RETURN_IF_ERROR(
            Warn(path, Message(NoticeCode::kFactUnreadable,
                               {Message(fact.shown), std::string(std::strerror(fact.error))})));
    }
    return Status::Ok();
}

bool ChangeRecorder::CountAsDeleted(const std::string& path) {
    // Found gone by a look at the watch's files this run: reported there.
    if (run_.urgent_gone.count(path) != 0) return false;
    // Measured under another path this run: there, not deleted.
    if (run_.measured.IsMeasuredElsewhere(path)) return false;
    // Not seen is not deleted: a folder the walk could not enter keeps its records.
    if (run_.IsUnseen(path)) {
        ++tools_.state.counters.unchecked;
        return false;
    }
    ++tools_.state.counters.deleted;
    return true;
}

Status ChangeRecorder::ReportDeletedFiles() {
    // A new file that is gone again (removed, or moved to the cracked folder) was never part of
    // the baseline: nothing to report, nothing to restore.
    NORV_RETURN_IF_ERROR(tools_.store.ForgetVanishedNewFiles());
    return tools_.store.ForEachUnmarked(
        [this](const std::string& filename, const FileInfoStore::Baseline& baseline) {
            // A recorded file changed meanwhile comes back before the next of these, however many.
            NORV_RETURN_IF_ERROR(BetweenFiles());
            if (!CountAsDeleted(filename)) return Status::Ok();
            return ReportGone(filename, baseline);
        });
}

Status ChangeRecorder::ReportGone(const std::string& path,
                                  const FileInfoStore::Baseline& baseline) {
    if (auto moved_to = HeldCreationMovedFrom(baseline))
        return ReportMove(path, baseline, *moved_to);
    return ReportChange({ChangeKind::kDeleted, path, baseline.md5o, std::nullopt, -1, -1, {}}, {},
                        RecordedFile{baseline.md5o, baseline.extended, {}});
}

Status ChangeRecorder::RecordPlace(const std::string& path, const platform::PlaceFacts& now,
                                   const FileLocation& where) {
    if (tools_.state.mode == ScanMode::kInit) return tools_.store.RecordPlace(path, now);
    if (tools_.state.mode != ScanMode::kCheck) return Status::Ok();
    auto recorded = tools_.store.LookupPlace(path);
    if (!recorded.ok()) return recorded.status();
    if (!recorded->has_value()) {
        if (now.kind != platform::kFolderKind) return Status::Ok();
        if (!run_.places_recorded) {
            auto kept = tools_.store.BaselineRecordsPlaces();
            if (!kept.ok()) return kept.status();
            run_.places_recorded = kept.value();
        }
        if (*run_.places_recorded) return Status::Ok();
        return tools_.store.RecordPlace(path, now);
    }
    NORV_RETURN_IF_ERROR(tools_.store.MarkPlaceMet(path));
    std::vector<platform::FactChange> changed = platform::ComparePlaces(**recorded, now);
    if (changed.empty()) {
        // The same facts on another entry (made again by a deploy): recorded as the one there.
        if ((*recorded)->identity != now.identity) return tools_.store.RecordPlace(path, now);
        return Status::Ok();
    }
    ++tools_.state.counters.altered;
    return ReportChange(
        {ChangeKind::kAltered, path, std::nullopt, std::nullopt, -1, -1, std::move(changed)}, where,
        RecordedFile{
            std::nullopt, (*recorded)->facts, (*recorded)->kind, {}, (*recorded)->identity},
        now.facts);
}

Status ChangeRecorder::ReportDeletedPlaces() {
    return tools_.store.ForEachUnmetPlace(
        [this](const std::string& path, const platform::PlaceFacts& place) {
            if (place.kind == platform::kFolderKind) return Status::Ok();
            NORV_RETURN_IF_ERROR(BetweenFiles());
            if (!CountAsDeleted(path)) return Status::Ok();
            return ReportChange(
                {ChangeKind::kDeleted, path, std::nullopt, std::nullopt, -1, -1, {}}, {},
                RecordedFile{std::nullopt, place.facts, place.kind, {}, place.identity});
        });
}

Status ChangeRecorder::ReportNewSpecialEntry(const std::string& path,
                                             const platform::DirectoryHandle& folder,
                                             const std::string& name,
                                             const platform::FileFacts& facts) {
    ++tools_.state.counters.created;
    return ReportChange({ChangeKind::kCreated,
                         path,
                         std::nullopt,
                         std::nullopt,
                         facts.size,
                         facts.mtime.tv_sec,
                         {}},
                        FileLocation{&folder, name, facts.identity}, {}, std::nullopt);
}

std::vector<std::string> ChangeRecorder::WrittenByForMail() const {
    std::vector<std::string> lines = written_by_;
    if (written_by_beyond_ > 0) lines.push_back("+" + std::to_string(written_by_beyond_));
    return lines;
}

}  // namespace norv
