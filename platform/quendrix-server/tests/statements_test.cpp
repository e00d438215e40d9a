// Internal statements and cursors on a real database: compiling, running,
// reading rows, the errors of each step, qualified DB.DBA names and the key
// catalogue DB.DBA.SYS_KEYS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quendrix/statements.h"

namespace {

std::string state_of(qx_value err) { return err ? qx_error_state(err) : ""; }
std::string message_of(qx_value err) { return err ? qx_error_message(err) : ""; }

std::string text_of(qx_value v) {
    return qx_tag_of(v) == QX_TAG_STRING ? static_cast<const char *>(v) : "<not text>";
}

class Statements : public testing::Test {
protected:
    qx_client *client = nullptr;

    void SetUp() override {
        qx_value err = nullptr;
        client = qx_client_open(":memory:", &err);
        ASSERT_NE(client, nullptr) << message_of(err);
    }
    void TearDown() override { qx_client_close(client); }

    void exec(const char *sql) {
        qx_value err = qx_client_exec(client, sql);
        ASSERT_EQ(err, nullptr) << sql << ": " << message_of(err);
    }

    // Compiles `sql`, expecting a statement.
    qx_statement *compile(const char *sql) {
        qx_value err = nullptr;
        qx_statement *s = qx_sql_compile(sql, client, &err, 0);
        EXPECT_EQ(err, nullptr) << sql << ": " << message_of(err);
        qx_free_tree(err);
        return s;
    }

    // Runs `sql` and gives its rows as the shell would print them ("a|b").
    std::vector<std::string> rows(const char *sql) {
        std::vector<std::string> out;
        qx_statement *s = compile(sql);
        qx_cursor *c = nullptr;
        qx_value err = qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr);
        EXPECT_EQ(err, nullptr) << message_of(err);
        qx_free_tree(err);
        while (c && qx_cursor_next(c)) {
            std::string line;
            for (size_t i = 0; i < qx_slot_count(c->row); ++i) {
                qx_value v = qx_cursor_column(c, static_cast<int>(i));
                if (i) line += '|';
                line += qx_tag_of(v) == QX_TAG_STRING ? text_of(v)
                                                      : std::to_string(qx_unbox(v));
            }
            out.push_back(line);
        }
        EXPECT_TRUE(!c || !c->error) << message_of(c->error);
        qx_cursor_free(c);
        qx_sql_free(s);
        return out;
    }
};

TEST_F(Statements, CursorReadsRowsWithTheirTypesAndOwnsTheColumns) {
    exec("create table t(i, s, n, r, b); "
         "insert into t values (70000, 'text', NULL, 2.5, x'00ff'), (-1, '', NULL, 0.0, x'')");
    qx_statement *s = compile("select i, s, n, r, b from t order by i desc");
    ASSERT_NE(s, nullptr);
    qx_cursor *c = nullptr;
    ASSERT_EQ(qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr), nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->statement, s);
    EXPECT_EQ(qx_cursor_column(c, 0), nullptr);  // before the first row

    ASSERT_TRUE(qx_cursor_next(c));
    qx_value i = qx_cursor_column(c, 0);
    EXPECT_EQ(qx_unbox(i), 70000);
    EXPECT_EQ(text_of(qx_cursor_column(c, 1)), "text");
    EXPECT_EQ(qx_tag_of(qx_cursor_column(c, 2)), QX_TAG_NULL);
    EXPECT_EQ(qx_tag_of(qx_cursor_column(c, 3)), QX_TAG_DOUBLE);
    EXPECT_EQ(qx_unbox_double(qx_cursor_column(c, 3)), 2.5);
    EXPECT_EQ(qx_tag_of(qx_cursor_column(c, 4)), QX_TAG_BINARY);
    EXPECT_EQ(qx_length_of(qx_cursor_column(c, 4)), 2u);
    EXPECT_EQ(qx_cursor_column(c, 5), nullptr);
    EXPECT_EQ(qx_cursor_column(c, -1), nullptr);
    // The column stays the cursor's and valid until the next row.
    EXPECT_EQ(qx_cursor_column(c, 0), i);

    ASSERT_TRUE(qx_cursor_next(c));
    EXPECT_EQ(qx_unbox(qx_cursor_column(c, 0)), -1);
    EXPECT_EQ(text_of(qx_cursor_column(c, 1)), "");
    EXPECT_FALSE(qx_cursor_next(c));
    EXPECT_FALSE(qx_cursor_next(c));
    EXPECT_EQ(qx_cursor_column(c, 0), nullptr);
    EXPECT_EQ(c->error, nullptr);
    qx_cursor_free(c);

    // A statement runs again from its start once its cursor is freed.
    ASSERT_EQ(qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(qx_cursor_next(c));
    EXPECT_EQ(qx_unbox(qx_cursor_column(c, 0)), 70000);
    qx_cursor_free(c);
    qx_sql_free(s);
}

TEST_F(Statements, StatementsWithoutRowsRunToTheirEndAndMakeNoCursor) {
    exec("create table t(a unique)");
    qx_statement *s = compile("insert into t values (1)");
    qx_cursor *c = reinterpret_cast<qx_cursor *>(&s);  // must be overwritten
    EXPECT_EQ(qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(rows("select a from t"), std::vector<std::string>{"1"});
    // Running it again breaks the constraint: the run returns the error.
    qx_value err = qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr);
    EXPECT_EQ(state_of(err), "23505");
    EXPECT_NE(message_of(err).find("UNIQUE"), std::string::npos) << message_of(err);
    EXPECT_EQ(c, nullptr);
    qx_free_tree(err);
    qx_sql_free(s);

    // Each kind of constraint fails with the state PostgreSQL gives it.
    exec("pragma foreign_keys = on; create table p(k primary key); "
         "create table r(k references p, n not null, v check (v > 0)); insert into p values (1)");
    const struct {
        const char *setup, *sql, *state;
    } violations[] = {
        {"", "insert into p values (1)", "23505"},
        {"", "insert into r values (2, 1, 1)", "23503"},
        {"", "insert into r values (1, null, 1)", "23502"},
        {"", "insert into r values (1, 1, 0)", "23514"},
        {"create trigger no_r before insert on r begin select raise(abort, 'no'); end",
         "insert into r values (1, 1, 1)", "23000"},
    };
    for (const auto &v : violations) {
        if (*v.setup) exec(v.setup);
        qx_statement *stmt = compile(v.sql);
        ASSERT_NE(stmt, nullptr) << v.sql;
        qx_value e = qx_sql_exec(stmt, client, &c, nullptr, nullptr, nullptr);
        EXPECT_EQ(state_of(e), v.state) << v.sql << ": " << message_of(e);
        qx_free_tree(e);
        qx_sql_free(stmt);
    }
    // A select without rows still makes a cursor, which has no row.
    s = compile("select a from t where a > 5");
    ASSERT_EQ(qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr), nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(qx_cursor_next(c));
    qx_cursor_free(c);
    qx_sql_free(s);
}

TEST_F(Statements, CompileErrorsGoToTheErrorSlot) {
    struct Case {
        const char *sql;
        const char *state;  // "" for no error
        const char *message_part;
    } cases[] = {
        {"selec 1", "42000", "syntax error"},
        {"select * from no_such_table", "42000", "no such table: no_such_table"},
        {"select 1; select 2", "42000", "Only one statement"},
        {"   -- only a comment\n", "", ""},
        {"", "", ""},
    };
    for (const auto &c : cases) {
        qx_value err = nullptr;
        qx_statement *s = qx_sql_compile(c.sql, client, &err, 0);
        EXPECT_EQ(s, nullptr) << c.sql;
        EXPECT_EQ(state_of(err), c.state) << c.sql;
        EXPECT_NE(message_of(err).find(c.message_part), std::string::npos) << message_of(err);
        qx_free_tree(err);
    }
    // A trailing semicolon is no second statement.
    qx_sql_free(compile("select 1;  "));

    // The first error in the slot stays; no slot at all is allowed.
    qx_value first = qx_error_new("XX000", nullptr, "first");
    qx_value slot = first;
    EXPECT_EQ(qx_sql_compile("selec", client, &slot, 0), nullptr);
    EXPECT_EQ(slot, first);
    qx_free_tree(first);
    EXPECT_EQ(qx_sql_compile("selec", client, nullptr, 0), nullptr);

    qx_value err = nullptr;
    EXPECT_EQ(qx_sql_compile("select 1", nullptr, &err, 0), nullptr);
    EXPECT_EQ(state_of(err), "08003");
    qx_free_tree(err);
}

TEST_F(Statements, ErrorsMetWhileReadingGoToTheCursorsErrorWord) {
    // abs() of the smallest 64-bit integer fails when its row is computed.
    exec("create table t(k, v); insert into t values (1, 1), (2, 2), (3, -9223372036854775808)");
    struct Case {
        const char *sql;
        int good_rows;
    } cases[] = {
        {"select k, abs(v) from t", 2},
        {"select k, abs(v) from t where k = 3", 0},  // the first fetch fails
    };
    for (const auto &c : cases) {
        qx_statement *s = compile(c.sql);
        qx_cursor *cur = nullptr;
        ASSERT_EQ(qx_sql_exec(s, client, &cur, nullptr, nullptr, nullptr), nullptr);
        for (int i = 0; i < c.good_rows; ++i) {
            ASSERT_TRUE(qx_cursor_next(cur));
            EXPECT_EQ(qx_unbox(qx_cursor_column(cur, 0)), i + 1);
            EXPECT_EQ(cur->error, nullptr);
        }
        // The failing fetch counts as a row without columns, with the error.
        ASSERT_TRUE(qx_cursor_next(cur)) << c.sql;
        EXPECT_EQ(state_of(cur->error), "42000");
        EXPECT_EQ(message_of(cur->error), "integer overflow");
        EXPECT_EQ(qx_cursor_column(cur, 0), nullptr);
        EXPECT_FALSE(qx_cursor_next(cur));
        EXPECT_EQ(message_of(cur->error), "integer overflow");
        qx_cursor_free(cur);
        qx_sql_free(s);
    }
}

TEST_F(Statements, MisuseIsAnErrorNeverACrash) {
    exec("create table t(a); insert into t values (1), (2)");
    qx_statement *s = compile("select a from t");
    qx_cursor *c = nullptr;
    ASSERT_EQ(qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr), nullptr);
    qx_cursor *second = nullptr;
    qx_value err = qx_sql_exec(s, client, &second, nullptr, nullptr, nullptr);
    EXPECT_EQ(state_of(err), "24000");
    EXPECT_EQ(second, nullptr);
    qx_free_tree(err);

    qx_value other_err = nullptr;
    qx_client *other = qx_client_open(":memory:", &other_err);
    ASSERT_NE(other, nullptr);
    err = qx_sql_exec(s, other, &second, nullptr, nullptr, nullptr);
    EXPECT_EQ(state_of(err), "08003");
    qx_free_tree(err);
    qx_client_close(other);

    err = qx_sql_exec(nullptr, client, &second, nullptr, nullptr, nullptr);
    EXPECT_EQ(state_of(err), "HY010");
    qx_free_tree(err);

    // Freeing the statement first leaves a cursor that reads nothing more.
    ASSERT_TRUE(qx_cursor_next(c));
    qx_sql_free(s);
    EXPECT_EQ(c->statement, nullptr);
    EXPECT_FALSE(qx_cursor_next(c));
    qx_cursor_free(c);
    qx_cursor_free(nullptr);
    qx_sql_free(nullptr);
    EXPECT_FALSE(qx_cursor_next(nullptr));
}

TEST_F(Statements, QualifiedDbDbaNamesResolveOutsideLiteralsAndComments) {
    exec("create table DB.DBA.PLACES(NAME); insert into db . dba . places values ('here')");
    struct Case {
        const char *sql;
        const char *row;
    } cases[] = {
        {"select NAME from DB.DBA.PLACES", "here"},
        {"select DB.DBA.PLACES.NAME from DB.DBA.PLACES", "here"},
        {"select p.name from Db.Dba.Places p", "here"},
        {"select name from \"DB.DBA.PLACES\"", "here"},
        {"select 'DB.DBA.PLACES' from DB.DBA.PLACES", "DB.DBA.PLACES"},
        {"select name /* DB.DBA.X */ from DB.DBA.PLACES -- DB.DBA.Y", "here"},
        {"select count(*) from sqlite_schema where name = 'DB.DBA.PLACES'", "1"},
    };
    for (const auto &c : cases) EXPECT_EQ(rows(c.sql), std::vector<std::string>{c.row}) << c.sql;
    // A longer dotted name is no DB.DBA name.
    qx_value err = nullptr;
    EXPECT_EQ(qx_sql_compile("select x.DB.DBA.PLACES from DB.DBA.PLACES", client, &err, 0), nullptr);
    EXPECT_NE(err, nullptr);
    qx_free_tree(err);
}

TEST_F(Statements, KeyCatalogueListsEveryTableKeyAndIndex) {
    EXPECT_EQ(rows("select count (*) from DB.DBA.SYS_KEYS"), std::vector<std::string>{"0"});
    exec("create table ORDERS(ID integer primary key, CUSTOMER, DAY); "
         "create table LINES(ORDER_ID, LINE, ITEM, primary key (ORDER_ID, LINE)); "
         "create unique index ORDERS_DAY on ORDERS(DAY, CUSTOMER); "
         "create index LINES_ITEM on LINES(ITEM); create view V as select 1");
    std::vector<std::string> expected = {
        // table|name|id|n_significant|cluster|main|object_id|unique|migrate|super|decl_parts
        "ORDERS|ORDERS|1|1|1|1|0|1|0|1|3",
        "LINES|LINES|2|2|2|1|0|1|0|2|3",
        "LINES|sqlite_autoindex_LINES_1|3|2|2|0|0|1|0|2|3",
        "ORDERS|ORDERS_DAY|4|2|1|0|0|1|0|1|3",
        "LINES|LINES_ITEM|5|1|2|0|0|0|0|2|2",
    };
    EXPECT_EQ(rows("select  KEY_TABLE,  KEY_NAME,  KEY_ID,  KEY_N_SIGNIFICANT,  KEY_CLUSTER_ON_ID,  "
                   "KEY_IS_MAIN,  KEY_IS_OBJECT_ID,  KEY_IS_UNIQUE,  KEY_MIGRATE_TO,  "
                   "KEY_SUPER_ID,  KEY_DECL_PARTS  from DB.DBA.SYS_KEYS"),
              expected);
    EXPECT_EQ(rows("select count(*) from DB.DBA.SYS_KEYS where KEY_MIGRATE_TO is null"),
              std::vector<std::string>{"5"});
}

}  // namespace
