// The real-time watch's side of the engine: files named by folder events, checked one by one as
// a check checks them, and bursts of changes reported as one.
#include "engine/watch_burst.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "config/watched_place.h"
#include "platform/base/notice_code.h"

namespace norv {

// The fixed words of the burst's mail: the line after its change lines, when there were more
// than it keeps ("... (ほか <n> 行)").
namespace burst_words {
constexpr std::string_view kMoreLinesBefore = "... (ほか ";
constexpr std::string_view kMoreLinesAfter = " 行)";
}  // namespace burst_words

namespace {

// How many paths the watch remembers of its own responses and of the special files it reported;
// past it, it forgets them all, which costs at most one more look or report each.
constexpr size_t kMostRemembered = 100000;

// Records of one content looked at for the recorded path of a new file: many copies of one
// content (empty files) cost at most this many looks, and the move is then missed, never wrong.
constexpr size_t kMostMoveCandidates = 16;

// A file or a link is there; anything else (gone, a FIFO, a folder) is not a file to record.
bool IsPresent(const platform::Fingerprint& fingerprint) {
    return fingerprint.facts.kind == platform::EntryKind::kRegular ||
           fingerprint.facts.kind == platform::EntryKind::kSymlink;
}

}  // namespace

void WatchBurst::Begin() {
    tools_.state.counters.Reset();
    recorder_.ForgetWrittenBy();
    run_.missing_facts_said.clear();
    lines_.clear();
    lines_beyond_ = 0;
    response_begun_ = false;
    if (tools_.events) tools_.events->BeginRun("watch");
}

Status WatchBurst::CheckFiles(const std::vector<WatchedFile>& files, bool recorded_first) {
    // Only a check's walk reports files its looks found gone: here each look reports its own.
    run_.urgent_gone.clear();
    tools_.state.mode = ScanMode::kCheck;
    run_.FindExcludedFolders(tools_);
    // The response's bounds (copies, bytes) hold for the whole burst, not each batch: a file
    // rewritten without pause must not fill the cracked folder one batch at a time.
    if (!response_begun_) tools_.hooks.responder.BeginRun();
    response_begun_ = true;
    const std::string now = tools_.hooks.regional.DateTime(tools_.hooks.clock.Now());
    Status status = tools_.log.OpenToAppend(tools_.env(), tools_.state.context.LogPath(),
                                            tools_.state.context.charset, now);
    // A rename in the batch is one move: the recorded files gone wait for the batch's end, and so
    // do the new files that have the content of one of them; every other new file is answered
    // at once.
    hold_gone_ = true;
    held_gone_.clear();
    moved_away_.clear();
    run_.ForgetHeldCreations();
    run_.move_sources.emplace();
    if (status.ok()) status = FindMoveSources(files);
    run_.hold_creations = !run_.move_sources->empty();
    for (size_t i = 0; status.ok() && i < files.size(); ++i) {
        status = tools_.StopPoint();
        if (status.ok() && recorded_first) status = CheckUrgentFiles();
        if (status.ok()) status = CheckFile(files[i], recorded_first);
    }
    if (status.ok()) status = ReportHeldChanges();
    // What a failed batch held is left to the full check its failure asks for.
    held_gone_.clear();
    moved_away_.clear();
    hold_gone_ = false;
    run_.hold_creations = false;
    run_.move_sources.reset();
    // What the response says of the batch as a whole (files removed past its bounds).
    for (const Message& summary : tools_.hooks.responder.EndRun()) {
        Status logged = tools_.log.WarningLine(summary);
        if (status.ok()) status = logged;
    }
    Status committed = tools_.store.Commit();
    if (status.ok()) status = committed;
    tools_.log.CloseKeepingLines();
    size_t more = 0;
    for (std::string& line : tools_.log.TakeAppendedLines(&more)) {
        if (lines_.size() < ScanLog::kMostKeptLines) {
            lines_.push_back(std::move(line));
        } else {
            ++more;
        }
    }
    lines_beyond_ += more;
    tools_.hooks.observer.SetCounts(tools_.state.counters);
    return status;
}

Status WatchBurst::CheckFile(const WatchedFile& file, bool recorded_first) {
    tools_.hooks.observer.YieldToEvents();
    // Its writer for the changes it reports; the file checked around it (this one urgent) gets
    // its own back after.
    struct WriterScope {
        ChangeRecorder& recorder;
        std::shared_ptr<const platform::Writer> outer;
        ~WriterScope() { recorder.SetWriter(std::move(outer)); }
    } writer_scope{recorder_, recorder_.writer()};
    recorder_.SetWriter(file.writer);
    platform::Fingerprint fingerprint;
    // A recorded file changed while this file's content is read is checked between two of its
    // blocks; the first failure there ends the file's check too.
    Status paused;
    const std::function<void()> pause = [&] {
        if (paused.ok()) paused = CheckUrgentFiles();
    };
    if (file.folder) {
        fingerprint = platform::FingerprintAt(*file.folder, file.name, tools_.stop_requested,
                                              platform::kDefaultHashBudget,
                                              recorded_first ? &pause : nullptr);
    }
    NORV_RETURN_IF_ERROR(paused);
    NORV_RETURN_IF_ERROR(tools_.StopPoint());
    const bool present = IsPresent(fingerprint);
    if (auto left = left_by_response_.find(file.path); left != left_by_response_.end()) {
        const std::optional<platform::Md5Digest> digest =
            present ? std::optional(fingerprint.md5) : std::nullopt;
        // The attributes count too: a chmod right after the restore is no work of norv's.
        bool same = left->second.digest == digest && !fingerprint.changed_while_read;
        if (same && present && left->second.facts) {
            platform::ExtendedFacts now = fingerprint.Extended();
            now.sha256 = platform::Sha256Digest();
            same = now == *left->second.facts;
        }
        // Restored content is norv's own only under the baseline it was restored from: after
        // an accept or an init, the recorded file norv once put back is an old version like any
        // other.
        if (same && present) {
            auto known = tools_.store.LookupBaseline(file.path);
            if (!known.ok()) return known.status();
            same = known->has_value() && (*known)->md5o == left->second.baseline_digest;
        }
        if (same) {
            ++tools_.state.counters.checked;
            return Status::Ok();
        }
        left_by_response_.erase(left);
    }
    // What could not be measured is never a fingerprint: said, and left for the next look.
    if (fingerprint.unreadable()) {
        const Message why = fingerprint.cause.ok()
                                ? Message(NoticeCode::kWatchedFileUnreadable)
                                : Message(DisplayPath(fingerprint.cause.message()));
        return recorder_.Warn(file.path, Message(NoticeCode::kWatchedFileNotChecked, {why}));
    }
    recorder_.ForgetLastResponse();
    Status status = CheckPresentOrGone(file, fingerprint, present);
    if (status.ok()) status = RememberResponse(file.path);
    return status;
}

Status WatchBurst::RememberResponse(const std::string& path) {
    // What the response itself left there (the restored file, or nothing), remembered so that
    // its own events do not set it off again. Never what stands there when norv looks again:
    // a file written there right after the restore is another change, not norv's work.
    // Bounded: forgetting only costs one more round.
    const ResponseOutcome& response = recorder_.last_response();
    if (response.left == ResponseOutcome::Left::kUntouched) return Status::Ok();
    if (left_by_response_.size() >= kMostRemembered) left_by_response_.clear();
    LeftByResponse left;
    if (response.left == ResponseOutcome::Left::kRestored) {
        auto known = tools_.store.LookupBaseline(path);
        if (!known.ok()) return known.status();
        left = {response.restored_digest, response.restored_facts,
                known->has_value() ? (*known)->md5o : std::nullopt};
    }
    left_by_response_[path] = std::move(left);
    return Status::Ok();
}

Result<std::optional<std::pair<std::string, FileInfoStore::Baseline>>>
WatchBurst::RecordedFileMovedHere(const WatchedFile& file,
                                  const platform::Fingerprint& fingerprint) {
    using Found = std::optional<std::pair<std::string, FileInfoStore::Baseline>>;
    if (!fingerprint.md5.measured() || fingerprint.changed_while_read ||
        !fingerprint.content_whole) {
        return Found();
    }
    auto candidates = tools_.store.RecordedWithContent(fingerprint.md5, kMostMoveCandidates);
    if (!candidates.ok()) return candidates.status();
    for (const std::string& from : *candidates) {
        if (from == file.path || moved_away_.count(from) != 0) continue;
        // Gone from its recorded place, looked at as the watch reaches any file.
        auto place = OpenWatchedPlace(tools_.env(), tools_.state.rules, from);
        if (!place.ok()) continue;
        auto holder = OpenHoldingFolder(place.value());
        bool gone = !holder.ok() && holder.status().Is(ErrorKind::kNotFound);
        if (holder.ok()) {
            struct stat st {};
            gone = tools_.env().FStatAt((*holder)->fd(), place->relative.back().c_str(), &st,
                                        AT_SYMLINK_NOFOLLOW) != 0 &&
                   errno == ENOENT;
        }
        if (!gone) continue;
        auto baseline = tools_.store.LookupBaseline(from);
        if (!baseline.ok()) return baseline.status();
        if (!baseline->has_value() || (*baseline)->first_seen_by_check ||
            !IsSameFileMoved(**baseline, fingerprint.md5, fingerprint.facts.size,
                             fingerprint.Extended())) {
            continue;
        }
        return Found(std::pair(from, **baseline));
    }
    return Found();
}

Status WatchBurst::FindMoveSources(const std::vector<WatchedFile>& files) {
    for (const WatchedFile& file : files) {
        struct stat st {};
        if (file.folder && tools_.env().FStatAt(file.folder->fd(), file.name.c_str(), &st,
                                                AT_SYMLINK_NOFOLLOW) == 0) {
            continue;
        }
        auto known = tools_.store.LookupBaseline(file.path);
        if (!known.ok()) return known.status();
        if (known->has_value() && !(*known)->first_seen_by_check && (*known)->md5o) {
            run_.move_sources->insert((*known)->md5o->text());
        }
    }
    return Status::Ok();
}

Status WatchBurst::ReportHeldChanges() {
    hold_gone_ = false;
    const std::vector<HeldGone> gone = std::move(held_gone_);
    held_gone_.clear();
    for (const HeldGone& file : gone) {
        NORV_RETURN_IF_ERROR(tools_.StopPoint());
        // Reported as moved when its new name was checked later in the batch.
        if (moved_away_.erase(file.path) != 0) {
            --tools_.state.counters.deleted;
            continue;
        }
        recorder_.SetWriter(file.writer);
        recorder_.ForgetLastResponse();
        Status reported = recorder_.ReportGone(file.path, file.baseline);
        recorder_.SetWriter(nullptr);
        NORV_RETURN_IF_ERROR(reported);
        NORV_RETURN_IF_ERROR(RememberResponse(file.path));
    }
    return recorder_.ReleaseHeldCreations();
}

Status WatchBurst::CheckPresentOrGone(const WatchedFile& file,
                                      const platform::Fingerprint& fingerprint, bool present) {
    if (present) {
        // A new file already reported is reported again only when its content changed: a
        // watch sees many events for one file, and each is not a new finding.
        auto known = tools_.store.LookupBaseline(file.path);
        if (!known.ok()) return known.status();
        if (known->has_value() && (*known)->first_seen_by_check) {
            if ((*known)->md5o == fingerprint.md5 && !fingerprint.changed_while_read) {
                ++tools_.state.counters.checked;
                return Status::Ok();
            }
            NORV_RETURN_IF_ERROR(tools_.store.UpdateNewFileDigest(
                file.path,
                fingerprint.changed_while_read ? platform::Md5Digest() : fingerprint.md5));
        }
        if (!known->has_value()) {
            auto moved = RecordedFileMovedHere(file, fingerprint);
            if (!moved.ok()) return moved.status();
            if (moved->has_value()) {
                moved_away_.insert((*moved)->first);
                return recorder_.ReportMoveTo((*moved)->first, (*moved)->second, file.path,
                                              fingerprint,
                                              FileLocation{file.folder.get(), file.name, {}});
            }
        }
        return recorder_.RecordFile(file.path, "", fingerprint,
                                    FileLocation{file.folder.get(), file.name, {}});
    }
    // Gone, or something that is no file (a FIFO, a socket, a folder) at a recorded file's place:
    // the file is not there.
    auto baseline = tools_.store.LookupBaseline(file.path);
    if (!baseline.ok()) return baseline.status();
    if (!baseline->has_value()) {
        if (fingerprint.facts.kind != platform::EntryKind::kOther || !file.folder) {
            return Status::Ok();
        }
        // A recorded FIFO, socket or device is compared with its record, as a full check does.
        auto place = tools_.store.LookupPlace(file.path);
        if (!place.ok()) return place.status();
        if (place->has_value()) {
            auto now = platform::SpecialFactsAt(*file.folder, file.name, file.path);
            if (!now.ok() || now->kind.empty()) return Status::Ok();
            return recorder_.RecordPlace(file.path, *now,
                                         FileLocation{file.folder.get(), file.name, {}});
        }
        // A new one: reported once, as a full check reports it.
        auto said = specials_reported_.find(file.path);
        if (said != specials_reported_.end() && said->second == fingerprint.facts.identity) {
            return Status::Ok();
        }
        if (specials_reported_.size() >= kMostRemembered) specials_reported_.clear();
        specials_reported_[file.path] = fingerprint.facts.identity;
        return recorder_.ReportNewSpecialEntry(file.path, *file.folder, file.name,
                                               fingerprint.facts);
    }
    if ((*baseline)->first_seen_by_check) return tools_.store.ForgetNewFile(file.path);
    // Reported already, as moved, when its new name was checked.
    if (moved_away_.erase(file.path) != 0) return Status::Ok();
    ++tools_.state.counters.deleted;
    if (hold_gone_) {
        held_gone_.push_back({file.path, **baseline, recorder_.writer()});
        return Status::Ok();
    }
    return recorder_.ReportGone(file.path, **baseline);
}

Status WatchBurst::CheckUrgentFiles(std::vector<std::string>* checked_paths) {
    if (!urgent_files_ || !tools_.Restores()) return Status::Ok();
    // Past the bound, the rest of the check asks no more; asked first, so that no file the watch
    // handed over is dropped unchecked.
    if (run_.urgent_gone.size() >= kMostUrgentFiles) {
        urgent_files_ = nullptr;
        return Status::Ok();
    }
    ScanCounters& counters = tools_.state.counters;
    for (const WatchedFile& file : urgent_files_()) {
        // The walk counts the file when it meets it; here only what the look finds counts.
        const auto checked = counters.checked;
        const auto deleted = counters.deleted;
        Status status = CheckFile(file);
        if (checked_paths && std::find(checked_paths->begin(), checked_paths->end(), file.path) ==
                                 checked_paths->end()) {
            checked_paths->push_back(file.path);
        }
        counters.checked = checked;
        // Reported deleted here, it is left out of the report of the files the walk did not
        // meet. A look that reported nothing (the file gone as the response left it) leaves
        // that report to say it.
        if (counters.deleted != deleted) run_.urgent_gone.insert(file.path);
        NORV_RETURN_IF_ERROR(status);
    }
    return Status::Ok();
}

bool WatchBurst::RestoresAtOnce(const std::string& path) {
    if (tools_.state.switches.auto_restore == 0) return false;
    // A held file is left to settle like any other: nothing is undone while a deploy runs.
    if (tools_.hooks.responder.Holds(path)) return false;
    auto known = tools_.store.LookupBaseline(path);
    return known.ok() && known->has_value() && !(*known)->first_seen_by_check;
}

bool WatchBurst::End() {
    // A burst that changed nothing (norv's own restores seen again, a file saved unchanged)
    // leaves no trace.
    if (tools_.state.counters.changes() == 0) return false;
    if (tools_.events) tools_.events->EndRun(tools_.state.counters, "completed");
    const bool mail =
        ShouldSendReport(tools_.state.counters.changes(), tools_.state.settings.mail_alert_on,
                         tools_.state.switches.mail_always);
    if (mail) {
        std::vector<std::string> lines = std::move(lines_);
        if (lines_beyond_ > 0) {
            lines.push_back(std::string(burst_words::kMoreLinesBefore) +
                            std::to_string(lines_beyond_) +
                            std::string(burst_words::kMoreLinesAfter));
        }
        tools_.hooks.mailer.SendWatchReport(lines, recorder_.WrittenByForMail());
    }
    lines_.clear();
    lines_beyond_ = 0;
    return mail;
}

}  // namespace norv
