// The real quendrix program as a client sees it: SQL through --execute, scripts
// and standard input, its exit status, and its errors.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_program.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;

class Quendrix : public testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("test.db");

    ProgramRun sql(const std::vector<std::string> &statements, const std::string &input = "") {
        std::vector<std::string> argv = {"quendrix", "--database", db};
        for (const auto &s : statements) {
            argv.push_back("--execute");
            argv.push_back(s);
        }
        return run_program(kQuendrix, argv, input);
    }
};

struct SqlCase {
    const char *sql;
    const char *out;     // standard output expected
    const char *err;     // standard error expected
};

TEST_F(Quendrix, VectorBuiltinsThroughSql) {
    const SqlCase cases[] = {
        {"select my_aref(my_vector(1, 'x', NULL), 1)", "x\n", ""},
        {"select my_aref(my_vector(1, 'x', NULL), 0), my_aref(my_vector(1, 'x', NULL), 2)",
         "1|NULL\n", ""},
        {"select my_aref(my_vector(7), 0)", "7\n", ""},
        {"select my_vector(), my_vector(1, 'x', NULL)", "[]|[1, 'x', NULL]\n", ""},
        {"select my_aref(my_aref(my_vector(my_vector(1, 'a''b')), 0), 1)", "a'b\n", ""},
        {"select my_aref(my_vector(2.5), 0) * 2, my_aref(my_vector(-70000), 0)", "5.0|-70000\n",
         ""},
        {"select my_aref('abc', 1), my_aref(x'00ff', 1)", "98|255\n", ""},
        {"select my_aref(my_vector(7), 1)", "",
         "*** Error 42000: aref: Bad array subscript (zero-based) 1 for an arg of type ARRAY (193) "
         "and length 1.\n"},
        {"select my_aref(my_vector(7), -1)", "",
         "*** Error 42000: aref: Bad array subscript (zero-based) -1 for an arg of type ARRAY "
         "(193) and length 1.\n"},
        {"select my_aref('abc', 3)", "",
         "*** Error 42000: aref: Bad array subscript (zero-based) 3 for an arg of type VARCHAR "
         "(182) and length 3.\n"},
        {"select my_aref(65536, 0)", "",
         "*** Error 22023: [SR000] my_aref expects a vector, not an arg of type 189.\n"},
        {"select my_aref(5, 1)", "",
         "*** Error 22023: [SR000] my_aref expects a vector, not an arg of type 189.\n"},
        {"select my_aref(5, 2)", "",
         "*** Error 42000: aref: Bad array subscript (zero-based) 2 for an arg of type INTEGER "
         "(189) and length 2.\n"},
        {"select my_aref(NULL, 0)", "",
         "*** Error 42000: aref: Bad array subscript (zero-based) 0 for an arg of type NULL (204) "
         "and length 0.\n"},
        // bad input
        {"select my_aref(my_vector(1))", "", "*** Error 07001: my_aref: missing argument 2 (1 given)\n"},
        {"select my_aref(my_vector(1), 0, 0)", "",
         "*** Error 07001: my_aref: too many arguments (3 given, 2 expected)\n"},
        {"select my_aref(my_vector(1), 'one')", "",
         "*** Error 22023: my_aref: argument 2 must be an integer, not VARCHAR\n"},
        {"select no_such_function(1)", "", "*** Error 42000: no such function: no_such_function\n"},
        // Reals keep a decimal point in every notation, so they never read back as integers.
        {"select 1e16, 2e-10, -3e100, 0.5, 123456.0", "1.0e+16|2.0e-10|-3.0e+100|0.5|123456.0\n", ""},
        {"selec 1", "", "*** Error 42000: near \"selec\": syntax error\n"},
    };
    for (const auto &c : cases) {
        ProgramRun r = sql({c.sql});
        EXPECT_EQ(r.out, c.out) << c.sql;
        EXPECT_EQ(r.err, c.err) << c.sql;
        EXPECT_EQ(r.status, *c.err ? 1 : 0) << c.sql;
    }
}

TEST_F(Quendrix, VectorsSurviveStorageInATable) {
    ProgramRun r = sql({"create table t(v)", "insert into t values (my_vector(1, my_vector('deep')))"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = sql({"select v, my_aref(my_aref(v, 1), 0) from t"});
    EXPECT_EQ(r.out, "[1, ['deep']]|deep\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

// The value BLOB of the integer 7: a user's BLOB with these bytes is still a BLOB.
const std::string kMarkedBlob = "X'FE515856414C0100690700000000000000'";

TEST_F(Quendrix, UserBlobsThatLookLikeValuesStayBlobs) {
    const SqlCase cases[] = {
        {"select my_vector(X'FE515856414C0100690700000000000000')",
         "[X'FE515856414C0100690700000000000000']\n", ""},
        // Lower case, passed between built-ins, taken apart by my_aref.
        {"select x'fe515856414c0100690700000000000000', "
         "my_aref(my_aref(my_vector(x'fe515856414c0100690700000000000000'), 0), 0)",
         "X'FE515856414C0100690700000000000000'|254\n", ""},
        // Inside quotes the text is text, not a BLOB.
        {"select 'X''FE515856414C0100690700000000000000'''",
         "X'FE515856414C0100690700000000000000'\n", ""},
    };
    for (const auto &c : cases) {
        ProgramRun r = sql({c.sql});
        EXPECT_EQ(r.out, c.out) << c.sql;
        EXPECT_EQ(r.err, c.err) << c.sql;
    }
    // Stored beside a real value, each reads back as what it was.
    ProgramRun r = sql({"create table t(k, v)",
                        "insert into t values ('blob', " + kMarkedBlob + "), ('value', my_vector(7))"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = sql({"select k, v, my_aref(v, 0) from t order by k"});
    EXPECT_EQ(r.out, "blob|" + kMarkedBlob + "|254\nvalue|[7]|7\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

// Builds a vector D deep around 7 and stores it; then reads it back and unwraps
// D - 1 levels. Depth 1000 is the limit: one more is refused when it is made.
TEST_F(Quendrix, DeepVectorsReadBackOrAreRefusedWhenMade) {
    auto store = [&](int depth) {
        return sql({"create table if not exists t(d, v)",
                    "with recursive n(d, v) as (select 1, my_vector(7) union all "
                    "select d + 1, my_vector(v) from n where d < " + std::to_string(depth) +
                    ") insert into t select d, v from n where d = " + std::to_string(depth)});
    };
    ProgramRun r = store(1000);
    ASSERT_EQ(r.status, 0) << r.err;
    r = sql({"with recursive u(d, v) as (select 1, v from t where d = 1000 union all "
             "select d + 1, my_aref(v, 0) from u where d < 1000) select d, v from u where d = 1000"});
    EXPECT_EQ(r.out, "1000|[7]\n");
    EXPECT_EQ(r.status, 0) << r.err;

    r = store(1001);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "*** Error 54000: A vector nested more than 1000 deep exceeds the "
                     "server's limit\n");
    EXPECT_EQ(sql({"select count(*) from t"}).out, "1\n");
}

TEST_F(Quendrix, MyVectorTakesAtMost127Arguments) {
    std::string args = "0";
    for (int i = 1; i < 127; ++i) args += ", " + std::to_string(i);
    ProgramRun r = sql({"select my_aref(my_vector(" + args + "), 126)"});
    EXPECT_EQ(r.out, "126\n");
    EXPECT_EQ(r.status, 0) << r.err;
    r = sql({"select my_vector(" + args + ", 127)"});
    EXPECT_EQ(r.err, "*** Error 54023: my_vector takes at most 127 arguments\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Quendrix, EveryArgumentReachesTheServerUnchangedAndInOrder) {
    std::vector<std::string> env = {"QX_PROBE=from envp"};
    ProgramRun r = run_program(kQuendrix,
                               {"argument zero", "--database", db, "--execute",
                                "select server_argv()", "--execute=select server_env('QX_PROBE')"},
                               "", "", &env);
    EXPECT_EQ(r.out, "['argument zero', '--database', '" + db +
                         "', '--execute', 'select server_argv()', '--execute=select "
                         "server_env(''QX_PROBE'')']\nfrom envp\n");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_program(kQuendrix, {"argument zero", "--bogus"});
    EXPECT_EQ(r.err, "argument zero: unknown option '--bogus'\n"
                     "Try 'argument zero --help' for more information.\n");
}

TEST_F(Quendrix, ExitStatusIsTheServers) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out_contains;
    } cases[] = {
        {{"quendrix", "--database", db, "--execute", "select 1"}, 0, "1\n"},
        {{"quendrix", "--database", db, "--execute", "select nothing_here()"}, 1, ""},
        {{"quendrix", "--database"}, 2, ""},
        {{"quendrix", "--frobnicate"}, 2, ""},
        // An empty address is no address: refused, not ignored.
        {{"quendrix", "--database", db, "--listen", ""}, 2, ""},
        {{"quendrix", "--database", db, "--listen="}, 2, ""},
        {{"quendrix", "--help"}, 0, "Usage: quendrix [--database FILE] [--execute SQL]..."},
        {{"quendrix", "--version"}, 0, "model Sample Interface"},
        // The rewrite must name a built-in; the shell (an administrator) is not restricted.
        {{"quendrix", "--database", db, "--query-rewrite", "need_to_know", "-e", "select 2"}, 0, "2\n"},
        {{"quendrix", "--database", db, "--query-rewrite=no_such_builtin", "-e", "select 1"}, 2, ""},
        {{"quendrix", "--database", db, "--query-rewrite", "", "-e", "select 1"}, 2, ""},
    };
    for (const auto &c : cases) {
        ProgramRun r = run_program(kQuendrix, c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
        EXPECT_NE(r.out.find(c.out_contains), std::string::npos) << r.out;
    }
}

TEST_F(Quendrix, DefaultDatabaseIsCreatedInTheWorkingDirectory) {
    ProgramRun r = run_program(kQuendrix, {"quendrix", "--execute", "create table t(a)"}, "",
                               dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    EXPECT_EQ(stat(dir.file("quendrix.db").c_str(), &st), 0);
}

TEST_F(Quendrix, DatabasesThatCannotBeOpenedAreClearErrors) {
    write_file(dir.file("not-a-db"), "this is plain text, not a database file\n");
    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {
        {dir.path(), "unable to open database file"},
        {dir.file("missing/sub/dir.db"), "unable to open database file"},
        {dir.file("not-a-db"), "file is not a database"},
    };
    for (const auto &c : cases) {
        ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", c.path, "-e", "select 1"});
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "*** Error 08001: cannot open database \"" + c.path + "\": " + c.reason + "\n");
    }
}

TEST_F(Quendrix, ReadOnlyDatabaseRefusesWritesAndKeepsItsData) {
    ASSERT_EQ(sql({"create table t(a)", "insert into t values (1)"}).status, 0);
    // Root may write any file, so read-only access is asked for through the URI.
    std::vector<std::string> paths = {"file:" + db + "?mode=ro"};
    if (geteuid() != 0) {
        chmod(db.c_str(), 0444);
        paths.push_back(db);
    }
    for (const auto &path : paths) {
        ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", path, "-e",
                                               "insert into t values (2)"});
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(r.err, "*** Error 25006: attempt to write a readonly database\n") << path;
        r = run_program(kQuendrix, {"quendrix", "--database", path, "-e", "select sum(a) from t"});
        EXPECT_EQ(r.out, "1\n") << path;
    }
    chmod(db.c_str(), 0644);
}

TEST_F(Quendrix, BatchStopsAtTheFirstErrorAndKeepsWhatWasWritten) {
    ProgramRun r = sql({"create table t(a); insert into t values (1)", "insert into t values (",
                        "insert into t values (2)"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "*** Error 42000: incomplete input\n");
    r = sql({"select count(*), sum(a) from t"});
    EXPECT_EQ(r.out, "1|1\n");
}

// The shell's session has settings too: SET applies at once, and statement_timeout stops
// a statement there as it does over the network.
TEST_F(Quendrix, ShellSettingsAndStatementTimeout) {
    ProgramRun r = sql({"set application_name = 'admin'", "show application_name", "set statement_timeout = '100ms'",
                        "with recursive r(n) as (select 1 union all select n + 1 from r where n < 500000000) "
                        "select count(*) from r"});
    EXPECT_EQ(r.out, "admin\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "*** Error 57014: canceling statement due to statement timeout\n");
}

// The shell's session is the account's that runs it, on the database its file names.
TEST_F(Quendrix, ShellSessionIsTheAccountsOnTheFilesDatabase) {
    ProgramRun r = sql({"select current_user = session_user, current_database(), current_schema"});
    EXPECT_EQ(r.out, "1|test|public\n") << r.err;
    passwd *account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(sql({"select current_user"}).out, std::string(account->pw_name) + "\n");
}

TEST_F(Quendrix, ScriptsAndExecuteTextsRunInCommandLineOrder) {
    write_file(dir.file("one.sql"), "create table t(a);\ninsert into t values (1);\n-- a comment\n");
    write_file(dir.file("two.sql"), "select group_concat(a) from t;\n");
    ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db, dir.file("one.sql"), "-e",
                                           "insert into t values (2)", dir.file("two.sql")});
    EXPECT_EQ(r.out, "1,2\n");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_program(kQuendrix, {"quendrix", "--database", db, dir.file("absent.sql")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "*** Error 58030: cannot read script \"" + dir.file("absent.sql") +
                         "\": No such file or directory\n");
}

TEST_F(Quendrix, StandardInputInBatchStopsAtAnError) {
    ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db},
                               "create table t(a);\ninsert into t values (1);\n"
                               "select bad_function();\ninsert into t values (2);\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "*** Error 42000: no such function: bad_function\n");
    // The last statement may lack its ';'.
    r = run_program(kQuendrix, {"quendrix", "--database", db}, "select sum(a)\nfrom t");
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Quendrix, ShellCommandsShowHeadersTablesAndSchema) {
    ASSERT_EQ(sql({"create table b(x); create table a(id primary key, name); "
                   "create index a_name on a(name); create view v as select name from a; "
                   "insert into a values (1, 'one')"})
                  .status,
              0);
    ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db},
                               ".tables\n.schema A\n.headers on\nselect id, name as who from a;\n"
                               "select * from b;\ncall n_range_bif(0, 1);\n.headers off\n"
                               "select 2 as two;\n");
    EXPECT_EQ(r.out,
              "a\nb\nv\n"
              "CREATE TABLE a(id primary key, name);\nCREATE INDEX a_name on a(name);\n"
              "id|who\n1|one\n"
              "x\n"  // a result without rows still names its columns
              "column1|column2\n0|0\n"
              "2\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    r = run_program(kQuendrix, {"quendrix", "--database", db, "--headers", "-e", "select 1 as one"});
    EXPECT_EQ(r.out, "one\n1\n");

    // A bad command is an error like a bad statement: batch input stops there.
    const struct {
        const char *input, *err;
    } errors[] = {
        {".headers maybe\nselect 1;\n", "*** Error 42601: usage: .headers on|off\n"},
        {".schema a b\n", "*** Error 42601: usage: .schema [TABLE]\n"},
        {".frobnicate now\nselect 1;\n",
         "*** Error 42601: unknown shell command \".frobnicate now\"; .help lists the commands\n"},
    };
    for (const auto &e : errors) {
        r = run_program(kQuendrix, {"quendrix", "--database", db}, e.input);
        EXPECT_EQ(r.err, e.err) << e.input;
        EXPECT_EQ(r.out, "") << e.input;
        EXPECT_EQ(r.status, 1) << e.input;
    }
}

TEST_F(Quendrix, InteractiveModeKeepsServingAfterErrors) {
    ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db, "--interactive"},
                               "create table t(a);\nselect my_aref(1);\nselec oops;\n"
                               "insert into t\n values (5);\nselect a from t;\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "*** Error 07001: my_aref: missing argument 2 (1 given)\n"
                     "*** Error 42000: near \"selec\": syntax error\n");
    EXPECT_NE(r.out.find("quendrix> "), std::string::npos);
    EXPECT_NE(r.out.find("    ...> "), std::string::npos);  // the statement went on a line
    EXPECT_NE(r.out.find("5\n"), std::string::npos);
    EXPECT_EQ(sql({"select a from t"}).out, "5\n");  // and it was kept
}

TEST_F(Quendrix, BatchErrorInATransactionCommitsNoPartOfIt) {
    const std::string transfer = "begin;\nupdate acct set bal = bal - 10 where name = 'a';\n"
                                 "%s;\nupdate acct set bal = bal + 10 where name = 'b';\ncommit;\n";
    // A failing statement, and one after which SQLite itself has rolled back.
    for (const char *failing : {"select bad_function()", "insert or rollback into acct values ('a', 1)"}) {
        std::string text = transfer;
        text.replace(text.find("%s"), 2, failing);
        write_file(dir.file("transfer.sql"), text);
        const std::vector<std::string> how[] = {
            {"quendrix", "--database", db, "--execute", text},
            {"quendrix", "--database", db, dir.file("transfer.sql")},
            {"quendrix", "--database", db},  // the text on standard input
            // The block opens in one text and fails in the next.
            {"quendrix", "--database", db, "-e", "begin; update acct set bal = 0", "-e", failing},
        };
        for (const auto &argv : how) {
            ASSERT_EQ(sql({"drop table if exists acct; create table acct(name primary key, bal);"
                           "insert into acct values ('a', 100), ('b', 0)"}).status, 0);
            ProgramRun r = run_program(kQuendrix, argv, argv.size() == 3 ? text : "");
            EXPECT_EQ(r.status, 1) << failing << " via " << argv.back();
            EXPECT_EQ(sql({"select group_concat(bal) from acct"}).out, "100,0\n")
                << failing << " via " << argv.back();
        }
    }
}

TEST_F(Quendrix, ValuesBeyondTheLimitFailRatherThanChange) {
    ProgramRun r = sql({"select length(zeroblob(16777216)); select 1, zeroblob(16777216)"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "16777216\n");
    EXPECT_EQ(r.err, "*** Error 54000: a result value exceeds the largest value a client can "
                     "receive (16777215 bytes)\n");
}

}  // namespace
