// The network listener: accepts clients on a TCP address and a Unix socket, serves each in a
// server thread of its own, and stops on SIGINT or SIGTERM within a bounded time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "network/listen_sockets.h"
#include "network/pg_listener.h"
#include "network/pg_wire.h"

namespace {

volatile sig_atomic_t stop_signal = 0;
void on_stop_signal(int sig) { stop_signal = sig; }

constexpr int kMaxConnections = 64;
constexpr size_t kConnectionStack = 1 << 20;  // SQLite and the built-ins run on it
constexpr auto kGracePeriod = std::chrono::seconds(5);

void connection_main(void *p) { qx::pg::serve_connection(static_cast<qx::pg::Connection *>(p)); }

bool all_digits(const std::string &s) {
    return !s.empty() && s.size() <= 5 && s.find_first_not_of("0123456789") == std::string::npos;
}

// Turns the client away before the start-up exchange.
void refuse(int fd, const char *state, const std::string &message) {
    std::string out;
    qx::pg::Message m('E');
    m.byte('S').str("FATAL").byte('V').str("FATAL").byte('C').str(state).byte('M').str(message);
    m.byte('\0');
    m.finish(out);
    qx::pg::write_all(fd, out);
}

// Joins and frees the connections whose clients have gone.
void reap(std::vector<qx::pg::Connection *> &connections) {
    for (auto it = connections.begin(); it != connections.end();) {
        qx::pg::Connection *c = *it;
        if (!c->finished) {
            ++it;
            continue;
        }
        qx_thread_join(c->thread);
        close(c->fd);
        delete c;
        it = connections.erase(it);
    }
}

}  // namespace

namespace qx {
namespace pg {

bool parse_listen_address(const std::string &text, std::string *host, int *port, bool *loopback,
                          std::string *why) {
    std::string h = "127.0.0.1", p = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos) {
            *why = "expected [ADDRESS]:PORT";
            return false;
        }
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
        if (h.find(':') != std::string::npos) {
            *why = "write an IPv6 address in brackets: [ADDRESS]:PORT";
            return false;
        }
    }
    if (!all_digits(p) || std::stoi(p) > 65535) {
        *why = "the port must be a number from 0 to 65535";
        return false;
    }
    if (h == "localhost") h = "127.0.0.1";
    in_addr v4;
    in6_addr v6;
    bool is_v4 = inet_pton(AF_INET, h.c_str(), &v4) == 1;
    bool is_v6 = !is_v4 && inet_pton(AF_INET6, h.c_str(), &v6) == 1;
    if (!is_v4 && !is_v6) {
        *why = "the host must be an IP address or localhost";
        return false;
    }
    *loopback = (is_v4 && (ntohl(v4.s_addr) >> 24) == 127) || (is_v6 && IN6_IS_ADDR_LOOPBACK(&v6));
    *host = h;
    *port = std::stoi(p);
    return true;
}

int run_listener(const std::string &host, int port, const ServerSettings &settings) {
    int listener = -1, local_listener = -1, one = 1;
    std::string why, socket_path;
    if (!host.empty() && (listener = open_tcp_listener(host, port, &port, &why)) < 0) {
        std::fprintf(stderr, "*** Error 08001: cannot listen on %s port %d: %s\n", host.c_str(),
                     port, why.c_str());
        return 1;
    }
    if (!settings.socket_dir.empty() &&
        (local_listener = open_unix_listener(settings.socket_dir, port, &socket_path, &why)) < 0) {
        std::fprintf(stderr, "*** Error 08001: cannot listen on socket %s: %s\n",
                     socket_path.c_str(), why.c_str());
        if (listener >= 0) close(listener);
        return 1;
    }
    bool v6 = host.find(':') != std::string::npos;

    // SIGINT and SIGTERM are blocked everywhere but in this thread's wait for
    // clients, so they end that wait; connection threads inherit the block.
    sigset_t stop_signals, saved_mask, wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &saved_mask);
    wait_mask = saved_mask;
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    struct sigaction action {}, saved_int, saved_term;
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &saved_int);
    sigaction(SIGTERM, &action, &saved_term);
    stop_signal = 0;

    if (listener >= 0)
        std::printf("Quendrix server listening on %s%s%s:%d\n", v6 ? "[" : "", host.c_str(),
                    v6 ? "]" : "", port);
    if (local_listener >= 0) std::printf("Quendrix server listening on socket %s\n", socket_path.c_str());
    std::fflush(stdout);
    if (settings.auth == AuthMethod::trust)
        std::fprintf(stderr, "WARNING: --auth trust: every client on this machine may connect "
                             "as any user without a password\n");

    std::random_device random;
    std::vector<Connection *> connections;
    while (!stop_signal) {
        pollfd waiting[2] = {{listener, POLLIN, 0}, {local_listener, POLLIN, 0}};
        timespec tick{0, 250 * 1000 * 1000};
        int ready = ppoll(waiting, 2, &tick, &wait_mask);
        reap(connections);
        if (ready <= 0) continue;
        bool local = !(waiting[0].revents & POLLIN);
        if (local && !(waiting[1].revents & POLLIN)) continue;
        sockaddr_storage peer{};
        socklen_t peer_size = sizeof peer;
        int fd = accept4(local ? local_listener : listener, reinterpret_cast<sockaddr *>(&peer),
                         &peer_size, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (!local) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connections.size() >= static_cast<size_t>(kMaxConnections)) {
            refuse(fd, "53300", "sorry, too many clients already");
            close(fd);
            continue;
        }
        auto *c = new Connection;
        c->fd = fd;
        c->local_socket = local;
        c->loopback = !local && is_loopback(peer);
        c->process_id = static_cast<int32_t>(getpid());
        c->secret_key = static_cast<int32_t>(random());
        c->settings = &settings;
        c->thread = qx::start_thread(connection_main, kConnectionStack, c);
        if (!c->thread) {
            refuse(fd, "53000", "the server cannot start a thread for this connection");
            close(fd);
            delete c;
            continue;
        }
        connections.push_back(c);
    }
    if (listener >= 0) close(listener);
    if (local_listener >= 0) {
        close(local_listener);
        unlink(socket_path.c_str());
    }

    // Wake every connection: reads and writes fail at once, and a running
    // statement stops at its next step or row.
    for (Connection *c : connections) {
        shutdown(c->fd, SHUT_RDWR);
        std::lock_guard<std::mutex> lock(c->lock);
        if (c->db) sqlite3_interrupt(c->db);
    }
    auto deadline = std::chrono::steady_clock::now() + kGracePeriod;
    while (!connections.empty() && std::chrono::steady_clock::now() < deadline) {
        reap(connections);
        if (!connections.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "Quendrix server stopped by signal %d\n", static_cast<int>(stop_signal));
    if (!connections.empty()) {
        // A built-in that ignores its errors may run on; the process ends anyway.
        std::fprintf(stderr, "%zu connections did not end within %lld seconds\n",
                     connections.size(), static_cast<long long>(kGracePeriod.count()));
        std::fflush(stderr);
        std::fflush(stdout);
        _exit(1);
    }
    sigaction(SIGINT, &saved_int, nullptr);
    sigaction(SIGTERM, &saved_term, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    return 0;
}

}  // namespace pg
}  // namespace qx
