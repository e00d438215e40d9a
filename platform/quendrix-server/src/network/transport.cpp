#include "network/transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>

namespace qx {
namespace pg {

Transport::~Transport() {
    if (ssl_) {
        SSL_shutdown(ssl_);  // one close_notify, without waiting for the client's
        SSL_free(ssl_);
    }
}

bool Transport::read_exact(char *buffer, size_t n) {
    while (n > 0) {
        if (ssl_) {
            size_t got = 0;
            if (SSL_read_ex(ssl_, buffer, n, &got) != 1) {
                ERR_clear_error();
                return false;
            }
            buffer += got;
            n -= got;
            continue;
        }
        ssize_t got = recv(fd_, buffer, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool Transport::write_all(const std::string &buffer) {
    size_t done = 0;
    while (done < buffer.size()) {
        if (ssl_) {
            size_t sent = 0;
            if (SSL_write_ex(ssl_, buffer.data() + done, buffer.size() - done, &sent) != 1) {
                ERR_clear_error();
                return false;
            }
            done += sent;
            continue;
        }
        ssize_t sent = send(fd_, buffer.data() + done, buffer.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool Transport::start_tls(SSL_CTX *context, std::string *why) {
    // OpenSSL writes to the socket without MSG_NOSIGNAL: a client that has gone
    // must fail the write, not end the server with SIGPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    ssl_ = SSL_new(context);
    if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1 || SSL_accept(ssl_) != 1) {
        unsigned long e = ERR_get_error();
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        ERR_clear_error();
        *why = e ? text : "the client closed the connection during the TLS handshake";
        SSL_free(ssl_);
        ssl_ = nullptr;
        return false;
    }
    return true;
}

}  // namespace pg
}  // namespace qx
