// Parse trees of select queries: the parser's node layouts, the query compiler's
// SQL text (run by SQLite), refusal of malformed trees, and the SQL functions
// sql_parse, sql_text, sql_run and sql_rewrite.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "quendrix/query_tree.h"
#include "quendrix/statements.h"

namespace {

qx_value K(int kind) { return qx_box_int64(kind); }
qx_value S(const char *text) { return qx_box_string(text); }

std::string text_of(qx_value v) {
    return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_STRING ? static_cast<const char *>(v)
                                                             : "<not text>";
}

// The compiler's text for `sql`, or "error: message".
std::string round_trip(const char *sql) {
    qx_value err = nullptr;
    qx_value tree = qx_query_parse(sql, &err);
    qx_value text = tree ? qx_query_text(tree, &err) : nullptr;
    std::string out = text ? text_of(text) : std::string("error: ") + qx_error_message(err);
    qx_free_tree(tree);
    qx_free_tree(text);
    qx_free_tree(err);
    return out;
}

// The compiler's text for a hand-built tree (freed), or "error: message".
std::string compile(qx_value tree) {
    qx_value err = nullptr;
    qx_value text = qx_query_text(tree, &err);
    std::string out = text ? text_of(text) : std::string("error: ") + qx_error_message(err);
    if (err) {
        EXPECT_STREQ(qx_error_state(err), "42000");
    }
    qx_free_tree(tree);
    qx_free_tree(text);
    qx_free_tree(err);
    return out;
}

qx_value slot(qx_value node, size_t i) {
    EXPECT_LT(i, qx_slot_count(node));
    return i < qx_slot_count(node) ? qx_slots(node)[i] : nullptr;
}

TEST(QueryTree, ParserBuildsTheNodeLayouts) {
    qx_value err = nullptr;
    qx_value q = qx_query_parse(
        "select r.Title, 7 from DB.DBA.REPORTS r, plain where r.R_CLASS = 'x'", &err);
    ASSERT_NE(q, nullptr) << qx_error_message(err);
    ASSERT_EQ(qx_slot_count(q), 5u);
    EXPECT_EQ(slot(q, 0), K(QX_NODE_QUERY));
    EXPECT_EQ(slot(q, 1), nullptr);  // not distinct
    EXPECT_EQ(slot(q, 3), nullptr);

    qx_value selection = slot(q, 2);
    ASSERT_EQ(qx_slot_count(selection), 2u);
    qx_value column = slot(selection, 0);
    ASSERT_EQ(qx_slot_count(column), 3u);
    EXPECT_EQ(slot(column, 0), K(QX_NODE_COLUMN));
    EXPECT_EQ(text_of(slot(column, 1)), "R");  // unquoted names in upper case
    EXPECT_EQ(text_of(slot(column, 2)), "TITLE");
    EXPECT_EQ(slot(selection, 1), K(7));

    qx_value fw = slot(q, 4);
    ASSERT_EQ(qx_slot_count(fw), 9u);
    EXPECT_EQ(slot(fw, 0), K(QX_NODE_FROM_WHERE));
    for (size_t i = 3; i < 9; ++i) EXPECT_EQ(slot(fw, i), nullptr);
    qx_value from = slot(fw, 1);
    ASSERT_EQ(qx_slot_count(from), 2u);
    const char *names[] = {"DB.DBA.REPORTS", "PLAIN"};
    for (size_t i = 0; i < 2; ++i) {
        qx_value entry = slot(from, i);
        ASSERT_EQ(qx_slot_count(entry), 3u);
        EXPECT_EQ(slot(entry, 0), K(QX_NODE_FROM_ENTRY));
        EXPECT_EQ(slot(entry, 2), nullptr);
        qx_value table = slot(entry, 1);
        ASSERT_EQ(qx_slot_count(table), 5u);
        EXPECT_EQ(slot(table, 0), K(QX_NODE_TABLE));
        EXPECT_EQ(text_of(slot(table, 1)), names[i]);
        if (i == 0)
            EXPECT_EQ(text_of(slot(table, 2)), "R");  // the correlation name
        else
            EXPECT_EQ(slot(table, 2), nullptr);
        EXPECT_EQ(slot(table, 3), nullptr);
        EXPECT_EQ(slot(table, 4), nullptr);
    }
    qx_value where = slot(fw, 2);
    ASSERT_EQ(qx_slot_count(where), 4u);
    EXPECT_EQ(slot(where, 0), K(QX_NODE_EQ));
    EXPECT_EQ(text_of(slot(slot(where, 1), 2)), "R_CLASS");
    EXPECT_EQ(text_of(slot(where, 2)), "x");
    EXPECT_EQ(slot(where, 3), nullptr);
    qx_free_tree(q);
}

TEST(QueryTree, CompilerWritesTheTextOfWhatWasParsed) {
    struct Case {
        const char *sql;
        const char *text;
    } cases[] = {
        {"select * from t", "SELECT * FROM T"},
        {"SELECT DISTINCT t.*, a, -5, 2.5, 'it''s', NULL from t;",
         "SELECT DISTINCT T.*, A, -5, 2.5, 'it''s', NULL FROM T"},
        {"select 1", "SELECT 1"},
        {"select a from t1 as x, DB.DBA.REPORTS y, \"lower case\"",
         "SELECT A FROM T1 AS X, `DB.DBA.REPORTS` AS Y, `lower case`"},
        {"select \"order\", \"a`b\", \"nothing\" from t", "SELECT `order`, `a``b`, `nothing` FROM T"},
        {"select a from t where a = 1 or b <> 2 and not c < 3",
         "SELECT A FROM T WHERE A = 1 OR B <> 2 AND NOT C < 3"},
        {"select a from t where (a = 1 or b != 2) and c <= 3 and d > 4 and e >= 5 and f == 6",
         "SELECT A FROM T WHERE (A = 1 OR B <> 2) AND C <= 3 AND D > 4 AND E >= 5 AND F = 6"},
        {"select a from t where not exists (select u.* from u where u.k = t.k)",
         "SELECT A FROM T WHERE NOT EXISTS (SELECT U.* FROM U WHERE U.K = T.K)"},
        {"select a from DB.DBA.T where DB.DBA.T.a = 0", "SELECT A FROM `DB.DBA.T` WHERE `DB.DBA.T`.A = 0"},
        // A condition of the integer 0 keeps its meaning.
        {"select a from t where 0", "SELECT A FROM T WHERE NOT 1"},
        {"select a -- comment\n from /* more */ t", "SELECT A FROM T"},
        // The clauses of report queries.
        {"select r.a x, count(*) as n, count(distinct b), max(c) + 1 from r join s on r.k = s.k "
         "left outer join q on q.k = r.k and q.v is not null, p cross join o "
         "where a like 'x!%' escape '!' and b not like 'y' and c in (1, 2) and d not in "
         "(select k from u) and e is null and f = (select max(k) from u) "
         "group by r.a, 2 having count(*) > 1 and max(c) < 9 order by x desc, 2 asc, 3 "
         "limit 10 offset 20",
         "SELECT R.A AS X, COUNT(*) AS N, COUNT(DISTINCT B), MAX(C) + 1 FROM R JOIN S ON R.K = S.K "
         "LEFT JOIN Q ON Q.K = R.K AND Q.V IS NOT NULL, P JOIN O WHERE A LIKE 'x!%' ESCAPE '!' "
         "AND B NOT LIKE 'y' AND C IN (1, 2) AND D NOT IN (SELECT K FROM U) AND E IS NULL AND "
         "F = (SELECT MAX(K) FROM U) GROUP BY R.A, 2 HAVING COUNT(*) > 1 AND MAX(C) < 9 "
         "ORDER BY X DESC, 2, 3 LIMIT 10 OFFSET 20"},
        {"select a from t limit 0", "SELECT A FROM T LIMIT 0"},
        {"select a from t join u on 0 group by a having 0", "SELECT A FROM T JOIN U ON NOT 1 GROUP BY A HAVING NOT 1"},
        // Parentheses only where SQLite's precedence needs them: = binds looser than <,
        // || tighter than *, and a sign before a negative number keeps its space.
        {"select 1 + 2 * 3, (1 + 2) * 3, 1 - (2 - 3), (1 - 2) - 3, - -1, -(a + b), 'a' || b * 2, "
         "('a' || b) || c, 'a' || (b || c), a = (b < c), (a = b) < c, not (a or b), (not a) = b, "
         "-(a = b), (a is null) is null, a like (b like c), +a, - - a",
         "SELECT 1 + 2 * 3, (1 + 2) * 3, 1 - (2 - 3), 1 - 2 - 3, - -1, -(A + B), 'a' || B * 2, "
         "'a' || B || C, 'a' || (B || C), A = B < C, (A = B) < C, NOT (A OR B), (NOT A) = B, "
         "-(A = B), A IS NULL IS NULL, A LIKE (B LIKE C), A, - -A"},
    };
    for (const auto &c : cases) EXPECT_EQ(round_trip(c.sql), c.text) << c.sql;
}

TEST(QueryTree, ParserRefusesWhatItDoesNotSupport) {
    struct Case {
        const char *sql;
        const char *message;
    } cases[] = {
        {"", "sql_parse: expected SELECT near end of text"},
        {"update t set a = 1", "sql_parse: expected SELECT near UPDATE"},
        {"select a from t union select b from u", "sql_parse: unexpected UNION"},
        {"select case when a then 1 end from t", "sql_parse: expected a column or a literal near CASE"},
        {"select a from t having a > 1", "sql_parse: HAVING needs a GROUP BY list"},
        {"select a from t limit 1, 2", "sql_parse: LIMIT takes OFFSET, not a comma"},
        {"select a from t natural join u", "sql_parse: unexpected NATURAL"},
        {"select a from t left u", "sql_parse: expected JOIN near U"},
        {"select a from t where a is 1", "sql_parse: expected NULL after IS near \"1\""},
        {"select a from t where a not between 1 and 2", "sql_parse: expected LIKE or IN after NOT near BETWEEN"},
        {"select count(distinct a, b) from t", "sql_parse: DISTINCT in a call takes exactly one argument"},
        {"select count(t.*) from t", "sql_parse: name.* cannot be an argument"},
        {"select t.* as x from t", "sql_parse: name.* takes no alias"},
        {"select a from", "sql_parse: expected a table name near end of text"},
        {"select from t", "sql_parse: expected a column or a literal near FROM"},
        {"select 'open", "sql_parse: unterminated string"},
        {"select a from t; select 2", "sql_parse: unexpected SELECT"},
        {"select 99999999999999999999", "sql_parse: integer 99999999999999999999 is out of the 64-bit range"},
        {"select 1.5e400", "sql_parse: number 1.5e400 is out of the double range"},
        {"select a from t where a < -2e308", "sql_parse: number 2e308 is out of the double range"},
        {"select a from t where exists (select 1", "sql_parse: expected \")\" near end of text"},
        {"select a ? b", "sql_parse: unexpected character '?'"},
        // All columns of a table are a selection item of their own, never an operand;
        // a quoted "*" would compile to all columns.
        {"select t.* > 's' from t", "sql_parse: name.* stands only as a selection item of its own"},
        {"select not t.* from t", "sql_parse: name.* stands only as a selection item of its own"},
        {"select a from t where t.* = 1 or b = 2", "sql_parse: name.* cannot stand in a condition"},
        {"select a from t where exists (select 1 from u where u.* = 1)",
         "sql_parse: name.* cannot stand in a condition"},
        {"select \"*\" from t", "sql_parse: \"*\" cannot be a column name"},
        {"select a from t where t.\"*\" = 1", "sql_parse: \"*\" cannot be a column name"},
    };
    for (const auto &c : cases) EXPECT_EQ(round_trip(c.sql), std::string("error: ") + c.message) << c.sql;

    // Nesting is bounded, so deep input cannot exhaust the stack.
    std::string deep = "select a from t where " + std::string(5000, '(') + "a = 1" + std::string(5000, ')');
    EXPECT_EQ(round_trip(deep.c_str()), "error: sql_parse: condition nested too deeply");
}

TEST(QueryTree, CompilerRefusesMalformedTreesWithoutReadingOutsideANode) {
    auto table = [] { return qx_list(5, K(QX_NODE_TABLE), S("T"), nullptr, nullptr, nullptr); };
    auto query = [](qx_value selection, qx_value from, qx_value where) {
        return qx_list(5, K(QX_NODE_QUERY), nullptr, selection, nullptr,
                       qx_list(9, K(QX_NODE_FROM_WHERE), from, where, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr));
    };
    auto one = [] { return qx_list(1, qx_box_int64(1)); };
    struct Case {
        qx_value tree;
        const char *result;
    } cases[] = {
        // Accepted: the layouts of the nodes need_to_know builds, a table node
        // directly in the from list, and short table nodes.
        {query(one(), qx_list(1, qx_list(3, K(107), table(), nullptr)), nullptr), "SELECT 1 FROM T"},
        {query(one(), qx_list(1, qx_list(2, K(200), S("T"))), nullptr), "SELECT 1 FROM T"},
        {query(qx_list(1, nullptr), qx_list(0), qx_list(4, K(9), nullptr, nullptr, nullptr)),
         "SELECT 0 WHERE 0 = 0"},
        // Refused.
        {qx_box_int64(5), "error: sql_text: expected a query node (kind 100)"},
        {S("select 1"), "error: sql_text: expected a query node (kind 100)"},
        {qx_list(0), "error: sql_text: expected a query node (kind 100)"},
        {qx_list(4, K(100), nullptr, one(), nullptr), "error: sql_text: a query node has 4 slots, needs 5"},
        {qx_list(5, K(100), nullptr, nullptr, nullptr, nullptr),
         "error: sql_text: a query needs a selection list of at least one item"},
        {qx_list(5, K(100), nullptr, qx_list(0), nullptr, nullptr),
         "error: sql_text: a query needs a selection list of at least one item"},
        {qx_list(5, K(100), nullptr, one(), nullptr, qx_list(2, K(106), qx_list(0))),
         "error: sql_text: a from-where node has 2 slots, needs 3"},
        {query(one(), S("T"), nullptr), "error: sql_text: the from list is no list"},
        {query(one(), qx_list(1, qx_list(1, K(107))), nullptr),
         "error: sql_text: a from-entry node has 1 slots, needs 2"},
        {query(one(), qx_list(1, qx_list(3, K(107), S("T"), nullptr)), nullptr),
         "error: sql_text: expected a table node (kind 200)"},
        {query(one(), qx_list(1, qx_list(1, K(200))), nullptr),
         "error: sql_text: a table node has 1 slots, needs 2"},
        {query(one(), qx_list(1, qx_list(2, K(200), qx_box_int64(70000))), nullptr),
         "error: sql_text: a table name is no text"},
        {query(one(), qx_list(1, qx_list(3, K(200), S("T"), qx_list(0))), nullptr),
         "error: sql_text: a correlation name is no text"},
        {query(one(), qx_list(1, qx_list(2, K(200), qx_box_bytes("T\0; drop", 8, QX_TAG_STRING))),
               nullptr),
         "error: sql_text: a table name holds a zero byte"},
        {query(qx_list(1, qx_list(2, K(201), nullptr)), qx_list(0), nullptr),
         "error: sql_text: a column node has 2 slots, needs 3"},
        {query(qx_list(1, qx_list(3, K(201), nullptr, qx_box_int64(3))), qx_list(0), nullptr),
         "error: sql_text: a column name is no text"},
        {query(one(), qx_list(0), qx_list(2, K(9), nullptr)),
         "error: sql_text: a comparison node has 2 slots, needs 3"},
        {query(one(), qx_list(0), qx_list(1, K(4))), "error: sql_text: a conjunction node has 1 slots, needs 3"},
        {query(one(), qx_list(0), qx_list(1, K(6))), "error: sql_text: a negation node has 1 slots, needs 2"},
        {query(one(), qx_list(0), qx_list(2, K(QX_NODE_ADD), nullptr)),
         "error: sql_text: an arithmetic node has 2 slots, needs 3"},
        {query(one(), qx_list(0), qx_list(3, K(QX_NODE_FUNCTION), S("F"), qx_list(0))),
         "error: sql_text: a function node has 3 slots, needs 4"},
        {query(one(), qx_list(0), qx_list(4, K(QX_NODE_FUNCTION), S("F"), S("x"), nullptr)),
         "error: sql_text: a function's argument list is no list"},
        {query(one(), qx_list(0), qx_list(4, K(QX_NODE_IN), nullptr, nullptr, nullptr)),
         "error: sql_text: a membership node needs a list or a query"},
        {query(one(), qx_list(0), qx_list(3, K(QX_NODE_ALIAS), nullptr, S("X"))),
         "error: sql_text: node kind 311 cannot stand in a condition"},
        {query(one(), qx_list(2, table(), qx_list(3, K(107), table(), qx_list(2, K(QX_NODE_NOT), nullptr))),
               nullptr),
         "error: sql_text: a from entry's join is no join node"},
        {query(one(), qx_list(1, qx_list(3, K(107), table(), qx_list(2, K(QX_NODE_JOIN), nullptr))), nullptr),
         "error: sql_text: the first from entry cannot join"},
        {qx_list(9, K(100), nullptr, one(), nullptr, nullptr, nullptr, qx_box_int64(1), nullptr, nullptr),
         "error: sql_text: HAVING needs a GROUP BY list"},
        {qx_list(9, K(100), nullptr, one(), nullptr, nullptr, nullptr, nullptr, nullptr, qx_list(1, K(321))),
         "error: sql_text: a limit node has 1 slots, needs 3"},
        {query(one(), qx_list(0), qx_list(2, K(34), nullptr)),
         "error: sql_text: an existence node has 2 slots, needs 3"},
        {query(one(), qx_list(0), qx_list(3, K(34), nullptr, qx_box_int64(1))),
         "error: sql_text: expected a query node (kind 100)"},
        {query(one(), qx_list(0), qx_list(2, K(77), nullptr)),
         "error: sql_text: node kind 77 cannot stand in a condition"},
        {query(one(), qx_list(0), qx_list(2, S("x"), nullptr)),
         "error: sql_text: an array that is no node cannot stand in a condition"},
        {query(one(), qx_list(0), qx_box_bytes("\1\2\3\4", 4, QX_TAG_INT32_VECTOR)),
         "error: sql_text: a value of type INTEGER_VECTOR cannot stand in a query"},
        {query(one(), qx_list(0), qx_box_double(std::numeric_limits<double>::infinity())),
         "error: sql_text: a number that is not finite has no SQL literal"},
    };
    for (auto &c : cases) EXPECT_EQ(compile(c.tree), c.result);

    // Deep hand-built trees end in an error, not a stack overflow: a long chain
    // needs no parentheses but is deep, nested prefixes fill SQLite's parser stack.
    qx_value cond = qx_box_int64(1);
    for (int i = 0; i < 1000; ++i) cond = qx_list(4, K(QX_NODE_AND), cond, qx_box_int64(1), nullptr);
    EXPECT_EQ(compile(query(one(), qx_list(0), cond)), "error: sql_text: tree nested too deeply");
    cond = qx_box_int64(1);
    for (int i = 0; i < 1000; ++i) cond = qx_list(2, K(QX_NODE_NOT), cond);
    EXPECT_EQ(compile(query(one(), qx_list(0), cond)),
              "error: sql_text: the query nests too deeply for SQLite's parser");
}

// A rewrite for sql_rewrite: adds "K >= bound" to the query's where condition.
qx_value at_least(qx_state *qst, qx_value *, qx_value *args) {
    int32_t bound = qx_bif_arg_int32(qst, args, 0, "at_least");
    qx_value tree = qx_bif_arg(qst, args, 1, "at_least");
    if (qx_tag_of(tree) != QX_TAG_ARRAY || qx_slot_count(tree) < 5) return nullptr;
    qx_value fw = qx_slots(tree)[4];
    qx_value test = qx_list(4, K(QX_NODE_GE), qx_list(3, K(QX_NODE_COLUMN), nullptr, S("K")),
                            qx_box_int64(bound), nullptr);
    qx_value old = qx_slots(fw)[2];
    qx_slots(fw)[2] = old ? qx_list(4, K(QX_NODE_AND), old, test, nullptr) : test;
    return qx_box_int64(99);  // ignored
}

class QueryFunctions : public testing::Test {
protected:
    qx_client *client = nullptr;

    void SetUp() override {
        qx_bif_define("at_least", at_least);  // before the connection installs the built-ins
        client = qx_client_open(":memory:", nullptr);
        ASSERT_NE(client, nullptr);
        qx_value err = qx_client_exec(
            client,
            "create table T(K, V); insert into T values (1, 'one'), (2, 'two'), (3, 'three');"
            "create table U(K); insert into U values (2), (3)");
        ASSERT_EQ(err, nullptr) << qx_error_message(err);
    }
    void TearDown() override { qx_client_close(client); }

    // The first column of the one row `sql` gives, as text; or "error: ...".
    std::string value(const char *sql) {
        qx_value err = nullptr;
        qx_statement *s = qx_sql_compile(sql, client, &err, 0);
        qx_cursor *c = nullptr;
        if (s) err = qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr);
        std::string out;
        if (c && qx_cursor_next(c) && !c->error) {
            qx_value v = qx_cursor_column(c, 0);
            out = qx_tag_of(v) == QX_TAG_STRING ? text_of(v) : std::to_string(qx_unbox(v));
        } else if (c && c->error) {
            out = std::string("error: ") + qx_error_state(c->error) + " " + qx_error_message(c->error);
        } else if (err) {
            out = std::string("error: ") + qx_error_state(err) + " " + qx_error_message(err);
        }
        qx_free_tree(err);
        qx_cursor_free(c);
        qx_sql_free(s);
        return out;
    }
};

TEST_F(QueryFunctions, RoundTripInSql) {
    struct Case {
        const char *sql;
        const char *result;
    } cases[] = {
        {"select sql_text(sql_parse('select v from t where k = 2'))",
         "SELECT V FROM T WHERE K = 2"},
        {"select sql_text('select v from t')", "SELECT V FROM T"},
        // Compiled text runs: the correlated subquery keeps rows 2 and 3.
        {"select sql_run('select v from t where exists (select * from u where u.k = t.k)') = "
         "sql_run('select v from t where k > 1')",
         "1"},
        {"select sql_text(sql_rewrite('at_least', 2, 'select v from t where v <> ''three'''))",
         "SELECT V FROM T WHERE V <> 'three' AND K >= 2"},
        {"select sql_text(sql_rewrite('at_least', 3, sql_parse('select v from t')))",
         "SELECT V FROM T WHERE K >= 3"},
        {"select sql_parse(1)", "error: 22023 sql_parse expects text, not INTEGER"},
        {"select sql_text(5)", "error: 22023 sql_text expects a query tree or its text, not INTEGER"},
        {"select sql_text('select')", "error: 42000 sql_parse: expected a column or a literal near end of text"},
        {"select sql_run('select nothing from t')", "error: 42000 no such column: NOTHING"},
        {"select sql_rewrite('no_such_builtin', 'select 1')", "error: 42000 sql_rewrite: no built-in named no_such_builtin"},
        {"select sql_rewrite('at_least', 'select 1')", "error: 22023 at_least: argument 1 must be an integer, not ARRAY"},
        {"select sql_rewrite('at_least')", "error: 07001 sql_rewrite: missing argument 2 (1 given)"},
    };
    for (const auto &c : cases) EXPECT_EQ(value(c.sql), c.result) << c.sql;
}

// Whatever the parser accepts, SQLite reads: long chains and deep nesting either
// run through sql_run or are refused by sql_parse, never by SQLite's parser.
TEST_F(QueryFunctions, EveryParsedQueryRunsHoweverDeep) {
    auto repeat = [](const std::string &s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    std::string ands = "select count(*) from t where k > 0";
    for (int i = 0; i < 98; ++i) ands += " and k < " + std::to_string(10 + i);
    EXPECT_EQ(value(("select sql_run('" + ands + "')").c_str()), value("select sql_run('select 3')"));
    EXPECT_EQ(value(("select sql_run('select 1 where " + repeat("not ", 50) + "0')").c_str()),
              value("select sql_run('select 1')"));

    struct Shape {
        std::string open, close;
    } shapes[] = {
        {"not ", ""},
        {"not (k = 1 or ", ")"},
        {"k in (1, ", ")"},
        {"abs(1 + ", ")"},
        {"k = 2 and exists (select 1 from u where ", ")"},
        {"k in (select k from u where ", ")"},
        {"-(1 + ", ") < 0"},
    };
    for (const Shape &s : shapes) {
        int accepted = 0;
        for (int n = 1; n <= 100; ++n) {
            std::string sql = "select k from t where " + repeat(s.open, n) + "1" + repeat(s.close, n);
            qx_value err = nullptr;
            qx_value tree = qx_query_parse(sql.c_str(), &err);
            if (!tree) {
                EXPECT_STREQ(qx_error_message(err), "sql_parse: the query nests too deeply for SQLite's parser")
                    << sql;
                qx_free_tree(err);
                break;
            }
            qx_free_tree(tree);
            accepted = n;
            std::string run = value(("select sql_run('" + sql + "') is not null").c_str());
            ASSERT_EQ(run, "1") << sql;
        }
        EXPECT_GE(accepted, 5) << s.open;
        EXPECT_LT(accepted, 100) << s.open;
    }
}

TEST_F(QueryFunctions, RunGivesRowsOfColumnCopies) {
    qx_value rows = nullptr;
    qx_statement *s = qx_sql_compile("select sql_run('select k, v from t where k >= 2')", client,
                                     nullptr, 0);
    qx_cursor *c = nullptr;
    ASSERT_EQ(qx_sql_exec(s, client, &c, nullptr, nullptr, nullptr), nullptr);
    ASSERT_TRUE(qx_cursor_next(c));
    rows = qx_copy(qx_cursor_column(c, 0));
    qx_cursor_free(c);
    qx_sql_free(s);
    ASSERT_EQ(qx_tag_of(rows), QX_TAG_ARRAY);
    ASSERT_EQ(qx_slot_count(rows), 2u);
    const char *names[] = {"two", "three"};
    for (size_t i = 0; i < 2; ++i) {
        qx_value row = qx_slots(rows)[i];
        ASSERT_EQ(qx_slot_count(row), 2u);
        EXPECT_EQ(qx_unbox(qx_slots(row)[0]), static_cast<int64_t>(i + 2));
        EXPECT_EQ(text_of(qx_slots(row)[1]), names[i]);
    }
    qx_free_tree(rows);
}

}  // namespace
