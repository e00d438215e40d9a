// A client connection's byte stream: the plain socket, or TLS over it once the
// client has asked for encryption. Every read and write of a connection goes
// through it, so the protocol code does not care which; every read and the TLS
// handshake wait at most until a deadline, so a stalling client keeps nothing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace qx {
namespace pg {

class Transport {
public:
    using Clock = std::chrono::steady_clock;
    // What read_some returns when the deadline passed before any byte came.
    static constexpr ssize_t kTimedOut = -1;

    explicit Transport(int fd) : fd_(fd) {}
    ~Transport();
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    // Reads what has arrived, at most n bytes, waiting until `deadline` for the
    // first (Clock::time_point::max() waits without end): the count, 0 at end of
    // stream or on an error, or kTimedOut.
    ssize_t read_some(char *buffer, size_t n, Clock::time_point deadline);
    // Writes the whole buffer; false when the peer is gone.
    bool write_all(const std::string &buffer);

    // The server's side of a TLS handshake on the socket, finished before
    // `deadline`; false (with the reason) when it fails, after which the
    // connection is of no further use.
    bool start_tls(SSL_CTX *context, Clock::time_point deadline, std::string *why);
    bool encrypted() const { return ssl_ != nullptr; }

private:
    // Waits for the socket to become readable (or writable); false when the
    // deadline passed or the wait failed.
    bool wait_for(short events, Clock::time_point deadline, bool *timed_out);

    int fd_;
    SSL *ssl_ = nullptr;
};

}  // namespace pg
}  // namespace qx
