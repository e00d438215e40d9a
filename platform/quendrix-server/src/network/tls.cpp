#include "network/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace qx {
namespace pg {
namespace {

std::string openssl_error() {
    unsigned long e = ERR_get_error();
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    ERR_clear_error();
    return e ? text : "unknown error";
}

}  // namespace

SSL_CTX *make_tls_context(const std::string &cert_file, const std::string &key_file,
                          std::string *why) {
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        *why = openssl_error();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // No compression (CRIME), no renegotiation by the client, the server's cipher order.
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                     SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_use_certificate_chain_file(context, cert_file.c_str()) != 1) {
        *why = "cannot load the certificate file \"" + cert_file + "\": " + openssl_error();
    } else if (SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        *why = "cannot load the private key file \"" + key_file + "\": " + openssl_error();
    } else if (SSL_CTX_check_private_key(context) != 1) {
        *why = "the private key does not match the certificate: " + openssl_error();
    } else {
        return context;
    }
    SSL_CTX_free(context);
    return nullptr;
}

void free_tls_context(SSL_CTX *context) { SSL_CTX_free(context); }

}  // namespace pg
}  // namespace qx
