// The functions PostgreSQL's clients and tools call of the server itself: version()
// (which tools read the server's version from), current_database(), current_schema(),
// lastval(), and current_user(), session_user(), current_role() and current_catalog(),
// which SQL writes without parentheses (the statement's text is rewritten to calls, see
// resolve_qualified_names). Each reads the session it runs in.
#include <sqlite3.h>

#include <string>

#include "internal.h"

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
    };
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
