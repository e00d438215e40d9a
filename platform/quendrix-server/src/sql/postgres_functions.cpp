// The functions PostgreSQL's clients and tools call of the server itself: version()
// (which tools read the server's version from), current_database(), current_schema(),
// lastval(), and current_user(), session_user(), current_role() and current_catalog(),
// which SQL writes without parentheses (the statement's text is rewritten to calls, see
// resolve_qualified_names). Each reads the session it runs in. And regexp(), which
// PostgreSQL's match operators ~ and !~ become, match(), which ILIKE becomes,
// gen_random_uuid(), md5(), pg_backend_pid() and pg_sleep().
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "internal.h"
#include "sql/pattern_match.h"

namespace {

qx_client *client_of(sqlite3_context *ctx) { return static_cast<qx_client *>(sqlite3_user_data(ctx)); }

void result_text(sqlite3_context *ctx, const std::string &text) {
    sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string setting(qx_client *client, const char *name) {
    std::string value;
    qx::SqlError ignored;
    client->settings.show(name, &value, &ignored);
    return value;
}

void version(sqlite3_context *ctx, int, sqlite3_value **) {
    // "PostgreSQL N.N" first: clients and tools read the protocol level from it.
    result_text(ctx, "PostgreSQL " + setting(client_of(ctx), "server_version") + " on SQLite " +
                         sqlite3_libversion() + ", " + std::to_string(sizeof(void *) * 8) + "-bit");
}

void current_database(sqlite3_context *ctx, int, sqlite3_value **) {
    result_text(ctx, client_of(ctx)->database_name);
}

// Tables are made and found in the one schema PostgreSQL's clients know as public.
void current_schema(sqlite3_context *ctx, int, sqlite3_value **) { result_text(ctx, "public"); }

void current_user(sqlite3_context *ctx, int, sqlite3_value **) {
    result_text(ctx, setting(client_of(ctx), "session_authorization"));
}

// The key the session's last INSERT gave its row (drivers ask for it after an insert,
// as PHP's PDO::lastInsertId does): the row id, which an INTEGER PRIMARY KEY is.
void lastval(sqlite3_context *ctx, int, sqlite3_value **) {
    sqlite3_int64 id = sqlite3_last_insert_rowid(sqlite3_context_db_handle(ctx));
    if (id == 0) return qx::result_sql_error(ctx, {"55000", "", "lastval is not yet defined in this session"});
    sqlite3_result_int64(ctx, id);
}

// gen_random_uuid(): a random (version 4) UUID from the operating system's generator, as
// schemas write it for keys (id uuid DEFAULT gen_random_uuid()).
void random_uuid(sqlite3_context *ctx, int, sqlite3_value **) {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1)
        return qx::result_sql_error(ctx, {"58000", "", "could not generate random values"});
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    sqlite3_result_text(ctx, text, 36, SQLITE_TRANSIENT);
}

// md5(text): its MD5 digest in hexadecimal.
void md5_hex(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    const unsigned char *data = sqlite3_value_text(argv[0]);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!data || EVP_Digest(data, static_cast<size_t>(sqlite3_value_bytes(argv[0])), digest, &length, EVP_md5(),
                            nullptr) != 1)
        return qx::result_sql_error(ctx, {"58000", "", "could not compute an MD5 digest"});
    std::string hex;
    static const char kDigits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    sqlite3_result_text(ctx, hex.c_str(), static_cast<int>(hex.size()), SQLITE_TRANSIENT);
}

// regexp(pattern, text): whether `text` matches `pattern` (sql/pattern_match.h), for
// PostgreSQL's `text ~ pattern` (the statement's text is rewritten to SQLite's
// `text REGEXP pattern`, which calls it). The pattern is compiled once per statement; a
// long search stops when the statement is cancelled or times out.
void free_pattern(void *p) { delete static_cast<qx::Pattern *>(p); }

bool search_must_stop(void *client) {
    auto *c = static_cast<qx_client *>(client);
    return c->should_stop && c->should_stop(c->should_stop_arg) != 0;
}

void regexp(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    auto *pattern = static_cast<qx::Pattern *>(sqlite3_get_auxdata(ctx, 0));
    if (!pattern) {
        const char *text = reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
        if (!text) return sqlite3_result_error_nomem(ctx);
        std::string why;
        std::unique_ptr<qx::Pattern> compiled =
            qx::Pattern::compile(std::string(text, static_cast<size_t>(sqlite3_value_bytes(argv[0]))), &why);
        if (!compiled) return qx::result_sql_error(ctx, {"2201B", "", why});
        // SQLite frees it at once if it cannot keep it: ask it back.
        sqlite3_set_auxdata(ctx, 0, compiled.release(), free_pattern);
        pattern = static_cast<qx::Pattern *>(sqlite3_get_auxdata(ctx, 0));
        if (!pattern) return sqlite3_result_error_nomem(ctx);
    }
    const char *text = reinterpret_cast<const char *>(sqlite3_value_text(argv[1]));
    if (!text) return sqlite3_result_error_nomem(ctx);
    bool stopped = false;
    bool found = pattern->search(text, static_cast<size_t>(sqlite3_value_bytes(argv[1])), search_must_stop,
                                 client_of(ctx), &stopped);
    if (stopped) return qx::result_sql_error(ctx, {"57014", "", "canceling statement due to user request"});
    sqlite3_result_int(ctx, found);
}

// regexp_replace(source, pattern, replacement[, flags]): the first match (every match with
// flag g) of the pattern replaced, the leftmost and then longest; i ignores case. In the
// replacement \& is the match and \\ a backslash; back references to groups (\1) are
// refused, as the matcher keeps no groups.
void regexp_replace(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    for (int k = 0; k < argc; ++k)
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    auto text = qx::value_text;
    std::string source = text(argv[0]), pattern = text(argv[1]), replacement = text(argv[2]);
    bool global = false;
    if (argc > 3) {
        for (char f : text(argv[3])) {
            if (f == 'g') global = true;
            else if (f == 'i') pattern = "(?i)" + pattern;
            else if (f != 'c')
                return qx::result_sql_error(ctx, {"22023", "", "invalid regular expression option: \"" +
                                                                   std::string(1, f) + "\""});
        }
    }
    std::string why;
    std::unique_ptr<qx::Pattern> compiled = qx::Pattern::compile(pattern, &why);
    if (!compiled) return qx::result_sql_error(ctx, {"2201B", "", why});
    std::string out;
    size_t at = 0;
    bool stopped = false;
    while (at <= source.size()) {
        size_t start = at, end = std::string::npos;
        for (; start <= source.size(); ++start) {
            // Each start is a search of its own, which may read to the text's end: ask
            // between them too whether to stop.
            if (search_must_stop(client_of(ctx))) stopped = true;
            if (!stopped)
                end = compiled->longest_match_at(source.data(), source.size(), start, search_must_stop,
                                                 client_of(ctx), &stopped);
            if (stopped) return qx::result_sql_error(ctx, {"57014", "", "canceling statement due to user request"});
            if (end != std::string::npos) break;
            while (start + 1 < source.size() && (static_cast<unsigned char>(source[start + 1]) & 0xC0) == 0x80) ++start;
        }
        if (end == std::string::npos) break;
        out.append(source, at, start - at);
        for (size_t k = 0; k < replacement.size(); ++k) {
            char c = replacement[k];
            if (c != '\\' || k + 1 >= replacement.size()) {
                out += c;
            } else if (replacement[k + 1] == '&') {
                out.append(source, start, end - start);
                ++k;
            } else if (replacement[k + 1] >= '1' && replacement[k + 1] <= '9') {
                return qx::result_sql_error(ctx, {"0A000", "", "back references in a regexp_replace() replacement "
                                                               "are not supported"});
            } else {
                out += replacement[++k];
            }
        }
        at = end;
        if (end == start) {  // an empty match: the character after it stays, and the search goes on past it
            if (start >= source.size()) {
                at = source.size() + 1;
                break;
            }
            size_t next = start + 1;
            while (next < source.size() && (static_cast<unsigned char>(source[next]) & 0xC0) == 0x80) ++next;
            out.append(source, start, next - start);
            at = next;
        }
        if (out.size() > static_cast<size_t>(sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LENGTH, -1)))
            return sqlite3_result_error_toobig(ctx);
        if (!global) break;
    }
    if (at < source.size()) out.append(source, at, std::string::npos);
    sqlite3_result_text64(ctx, out.data(), out.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// pg_backend_pid(): the process id the connection's BackendKeyData gave (the server's).
void backend_pid(sqlite3_context *ctx, int, sqlite3_value **) { sqlite3_result_int64(ctx, getpid()); }

// pg_sleep(seconds): waits, in steps short enough that a cancel or a statement timeout
// stops it at once.
void pg_sleep(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    double seconds = sqlite3_value_double(argv[0]);
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::microseconds(static_cast<int64_t>(std::min(std::max(seconds, 0.0), 1e9) * 1e6));
    while (std::chrono::steady_clock::now() < until) {
        if (search_must_stop(client_of(ctx)))
            return qx::result_sql_error(ctx, {"57014", "", "canceling statement due to user request"});
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - std::chrono::steady_clock::now(), std::chrono::milliseconds(10)));
    }
    sqlite3_result_null(ctx);
}

// text ILIKE pattern [ESCAPE e], which the statement's text turns into SQLite's MATCH
// operator: match(pattern, text[, escape]). Letters match in either case; the escape is
// a backslash unless one is given ('' for none).
void ilike(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    for (int k = 0; k < argc; ++k)
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    uint32_t escape = '\\';
    if (argc == 3) {
        const char *e = reinterpret_cast<const char *>(sqlite3_value_text(argv[2]));
        size_t length = static_cast<size_t>(sqlite3_value_bytes(argv[2])), at = 0;
        escape = length == 0 ? 0 : qx::next_utf8_char(e, length, &at);
        if (at != length) return qx::result_sql_error(ctx, {"22025", "", "invalid escape string"});
    }
    const char *pattern = reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
    const char *text = reinterpret_cast<const char *>(sqlite3_value_text(argv[1]));
    if (!pattern || !text) return sqlite3_result_error_nomem(ctx);
    // SQLite's bound on a LIKE pattern holds for ILIKE too.
    if (sqlite3_value_bytes(argv[0]) > sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LIKE_PATTERN_LENGTH, -1))
        return qx::result_sql_error(ctx, {"54000", "", "LIKE or GLOB pattern too complex"});
    std::string why;
    bool stopped = false;
    bool matched = qx::like_match(pattern, static_cast<size_t>(sqlite3_value_bytes(argv[0])), text,
                                  static_cast<size_t>(sqlite3_value_bytes(argv[1])), escape, true, &why,
                                  search_must_stop, client_of(ctx), &stopped);
    if (stopped) return qx::result_sql_error(ctx, {"57014", "", "canceling statement due to user request"});
    if (!why.empty()) return qx::result_sql_error(ctx, {"22025", "", why});
    sqlite3_result_int(ctx, matched);
}

}  // namespace

namespace qx {

bool install_postgres_functions(qx_client *client, std::string *error) {
    const struct {
        const char *name;
        void (*call)(sqlite3_context *, int, sqlite3_value **);
    } functions[] = {
        {"version", version},          {"current_database", current_database},
        {"current_catalog", current_database}, {"current_schema", current_schema},
        {"current_user", current_user}, {"session_user", current_user},
        {"current_role", current_user}, {"lastval", lastval},
        {"gen_random_uuid", random_uuid}, {"pg_backend_pid", backend_pid},
    };
    if (sqlite3_create_function_v2(client->db, "regexp", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, client, regexp,
                                   nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (error) *error = std::string("cannot create regexp(): ") + sqlite3_errmsg(client->db);
        return false;
    }
    if (sqlite3_create_function_v2(client->db, "md5", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, md5_hex,
                                   nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (error) *error = std::string("cannot create md5(): ") + sqlite3_errmsg(client->db);
        return false;
    }
    for (int args : {3, 4}) {
        if (sqlite3_create_function_v2(client->db, "regexp_replace", args, SQLITE_UTF8 | SQLITE_DETERMINISTIC, client,
                                       regexp_replace, nullptr, nullptr, nullptr) != SQLITE_OK) {
            if (error) *error = std::string("cannot create regexp_replace(): ") + sqlite3_errmsg(client->db);
            return false;
        }
    }
    if (sqlite3_create_function_v2(client->db, "pg_sleep", 1, SQLITE_UTF8, client, pg_sleep, nullptr, nullptr,
                                   nullptr) != SQLITE_OK) {
        if (error) *error = std::string("cannot create pg_sleep(): ") + sqlite3_errmsg(client->db);
        return false;
    }
    // LIKE tells letters' case apart, as PostgreSQL's does; ILIKE is match() above.
    for (int args : {2, 3}) {
        if (sqlite3_create_function_v2(client->db, "match", args, SQLITE_UTF8 | SQLITE_DETERMINISTIC, client, ilike,
                                       nullptr, nullptr, nullptr) != SQLITE_OK) {
            if (error) *error = std::string("cannot create match(): ") + sqlite3_errmsg(client->db);
            return false;
        }
    }
    if (sqlite3_exec(client->db, "PRAGMA case_sensitive_like = ON", nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (error) *error = std::string("cannot make LIKE tell case apart: ") + sqlite3_errmsg(client->db);
        return false;
    }
    if (!install_cast_functions(client->db, error) || !install_array_functions(client->db, error) ||
        !install_text_functions(client->db, error) || !install_time_functions(client->db, error) ||
        !install_ordered_aggregates(client->db, error) || !install_query_plan(client->db, error))
        return false;
    for (const auto &f : functions) {
        if (sqlite3_create_function_v2(client->db, f.name, 0, SQLITE_UTF8, client, f.call, nullptr, nullptr,
                                       nullptr) != SQLITE_OK) {
            if (error) *error = std::string("cannot create ") + f.name + "(): " + sqlite3_errmsg(client->db);
            return false;
        }
    }
    return true;
}

}  // namespace qx
