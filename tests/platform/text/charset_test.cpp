#include "platform/text/charset.h"

#include <gtest/gtest.h>

#include "platform/base/notice_code.h"

namespace norv::platform {
namespace {

// Texts the program shows, with full-width, half-width katakana and the ideographic space.
const char* const kJapaneseTexts[] = {
    "                    NORV スキャン結果\u3000",
    "\u3000\u3000日時： 2004/04/11 9:05:22",
    "ﾊﾞｰｼﾞｮﾝ情報",
    "改ざんを検知したら自動で保存してあるファイルで復旧する",
    "LHA 上書きディリクトリ付解凍エラー",
    "更新\u3000：",
};

TEST(Charset, Cp932RoundTripKeepsEveryJapaneseText) {
    for (const char* text : kJapaneseTexts) {
        auto encoded = EncodeText(text, kCp932);
        ASSERT_TRUE(encoded.ok()) << text << ": " << encoded.status().message();
        EXPECT_FALSE(IsValidUtf8(encoded.value()) && encoded.value() != text);
        auto decoded = DecodeText(encoded.value(), kCp932);
        ASSERT_TRUE(decoded.ok());
        EXPECT_EQ(decoded.value(), text);
    }
}

TEST(Charset, Cp932BytesAreTheWindowsOnes) {
    // "検査数：" is 8 bytes in Shift_JIS; half-width katakana one byte each.
    EXPECT_EQ(EncodeText("検査数：", kCp932).value(), "\x8C\x9F\x8D\xB8\x90\x94\x81\x46");
    EXPECT_EQ(EncodeText("ﾊﾞ", kCp932).value(), "\xCA\xDE");
    EXPECT_EQ(EncodeText("\u3000", kCp932).value(), "\x81\x40");
    // The Windows mapping of the wave dash and minus sign, which strict Shift_JIS lacks.
    EXPECT_TRUE(EncodeText("\uFF5E\uFF0D", kCp932).ok());
}

TEST(Charset, UnmappableCharacterIsAnErrorNamingIt) {
    auto encoded = EncodeText("abc\u00E9", kCp932);  // é has no place in CP932
    ASSERT_FALSE(encoded.ok());
    EXPECT_EQ(encoded.status().code(), kErrCharset);
    EXPECT_EQ(encoded.status().what(), Message(NoticeCode::kCharsetCannotHold,
                                               {std::string("U+00E9"), std::string(kCp932)}));
    // The escaping form writes it visibly instead.
    EXPECT_EQ(EncodeTextEscaping("a\u00E9", kCp932), "a\\u00E9");
}

TEST(Charset, InvalidUtf8IsReadAsCp932) {
    std::string sjis = EncodeText("設定編集", kCp932).value();
    ASSERT_FALSE(IsValidUtf8(sjis));
    EXPECT_EQ(DecodeText(sjis, kUtf8).value(), "設定編集");
    EXPECT_EQ(DecodeText("plain", kUtf8).value(), "plain");
    // Bytes neither set defines: the message says both were tried.
    for (std::string_view bytes : {"\x80", "a\xFF", "\x81"}) {
        auto decoded = DecodeText(bytes, kUtf8);
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.status().code(), kErrCharset);
        EXPECT_EQ(decoded.status().what(), Message(NoticeCode::kCharsetUnreadableEither));
    }
}

TEST(Charset, Utf16DecodesEitherByteOrderAndRefusesBrokenText) {
    // "設" U+8A2D, then U+1D11E as the surrogate pair D834 DD1E.
    EXPECT_EQ(DecodeUtf16(std::string_view("\x2D\x8A\x34\xD8\x1E\xDD", 6), false).value(),
              "設\U0001D11E");
    EXPECT_EQ(DecodeUtf16(std::string_view("\x8A\x2D\xD8\x34\xDD\x1E", 6), true).value(),
              "設\U0001D11E");
    EXPECT_EQ(DecodeUtf16(std::string_view("a\0", 2), false).value(), "a");
    EXPECT_EQ(DecodeUtf16("", true).value(), "");

    auto odd = DecodeUtf16(std::string_view("a\0b", 3), false);
    ASSERT_FALSE(odd.ok());
    EXPECT_EQ(odd.status().code(), kErrCharset);
    // A high surrogate at the end, one followed by a letter, and a low one alone.
    const std::pair<std::string_view, const char*> broken[] = {
        {std::string_view("a\0\x34\xD8", 4), "U+D834"},
        {std::string_view("\x34\xD8"
                          "a\0",
                          4),
         "U+D834"},
        {std::string_view("\x1E\xDD", 2), "U+DD1E"},
    };
    for (auto [bytes, name] : broken) {
        auto decoded = DecodeUtf16(bytes, false);
        ASSERT_FALSE(decoded.ok()) << name;
        EXPECT_EQ(decoded.status().what(),
                  Message(NoticeCode::kCharsetLoneSurrogate, {std::string(name)}));
    }
}

TEST(Charset, Utf8Validation) {
    EXPECT_TRUE(IsValidUtf8("ascii"));
    EXPECT_TRUE(IsValidUtf8("日本語 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(IsValidUtf8("\xE6\x97"));          // cut short
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_TRUE(IsUtf8Charset("utf8"));
    EXPECT_TRUE(IsUtf8Charset("UTF-8"));
    EXPECT_FALSE(IsUtf8Charset("cp932"));
}

}  // namespace
}  // namespace norv::platform
