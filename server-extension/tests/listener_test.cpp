// The real quendrix program serving PostgreSQL-protocol clients: libpq and psql
// against a server started on a free loopback port, its built-ins over the wire,
// errors with their SQLSTATE, concurrent clients and a bounded shutdown.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <memory>
#include <thread>

#include "run_program.h"
#include "server_fixture.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;
const std::string kPsql = PSQL_PATH;

// These tests predate users: their clients are trusted.
class Server : public QuendrixServer {
public:
    explicit Server(const std::string &db, const std::vector<std::string> &extra_env = {})
        : QuendrixServer(db, {"--auth", "trust"}, extra_env) {}
};

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

Conn connect(const Server &s, const std::string &extra = "") {
    return Conn(PQconnectdb(s.conninfo(extra).c_str()), PQfinish);
}

// A result as text: rows on lines, values separated by '|', NULL as "<null>";
// an error as "ERROR SQLSTATE: message".
std::string text_of(PGresult *r) {
    ExecStatusType st = PQresultStatus(r);
    if (st == PGRES_FATAL_ERROR) {
        return std::string("ERROR ") + PQresultErrorField(r, PG_DIAG_SQLSTATE) + ": " +
               PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
    }
    if (st == PGRES_EMPTY_QUERY) return "<empty>";
    if (st == PGRES_COMMAND_OK) return std::string("<") + PQcmdStatus(r) + ">";
    std::string out;
    for (int i = 0; i < PQntuples(r); ++i) {
        for (int j = 0; j < PQnfields(r); ++j) {
            if (j) out += '|';
            out += PQgetisnull(r, i, j) ? "<null>" : PQgetvalue(r, i, j);
        }
        out += '\n';
    }
    return out;
}

std::string exec(PGconn *c, const std::string &sql) {
    Result r(PQexec(c, sql.c_str()), PQclear);
    return text_of(r.get());
}

class Listener : public testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("wire.db");
};

TEST_F(Listener, PsqlQueriesAndErrors) {
    Server s(db);
    ASSERT_GT(s.port(), 0);
    auto psql = [&](const std::string &sql) {
        return run_program(kPsql, {"psql", "-h", "127.0.0.1", "-p", std::to_string(s.port()), "-U",
                                   "x", "-d", "x", "-X", "-A", "-t", "-c", sql});
    };
    ProgramRun r = psql("select my_aref(my_vector(1,'x',NULL),1)");
    EXPECT_EQ(r.out, "x\n");
    EXPECT_EQ(r.status, 0) << r.err;

    r = psql("select n_range_bif(NULL, 3)");
    EXPECT_EQ(r.out, "0|0\n1|2\n2|4\n");

    r = psql("select my_aref(70000, 0)");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR:  my_aref expects a vector, not an arg of type 189."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, LibpqResultsOverTheWire) {
    Server s(db);
    Conn c = connect(s);
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_STREQ(PQparameterStatus(c.get(), "client_encoding"), "UTF8");
    EXPECT_NE(PQbackendPID(c.get()), 0);
    const struct {
        const char *sql, *result;
    } cases[] = {
        {"select call_srv(2, 3), call_srv(-7, 2), call_srv(2147483647, 1)", "5|-5|-2147483648\n"},
        {"select n_range_bif(NULL, NULL)", "0|0\n1|2\n2|4\n3|6\n4|8\n5|10\n6|12\n7|14\n8|16\n9|18\n"},
        {"select n_range_bif(1073741824, 1073741825)", "1073741824|-2147483648\n"},
        {"call n_range_bif(7, 3)", "<CALL>"},
        {"select my_vector(1, 'x', NULL), NULL, 2.5", "[1, 'x', NULL]|<null>|2.5\n"},
        // A user's BLOB stays a BLOB even when its bytes are those of a value.
        {"select my_vector(X'FE515856414C0100690700000000000000'), 1e16",
         "[X'FE515856414C0100690700000000000000']|1.0e+16\n"},
        {"select n_range_bif(1, 'b')", "ERROR 42000: Bad arg 2 for n_range_bif"},
        {"select my_aref(my_vector(7), 1)",
         "ERROR 42000: aref: Bad array subscript (zero-based) 1 for an arg of type ARRAY (193) and "
         "length 1."},
        {"selec 1", "ERROR 42000: near \"selec\": syntax error"},
        {"create table t(a, b)", "<CREATE TABLE>"},
        {"insert into t values (1, 'one'), (2, NULL)", "<INSERT 0 2>"},
        {"update t set b = 'two' where a = 2", "<UPDATE 1>"},
        {"select * from t where a > 5", ""},
        // Several statements: libpq keeps the last result.
        {"delete from t where a = 1; select a, b from t", "2|two\n"},
        {" ; -- nothing", "<empty>"},
    };
    for (const auto &k : cases) EXPECT_EQ(exec(c.get(), k.sql), k.result) << k.sql;

    // Column names reach the client; the native code comes as the detail.
    Result r(PQexec(c.get(), "select 1 as one, n_range_bif(0, 0) as two"), PQclear);
    ASSERT_EQ(PQnfields(r.get()), 2);
    EXPECT_STREQ(PQfname(r.get(), 0), "one");
    r.reset(PQexec(c.get(), "select my_aref(5, 1)"));
    EXPECT_STREQ(PQresultErrorField(r.get(), PG_DIAG_SQLSTATE), "22023");
    EXPECT_STREQ(PQresultErrorField(r.get(), PG_DIAG_MESSAGE_DETAIL), "native error code SR000");

    // The extended protocol is refused and the connection stays usable.
    const char *param = "1";
    r.reset(PQexecParams(c.get(), "select $1", 1, nullptr, &param, nullptr, nullptr, 0));
    EXPECT_STREQ(PQresultErrorField(r.get(), PG_DIAG_SQLSTATE), "0A000");
    EXPECT_EQ(exec(c.get(), "select 'still here'"), "still here\n");

    // Transactions show in the status that comes with ReadyForQuery.
    EXPECT_EQ(exec(c.get(), "begin"), "<BEGIN>");
    EXPECT_EQ(PQtransactionStatus(c.get()), PQTRANS_INTRANS);
    EXPECT_EQ(exec(c.get(), "commit"), "<COMMIT>");
    EXPECT_EQ(PQtransactionStatus(c.get()), PQTRANS_IDLE);

    // Encryption requests are declined: sslmode=require cannot connect.
    Conn tls = connect(s, "sslmode=require");
    EXPECT_EQ(PQstatus(tls.get()), CONNECTION_BAD);
    EXPECT_NE(std::string(PQerrorMessage(tls.get())).find("does not support SSL"),
              std::string::npos);
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, WorkerFailureReachesTheClient) {
    Server s(db, {"QUENDRIX_TEST_FAULTS=thread:1"});
    Conn c = connect(s);
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_EQ(exec(c.get(), "select call_srv(2, 3)"), "ERROR .....: Can't start the worker thread");
    EXPECT_EQ(exec(c.get(), "select call_srv(2, 3)"), "5\n");
}

TEST_F(Listener, ConcurrentClientsShareOneWorker) {
    Server s(db);
    constexpr int kClients = 6, kRounds = 40;
    std::vector<std::string> failures(kClients);
    std::vector<std::thread> clients;
    for (int k = 0; k < kClients; ++k) {
        clients.emplace_back([&, k] {
            Conn c = connect(s);
            if (PQstatus(c.get()) != CONNECTION_OK) {
                failures[k] = PQerrorMessage(c.get());
                return;
            }
            for (int i = 0; i < kRounds && failures[k].empty(); ++i) {
                int a = k * 1000 + i;
                std::string sum = exec(c.get(), "select call_srv(" + std::to_string(a) + ", " +
                                                     std::to_string(a) + ")");
                std::string rows = exec(c.get(), "select n_range_bif(" + std::to_string(a) + ", " +
                                                      std::to_string(a + 2) + ")");
                std::string expected = std::to_string(a) + "|" + std::to_string(2 * a) + "\n" +
                                       std::to_string(a + 1) + "|" + std::to_string(2 * a + 2) + "\n";
                if (sum != std::to_string(2 * a) + "\n" || rows != expected)
                    failures[k] = "round " + std::to_string(i) + ": " + sum + " / " + rows;
            }
        });
    }
    for (auto &t : clients) t.join();
    for (int k = 0; k < kClients; ++k) EXPECT_EQ(failures[k], "") << "client " << k;
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, StopsPromptlyWithClientsIdleAndMidStream) {
    Server s(db);
    Conn idle = connect(s);
    ASSERT_EQ(PQstatus(idle.get()), CONNECTION_OK);
    // A client that reads the first rows of an endless range and then no more:
    // the server blocks in sending until it stops.
    Conn streaming = connect(s);
    ASSERT_EQ(PQsendQuery(streaming.get(), "call n_range_bif(0, 2147483647)"), 1);
    ASSERT_EQ(PQsetSingleRowMode(streaming.get()), 1);
    for (int i = 0; i < 3; ++i) {
        Result r(PQgetResult(streaming.get()), PQclear);
        ASSERT_EQ(PQresultStatus(r.get()), PGRES_SINGLE_TUPLE);
        EXPECT_EQ(std::string(PQgetvalue(r.get(), 0, 1)), std::to_string(2 * i));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::chrono::milliseconds took{};
    EXPECT_EQ(s.stop(&took), 0);
    EXPECT_LT(took.count(), 4000);
}

TEST_F(Listener, ListenAddressMustBeLoopback) {
    const struct {
        const char *address, *message;
    } cases[] = {
        {"10.1.2.3:5432", "only loopback addresses"},
        {"0.0.0.0:5432", "only loopback addresses"},
        {"127.0.0.1:port", "the port must be a number"},
        {"127.0.0.1:70000", "the port must be a number"},
        {"::1:5432", "in brackets"},
    };
    for (const auto &c : cases) {
        ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db, "--listen", c.address});
        EXPECT_EQ(r.status, 2) << c.address;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.address << ": " << r.err;
    }
}

}  // namespace
