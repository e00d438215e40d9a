// my_aref called through SQL against a plain SQLite function that does the same
// work (a byte of a text as an integer), both on the same prepared-statement path.
// The counter "ratio" is my_aref's time per call over the plain function's.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>

#include "../../platform/quendrix-server/src/internal.h"
#include "builtins.h"

namespace {

void plain_aref(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const unsigned char *text = sqlite3_value_text(argv[0]);
    int n = sqlite3_value_bytes(argv[0]);
    int i = sqlite3_value_int(argv[1]);
    if (i < 0 || i >= n) {
        sqlite3_result_error(ctx, "bad subscript", -1);
        return;
    }
    sqlite3_result_int(ctx, text[i]);
}

// Seconds per call of `sql` with ?1 bound to `arg`.
double time_per_call(sqlite3 *db, const char *sql, const char *arg, int calls) {
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, arg, -1, SQLITE_STATIC);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        if (sqlite3_step(stmt) == SQLITE_ROW) benchmark::DoNotOptimize(sqlite3_column_int(stmt, 0));
        sqlite3_reset(stmt);
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    sqlite3_finalize(stmt);
    return took.count() / calls;
}

void BM_MyArefAgainstPlainFunction(benchmark::State &state) {
    start_hook();
    qx::Session session;
    if (!session.open(":memory:", nullptr)) {
        state.SkipWithError("cannot open an in-memory database");
        return;
    }
    sqlite3_create_function(session.db(), "plain_aref", 2, SQLITE_UTF8, nullptr, plain_aref,
                            nullptr, nullptr);
    const int calls = 2000;
    double server = 0, plain = 0;
    for (auto _ : state) {
        server += time_per_call(session.db(), "select my_aref(?1, 1)", "abc", calls);
        plain += time_per_call(session.db(), "select plain_aref(?1, 1)", "abc", calls);
    }
    state.counters["my_aref_ns"] = 1e9 * server / state.iterations();
    state.counters["plain_ns"] = 1e9 * plain / state.iterations();
    state.counters["ratio"] = server / plain;
}
BENCHMARK(BM_MyArefAgainstPlainFunction)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
