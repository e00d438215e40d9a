// Row-level security with need_to_know, in-process: sessions of users 7 and 8 (no
// administrators) and of the administrator run the same report queries on one
// database file, and every other way to read report rows is refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "internal.h"
#include "sql/row_security.h"
#include "builtins.h"
#include "run_program.h"

namespace {

// Sales of four classes; regions of two. User 7 knows public and board, user 8
// public and secret.
const char *const kSchema =
    "create table DB.DBA.NEED_TO_KNOW(NK_CLASS, NK_USER);"
    "insert into DB.DBA.NEED_TO_KNOW values ('public', 7), ('board', 7), ('public', 8), ('secret', 8);"
    "create table DB.DBA.SALES_REPORT(TITLE, AMOUNT, REGION, R_CLASS);"
    "insert into DB.DBA.SALES_REPORT values ('q1', 10, 'north', 'public'), ('q2', 20, 'south', 'board'),"
    "  ('q3', 30, 'north', 'secret'), ('q4', 40, 'south', 'public');"
    "create table DB.DBA.REGIONS_REPORT(REGION, MANAGER, R_CLASS);"
    "insert into DB.DBA.REGIONS_REPORT values ('north', 'ann', 'public'), ('south', 'bob', 'secret');"
    "create table PLAIN(REGION, NOTE);"
    "insert into PLAIN values ('north', 'n'), ('south', 's');"
    "create view ALL_SALES as select * from DB.DBA.SALES_REPORT;"
    "create view \"sales_rows\" as select 1 ONE from DB.DBA.SALES_REPORT;"
    "create view PLAIN_NOTES as select NOTE from PLAIN;";

class RowSecurity : public testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("rls.db");

    static void SetUpTestSuite() { start_hook(); }

    void SetUp() override {
        qx::set_query_rewrite("need_to_know");
        ASSERT_EQ(run(admin(), kSchema), "");
    }
    void TearDown() override { qx::set_query_rewrite(""); }

    // A session on the test database as the given user.
    std::unique_ptr<qx::Session> session(int user, bool is_admin) {
        auto s = std::make_unique<qx::Session>();
        qx::SqlError e;
        EXPECT_TRUE(s->open(db, &e)) << e.message;
        s->client()->user_number = user;
        s->client()->is_admin = is_admin;
        return s;
    }
    std::unique_ptr<qx::Session> admin() { return session(0, true); }

    // What the statements print, then "error: STATE message" if one fails.
    static std::string run(const std::unique_ptr<qx::Session> &s, const std::string &sql) {
        char *out_text = nullptr, *err_text = nullptr;
        size_t out_size = 0, err_size = 0;
        FILE *out = open_memstream(&out_text, &out_size);
        FILE *err = open_memstream(&err_text, &err_size);
        s->execute(sql, out, err);
        std::fclose(out);
        std::fclose(err);
        std::string result = std::string(out_text, out_size) + std::string(err_text, err_size);
        std::free(out_text);
        std::free(err_text);
        return result;
    }
};

TEST_F(RowSecurity, EachUserSeesOnlyTheReportRowsTheyNeedToKnow) {
    auto user7 = session(7, false), user8 = session(8, false), dba = admin();
    struct Case {
        const char *sql, *user7, *user8, *admin;
    } cases[] = {
        {"select TITLE from DB.DBA.SALES_REPORT order by TITLE", "q1\nq2\nq4\n", "q1\nq3\nq4\n",
         "q1\nq2\nq3\nq4\n"},
        {"select s.TITLE from DB.DBA.SALES_REPORT as s where s.AMOUNT > 15 order by 1 desc",
         "q4\nq2\n", "q4\nq3\n", "q4\nq3\nq2\n"},
        // Both tables of a join are restricted: user 7 may not see the south region.
        {"select s.TITLE, r.MANAGER from DB.DBA.SALES_REPORT s join DB.DBA.REGIONS_REPORT r "
         "on r.REGION = s.REGION order by s.TITLE",
         "q1|ann\n", "q1|ann\nq3|ann\nq4|bob\n", "q1|ann\nq2|bob\nq3|ann\nq4|bob\n"},
        {"select count(*), sum(AMOUNT) total from DB.DBA.SALES_REPORT", "3|70\n", "3|80\n", "4|100\n"},
        {"select REGION, count(*) from DB.DBA.SALES_REPORT group by REGION having count(*) > 1",
         "south|2\n", "north|2\n", "north|2\nsouth|2\n"},
        {"select TITLE from DB.DBA.SALES_REPORT where TITLE like 'q%' order by TITLE desc limit 2 offset 1",
         "q2\nq1\n", "q3\nq1\n", "q3\nq2\n"},
        // Subqueries over report tables: EXISTS, IN and a scalar subquery.
        {"select NOTE from PLAIN p where exists (select 1 from DB.DBA.SALES_REPORT s "
         "where s.REGION = p.REGION and s.R_CLASS = 'secret')",
         "", "n\n", "n\n"},
        {"select NOTE from PLAIN where REGION in (select REGION from DB.DBA.REGIONS_REPORT) order by 1",
         "n\n", "n\ns\n", "n\ns\n"},
        {"select (select sum(AMOUNT) from DB.DBA.SALES_REPORT)", "70\n", "80\n", "100\n"},
        // A quoted lower-case name is the same table to SQLite, and so to the rewrite.
        {"select count(*) from \"db.dba.sales_report\"", "3\n", "3\n", "4\n"},
        // sql_run rewrites as statements do; another user number in sql_rewrite adds a
        // restriction, never lifts the session's own.
        {"select sql_run('select TITLE from DB.DBA.SALES_REPORT where R_CLASS = ''secret''')", "[]\n",
         "[['q3']]\n", "[['q3']]\n"},
        {"select sql_run(sql_rewrite('need_to_know', 8, 'select TITLE from DB.DBA.SALES_REPORT "
         "where R_CLASS <> ''public'''))",
         "[]\n", "[['q3']]\n", "[['q3']]\n"},
        // Tables that are no report tables, and views of them, are not restricted.
        {"select count(*) from PLAIN, PLAIN_NOTES", "4\n", "4\n", "4\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run(user7, c.sql), c.user7) << c.sql;
        EXPECT_EQ(run(user8, c.sql), c.user8) << c.sql;
        EXPECT_EQ(run(dba, c.sql), c.admin) << c.sql;
    }
}

TEST_F(RowSecurity, EveryOtherWayToReportRowsIsRefused) {
    auto user7 = session(7, false), dba = admin();
    // The reason each refusal gives, after "*** Error 42501: permission denied".
    struct Case {
        const char *sql, *reason;
    } cases[] = {
        {"select TITLE from DB.DBA.SALES_REPORT union select 'x'",
         " for report table DB.DBA.SALES_REPORT: the query's shape is not one the server can restrict "
         "(sql_parse: unexpected UNION)"},
        {"select count(*) from DB.DBA.SALES_REPORT union all select 1",
         " for report table DB.DBA.SALES_REPORT: the query's shape"},
        {"with s as (select * from DB.DBA.SALES_REPORT) select TITLE from s",
         " for report table DB.DBA.SALES_REPORT: read through the view or trigger s"},
        {"select TITLE from ALL_SALES", " for report table DB.DBA.SALES_REPORT: read through the view or trigger ALL_SALES"},
        // The view reads no column, which SQLite reports as the statement's own read.
        {"select count(*) from SALES_ROWS, DB.DBA.SALES_REPORT",
         " for view SALES_ROWS: it reads report table DB.DBA.SALES_REPORT"},
        {"select 1 where exists (select 1 from SALES_ROWS)",
         " for report table DB.DBA.SALES_REPORT: read outside the restricted query"},
        {"insert into PLAIN select TITLE, R_CLASS from DB.DBA.SALES_REPORT",
         " for report table DB.DBA.SALES_REPORT: read by a statement that is no select query"},
        {"create table COPY as select * from DB.DBA.SALES_REPORT", " for report table DB.DBA.SALES_REPORT"},
        {"update PLAIN set NOTE = (select max(TITLE) from DB.DBA.SALES_REPORT)", " for report table"},
        {"update DB.DBA.SALES_REPORT set R_CLASS = 'public'",
         " for table DB.DBA.SALES_REPORT: only an administrator changes it"},
        {"delete from DB.DBA.SALES_REPORT", " for table DB.DBA.SALES_REPORT: only an administrator changes it"},
        {"insert into DB.DBA.SALES_REPORT values ('q9', 0, 'north', 'secret')", " for table DB.DBA.SALES_REPORT"},
        {"insert into DB.DBA.NEED_TO_KNOW values ('secret', 7)",
         " for table DB.DBA.NEED_TO_KNOW: only an administrator changes it"},
        {"delete from \"db.dba.need_to_know\"", " for table DB.DBA.NEED_TO_KNOW"},
        {"drop table DB.DBA.SALES_REPORT", " for table DB.DBA.SALES_REPORT"},
        // Temporary objects come first in name lookup: none may shadow the real tables.
        {"create temp view \"DB.DBA.NEED_TO_KNOW\" as select 'secret' NK_CLASS, 7 NK_USER",
         " to create DB.DBA.NEED_TO_KNOW: only an administrator creates it"},
        {"create temp table \"db.dba.sales_report\"(TITLE, R_CLASS)", " to create db.dba.sales_report"},
        {"alter table DB.DBA.SALES_REPORT rename to OPEN_SALES", " for table DB.DBA.SALES_REPORT"},
        {"create index BY_TITLE on DB.DBA.SALES_REPORT(abs(AMOUNT))", " for table DB.DBA.SALES_REPORT"},
        {"create trigger COPIER after insert on PLAIN begin insert into PLAIN select REGION, TITLE "
         "from DB.DBA.SALES_REPORT; end",
         " to create a trigger: only an administrator stores triggers"},
        {"pragma writable_schema = 1", " for PRAGMA writable_schema"},
        // The pages of report tables tell how many rows they hold, hidden ones too.
        {"select sum(ncell) from dbstat where name = 'DB.DBA.SALES_REPORT'", " for dbstat: it tells of"},
        {"create virtual table temp.PAGES using dbstat(main)", " for dbstat"},
        // A built-in's own statement reads no report table either.
        {"select sql_run('select TITLE from ALL_SALES')", " for report table DB.DBA.SALES_REPORT: read through"},
    };
    const std::string prefix = "*** Error 42501: permission denied";
    for (const Case &c : cases) {
        std::string got = run(user7, c.sql);
        EXPECT_EQ(got.substr(0, prefix.size() + std::strlen(c.reason)), prefix + c.reason) << c.sql;
    }
    // A trigger of the session's own (temporary) that reads report rows is refused when it fires.
    EXPECT_EQ(run(user7, "create temp trigger PEEK after insert on PLAIN begin "
                         "select count(*) from DB.DBA.SALES_REPORT; end;"),
              "");
    std::string fired = run(user7, "insert into PLAIN values ('east', 'e')");
    EXPECT_EQ(fired.rfind("*** Error 42501: permission denied for report table DB.DBA.SALES_REPORT: read "
                          "through the view or trigger PEEK",
                          0),
              0u)
        << fired;
    // Nothing was changed or copied, and the administrator may do all of it.
    EXPECT_EQ(run(dba, "select count(*) from DB.DBA.SALES_REPORT where R_CLASS = 'public';"
                       "select count(*) from DB.DBA.NEED_TO_KNOW; select count(*) from PLAIN"),
              "2\n4\n2\n");
    EXPECT_EQ(run(dba, "select count(*) from ALL_SALES; select count(*) from DB.DBA.SALES_REPORT union "
                       "all select 1; update DB.DBA.SALES_REPORT set R_CLASS = 'board' where TITLE = 'q1';"
                       "insert into DB.DBA.NEED_TO_KNOW values ('x', 7); create index BY_CLASS on "
                       "DB.DBA.SALES_REPORT(R_CLASS)"),
              "4\n4\n1\n");
}

TEST_F(RowSecurity, OnlyUsersWhoAreNoAdministratorsAreRestrictedAndOnlyWithARewrite) {
    auto root = session(7, true);
    EXPECT_EQ(run(root, "select count(*) from DB.DBA.SALES_REPORT"), "4\n");
    qx::set_query_rewrite("");
    auto plain = session(7, false);
    EXPECT_EQ(run(plain, "select count(*) from DB.DBA.SALES_REPORT union all select 1"), "4\n1\n");
}

}  // namespace
