// Who may connect to the real quendrix program: users made by an administrator,
// SCRAM-SHA-256 over TCP (psql with PGPASSWORD and at its prompt, libpq), peer
// authentication on the Unix socket, TLS checked by psql, and what clients that
// are no administrators may not do.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <libpq-fe.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "raw_client.h"
#include "run_program.h"
#include "server_fixture.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;
const std::string kPsql = PSQL_PATH;

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// "SQLSTATE: message" of a failed statement, else the rows ('|' between values).
std::string exec(PGconn *c, const std::string &sql) {
    Result r(PQexec(c, sql.c_str()), PQclear);
    if (PQresultStatus(r.get()) == PGRES_FATAL_ERROR)
        return std::string(PQresultErrorField(r.get(), PG_DIAG_SQLSTATE)) + ": " +
               PQresultErrorField(r.get(), PG_DIAG_MESSAGE_PRIMARY);
    std::string out;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        for (int j = 0; j < PQnfields(r.get()); ++j) out += (j ? "|" : "") + std::string(PQgetvalue(r.get(), i, j));
        out += '\n';
    }
    return out;
}

class Auth : public testing::Test {
protected:
    void SetUp() override {
        // libpq in this process reads PG* variables: none of the caller's apply.
        std::vector<std::string> names;
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "PG", 2) == 0) names.emplace_back(*e, std::strchr(*e, '=') - *e);
        for (const auto &n : names) unsetenv(n.c_str());
        setenv("PGPASSFILE", dir.file("no-pgpass").c_str(), 1);
        ASSERT_EQ(admin("CREATE USER alice WITH PASSWORD 'wonder land'; "
                        "CREATE USER dba SUPERUSER PASSWORD 'root pw'")
                      .status,
                  0);
    }

    // Runs SQL with the shell, the local administrator.
    ProgramRun admin(const std::string &sql) {
        return run_program(kQuendrix, {"quendrix", "--database", db, "--execute", sql});
    }

    // psql with only the environment given here.
    ProgramRun psql(const std::vector<std::string> &args, const std::string &password = "",
                    const std::string &sql = "select 1") {
        std::vector<std::string> argv = {"psql", "-X", "-A", "-t", "-w", "-d", "x"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-c", sql});
        std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + dir.path(),
                                        "PGCONNECT_TIMEOUT=10", "PGPASSFILE=" + dir.file("no-pgpass")};
        if (!password.empty()) env.push_back("PGPASSWORD=" + password);
        return run_program(kPsql, argv, "", "", &env);
    }

    Conn connect(const QuendrixServer &s, const std::string &user, const std::string &password,
                 const std::string &extra = "") {
        return Conn(PQconnectdb(s.conninfo("user=" + user + " password='" + password + "' " + extra)
                                    .c_str()),
                    PQfinish);
    }

    TempDir dir;
    std::string db = dir.file("users.db");
};

TEST_F(Auth, UserStatementsAndCatalogue) {
    const struct {
        const char *sql, *out, *err;
    } cases[] = {
        {"select * from DB.DBA.SYS_USERS", "alice|1|0\ndba|2|1\n", ""},
        {"CREATE USER alice PASSWORD 'x'", "", "*** Error 42710: role \"alice\" already exists\n"},
        {"CREATE USER ALICE PASSWORD 'x'", "", "*** Error 42710: role \"alice\" already exists\n"},
        {"ALTER USER nobody WITH PASSWORD 'x'", "", "*** Error 42704: role \"nobody\" does not exist\n"},
        {"DROP USER nobody", "", "*** Error 42704: role \"nobody\" does not exist\n"},
        {"DROP USER IF EXISTS nobody", "", ""},
        {"CREATE USER carol PASSWORD", "", "*** Error 42601: syntax error at end of input\n"},
        {"CREATE USER carol PASSWORD 'x' LOGIN", "",
         "*** Error 42601: syntax error at or near \"LOGIN\"\n"},
        {"CREATE USER \"\" PASSWORD 'x'", "", "*** Error 42601: zero-length delimited identifier\n"},
        // Numbers are never given again: carol gets 4 although user 3 is gone.
        {"create user \"Mixed Case\"; drop user \"Mixed Case\"; /* c */ create user carol password 'c';"
         "alter user carol superuser; select U_NAME, U_NUMBER, U_IS_ADMIN from DB.DBA.SYS_USERS "
         "where U_NAME = 'carol'",
         "carol|4|1\n", ""},
        // The view never shows a verifier; the table holds SCRAM-SHA-256 ones.
        {"select count(*) from pragma_table_info('DB.DBA.SYS_USERS', 'temp') where name like '%VERIF%'",
         "0\n", ""},
        {"select substr(U_VERIFIER, 1, 19) from DB.DBA.SYS_USER_AUTH where U_NAME = 'alice'",
         "SCRAM-SHA-256$4096:\n", ""},
    };
    for (const auto &k : cases) {
        ProgramRun r = admin(k.sql);
        EXPECT_EQ(r.out, k.out) << k.sql;
        EXPECT_EQ(r.err, k.err) << k.sql;
    }
}

TEST_F(Auth, PasswordsOverTcp) {
    QuendrixServer s(db, ServerOptions{});
    ASSERT_GT(s.port(), 0);
    std::vector<std::string> tcp = {"-h", "127.0.0.1", "-p", std::to_string(s.port())};
    auto as = [&](const std::string &user) {
        std::vector<std::string> a = tcp;
        a.insert(a.end(), {"-U", user});
        return a;
    };
    ProgramRun r = psql(as("alice"), "wonder land", "select my_aref(my_vector('in'), 0)");
    EXPECT_EQ(r.out, "in\n");
    EXPECT_EQ(r.status, 0) << r.err;

    // A wrong password and an unknown user fail alike; no password at all cannot prompt (-w).
    const struct {
        const char *user, *password, *message;
    } failures[] = {
        {"alice", "wonderland", "FATAL:  password authentication failed for user \"alice\""},
        {"ghost", "wonder land", "FATAL:  password authentication failed for user \"ghost\""},
        {"alice", "", "no password supplied"},
    };
    for (const auto &f : failures) {
        r = psql(as(f.user), f.password);
        EXPECT_EQ(r.status, 2) << f.user;
        EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
    }
    Conn bad = connect(s, "alice", "nope");
    EXPECT_EQ(PQstatus(bad.get()), CONNECTION_BAD);

    // Failed logins hold no slot: more of them than the server has slots, then a login.
    for (int i = 0; i < 70; ++i) Conn(connect(s, "ghost", "x"));
    Conn c = connect(s, "alice", "wonder land");
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_STREQ(PQparameterStatus(c.get(), "is_superuser"), "off");

    // A user changes his own password; the old one no longer works.
    EXPECT_EQ(exec(c.get(), "ALTER USER alice PASSWORD 'new one'"), "");
    EXPECT_EQ(PQstatus(connect(s, "alice", "wonder land").get()), CONNECTION_BAD);
    EXPECT_EQ(PQstatus(connect(s, "alice", "new one").get()), CONNECTION_OK);
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Auth, PsqlPromptsForThePassword) {
    QuendrixServer s(db, ServerOptions{});
    ASSERT_GT(s.port(), 0);
    int fd = -1;
    pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::string port = std::to_string(s.port()), home = "HOME=" + dir.path(),
                    passfile = "PGPASSFILE=" + dir.file("no-pgpass");
        char *env[] = {const_cast<char *>("PATH=/usr/bin:/bin"), &home[0], &passfile[0],
                       const_cast<char *>("TERM=dumb"), nullptr};
        execle(kPsql.c_str(), "psql", "-X", "-A", "-t", "-P", "pager=off", "-h", "127.0.0.1", "-p", port.c_str(), "-U",
               "alice", "-d", "x", "-c", "select 'prompted ' || 42", nullptr, env);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string seen;
    bool answered = false;
    char buffer[256];
    pollfd p{fd, POLLIN, 0};
    for (int i = 0; i < 200 && poll(&p, 1, 100) >= 0; ++i) {
        if (!(p.revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, static_cast<size_t>(n));
        if (!answered && seen.find("Password for user alice:") != std::string::npos) {
            ASSERT_EQ(write(fd, "wonder land\n", 12), 12);
            answered = true;
        }
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(fd);
    EXPECT_TRUE(answered) << seen;
    EXPECT_NE(seen.find("prompted 42"), std::string::npos) << seen;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Auth, NetworkClientsThatAreNoAdministrators) {
    QuendrixServer s(db, ServerOptions{});
    Conn alice = connect(s, "alice", "wonder land");
    Conn dba = connect(s, "dba", "root pw");
    ASSERT_EQ(PQstatus(alice.get()), CONNECTION_OK) << PQerrorMessage(alice.get());
    ASSERT_EQ(PQstatus(dba.get()), CONNECTION_OK) << PQerrorMessage(dba.get());
    EXPECT_STREQ(PQparameterStatus(dba.get(), "is_superuser"), "on");
    std::string copy = dir.file("copy.db");
    const char *denied[] = {
        "ATTACH 'other.db' AS other",
        "DETACH temp",
        "VACUUM",
        "select load_extension('/nonexistent')",
        "select server_env('HOME')",
        "select server_argv()",
        // Tells where the process's code is, and with a second argument (also a bound
        // parameter) would call whatever an address given by the client points to.
        "select fts3_tokenizer('simple')",
        "select U_VERIFIER from DB.DBA.SYS_USER_AUTH",
        "update DB.DBA.SYS_USER_AUTH set U_IS_ADMIN = 1",
        "drop table DB.DBA.SYS_USER_AUTH",
        "PRAGMA writable_schema = 1",
        // A view of the catalogue's name would pass for the catalogue.
        "create view DB.DBA.SYS_USERS as select U_VERIFIER as U_NAME from DB.DBA.SYS_USER_AUTH",
        "CREATE USER eve PASSWORD 'x'",
        "ALTER USER alice SUPERUSER",
        "ALTER USER dba PASSWORD 'x'",
        "DROP USER dba",
    };
    for (const char *sql : denied) EXPECT_EQ(exec(alice.get(), sql).substr(0, 7), "42501: ") << sql;
    std::string vacuum_into = "VACUUM INTO '" + copy + "'";
    EXPECT_EQ(exec(alice.get(), vacuum_into).substr(0, 7), "42501: ");
    struct stat st;
    EXPECT_NE(stat(copy.c_str(), &st), 0);

    // What stays allowed to everyone, and what an administrator may do.
    EXPECT_EQ(exec(alice.get(), "select U_NAME, U_NUMBER from DB.DBA.SYS_USERS"), "alice|1\ndba|2\n");
    EXPECT_EQ(exec(dba.get(), "select server_env('NO_SUCH_VARIABLE') is null"), "1\n");
    EXPECT_EQ(exec(dba.get(), vacuum_into), "");
    EXPECT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(exec(dba.get(), "DROP USER dba"), "55006: current user cannot be dropped");
    // A trigger planted by a user does not read the server's environment when an
    // administrator's statement fires it.
    EXPECT_EQ(exec(alice.get(), "create table log(v); create table t(a); create trigger leak "
                                "after insert on t begin insert into log values (server_env('HOME')); end"),
              "");
    EXPECT_EQ(exec(dba.get(), "insert into t values (1)").substr(0, 7), "42501: ");
    EXPECT_EQ(exec(alice.get(), "select count(*) from log"), "0\n");
    EXPECT_EQ(exec(alice.get(), "create view tokenizer as select fts3_tokenizer('simple') as p"), "");
    EXPECT_EQ(exec(dba.get(), "select p from tokenizer").substr(0, 2), "42");  // SQLite's own refusal too
    EXPECT_EQ(exec(dba.get(), "select length(fts3_tokenizer('simple'))"), "8\n");
    EXPECT_EQ(exec(dba.get(), "CREATE USER eve PASSWORD 'e'; DROP USER eve"), "");
}

// A PRAGMA that changes the database file or the whole server process is for
// administrators: one user with `locking_mode = exclusive` and one insert kept every
// other client out, logins too, for as long as its connection stayed open.
TEST_F(Auth, UsersSetOnlyThePragmasOfTheirOwnConnection) {
    QuendrixServer s(db, ServerOptions{});
    Conn alice = connect(s, "alice", "wonder land");
    ASSERT_EQ(PQstatus(alice.get()), CONNECTION_OK) << PQerrorMessage(alice.get());
    ASSERT_EQ(exec(alice.get(), "create table t(a check (a > 0))"), "");
    const char *denied[] = {
        "pragma locking_mode = exclusive",   // holds the file's lock from the next write on
        "pragma journal_mode = delete",      // readers would lock out writers again
        "pragma main.journal_mode = off",    // no rollback: a crash corrupts the file
        "pragma synchronous = off",          // nor is a commit on disk before it is reported
        "pragma schema_version = 1",         // other connections misread the schema
        "pragma ignore_check_constraints = 1",
        "pragma legacy_alter_table = 1",
        "pragma trusted_schema = 1",
        "pragma hard_heap_limit = 100000",   // the server process's memory
        "pragma soft_heap_limit = 1",
        "pragma temp_store_directory = '/tmp'",
        "pragma writable_schema",
    };
    for (const char *sql : denied) EXPECT_EQ(exec(alice.get(), sql).substr(0, 7), "42501: ") << sql;
    EXPECT_EQ(exec(alice.get(), "insert into t values (1)"), "");
    EXPECT_EQ(exec(alice.get(), "insert into t values (-1)").substr(0, 7), "23514: ");

    // Everyone else is still served: a new login, a write, and the file still in WAL mode.
    Conn dba = connect(s, "dba", "root pw");
    ASSERT_EQ(PQstatus(dba.get()), CONNECTION_OK) << PQerrorMessage(dba.get());
    EXPECT_EQ(exec(dba.get(), "insert into t values (2)"), "");
    EXPECT_EQ(exec(dba.get(), "pragma journal_mode"), "wal\n");
    EXPECT_EQ(exec(dba.get(), "pragma synchronous = full"), "");

    // Reading any setting, the schema's, and setting those of one's own connection.
    const struct {
        const char *sql, *result;
    } allowed[] = {
        {"pragma locking_mode", "normal\n"},
        {"pragma table_info(t)", "0|a||0||0\n"},
        {"pragma foreign_keys = on", ""},
        {"pragma foreign_keys", "1\n"},
        {"pragma busy_timeout = 2000", "2000\n"},
        {"pragma cache_size = -4096", ""},
        {"pragma user_version = 7", ""},
        {"pragma integrity_check(10)", "ok\n"},
        // and the session's settings, which SET sets
        {"set application_name = 'alice''s'", ""},
        {"show application_name", "alice's\n"},
        {"select set_config('myapp.user', 'alice', true)", "alice\n"},
        {"reset all", ""},
    };
    for (const auto &a : allowed) EXPECT_EQ(exec(alice.get(), a.sql), a.result) << a.sql;
    EXPECT_EQ(exec(alice.get(), "pragma wal_checkpoint(passive)").substr(0, 2), "0|");  // not busy
}

// psql's \password makes the verifier on the client, after it asks the server with
// SHOW how passwords are stored; the server keeps the verifier as it comes.
TEST_F(Auth, PasswordsSetAsVerifiersMadeByTheClient) {
    QuendrixServer s(db, ServerOptions{});
    Conn alice = connect(s, "alice", "wonder land");
    Conn dba = connect(s, "dba", "root pw");
    ASSERT_EQ(PQstatus(alice.get()), CONNECTION_OK) << PQerrorMessage(alice.get());
    char *verifier = PQencryptPasswordConn(alice.get(), "looking glass", "alice", nullptr);
    ASSERT_NE(verifier, nullptr) << PQerrorMessage(alice.get());
    EXPECT_EQ(std::string(verifier).rfind("SCRAM-SHA-256$", 0), 0u) << verifier;
    EXPECT_EQ(exec(alice.get(), std::string("ALTER USER alice PASSWORD '") + verifier + "'"), "");
    PQfreemem(verifier);
    Conn again = connect(s, "alice", "looking glass");
    EXPECT_EQ(PQstatus(again.get()), CONNECTION_OK) << PQerrorMessage(again.get());

    // Other settings SHOW knows, as PostgreSQL names them.
    const struct {
        PGconn *who;
        const char *sql, *result;
    } shows[] = {
        {alice.get(), "show password_encryption", "scram-sha-256\n"},
        {alice.get(), "SHOW is_superuser", "off\n"},
        {dba.get(), "show is_superuser", "on\n"},
        {alice.get(), "show TimeZone", "UTC\n"},
        {alice.get(), "show transaction isolation level", "serializable\n"},
        {alice.get(), "show transaction_read_only", "off\n"},
        {alice.get(), "show no_such_setting", "42704: unrecognized configuration parameter \"no_such_setting\""},
    };
    for (const auto &k : shows) EXPECT_EQ(exec(k.who, k.sql), k.result) << k.sql;
    Result tag(PQexecParams(alice.get(), "show TimeZone", 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
    EXPECT_STREQ(PQcmdStatus(tag.get()), "SHOW");
    tag.reset(PQexec(alice.get(), "show TimeZone"));
    EXPECT_STREQ(PQcmdStatus(tag.get()), "SHOW");
}

// A login that cannot read the users table is told so, not that its password was wrong.
TEST_F(Auth, ALoginThatCannotReadTheUsersIsToldWhy) {
    QuendrixServer s(db, ServerOptions{});
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    // Another process holds the file for itself (an administrator's exclusive locking).
    ASSERT_EQ(sqlite3_exec(holder, "pragma locking_mode = exclusive; begin exclusive; create table held(a)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(holder);
    Conn alice = connect(s, "alice", "wonder land");
    EXPECT_NE(PQstatus(alice.get()), CONNECTION_OK);
    std::string message = PQerrorMessage(alice.get());
    EXPECT_NE(message.find("cannot read its users now"), std::string::npos) << message;
    EXPECT_EQ(message.find("password authentication failed"), std::string::npos) << message;
    sqlite3_close(holder);  // rolls back and lets go of the file
    Conn again = connect(s, "alice", "wonder land");
    EXPECT_EQ(PQstatus(again.get()), CONNECTION_OK) << PQerrorMessage(again.get());
}

TEST_F(Auth, PeerAuthenticationOnTheUnixSocket) {
    TempDir sockets;
    chmod(sockets.path().c_str(), 0755);
    QuendrixServer s(db, ServerOptions{{"--socket", sockets.path()}});
    ASSERT_GT(s.port(), 0);
    std::vector<std::string> local = {"-h", sockets.path(), "-p", std::to_string(s.port())};
    passwd *me = getpwuid(geteuid());
    ASSERT_NE(me, nullptr);

    // The server's own account is the local administrator: no password.
    std::vector<std::string> args = local;
    args.insert(args.end(), {"-U", me->pw_name});
    ProgramRun r = psql(args, "", "select server_env('NO_SUCH_VARIABLE') is null");
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.status, 0) << r.err;
    // Another name than one's own account is refused, even with its password.
    args = local;
    args.insert(args.end(), {"-U", "alice"});
    r = psql(args, "wonder land");
    EXPECT_NE(r.err.find("FATAL:  Peer authentication failed for user \"alice\""), std::string::npos)
        << r.err;

    // Another account gets in only as the user of its name.
    if (geteuid() != 0) GTEST_SKIP() << "running as another account needs root";
    passwd *other = getpwnam("nobody");
    ASSERT_NE(other, nullptr);
    auto as_nobody = [&]() {
        std::string out = dir.file("nobody.out");
        pid_t pid = fork();
        if (pid == 0) {
            if (setgid(other->pw_gid) != 0 || setuid(other->pw_uid) != 0) _exit(126);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            dup2(fd, 1);
            dup2(fd, 2);
            std::string port = std::to_string(s.port());
            char *env[] = {const_cast<char *>("PATH=/usr/bin:/bin"), const_cast<char *>("HOME=/"),
                           const_cast<char *>("PGPASSFILE=/nonexistent"), nullptr};
            execle(kPsql.c_str(), "psql", "-X", "-A", "-t", "-w", "-h", sockets.path().c_str(), "-p",
                   port.c_str(), "-d", "x", "-c", "select 'in'; select server_env('HOME')", nullptr,
                   env);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return read_all(out);
    };
    chmod(dir.path().c_str(), 0777);  // for nobody's output file
    EXPECT_NE(as_nobody().find("Peer authentication failed for user \"nobody\""), std::string::npos);
    ASSERT_EQ(admin("CREATE USER nobody").status, 0);
    std::string out = as_nobody();
    EXPECT_NE(out.find("in\n"), std::string::npos) << out;
    EXPECT_NE(out.find("not authorized"), std::string::npos) << out;
}

TEST_F(Auth, SessionsTakeTheirUsersNumber) {
    ASSERT_EQ(admin("CREATE USER carol PASSWORD 'c';"
                    "create table DB.DBA.NEED_TO_KNOW(NK_CLASS, NK_USER);"
                    "create table DB.DBA.SALES_REPORT(TITLE, R_CLASS);"
                    "insert into DB.DBA.SALES_REPORT values ('r1', 'a'), ('r2', 'b');"
                    "insert into DB.DBA.NEED_TO_KNOW values ('a', 1), ('b', 3)")
                  .status,
              0);
    QuendrixServer s(db, ServerOptions{{"--query-rewrite", "need_to_know"}});
    const struct {
        const char *user, *password, *rows;
    } cases[] = {{"alice", "wonder land", "r1\n"}, {"carol", "c", "r2\n"}, {"dba", "root pw", "r1\nr2\n"}};
    for (const auto &k : cases) {
        Conn c = connect(s, k.user, k.password);
        ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
        EXPECT_EQ(exec(c.get(), "select TITLE from DB.DBA.SALES_REPORT order by TITLE"), k.rows) << k.user;
        // The extended protocol restricts the same way. A query with parameters is
        // no shape the server can restrict: refused to restricted users, not run whole.
        Result r(PQexecParams(c.get(), "select TITLE from DB.DBA.SALES_REPORT order by TITLE", 0,
                              nullptr, nullptr, nullptr, nullptr, 0),
                 PQclear);
        std::string rows;
        for (int i = 0; i < PQntuples(r.get()); ++i) rows += std::string(PQgetvalue(r.get(), i, 0)) + "\n";
        EXPECT_EQ(rows, k.rows) << k.user << ": " << PQresultErrorMessage(r.get());
        const char *after[] = {"r"};
        Result p(PQexecParams(c.get(), "select TITLE from DB.DBA.SALES_REPORT where TITLE > $1 order by TITLE",
                              1, nullptr, after, nullptr, nullptr, 0),
                 PQclear);
        const char *state = PQresultErrorField(p.get(), PG_DIAG_SQLSTATE);
        EXPECT_EQ(state ? state : "", std::string(k.user == std::string("dba") ? "" : "42501")) << k.user;
    }
}

// Report queries through psql as two users who are no administrators (numbers 7 and 8)
// and as an administrator: each sees only the rows of the classes they need to know,
// and the ways around the restriction are refused.
TEST_F(Auth, ReportQueriesThroughPsqlShowEachUserTheirRows) {
    ASSERT_EQ(admin("CREATE USER u3; CREATE USER u4; CREATE USER u5; CREATE USER u6;"
                    "CREATE USER seven PASSWORD 's7'; CREATE USER eight PASSWORD 's8';"
                    "create table DB.DBA.NEED_TO_KNOW(NK_CLASS, NK_USER);"
                    "create table DB.DBA.SALES_REPORT(TITLE, R_CLASS, AMOUNT);"
                    "create table DB.DBA.REGION_REPORT(TITLE, R_CLASS, REGION);"
                    "create table copies(TITLE);"
                    "insert into DB.DBA.SALES_REPORT values ('s1', 'pub', 10), ('s2', 'sec', 20),"
                    " ('s3', 'board', 30);"
                    "insert into DB.DBA.REGION_REPORT values ('s1', 'pub', 'north'),"
                    " ('s2', 'sec', 'south'), ('s3', 'sec', 'east');"
                    "insert into DB.DBA.NEED_TO_KNOW values ('pub', 7), ('board', 7), ('sec', 8)")
                  .status,
              0);
    ASSERT_EQ(admin("select U_NAME from DB.DBA.SYS_USERS where U_NUMBER in (7, 8) order by U_NUMBER")
                  .out,
              "seven\neight\n");
    QuendrixServer s(db, ServerOptions{{"--query-rewrite", "need_to_know"}});
    std::string port = std::to_string(s.port());
    auto as = [&](const char *user, const char *password, const std::string &sql) {
        ProgramRun r = psql({"-h", "127.0.0.1", "-p", port, "-U", user}, password, sql);
        return r.status == 0 ? r.out : r.err;
    };
    const struct {
        const char *sql, *seven, *eight, *all;
    } queries[] = {
        {"select TITLE from DB.DBA.SALES_REPORT order by TITLE", "s1\ns3\n", "s2\n", "s1\ns2\ns3\n"},
        {"select S.TITLE from DB.DBA.SALES_REPORT S order by S.TITLE", "s1\ns3\n", "s2\n",
         "s1\ns2\ns3\n"},
        {"select S.TITLE, R.REGION from DB.DBA.SALES_REPORT S join DB.DBA.REGION_REPORT R"
         " on S.TITLE = R.TITLE order by S.TITLE",
         "s1|north\n", "s2|south\n", "s1|north\ns2|south\ns3|east\n"},
        {"select count(*) as N, sum(AMOUNT) as TOTAL from DB.DBA.SALES_REPORT", "2|40\n", "1|20\n",
         "3|60\n"},
        {"select TITLE from DB.DBA.SALES_REPORT S where exists (select 1 from DB.DBA.REGION_REPORT R"
         " where R.TITLE = S.TITLE) order by TITLE",
         "s1\n", "s2\n", "s1\ns2\ns3\n"},
        {"select TITLE from \"db.dba.sales_report\" order by TITLE", "s1\ns3\n", "s2\n",
         "s1\ns2\ns3\n"},
        // COPY TO reads as a select does.
        {"copy DB.DBA.SALES_REPORT (TITLE) to stdout", "s1\ns3\n", "s2\n", "s1\ns2\ns3\n"},
        {"copy (select TITLE, AMOUNT from DB.DBA.SALES_REPORT order by TITLE desc) to stdout csv", "s3,30\ns1,10\n",
         "s2,20\n", "s3,30\ns2,20\ns1,10\n"},
    };
    for (const auto &q : queries) {
        EXPECT_EQ(as("seven", "s7", q.sql), q.seven) << q.sql;
        EXPECT_EQ(as("eight", "s8", q.sql), q.eight) << q.sql;
        EXPECT_EQ(as("dba", "root pw", q.sql), q.all) << q.sql;
    }
    const char *bypasses[] = {
        "with c as (select * from DB.DBA.SALES_REPORT) select count(*) from c",
        "select count(*) from (select TITLE from DB.DBA.SALES_REPORT union"
        " select TITLE from DB.DBA.REGION_REPORT)",
        "insert into copies select TITLE from DB.DBA.SALES_REPORT",
        "update DB.DBA.NEED_TO_KNOW set NK_USER = 7",
        "update DB.DBA.SALES_REPORT set R_CLASS = 'pub'",
    };
    for (const char *sql : bypasses) {
        std::string out = as("seven", "s7", sql);
        EXPECT_NE(out.find("permission denied"), std::string::npos) << sql << ": " << out;
    }
    EXPECT_EQ(admin("select count(*) from copies; select count(*) from DB.DBA.NEED_TO_KNOW where"
                    " NK_USER = 7; select count(*) from DB.DBA.SALES_REPORT where R_CLASS = 'pub'")
                  .out,
              "0\n2\n1\n");
}

TEST_F(Auth, UserStatementsOverTheExtendedProtocol) {
    QuendrixServer s(db, ServerOptions{});
    Conn dba = connect(s, "dba", "root pw");
    ASSERT_EQ(PQstatus(dba.get()), CONNECTION_OK) << PQerrorMessage(dba.get());
    // Drivers send every statement with Parse/Bind/Execute, user statements too.
    const struct {
        const char *sql, *tag;
    } cases[] = {{"CREATE USER erin PASSWORD 'e1'", "CREATE ROLE"},
                 {"ALTER USER erin WITH PASSWORD 'e2'", "ALTER ROLE"},
                 {"CREATE USER erin", "42710"},
                 {"DROP USER erin", "DROP ROLE"}};
    for (const auto &k : cases) {
        Result r(PQexecParams(dba.get(), k.sql, 0, nullptr, nullptr, nullptr, nullptr, 0), PQclear);
        const char *state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
        EXPECT_EQ(state ? state : PQcmdStatus(r.get()), std::string(k.tag)) << k.sql;
        if (std::string(k.sql).rfind("ALTER", 0) == 0) {
            Conn erin = connect(s, "erin", "e2");
            EXPECT_EQ(PQstatus(erin.get()), CONNECTION_OK) << PQerrorMessage(erin.get());
        }
    }
    // A user who is no administrator changes his own password the same way, and no more.
    Conn alice = connect(s, "alice", "wonder land");
    Result own(PQexecParams(alice.get(), "ALTER USER alice PASSWORD 'new land'", 0, nullptr, nullptr,
                            nullptr, nullptr, 0),
               PQclear);
    EXPECT_STREQ(PQcmdStatus(own.get()), "ALTER ROLE") << PQresultErrorMessage(own.get());
    Result other(PQexecParams(alice.get(), "ALTER USER dba PASSWORD 'mine'", 0, nullptr, nullptr,
                              nullptr, nullptr, 0),
                 PQclear);
    EXPECT_STREQ(PQresultErrorField(other.get(), PG_DIAG_SQLSTATE), "42501");
}

// A test CA, a server certificate for localhost and 127.0.0.1 signed by it, and an
// unrelated CA, made with the openssl tool.
class Tls : public Auth {
protected:
    void SetUp() override {
        Auth::SetUp();
        std::string d = dir.path();
        write_file(d + "/ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
        std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
        std::string cmd =
            "cd '" + d + "' && openssl req -x509" + key + "-keyout ca.key -out ca.crt -subj /CN=TestCA -days 2"
            " && openssl req -x509" + key + "-keyout other.key -out other.crt -subj /CN=OtherCA -days 2"
            " && openssl req" + key + "-keyout server.key -out server.csr -subj /CN=localhost"
            " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
            " -out server.crt -days 2 -extfile ext";
        ASSERT_EQ(std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()), 0) << cmd;
    }
};

TEST_F(Tls, PsqlRequireAndVerifyFull) {
    QuendrixServer s(db, ServerOptions{{"--tls-cert", dir.file("server.crt"), "--tls-key",
                                        dir.file("server.key")}});
    ASSERT_GT(s.port(), 0);
    std::string port = std::to_string(s.port());
    const struct {
        std::string conninfo;
        bool ok;
        const char *message;
    } cases[] = {
        {"host=127.0.0.1 sslmode=require", true, ""},
        {"host=localhost sslmode=verify-full sslrootcert=" + dir.file("ca.crt"), true, ""},
        {"host=127.0.0.1 sslmode=verify-full sslrootcert=" + dir.file("ca.crt"), true, ""},
        {"host=localhost sslmode=verify-full sslrootcert=" + dir.file("other.crt"), false,
         "certificate verify failed"},
    };
    for (const auto &k : cases) {
        ProgramRun r = psql({"-U", "alice", "-d",
                             k.conninfo + " port=" + port + " dbname=x sslcertmode=disable"},
                            "wonder land", "select 'over tls'");
        if (r.err.find("sslcertmode") != std::string::npos)  // older libpq: no such option
            r = psql({"-U", "alice", "-d", k.conninfo + " port=" + port + " dbname=x"}, "wonder land",
                     "select 'over tls'");
        EXPECT_EQ(r.status == 0, k.ok) << k.conninfo << ": " << r.err;
        if (k.ok) EXPECT_EQ(r.out, "over tls\n") << k.conninfo;
        else EXPECT_NE(r.err.find(k.message), std::string::npos) << k.conninfo << ": " << r.err;
    }
    // The server takes TLS 1.2 and later only (asked for in PostgreSQL's start-up form).
    for (const char *version : {"-tls1_1", "-tls1_2"}) {
        ProgramRun r = run_program("/usr/bin/openssl",
                                   {"openssl", "s_client", "-connect", "127.0.0.1:" + port,
                                    "-starttls", "postgres", version, "-cipher", "DEFAULT@SECLEVEL=0"});
        EXPECT_EQ(r.status, version == std::string("-tls1_2") ? 0 : 1) << version << r.err;
    }
    // libpq reports the session encrypted; a wrong password is still refused over TLS.
    Conn c = connect(s, "alice", "wonder land", "sslmode=require");
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_EQ(PQsslInUse(c.get()), 1);
    EXPECT_STREQ(PQsslAttribute(c.get(), "protocol"), "TLSv1.3");
    EXPECT_EQ(exec(c.get(), "select count(*) from DB.DBA.SYS_USERS"), "2\n");
    Conn wrong = connect(s, "alice", "x", "sslmode=require");
    EXPECT_NE(std::string(PQerrorMessage(wrong.get())).find("password authentication failed"),
              std::string::npos);
    EXPECT_EQ(s.stop(), 0);
}

// The code of an Authentication message ('R'); -1 for any other message.
int authentication_code(const std::pair<char, std::string> &m) {
    return m.first == 'R' && m.second.size() >= 4 ? static_cast<int>(RawClient::be32(m.second.data()))
                                                  : -1;
}

// A SASLInitialResponse choosing SCRAM-SHA-256 with a client-first message.
std::string sasl_initial_response() {
    std::string first = "n,,n=,r=rOprNGfwEbeRWgbNEkqO";
    return 'p' + RawClient::word(static_cast<uint32_t>(4 + 14 + 4 + first.size())) +
           "SCRAM-SHA-256" + '\0' + RawClient::word(static_cast<uint32_t>(first.size())) + first;
}

TEST_F(Tls, ClientsStallingAnywhereInTheStartUpLoseTheirSlots) {
    QuendrixServer s(db, ServerOptions{{"--tls-cert", dir.file("server.crt"), "--tls-key",
                                        dir.file("server.key"), "--startup-timeout", "2"}});
    ASSERT_GT(s.port(), 0);
    // Every slot is taken by a client that stops at some step of the start-up:
    // before or inside the TLS handshake, or inside the SCRAM exchange.
    const char *steps[] = {"before the handshake", "mid-handshake", "after SASL offered",
                           "after SASL continue", "mid-SASL-message"};
    std::vector<RawClient> stalled;
    for (int i = 0; i < 64; ++i) {
        std::string step = steps[i % 5];
        stalled.emplace_back(s.port());
        RawClient &c = stalled.back();
        if (i % 5 < 2) {
            char answer = 0;
            ASSERT_TRUE(c.send_bytes(RawClient::ssl_request())) << step;
            ASSERT_EQ(recv(c.fd(), &answer, 1, 0), 1) << step;
            ASSERT_EQ(answer, 'S') << step;
            // The head of a TLS record that announces a ClientHello never sent whole.
            if (i % 5 == 1) {
                ASSERT_TRUE(c.send_bytes(std::string("\x16\x03\x01\x00\xc8\x01\x00", 7)));
            }
            continue;
        }
        ASSERT_TRUE(c.send_bytes(RawClient::startup_packet("alice"))) << step;
        ASSERT_EQ(authentication_code(c.reply()), 10) << step;  // AuthenticationSASL
        if (i % 5 == 3) {
            ASSERT_TRUE(c.send_bytes(sasl_initial_response()));
            ASSERT_EQ(authentication_code(c.reply()), 11) << step;  // AuthenticationSASLContinue
        }
        if (i % 5 == 4) {
            ASSERT_TRUE(c.send_bytes(RawClient::header('p', 100) + "n,,n="));
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (int i = 0; i < 64; ++i)
        EXPECT_TRUE(stalled[i].closed_by_server(deadline)) << steps[i % 5];
    // Their slots are free again for a client that logs in over TLS.
    Conn c(nullptr, PQfinish);
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
         std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        c = connect(s, "alice", "wonder land", "sslmode=require");
        if (PQstatus(c.get()) == CONNECTION_OK) break;
    }
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Tls, EncryptedSessionsKeepTheMessageReadersRules) {
    QuendrixServer s(db, ServerOptions{{"--tls-cert", dir.file("server.crt"), "--tls-key",
                                        dir.file("server.key"), "--idle-session-timeout", "1"}});
    ASSERT_GT(s.port(), 0);
    Conn c = connect(s, "alice", "wonder land", "sslmode=require");
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    ASSERT_EQ(PQsslInUse(c.get()), 1);
    // A query of many TLS records, read in pieces, arrives whole.
    std::string text(3 << 20, 'x');
    EXPECT_EQ(exec(c.get(), "select length('" + text + "')"), std::to_string(text.size()) + "\n");
    // One announcing more than a message may carry ends only that client (which
    // may hear the reason or only the closed connection while it still sends).
    Conn other = connect(s, "alice", "wonder land", "sslmode=require");
    ASSERT_EQ(PQstatus(other.get()), CONNECTION_OK) << PQerrorMessage(other.get());
    std::string huge(40 << 20, 'y');
    Result r(PQexec(other.get(), ("select '" + huge + "'").c_str()), PQclear);
    EXPECT_NE(PQresultStatus(r.get()), PGRES_TUPLES_OK);
    EXPECT_EQ(PQstatus(other.get()), CONNECTION_BAD);
    // Silence in an encrypted session ends it with the idle-session reason, which
    // libpq hands to the notice processor as it comes between queries.
    std::string notices;
    PQsetNoticeProcessor(
        c.get(), [](void *to, const char *text) { *static_cast<std::string *>(to) += text; },
        &notices);
    for (int i = 0; i < 100 && PQstatus(c.get()) == CONNECTION_OK; ++i) {
        pollfd p{PQsocket(c.get()), POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            PQconsumeInput(c.get());
            PQisBusy(c.get());  // parses what came
        }
    }
    EXPECT_EQ(PQstatus(c.get()), CONNECTION_BAD);
    EXPECT_NE((notices + PQerrorMessage(c.get())).find("idle-session timeout"), std::string::npos)
        << notices << PQerrorMessage(c.get());
    Conn fresh = connect(s, "alice", "wonder land", "sslmode=require");
    EXPECT_EQ(exec(fresh.get(), "select 'still serving'"), "still serving\n");
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Tls, CancelComesPlainBeforeAuthenticationEvenWhenTheServerIsFull) {
    QuendrixServer s(db, ServerOptions{{"--tls-cert", dir.file("server.crt"), "--tls-key",
                                        dir.file("server.key")}});
    Conn c = connect(s, "alice", "wonder land", "sslmode=require");
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    ASSERT_EQ(PQsslInUse(c.get()), 1);
    // The other 63 slots are taken: the cancel request's connection is one too many.
    std::vector<Conn> others;
    for (int i = 0; i < 63; ++i) {
        others.push_back(connect(s, "alice", "wonder land", "sslmode=disable"));
        ASSERT_EQ(PQstatus(others.back().get()), CONNECTION_OK) << PQerrorMessage(others.back().get());
    }
    const char *endless =
        "select count(*) from (with recursive c(x) as (select 1 union all select x + 1 from c) "
        "select x from c)";
    for (bool full : {true, false}) {
        ASSERT_EQ(PQsendQuery(c.get(), endless), 1);
        // libpq's cancel goes on a plain connection of its own, with no password.
        std::unique_ptr<PGcancel, decltype(&PQfreeCancel)> key(PQgetCancel(c.get()), PQfreeCancel);
        char why[256];
        for (int i = 0; i < 100 && PQisBusy(c.get()); ++i) {
            // A cancel that comes before the statement runs is ignored: send again.
            PQcancel(key.get(), why, sizeof why);
            pollfd p{PQsocket(c.get()), POLLIN, 0};
            if (poll(&p, 1, 100) == 1) PQconsumeInput(c.get());
        }
        ASSERT_FALSE(PQisBusy(c.get())) << "no cancel reached the statement: "
                                        << (full ? "server full" : "slots free");
        Result r(PQgetResult(c.get()), PQclear);
        const char *state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
        EXPECT_STREQ(state ? state : "", "57014") << (full ? "server full" : "slots free");
        while (PGresult *more = PQgetResult(c.get())) PQclear(more);
        others.clear();
    }
    EXPECT_EQ(exec(c.get(), "select 'still here'"), "still here\n");
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Auth, CommandLineAndStartUp) {
    const struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--listen", "0.0.0.0:0"}, "only loopback addresses"},
        {{"--listen", "[::]:0", "--auth", "trust", "--tls-cert", "c", "--tls-key", "k"},
         "only loopback addresses"},
        {{"--listen", "db.example:0"}, "must be an IP address"},
        {{"--listen", "127.0.0.1:0", "--auth", "password"}, "scram-sha-256 or trust"},
        {{"--listen", "127.0.0.1:0", "--tls-cert", "c"}, "go together"},
    };
    for (const auto &k : cases) {
        std::vector<std::string> argv = {"quendrix", "--database", db};
        argv.insert(argv.end(), k.args.begin(), k.args.end());
        ProgramRun r = run_program(kQuendrix, argv);
        EXPECT_EQ(r.status, 2) << k.message;
        EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
    }
    ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db, "--listen", "127.0.0.1:0",
                                           "--tls-cert", dir.file("none.crt"), "--tls-key", db});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot load the certificate file"), std::string::npos) << r.err;

    // Trust says so on start-up; a trusted name that is a user takes its number.
    std::string log = dir.file("server.err");
    QuendrixServer s(db, ServerOptions{{"--auth", "trust"}, {}, 0, log});
    Conn c(PQconnectdb(s.conninfo("user=alice").c_str()), PQfinish);
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_EQ(exec(c.get(), "select server_argv()").substr(0, 7), "42501: ");
    EXPECT_EQ(s.stop(), 0);
    EXPECT_NE(read_all(log).find("--auth trust"), std::string::npos);
}

}  // namespace
