// A restore into a folder other users can write: what it reports restored is the very file it
// wrote, and nothing it writes there is ever readable by them beyond what the file's final mode
// allows.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/notice_code.h"
#include "platform/lha/lha_archive.h"
#include "tests/support/fault_env.h"
#include "tests/support/file_attributes.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv::platform::lha {
namespace {

using norv::testing::Call;
using norv::testing::ReadAll;
using norv::testing::TempDir;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// How the restore makes its file: unnamed until linked in, made under a temporary name where
// the file system has no unnamed files, or a link from the archive.
enum class Made { kUnnamed, kNamed, kLink };

struct Page {
    std::string path;
    std::string archive;
};

// The page site/page.html (a link to "elsewhere" for kLink), archived, then removed as the
// response leaves it.
Page ArchivedThenRemoved(const TempDir& dir, Made made, mode_t mode = 0644) {
    Page page{dir / "site/page.html", dir / "arcive.lzh"};
    if (made == Made::kLink) {
        dir.MakeDir("site");
        EXPECT_EQ(::symlink("elsewhere", page.path.c_str()), 0);
    } else {
        dir.Write("site/page.html", "<h1>archived</h1>");
        EXPECT_EQ(::chmod(page.path.c_str(), mode), 0);
    }
    // A link is archived from its folder: a path given itself is followed.
    const std::string source = made == Made::kLink ? dir / "site" : page.path;
    EXPECT_TRUE(AddToArchive(testing::SystemEnv(), page.archive, source).ok());
    ::unlink(page.path.c_str());
    return page;
}

// A file system without O_TMPFILE, for kNamed.
void RefuseUnnamedFiles(testing::FaultEnv& faults, Made made) {
    if (made == Made::kNamed) faults.Fail(Call::kOpenAt, EOPNOTSUPP, 1, "*/site/.");
}

const char* NameOf(Made made) {
    return made == Made::kUnnamed ? "unnamed" : made == Made::kNamed ? "named" : "link";
}

// Someone who can write the folder puts a file of their own at the page's place right after
// the restore put its file there: the restore is never reported done with that file in place.
// It fails, and what stands there is left as it is (it may be evidence).
TEST(RestoreSafety, AFileSwappedInRightAfterTheRestorePutsItsOwnThereFailsTheRestore) {
    for (const Made made : {Made::kUnnamed, Made::kNamed, Made::kLink}) {
        TempDir dir;
        const Page page = ArchivedThenRemoved(dir, made);
        const std::string planted = dir.Write("planted", "attacker's page");
        testing::FaultEnv faults;
        RefuseUnnamedFiles(faults, made);
        testing::RaceEnv race(&faults);
        race.After(made == Made::kUnnamed ? Call::kLinkAt : Call::kRenameAt, "page.html",
                   [&] { EXPECT_EQ(::rename(planted.c_str(), page.path.c_str()), 0); });
        Status restored = RestoreEntryBelow(race, page.archive,
                                            StoredPathOf(testing::SystemEnv(), page.path), "/");
        EXPECT_EQ(race.Fired(), 1) << NameOf(made);
        EXPECT_FALSE(restored.ok()) << NameOf(made);
        EXPECT_EQ(restored.code(), EEXIST) << NameOf(made) << ": " << restored.message();
        EXPECT_EQ(restored.what(), Message(NoticeCode::kArchiveReplacedAfterRestore, {page.path}));
        EXPECT_EQ(ReadAll(page.path), "attacker's page") << NameOf(made);
    }
}

// A restore under a temporary name fails after someone put a file of their own on that name:
// the clean-up removes the temporary name only while it holds the restore's own file, so theirs
// stays (it may be evidence).
TEST(RestoreSafety, AFailedRestoreNeverRemovesWhatWasPutOnItsTemporaryName) {
    TempDir dir;
    const Page page = ArchivedThenRemoved(dir, Made::kNamed);
    const std::string planted = dir.Write("planted", "attacker's page");
    testing::FaultEnv faults;
    RefuseUnnamedFiles(faults, Made::kNamed);
    faults.Fail(Call::kFsync, EIO, 1, "*/site/.norv-restore-*");
    testing::RaceEnv race(&faults);
    std::string temporary;
    race.Before(Call::kFsync, "*/site/.norv-restore-*", [&] {
        for (const auto& entry : std::filesystem::directory_iterator(dir / "site")) {
            temporary = entry.path().string();
        }
        EXPECT_EQ(::rename(planted.c_str(), temporary.c_str()), 0);
    });
    Status restored =
        RestoreEntryBelow(race, page.archive, StoredPathOf(testing::SystemEnv(), page.path), "/");
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_FALSE(restored.ok());
    EXPECT_EQ(ReadAll(temporary), "attacker's page");
}

// The names in `folder` each user can read as `nobody`, and the temporary names seen there.
struct Look {
    std::vector<std::string> readable;
    std::vector<std::string> temporaries;
};

void LookAsNobody(const std::string& folder, Look& look) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name.rfind(kRestoreTempPrefix, 0) == 0) look.temporaries.push_back(name);
        if (testing::ReadableAs(kNobody, kNogroup, folder + "/" + name)) {
            look.readable.push_back(name);
        }
    }
    ::closedir(d);
}

// The folder's default ACL lets `nobody` read every file made in it; the page is root's, 0640.
// At no step of the restore can `nobody` open what the restore writes, under any name, nor the
// page once restored; an unnamed file never shows a name before the page's own.
TEST(RestoreSafety, AFoldersDefaultAclNeverLetsAnotherUserReadTheRestoredFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "other users are tried as root's children";
    for (const Made made : {Made::kUnnamed, Made::kNamed}) {
        TempDir dir;
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        const Page page = ArchivedThenRemoved(dir, made, 0640);
        const std::string site = dir / "site";
        ASSERT_EQ(::chmod(site.c_str(), 0777), 0);
        ASSERT_TRUE(testing::SetDefaultAcl(site, "u::rwx,u:65534:r--,g::r-x,m::r-x,o::r-x"));
        testing::FaultEnv faults;
        RefuseUnnamedFiles(faults, made);
        testing::RaceEnv race(&faults);
        Look look;
        for (const Call call :
             {Call::kWrite, Call::kFChown, Call::kFChmod, Call::kFSetXattr, Call::kFRemoveXattr,
              Call::kFUtimens, Call::kFsync, Call::kLinkAt, Call::kRenameAt}) {
            race.After(
                call, "", [&] { LookAsNobody(site, look); }, /*nth=*/0);
        }
        Status restored = RestoreEntryBelow(race, page.archive,
                                            StoredPathOf(testing::SystemEnv(), page.path), "/");
        ASSERT_TRUE(restored.ok()) << NameOf(made) << ": " << restored.message();
        EXPECT_GE(race.Fired(), 5) << NameOf(made);
        LookAsNobody(site, look);
        EXPECT_EQ(look.readable, std::vector<std::string>{}) << NameOf(made);
        if (made == Made::kUnnamed) {
            EXPECT_EQ(look.temporaries, std::vector<std::string>{});
        } else {
            EXPECT_FALSE(look.temporaries.empty()) << "the file system without O_TMPFILE";
        }
        EXPECT_EQ(ReadAll(page.path), "<h1>archived</h1>");
        struct stat st {};
        ASSERT_EQ(::stat(page.path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << NameOf(made);
    }
}

}  // namespace
}  // namespace norv::platform::lha
