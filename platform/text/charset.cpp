#include "platform/text/charset.h"

#include <unicode/uchar.h>
#include <unicode/utf.h>

#include <langinfo.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/base/notice_code.h"

namespace norv::platform {
namespace {

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Result<Converter> OpenConverter(std::string_view charset) {
    UErrorCode err = U_ZERO_ERROR;
    Converter conv(ucnv_open(std::string(charset).c_str(), &err));
    if (U_FAILURE(err) || !conv) {
        return Status::Error(kErrCharset,
                             Message(NoticeCode::kCharsetUnusable,
                                     {std::string(charset), std::string(u_errorName(err))}));
    }
    return conv;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out(utf8.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                         &length, utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr,
                         &err);
    out.resize(U_SUCCESS(err) ? static_cast<size_t>(length) : 0);
    return out;
}

std::string Utf16ToUtf8(const UChar* text, int32_t length) {
    std::string out(static_cast<size_t>(length) * 3 + 1, '\0');
    int32_t written = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &written, text, length, &err);
    out.resize(U_SUCCESS(err) ? static_cast<size_t>(written) : 0);
    return out;
}

std::string CodePointName(std::u16string_view text, int32_t offset) {
    // The character at or just before `offset` (ICU reports the position after it).
    char32_t cp = 0;
    if (offset > 0 && static_cast<size_t>(offset) <= text.size()) {
        char16_t unit = text[static_cast<size_t>(offset) - 1];
        cp = unit;
        if (unit >= 0xDC00 && unit <= 0xDFFF && offset > 1) {
            char16_t high = text[static_cast<size_t>(offset) - 2];
            cp = 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (unit - 0xDC00);
        }
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
    return buf;
}

Result<std::string> FromUtf16(std::u16string_view text, std::string_view charset, bool escape) {
    auto conv = OpenConverter(charset);
    if (!conv.ok()) return conv.status();
    UErrorCode err = U_ZERO_ERROR;
    if (escape) {
        ucnv_setFromUCallBack(conv->get(), UCNV_FROM_U_CALLBACK_ESCAPE, UCNV_ESCAPE_C, nullptr,
                              nullptr, &err);
    } else {
        ucnv_setFromUCallBack(conv->get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                              &err);
    }
    std::string out(text.size() * 12 + 16, '\0');
    char* target = out.data();
    const UChar* source = reinterpret_cast<const UChar*>(text.data());
    const UChar* source_end = source + text.size();
    ucnv_fromUnicode(conv->get(), &target, out.data() + out.size(), &source, source_end, nullptr,
                     true, &err);
    if (U_FAILURE(err)) {
        auto offset = static_cast<int32_t>(source - reinterpret_cast<const UChar*>(text.data()));
        return Status::Error(kErrCharset,
                             Message(NoticeCode::kCharsetCannotHold,
                                     {CodePointName(text, offset), std::string(charset)}));
    }
    out.resize(static_cast<size_t>(target - out.data()));
    return out;
}

}  // namespace

std::string SystemCharset() {
    std::string codeset = nl_langinfo(CODESET);
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "US-ASCII" ||
        codeset == "ASCII") {
        return kUtf8;
    }
    return codeset;
}

bool IsUtf8Charset(std::string_view charset) {
    std::string lower;
    for (char c : charset) {
        if (c != '-' && c != '_')
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower == "utf8";
}

// The one UTF-8 decoder: shortest forms only, no surrogates, nothing above U+10FFFF.
size_t DecodeUtf8At(std::string_view s, size_t i, char32_t& cp) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    const size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    char32_t value = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        value = (value << 6) | (cc & 0x3F);
    }
    static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kShortest[n] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    cp = value;
    return n;
}

bool IsValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        size_t n = DecodeUtf8At(bytes, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

size_t Utf8CharacterEnd(std::string_view s, size_t i) {
    char32_t cp = 0;
    size_t n = DecodeUtf8At(s, i, cp);
    return i + (n == 0 ? 1 : n);
}

bool IsHiddenCodePoint(char32_t cp) {
    const auto c = static_cast<UChar32>(cp);
    if (U_IS_UNICODE_NONCHAR(c)) return true;
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
            return true;
        default:
            return u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
    }
}

Result<std::string> DecodeText(std::string_view bytes, std::string_view charset) {
    bool cp932_fallback = false;
    if (IsUtf8Charset(charset)) {
        if (IsValidUtf8(bytes)) return std::string(bytes);
        charset = kCp932;
        cp932_fallback = true;
    }
    auto conv = OpenConverter(charset);
    if (!conv.ok()) return conv.status();
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(conv->get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    std::vector<UChar> out(bytes.size() * 2 + 2);
    int32_t length = ucnv_toUChars(conv->get(), out.data(), static_cast<int32_t>(out.size()),
                                   bytes.data(), static_cast<int32_t>(bytes.size()), &err);
    if (U_FAILURE(err)) {
        return Status::Error(kErrCharset,
                             cp932_fallback
                                 ? Message(NoticeCode::kCharsetUnreadableEither)
                                 : Message(NoticeCode::kCharsetUnreadable, {std::string(charset)}));
    }
    return Utf16ToUtf8(out.data(), length);
}

Result<std::string> DecodeUtf16(std::string_view bytes, bool big_endian) {
    if (bytes.size() % 2 != 0) {
        return Status::Error(kErrCharset, Message(NoticeCode::kCharsetUtf16Cut));
    }
    auto unit_at = [&](size_t i) {
        auto first = static_cast<unsigned char>(bytes[i]);
        auto second = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(big_endian ? (first << 8) | second : (second << 8) | first);
    };
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i < bytes.size(); i += 2) text.push_back(unit_at(i));
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i];
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            char name[16];
            std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(unit));
            return Status::Error(kErrCharset,
                                 Message(NoticeCode::kCharsetLoneSurrogate, {std::string(name)}));
        }
    }
    return Utf16ToUtf8(reinterpret_cast<const UChar*>(text.data()),
                       static_cast<int32_t>(text.size()));
}

Result<std::string> EncodeText(std::string_view utf8, std::string_view charset) {
    if (IsUtf8Charset(charset)) return std::string(utf8);
    return FromUtf16(Utf8ToUtf16(utf8), charset, false);
}

std::string EncodeTextEscaping(std::string_view utf8, std::string_view charset) {
    if (IsUtf8Charset(charset)) return std::string(utf8);
    auto r = FromUtf16(Utf8ToUtf16(utf8), charset, true);
    return r.ok() ? std::move(r).value() : std::string(utf8);
}

}  // namespace norv::platform
