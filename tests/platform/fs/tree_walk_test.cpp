#include "platform/fs/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/base/notice_code.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::TempDir;

int OpenDescriptors() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* e = ::readdir(dir)) count += e->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

std::unique_ptr<TreeWalk> WalkOf(const std::string& path, TreeWalk::Options options = {},
                                 Env& env = testing::SystemEnv()) {
    auto root = OpenDirectory(env, path);
    EXPECT_TRUE(root.ok());
    return std::make_unique<TreeWalk>(root.value(), path, std::move(options));
}

// The files a walk hands out, as full paths, until it ends; a failure ends the list with "!".
std::vector<std::string> Files(TreeWalk& walk) {
    std::vector<std::string> files;
    for (int guard = 0; guard < 100000; ++guard) {
        TreeWalk::Entry entry = walk.Next();
        if (entry.type == TreeWalk::Entry::Type::kEnd) break;
        if (entry.type == TreeWalk::Entry::Type::kFailure) {
            files.push_back("!");
            break;
        }
        if (entry.type == TreeWalk::Entry::Type::kFile) files.push_back(entry.dir + entry.name);
    }
    return files;
}

TEST(TreeWalk, DeepTreesAreWalkedWholeInOrderWithFewOpenFolders) {
    TempDir dir;
    // Far deeper than the folders the walk holds open at once.
    std::string path = dir / "root";
    ::mkdir(path.c_str(), 0755);
    std::vector<std::string> expected;
    for (int level = 0; level < 200; ++level) {
        norv::testing::WriteAll(path + "/f" + std::to_string(level), "x");
        expected.insert(expected.begin(), path + "/f" + std::to_string(level));
        path += "/d";
        ::mkdir(path.c_str(), 0755);
    }
    const int before = OpenDescriptors();
    auto walk = WalkOf(dir / "root");
    int most_open = 0;
    std::vector<std::string> files;
    for (;;) {
        TreeWalk::Entry entry = walk->Next();
        if (entry.type != TreeWalk::Entry::Type::kFile) {
            ASSERT_EQ(entry.type, TreeWalk::Entry::Type::kEnd);
            break;
        }
        most_open = std::max(most_open, OpenDescriptors() - before);
        files.push_back(entry.dir + entry.name);
    }
    // Subfolders first: the deepest file comes first, the root's last.
    EXPECT_EQ(files, expected);
    EXPECT_LT(most_open, 100);
    walk.reset();
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(TreeWalk, AFolderSwappedForALinkAfterTheListingIsNeverEntered) {
    TempDir dir;
    dir.Write("root/a/first", "1");
    dir.Write("outside/secret", "s");
    // Listed as a folder, a link to another (on the same file system) by the time it is opened.
    testing::RaceEnv race;
    race.Before(testing::Call::kOpenAt, "a", [&] {
        ASSERT_EQ(::rename((dir / "root/a").c_str(), (dir / "moved").c_str()), 0);
        ASSERT_EQ(::symlink("../outside", (dir / "root/a").c_str()), 0);
    });
    auto walk = WalkOf(dir / "root", {}, race);
    for (const std::string& file : Files(*walk)) {
        EXPECT_EQ(file.find("secret"), std::string::npos) << file;
        EXPECT_NE(file, "!");
    }
    EXPECT_EQ(race.Fired(), 1);
}

TEST(TreeWalk, AFolderMovedElsewhereMidWalkNeverLeadsIntoItsNewParent) {
    TempDir dir;
    std::string path = dir / "root";
    ::mkdir(path.c_str(), 0755);
    std::vector<std::string> levels;
    for (int level = 0; level < 120; ++level) {
        norv::testing::WriteAll(path + "/f", "x");
        levels.push_back(path);
        path += "/d";
        ::mkdir(path.c_str(), 0755);
    }
    norv::testing::WriteAll(path + "/deepest", "x");
    // Names the walk listed before the move, planted where the moved folder goes.
    dir.Write("elsewhere/f", "planted");
    // The deepest folder, whose parents the walk has closed, moves into another folder just as
    // the walk goes back up through its "..".
    testing::RaceEnv race;
    race.Before(testing::Call::kOpenAt, "..", [&] {
        ASSERT_EQ(::rename((levels.back() + "/d").c_str(), (dir / "elsewhere/d").c_str()), 0);
    });
    auto walk = WalkOf(dir / "root", {}, race);
    int files = 0;
    int unseen = 0;
    for (;;) {
        TreeWalk::Entry entry = walk->Next();
        if (entry.type == TreeWalk::Entry::Type::kEnd) break;
        // The parents left behind cannot be walked further, and the walk says so.
        if (entry.type == TreeWalk::Entry::Type::kUnseen) {
            ++unseen;
            continue;
        }
        ASSERT_EQ(entry.type, TreeWalk::Entry::Type::kFile);
        ++files;
        // Every file handed out is read through the folder it was listed in.
        int fd = ::openat(entry.folder->fd(), entry.name.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << entry.dir << entry.name;
        char c = 0;
        EXPECT_EQ(::read(fd, &c, 1), 1);
        ::close(fd);
        EXPECT_EQ(c, 'x') << entry.dir << entry.name;
    }
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_GT(files, 0);
    EXPECT_GT(unseen, 0);
}

TEST(TreeWalk, SkippedFoldersAreNamedNotEntered) {
    TempDir dir;
    dir.Write("root/site/index.html", "x");
    dir.Write("root/cracked/old-evidence", "x");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "root/cracked").c_str(), &st), 0);
    TreeWalk::Options options;
    options.skipped = {{st.st_dev, st.st_ino}};
    auto walk = WalkOf(dir / "root", options);
    std::vector<std::string> skipped, files;
    for (;;) {
        TreeWalk::Entry entry = walk->Next();
        if (entry.type == TreeWalk::Entry::Type::kEnd) break;
        if (entry.type == TreeWalk::Entry::Type::kSkippedFolder) skipped.push_back(entry.dir);
        if (entry.type == TreeWalk::Entry::Type::kFile) files.push_back(entry.name);
    }
    EXPECT_EQ(skipped, std::vector<std::string>{dir / "root/cracked/"});
    EXPECT_EQ(files, std::vector<std::string>{"index.html"});
}

TEST(TreeWalk, PseudoFileSystemsAreNeverEntered) {
    // A walk started on one ends at once, naming it, and never reads a file there.
    auto walk = WalkOf("/proc/" + std::to_string(::getpid()));
    TreeWalk::Entry entry = walk->Next();
    EXPECT_EQ(entry.type, TreeWalk::Entry::Type::kSkippedFolder);
    EXPECT_EQ(walk->Next().type, TreeWalk::Entry::Type::kEnd);
}

TEST(MountInfo, TellsWhoMountedAFuseFileSystemAndWhichAreViewsOfTheKernel) {
    auto fuse = ParseMountInfoLine(
        "45 27 0:40 / /srv/www/up rw,nosuid shared:7 master:2 - fuse.sshfs alice@h:/ "
        "rw,user_id=1000,group_id=1000,allow_other\n");
    ASSERT_TRUE(fuse);
    EXPECT_EQ(fuse->device, makedev(0, 40));
    EXPECT_TRUE(fuse->fuse);
    EXPECT_EQ(fuse->fuse_user, std::optional<uid_t>(1000));
    // An empty source leaves two spaces: the fields still line up.
    auto roots = ParseMountInfoLine("46 27 0:41 / /mnt/b rw - fuseblk  rw,user_id=0,group_id=0");
    ASSERT_TRUE(roots);
    EXPECT_EQ(roots->fuse_user, std::optional<uid_t>(0));
    auto unsaid = ParseMountInfoLine("47 27 0:42 / /mnt/c rw - fuse x rw,allow_other");
    ASSERT_TRUE(unsaid);
    EXPECT_TRUE(unsaid->fuse);
    EXPECT_FALSE(unsaid->fuse_user);
    auto control =
        ParseMountInfoLine("30 22 0:33 / /sys/fs/fuse/connections rw - fusectl fusectl rw");
    ASSERT_TRUE(control);
    EXPECT_TRUE(control->pseudo);
    EXPECT_FALSE(control->fuse);
    auto disk = ParseMountInfoLine("24 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw");
    ASSERT_TRUE(disk);
    EXPECT_FALSE(disk->pseudo || disk->fuse);
    auto spaced = ParseMountInfoLine("25 1 8:2 / /mnt/my\\040disk rw - ext4 /dev/sdb1 rw");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->mount_point, "/mnt/my disk");
    EXPECT_FALSE(ParseMountInfoLine("45 27 0:40 / /x rw - fuse"));
    EXPECT_FALSE(ParseMountInfoLine("45 27 zero / /x rw - fuse x rw,user_id=0"));
}

// Serves a table of user mounts of the test's own instead of the system's.
class UserMountTableEnv : public norv::platform::EnvWrapper {
  public:
    explicit UserMountTableEnv(std::string table)
        : EnvWrapper(norv::platform::Env::Default()), table_(std::move(table)) {}
    int OpenAt(int dirfd, const char* name, int flags, mode_t mode) override {
        if (std::string(name) == norv::platform::kUserMountTable) name = table_.c_str();
        return EnvWrapper::OpenAt(dirfd, name, flags, mode);
    }

  private:
    std::string table_;
};

TEST(MountGuard, AFileSystemAnOrdinaryUserMountedIsNotEntered) {
    TempDir dir;
    const int root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);  // the root of its mount
    ASSERT_GE(root, 0);
    UserMountTableEnv users(dir.Write("users", "SRC=/dev/sdz1 TARGET=/ ROOT=/ OPTS=user=nobody\n"));
    norv::platform::MountGuard guard(users);
    const norv::Status refused = guard.Admit(root, "", "/");
    EXPECT_TRUE(refused.Is(norv::ErrorKind::kRefused)) << refused.ToString();
    EXPECT_EQ(refused.what(),
              norv::Message(norv::NoticeCode::kMountNotEntered,
                            {std::string("/"), norv::Message(norv::NoticeCode::kMountedByOtherUser,
                                                             {std::string("nobody")})}));
    // Root's own mount of the same kind is entered.
    UserMountTableEnv roots(dir.Write("roots", "SRC=/dev/sdz1 TARGET=/ ROOT=/ OPTS=user=root\n"));
    norv::platform::MountGuard root_guard(roots);
    EXPECT_TRUE(root_guard.Admit(root, "", "/").ok());
    ::close(root);
    auto parsed = norv::platform::ParseUserMountLine(
        "SRC=/dev/sdb1 TARGET=/mnt/my\\040disk ROOT=/ OPTS=uhelper=udisks2,user=alice\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->target, "/mnt/my disk");
    EXPECT_EQ(parsed->user, "alice");
    EXPECT_FALSE(norv::platform::ParseUserMountLine("SRC=/dev/sdb1 TARGET=/mnt ROOT=/ OPTS=x-a"));
}

TEST(ResolveAdministratorPath, FollowsTrustedLinksOnlyAndStopsOnLoops) {
    TempDir dir;
    dir.Write("real/www/index.html", "x");
    ASSERT_EQ(::symlink((dir / "real/www").c_str(), (dir / "site").c_str()), 0);
    auto site = ResolveAdministratorPath(testing::SystemEnv(), dir / "site");
    ASSERT_TRUE(site.ok()) << site.status().message();
    EXPECT_EQ(site->name, "www");
    auto folder = OpenResolvedDirectory(site.value(), dir / "site");
    ASSERT_TRUE(folder.ok());
    EXPECT_EQ(LStatAt(**folder, "index.html", "").value().kind, EntryKind::kRegular);

    auto dotted =
        ResolveAdministratorPath(testing::SystemEnv(), dir / "real/www/../www/./index.html");
    ASSERT_TRUE(dotted.ok());
    EXPECT_EQ(dotted->name, "index.html");

    ASSERT_EQ(::symlink("loop", (dir / "loop").c_str()), 0);
    auto loop = ResolveAdministratorPath(testing::SystemEnv(), dir / "loop/x");
    ASSERT_FALSE(loop.ok());
    EXPECT_TRUE(loop.status().Is(ErrorKind::kLink));

    if (::geteuid() != 0) return;
    // A link another user owns could be re-pointed at any folder: it is not followed.
    ASSERT_EQ(::lchown((dir / "site").c_str(), 65534, 65534), 0);
    auto untrusted = ResolveAdministratorPath(testing::SystemEnv(), dir / "site");
    ASSERT_FALSE(untrusted.ok());
    EXPECT_TRUE(untrusted.status().Is(ErrorKind::kRefused));
    EXPECT_EQ(untrusted.status().what(),
              Message(NoticeCode::kLinkOnWayNotTrusted,
                      {dir / "site", std::string("site"), std::to_string(65534)}));
}

TEST(ResolveAdministratorPath, TrustsOnlyFoldersNoOtherUserCanChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners are set as root";
    TempDir dir;
    dir.Write("www/real/index.html", "x");
    dir.Write("secret/key", "k");
    // A root-owned link in a folder another user may write: that user could rename another
    // root-owned link (one to /secret) over it.
    ASSERT_EQ(::symlink((dir / "www/real").c_str(), (dir / "www/site").c_str()), 0);
    auto refused = [&](const std::string& path, const Message& said) {
        auto resolved = ResolveAdministratorPath(testing::SystemEnv(), path);
        ASSERT_FALSE(resolved.ok()) << path;
        EXPECT_TRUE(resolved.status().Is(ErrorKind::kRefused));
        EXPECT_EQ(resolved.status().what(), said) << resolved.status().message();
    };
    // Said of the folder www on the way to `path`, with why it is not trusted.
    auto folder_untrusted = [&](const std::string& path, Message why) {
        return Message(NoticeCode::kFolderOnWayNotTrusted, {path, dir / "www", std::move(why)});
    };
    ASSERT_EQ(::chown((dir / "www").c_str(), 65534, 65534), 0);
    refused(dir / "www/site", folder_untrusted(dir / "www/site", Message(NoticeCode::kOwnerNotRoot,
                                                                         {std::to_string(65534)})));
    ASSERT_EQ(::chown((dir / "www").c_str(), 0, 65534), 0);
    ASSERT_EQ(::chmod((dir / "www").c_str(), 0775), 0);
    refused(dir / "www/site",
            folder_untrusted(dir / "www/site",
                             Message(NoticeCode::kWritableByGroup, {std::to_string(65534)})));
    ASSERT_EQ(::chmod((dir / "www").c_str(), 0777), 0);
    refused(dir / "www/real/index.html",
            folder_untrusted(dir / "www/real/index.html", Message(NoticeCode::kWritableByAnyone)));
    // Sticky, as /tmp: others may add names but not move root's; a missing name is theirs.
    ASSERT_EQ(::chmod((dir / "www").c_str(), 01777), 0);
    EXPECT_TRUE(ResolveAdministratorPath(testing::SystemEnv(), dir / "www/site").ok());
    refused(dir / "www/planted",
            folder_untrusted(dir / "www/planted", Message(NoticeCode::kWritableByAnyone)));
    // Another user's name in a sticky folder is theirs to replace.
    ASSERT_EQ(::lchown((dir / "www/site").c_str(), 65534, 65534), 0);
    refused(dir / "www/site",
            folder_untrusted(dir / "www/site", Message(NoticeCode::kWritableByAnyone)));
}

}  // namespace
}  // namespace norv::platform
