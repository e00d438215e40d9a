#define OPENSSL_SUPPRESS_DEPRECATED
#include "soft_key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/dsa.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

namespace cryptoapi {

namespace {

constexpr DWORD kRsaMagic = 0x31415352;  // "RSA1"
constexpr DWORD kDssMagic = 0x31535344;  // "DSS1"
constexpr int kDssQBytes = 20;

void put_dword(std::vector<BYTE> &out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

void put_le(std::vector<BYTE> &out, const BIGNUM *bn, int length) {
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(length));
    BN_bn2lebinpad(bn, out.data() + at, length);
}

int byte_length(const BIGNUM *bn) { return (BN_num_bits(bn) + 7) / 8; }

}  // namespace

SoftKey::~SoftKey() {
    RSA_free(rsa_);
    DSA_free(dsa_);
}

DWORD SoftKey::from_pkey(EVP_PKEY *pkey, std::shared_ptr<SoftKey> &out) {
    std::shared_ptr<SoftKey> key(new SoftKey);
    if (EVP_PKEY_is_a(pkey, "RSA")) {
        key->rsa_ = EVP_PKEY_get1_RSA(pkey);
        if (key->rsa_ == nullptr) return NTE_BAD_KEY;
        RSA_set_method(key->rsa_, RSA_PKCS1_OpenSSL());
        const BIGNUM *n, *e, *d;
        RSA_get0_key(key->rsa_, &n, &e, &d);
        if (d == nullptr || BN_num_bits(e) > 32 || BN_num_bits(n) < 384) return NTE_BAD_KEY;
    } else if (EVP_PKEY_is_a(pkey, "DSA")) {
        key->dsa_ = EVP_PKEY_get1_DSA(pkey);
        if (key->dsa_ == nullptr) return NTE_BAD_KEY;
        DSA_set_method(key->dsa_, DSA_OpenSSL());
        const BIGNUM *p, *q, *g;
        DSA_get0_pqg(key->dsa_, &p, &q, &g);
        if (DSA_get0_priv_key(key->dsa_) == nullptr || BN_num_bits(q) != 8 * kDssQBytes)
            return NTE_BAD_KEY;
    } else {
        return NTE_BAD_KEY;
    }
    out = std::move(key);
    return 0;
}

DWORD SoftKey::from_pem(const std::string &pem, std::shared_ptr<SoftKey> &out) {
    BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio == nullptr) return NTE_NO_MEMORY;
    EVP_PKEY *pkey = PEM_read_bio_PrivateKey_ex(bio, nullptr, nullptr, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (pkey == nullptr) {
        ERR_clear_error();
        return NTE_KEYSET_ENTRY_BAD;
    }
    DWORD rc = from_pkey(pkey, out);
    EVP_PKEY_free(pkey);
    return rc == 0 ? 0 : NTE_KEYSET_ENTRY_BAD;
}

unsigned SoftKey::bits() const {
    if (rsa_ != nullptr) return static_cast<unsigned>(RSA_bits(rsa_));
    return static_cast<unsigned>(DSA_bits(dsa_));
}

std::vector<BYTE> SoftKey::public_blob(DWORD key_spec) const {
    std::vector<BYTE> blob = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    if (rsa_ != nullptr) {
        const BIGNUM *n, *e;
        RSA_get0_key(rsa_, &n, &e, nullptr);
        // The bit length is stated in whole bytes, so that a reader taking bitlen/8
        // bytes never cuts off the top of a modulus whose size is not a multiple of 8.
        int length = byte_length(n);
        put_dword(blob, key_spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
        put_dword(blob, kRsaMagic);
        put_dword(blob, static_cast<DWORD>(length) * 8);
        put_dword(blob, static_cast<DWORD>(BN_get_word(e)));
        put_le(blob, n, length);
    } else {
        const BIGNUM *p, *q, *g;
        DSA_get0_pqg(dsa_, &p, &q, &g);
        int length = byte_length(p);
        put_dword(blob, CALG_DSS_SIGN);
        put_dword(blob, kDssMagic);
        put_dword(blob, static_cast<DWORD>(length) * 8);
        put_le(blob, p, length);
        put_le(blob, q, kDssQBytes);
        put_le(blob, g, length);
        put_le(blob, DSA_get0_pub_key(dsa_), length);
        // Seed structure: a counter of 0xFFFFFFFF says that no seed follows.
        put_dword(blob, 0xFFFFFFFF);
        blob.insert(blob.end(), kDssQBytes, 0);
    }
    return blob;
}

DWORD SoftKey::signature_size() const {
    return rsa_ != nullptr ? static_cast<DWORD>(RSA_size(rsa_)) : 2 * kDssQBytes;
}

DWORD SoftKey::sign(ALG_ID alg, const std::vector<BYTE> &hash, std::vector<BYTE> &signature) const {
    if (rsa_ != nullptr) {
        int nid = alg == CALG_MD5 ? NID_md5 : alg == CALG_SHA1 ? NID_sha1 : NID_md5_sha1;
        signature.assign(static_cast<size_t>(RSA_size(rsa_)), 0);
        unsigned int length = 0;
        if (RSA_sign(nid, hash.data(), static_cast<unsigned>(hash.size()), signature.data(), &length,
                     rsa_) != 1) {
            ERR_clear_error();
            return NTE_BAD_LEN;  // the key is too short for this DigestInfo
        }
        signature.resize(length);
        std::reverse(signature.begin(), signature.end());
        return 0;
    }
    if (alg != CALG_SHA1) return NTE_BAD_ALGID;
    DSA_SIG *sig = DSA_do_sign(hash.data(), static_cast<int>(hash.size()), dsa_);
    if (sig == nullptr) {
        ERR_clear_error();
        return NTE_FAIL;
    }
    const BIGNUM *r, *s;
    DSA_SIG_get0(sig, &r, &s);
    signature.clear();
    put_le(signature, r, kDssQBytes);
    put_le(signature, s, kDssQBytes);
    DSA_SIG_free(sig);
    return 0;
}

DWORD SoftKey::decrypt(const BYTE *ciphertext_le, DWORD length, std::vector<BYTE> &plaintext) const {
    if (rsa_ == nullptr) return NTE_BAD_KEY;
    int size = RSA_size(rsa_);
    if (length == 0 || length > static_cast<DWORD>(size)) return NTE_BAD_LEN;
    std::vector<BYTE> big_endian(ciphertext_le, ciphertext_le + length);
    std::reverse(big_endian.begin(), big_endian.end());
    plaintext.assign(static_cast<size_t>(size), 0);
    int n = RSA_private_decrypt(static_cast<int>(length), big_endian.data(), plaintext.data(), rsa_,
                                RSA_PKCS1_PADDING);
    OPENSSL_cleanse(big_endian.data(), big_endian.size());
    if (n < 0) {
        ERR_clear_error();
        plaintext.clear();
        return NTE_BAD_DATA;
    }
    plaintext.resize(static_cast<size_t>(n));
    return 0;
}

std::string SoftKey::public_pem() const {
    BIO *bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return {};
    int ok = rsa_ != nullptr ? PEM_write_bio_RSA_PUBKEY(bio, rsa_) : PEM_write_bio_DSA_PUBKEY(bio, dsa_);
    std::string out;
    if (ok == 1) {
        char *data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        out.assign(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    return out;
}

EVP_PKEY *generate_pkey(bool dsa, unsigned bits) {
    EVP_PKEY *key = nullptr;
    if (!dsa) {
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        if (ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(bits)) == 1)
            EVP_PKEY_keygen(ctx, &key);
        EVP_PKEY_CTX_free(ctx);
    } else {
        EVP_PKEY *params = nullptr;
        EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
        if (pctx != nullptr && EVP_PKEY_paramgen_init(pctx) == 1 &&
            EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, static_cast<int>(bits)) == 1 &&
            EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx, 8 * kDssQBytes) == 1)
            EVP_PKEY_paramgen(pctx, &params);
        EVP_PKEY_CTX_free(pctx);
        if (params != nullptr) {
            EVP_PKEY_CTX *kctx = EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr);
            if (kctx != nullptr && EVP_PKEY_keygen_init(kctx) == 1) EVP_PKEY_keygen(kctx, &key);
            EVP_PKEY_CTX_free(kctx);
            EVP_PKEY_free(params);
        }
    }
    if (key == nullptr) ERR_clear_error();
    return key;
}

std::string private_pem(EVP_PKEY *pkey) {
    BIO *bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return {};
    std::string out;
    if (PEM_write_bio_PrivateKey(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
        char *data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        out.assign(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    return out;
}

}  // namespace cryptoapi
