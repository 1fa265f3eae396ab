#include "engine/file_info_store.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::TempDir;

struct Row {
    std::string filename, filesize, filedate, md5o, md5c;
    int64_t flg;
    bool operator==(const Row&) const = default;
};

std::vector<Row> AllRows(platform::Database& db) {
    auto stmt = db.Prepare("SELECT * FROM fileinfo ORDER BY rowid").value();
    std::vector<Row> rows;
    while (stmt->Step().value()) {
        rows.push_back({stmt->ColumnText(0), stmt->ColumnText(1), stmt->ColumnText(2),
                        stmt->ColumnText(3), stmt->ColumnText(4), stmt->ColumnInt(5)});
    }
    return rows;
}

// The old records a new baseline lacks, sorted.
std::vector<std::string> MissingFromNewBaseline(FileInfoStore& store) {
    std::vector<std::string> missing;
    EXPECT_TRUE(store
                    .ForEachMissingFromNewBaseline([&](const std::string& path) {
                        missing.push_back(path);
                        return Status::Ok();
                    })
                    .ok());
    std::sort(missing.begin(), missing.end());
    return missing;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db = platform::Database::Open(testing::SystemEnv(), dir / "norv.db", true).value();
        store = FileInfoStore::Open(*db, true).value();
    }
    TempDir dir;
    std::unique_ptr<platform::Database> db;
    std::unique_ptr<FileInfoStore> store;
};

const std::string kD1(32, 'a');
const std::string kD2(32, 'b');
const platform::Md5Digest kDigest1(kD1);
const platform::Md5Digest kDigest2(kD2);

TEST_F(StoreTest, EachStatementWritesItsColumnsAndFlags) {
    ASSERT_TRUE(store->InsertBaseline("/a/b.txt", 120, "2004/04/11 9:05:22", kDigest1).ok());
    ASSERT_TRUE(store->InsertNew("/a/c.txt", 5, "2004/04/11 9:05:23", kDigest2).ok());
    ASSERT_TRUE(store->Commit().ok());
    EXPECT_EQ(AllRows(*db),
              (std::vector<Row>{{"/a/b.txt", "120", "2004/04/11 9:05:22", kD1, kD1, 0},
                                {"/a/c.txt", "5", "2004/04/11 9:05:23", kD2, " ", 3}}));
    ASSERT_TRUE(store->UpdateSeen("/a/c.txt", 1, kDigest2).ok());
    EXPECT_EQ(AllRows(*db)[1].md5c, kD2);
    EXPECT_EQ(AllRows(*db)[1].flg, 1);

    ASSERT_TRUE(store->MarkAllSeen().ok());
    std::vector<std::string> unseen;
    auto collect = [&](const std::string& f, const FileInfoStore::Baseline& baseline) {
        unseen.push_back(f + " " + baseline.md5o->text().substr(0, 4));
        return Status::Ok();
    };
    ASSERT_TRUE(store->ForEachUnmarked(collect).ok());
    EXPECT_TRUE(unseen.empty());
    ASSERT_TRUE(store->ResetFlags().ok());
    ASSERT_TRUE(store->ForEachUnmarked(collect).ok());
    EXPECT_EQ(unseen, (std::vector<std::string>{"/a/b.txt " + kD1.substr(0, 4),
                                                "/a/c.txt " + kD2.substr(0, 4)}));
    ASSERT_TRUE(store->DeleteAll().ok());
    EXPECT_TRUE(AllRows(*db).empty());
}

// The baseline's digest: equal for equal records whatever order they came in, another when one
// record differs; what a check writes (flags, the digest found, files first seen) leaves it.
TEST_F(StoreTest, TheBaselineDigestFollowsTheBaselineRecordsAlone) {
    TempDir other_dir;
    auto other_db = platform::Database::Open(testing::SystemEnv(), other_dir / "norv.db", true);
    ASSERT_TRUE(other_db.ok());
    auto other = FileInfoStore::Open(**other_db, true).value();
    ASSERT_TRUE(store->InsertBaseline("/a", 1, "d", kDigest1).ok());
    ASSERT_TRUE(store->InsertBaseline("/b", 2, "d", kDigest2).ok());
    ASSERT_TRUE(other->InsertBaseline("/b", 2, "d", kDigest2).ok());
    ASSERT_TRUE(other->InsertBaseline("/a", 1, "d", kDigest1).ok());
    const std::string digest = store->BaselineDigest().value();
    // Its form is a contract: the fleet compares a host's digests across norv's versions. Each
    // value as its length and bytes, a row a line, in name order.
    platform::Sha256Digester expected;
    expected.Update("2:/a1:11:d32:" + kD1 + "\n2:/b1:21:d32:" + kD2 + "\n");
    EXPECT_EQ(digest, expected.HexDigest());
    EXPECT_EQ(other->BaselineDigest().value(), digest);

    ASSERT_TRUE(store->UpdateSeen("/a", FileInfoStore::kSeenAltered, kDigest2).ok());
    ASSERT_TRUE(store->InsertNew("/c", 3, "d", kDigest1).ok());
    EXPECT_EQ(store->BaselineDigest().value(), digest);

    ASSERT_TRUE(store->Commit().ok());
    EXPECT_EQ(store->BaselineDigest().value(), digest);  // kept from here
    ASSERT_TRUE(db->Exec("UPDATE fileinfo SET filedate='e' WHERE filename='/b'").ok());
    EXPECT_NE(store->BaselineDigest().value(), digest);
    // A value held as NULL (a table another program wrote) reads as "-".
    ASSERT_TRUE(db->Exec("UPDATE fileinfo SET filedate=NULL WHERE filename='/b'").ok());
    platform::Sha256Digester with_null;
    with_null.Update("2:/a1:11:d32:" + kD1 + "\n2:/b1:2-32:" + kD2 + "\n");
    EXPECT_EQ(store->BaselineDigest().value(), with_null.HexDigest());
}

TEST_F(StoreTest, PathsAreStoredExactlyAndComparedByteForByte) {
    const std::string names[] = {
        "/x/it's",        "/x/it s", "/x/A.txt", "/x/a.txt", "/x/'); DROP TABLE fileinfo; --",
        "/x/bad\xff\xfe", "/x/新規"};
    for (const auto& n : names) ASSERT_TRUE(store->InsertBaseline(n, 1, "d", kDigest1).ok());
    for (const auto& n : names) {
        auto found = store->LookupBaseline(n);
        ASSERT_TRUE(found.ok());
        EXPECT_TRUE(found->has_value()) << n;
    }
    EXPECT_FALSE(store->LookupBaseline("/x/IT'S")->has_value());
    ASSERT_EQ(AllRows(*db).size(), std::size(names));
    EXPECT_EQ(AllRows(*db)[5].filename, "/x/bad\xff\xfe");
}

TEST_F(StoreTest, ANewBaselineListsTheOldRecordsItLacksByteForByte) {
    const std::string old_names[] = {"/x/a.txt", "/x/a", "/x/A", "/x/bad\xff",
                                     "/x/新規",  "/x/b", "/x/zz"};
    for (const auto& n : old_names) ASSERT_TRUE(store->InsertBaseline(n, 1, "d", kDigest1).ok());
    ASSERT_TRUE(store->InsertNew("/x/new since", 1, "d", kDigest1).ok());  // no baseline to lose
    // A name another program stored as bytes equals no name of the walk's.
    ASSERT_TRUE(db->Exec("INSERT INTO fileinfo VALUES(CAST('/y/b' AS BLOB),'1','d','" + kD1 +
                         "','" + kD1 + "',0)")
                    .ok());
    ASSERT_TRUE(store->BeginBaseline().ok());
    for (const char* n : {"/x/zz", "/x/c", "/x/a", "/x/bad\xff", "/x/A.txt", "/x/b", "/y/b"}) {
        ASSERT_TRUE(store->InsertBaseline(n, 1, "d", kDigest1).ok());
    }
    EXPECT_EQ(MissingFromNewBaseline(*store),
              (std::vector<std::string>{"/x/A", "/x/a.txt", "/x/新規", "/y/b"}));
}

// An init keeps the digest its pass over the new rows took, unless rows were added after it: the
// kept digest is always the one the records give.
TEST_F(StoreTest, AnInitKeepsTheDigestOfTheBaselineItCommits) {
    auto recomputed = [&] {
        EXPECT_TRUE(db->Exec("DELETE FROM norv_state WHERE name='baseline_sha256'").ok());
        return store->BaselineDigest().value();
    };
    ASSERT_TRUE(store->InsertBaseline("/x/old", 1, "d", kDigest1).ok());
    for (bool carry_over : {false, true}) {
        ASSERT_TRUE(store->BeginBaseline().ok());
        ASSERT_TRUE(store->InsertBaseline("/x/b", 2, "d", kDigest2).ok());
        ASSERT_TRUE(store->InsertBaseline("/x/a", 1, "d", kDigest1).ok());
        EXPECT_EQ(MissingFromNewBaseline(*store).size(), carry_over ? 0u : 1u);  // "/x/old" once
        if (carry_over) {
            ASSERT_TRUE(store->InsertBaseline("/x/c", 3, "d", kDigest1).ok());
        }
        ASSERT_TRUE(store->CommitBaseline({}).ok());
        auto kept = db->Prepare("SELECT value FROM norv_state WHERE name='baseline_sha256'");
        ASSERT_TRUE(kept.ok());
        const bool has_kept = (*kept)->Step().value();
        const std::string digest = has_kept ? (*kept)->ColumnText(0) : "";
        kept->reset();
        EXPECT_EQ(has_kept, !carry_over);
        if (has_kept) {
            EXPECT_EQ(digest, recomputed());
        }
    }
}

TEST_F(StoreTest, TwoRecordsForOnePathLookUpTheFirst) {
    ASSERT_TRUE(store->InsertBaseline("/same", 1, "d", kDigest1).ok());
    ASSERT_TRUE(store->InsertBaseline("/same", 1, "d", kDigest2).ok());
    EXPECT_EQ(store->LookupBaseline("/same")->value().md5o, platform::Md5Digest(kD1));
    // A record that holds no digest has none, and an unreadable file's record has one not
    // measured: neither is a digest.
    ASSERT_TRUE(store->InsertBaseline("/none", 1, "d", platform::Md5Digest("")).ok());
    ASSERT_TRUE(store->InsertBaseline("/unread", 1, "d", platform::Md5Digest()).ok());
    EXPECT_EQ(store->LookupBaseline("/none")->value().md5o, std::nullopt);
    EXPECT_EQ(store->LookupBaseline("/unread")->value().md5o, platform::Md5Digest());
}

TEST_F(StoreTest, WorkIsKeptAcrossConnections) {
    ASSERT_TRUE(store->InsertBaseline("/kept", 1, "d", kDigest1).ok());
    ASSERT_TRUE(store->Commit().ok());
    auto other = platform::Database::Open(testing::SystemEnv(), dir / "norv.db", false).value();
    EXPECT_EQ(other->QueryInt("SELECT count(*) FROM fileinfo").value(), 1);
}

platform::ExtendedFacts Facts(uint32_t mode, std::string capabilities) {
    platform::ExtendedFacts facts;
    facts.sha256 = platform::Sha256Digest(std::string(64, 'c'));
    facts.type = platform::EntryKind::kRegular;
    facts.mode = mode;
    facts.owner = 33;
    facts.group = 4000000000u;
    facts.capabilities = std::move(capabilities);  // raw bytes, a zero among them
    return facts;                                  // the ACL not read
}

TEST_F(StoreTest, ExtendedFactsLiveBesideFileinfoAndAreReplacedWithIt) {
    const auto first = Facts(04755, std::string("\x01\0\0\x02", 4));
    const auto second = Facts(0644, "");
    ASSERT_TRUE(store->InsertBaseline("/a", 1, "d", kDigest1, first).ok());
    EXPECT_EQ(store->LookupBaseline("/a")->value().extended, first);
    // fileinfo's record is the one it always was.
    ASSERT_TRUE(store->Commit().ok());
    EXPECT_EQ(AllRows(*db), (std::vector<Row>{{"/a", "1", "d", kD1, kD1, 0}}));
    // An abandoned baseline keeps both; a committed one replaces both.
    ASSERT_TRUE(store->BeginBaseline().ok());
    ASSERT_TRUE(store->InsertBaseline("/a", 1, "d", kDigest2, second).ok());
    ASSERT_TRUE(store->AbandonBaseline().ok());
    EXPECT_EQ(store->LookupBaseline("/a")->value().extended, first);
    ASSERT_TRUE(store->BeginBaseline().ok());
    ASSERT_TRUE(store->InsertBaseline("/a", 1, "d", kDigest2, second).ok());
    ASSERT_TRUE(store->CommitBaseline({}).ok());
    EXPECT_EQ(store->LookupBaseline("/a")->value().extended, second);
    // A place an init could not see keeps its facts with its record.
    ASSERT_TRUE(store->BeginBaseline().ok());
    ASSERT_TRUE(store->CarryOverBaseline([](const std::string&) { return true; }).ok());
    ASSERT_TRUE(store->CommitBaseline({}).ok());
    EXPECT_EQ(store->LookupBaseline("/a")->value().extended, second);
    ASSERT_TRUE(store->ResetFlags().ok());
    int unseen = 0;
    ASSERT_TRUE(store
                    ->ForEachUnmarked([&](const std::string&, const FileInfoStore::Baseline& b) {
                        EXPECT_EQ(b.extended, second);
                        ++unseen;
                        return Status::Ok();
                    })
                    .ok());
    EXPECT_EQ(unseen, 1);
    // Facts measured with another content (a program that knew only fileinfo replaced the
    // record) are not the record's; filled again, they are its own, once.
    ASSERT_TRUE(store->Commit().ok());
    ASSERT_TRUE(db->Exec("UPDATE fileinfo SET md5o='" + kD1 + "'").ok());
    EXPECT_FALSE(store->LookupBaseline("/a")->value().extended.has_value());
    ASSERT_TRUE(store->RecordExtended("/a", kDigest1, first).ok());
    EXPECT_EQ(store->LookupBaseline("/a")->value().extended, first);
    ASSERT_TRUE(store->Commit().ok());
    EXPECT_EQ(db->QueryInt("SELECT count(*) FROM fingerprint").value(), 1);
}

// A database whose fileinfo another program made, its first column declared as `filename`.
std::unique_ptr<platform::Database> DatabaseMadeElsewhere(const TempDir& dir,
                                                          const std::string& filename) {
    {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "norv.db", true).value();
        EXPECT_TRUE(db->Exec("CREATE TABLE fileinfo (" + filename +
                             ", filesize TEXT, filedate TEXT, md5o TEXT, md5c TEXT, flg INTEGER)")
                        .ok());
    }
    return platform::Database::Open(testing::SystemEnv(), dir / "norv.db", false).value();
}

// SQLite accepts a page size it then ignores: the new file must really have 16 KiB pages.
TEST(StoreOpen, ANewDatabaseHas16KiBPagesAndAnOldOneKeepsItsOwn) {
    TempDir dir;
    auto made = platform::Database::Open(testing::SystemEnv(), dir / "new.db", true).value();
    ASSERT_TRUE(FileInfoStore::Open(*made, true).ok());
    EXPECT_EQ(made->QueryInt("PRAGMA page_size").value(), 16384);
    auto old = DatabaseMadeElsewhere(dir, "filename TEXT");
    ASSERT_TRUE(FileInfoStore::Open(*old, false).ok());
    EXPECT_EQ(old->QueryInt("PRAGMA page_size").value(), 4096);
}

// A fileinfo made elsewhere that compares names its own way is asked what an init lacks.
TEST(StoreOpen, AnInitAsksAFileinfoOfAnotherCollationWhatItLacks) {
    TempDir dir;
    auto db = DatabaseMadeElsewhere(dir, "filename TEXT COLLATE NOCASE");
    auto store = FileInfoStore::Open(*db, false).value();
    for (const char* n : {"/x/a", "/x/B"})
        ASSERT_TRUE(store->InsertBaseline(n, 1, "d", kDigest1).ok());
    ASSERT_TRUE(store->BeginBaseline().ok());
    for (const char* n : {"/x/B", "/x/a"})
        ASSERT_TRUE(store->InsertBaseline(n, 1, "d", kDigest1).ok());
    EXPECT_EQ(MissingFromNewBaseline(*store), std::vector<std::string>{});
}

// A database of a program that knew only fileinfo gets the second table on its first opening,
// said once, and its fileinfo stays exactly as it was.
TEST(StoreOpen, AnOldDatabaseGetsTheSecondTableOnceAndFileinfoStaysAsItWas) {
    TempDir dir;
    const std::string shape =
        "CREATE TABLE fileinfo (filename TEXT, filesize TEXT, filedate TEXT, md5o TEXT, md5c "
        "TEXT, flg INTEGER)";
    auto schema = [](platform::Database& db) {
        auto stmt = db.Prepare("SELECT sql FROM sqlite_master WHERE name='fileinfo'").value();
        return stmt->Step().value() ? stmt->ColumnText(0) : std::string();
    };
    {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "norv.db", true).value();
        ASSERT_TRUE(db->Exec(shape).ok());
        ASSERT_TRUE(
            db->Exec("INSERT INTO fileinfo VALUES('/a','1','d','" + kD1 + "','" + kD1 + "',1)")
                .ok());
    }
    for (int opening = 0; opening < 2; ++opening) {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "norv.db", false).value();
        auto store = FileInfoStore::Open(*db, false).value();
        EXPECT_EQ(store->TakeExtendedNotice(), opening == 0) << opening;
        EXPECT_FALSE(store->TakeExtendedNotice());
        EXPECT_FALSE(store->LookupBaseline("/a")->value().extended.has_value());
        EXPECT_EQ(schema(*db), shape);
        EXPECT_EQ(AllRows(*db), (std::vector<Row>{{"/a", "1", "d", kD1, kD1, 1}}));
    }
    // A new database has nothing to extend; one whose second table has another shape is
    // refused and left alone.
    {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "new.db", true).value();
        EXPECT_FALSE(FileInfoStore::Open(*db, true).value()->TakeExtendedNotice());
        EXPECT_EQ(schema(*db), shape);
    }
    {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "other.db", true).value();
        ASSERT_TRUE(db->Exec(shape).ok());
        ASSERT_TRUE(db->Exec("CREATE TABLE fingerprint (x)").ok());
        EXPECT_FALSE(FileInfoStore::Open(*db, false).ok());
        EXPECT_EQ(db->QueryInt("SELECT count(*) FROM sqlite_master").value(), 2);
    }
}

// The change list and the baseline generation: an old database opens with generation 0 and no
// finished check; a finished check's list counts until an init replaces the records, this
// norv's or an earlier one's.
TEST(StoreOpen, AnOldDatabaseGetsAChangeListThatEachInitEmptiesAndOutdates) {
    TempDir dir;
    auto db = DatabaseMadeElsewhere(dir, "filename TEXT");
    auto store = FileInfoStore::Open(*db, false).value();
    auto list = store->ReadChangeList();
    ASSERT_TRUE(list.ok()) << list.status().message();
    EXPECT_EQ(list->generation, 0);
    EXPECT_FALSE(list->checked);

    const std::string path = "/a/it's.txt";
    platform::ExtendedFacts facts;
    facts.sha256 = platform::Sha256Digest(std::string(64, 'c'));
    facts.type = platform::EntryKind::kRegular;
    facts.mode = 04755;
    facts.capabilities = std::string("\x01\0", 2);
    ASSERT_TRUE(store->BeginChangeList().ok());
    ASSERT_TRUE(store
                    ->ListChange({path, ChangeKind::kAltered, 7, 1000, platform::Md5Digest(kD1),
                                  platform::Md5Digest(kD2), facts, std::nullopt, ""})
                    .ok());
    ASSERT_TRUE(store
                    ->ListChange({path, ChangeKind::kAltered, 8, 1001, platform::Md5Digest(kD1),
                                  platform::Md5Digest(kD2), facts, std::nullopt, ""})
                    .ok());
    EXPECT_FALSE(store->ReadChangeList()->checked);  // not finished yet
    ASSERT_TRUE(store->EndChangeList().ok());
    list = store->ReadChangeList();
    ASSERT_TRUE(list->checked);
    ASSERT_EQ(list->changes.size(), 1u);  // one row per path, the latest
    EXPECT_EQ(list->changes[0].size, 8);
    EXPECT_EQ(list->changes[0].new_facts, facts);

    // An init of an earlier norv, which knows nothing of the generation: its new table built
    // beside the old one and swapped in. The list no longer counts.
    for (const char* sql : {"CREATE TABLE fileinfo_new (filename TEXT, filesize TEXT,"
                            " filedate TEXT, md5o TEXT, md5c TEXT, flg INTEGER)",
                            "DROP TABLE fileinfo", "ALTER TABLE fileinfo_new RENAME TO fileinfo",
                            "CREATE INDEX fileinfo_filename ON fileinfo(filename)"}) {
        ASSERT_TRUE(db->Exec(sql).ok()) << sql;
    }
    EXPECT_FALSE(store->ReadChangeList()->checked);
    ASSERT_TRUE(store->EndChangeList().ok());  // a check finished since

    ASSERT_TRUE(store->BeginBaseline().ok());
    ASSERT_TRUE(store->CommitBaseline({}).ok());
    list = store->ReadChangeList();
    EXPECT_EQ(list->generation, 1);
    EXPECT_FALSE(list->checked);
    EXPECT_TRUE(list->changes.empty());
}

TEST(StoreOpen, ForeignFilesAreRefusedAndLeftAlone) {
    TempDir dir;
    // A database whose table has another shape.
    {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "other.db", true).value();
        ASSERT_TRUE(db->Exec("CREATE TABLE fileinfo (name TEXT)").ok());
    }
    std::string before = testing::ReadAll(dir / "other.db");
    {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "other.db", false).value();
        auto store = FileInfoStore::Open(*db, false);
        ASSERT_FALSE(store.ok());
        EXPECT_NE(store.status().message().find("other.db"), std::string::npos);
    }
    EXPECT_EQ(testing::ReadAll(dir / "other.db"), before);

    // A damaged file that is no database at all.
    std::string junk = dir.Write("junk.db", std::string(4096, 'J'));
    {
        auto db = platform::Database::Open(testing::SystemEnv(), junk, false);
        if (db.ok()) {
            EXPECT_FALSE(FileInfoStore::Open(**db, false).ok());
        }
    }
    EXPECT_EQ(testing::ReadAll(junk), std::string(4096, 'J'));

    // An existing database without the table is not ours to alter either.
    {
        auto db = platform::Database::Open(testing::SystemEnv(), dir / "empty.db", true).value();
        ASSERT_TRUE(db->Exec("CREATE TABLE other (x)").ok());
        EXPECT_FALSE(FileInfoStore::Open(*db, false).ok());
    }
}

}  // namespace
}  // namespace norv
