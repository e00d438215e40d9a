// The real quendrix program as a server on a free loopback port, for tests with
// PostgreSQL clients. The whole command line is built here.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

// A memory figure of a process from /proc/PID/status, in KiB: `field` is "VmRSS",
// "VmHWM" (the peak), "VmSize" and so on. -1 when it cannot be read.
inline long status_kib(pid_t pid, const std::string &field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line, key = field + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// How a test server is started beyond its database.
struct ServerOptions {
    ServerOptions(std::vector<std::string> args = {}, std::vector<std::string> env = {},
                  int max_files = 0, std::string stderr_file = "")
        : args(std::move(args)), env(std::move(env)), max_files(max_files),
          stderr_file(std::move(stderr_file)) {}
    std::vector<std::string> args;  // after --database DB --listen 127.0.0.1:0
    std::vector<std::string> env;   // added to the test's environment
    int max_files;                  // the server's descriptor limit; 0 leaves it
    std::string stderr_file;        // where standard error goes; empty: the test's
    long max_file_size = 0;         // the largest file the server may write; 0 leaves it
};

// A quendrix server listening on a free loopback port. It dies with the test
// process, and stop() ends it with SIGTERM. Every test server's command line is
// built here.
class QuendrixServer {
public:
    QuendrixServer(const std::string &db, const ServerOptions &o) {
        int out[2];
        if (pipe(out) != 0) return;
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) env.push_back(*e);
        env.insert(env.end(), o.env.begin(), o.env.end());
        std::vector<char *> envp;
        for (auto &e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::vector<std::string> args = {"quendrix", "--database", db, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), o.args.begin(), o.args.end());
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            if (!o.stderr_file.empty()) {
                int err = open(o.stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (err >= 0) dup2(err, 2);
            }
            close(out[0]);
            close(out[1]);
            if (o.max_files > 0) {
                rlimit files{static_cast<rlim_t>(o.max_files), static_cast<rlim_t>(o.max_files)};
                setrlimit(RLIMIT_NOFILE, &files);
            }
            if (o.max_file_size > 0) {
                rlimit size{static_cast<rlim_t>(o.max_file_size), static_cast<rlim_t>(o.max_file_size)};
                setrlimit(RLIMIT_FSIZE, &size);
            }
            execve(QUENDRIX_PATH, argv.data(), envp.data());
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
    ~QuendrixServer() { stop(); }

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
