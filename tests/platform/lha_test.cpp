#include "platform/lha/lha_archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>

#include "platform/lha/lh5_encoder.h"
#include "tests/support/test_support.h"

namespace norv::platform::lha {
namespace {

using norv::testing::ReadAll;
using norv::testing::TempDir;

int Shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// A tree with every kind of content the archive must carry.
void FillTree(const TempDir& dir) {
    dir.Write("tree/text.txt", "norv protects this file.\n");
    dir.Write("tree/empty", "");
    dir.Write("tree/tiny", "abc");
    dir.Write("tree/日本語/設定ファイル.txt", "改ざん検知\n");
    dir.Write("tree/nested/deeper/random.bin", RandomBytes(3 * 1024 * 1024 + 7, 1));
    dir.Write("tree/nested/zeros.bin", std::string(20 * 1024 * 1024, '\0'));
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i % 97) + " of a log\n";
    dir.Write("tree/nested/log.txt", text);
    dir.Write("tree/.htaccess", "Options -Indexes\n");
    dir.MakeDir("tree/empty_folder");
    ::symlink("text.txt", (dir / "tree/link").c_str());
}

TEST(Lh5, Crc16KnownAnswer) { EXPECT_EQ(Crc16("123456789"), 0xBB3D); }

TEST(Lh5, CompressesRepetitiveDataAndHandlesEdgeShapes) {
    EXPECT_LT(CompressLh5(std::string(1 << 20, 'a')).size(), 5000u);
    EXPECT_FALSE(CompressLh5("x").empty());
    EXPECT_FALSE(CompressLh5(RandomBytes(100000, 2)).empty());
}

// Data of many shapes through our encoder and libarchive's decoder: short and long matches, far
// and near distances, runs, text, noise, and the block boundaries.
TEST(Lh5, RoundTripsEveryShapeThroughAnotherDecoder) {
    TempDir dir;
    std::mt19937 rng(7);
    std::vector<std::string> samples = {"12345678", "abcabcabcabc", std::string(65537, 'q')};
    for (size_t size : {9u, 300u, 8191u, 8192u, 8193u, 70000u, 600000u}) {
        std::string data;
        while (data.size() < size) {
            if (data.size() > 10 && rng() % 3 == 0) {
                size_t from = rng() % data.size();
                size_t length = 3 + rng() % 300;
                for (size_t k = 0; k < length && data.size() < size; ++k) data += data[from + k];
            } else {
                data += static_cast<char>('a' + rng() % (rng() % 2 ? 4 : 26));
            }
        }
        samples.push_back(data);
    }
    for (size_t i = 0; i < samples.size(); ++i) {
        std::string name = "s" + std::to_string(i);
        dir.Write("in/" + name, samples[i]);
        ASSERT_TRUE(AddToArchive(dir / (name + ".lzh"), dir / ("in/" + name)).ok());
        dir.MakeDir("out" + std::to_string(i));
        Status status = RestoreEntryBelow(dir / (name + ".lzh"), StoredPathOf(dir / ("in/" + name)),
                                          dir / ("out" + std::to_string(i)));
        ASSERT_TRUE(status.ok()) << i << ": " << status.message();
        EXPECT_EQ(
            ReadAll(dir / ("out" + std::to_string(i) + "/" + (dir / "in").substr(1) + "/" + name)),
            samples[i])
            << i;
    }
}

class ArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FillTree(dir);
        archive = dir / "arcive.lzh";
        ASSERT_TRUE(AddToArchive(archive, dir / "tree").ok());
        stored = (dir / "tree").substr(1);  // entries carry the full path without the leading "/"
    }
    TempDir dir;
    std::string archive;
    std::string stored;
};

TEST_F(ArchiveTest, OtherToolsReadAndExtractOurArchives) {
    // lhasa (the Debian "lha" command may be another implementation)
    EXPECT_EQ(Shell("lhasa t '" + archive + "'"), 0);
    dir.MakeDir("by-lha");
    EXPECT_EQ(Shell("cd '" + dir / "by-lha" + "' && lhasa xq '" + archive + "'"), 0);
    EXPECT_EQ(Shell("diff -r '" + dir / "tree" + "' '" + dir / "by-lha" + "/" + stored + "'"), 0);
    // 7-Zip
    EXPECT_EQ(Shell("7zz t '" + archive + "'"), 0);
    dir.MakeDir("by-7z");
    EXPECT_EQ(Shell("cd '" + dir / "by-7z" + "' && 7zz x -y '" + archive + "'"), 0);
    EXPECT_EQ(ReadAll(dir / ("by-7z/" + stored + "/nested/deeper/random.bin")),
              ReadAll(dir / "tree/nested/deeper/random.bin"));
    // libarchive's bsdtar
    dir.MakeDir("by-bsdtar");
    EXPECT_EQ(
        Shell("cd '" + dir / "by-bsdtar" + "' && LC_ALL=C.UTF-8 bsdtar -xf '" + archive + "'"), 0);
    EXPECT_EQ(Shell("diff -r '" + dir / "tree" + "' '" + dir / "by-bsdtar" + "/" + stored + "'"),
              0);
}

TEST_F(ArchiveTest, ListingShowsEveryEntryUnderItsFullPath) {
    auto entries = ListArchive(archive);
    ASSERT_TRUE(entries.ok()) << entries.status().message();
    std::set<std::string> paths;
    for (const auto& e : entries.value()) {
        paths.insert(e.path);
        if (e.path == stored + "/link") {
            EXPECT_EQ(e.symlink_target, "text.txt");
        }
    }
    for (const char* p : {"/text.txt", "/empty", "/日本語/設定ファイル.txt", "/empty_folder",
                          "/nested/deeper/random.bin", "/.htaccess", "/link"}) {
        EXPECT_EQ(paths.count(stored + p), 1u) << p;
    }
}

TEST_F(ArchiveTest, RestoreByFullPathPutsBackThatFileAloneWithModeAndTime) {
    std::string file = dir / "tree/日本語/設定ファイル.txt";
    ::chmod(file.c_str(), 0640);
    // A file of the same name elsewhere in the tree, edited since: never touched.
    dir.Write("tree/nested/設定ファイル.txt", "archived twin");
    ASSERT_TRUE(AddToArchive(dir / "second.lzh", dir / "tree").ok());
    dir.Write("tree/nested/設定ファイル.txt", "a legitimate edit");
    struct stat before {};
    ::stat(file.c_str(), &before);
    norv::testing::WriteAll(file, "tampered");
    auto root = OpenDirectory("/");
    ASSERT_TRUE(root.ok());
    Status restored = RestoreEntry(dir / "second.lzh", StoredPathOf(file), **root, "/",
                                   PathNames(file));
    ASSERT_TRUE(restored.ok()) << restored.message();
    EXPECT_EQ(ReadAll(file), "改ざん検知\n");
    EXPECT_EQ(ReadAll(dir / "tree/nested/設定ファイル.txt"), "a legitimate edit");
    struct stat after {};
    ::stat(file.c_str(), &after);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_mtime, before.st_mtime);

    // A deleted file and its deleted folder come back.
    std::string log = dir / "tree/nested/log.txt";
    std::string log_content = ReadAll(log);
    ::unlink(log.c_str());
    ASSERT_TRUE(RestoreEntryBelow(archive, stored + "/nested/log.txt", "/").ok());
    EXPECT_EQ(ReadAll(log), log_content);
    EXPECT_FALSE(RestoreEntryBelow(archive, stored + "/never-archived.txt", "/").ok());
    // Symbolic links come back as links.
    ::unlink((dir / "tree/link").c_str());
    ASSERT_TRUE(RestoreEntryBelow(archive, stored + "/link", "/").ok());
    char target[64] = {};
    ASSERT_GT(::readlink((dir / "tree/link").c_str(), target, sizeof target), 0);
    EXPECT_STREQ(target, "text.txt");
    // No temporary file is left beside a restored one.
    EXPECT_EQ(Shell("ls -a '" + dir / "tree" + "' | grep -q norv-restore"), 1);
}

TEST_F(ArchiveTest, OwnerComesBackAsArchived) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    std::string page = dir.Write("owned/index.html", "<h1>site</h1>");
    ASSERT_EQ(::chown(page.c_str(), 33, 33), 0);
    ASSERT_EQ(::chmod(page.c_str(), 0640), 0);
    ASSERT_TRUE(AddToArchive(dir / "owned.lzh", dir / "owned").ok());
    // The attacker's replacement is a new file with another owner.
    ::unlink(page.c_str());
    dir.Write("owned/index.html", "defaced");
    ASSERT_TRUE(RestoreEntryBelow(dir / "owned.lzh", StoredPathOf(page), "/").ok());
    struct stat st {};
    ASSERT_EQ(::stat(page.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 33u);
    EXPECT_EQ(st.st_gid, 33u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadAll(page), "<h1>site</h1>");
}

TEST_F(ArchiveTest, OneWriterTakesSeveralSourcesAndSingleFiles) {
    dir.Write("other/x.txt", "x");
    auto writer = ArchiveWriter::Create(archive);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE((*writer)->Add(dir / "tree").ok());
    ASSERT_TRUE((*writer)->Add(dir / "other/x.txt").ok());
    ASSERT_TRUE((*writer)->Commit().ok());
    auto entries = ListArchive(archive).value();
    EXPECT_EQ(entries.back().path, (dir / "other/x.txt").substr(1));
    EXPECT_GT(entries.size(), 10u);
    EXPECT_EQ(Shell("lhasa t '" + archive + "'"), 0);
    struct stat st {};
    ::stat(archive.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Archive, OurReaderReadsWhatJlhaWrites) {
    TempDir dir;
    dir.Write("src/hello.txt", "hello from another writer\n");
    dir.Write("src/data.bin", RandomBytes(50000, 3));
    ASSERT_EQ(
        Shell("cd '" + dir / "src" + "' && jlha a '" + dir / "j.lzh" + "' hello.txt data.bin"), 0);
    auto entries = ListArchive(dir / "j.lzh");
    ASSERT_TRUE(entries.ok()) << entries.status().message();
    ASSERT_EQ(entries->size(), 2u);
    dir.MakeDir("out");
    ASSERT_TRUE(RestoreEntryBelow(dir / "j.lzh", "data.bin", dir / "out").ok());
    EXPECT_EQ(ReadAll(dir / "out/data.bin"), ReadAll(dir / "src/data.bin"));
}

TEST(Archive, HeaderSizesEndingInZeroStillRead) {
    TempDir dir;
    // Names of every length between 1 and 300 bytes hit a header size that is a multiple of 256.
    for (int n = 180; n <= 250; ++n)
        dir.Write("t/" + std::string(static_cast<size_t>(n), 'n'), "data of file");
    ASSERT_TRUE(AddToArchive(dir / "a.lzh", dir / "t").ok());
    auto entries = ListArchive(dir / "a.lzh");
    ASSERT_TRUE(entries.ok());
    EXPECT_EQ(entries->size(), 72u);
    EXPECT_EQ(Shell("lhasa t '" + dir / "a.lzh" + "'"), 0);
}

TEST(Archive, EmptySourceMakesNoArchiveAndMissingSourceFails) {
    TempDir dir;
    EXPECT_FALSE(AddToArchive(dir / "a.lzh", dir / "missing").ok());
    EXPECT_FALSE(norv::platform::FileExists(dir / "a.lzh"));
}

TEST(Archive, HostileEntriesAreRefused) {
    TempDir dir;
    std::string bytes = detail::RawEntry("../", "escape.txt", "x") +
                        detail::RawEntry("/tmp/", "escape.txt", "absolute") +
                        detail::RawEntry("safe/", "escape.txt", "ok") + std::string(1, '\0');
    norv::testing::WriteAll(dir / "evil.lzh", bytes);
    dir.MakeDir("root");
    EXPECT_FALSE(RestoreEntryBelow(dir / "evil.lzh", "../escape.txt", dir / "root").ok());
    RestoreEntryBelow(dir / "evil.lzh", "/tmp/escape.txt", dir / "root");  // below root if at all
    EXPECT_FALSE(norv::platform::FileExists(dir / "escape.txt"));
    EXPECT_FALSE(norv::platform::FileExists("/tmp/escape.txt"));
    ASSERT_TRUE(RestoreEntryBelow(dir / "evil.lzh", "safe/escape.txt", dir / "root").ok());
    EXPECT_EQ(ReadAll(dir / "root/safe/escape.txt"), "ok");

    // A folder on the way that is a symbolic link is never written through.
    dir.MakeDir("outside");
    ::symlink((dir / "outside").c_str(), (dir / "root/linked").c_str());
    norv::testing::WriteAll(
        dir / "link.lzh", detail::RawEntry("linked/", "secret", "planted") + std::string(1, '\0'));
    EXPECT_FALSE(RestoreEntryBelow(dir / "link.lzh", "linked/secret", dir / "root").ok());
    EXPECT_FALSE(norv::platform::FileExists(dir / "outside/secret"));
}

}  // namespace
}  // namespace norv::platform::lha
