#include "app/cli/cli.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <ostream>

#include "app/application.h"
#include "app/cli/deploy.h"
#include "app/cli/service.h"
#include "app/cli/terminal.h"
#include "engine/scan_log.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"
#include "response/accept.h"
#include "response/event_log.h"

#include <nlohmann/json.hpp>

namespace norv::cli {
namespace {

constexpr const char* kUsage =
    "使い方: norv-cli [--dir フォルダ] [--charset 文字セット] [--locale ロケール] [--json]\n"
    "                 [--events-max-bytes N] [--events-keep N] [--watch] コマンド\n"
    "  --json                 イベント (JSON Lines) を標準出力に書く\n"
    "  --events-max-bytes N   norv-events.jsonl をこの大きさで切り替える (既定 10485760)\n"
    "  --events-keep N        切り替えた古いイベントファイルを N 個残す (既定 5)\n"
    "コマンド:\n"
    "  init    データベースを初期化し、基準を記録する\n"
    "  check   前回の記録と比べ、作成・変更・削除されたファイルを報告する\n"
    "  update  データベースを更新する\n"
    "  archive 保護ファイルのアーカイブ (arcive.lzh) を作り直す\n"
    "  show    設定とルールを表示する\n"
    "  service 設定 10・11 行目のとおり、周期ごとに検査を続ける (SIGHUP で設定を読み直し、\n"
    "          SIGTERM で終わる)。--watch を付けると、あわせてリアルタイム監視を行う\n"
    "  watch   一度検査したあと、ルールのフォルダを監視し、変更されたファイルをすぐに検査する\n"
    "          (自動復旧がオンならすぐに元に戻す。SIGHUP で設定を読み直し、SIGTERM で終わる)\n"
    "  changes 最後の検査で見つかった変更 (種類、パス、サイズ、時刻、前後の MD5) を表示する。\n"
    "          ほかに変わった属性 (モード、所有者、ACL など) は前後の値を並べ、set-id や\n"
    "          ケーパビリティが増えたものには set-id gained / capability gained を付ける。\n"
    "          --json を付けると 1 行に 1 つの JSON で書く\n"
    "  accept --all | accept パス...\n"
    "          確かめた変更を基準とアーカイブに受け入れる (フォルダはその下の変更すべて)。\n"
    "          確かめたあとにまた変わったファイルは受け入れず、変更のまま残す。\n"
    "          終了コード: 0 すべて受け入れた、1 受け入れなかったものがある、2 エラー\n"
    "  deploy [--rule パス]... [--yes] [--hold-minutes N] -- コマンド [引数...]\n"
    "          動いているすべての norv で、ルール (既定はすべて) への対応を保留してコマンドを\n"
    "          実行し、検査して変更を表示し、承認する (--yes なら尋ねずに)。保留は最長 N 分\n"
    "          (既定 60)。コマンドが失敗したら何も承認せず、保留を解除してふだんどおり対応する\n";

void PrintCounts(std::ostream& out, const ScanCounters& c) {
    out << "検査数 " << c.checked << "  変更 " << c.altered << "  新規作成 " << c.created
        << "  削除 " << c.deleted;
    if (c.unchecked > 0) out << "  未検査 " << c.unchecked;
    out << "\n";
}

void PrintConfiguration(std::ostream& out, const Application& app) {
    const Settings& s = app.settings();
    out << "プログラムフォルダ: " << Shown(app.context().program_dir) << "\n"
        << "サーバ名: " << Shown(s.server_name) << "\n"
        << "メールでアラートを送る: " << SwitchState(s.mail_alert) << "\n"
        << "SMTP: " << Shown(s.smtp_server) << "\n"
        << "送信者: " << Shown(s.mail_from) << "\n"
        << "受信者: " << Shown(s.mail_to) << "\n"
        << "自動検査を行う: " << SwitchState(s.auto_check) << "\n"
        << "検査周期分: " << Shown(s.scan_period) << "\n"
        << "改ざんがなくてもメールを送る: " << app.switches().mail_always << "\n"
        << "自動で復旧する: " << app.switches().auto_restore << "\n"
        << "保存ディレクトリ: " << Shown(s.save_dir) << "\n"
        << "クラックされたファイルの保存: " << Shown(s.cracked_dir) << "\n"
        << "ルール (" << app.rules().rule_count() << "):\n";
    for (const Rule& rule : app.rules().rules) {
        out << "  " << RuleKindNumber(rule.kind) << "  " << Shown(rule.path) << "\n";
    }
}

// What the command line asked for.
struct Arguments {
    StartupOptions options;
    std::string command;
    bool json = false;
    bool watch = false;
    bool help = false;
    DeployOptions deploy;
    bool deploy_options = false;     // an option only deploy takes was given
    bool all = false;                // accept --all
    std::vector<std::string> paths;  // accept PATH...
};

bool IsCommand(const std::string& command) {
    return command == "init" || command == "check" || command == "update" || command == "show" ||
           command == "archive" || command == "service" || command == "watch" ||
           command == "changes" || command == "accept" || command == "deploy";
}

// Reads the arguments; on a mistake, says which one (with the usage) and returns nothing.
std::optional<Arguments> ParseArguments(const std::vector<std::string>& args, std::ostream& err) {
    Arguments parsed;
    StartupOptions& options = parsed.options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& slot) {
            if (i + 1 >= args.size()) return false;
            slot = args[++i];
            return true;
        };
        bool ok = true;
        if (a == "--dir") {
            ok = value(options.program_dir);
        } else if (a == "--charset") {
            ok = value(options.charset);
        } else if (a == "--locale") {
            ok = value(options.locale);
        } else if (a == "--json") {
            parsed.json = true;
        } else if (a == "--watch") {
            parsed.watch = true;
        } else if (a == "--events-max-bytes" || a == "--events-keep") {
            std::string text;
            ok = value(text);
            char* end = nullptr;
            const long long n = ok ? std::strtoll(text.c_str(), &end, 10) : -1;
            ok = ok && end != text.c_str() && *end == '\0' && n >= 0 && n <= (1LL << 40) &&
                 (a == "--events-keep" ? n <= 1000 : n >= 1024);
            if (ok && a == "--events-keep") options.event_limits.keep = static_cast<int>(n);
            if (ok && a == "--events-max-bytes") options.event_limits.max_bytes = n;
        } else if (a == "--rule") {
            parsed.deploy_options = true;
            ok = value(parsed.deploy.rules.emplace_back());
        } else if (a == "--yes") {
            parsed.deploy_options = true;
            parsed.deploy.yes = true;
        } else if (a == "--hold-minutes") {
            parsed.deploy_options = true;
            std::string text;
            ok = value(text);
            char* end = nullptr;
            const long long n = ok ? std::strtoll(text.c_str(), &end, 10) : -1;
            ok = ok && end != text.c_str() && *end == '\0' && n >= 1 && n <= kMostHoldMinutes;
            parsed.deploy.hold_minutes = n;
        } else if (a == "--") {
            // The rest is the deploy's command, its own options included.
            parsed.deploy_options = true;
            parsed.deploy.command.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            ok = !parsed.deploy.command.empty();
            i = args.size();
        } else if (a == "-h" || a == "--help") {
            parsed.help = true;
            return parsed;
        } else if (a == "--all" && parsed.command == "accept") {
            parsed.all = true;
        } else if (parsed.command.empty() && !a.empty() && a[0] != '-') {
            parsed.command = a;
        } else if (parsed.command == "accept" && !a.empty() && a[0] != '-') {
            parsed.paths.push_back(a);
        } else {
            ok = false;
        }
        if (!ok) {
            err << "norv: 引数が正しくありません: " << Shown(a) << "\n" << kUsage;
            return std::nullopt;
        }
    }
    if (parsed.command == "accept" && parsed.all == !parsed.paths.empty()) {
        err << "norv: accept には --all か、受け入れるパスを (どちらか一方) 指定してください\n"
            << kUsage;
        return std::nullopt;
    }
    if (parsed.command == "deploy" && parsed.deploy.command.empty()) {
        err << "norv: deploy には -- のあとに実行するコマンドが要ります\n" << kUsage;
        return std::nullopt;
    }
    if (parsed.command != "deploy" && parsed.deploy_options) {
        err << "norv: --rule、--yes、--hold-minutes、-- は deploy だけのものです\n" << kUsage;
        return std::nullopt;
    }
    if (!IsCommand(parsed.command)) {
        err << (parsed.command.empty()
                    ? "norv: コマンドがありません\n"
                    : "norv: 知らないコマンドです: " + Shown(parsed.command) + "\n")
            << kUsage;
        return std::nullopt;
    }
    return parsed;
}

// Builds a new archive; 0 when one now stands, with its path on `out`.
int RunArchive(Application& app, Terminal& terminal, std::ostream& out, std::ostream& err) {
    const std::string path = app.archive().ArchivePath();
    const bool had_archive = platform::FileExists(*app.context().env, path);
    int failures = 0;
    Status status = app.engine().RunExclusive([&] {
        failures = app.archive().CreateArchive();
        return Status::Ok();
    });
    terminal.ClearProgress();
    if (!status.ok()) {
        err << "norv: " << Shown(status.ToString()) << "\n";
        return kExitFailure;
    }
    if (failures > 0) return kExitFailure;
    // Nothing to archive leaves no archive (an older one is removed): not a success.
    if (!platform::FileExists(*app.context().env, path)) {
        err << "norv: アーカイブを作りませんでした (" << Shown(path) << "): "
            << (app.rules().rules.empty()
                    ? "ルールがありません"
                    : "ルールの対象に保存するファイルがありません (フォルダだけです)")
            << (had_archive ? "。以前のアーカイブは削除しました" : "") << "\n";
        return kExitFailure;
    }
    out << path << "\n";
    return kExitUnchanged;
}

// Runs init, check or update, and tells what it found: 1 when a change, or a part not seen,
// needs the administrator's eyes (init and check).
int RunScanCommand(Application& app, const std::string& command, Terminal& terminal,
                   std::ostream& human, std::ostream& err) {
    ScanEngine& engine = app.engine();
    Status status = command == "init"    ? engine.Initialise()
                    : command == "check" ? engine.Check()
                                         : engine.MarkAllSeen();
    terminal.ClearProgress();
    if (!status.ok()) {
        err << "norv: " << Shown(status.ToString()) << "\n";
        return kExitFailure;
    }
    human << terminal.progress_line() << "\n";
    if (command == "update") return kExitUnchanged;
    PrintCounts(human, app.counters());
    const size_t unseen = engine.unseen_places();
    if (unseen > 0) {
        human << "検査できなかった場所 " << unseen << " (記録はそのまま残しました。"
              << DisplayPath(app.context().LogPath()) << " の Warning: 行に理由があります)\n";
    }
    return app.counters().changes() > 0 || unseen > 0 ? kExitChanged : kExitUnchanged;
}

// `json` with every character that could hide in or reorder a line (bidirectional and C1
// controls, format characters, DEL: what DisplayPath escapes) written as \uXXXX, so a path
// shows no more than it holds. Outside strings a dump holds only ASCII, and inside one the
// escape stands for the same character.
std::string HiddenEscaped(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    auto escape = [&](unsigned unit) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04X", unit);
        out += buf;
    };
    for (size_t i = 0; i < json.size();) {
        const auto c = static_cast<unsigned char>(json[i]);
        char32_t cp = c;
        const size_t n = c < 0x80 ? 1 : platform::DecodeUtf8At(json, i, cp);
        if (n == 0) {  // not UTF-8: the dump replaced such bytes, kept as they are
            out += json[i++];
            continue;
        }
        if (cp == 0x7F || (cp >= 0x80 && platform::IsHiddenCodePoint(cp))) {
            if (cp > 0xFFFF) {
                escape(0xD800 + ((cp - 0x10000) >> 10));
                escape(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                escape(cp);
            }
        } else {
            out.append(json.substr(i, n));
        }
        i += n;
    }
    return out;
}

// Lists the last check's changes: one line each (kind, path, size, time, old and new MD5), or
// with --json one object each.
int RunChanges(Application& app, bool json, std::ostream& out, std::ostream& err) {
    auto list = app.acceptor().LoadChanges();
    if (!list.ok()) {
        err << "norv: " << Shown(list.status().ToString()) << "\n";
        return kExitFailure;
    }
    if (!list->checked) {
        err << "norv: 初期化のあと、検査を最後まで終えていません (norv-cli check "
               "で検査してください)\n";
        return kExitFailure;
    }
    for (const ReviewedChange& change : list->changes) {
        const bool gone = change.kind == ChangeKind::kDeleted;
        if (json) {
            nlohmann::json o;
            o["kind"] = ChangeKindName(change.kind);
            o["path"] = EventPath(change.path);
            o["size"] = gone ? nlohmann::json() : nlohmann::json(change.size);
            o["mtime"] = gone ? nlohmann::json() : nlohmann::json(Rfc3339(change.mtime, 0));
            o["old_md5"] =
                change.old_md5.empty() ? nlohmann::json() : nlohmann::json(change.old_md5);
            o["new_md5"] =
                change.new_md5.empty() ? nlohmann::json() : nlohmann::json(change.new_md5);
            const ReviewedFacts facts = FactsOfChange(change);
            AddFactChanges(o, facts.changed);
            o["set_id_gained"] = facts.set_id_gained;
            o["capability_gained"] = facts.capability_gained;
            o["generation"] = list->generation;
            out << HiddenEscaped(o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
                << "\n";
            continue;
        }
        PrintChange(app, change, out);
    }
    return kExitUnchanged;
}

// Accepts the changes asked for: 0 when every one was, 1 when some were refused (or a path
// matched none), 2 on error.
int RunAccept(Application& app, const Arguments& args, std::ostream& out, std::ostream& err) {
    auto list = app.acceptor().LoadChanges();
    if (!list.ok()) {
        err << "norv: " << Shown(list.status().ToString()) << "\n";
        return kExitFailure;
    }
    std::vector<std::string> unmatched;
    std::vector<ReviewedChange> items = list->changes;
    if (!args.all) {
        std::vector<std::string> paths;
        for (const std::string& path : args.paths) {
            if (!path.empty() && path[0] == '/') {
                paths.push_back(path);
                continue;
            }
            // A relative path is taken from the working folder.
            std::string cwd(PATH_MAX, '\0');
            if (app.context().env->GetCwd(cwd.data(), cwd.size()) == nullptr) {
                err << "norv: 作業フォルダがわかりません: " << Shown(path) << "\n";
                return kExitFailure;
            }
            paths.push_back(platform::JoinPath(cwd.c_str(), path));
        }
        items = SelectChanges(list.value(), paths, &unmatched);
    }
    auto outcome = app.acceptor().Accept(list->generation, items, app.process().user);
    if (!outcome.ok()) {
        err << "norv: " << Shown(outcome.status().ToString()) << "\n";
        return kExitFailure;
    }
    for (const ReviewedChange& change : outcome->accepted) {
        out << "受け入れました: " << ChangeKindName(change.kind) << " " << DisplayPath(change.path)
            << "\n";
    }
    for (const Refusal& refusal : outcome->refused) {
        err << "norv: 受け入れません: " << Shown(refusal.reason) << "\n";
    }
    for (const std::string& path : unmatched) {
        err << "norv: 最後の検査の変更にありません: " << Shown(path) << "\n";
    }
    if (items.empty() && unmatched.empty()) out << "受け入れる変更はありません\n";
    return outcome->all_accepted() && unmatched.empty() ? kExitUnchanged : kExitChanged;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    std::optional<Arguments> parsed = ParseArguments(args, err);
    if (!parsed) return kExitFailure;
    if (parsed->help) {
        out << kUsage;
        return kExitUnchanged;
    }
    const std::string& command = parsed->command;
    // With --json, standard output carries the event lines alone; the rest goes to stderr.
    if (parsed->json) parsed->options.events_copy = &out;
    // The environment and the process's identity, once, here at the edge.
    parsed->options.process = ReadProcessOptions(*platform::Env::Default());
    std::ostream& human = parsed->json ? err : out;
    Terminal terminal(err, progress && !parsed->json);
    std::optional<LockLetGoOnStop> let_go;
    if (command == "service" || command == "watch") {
        BlockServiceSignals();
    } else {
        let_go.emplace();
    }
    auto started =
        Application::Start(parsed->options, FrontEnd{terminal, terminal, terminal, terminal});
    if (!started.ok()) {
        err << "norv: 起動できません: " << Shown(started.status().ToString()) << "\n";
        return kExitFailure;
    }
    Application& app = **started;
    if (command == "show") {
        PrintConfiguration(out, app);
        return kExitUnchanged;
    }
    if (command == "service") {
        return parsed->watch ? RunWatch(app, human, err, true) : RunService(app, human, err);
    }
    if (command == "watch") return RunWatch(app, human, err, false);
    if (command == "archive") return RunArchive(app, terminal, out, err);
    if (command == "changes") return RunChanges(app, parsed->json, out, err);
    if (command == "accept") return RunAccept(app, *parsed, human, err);
    if (command == "deploy") {
        return RunDeploy(app, parsed->deploy, Console{std::cin, ::isatty(STDIN_FILENO) == 1}, human,
                         err);
    }
    return RunScanCommand(app, command, terminal, human, err);
}

}  // namespace norv::cli
