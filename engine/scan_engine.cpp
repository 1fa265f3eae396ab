#include "engine/scan_engine.h"

#include <cerrno>
#include "config/settings.h"
#include "config/watched_place.h"
#include "platform/base/notice_code.h"
#include "platform/fs/folder_lock.h"

#include <map>
#include <set>

#include "config/settings.h"
#include "config/watched_place.h"

namespace norv {
namespace {

// A rule as the baseline keeps it: its kind and its path, as written.
std::string RuleKey(const Rule& rule) {
    return std::to_string(RuleKindNumber(rule.kind)) + "," + rule.path;
}

// The place a rule names, as the unseen places are kept: its file, or its folder with a '/'.
std::string RulePlace(const Rule& rule) {
    return rule.kind == RuleKind::kFile ? rule.path : platform::FolderPrefix(rule.path);
}

}  // namespace

ScanEngine::ScanEngine(ProcessState state, FileInfoStore& store, EngineHooks hooks,
                       CommandRunner& commands)
    : tools_{state, store, hooks, {}, nullptr, nullptr}, commands_(commands) {
    // The deleted files' report and the deferred quarantine take in the watch's urgent files
    // between their files, as the walk does.
    recorder_.SetBetweenFiles([this] { return watch_.CheckUrgentFiles(); });
}

void ScanEngine::EndRunEvent(const Status& status) {
    if (!tools_.events) return;
    tools_.events->EndRun(tools_.state.counters, status.ok()                      ? "completed"
                                                 : status.Is(ErrorKind::kStopped) ? "stopped"
                                                                                  : "failed");
}

Status ScanEngine::RunScan() {
    tools_.state.counters.Reset();
    recorder_.ForgetWrittenBy();
    if (tools_.events) {
        tools_.events->BeginRun(tools_.state.mode == ScanMode::kInit ? "init" : "check");
    }
    const std::string now = tools_.hooks.regional.DateTime(tools_.hooks.clock.Now());
    Status status =
        tools_.log.Open(tools_.env(), tools_.state.context.LogPath(), tools_.state.context.charset,
                        tools_.state.settings.server_name, now);
    if (status.ok()) status = NoteExtendedFingerprint();
    // A check's changes are listed for review; the list counts once the check has finished.
    const bool listing = tools_.state.mode == ScanMode::kCheck;
    if (status.ok() && listing) status = tools_.store.BeginChangeList();
    if (status.ok()) status = RunScanSteps();
    if (status.ok() && listing) status = tools_.store.EndChangeList();
    // Whatever happened, what the store has done so far is kept.
    Status committed = tools_.store.Commit();
    if (status.ok()) status = committed;
    // An init's run ends once its baseline has taken the old one's place (or not): its event
    // names the baseline the run left.
    if (tools_.state.mode != ScanMode::kInit) EndRunEvent(status);
    if (!status.ok()) {
        tools_.log.CloseKeepingLines();
        return status;
    }
    NORV_RETURN_IF_ERROR(tools_.log.SummaryAndClose(tools_.state.counters));
    tools_.hooks.observer.ShowProgress({ScanPhase::kScanEnded, {}, tools_.state.counters});
    if (tools_.state.counters.changes() > 0) return UpdateDatabase();
    return Status::Ok();
}

Status ScanEngine::NoteExtendedFingerprint() {
    if (!tools_.store.TakeExtendedNotice()) return Status::Ok();
    const Message news(NoticeCode::kFingerprintExtended);
    tools_.hooks.notices.Notify({NoticeKind::kExtendedFingerprint,
                                 tools_.state.context.DatabasePath(), Status::Ok(), news});
    return tools_.log.NoticeLine(news);
}

namespace {

// "/srv/www" for "/srv//www/" and the like, so paths compare as folders.
std::string NormalPath(const std::string& path) {
    std::string out;
    for (const auto& name : platform::PathNames(path)) out += platform::kSeparator + name;
    if (out.empty()) out = std::string(1, platform::kSeparator);
    if (!path.empty() && path[0] != platform::kSeparator) out.erase(0, 1);
    return out;
}

bool Below(const std::string& path, const std::string& folder) {
    const std::string prefix = platform::FolderPrefix(folder);
    return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

// Whether two rules take in some of the same files.
bool RulesOverlap(const Rule& a, const Rule& b) {
    const std::string pa = NormalPath(a.path), pb = NormalPath(b.path);
    if (pa == pb) return true;
    auto covers = [](const Rule& folder, const std::string& folder_path, const Rule& other,
                     const std::string& other_path) {
        if (RuleKindNumber(folder.kind) <= 0) return false;
        if (folder.kind == RuleKind::kTree) return Below(other_path, folder_path);
        // A one-folder rule takes in the files directly in it: a file rule there overlaps.
        return other.kind == RuleKind::kFile && platform::ParentOfPath(other_path) == folder_path;
    };
    return covers(a, pa, b, pb) || covers(b, pb, a, pa);
}

}  // namespace

std::vector<Message> RuleWarnings(const std::vector<Rule>& rules, size_t index,
                                  platform::EntryKind kind) {
    const Rule& rule = rules[index];
    const std::string number = std::to_string(index + 1);
    const std::string shown = DisplayPath(rule.path);
    const std::string kind_number = std::to_string(RuleKindNumber(rule.kind));
    std::vector<Message> warnings;
    if (rule.kind != RuleKind::kFile && rule.kind != RuleKind::kFolder &&
        rule.kind != RuleKind::kTree) {
        warnings.emplace_back(NoticeCode::kRuleKindUnknown,
                              std::vector<Message>{number, shown, kind_number});
    } else if (kind == platform::EntryKind::kMissing) {
        warnings.emplace_back(NoticeCode::kRulePathMissing, std::vector<Message>{number, shown});
    } else if (rule.kind == RuleKind::kFile && kind == platform::EntryKind::kDirectory) {
        warnings.emplace_back(NoticeCode::kFileRuleOnFolder, std::vector<Message>{number, shown});
    } else if (rule.kind != RuleKind::kFile && kind == platform::EntryKind::kRegular) {
        warnings.emplace_back(NoticeCode::kFolderRuleOnFile,
                              std::vector<Message>{number, shown, kind_number});
    }
    // A rule that walks nothing (a path not there, a kind below 0) counts nothing twice.
    const bool walked = kind != platform::EntryKind::kMissing && RuleKindNumber(rule.kind) >= 0;
    for (size_t j = 0; walked && j < index; ++j) {
        if (RuleKindNumber(rules[j].kind) >= 0 && RulesOverlap(rules[j], rule)) {
            warnings.emplace_back(NoticeCode::kRulesOverlap,
                                  std::vector<Message>{number, shown, std::to_string(j + 1),
                                                       DisplayPath(rules[j].path)});
        }
    }
    return warnings;
}

Status ScanEngine::WarnAboutRule(const std::vector<Rule>& rules, size_t index) {
    // What the rule's path is, followed as the walk follows it.
    platform::EntryKind kind = platform::EntryKind::kMissing;
    auto resolved = platform::ResolveAdministratorPath(tools_.env(), rules[index].path);
    if (resolved.ok()) {
        if (resolved->name.empty()) {
            kind = platform::EntryKind::kDirectory;
        } else {
            auto facts = platform::LStatAt(*resolved->parent, resolved->name, rules[index].path);
            if (facts.ok()) kind = facts->kind;
        }
    } else if (!resolved.status().Is(ErrorKind::kNotFound)) {
        kind = platform::EntryKind::kOther;  // there, but not to be followed: said elsewhere
    }
    for (const Message& warning : RuleWarnings(rules, index, kind)) {
        NORV_RETURN_IF_ERROR(tools_.log.WarningLine(warning));
        if (tools_.events) tools_.events->Warning(rules[index].path, warning);
        tools_.hooks.notices.Notify({NoticeKind::kRuleWarning, rules[index].path,
                                     Status::Error(ErrorKind::kFormat, kErrFormat, warning),
                                     warning});
    }
    return Status::Ok();
}

Status ScanEngine::RunScanSteps() {
    run_.FindExcludedFolders(tools_);
    tools_.hooks.responder.BeginRun();
    run_.unseen_places.clear();
    run_.missing_facts_said.clear();
    run_.measured.Clear();
    // The flags mark what a check saw; an init's new baseline has its own rows, so the old
    // ones' flags are left as they are (a write of every row saved).
    if (!(tools_.state.mode == ScanMode::kInit && tools_.store.building_baseline())) {
        NORV_RETURN_IF_ERROR(tools_.store.ResetFlags());
    }
    run_.urgent_gone.clear();
    run_.deferred_quarantines.clear();
    run_.places_recorded.reset();
    run_.defer_quarantines = tools_.state.mode == ScanMode::kCheck && tools_.Restores();
    run_.ForgetHeldCreations();
    run_.hold_creations = tools_.state.mode == ScanMode::kCheck;
    run_.move_sources.reset();
    // A run that ends early quarantines nothing it held back, and shows no new file it held:
    // the next check reports those files again. The watch's own checks respond at once.
    struct EndDeferral {
        bool& defer;
        bool& hold;
        ~EndDeferral() { defer = hold = false; }
    } end_deferral{run_.defer_quarantines, run_.hold_creations};
    run_.rules = tools_.state.rules;
    const std::vector<Rule>& rules = run_.rules.rules;
    std::vector<bool> in_baseline(rules.size(), true);
    if (tools_.state.mode == ScanMode::kCheck) {
        auto read = RulesInBaseline(rules);
        if (!read.ok()) return read.status();
        in_baseline = std::move(read).value();
    }
    for (size_t i = 0; i < rules.size(); ++i) {
        const Rule& rule = rules[i];
        // The last rule's folders are reached again by no later rule.
        run_.measured.BeginRule(i, i + 1 < rules.size());
        NORV_RETURN_IF_ERROR(StopPoint());
        NORV_RETURN_IF_ERROR(tools_.log.RuleHeader(rule.path));
        NORV_RETURN_IF_ERROR(WarnAboutRule(rules, i));
        // A rule added (or changed) since the last init has no records to compare with: its
        // files are not intruders. Not walked, said once, and what it had is kept.
        if (!in_baseline[i]) {
            NORV_RETURN_IF_ERROR(recorder_.NoteUnseen(
                RulePlace(rule), Status::Error(ErrorKind::kNotFound, ENOENT,
                                               Message(NoticeCode::kRuleNotInBaseline))));
            continue;
        }
        if (rule.kind == RuleKind::kFile) {
            NORV_RETURN_IF_ERROR(walker_.CheckSingleFile(rule.path));
        } else if (RuleKindNumber(rule.kind) > 0) {
            NORV_RETURN_IF_ERROR(walker_.WalkDirectory(rule.path, rule.kind));
        }
    }
    // A stop before this point must not report the files it never reached as deleted.
    NORV_RETURN_IF_ERROR(StopPoint());
    const size_t unseen = run_.unseen_places.size();
    if (unseen > kMostUnseenLines) {
        NORV_RETURN_IF_ERROR(tools_.log.WarningLine(
            Message(NoticeCode::kMoreUnseenPlaces, {std::to_string(unseen - kMostUnseenLines)})));
    }
    if (tools_.state.mode != ScanMode::kInit) {
        NORV_RETURN_IF_ERROR(recorder_.ReportDeletedFiles());
        NORV_RETURN_IF_ERROR(recorder_.ReportDeletedPlaces());
        NORV_RETURN_IF_ERROR(recorder_.ReleaseHeldCreations());
    }
    // Every altered and deleted recorded file is back: now the new files.
    NORV_RETURN_IF_ERROR(recorder_.QuarantineDeferred());
    for (const Message& summary : tools_.hooks.responder.EndRun()) {
        NORV_RETURN_IF_ERROR(tools_.log.WarningLine(summary));
    }
    if (tools_.state.mode == ScanMode::kInit && tools_.store.building_baseline()) {
        NORV_RETURN_IF_ERROR(LookAgainAtMissedFiles());
    }
    return Status::Ok();
}

Result<bool> ScanEngine::HasRecordBelow(const std::string& folder) {
    auto first = tools_.store.RecordedAfter(folder, 1);
    if (!first.ok()) return first.status();
    return !first->empty() && first->front().starts_with(folder);
}

Result<std::vector<bool>> ScanEngine::RulesInBaseline(const std::vector<Rule>& rules) {
    std::vector<bool> in_baseline(rules.size(), true);
    auto kept = tools_.store.BaselineRules();
    if (!kept.ok()) return kept.status();
    if (kept->has_value()) {
        for (size_t i = 0; i < rules.size(); ++i) {
            in_baseline[i] = (*kept)->count(RuleKey(rules[i])) != 0;
        }
        return in_baseline;
    }
    // A baseline made before its rules were kept: a rule is in it when something under it is.
    // A store with no baseline at all is checked as before, every file in it new.
    auto any = HasRecordBelow("/");
    if (!any.ok()) return any.status();
    if (!*any) return in_baseline;
    for (size_t i = 0; i < rules.size(); ++i) {
        auto recorded = HasRecordUnder(rules[i]);
        if (!recorded.ok()) return recorded.status();
        in_baseline[i] = *recorded;
    }
    return in_baseline;
}

Result<std::vector<std::string>> ScanEngine::BaselineRuleKeys() {
    // The rules walked, as the new baseline's own; but a rule new to the baseline whose place
    // this init could not see, and under which the old baseline recorded nothing to carry over,
    // has nothing to compare with: it stays out until an init sees it.
    const std::vector<Rule>& walked = run_.rules.rules;
    auto before = RulesInBaseline(walked);
    if (!before.ok()) return before.status();
    std::vector<std::string> keys;
    for (size_t i = 0; i < walked.size(); ++i) {
        if (!(*before)[i] && run_.IsUnseen(RulePlace(walked[i]))) {
            auto carried = HasRecordUnder(walked[i]);
            if (!carried.ok()) return carried.status();
            if (!*carried) continue;
        }
        keys.push_back(RuleKey(walked[i]));
    }
    return keys;
}

Result<bool> ScanEngine::HasRecordUnder(const Rule& rule) {
    if (rule.kind != RuleKind::kFile) return HasRecordBelow(platform::FolderPrefix(rule.path));
    auto recorded = tools_.store.LookupBaseline(rule.path);
    if (!recorded.ok()) return recorded.status();
    return recorded->has_value() && !(*recorded)->first_seen_by_check;
}

Status ScanEngine::LookAgainAtMissedFiles() {
    // A folder moved away while the walk listed its parent, and moved back since, was never
    // seen by this init: its files of the previous baseline that are there again keep their
    // baseline, and it is said. Those still gone leave the baseline, and that is said too, so an
    // init never drops a part of the trees in silence. A look by path only decides what to keep
    // and what to say; nothing is read or moved through it.
    std::set<std::string> back;
    std::map<std::string, int64_t> gone;
    int64_t outside_rules = 0;
    NORV_RETURN_IF_ERROR(tools_.store.ForEachMissingFromNewBaseline([&](const std::string& path) {
        // A rule removed or narrowed since: no later check looks there.
        if (!run_.CoveredByRule(path)) {
            ++outside_rules;
            return Status::Ok();
        }
        // Measured under another path: its records there are the same files twice.
        if (run_.measured.IsMeasuredElsewhere(path)) return Status::Ok();
        if (run_.IsUnseen(path)) {
            ++tools_.state.counters.unchecked;  // keeps its previous baseline
            return Status::Ok();
        }
        const std::string folder = platform::FolderPrefix(platform::ParentOfPath(path));
        auto facts = platform::LStat(tools_.env(), path);
        if (facts.ok() && facts->kind != platform::EntryKind::kMissing) {
            back.insert(folder);
        } else {
            ++gone[folder];
        }
        return Status::Ok();
    }));
    for (const std::string& folder : back) {
        NORV_RETURN_IF_ERROR(recorder_.NoteUnseen(
            folder,
            Status::Error(ErrorKind::kNotFound, EAGAIN, Message(NoticeCode::kMissedFilesBack))));
    }
    if (outside_rules > 0) {
        NORV_RETURN_IF_ERROR(tools_.log.NoticeLine(
            Message(NoticeCode::kRecordsOutsideRules, {std::to_string(outside_rules)})));
    }
    size_t said = 0;
    for (const auto& [folder, count] : gone) {
        if (back.count(folder) != 0 || ++said > kMostUnseenLines) continue;
        NORV_RETURN_IF_ERROR(recorder_.Warn(
            folder, Message(NoticeCode::kRecordedFilesNotFound, {std::to_string(count)})));
    }
    return Status::Ok();
}

Status ScanEngine::UpdateDatabase() {
    tools_.state.mode = ScanMode::kUpdateDb;
    NORV_RETURN_IF_ERROR(tools_.store.MarkAllSeen());
    return tools_.store.Commit();
}

Status ScanEngine::Check() {
    return commands_.Run([this] {
        tools_.state.mode = ScanMode::kCheck;
        tools_.hooks.observer.SetScanDate(tools_.hooks.regional.DateTime(tools_.hooks.clock.Now()));
        NORV_RETURN_IF_ERROR(RunScan());
        // A part of the trees not seen is news the administrator must hear, like a change.
        if (ShouldSendReport(
                tools_.state.counters.changes() + static_cast<int64_t>(unseen_places()),
                tools_.state.settings.mail_alert_on, tools_.state.switches.mail_always)) {
            tools_.hooks.mailer.SendScanReport(recorder_.WrittenByForMail());
        }
        tools_.hooks.observer.SetCounts(tools_.state.counters);
        return Status::Ok();
    });
}

Status ScanEngine::Initialise() {
    return commands_.Run([this] { return InitialiseLocked(); });
}

Status ScanEngine::InitialiseLocked() {
    tools_.state.mode = ScanMode::kInit;
    NORV_RETURN_IF_ERROR(tools_.hooks.reloader.ReloadSettingsAndRules());
    // The new baseline takes the old one's place only when the whole run succeeded.
    NORV_RETURN_IF_ERROR(tools_.store.BeginBaseline());
    Status scanned = RunScan();
    const Status made = [&]() -> Status {
        // What the init could not see keeps its previous baseline, never a gap.
        if (scanned.ok() && !run_.unseen_places.empty()) {
            scanned = tools_.store.CarryOverBaseline([this](const std::string& path) {
                return run_.IsUnseen(path) && run_.CoveredByRule(path);
            });
        }
        if (!scanned.ok()) {
            (void)tools_.store.AbandonBaseline();
            return scanned;
        }
        auto rule_keys = BaselineRuleKeys();
        if (!rule_keys.ok()) {
            (void)tools_.store.AbandonBaseline();
            return rule_keys.status();
        }
        NORV_RETURN_IF_ERROR(tools_.store.CommitBaseline(*rule_keys));
        // The run's own UpdateDatabase marked the records the new baseline has just replaced.
        if (tools_.state.counters.changes() > 0) NORV_RETURN_IF_ERROR(UpdateDatabase());
        tools_.hooks.observer.ShowProgress({ScanPhase::kBaselineMade, {}, tools_.state.counters});
        return Status::Ok();
    }();
    EndRunEvent(made);
    return made;
}

Status ScanEngine::MarkAllSeen() {
    return commands_.Run([this] {
        NORV_RETURN_IF_ERROR(UpdateDatabase());
        tools_.hooks.observer.ShowProgress({ScanPhase::kMarkedAllSeen, {}, tools_.state.counters});
        return Status::Ok();
    });
}

}  // namespace norv
