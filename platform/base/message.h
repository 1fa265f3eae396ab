// Message: what the core tells a person, as a code and its arguments rather than as words.
//
// An argument is either literal text (a file's name as it is, a number, the system's own text
// for an errno) or another message (the cause beneath). Words come only at the edge: Render()
// fills the code's pattern from the table the program installed at start-up, so the core never
// words a message and a test can check the code and the arguments instead of the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norv {

// The codes are listed in notice_code.h, which only the code that names one includes: adding a
// code rebuilds those files alone. Zero is kLiteral.
enum class NoticeCode : std::uint16_t;

class Message {
  public:
    Message() = default;  // no message: renders as ""
    // Literal text, shown as it is. Implicit, so that a name can stand as an argument.
    Message(std::string text) : literal_(std::move(text)) {}  // NOLINT: implicit by design
    // Words for a person are a code: a literal is a std::string, named as one.
    Message(const char* text) = delete;
    Message(NoticeCode code, std::vector<Message> args = {})
        : code_(code), args_(std::move(args)) {}

    NoticeCode code() const { return code_; }
    const std::string& literal() const { return literal_; }
    const std::vector<Message>& args() const { return args_; }
    bool empty() const { return code_ == NoticeCode{} && literal_.empty(); }
    // Whether this message or any message beneath it has `code`.
    bool Has(NoticeCode code) const;
    friend bool operator==(const Message&, const Message&) = default;

  private:
    NoticeCode code_{};  // kLiteral
    std::string literal_;
    std::vector<Message> args_;
};

// The pattern of a code: its words with {0}..{9} where the arguments go. An empty view means
// the table has no words for it.
using WordingTable = std::string_view (*)(NoticeCode code);

// Installs the table that Render() words with. The program calls it once at start-up, before any
// other thread runs; without it, messages render as their codes (a test's view).
void InstallWording(WordingTable table);

// The message in words: its pattern with each {n} replaced by argument n rendered in turn (an
// argument's own braces are never read as places). Without a table, or for a code the table has
// no words for, "kName(arg, arg)".
std::string Render(const Message& message);
// The same with every argument's own text passed through `escape`, the pattern's kept: a line
// break the words put in stays one, and one inside a name is escaped like the name.
std::string Render(const Message& message, std::string (*escape)(std::string_view));

}  // namespace norv
