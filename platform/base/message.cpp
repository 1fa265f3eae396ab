#include "platform/base/message.h"

#include <atomic>

#include "platform/base/notice_code.h"

namespace norv {

namespace {

constexpr std::string_view kCodeNames[] = {"kLiteral",
#define NORV_NOTICE_NAME(name) #name,
                                           NORV_NOTICE_CODES(NORV_NOTICE_NAME)
#undef NORV_NOTICE_NAME
};

std::atomic<WordingTable> installed{nullptr};

// Nesting is bounded by the code that builds messages, never by input; the bound only keeps a
// mistake from running away.
constexpr int kDeepestMessage = 32;

using Escape = std::string (*)(std::string_view);

void RenderInto(const Message& message, std::string& out, int depth, Escape escape) {
    if (message.code() == NoticeCode::kLiteral) {
        out += escape != nullptr ? escape(message.literal()) : message.literal();
        return;
    }
    WordingTable table = installed.load(std::memory_order_acquire);
    std::string_view pattern = table != nullptr ? table(message.code()) : std::string_view();
    const auto& args = message.args();
    if (pattern.empty() || depth >= kDeepestMessage) {
        out += NoticeCodeName(message.code());
        out += '(';
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i > 0) out += ", ";
            if (depth < kDeepestMessage) RenderInto(args[i], out, depth + 1, escape);
        }
        out += ')';
        return;
    }
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 2 < pattern.size() && pattern[i + 1] >= '0' &&
            pattern[i + 1] <= '9' && pattern[i + 2] == '}') {
            std::size_t n = static_cast<std::size_t>(pattern[i + 1] - '0');
            if (n < args.size()) RenderInto(args[n], out, depth + 1, escape);
            i += 2;
            continue;
        }
        out += pattern[i];
    }
}

}  // namespace

std::string_view NoticeCodeName(NoticeCode code) {
    auto index = static_cast<std::size_t>(code);
    return index < std::size(kCodeNames) ? kCodeNames[index] : std::string_view("kUnknown");
}

bool Message::Has(NoticeCode code) const {
    if (code_ == code) return true;
    for (const Message& arg : args_) {
        if (arg.Has(code)) return true;
    }
    return false;
}

void InstallWording(WordingTable table) { installed.store(table, std::memory_order_release); }

std::string Render(const Message& message) {
    std::string out;
    RenderInto(message, out, 0, nullptr);
    return out;
}

std::string Render(const Message& message, Escape escape) {
    std::string out;
    RenderInto(message, out, 0, escape);
    return out;
}

}  // namespace norv
