// SCRAM-SHA-256 (RFC 5802, RFC 7677) on the server's side: the verifiers that
// users' passwords are stored as, and the exchange that proves a client knows a
// password without sending it.
#pragma once

#include <string>

namespace qx {
namespace auth {

// Stored keys need this many PBKDF2 iterations at least.
constexpr int kScramIterations = 4096;

// What the server keeps of a password: "SCRAM-SHA-256$ITER:SALT$STOREDKEY:SERVERKEY"
// (salt and keys in base64), the form PostgreSQL stores too.
struct ScramVerifier {
    int iterations = 0;
    std::string salt;        // raw bytes
    std::string stored_key;  // H(ClientKey)
    std::string server_key;  // HMAC(SaltedPassword, "Server Key")
};

// A verifier for a password with a fresh random salt; empty when OpenSSL fails.
std::string make_scram_verifier(const std::string &password, int iterations = kScramIterations);
// A verifier with a chosen salt (for known vectors).
std::string make_scram_verifier(const std::string &password, const std::string &salt,
                                int iterations);
bool parse_scram_verifier(const std::string &text, ScramVerifier *out);

// A stand-in verifier for a user who cannot log in by password: its salt is the
// same for every attempt on that name, as a real one would be.
ScramVerifier mock_verifier(const std::string &user);

std::string base64_encode(const std::string &bytes);
// False when `text` is not canonical base64.
bool base64_decode(const std::string &text, std::string *bytes);

// The server's half of one exchange. Without a verifier (an unknown user or one
// with no password) it runs the exchange with made-up values and fails at the end,
// so that a client cannot tell unknown users from wrong passwords.
class ScramServer {
public:
    // `genuine` false: a made-up verifier (see mock_verifier) that no proof matches.
    // `server_nonce` empty: a random one.
    ScramServer(const ScramVerifier &verifier, bool genuine, std::string server_nonce = "");
    // client-first-message -> server-first-message. False on a malformed message.
    bool first(const std::string &client_first, std::string *server_first, std::string *why);
    // client-final-message -> server-final-message when the proof is right. False
    // with *bad_proof true when the client does not know the password.
    bool final(const std::string &client_final, std::string *server_final, bool *bad_proof,
               std::string *why);

private:
    ScramVerifier verifier_;
    bool genuine_ = false;
    std::string server_nonce_;
    std::string client_first_bare_, server_first_, nonce_, gs2_header_;
};

}  // namespace auth
}  // namespace qx
