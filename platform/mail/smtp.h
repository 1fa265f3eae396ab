// SendMail: one mail through an SMTP server (libcurl).
//
// Takes six texts in this order (server, recipient, sender, subject, body, and an unused empty
// text). A failure's message is a kSmtp... code, naming the server (kSmtpSendFailed,
// kSmtpAuthWithoutTls) when it was reached for; kinds: kRefused (a header that would inject
// lines, a server that asks for a login it cannot encrypt), kFormat (no server or recipient),
// kNetwork. The server is a host name with an optional ":port" (25 when none).
// The mail is a MIME message: Date, Message-ID, From, To, a Subject encoded for its Japanese text
// (RFC 2047), and a UTF-8 text/plain body in base64 (libcurl's MIME, a multipart/mixed of that
// one part). STARTTLS is used whenever the server offers it. With
// an account given, the server's AUTH is used when it offers it, and only inside TLS: a server
// that offers AUTH but no STARTTLS gets neither the password nor the mail, and the failure says
// why; one that offers no AUTH and no STARTTLS gets the mail without a login. With an account,
// a short session first asks what the server offers (EHLO, NOOP) and ends with QUIT.
#pragma once

#include <string>
#include <vector>

#include "platform/base/env.h"
#include "platform/base/status.h"

namespace norv::platform {

struct MailCredentials {
    std::string account;
    std::string password;
    // A PEM file of the authorities to trust instead of the system's; empty for the system's.
    std::string trusted_certificates;
};

// `date` is the Date header's value (RFC 5322 form); empty means now, by `env`'s clock, which
// the message id takes its time from too.
Status SendMail(Env& env, const std::string& server, const std::string& recipient,
                const std::string& sender, const std::string& subject, const std::string& body,
                const std::string& unused, const MailCredentials& credentials = {},
                const std::string& date = {});

// The mail's own headers in their order: Date, Message-ID, From, To, Subject (encoded words
// where it is not plain ASCII) and MIME-Version. libcurl adds the body's MIME headers.
std::vector<std::string> MailHeaders(const std::string& recipient, const std::string& sender,
                                     const std::string& subject, const std::string& date,
                                     const std::string& message_id);

// "=?UTF-8?B?...?=" words for a header text that is not plain ASCII, folded to fit lines.
std::string EncodeHeaderWord(const std::string& text);

}  // namespace norv::platform
