// The real quendrix program serving PostgreSQL-protocol clients: libpq and psql
// against a server started on a free loopback port, its built-ins over the wire,
// errors with their SQLSTATE, concurrent clients and a bounded shutdown.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "pg_test_server.h"

namespace {

// The processor time a process has used, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = std::atol(f.c_str());
        if (i == 15) {
            stime = std::atol(f.c_str());
            break;
        }
    }
    return utime + stime;
}

// Connects, retrying while the server turns clients away, for at most 15 s.
Conn connect_when_free(const Server &s) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
        Conn c = connect(s);
        if (PQstatus(c.get()) == CONNECTION_OK || std::chrono::steady_clock::now() > deadline)
            return c;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
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

    // Parameters come through the extended protocol.
    const char *param = "1";
    r.reset(PQexecParams(c.get(), "select $1", 1, nullptr, &param, nullptr, nullptr, 0));
    EXPECT_EQ(text_of(r.get()), "1\n");

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

// Whether the kernel keeps probing the server's end of a TCP connection while it is
// idle: /proc/net/tcp shows timer 2 (keepalive) for the socket from `server_port` to
// `client_port`. Waits for it at most 3 s, as a retransmit timer may come first.
bool server_end_is_kept_alive(int server_port, int client_port) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    char ends[32];
    std::snprintf(ends, sizeof ends, ":%04X 0100007F:%04X", server_port, client_port);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream table("/proc/net/tcp");
        for (std::string line; std::getline(table, line);) {
            size_t at = line.find(ends);
            if (at == std::string::npos) continue;
            // The fields after the addresses: state, tx_queue:rx_queue, timer:when.
            std::istringstream rest(line.substr(at + std::strlen(ends)));
            std::string state, queues, timer;
            rest >> state >> queues >> timer;
            if (timer.compare(0, 3, "02:") == 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A client whose machine vanishes without closing its connections must not keep its
// slot for ever: as in PostgreSQL, the kernel probes idle TCP clients.
TEST_F(Listener, IdleTcpClientsAreProbedSoThatAVanishedOneIsNoticed) {
    Server s(db);
    Conn c = connect(s);
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK);
    sockaddr_in mine{};
    socklen_t size = sizeof mine;
    ASSERT_EQ(getsockname(PQsocket(c.get()), reinterpret_cast<sockaddr *>(&mine), &size), 0);
    EXPECT_TRUE(server_end_is_kept_alive(s.port(), ntohs(mine.sin_port)));
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

TEST_F(Listener, MessagesClaimMemoryOnlyAsTheyArriveAndWithinABound) {
    Server s(db);
    ASSERT_GT(s.port(), 0);
    // Clients that announce large queries and send only a few bytes hold
    // next to nothing.
    long before = status_kib(s.pid(), "VmRSS");
    std::vector<RawClient> partial;
    for (int i = 0; i < 8; ++i) {
        partial.emplace_back(s.port());
        ASSERT_TRUE(partial.back().login());
        ASSERT_TRUE(partial.back().send_bytes(RawClient::header('Q', 30u << 20) + "select 1"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(status_kib(s.pid(), "VmRSS") - before, 64 * 1024) << "KiB held for 8 announced 30 MiB queries";

    // Beyond the bound: 54000, and only that client goes; extended-protocol
    // messages are bounded alike.
    const std::pair<char, uint32_t> oversized[] = {
        {'Q', 40u << 20}, {'Q', 0xFFFFFFF0u}, {'P', 40u << 20}, {'B', 0xFFFFFFF0u}};
    for (const auto &[type, announced] : oversized) {
        SCOPED_TRACE(type);
        RawClient big(s.port());
        ASSERT_TRUE(big.login());
        ASSERT_TRUE(big.send_bytes(RawClient::header(type, announced)));
        auto m = big.reply();
        EXPECT_EQ(m.first, 'E') << announced;
        EXPECT_EQ(RawClient::field(m.second, 'C'), "54000") << announced;
        EXPECT_TRUE(big.closed_by_server(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    }
    // A large query that arrives in pieces is served.
    Conn c = connect(s);
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK);
    EXPECT_EQ(exec(c.get(), "select length('" + std::string(8u << 20, 'x') + "')"), "8388608\n");
    partial.clear();
    EXPECT_EQ(exec(c.get(), "select 'still serving'"), "still serving\n");
    EXPECT_EQ(s.stop(), 0);
}

// The sanitizers reserve address space of their own, end the process when an
// allocation fails, and need file descriptors for their own checks: limits on
// address space and descriptors are for plain builds only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST_F(Listener, AllocationFailureEndsOnlyThatClient) {
    if (kSanitized) GTEST_SKIP() << "address-space limits do not apply under the sanitizers";
    Server s(db);
    RawClient greedy(s.port());
    ASSERT_TRUE(greedy.login());
    // The server may map little more than it has now: a 30 MiB query cannot be held.
    rlimit tight{static_cast<rlim_t>(status_kib(s.pid(), "VmSize") + 8 * 1024) * 1024, RLIM_INFINITY};
    ASSERT_EQ(prlimit(s.pid(), RLIMIT_AS, &tight, nullptr), 0);
    std::string q = "select length('" + std::string(30u << 20, 'x') + "')";
    q += '\0';
    greedy.send_bytes(RawClient::header('Q', static_cast<uint32_t>(q.size())) + q);
    auto m = greedy.reply();
    EXPECT_EQ(m.first, 'E');
    EXPECT_EQ(RawClient::field(m.second, 'C'), "53200");
    rlimit loose{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(s.pid(), RLIMIT_AS, &loose, nullptr), 0);
    Conn c = connect(s);
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_EQ(exec(c.get(), "select 'still serving'"), "still serving\n");
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, SilentAndIdleClientsLoseTheirSlots) {
    Server s(db, ServerOptions{{"--startup-timeout", "1", "--idle-session-timeout", "1"}});
    ASSERT_GT(s.port(), 0);
    // Every slot taken by a client that sends nothing, or half a start-up packet.
    std::vector<RawClient> silent;
    for (int i = 0; i < 64; ++i) {
        silent.emplace_back(s.port());
        if (i % 2) silent.back().send_bytes(RawClient::word(40));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (RawClient &r : silent) EXPECT_TRUE(r.closed_by_server(deadline));
    Conn c = connect_when_free(s);
    EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());

    // Idle sessions end with PostgreSQL's reasons, in and out of a transaction.
    const struct {
        const char *sql, *state;
    } idle[] = {{nullptr, "57P05"}, {"begin", "25P03"}};
    for (const auto &k : idle) {
        RawClient r(s.port());
        ASSERT_TRUE(r.login());
        if (k.sql) {
            std::string q = std::string(k.sql) + '\0';
            ASSERT_TRUE(r.send_bytes(RawClient::header('Q', static_cast<uint32_t>(q.size())) + q));
            while (r.reply().first != 'Z') {
            }
        }
        auto m = r.reply();
        EXPECT_EQ(m.first, 'E');
        EXPECT_EQ(RawClient::field(m.second, 'C'), k.state);
        EXPECT_TRUE(r.closed_by_server(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    }
    // The timeout bounds silence: a query that comes in slow pieces is served.
    RawClient slow(s.port());
    ASSERT_TRUE(slow.login());
    std::string q = std::string("select 'slow'") + '\0';
    std::string message = RawClient::header('Q', static_cast<uint32_t>(q.size())) + q;
    for (size_t at = 0; at < message.size(); at += 4) {
        ASSERT_TRUE(slow.send_bytes(message.substr(at, 4)));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(slow.reply().first, 'T');
}

// A session may set idle timeouts of its own (SET idle_session_timeout and
// idle_in_transaction_session_timeout), each for its own state, but cannot lift the
// server's.
TEST_F(Listener, SessionsSetTheirOwnIdleTimeoutsButCannotLiftTheServers) {
    auto query = [](RawClient &r, const std::string &sql) {
        r.send('Q', sql + '\0');
        return r.until_ready();
    };
    auto ended_with = [](RawClient &r) {
        auto m = r.reply();
        std::string state = m.first == 'E' ? RawClient::field(m.second, 'C') : std::string(1, m.first);
        return r.closed_by_server(std::chrono::steady_clock::now() + std::chrono::seconds(10)) ? state : "open";
    };
    {
        Server s(db);
        RawClient in_block(s.port()), idle(s.port()), outside(s.port());
        ASSERT_TRUE(in_block.login() && idle.login() && outside.login());
        EXPECT_EQ(query(in_block, "set idle_in_transaction_session_timeout = '200ms'; begin"), "C(SET)C(BEGIN)Z");
        EXPECT_EQ(query(idle, "set idle_session_timeout = 200"), "C(SET)Z");
        // Outside a block, the in-transaction timeout does not apply.
        EXPECT_EQ(query(outside, "set idle_in_transaction_session_timeout = 200"), "C(SET)Z");
        EXPECT_EQ(ended_with(in_block), "25P03");
        EXPECT_EQ(ended_with(idle), "57P05");
        EXPECT_EQ(query(outside, "select 'still here'"), "TD(still here)C(SELECT 1)Z");
    }
    Server s(db, ServerOptions{{"--idle-session-timeout", "1"}});
    RawClient lifting(s.port());
    ASSERT_TRUE(lifting.login());
    EXPECT_EQ(query(lifting, "set idle_session_timeout = 0; set idle_in_transaction_session_timeout = '1h'"),
              "C(SET)C(SET)Z");
    EXPECT_EQ(ended_with(lifting), "57P05");
}

TEST_F(Listener, TimeoutOptionsAreChecked) {
    for (const char *bad : {"--startup-timeout=0", "--startup-timeout=x", "--idle-session-timeout=-1",
                            "--idle-session-timeout=99999999"}) {
        ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db, "--listen",
                                               "127.0.0.1:0", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("number of seconds"), std::string::npos) << bad << ": " << r.err;
    }
}

TEST_F(Listener, ClientBeyondTheSlotsHearsTooManyClients) {
    TempDir sockets;
    Server s(db, ServerOptions{{"--socket", sockets.path()}});
    std::vector<Conn> held;
    for (int i = 0; i < 64; ++i) {
        held.push_back(connect(s));
        ASSERT_EQ(PQstatus(held.back().get()), CONNECTION_OK) << i;
    }
    // libpq asks for encryption first (sslmode=prefer), hears 'N', then the reason.
    Conn extra = connect(s, "sslmode=prefer");
    EXPECT_EQ(PQstatus(extra.get()), CONNECTION_BAD);
    EXPECT_NE(std::string(PQerrorMessage(extra.get())).find("sorry, too many clients already"),
              std::string::npos)
        << PQerrorMessage(extra.get());
    RawClient raw(s.port());
    ASSERT_TRUE(raw.send_bytes(RawClient::ssl_request()));
    char answer = 0;
    EXPECT_EQ(recv(raw.fd(), &answer, 1, 0), 1);
    EXPECT_EQ(answer, 'N');
    ASSERT_TRUE(raw.send_bytes(RawClient::startup_packet()));
    auto m = raw.reply();
    EXPECT_EQ(m.first, 'E');
    EXPECT_EQ(RawClient::field(m.second, 'C'), "53300");
    EXPECT_EQ(RawClient::field(m.second, 'M'), "sorry, too many clients already");
    // The Unix socket shares the slots and the answer.
    Conn local(PQconnectdb(("host=" + sockets.path() + " port=" + std::to_string(s.port()) +
                            " user=tester dbname=x connect_timeout=10")
                               .c_str()),
               PQfinish);
    EXPECT_NE(std::string(PQerrorMessage(local.get())).find("sorry, too many clients already"),
              std::string::npos)
        << PQerrorMessage(local.get());
    // A slot that frees up is taken.
    held.pop_back();
    Conn next = connect_when_free(s);
    EXPECT_EQ(PQstatus(next.get()), CONNECTION_OK) << PQerrorMessage(next.get());
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, StatementOfADepartedClientIsInterruptedAndRolledBack) {
    const char *endless[] = {
        // a writer: holds the write lock while it runs
        "insert into t with recursive c(x) as (select 1 union all select x + 1 from c) "
        "select x from c",
        // a reader calling the worker built-in: keeps writers from committing
        "select count(*) from (with recursive c(x) as (select 1 union all select x + 1 from c) "
        "select x from c) where call_srv(x, 1) > 0",
    };
    for (int extended = 0; extended < 2; ++extended)
    for (const char *sql : endless) {
        SCOPED_TRACE(extended ? "extended protocol" : "simple query");
        TempDir d;
        Server s(d.file("gone.db"));
        Conn c = connect(s);
        ASSERT_EQ(exec(c.get(), "create table t(x)"), "<CREATE TABLE>");
        {
            RawClient gone(s.port());
            ASSERT_TRUE(gone.login());
            std::string q = std::string(sql) + '\0';
            const std::string none(2, '\0');  // no parameter types, formats or values
            if (extended) {
                ASSERT_TRUE(gone.send('P', std::string(1, '\0') + q + none));
                ASSERT_TRUE(gone.send('B', std::string(2, '\0') + none + none + none));
                ASSERT_TRUE(gone.send('E', std::string(1, '\0') + RawClient::word(0)));
                ASSERT_TRUE(gone.send('S', ""));
            } else {
                ASSERT_TRUE(gone.send('Q', q));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        // Its work stops: another client writes, and sees none of its rows.
        std::string inserted;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (inserted != "<INSERT 0 1>" && std::chrono::steady_clock::now() < deadline)
            inserted = exec(c.get(), "insert into t values (-1)");
        EXPECT_EQ(inserted, "<INSERT 0 1>") << sql;
        EXPECT_EQ(exec(c.get(), "select count(*) from t"), "1\n") << sql;
        EXPECT_EQ(s.stop(), 0) << sql;
    }
}

TEST_F(Listener, SigtermStartsNoFurtherStatement) {
    Server s(db);
    Conn setup = connect(s);
    ASSERT_EQ(exec(setup.get(), "create table t(k)"), "<CREATE TABLE>");
    // Many statements in one text, each committed by the COMMIT after it (the statements
    // of one text are otherwise one transaction).
    constexpr int kStatements = 2000;
    std::string text;
    for (int k = 1; k <= kStatements; ++k)
        text += "insert into t select " + std::to_string(k) +
                " + 0 * count(*) from (with recursive c(x) as (select 1 union all select x + 1 "
                "from c where x < 20000) select x from c);\ncommit;\n";
    Conn writer = connect(s);
    ASSERT_EQ(PQsendQuery(writer.get(), text.c_str()), 1);
    std::string count;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline &&
           (count = exec(setup.get(), "select count(*) from t")) == "0\n")
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    long at_signal = std::atol(count.c_str());
    ASSERT_GT(at_signal, 0);
    EXPECT_EQ(s.stop(), 0);
    ProgramRun r = run_program(kQuendrix, {"quendrix", "--database", db, "--execute",
                                           "select count(*) from t"});
    long after = std::atol(r.out.c_str());
    EXPECT_LT(after, kStatements);
    // At most the statements already running when the signal came.
    EXPECT_LE(after - at_signal, 3) << "committed after the signal";
}

TEST_F(Listener, AtTheDescriptorLimitClientsAreAnsweredWithoutSpinning) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers' own checks fail at the descriptor limit";
    Server s(db, ServerOptions{{}, {}, 40});
    ASSERT_GT(s.port(), 0);
    // Silent clients take every descriptor the server has; more wait in the backlog.
    std::vector<RawClient> silent;
    for (int i = 0; i < 60; ++i) silent.emplace_back(s.port());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long ticks = cpu_ticks(s.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpu_ticks(s.pid()) - ticks, sysconf(_SC_CLK_TCK) / 2) << "the listener spins";
    // A client that comes now is told, rather than left hanging.
    RawClient late(s.port());
    ASSERT_TRUE(late.send_bytes(RawClient::startup_packet()));
    auto m = late.reply();
    EXPECT_EQ(m.first, 'E');
    EXPECT_EQ(RawClient::field(m.second, 'C'), "53000");
    silent.clear();
    Conn c = connect_when_free(s);
    EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, LoggingInNeedsNoDatabaseLock) {
    Server s(db);
    Conn holder = connect(s);
    ASSERT_EQ(exec(holder.get(), "create table t(x)"), "<CREATE TABLE>");
    ASSERT_EQ(exec(holder.get(), "begin exclusive"), "<BEGIN>");
    Conn late = connect(s);
    ASSERT_EQ(PQstatus(late.get()), CONNECTION_OK) << PQerrorMessage(late.get());
    EXPECT_EQ(exec(holder.get(), "commit"), "<COMMIT>");
    EXPECT_EQ(exec(late.get(), "select count(*) from t"), "0\n");
    // The catalogue, whose set-up waited for the lock, is there.
    EXPECT_EQ(exec(late.get(), "select count(*) >= 0 from DB.DBA.SYS_KEYS"), "1\n");
}

// Readers and writers do not wait for each other: a reader in the middle of a cursor
// keeps the rows as they were when it began, while a writer commits at once; only
// two writers queue.
TEST_F(Listener, ReadersAndWritersDoNotBlockEachOther) {
    Server s(db);
    Conn reader = connect(s), writer = connect(s);
    ASSERT_EQ(exec(writer.get(), "create table t(x integer)"), "<CREATE TABLE>");
    ASSERT_EQ(exec(writer.get(), "insert into t values (1), (2), (3)"), "<INSERT 0 3>");
    ASSERT_EQ(exec(reader.get(), "begin"), "<BEGIN>");
    ASSERT_EQ(exec(reader.get(), "declare c cursor for select x from t order by x"),
              "<DECLARE CURSOR>");
    ASSERT_EQ(exec(reader.get(), "fetch 1 from c"), "1\n");
    // (Were the reader holding a lock, each of these would wait 5 s and fail.)
    EXPECT_EQ(exec(writer.get(), "insert into t values (4)"), "<INSERT 0 1>");
    EXPECT_EQ(exec(writer.get(), "delete from t where x = 3"), "<DELETE 1>");
    EXPECT_EQ(exec(reader.get(), "fetch all from c"), "2\n3\n");
    EXPECT_EQ(exec(reader.get(), "commit"), "<COMMIT>");
    EXPECT_EQ(exec(reader.get(), "select group_concat(x) from t"), "1,2,4\n");

    // A writer's open transaction keeps other writers waiting, not readers.
    ASSERT_EQ(exec(writer.get(), "begin"), "<BEGIN>");
    ASSERT_EQ(exec(writer.get(), "insert into t values (5)"), "<INSERT 0 1>");
    EXPECT_EQ(exec(reader.get(), "select count(*) from t"), "3\n");
    EXPECT_EQ(exec(writer.get(), "commit"), "<COMMIT>");
    EXPECT_EQ(exec(reader.get(), "select count(*) from t"), "4\n");

    // A transaction that read before another's commit cannot write over it.
    ASSERT_EQ(exec(reader.get(), "begin"), "<BEGIN>");
    ASSERT_EQ(exec(reader.get(), "select count(*) from t"), "4\n");
    ASSERT_EQ(exec(writer.get(), "insert into t values (6)"), "<INSERT 0 1>");
    EXPECT_EQ(exec(reader.get(), "insert into t values (7)"),
              "ERROR 40001: could not serialize access due to concurrent update");
    EXPECT_EQ(exec(reader.get(), "rollback"), "<ROLLBACK>");
    EXPECT_EQ(exec(reader.get(), "select group_concat(x) from t"), "1,2,4,5,6\n");
}

TEST_F(Listener, FailedStatementAbortsTheTransactionBlock) {
    Server s(db);
    Conn c = connect(s);
    ASSERT_EQ(exec(c.get(), "create table acct(name primary key, bal); "
                            "insert into acct values ('a', 100), ('b', 0)"),
              "<INSERT 0 2>");
    const char *aborted = "ERROR 25P02: current transaction is aborted, commands ignored until "
                          "end of transaction block";
    const struct {
        const char *sql, *result;
        PGTransactionStatusType status;
    } steps[] = {
        // An error fails the block; COMMIT then rolls back.
        {"begin", "<BEGIN>", PQTRANS_INTRANS},
        {"update acct set bal = bal - 10 where name = 'a'", "<UPDATE 1>", PQTRANS_INTRANS},
        {"update nosuch set bal = 1", "ERROR 42000: no such table: nosuch", PQTRANS_INERROR},
        {"update acct set bal = bal + 10 where name = 'b'", aborted, PQTRANS_INERROR},
        {"select 1", aborted, PQTRANS_INERROR},
        {"commit", "<ROLLBACK>", PQTRANS_IDLE},
        {"select group_concat(bal) from acct", "100,0\n", PQTRANS_IDLE},
        // An error after which SQLite itself rolled back: what follows must not commit.
        {"begin", "<BEGIN>", PQTRANS_INTRANS},
        {"update acct set bal = bal - 10 where name = 'a'", "<UPDATE 1>", PQTRANS_INTRANS},
        {"insert or rollback into acct values ('a', 1)",
         "ERROR 23505: UNIQUE constraint failed: acct.name", PQTRANS_INERROR},
        {"update acct set bal = bal + 10 where name = 'b'", aborted, PQTRANS_INERROR},
        {"rollback", "<ROLLBACK>", PQTRANS_IDLE},
        {"select group_concat(bal) from acct", "100,0\n", PQTRANS_IDLE},
        // ROLLBACK TO a savepoint recovers the block.
        {"begin; savepoint s", "<SAVEPOINT>", PQTRANS_INTRANS},
        {"select * from nosuch", "ERROR 42000: no such table: nosuch", PQTRANS_INERROR},
        {"rollback to s", "<ROLLBACK>", PQTRANS_INTRANS},
        {"update acct set bal = 5 where name = 'b'", "<UPDATE 1>", PQTRANS_INTRANS},
        {"commit", "<COMMIT>", PQTRANS_IDLE},
        {"select group_concat(bal) from acct", "100,5\n", PQTRANS_IDLE},
        // As in PostgreSQL, no block to end or one already open is no error.
        {"commit", "<COMMIT>", PQTRANS_IDLE},
        {"rollback", "<ROLLBACK>", PQTRANS_IDLE},
        {"begin; begin", "<BEGIN>", PQTRANS_INTRANS},
        {"end", "<COMMIT>", PQTRANS_IDLE},
    };
    for (const auto &k : steps) {
        EXPECT_EQ(exec(c.get(), k.sql), k.result) << k.sql;
        EXPECT_EQ(PQtransactionStatus(c.get()), k.status) << k.sql;
    }

    // psql -f sends statement after statement and goes on after an error.
    std::string script = dir.file("transfer.sql");
    write_file(script,
               "begin;\n"
               "update acct set bal = bal - 50 where name = 'a';\n"
               "update acct set bal = bal + 50 where nam = 'b';\n"
               "update acct set bal = bal + 50 where name = 'b';\n"
               "commit;\n");
    ProgramRun r = run_program(kPsql, {"psql", "-h", "127.0.0.1", "-p", std::to_string(s.port()),
                                       "-U", "x", "-d", "x", "-X", "-f", script});
    EXPECT_NE(r.err.find("current transaction is aborted"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("ROLLBACK"), std::string::npos) << r.out;
    EXPECT_EQ(exec(c.get(), "select group_concat(bal) from acct"), "100,5\n");
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, ValuesBeyondTheLimitFailRatherThanChange) {
    Server s(db);
    Conn c = connect(s);
    const struct {
        const char *sql, *result;
    } cases[] = {
        {"select length(zeroblob(16777216))", "16777216\n"},
        {"select 1, zeroblob(16777216)",
         "ERROR 54000: a result value exceeds the largest value a client can receive (16777215 "
         "bytes)"},
        {"select printf('%.*c', 16777216, 'x')",
         "ERROR 54000: a result value exceeds the largest value a client can receive (16777215 "
         "bytes)"},
    };
    for (const auto &k : cases) EXPECT_EQ(exec(c.get(), k.sql), k.result) << k.sql;
    // The largest value that fits arrives whole.
    Result r(PQexec(c.get(), "select printf('%.*c', 16777215, 'y')"), PQclear);
    ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << PQresultErrorMessage(r.get());
    EXPECT_EQ(PQgetlength(r.get(), 0, 0), 16777215);
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Listener, ErrorTextsCarryNoNul) {
    Server s(db);
    RawClient r(s.port());
    ASSERT_TRUE(r.login());
    ASSERT_TRUE(r.send_bytes(RawClient::header('\0', 0)));
    // An unknown message type ends the connection, as in PostgreSQL; the
    // type is named without putting its NUL into the text.
    auto m = r.reply();
    ASSERT_EQ(m.first, 'E');
    EXPECT_EQ(RawClient::field(m.second, 'S'), "FATAL");
    EXPECT_EQ(RawClient::field(m.second, 'C'), "08P01");
    EXPECT_EQ(RawClient::field(m.second, 'M'), "invalid frontend message type 0");
    EXPECT_TRUE(r.closed_by_server(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
}

}  // namespace
