#include "config/rule_table.h"

#include <cerrno>
#include <charconv>

#include "platform/base/notice_code.h"
#include "platform/text/text_file.h"

namespace norv {
namespace {

constexpr std::string_view kOpenTag = "<rule>";
constexpr std::string_view kCloseTag = "</rule>";

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A flag as written: a decimal 16-bit whole number, blanks around it allowed.
bool ParseKind(std::string_view text, RuleKind& kind) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int16_t number = 0;
    if (!platform::ParseWholeNumber(text, number)) return false;
    kind = static_cast<RuleKind>(number);
    return true;
}

// Line `line` (from 1) of the rule file skipped, for the reason `code` names.
Message SkippedLine(const RunContext& context, NoticeCode code, size_t line) {
    return Message(code, {context.RulesPath(), std::to_string(line)});
}

// A line of the rule file skipped, or the rules beyond the capacity: the file's form is at fault.
void SayOfRuleFile(const RunContext& context, NoticeSink& notices, const Message& text) {
    notices.Notify({NoticeKind::kRuleFileLine, context.RulesPath(),
                    Status::Error(ErrorKind::kFormat, kErrFormat, text), text});
}

// A rule the table may not take; `cause` is what refused it.
void RefuseRule(NoticeSink& notices, const std::string& path, ErrorKind cause, int code,
                const Message& text) {
    notices.Notify({NoticeKind::kRuleRefused, path, Status::Error(cause, code, text), text});
}

Status WriteRules(const RunContext& context, const std::vector<Rule>& rules) {
    std::vector<std::string> lines;
    lines.reserve(rules.size());
    for (const Rule& rule : rules) lines.push_back(RuleLine(rule));
    return platform::WriteTextFileAtomic(*context.env, context.RulesPath(), lines, context.charset,
                                         0644);
}

std::vector<Rule> AllRules(const RuleTable& table) {
    std::vector<Rule> all = table.rules;
    all.insert(all.end(), table.beyond_capacity.begin(), table.beyond_capacity.end());
    return all;
}

}  // namespace

std::string RuleLine(const Rule& rule) {
    return std::string(kOpenTag) + rule.path + "," + std::to_string(RuleKindNumber(rule.kind)) +
           std::string(kCloseTag);
}

Status LoadRules(const RunContext& context, RuleTable& loaded, NoticeSink& notices) {
    // Read into a table of its own: a file that cannot be read leaves the rules in use whole.
    RuleTable table;
    // The rules say which files norv moves and restores as root: only root's file.
    auto read = platform::ReadTextLines(*context.env, context.RulesPath(), context.charset,
                                        kRuleFileMaxBytes, platform::FileTrust::kAdministrator);
    if (!read.ok()) {
        // No rule file yet is an empty table; any other failure is reported.
        if (!read.status().Is(ErrorKind::kNotFound)) {
            return Status::Error(read.status().kind(), read.status().code(),
                                 Message(NoticeCode::kRuleFileUnreadable, {read.status().what()}));
        }
        return Status::Ok();
    }
    const auto& lines = read.value();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        size_t open = line.find(kOpenTag);
        if (open == std::string_view::npos) continue;
        size_t path_start = open + kOpenTag.size();
        size_t comma = line.find(',', path_start);
        size_t close = comma == std::string_view::npos ? comma : line.find(kCloseTag, comma + 1);
        if (comma == std::string_view::npos || close == std::string_view::npos) {
            SayOfRuleFile(context, notices,
                          SkippedLine(context, NoticeCode::kRuleLineUnreadable, i + 1));
            continue;
        }
        Rule rule;
        rule.path = std::string(line.substr(path_start, comma - path_start));
        if (!ParseKind(line.substr(comma + 1, close - comma - 1), rule.kind)) {
            SayOfRuleFile(context, notices,
                          SkippedLine(context, NoticeCode::kRuleKindNotNumber, i + 1));
            continue;
        }
        if (rule.path.empty()) {
            // An empty path would walk the whole file system from the working folder.
            SayOfRuleFile(context, notices,
                          SkippedLine(context, NoticeCode::kRulePathEmpty, i + 1));
            continue;
        }
        if (rule.path.find('\0') != std::string::npos) {
            // Every call that takes the path would stop at the NUL and act on a shorter one.
            SayOfRuleFile(context, notices,
                          SkippedLine(context, NoticeCode::kRulePathHasNul, i + 1));
            continue;
        }
        if (table.rule_count() < kMaxRules) {
            table.rules.push_back(std::move(rule));
        } else {
            table.beyond_capacity.push_back(std::move(rule));
        }
    }
    if (!table.beyond_capacity.empty()) {
        SayOfRuleFile(context, notices,
                      Message(NoticeCode::kRulesBeyondCapacity,
                              {context.RulesPath(), std::to_string(kMaxRules),
                               std::to_string(kMaxRules + 1)}));
    }
    loaded = std::move(table);
    return Status::Ok();
}

Status SaveRules(const RunContext& context, const RuleTable& table) {
    return WriteRules(context, AllRules(table));
}

Status AddRule(const RunContext& context, RuleTable& table, const std::string& path,
               NoticeSink& notices) {
    if (!path.empty()) {
        if (path.find_first_of(",\r\n") != std::string::npos) {
            RefuseRule(notices, path, ErrorKind::kFormat, kErrFormat,
                       Message(NoticeCode::kRuleFolderHasComma, {path}));
            return Status::Ok();
        }
        if (table.rule_count() >= kMaxRules) {
            RefuseRule(notices, path, ErrorKind::kLimit, kErrLimit,
                       Message(NoticeCode::kTooManyRules, {std::to_string(kMaxRules), path}));
            return Status::Ok();
        }
        table.rules.push_back({path, RuleKind::kFolder});
    }
    NORV_RETURN_IF_ERROR(SaveRules(context, table));
    return LoadRules(context, table, notices);
}

Status DeleteRule(const RunContext& context, RuleTable& table, int n, NoticeSink& notices) {
    std::vector<Rule> kept;
    std::vector<Rule> all = AllRules(table);
    for (size_t i = 0; i < all.size(); ++i) {
        if (static_cast<int>(i) + 1 != n) kept.push_back(all[i]);
    }
    NORV_RETURN_IF_ERROR(WriteRules(context, kept));
    return LoadRules(context, table, notices);
}

Status SetRuleRecursion(const RunContext& context, RuleTable& table, int item, bool on) {
    if (item < 0 || item >= table.rule_count()) return Status::Ok();
    table.rules[static_cast<size_t>(item)].kind = on ? RuleKind::kTree : RuleKind::kFolder;
    return SaveRules(context, table);
}

}  // namespace norv
