// The SCRAM-SHA-256 messages an unauthenticated client sends: the input is a
// client-first message, a newline, and a client-final message, against a fixed
// verifier and server nonce.
#include <cstddef>
#include <cstdint>
#include <string>

#include "auth/scram.h"

namespace {

const qx::auth::ScramVerifier &verifier() {
    static const qx::auth::ScramVerifier v = [] {
        qx::auth::ScramVerifier parsed;
        qx::auth::parse_scram_verifier(qx::auth::make_scram_verifier("pencil", "salt-of-16-bytes", 4096),
                                       &parsed);
        return parsed;
    }();
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t newline = input.find('\n');
    std::string first = input.substr(0, newline);
    std::string final = newline == std::string::npos ? "" : input.substr(newline + 1);
    qx::auth::ScramServer server(verifier(), true, "fuzz-server-nonce");
    std::string reply, why;
    bool bad_proof = false;
    if (server.first(first, &reply, &why)) server.final(final, &reply, &bad_proof, &why);
    std::string bytes;
    qx::auth::base64_decode(final, &bytes);
    qx::auth::ScramVerifier parsed;
    qx::auth::parse_scram_verifier(first, &parsed);
    return 0;
}
