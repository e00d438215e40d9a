#include "sql/postgres_statements.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "auth/users.h"
#include "sql/sql_lexer.h"

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
constexpr const char *kSetParameter = "PRAGMA quendrix_set = ";
constexpr const char *kSessionCommand = "PRAGMA quendrix_session = ";

std::string quoted_literal(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// A token of SET, RESET and SHOW: a word (a name, dots allowed, lower-cased as
// PostgreSQL folds names; a name in double quotes keeps its case and a '"' mark in
// front), a string, a number, or '=' or ','.
struct Token {
    enum Type { word, string, number, symbol } type;
    std::string text;
    bool is(const char *keyword) const { return type == word && strcasecmp(text.c_str(), keyword) == 0; }
};

// The statement's tokens; *length is where it ends (after its ';'). False at a token
// no such statement has (SQLite's parser then says where).
bool tokens(const char *sql, std::vector<Token> *out, size_t *length) {
    std::vector<SqlToken> lexed;
    std::string text = sql;
    if (!lex_sql(text, &lexed, true)) return false;
    *length = text.size();
    for (size_t k = 0; k < lexed.size(); ++k) {
        const SqlToken &t = lexed[k];
        auto lower = [](std::string w) {
            for (char &c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return w;
        };
        if (t.is_punct(';')) {
            *length = t.at + 1;
            break;
        }
        if (t.kind == SqlToken::word) {
            // A dotted name (myapp.user_id) is one word.
            std::string w = lower(t.text);
            while (k + 2 < lexed.size() && lexed[k + 1].is_punct('.') && lexed[k + 2].kind == SqlToken::word &&
                   lexed[k + 1].at == lexed[k].at + lexed[k].text.size() && lexed[k + 2].at == lexed[k + 1].at + 1) {
                w += "." + lower(lexed[k + 2].text);
                k += 2;
            }
            out->push_back({Token::word, w});
        } else if (t.kind == SqlToken::quoted_name) {
            out->push_back({Token::word, "\"" + t.text});
        } else if (t.kind == SqlToken::string) {
            out->push_back({Token::string, t.text});
        } else if (t.kind == SqlToken::number) {
            out->push_back({Token::number, t.text});
        } else if (t.kind == SqlToken::op && (t.text == "-" || t.text == "+") && k + 1 < lexed.size() &&
                   lexed[k + 1].kind == SqlToken::number && lexed[k + 1].at == t.at + 1) {
            out->push_back({Token::number, t.text + lexed[++k].text});
        } else if ((t.kind == SqlToken::op && t.text == "=") || t.is_punct(',')) {
            out->push_back({Token::symbol, t.text});
        } else {
            return false;
        }
    }
    return true;
}

// A word or string as written, without the mark of a quoted name.
std::string name_of(const Token &t) {
    return t.type == Token::word && !t.text.empty() && t.text[0] == '"' ? t.text.substr(1) : t.text;
}

SqlError syntax_error_at(const std::vector<Token> &t, size_t at) {
    return {"42601", "",
            at < t.size() ? "syntax error at or near \"" + name_of(t[at]) + "\"" : "syntax error at end of input"};
}

// SHOW NAME as a select of one row and one column named after the setting, SHOW ALL as
// a select of a row for each; current_setting reads each value when the statement runs.
size_t translate_show(const std::vector<Token> &t, size_t length, const SessionSettings &settings,
                      std::string *sqlite_text, SqlError *error) {
    std::string name;
    if (t.size() == 2 && t[1].type == Token::word) name = name_of(t[1]);
    if (t.size() == 3 && t[1].is("time") && t[2].is("zone")) name = "TimeZone";
    if (t.size() == 3 && t[1].is("session") && t[2].is("authorization")) name = "session_authorization";
    if (t.size() == 4 && t[1].is("transaction") && t[2].is("isolation") && t[3].is("level"))
        name = "transaction_isolation";
    if (name.empty()) {
        *error = syntax_error_at(t, t.size() > 2 ? 2 : 1);
        return 0;
    }
    if (name == "all") {
        std::string rows;
        for (const auto &row : settings.all())
            rows += std::string(rows.empty() ? "" : ", ") + "(" + quoted_literal(row[0]) + ", current_setting(" +
                    quoted_literal(row[0]) + "), " + quoted_literal(row[2]) + ")";
        *sqlite_text = "SELECT column1 AS name, column2 AS setting, column3 AS description FROM (VALUES " + rows +
                       ") " + kShowMark;
        return length;
    }
    std::string value, shown_as;
    if (!settings.show(name, &value, error, &shown_as)) return 0;
    std::string column;
    for (char c : shown_as) column += c == '"' ? std::string("\"\"") : std::string(1, c);
    *sqlite_text = "SELECT current_setting(" + quoted_literal(shown_as) + ") AS \"" + column + "\" " + kShowMark;
    return length;
}

// The text of a statement that sets `name` (to its default when `value` is null; a
// RESET has its own command tag).
std::string set_text(const std::string &name, const std::string *value, bool local, bool reset = false) {
    std::string payload = std::string(local ? "l" : "s") + (value ? "v" : reset ? "r" : "d") + name + "=" +
                          (value ? *value : "");
    return kSetParameter + quoted_literal(payload);
}

// SET [SESSION | LOCAL] name { TO | = } { value [, ...] | DEFAULT }, SET TIME ZONE, and
// RESET name | ALL; the transaction forms of SET are translate_postgres_statement's.
size_t translate_set(const std::vector<Token> &t, size_t length, const SessionSettings &settings,
                     std::string *sqlite_text, SqlError *error) {
    auto syntax_error = [&](size_t at) {
        *error = syntax_error_at(t, at);
        return size_t{0};
    };
    auto unsupported = [&](const std::string &what) {
        *error = {"0A000", "", what + " is not supported: a session acts as the user it logged in as"};
        return size_t{0};
    };
    if (t[0].is("reset")) {
        if (t.size() == 2 && t[1].is("all")) return *sqlite_text = std::string(kSetParameter) + "'sa'", length;
        // The session's user never changes, so there is nothing to reset back to.
        if ((t.size() == 2 && t[1].is("role")) ||
            (t.size() == 3 && t[1].is("session") && t[2].is("authorization")))
            return *sqlite_text = std::string(kSetParameter) + "'sn'", length;
        std::string name;
        if (t.size() == 2 && t[1].type == Token::word) name = name_of(t[1]);
        if (t.size() == 3 && t[1].is("time") && t[2].is("zone")) name = "TimeZone";
        if (name.empty()) return syntax_error(t.size() < 2 ? 1 : 2);
        if (!settings.settable(name, error)) return 0;
        *sqlite_text = set_text(name, nullptr, false, true);
        return length;
    }
    size_t at = 1;
    bool local = t.size() > 1 && t[1].is("local");
    if (local || (t.size() > 1 && t[1].is("session"))) ++at;
    if (at < t.size() && t[at].is("role")) return unsupported("SET ROLE");
    if (at + 1 < t.size() && t[at].is("session") && t[at + 1].is("authorization"))
        return unsupported("SET SESSION AUTHORIZATION");
    std::string name;
    if (at + 1 < t.size() && t[at].is("time") && t[at + 1].is("zone")) {
        name = "TimeZone";
        at += 2;
        // SET TIME ZONE LOCAL is the server's zone, its default.
        if (at + 1 == t.size() && (t[at].is("local") || t[at].is("default")))
            return *sqlite_text = set_text(name, nullptr, local), length;
    } else {
        if (at >= t.size() || t[at].type != Token::word) return syntax_error(at);
        name = name_of(t[at++]);
        if (at >= t.size() || !(t[at].is("to") || (t[at].type == Token::symbol && t[at].text == "=")))
            return syntax_error(at);
        ++at;
    }
    if (at >= t.size()) return syntax_error(at);
    if (!settings.settable(name, error)) return 0;
    if (at + 1 == t.size() && t[at].is("default")) return *sqlite_text = set_text(name, nullptr, local), length;
    std::string value;
    for (bool first = true; at < t.size(); first = false) {
        if (!first) {
            if (t[at].type != Token::symbol || t[at].text != ",") return syntax_error(at);
            if (++at >= t.size()) return syntax_error(at);
            value += ", ";
        }
        if (t[at].type == Token::symbol) return syntax_error(at);
        value += name_of(t[at++]);
    }
    *sqlite_text = set_text(name, &value, local);
    return length;
}

// DISCARD ALL | PLANS | SEQUENCES | TEMP[ORARY] and DEALLOCATE [PREPARE] name | ALL.
size_t translate_session_command(const std::vector<Token> &t, size_t length, std::string *sqlite_text,
                                 SqlError *error) {
    std::string payload;
    if (t[0].is("discard") && t.size() == 2) {
        for (const char *what : {"all", "plans", "sequences", "temp", "temporary"})
            if (t[1].is(what)) payload = std::string("discard ") + (t[1].is("temporary") ? "temp" : what);
    } else if (t[0].is("deallocate")) {
        size_t at = t.size() > 1 && t[1].is("prepare") ? 2 : 1;
        if (at + 1 == t.size() && t[at].is("all")) payload = "deallocate all";
        else if (at + 1 == t.size() && t[at].type == Token::word) payload = "deallocate:" + name_of(t[at]);
    }
    if (payload.empty()) {
        *error = syntax_error_at(t, t.size() > 1 ? (t[0].is("discard") ? 1 : t.size() - 1) : 1);
        return 0;
    }
    *sqlite_text = kSessionCommand + quoted_literal(payload);
    return length;
}

// SET transaction_read_only, transaction_isolation or transaction_deferrable, as SET
// TRANSACTION with that mode (RESET of one changes nothing); 0 with no error for any
// other setting.
size_t translate_transaction_setting(const std::vector<Token> &t, size_t length, std::string *sqlite_text,
                                     SqlError *error) {
    size_t at = t.size() > 1 && (t[1].is("local") || t[1].is("session")) ? 2 : 1;
    if (at >= t.size()) return 0;
    const std::string name = t[at].type == Token::word ? name_of(t[at]) : "";
    if (name != "transaction_read_only" && name != "transaction_isolation" && name != "transaction_deferrable")
        return 0;
    if (t[0].is("reset")) return *sqlite_text = std::string(kSetTransaction) + " ", length;
    if (at + 3 != t.size() || !(t[at + 1].is("to") || t[at + 1].text == "=") || t[at + 2].type == Token::symbol) {
        *error = {"42601", "", "syntax error at or near \"" + (at + 1 < t.size() ? t[at + 1].text : name) + "\""};
        return 0;
    }
    const std::string value = name_of(t[at + 2]);
    int read_only = -1;
    bool on = false;
    if (name == "transaction_isolation") {
        std::string level = value;
        for (char &c : level) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (level != "serializable" && level != "repeatable read" && level != "read committed" &&
            level != "read uncommitted") {
            *error = {"22023", "", "invalid value for parameter \"transaction_isolation\": \"" + value + "\""};
            return 0;
        }
    } else if (!boolean_setting(value, &on)) {
        *error = {"22023", "", "parameter \"" + name + "\" requires a Boolean value"};
        return 0;
    } else if (name == "transaction_read_only") {
        read_only = on ? 1 : 0;
    }
    *sqlite_text = std::string(kSetTransaction) + " " + mode_comment(read_only);
    return length;
}

}  // namespace

bool is_show_statement(sqlite3_stmt *stmt) {
    const char *sql = stmt ? sqlite3_sql(stmt) : nullptr;
    return sql && std::strstr(sql, kShowMark) != nullptr && strncasecmp(sql, "SELECT ", 7) == 0;
}

size_t translate_postgres_statement(const char *sql, const SessionSettings &settings, std::string *sqlite_text,
                                    SqlError *error) {
    size_t start = 0;
    while (sql[start] && std::isspace(static_cast<unsigned char>(sql[start]))) ++start;
    auto starts = [&](const char *word) {
        size_t n = std::strlen(word);
        return strncasecmp(sql + start, word, n) == 0 && !std::isalnum(static_cast<unsigned char>(sql[start + n])) &&
               sql[start + n] != '_';
    };
    // A look at the first word first: nearly every statement is none of these.
    if (!starts("START") && !starts("BEGIN") && !starts("SET") && !starts("ABORT") && !starts("COMMIT") &&
        !starts("ROLLBACK") && !starts("END") && !starts("SHOW") && !starts("RESET") && !starts("DISCARD") &&
        !starts("DEALLOCATE"))
        return 0;
    std::vector<Token> t;
    size_t length = 0;
    bool setting = starts("SHOW") || starts("RESET") || starts("SET") || starts("DISCARD") || starts("DEALLOCATE");
    // Anything else (a string where a word should be) is SQLite's to read.
    if (setting && !tokens(sql + start, &t, &length)) return 0;
    if (starts("SHOW")) return translate_show(t, length + start, settings, sqlite_text, error);
    if (starts("DISCARD") || starts("DEALLOCATE")) return translate_session_command(t, length + start, sqlite_text, error);
    bool transaction_form = t.size() > 1 && (t[1].is("transaction") || (t[1].is("session") && t.size() > 2 &&
                                                                       t[2].is("characteristics")));
    if (starts("RESET") || (starts("SET") && !transaction_form)) {
        // transaction_read_only and the like are SET TRANSACTION's.
        size_t used = translate_transaction_setting(t, length + start, sqlite_text, error);
        if (used || !error->state.empty()) return used;
        return translate_set(t, length + start, settings, sqlite_text, error);
    }
    if (starts("ROLLBACK")) {
        // ROLLBACK [WORK | TRANSACTION] TO [SAVEPOINT] name in SQLite's one form (it has no WORK).
        SavepointCommand c = savepoint_command(sql + start);
        if (c.kind == SavepointCommand::rollback_to) {
            *sqlite_text = "ROLLBACK TO SAVEPOINT \"";
            for (char ch : c.name) *sqlite_text += ch == '"' ? std::string("\"\"") : std::string(1, ch);
            *sqlite_text += '"';
            return c.length + start;
        }
    }
    std::vector<std::string> w;
    length = 0;
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

SavepointCommand savepoint_command(const char *sql) {
    std::vector<SqlToken> t;
    SavepointCommand none;
    std::string text = sql;
    if (!lex_sql(text, &t, true)) return none;
    SavepointCommand c;
    c.length = text.size();
    if (!t.empty() && t.back().is_punct(';')) {
        c.length = t.back().at + 1;
        t.pop_back();
    }
    size_t at = 1;
    if (t.empty()) return none;
    if (t[0].is("SAVEPOINT")) {
        c.kind = SavepointCommand::savepoint;
    } else if (t[0].is("RELEASE")) {
        c.kind = SavepointCommand::release;
        if (at < t.size() && t[at].is("SAVEPOINT")) ++at;
    } else if (t[0].is("ROLLBACK")) {
        c.kind = SavepointCommand::rollback_to;
        if (at < t.size() && (t[at].is("WORK") || t[at].is("TRANSACTION"))) ++at;
        if (at >= t.size() || !t[at].is("TO")) return none;
        ++at;
        if (at < t.size() && t[at].is("SAVEPOINT") && at + 1 < t.size()) ++at;
    } else {
        return none;
    }
    if (at + 1 != t.size() || (t[at].kind != SqlToken::word && t[at].kind != SqlToken::quoted_name)) return none;
    c.name = t[at].text;
    return c;
}

bool apply_setting_request(SessionSettings *settings, const TransactionRequest &request, bool in_block,
                           SqlError *error, std::string *tag) {
    if (request.kind == TransactionRequest::reset_all) {
        settings->reset_all(in_block);
    } else if (request.kind == TransactionRequest::set_parameter &&
               !settings->set(request.name, request.to_default ? nullptr : &request.value, request.local, in_block,
                              error)) {
        return false;
    }
    bool reset = request.kind == TransactionRequest::reset_all || request.kind == TransactionRequest::reset_nothing ||
                 (request.kind == TransactionRequest::set_parameter && request.reset);
    *tag = reset ? "RESET" : "SET";
    return true;
}

namespace {

// The text of the SQL string literal that starts at `p` (its quote).
std::string literal_text(const char *p) {
    std::string text;
    if (*p != '\'') return text;
    for (++p; *p && !(*p == '\'' && p[1] != '\''); ++p) {
        text += *p;
        if (*p == '\'') ++p;
    }
    return text;
}

}  // namespace

std::string session_command_tag(const TransactionRequest &request) {
    if (request.kind == TransactionRequest::deallocate) return request.name.empty() ? "DEALLOCATE ALL" : "DEALLOCATE";
    std::string tag = "DISCARD " + request.name;
    for (char &c : tag) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return tag;
}

bool drop_temporary_objects(qx_client *client, SqlError *error) {
    sqlite3 *db = client->db;
    // Views and triggers first: they may name the tables. Indexes go with their tables.
    std::vector<std::pair<std::string, std::string>> objects;
    sqlite3_stmt *list = nullptr;
    int rc = sqlite3_prepare_v2(db,
                                "SELECT type, name FROM temp.sqlite_schema WHERE type IN ('view', 'trigger', 'table') "
                                "ORDER BY type = 'table'",
                                -1, &list, nullptr);
    while (rc == SQLITE_OK && sqlite3_step(list) == SQLITE_ROW)
        objects.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(list, 0)),
                             reinterpret_cast<const char *>(sqlite3_column_text(list, 1)));
    sqlite3_finalize(list);
    for (const auto &o : objects) {
        std::string name;
        for (char c : o.second) name += c == '"' ? std::string("\"\"") : std::string(1, c);
        std::string drop = "DROP " + o.first + " IF EXISTS temp.\"" + name + "\"";
        if (rc == SQLITE_OK) rc = sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr);
    }
    // The server's own views go too; they are made again (the catalogue views of
    // PostgreSQL's when a statement next names one).
    std::string why;
    if (rc == SQLITE_OK && (!install_catalogue(db, &why) || !auth::install_user_catalogue(db, &why))) {
        *error = {"XX000", "", why};
        return false;
    }
    if (rc != SQLITE_OK) *error = decode_error(sqlite3_errmsg(db), rc);
    return rc == SQLITE_OK;
}

bool run_session_command(qx_client *client, const TransactionRequest &request, SqlError *error, std::string *tag) {
    *tag = session_command_tag(request);
    if (request.kind == TransactionRequest::deallocate) {
        if (request.name.empty()) return true;
        *error = {"26000", "", "prepared statement \"" + request.name + "\" does not exist"};
        return false;
    }
    if (request.name == "all") client->settings.reset_all(false);
    if (request.name == "all" || request.name == "temp") return drop_temporary_objects(client, error);
    return true;
}

TransactionRequest transaction_request(const char *text) {
    TransactionRequest r;
    if (!text) return r;
    size_t command_mark = std::strlen(kSessionCommand);
    if (std::strncmp(text, kSessionCommand, command_mark) == 0) {
        // 'discard WHAT', 'deallocate all' or 'deallocate:NAME' (a name has no quote).
        std::string payload = literal_text(text + command_mark);
        if (payload.compare(0, 8, "discard ") == 0) {
            r.kind = TransactionRequest::discard;
            r.name = payload.substr(8);
        } else if (payload == "deallocate all" || payload.compare(0, 11, "deallocate:") == 0) {
            r.kind = TransactionRequest::deallocate;
            if (payload != "deallocate all") r.name = payload.substr(11);
        }
        return r;
    }
    size_t mark = std::strlen(kSetParameter);
    if (std::strncmp(text, kSetParameter, mark) == 0) {
        // 'MKname=value': M s (session) or l (local); K v (a value), d (the default), r
        // (RESET), a (RESET ALL) or n (nothing to do).
        std::string payload = literal_text(text + mark);
        if (payload.size() < 2) return r;
        r.local = payload[0] == 'l';
        char kind = payload[1];
        r.kind = kind == 'a'   ? TransactionRequest::reset_all
                 : kind == 'n' ? TransactionRequest::reset_nothing
                               : TransactionRequest::set_parameter;
        r.reset = kind == 'r';
        r.to_default = kind != 'v';
        size_t equals = payload.find('=', 2);
        if (r.kind != TransactionRequest::set_parameter || equals == std::string::npos) return r;
        r.name = payload.substr(2, equals - 2);
        r.value = payload.substr(equals + 1);
        return r;
    }
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
