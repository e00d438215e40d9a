#include "network/transport.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace qx {
namespace pg {
namespace {

// Milliseconds until the deadline, for poll(): -1 for none.
int wait_ms(Transport::Clock::time_point deadline) {
    using namespace std::chrono;
    if (deadline == Transport::Clock::time_point::max()) return -1;
    auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

Transport::~Transport() {
    if (ssl_) {
        SSL_shutdown(ssl_);  // one close_notify, without waiting for the client's
        SSL_free(ssl_);
    }
}

bool Transport::wait_for(short events, Clock::time_point deadline, bool *timed_out) {
    *timed_out = false;
    for (;;) {
        pollfd p{fd_, events, 0};
        int ready = poll(&p, 1, wait_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) *timed_out = true;
        return ready > 0;
    }
}

ssize_t Transport::read_some(char *buffer, size_t n, Clock::time_point deadline) {
    bool timed_out = false;
    for (;;) {
        if (ssl_) {
            // The socket is non-blocking under TLS: a record that arrives in
            // pieces makes the read ask for more, not wait past the deadline.
            size_t got = 0;
            if (SSL_read_ex(ssl_, buffer, n, &got) == 1) return static_cast<ssize_t>(got);
            int e = SSL_get_error(ssl_, 0);
            ERR_clear_error();
            short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
            if (events == 0) return 0;
            if (!wait_for(events, deadline, &timed_out)) return timed_out ? kTimedOut : 0;
            continue;
        }
        // Without a deadline the receive itself waits: one system call per
        // arrival instead of a poll and a receive. shutdown() of the socket
        // wakes it as it wakes a poll.
        bool wait_in_receive = deadline == Clock::time_point::max();
        if (!wait_in_receive && !wait_for(POLLIN, deadline, &timed_out))
            return timed_out ? kTimedOut : 0;
        ssize_t got = recv(fd_, buffer, n, wait_in_receive ? 0 : MSG_DONTWAIT);
        if (got < 0 && errno == EAGAIN && wait_in_receive && !wait_for(POLLIN, deadline, &timed_out))
            return 0;
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        return got < 0 ? 0 : got;
    }
}

bool Transport::write_all(const std::string &buffer) {
    size_t done = 0;
    bool timed_out = false;
    while (done < buffer.size()) {
        if (ssl_) {
            size_t sent = 0;
            if (SSL_write_ex(ssl_, buffer.data() + done, buffer.size() - done, &sent) == 1) {
                done += sent;
                continue;
            }
            int e = SSL_get_error(ssl_, 0);
            ERR_clear_error();
            short events = e == SSL_ERROR_WANT_WRITE ? POLLOUT : e == SSL_ERROR_WANT_READ ? POLLIN : 0;
            if (events == 0 || !wait_for(events, Clock::time_point::max(), &timed_out))
                return false;
            continue;
        }
        ssize_t sent = send(fd_, buffer.data() + done, buffer.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool Transport::start_tls(SSL_CTX *context, Clock::time_point deadline, std::string *why) {
    // OpenSSL writes to the socket without MSG_NOSIGNAL: a client that has gone
    // must fail the write, not end the server with SIGPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    int flags = fcntl(fd_, F_GETFL);
    bool ok = flags >= 0 && fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0;
    ssl_ = ok ? SSL_new(context) : nullptr;
    ok = ssl_ && SSL_set_fd(ssl_, fd_) == 1;
    bool timed_out = false;
    while (ok) {
        int rc = SSL_accept(ssl_);
        if (rc == 1) return true;
        int e = SSL_get_error(ssl_, rc);
        short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        ok = events != 0 && wait_for(events, deadline, &timed_out);
    }
    unsigned long e = ERR_get_error();
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    ERR_clear_error();
    *why = timed_out ? "the TLS handshake did not finish in time"
           : e       ? text
                     : "the client closed the connection during the TLS handshake";
    SSL_free(ssl_);
    ssl_ = nullptr;
    return false;
}

}  // namespace pg
}  // namespace qx
