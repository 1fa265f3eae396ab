#include "platform/smtp.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <random>

namespace norv::platform {
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

std::string RfcDate() {
    std::time_t now = std::time(nullptr);
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

std::string MessageId() {
    std::random_device rd;
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    char buf[400];
    std::snprintf(buf, sizeof buf, "<%08x%08x.%ld@%s>", rd(), rd(),
                  static_cast<long>(std::time(nullptr)), host);
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
    std::string message;
    message += "Date: " + date + "\r\n";
    message += "Message-ID: " + message_id + "\r\n";
    message += "From: " + sender + "\r\n";
    message += "To: " + recipient + "\r\n";
    message += "Subject: " + EncodeHeaderWord(subject) + "\r\n";
    message += "MIME-Version: 1.0\r\n";
    message += "Content-Type: text/plain; charset=UTF-8\r\n";
    message += "Content-Transfer-Encoding: base64\r\n";
    message += "\r\n";
    std::string encoded = Base64(body);
    for (size_t i = 0; i < encoded.size(); i += 76) message += encoded.substr(i, 76) + "\r\n";
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

Status SendMail(const std::string& server, const std::string& recipient,
                     const std::string& sender, const std::string& subject, const std::string& body,
                     const std::string& /*unused*/, const MailCredentials& credentials,
                     const std::string& date) {
    if (HasLineBreak(recipient) || HasLineBreak(sender) || HasLineBreak(subject) ||
        HasLineBreak(server)) {
        return Status::Error(ErrorKind::kRefused, kErrMail,
                             "改行を含む宛先・送信者・件名・サーバ名は使えません");
    }
    if (server.empty()) {
        return Status::Error(ErrorKind::kFormat, kErrMail, "SMTP サーバが設定されていません");
    }
    if (recipient.empty()) {
        return Status::Error(ErrorKind::kFormat, kErrMail, "受信者が設定されていません");
    }

    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (!curl) return Status::Error(ErrorKind::kIo, kErrMail, "libcurl を初期化できません");

    std::string host = server;
    std::string port = "25";
    if (size_t colon = server.rfind(':'); colon != std::string::npos) {
        host = server.substr(0, colon);
        port = server.substr(colon + 1);
    }
    std::string url = "smtp://" + host + ":" + port;
    std::string message = ComposeMessage(recipient, sender, subject, body,
                                         date.empty() ? RfcDate() : date, MessageId());
    Upload upload{&message};
    char error[CURL_ERROR_SIZE] = "";
    curl_slist* recipients = curl_slist_append(nullptr, ("<" + recipient + ">").c_str());

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + sender + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadPayload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    // With an account, the password goes out only inside TLS: a server that offers no STARTTLS
    // (or refuses it) ends the session before AUTH, so neither the password nor the mail is
    // sent. Without one, STARTTLS is used whenever the server offers it.
    const bool with_account = !credentials.account.empty();
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     static_cast<long>(with_account ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp");
    if (with_account) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, credentials.account.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, credentials.password.c_str());
    }
    CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(recipients);
    curl_easy_cleanup(curl);
    if (rc == CURLE_OK) return Status::Ok();
    std::string text = error[0] ? error : curl_easy_strerror(rc);
    if (rc == CURLE_USE_SSL_FAILED) {
        text =
            "サーバが STARTTLS で暗号化できないため送信をやめました (アカウントのパスワードを"
            "暗号化せずに送ることはしません): " +
            text;
    }
    return Status::Error(KindOfCurl(rc), rc, "(" + server + ") " + text + " ");
}

}  // namespace norv::platform
