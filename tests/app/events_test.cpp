// The events file as a log pipeline reads it: the real binary on real folders, every line read
// back with Python's json module (tests/support/events_check.py).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/digest/md5.h"
#include "platform/text/text_file.h"
#include "response/change_response.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::Outcome;
using testing::ReadAll;
using testing::TempDir;

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class EventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        binary = testing::CliBinary();
        ASSERT_FALSE(binary.empty());
        program = scratch.MakeDir("program");
        ::mkdir((scratch / "save").c_str(), 0700);
        auto lines = testing::SettingsLines(scratch / "save", scratch / "cracked");
        lines[12] = " 1 ";  // automatic restore: the response's actions are events too
        ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), program + "/norvcfg.txt",
                                                  lines, "UTF-8")
                        .ok());
        testing::WriteAll(program + "/user_rule.txt", "<rule>" + tree.path() + ",3</rule>\r\n");
    }
    // norv-cli with `args`; standard output alone in `stdout_file`.
    Outcome Cli(const std::string& args, const std::string& stdout_file = "/dev/null") {
        return testing::RunProcess({"/bin/sh", "-c",
                                    "'" + binary + "' --dir '" + program + "' " + args + " 2>'" +
                                        (scratch / "err.txt") + "' >'" + stdout_file + "'"},
                                   scratch / "sh.txt");
    }
    // What events_check.py makes of `files`; fails the test with its reason.
    std::vector<std::string> Checked(const std::vector<std::string>& files) {
        std::vector<std::string> argv = {"/usr/bin/python3",
                                         testing::SourcePath("tests/support/events_check.py")};
        argv.insert(argv.end(), files.begin(), files.end());
        Outcome read = testing::RunProcess(argv, scratch / "checked.txt");
        EXPECT_EQ(read.exit_code, 0) << read.out;
        return Lines(read.out);
    }
    std::string Events() { return program + "/norv-events.jsonl"; }

    std::string binary;
    TempDir scratch;
    TempDir tree;
    std::string program;
};

TEST_F(EventsTest, EveryChangeAndActionIsOneJsonLineAndEveryNameComesBackByteForByte) {
    // Not UTF-8, and a backslash before what reads like an escape.
    const std::string odd = "odd\xff\\x41name";
    const std::string page = tree.Write("index.html", "original");
    tree.Write(odd, "x");
    ASSERT_EQ(Cli("archive").exit_code, 0);
    ASSERT_EQ(Cli("init").exit_code, 0);
    const std::string baseline = platform::Md5Hex("original");

    tree.Write("index.html", "defaced");
    const std::string planted = tree.Write("shell\xfe.php", "<?php");
    ASSERT_EQ(::unlink((tree / odd).c_str()), 0);
    const std::string before = ReadAll(Events());
    Outcome check = Cli("--json check", scratch / "stdout.txt");
    EXPECT_EQ(check.exit_code, 1) << ReadAll(scratch / "err.txt");  // the status is unchanged

    // Standard output carries this run's lines exactly as the file got them, and nothing else.
    const std::string appended = ReadAll(Events()).substr(before.size());
    EXPECT_EQ(ReadAll(scratch / "stdout.txt"), appended);
    const std::vector<std::string> events = Checked({scratch / "stdout.txt"});
    const std::vector<std::string> expected = {
        "change created " + Hex(planted) + " - " + platform::Md5Hex("<?php"),
        "action quarantine " + Hex(planted) + " done",
        "change altered " + Hex(page) + " " + baseline + " " + platform::Md5Hex("defaced"),
        "action quarantine " + Hex(page) + " done",
        "action restore " + Hex(page) + " done",
        "change deleted " + Hex(tree / odd) + " " + platform::Md5Hex("x") + " -",
        "action restore " + Hex(tree / odd) + " done",
        "run check completed 2 1 1 1",
    };
    // Walk order decides which change comes first; each change keeps its actions after it.
    std::vector<std::string> sorted_events = events, sorted_expected = expected;
    std::sort(sorted_events.begin(), sorted_events.end());
    std::sort(sorted_expected.begin(), sorted_expected.end());
    EXPECT_EQ(sorted_events, sorted_expected);
    EXPECT_EQ(events.back(), expected.back());
    EXPECT_EQ(ReadAll(page), "original");

    // `changes --json` prints each change as its event carries it (with the rule that covers
    // it); the check left the baseline the init made, and its run says so.
    std::map<std::string, nlohmann::json> carried;
    std::vector<std::string> baselines;
    for (const std::string& line : Lines(ReadAll(Events()))) {
        const nlohmann::json event = nlohmann::json::parse(line);
        nlohmann::json fields = event["norv"];
        if (event["event"]["action"] == "run") baselines.push_back(fields["baseline_sha256"]);
        if (event["event"]["action"] != "change") continue;
        for (const char* own : {"version", "run", "held"}) fields.erase(own);
        carried[fields["path"]] = fields;
    }
    ASSERT_EQ(baselines.size(), 2u);
    EXPECT_EQ(baselines[0], baselines[1]);
    ASSERT_EQ(Cli("changes --json", scratch / "changes.txt").exit_code, 0);
    const std::vector<std::string> listed = Lines(ReadAll(scratch / "changes.txt"));
    EXPECT_EQ(listed.size(), 3u);
    for (const std::string& line : listed) {
        nlohmann::json change = nlohmann::json::parse(line);
        for (const char* own : {"set_id_gained", "capability_gained", "generation"}) {
            change.erase(own);
        }
        EXPECT_EQ(change, carried[change["path"]]) << line;
        EXPECT_EQ(change["rule"]["path"], tree.path()) << line;
    }

    // Every line of the whole file, the init's included, reads back; the file is owner-only.
    EXPECT_EQ(Checked({Events()}).size(), Lines(ReadAll(Events())).size());
    struct stat st {};
    ASSERT_EQ(::stat(Events().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(EventsTest, TheFileIsAppendedAndRotatesBySizeKeepingTheNumberAsked) {
    tree.Write("index.html", "1");
    ASSERT_EQ(Cli("--events-max-bytes 2048 --events-keep 2 init").exit_code, 0);
    // A new file is reported at every check until an init takes it in: each check adds lines.
    tree.Write("new.html", "2");
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(Cli("--events-max-bytes 2048 --events-keep 2 check").exit_code, 1);
    }
    const std::vector<std::string> files = {Events() + ".2", Events() + ".1", Events()};
    size_t lines = 0;
    for (const std::string& f : files) {
        struct stat st {};
        ASSERT_EQ(::stat(f.c_str(), &st), 0) << f;
        EXPECT_LE(st.st_size, 2048) << f;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
        lines += Lines(ReadAll(f)).size();
    }
    EXPECT_NE(::access((Events() + ".3").c_str(), F_OK), 0) << "more files kept than asked";
    // The three files read back whole, oldest first, each run's summary after its changes.
    const std::vector<std::string> all = Checked(files);
    EXPECT_EQ(all.size(), lines);
    EXPECT_EQ(all.back(), "run check completed 2 0 1 0");
    // Options that make no sense are refused, naming the argument.
    EXPECT_EQ(Cli("--events-keep -1 check").exit_code, 64);
    EXPECT_NE(ReadAll(scratch / "err.txt").find("--events-keep"), std::string::npos);
}

// The run's summary of files left without a copy, which the events and the log quote, reads as
// whole sentences: its parts joined as they always were.
TEST(EventsWording, TheSummaryOfFilesLeftWithoutACopyReadsAsBefore) {
    EXPECT_EQ(Render(UncopiedSummary(0, 3)),
              "クラックフォルダの一覧が上限に達したため、3 個を一覧に記さずに削除しました");
    EXPECT_EQ(
        Render(UncopiedSummary(4, 2, 1)),
        "クラックフォルダへのコピーが上限に達したため、4 個のファイルをコピーせずに削除しました"
        " (うち 2 個は一覧にも記していません)。クラックフォルダへのコピーが上限に達したため、"
        "取り出したフォルダの中の 1 個のファイルはコピーせずに root のものにして残しました");
}

}  // namespace
}  // namespace norv
