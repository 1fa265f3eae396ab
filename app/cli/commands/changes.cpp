// `norv-cli changes`: the last check's changes, one line each (kind, path, size, time, old and
// new MD5, then the other facts that changed, and the writer where the watch saw it), or with
// --json one object each.
#include <cstdio>
#include <ostream>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "config/watched_place.h"
#include "engine/scan_log.h"
#include "engine/writer_json.h"
#include "platform/text/charset.h"
#include "response/event_log.h"

#include <nlohmann/json.hpp>

namespace norv::cli {

// `json` with every character that could hide in or reorder a line (bidirectional and C1
// controls, format characters, DEL: what DisplayPath escapes) written as \uXXXX, so a path
// shows no more than it holds. Outside strings a dump holds only ASCII, and inside one the
// escape stands for the same character.
std::string HiddenEscaped(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    auto escape = [&](unsigned unit) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04X", unit);
        out += buf;
    };
    for (size_t i = 0; i < json.size();) {
        const auto c = static_cast<unsigned char>(json[i]);
        char32_t cp = c;
        const size_t n = c < 0x80 ? 1 : platform::DecodeUtf8At(json, i, cp);
        if (n == 0) {  // not UTF-8: the dump replaced such bytes, kept as they are
            out += json[i++];
            continue;
        }
        if (cp == 0x7F || (cp >= 0x80 && platform::IsHiddenCodePoint(cp))) {
            if (cp > 0xFFFF) {
                escape(0xD800 + ((cp - 0x10000) >> 10));
                escape(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                escape(cp);
            }
        } else {
            out.append(json.substr(i, n));
        }
        i += n;
    }
    return out;
}

void PrintChange(const Application& app, const ReviewedChange& change, std::ostream& out) {
    // A folder's or special file's change has no length or time.
    const bool gone = change.kind == ChangeKind::kDeleted || change.mtime == -1;
    auto digest = [](const std::optional<platform::Md5Digest>& md5) {
        return md5 ? md5->text() : std::string("-");
    };
    out << ChangeKindName(change.kind) << "\t" << DisplayPath(change.path) << "\t"
        << (gone ? std::string("-") : std::to_string(change.size)) << "\t"
        << (gone ? std::string("-")
                 : app.regional().DateTime(platform::FromTimespec({change.mtime, 0})))
        << "\t" << digest(change.old_md5) << "\t" << digest(change.new_md5);
    // Then each fact that changed, old and new, and what the file gained.
    const ReviewedFacts facts = FactsOfChange(change);
    auto value = [](const std::optional<std::string>& shown) {
        return !shown           ? std::string("-")
               : shown->empty() ? std::string("\"\"")
                                : DisplayPath(*shown);
    };
    for (const platform::FactChange& fact : facts.changed) {
        out << "\t" << platform::FactName(fact.fact) << " " << value(fact.was) << " -> "
            << value(fact.now);
    }
    if (change.kind == ChangeKind::kMoved) out << "\tfrom " << DisplayPath(change.moved_from);
    if (facts.set_id_gained) out << "\tset-id gained";
    if (facts.capability_gained) out << "\tcapability gained";
    // Last, who made it, where the watch saw it.
    if (auto writer = WriterFromJsonText(change.writer))
        out << "\twriter " << WriterSummary(*writer);
    out << "\n";
}

int RunChanges(Application& app, bool json, std::ostream& out, std::ostream& err) {
    auto list = app.acceptor().LoadChanges();
    if (!list.ok()) {
        err << "norv: " << Shown(list.status()) << "\n";
        return kExitFailure;
    }
    if (!list->checked) {
        err << "norv: 初期化のあと、検査を最後まで終えていません (norv-cli check "
               "で検査してください)\n";
        return kExitFailure;
    }
    for (const ReviewedChange& change : list->changes) {
        if (json) {
            // The change object of the events, then what only the review knows.
            const ReviewedFacts facts = FactsOfChange(change);
            ChangeEvent shown{change.kind, change.path,  change.old_md5, change.new_md5,
                              change.size, change.mtime, facts.changed};
            shown.moved_from = change.moved_from;
            shown.writer = WriterFromJsonText(change.writer);
            shown.FindRule(app.rules());
            nlohmann::ordered_json o = ChangeObject(shown);
            o["set_id_gained"] = facts.set_id_gained;
            o["capability_gained"] = facts.capability_gained;
            o["generation"] = list->generation;
            out << HiddenEscaped(o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
                << "\n";
            continue;
        }
        PrintChange(app, change, out);
    }
    return kExitUnchanged;
}

}  // namespace norv::cli
