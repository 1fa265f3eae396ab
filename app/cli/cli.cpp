#include "app/cli/cli.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <ostream>

#include "app/application.h"
#include "app/cli/commands/commands.h"
#include "app/cli/signals.h"
#include "app/cli/terminal.h"
#include "app/wording/japanese.h"

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

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    UseJapaneseWording();
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
    Terminal terminal(err, progress && !parsed->json, *platform::Env::Default());
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
    if (command == "accept") return RunAccept(app, parsed->all, parsed->paths, human, err);
    if (command == "deploy") {
        return RunDeploy(app, parsed->deploy, Console{std::cin, ::isatty(STDIN_FILENO) == 1}, human,
                         err);
    }
    return RunScanCommand(app, command, terminal, human, err);
}

}  // namespace norv::cli
