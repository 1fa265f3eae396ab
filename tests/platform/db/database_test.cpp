#include "platform/db/database.h"

#include <gtest/gtest.h>

#include "platform/base/notice_code.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::TempDir;

// A file that is no database is damaged data (kCorrupt), not a failed statement of ours.
TEST(Database, AFileThatIsNoDatabaseIsCorrupt) {
    TempDir dir;
    const std::string junk = dir.Write("junk.db", std::string(4096, 'J'));
    auto db = platform::Database::Open(testing::SystemEnv(), junk, false);
    // SQLite reads the header at the first statement, not at the opening.
    ASSERT_TRUE(db.ok()) << db.status().message();
    const auto count = (*db)->QueryInt("SELECT count(*) FROM sqlite_master");
    ASSERT_FALSE(count.ok());
    EXPECT_TRUE(count.status().Is(ErrorKind::kCorrupt)) << count.status().message();
    EXPECT_TRUE(count.status().what().Has(NoticeCode::kDatabaseFailed)) << count.status().message();
}

// A lock another connection holds is kBusy, which the watcher retries later. The second
// connection holds a read lock and asks for the write lock the first holds: waiting could
// deadlock, so SQLite answers at once instead of after the busy timeout.
TEST(Database, ALockHeldByAnotherConnectionIsBusy) {
    TempDir dir;
    const std::string path = dir / "norv.db";
    auto holder = platform::Database::Open(testing::SystemEnv(), path, true).value();
    ASSERT_TRUE(holder->Exec("CREATE TABLE t (x)").ok());
    auto other = platform::Database::Open(testing::SystemEnv(), path, false).value();
    ASSERT_TRUE(other->Exec("BEGIN").ok());
    ASSERT_TRUE(other->QueryInt("SELECT count(*) FROM t").ok());  // holds a read lock
    ASSERT_TRUE(holder->Exec("BEGIN IMMEDIATE").ok());
    const Status write = other->Exec("INSERT INTO t VALUES (1)");
    EXPECT_TRUE(write.Is(ErrorKind::kBusy)) << write.message();
    EXPECT_TRUE(write.what().Has(NoticeCode::kDatabaseFailed)) << write.message();
}

}  // namespace
}  // namespace norv
