#include "platform/digest/fingerprint.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>

#include "platform/base/env.h"
#include "tests/support/fault_env.h"
#include "tests/support/file_attributes.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::TempDir;

Fingerprint FingerprintOf(const TempDir& dir, const std::string& name,
                          Env& env = testing::SystemEnv()) {
    auto folder = OpenDirectory(env, dir.path());
    EXPECT_TRUE(folder.ok());
    return FingerprintAt(**folder, name);
}

std::vector<std::string_view> Names(const std::vector<FactChange>& changes) {
    std::vector<std::string_view> names;
    for (const FactChange& change : changes) names.push_back(FactName(change.fact));
    return names;
}

TEST(Sha256, KnownAnswersAndTheMd5CollisionPairToldApart) {
    // FIPS 180-2, appendix B.1, and the empty message.
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string a = testing::Md5CollisionA(), b = testing::Md5CollisionB();
    ASSERT_NE(a, b);
    EXPECT_EQ(Md5Hex(a), "79054025255fb1a26e4bc422aef54eb4");
    EXPECT_EQ(Md5Hex(b), Md5Hex(a));
    EXPECT_NE(Sha256Hex(a), Sha256Hex(b));
    // Both digests of a file from its one read.
    TempDir dir;
    dir.Write("a.bin", a);
    const Fingerprint print = FingerprintOf(dir, "a.bin");
    EXPECT_EQ(print.Md5Text(), Md5Hex(a));
    EXPECT_EQ(print.sha256.text(), Sha256Hex(a));
    EXPECT_FALSE(print.changed_while_read);
}

TEST(Fingerprint, EachAttributeIsReadThroughTheDescriptor) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners and capabilities are root's to give";
    TempDir dir;
    const std::string binary = dir.Write("ping", "#!/bin/sh\n");
    ASSERT_EQ(::chown(binary.c_str(), 65534, 65533), 0);
    ASSERT_EQ(::chmod(binary.c_str(), 06751), 0);  // after the owner, which clears set-id bits
    ASSERT_TRUE(testing::SetCapabilities(binary, "cap_net_raw=ep"));
    const std::string page = dir.Write("page.html", "<h1>home</h1>");
    ASSERT_EQ(::chmod(page.c_str(), 01640), 0);
    ASSERT_TRUE(testing::SetAcl(page, "u::rw-,u:65534:rwx,g::r--,m::r-x,o::---"));
    ASSERT_EQ(::symlink("page.html", (dir / "link").c_str()), 0);

    const ExtendedFacts ping = FingerprintOf(dir, "ping").Extended();
    EXPECT_EQ(ping.type, EntryKind::kRegular);
    EXPECT_EQ(ping.mode, 06751u);
    EXPECT_EQ(ping.owner, 65534u);
    EXPECT_EQ(ping.group, 65533u);
    EXPECT_EQ(ping.capabilities, testing::RawXattr(binary, kCapabilityXattr));
    EXPECT_EQ(ping.acl, "");
    EXPECT_EQ(ShownFact(Fact::kCapabilities, "", ping), "cap_net_raw=ep");
    EXPECT_EQ(ShownFact(Fact::kMode, "", ping), "6751");

    const ExtendedFacts shown = FingerprintOf(dir, "page.html").Extended();
    EXPECT_EQ(shown.capabilities, "");
    EXPECT_EQ(shown.mode, 01650u);  // the ACL's mask is the group bits
    EXPECT_EQ(ShownFact(Fact::kAcl, "", shown),
              "user::rw-,user:65534:rwx,group::r--,mask::r-x,other::---");

    const Fingerprint link = FingerprintOf(dir, "link");
    EXPECT_EQ(link.Extended().type, EntryKind::kSymlink);
    EXPECT_EQ(link.sha256.text(), Sha256Hex("page.html"));
    EXPECT_EQ(link.capabilities, "");
    EXPECT_EQ(link.acl, "");
}

// A file system without ACLs, or a read refused: the fact has no value and its cause, and the
// rest is measured. A value an owner grew past the bound is kept as its digest.
TEST(Fingerprint, AFactNotReadHasNoValueAndALargeOneIsKeptAsItsDigest) {
    TempDir dir;
    dir.Write("page.html", "<h1>home</h1>");
    {
        testing::FaultEnv faults;
        faults.Fail(testing::Call::kFListXattr, ERANGE, 0);
        faults.Fail(testing::Call::kFGetXattr, EOPNOTSUPP, 0, kAclXattr);
        const Fingerprint print = FingerprintOf(dir, "page.html", faults);
        EXPECT_EQ(print.Md5Text(), Md5Hex("<h1>home</h1>"));
        EXPECT_FALSE(print.acl.has_value());
        EXPECT_EQ(print.acl_error, EOPNOTSUPP);
        EXPECT_EQ(print.capabilities, "");
        EXPECT_EQ(faults.MatchedCalls(testing::Call::kFGetXattr), 1);
    }
    class LargeAcl : public EnvWrapper {
      public:
        LargeAcl() : EnvWrapper(Env::Default()) {}
        ssize_t FListXattr(int, char*, size_t) override {
            errno = ERANGE;
            return -1;
        }
        ssize_t FGetXattr(int fd, const char* name, void* value, size_t size) override {
            if (std::strcmp(name, kAclXattr) != 0)
                return target()->FGetXattr(fd, name, value, size);
            std::memset(value, 'a', 5000);
            return 5000;
        }
    } large;
    EXPECT_EQ(FingerprintOf(dir, "page.html", large).acl,
              kDigestedXattrMark + Sha256Hex(std::string(5000, 'a')));
}

TEST(Fingerprint, AFileChangedWhileItIsReadIsNoFingerprint) {
    TempDir dir;
    dir.Write("page.html", std::string(100000, 'x'));
    // After its first read, something changes the file's mode: the read is no one state of it.
    testing::RaceEnv midway;
    midway.After(testing::Call::kRead, "page.html",
                 [&] { ASSERT_EQ(::chmod((dir / "page.html").c_str(), 0600), 0); });
    EXPECT_TRUE(FingerprintOf(dir, "page.html", midway).changed_while_read);
    EXPECT_EQ(midway.Fired(), 1);
    EXPECT_FALSE(FingerprintOf(dir, "page.html").changed_while_read);
}

// Counts the bytes read from files through it.
class CountingEnv : public EnvWrapper {
  public:
    CountingEnv() : EnvWrapper(Env::Default()) {}
    ssize_t Read(int fd, void* buffer, size_t size) override {
        return Counted(EnvWrapper::Read(fd, buffer, size));
    }
    ssize_t PRead(int fd, void* buffer, size_t size, off_t offset) override {
        return Counted(EnvWrapper::PRead(fd, buffer, size, offset));
    }
    int64_t bytes = 0;

  private:
    ssize_t Counted(ssize_t n) {
        if (n > 0) bytes += n;
        return n;
    }
};

// A sparse file of `size` bytes with `pieces` (offset, bytes) written into it; its whole content
// as a plain read gives it, or nothing where the file system keeps no holes.
std::optional<std::string> SparseFile(const TempDir& dir, const std::string& name, int64_t size,
                                      const std::vector<std::pair<int64_t, std::string>>& pieces) {
    const std::string path = dir / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    std::string content(static_cast<size_t>(size), '\0');
    for (const auto& [offset, bytes] : pieces) {
        EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset),
                  static_cast<ssize_t>(bytes.size()));
        content.replace(static_cast<size_t>(offset), bytes.size(), bytes);
    }
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    if (st.st_blocks * 512 >= size) return std::nullopt;
    return content;
}

// A sparse file's holes are hashed as zeros without being read, on the one-file path and in the
// lanes alike: the digests are a plain read's, whatever lies at the start, inside or at the end.
TEST(Fingerprint, ASparseFilesHolesAreHashedAsZerosWithoutBeingRead) {
    TempDir dir;
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
    const int64_t size = int64_t{4} << 20;
    const std::map<std::string, std::optional<std::string>> files = {
        {"inside", SparseFile(dir, "inside", size, {{1 << 20, data}, {(3 << 20) + 7, "tail"}})},
        {"at_end", SparseFile(dir, "at_end", size, {{size - 4096, data.substr(0, 4096)}})},
        {"at_start", SparseFile(dir, "at_start", size, {{0, data}})},
    };
    for (const auto& [name, content] : files) {
        if (!content) GTEST_SKIP() << "this file system keeps no holes";
    }
    {
        CountingEnv counting;
        auto folder = OpenDirectory(counting, dir.path());
        ASSERT_TRUE(folder.ok());
        FingerprintLanes lanes(ChosenDigestKernel(), nullptr);
        std::map<std::string, Fingerprint> got;
        for (const auto& [name, content] : files) {
            lanes.Add(**folder, name, [&got, name](Fingerprint&& f) { got[name] = f; });
        }
        while (!lanes.empty()) lanes.Step();
        for (const auto& [name, content] : files) {
            SCOPED_TRACE(name);
            const Fingerprint one = FingerprintAt(**folder, name);
            for (const Fingerprint* print : {&one, static_cast<const Fingerprint*>(&got[name])}) {
                EXPECT_EQ(print->Md5Text(), Md5Hex(*content));
                EXPECT_EQ(print->sha256.text(), Sha256Hex(*content));
                EXPECT_FALSE(print->changed_while_read);
            }
        }
        // Six measurements of 4 MiB each, of which about 220 KB are data.
        EXPECT_LT(counting.bytes, int64_t{1} << 20);
    }
}

// A sparse file that grows while its holes are skipped: nothing past the size measured is hashed,
// and the second look makes the read no fingerprint.
TEST(Fingerprint, ASparseFileGrownWhileReadIsNoFingerprint) {
    TempDir dir;
    if (!SparseFile(dir, "grows", 4 << 20, {{0, "head"}})) GTEST_SKIP() << "no holes here";
    testing::RaceEnv grows;
    grows.After(testing::Call::kLSeek, "grows",
                [&] { ASSERT_EQ(::truncate((dir / "grows").c_str(), 8 << 20), 0); });
    const Fingerprint print = FingerprintOf(dir, "grows", grows);
    EXPECT_EQ(grows.Fired(), 1);
    EXPECT_TRUE(print.changed_while_read);
    EXPECT_EQ(print.facts.size, 4 << 20);
}

// Files of many sizes in the lanes at once, each measured as FingerprintAt measures it; one whose
// second read fails and one cut short while it is read leave their lanes without disturbing the
// others, for each kernel.
TEST(FingerprintLanes, EachFileAsFingerprintAtMeasuresItWhateverTheOthersDo) {
    TempDir dir;
    std::vector<std::string> names;
    std::map<std::string, Fingerprint> expected;
    for (size_t i = 0; i < 60; ++i) {
        std::string content(i < 40 ? i * 97 : (i - 39) * 20011, '\0');
        for (size_t j = 0; j < content.size(); ++j) content[j] = static_cast<char>(i * 7 + j);
        names.push_back("f" + std::to_string(i));
        dir.Write(names.back(), content);
        expected[names.back()] = FingerprintOf(dir, names.back());
    }
    names.insert(names.begin() + 20, "fails");
    names.insert(names.begin() + 30, "shrinks");
    for (DigestKernel kernel :
         {DigestKernel::kAvx512, DigestKernel::kAvx2, DigestKernel::kPortable}) {
        if (!testing::KernelRunsOrSaySkipped(kernel)) continue;
        SCOPED_TRACE(DigestKernelName(kernel));
        dir.Write("fails", std::string(300000, 'f'));
        dir.Write("shrinks", std::string(300000, 's'));
        testing::FaultEnv faults;
        faults.Fail(testing::Call::kRead, EIO, 2, "fails");
        testing::RaceEnv midway(&faults);
        midway.After(testing::Call::kRead, "shrinks",
                     [&] { ASSERT_EQ(::truncate((dir / "shrinks").c_str(), 1000), 0); });
        auto folder = OpenDirectory(midway, dir.path());
        ASSERT_TRUE(folder.ok());
        FingerprintLanes lanes(kernel, nullptr);
        std::map<std::string, Fingerprint> got;
        for (size_t next = 0; next < names.size() || !lanes.empty();) {
            while (!lanes.full() && next < names.size()) {
                const std::string& name = names[next++];
                lanes.Add(**folder, name, [&got, name](Fingerprint&& f) { got[name] = f; });
            }
            if (!lanes.empty()) lanes.Step();
        }
        for (const auto& [name, print] : expected) {
            EXPECT_EQ(got[name].Md5Text(), print.Md5Text()) << name;
            EXPECT_EQ(got[name].sha256.text(), print.sha256.text()) << name;
            EXPECT_EQ(got[name].facts.size, print.facts.size) << name;
            EXPECT_FALSE(got[name].changed_while_read) << name;
            EXPECT_EQ(got[name].capabilities, print.capabilities) << name;
        }
        EXPECT_TRUE(got["fails"].unreadable());
        EXPECT_EQ(got["fails"].sha256.text(), "");
        EXPECT_TRUE(got["shrinks"].changed_while_read);
        EXPECT_EQ(got["shrinks"].Md5Text(),
                  Md5Hex(std::string(FingerprintLanes::kBlockBytes, 's')));
        EXPECT_EQ(midway.Fired(), 1);
    }
}

// The lanes keep the one-file path's budgets: a file over the size budget is sampled, never
// read whole, and one whose reading outlasts the time budget is sampled too (never unread).
TEST(FingerprintLanes, FilesOverTheSizeOrTimeBudgetAreSampled) {
    TempDir dir;
    const std::string big = dir.Write("big", "x");
    ASSERT_EQ(::truncate(big.c_str(), 3 << 20), 0);
    auto folder = OpenDirectory(testing::SystemEnv(), dir.path());
    ASSERT_TRUE(folder.ok());
    HashBudget small;
    small.most_bytes = 1 << 20;
    HashBudget no_time;
    no_time.longest = std::chrono::nanoseconds(0);
    for (const HashBudget& budget : {small, no_time}) {
        FingerprintLanes lanes(ChosenDigestKernel(), nullptr, budget);
        Fingerprint got;
        lanes.Add(**folder, "big", [&got](Fingerprint&& f) { got = f; });
        while (!lanes.empty()) lanes.Step();
        EXPECT_FALSE(got.content_whole);
        EXPECT_TRUE(IsSampledDigest(got.Md5Text())) << got.Md5Text();
        EXPECT_TRUE(IsSampledDigest(got.sha256.text())) << got.sha256.text();
        EXPECT_EQ(got.md5, FingerprintAt(**folder, "big", nullptr, budget).md5);
    }
}

// The entries `names` of `folder` measured by FingerprintLanes with batched opening, the
// queue and the lanes kept as full as the digest workers keep them; `halfway` is called once half
// the names were given.
std::map<std::string, Fingerprint> MeasureBatched(const DirectoryHandle& folder,
                                                  const std::vector<std::string>& names, IoPath io,
                                                  const std::function<void()>& halfway = {},
                                                  Status* reader_failure = nullptr) {
    FingerprintLanes lanes(ChosenDigestKernel(), nullptr, kDefaultHashBudget, io);
    if (reader_failure) {
        lanes.OnReaderFailure([reader_failure](const Status& failure) {
            EXPECT_TRUE(reader_failure->ok()) << "said twice";
            *reader_failure = failure;
        });
    }
    std::map<std::string, Fingerprint> got;
    for (size_t next = 0; next < names.size() || !lanes.empty() || lanes.queued() > 0;) {
        while (!lanes.full() && next < names.size() && lanes.queued() < lanes.most_queued()) {
            if (next == names.size() / 2 && halfway) halfway();
            const std::string& name = names[next++];
            lanes.Add(folder, name, [&got, name](Fingerprint&& f) { got[name] = f; });
        }
        while (!lanes.full() && lanes.queued() > 0) lanes.AddQueued();
        if (!lanes.empty()) lanes.Step();
    }
    return got;
}

// Batched opening, on io_uring and on the plain path: each file measured as FingerprintAt
// measures it, whatever its size, type or attributes; a FIFO or device put among the files is
// opened without blocking and never read.
TEST(FingerprintLanes, BatchedOpeningMeasuresEachFileAsFingerprintAt) {
    TempDir dir;
    std::vector<std::string> names;
    for (size_t size : {0, 1, 100, 4095, 65535, 65536, 65537, 200000}) {
        names.push_back("s" + std::to_string(size));
        dir.Write(names.back(), std::string(size, static_cast<char>('a' + size % 26)));
    }
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("s100", (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
    names.insert(names.end(), {"fifo", "link", "folder", "missing"});
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
        const std::string page = dir.Write("acl", "<h1>home</h1>");
        ASSERT_TRUE(testing::SetAcl(page, "u::rw-,u:65534:rwx,g::r--,m::r-x,o::---"));
        const std::string binary = dir.Write("caps", "#!/bin/sh\n");
        ASSERT_TRUE(testing::SetCapabilities(binary, "cap_net_raw=ep"));
        // An ACL too large for the batch's buffer is asked again on the plain path.
        std::string many = "u::rw-,g::r--,m::r--,o::---";
        for (int id = 1000; id < 1200; ++id) many += ",u:" + std::to_string(id) + ":r--";
        const std::string large = dir.Write("large-acl", "x");
        ASSERT_TRUE(testing::SetAcl(large, many.c_str()));
        names.insert(names.end(), {"null", "acl", "caps", "large-acl"});
    }
    auto folder = OpenDirectory(testing::SystemEnv(), dir.path());
    ASSERT_TRUE(folder.ok());
    for (const char* io : {"plain", "uring"}) {
        SCOPED_TRACE(io);
        std::map<std::string, Fingerprint> got =
            MeasureBatched(**folder, names, ParseIoPath(io).value());
        for (const std::string& name : names) {
            const Fingerprint want = FingerprintAt(**folder, name);
            const Fingerprint& print = got[name];
            EXPECT_EQ(print.facts.kind, want.facts.kind) << name;
            EXPECT_EQ(print.facts.size, want.facts.size) << name;
            EXPECT_EQ(print.facts.mtime.tv_nsec, want.facts.mtime.tv_nsec) << name;
            EXPECT_EQ(print.facts.identity, want.facts.identity) << name;
            EXPECT_EQ(print.Md5Text(), want.Md5Text()) << name;
            EXPECT_EQ(print.Extended(), want.Extended()) << name;
            EXPECT_EQ(print.changed_while_read, want.changed_while_read) << name;
        }
        EXPECT_EQ(got["fifo"].Md5Text(), "");
        EXPECT_EQ(got["s100"].Md5Text(), Md5Hex(std::string(100, 'w')));
    }
}

// A ring the system refuses mid-run (here a seccomp filter refusing io_uring_enter once batches
// ran): every file is still measured, on the one-file path, none is left open, and the failure
// is handed to the caller to report.
TEST(FingerprintLanes, ARingRefusedMidRunLeavesEveryFileToTheOneFilePath) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back("f" + std::to_string(i));
        dir.Write(names.back(), std::string(static_cast<size_t>(i) * 97, 'x'));
    }
    auto folder = OpenDirectory(testing::SystemEnv(), dir.path());
    ASSERT_TRUE(folder.ok());
    auto in_a_child = [&] {
        // Refused once half the files were given: a batch's closes are then waiting too.
        const int open_before = testing::CountEntries("/proc/self/fd");
        Status failure;
        const std::map<std::string, Fingerprint> got =
            MeasureBatched(**folder, names, IoPath::kUring, testing::RefuseIoUringEnter, &failure);
        for (const std::string& name : names) {
            if (got.at(name).md5 != FingerprintAt(**folder, name).md5) std::_Exit(1);
        }
        if (failure.code() != EPERM) std::_Exit(4);
        std::_Exit(testing::CountEntries("/proc/self/fd") == open_before ? 0 : 2);
    };
    EXPECT_EXIT(in_a_child(), ::testing::ExitedWithCode(0), "");
}

TEST(CompareFacts, EachRecordedFactThatDiffersAndNoneNotRead) {
    ExtendedFacts was;
    was.sha256 = Sha256Digest(std::string(64, '1'));
    was.type = EntryKind::kRegular;
    was.mode = 0644;
    was.capabilities = "";
    was.acl = "";
    const std::string md5(32, 'm');
    struct Case {
        const char* what;
        void (*change)(std::string& md5, ExtendedFacts& now);
        std::vector<std::string_view> changed;
    };
    const Case cases[] = {
        {"nothing", [](std::string&, ExtendedFacts&) {}, {}},
        {"MD5", [](std::string& m, ExtendedFacts&) { m[0] = 'n'; }, {"content"}},
        {"SHA-256 alone (an MD5 collision)",
         [](std::string&, ExtendedFacts& f) {
             f.sha256 = Sha256Digest('2' + std::string(63, '1'));
         },
         {"content"}},
        {"a digest sampled on one side",
         [](std::string& m, ExtendedFacts& f) {
             m[0] = kSampledDigestMark;
             f.sha256 = Sha256Digest(kSampledDigestMark + std::string(63, '1'));
         },
         {}},
        {"setuid", [](std::string&, ExtendedFacts& f) { f.mode = 04777; }, {"mode"}},
        {"owner", [](std::string&, ExtendedFacts& f) { f.owner = 65534; }, {"owner"}},
        {"group", [](std::string&, ExtendedFacts& f) { f.group = 65534; }, {"group"}},
        {"type", [](std::string&, ExtendedFacts& f) { f.type = EntryKind::kSymlink; }, {"type"}},
        {"capabilities",
         [](std::string&, ExtendedFacts& f) { f.capabilities = "\x01"; },
         {"capabilities"}},
        {"ACL", [](std::string&, ExtendedFacts& f) { f.acl = "\x02"; }, {"acl"}},
        {"ACL not read now", [](std::string&, ExtendedFacts& f) { f.acl.reset(); }, {}},
        {"SHA-256 not read now",
         [](std::string&, ExtendedFacts& f) { f.sha256 = Sha256Digest(); },
         {}},
    };
    for (const Case& c : cases) {
        std::string now_md5 = md5;
        ExtendedFacts now = was;
        c.change(now_md5, now);
        EXPECT_EQ(Names(CompareFacts(Md5Digest(md5), was, Md5Digest(now_md5), now)), c.changed)
            << c.what;
    }
    // Not read when recorded: compared with nothing.
    ExtendedFacts unread = was;
    unread.capabilities.reset();
    ExtendedFacts granted = was;
    granted.capabilities = "\x01";
    EXPECT_TRUE(CompareFacts(Md5Digest(md5), unread, Md5Digest(md5), granted).empty());
    // A record without extended facts: the MD5 alone, shown as MD5 on both sides.
    granted.mode = 04777;
    EXPECT_TRUE(CompareFacts(Md5Digest(md5), std::nullopt, Md5Digest(md5), granted).empty());
    const auto content =
        CompareFacts(Md5Digest(md5), std::nullopt, Md5Digest(std::string(32, 'n')), granted);
    ASSERT_EQ(Names(content), std::vector<std::string_view>{"content"});
    EXPECT_EQ(content[0].was, "md5:" + md5);
    EXPECT_EQ(content[0].now, "md5:" + std::string(32, 'n'));
    // No MD5 on one side differs from any digest, shown as "" (a record that holds none).
    const auto none = CompareFacts(std::nullopt, std::nullopt, Md5Digest(md5), granted);
    ASSERT_EQ(Names(none), std::vector<std::string_view>{"content"});
    EXPECT_EQ(none[0].was, "md5:");
    EXPECT_TRUE(CompareFacts(std::nullopt, std::nullopt, std::nullopt, granted).empty());
    // The values shown.
    ExtendedFacts setuid = was;
    setuid.mode = 04777;
    const auto mode = CompareFacts(Md5Digest(md5), was, Md5Digest(md5), setuid);
    ASSERT_EQ(mode.size(), 1u);
    EXPECT_EQ(mode[0].was, "0644");
    EXPECT_EQ(mode[0].now, "4777");
}

}  // namespace
}  // namespace norv::platform
