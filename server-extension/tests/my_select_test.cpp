// my_select in-process, as the server calls it, on a private database whose
// catalogue the test controls. Counts and rows that disagree (the catalogue
// changing between the two statements) are staged by substituting the
// statements my_select compiles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builtins.h"

namespace {

const char kCount[] = "select count (*) from DB.DBA.SYS_KEYS";
const char kRows[] =
    "select  KEY_TABLE,  KEY_NAME,  KEY_ID,  KEY_N_SIGNIFICANT,  KEY_CLUSTER_ON_ID,  "
    "KEY_IS_MAIN,  KEY_IS_OBJECT_ID,  KEY_IS_UNIQUE,  KEY_MIGRATE_TO,  KEY_SUPER_ID,  "
    "KEY_DECL_PARTS  from DB.DBA.SYS_KEYS";

// Eleven columns per row, the first naming the row; the fifth row's last column
// fails when it is computed (abs of the smallest 64-bit integer).
const char kFiveRows[] =
    "select column1, 'k', 1, 1, 1, 1, 0, 1, NULL, 1, abs(column2) from (values "
    "('r0', 1), ('r1', 1), ('r2', 1), ('r3', 1), ('r4', -9223372036854775808))";

std::string text_of(qx_value v) {
    return qx_tag_of(v) == QX_TAG_STRING ? static_cast<const char *>(v) : "<not text>";
}

class MySelect : public testing::Test {
protected:
    qx_client *client = nullptr;
    qx_value result = nullptr;
    qx_value error = nullptr;

    void SetUp() override {
        client = qx_client_open(":memory:", nullptr);
        ASSERT_NE(client, nullptr);
    }
    void TearDown() override {
        qx_test_substitute_statement(nullptr, nullptr);
        qx_free_tree(result);
        qx_free_tree(error);
        qx_client_close(client);
    }

    void exec(const char *sql) {
        qx_value err = qx_client_exec(client, sql);
        ASSERT_EQ(err, nullptr) << qx_error_message(err);
    }

    void call() {
        qx_free_tree(result);
        qx_free_tree(error);
        error = nullptr;
        qx_value args = qx_alloc(0, QX_TAG_ARRAY);
        result = qx_bif_call_on(client, my_select, "my_select", args, &error);
        qx_free(args);
    }

    // KEY_TABLE of each row slot, "-" for an empty slot.
    std::vector<std::string> first_columns() {
        std::vector<std::string> out;
        for (size_t i = 0; i < qx_slot_count(result); ++i) {
            qx_value row = qx_slots(result)[i];
            out.push_back(row ? text_of(qx_slots(row)[0]) : "-");
        }
        return out;
    }
};

TEST_F(MySelect, EmptyCatalogueGivesAnEmptyArrayAfterRunningTheRowStatement) {
    call();
    ASSERT_EQ(error, nullptr) << qx_error_message(error);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(qx_tag_of(result), QX_TAG_ARRAY);
    EXPECT_EQ(qx_length_of(result), 0u);

    // With a count of 0 rows are not taken, but the row statement still runs.
    qx_test_substitute_statement(kRows, kFiveRows);
    call();
    EXPECT_EQ(qx_length_of(result), 0u);
    qx_test_substitute_statement(kRows, "select * from NOWHERE");
    call();
    EXPECT_EQ(result, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(qx_error_message(error), "no such table: NOWHERE");
}

TEST_F(MySelect, RowsAreCopiesOfTheCatalogueThatOutliveItsStatements) {
    exec("create table ORDERS(ID primary key, DAY); create index ORDERS_DAY on ORDERS(DAY)");
    call();
    ASSERT_EQ(error, nullptr) << qx_error_message(error);
    // Change the catalogue afterwards: the result keeps what it copied.
    exec("drop table ORDERS");
    ASSERT_EQ(qx_slot_count(result), 3u);
    const char *names[] = {"ORDERS", "sqlite_autoindex_ORDERS_1", "ORDERS_DAY"};
    for (size_t i = 0; i < 3; ++i) {
        qx_value row = qx_slots(result)[i];
        ASSERT_EQ(qx_tag_of(row), QX_TAG_ARRAY);
        ASSERT_EQ(qx_length_of(row), 11 * sizeof(qx_value));
        EXPECT_EQ(text_of(qx_slots(row)[0]), "ORDERS");
        EXPECT_EQ(text_of(qx_slots(row)[1]), names[i]);
        EXPECT_EQ(qx_unbox(qx_slots(row)[2]), static_cast<int64_t>(i + 1));  // KEY_ID
        EXPECT_EQ(qx_unbox(qx_slots(row)[5]), i == 0 ? 1 : 0);               // KEY_IS_MAIN
        EXPECT_EQ(qx_tag_of(qx_slots(row)[8]), QX_TAG_NULL);                 // KEY_MIGRATE_TO
        EXPECT_EQ(qx_unbox(qx_slots(row)[4]), 1);  // KEY_CLUSTER_ON_ID: the table's key
    }
}

TEST_F(MySelect, TheCountDecidesHowManyRowsAreTaken) {
    const std::string three_rows = "select * from (" + std::string(kFiveRows) + ") limit 3";
    struct Case {
        const char *count_statement;
        const char *row_statement;
        std::vector<std::string> rows;
    } cases[] = {
        // More rows than counted: the rest are not read, so the failing fifth
        // row never counts.
        {"select 2", kFiveRows, {"r0", "r1"}},
        {"select 4", kFiveRows, {"r0", "r1", "r2", "r3"}},
        // Fewer rows than counted: the remaining slots stay empty.
        {"select 5", three_rows.c_str(), {"r0", "r1", "r2", "-", "-"}},
        // Several counting rows: the last one decides.
        {"values (9), (1)", three_rows.c_str(), {"r0"}},
        // No counting row: the catalogue counts as empty.
        {"select 5 where 0", three_rows.c_str(), {}},
    };
    for (const auto &c : cases) {
        qx_test_substitute_statement(kCount, c.count_statement);
        qx_test_substitute_statement(kRows, c.row_statement);
        call();
        ASSERT_EQ(error, nullptr) << c.count_statement << ": " << qx_error_message(error);
        EXPECT_EQ(first_columns(), c.rows) << c.count_statement;
    }
}

TEST_F(MySelect, FailuresComeBackInTheErrorSlotWithNothingReturned) {
    struct Case {
        const char *count_statement;  // null: the real one
        const char *row_statement;
        const char *state;
        const char *message_part;
    } cases[] = {
        {"select count (*) from NO_SUCH_TABLE", nullptr, "42000", "no such table: NO_SUCH_TABLE"},
        {"select abs(-9223372036854775808)", nullptr, "42000", "integer overflow"},
        // An error met after the first counting row.
        {"values (2), (abs(-9223372036854775808))", nullptr, "42000", "integer overflow"},
        {"select -1", nullptr, "22003", "my_select: the catalogue count -1 is negative"},
        {"select 5", "select * from NOWHERE", "42000", "no such table: NOWHERE"},
        // The failing fifth row is met while the fourth is read: the partial
        // result is freed.
        {"select 5", kFiveRows, "42000", "integer overflow"},
        {"select 2097152", nullptr, "54000", "exceeds the server's limit"},
    };
    for (const auto &c : cases) {
        qx_test_substitute_statement(nullptr, nullptr);
        if (c.count_statement) qx_test_substitute_statement(kCount, c.count_statement);
        if (c.row_statement) qx_test_substitute_statement(kRows, c.row_statement);
        call();
        EXPECT_EQ(result, nullptr) << c.count_statement;
        ASSERT_NE(error, nullptr) << c.count_statement;
        EXPECT_STREQ(qx_error_state(error), c.state) << c.count_statement;
        EXPECT_NE(std::string(qx_error_message(error)).find(c.message_part), std::string::npos)
            << qx_error_message(error);
    }

    // Without a client connection nothing can be compiled.
    qx_test_substitute_statement(nullptr, nullptr);
    qx_value args = qx_alloc(0, QX_TAG_ARRAY);
    qx_value err = nullptr;
    EXPECT_EQ(qx_bif_call(my_select, "my_select", args, &err), nullptr);
    EXPECT_STREQ(qx_error_state(err), "08003");
    qx_free_tree(err);
    qx_free(args);
}

TEST_F(MySelect, StatementThatCompilesToNothingEndsTheCallWithoutAnError) {
    // After the counting statement the result is still null.
    qx_test_substitute_statement(kCount, "-- nothing");
    call();
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(result, nullptr);
    // After the row statement it is the array of empty slots.
    qx_test_substitute_statement(kCount, "select 2");
    qx_test_substitute_statement(kRows, "   ");
    call();
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(first_columns(), (std::vector<std::string>{"-", "-"}));
}

}  // namespace
