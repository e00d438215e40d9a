// SCRAM-SHA-256 with OpenSSL's PBKDF2, HMAC and SHA-256.
#include "auth/scram.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <mutex>
#include <vector>

namespace qx {
namespace auth {
namespace {

constexpr const char *kPrefix = "SCRAM-SHA-256$";
constexpr size_t kSaltBytes = 16;
constexpr size_t kNonceBytes = 18;

std::string hmac(const std::string &key, const std::string &data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char *>(data.data()), data.size(), out, &n))
        return "";
    return std::string(reinterpret_cast<char *>(out), n);
}

std::string sha256(const std::string &data) {
    unsigned char out[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out);
    return std::string(reinterpret_cast<char *>(out), sizeof out);
}

std::string random_bytes(size_t n) {
    std::string out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(&out[0]), static_cast<int>(n)) != 1) return "";
    return out;
}

// The keys of a password, as in RFC 5802 section 3.
bool derive_keys(const std::string &password, const std::string &salt, int iterations,
                 ScramVerifier *v) {
    unsigned char salted[SHA256_DIGEST_LENGTH];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char *>(salt.data()),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(), sizeof salted,
                          salted) != 1)
        return false;
    std::string salted_password(reinterpret_cast<char *>(salted), sizeof salted);
    OPENSSL_cleanse(salted, sizeof salted);
    v->iterations = iterations;
    v->salt = salt;
    v->stored_key = sha256(hmac(salted_password, "Client Key"));
    v->server_key = hmac(salted_password, "Server Key");
    OPENSSL_cleanse(&salted_password[0], salted_password.size());
    return v->stored_key.size() == SHA256_DIGEST_LENGTH && !v->server_key.empty();
}

// Splits "k=v,k=v,..." into its attributes; false when one is not of that form.
bool attributes(const std::string &text, std::vector<std::pair<char, std::string>> *out) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        if (end - at < 2 || text[at + 1] != '=') return false;
        out->emplace_back(text[at], text.substr(at + 2, end - at - 2));
        at = end + 1;
    }
    return true;
}

bool printable_nonce(const std::string &s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (c < 0x21 || c > 0x7e || c == ',') return false;
    return true;
}

}  // namespace

std::string base64_encode(const std::string &bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                     static_cast<uint8_t>(bytes[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += table[(v >> k) & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64_decode(const std::string &text, std::string *bytes) {
    if (text.size() % 4 != 0) return false;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            int d;
            if (c >= 'A' && c <= 'Z') d = c - 'A';
            else if (c >= 'a' && c <= 'z') d = c - 'a' + 26;
            else if (c >= '0' && c <= '9') d = c - '0' + 52;
            else if (c == '+') d = 62;
            else if (c == '/') d = 63;
            else if (c == '=' && i + 4 == text.size() && k >= 2) d = -1;
            else return false;
            if (d < 0) ++pad;
            else if (pad) return false;  // data after padding
            v = v << 6 | static_cast<uint32_t>(d < 0 ? 0 : d);
        }
        out += static_cast<char>(v >> 16);
        if (pad < 2) out += static_cast<char>(v >> 8);
        if (pad < 1) out += static_cast<char>(v);
    }
    *bytes = out;
    return true;
}

std::string make_scram_verifier(const std::string &password, const std::string &salt,
                                int iterations) {
    ScramVerifier v;
    if (!derive_keys(password, salt, iterations, &v)) return "";
    return kPrefix + std::to_string(iterations) + ":" + base64_encode(salt) + "$" +
           base64_encode(v.stored_key) + ":" + base64_encode(v.server_key);
}

std::string make_scram_verifier(const std::string &password, int iterations) {
    std::string salt = random_bytes(kSaltBytes);
    return salt.empty() ? "" : make_scram_verifier(password, salt, iterations);
}

bool parse_scram_verifier(const std::string &text, ScramVerifier *out) {
    const std::string prefix = kPrefix;
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    size_t colon1 = text.find(':', prefix.size());
    size_t dollar = text.find('$', prefix.size());
    if (colon1 == std::string::npos || dollar == std::string::npos || colon1 > dollar) return false;
    size_t colon2 = text.find(':', dollar);
    if (colon2 == std::string::npos) return false;
    std::string iterations = text.substr(prefix.size(), colon1 - prefix.size());
    if (iterations.empty() || iterations.size() > 9 ||
        iterations.find_first_not_of("0123456789") != std::string::npos)
        return false;
    ScramVerifier v;
    v.iterations = std::stoi(iterations);
    if (v.iterations < 1 ||
        !base64_decode(text.substr(colon1 + 1, dollar - colon1 - 1), &v.salt) ||
        !base64_decode(text.substr(dollar + 1, colon2 - dollar - 1), &v.stored_key) ||
        !base64_decode(text.substr(colon2 + 1), &v.server_key) || v.salt.empty() ||
        v.stored_key.size() != SHA256_DIGEST_LENGTH || v.server_key.size() != SHA256_DIGEST_LENGTH)
        return false;
    *out = v;
    return true;
}

ScramVerifier mock_verifier(const std::string &user) {
    static std::once_flag once;
    static std::string secret;
    std::call_once(once, [] { secret = random_bytes(32); });
    ScramVerifier v;
    v.iterations = kScramIterations;
    v.salt = hmac(secret, "salt:" + user).substr(0, kSaltBytes);
    v.stored_key = hmac(secret, "stored:" + user);
    v.server_key = hmac(secret, "server:" + user);
    return v;
}

ScramServer::ScramServer(const ScramVerifier &verifier, bool genuine, std::string server_nonce)
    : verifier_(verifier), genuine_(genuine), server_nonce_(std::move(server_nonce)) {
    if (server_nonce_.empty()) server_nonce_ = base64_encode(random_bytes(kNonceBytes));
}

bool ScramServer::first(const std::string &client_first, std::string *server_first,
                        std::string *why) {
    // gs2-header: a channel-binding flag and an (empty) authorization identity.
    size_t comma1 = client_first.find(',');
    size_t comma2 = comma1 == std::string::npos ? comma1 : client_first.find(',', comma1 + 1);
    if (comma2 == std::string::npos) {
        *why = "malformed SCRAM message";
        return false;
    }
    std::string flag = client_first.substr(0, comma1);
    if (flag.compare(0, 2, "p=") == 0) {
        *why = "channel binding is not supported by this server";
        return false;
    }
    if (flag != "n" && flag != "y") {
        *why = "malformed SCRAM message (unexpected channel-binding flag)";
        return false;
    }
    if (comma2 != comma1 + 1) {
        *why = "client uses authorization identity, but it is not supported";
        return false;
    }
    gs2_header_ = client_first.substr(0, comma2 + 1);
    client_first_bare_ = client_first.substr(comma2 + 1);
    std::vector<std::pair<char, std::string>> attrs;
    if (!attributes(client_first_bare_, &attrs) || attrs.size() < 2 || attrs[0].first != 'n' ||
        attrs[1].first != 'r' || !printable_nonce(attrs[1].second)) {
        *why = "malformed SCRAM message";
        return false;
    }
    // The user name is the start-up message's; the one in the message is ignored.
    nonce_ = attrs[1].second + server_nonce_;
    server_first_ = "r=" + nonce_ + ",s=" + base64_encode(verifier_.salt) +
                    ",i=" + std::to_string(verifier_.iterations);
    *server_first = server_first_;
    return true;
}

bool ScramServer::final(const std::string &client_final, std::string *server_final,
                        bool *bad_proof, std::string *why) {
    *bad_proof = false;
    std::vector<std::pair<char, std::string>> attrs;
    size_t proof_at = client_final.rfind(",p=");
    std::string channel;
    if (server_first_.empty() || proof_at == std::string::npos ||
        !attributes(client_final, &attrs) || attrs.size() < 3 || attrs[0].first != 'c' ||
        attrs[1].first != 'r' || attrs.back().first != 'p' ||
        !base64_decode(attrs[0].second, &channel)) {
        *why = "malformed SCRAM message";
        return false;
    }
    if (channel != gs2_header_) {
        *why = "SCRAM channel binding check failed";
        return false;
    }
    if (attrs[1].second != nonce_) {
        *why = "SCRAM nonce mismatch";
        return false;
    }
    std::string proof;
    if (!base64_decode(attrs.back().second, &proof) || proof.size() != SHA256_DIGEST_LENGTH) {
        *why = "malformed SCRAM message (malformed proof)";
        return false;
    }
    std::string auth_message =
        client_first_bare_ + "," + server_first_ + "," + client_final.substr(0, proof_at);
    std::string signature = hmac(verifier_.stored_key, auth_message);
    std::string client_key = proof;
    for (size_t i = 0; i < client_key.size() && i < signature.size(); ++i) client_key[i] ^= signature[i];
    std::string computed = sha256(client_key);
    bool match = signature.size() == computed.size() &&
                 CRYPTO_memcmp(computed.data(), verifier_.stored_key.data(), computed.size()) == 0;
    if (!genuine_ || !match) {
        *bad_proof = true;
        *why = "password authentication failed";
        return false;
    }
    *server_final = "v=" + base64_encode(hmac(verifier_.server_key, auth_message));
    return true;
}

}  // namespace auth
}  // namespace qx
