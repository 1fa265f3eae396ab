// SendMail: one mail through an SMTP server (libcurl).
//
// Takes six texts in this order (server, recipient, sender, subject, body, and an unused empty
// text). A failure's message is a readable description that starts with "(server)" when the
// server was reached for; kinds: kRefused (a header that would inject lines, a server that
// cannot encrypt a password), kFormat (no server or recipient), kNetwork. The server is a host name with an optional ":port" (25 when none).
// The mail is a MIME message: Date, Message-ID, From, To, a Subject encoded for its Japanese text
// (RFC 2047), and a UTF-8 text/plain body. Without an account, STARTTLS is used when the server
// offers it. With an account given, TLS is required: a server without STARTTLS gets neither the
// password nor the mail, and the failure says why; inside TLS the server's authentication is
// used when offered.
#pragma once

#include <string>

#include "platform/status.h"

namespace norv::platform {

struct MailCredentials {
    std::string account;
    std::string password;
};

// `date` is the Date header's value (RFC 5322 form); empty means now.
Status SendMail(const std::string& server, const std::string& recipient,
                     const std::string& sender, const std::string& subject, const std::string& body,
                     const std::string& unused, const MailCredentials& credentials = {},
                     const std::string& date = {});

// The message as it goes on the wire (headers, blank line, base64 body), for tests.
std::string ComposeMessage(const std::string& recipient, const std::string& sender,
                           const std::string& subject, const std::string& body,
                           const std::string& date, const std::string& message_id);

// "=?UTF-8?B?...?=" words for a header text that is not plain ASCII, folded to fit lines.
std::string EncodeHeaderWord(const std::string& text);

}  // namespace norv::platform
