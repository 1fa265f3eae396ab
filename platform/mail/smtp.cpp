#include "platform/mail/smtp.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

#include "platform/base/notice_code.h"

namespace norv::platform {

// The fixed header names of a mail as it goes on the wire. A receiving program reads them; their
// bytes never change. libcurl adds the MIME headers of the body (a multipart/mixed holding one
// text/plain part in base64).
namespace words {
constexpr std::string_view kDate = "Date: ";
constexpr std::string_view kMessageId = "Message-ID: ";
constexpr std::string_view kFrom = "From: ";
constexpr std::string_view kTo = "To: ";
constexpr std::string_view kSubject = "Subject: ";
constexpr std::string_view kMimeVersion = "MIME-Version: 1.0";
constexpr const char* kTextType = "text/plain; charset=UTF-8";
constexpr const char* kBodyEncoding = "base64";
}  // namespace words

namespace {

// libcurl encodes the body (curl_mime_encoder) but has no call for a header's encoded words
// (RFC 2047): the subject's are made here.
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t n = (static_cast<uint8_t>(data[i]) << 16) |
                     (static_cast<uint8_t>(data[i + 1]) << 8) | static_cast<uint8_t>(data[i + 2]);
        out += kBase64[n >> 18];
        out += kBase64[(n >> 12) & 63];
        out += kBase64[(n >> 6) & 63];
        out += kBase64[n & 63];
    }
    if (i < data.size()) {
        uint32_t n = static_cast<uint8_t>(data[i]) << 16;
        if (i + 1 < data.size()) n |= static_cast<uint8_t>(data[i + 1]) << 8;
        out += kBase64[n >> 18];
        out += kBase64[(n >> 12) & 63];
        out += i + 1 < data.size() ? kBase64[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool IsPlainAscii(const std::string& s) {
    for (unsigned char c : s) {
        if (c >= 0x80 || c < 0x20) return false;
    }
    return true;
}

std::string RfcDate(std::time_t now) {
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char buf[64];
    // Day and month names in English whatever the locale, as RFC 5322 wants.
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long offset = tm.tm_gmtoff / 60;
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[tm.tm_wday], tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60,
                  std::labs(offset) % 60);
    return buf;
}

std::string MessageId(std::time_t now) {
    std::random_device rd;
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    char buf[400];
    std::snprintf(buf, sizeof buf, "<%08x%08x.%ld@%s>", rd(), rd(), static_cast<long>(now), host);
    return buf;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

}  // namespace

std::string EncodeHeaderWord(const std::string& text) {
    if (IsPlainAscii(text)) return text;
    // Split at character boundaries into pieces whose encoded words stay under 76 columns.
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        while (end < text.size()) {
            size_t next = end + 1;
            while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80)
                ++next;
            if (next - start > 45) break;
            end = next;
        }
        if (end == start) end = text.size();
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + Base64(std::string_view(text).substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

std::vector<std::string> MailHeaders(const std::string& recipient, const std::string& sender,
                                     const std::string& subject, const std::string& date,
                                     const std::string& message_id) {
    using namespace words;
    return {std::string(kDate) + date,
            std::string(kMessageId) + message_id,
            std::string(kFrom) + sender,
            std::string(kTo) + recipient,
            std::string(kSubject) + EncodeHeaderWord(subject),
            std::string(kMimeVersion)};
}

namespace {

// curl's result codes as kinds: the one place they are read.
ErrorKind KindOfCurl(CURLcode rc) {
    switch (rc) {
        case CURLE_USE_SSL_FAILED:
        case CURLE_LOGIN_DENIED:
            return ErrorKind::kRefused;
        case CURLE_OUT_OF_MEMORY:
            return ErrorKind::kIo;
        default:
            return ErrorKind::kNetwork;
    }
}

}  // namespace

namespace {

// What a session heard of the server's offer.
struct Offer {
    bool greeted = false;   // an EHLO answer came
    bool auth = false;      // it listed AUTH
    bool starttls = false;  // it listed STARTTLS
};

// Whether `line` ("250-AUTH PLAIN LOGIN", "250 AUTH=LOGIN", "250-STARTTLS") names `word`.
bool Lists(std::string_view line, std::string_view word) {
    if (line.size() < 4 + word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[4 + i])) != word[i]) return false;
    }
    const size_t after = 4 + word.size();
    return after == line.size() || line[after] == ' ' || line[after] == '=' ||
           line[after] == '\r' || line[after] == '\n';
}

// Protocol lines the server sent: the EHLO answer's lines begin "250-" or "250 ".
int HearServer(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN || size < 4) return 0;
    const std::string_view line(data, size);
    if (line.compare(0, 3, "250") != 0 || (line[3] != '-' && line[3] != ' ')) return 0;
    auto* offer = static_cast<Offer*>(user);
    offer->greeted = true;
    if (Lists(line, "AUTH")) offer->auth = true;
    if (Lists(line, "STARTTLS")) offer->starttls = true;
    return 0;
}

// The answer to the probe's NOOP is nobody's to read.
size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

struct Attempt {
    CURLcode rc = CURLE_OK;
    Message error;  // curl's own text, or why no session began
    Offer offer;
};

// What goes after DATA: the mail's own headers, and the body libcurl encodes.
struct Mail {
    std::vector<std::string> headers;
    std::string body;
};

// One session: `use_ssl` as libcurl takes it, and a login only when `login` is given (libcurl
// then logs in only when the server offers AUTH). Without a `mail`, the session only asks the
// server what it offers (EHLO, NOOP) and ends.
Attempt Session(const std::string& url, const std::string& recipient, const std::string& sender,
                const Mail* mail, long use_ssl, const std::string& ca_file,
                const MailCredentials* login) {
    Attempt attempt;
    CURL* curl = curl_easy_init();
    if (!curl) {
        attempt.rc = CURLE_OUT_OF_MEMORY;
        attempt.error = Message(NoticeCode::kSmtpCannotStartCurl);
        return attempt;
    }
    char error[CURL_ERROR_SIZE] = "";
    curl_slist* recipients = nullptr;
    curl_slist* headers = nullptr;
    curl_mime* mime = nullptr;
    const std::string from = "<" + sender + ">";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (mail) {
        recipients = curl_slist_append(nullptr, ("<" + recipient + ">").c_str());
        for (const std::string& header : mail->headers) {
            headers = curl_slist_append(headers, header.c_str());
        }
        mime = curl_mime_init(curl);
        curl_mimepart* text = curl_mime_addpart(mime);
        curl_mime_data(text, mail->body.data(), mail->body.size());
        curl_mime_type(text, words::kTextType);
        curl_mime_encoder(text, words::kBodyEncoding);
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "NOOP");
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    }
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_USE_SSL, use_ssl);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp");
    // The callback only reads the server's lines; nothing is printed.
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, HearServer);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &attempt.offer);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    if (!ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
    if (login) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, login->account.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, login->password.c_str());
    }
    attempt.rc = curl_easy_perform(curl);
    attempt.error = std::string(error[0] ? error : curl_easy_strerror(attempt.rc));
    curl_slist_free_all(recipients);
    curl_slist_free_all(headers);
    curl_mime_free(mime);
    // A session that went well is still open: the cleanup says QUIT. libcurl drops one that
    // failed without it.
    curl_easy_cleanup(curl);
    return attempt;
}

}  // namespace

Status SendMail(Env& env, const std::string& server, const std::string& recipient,
                const std::string& sender, const std::string& subject, const std::string& body,
                const std::string& /*unused*/, const MailCredentials& credentials,
                const std::string& date) {
    if (HasLineBreak(recipient) || HasLineBreak(sender) || HasLineBreak(subject) ||
        HasLineBreak(server)) {
        return Status::Error(ErrorKind::kRefused, kErrMail,
                             Message(NoticeCode::kSmtpLineBreakInHeader));
    }
    if (server.empty()) {
        return Status::Error(ErrorKind::kFormat, kErrMail, Message(NoticeCode::kSmtpNoServer));
    }
    if (recipient.empty()) {
        return Status::Error(ErrorKind::kFormat, kErrMail, Message(NoticeCode::kSmtpNoRecipient));
    }

    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::string host = server;
    std::string port = "25";
    if (size_t colon = server.rfind(':'); colon != std::string::npos) {
        host = server.substr(0, colon);
        port = server.substr(colon + 1);
    }
    const std::string url = "smtp://" + host + ":" + port;
    const std::time_t now = std::chrono::system_clock::to_time_t(env.WallNow());
    const Mail message{
        MailHeaders(recipient, sender, subject, date.empty() ? RfcDate(now) : date, MessageId(now)),
        body};
    // The credentials go to libcurl only together with TLS required: a password never travels
    // in clear, whatever the server says. Without an account, STARTTLS is used when offered.
    const std::string& ca_file = credentials.trusted_certificates;
    Attempt attempt;
    if (credentials.account.empty()) {
        attempt = Session(url, recipient, sender, &message, CURLUSESSL_TRY, ca_file, nullptr);
    } else {
        // What the server offers is asked first, in a session of its own that ends with QUIT:
        // a send that required TLS from a server without it would be dropped mid-greeting.
        attempt = Session(url, recipient, sender, nullptr, CURLUSESSL_NONE, ca_file, nullptr);
        if (!attempt.offer.greeted) {
            return Status::Error(KindOfCurl(attempt.rc), attempt.rc,
                                 Message(NoticeCode::kSmtpSendFailed, {server, attempt.error}));
        }
        const Offer offer = attempt.offer;
        if (offer.starttls) {
            attempt =
                Session(url, recipient, sender, &message, CURLUSESSL_ALL, ca_file, &credentials);
        } else if (offer.auth) {
            // No TLS, and a login asked for: the password would go in clear, so nothing is sent.
            return Status::Error(ErrorKind::kRefused, CURLE_USE_SSL_FAILED,
                                 Message(NoticeCode::kSmtpAuthWithoutTls, {server}));
        } else {
            // Neither: the mail goes without a login.
            attempt = Session(url, recipient, sender, &message, CURLUSESSL_NONE, ca_file, nullptr);
        }
    }
    if (attempt.rc == CURLE_OK) return Status::Ok();
    return Status::Error(KindOfCurl(attempt.rc), attempt.rc,
                         Message(NoticeCode::kSmtpSendFailed, {server, attempt.error}));
}

}  // namespace norv::platform
