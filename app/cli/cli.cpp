#include "app/cli/cli.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <ostream>

#include "app/application.h"
#include "app/cli/commands/commands.h"
#include "app/cli/signals.h"
#include "app/cli/terminal.h"
#include "app/wording/japanese.h"
#include "platform/base/io_priority.h"

namespace norv::cli {
namespace {

constexpr const char* kUsage =
    "使い方: norv-cli [--dir フォルダ] [--charset 文字セット] [--locale ロケール] [--json]\n"
    "                 [--events-max-bytes N] [--events-keep N] [--io-priority 優先度] [--watch]\n"
    "                 コマンド\n"
    "       norv-cli --version | --help\n"
    "  --dir フォルダ         プログラムフォルダ (--dir=フォルダ とも書ける)\n"
    "  --json                 イベント (JSON Lines) を標準出力に書く\n"
    "  --events-max-bytes N   norv-events.jsonl をこの大きさで切り替える (既定 10485760)\n"
    "  --events-keep N        切り替えた古いイベントファイルを N 個残す (既定 5)\n"
    "  --io-priority 優先度   検査でファイルを読む I/O の優先度: idle (ほかの I/O がないとき\n"
    "                         だけ読む) か best-effort (best-effort の最低 7)。既定は起動時のまま\n"
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
    "          (既定 60)。コマンドが失敗したら何も承認せず、保留を解除してふだんどおり対応する\n"
    "  fleet status|silent|seal|changes [--db 接続文字列] [--since 時刻] [--period 長さ] [--json]\n"
    "          集めたイベントの PostgreSQL (packaging/fleet/schema.sql) から、ホストごとの最後の\n"
    "          実行と変更数 (status)、止まった・遅れたホスト (silent)、init や accept なしに\n"
    "          基準が変わったホスト (seal)、すべての変更 (changes) を表示する。--db は libpq の\n"
    "          接続文字列 (既定は PGSERVICE、PGHOST などの環境変数)。--since は 24h のような長さ\n"
    "          か時刻 (既定 24h、seal は残っているすべて)。--period は周期を告げていないホストの\n"
    "          周期 (既定 1h)。終了コード: 0 該当なし、1 該当あり (status は常に 0)、2 エラー\n"
    "  fleet file [--db 接続文字列] [--once]\n"
    "          rsyslog が受け箱 (inbox) に入れた行を norv_fleet_filer として記録に整理し続ける\n"
    "          (--once なら受け箱が空になるまで)。サーバーが止まっていればつながるまで待つ\n"
    "終了コード: 0 変更なし、1 変更あり、2 エラー、3 検査できなかった場所がある (変更なし)、\n"
    "          4 検査できなかった場所があり、変更もある、64 引数の誤り\n";

// What the command line asked for.
struct Arguments {
    StartupOptions options;
    std::string command;
    bool json = false;
    bool watch = false;
    bool help = false;
    bool version = false;
    DeployOptions deploy;
    bool deploy_options = false;  // an option only deploy takes was given
    bool all = false;             // accept --all
    platform::IoPriority io_priority = platform::IoPriority::kInherited;
    std::vector<std::string> paths;  // accept PATH...
    FleetOptions fleet;
    bool fleet_options = false;  // an option only fleet takes was given
};

bool IsCommand(const std::string& command) {
    return command == "init" || command == "check" || command == "update" || command == "show" ||
           command == "archive" || command == "service" || command == "watch" ||
           command == "changes" || command == "accept" || command == "deploy" || command == "fleet";
}

// The options, long ones only (and -h), as getopt_long reads them: `--dir PATH` or `--dir=PATH`,
// before or after the command.
enum OptionId : int {
    kOptionDir = 256,
    kOptionCharset,
    kOptionLocale,
    kOptionJson,
    kOptionWatch,
    kOptionEventsMaxBytes,
    kOptionEventsKeep,
    kOptionRule,
    kOptionYes,
    kOptionHoldMinutes,
    kOptionAll,
    kOptionDb,
    kOptionSince,
    kOptionPeriod,
    kOptionOnce,
    kOptionIoPriority,
    kOptionVersion,
    kOptionHelp = 'h',
};
constexpr option kOptions[] = {
    {"dir", required_argument, nullptr, kOptionDir},
    {"charset", required_argument, nullptr, kOptionCharset},
    {"locale", required_argument, nullptr, kOptionLocale},
    {"json", no_argument, nullptr, kOptionJson},
    {"watch", no_argument, nullptr, kOptionWatch},
    {"events-max-bytes", required_argument, nullptr, kOptionEventsMaxBytes},
    {"events-keep", required_argument, nullptr, kOptionEventsKeep},
    {"rule", required_argument, nullptr, kOptionRule},
    {"yes", no_argument, nullptr, kOptionYes},
    {"hold-minutes", required_argument, nullptr, kOptionHoldMinutes},
    {"all", no_argument, nullptr, kOptionAll},
    {"db", required_argument, nullptr, kOptionDb},
    {"since", required_argument, nullptr, kOptionSince},
    {"period", required_argument, nullptr, kOptionPeriod},
    {"once", no_argument, nullptr, kOptionOnce},
    {"io-priority", required_argument, nullptr, kOptionIoPriority},
    {"version", no_argument, nullptr, kOptionVersion},
    {"help", no_argument, nullptr, kOptionHelp},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number within [least, most].
std::optional<long long> WholeNumber(const char* text, long long least, long long most) {
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < least || n > most) return std::nullopt;
    return n;
}

// Reads the arguments; on a mistake, says which one (with the usage) and returns nothing.
std::optional<Arguments> ParseArguments(const std::vector<std::string>& args, std::ostream& err) {
    Arguments parsed;
    StartupOptions& options = parsed.options;
    auto mistake = [&](const std::string& what) -> std::optional<Arguments> {
        err << "norv: 引数が正しくありません: " << Shown(what) << "\n" << kUsage;
        return std::nullopt;
    };
    // Everything after the first "--" is the deploy's command, its own options included.
    const auto dashes = std::find(args.begin(), args.end(), "--");
    if (dashes != args.end()) {
        parsed.deploy_options = true;
        parsed.deploy.command.assign(dashes + 1, args.end());
        if (parsed.deploy.command.empty()) return mistake("--");
    }
    std::vector<std::string> words(args.begin(), dashes);
    std::string program_name = "norv-cli";
    std::vector<char*> argv{program_name.data()};
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size() - 1);
    // The messages are ours, in the program's language; 0 starts getopt afresh for each call.
    opterr = 0;
    optind = 0;
    for (;;) {
        const int id = ::getopt_long(argc, argv.data(), ":h", kOptions, nullptr);
        if (id == -1) break;
        const std::string given = argv[std::max(optind - 1, 1)];
        switch (id) {
            case kOptionDir:
                options.program_dir = optarg;
                break;
            case kOptionCharset:
                options.charset = optarg;
                break;
            case kOptionLocale:
                options.locale = optarg;
                break;
            case kOptionJson:
                parsed.json = true;
                break;
            case kOptionWatch:
                parsed.watch = true;
                break;
            case kOptionEventsMaxBytes: {
                auto n = WholeNumber(optarg, 1024, 1LL << 40);
                if (!n) return mistake(given);
                options.event_limits.max_bytes = *n;
                break;
            }
            case kOptionEventsKeep: {
                auto n = WholeNumber(optarg, 0, 1000);
                if (!n) return mistake(given);
                options.event_limits.keep = static_cast<int>(*n);
                break;
            }
            case kOptionRule:
                parsed.deploy_options = true;
                parsed.deploy.rules.emplace_back(optarg);
                break;
            case kOptionYes:
                parsed.deploy_options = true;
                parsed.deploy.yes = true;
                break;
            case kOptionHoldMinutes: {
                parsed.deploy_options = true;
                auto n = WholeNumber(optarg, 1, kMostHoldMinutes);
                if (!n) return mistake(given);
                parsed.deploy.hold_minutes = *n;
                break;
            }
            case kOptionAll:
                parsed.all = true;
                break;
            case kOptionDb:
                parsed.fleet_options = true;
                parsed.fleet.db = optarg;
                break;
            case kOptionSince:
                parsed.fleet_options = true;
                parsed.fleet.since = optarg;
                break;
            case kOptionPeriod:
                parsed.fleet_options = true;
                parsed.fleet.period = optarg;
                break;
            case kOptionOnce:
                parsed.fleet_options = true;
                parsed.fleet.once = true;
                break;
            case kOptionIoPriority: {
                auto priority = platform::ParseIoPriority(optarg);
                if (!priority) return mistake(given);
                parsed.io_priority = *priority;
                break;
            }
            case kOptionVersion:
                parsed.version = true;
                return parsed;
            case kOptionHelp:
                parsed.help = true;
                return parsed;
            default:
                return mistake(given);  // not an option, or one without its value
        }
    }
    // The command first, then (accept only) its paths.
    for (int i = optind; i < argc; ++i) {
        if (parsed.command.empty()) {
            parsed.command = argv[i];
        } else if (parsed.command == "accept") {
            parsed.paths.emplace_back(argv[i]);
        } else if (parsed.command == "fleet" && parsed.fleet.report.empty()) {
            parsed.fleet.report = argv[i];
        } else {
            return mistake(argv[i]);
        }
    }
    if (parsed.all && parsed.command != "accept") return mistake("--all");
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
    if (parsed.command != "fleet" && parsed.fleet_options) {
        err << "norv: --db、--since、--period、--once は fleet だけのものです\n" << kUsage;
        return std::nullopt;
    }
    const std::string& report = parsed.fleet.report;
    if (parsed.command == "fleet" && report != "status" && report != "silent" && report != "seal" &&
        report != "changes" && report != "file") {
        err << "norv: fleet には status、silent、seal、changes、file のどれかを指定してください\n"
            << kUsage;
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
    if (!parsed) return kExitUsage;
    if (parsed->help) {
        out << kUsage;
        return kExitUnchanged;
    }
    if (parsed->version) {
        out << "norv-cli " << NORV_VERSION << "\n";
        return kExitUnchanged;
    }
    const std::string& command = parsed->command;
    // The fleet's store is read from anywhere: no program folder is opened.
    if (command == "fleet") {
        parsed->fleet.json = parsed->json;
        return RunFleet(parsed->fleet, out, err);
    }
    // With --json, standard output carries the event lines alone; the rest goes to stderr.
    if (parsed->json) parsed->options.events_copy = &out;
    // The environment and the process's identity, once, here at the edge.
    parsed->options.process = ReadProcessOptions(*platform::Env::Default());
    parsed->options.process.reading.io_priority = parsed->io_priority;
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
        err << "norv: 起動できません: " << Shown(started.status()) << "\n";
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
        return RunDeploy(app, parsed->deploy, Console{std::cin, ::isatty(STDIN_FILENO) == 1},
                         terminal, human, err);
    }
    return RunScanCommand(app, command, terminal, human, err);
}

}  // namespace norv::cli
