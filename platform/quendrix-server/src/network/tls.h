// The server's TLS settings: one OpenSSL context made from the certificate and
// key files given on the command line, shared by every connection.
#pragma once

#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace qx {
namespace pg {

// A server context for TLS 1.2 and later with the certificate chain and private
// key of the files (PEM); null with the reason when they cannot be used.
SSL_CTX *make_tls_context(const std::string &cert_file, const std::string &key_file,
                          std::string *why);
void free_tls_context(SSL_CTX *context);

}  // namespace pg
}  // namespace qx
