// my_aref called through SQL against a plain SQLite function that does the same
// work (a byte of a text as an integer), both on the same prepared-statement path.
// The counter "ratio" is my_aref's time per call over the plain function's.
//
// A select on a report table of 10^5 rows run by a user whom need_to_know restricts,
// against the same select run unrestricted by the administrator, both through the
// statement runner that serves the shell and network sessions (the restricted one is
// parsed, rewritten and compiled each time). The counter "ratio" is restricted over
// unrestricted.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "internal.h"
#include "sql/result_set.h"
#include "sql/row_security.h"
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

// Counts the rows of the result sets it is given.
class CountingSink : public qx::ResultSink {
public:
    long rows = 0;
    bool begin(const std::vector<std::string> &) override { return true; }
    bool row(int, const qx_value *) override {
        ++rows;
        return true;
    }
    void complete(const std::string &) override {}
};

// Seconds per run of `sql` on the session, and the rows of one run.
double time_per_select(qx::Session &session, const char *sql, int runs, long *rows) {
    CountingSink sink;
    qx::StatementRunner runner(session.client(), &sink);
    qx::SqlError error;
    int statements = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
        if (!runner.run(sql, &error, &statements)) return -1;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    *rows = sink.rows / runs;
    return took.count() / runs;
}

void BM_RestrictedSelectAgainstUnrestricted(benchmark::State &state) {
    start_hook();
    char dir_template[] = "/tmp/quendrix-bench-XXXXXX";
    if (!mkdtemp(dir_template)) {
        state.SkipWithError("cannot make a temporary folder");
        return;
    }
    std::string dir = dir_template, db = dir + "/reports.db";
    qx::set_query_rewrite("need_to_know");
    {
        qx::Session admin, user;
        if (!admin.open(db, nullptr) || !user.open(db, nullptr)) {
            state.SkipWithError("cannot open the database");
            return;
        }
        user.client()->user_number = 7;
        user.client()->is_admin = false;
        // Ten classes over 10^5 rows; user 7 needs to know three of them.
        sqlite3_exec(admin.db(),
                     "create table \"DB.DBA.NEED_TO_KNOW\"(NK_CLASS, NK_USER);"
                     "create index NK_BY_CLASS_USER on \"DB.DBA.NEED_TO_KNOW\"(NK_CLASS, NK_USER);"
                     "insert into \"DB.DBA.NEED_TO_KNOW\" values ('c1', 7), ('c4', 7), ('c7', 7), ('c2', 8);"
                     "create table \"DB.DBA.SALES_REPORT\"(TITLE, AMOUNT, R_CLASS);"
                     "create index SALES_BY_CLASS on \"DB.DBA.SALES_REPORT\"(R_CLASS);"
                     "with recursive n(i) as (select 1 union all select i + 1 from n where i < 100000) "
                     "insert into \"DB.DBA.SALES_REPORT\" select 'title ' || i, i % 1000, 'c' || (i % 10) from n;"
                     "analyze;",
                     nullptr, nullptr, nullptr);
        const char *sql = "select TITLE, AMOUNT from DB.DBA.SALES_REPORT where AMOUNT < 100";
        double restricted = 0, unrestricted = 0;
        long restricted_rows = 0, all_rows = 0;
        for (auto _ : state) {
            restricted += time_per_select(user, sql, 5, &restricted_rows);
            unrestricted += time_per_select(admin, sql, 5, &all_rows);
        }
        if (restricted < 0 || unrestricted < 0) state.SkipWithError("the select failed");
        state.counters["restricted_ms"] = 1e3 * restricted / state.iterations();
        state.counters["unrestricted_ms"] = 1e3 * unrestricted / state.iterations();
        state.counters["restricted_rows"] = static_cast<double>(restricted_rows);
        state.counters["all_rows"] = static_cast<double>(all_rows);
        state.counters["ratio"] = restricted / unrestricted;
    }
    qx::set_query_rewrite("");
    std::remove(db.c_str());
    std::remove(dir.c_str());
}
BENCHMARK(BM_RestrictedSelectAgainstUnrestricted)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
