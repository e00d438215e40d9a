// Result rows that built-ins send: how they become a statement's result set in
// the shell, the rules that keep a result set well-formed, and the per-thread
// row receiver for in-process calls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quendrix/server.h"

namespace {

// send_rows(count, width): sends `count` rows; width 1 gives (i), width 2 gives
// (i, 'it''s') and width 3 adds an SQL NULL. Returns 7.
qx_value send_rows(qx_state *qst, qx_value *err, qx_value *args) {
    int32_t count = qx_bif_arg_int32(qst, args, 0, "send_rows");
    int32_t width = qx_bif_arg_int32(qst, args, 1, "send_rows");
    for (int32_t i = 0; i < count && !*err; ++i) {
        qx_value n = qx_box_int64(i * 100000LL), text = qx_box_string("it's"),
                 null = qx_alloc(0, QX_TAG_NULL);
        if (width == 1) qx_result_row(1, n);
        if (width == 2) qx_result_row(2, n, text);
        if (width == 3) qx_result_row(3, n, text, null);
        qx_free(n);
        qx_free(text);
        qx_free(null);
    }
    return qx_box_int64(7);
}

// mixed_rows(): a row of one value, then a row of two.
qx_value mixed_rows(qx_state *, qx_value *, qx_value *) {
    qx_result_row(1, qx_box_int64(1));
    qx_result_row(2, qx_box_int64(1), qx_box_int64(2));
    return nullptr;
}

struct ServerRun {
    int status;
    std::string out, err;
};

class ResultRows : public testing::Test {
protected:
    static void SetUpTestSuite() {
        qx_bif_define("send_rows", send_rows);
        qx_bif_define("mixed_rows", mixed_rows);
    }
    void SetUp() override {
        char dir[] = "/tmp/qx-rows-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        unlink((dir_ + "/t.db").c_str());
        rmdir(dir_.c_str());
    }
    ServerRun sql(const std::string &statements) {
        std::vector<std::string> args = {"srv", "--database", dir_ + "/t.db", "--execute",
                                         statements};
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        char *envp[] = {nullptr};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ServerRun r;
        r.status = qx_server_main(static_cast<int>(args.size()), argv.data(), envp);
        r.out = testing::internal::GetCapturedStdout();
        r.err = testing::internal::GetCapturedStderr();
        return r;
    }
    std::string dir_;
};

TEST_F(ResultRows, SentRowsAreTheStatementsResultSet) {
    const struct {
        const char *sql, *out;
    } cases[] = {
        // The sent rows replace the statement's own row (the returned 7).
        {"select send_rows(2, 3)", "0|it's|NULL\n100000|it's|NULL\n"},
        {"select send_rows(1, 1), 'own', 42", "0\n"},
        // Rows sent while the statement's rows are computed stay in order.
        {"select send_rows(x, 1) from (select 1 as x union all select 2) order by 1", "0\n0\n100000\n"},
        // Sending nothing leaves the statement its own rows; `call` has only sent rows.
        {"select send_rows(0, 1)", "7\n"},
        {"call send_rows(0, 1)", ""},
        {"CALL send_rows(2, 1); select 'after'", "0\n100000\nafter\n"},
        {"  call\tsend_rows(1, 2) ; call send_rows(1, 1)", "0|it's\n0\n"},
    };
    for (const auto &c : cases) {
        ServerRun r = sql(c.sql);
        EXPECT_EQ(r.out, c.out) << c.sql;
        EXPECT_EQ(r.err, "") << c.sql;
        EXPECT_EQ(r.status, 0) << c.sql;
    }
}

TEST_F(ResultRows, RowsThatWouldBreakTheResultSetAreErrors) {
    const struct {
        const char *sql, *out, *err;
    } cases[] = {
        {"select mixed_rows()", "1\n",
         "*** Error 21000: a result row of 2 values in a result set of 1 columns\n"},
        {"select send_rows(1, 1), send_rows(1, 2)", "0\n",
         "*** Error 21000: a result row of 2 values in a result set of 1 columns\n"},
        // An own row went out first: a later sent row cannot join its result set.
        {"select case when x = 2 then send_rows(1, 1) end from (select 1 as x union all select 2)", "NULL\n",
         "*** Error 42000: a built-in cannot send result rows after the statement's own rows\n"},
        {"call no_such_bif(1)", "", "*** Error 42000: no such function: no_such_bif\n"},
    };
    for (const auto &c : cases) {
        ServerRun r = sql(c.sql);
        EXPECT_EQ(r.out, c.out) << c.sql;
        EXPECT_EQ(r.err, c.err) << c.sql;
        EXPECT_EQ(r.status, 1) << c.sql;
    }
}

struct Captured {
    std::vector<std::string> rows;
    bool refuse = false;
};

void capture(void *context, int n, qx_value *values) {
    auto *c = static_cast<Captured *>(context);
    if (c->refuse) {
        qx_sql_error("08006", "no room for rows");
        return;
    }
    std::string row;
    for (int i = 0; i < n; ++i) {
        if (i) row += ',';
        row += qx_tag_of(values[i]) == QX_TAG_STRING ? static_cast<const char *>(values[i])
                                                       : std::to_string(qx_unbox(values[i]));
    }
    c->rows.push_back(row);
}

std::string call_send_rows(int count, qx_value *result) {
    qx_value args = qx_list(2, qx_box_int64(count), qx_box_int64(2));
    qx_value err = nullptr;
    *result = qx_bif_call(send_rows, "send_rows", args, &err);
    qx_free_tree(args);
    std::string e = err ? std::string(qx_error_state(err)) + " " + qx_error_message(err) : "";
    qx_free_tree(err);
    return e;
}

TEST(ResultRowReceiver, InProcessCallsReachTheThreadsReceiverOrFail) {
    qx_value result = nullptr;
    EXPECT_EQ(call_send_rows(1, &result),
              "0A000 result rows cannot be sent here: no client takes them");
    EXPECT_EQ(result, nullptr);

    Captured c;
    qx_set_row_receiver(capture, &c);
    EXPECT_EQ(call_send_rows(2, &result), "");
    EXPECT_EQ(qx_unbox(result), 7);
    EXPECT_EQ(c.rows, (std::vector<std::string>{"0,it's", "100000,it's"}));

    // A refused row is the call's error, and the sender stops at it.
    c.rows.clear();
    c.refuse = true;
    EXPECT_EQ(call_send_rows(3, &result), "08006 no room for rows");
    EXPECT_EQ(result, nullptr);
    qx_set_row_receiver(nullptr, nullptr);
}

}  // namespace
