// The rewrite of PostgreSQL's syntax that every statement passes through before SQLite
// compiles it (casts, dollar and escape strings, subscripts, ARRAY(...), now(), table
// statements, LIKE escapes, time arithmetic, limits, DISTINCT ON, ordered aggregates), then the rewritten text run on a small database with the functions it
// calls and the catalogue views. Neither may read or write out of bounds, whatever the text.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "internal.h"

namespace {

int stop_long_statements(void *steps) { return ++*static_cast<int *>(steps) > 2000; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string sql(reinterpret_cast<const char *>(data), size);
    if (sql.find('\0') != std::string::npos) return 0;  // SQL text ends at a NUL byte
    std::string rewritten = qx::resolve_qualified_names(sql);
    static sqlite3 *db = [] {
        sqlite3 *d = nullptr;
        sqlite3_open(":memory:", &d);
        std::string error;
        sqlite3_exec(d, "create table t(a integer primary key, b text unique, c real); create index tc on t(c); "
                        "create table f(x references t(a), y, primary key (x, y)) without rowid",
                     nullptr, nullptr, nullptr);
        if (!qx::install_cast_functions(d, &error) || !qx::install_array_functions(d, &error) ||
            !qx::install_text_functions(d, &error) || !qx::install_time_functions(d, &error) ||
            !qx::install_ordered_aggregates(d, &error) || !qx::install_pg_catalogue(d, &error))
            __builtin_trap();
        sqlite3_limit(d, SQLITE_LIMIT_LENGTH, 1 << 20);
        return d;
    }();
    int steps = 0;
    sqlite3_progress_handler(db, 100, stop_long_statements, &steps);
    const char *tail = rewritten.c_str();
    for (int statements = 0; tail && *tail && statements < 8; ++statements) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, tail, -1, &stmt, &tail) != SQLITE_OK) break;
        // Reads only: a fuzzed statement must not change the fixture for the next input.
        if (stmt && sqlite3_stmt_readonly(stmt))
            for (int rows = 0; rows < 100 && sqlite3_step(stmt) == SQLITE_ROW; ++rows) {
            }
        sqlite3_finalize(stmt);
    }
    return 0;
}
