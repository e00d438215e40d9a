// Users in the database and the statements that manage them:
//
//   CREATE USER name [[WITH] option ...]
//   ALTER USER name [[WITH] option ...]
//   DROP USER [IF EXISTS] name
//
// where an option is PASSWORD 'text', PASSWORD NULL, SUPERUSER or NOSUPERUSER.
// Names follow SQL: unquoted ones are taken in lower case, "quoted" ones as they
// are. User numbers come from 1 upward and are never given again (AUTOINCREMENT),
// so rows that other tables keep per user number never pass to a new user.
#include "auth/users.h"

#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "auth/scram.h"

namespace qx {
namespace auth {
namespace {

// Set while the server itself reads or writes the users table on a client's
// connection, so that the client's restrictions do not apply to it.
thread_local bool internal_access = false;

struct InternalAccess {
    InternalAccess() : saved(internal_access) { internal_access = true; }
    ~InternalAccess() { internal_access = saved; }
    bool saved;
};

constexpr size_t kMaxNameBytes = 63;

struct Token {
    enum Kind { word, identifier, string, semicolon, other, end } kind;
    std::string text;  // a word in upper case; an identifier or string unquoted
    std::string raw;   // as written
    size_t next;       // offset after the token
    bool closed;       // a quoted token has its closing quote
};

size_t skip_space(const char *s, size_t i) {
    for (;;) {
        while (s[i] && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (s[i] == '-' && s[i + 1] == '-') {
            while (s[i] && s[i] != '\n') ++i;
        } else if (s[i] == '/' && s[i + 1] == '*') {
            const char *close = std::strstr(s + i + 2, "*/");
            i = close ? static_cast<size_t>(close - s) + 2 : std::strlen(s);
        } else {
            return i;
        }
    }
}

Token next_token(const char *s, size_t i) {
    i = skip_space(s, i);
    size_t start = i;
    Token t{Token::other, "", "", i, true};
    char c = s[i];
    if (!c) {
        t.kind = Token::end;
    } else if (c == ';') {
        t.kind = Token::semicolon;
        ++i;
    } else if (c == '"' || c == '\'') {
        t.kind = c == '"' ? Token::identifier : Token::string;
        t.closed = false;
        for (++i; s[i]; ++i) {
            if (s[i] == c && s[i + 1] == c) {
                t.text += c;
                ++i;
            } else if (s[i] == c) {
                t.closed = true;
                ++i;
                break;
            } else {
                t.text += s[i];
            }
        }
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
               static_cast<unsigned char>(c) >= 0x80) {
        t.kind = Token::word;
        while (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' || s[i] == '$' ||
               static_cast<unsigned char>(s[i]) >= 0x80)
            t.text += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
    } else {
        t.text = c;
        ++i;
    }
    t.raw.assign(s + start, i - start);
    t.next = i;
    return t;
}

SqlError syntax_error(const Token &t) {
    if (t.kind == Token::end || t.kind == Token::semicolon)
        return {"42601", "", "syntax error at end of input"};
    if (!t.closed) return {"42601", "", "unterminated quoted string or identifier"};
    return {"42601", "", "syntax error at or near \"" + t.raw + "\""};
}

// A user name: a word (in lower case, as SQL folds it) or a quoted identifier.
bool take_name(const Token &t, std::string *name, SqlError *error) {
    if (t.kind == Token::word) {
        *name = t.raw;
        for (char &c : *name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (t.kind == Token::identifier && t.closed) {
        *name = t.text;
    } else {
        *error = syntax_error(t);
        return false;
    }
    if (name->empty()) {
        *error = {"42601", "", "zero-length delimited identifier"};
        return false;
    }
    if (name->size() > kMaxNameBytes) {
        *error = {"42622", "", "user name \"" + *name + "\" is too long (at most 63 bytes)"};
        return false;
    }
    return true;
}

struct Options {
    bool password_given = false;
    bool password_null = false;
    std::string password;
    int admin = -1;  // -1 unchanged, 0 no, 1 yes
};

bool take_options(const std::vector<Token> &tokens, size_t i, Options *o, SqlError *error) {
    if (i < tokens.size() && tokens[i].kind == Token::word && tokens[i].text == "WITH") ++i;
    for (; i < tokens.size(); ++i) {
        const Token &t = tokens[i];
        if (t.kind == Token::end || t.kind == Token::semicolon) return true;
        if (t.kind == Token::word && (t.text == "SUPERUSER" || t.text == "NOSUPERUSER")) {
            o->admin = t.text == "SUPERUSER";
        } else if (t.kind == Token::word && t.text == "PASSWORD" && !o->password_given) {
            const Token &value = tokens[i + 1];  // the list ends with an `end` token
            o->password_given = true;
            if (value.kind == Token::word && value.text == "NULL") {
                o->password_null = true;
            } else if (value.kind == Token::string && value.closed) {
                o->password = value.text;
            } else {
                *error = syntax_error(value);
                return false;
            }
            ++i;
        } else {
            *error = syntax_error(t);
            return false;
        }
    }
    return true;
}

// The verifier to store for a password: a SCRAM verifier given as the password is
// stored as it is (as a dump restores it); an empty password is no password.
bool verifier_for(const Options &o, std::string *verifier, SqlError *error) {
    verifier->clear();
    if (o.password_null || o.password.empty()) return true;
    ScramVerifier v;
    if (parse_scram_verifier(o.password, &v)) {
        if (v.iterations < kScramIterations) {
            *error = {"22023", "", "a SCRAM-SHA-256 verifier needs at least 4096 iterations"};
            return false;
        }
        *verifier = o.password;
        return true;
    }
    *verifier = make_scram_verifier(o.password);
    if (verifier->empty()) {
        *error = {"XX000", "", "cannot compute the password verifier"};
        return false;
    }
    return true;
}

// Runs one statement with bound text/integer parameters; false with the error.
bool run_sql(sqlite3 *db, const std::string &sql, const std::vector<std::string> &params,
             SqlError *error) {
    InternalAccess access;
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    for (size_t i = 0; rc == SQLITE_OK && i < params.size(); ++i)
        sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_TRANSIENT);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) rc = SQLITE_DONE;
    }
    if (rc != SQLITE_DONE) *error = decode_error(sqlite3_errmsg(db), sqlite3_extended_errcode(db));
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
}

std::string quoted(const char *name) { return std::string("\"") + name + "\""; }

SqlError no_such_user(const std::string &name) {
    return {"42704", "", "role \"" + name + "\" does not exist"};
}

// The session's own user, if it is one of the users table.
bool is_own_user(qx_client *client, const User &u) {
    return client->user_number != 0 && client->user_number == u.number;
}

bool create_user(qx_client *client, const std::string &name, const Options &o, SqlError *error) {
    if (!client->is_admin) {
        *error = {"42501", "", "permission denied to create role"};
        return false;
    }
    std::string verifier, why;
    if (!verifier_for(o, &verifier, error)) return false;
    if (!ensure_users_table(client->db, &why)) {
        *error = decode_error(why.c_str(), sqlite3_extended_errcode(client->db));
        return false;
    }
    User existing;
    if (find_user(client->db, name, &existing)) {
        *error = {"42710", "", "role \"" + name + "\" already exists"};
        return false;
    }
    return run_sql(client->db,
                   "INSERT INTO main." + quoted(kUsersTable) +
                       " (U_NAME, U_IS_ADMIN, U_VERIFIER) VALUES (?1, ?2, nullif(?3, ''))",
                   {name, o.admin == 1 ? "1" : "0", verifier}, error);
}

bool alter_user(qx_client *client, const std::string &name, const Options &o, SqlError *error) {
    User u;
    if (!find_user(client->db, name, &u)) {
        *error = no_such_user(name);
        return false;
    }
    // A user who is no administrator may change his own password, and nothing else.
    if (!client->is_admin && (!is_own_user(client, u) || o.admin != -1)) {
        *error = {"42501", "", "permission denied to alter role"};
        return false;
    }
    if (o.password_given) {
        std::string verifier;
        if (!verifier_for(o, &verifier, error) ||
            !run_sql(client->db,
                     "UPDATE main." + quoted(kUsersTable) +
                         " SET U_VERIFIER = nullif(?2, '') WHERE U_NAME = ?1",
                     {name, verifier}, error))
            return false;
    }
    if (o.admin != -1 &&
        !run_sql(client->db,
                 "UPDATE main." + quoted(kUsersTable) + " SET U_IS_ADMIN = ?2 WHERE U_NAME = ?1",
                 {name, o.admin ? "1" : "0"}, error))
        return false;
    return true;
}

bool drop_user(qx_client *client, const std::string &name, bool if_exists, SqlError *error) {
    if (!client->is_admin) {
        *error = {"42501", "", "permission denied to drop role"};
        return false;
    }
    User u;
    if (!find_user(client->db, name, &u)) {
        if (if_exists) return true;
        *error = no_such_user(name);
        return false;
    }
    if (is_own_user(client, u)) {
        *error = {"55006", "", "current user cannot be dropped"};
        return false;
    }
    return run_sql(client->db, "DELETE FROM main." + quoted(kUsersTable) + " WHERE U_NAME = ?1",
                   {name}, error);
}

// Functions that reach beyond the database: loading code, the server's environment,
// and fts3_tokenizer, which gives an address in the process and, given one (also as
// a bound parameter), makes full-text tables call the code it points to.
bool is_privileged_function(const char *name) {
    return name && (strcasecmp(name, "load_extension") == 0 || strcasecmp(name, "server_env") == 0 ||
                    strcasecmp(name, "server_argv") == 0 || strcasecmp(name, "fts3_tokenizer") == 0);
}

// The PRAGMAs a client that is no administrator may give an argument: those that
// read the schema or a check, and the settings of its own connection. Any other
// setting changes the database file (its journal, its locking, its schema cookie),
// what other connections may trust (check constraints, the schema's functions), or
// the whole server process (its heap limits, its temporary folder), so that one
// user could lock every other client out or put everyone's data at risk.
bool user_may_set_pragma(const char *name) {
    static const char *const kAllowed[] = {
        // schema and checks
        "table_info", "table_xinfo", "table_list", "index_info", "index_xinfo", "index_list",
        "foreign_key_list", "foreign_key_check", "integrity_check", "quick_check",
        // work on the file that any writer may do
        "wal_checkpoint", "incremental_vacuum", "optimize", "user_version", "application_id",
        // the connection's own behaviour and resources
        "foreign_keys", "defer_foreign_keys", "recursive_triggers", "case_sensitive_like",
        "query_only", "reverse_unordered_selects", "automatic_index", "busy_timeout",
        "cache_size", "cache_spill", "temp_store", "analysis_limit", "threads",
        "cell_size_check", "max_page_count", "secure_delete", "mmap_size", "wal_autocheckpoint",
        "count_changes", "full_column_names", "short_column_names", "empty_result_callbacks",
        "shrink_memory",
        // what SET and RESET of the session's settings, DISCARD and DEALLOCATE compile to
        // (no SQLite pragmas)
        "quendrix_set", "quendrix_session",
    };
    for (const char *allowed : kAllowed)
        if (strcasecmp(name, allowed) == 0) return true;
    return false;
}

int network_restrictions(qx_client *client, int action, const char *arg1, const char *arg2,
                         const char *, const char *trigger) {
    // Triggers and views may have been written by anyone: what they call runs for
    // whoever fires them, so privileged functions are refused there for everyone.
    if (action == SQLITE_FUNCTION && trigger && is_privileged_function(arg2)) return SQLITE_DENY;
    if (client->is_admin || internal_access) return SQLITE_OK;
    switch (action) {
        case SQLITE_ATTACH:  // VACUUM and VACUUM INTO attach a database too
        case SQLITE_DETACH:
            return SQLITE_DENY;
        case SQLITE_FUNCTION:
            return is_privileged_function(arg2) ? SQLITE_DENY : SQLITE_OK;
        case SQLITE_CREATE_VIEW:
        case SQLITE_CREATE_TEMP_VIEW:
            // A view of the catalogue's name would read the users table as the catalogue.
            return arg1 && strcasecmp(arg1, kUsersView) == 0 ? SQLITE_DENY : SQLITE_OK;
        case SQLITE_PRAGMA:
            // A writable schema would let a client rewrite the users table's definition;
            // it is not even read. Other settings may be read (no argument).
            if (!arg1 || strcasecmp(arg1, "writable_schema") == 0) return SQLITE_DENY;
            return !arg2 || user_may_set_pragma(arg1) ? SQLITE_OK : SQLITE_DENY;
        default:
            break;
    }
    bool users_table = (arg1 && strcasecmp(arg1, kUsersTable) == 0) ||
                       (arg2 && strcasecmp(arg2, kUsersTable) == 0);
    if (!users_table) return SQLITE_OK;
    if (action == SQLITE_READ && trigger && strcasecmp(trigger, kUsersView) == 0) return SQLITE_OK;
    return SQLITE_DENY;
}

}  // namespace

bool ensure_users_table(sqlite3 *db, std::string *why) {
    InternalAccess access;
    if (sqlite3_db_readonly(db, "main") == 1) return true;
    std::string sql = "CREATE TABLE IF NOT EXISTS main." + quoted(kUsersTable) +
                      " (U_NUMBER INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " U_NAME TEXT NOT NULL UNIQUE,"
                      " U_IS_ADMIN INTEGER NOT NULL DEFAULT 0,"
                      " U_VERIFIER TEXT)";
    char *message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    *why = message ? message : "cannot create the users table";
    sqlite3_free(message);
    return false;
}

bool install_user_catalogue(sqlite3 *db, std::string *why) {
    // A temporary view may name a table that does not exist yet: it reads the
    // table once the first user is created.
    std::string sql = "CREATE TEMP VIEW IF NOT EXISTS " + quoted(kUsersView) +
                      " (U_NAME, U_NUMBER, U_IS_ADMIN) AS SELECT U_NAME, U_NUMBER, U_IS_ADMIN"
                      " FROM main." + quoted(kUsersTable) + " ORDER BY U_NUMBER";
    char *message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    *why = std::string("cannot create ") + kUsersView + ": " + (message ? message : "");
    sqlite3_free(message);
    return false;
}

bool find_user(sqlite3 *db, const std::string &name, User *out) {
    std::string why;
    return lookup_user(db, name, out, &why) == UserLookup::found;
}

UserLookup lookup_user(sqlite3 *db, const std::string &name, User *out, std::string *why) {
    InternalAccess access;
    std::string sql = "SELECT U_NUMBER, U_IS_ADMIN, U_VERIFIER FROM main." + quoted(kUsersTable) +
                      " WHERE U_NAME = ?1";
    sqlite3_stmt *stmt = nullptr;
    if (int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr); rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        // No users table: no users. Anything else (a locked or unreadable file) is no answer.
        bool no_table = rc == SQLITE_ERROR && std::strncmp(sqlite3_errmsg(db), "no such table", 13) == 0;
        *why = sqlite3_errmsg(db);
        return no_table ? UserLookup::absent : UserLookup::failed;
    }
    sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        out->name = name;
        out->number = sqlite3_column_int(stmt, 0);
        out->is_admin = sqlite3_column_int(stmt, 1) != 0;
        const unsigned char *v = sqlite3_column_text(stmt, 2);
        out->verifier = v ? reinterpret_cast<const char *>(v) : "";
    } else if (rc != SQLITE_DONE) {
        *why = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_ROW ? UserLookup::found : rc == SQLITE_DONE ? UserLookup::absent : UserLookup::failed;
}

size_t user_statement_length(const char *sql) {
    Token verb = next_token(sql, 0);
    if (verb.kind != Token::word ||
        (verb.text != "CREATE" && verb.text != "ALTER" && verb.text != "DROP"))
        return 0;
    Token object = next_token(sql, verb.next);
    if (object.kind != Token::word || object.text != "USER") return 0;
    for (Token t = object;; t = next_token(sql, t.next)) {
        if (t.kind == Token::end || t.kind == Token::semicolon) return t.next;
    }
}

bool run_user_statement(qx_client *client, const std::string &statement, std::string *tag,
                        SqlError *error) {
    std::vector<Token> tokens;
    for (size_t at = 0;;) {
        tokens.push_back(next_token(statement.c_str(), at));
        at = tokens.back().next;
        if (tokens.back().kind == Token::end || tokens.back().kind == Token::semicolon) break;
    }
    if (tokens.back().kind != Token::end) tokens.push_back(next_token(statement.c_str(), tokens.back().next));
    const std::string verb = tokens[0].text;
    *tag = verb + " ROLE";
    std::string name;
    if (verb == "DROP") {
        size_t i = 2;
        bool if_exists = false;
        if (tokens[i].kind == Token::word && tokens[i].text == "IF") {
            if (tokens[i + 1].kind != Token::word || tokens[i + 1].text != "EXISTS") {
                *error = syntax_error(tokens[i + 1]);
                return false;
            }
            if_exists = true;
            i += 2;
        }
        if (!take_name(tokens[i], &name, error)) return false;
        if (tokens[i + 1].kind != Token::end && tokens[i + 1].kind != Token::semicolon) {
            *error = syntax_error(tokens[i + 1]);
            return false;
        }
        return drop_user(client, name, if_exists, error);
    }
    Options o;
    if (!take_name(tokens[2], &name, error) || !take_options(tokens, 3, &o, error)) return false;
    return verb == "CREATE" ? create_user(client, name, o, error) : alter_user(client, name, o, error);
}

void restrict_network_client(qx_client *client) {
    add_authorizer_check(client, network_restrictions);
}

}  // namespace auth
}  // namespace qx
