// A private key held in software, with CryptoAPI's byte orders on the outside.
//
// Why legacy RSA/DSA objects: in OpenSSL 3.0 an engine made the default for RSA or DSA
// (as `openssl -engine` does) is picked up even by keys that the default provider
// creates, so a provider key would route our private operations back into that engine.
// Pinning OpenSSL's own software method on a legacy object keeps them in software.
#ifndef CRYPTOAPI_SOFT_KEY_H
#define CRYPTOAPI_SOFT_KEY_H

#include <openssl/evp.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

namespace cryptoapi {

class SoftKey {
public:
    ~SoftKey();
    SoftKey(const SoftKey &) = delete;
    SoftKey &operator=(const SoftKey &) = delete;

    // Takes no ownership of `pkey`. Returns 0 or a Windows error (NTE_BAD_KEY for a
    // key CryptoAPI cannot describe: an RSA exponent over 32 bits, a DSA q over 160 bits).
    static DWORD from_pkey(EVP_PKEY *pkey, std::shared_ptr<SoftKey> &out);
    // Parses a PEM private key (the container's file format).
    static DWORD from_pem(const std::string &pem, std::shared_ptr<SoftKey> &out);

    bool is_rsa() const { return rsa_ != nullptr; }
    bool is_dsa() const { return dsa_ != nullptr; }
    unsigned bits() const;

    // PUBLICKEYBLOB for a key held under `key_spec`.
    std::vector<BYTE> public_blob(DWORD key_spec) const;
    // Signature length: the modulus length (RSA) or 40 (DSS).
    DWORD signature_size() const;
    // Signs a hash value of algorithm `alg`; the signature comes out little-endian.
    DWORD sign(ALG_ID alg, const std::vector<BYTE> &hash, std::vector<BYTE> &signature) const;
    // PKCS #1 v1.5 decryption of a little-endian ciphertext.
    DWORD decrypt(const BYTE *ciphertext_le, DWORD length, std::vector<BYTE> &plaintext) const;

    // The public key as PEM (SubjectPublicKeyInfo).
    std::string public_pem() const;

private:
    SoftKey() = default;
    struct rsa_st *rsa_ = nullptr;
    struct dsa_st *dsa_ = nullptr;
};

// Generates a software key pair: "rsa" or "dsa" (160-bit q). nullptr on failure.
EVP_PKEY *generate_pkey(bool dsa, unsigned bits);
// Serialises a private key as unencrypted PKCS #8 PEM.
std::string private_pem(EVP_PKEY *pkey);

}  // namespace cryptoapi

#endif
