// `norv-cli fleet status|silent|seal|changes`: what the fleet's store (packaging/fleet/schema.sql)
// knows of every host, read from PostgreSQL as norv_fleet_reader in read-only transactions.
// The reports themselves are the schema's functions (norv_fleet.report_*); this file binds
// their parameters, checks the schema's version and prints their rows as lines or one JSON
// document.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "app/cli/terminal.h"
#include "engine/scan_log.h"
#include "engine/writer_json.h"
#include "platform/base/notice_code.h"
#include "platform/db/postgres.h"
#include "response/event_log.h"

#include <nlohmann/json.hpp>

namespace norv::cli {
namespace {

using Json = nlohmann::ordered_json;
using platform::PgConnection;
using platform::PgRows;

// The schema version these reports are written for.
constexpr int kFleetSchemaVersion = 1;

// "90", "90s", "30m", "24h", "7d" as seconds; nothing for anything else.
std::optional<double> DurationSeconds(const std::string& text) {
    static const std::regex form(R"(([0-9]+(\.[0-9]+)?)([smhd]?))");
    std::smatch m;
    if (!std::regex_match(text, m, form)) return std::nullopt;
    const double n = std::strtod(m[1].str().c_str(), nullptr);
    const std::string unit = m[3].str();
    const double scale = unit == "m" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 1;
    return n * scale;
}

// An epoch's seconds (the text of extract(epoch ...)) as the events write a time; null for none.
Json TimeJson(const std::optional<std::string>& epoch) {
    if (!epoch) return Json();
    const double t = std::strtod(epoch->c_str(), nullptr);
    // "Infinity" and the like: no time the events could write.
    if (!std::isfinite(t) || std::fabs(t) > 253402300799.0) return Json();
    const double whole = std::floor(t);
    return Rfc3339(static_cast<int64_t>(whole), static_cast<int>((t - whole) * 1000));
}
std::string TimeText(const std::optional<std::string>& epoch) {
    const Json time = TimeJson(epoch);
    return time.is_string() ? time.get<std::string>() : std::string("-");
}
std::string Or(const std::optional<std::string>& value) { return value ? Shown(*value) : "-"; }
Json OrNull(const std::optional<std::string>& value) { return value ? Json(*value) : Json(); }

// A report's JSON document on one line, anything a host sent that could steer a terminal escaped.
void PrintDocument(const Json& doc, std::ostream& out) {
    out << HiddenEscaped(doc.dump(-1, ' ', false, Json::error_handler_t::replace)) << "\n";
}

// A report's host as its first three columns give it: name, id and the address it sends from.
Json HostJson(const PgRows& rows, int r) {
    Json h;
    h["name"] = OrNull(rows.Value(r, 0));
    h["id"] = rows.Text(r, 1);
    h["sender"] = rows.Text(r, 2);
    return h;
}
int64_t Count(const PgRows& rows, int row, int column) {
    return std::strtoll(rows.Text(row, column).c_str(), nullptr, 10);
}

// A failure, naming the server and the cause (libpq has no number worth showing); a value the
// server could not read is the command line's mistake.
int Failed(const Status& status, std::ostream& err) {
    err << "norv: " << Shown(status.what()) << "\n";
    return status.Is(ErrorKind::kFormat) ? kExitUsage : kExitFailure;
}

// Connects as the reader, read-only, and checks that the schema is there and new enough.
Result<std::unique_ptr<PgConnection>> OpenStore(const std::string& conninfo) {
    auto db = PgConnection::Connect(conninfo, /*read_only=*/true);
    if (!db.ok()) return db.status();
    PgConnection& c = **db;
    // Only what the reader may do, whoever logged in.
    NORV_RETURN_IF_ERROR(c.Exec("SET ROLE norv_fleet_reader"));
    auto version = c.Query("SELECT max(version) FROM norv_fleet.schema_version");
    if (!version.ok()) {
        if (version.status().Is(ErrorKind::kNotFound) ||
            version.status().Is(ErrorKind::kPermission)) {
            return Status::Error(
                ErrorKind::kNotFound, 0,
                Message(NoticeCode::kStoreSchemaMissing, {c.server(), std::string("norv_fleet")}));
        }
        return version.status();
    }
    const int64_t have = version->IsNull(0, 0) ? 0 : Count(*version, 0, 0);
    if (have < kFleetSchemaVersion) {
        return Status::Error(
            ErrorKind::kNotFound, kErrDatabase,
            Message(NoticeCode::kStoreSchemaTooOld,
                    {c.server(), std::to_string(have), std::to_string(kFleetSchemaVersion)}));
    }
    return db;
}

// The report's start: as the server reads it (for the query) and as the events write a time
// (for --json; null from the first event kept).
struct Since {
    std::string text;
    Json json;
};

// A duration ago, or a time; none is `fallback` ago (none at all without one: from the first
// event kept). One round trip gives both forms.
Result<Since> ResolveSince(PgConnection& db, const std::string& since,
                           std::optional<double> fallback) {
    std::optional<double> ago = since.empty() ? fallback : DurationSeconds(since);
    auto both = [&](const char* start, const platform::PgParams& params) {
        return db.Query(std::string("SELECT t::text, extract(epoch FROM t)::text FROM (SELECT ") +
                            start + " AS t) s",
                        params);
    };
    Result<PgRows> rows =
        since.empty() && !fallback ? both("'-infinity'::timestamptz", {})
        : ago ? both("now() - make_interval(secs => $1::double precision)", {std::to_string(*ago)})
              : both("$1::timestamptz", {since});
    if (!rows.ok()) return rows.status();
    return Since{rows->Text(0, 0), TimeJson(rows->Value(0, 1))};
}

int HostStatus(PgConnection& db, const Since& since, bool json, std::ostream& out,
               std::ostream& err) {
    auto rows = db.Query(
        "SELECT host_name, host_id, sender, extract(epoch FROM last_seen)::text,"
        " extract(epoch FROM last_run_time)::text, last_run_command, last_run_outcome,"
        " changes, restores, failed_restores, flagged, missing"
        " FROM norv_fleet.report_status($1)",
        {since.text});
    if (!rows.ok()) return Failed(rows.status(), err);
    auto unreadable =
        db.Query("SELECT count(*) FROM norv_fleet.report_unreadable($1)", {since.text});
    if (!unreadable.ok()) return Failed(unreadable.status(), err);
    const int64_t lines = Count(*unreadable, 0, 0);
    if (json) {
        Json doc;
        doc["since"] = since.json;
        Json& hosts = doc["hosts"] = Json::array();
        for (int r = 0; r < rows->rows(); ++r) {
            Json h = HostJson(*rows, r);
            h["last_seen"] = TimeJson(rows->Value(r, 3));
            h["last_run"] = rows->IsNull(r, 4) ? Json()
                                               : Json{{"time", TimeJson(rows->Value(r, 4))},
                                                      {"command", OrNull(rows->Value(r, 5))},
                                                      {"outcome", OrNull(rows->Value(r, 6))}};
            h["changes"] = Count(*rows, r, 7);
            h["restores"] = Count(*rows, r, 8);
            h["failed_restores"] = Count(*rows, r, 9);
            h["flags"] = Count(*rows, r, 10);
            h["missing"] = Count(*rows, r, 11);
            hosts.push_back(std::move(h));
        }
        doc["unreadable"] = lines;
        PrintDocument(doc, out);
        return kExitUnchanged;
    }
    for (int r = 0; r < rows->rows(); ++r) {
        out << Or(rows->Value(r, 0)) << "\t" << Shown(rows->Text(r, 1)) << "\t"
            << TimeText(rows->Value(r, 4)) << "\t" << Or(rows->Value(r, 5)) << "\t"
            << Or(rows->Value(r, 6)) << "\tchanges " << Count(*rows, r, 7) << "\trestores "
            << Count(*rows, r, 8) << "\tfailed restores " << Count(*rows, r, 9) << "\tflags "
            << Count(*rows, r, 10) << "\tmissing " << Count(*rows, r, 11) << "\n";
    }
    if (lines > 0) out << "-\tunreadable lines " << lines << "\n";
    return kExitUnchanged;
}

int Silent(PgConnection& db, double period_s, bool json, std::ostream& out, std::ostream& err) {
    auto rows = db.Query(
        "SELECT host_name, host_id, sender, extract(epoch FROM last_run_time)::text,"
        " extract(epoch FROM last_run_at)::text, period_s::text, service_state, reason"
        " FROM norv_fleet.report_silent(make_interval(secs => $1::double precision))",
        {std::to_string(period_s)});
    if (!rows.ok()) return Failed(rows.status(), err);
    if (json) {
        Json doc;
        doc["period_s"] = period_s;
        Json& hosts = doc["hosts"] = Json::array();
        for (int r = 0; r < rows->rows(); ++r) {
            Json h = HostJson(*rows, r);
            h["last_run_time"] = TimeJson(rows->Value(r, 3));
            h["last_run_received"] = TimeJson(rows->Value(r, 4));
            h["period_s"] = std::strtod(rows->Text(r, 5).c_str(), nullptr);
            h["service"] = OrNull(rows->Value(r, 6));
            h["reason"] = rows->Text(r, 7);
            hosts.push_back(std::move(h));
        }
        PrintDocument(doc, out);
    } else {
        for (int r = 0; r < rows->rows(); ++r) {
            out << Or(rows->Value(r, 0)) << "\t" << Shown(rows->Text(r, 1)) << "\t"
                << rows->Text(r, 7) << "\tlast run " << TimeText(rows->Value(r, 3)) << "\tperiod "
                << rows->Text(r, 5) << " s\n";
        }
    }
    return rows->rows() > 0 ? kExitChanged : kExitUnchanged;
}

int Seal(PgConnection& db, const Since& since, bool json, std::ostream& out, std::ostream& err) {
    auto rows = db.Query(
        "SELECT host_name, host_id, before_sequence::text, extract(epoch FROM before_time)::text,"
        " before_command, before_sha256, after_sequence::text,"
        " extract(epoch FROM after_time)::text, after_command, after_sha256"
        " FROM norv_fleet.report_seal($1)",
        {since.text});
    if (!rows.ok()) return Failed(rows.status(), err);
    auto run = [&](int r, int first) {
        return Json{{"sequence", Count(*rows, r, first)},
                    {"time", TimeJson(rows->Value(r, first + 1))},
                    {"command", OrNull(rows->Value(r, first + 2))},
                    {"baseline_sha256", rows->Text(r, first + 3)}};
    };
    if (json) {
        Json doc;
        doc["since"] = since.json;
        Json& breaks = doc["breaks"] = Json::array();
        for (int r = 0; r < rows->rows(); ++r) {
            breaks.push_back(
                {{"host", {{"name", OrNull(rows->Value(r, 0))}, {"id", rows->Text(r, 1)}}},
                 {"before", run(r, 2)},
                 {"after", run(r, 6)}});
        }
        PrintDocument(doc, out);
    } else {
        for (int r = 0; r < rows->rows(); ++r) {
            out << Or(rows->Value(r, 0)) << "\t" << Shown(rows->Text(r, 1)) << "\t#"
                << rows->Text(r, 2) << " " << Or(rows->Value(r, 4)) << " "
                << TimeText(rows->Value(r, 3)) << " " << Or(rows->Value(r, 5)) << " -> #"
                << rows->Text(r, 6) << " " << Or(rows->Value(r, 8)) << " "
                << TimeText(rows->Value(r, 7)) << " " << Or(rows->Value(r, 9)) << "\n";
        }
    }
    return rows->rows() > 0 ? kExitChanged : kExitUnchanged;
}

// One change as `changes` prints it, after its host and time: kind, path, size, time, old and
// new MD5, each fact that changed, where a move came from, the writer, and the store's flags.
void PrintFleetChange(const Json& n, std::ostream& out) {
    auto text = [](const Json& v) {
        return v.is_string() ? DisplayPath(v.get<std::string>())
               : v.is_null()
                   ? std::string("-")
                   : HiddenEscaped(v.dump(-1, ' ', false, Json::error_handler_t::replace));
    };
    out << text(n.value("kind", Json())) << "\t" << text(n.value("path", Json())) << "\t"
        << text(n.value("size", Json())) << "\t" << text(n.value("mtime", Json())) << "\t"
        << text(n.value("old_md5", Json())) << "\t" << text(n.value("new_md5", Json()));
    const Json changed = n.value("changed", Json::array());
    const Json was = n.value("old", Json::object());
    const Json now = n.value("new", Json::object());
    for (const Json& fact : changed) {
        if (!fact.is_string()) continue;
        const std::string name = fact.get<std::string>();
        auto shown = [&](const Json& side) {
            const Json v = side.is_object() ? side.value(name, Json()) : Json();
            return v.is_string() && v.get<std::string>().empty() ? std::string("\"\"") : text(v);
        };
        out << "\t" << DisplayPath(name) << " " << shown(was) << " -> " << shown(now);
    }
    if (n.contains("from")) out << "\tfrom " << text(n["from"]);
    const Json writer = n.value("writer", Json());
    if (writer.is_object()) {
        if (auto w = WriterFromJsonText(writer.dump()))
            out << "\twriter " << Shown(WriterSummary(*w));
    }
    if (const auto held = n.find("held");
        held != n.end() && held->is_boolean() && held->get<bool>()) {
        out << "\theld";
    }
}

int Changes(PgConnection& db, const Since& since, bool json, std::ostream& out, std::ostream& err) {
    // Printed as the rows come: a day of a large fleet's changes is never held whole.
    int64_t count = 0;
    if (json) out << "{\"since\":" << since.json.dump() << ",\"changes\":[";
    const Status read = db.ForEachRow(
        "SELECT host_name, host_id, sender, sequence::text, extract(epoch FROM event_time)::text,"
        " array_to_json(flags)::text, norv::text FROM norv_fleet.report_changes($1)",
        {since.text}, [&](const PgRows& rows) {
            Json n = Json::parse(rows.Text(0, 6), nullptr, /*allow_exceptions=*/false);
            if (!n.is_object()) n = Json::object();
            Json flags = Json::parse(rows.Text(0, 5), nullptr, false);
            if (!flags.is_array()) flags = Json::array();
            ++count;
            if (!json) {
                out << Or(rows.Value(0, 0)) << "\t" << TimeText(rows.Value(0, 4)) << "\t";
                PrintFleetChange(n, out);
                if (!flags.empty()) {
                    out << "\tflags";
                    for (const Json& f : flags) {
                        out << " " << (f.is_string() ? Shown(f.get<std::string>()) : "?");
                    }
                }
                out << "\n";
                return;
            }
            Json c;
            c["host"] = HostJson(rows, 0);
            c["time"] = TimeJson(rows.Value(0, 4));
            c["sequence"] = Count(rows, 0, 3);
            c["run"] = n.value("run", Json());
            c["flags"] = std::move(flags);
            // The change object of the events and of `changes --json`.
            n.erase("version");
            n.erase("run");
            c["change"] = std::move(n);
            out << (count > 1 ? "," : "")
                << HiddenEscaped(c.dump(-1, ' ', false, Json::error_handler_t::replace));
        });
    if (json) out << "]}\n";
    if (!read.ok()) return Failed(read, err);
    return count > 0 ? kExitChanged : kExitUnchanged;
}

// Files the inbox as norv_fleet_filer, a batch at a time, each batch one transaction: a stop at
// any moment loses nothing. Without `once` it runs until stopped, looking again a moment after
// the inbox was found short of a batch, and trying again a second after anything failed, saying
// each new failure once. With `once` it ends at the first batch short of a full one.
int FileInbox(const FleetOptions& options, std::ostream& err) {
    constexpr int kBatch = 20000;
    constexpr auto kIdle = std::chrono::milliseconds(200);
    constexpr auto kRetry = std::chrono::seconds(1);
    std::string said;  // the failure last said, until filing goes on again
    for (;;) {
        Status failure;
        auto db = PgConnection::Connect(options.db, /*read_only=*/false);
        if (!db.ok()) failure = db.status();
        if (db.ok()) failure = (*db)->Exec("SET ROLE norv_fleet_filer");
        while (failure.ok()) {
            auto filed =
                (*db)->Query("SELECT norv_fleet.file_inbox($1::integer)", {std::to_string(kBatch)});
            if (!filed.ok()) {
                failure = filed.status();
                break;
            }
            if (!said.empty()) err << "norv: 整理を続けます: " << (*db)->server() << "\n";
            said.clear();
            if (Count(*filed, 0, 0) >= kBatch) continue;
            if (options.once) return kExitUnchanged;
            std::this_thread::sleep_for(kIdle);
        }
        // No schema or no privilege stays so; anything else may pass (a server restarting).
        const bool lasting = failure.Is(ErrorKind::kPermission) || failure.Is(ErrorKind::kNotFound);
        const std::string text = Shown(failure.what());
        if (options.once || lasting) {
            err << "norv: " << text << "\n";
            return kExitFailure;
        }
        if (text != said) err << "norv: " << text << " (1 秒後にやり直します)\n";
        said = text;
        std::this_thread::sleep_for(kRetry);
    }
}

}  // namespace

int RunFleet(const FleetOptions& options, std::ostream& out, std::ostream& err) {
    if (options.report == "file") return FileInbox(options, err);
    std::optional<double> period = DurationSeconds(options.period);
    if (!period || *period <= 0) {
        err << "norv: --period は 90s、30m、1h、1d のような長さで指定してください: "
            << Shown(options.period) << "\n";
        return kExitUsage;
    }
    auto db = OpenStore(options.db);
    if (!db.ok()) return Failed(db.status(), err);
    PgConnection& c = **db;
    if (options.report == "silent") return Silent(c, *period, options.json, out, err);
    // status and changes look back a day unless told; seal over everything kept.
    const std::optional<double> fallback =
        options.report == "seal" ? std::nullopt : std::optional<double>(86400);
    auto since = ResolveSince(c, options.since, fallback);
    if (!since.ok()) return Failed(since.status(), err);
    if (options.report == "status") return HostStatus(c, *since, options.json, out, err);
    if (options.report == "seal") return Seal(c, *since, options.json, out, err);
    return Changes(c, *since, options.json, out, err);
}

}  // namespace norv::cli
