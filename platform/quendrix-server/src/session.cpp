// A database session: opening the database, running statements and printing
// their rows the way the shell shows them.
#include <sqlite3.h>

#include "internal.h"

namespace qx {

Session::~Session() {
    if (client_.db) sqlite3_close_v2(client_.db);
}

bool Session::open(const std::string &path, SqlError *error) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI;
    int rc = sqlite3_open_v2(path.c_str(), &client_.db, flags, nullptr);
    std::string why;
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(client_.db, 1);
        sqlite3_busy_timeout(client_.db, 5000);
        // Reading the schema finds a path that is no database (or a directory) now,
        // not at the first statement.
        rc = sqlite3_exec(client_.db, "PRAGMA schema_version", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        why = client_.db ? sqlite3_errmsg(client_.db) : sqlite3_errstr(rc);
    } else if (!install_builtins(&client_, &why) || !install_query_support(&client_, &why)) {
        rc = SQLITE_ERROR;
    }
    if (rc == SQLITE_OK) return true;
    if (error) {
        *error = decode_error(why.c_str(), rc == SQLITE_ERROR ? SQLITE_CANTOPEN : rc);
        error->message = "cannot open database \"" + path + "\": " + error->message;
    }
    sqlite3_close_v2(client_.db);
    client_.db = nullptr;
    return false;
}

namespace {

void print_row(sqlite3_stmt *stmt, FILE *out) {
    std::string line;
    for (int i = 0, n = sqlite3_column_count(stmt); i < n; ++i) {
        if (i) line += '|';
        qx_value v = nullptr;
        if (value_from_sqlite(sqlite3_column_value(stmt, i), &v)) {
            format_value(line, v, false);
            qx_free_tree(v);
        } else {
            line += "<value too large to show>";
        }
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
}

}  // namespace

bool Session::execute(const std::string &sql, FILE *out, FILE *err) {
    std::string text = resolve_qualified_names(sql);
    const char *rest = text.c_str();
    while (rest && *rest) {
        sqlite3_stmt *stmt = nullptr;
        const char *tail = nullptr;
        int rc = sqlite3_prepare_v2(client_.db, rest, -1, &stmt, &tail);
        if (rc != SQLITE_OK) {
            print_error(err, decode_error(sqlite3_errmsg(client_.db), rc));
            return false;
        }
        rest = tail;
        if (!stmt) continue;  // blanks or a comment
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) print_row(stmt, out);
        std::fflush(out);
        if (rc != SQLITE_DONE) {
            SqlError e = decode_error(sqlite3_errmsg(client_.db), sqlite3_extended_errcode(client_.db));
            sqlite3_finalize(stmt);
            print_error(err, e);
            return false;
        }
        sqlite3_finalize(stmt);
    }
    return true;
}

void print_error(FILE *err, const SqlError &e) {
    if (e.native_code.empty())
        std::fprintf(err, "*** Error %s: %s\n", e.state.c_str(), e.message.c_str());
    else
        std::fprintf(err, "*** Error %s: [%s] %s\n", e.state.c_str(), e.native_code.c_str(),
                     e.message.c_str());
    std::fflush(err);
}

}  // namespace qx
