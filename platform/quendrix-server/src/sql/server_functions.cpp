// The server's own SQL functions, which report how the server was started:
// server_argv() the command line as given, server_env(name) a variable of the
// environment it was given, server_model() the model name.
#include <sqlite3.h>

#include <cstring>

#include "internal.h"

namespace {

struct StartData {
    int argc;
    char **argv;
    char **envp;
};

void server_argv(sqlite3_context *ctx, int, sqlite3_value **) {
    auto *d = static_cast<StartData *>(sqlite3_user_data(ctx));
    qx_value list = qx_alloc(static_cast<size_t>(d->argc) * sizeof(qx_value), QX_TAG_ARRAY);
    if (!list) {
        sqlite3_result_error_toobig(ctx);
        return;
    }
    for (int i = 0; i < d->argc; ++i) qx_slots(list)[i] = qx_box_string(d->argv[i]);
    std::string bytes = qx::serialize(list);
    qx_free_tree(list);
    sqlite3_result_blob64(ctx, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void server_env(sqlite3_context *ctx, int, sqlite3_value **argv) {
    auto *d = static_cast<StartData *>(sqlite3_user_data(ctx));
    const char *name = reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
    size_t n = name ? std::strlen(name) : 0;
    for (char **e = d->envp; name && e && *e; ++e) {
        if (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=') {
            sqlite3_result_text(ctx, *e + n + 1, -1, SQLITE_TRANSIENT);
            return;
        }
    }
    sqlite3_result_null(ctx);
}

void server_model(sqlite3_context *ctx, int, sqlite3_value **) {
    sqlite3_result_text(ctx, qx_model_name(), -1, SQLITE_TRANSIENT);
}

void forget(void *p) { delete static_cast<StartData *>(p); }

}  // namespace

namespace qx {

void install_server_functions(sqlite3 *db, int argc, char **argv, char **envp) {
    sqlite3_create_function_v2(db, "server_argv", 0, SQLITE_UTF8, new StartData{argc, argv, envp},
                               server_argv, nullptr, nullptr, forget);
    sqlite3_create_function_v2(db, "server_env", 1, SQLITE_UTF8, new StartData{argc, argv, envp},
                               server_env, nullptr, nullptr, forget);
    sqlite3_create_function_v2(db, "server_model", 0, SQLITE_UTF8, nullptr, server_model, nullptr,
                               nullptr, nullptr);
}

}  // namespace qx
