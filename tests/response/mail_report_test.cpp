#include "response/mail_report.h"

#include <gtest/gtest.h>

#include "platform/base/notice_code.h"
#include "tests/support/smtp_fixture.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::RecordingHooks;
using testing::SmtpMode;
using testing::SmtpServer;
using testing::TempDir;

// The events a mail gives: "mail done <recipients>" or "mail failed <reason>".
struct MailEvents : EventSink {
    void BeginRun(std::string_view) override {}
    void Change(const ChangeEvent&) override {}
    void Action(const std::string&, ResponseAction action, bool succeeded,
                const Message& detail) override {
        seen.push_back(std::string(ResponseActionName(action)) +
                       (succeeded ? " done " : " failed ") + Render(detail));
    }
    void EndRun(const ScanCounters&, std::string_view) override {}
    std::vector<std::string> seen;
};

class MailReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context = testing::MakeContext(dir.path());
        counters = {120, 0, 1, 2};  // checked, created, altered, deleted
        settings.mail_to = "admin@example.org";
        settings.mail_from = "norv@example.org";
    }
    MailReport Report() { return MailReport(context, settings, counters, clock, *regional, hooks); }

    TempDir dir;
    RunContext context;
    Settings settings;
    ScanCounters counters;
    testing::FixedClock clock;
    std::unique_ptr<platform::RegionalFormat> regional = testing::JapaneseFormat();
    RecordingHooks hooks;
};

TEST_F(MailReportTest, SubjectOrderIsCheckedAlteredCreatedDeleted) {
    clock.Advance(std::chrono::seconds(3 * 3600 + 29 * 60 + 34));
    EXPECT_EQ(Report().Subject(), "NORV スキャンログ  2004/04/11 12:34:56 V:120 A:1 C:0 D:2");
}

TEST_F(MailReportTest, BodyIsTheLogWithCrLfOnEveryLine) {
    testing::WriteAll(context.LogPath(), "");
    EXPECT_EQ(Report().Body(), "");
    testing::WriteAll(context.LogPath(), "a\r\nb");
    EXPECT_EQ(Report().Body(), "a\r\nb\r\n");
    ::unlink(context.LogPath().c_str());
    EXPECT_NE(Report().Body().find("norv.log"), std::string::npos);
}

TEST_F(MailReportTest, FailureMessagePutsTheReasonFirstAndTheRecipientLast) {
    settings.smtp_server = "127.0.0.1:" + std::to_string(testing::UnusedPort());
    testing::WriteAll(context.LogPath(), "log\r\n");
    MailEvents events;
    MailReport report = Report();
    report.SetEventSink(&events);
    report.SendScanReport({});
    ASSERT_EQ(hooks.notices.size(), 1u);
    const Notice& notice = hooks.notices[0];
    // The failure is an event too, for a service nobody watches.
    ASSERT_EQ(events.seen.size(), 1u);
    EXPECT_EQ(events.seen[0].rfind("mail failed ", 0), 0u) << events.seen[0];
    ASSERT_EQ(notice.text.code(), NoticeCode::kReportNotSent) << hooks.messages[0];
    EXPECT_EQ(notice.text.args()[0], notice.status.what());
    EXPECT_FALSE(notice.status.what().empty());
    EXPECT_EQ(notice.text.args()[1], Message(settings.mail_to));
}

TEST_F(MailReportTest, AnAccountAndAServerWithoutStartTlsSendNothing) {
    SmtpServer server(SmtpMode::kAuth);
    ASSERT_TRUE(server.started());
    settings.smtp_server = server.address();
    settings.mail_account = "user";
    settings.mail_password = "pass";
    testing::WriteAll(context.LogPath(), "log\r\n");
    Report().SendScanReport({});
    ASSERT_EQ(hooks.notices.size(), 1u);
    const Message& said = hooks.notices[0].text;
    ASSERT_EQ(said.code(), NoticeCode::kReportNotSent) << hooks.messages[0];
    EXPECT_EQ(Render(said.args()[0]), "kSmtpAuthWithoutTls(" + server.address() + ")");
    EXPECT_EQ(said.args()[1], Message(settings.mail_to));
    EXPECT_TRUE(server.Received().empty());
    EXPECT_EQ(server.AuthAttempts(), std::vector<std::string>{});
}

TEST_F(MailReportTest, SendsTheClosedLogThroughTheServer) {
    SmtpServer server;
    ASSERT_TRUE(server.started());
    settings.smtp_server = server.address();
    testing::WriteAll(context.LogPath(), "----\r\n\xe6\xa4\x9c\xe6\x9f\xbb\r\n");
    // Who made a change comes after the log's lines, which keep their bytes.
    Report().SendScanReport({"/srv/a.html  pid 7 /usr/bin/dash, uid 33"});
    EXPECT_TRUE(hooks.messages.empty());
    auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(
        mails[0].body,
        "----\r\n検査\r\n\r\n書き込んだプロセス:\r\n/srv/a.html  pid 7 /usr/bin/dash, uid 33\r\n");
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"admin@example.org"});
}

}  // namespace
}  // namespace norv
