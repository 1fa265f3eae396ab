#include "platform/mail/smtp.h"

#include <gtest/gtest.h>

#include "platform/base/notice_code.h"
#include "tests/support/smtp_fixture.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::SmtpMode;
using testing::SmtpServer;

TEST(SendMail, DeliversEnvelopeSubjectAndBodyIntact) {
    SmtpServer server;
    ASSERT_TRUE(server.started());
    const std::string subject = "NORV スキャンログ  2004/04/11 12:34:56 V:120 A:1 C:0 D:2";
    const std::string body =
        "line one\r\n.starts with a dot\r\n..two dots\r\n日本語\u3000\r\n.\r\n";
    Status result = platform::SendMail(testing::SystemEnv(), server.address(), "admin@example.org",
                                       "norv@example.org", subject, body, "");
    ASSERT_TRUE(result.ok()) << result.message();
    auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].sender, "norv@example.org");
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"admin@example.org"});
    EXPECT_EQ(mails[0].subject, subject);
    EXPECT_EQ(mails[0].body, body);
    // The mail's headers, before the first blank line; the text part's own after it.
    const std::string head = "\r\n" + mails[0].raw.substr(0, mails[0].raw.find("\r\n\r\n") + 2);
    for (const char* header : {"\r\nDate: ", "\r\nMessage-ID: <", "\r\nFrom: norv@example.org\r\n",
                               "\r\nTo: admin@example.org\r\n", "\r\nMIME-Version: 1.0\r\n"}) {
        EXPECT_NE(head.find(header), std::string::npos) << header << mails[0].raw;
    }
    EXPECT_NE(mails[0].raw.find("\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                                "Content-Transfer-Encoding: base64\r\n"),
              std::string::npos)
        << mails[0].raw;
    EXPECT_EQ(mails[0].login, "");
}

TEST(SendMail, FailuresComeBackAsReadableText) {
    Status refused = platform::SendMail(testing::SystemEnv(),
                                        "127.0.0.1:" + std::to_string(testing::UnusedPort()), "a@b",
                                        "c@d", "s", "b", "");
    EXPECT_TRUE(refused.Is(ErrorKind::kNetwork)) << refused.message();
    ASSERT_EQ(refused.what().code(), NoticeCode::kSmtpSendFailed) << refused.message();
    EXPECT_EQ(refused.what().args().at(0).literal().rfind("127.0.0.1:", 0), 0u);

    SmtpServer server;
    ASSERT_TRUE(server.started());
    Status rejected = platform::SendMail(testing::SystemEnv(), server.address(),
                                         "reject@example.org", "c@d", "s", "b", "");
    EXPECT_NE(rejected.message().find("550"), std::string::npos) << rejected.message();
    EXPECT_TRUE(server.Received().empty());

    EXPECT_TRUE(
        platform::SendMail(testing::SystemEnv(), "no-such-host.invalid", "a@b", "c@d", "s", "b", "")
            .Is(ErrorKind::kNetwork));
}

TEST(SendMail, LineBreaksInHeadersAreRefused) {
    SmtpServer server;
    ASSERT_TRUE(server.started());
    const Status injected = platform::SendMail(testing::SystemEnv(), server.address(), "a@b", "c@d",
                                               "x\r\nBcc: victim@e", "b", "");
    EXPECT_TRUE(injected.Is(ErrorKind::kRefused)) << injected.message();
    EXPECT_TRUE(injected.what().Has(NoticeCode::kSmtpLineBreakInHeader)) << injected.message();
    EXPECT_TRUE(platform::SendMail(testing::SystemEnv(), server.address(), "a@b\r\nRCPT TO:<x@y>",
                                   "c@d", "s", "b", "")
                    .Is(ErrorKind::kRefused));
    EXPECT_TRUE(
        platform::SendMail(testing::SystemEnv(), server.address(), "a@b", "c@d\n", "s", "b", "")
            .Is(ErrorKind::kRefused));
    EXPECT_TRUE(server.Received().empty());
}

TEST(SendMail, WithoutAnAccountTheServerDecides) {
    SmtpServer server(SmtpMode::kAuth);
    ASSERT_TRUE(server.started());
    EXPECT_FALSE(
        platform::SendMail(testing::SystemEnv(), server.address(), "a@b", "c@d", "s", "b", "")
            .ok());
    EXPECT_TRUE(server.Received().empty());
    SmtpServer plain;
    ASSERT_TRUE(plain.started());
    EXPECT_TRUE(
        platform::SendMail(testing::SystemEnv(), plain.address(), "a@b", "c@d", "s", "b", "").ok());
    EXPECT_EQ(plain.Received().size(), 1u);
    SmtpServer tls(SmtpMode::kStartTlsOpen);
    ASSERT_TRUE(tls.started());
    EXPECT_TRUE(platform::SendMail(testing::SystemEnv(), tls.address(), "a@b", "c@d", "s", "b", "",
                                   {"", "", tls.certificate()})
                    .ok());
    ASSERT_EQ(tls.Received().size(), 1u);
    EXPECT_TRUE(tls.Received()[0].tls);
}

// With an account set, a login happens only when the server offers AUTH, and only inside TLS:
// each kind of server gets the mail where it may, and a password never travels in clear.
TEST(SendMail, WithAnAccountTheMailGoesWhereItMayAndThePasswordOnlyInsideTls) {
    struct Case {
        SmtpMode mode;
        bool trusted;  // the client trusts the server's certificate
        bool arrives;
        std::string login;
    };
    const Case cases[] = {
        {SmtpMode::kPlain, false, true, ""},        // neither AUTH nor STARTTLS: no login
        {SmtpMode::kAuth, false, false, ""},        // AUTH in clear only: refused, and said why
        {SmtpMode::kStartTls, true, true, "user"},  // AUTH inside TLS
        {SmtpMode::kStartTls, false, false, ""},    // a certificate nobody vouches for
        {SmtpMode::kStartTlsOpen, true, true, ""},  // TLS without AUTH
    };
    for (const Case& c : cases) {
        SmtpServer server(c.mode);
        ASSERT_TRUE(server.started());
        const platform::MailCredentials login{"user", "pass",
                                              c.trusted ? server.certificate() : ""};
        const Status sent = platform::SendMail(testing::SystemEnv(), server.address(), "a@b", "c@d",
                                               "s", "b", "", login);
        const std::string what = std::to_string(static_cast<int>(c.mode)) + ": " + sent.message();
        EXPECT_EQ(sent.ok(), c.arrives) << what;
        const auto mails = server.Received();
        ASSERT_EQ(mails.size(), c.arrives ? 1u : 0u) << what;
        if (c.arrives) {
            EXPECT_EQ(mails[0].login, c.login) << what;
            EXPECT_EQ(mails[0].tls, c.mode != SmtpMode::kPlain) << what;
        } else {
            ASSERT_FALSE(sent.what().args().empty()) << what;
            EXPECT_EQ(sent.what().args()[0], Message(server.address())) << what;
        }
        EXPECT_EQ(server.AuthAttempts(), c.login.empty() ? std::vector<std::string>{}
                                                         : std::vector<std::string>{"user\tpass"})
            << what;
        if (c.mode == SmtpMode::kAuth) {
            EXPECT_EQ(sent.what(), Message(NoticeCode::kSmtpAuthWithoutTls, {server.address()}))
                << what;
        }
        // Every session that greeted the server ends with QUIT, the one that only learns what
        // it offers too; a refused certificate leaves no channel to say it in.
        if (c.trusted || c.mode != SmtpMode::kStartTls) {
            EXPECT_GT(server.Sessions(), 0) << what;
            EXPECT_EQ(server.SessionsQuit(), server.Sessions()) << what;
        }
    }
}

TEST(HeaderWords, LongJapaneseSubjectsFoldIntoEncodedWords) {
    std::string word = platform::EncodeHeaderWord(
        std::string(30, 'x') + "改ざんを検知したら自動で保存してあるファイルで復旧する");
    EXPECT_NE(word.find("\r\n =?UTF-8?B?"), std::string::npos);
    for (size_t start = 0, end; start < word.size(); start = end + 2) {
        end = word.find("\r\n", start);
        if (end == std::string::npos) end = word.size();
        EXPECT_LE(end - start, 78u);
    }
    EXPECT_EQ(platform::EncodeHeaderWord("plain"), "plain");
}

}  // namespace
}  // namespace norv
