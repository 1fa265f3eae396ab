#include "engine/file_info_store.h"

#include <gtest/gtest.h>

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

TEST_F(StoreTest, EachStatementWritesItsColumnsAndFlags) {
    ASSERT_TRUE(store->InsertBaseline("/a/b.txt", 120, "2004/04/11 9:05:22", kD1).ok());
    ASSERT_TRUE(store->InsertNew("/a/c.txt", 5, "2004/04/11 9:05:23", kD2).ok());
    ASSERT_TRUE(store->Commit().ok());
    EXPECT_EQ(AllRows(*db),
              (std::vector<Row>{{"/a/b.txt", "120", "2004/04/11 9:05:22", kD1, kD1, 0},
                                {"/a/c.txt", "5", "2004/04/11 9:05:23", kD2, " ", 3}}));
    ASSERT_TRUE(store->UpdateSeen("/a/c.txt", 1, kD2).ok());
    EXPECT_EQ(AllRows(*db)[1].md5c, kD2);
    EXPECT_EQ(AllRows(*db)[1].flg, 1);

    ASSERT_TRUE(store->MarkAllSeen().ok());
    std::vector<std::string> unseen;
    auto collect = [&](const std::string& f, const std::string& md5o) {
        unseen.push_back(f + " " + md5o.substr(0, 4));
        return Status::Ok();
    };
    ASSERT_TRUE(store->ForEachUnseen(collect).ok());
    EXPECT_TRUE(unseen.empty());
    ASSERT_TRUE(store->ResetFlags().ok());
    ASSERT_TRUE(store->ForEachUnseen(collect).ok());
    EXPECT_EQ(unseen, (std::vector<std::string>{"/a/b.txt " + kD1.substr(0, 4),
                                                 "/a/c.txt " + kD2.substr(0, 4)}));
    ASSERT_TRUE(store->DeleteAll().ok());
    EXPECT_TRUE(AllRows(*db).empty());
}

TEST_F(StoreTest, PathsAreStoredExactlyAndComparedByteForByte) {
    const std::string names[] = {
        "/x/it's",        "/x/it s", "/x/A.txt", "/x/a.txt", "/x/'); DROP TABLE fileinfo; --",
        "/x/bad\xff\xfe", "/x/新規"};
    for (const auto& n : names) ASSERT_TRUE(store->InsertBaseline(n, 1, "d", kD1).ok());
    for (const auto& n : names) {
        auto found = store->LookupBaseline(n);
        ASSERT_TRUE(found.ok());
        EXPECT_TRUE(found->has_value()) << n;
    }
    EXPECT_FALSE(store->LookupBaseline("/x/IT'S")->has_value());
    ASSERT_EQ(AllRows(*db).size(), std::size(names));
    EXPECT_EQ(AllRows(*db)[5].filename, "/x/bad\xff\xfe");
}

TEST_F(StoreTest, TwoRecordsForOnePathLookUpTheFirst) {
    ASSERT_TRUE(store->InsertBaseline("/same", 1, "d", kD1).ok());
    ASSERT_TRUE(store->InsertBaseline("/same", 1, "d", kD2).ok());
    EXPECT_EQ(store->LookupBaseline("/same")->value().md5o, kD1);
}

TEST_F(StoreTest, WorkIsKeptAcrossConnections) {
    ASSERT_TRUE(store->InsertBaseline("/kept", 1, "d", kD1).ok());
    ASSERT_TRUE(store->Commit().ok());
    auto other = platform::Database::Open(testing::SystemEnv(), dir / "norv.db", false).value();
    EXPECT_EQ(other->QueryInt("SELECT count(*) FROM fileinfo").value(), 1);
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
