// need_to_know on parse trees, called in-process as the server calls it: the
// test it adds for each report table, node by node, and the trees it must leave
// alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtins.h"
#include "quendrix/query_tree.h"

namespace {

qx_value K(int kind) { return qx_box_int64(kind); }
qx_value S(const char *text) { return qx_box_string(text); }

std::string text_of(qx_value v) {
    return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_STRING ? static_cast<const char *>(v)
                                                             : "<not text>";
}

// Whether two values are the same in tag, length and contents, slots included.
bool same(qx_value a, qx_value b) {
    if (qx_is_inline(a) || qx_is_inline(b)) return a == b;
    if (qx_tag_of(a) != qx_tag_of(b) || qx_length_of(a) != qx_length_of(b)) return false;
    if (!qx_tag_holds_values(qx_tag_of(a))) return std::memcmp(a, b, qx_length_of(a)) == 0;
    for (size_t i = 0; i < qx_slot_count(a); ++i)
        if (!same(qx_slots(a)[i], qx_slots(b)[i])) return false;
    return true;
}

qx_value parse(const char *sql) {
    qx_value err = nullptr;
    qx_value tree = qx_query_parse(sql, &err);
    EXPECT_NE(tree, nullptr) << sql << ": " << (err ? qx_error_message(err) : "");
    qx_free_tree(err);
    return tree;
}

// Calls need_to_know(user, tree) as the server would; the tree stays the caller's
// and is changed in place.
void rewrite(int32_t user, qx_value tree) {
    qx_value args = qx_list(2, qx_box_int64(user), tree);
    qx_value err = nullptr;
    qx_value result = qx_bif_call(need_to_know, "need_to_know", args, &err);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(err, nullptr) << qx_error_message(err);
    qx_slots(args)[1] = nullptr;  // hand the tree back before freeing
    qx_free_tree(args);
    qx_free_tree(result);
    qx_free_tree(err);
}

qx_value where_of(qx_value query) { return qx_slots(qx_slots(query)[4])[2]; }

// Checks, slot by slot, that `test` is the existence test for `qualifier` and `user`.
void expect_test(qx_value test, const char *qualifier, int64_t user) {
    SCOPED_TRACE(qualifier);
    ASSERT_EQ(qx_tag_of(test), QX_TAG_ARRAY);
    ASSERT_EQ(qx_slot_count(test), 5u);
    qx_value *t = qx_slots(test);
    EXPECT_EQ(t[0], K(QX_NODE_EXISTS));
    EXPECT_EQ(t[1], nullptr);
    EXPECT_EQ(t[3], nullptr);
    EXPECT_EQ(t[4], nullptr);

    ASSERT_EQ(qx_slot_count(t[2]), 5u);
    qx_value *q = qx_slots(t[2]);
    EXPECT_EQ(q[0], K(QX_NODE_QUERY));
    EXPECT_EQ(q[1], nullptr);
    ASSERT_EQ(qx_slot_count(q[2]), 1u);  // the selection list: integer 1
    EXPECT_EQ(qx_slots(q[2])[0], K(1));
    EXPECT_EQ(q[3], nullptr);

    ASSERT_EQ(qx_slot_count(q[4]), 9u);
    qx_value *fw = qx_slots(q[4]);
    EXPECT_EQ(fw[0], K(QX_NODE_FROM_WHERE));
    for (int i = 3; i < 9; ++i) EXPECT_EQ(fw[i], nullptr);
    ASSERT_EQ(qx_slot_count(fw[1]), 1u);
    qx_value entry = qx_slots(fw[1])[0];
    ASSERT_EQ(qx_slot_count(entry), 3u);
    EXPECT_EQ(qx_slots(entry)[0], K(QX_NODE_FROM_ENTRY));
    EXPECT_EQ(qx_slots(entry)[2], nullptr);
    qx_value table = qx_slots(entry)[1];
    ASSERT_EQ(qx_slot_count(table), 5u);
    EXPECT_EQ(qx_slots(table)[0], K(QX_NODE_TABLE));
    EXPECT_EQ(text_of(qx_slots(table)[1]), "DB.DBA.NEED_TO_KNOW");
    for (int i = 2; i < 5; ++i) EXPECT_EQ(qx_slots(table)[i], nullptr);

    ASSERT_EQ(qx_slot_count(fw[2]), 4u);
    qx_value *cond = qx_slots(fw[2]);
    EXPECT_EQ(cond[0], K(QX_NODE_AND));
    EXPECT_EQ(cond[3], nullptr);
    qx_value tests[2] = {cond[1], cond[2]};
    for (qx_value c : tests) {
        ASSERT_EQ(qx_slot_count(c), 4u);
        EXPECT_EQ(qx_slots(c)[0], K(QX_NODE_EQ));
        EXPECT_EQ(qx_slots(c)[3], nullptr);
        qx_value left = qx_slots(c)[1];
        ASSERT_EQ(qx_slot_count(left), 3u);
        EXPECT_EQ(qx_slots(left)[0], K(QX_NODE_COLUMN));
        EXPECT_EQ(qx_slots(left)[1], nullptr);
    }
    EXPECT_EQ(text_of(qx_slots(qx_slots(tests[0])[1])[2]), "NK_CLASS");
    qx_value r_class = qx_slots(tests[0])[2];
    ASSERT_EQ(qx_slot_count(r_class), 3u);
    EXPECT_EQ(qx_slots(r_class)[0], K(QX_NODE_COLUMN));
    EXPECT_EQ(text_of(qx_slots(r_class)[1]), qualifier);
    EXPECT_EQ(text_of(qx_slots(r_class)[2]), "R_CLASS");
    EXPECT_EQ(text_of(qx_slots(qx_slots(tests[1])[1])[2]), "NK_USER");
    qx_value user_value = qx_slots(tests[1])[2];
    EXPECT_EQ(qx_tag_of(user_value), QX_TAG_INTEGER);
    EXPECT_EQ(qx_unbox(user_value), user);
}

TEST(NeedToKnow, QueryWithoutWhereGetsTheExistenceTestAsItsWhole) {
    qx_value tree = parse("select * from DB.DBA.REPORTS");
    rewrite(7, tree);
    expect_test(where_of(tree), "DB.DBA.REPORTS", 7);  // qualified by the name as held
    qx_value err = nullptr;
    qx_value text = qx_query_text(tree, &err);
    EXPECT_EQ(text_of(text),
              "SELECT * FROM `DB.DBA.REPORTS` WHERE EXISTS (SELECT 1 FROM `DB.DBA.NEED_TO_KNOW` "
              "WHERE NK_CLASS = `DB.DBA.REPORTS`.R_CLASS AND NK_USER = 7)");
    qx_free_tree(text);
    qx_free_tree(err);
    qx_free_tree(tree);
}

TEST(NeedToKnow, ExistingWhereBecomesTheLeftOfAConjunction) {
    qx_value tree = parse("select * from SALES_REPORT R where R.YEAR = 2026");
    qx_value old = where_of(tree);
    rewrite(-5, tree);  // the user number is sign-extended
    qx_value where = where_of(tree);
    ASSERT_EQ(qx_slot_count(where), 4u);
    EXPECT_EQ(qx_slots(where)[0], K(QX_NODE_AND));
    EXPECT_EQ(qx_slots(where)[1], old);
    EXPECT_EQ(qx_slots(where)[3], nullptr);
    expect_test(qx_slots(where)[2], "R", -5);  // qualified by the correlation name
    qx_free_tree(tree);
}

TEST(NeedToKnow, EachReportTableOfTheFromListAddsItsTestInOrder) {
    struct Case {
        const char *sql;
        std::vector<const char *> qualifiers;
    } cases[] = {
        {"select * from \"report\", \"Report\", \"monthly_report\", PLAIN", {}},
        {"select * from REPORTS a, PLAIN, X_REPORT_Y", {"A", "X_REPORT_Y"}},
        {"select * from REPORTS a, REPORTS b, REPORTS", {"A", "B", "REPORTS"}},
        {"select * from \"REPORT\" where exists (select * from OTHER_REPORT)", {"REPORT"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sql);
        qx_value tree = parse(c.sql);
        qx_value before = qx_copy(tree);
        rewrite(3, tree);
        if (c.qualifiers.empty()) {
            EXPECT_TRUE(same(tree, before));
        }
        // Tests are ANDed on one after another: the last is the rightmost.
        qx_value where = where_of(tree);
        for (size_t i = c.qualifiers.size(); i-- > 1;) {
            ASSERT_EQ(qx_slots(where)[0], K(QX_NODE_AND));
            expect_test(qx_slots(where)[2], c.qualifiers[i], 3);
            where = qx_slots(where)[1];
        }
        if (c.qualifiers.size() == 1 && qx_slots(where)[0] == K(QX_NODE_AND)) {
            // An old condition stays on the left.
            EXPECT_TRUE(same(qx_slots(where)[1], where_of(before)));
            where = qx_slots(where)[2];
        }
        if (!c.qualifiers.empty()) expect_test(where, c.qualifiers[0], 3);
        qx_free_tree(before);
        qx_free_tree(tree);
    }
}

TEST(NeedToKnow, TablesDirectAndBehindFromEntriesAreRestrictedAndOddEntriesSkipped) {
    // A from list built by hand: an inline entry, a short from entry, a table node
    // standing directly, a table with no text name, a nested list, and a table
    // behind a from entry.
    qx_value from = qx_list(6, qx_box_int64(5), qx_list(1, K(QX_NODE_FROM_ENTRY)),
                            qx_list(5, K(QX_NODE_TABLE), S("REPORT_A"), nullptr, nullptr, nullptr),
                            qx_list(3, K(QX_NODE_TABLE), qx_box_int64(70000), S("REPORT")),
                            qx_list(1, qx_list(2, K(QX_NODE_TABLE), S("REPORT_NESTED"))),
                            qx_list(3, K(QX_NODE_FROM_ENTRY),
                                    qx_list(3, K(QX_NODE_TABLE), S("REPORT_B"), S("B")), nullptr));
    qx_value tree = qx_list(5, K(QX_NODE_QUERY), nullptr, qx_list(1, qx_box_int64(1)), nullptr,
                            qx_list(3, K(QX_NODE_FROM_WHERE), from, nullptr));
    rewrite(1, tree);
    qx_value where = where_of(tree);
    ASSERT_EQ(qx_slot_count(where), 4u);
    ASSERT_EQ(qx_slots(where)[0], K(QX_NODE_AND));
    expect_test(qx_slots(where)[1], "REPORT_A", 1);
    expect_test(qx_slots(where)[2], "B", 1);
    qx_free_tree(tree);
}

TEST(NeedToKnow, ArgumentsThatAreNoQueryTreeChangeNothing) {
    auto query = [](qx_value from_where) {
        return qx_list(5, K(QX_NODE_QUERY), nullptr, qx_list(1, qx_box_int64(1)), nullptr, from_where);
    };
    auto report_list = [] {
        return qx_list(1, qx_list(3, K(QX_NODE_TABLE), S("REPORT"), nullptr));
    };
    qx_value cases[] = {
        qx_box_int64(5),
        qx_box_int64(70000),
        S("select * from REPORT"),
        qx_alloc(0, QX_TAG_NULL),
        qx_list(0),
        qx_list(5, K(101), nullptr, nullptr, nullptr,
                qx_list(3, K(QX_NODE_FROM_WHERE), report_list(), nullptr)),
        qx_list(1, K(QX_NODE_QUERY)),
        qx_list(4, K(QX_NODE_QUERY), nullptr, nullptr, nullptr),  // no slot 4
        query(nullptr),                                            // no from-where node
        query(S("from-where")),
        query(qx_list(2, K(QX_NODE_FROM_WHERE), report_list())),  // no slot 2 to write
        query(qx_list(3, K(QX_NODE_FROM_WHERE), S("REPORT"), nullptr)),
        query(qx_list(3, K(QX_NODE_FROM_WHERE), nullptr, nullptr)),
        query(qx_list(3, K(QX_NODE_FROM_WHERE),
                      qx_list(2, qx_list(1, K(QX_NODE_TABLE)),
                              qx_list(2, K(QX_NODE_FROM_ENTRY), S("REPORT"))),
                      nullptr)),
        query(qx_list(3, K(QX_NODE_FROM_WHERE),
                      qx_list(1, qx_list(3, K(QX_NODE_TABLE), S("REPORT"), qx_box_int64(9))),
                      nullptr)),
        query(qx_list(3, K(QX_NODE_FROM_WHERE),
                      qx_list(1, qx_list(2, K(QX_NODE_TABLE),
                                         qx_box_bytes("REPORT", 6, QX_TAG_BINARY))),
                      nullptr)),
    };
    int n = 0;
    for (qx_value tree : cases) {
        qx_value before = qx_copy(tree);
        rewrite(2, tree);
        EXPECT_TRUE(same(tree, before)) << "case " << n;
        qx_free_tree(before);
        qx_free_tree(tree);
        ++n;
    }
}

TEST(NeedToKnow, HelpersJoinConditionsAndRefuseShortFromWhereNodes) {
    qx_value a = S("a"), b = S("b");
    EXPECT_EQ(and_conditions(nullptr, nullptr), nullptr);
    EXPECT_EQ(and_conditions(a, nullptr), a);
    EXPECT_EQ(and_conditions(nullptr, b), b);
    qx_value both = and_conditions(a, b);
    ASSERT_EQ(qx_slot_count(both), 4u);
    EXPECT_EQ(qx_slots(both)[0], K(QX_NODE_AND));
    EXPECT_EQ(qx_slots(both)[1], a);
    EXPECT_EQ(qx_slots(both)[2], b);
    EXPECT_EQ(qx_slots(both)[3], nullptr);
    qx_free_tree(both);

    qx_value short_node = qx_list(2, K(QX_NODE_FROM_WHERE), nullptr);
    restrict_to_need_to_know(short_node, "R", 1);
    EXPECT_EQ(qx_slot_count(short_node), 2u);
    EXPECT_EQ(qx_slots(short_node)[1], nullptr);
    qx_free_tree(short_node);

    qx_value fw = qx_list(3, K(QX_NODE_FROM_WHERE), nullptr, nullptr);
    restrict_to_need_to_know(fw, "Q", 70000);
    expect_test(qx_slots(fw)[2], "Q", 70000);
    qx_free_tree(fw);
}

}  // namespace
