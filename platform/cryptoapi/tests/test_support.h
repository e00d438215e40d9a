// Shared test fixtures: a private state folder per test, key and certificate makers,
// and the bridge from CryptoAPI's little-endian blobs to OpenSSL keys.
#ifndef CRYPTOAPI_TEST_SUPPORT_H
#define CRYPTOAPI_TEST_SUPPORT_H

#include <cryptoapi_test.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace cryptoapi_tests {

// Each test gets an empty CRYPTOAPI_HOME, clean test hooks, and must leave no handle open.
class StandInTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string home_;
};

// Runs a shell command with the test's environment; returns its exit status and output.
struct CommandResult {
    int status;
    std::string output;
};
CommandResult run(const std::string &command);

// Makes a container with a freshly generated key; returns an open provider handle.
HCRYPTPROV make_container(const char *container, DWORD prov_type, ALG_ID alg, unsigned bits);

std::vector<BYTE> export_public_blob(HCRYPTKEY key);
// Builds an OpenSSL public key from an RSA or DSS PUBLICKEYBLOB (reversing every number).
EVP_PKEY *pkey_from_blob(const std::vector<BYTE> &blob);

// Signs the hash value `digest` with the container's key through CryptoAPI.
std::vector<BYTE> sign_hash(HCRYPTPROV prov, ALG_ID alg, const std::vector<BYTE> &digest, DWORD key_spec);

std::vector<BYTE> reversed(std::vector<BYTE> v);
std::vector<BYTE> digest(const EVP_MD *md, const std::string &data);

EVP_PKEY *generate_rsa(unsigned bits);
// A certificate for `subject_key` issued (and signed) by `issuer_key` under `subject`.
X509 *make_certificate(EVP_PKEY *subject_key, EVP_PKEY *issuer_key, const std::string &subject);
std::vector<BYTE> der_of(X509 *cert);
void write_text(const std::string &path, const std::string &text);
std::string pem_of(X509 *cert);
std::string private_pem_of(EVP_PKEY *key);

std::u16string u16(const std::string &ascii);

// A certificate context's friendly name (ASCII), or "" when it has none.
std::string friendly_name(PCCERT_CONTEXT ctx);

}  // namespace cryptoapi_tests

#endif
