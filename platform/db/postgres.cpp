#include "platform/db/postgres.h"

#include <libpq-fe.h>

#include "platform/base/notice_code.h"

namespace norv::platform {
namespace {

// libpq's and the server's texts end in a line break and may hold several lines ("connection to
// server ... failed: FATAL:  password authentication failed ..."): one line, spaces squeezed.
std::string OneLine(const char* text) {
    std::string out;
    bool space = false;
    for (const char* p = text ? text : ""; *p; ++p) {
        const bool blank = *p == '\n' || *p == '\r' || *p == '\t' || *p == ' ';
        if (blank) {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += *p;
    }
    return out;
}

// "host:port/database" as libpq resolved them; a Unix socket's host is its folder.
std::string ServerOf(const PGconn* conn, const std::string& conninfo) {
    if (conn == nullptr) return conninfo.empty() ? "(default)" : conninfo;
    const char* host = PQhost(conn);
    const char* port = PQport(conn);
    const char* db = PQdb(conn);
    std::string server = host && *host ? host : "localhost";
    if (port && *port) server += ":" + std::string(port);
    if (db && *db) server += "/" + std::string(db);
    return server;
}

// The connection failure's kind from libpq's words: the server's refusal of a login is one,
// the rest means it could not be reached (no server, wrong port, no route).
ErrorKind KindOfConnectFailure(const std::string& text) {
    if (text.find("authentication failed") != std::string::npos ||
        text.find("no pg_hba.conf entry") != std::string::npos ||
        text.find("password") != std::string::npos ||
        text.find("permission denied") != std::string::npos) {
        return ErrorKind::kPermission;
    }
    if (text.find("does not exist") != std::string::npos) return ErrorKind::kNotFound;
    return ErrorKind::kNetwork;
}

}  // namespace

ErrorKind KindOfSqlState(std::string_view state) {
    if (state.size() != 5) return ErrorKind::kIo;
    if (state.substr(0, 2) == "08") return ErrorKind::kNetwork;     // connection exception
    if (state.substr(0, 2) == "28") return ErrorKind::kPermission;  // invalid authorization
    if (state == "42501") return ErrorKind::kPermission;            // insufficient privilege
    if (state == "42P01" || state == "42883" || state == "3F000") {
        return ErrorKind::kNotFound;  // no such table, function or schema
    }
    if (state.substr(0, 2) == "22") return ErrorKind::kFormat;  // data exception
    if (state == "25006") return ErrorKind::kPermission;        // read-only transaction
    return ErrorKind::kIo;
}

PgRows::PgRows(pg_result* result) : result_(result) {}
PgRows::~PgRows() { PQclear(result_); }
PgRows::PgRows(PgRows&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
int PgRows::rows() const { return PQntuples(result_); }
bool PgRows::IsNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
std::string PgRows::Text(int row, int column) const {
    return std::string(PQgetvalue(result_, row, column),
                       static_cast<size_t>(PQgetlength(result_, row, column)));
}
std::optional<std::string> PgRows::Value(int row, int column) const {
    if (IsNull(row, column)) return std::nullopt;
    return Text(row, column);
}

Result<std::unique_ptr<PgConnection>> PgConnection::Connect(const std::string& conninfo,
                                                            bool read_only) {
    // The connection string is expanded as dbname; the options after it cannot be overridden.
    const char* keys[] = {"dbname", "fallback_application_name", "options", nullptr};
    const char* values[] = {conninfo.c_str(), "norv-cli",
                            read_only ? "-c default_transaction_read_only=on" : "", nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
    if (conn == nullptr) {
        return Status::Error(ErrorKind::kNoSpace, 0,
                             Message(NoticeCode::kStoreCannotConnect,
                                     {ServerOf(nullptr, conninfo), std::string("out of memory")}));
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string why = OneLine(PQerrorMessage(conn));
        const std::string server = ServerOf(conn, conninfo);
        PQfinish(conn);
        return Status::Error(KindOfConnectFailure(why), 0,
                             Message(NoticeCode::kStoreCannotConnect, {server, why}));
    }
    return std::unique_ptr<PgConnection>(new PgConnection(conn, ServerOf(conn, conninfo)));
}

PgConnection::~PgConnection() { PQfinish(conn_); }

Status PgConnection::Failure(pg_result* result) const {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string why = OneLine(primary ? primary : PQerrorMessage(conn_));
    const std::string code = state ? state : "";
    PQclear(result);
    const ErrorKind kind = !code.empty()                       ? KindOfSqlState(code)
                           : PQstatus(conn_) == CONNECTION_BAD ? ErrorKind::kNetwork
                                                               : ErrorKind::kIo;
    return Status::Error(kind, 0,
                         Message(NoticeCode::kStoreQueryFailed,
                                 {server_, code.empty() ? why : why + " (SQLSTATE " + code + ")"}));
}

namespace {

std::vector<const char*> Values(const PgParams& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    return values;
}

}  // namespace

Result<PgRows> PgConnection::Query(std::string_view sql, const PgParams& params) {
    const std::vector<const char*> values = Values(params);
    const std::string text(sql);
    PGresult* result = PQexecParams(conn_, text.c_str(), static_cast<int>(values.size()), nullptr,
                                    values.data(), nullptr, nullptr, /*resultFormat=*/0);
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) return PgRows(result);
    return Failure(result);
}

Status PgConnection::ForEachRow(std::string_view sql, const PgParams& params,
                                const std::function<void(const PgRows&)>& row) {
    const std::vector<const char*> values = Values(params);
    const std::string text(sql);
    if (PQsendQueryParams(conn_, text.c_str(), static_cast<int>(values.size()), nullptr,
                          values.data(), nullptr, nullptr, /*resultFormat=*/0) == 0) {
        return Failure(nullptr);
    }
    PQsetSingleRowMode(conn_);
    Status failed;
    // Every result is read, to the last, so the connection is ready for the next query.
    while (PGresult* result = PQgetResult(conn_)) {
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_SINGLE_TUPLE && failed.ok()) {
            row(PgRows(result));
        } else if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK ||
                   status == PGRES_COMMAND_OK) {
            PQclear(result);
        } else if (failed.ok()) {
            failed = Failure(result);
        } else {
            PQclear(result);
        }
    }
    return failed;
}

Status PgConnection::Exec(std::string_view sql, const PgParams& params) {
    Result<PgRows> rows = Query(sql, params);
    return rows.ok() ? Status() : rows.status();
}

}  // namespace norv::platform
