// call_srv and n_range_bif through SQL in the real quendrix program, including
// the failures that the server's fault settings provoke and the memory that a
// long stream of result rows takes.
#include <gtest/gtest.h>
#include <sys/resource.h>

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

TEST_F(BuiltinsSql, RangeRows) {
    const SqlCase cases[] = {
        {"select n_range_bif(NULL, NULL)", "0|0\n1|2\n2|4\n3|6\n4|8\n5|10\n6|12\n7|14\n8|16\n9|18\n",
         ""},
        {"call n_range_bif(5, 5)", "", ""},
        {"call n_range_bif(7, 3)", "", ""},
        {"select n_range_bif(-2, 1)", "-2|-4\n-1|-2\n0|0\n", ""},
        {"select n_range_bif(NULL, 3)", "0|0\n1|2\n2|4\n", ""},
        {"select n_range_bif(1073741824, 1073741826)", "1073741824|-2147483648\n1073741825|-2147483646\n",
         ""},
        {"select n_range_bif(-1073741825, -1073741824)", "-1073741825|2147483646\n", ""},
        // The last representable i ends the range without overflowing it.
        {"select n_range_bif(2147483646, 2147483647)", "2147483646|-4\n", ""},
        // Bounds are the low 32 bits of their integers.
        {"select n_range_bif(4294967296, 4294967298)", "0|0\n1|2\n", ""},
        {"select n_range_bif(lo, lo + 1) from (select 3 as lo union all select 8) order by 1",
         "3|6\n8|16\n", ""},
        {"select n_range_bif('a', 1)", "", "*** Error 42000: Bad arg 1 for n_rage_bif\n"},
        {"select n_range_bif(1.5, 1)", "", "*** Error 42000: Bad arg 1 for n_rage_bif\n"},
        {"select n_range_bif(my_vector(1), NULL)", "", "*** Error 42000: Bad arg 1 for n_rage_bif\n"},
        {"select n_range_bif(1, 'b')", "", "*** Error 42000: Bad arg 2 for n_range_bif\n"},
        {"select n_range_bif(NULL, 2.5)", "", "*** Error 42000: Bad arg 2 for n_range_bif\n"},
        {"select n_range_bif(x'00', 'b')", "", "*** Error 42000: Bad arg 1 for n_rage_bif\n"},
        {"select n_range_bif(1)", "", "*** Error 07001: n_range_bif: missing argument 2 (1 given)\n"},
        // An extra argument is refused before any row goes out.
        {"select n_range_bif(0, 3, 'x')", "",
         "*** Error 07001: n_range_bif: too many arguments (3 given, 2 expected)\n"},
    };
    for (const auto &c : cases) check(c);
}

// Runs quendrix with standard output to /dev/null; its peak resident set in KiB.
long peak_memory_kib(const std::string &db, const std::string &statement) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0) env.push_back(*e);
    // The address sanitizer's quarantine would keep every freed value for a while.
    env.push_back("ASAN_OPTIONS=quarantine_size_mb=1:detect_leaks=0");
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string a0 = "quendrix", a1 = "--database", a2 = db, a3 = "--execute", a4 = statement;
    char *argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], &a4[0], nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        execve(kQuendrix.c_str(), argv, envp.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

TEST_F(BuiltinsSql, RangeRowsStreamWithoutGrowingMemory) {
    long few = peak_memory_kib(db, "call n_range_bif(0, 10)");
    long many = peak_memory_kib(db, "call n_range_bif(70000, 3070000)");  // 3 million rows
    ASSERT_GT(few, 0);
    ASSERT_GT(many, 0);
    // Keeping the rows (even only their text, some 50 MB) would show here.
    EXPECT_LT(many - few, 16 * 1024) << few << " KiB for 10 rows, " << many << " for 3 million";
}

}  // namespace
