// RuleTable: what the scan watches, and the rule file "user_rule.txt" that stores it.
//
// Each rule is a path and a kind flag; the file holds one "<rule>PATH,FLAG</rule>" line per
// rule. The file is the persistent truth: every change is written at once (atomically) and,
// after an addition or a deletion, the table is read back from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/notice.h"
#include "config/run_context.h"
#include "platform/base/status.h"

namespace norv {

// What a rule watches, by the number the rule file gives it. Any other number is kept as read
// and written back: a positive one is walked as a folder, a negative one not at all.
enum class RuleKind : int16_t {
    kFile = 0,    // one file, examined by itself
    kFolder = 1,  // a folder, only the files directly in it
    kTree = 3,    // a folder and all its subfolders
};
constexpr int16_t RuleKindNumber(RuleKind kind) { return static_cast<int16_t>(kind); }
inline constexpr int kMaxRules = 100;
// Far beyond any real rule file: a larger one is not read at all.
inline constexpr int64_t kRuleFileMaxBytes = 16 << 20;

struct Rule {
    std::string path;  // exactly as read: nothing expanded or normalised
    RuleKind kind = RuleKind::kFolder;
};

struct RuleTable {
    // Rules 1 to rule_count(), in file order; rule i is rules[i - 1].
    std::vector<Rule> rules;
    // Rules that stood in the file beyond the 100th. They are not scanned, but kept and written
    // back, so that no save ever drops a rule the administrator wrote.
    std::vector<Rule> beyond_capacity;

    int rule_count() const { return static_cast<int>(rules.size()); }
};

// The line that stores a rule: "<rule>" path "," flag "</rule>".
std::string RuleLine(const Rule& rule);

// Reads the rule file into `table`. A missing file gives an empty table. Lines the format
// cannot read (a "<rule>" without a comma or "</rule>", a flag that is no 16-bit whole number,
// an empty path) are skipped with a notice naming the file and line. A file that cannot be read
// (not a regular file, larger than kRuleFileMaxBytes, undecodable) fails naming the file and the
// cause, and leaves `table` as it was.
Status LoadRules(const RunContext& context, RuleTable& table, NoticeSink& notices);

// Writes the table (and any rules beyond capacity) to the rule file, atomically.
Status SaveRules(const RunContext& context, const RuleTable& table);

// Adds a folder rule (RuleKind::kFolder) for `path` when it is not empty, then saves and reloads. A
// path the format cannot hold (a comma, a line break) or a 101st rule is refused with a notice.
Status AddRule(const RunContext& context, RuleTable& table, const std::string& path,
               NoticeSink& notices);

// Rewrites the file without rule n (1-based; 0 or out of range removes nothing), then reloads.
Status DeleteRule(const RunContext& context, RuleTable& table, int n, NoticeSink& notices);

// Makes rule item+1 a RuleKind::kTree (on) or RuleKind::kFolder (off) and saves at once.
Status SetRuleRecursion(const RunContext& context, RuleTable& table, int item, bool on);

}  // namespace norv
