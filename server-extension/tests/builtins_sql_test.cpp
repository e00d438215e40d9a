// call_srv through SQL in the real quendrix program, including the failures
// that the server's fault settings provoke.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_program.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;

struct SqlCase {
    const char *sql;
    const char *out;  // standard output expected
    const char *err;  // standard error expected
};

class BuiltinsSql : public testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("test.db");

    ProgramRun sql(const std::string &statement) {
        return run_program(kQuendrix, {"quendrix", "--database", db, "--execute", statement});
    }

    void check(const SqlCase &c) {
        ProgramRun r = sql(c.sql);
        EXPECT_EQ(r.out, c.out) << c.sql;
        EXPECT_EQ(r.err, c.err) << c.sql;
        EXPECT_EQ(r.status, *c.err ? 1 : 0) << c.sql;
    }

    // Runs piped statements interactively (errors do not stop the run) with
    // QUENDRIX_TEST_FAULTS set; returns the rows printed and the errors.
    ProgramRun with_faults(const std::string &faults, const std::string &input) {
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) env.push_back(*e);
        env.push_back("QUENDRIX_TEST_FAULTS=" + faults);
        return run_program(kQuendrix, {"quendrix", "--database", db, "--interactive"}, input, "",
                           &env);
    }
};

TEST_F(BuiltinsSql, CallSrvSums) {
    const SqlCase cases[] = {
        {"select call_srv(2, 3)", "5\n", ""},
        {"select call_srv(-7, 2)", "-5\n", ""},
        {"select call_srv(2147483647, 1)", "-2147483648\n", ""},
        {"select call_srv(x, 2 * x) from (select 1 as x union all select 100000) order by 1",
         "3\n300000\n", ""},
        {"select call_srv(2147483648, 1)", "",
         "*** Error 22003: call_srv: argument 1 (2147483648) is out of the 32-bit range\n"},
        {"select call_srv(1)", "", "*** Error 07001: call_srv: missing argument 2 (1 given)\n"},
    };
    for (const auto &c : cases) check(c);
}

TEST_F(BuiltinsSql, CallSrvFailuresAndRetry) {
    const std::string two_calls = "select call_srv(2, 3);\nselect call_srv(4, 5);\n";
    ProgramRun r = with_faults("thread:1", two_calls);
    EXPECT_EQ(r.err, "*** Error .....: Can't start the worker thread\n");
    EXPECT_NE(r.out.find("> 9\n"), std::string::npos) << r.out;  // the second call started one
    EXPECT_EQ(r.out.find("> 5\n"), std::string::npos) << r.out;

    r = with_faults("semaphore:1", two_calls);
    EXPECT_EQ(r.err, "*** Error .....: Error creating a request\n");
    EXPECT_NE(r.out.find("> 9\n"), std::string::npos) << r.out;
}

}  // namespace
