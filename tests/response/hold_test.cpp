// The hold: a held change is left alone; a hold ends by itself when its holder is gone (its lock
// on the record with it); a record nobody but root could have written is the only one that
// counts.
#include "response/hold.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "platform/base/notice_code.h"
#include "response/change_response.h"
#include "tests/response/response_fixture.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::ReadAll;
using testing::TempDir;

// The response's fixture (its site, rule and archive), with a program folder for the hold.
class HoldTest : public ResponseTest {
  protected:
    void SetUp() override {
        ResponseTest::SetUp();
        program = dir.MakeDir("program");
        Archive();
        reader = std::make_unique<HoldReader>(env, program, clock);
        response.SetHoldReader(reader.get());
    }
    // A record for process `pid`, an hour from the clock's now, holding `held`.
    HoldRecord RecordOf(pid_t pid, std::vector<std::string> held = {}) {
        HoldRecord record;
        record.pid = pid;
        record.started = ProcessStartTime(env, pid).value_or(0);
        record.expires =
            std::chrono::duration_cast<std::chrono::seconds>(clock.Now().time_since_epoch())
                .count() +
            3600;
        record.rules = std::move(held);
        return record;
    }
    // Defaces the page and answers it as a check would.
    ResponseOutcome Deface() {
        tree.Write("www/index.html", "hacked");
        const bool held = response.Holds(index);
        ResponseOutcome outcome = response.RespondToChange(ChangeKind::kAltered, index, {});
        EXPECT_EQ(held, ReadAll(index) == "hacked");
        return outcome;
    }
    bool Said(NoticeCode code) {
        for (const Notice& notice : hooks.notices) {
            if (notice.text.Has(code)) return true;
        }
        return false;
    }

    platform::Env& env = testing::SystemEnv();
    std::string program;
    std::unique_ptr<HoldReader> reader;
};

TEST_F(HoldTest, AHeldChangeIsLeftUntilTheHoldEndsOrItsTimeIsUp) {
    auto hold = Hold::Take(env, program, clock, RecordOf(::getpid(), {tree / "www"}));
    ASSERT_TRUE(hold.ok()) << hold.status().ToString();
    struct stat st {};
    ASSERT_EQ(::stat((program + "/" + kHoldFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A second deploy is refused while the first holds.
    EXPECT_TRUE(
        Hold::Take(env, program, clock, RecordOf(::getpid())).status().Is(ErrorKind::kBusy));

    EXPECT_EQ(Deface().left, ResponseOutcome::Left::kUntouched);
    EXPECT_EQ(ReadAll(index), "hacked");
    ASSERT_TRUE((*hold)->End().ok());
    Deface();
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");

    // Past its time, a hold ends by itself, and says so.
    hold = Hold::Take(env, program, clock, RecordOf(::getpid()));
    ASSERT_TRUE(hold.ok());
    EXPECT_FALSE(response.HeldChangesFreed());  // a hold stands
    Deface();
    EXPECT_FALSE(response.HeldChangesFreed());
    clock.Advance(std::chrono::seconds(3600));
    // The watch learns once that what was left can be answered now.
    EXPECT_TRUE(response.HeldChangesFreed());
    EXPECT_FALSE(response.HeldChangesFreed());
    ResponseOutcome outcome = Deface();
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    ASSERT_FALSE(outcome.failures.empty());  // the log's Warning line
    EXPECT_TRUE(outcome.failures[0].Has(NoticeCode::kHoldExpired)) << Render(outcome.failures[0]);
    EXPECT_FALSE(platform::FileExists(env, program + "/" + kHoldFileName));
}

TEST_F(HoldTest, AHoldWhoseHolderWasKilledEndsByItself) {
    // The holder is a process of its own, which takes the hold and waits to be killed.
    int taken[2];
    ASSERT_EQ(::pipe(taken), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        auto hold = Hold::Take(env, program, clock, RecordOf(::getpid()));
        const char said = hold.ok() ? 'y' : 'n';
        (void)!::write(taken[1], &said, 1);
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::close(taken[1]);
    char said = 0;
    ASSERT_EQ(::read(taken[0], &said, 1), 1);
    ::close(taken[0]);
    ASSERT_EQ(said, 'y');
    EXPECT_TRUE(response.Holds(index));
    ::kill(child, SIGKILL);
    // Killed but not yet reaped: its pid still names a process, which holds nothing.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    Deface();
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_TRUE(Said(NoticeCode::kHoldHolderGone)) << hooks.messages.size();
    EXPECT_FALSE(platform::FileExists(env, program + "/" + kHoldFileName));
    ::waitpid(child, nullptr, 0);
}

TEST_F(HoldTest, ARecordNotRootsOwnAndPrivateIsIgnoredWithAWarning) {
    const std::string record = program + "/" + kHoldFileName;
    const std::string text = HoldText(RecordOf(::getpid()));
    const std::string elsewhere = dir.Write("elsewhere", text);
    ::chmod(elsewhere.c_str(), 0600);
    struct Case {
        const char* what;
        std::function<void()> make;
        NoticeCode why;  // what the warning says of it
    };
    const Case cases[] = {
        {"group-readable", [&] { ::chmod(dir.Write("program/norv-hold", text).c_str(), 0640); },
         NoticeCode::kHoldModeNotPrivate},
        {"another owner",
         [&] {
             const std::string made = dir.Write("program/norv-hold", text);
             ::chmod(made.c_str(), 0600);
             ASSERT_EQ(::chown(made.c_str(), 1000, 1000), 0);
         },
         NoticeCode::kHoldOwnerNotRoot},
        {"a link", [&] { ASSERT_EQ(::symlink(elsewhere.c_str(), record.c_str()), 0); },
         NoticeCode::kHoldUnopenedIgnored},
        {"malformed",
         [&] { ::chmod(dir.Write("program/norv-hold", "norv-hold 1\npid=x\n").c_str(), 0600); },
         NoticeCode::kHoldMalformed},
    };
    for (const Case& c : cases) {
        ::unlink(record.c_str());
        c.make();
        hooks.notices.clear();
        Deface();
        EXPECT_EQ(ReadAll(index), "<h1>good</h1>") << c.what;
        EXPECT_TRUE(Said(c.why)) << c.what;
        EXPECT_TRUE(Said(NoticeCode::kHoldIgnored) || Said(NoticeCode::kHoldUnopenedIgnored))
            << c.what;
    }
    // Once said, the same record is not said again at every change.
    hooks.notices.clear();
    Deface();
    EXPECT_FALSE(Said(NoticeCode::kHoldIgnored) || Said(NoticeCode::kHoldUnopenedIgnored));
    // The very same text, root's and 0600, holds while its holder keeps it locked.
    ::unlink(record.c_str());
    ::chmod(dir.Write("program/norv-hold", text).c_str(), 0600);
    const int holder = ::open(record.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    Deface();
    EXPECT_EQ(ReadAll(index), "hacked");
    ::close(holder);
}

// A new deploy's record put in place of an expired one between the look and its removal: only
// the very record read goes, and the new hold stands.
TEST_F(HoldTest, AnExpiredRecordReplacedMeanwhileIsNotRemoved) {
    const std::string record = program + "/" + kHoldFileName;
    ::chmod(dir.Write("program/norv-hold", HoldText(RecordOf(::getpid()))).c_str(), 0600);
    clock.Advance(std::chrono::seconds(3600));
    const std::string fresh = HoldText(RecordOf(::getpid(), {tree / "www"}));
    testing::RaceEnv swapper(&env);
    int holder = -1;  // the new deploy's lock on its record
    swapper.Before(testing::Call::kFStatAt, kHoldFileName, [&] {
        const std::string next = dir.Write("program/next", fresh);
        ::chmod(next.c_str(), 0600);
        holder = ::open(next.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        ASSERT_EQ(::rename(next.c_str(), record.c_str()), 0);
    });
    HoldReader raced(swapper, program, clock);
    const HoldLook look = raced.ReadHold();
    EXPECT_FALSE(look.hold);
    EXPECT_EQ(swapper.Fired(), 1);
    EXPECT_EQ(ReadAll(record), fresh);
    EXPECT_TRUE(raced.ReadHold().hold);
    ::close(holder);
}

}  // namespace
}  // namespace norv
