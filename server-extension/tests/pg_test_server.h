// A quendrix server for tests of the network listener, started on a free loopback
// port, and libpq helpers that show results as text.
#pragma once

#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <memory>
#include <thread>

#include "run_program.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;
const std::string kPsql = PSQL_PATH;

// A quendrix server listening on a free loopback port. It dies with the test
// process, and stop() ends it with SIGTERM.
class Server {
public:
    explicit Server(const std::string &db, const std::vector<std::string> &extra_env = {}) {
        int out[2];
        if (pipe(out) != 0) return;
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) env.push_back(*e);
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        std::vector<char *> envp;
        for (auto &e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::string a[] = {"quendrix", "--database", db, "--listen", "127.0.0.1:0"};
        char *argv[] = {&a[0][0], &a[1][0], &a[2][0], &a[3][0], &a[4][0], nullptr};
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execve(kQuendrix.c_str(), argv, envp.data());
            _exit(127);
        }
        close(out[1]);
        // The first line names the address: "... listening on 127.0.0.1:PORT".
        std::string line;
        char ch;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 &&
               read(out[0], &ch, 1) == 1)
            line += ch;
        close(out[0]);
        size_t colon = line.rfind(':');
        if (colon != std::string::npos) port_ = std::atoi(line.c_str() + colon + 1);
    }
    ~Server() { stop(); }

    int port() const { return port_; }
    std::string conninfo(const std::string &extra = "") const {
        return "host=127.0.0.1 port=" + std::to_string(port_) +
               " user=tester dbname=x connect_timeout=10 " + extra;
    }

    // Sends SIGTERM and waits at most 10 s; the exit status, or -1.
    int stop(std::chrono::milliseconds *took = nullptr) {
        if (pid_ <= 0) return -1;
        auto start = std::chrono::steady_clock::now();
        kill(pid_, SIGTERM);
        int status = -1, wstatus = 0;
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid_, &wstatus, WNOHANG) == pid_) {
                status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (status == -1 && waitpid(pid_, &wstatus, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &wstatus, 0);
        }
        if (took)
            *took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
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

}  // namespace
