// Row-level security for sessions of users who are no administrators; see
// row_security.h.
#include "sql/row_security.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "quendrix/query_tree.h"
#include "query/query_compiler.h"
#include "sql/postgres_statements.h"

namespace qx {
namespace {

std::string rewrite_name;

constexpr const char *kNeedToKnowTable = "DB.DBA.NEED_TO_KNOW";

bool is_need_to_know_table(const char *name) { return name && strcasecmp(name, kNeedToKnowTable) == 0; }

bool is_text(qx_value v) { return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_STRING; }

long kind_of(qx_value v) {
    if (qx_is_inline(v) || qx_tag_of(v) != QX_TAG_ARRAY || qx_slot_count(v) < 1 ||
        !qx_is_inline(qx_slots(v)[0]))
        return -1;
    return static_cast<long>(reinterpret_cast<uintptr_t>(qx_slots(v)[0]));
}

int deny(qx_client *client, const std::string &why) {
    client->row_security_denial = why;
    return SQLITE_DENY;
}

std::string report_refusal(qx_client *client, const char *table, const char *how) {
    return std::string("permission denied for report table ") + table + ": " + how +
           " (user " + std::to_string(client->user_number) + " sees report rows only through "
           "select queries the server restricts)";
}

// Whether `name` is a view: SQLite's column lookup finds no table then.
bool is_view(sqlite3 *db, const std::string &name) {
    if (sqlite3_table_column_metadata(db, nullptr, name.c_str(), nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr) == SQLITE_OK)
        return false;
    sqlite3_stmt *stmt = nullptr;
    bool view = sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_schema WHERE type = 'view' AND name = ?1 COLLATE NOCASE "
                                       "UNION ALL SELECT 1 FROM sqlite_temp_schema WHERE type = 'view' "
                                       "AND name = ?1 COLLATE NOCASE", -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return view;
}

// SQLite's table of the database's pages tells how many rows each page of a report
// table holds and how long they are, those the user may not see too.
constexpr const char *kDbstatRefusal =
    "permission denied for dbstat: it tells of every table's rows, report rows the user may not see too";

int row_security_check(qx_client *client, int action, const char *arg1, const char *arg2,
                       const char *, const char *trigger) {
    if (!is_restricted(client)) return SQLITE_OK;
    if (client->report_found) {
        if (action == SQLITE_READ && arg1 && is_report_table(arg1) && client->report_found->empty())
            *client->report_found = arg1;
        return SQLITE_OK;
    }
    if (client->row_security_probing) return SQLITE_OK;
    switch (action) {
        case SQLITE_READ: {
            if (!arg1) return SQLITE_OK;
            if (strcasecmp(arg1, "dbstat") == 0) return deny(client, kDbstatRefusal);
            if (!is_report_table(arg1)) return SQLITE_OK;
            if (trigger)
                return deny(client, report_refusal(client, arg1, (std::string("read through the view or "
                                                                              "trigger ") + trigger).c_str()));
            for (const std::string &t : client->readable_reports)
                if (strcasecmp(t.c_str(), arg1) == 0) return SQLITE_OK;
            return deny(client, report_refusal(client, arg1, client->row_security_context.c_str()));
        }
        case SQLITE_INSERT:
        case SQLITE_UPDATE:
        case SQLITE_DELETE:
        case SQLITE_DROP_TABLE:
        case SQLITE_DROP_TEMP_TABLE:
            // A report row's R_CLASS decides who sees it, and an UPDATE or DELETE reaches
            // rows the user may not see (its change count would tell of them).
            if (is_need_to_know_table(arg1) || (arg1 && is_report_table(arg1)))
                return deny(client, std::string("permission denied for table ") + arg1 +
                                        ": only an administrator changes it");
            return SQLITE_OK;
        case SQLITE_ALTER_TABLE:
        case SQLITE_CREATE_INDEX:
        case SQLITE_CREATE_TEMP_INDEX:
        case SQLITE_DROP_INDEX:
        case SQLITE_DROP_TEMP_INDEX:
            // An index computes its expressions over every row, seen or not.
            if (is_need_to_know_table(arg2) || (arg2 && is_report_table(arg2)))
                return deny(client, std::string("permission denied for table ") + arg2 +
                                        ": only an administrator changes it");
            return SQLITE_OK;
        case SQLITE_CREATE_VTABLE:
            if (arg2 && strcasecmp(arg2, "dbstat") == 0) return deny(client, kDbstatRefusal);
            [[fallthrough]];
        case SQLITE_CREATE_TABLE:
        case SQLITE_CREATE_TEMP_TABLE:
        case SQLITE_CREATE_VIEW:
        case SQLITE_CREATE_TEMP_VIEW:
            // A temporary table or view of the same name would shadow the real one in
            // the restricted queries.
            if (is_need_to_know_table(arg1) || (arg1 && is_report_table(arg1)))
                return deny(client, std::string("permission denied to create ") + arg1 +
                                        ": only an administrator creates it");
            return SQLITE_OK;
        case SQLITE_CREATE_TRIGGER:
            // A stored trigger runs with the rights of whoever fires it, an administrator
            // too: it could copy report rows to where this user reads them.
            return deny(client, "permission denied to create a trigger: only an administrator "
                                "stores triggers");
        case SQLITE_PRAGMA:
            if (arg1 && strcasecmp(arg1, "writable_schema") == 0)
                return deny(client, "permission denied for PRAGMA writable_schema");
            return SQLITE_OK;
        default:
            return SQLITE_OK;
    }
}

// Report table names in upper case, so that the rewrite (which looks for "REPORT")
// sees every name that SQLite resolves to a report table; a from list's report
// tables are added to *readable, its views to the client's views to check (a view
// may read a report table without naming a column, and SQLite then reports that
// read as the statement's own).
void note_tables(qx_client *client, qx_value query, std::vector<std::string> *readable) {
    qx_value fw = qx_slot_count(query) > 4 ? qx_slots(query)[4] : nullptr;
    if (kind_of(fw) != QX_NODE_FROM_WHERE || qx_slot_count(fw) < 2) return;
    qx_value from = qx_slots(fw)[1];
    if (qx_is_inline(from) || qx_tag_of(from) != QX_TAG_ARRAY) return;
    for (size_t i = 0; i < qx_slot_count(from); ++i) {
        qx_value entry = qx_slots(from)[i];
        if (kind_of(entry) == QX_NODE_FROM_ENTRY && qx_slot_count(entry) > 1) entry = qx_slots(entry)[1];
        if (kind_of(entry) != QX_NODE_TABLE || qx_slot_count(entry) < 2 || !is_text(qx_slots(entry)[1]))
            continue;
        qx_value name = qx_slots(entry)[1];
        std::string text(static_cast<const char *>(name), qx_length_of(name));
        if (text.find('\0') != std::string::npos) continue;
        if (!is_report_table(text.c_str())) {
            auto &views = client->views_read;
            if (std::find(views.begin(), views.end(), text) == views.end() && is_view(client->db, text))
                views.push_back(text);
            continue;
        }
        char *bytes = static_cast<char *>(name);
        for (size_t k = 0; k < text.size(); ++k)
            if (bytes[k] >= 'a' && bytes[k] <= 'z') bytes[k] = static_cast<char>(bytes[k] - 'a' + 'A');
        readable->emplace_back(bytes, text.size());
    }
}

// Gives one query node to the rewrite built-in, as rewrite(user number, query).
bool rewrite_query(qx_client *client, qx_bif_fn fn, qx_value query, std::string *error) {
    qx_value args = qx_list(2, qx_box_int64(client->user_number), nullptr);
    if (!args) {
        *error = "out of memory";
        return false;
    }
    qx_slots(args)[1] = query;  // lent: the built-in changes it in place
    qx_value err = nullptr;
    qx_value result = invoke(fn, rewrite_name.c_str(), client, args, &err);
    qx_slots(args)[1] = nullptr;
    qx_free_tree(args);
    qx_free_tree(result);
    if (!err) return true;
    *error = std::string(rewrite_name) + ": " + qx_error_message(err);
    qx_free_tree(err);
    return false;
}

}  // namespace

void set_query_rewrite(const std::string &name) { rewrite_name = name; }

const std::string &query_rewrite() { return rewrite_name; }

bool is_restricted(const qx_client *client) { return !client->is_admin && !rewrite_name.empty(); }

bool is_report_table(const char *name) { return name && strcasestr(name, "REPORT") != nullptr; }

bool install_row_security(qx_client *client, std::string *) {
    if (!rewrite_name.empty()) add_authorizer_check(client, row_security_check);
    return true;
}

bool compile_for_client(qx_client *client, qx_value tree, std::string *text,
                        std::vector<std::string> *readable, std::string *error) {
    if (!is_restricted(client)) return compile_query(tree, text, error);
    qx_bif_fn fn = qx_bif_find(rewrite_name.c_str());
    if (!fn) {
        *error = "the query rewrite " + rewrite_name + " is no built-in";
        return false;
    }
    // The compiler hands over each query node, subqueries included, before it reads it.
    return compile_query(tree, text, error, [&](qx_value query, std::string *why) {
        note_tables(client, query, readable);
        return rewrite_query(client, fn, query, why);
    });
}

ReadableReports::ReadableReports(qx_client *client, std::vector<std::string> tables)
    : client_(client), saved_(std::move(client->readable_reports)) {
    client_->readable_reports = std::move(tables);
}

ReadableReports::~ReadableReports() { client_->readable_reports = std::move(saved_); }

SqlError refusal(qx_client *client) {
    std::string why = client->row_security_denial.empty() ? "permission denied"
                                                          : client->row_security_denial;
    return {"42501", "", why};
}

bool check_views_read(qx_client *client, SqlError *error) {
    std::vector<std::string> views = std::move(client->views_read);
    client->views_read.clear();
    for (const std::string &view : views) {
        std::string found;
        client->report_found = &found;
        char *sql = sqlite3_mprintf("SELECT * FROM \"%w\"", view.c_str());
        sqlite3_stmt *probe = nullptr;
        int rc = sqlite3_prepare_v2(client->db, sql, -1, &probe, nullptr);
        sqlite3_finalize(probe);
        sqlite3_free(sql);
        client->report_found = nullptr;
        if (rc != SQLITE_OK || !found.empty()) {
            *error = {"42501", "", "permission denied for view " + view + ": it reads report table " +
                                       (found.empty() ? std::string("(unknown)") : found) +
                                       ", which user " + std::to_string(client->user_number) +
                                       " sees only through select queries the server restricts"};
            return false;
        }
    }
    return true;
}

namespace {

// SQLite's prepare, which makes the catalogue views PostgreSQL's drivers read (pg_type,
// pg_class, ...) and their functions (quote_ident, ...) when a statement names one before
// they exist: most sessions never read them, and making them costs more than the rest
// of a connection's start.
int prepare(qx_client *client, const char *sql, sqlite3_stmt **stmt, const char **tail) {
    int rc = sqlite3_prepare_v2(client->db, sql, -1, stmt, tail);
    if (rc != SQLITE_ERROR ||
        (std::strncmp(sqlite3_errmsg(client->db), "no such table: pg_", 18) != 0 &&
         !names_catalogue_function(sqlite3_errmsg(client->db))) ||
        !install_pg_catalogue(client->db, nullptr))
        return rc;
    return sqlite3_prepare_v2(client->db, sql, -1, stmt, tail);
}

}  // namespace

bool prepare_for_client(qx_client *client, const char *sql, sqlite3_stmt **stmt, const char **tail,
                        SqlError *error) {
    *stmt = nullptr;
    client->row_security_denial.clear();
    client->views_read.clear();
    // PostgreSQL's ways to start a transaction and set its modes, and SHOW: compiled as
    // SQLite's equivalent, which reads no table.
    std::string substitute;
    SqlError malformed;
    if (size_t length = translate_postgres_statement(sql, client->settings, &substitute, &malformed)) {
        int rc = prepare(client, substitute.c_str(), stmt, nullptr);
        if (rc != SQLITE_OK) {
            *error = decode_error(sqlite3_errmsg(client->db), rc);
            return false;
        }
        *tail = sql + length;
        return true;
    }
    if (!malformed.state.empty()) {
        *error = malformed;
        return false;
    }
    if (!is_restricted(client)) {
        int rc = prepare(client, sql, stmt, tail);
        if (rc == SQLITE_OK) return true;
        *error = decode_error(sqlite3_errmsg(client->db), rc);
        error->position = sqlite3_error_offset(client->db) + 1;
        return false;
    }
    // SQLite finds where the statement ends; this probe is never run.
    sqlite3_stmt *probe = nullptr;
    client->row_security_probing = true;
    int rc = prepare(client, sql, &probe, tail);
    client->row_security_probing = false;
    if (rc != SQLITE_OK) {
        *error = decode_error(sqlite3_errmsg(client->db), rc);
        return false;
    }
    if (!probe) return true;
    bool select = sqlite3_stmt_readonly(probe) && sqlite3_column_count(probe) > 0;
    sqlite3_finalize(probe);
    std::string statement(sql, static_cast<size_t>(*tail - sql));

    qx_value parse_error = nullptr;
    qx_value tree = select ? qx_query_parse(statement.c_str(), &parse_error) : nullptr;
    if (tree) {
        std::string text, why;
        std::vector<std::string> readable;
        bool ok = compile_for_client(client, tree, &text, &readable, &why);
        qx_free_tree(tree);
        if (!ok) {
            *error = {"42501", "", "permission denied: the query cannot be restricted to what user " +
                                       std::to_string(client->user_number) + " needs to know: " + why};
            return false;
        }
        ReadableReports scope(client, std::move(readable));
        client->row_security_context = "read outside the restricted query";
        rc = prepare(client, text.c_str(), stmt, nullptr);
    } else {
        client->row_security_context =
            select ? std::string("the query's shape is not one the server can restrict (") +
                         qx_error_message(parse_error) + ")"
                   : std::string("read by a statement that is no select query");
        qx_free_tree(parse_error);
        ReadableReports scope(client, {});
        rc = prepare(client, statement.c_str(), stmt, nullptr);
    }
    if (rc == SQLITE_OK && check_views_read(client, error)) return true;
    if (rc != SQLITE_OK)
        *error = rc == SQLITE_AUTH ? refusal(client) : decode_error(sqlite3_errmsg(client->db), rc);
    sqlite3_finalize(*stmt);
    *stmt = nullptr;
    return false;
}

}  // namespace qx
