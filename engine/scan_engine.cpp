#include "engine/scan_engine.h"

#include "config/settings.h"
#include "config/watched_place.h"
#include "platform/fs/folder_lock.h"

#include <cerrno>

#include <algorithm>
#include <map>
#include <optional>
#include <thread>

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

// Marks the engine busy, and holds the program folder's lock, for the life of one command.
class ScanEngine::RunGuard {
  public:
    RunGuard(bool& running, platform::FolderLock lock) : running_(running), lock_(std::move(lock)) {
        running_ = true;
    }
    ~RunGuard() { running_ = false; }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;

  private:
    bool& running_;
    platform::FolderLock lock_;
};

Status ScanEngine::BeginCommand(std::optional<RunGuard>& guard) {
    if (running_) return Status::Error(kErrBusy, kBusyMessage);
    auto lock = platform::FolderLock::Acquire(env(), state_.context.LockPath());
    if (!lock.ok()) return lock.status();
    guard.emplace(running_, std::move(lock).value());
    // What a killed command left half done is finished before anything else reads the records.
    if (prologue_) NORV_RETURN_IF_ERROR(prologue_());
    return Status::Ok();
}

Status ScanEngine::RunExclusive(const std::function<Status()>& command) {
    std::optional<RunGuard> guard;
    NORV_RETURN_IF_ERROR(BeginCommand(guard));
    return command();
}

int DefaultDigestWorkers() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(std::min(n, 8u));
}

bool ShouldSendReport(int64_t changes, bool mail_alert_on, int mail_always) {
    return changes > 0 ? mail_alert_on : mail_alert_on && mail_always == 1;
}

ScanEngine::ScanEngine(ProcessState state, FileInfoStore& store, EngineHooks hooks)
    : state_(state), store_(store), hooks_(hooks) {}

Status ScanEngine::RunScan() {
    state_.counters.Reset();
    if (events_) events_->BeginRun(state_.mode == ScanMode::kInit ? "init" : "check");
    const std::string now = hooks_.regional.DateTime(hooks_.clock.Now());
    Status status = log_.Open(env(), state_.context.LogPath(), state_.context.charset,
                              state_.settings.server_name, now);
    if (status.ok()) status = NoteExtendedFingerprint();
    // A check's changes are listed for review; the list counts once the check has finished.
    const bool listing = state_.mode == ScanMode::kCheck;
    if (status.ok() && listing) status = store_.BeginChangeList();
    if (status.ok()) status = RunScanSteps();
    if (status.ok() && listing) status = store_.EndChangeList();
    // Whatever happened, what the store has done so far is kept.
    Status committed = store_.Commit();
    if (status.ok()) status = committed;
    if (events_) {
        events_->EndRun(state_.counters, status.ok()                      ? "completed"
                                         : status.Is(ErrorKind::kStopped) ? "stopped"
                                                                          : "failed");
    }
    if (!status.ok()) {
        log_.CloseKeepingLines();
        return status;
    }
    NORV_RETURN_IF_ERROR(log_.SummaryAndClose(state_.counters));
    hooks_.observer.ShowProgress({ScanPhase::kScanEnded, {}, state_.counters});
    if (state_.counters.changes() > 0) return UpdateDatabase();
    return Status::Ok();
}

Status ScanEngine::NoteExtendedFingerprint() {
    if (!store_.TakeExtendedNotice()) return Status::Ok();
    hooks_.notices.Notify({NoticeKind::kExtendedFingerprint, state_.context.DatabasePath(),
                           Status::Ok(), kExtendedFingerprintMessage});
    return log_.NoticeLine(kExtendedFingerprintMessage);
}

void ScanEngine::FindExcludedFolders() {
    skipped_logged_.clear();
    // With automatic restore on, this run's evidence goes to the cracked folder: it is made now
    // so that a walk passing through it can never take a copy for a new file.
    if (state_.switches.auto_restore != 0 && !state_.settings.cracked_dir.empty()) {
        (void)platform::MakeDirectories(env(), state_.settings.cracked_dir, 0700);
    }
    excluded_folders_ = ProgramFolders(env(), state_.settings);
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

std::vector<std::string> RuleWarnings(const std::vector<Rule>& rules, size_t index,
                                      platform::EntryKind kind) {
    const Rule& rule = rules[index];
    const std::string label =
        "ルール " + std::to_string(index + 1) + " (" + DisplayPath(rule.path) + ")";
    std::vector<std::string> warnings;
    if (rule.kind != RuleKind::kFile && rule.kind != RuleKind::kFolder &&
        rule.kind != RuleKind::kTree) {
        warnings.push_back(label + " の種別 " + std::to_string(RuleKindNumber(rule.kind)) +
                           " は 0 (ファイル)、1 (フォルダ)、3 (フォルダとサブフォルダ) の"
                           "どれでもありません");
    } else if (kind == platform::EntryKind::kMissing) {
        warnings.push_back(label + " のパスがありません");
    } else if (rule.kind == RuleKind::kFile && kind == platform::EntryKind::kDirectory) {
        warnings.push_back(label + " はフォルダですが、種別が 0 (ファイル) です");
    } else if (rule.kind != RuleKind::kFile && kind == platform::EntryKind::kRegular) {
        warnings.push_back(label + " はフォルダではありませんが、種別が " +
                           std::to_string(RuleKindNumber(rule.kind)) + " (フォルダ) です");
    }
    // A rule that walks nothing (a path not there, a kind below 0) counts nothing twice.
    const bool walked = kind != platform::EntryKind::kMissing && RuleKindNumber(rule.kind) >= 0;
    for (size_t j = 0; walked && j < index; ++j) {
        if (RuleKindNumber(rules[j].kind) >= 0 && RulesOverlap(rules[j], rule)) {
            warnings.push_back(label + " はルール " + std::to_string(j + 1) + " (" +
                               DisplayPath(rules[j].path) +
                               ") と同じファイルを検査します。変更は二度数えられます");
        }
    }
    return warnings;
}

Status ScanEngine::WarnAboutRule(const std::vector<Rule>& rules, size_t index) {
    // What the rule's path is, followed as the walk follows it.
    platform::EntryKind kind = platform::EntryKind::kMissing;
    auto resolved = platform::ResolveAdministratorPath(env(), rules[index].path);
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
    for (const std::string& warning : RuleWarnings(rules, index, kind)) {
        NORV_RETURN_IF_ERROR(log_.WarningLine(warning));
        if (events_) events_->Warning(rules[index].path, warning);
        hooks_.notices.Notify({NoticeKind::kRuleWarning, rules[index].path,
                               Status::Error(ErrorKind::kFormat, kErrFormat, warning), warning});
    }
    return Status::Ok();
}

Status ScanEngine::StopPoint() const {
    if (stop_requested_ == nullptr || !stop_requested_->load()) return Status::Ok();
    return Status::Error(kErrStopped, "検査を途中で止めました (停止の指示)");
}

Status ScanEngine::RunScanSteps() {
    FindExcludedFolders();
    hooks_.responder.BeginRun();
    unseen_places_.clear();
    missing_facts_said_.clear();
    {
        std::lock_guard<std::mutex> lock(walked_mutex_);
        walked_folders_.clear();
        single_files_.clear();
        left_out_.clear();
    }
    NORV_RETURN_IF_ERROR(store_.ResetFlags());
    urgent_gone_.clear();
    deferred_quarantines_.clear();
    defer_quarantines_ = state_.mode == ScanMode::kCheck && state_.switches.auto_restore != 0;
    // A run that ends early quarantines nothing it held back: the next check reports those
    // files again. The watch's own checks respond at once.
    struct EndDeferral {
        bool& defer;
        ~EndDeferral() { defer = false; }
    } end_deferral{defer_quarantines_};
    walked_rules_ = state_.rules;
    const std::vector<Rule>& rules = walked_rules_.rules;
    std::vector<bool> in_baseline(rules.size(), true);
    if (state_.mode == ScanMode::kCheck) {
        auto read = RulesInBaseline(rules);
        if (!read.ok()) return read.status();
        in_baseline = std::move(read).value();
    }
    for (size_t i = 0; i < rules.size(); ++i) {
        const Rule& rule = rules[i];
        {
            std::lock_guard<std::mutex> lock(walked_mutex_);
            current_rule_ = i;
            // The last rule's folders are reached again by no later rule.
            remember_walked_ = i + 1 < rules.size();
        }
        NORV_RETURN_IF_ERROR(StopPoint());
        NORV_RETURN_IF_ERROR(log_.RuleHeader(rule.path));
        NORV_RETURN_IF_ERROR(WarnAboutRule(rules, i));
        // A rule added (or changed) since the last init has no records to compare with: its
        // files are not intruders. Not walked, said once, and what it had is kept.
        if (!in_baseline[i]) {
            NORV_RETURN_IF_ERROR(NoteUnseen(
                RulePlace(rule), Status::Error(ErrorKind::kNotFound, ENOENT,
                                               "このルールはまだ記録にありません。norv-cli init "
                                               "(データベースの初期化) で記録に入れてください")));
            continue;
        }
        if (rule.kind == RuleKind::kFile) {
            NORV_RETURN_IF_ERROR(CheckSingleFile(rule.path));
        } else if (RuleKindNumber(rule.kind) > 0) {
            NORV_RETURN_IF_ERROR(WalkDirectory(rule.path, rule.kind));
        }
    }
    // A stop before this point must not report the files it never reached as deleted.
    NORV_RETURN_IF_ERROR(StopPoint());
    if (unseen_places_.size() > kMostUnseenLines) {
        NORV_RETURN_IF_ERROR(
            log_.WarningLine("ほかに " + std::to_string(unseen_places_.size() - kMostUnseenLines) +
                             " か所を検査できません"));
    }
    if (state_.mode != ScanMode::kInit) NORV_RETURN_IF_ERROR(ReportDeletedFiles());
    // Every altered and deleted page is back: now the new files.
    NORV_RETURN_IF_ERROR(QuarantineDeferred());
    for (const std::string& summary : hooks_.responder.EndRun()) {
        NORV_RETURN_IF_ERROR(log_.WarningLine(DisplayText(summary)));
    }
    if (state_.mode == ScanMode::kInit && store_.building_baseline()) {
        NORV_RETURN_IF_ERROR(LookAgainAtMissedFiles());
    }
    return Status::Ok();
}

Result<bool> ScanEngine::HasRecordBelow(const std::string& folder) {
    auto first = store_.RecordedAfter(folder, 1);
    if (!first.ok()) return first.status();
    return !first->empty() && first->front().starts_with(folder);
}

Result<std::vector<bool>> ScanEngine::RulesInBaseline(const std::vector<Rule>& rules) {
    std::vector<bool> in_baseline(rules.size(), true);
    auto kept = store_.BaselineRules();
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
    const std::vector<Rule>& walked = walked_rules_.rules;
    auto before = RulesInBaseline(walked);
    if (!before.ok()) return before.status();
    std::vector<std::string> keys;
    for (size_t i = 0; i < walked.size(); ++i) {
        if (!(*before)[i] && IsUnseen(RulePlace(walked[i]))) {
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
    auto recorded = store_.LookupBaseline(rule.path);
    if (!recorded.ok()) return recorded.status();
    return recorded->has_value() && !(*recorded)->first_seen_by_check;
}

bool ScanEngine::CoveredByRule(const std::string& path) const {
    return CoveringRule(walked_rules_, path) != nullptr;
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
    NORV_RETURN_IF_ERROR(store_.ForEachMissingFromNewBaseline([&](const std::string& path) {
        // A rule removed or narrowed since: no later check looks there.
        if (!CoveredByRule(path)) {
            ++outside_rules;
            return Status::Ok();
        }
        // Measured under another path: its records there are the same files twice.
        if (IsLeftOut(path)) return Status::Ok();
        if (IsUnseen(path)) {
            ++state_.counters.unchecked;  // keeps its previous baseline
            return Status::Ok();
        }
        const std::string folder = platform::FolderPrefix(platform::ParentOfPath(path));
        auto facts = platform::LStat(env(), path);
        if (facts.ok() && facts->kind != platform::EntryKind::kMissing) {
            back.insert(folder);
        } else {
            ++gone[folder];
        }
        return Status::Ok();
    }));
    for (const std::string& folder : back) {
        NORV_RETURN_IF_ERROR(NoteUnseen(
            folder, Status::Error(ErrorKind::kNotFound, EAGAIN,
                                  "この初期化の間に見えなかったファイルが、いまはあります "
                                  "(検査中に移された可能性があります)")));
    }
    if (outside_rules > 0) {
        NORV_RETURN_IF_ERROR(log_.NoticeLine("どのルールにも含まれなくなった " +
                                             std::to_string(outside_rules) +
                                             " 個のファイルの記録を除きました"));
    }
    size_t said = 0;
    for (const auto& [folder, count] : gone) {
        if (back.count(folder) != 0 || ++said > kMostUnseenLines) continue;
        NORV_RETURN_IF_ERROR(Warn(folder, "前回の記録にあった " + std::to_string(count) +
                                              " 個のファイルがこの初期化では見つかりません "
                                              "(新しい記録には入りません)"));
    }
    return Status::Ok();
}

Status ScanEngine::UpdateDatabase() {
    state_.mode = ScanMode::kUpdateDb;
    NORV_RETURN_IF_ERROR(store_.MarkAllSeen());
    return store_.Commit();
}

Status ScanEngine::Check() {
    std::optional<RunGuard> guard;
    NORV_RETURN_IF_ERROR(BeginCommand(guard));
    state_.mode = ScanMode::kCheck;
    hooks_.observer.SetScanDate(hooks_.regional.DateTime(hooks_.clock.Now()));
    NORV_RETURN_IF_ERROR(RunScan());
    // A part of the trees not seen is news the administrator must hear, like a change.
    if (ShouldSendReport(state_.counters.changes() + static_cast<int64_t>(unseen_places_.size()),
                         state_.settings.mail_alert_on, state_.switches.mail_always)) {
        hooks_.mailer.SendScanReport();
    }
    hooks_.observer.SetCounts(state_.counters);
    return Status::Ok();
}

Status ScanEngine::Initialise() {
    std::optional<RunGuard> guard;
    NORV_RETURN_IF_ERROR(BeginCommand(guard));
    state_.mode = ScanMode::kInit;
    NORV_RETURN_IF_ERROR(hooks_.reloader.ReloadSettingsAndRules());
    // The new baseline takes the old one's place only when the whole run succeeded.
    NORV_RETURN_IF_ERROR(store_.BeginBaseline());
    Status scanned = RunScan();
    // What the init could not see keeps its previous baseline, never a gap.
    if (scanned.ok() && !unseen_places_.empty()) {
        scanned = store_.CarryOverBaseline(
            [this](const std::string& path) { return IsUnseen(path) && CoveredByRule(path); });
    }
    if (!scanned.ok()) {
        (void)store_.AbandonBaseline();
        return scanned;
    }
    auto rule_keys = BaselineRuleKeys();
    if (!rule_keys.ok()) {
        (void)store_.AbandonBaseline();
        return rule_keys.status();
    }
    NORV_RETURN_IF_ERROR(store_.CommitBaseline(*rule_keys));
    // The run's own UpdateDatabase marked the records the new baseline has just replaced.
    if (state_.counters.changes() > 0) NORV_RETURN_IF_ERROR(UpdateDatabase());
    hooks_.observer.ShowProgress({ScanPhase::kBaselineMade, {}, state_.counters});
    return Status::Ok();
}

Status ScanEngine::MarkAllSeen() {
    std::optional<RunGuard> guard;
    NORV_RETURN_IF_ERROR(BeginCommand(guard));
    NORV_RETURN_IF_ERROR(UpdateDatabase());
    hooks_.observer.ShowProgress({ScanPhase::kMarkedAllSeen, {}, state_.counters});
    return Status::Ok();
}

}  // namespace norv
