// A check with the extended fingerprint: every recorded fact that changes is an alteration with
// what changed, a fact not read never is, an old baseline is extended without a report, and a
// file that changes while it is read is never recorded half-measured.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>

#include "platform/base/notice_code.h"
#include "platform/digest/md5.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/fault_env.h"
#include "tests/support/file_attributes.h"
#include "tests/support/race_env.h"

namespace norv {
namespace {

// Each change event's facts, by path.
class RecordedEvents : public EventSink {
  public:
    void BeginRun(std::string_view) override {}
    void Change(const ChangeEvent& change) override {
        changes[change.path] = change.changed;
        if (change.kind == ChangeKind::kMoved) moved_from[change.path] = change.moved_from;
    }
    void Action(const std::string&, ResponseAction, bool, const Message&) override {}
    void EndRun(const ScanCounters&, std::string_view) override {}
    std::vector<std::string_view> Facts(const std::string& path) const {
        std::vector<std::string_view> names;
        for (const auto& fact : changes.at(path)) names.push_back(platform::FactName(fact.fact));
        return names;
    }
    std::map<std::string, std::vector<platform::FactChange>> changes;
    std::map<std::string, std::string> moved_from;  // each move's path now and recorded path
};

class FingerprintCheckTest : public testing::EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        engine->SetEventSink(&events);
        testing::WriteAll(context.RulesPath(), "<rule>" + tree.path() + ",3</rule>\r\n");
        SetRules({{tree.path(), RuleKind::kTree}});
    }
    void Init() { ASSERT_TRUE(engine->Initialise().ok()); }
    std::string Page(const std::string& name, const std::string& content) {
        const std::string path = tree.Write(name, content);
        EXPECT_EQ(::chmod(path.c_str(), 0640), 0);
        return path;
    }
    RecordedEvents events;
};

TEST_F(FingerprintCheckTest, EachRecordedFactThatChangesIsAlteredWithWhatChanged) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners and capabilities are root's to give";
    const std::string twin = Page("twin.bin", testing::Md5CollisionA());
    const std::string setuid = Page("setuid.sh", "#!/bin/sh\n");
    const std::string owner = Page("owner.html", "o");
    const std::string group = Page("group.html", "g");
    const std::string raw = Page("raw.bin", "r");
    const std::string shared = Page("shared.html", "s");
    const std::string tagged = Page("tagged.html", "t");
    const std::string locked = Page("locked.html", "l");
    Page("same.html", "same");
    const std::string uploads = tree.MakeDir("uploads");
    ASSERT_EQ(::chmod(uploads.c_str(), 0755), 0);
    const std::string pipe = tree / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    Init();
    struct stat before {};
    ASSERT_EQ(::stat(twin.c_str(), &before), 0);
    // The twin with the same MD5, size and time.
    testing::WriteAll(twin, testing::Md5CollisionB());
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, twin.c_str(), times, 0), 0);
    ASSERT_EQ(::chmod(setuid.c_str(), 04777), 0);
    ASSERT_EQ(::chown(owner.c_str(), 65534, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(::chown(group.c_str(), static_cast<uid_t>(-1), 65534), 0);
    ASSERT_TRUE(testing::SetCapabilities(raw, "cap_net_raw=ep"));
    // The mask keeps the group bits: the ACL alone changes.
    ASSERT_TRUE(testing::SetAcl(shared, "u::rw-,u:65534:r--,g::r--,m::r--,o::---"));
    ASSERT_EQ(::setxattr(tagged.c_str(), "user.x", "1", 1, 0), 0);
    ASSERT_TRUE(testing::SetInodeFlags(locked, 0x10));  // chattr +i
    ASSERT_EQ(::chmod(uploads.c_str(), 02777), 0);
    ASSERT_EQ(::chown(pipe.c_str(), 65534, static_cast<gid_t>(-1)), 0);

    mode = ScanMode::kCheck;
    ASSERT_TRUE(engine->RunScan().ok());
    ASSERT_TRUE(testing::SetInodeFlags(locked, 0));
    EXPECT_EQ(counters.altered, 10);
    EXPECT_EQ(counters.created + counters.deleted, 0);
    EXPECT_EQ(ChangeLines().size(), 10u);
    using Names = std::vector<std::string_view>;
    EXPECT_EQ(events.Facts(twin), Names{"content"});
    EXPECT_EQ(events.changes[twin][0].was,
              "sha256:" + platform::Sha256Hex(testing::Md5CollisionA()));
    EXPECT_EQ(events.changes[twin][0].now,
              "sha256:" + platform::Sha256Hex(testing::Md5CollisionB()));
    EXPECT_EQ(events.Facts(setuid), Names{"mode"});
    EXPECT_EQ(events.changes[setuid][0].now, "4777");
    EXPECT_EQ(events.Facts(owner), Names{"owner"});
    EXPECT_EQ(events.Facts(group), Names{"group"});
    EXPECT_EQ(events.Facts(raw), Names{"capabilities"});
    EXPECT_EQ(events.changes[raw][0].now, "cap_net_raw=ep");
    EXPECT_EQ(events.Facts(shared), Names{"acl"});
    EXPECT_EQ(events.Facts(tagged), Names{"xattrs"});
    EXPECT_EQ(events.changes[tagged][0].was, "");
    EXPECT_EQ(events.changes[tagged][0].now, "user.x=1");
    EXPECT_EQ(events.Facts(locked), Names{"flags"});
    EXPECT_EQ(events.changes[locked][0].now, "i");
    EXPECT_EQ(events.Facts(uploads + "/"), Names{"mode"});
    EXPECT_EQ(events.changes[uploads + "/"][0].now, "2777");
    EXPECT_EQ(events.Facts(pipe), Names{"owner"});
    // The response is told what the baseline holds, to put it back.
    ASSERT_EQ(hooks.recorded_files.size(), 10u);
    for (const RecordedFile& recorded : hooks.recorded_files) {
        ASSERT_TRUE(recorded.extended.has_value());
        const uint32_t mode_recorded = recorded.place_kind == "folder" ? 0755u
                                       : recorded.place_kind == "fifo" ? 0600u
                                                                       : 0640u;
        EXPECT_EQ(recorded.extended->mode, mode_recorded) << recorded.place_kind;
    }
}

// A recorded FIFO that is gone is deleted, a planted one new; the folders of a baseline made
// before folders were recorded gain their records at the next check, without a report.
TEST_F(FingerprintCheckTest, SpecialFilesComeAndGoAndOlderBaselinesGainTheirFolders) {
    const std::string uploads = tree.MakeDir("uploads");
    ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0600), 0);
    Init();
    ::unlink((tree / "pipe").c_str());
    ASSERT_EQ(::mkfifo((tree / "uploads/planted").c_str(), 0600), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(ChangeLines(), (std::vector<std::string>{"Created: " + uploads + "/planted",
                                                       "Deleted: " + tree / "pipe"}));
    ::unlink((tree / "uploads/planted").c_str());

    for (const char* sql :
         {"DELETE FROM norv_places", "DELETE FROM norv_state WHERE name='places'"}) {
        ASSERT_TRUE(context.db_conn->Exec(sql).ok()) << sql;
    }
    ASSERT_EQ(::chmod(uploads.c_str(), 0777), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.changes(), 0);
    ASSERT_EQ(::chmod(uploads.c_str(), 02777), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(ChangeLines(), (std::vector<std::string>{"Altered: " + uploads + "/"}));
}

// A baseline recorded before the other attributes and the flags were: the tables gain the
// columns, the first check records them for unchanged files without a report, then compares.
TEST_F(FingerprintCheckTest, ABaselineWithoutTheLaterFactsReportsNothingForThem) {
    const std::string tagged = Page("tagged.html", "t");
    ASSERT_EQ(::setxattr(tagged.c_str(), "user.x", "1", 1, 0), 0);
    Init();
    for (const char* sql :
         {"ALTER TABLE fingerprint DROP COLUMN xattrs", "ALTER TABLE fingerprint DROP COLUMN flags",
          "ALTER TABLE norv_changes DROP COLUMN xattrs",
          "ALTER TABLE norv_changes DROP COLUMN flags"}) {
        ASSERT_TRUE(context.db_conn->Exec(sql).ok()) << sql;
    }
    engine.reset();
    store = FileInfoStore::Open(*context.db_conn, false).value();
    engine = std::make_unique<ScanEngine>(
        ProcessState{context, settings, switches, rules, mode, counters}, *store,
        EngineHooks{clock, *regional, hooks, hooks, *this, hooks, hooks}, commands);
    engine->SetEventSink(&events);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 0);
    EXPECT_EQ(store->ReadChangeList()->changes.size(), 0u);
    ASSERT_EQ(::setxattr(tagged.c_str(), "user.x", "2", 1, 0), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(events.changes[tagged][0].was, "user.x=1");
}

// A file system without ACLs, or a read refused: said once in the run, and the other facts are
// still compared.
TEST_F(FingerprintCheckTest, AFactThatCannotBeReadIsSaidOnceAndIsNeverAnAlteration) {
    Page("a.html", "a");
    const std::string b = Page("b.html", "b");
    ASSERT_TRUE(testing::SetAcl(b, "u::rw-,u:65534:r--,g::r--,m::r--,o::---"));
    Init();
    ASSERT_EQ(::chmod(b.c_str(), 0600), 0);
    testing::FaultEnv faults;
    faults.Fail(testing::Call::kFListXattr, ERANGE, 0);
    faults.Fail(testing::Call::kFGetXattr, EOPNOTSUPP, 0, platform::kAclXattr);
    context.env = &faults;
    ASSERT_TRUE(engine->Check().ok());
    context.env = &testing::SystemEnv();
    EXPECT_EQ(faults.MatchedCalls(testing::Call::kFGetXattr), 3);  // the files and their folder
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(events.Facts(b), std::vector<std::string_view>{"mode"});
    // Without a listing the other attributes cannot be read either.
    EXPECT_EQ(LinesWith("Warning: "), 2u);
    EXPECT_EQ(LinesWith("kFactUnreadable(kAclFact(), "), 1u);
    EXPECT_EQ(LinesWith("kFactUnreadable(kXattrsFact(), "), 1u);
    EXPECT_EQ(engine->unseen_places(), 0u);
}

// A baseline of a program that knew only MD5: the first check records the rest for every
// unchanged file without a report, says so once, and from then on compares everything.
TEST_F(FingerprintCheckTest, AnOldBaselineIsExtendedWithoutAReportAndSaysSoOnce) {
    const std::string page = Page("index.html", "home");
    const std::string defaced = Page("defaced.html", "good");
    Init();
    ASSERT_TRUE(context.db_conn->Exec("DROP TABLE fingerprint").ok());
    testing::WriteAll(defaced, "defaced");  // altered before the upgrade
    engine.reset();
    store = FileInfoStore::Open(*context.db_conn, false).value();
    engine = std::make_unique<ScanEngine>(
        ProcessState{context, settings, switches, rules, mode, counters}, *store,
        EngineHooks{clock, *regional, hooks, hooks, *this, hooks, hooks}, commands);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{"Altered: " + defaced});
    EXPECT_EQ(LinesWith("Notice: kFingerprintExtended()"), 1u);
    EXPECT_EQ(std::count_if(hooks.notices.begin(), hooks.notices.end(),
                            [](const Notice& notice) {
                                return notice.text == Message(NoticeCode::kFingerprintExtended);
                            }),
              1);
    // The altered file's content is not the baseline's: it gets no facts.
    EXPECT_TRUE(store->LookupBaseline(page)->value().extended.has_value());
    EXPECT_FALSE(store->LookupBaseline(defaced)->value().extended.has_value());

    ASSERT_EQ(::chmod(page.c_str(), 04777), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 2);
    EXPECT_EQ(LinesWith("Notice: "), 0u);
}

// Something writing a file while it is read: a check reports it altered once and keeps the
// last real digest; an init measures it again, and one that never holds still keeps its
// previous baseline.
TEST_F(FingerprintCheckTest, AFileChangingWhileItIsReadIsAlteredOnceAndNeverRecorded) {
    const std::string page = Page("index.html", std::string(300000, 'h'));
    Init();
    // Its end is rewritten after its start was read: what was read is no content it ever had.
    testing::RaceEnv rewriter;
    rewriter.After(testing::Call::kRead, "index.html", [&] {
        const int writer = ::open(page.c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT_EQ(::pwrite(writer, "X", 1, 299999), 1);
        ::close(writer);
    });
    context.env = &rewriter;
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(rewriter.Fired(), 1);
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(ChangeLines().size(), 1u);
    ASSERT_EQ(events.changes[page].size(), 1u);
    EXPECT_EQ(events.changes[page][0].fact, platform::Fact::kContent);
    EXPECT_FALSE(events.changes[page][0].now.has_value());
    EXPECT_EQ(Rows().at(page).md5c, Rows().at(page).md5o);

    // Its mode flipped during a read: measured again, or left out when it never holds still.
    auto flip = [&] {
        struct stat st {};
        if (::stat(page.c_str(), &st) == 0) ::chmod(page.c_str(), (st.st_mode & 07777) ^ 0100);
    };
    testing::RaceEnv once;
    once.After(testing::Call::kRead, "index.html", flip);
    testing::WriteAll(page, "new home");
    context.env = &once;
    Init();
    EXPECT_EQ(once.Fired(), 1);
    EXPECT_EQ(Rows().at(page).md5o, platform::Md5Hex("new home"));
    testing::RaceEnv always;
    always.After(testing::Call::kRead, "index.html", flip, 0);
    testing::WriteAll(page, "newer home");
    context.env = &always;
    Init();
    context.env = &testing::SystemEnv();
    EXPECT_EQ(engine->unseen_places(), 1u);
    EXPECT_EQ(Rows().at(page).md5o, platform::Md5Hex("new home"));
}

// A file past the hash budget has a digest of part of its content: a deface hidden by growing
// the file with a hole is a change of length, a change inside one that stays large a change of
// time, and one that did not change is compared in part, with a warning, never unchanged.
TEST_F(FingerprintCheckTest, AFileComparedOnPartOfItsContentIsAlteredByItsLengthOrTime) {
    const int64_t past_budget = platform::kDefaultHashBudget.most_bytes + (int64_t{1} << 30);
    const std::string grown = Page("grown.html", "welcome");
    const std::string large = Page("large.img", "");
    const std::string still = Page("still.img", "");
    ASSERT_EQ(::truncate(large.c_str(), past_budget), 0);
    ASSERT_EQ(::truncate(still.c_str(), past_budget), 0);
    Init();
    testing::WriteAll(grown, "defaced");
    ASSERT_EQ(::truncate(grown.c_str(), past_budget), 0);
    const int writer = ::open(large.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::pwrite(writer, "X", 1, past_budget / 2), 1);
    ::close(writer);
    struct stat st {};
    ASSERT_EQ(::stat(large.c_str(), &st), 0);
    const timespec later[2] = {st.st_atim, {st.st_mtim.tv_sec + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, large.c_str(), later, 0), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 2);
    EXPECT_EQ(events.Facts(grown), std::vector<std::string_view>{"size"});
    EXPECT_EQ(events.Facts(large), std::vector<std::string_view>{"time"});
    EXPECT_EQ(events.changes.count(still), 0u);
    EXPECT_GE(LinesWith("still.img: kHashedInPart(") + LinesWith("still.img: kComparedInPart()"),
              1u);
}

// A file renamed within the trees, the same in content, length and attributes, is one move in the
// events, the change list and the response; the log keeps its deleted and created lines. Renamed
// with another mode, it is a deleted file and a new one.
TEST_F(FingerprintCheckTest, AFileRenamedIsOneMoveAndTheLogKeepsItsTwoLines) {
    const std::string page = Page("page.html", "same");
    const std::string twin = Page("twin.html", "twin");
    Page("gone.html", "gone");
    const std::string moved = tree.MakeDir("old") + "/page.html";
    Init();
    ASSERT_EQ(::rename(page.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::rename(twin.c_str(), (tree / "twin2.html").c_str()), 0);
    ASSERT_EQ(::chmod((tree / "twin2.html").c_str(), 0666), 0);
    ::unlink((tree / "gone.html").c_str());
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.created, 2);
    EXPECT_EQ(counters.deleted, 3);
    std::vector<std::string> lines = ChangeLines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines,
              (std::vector<std::string>{"Created: " + moved, "Created: " + tree / "twin2.html",
                                        "Deleted: " + tree / "gone.html", "Deleted: " + page,
                                        "Deleted: " + twin}));
    EXPECT_EQ(events.moved_from, (std::map<std::string, std::string>{{moved, page}}));
    EXPECT_EQ(events.changes.size(), 4u);
    const auto list = store->ReadChangeList()->changes;
    ASSERT_EQ(list.size(), 4u);
    const auto move = std::find_if(list.begin(), list.end(), [](const auto& change) {
        return change.kind == ChangeKind::kMoved;
    });
    ASSERT_NE(move, list.end());
    EXPECT_EQ(move->path, moved);
    EXPECT_EQ(move->moved_from, page);
    EXPECT_EQ(move->old_facts, move->new_facts);
    ASSERT_EQ(hooks.recorded_files.size(), 4u);
    const auto answered = std::find(hooks.changes.begin(), hooks.changes.end(),
                                    std::make_pair(std::string("moved"), moved));
    ASSERT_NE(answered, hooks.changes.end());
    EXPECT_EQ(hooks.recorded_files[answered - hooks.changes.begin()].moved_from, page);
}

}  // namespace
}  // namespace norv
