// `norv-cli deploy`: a site's update under protection.
//
//   norv-cli deploy [--rule PATH]... [--yes] [--hold-minutes N] -- COMMAND [ARG...]
//
// Holds the response for the named rules (every rule when none is named) in every running norv,
// runs COMMAND, checks, prints the changes under the held rules and accepts them (with --yes at
// once, otherwise after a yes typed on the terminal; with neither, none), and ends the hold. A
// COMMAND that fails accepts nothing: the hold ends first and a check follows, so the response
// acts on its changes as on any other (with automatic restore on, the site goes back to its
// baseline), and the message says so before. A deploy killed midway leaves its hold to end by
// itself, once norv sees its process gone.
//
// COMMAND runs in a cgroup of its own, and a watch of the held rules' file systems (fanotify)
// notes who wrote what while it runs: a change is accepted only when the command wrote it and no
// other process did. Anything else written under the held rules is refused, stays a change, and
// is answered by the check that follows the hold (restored where restore is on). Where the
// writers cannot be told apart (no fanotify, no cgroup v2), --yes accepts nothing and says why;
// asked on the terminal, the administrator decides, told that the writers are unknown.
//
// Exit status: COMMAND's when it failed (128 + the signal when one ended it); otherwise the
// accept's: 0 all accepted, 1 some refused or none accepted, 2 an error.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <istream>
#include <ostream>
#include <thread>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "engine/scan_log.h"
#include "platform/base/child_process.h"
#include "platform/base/notice_code.h"
#include "platform/fs/cgroup.h"
#include "response/accept.h"
#include "response/deploy_watch.h"
#include "response/hold.h"

namespace norv::cli {
namespace {

// How long the check after the command waits for a running norv (a watch answering the deploy's
// own events) to let the program folder go.
constexpr std::chrono::minutes kMostLockWait{10};
constexpr std::chrono::milliseconds kLockRetry{200};

// Runs `command` with the terminal's standard streams and waits for it: its exit status, 128 +
// the signal that ended it, or 127 when it could not be started. `ended` runs once it has ended
// and before it is reaped, while its /proc entry still names it (the writers' watch reads it).
int RunCommand(const std::vector<std::string>& command, const platform::CommandCgroup* cgroup,
               const std::function<void()>& ended, std::ostream& err) {
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        err << "norv: " << Shown(command[0]) << " を起動できません: " << std::strerror(errno)
            << "\n";
        return 127;
    }
    if (child == 0) {
        // The command gets the signals this process keeps for its own thread.
        sigset_t none;
        sigemptyset(&none);
        ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
        if (cgroup != nullptr) {
            if (const int failed = cgroup->JoinFromChild(); failed != 0) {
                const std::string line = "norv: コマンドを専用の cgroup に入れられません: " +
                                         std::string(std::strerror(failed)) + "\n";
                (void)!::write(STDERR_FILENO, line.data(), line.size());
                ::_exit(127);
            }
        }
        ::execvp(argv[0], argv.data());
        const std::string line =
            "norv: " + Shown(command[0]) + " を実行できません: " + std::strerror(errno) + "\n";
        (void)!::write(STDERR_FILENO, line.data(), line.size());
        ::_exit(127);
    }
    platform::WaitForChildToEnd(child);
    ended();
    const std::optional<int> status = platform::WaitForChild(child);
    if (!status) return 127;
    if (WIFSIGNALED(*status)) return 128 + WTERMSIG(*status);
    return WEXITSTATUS(*status);
}

// A check, waiting while another norv holds the program folder (a watch busy with the
// deploy's events).
Status CheckWaitingForTheFolder(Application& app) {
    const auto give_up = app.context().env->SteadyNow() + kMostLockWait;
    for (;;) {
        Status status = app.engine().Check();
        if (!status.Is(ErrorKind::kBusy) || app.context().env->SteadyNow() > give_up) {
            return status;
        }
        std::this_thread::sleep_for(kLockRetry);
    }
}

// Asks on the terminal; only "y" or "yes" is a yes.
bool AskYes(Console console, std::ostream& err, const std::string& question) {
    err << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(console.in, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "はい";
}

// What becomes of changes not accepted, once the hold ends: they stay changes.
std::string LeftAsChanges(const Application& app) {
    return std::string(
               "変更のまま残ります (norv-cli changes で確かめ、norv-cli accept で承認で"
               "きます") +
           (app.switches().auto_restore != 0
                ? "。自動復旧がオンのため、保留を解除したあとの検査で基準の内容に戻ります)"
                : ")");
}

// Prints the changes under the held rules and accepts them when the administrator agrees: the
// accept's exit status, or 1 when there were changes and none was accepted.
int AcceptHeldChanges(Application& app, const DeployOptions& options, const DeployWatch* writers,
                      const std::optional<Message>& writers_unknown, Console console,
                      std::ostream& out, std::ostream& err) {
    auto list = app.acceptor().LoadChanges();
    if (!list.ok()) {
        err << "norv: " << Shown(list.status()) << " (何も承認しません)\n";
        return kExitFailure;
    }
    std::vector<ReviewedChange> items = list->changes;
    if (!options.rules.empty()) {
        std::vector<std::string> unmatched;
        items = SelectChanges(list.value(), options.rules, &unmatched);
    }
    if (items.empty()) {
        out << "承認する変更はありません\n";
        return kExitUnchanged;
    }
    for (const ReviewedChange& change : items) PrintChange(app, change, out);
    out << std::flush;
    if (writers == nullptr) {
        if (options.yes) {
            err << "norv: " << Shown(Message(NoticeCode::kDeployNeedsFanotify, {*writers_unknown}))
                << "。" << LeftAsChanges(app) << "\n";
            return kExitChanged;
        }
        err << "norv: 書き込んだプロセスを見分けられません (" << Shown(*writers_unknown)
            << ")。承認する前に確かめてください\n";
    }
    // Only what the command wrote, and no other process, is the deploy's to accept.
    std::vector<ReviewedChange> own;
    size_t not_own = 0;
    for (ReviewedChange& change : items) {
        std::optional<Message> why =
            writers != nullptr ? writers->NotOwn(change.path) : std::nullopt;
        if (why) {
            err << "norv: 承認しません: " << Shown(*why) << "\n";
            ++not_own;
        } else {
            own.push_back(std::move(change));
        }
    }
    items = std::move(own);
    if (not_own > 0) err << "norv: 承認しない変更は" << LeftAsChanges(app) << "\n";
    if (items.empty()) return kExitChanged;
    if (!options.yes) {
        if (!console.terminal) {
            err << "norv: 端末がなく --yes もないため、" << items.size()
                << " 件の変更を何も承認しません。" << LeftAsChanges(app) << "\n";
            return kExitChanged;
        }
        if (!AskYes(console, err, std::to_string(items.size()) + " 件の変更を承認しますか?")) {
            err << "norv: 何も承認しませんでした。" << LeftAsChanges(app) << "\n";
            return kExitChanged;
        }
    }
    auto outcome = app.acceptor().Accept(list->generation, items, app.process().user);
    if (!outcome.ok()) {
        err << "norv: " << Shown(outcome.status()) << "\n";
        return kExitFailure;
    }
    out << "承認しました: " << outcome->accepted.size() << " 件";
    if (!outcome->refused.empty())
        out << "  承認しなかったもの: " << outcome->refused.size() << " 件";
    out << "\n";
    for (const Refusal& refusal : outcome->refused) {
        err << "norv: 承認しません: " << Shown(refusal.reason) << "\n";
    }
    return outcome->all_accepted() && not_own == 0 ? kExitUnchanged : kExitChanged;
}

}  // namespace

int RunDeploy(Application& app, const DeployOptions& options, Console console, Terminal& terminal,
              std::ostream& out, std::ostream& err) {
    platform::Env& env = *app.context().env;
    // Each check's progress line goes once the check is done, before anything else is said.
    auto check = [&] {
        Status checked = CheckWaitingForTheFolder(app);
        terminal.ClearProgress();
        return checked;
    };
    for (const std::string& rule : options.rules) {
        bool known = false;
        for (const Rule& r : app.rules().rules) known = known || r.path == rule;
        if (!known) {
            err << "norv: " << Shown(rule) << " はルールにありません\n";
            return kExitFailure;
        }
    }
    HoldRecord record;
    record.pid = ::getpid();
    const auto started = ProcessStartTime(env, record.pid);
    if (!started) {
        err << "norv: このプロセスの開始時刻を /proc から読めないため保留できません\n";
        return kExitFailure;
    }
    record.started = *started;
    record.expires =
        std::chrono::duration_cast<std::chrono::seconds>(app.clock().Now().time_since_epoch())
            .count() +
        options.hold_minutes * 60;
    record.rules = options.rules;
    auto hold = Hold::Take(env, app.context().folders.state, app.clock(), record);
    if (!hold.ok()) {
        err << "norv: 保留できません: " << Shown(hold.status().message()) << "\n";
        return kExitFailure;
    }
    err << "norv: " << (options.rules.empty() ? std::string("すべてのルール") : "指定のルール")
        << "への対応を保留しました (最長 " << options.hold_minutes << " 分)\n";

    // The command's own cgroup, and the watch that tells its writes from everyone else's.
    std::optional<Message> writers_unknown;
    std::unique_ptr<platform::CommandCgroup> cgroup;
    std::unique_ptr<DeployWatch> writers;
    if (!app.process().fanotify) {
        writers_unknown = Message(NoticeCode::kCannotStartFanotify);
    } else if (auto made =
                   platform::CommandCgroup::Make(env, "norv-deploy-" + std::to_string(record.pid));
               !made.ok()) {
        writers_unknown = made.status().what();
    } else {
        cgroup = std::move(made).value();
        auto watching = DeployWatch::Start(env, app.rules(), options.rules, *cgroup);
        if (watching.ok()) {
            writers = std::move(watching).value();
        } else {
            writers_unknown = watching.status().what();
        }
    }

    const int ran = RunCommand(
        options.command, cgroup.get(),
        [&] {
            if (writers) writers->Stop();
        },
        err);
    if (ran != 0) {
        err << "norv: コマンドが失敗しました (終了ステータス " << ran
            << ")。何も承認しません。保留を解除し、変更にはふだんどおり対応します"
            << (app.switches().auto_restore != 0
                    ? " (自動復旧がオンのため、変更されたファイルは基準の内容に戻ります)"
                    : " (自動復旧がオフのため、変更されたファイルはそのまま残り、報告されます)")
            << "\n";
        Status ended = (*hold)->End();
        if (!ended.ok()) err << "norv: " << Shown(ended.message()) << "\n";
        Status checked = check();
        if (!checked.ok()) err << "norv: " << Shown(checked) << "\n";
        return ran;
    }

    Status checked = check();
    if (!checked.ok()) {
        err << "norv: " << Shown(checked) << " (何も承認せず、保留を解除します)\n";
        return kExitFailure;
    }
    const int accepted =
        AcceptHeldChanges(app, options, writers.get(), writers_unknown, console, out, err);
    Status ended = (*hold)->End();
    if (!ended.ok()) {
        err << "norv: " << Shown(ended.message()) << "\n";
        return kExitFailure;
    }
    err << "norv: 保留を解除しました\n";
    // What changed while the hold lasted and was not accepted (written after the check above,
    // while the administrator answered, or refused) is answered now, as any change is.
    Status answered = check();
    if (!answered.ok()) {
        err << "norv: " << Shown(answered) << "\n";
        return kExitFailure;
    }
    return accepted;
}

}  // namespace norv::cli
