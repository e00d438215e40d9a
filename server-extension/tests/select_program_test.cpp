// my_select, the key catalogue and the need-to-know rewrite through SQL with the
// real quendrix program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_program.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;

class QuendrixSelect : public testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("test.db");

    ProgramRun sql(const std::vector<std::string> &statements, const std::string &database = "") {
        std::vector<std::string> argv = {"quendrix", "--database", database.empty() ? db : database};
        for (const auto &s : statements) {
            argv.push_back("--execute");
            argv.push_back(s);
        }
        return run_program(kQuendrix, argv);
    }
};

TEST_F(QuendrixSelect, MySelectReturnsTheKeyCatalogue) {
    ProgramRun r = sql({"select my_select()"});
    EXPECT_EQ(r.out, "[]\n");
    EXPECT_EQ(r.status, 0) << r.err;

    r = sql({"create table DB.DBA.ITEMS(ID primary key, NAME); create index BY_NAME on "
             "DB.DBA.ITEMS(NAME)",
             "select my_select()", "select count (*) from DB.DBA.SYS_KEYS",
             "select my_aref(my_aref(my_select(), 2), 1), my_aref(my_aref(my_select(), 0), 0)"});
    EXPECT_EQ(r.out,
              "[['DB.DBA.ITEMS', 'DB.DBA.ITEMS', 1, 1, 1, 1, 0, 1, NULL, 1, 2], "
              "['DB.DBA.ITEMS', 'sqlite_autoindex_DB.DBA.ITEMS_1', 2, 1, 1, 0, 0, 1, NULL, 1, 2], "
              "['DB.DBA.ITEMS', 'BY_NAME', 3, 1, 1, 0, 0, 0, NULL, 1, 2]]\n"
              "3\n"
              "BY_NAME|DB.DBA.ITEMS\n");
    EXPECT_EQ(r.status, 0) << r.err;

    // The catalogue needs no write to the database: it works read-only too.
    r = sql({"select count (*) from DB.DBA.SYS_KEYS", "select my_aref(my_aref(my_select(), 0), 0)"},
            "file:" + db + "?mode=ro");
    EXPECT_EQ(r.out, "3\nDB.DBA.ITEMS\n");
    EXPECT_EQ(r.status, 0) << r.err;

    r = sql({"select my_select(1)"});
    EXPECT_EQ(r.err, "*** Error 07001: my_select: too many arguments (1 given, 0 expected)\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(QuendrixSelect, NeedToKnowRewriteShowsOnlyTheRowsTheUserNeedsToKnow) {
    ProgramRun r = sql({
        "create table DB.DBA.NEED_TO_KNOW(NK_CLASS, NK_USER);"
        "create table DB.DBA.SALES_REPORT(TITLE, R_CLASS);"
        "create table REGIONS_REPORT(REGION, R_CLASS);"
        "create table PLAIN(TITLE, R_CLASS);"
        "insert into DB.DBA.SALES_REPORT values ('q1', 'public'), ('q2', 'secret'), ('q3', 'board');"
        "insert into REGIONS_REPORT values ('north', 'public'), ('south', 'secret');"
        "insert into PLAIN values ('p', 'secret');"
        "insert into DB.DBA.NEED_TO_KNOW values ('public', 7), ('board', 7), ('secret', 8), "
        "('public', 8)"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct Case {
        const char *sql;
        const char *out;
    } cases[] = {
        {"select sql_run('select TITLE from DB.DBA.SALES_REPORT')", "[['q1'], ['q2'], ['q3']]"},
        {"select sql_run(sql_rewrite('need_to_know', 7, 'select TITLE from DB.DBA.SALES_REPORT'))",
         "[['q1'], ['q3']]"},
        {"select sql_run(sql_rewrite('need_to_know', 8, 'select S.TITLE from DB.DBA.SALES_REPORT S "
         "where S.TITLE <> ''q1'''))",
         "[['q2']]"},
        {"select sql_run(sql_rewrite('need_to_know', 9, 'select * from DB.DBA.SALES_REPORT'))", "[]"},
        // Both report tables are restricted; the plain table is not.
        {"select sql_run(sql_rewrite('need_to_know', 7, 'select S.TITLE, R.REGION, P.TITLE from "
         "DB.DBA.SALES_REPORT S, REGIONS_REPORT R, PLAIN P'))",
         "[['q1', 'north', 'p'], ['q3', 'north', 'p']]"},
        {"select sql_text(sql_rewrite('need_to_know', 7, 'select R.REGION from REGIONS_REPORT R'))",
         "SELECT R.REGION FROM REGIONS_REPORT AS R WHERE EXISTS (SELECT 1 FROM "
         "`DB.DBA.NEED_TO_KNOW` WHERE NK_CLASS = R.R_CLASS AND NK_USER = 7)"},
        // Called directly, the built-in changes only its own copy of the tree and
        // returns null, which is the integer 0 in this server.
        {"select need_to_know(7, sql_parse('select * from REGIONS_REPORT'))", "0"},
        {"select need_to_know(7, 'not a tree')", "0"},
    };
    for (const auto &c : cases) {
        r = sql({c.sql});
        EXPECT_EQ(r.out, std::string(c.out) + "\n") << c.sql;
        EXPECT_EQ(r.status, 0) << c.sql << ": " << r.err;
    }
    r = sql({"select sql_run(sql_rewrite('need_to_know', 'seven', 'select 1'))"});
    EXPECT_EQ(r.err, "*** Error 22023: need_to_know: argument 1 must be an integer, not VARCHAR\n");
}

}  // namespace
