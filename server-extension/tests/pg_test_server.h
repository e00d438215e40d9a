// The test server of every listener-style test: a quendrix server on a free
// loopback port, whose command line is built in one place, with libpq helpers
// that show results as text and a raw client for what libpq never sends.
#pragma once

#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "run_program.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;
const std::string kPsql = PSQL_PATH;

// How a test server is started beyond its database.
struct ServerOptions {
    std::vector<std::string> env;   // added to the test's environment
    std::vector<std::string> args;  // added to the command line
    int max_files = 0;              // the server's descriptor limit; 0 leaves it
};

// A quendrix server listening on a free loopback port. It dies with the test
// process, and stop() ends it with SIGTERM. Every test server's command line
// is built here.
class Server {
public:
    explicit Server(const std::string &db, const std::vector<std::string> &extra_env = {})
        : Server(db, ServerOptions{extra_env, {}, 0}) {}
    Server(const std::string &db, const ServerOptions &o) {
        int out[2];
        if (pipe(out) != 0) return;
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) env.push_back(*e);
        env.insert(env.end(), o.env.begin(), o.env.end());
        std::vector<char *> envp;
        for (auto &e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::vector<std::string> a = {"quendrix", "--database", db, "--listen", "127.0.0.1:0"};
        a.insert(a.end(), o.args.begin(), o.args.end());
        std::vector<char *> argv;
        for (auto &s : a) argv.push_back(&s[0]);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            if (o.max_files > 0) {
                rlimit files{static_cast<rlim_t>(o.max_files), static_cast<rlim_t>(o.max_files)};
                setrlimit(RLIMIT_NOFILE, &files);
            }
            execve(kQuendrix.c_str(), argv.data(), envp.data());
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
    pid_t pid() const { return pid_; }
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

// A raw client socket, for what libpq would never send. Reads wait at most 10 s.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) close_now();
        timeval wait{10, 0};
        if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    RawClient(RawClient &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    ~RawClient() { close_now(); }
    int fd() const { return fd_; }
    void close_now() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool send_bytes(const std::string &b) {
        return fd_ >= 0 && ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // One message: its type and body; type 0 when the stream ended or nothing came.
    std::pair<char, std::string> reply() {
        char header[5];
        if (!fill(header, 5)) return {0, ""};
        uint32_t length = be32(header + 1);
        if (length < 4 || length > (1u << 26)) return {0, ""};
        std::string body(length - 4, '\0');
        if (!fill(&body[0], body.size())) return {0, ""};
        return {header[0], body};
    }
    // Logs in and reads up to the first ReadyForQuery; false if it did not come.
    bool login() {
        if (!send_bytes(startup_packet())) return false;
        for (;;) {
            auto m = reply();
            if (m.first == 'Z') return true;
            if (m.first == 0 || m.first == 'E') return false;
        }
    }
    // Sends one message of the given type and body.
    bool send(char type, const std::string &body) {
        return send_bytes(type + word(static_cast<uint32_t>(body.size() + 4)) + body);
    }
    // The types of the messages that arrive up to ReadyForQuery (or `count`
    // messages); DataRow's first value and CommandComplete's tag in brackets,
    // "<eof>" when the stream ends or nothing comes.
    std::string until_ready(int count = 1 << 30) {
        std::string seen;
        for (int i = 0; i < count; ++i) {
            auto m = reply();
            if (m.first == 0) return seen + "<eof>";
            seen += m.first;
            if (m.first == 'D' && m.second.size() >= 6)
                seen += "(" + m.second.substr(6, be32(&m.second[2])) + ")";
            if (m.first == 'C') seen += "(" + std::string(m.second.c_str()) + ")";
            if (m.first == 'Z') break;
        }
        return seen;
    }
    // Whether the server ends the stream (after any messages) before `deadline`.
    bool closed_by_server(std::chrono::steady_clock::time_point deadline) {
        char b[256];
        while (std::chrono::steady_clock::now() < deadline) {
            ssize_t got = recv(fd_, b, sizeof b, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return true;
        }
        return false;
    }

    static uint32_t be32(const char *p) {
        const auto *u = reinterpret_cast<const unsigned char *>(p);
        return (uint32_t)u[0] << 24 | (uint32_t)u[1] << 16 | (uint32_t)u[2] << 8 | u[3];
    }
    static std::string word(uint32_t v) {
        std::string w(4, '\0');
        for (int i = 0; i < 4; ++i) w[i] = static_cast<char>(v >> (24 - 8 * i));
        return w;
    }
    static std::string startup_packet() {
        std::string body = word(196608) + std::string("user\0tester\0database\0x\0\0", 24);
        return word(static_cast<uint32_t>(body.size() + 4)) + body;
    }
    static std::string ssl_request() { return word(8) + word(80877103); }
    // A message header announcing a body of `body` bytes.
    static std::string header(char type, uint32_t body) { return type + word(body + 4); }
    // A field of an ErrorResponse body.
    static std::string field(const std::string &body, char code) {
        for (size_t at = 0; at < body.size() && body[at];) {
            std::string value = body.c_str() + at + 1;
            if (body[at] == code) return value;
            at += value.size() + 2;
        }
        return "";
    }

private:
    bool fill(char *p, size_t n) {
        while (n > 0) {
            ssize_t got = recv(fd_, p, n, 0);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    int fd_ = -1;
};

}  // namespace
