// The server's aggregates that join a group's values (string_agg(), array_agg(), and both
// with ORDER BY) stop once what they hold passes the length SQLite allows one value, as
// SQLite's own group_concat() does, instead of holding a group of any size in memory
// until its end: one query over a large table must not take the server's memory.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <string>

#include "internal.h"

namespace {

int rows_read = 0;

void counted(sqlite3_context *ctx, int, sqlite3_value **argv) {
    ++rows_read;
    sqlite3_result_value(ctx, argv[0]);
}

TEST(Aggregates, StopOncePastTheLengthOfOneValue) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    std::string error;
    ASSERT_TRUE(qx::install_array_functions(db, &error) && qx::install_ordered_aggregates(db, &error)) << error;
    ASSERT_EQ(sqlite3_create_function(db, "counted", 1, SQLITE_UTF8, nullptr, counted, nullptr, nullptr), SQLITE_OK);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 10000);
    for (const char *sql : {
             "select string_agg(counted(printf('%050d', value)), ',') from generate_series(1, 100000)",
             "select array_agg(counted(printf('%050d', value))) from generate_series(1, 100000)",
             "select pg_ordered_agg('string_agg', 0, 2, counted(printf('%050d', value)), ',', value, 'dl') "
             "from generate_series(1, 100000)",
         }) {
        rows_read = 0;
        sqlite3_stmt *stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_TOOBIG) << sql;
        EXPECT_LT(rows_read, 1000) << sql;
        sqlite3_finalize(stmt);
    }
    // Below the limit they answer as before.
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "select pg_ordered_agg('string_agg', 0, 2, value, ',', value, 'dl') from generate_series(1, 3)",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "3,2,1");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

}  // namespace
