// Keys, blobs, signatures and decryption, checked against OpenSSL in software.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/rsa.h>

#include <cstring>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

using KeyTest = StandInTest;

DWORD dword_at(const std::vector<BYTE> &b, size_t at) {
    DWORD v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::vector<BYTE> user_key_blob(HCRYPTPROV prov, DWORD spec) {
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGetUserKey(prov, spec, &key)) << std::hex << GetLastError();
    std::vector<BYTE> blob = export_public_blob(key);
    CryptDestroyKey(key);
    return blob;
}

TEST_F(KeyTest, RsaPublicKeyBlobIsLaidOutLittleEndian) {
    HCRYPTPROV prov = make_container("rsa", PROV_RSA_FULL, AT_SIGNATURE, 1024);
    std::vector<BYTE> blob = user_key_blob(prov, AT_SIGNATURE);
    ASSERT_EQ(blob.size(), 20u + 128u);
    EXPECT_EQ(blob[0], PUBLICKEYBLOB);
    EXPECT_EQ(blob[1], CUR_BLOB_VERSION);
    EXPECT_EQ(dword_at(blob, 4), static_cast<DWORD>(CALG_RSA_SIGN));
    EXPECT_EQ(std::memcmp(blob.data() + 8, "RSA1", 4), 0);
    EXPECT_EQ(dword_at(blob, 12), 1024u);
    EXPECT_EQ(dword_at(blob, 16), 65537u);
    // The top byte of a 1024-bit modulus is the last byte of the blob and never zero;
    // the modulus is odd, so its first (least significant) byte is odd.
    EXPECT_NE(blob.back(), 0);
    EXPECT_EQ(blob[20] & 1, 1);
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, ExchangeKeyBlobNamesTheExchangeAlgorithm) {
    HCRYPTPROV prov = make_container("rsa", PROV_RSA_AES, AT_KEYEXCHANGE, 1024);
    EXPECT_EQ(dword_at(user_key_blob(prov, AT_KEYEXCHANGE), 4), static_cast<DWORD>(CALG_RSA_KEYX));
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, DssPublicKeyBlobHoldsPQGYWithTwentyByteQ) {
    HCRYPTPROV prov = make_container("dss", PROV_DSS, AT_SIGNATURE, 1024);
    std::vector<BYTE> blob = user_key_blob(prov, AT_SIGNATURE);
    const size_t L = 128;
    ASSERT_GE(blob.size(), 16 + 3 * L + 20);
    EXPECT_EQ(blob[0], PUBLICKEYBLOB);
    EXPECT_EQ(dword_at(blob, 4), static_cast<DWORD>(CALG_DSS_SIGN));
    EXPECT_EQ(std::memcmp(blob.data() + 8, "DSS1", 4), 0);
    EXPECT_EQ(dword_at(blob, 12), 1024u);
    BIGNUM *p = BN_lebin2bn(blob.data() + 16, L, nullptr);
    BIGNUM *q = BN_lebin2bn(blob.data() + 16 + L, 20, nullptr);
    BIGNUM *g = BN_lebin2bn(blob.data() + 36 + L, L, nullptr);
    BIGNUM *y = BN_lebin2bn(blob.data() + 36 + 2 * L, L, nullptr);
    EXPECT_EQ(BN_num_bits(p), 1024);
    EXPECT_EQ(BN_num_bits(q), 160);
    // q divides p - 1, and g and y are elements of order q: the numbers sit where they should.
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *r = BN_new(), *pm1 = BN_dup(p);
    BN_sub_word(pm1, 1);
    BN_mod(r, pm1, q, ctx);
    EXPECT_TRUE(BN_is_zero(r));
    BN_mod_exp(r, g, q, p, ctx);
    EXPECT_TRUE(BN_is_one(r));
    BN_mod_exp(r, y, q, p, ctx);
    EXPECT_TRUE(BN_is_one(r));
    for (BIGNUM *n : {p, q, g, y, r, pm1}) BN_free(n);
    BN_CTX_free(ctx);
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, ExportRefusesPrivateBlobsAndShortBuffers) {
    HCRYPTPROV prov = make_container("rsa", PROV_RSA_FULL, AT_KEYEXCHANGE, 1024);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    BYTE buf[4096];
    DWORD size = sizeof buf;
    EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, buf, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
    size = 10;
    EXPECT_FALSE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, buf, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 148u);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, MissingKeySpecAndVerifyContextHaveNoKey) {
    HCRYPTPROV prov = make_container("only-signature", PROV_RSA_FULL, AT_SIGNATURE, 1024);
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, KeysPersistInTheirContainer) {
    HCRYPTPROV prov = make_container("kept", PROV_RSA_FULL, AT_KEYEXCHANGE, 1024);
    std::vector<BYTE> first = user_key_blob(prov, AT_KEYEXCHANGE);
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(CryptAcquireContextA(&prov, "kept", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(user_key_blob(prov, AT_KEYEXCHANGE), first);
    CryptReleaseContext(prov, 0);
}

struct RsaCase {
    const char *name;
    ALG_ID alg;
    int nid;  // 0: raw PKCS #1 over MD5 || SHA-1
};

// Listed by its name: the default printout shows the bytes of the record, pointer
// included, which would give the test a new name on every build.
void PrintTo(const RsaCase &c, std::ostream *os) { *os << c.name; }

class RsaSignatureTest : public StandInTest, public ::testing::WithParamInterface<RsaCase> {};

TEST_P(RsaSignatureTest, VerifiesInOpenSslAfterReversal) {
    const RsaCase &c = GetParam();
    HCRYPTPROV prov = make_container("signer", PROV_RSA_FULL, AT_KEYEXCHANGE, 1024);
    EVP_PKEY *pub = pkey_from_blob(user_key_blob(prov, AT_KEYEXCHANGE));
    ASSERT_NE(pub, nullptr);
    std::vector<BYTE> value;
    if (c.alg == CALG_MD5) value = digest(EVP_md5(), "message");
    if (c.alg == CALG_SHA1) value = digest(EVP_sha1(), "message");
    if (c.alg == CALG_SSL3_SHAMD5) {
        value = digest(EVP_md5(), "message");
        std::vector<BYTE> sha = digest(EVP_sha1(), "message");
        value.insert(value.end(), sha.begin(), sha.end());
    }
    std::vector<BYTE> sig = sign_hash(prov, c.alg, value, AT_KEYEXCHANGE);
    ASSERT_EQ(sig.size(), 128u);
    std::vector<BYTE> be = reversed(sig);

    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    if (c.nid != 0) EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbynid(c.nid));
    EXPECT_EQ(EVP_PKEY_verify(ctx, be.data(), be.size(), value.data(), value.size()), 1);
    // The unreversed bytes are not a valid signature: the order really is little-endian.
    EXPECT_NE(EVP_PKEY_verify(ctx, sig.data(), sig.size(), value.data(), value.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pub);
    CryptReleaseContext(prov, 0);
}

INSTANTIATE_TEST_SUITE_P(Digests, RsaSignatureTest,
                         ::testing::Values(RsaCase{"md5", CALG_MD5, NID_md5}, RsaCase{"sha1", CALG_SHA1, NID_sha1},
                                           RsaCase{"shamd5", CALG_SSL3_SHAMD5, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// Whether `sig` (as CryptoAPI returns it) is a SHA-1 signature of `value` by the blob's key.
bool signed_by(const std::vector<BYTE> &public_blob, const std::vector<BYTE> &sig, const std::vector<BYTE> &value) {
    EVP_PKEY *pub = pkey_from_blob(public_blob);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr);
    std::vector<BYTE> be = reversed(sig);
    bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1()) == 1 &&
              EVP_PKEY_verify(ctx, be.data(), be.size(), value.data(), value.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pub);
    return ok;
}

TEST_F(KeyTest, AHandleSignsWithTheKeyItLoadedUntilItIsReleased) {
    HCRYPTPROV maker = make_container("cached", PROV_RSA_FULL, AT_SIGNATURE, 512);
    HCRYPTPROV holder = 0;
    ASSERT_TRUE(CryptAcquireContextA(&holder, "cached", nullptr, PROV_RSA_FULL, 0));
    const std::vector<BYTE> value = digest(EVP_sha1(), "cached");
    const std::vector<BYTE> first_key = user_key_blob(holder, AT_SIGNATURE);
    ASSERT_TRUE(signed_by(first_key, sign_hash(holder, CALG_SHA1, value, AT_SIGNATURE), value));

    // Another handle replaces the key on disk: the holder keeps signing with its own.
    HCRYPTKEY replaced = 0;
    ASSERT_TRUE(CryptGenKey(maker, AT_SIGNATURE, 512u << 16, &replaced));
    const std::vector<BYTE> second_key = export_public_blob(replaced);
    CryptDestroyKey(replaced);
    ASSERT_NE(second_key, first_key);
    EXPECT_TRUE(signed_by(first_key, sign_hash(holder, CALG_SHA1, value, AT_SIGNATURE), value));
    EXPECT_EQ(user_key_blob(holder, AT_SIGNATURE), first_key);
    // The generating handle signs with the key it made.
    EXPECT_TRUE(signed_by(second_key, sign_hash(maker, CALG_SHA1, value, AT_SIGNATURE), value));
    CryptReleaseContext(maker, 0);

    // The kept key goes with its handle: a new handle loads what is on disk now.
    CryptReleaseContext(holder, 0);
    ASSERT_TRUE(CryptAcquireContextA(&holder, "cached", nullptr, PROV_RSA_FULL, 0));
    EXPECT_TRUE(signed_by(second_key, sign_hash(holder, CALG_SHA1, value, AT_SIGNATURE), value));
    // A spec that had no key is looked for again rather than remembered as missing.
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGetUserKey(holder, AT_KEYEXCHANGE, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    HCRYPTPROV other = 0;
    ASSERT_TRUE(CryptAcquireContextA(&other, "cached", nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGenKey(other, AT_KEYEXCHANGE, 512u << 16, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(other, 0);
    EXPECT_EQ(user_key_blob(holder, AT_KEYEXCHANGE).size(), 84u);
    CryptReleaseContext(holder, 0);
}

TEST_F(KeyTest, DssSignatureIsRThenSLittleEndianAndVerifies) {
    HCRYPTPROV prov = make_container("dss", PROV_DSS, AT_SIGNATURE, 1024);
    EVP_PKEY *pub = pkey_from_blob(user_key_blob(prov, AT_SIGNATURE));
    ASSERT_NE(pub, nullptr);
    std::vector<BYTE> value = digest(EVP_sha1(), "message");
    std::vector<BYTE> sig = sign_hash(prov, CALG_SHA1, value, AT_SIGNATURE);
    ASSERT_EQ(sig.size(), 40u);
    DSA_SIG *dsa_sig = DSA_SIG_new();
    DSA_SIG_set0(dsa_sig, BN_lebin2bn(sig.data(), 20, nullptr), BN_lebin2bn(sig.data() + 20, 20, nullptr));
    unsigned char *der = nullptr;
    int der_len = i2d_DSA_SIG(dsa_sig, &der);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_verify(ctx, der, static_cast<size_t>(der_len), value.data(), value.size()), 1);
    OPENSSL_free(der);
    DSA_SIG_free(dsa_sig);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pub);

    // DSS signs SHA-1 values only.
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    std::vector<BYTE> md5 = digest(EVP_md5(), "message");
    ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, md5.data(), 0));
    DWORD size = 40;
    BYTE out[40];
    EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, out, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, HashedDataSignsLikeTheSetValue) {
    HCRYPTPROV prov = make_container("signer", PROV_RSA_FULL, AT_SIGNATURE, 1024);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("mess"), 4, 0));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("age"), 3, 0));
    DWORD size = 128;
    std::vector<BYTE> sig(size);
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &size));
    // A signed hash is finished.
    EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE *>("x"), 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH_STATE));
    CryptDestroyHash(hash);
    // PKCS #1 v1.5 is deterministic: the same key and value give the same signature.
    EXPECT_EQ(sig, sign_hash(prov, CALG_SHA1, digest(EVP_sha1(), "message"), AT_SIGNATURE));
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, SignatureTwoCallPatternAndErrors) {
    HCRYPTPROV prov = make_container("signer", PROV_RSA_FULL, AT_KEYEXCHANGE, 1024);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    std::vector<BYTE> value = digest(EVP_sha1(), "x");
    ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
    BYTE sig[256];
    DWORD size = 64;
    EXPECT_FALSE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 128u);
    EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    CryptDestroyHash(hash);

    struct {
        ALG_ID alg;
        HCRYPTKEY key;
        DWORD flags;
        DWORD error;
    } bad_hashes[] = {
        {CALG_RSA_SIGN, 0, 0, static_cast<DWORD>(NTE_BAD_ALGID)},
        {0x800C /* SHA-256 */, 0, 0, static_cast<DWORD>(NTE_BAD_ALGID)},
        {CALG_SHA1, 0, 1, static_cast<DWORD>(NTE_BAD_FLAGS)},
    };
    for (const auto &b : bad_hashes) {
        EXPECT_FALSE(CryptCreateHash(prov, b.alg, b.key, b.flags, &hash));
        EXPECT_EQ(GetLastError(), b.error) << std::hex << b.alg;
    }
    EXPECT_FALSE(CryptCreateHash(0x12345, CALG_SHA1, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, DecryptsOpenSslCiphertextAfterReversal) {
    HCRYPTPROV prov = make_container("decrypter", PROV_RSA_FULL, AT_KEYEXCHANGE, 1024);
    EVP_PKEY *pub = pkey_from_blob(user_key_blob(prov, AT_KEYEXCHANGE));
    ASSERT_NE(pub, nullptr);
    const std::string secret = "a premaster secret";
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr);
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    std::vector<BYTE> ct(256);
    size_t ct_len = ct.size();
    ASSERT_EQ(EVP_PKEY_encrypt(ctx, ct.data(), &ct_len, reinterpret_cast<const BYTE *>(secret.data()),
                               secret.size()),
              1);
    ct.resize(ct_len);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pub);

    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    std::vector<BYTE> data = reversed(ct);
    DWORD len = static_cast<DWORD>(data.size());
    ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &len)) << std::hex << GetLastError();
    EXPECT_EQ(std::string(data.begin(), data.begin() + len), secret);

    // Big-endian input (not reversed) is garbage to CryptoAPI.
    data = ct;
    len = static_cast<DWORD>(data.size());
    EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &len));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
    data.resize(200);
    len = 200;  // longer than the modulus
    EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &len));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_LEN));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST_F(KeyTest, GenKeyChecksAlgorithmAndSize) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "gen", nullptr, PROV_DSS, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGenKey(prov, AT_KEYEXCHANGE, 0, &key));  // DSS holds no exchange keys
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    EXPECT_FALSE(CryptGenKey(prov, CALG_DSS_SIGN, 2048u << 16, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PERM));
    CryptReleaseContext(prov, 0);
}

}  // namespace
}  // namespace cryptoapi_tests
