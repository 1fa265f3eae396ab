#include "response/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/base/notice_code.h"
#include "tests/support/fault_env.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::RecordingHooks;
using testing::TempDir;

// The events' time zone for one test, and the process's own back afterwards.
class ZoneScope {
  public:
    explicit ZoneScope(const char* zone) {
        if (const char* tz = std::getenv("TZ")) saved_ = tz;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope() {
        if (saved_.empty()) {
            ::unsetenv("TZ");
        } else {
            ::setenv("TZ", saved_.c_str(), 1);
        }
        ::tzset();
    }

  private:
    std::string saved_;
};

bool IsRfc3339(const std::string& text) {
    static const std::regex form(
        R"(\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])T([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3})"
        R"([+-]([01]\d|2[0-3]):[0-5]\d)");
    return std::regex_match(text, form) && text.substr(0, 4) != "0000";
}

TEST(EventTime, EveryTimeIsValidRfc3339) {
    ZoneScope utc("UTC");
    EXPECT_EQ(Rfc3339(0, 0), "1970-01-01T00:00:00.000+00:00");
    EXPECT_EQ(Rfc3339(-1, 0), "1969-12-31T23:59:59.000+00:00");
    EXPECT_EQ(Rfc3339(-3486992138, 291), "1859-07-03T07:04:22.291+00:00");
    EXPECT_EQ(Rfc3339(951782400, 5), "2000-02-29T00:00:00.005+00:00");
    // Beyond the years RFC 3339 can write: held at the nearest end.
    EXPECT_EQ(Rfc3339(std::numeric_limits<int64_t>::min(), 0), "0001-01-01T00:00:00.000+00:00");
    EXPECT_EQ(Rfc3339(-62135596801, 0), "0001-01-01T00:00:00.000+00:00");
    EXPECT_EQ(Rfc3339(253402300800, 0), "9999-12-31T23:59:59.999+00:00");
    EXPECT_EQ(Rfc3339(std::numeric_limits<int64_t>::max(), 0), "9999-12-31T23:59:59.999+00:00");

    ZoneScope tokyo("Asia/Tokyo");
    EXPECT_EQ(Rfc3339(0, 0), "1970-01-01T09:00:00.000+09:00");
    for (int64_t seconds :
         {std::numeric_limits<int64_t>::min(), int64_t{-62135596800}, int64_t{-3486992138},
          int64_t{-1}, int64_t{253402300799}, std::numeric_limits<int64_t>::max()}) {
        EXPECT_TRUE(IsRfc3339(Rfc3339(seconds, 999))) << seconds << " " << Rfc3339(seconds, 999);
    }
}

// A hard link at the events file's name to another file: no line reaches that file, and the
// failure is said once.
TEST(EventLog, AHardLinkAtTheFilesNameIsNeverWritten) {
    TempDir dir;
    RecordingHooks hooks;
    const std::string other = dir.Write("other.txt", "kept as it is");
    JsonEventLog events(testing::SystemEnv(), dir.path(), EventLogLimits{}, hooks);
    ASSERT_EQ(::link(other.c_str(), events.FilePath().c_str()), 0);
    events.BeginRun("check");
    events.Warning("/srv/www", Message(NoticeCode::kComparedInPart));
    EXPECT_EQ(testing::ReadAll(other), "kept as it is");
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_TRUE(hooks.notices[0].text.Has(NoticeCode::kCannotWriteEvents)) << hooks.messages[0];
    EXPECT_NE(hooks.messages[0].find("kFileHasOtherNames("), std::string::npos)
        << hooks.messages[0];
}

// A hard link put at the events file's name while it is rotated: the file opened after the
// rotation is checked as the first one is, so no line reaches the other file.
TEST(EventLog, AHardLinkPutThereDuringTheRotationIsNeverWritten) {
    TempDir dir;
    RecordingHooks hooks;
    const std::string other = dir.Write("other.txt", "kept as it is");
    testing::RaceEnv race;
    JsonEventLog events(race, dir.path(), EventLogLimits{1024, 1}, hooks);
    events.BeginRun("check");
    events.Warning("/srv/www", std::string(1000, 'x'));
    race.After(testing::Call::kRenameAt, std::string(kEventsFileName) + ".1",
               [&] { EXPECT_EQ(::link(other.c_str(), events.FilePath().c_str()), 0); });
    events.Warning("/srv/www", Message(NoticeCode::kComparedInPart));
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(testing::ReadAll(other), "kept as it is");
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_TRUE(hooks.notices[0].text.Has(NoticeCode::kCannotWriteEvents)) << hooks.messages[0];
    EXPECT_NE(hooks.messages[0].find("kFileHasOtherNames("), std::string::npos)
        << hooks.messages[0];
}

// An events file of norv's that others may write (made by hand, or by an older tool) is made
// owner-only, then written.
TEST(EventLog, AnEventsFileOthersMayWriteIsMadeOwnerOnlyThenWritten) {
    TempDir dir;
    RecordingHooks hooks;
    JsonEventLog events(testing::SystemEnv(), dir.path(), EventLogLimits{}, hooks);
    testing::WriteAll(events.FilePath(), "");
    ASSERT_EQ(::chmod(events.FilePath().c_str(), 0666), 0);
    events.BeginRun("check");
    events.Warning("/srv/www", Message(NoticeCode::kComparedInPart));
    EXPECT_TRUE(hooks.messages.empty()) << hooks.messages[0];
    EXPECT_NE(testing::ReadAll(events.FilePath()).find("/srv/www"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(events.FilePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(EventLog, NoValueStopsALineAndEveryMtimeIsATime) {
    TempDir dir;
    RecordingHooks hooks;
    std::ostringstream copy;
    JsonEventLog events(testing::SystemEnv(), dir.path(), EventLogLimits{}, hooks, &copy);
    events.BeginRun("check");
    const std::string path = "/srv/www/a\xFF\n.html";
    // What changed, with a value not measured (a file that changed while it was read).
    events.Change({ChangeKind::kAltered,
                   path,
                   platform::Md5Digest("old"),
                   platform::Md5Digest("new"),
                   3,
                   -3486992138,
                   {{platform::Fact::kContent, "sha256:aa", std::nullopt},
                    {platform::Fact::kMode, "0644", "4777"}}});
    events.Change({ChangeKind::kCreated,
                   path,
                   std::nullopt,
                   platform::Md5Digest("new"),
                   3,
                   std::numeric_limits<int64_t>::max(),
                   {}});
    EXPECT_NO_THROW(
        events.Action(path, ResponseAction::kQuarantine, false, std::string("wh\xFFy")));
    const std::string lines = copy.str();
    EXPECT_EQ(lines, testing::ReadAll(events.FilePath()));
    std::istringstream in(lines);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 3u) << lines;
    static const std::regex mtime(R"re("mtime":"([^"]*)")re");
    for (size_t i = 0; i < 2; ++i) {
        std::smatch found;
        ASSERT_TRUE(std::regex_search(all[i], found, mtime)) << all[i];
        EXPECT_TRUE(IsRfc3339(found[1].str())) << all[i];
    }
    EXPECT_NE(all[0].find(R"("path":"/srv/www/a\\xFF\n.html")"), std::string::npos) << all[0];
    EXPECT_NE(
        all[0].find(R"("changed":["content","mode"],"old":{"content":"sha256:aa","mode":"0644"},)"
                    R"("new":{"content":null,"mode":"4777"})"),
        std::string::npos)
        << all[0];
    EXPECT_NE(all[1].find(R"("changed":[],"old":{},"new":{})"), std::string::npos) << all[1];
    EXPECT_NE(all[2].find(R"("reason":"wh\\xFFy")"), std::string::npos) << all[2];
    EXPECT_TRUE(hooks.messages.empty());
}

// A change's writer is an object in its event; one gone before it was read says exited alone.
TEST(EventLog, AChangesWriterIsItsEventsWriterObject) {
    TempDir dir;
    RecordingHooks hooks;
    std::ostringstream copy;
    JsonEventLog events(testing::SystemEnv(), dir.path(), EventLogLimits{}, hooks, &copy);
    events.BeginRun("watch");
    const std::string path = "/srv/www/index.html";
    auto writer = std::make_shared<platform::Writer>();
    writer->process = {4242, "/usr/bin/vi", "vi index.html"};
    writer->uid = 1000;
    writer->euid = 1000;
    writer->login_uid = 1000;
    writer->cgroup = "/user.slice/user-1000.slice/session-3.scope";
    writer->unit = "session-3.scope";
    writer->parents = {{4200, "/usr/bin/bash", "-bash"}};
    ChangeEvent written{ChangeKind::kAltered,
                        path,
                        platform::Md5Digest("old"),
                        platform::Md5Digest("new"),
                        3,
                        0,
                        {}};
    written.writer = writer;
    events.Change(written);
    ChangeEvent gone{
        ChangeKind::kCreated, path, std::nullopt, platform::Md5Digest("new"), 3, 0, {}};
    gone.writer = platform::WriterCache::Exited(77);
    events.Change(gone);
    std::istringstream in(copy.str());
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0].find(R"("writer":{"pid":4242,"exe":"/usr/bin/vi","cmdline":"vi index.html",)"
                          R"("uid":1000,"euid":1000,"loginuid":1000,"unit":"session-3.scope",)"
                          R"("cgroup":"/user.slice/user-1000.slice/session-3.scope",)"
                          R"("parents":[{"pid":4200,"exe":"/usr/bin/bash","cmdline":"-bash"}]})"),
              std::string::npos)
        << all[0];
    EXPECT_NE(all[1].find(R"("writer":{"pid":77,"exited":true})"), std::string::npos) << all[1];
}

std::vector<nlohmann::json> EventLines(const std::string& text) {
    std::vector<nlohmann::json> events;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) events.push_back(nlohmann::json::parse(line));
    return events;
}

// The sequence goes on across restarts whatever became of its file: missing, torn or older
// than the events file, the events file's last number is gone past, never given again.
TEST(EventLog, TheSequenceGoesOnAcrossRestartsAndNeverRepeats) {
    TempDir dir;
    RecordingHooks hooks;
    auto one_run = [&] {
        JsonEventLog events(testing::SystemEnv(), dir.path(), EventLogLimits{}, hooks);
        events.BeginRun("check");
        events.EndRun({}, "completed");
        return events.SequenceFilePath();
    };
    const std::string kept = one_run();
    struct stat st {};
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    one_run();
    testing::WriteAll(kept, "garbage");
    one_run();
    testing::WriteAll(kept, "1\n");  // older than the events file
    one_run();
    ASSERT_EQ(::unlink(kept.c_str()), 0);
    one_run();
    std::vector<int64_t> sequences;
    for (const auto& e : EventLines(testing::ReadAll(dir / kEventsFileName))) {
        sequences.push_back(e["event"]["sequence"].get<int64_t>());
    }
    EXPECT_EQ(sequences, (std::vector<int64_t>{1, 2, 3, 4, 5}));
    // The events file rotated away, the saved number alone goes on.
    ASSERT_EQ(::unlink((dir / kEventsFileName).c_str()), 0);
    one_run();
    EXPECT_EQ(EventLines(testing::ReadAll(dir / kEventsFileName))[0]["event"]["sequence"], 6);
    EXPECT_TRUE(hooks.messages.empty()) << hooks.messages[0];
}

// A sequence that cannot be kept is said once; every event is still written, numbered on.
TEST(EventLog, ASequenceThatCannotBeKeptIsSaidOnceAndTheEventsGoOn) {
    TempDir dir;
    RecordingHooks hooks;
    testing::FaultEnv env;
    env.Fail(testing::Call::kOpenAt, EACCES, 0, std::string("*/") + kEventSequenceFileName);
    JsonEventLog events(env, dir.path(), EventLogLimits{}, hooks);
    events.BeginRun("check");
    events.Warning("/srv/www", Message(NoticeCode::kComparedInPart));
    events.EndRun({}, "completed");
    const auto lines = EventLines(testing::ReadAll(events.FilePath()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["event"]["sequence"], 2);
    ASSERT_EQ(hooks.notices.size(), 1u);
    EXPECT_TRUE(hooks.notices[0].text.Has(NoticeCode::kCannotSaveEventSequence))
        << hooks.messages[0];
}

// host.id is the machine id; without one the events go on with the name alone.
TEST(EventLog, TheHostIdIsTheMachineIdAndLeftOutWithoutOne) {
    TempDir dir;
    RecordingHooks hooks;
    std::ostringstream copy;
    testing::FaultEnv no_id;
    no_id.Fail(testing::Call::kOpenAt, ENOENT, 0, "/etc/machine-id");
    JsonEventLog without(no_id, dir.path(), EventLogLimits{}, hooks, &copy);
    without.BeginRun("check");
    without.EndRun({}, "completed");
    const std::string machine_id = testing::ReadAll("/etc/machine-id");
    if (!machine_id.empty()) {
        JsonEventLog with(testing::SystemEnv(), dir.path(), EventLogLimits{}, hooks, &copy);
        with.BeginRun("check");
        with.EndRun({}, "completed");
    }
    const auto lines = EventLines(copy.str());
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(lines[0]["host"].contains("id")) << lines[0];
    EXPECT_FALSE(lines[0]["host"]["name"].get<std::string>().empty());
    if (!machine_id.empty()) {
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1]["host"]["id"], machine_id.substr(0, machine_id.find('\n')));
    }
}

// What the journal is given: a change at warning, a failed restore at error, a done one at
// notice, a run at info and a failed run at error, each with the line the file got.
TEST(EventLog, EachEventReachesTheTapAtItsSeverity) {
    TempDir dir;
    RecordingHooks hooks;
    std::vector<std::pair<EventSeverity, std::string>> tapped;
    JsonEventLog events(testing::SystemEnv(), dir.path(), EventLogLimits{}, hooks);
    events.SetTap([&](EventSeverity severity, const std::string& summary, const std::string& line) {
        tapped.emplace_back(severity, summary);
        EXPECT_EQ(nlohmann::json::parse(line)["event"]["severity"], static_cast<int>(severity));
    });
    const std::string path = "/srv/www/index.html";
    events.BeginRun("check");
    events.Change({ChangeKind::kAltered,
                   path,
                   platform::Md5Digest("old"),
                   platform::Md5Digest("new"),
                   3,
                   0,
                   {}});
    events.Action(path, ResponseAction::kRestore, false, std::string("no copy"));
    events.Action(path, ResponseAction::kQuarantine, true, std::string("/save/x"));
    events.EndRun({}, "completed");
    events.EndRun({}, "failed");
    ASSERT_EQ(tapped.size(), 5u);
    EXPECT_EQ(tapped[0].first, EventSeverity::kWarning);
    EXPECT_EQ(tapped[0].second, "altered " + path);
    EXPECT_EQ(tapped[1].first, EventSeverity::kError);
    EXPECT_EQ(tapped[2].first, EventSeverity::kNotice);
    EXPECT_EQ(tapped[3].first, EventSeverity::kInfo);
    EXPECT_EQ(tapped[4].first, EventSeverity::kError);
}

}  // namespace
}  // namespace norv
