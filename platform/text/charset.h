// Character-set conversion between our internal UTF-8 text and the text files' character set.
//
// Text files (settings, rules, scan log) are written in the system's character set: the locale's
// (UTF-8 when the locale names none or plain ASCII). With a UTF-8 set, each line that is not
// valid UTF-8 is read as CP932, so lines written on Japanese Windows load beside UTF-8 ones.
// Conversion goes through ICU; a character the target set cannot hold is an error, never a silent
// substitution.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace norv::platform {

inline constexpr const char* kUtf8 = "UTF-8";
inline constexpr const char* kCp932 = "cp932";

// The locale's character set (after setlocale(LC_ALL, "")), "UTF-8" for none or plain ASCII.
std::string SystemCharset();

bool IsUtf8Charset(std::string_view charset);
bool IsValidUtf8(std::string_view bytes);

// Length of the UTF-8 sequence at `i` and its code point, or 0 when the bytes there are not
// UTF-8.
size_t DecodeUtf8At(std::string_view s, size_t i, char32_t& cp);

// Where the character at `i` ends: after its UTF-8 sequence, or after one byte that is not
// UTF-8. For walking text a character at a time.
size_t Utf8CharacterEnd(std::string_view s, size_t i);

// True for a character a reader cannot see or that changes how text around it shows: C1
// controls, format characters (zero-width spaces and joiners, bidi controls, byte-order marks),
// line and paragraph separators, other default-ignorable characters and noncharacters. Two
// names differing only in these look the same.
bool IsHiddenCodePoint(char32_t cp);

// Bytes in `charset` to UTF-8. With a UTF-8 charset, bytes that are not valid UTF-8 are read as
// CP932; text files call this once per line, so one such line leaves the others as they are.
// Fails on a byte sequence the set (or both sets) does not define.
Result<std::string> DecodeText(std::string_view bytes, std::string_view charset);

// UTF-16 code units (two bytes each, no byte-order mark) to UTF-8. Fails on an odd byte count or
// a surrogate without its partner.
Result<std::string> DecodeUtf16(std::string_view bytes, bool big_endian);

// UTF-8 to bytes in `charset`. Fails on a character the set cannot hold; the message names it.
Result<std::string> EncodeText(std::string_view utf8, std::string_view charset);

// As EncodeText, but a character the set cannot hold is written as a visible \uXXXX escape.
// For the scan log, where a file name must never make the report fail.
std::string EncodeTextEscaping(std::string_view utf8, std::string_view charset);

}  // namespace norv::platform
