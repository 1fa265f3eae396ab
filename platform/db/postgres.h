// A thin layer over libpq: one connection to a PostgreSQL server and queries whose values are
// always bound parameters ($1, $2...), never written into the SQL.
//
// Results come back in text form, as the server writes them. A failure is a Status naming the
// server ("host:port/database", or the socket's folder) and the cause in libpq's or the
// server's words; its kind says which: kNetwork (the server could not be reached), kPermission
// (authentication failed, or a privilege is missing), kNotFound (no such table or function),
// kFormat (a value the server could not read), kIo (anything else).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

struct pg_conn;
struct pg_result;

namespace norv::platform {

// The rows of one query.
class PgRows {
  public:
    explicit PgRows(pg_result* result);
    ~PgRows();
    PgRows(PgRows&& other) noexcept;
    PgRows& operator=(PgRows&& other) = delete;
    PgRows(const PgRows&) = delete;

    int rows() const;
    bool IsNull(int row, int column) const;
    // The value's text; "" for null.
    std::string Text(int row, int column) const;
    // The value if not null.
    std::optional<std::string> Value(int row, int column) const;

  private:
    pg_result* result_;
};

using PgParams = std::vector<std::optional<std::string>>;  // nullopt: SQL null

class PgConnection {
  public:
    // Connects with `conninfo`, a libpq connection string or URI; "" takes everything from the
    // environment (PGSERVICE, PGHOST, PGDATABASE, ...) as libpq does. With `read_only`, every
    // transaction of the session is read-only.
    static Result<std::unique_ptr<PgConnection>> Connect(const std::string& conninfo,
                                                         bool read_only);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Runs `sql` with `params` bound as $1, $2...
    Result<PgRows> Query(std::string_view sql, const PgParams& params = {});
    // Runs `sql` and drops its rows.
    Status Exec(std::string_view sql, const PgParams& params = {});
    // Runs `sql`, handing each row to `row` as it arrives (row 0 of a PgRows of one), so a
    // result of any size is never held whole.
    Status ForEachRow(std::string_view sql, const PgParams& params,
                      const std::function<void(const PgRows&)>& row);

    // Where the connection goes, for messages: "host:port/database".
    const std::string& server() const { return server_; }

  private:
    PgConnection(pg_conn* conn, std::string server) : conn_(conn), server_(std::move(server)) {}
    // The failure `result` (taken) reports, naming the server.
    Status Failure(pg_result* result) const;
    pg_conn* conn_;
    std::string server_;
};

// The kind of a SQLSTATE.
ErrorKind KindOfSqlState(std::string_view state);

}  // namespace norv::platform
