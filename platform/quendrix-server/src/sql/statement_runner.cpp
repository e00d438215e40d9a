// Runs statements for a client and streams their result sets to its sink: the
// statement's own rows, or the rows that its built-ins send while it runs.
#include <sqlite3.h>

#include <strings.h>

#include <cctype>
#include <cstring>
#include <new>

#include "auth/users.h"
#include "sql/postgres_statements.h"
#include "sql/result_set.h"
#include "sql/row_security.h"
#include "sql/statement_timeout.h"

namespace qx {

void receive_row(void *context, int n, qx_value *values) {
    static_cast<StatementRunner *>(context)->sent_row(n, values);
}

}  // namespace qx

namespace {

size_t skip_blanks(const char *s, size_t i) {
    while (s[i] && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

// The word starting at s[i], upper-cased (letters only).
std::string word_at(const char *s, size_t i) {
    std::string w;
    while (std::isalpha(static_cast<unsigned char>(s[i])))
        w += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
    return w;
}

std::vector<std::string> numbered_columns(int n) {
    std::vector<std::string> names;
    for (int i = 1; i <= n; ++i) names.push_back("column" + std::to_string(i));
    return names;
}

std::vector<std::string> own_columns(sqlite3_stmt *stmt) {
    std::vector<std::string> names;
    for (int i = 0, n = sqlite3_column_count(stmt); i < n; ++i) {
        const char *name = sqlite3_column_name(stmt, i);
        names.push_back(name ? name : "column" + std::to_string(i + 1));
    }
    return names;
}

}  // namespace

namespace qx {

// Whether the statement at `s` is `call NAME(...)`; *at is where "call" starts.
bool is_call_statement(const char *s, size_t *at) {
    size_t i = skip_blanks(s, 0);
    if (strncasecmp(s + i, "call", 4) != 0) return false;
    char next = s[i + 4];
    if (!(next == '(' || std::isspace(static_cast<unsigned char>(next)))) return false;
    *at = i;
    return true;
}

// What a statement did, in the form clients of the wire protocol expect.
std::string command_tag(sqlite3_stmt *stmt, bool call_form, bool result_set, long rows) {
    if (call_form) return "CALL";
    const char *sql = sqlite3_sql(stmt);
    size_t i = skip_blanks(sql, 0);
    std::string verb = word_at(sql, i);
    // An INSERT, UPDATE or DELETE with RETURNING has rows, and is tagged as what it did.
    bool changes_rows = verb == "INSERT" || verb == "REPLACE" || verb == "UPDATE" || verb == "DELETE";
    if (result_set && !changes_rows) return is_show_statement(stmt) ? "SHOW" : "SELECT " + std::to_string(rows);
    long changes = static_cast<long>(sqlite3_changes64(sqlite3_db_handle(stmt)));
    if (verb == "INSERT" || verb == "REPLACE") return "INSERT 0 " + std::to_string(changes);
    if (verb == "UPDATE" || verb == "DELETE") return verb + " " + std::to_string(changes);
    if (verb == "CREATE" || verb == "DROP" || verb == "ALTER") {
        // As PostgreSQL tags them: CREATE TEMP TABLE and CREATE UNIQUE INDEX create a
        // TABLE and an INDEX (and SQLite's virtual table is a table).
        size_t at = skip_blanks(sql, i + verb.size());
        std::string object = word_at(sql, at);
        while (object == "TEMP" || object == "TEMPORARY" || object == "UNIQUE" || object == "VIRTUAL") {
            at = skip_blanks(sql, at + object.size());
            object = word_at(sql, at);
        }
        return object.empty() ? verb : verb + " " + object;
    }
    if (verb == "END") return "COMMIT";
    return verb.empty() ? "OK" : verb;
}

void StatementRunner::sent_row(int n, qx_value *values) {
    // Runs inside SQLite, through a built-in: no exception may leave it.
    try {
        forward_row(n, values);
    } catch (const std::bad_alloc &) {
        raise_current("53200", nullptr, "out of memory sending a result row");
    }
}

void StatementRunner::forward_row(int n, qx_value *values) {
    if (client_gone_) {
        raise_current("08006", nullptr, "the client connection is gone");
        return;
    }
    if (source_ == Source::own) {
        raise_current("42000", nullptr,
                      "a built-in cannot send result rows after the statement's own rows");
        return;
    }
    if (source_ == Source::undecided) {
        source_ = Source::sent;
        columns_ = n;
        if (!sink_->begin(numbered_columns(n))) client_gone_ = true;
    } else if (n != columns_) {
        raise_current("21000", nullptr, "a result row of %d values in a result set of %d columns",
                      n, columns_);
        return;
    }
    if (!client_gone_ && !sink_->row(n, values)) client_gone_ = true;
    if (client_gone_) {
        raise_current("08006", nullptr, "the client connection is gone");
        return;
    }
    ++rows_;
}

bool StatementRunner::run_one(sqlite3_stmt *stmt, bool call_form, SqlError *error) {
    source_ = Source::undecided;
    columns_ = 0;
    rows_ = 0;
    int n = sqlite3_column_count(stmt);
    std::vector<qx_value> values(static_cast<size_t>(n));
    int rc;
    bool too_large = false, no_memory = false;
    qx_set_row_receiver(receive_row, this);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (call_form || source_ == Source::sent) continue;  // the sent rows are the result
        for (int i = 0; i < n && !too_large; ++i) {
            if (!value_from_sqlite(sqlite3_column_value(stmt, i), &values[static_cast<size_t>(i)]))
                too_large = true;  // the value cannot be carried: fail rather than alter it
        }
        try {
            if (!too_large && source_ == Source::undecided) {
                source_ = Source::own;
                columns_ = n;
                sink_->own_result(stmt);
                if (!sink_->begin(own_columns(stmt))) client_gone_ = true;
            }
            if (!too_large && !client_gone_ && !sink_->row(n, values.data())) client_gone_ = true;
        } catch (const std::bad_alloc &) {
            no_memory = true;
        }
        for (qx_value &v : values) {
            qx_free_tree(v);
            v = nullptr;
        }
        if (client_gone_ || too_large || no_memory) break;
        ++rows_;
    }
    qx_set_row_receiver(nullptr, nullptr);
    if (client_gone_) {
        *error = {"08006", "", "the client connection is gone"};
        return false;
    }
    if (too_large) {
        *error = {"54000", "",
                  "a result value exceeds the largest value a client can receive (" +
                      std::to_string(QX_MAX_LENGTH) + " bytes)"};
        return false;
    }
    if (no_memory) {
        *error = {"53200", "", "out of memory sending a result row"};
        return false;
    }
    if (rc != SQLITE_DONE) {
        *error = decode_error(sqlite3_errmsg(client_->db), sqlite3_extended_errcode(client_->db));
        return false;
    }
    bool result_set = source_ != Source::undecided || (!call_form && n > 0);
    if (source_ == Source::undecided && result_set) sink_->own_result(stmt);
    if (source_ == Source::undecided && result_set && !sink_->begin(own_columns(stmt))) {
        *error = {"08006", "", "the client connection is gone"};
        return false;
    }
    sink_->complete(command_tag(stmt, call_form, result_set, rows_));
    return true;
}

bool StatementRunner::settles_setting(sqlite3_stmt *stmt, SqlError *error, std::string *tag) {
    TransactionRequest request = transaction_request(sqlite3_sql(stmt));
    if (request.kind == TransactionRequest::discard || request.kind == TransactionRequest::deallocate) {
        run_session_command(client_, request, error, tag);
        return true;
    }
    if (request.kind != TransactionRequest::set_parameter && request.kind != TransactionRequest::reset_all &&
        request.kind != TransactionRequest::reset_nothing)
        return false;
    apply_setting_request(&client_->settings, request, false, error, tag);
    return true;
}

namespace {

// Whether `s` holds no statement: only blanks, comments and semicolons.
bool holds_no_statement(const char *s) {
    for (;;) {
        while (std::isspace(static_cast<unsigned char>(*s)) || *s == ';') ++s;
        if (s[0] == '-' && s[1] == '-') {
            s = std::strchr(s, '\n');
            if (!s) return true;
        } else if (s[0] == '/' && s[1] == '*') {
            s = std::strstr(s + 2, "*/");
            if (!s) return true;
            s += 2;
        } else {
            return *s == '\0';
        }
    }
}

}  // namespace

bool StatementRunner::run(const std::string &sql, SqlError *error, int *statements) {
    *statements = 0;
    // Qualified DB.DBA names resolve to the server's own tables, for every front end.
    std::vector<std::pair<size_t, size_t>> inserted;
    std::string resolved = resolve_qualified_names(sql, &inserted);
    std::string text = escape_marked_blob_literals(resolved);
    if (text != resolved) inserted.clear();
    size_t offset = 0;
    while (offset < text.size()) {
        const char *start = text.c_str() + offset;
        // User statements are the server's own: SQLite has none.
        if (size_t length = auth::user_statement_length(start)) {
            ++*statements;
            std::string tag;
            if (!auth::run_user_statement(client_, std::string(start, length), &tag, error))
                return false;
            sink_->complete(tag);
            offset += length;
            continue;
        }
        size_t call_at = 0;
        bool call_form = is_call_statement(start, &call_at);
        // `call` runs as `select`: SQLite has no call statement.
        std::string rewritten;
        if (call_form) rewritten = std::string(start, call_at) + "select" + (start + call_at + 4);
        const char *source = call_form ? rewritten.c_str() : start;
        sqlite3_stmt *stmt = nullptr;
        const char *tail = nullptr;
        // A restricted session's selects are rewritten before they are compiled.
        if (!prepare_for_client(client_, source, &stmt, &tail, error)) {
            error->position = error_position(*error, sql, offset, !call_form && text == sql,
                                             call_form ? std::vector<std::pair<size_t, size_t>>() : inserted);
            if (hooks_) hooks_->after(false);
            return false;
        }
        size_t used = static_cast<size_t>(tail - source);
        offset += call_form ? used - 2 : used;
        if (!stmt) continue;  // blanks or a comment
        ++*statements;
        StatementHooks::Decision decision = StatementHooks::Decision::run;
        std::string tag;
        if (hooks_) {
            hooks_->upcoming(!holds_no_statement(text.c_str() + offset));
            decision = hooks_->before(stmt, error, &tag);
        } else if (settles_setting(stmt, error, &tag)) {
            // The shell has no transaction blocks of PostgreSQL's: its settings change at once.
            decision = error->state.empty() ? StatementHooks::Decision::settle : StatementHooks::Decision::refuse;
        }
        bool ok = decision != StatementHooks::Decision::refuse;
        if (decision == StatementHooks::Decision::settle) sink_->complete(tag);
        if (decision == StatementHooks::Decision::run) {
            arm_statement_timeout(client_);
            ok = run_one(stmt, call_form, error);
            disarm_statement_timeout(client_);
        }
        sqlite3_finalize(stmt);
        if (hooks_ && decision != StatementHooks::Decision::settle) hooks_->after(ok);
        if (!ok) return false;
    }
    return true;
}

}  // namespace qx
