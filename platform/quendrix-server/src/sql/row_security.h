// Row-level security: a session of a user who is no administrator sees a report
// table's rows only through a select query that the server's query rewrite (named
// by --query-rewrite, e.g. need_to_know) has restricted to that user's number.
//
// Every select such a session runs is parsed, each of its query nodes (subqueries
// included) is given to the rewrite, and the compiled text is what SQLite runs. An
// authorizer check then lets a statement read a report table only when it is the
// compiled text of a rewritten query that names that table in a from list; any other
// read (a query shape the parser does not take, views, triggers, CTEs, INSERT ...
// SELECT, other statements, built-ins' own statements) is refused with 42501, and so
// is any change to DB.DBA.NEED_TO_KNOW or to a report table.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "internal.h"

namespace qx {

// The built-in named by --query-rewrite; empty (the default) for none. Set before any
// session starts.
void set_query_rewrite(const std::string &name);
const std::string &query_rewrite();

// Whether the client's selects are rewritten: a rewrite is set and the user is no
// administrator.
bool is_restricted(const qx_client *client);

// A report table: one whose name holds "REPORT" in any case (SQLite's names are
// case-blind, so "sales_report" is the table SALES_REPORT).
bool is_report_table(const char *name);

// Adds the row-security check to a connection's authorizer when a rewrite is set.
bool install_row_security(qx_client *client, std::string *error);

// Prepares the first statement of `sql` for the client as sqlite3_prepare_v2 does
// (*tail after it; *stmt null for blanks), rewriting it first for a restricted
// client. False with *error set when it fails or is refused.
bool prepare_for_client(qx_client *client, const char *sql, sqlite3_stmt **stmt, const char **tail,
                        SqlError *error);

// The SQL text of a query tree for the client: rewritten (the tree changes in place)
// when the client is restricted. *readable receives the report tables that the
// rewritten text may read. False with *error set.
bool compile_for_client(qx_client *client, qx_value tree, std::string *text,
                        std::vector<std::string> *readable, std::string *error);

// While it lives, the statements the client prepares may read these report tables.
class ReadableReports {
public:
    ReadableReports(qx_client *client, std::vector<std::string> tables);
    ~ReadableReports();
    ReadableReports(const ReadableReports &) = delete;
    ReadableReports &operator=(const ReadableReports &) = delete;

private:
    qx_client *client_;
    std::vector<std::string> saved_;
};

// After a restricted client's statement is prepared: false (42501 in *error) when a
// view it reads reads a report table, which a view may do without SQLite telling.
bool check_views_read(qx_client *client, SqlError *error);

// The refusal that made SQLite answer SQLITE_AUTH on this client, as an SQL error.
SqlError refusal(qx_client *client);

}  // namespace qx
