// The network listener: accepts clients on a TCP address and a Unix socket, serves each in a
// server thread of its own, and stops on SIGINT or SIGTERM within a bounded time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "network/cancel.h"
#include "network/listen_sockets.h"
#include "network/pg_listener.h"
#include "network/pg_wire.h"
#include "network/turn_away.h"

namespace {

volatile sig_atomic_t stop_signal = 0;
void on_stop_signal(int sig) { stop_signal = sig; }

constexpr int kMaxConnections = 64;
constexpr size_t kConnectionStack = 1 << 20;  // SQLite and the built-ins run on it
constexpr auto kGracePeriod = std::chrono::seconds(5);
// After running out of file descriptors the listener waits this long before it
// accepts again, rather than spinning on a backlog it cannot take.
constexpr auto kDescriptorBackoff = std::chrono::milliseconds(100);

void connection_main(void *p) { qx::pg::serve_connection(static_cast<qx::pg::Connection *>(p)); }

bool all_digits(const std::string &s) {
    return !s.empty() && s.size() <= 5 && s.find_first_not_of("0123456789") == std::string::npos;
}

// Turns the client away before the start-up exchange.
void refuse(int fd, const char *state, const std::string &message) {
    qx::pg::write_all(fd, qx::pg::fatal_error(state, message));
}

// Accepts one client when the process has no descriptor left, with the one
// kept in reserve, to tell it so; then takes the reserve again.
void refuse_for_want_of_descriptors(int listener, int *reserve) {
    if (*reserve >= 0) close(*reserve);
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        refuse(fd, "53000", "sorry, the server has no file descriptor left for a new client");
        close(fd);
    }
    *reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// accept_client's result when the process has no descriptor left.
constexpr int kOutOfDescriptors = -2;

// Accepts a client from a listening socket and serves it in a thread of its
// own, or turns it away when every slot is taken. The client's socket, -1 when
// there was none to accept, or kOutOfDescriptors.
int accept_client(int listening, bool local, std::vector<qx::pg::Connection *> *connections,
                  qx::pg::TurnAway *turn_away, const qx::pg::ServerSettings &settings,
                  std::random_device &random) {
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    int fd = accept4(listening, reinterpret_cast<sockaddr *>(&peer), &peer_size, SOCK_CLOEXEC);
    if (fd < 0) return errno == EMFILE || errno == ENFILE ? kOutOfDescriptors : -1;
    int one = 1;
    if (!local) {
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The kernel probes an idle client, so that one whose machine vanished
        // without closing the connection gives its slot back.
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    }
    if (connections->size() >= static_cast<size_t>(kMaxConnections)) {
        turn_away->add(fd);
        return fd;
    }
    auto *c = new qx::pg::Connection;
    c->fd = fd;
    c->local_socket = local;
    c->loopback = !local && qx::pg::is_loopback(peer);
    c->process_id = static_cast<int32_t>(getpid());
    c->secret_key = static_cast<int32_t>(random());
    c->settings = &settings;
    c->thread = qx::start_thread(connection_main, kConnectionStack, c);
    if (!c->thread) {
        refuse(fd, "53000", "the server cannot start a thread for this connection");
        close(fd);
        delete c;
        return -1;
    }
    qx::pg::register_for_cancel(c);
    connections->push_back(c);
    return fd;
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
        qx::pg::unregister_for_cancel(c);
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
    int listener = -1, local_listener = -1;
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
    // Past the file size limit a write fails (EFBIG) rather than ending the server:
    // the statement that wrote fails, as on a full disk.
    struct sigaction ignore {}, saved_xfsz;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &saved_xfsz);
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
    qx::pg::TurnAway turn_away;
    int reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto accept_again = std::chrono::steady_clock::now();
    std::vector<pollfd> fds;
    std::vector<Connection *> watched;
    while (!stop_signal) {
        // The listening sockets (unless backing off), the sockets of connections
        // running statements, whose clients may leave, and the clients being
        // turned away.
        fds.clear();
        watched.clear();
        bool accepting = std::chrono::steady_clock::now() >= accept_again;
        fds.push_back({accepting ? listener : -1, POLLIN, 0});
        fds.push_back({accepting ? local_listener : -1, POLLIN, 0});
        for (Connection *c : connections) {
            if (!c->busy || c->interrupted() != InterruptReason::none) continue;
            fds.push_back({c->fd, POLLRDHUP, 0});
            watched.push_back(c);
        }
        turn_away.watch(&fds);
        timespec tick{0, 100 * 1000 * 1000};
        int ready = ppoll(fds.data(), fds.size(), &tick, &wait_mask);
        for (size_t i = 0; ready > 0 && i < watched.size(); ++i) {
            if (fds[2 + i].revents & (POLLRDHUP | POLLHUP | POLLERR))
                watched[i]->interrupt(InterruptReason::client_gone);
        }
        turn_away.step();
        reap(connections);
        if (ready <= 0) continue;
        for (int which = 0; which < 2; ++which) {
            if (!(fds[which].revents & POLLIN)) continue;
            bool local = which == 1;
            int fd = accept_client(fds[which].fd, local, &connections, &turn_away, settings,
                                   random);
            if (fd == kOutOfDescriptors) {
                refuse_for_want_of_descriptors(fds[which].fd, &reserve);
                accept_again = std::chrono::steady_clock::now() + kDescriptorBackoff;
            }
        }
    }
    if (listener >= 0) close(listener);
    if (local_listener >= 0) {
        close(local_listener);
        unlink(socket_path.c_str());
    }
    if (reserve >= 0) close(reserve);

    // Stop every connection: no statement starts any more, a running one stops
    // at its next step and rolls back, and reads and writes fail at once.
    for (Connection *c : connections) {
        c->interrupt(InterruptReason::shutdown);
        shutdown(c->fd, SHUT_RDWR);
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
    sigaction(SIGXFSZ, &saved_xfsz, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    return 0;
}

}  // namespace pg
}  // namespace qx
