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

#include "platform/base/notice_code.h"

namespace norv::platform {

// The fixed lines of a mail as it goes on the wire: header names and the MIME headers every mail
// carries. A receiving program reads them; their bytes never change.
namespace words {
constexpr std::string_view kDate = "Date: ";
constexpr std::string_view kMessageId = "Message-ID: ";
constexpr std::string_view kFrom = "From: ";
constexpr std::string_view kTo = "To: ";
constexpr std::string_view kSubject = "Subject: ";
constexpr std::string_view kFixedHeaders =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: base64\r\n";
constexpr std::string_view kLineEnd = "\r\n";
}  // namespace words

namespace {

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

struct Upload {
    const std::string* data;
    size_t offset = 0;
};

size_t ReadPayload(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    size_t room = size * count;
    size_t left = upload->data->size() - upload->offset;
    size_t n = std::min(room, left);
    std::memcpy(buffer, upload->data->data() + upload->offset, n);
    upload->offset += n;
    return n;
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

std::string ComposeMessage(const std::string& recipient, const std::string& sender,
                           const std::string& subject, const std::string& body,
                           const std::string& date, const std::string& message_id) {
    using namespace words;
    std::string message;
    message.append(kDate).append(date).append(kLineEnd);
    message.append(kMessageId).append(message_id).append(kLineEnd);
    message.append(kFrom).append(sender).append(kLineEnd);
    message.append(kTo).append(recipient).append(kLineEnd);
    message.append(kSubject).append(EncodeHeaderWord(subject)).append(kLineEnd);
    message.append(kFixedHeaders);
    message.append(kLineEnd);
    std::string encoded = Base64(body);
    for (size_t i = 0; i < encoded.size(); i += 76) {
        message.append(encoded.substr(i, 76)).append(kLineEnd);
    }
    return message;
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
    bool auth = false;  // an EHLO answer listed AUTH
};

// Protocol lines the server sent: "250-AUTH PLAIN LOGIN" or "250 AUTH=LOGIN" in an EHLO answer.
int HearServer(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN || size < 8) return 0;
    const std::string_view line(data, size);
    if (line.compare(0, 3, "250") != 0 || (line[3] != '-' && line[3] != ' ')) return 0;
    for (size_t i = 0; i < 4; ++i) {
        if (std::toupper(static_cast<unsigned char>(line[4 + i])) != "AUTH"[i]) return 0;
    }
    if (size == 8 || line[8] == ' ' || line[8] == '=' || line[8] == '\r' || line[8] == '\n') {
        static_cast<Offer*>(user)->auth = true;
    }
    return 0;
}

struct Attempt {
    CURLcode rc = CURLE_OK;
    Message error;  // curl's own text, or why no session began
    Offer offer;
};

// One session: `use_ssl` as libcurl takes it, and a login only when `login` is given (libcurl
// then logs in only when the server offers AUTH).
Attempt SendOnce(const std::string& url, const std::string& recipient, const std::string& sender,
                 const std::string& message, long use_ssl, const std::string& ca_file,
                 const MailCredentials* login) {
    Attempt attempt;
    CURL* curl = curl_easy_init();
    if (!curl) {
        attempt.rc = CURLE_OUT_OF_MEMORY;
        attempt.error = Message(NoticeCode::kSmtpCannotStartCurl);
        return attempt;
    }
    Upload upload{&message};
    char error[CURL_ERROR_SIZE] = "";
    curl_slist* recipients = curl_slist_append(nullptr, ("<" + recipient + ">").c_str());
    const std::string from = "<" + sender + ">";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadPayload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
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
    const std::string message = ComposeMessage(recipient, sender, subject, body,
                                               date.empty() ? RfcDate(now) : date, MessageId(now));
    // The credentials go to libcurl only together with TLS required: a password never travels
    // in clear, whatever the server says. Without an account, STARTTLS is used when offered.
    const std::string& ca_file = credentials.trusted_certificates;
    Attempt attempt;
    if (credentials.account.empty()) {
        attempt = SendOnce(url, recipient, sender, message, CURLUSESSL_TRY, ca_file, nullptr);
    } else {
        attempt = SendOnce(url, recipient, sender, message, CURLUSESSL_ALL, ca_file, &credentials);
        if (attempt.rc == CURLE_USE_SSL_FAILED) {
            // No TLS. A server that asks for a login would get the password in clear: nothing is
            // sent. One that offers no AUTH gets the mail without a login.
            if (attempt.offer.auth) {
                return Status::Error(ErrorKind::kRefused, attempt.rc,
                                     Message(NoticeCode::kSmtpAuthWithoutTls, {server}));
            }
            attempt = SendOnce(url, recipient, sender, message, CURLUSESSL_TRY, ca_file, nullptr);
        }
    }
    if (attempt.rc == CURLE_OK) return Status::Ok();
    return Status::Error(KindOfCurl(attempt.rc), attempt.rc,
                         Message(NoticeCode::kSmtpSendFailed, {server, attempt.error}));
}

}  // namespace norv::platform
