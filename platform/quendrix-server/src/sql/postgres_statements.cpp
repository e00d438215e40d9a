#include "sql/postgres_statements.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace qx {
namespace {

// What the compiled texts carry; BEGIN keeps its kind for the transaction block.
constexpr const char *kReadOnly = "/* read only */", *kReadWrite = "/* read write */";
constexpr const char *kSetTransaction = "PRAGMA quendrix_set_transaction";
constexpr const char *kSetSession = "PRAGMA quendrix_set_session";

// The statement's words, upper-cased, with "," as a word of its own; *length is
// where it ends (after its ';'). False at a character no such statement has.
bool split(const char *sql, std::vector<std::string> *words, size_t *length) {
    size_t i = 0;
    for (;;) {
        while (sql[i] && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
        char c = sql[i];
        if (c == '\0' || c == ';') {
            *length = c == ';' ? i + 1 : i;
            return true;
        }
        if (c == ',') {
            words->push_back(",");
            ++i;
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            std::string w;
            while (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_')
                w += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
            words->push_back(w);
        } else {
            return false;
        }
    }
}

// Transaction modes from words[at]: ISOLATION LEVEL ..., READ WRITE, READ ONLY,
// [NOT] DEFERRABLE, with or without commas between them. *bad names the first word
// that is none.
bool modes(const std::vector<std::string> &w, size_t at, int *read_only, std::string *bad) {
    auto is = [&](size_t k, const char *word) { return k < w.size() && w[k] == word; };
    bool first = true;
    while (at < w.size()) {
        if (!first && is(at, ",")) ++at;
        first = false;
        if (is(at, "ISOLATION") && is(at + 1, "LEVEL")) {
            at += 2;
            if (is(at, "SERIALIZABLE")) {
                at += 1;
            } else if (is(at, "REPEATABLE") && is(at + 1, "READ")) {
                at += 2;
            } else if (is(at, "READ") && (is(at + 1, "COMMITTED") || is(at + 1, "UNCOMMITTED"))) {
                at += 2;
            } else {
                *bad = at < w.size() ? w[at] : "end of input";
                return false;
            }
        } else if (is(at, "READ") && (is(at + 1, "ONLY") || is(at + 1, "WRITE"))) {
            *read_only = is(at + 1, "ONLY") ? 1 : 0;
            at += 2;
        } else if (is(at, "DEFERRABLE")) {
            at += 1;
        } else if (is(at, "NOT") && is(at + 1, "DEFERRABLE")) {
            at += 2;
        } else {
            *bad = at < w.size() ? w[at] : "end of input";
            return false;
        }
    }
    return true;
}

const char *mode_comment(int read_only) { return read_only == 1 ? kReadOnly : read_only == 0 ? kReadWrite : ""; }

constexpr const char *kShowMark = "/* show */";

std::string quoted_literal(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// SHOW NAME as a select of one row and one column named after the setting.
size_t translate_show(const std::vector<std::string> &w, size_t length, bool is_admin, std::string *sqlite_text,
                      SqlError *error) {
    std::string name;
    for (size_t i = 1; i < w.size(); ++i) name += (i > 1 ? " " : "") + w[i];
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "transaction isolation level") name = "transaction_isolation";
    std::string value_sql;
    for (const auto &setting : fixed_settings())
        if (strcasecmp(setting.first.c_str(), name.c_str()) == 0) value_sql = quoted_literal(setting.second);
    if (name == "password_encryption") value_sql = "'scram-sha-256'";
    if (name == "is_superuser") value_sql = is_admin ? "'on'" : "'off'";
    if (name == "transaction_isolation" || name == "default_transaction_isolation") value_sql = "'serializable'";
    if (name == "transaction_read_only")
        value_sql = "(SELECT CASE query_only WHEN 0 THEN 'off' ELSE 'on' END FROM pragma_query_only)";
    if (name.empty()) {
        *error = {"42601", "", "syntax error at end of input"};
        return 0;
    }
    if (name.find(' ') != std::string::npos) {
        *error = {"42601", "", "syntax error at or near \"" + w[2] + "\""};
        return 0;
    }
    if (value_sql.empty()) {
        *error = {"42704", "", "unrecognized configuration parameter \"" + name + "\""};
        return 0;
    }
    *sqlite_text = "SELECT " + value_sql + " AS \"" + name + "\" " + kShowMark;
    return length;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>> &fixed_settings() {
    static const std::vector<std::pair<std::string, std::string>> settings = {
        {"server_version", "15.0 (Quendrix server 0.1.0)"},  // so that clients speak today's protocol
        {"server_encoding", "UTF8"},
        {"client_encoding", "UTF8"},
        {"DateStyle", "ISO, MDY"},
        {"integer_datetimes", "on"},
        {"standard_conforming_strings", "on"},
        {"TimeZone", "UTC"},
        {"IntervalStyle", "postgres"},
    };
    return settings;
}

bool is_show_statement(sqlite3_stmt *stmt) {
    const char *sql = stmt ? sqlite3_sql(stmt) : nullptr;
    return sql && std::strstr(sql, kShowMark) != nullptr && strncasecmp(sql, "SELECT ", 7) == 0;
}

size_t translate_postgres_statement(const char *sql, bool is_admin, std::string *sqlite_text, SqlError *error) {
    size_t start = 0;
    while (sql[start] && std::isspace(static_cast<unsigned char>(sql[start]))) ++start;
    auto starts = [&](const char *word) {
        size_t n = std::strlen(word);
        return strncasecmp(sql + start, word, n) == 0 && !std::isalnum(static_cast<unsigned char>(sql[start + n])) &&
               sql[start + n] != '_';
    };
    // A look at the first word first: nearly every statement is none of these.
    if (!starts("START") && !starts("BEGIN") && !starts("SET") && !starts("ABORT") && !starts("COMMIT") &&
        !starts("ROLLBACK") && !starts("END") && !starts("SHOW"))
        return 0;
    std::vector<std::string> w;
    size_t length = 0;
    std::string bad;
    // Anything but words and commas (a string, a name in quotes) is SQLite's to read.
    if (!split(sql + start, &w, &length)) return 0;
    length += start;
    auto is = [&](size_t k, const char *word) { return k < w.size() && w[k] == word; };
    auto syntax_error = [&](const std::string &near) {
        *error = {"42601", "", "syntax error at or near \"" + near + "\""};
        return size_t{0};
    };
    int read_only = -1;
    size_t at = 0;
    if (is(0, "SHOW")) return translate_show(w, length, is_admin, sqlite_text, error);
    if (is(0, "START")) {
        if (!is(1, "TRANSACTION")) return 0;
        at = 2;
    } else if (is(0, "BEGIN")) {
        at = is(1, "WORK") || is(1, "TRANSACTION") ? 2 : 1;
        // SQLite's own BEGIN [DEFERRED | IMMEDIATE | EXCLUSIVE] [TRANSACTION] stays.
        if (at == w.size() && !is(1, "WORK")) return 0;
        if (is(1, "DEFERRED") || is(1, "IMMEDIATE") || is(1, "EXCLUSIVE")) return 0;
    } else if (w.size() == 2 && (is(0, "ABORT") || is(0, "COMMIT") || is(0, "ROLLBACK") || is(0, "END")) &&
               (is(1, "WORK") || is(1, "TRANSACTION"))) {
        *sqlite_text = is(0, "ABORT") || is(0, "ROLLBACK") ? "ROLLBACK" : "COMMIT";
        return length;
    } else if (w.size() == 1 && is(0, "ABORT")) {
        *sqlite_text = "ROLLBACK";
        return length;
    } else if (is(0, "SET")) {
        bool session = is(1, "SESSION") && is(2, "CHARACTERISTICS") && is(3, "AS") && is(4, "TRANSACTION");
        if (!session && !is(1, "TRANSACTION")) return 0;
        size_t from = session ? 5 : 2;
        if (w.size() == from) return syntax_error("end of input");
        if (!modes(w, from, &read_only, &bad)) return syntax_error(bad);
        *sqlite_text = std::string(session ? kSetSession : kSetTransaction) + " " + mode_comment(read_only);
        return length;
    } else {
        return 0;
    }
    if (!modes(w, at, &read_only, &bad)) return syntax_error(bad);
    *sqlite_text = std::string("BEGIN ") + mode_comment(read_only);
    return length;
}

TransactionRequest transaction_request(const char *text) {
    TransactionRequest r;
    if (!text) return r;
    if (std::strncmp(text, kSetTransaction, std::strlen(kSetTransaction)) == 0)
        r.kind = TransactionRequest::set_transaction;
    else if (std::strncmp(text, kSetSession, std::strlen(kSetSession)) == 0)
        r.kind = TransactionRequest::set_session;
    else if (strncasecmp(text, "BEGIN", 5) == 0)
        r.kind = TransactionRequest::begin;
    if (std::strstr(text, kReadOnly)) r.read_only = 1;
    if (std::strstr(text, kReadWrite)) r.read_only = 0;
    return r;
}

}  // namespace qx
