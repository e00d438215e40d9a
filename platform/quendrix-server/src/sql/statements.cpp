// Internal statements and cursors on SQLite prepared statements, and client
// connections for in-process use.
#include <sqlite3.h>

#include <cstddef>
#include <map>
#include <mutex>

#include "internal.h"
#include "quendrix/statements.h"

struct Cursor;

struct qx_statement {
    sqlite3_stmt *stmt = nullptr;
    qx_client *client = nullptr;
    Cursor *cursor = nullptr;  // the open cursor reading this statement
};

// The public three words first, so that a qx_cursor * is a Cursor *.
struct Cursor {
    qx_cursor pub{};
    bool done = false;  // the statement has ended, or failed
};

static_assert(offsetof(Cursor, pub) == 0, "a cursor starts with its public words");
static_assert(offsetof(qx_cursor, error) == 2 * sizeof(void *),
              "the error value is the cursor's third word");

namespace {

std::mutex substitutions_mutex;
std::map<std::string, std::string> &substitutions() {
    static std::map<std::string, std::string> m;
    return m;
}

std::string substituted(const char *sql) {
    std::lock_guard<std::mutex> lock(substitutions_mutex);
    auto it = substitutions().find(sql);
    return it == substitutions().end() ? sql : it->second;
}

bool blank_sql(const char *p) {
    while (*p) {
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == ';') {
            ++p;
        } else if (p[0] == '-' && p[1] == '-') {
            while (*p && *p != '\n') ++p;
        } else if (p[0] == '/' && p[1] == '*') {
            p += 2;
            while (*p && !(p[0] == '*' && p[1] == '/')) ++p;
            if (*p) p += 2;
        } else {
            return false;
        }
    }
    return true;
}

void store_error(qx_value *err_slot, qx_value err) {
    if (err_slot && !*err_slot)
        *err_slot = err;
    else
        qx_free_tree(err);
}

// Makes the row the statement stands on the cursor's current row.
void take_row(Cursor *c) {
    sqlite3_stmt *stmt = c->pub.statement->stmt;
    int n = sqlite3_column_count(stmt);
    c->pub.row = qx_alloc(static_cast<size_t>(n) * sizeof(qx_value), QX_TAG_ARRAY);
    if (!c->pub.row) {
        c->pub.error = qx_error_new("53200", nullptr, "Out of memory reading a row");
        return;
    }
    for (int i = 0; i < n; ++i) {
        if (!qx::value_from_sqlite(sqlite3_column_value(stmt, i), &qx_slots(c->pub.row)[i])) {
            qx_free_tree(c->pub.row);
            c->pub.row = nullptr;
            c->pub.error = qx_error_new("54000", nullptr,
                                        "Column %d of a row exceeds the server's limit of %u bytes",
                                        i + 1, QX_MAX_LENGTH);
            return;
        }
    }
}

}  // namespace

namespace qx {

qx_value error_from_sqlite(sqlite3 *db, int rc) {
    int code = db ? sqlite3_extended_errcode(db) : rc;
    SqlError e = decode_error(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), code ? code : rc);
    return qx_error_new(e.state.c_str(), e.native_code.empty() ? nullptr : e.native_code.c_str(),
                        "%s", e.message.c_str());
}

}  // namespace qx

extern "C" {

qx_statement *qx_sql_compile(const char *sql, qx_client *client, qx_value *err_slot, int) {
    if (!sql) {
        store_error(err_slot, qx_error_new("HY009", nullptr, "No SQL text to compile"));
        return nullptr;
    }
    if (!client || !client->db) {
        store_error(err_slot, qx_error_new("08003", nullptr,
                                           "No client connection to compile the statement on"));
        return nullptr;
    }
    std::string text = qx::escape_marked_blob_literals(qx::resolve_qualified_names(substituted(sql)));
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    int rc = sqlite3_prepare_v2(client->db, text.c_str(), static_cast<int>(text.size()), &stmt,
                                &tail);
    if (rc != SQLITE_OK) {
        store_error(err_slot, qx::error_from_sqlite(client->db, rc));
        return nullptr;
    }
    if (tail && !blank_sql(tail)) {
        // SQLite would silently ignore the rest; one text is one statement here.
        sqlite3_finalize(stmt);
        store_error(err_slot, qx_error_new("42000", nullptr,
                                           "Only one statement can be compiled at a time, "
                                           "found more after: %.*s",
                                           static_cast<int>(tail - text.c_str()), text.c_str()));
        return nullptr;
    }
    if (!stmt) return nullptr;  // blanks and comments: no statement, no error
    auto *s = new qx_statement;
    s->stmt = stmt;
    s->client = client;
    return s;
}

void qx_sql_free(qx_statement *s) {
    if (!s) return;
    if (s->cursor) s->cursor->pub.statement = nullptr;
    sqlite3_finalize(s->stmt);
    delete s;
}

qx_value qx_sql_exec(qx_statement *s, qx_client *client, qx_cursor **cursor_out, qx_state *,
                     void *, void *) {
    if (cursor_out) *cursor_out = nullptr;
    if (!s) return qx_error_new("HY010", nullptr, "No statement to run");
    if (client && client != s->client)
        return qx_error_new("08003", nullptr,
                            "The statement was compiled for another client connection");
    if (s->cursor)
        return qx_error_new("24000", nullptr, "The statement's cursor is still open");
    sqlite3_reset(s->stmt);
    if (cursor_out && sqlite3_column_count(s->stmt) > 0) {
        // Rows are read through the cursor, one step per fetch.
        auto *c = new Cursor;
        c->pub.statement = s;
        s->cursor = c;
        *cursor_out = &c->pub;
        return nullptr;
    }
    // Nobody reads rows: run the statement to its end.
    int rc;
    while ((rc = sqlite3_step(s->stmt)) == SQLITE_ROW) {
    }
    qx_value err = rc == SQLITE_DONE ? nullptr : qx::error_from_sqlite(s->client->db, rc);
    sqlite3_reset(s->stmt);
    return err;
}

int qx_cursor_next(qx_cursor *cursor) {
    auto *c = reinterpret_cast<Cursor *>(cursor);
    if (!c) return 0;
    qx_free_tree(c->pub.row);
    c->pub.row = nullptr;
    if (c->done || !c->pub.statement) return 0;
    sqlite3_stmt *stmt = c->pub.statement->stmt;
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        take_row(c);
        if (!c->pub.error) return 1;
    } else if (rc != SQLITE_DONE) {
        c->pub.error = qx::error_from_sqlite(sqlite3_db_handle(stmt), rc);
    }
    c->done = true;
    sqlite3_reset(stmt);
    // A failed fetch still counts as a row, so that a reader who checks the
    // error word after each fetch meets the error; the row has no columns.
    return c->pub.error ? 1 : 0;
}

qx_value qx_cursor_column(qx_cursor *cursor, int column) {
    if (!cursor || !cursor->row || column < 0 ||
        static_cast<size_t>(column) >= qx_slot_count(cursor->row))
        return nullptr;
    return qx_slots(cursor->row)[column];
}

void qx_cursor_free(qx_cursor *cursor) {
    auto *c = reinterpret_cast<Cursor *>(cursor);
    if (!c) return;
    if (c->pub.statement) {
        sqlite3_reset(c->pub.statement->stmt);
        c->pub.statement->cursor = nullptr;
    }
    qx_free_tree(c->pub.row);
    qx_free_tree(c->pub.error);
    delete c;
}

qx_client *qx_client_open(const char *database, qx_value *error_out) {
    if (error_out) *error_out = nullptr;
    auto *client = new qx_client;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI;
    int rc = sqlite3_open_v2(database ? database : ":memory:", &client->db, flags, nullptr);
    std::string why;
    qx_value err = nullptr;
    if (rc != SQLITE_OK) {
        err = qx::error_from_sqlite(client->db, rc);
    } else {
        sqlite3_extended_result_codes(client->db, 1);
        sqlite3_busy_timeout(client->db, 5000);
        if (!qx::install_builtins(client, &why) || !qx::install_query_support(client, &why))
            err = qx_error_new("08001", nullptr, "%s", why.c_str());
    }
    if (!err) return client;
    if (error_out)
        *error_out = err;
    else
        qx_free_tree(err);
    qx_client_close(client);
    return nullptr;
}

void qx_client_close(qx_client *client) {
    if (!client) return;
    sqlite3_close_v2(client->db);
    delete client;
}

qx_value qx_client_exec(qx_client *client, const char *sql) {
    if (!client || !client->db) return qx_error_new("08003", nullptr, "No client connection");
    std::string text = qx::escape_marked_blob_literals(qx::resolve_qualified_names(sql ? sql : ""));
    char *message = nullptr;
    int rc = sqlite3_exec(client->db, text.c_str(), nullptr, nullptr, &message);
    sqlite3_free(message);
    return rc == SQLITE_OK ? nullptr : qx::error_from_sqlite(client->db, rc);
}

qx_value qx_bif_call_on(qx_client *client, qx_bif_fn fn, const char *bif_name, qx_value args,
                        qx_value *error_out) {
    return qx::invoke(fn, bif_name, client, args, error_out);
}

void qx_test_substitute_statement(const char *sql, const char *replacement) {
    std::lock_guard<std::mutex> lock(substitutions_mutex);
    if (!sql)
        substitutions().clear();
    else if (!replacement)
        substitutions().erase(sql);
    else
        substitutions()[sql] = replacement;
}

}  // extern "C"
