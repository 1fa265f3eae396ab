// The rule-file reader on any bytes: no crash, a table within its capacity, and a save that
// loads back to the same table.
#include <cstdlib>

#include "config/rule_table.h"
#include "fuzz/fuzz_support.h"

namespace {
class Quiet : public norv::NoticeSink {
  public:
    void Notify(const norv::Notice&) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    norv::RunContext context;
    context.folders = norv::ProgramLayout::InOne(norv::fuzz::Scratch());
    context.charset = "UTF-8";
    norv::fuzz::WriteInput("user_rule.txt", data, size);
    norv::RuleTable table;
    Quiet quiet;
    if (!norv::LoadRules(context, table, quiet).ok()) return 0;
    if (table.rule_count() > norv::kMaxRules) std::abort();
    if (!norv::SaveRules(context, table).ok()) return 0;  // e.g. a path the charset cannot hold
    norv::RuleTable again;
    if (!norv::LoadRules(context, again, quiet).ok()) std::abort();
    if (again.rules.size() != table.rules.size()) std::abort();
    for (size_t i = 0; i < table.rules.size(); ++i) {
        if (again.rules[i].kind != table.rules[i].kind) std::abort();
    }
    return 0;
}
