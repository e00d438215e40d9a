// A client connection's byte stream: the plain socket, or TLS over it once the
// client has asked for encryption. Every read and write of a connection goes
// through it, so the protocol code does not care which.
#pragma once

#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace qx {
namespace pg {

class Transport {
public:
    explicit Transport(int fd) : fd_(fd) {}
    ~Transport();
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    // Reads exactly n bytes; false at end of stream or on an error.
    bool read_exact(char *buffer, size_t n);
    // Writes the whole buffer; false when the peer is gone.
    bool write_all(const std::string &buffer);

    // The server's side of a TLS handshake on the socket; false (with the reason)
    // when it fails, after which the connection is of no further use.
    bool start_tls(SSL_CTX *context, std::string *why);
    bool encrypted() const { return ssl_ != nullptr; }

private:
    int fd_;
    SSL *ssl_ = nullptr;
};

}  // namespace pg
}  // namespace qx
