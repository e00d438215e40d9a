// Private keys held by CryptoAPI: lookup, signing, decryption and release.
#include "engine_fixture.h"

#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <cstring>

namespace {

using capi_test::Identity;

class KeysTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        if (HasFatalFailure())
            return;
        alice_ = capi_test::make_identity(home(), "Alice Signer");
        capi_test::import_identity(alice_, "alice", {"--friendly-name", "Alice Key"});
    }

    EVP_PKEY *load(const char *id) { return ENGINE_load_private_key(engine_, id, nullptr, nullptr); }

    // Whether the engine's key has the identity's modulus.
    static bool same_key(EVP_PKEY *engine_key, const Identity &id)
    {
        BIGNUM *n = nullptr;
        EVP_PKEY_get_bn_param(id.key, OSSL_PKEY_PARAM_RSA_N, &n);
        const RSA *rsa = EVP_PKEY_get0_RSA(engine_key);
        bool same = rsa != nullptr && n != nullptr && BN_cmp(RSA_get0_n(rsa), n) == 0;
        BN_free(n);
        return same;
    }

    static std::string sign(EVP_PKEY *key, const EVP_MD *md, const std::string &dgst)
    {
        EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(key, nullptr);
        std::string sig(EVP_PKEY_get_size(key), '\0');
        size_t siglen = sig.size();
        if (EVP_PKEY_sign_init(pctx) <= 0 || (md && EVP_PKEY_CTX_set_signature_md(pctx, md) <= 0) ||
            EVP_PKEY_sign(pctx, reinterpret_cast<unsigned char *>(sig.data()), &siglen,
                          reinterpret_cast<const unsigned char *>(dgst.data()), dgst.size()) <= 0)
            siglen = 0;
        EVP_PKEY_CTX_free(pctx);
        sig.resize(siglen);
        return sig;
    }

    Identity alice_;
};

TEST_F(KeysTest, SignaturesVerifyInSoftwareForEachDigest)
{
    EVP_PKEY *key = load("alice SIGNER");  // the subject match ignores case
    ASSERT_NE(key, nullptr) << capi_test::drain_errors();
    ASSERT_TRUE(same_key(key, alice_));
    const struct {
        const char *name;
        const EVP_MD *md;
    } digests[] = {{"MD5", EVP_md5()}, {"SHA1", EVP_sha1()}, {"MD5-SHA1", EVP_md5_sha1()}};
    for (const auto &d : digests) {
        SCOPED_TRACE(d.name);
        const std::string dgst = capi_test::digest(d.name, "message to sign");
        const std::string sig = sign(key, d.md, dgst);
        ASSERT_EQ(sig.size(), 128u) << capi_test::drain_errors();
        EXPECT_TRUE(capi_test::verify_with_cert(alice_.cert, d.name, dgst, sig));
        // PKCS #1 v1.5 is deterministic: the same key signs the same bytes in software.
        EXPECT_EQ(sig, sign(alice_.key, d.md, dgst));
    }
    EVP_PKEY_free(key);
}

TEST_F(KeysTest, SigningRefusesOtherDigestsAndWrongLengths)
{
    EVP_PKEY *key = load("Alice");
    ASSERT_NE(key, nullptr);
    RSA *rsa = const_cast<RSA *>(EVP_PKEY_get0_RSA(key));
    const struct {
        int nid;
        unsigned int len;
        const char *reason;
        const char *data;
    } cases[] = {
        {NID_sha256, 32, "unsupported algorithm nid", "NID=0x2a0"},
        {NID_sha512, 64, "unsupported algorithm nid", "NID=0x2a2"},
        {-1, 20, "unsupported algorithm nid", "NID=0xffffffff"},
        {NID_sha1, 16, "invalid digest length", ""},
        {NID_md5, 20, "invalid digest length", ""},
        {NID_md5_sha1, 20, "invalid digest length", ""},
    };
    unsigned char m[64] = {1, 2, 3}, sig[256];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.nid);
        unsigned int siglen = 12345;
        EXPECT_EQ(RSA_sign(c.nid, m, c.len, sig, &siglen, rsa), 0);
        EXPECT_EQ(siglen, 12345u) << "the length is written only on success";
        const char *data = nullptr, *func = nullptr;
        unsigned long err = ERR_get_error_all(nullptr, nullptr, &func, &data, nullptr);
        EXPECT_STREQ(func, "CAPI_RSA_SIGN");
        EXPECT_STREQ(ERR_reason_error_string(err), c.reason);
        EXPECT_STREQ(data, c.data);
        ERR_clear_error();
    }
    EXPECT_EQ(cryptoapi_test_handle_counts().hashes, 0);
    EVP_PKEY_free(key);
}

TEST_F(KeysTest, LookupBySubjectFriendlyNameOrContainer)
{
    Identity bob = capi_test::make_identity(home(), "Bob Reader");
    capi_test::import_identity(bob, "bob", {"--friendly-name", "Bob Key", "--key-spec", "signature"});
    const struct {
        int method;
        const char *id;
        DWORD container_spec;
        const Identity *expected;
        const char *error;  // engine error text when nothing is found, or null for none
    } cases[] = {
        {1, "Engine Test Org", 1, &alice_, nullptr},  // the first certificate in the store
        {1, "bob reader", 1, &bob, nullptr},  // key spec from the certificate, not the context
        {1, "Carol", 1, nullptr, nullptr},
        {2, "Alice Key", 1, &alice_, nullptr},
        {2, "Bob Key", 1, &bob, nullptr},
        {2, "alice key", 1, nullptr, nullptr},  // case-sensitive
        {2, "Alice", 1, nullptr, nullptr},      // whole names only
        {3, "alice", 1, &alice_, nullptr},
        {3, "bob", 1, nullptr, "getuserkey error"},  // holds only a signature key
        {3, "bob", 2, &bob, nullptr},
        {3, "nobody", 1, nullptr, "cryptacquirecontext error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.method) + " " + c.id);
        ctx_->key_lookup = c.method;
        ctx_->container_key_spec = c.container_spec;
        EVP_PKEY *key = load(c.id);
        const std::string errors = capi_test::drain_errors();
        if (c.expected != nullptr) {
            ASSERT_NE(key, nullptr) << errors;
            EXPECT_TRUE(same_key(key, *c.expected));
        } else {
            EXPECT_EQ(key, nullptr);
            if (c.error == nullptr)  // OpenSSL's own note that loading failed is all
                EXPECT_EQ(errors.find("capi/e_capi.cpp"), std::string::npos) << errors;
            else
                EXPECT_NE(errors.find(std::string(":CAPI_GET_KEY:") + c.error), std::string::npos)
                    << errors;
        }
        EVP_PKEY_free(key);
    }
    // No identifier, no key, nothing queued.
    EXPECT_EQ(capi_load_privkey(engine_, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST_F(KeysTest, MachineKeysComeWithMachineStores)
{
    Identity dave = capi_test::make_identity(home(), "Dave Machine");
    capi_test::import_identity(dave, "dave", {"--machine"});
    EXPECT_EQ(load("Dave Machine"), nullptr) << "not in the current user's store";
    ERR_clear_error();
    ctx_->store_open_flags = (ctx_->store_open_flags & ~0x10000u) | 0x20000u;
    EVP_PKEY *key = load("Dave Machine");
    ASSERT_NE(key, nullptr) << capi_test::drain_errors();
    EXPECT_TRUE(same_key(key, dave));
    EVP_PKEY_free(key);
    ctx_->key_lookup = 3;
    key = load("dave");
    EXPECT_NE(key, nullptr) << "container lookup asks for the machine's key set";
    EVP_PKEY_free(key);
}

TEST_F(KeysTest, WindowsFailuresAreReportedWithTheirCodes)
{
    const struct {
        const char *operation;
        DWORD code;
        int skip;
        const char *printed;
    } cases[] = {
        {"CryptAcquireContextA", 0x103, 0, ":CAPI_GET_KEY:cryptacquirecontext error:"},
        {"CryptGetUserKey", NTE_NO_KEY, 0, ":CAPI_GET_KEY:getuserkey error:"},
        {"CryptExportKey", NTE_BAD_KEY, 0, ":CAPI_GET_PKEY:pubkey export length error:"},
        {"CryptExportKey", NTE_BAD_KEY, 1, ":CAPI_GET_PKEY:pubkey export error:"},
        {"CertOpenStore", ERROR_FILE_NOT_FOUND, 0, ":CAPI_OPEN_STORE:error opening store:"},
        {"CertGetCertificateContextProperty", NTE_FAIL, 1,
         ":CAPI_GET_PROV_INFO:error getting key provider info:"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.printed);
        cryptoapi_test_fail(c.operation, c.code, c.skip, 1);
        EXPECT_EQ(load("Alice"), nullptr);
        const std::string errors = capi_test::drain_errors();
        char code[32];
        std::snprintf(code, sizeof(code), "Error code= 0x%lX", static_cast<unsigned long>(c.code));
        EXPECT_NE(errors.find(c.printed), std::string::npos) << errors;
        EXPECT_NE(errors.find(code), std::string::npos) << errors;
        // A record that was made is released once; no handle stays open.
        EXPECT_EQ(cryptoapi_test_open_handles(), 0);
        cryptoapi_test_reset();
    }
}

// The newest error's function text, reason text and detail; the queue is cleared.
struct ReportedError {
    std::string function, reason, data;
};
ReportedError take_error()
{
    const char *data = nullptr, *func = nullptr;
    int flags = 0;
    unsigned long err = ERR_get_error_all(nullptr, nullptr, &func, &data, &flags);
    ReportedError e{func != nullptr ? func : "",
                    ERR_reason_error_string(err) != nullptr ? ERR_reason_error_string(err) : "",
                    (flags & ERR_TXT_STRING) && data != nullptr ? data : ""};
    ERR_clear_error();
    return e;
}

TEST_F(KeysTest, PrivateOperationsReportWindowsFailures)
{
    capi_test::admin({"new-key", "--container", "dss", "--algorithm", "dsa", "--key-spec",
                      "signature"});
    EVP_PKEY *rsa_key = load("Alice");
    ASSERT_NE(rsa_key, nullptr);
    RSA *rsa = const_cast<RSA *>(EVP_PKEY_get0_RSA(rsa_key));
    ctx_->key_lookup = 3;
    ctx_->provider_type = PROV_DSS;
    ctx_->container_key_spec = AT_SIGNATURE;
    EVP_PKEY *dsa_key = load("dss");
    ASSERT_NE(dsa_key, nullptr) << capi_test::drain_errors();
    DSA *dsa = const_cast<DSA *>(EVP_PKEY_get0_DSA(dsa_key));

    const std::string dgst = capi_test::digest("SHA1", "message");
    const auto *m = reinterpret_cast<const unsigned char *>(dgst.data());
    const std::string ciphertext = capi_test::encrypt_to_cert(alice_.cert, "secret");
    const struct {
        const char *operation;
        DWORD code;
        const char *reason;
    } failures[] = {
        {"CryptCreateHash", NTE_BAD_ALGID, "cant create hash object"},
        {"CryptSetHashParam", NTE_BAD_HASH, "cant set hash value"},
        {"CryptSignHashA", NTE_BAD_KEY_STATE, "error signing hash"},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.operation);
        char code[32];
        std::snprintf(code, sizeof(code), "Error code= 0x%lX", static_cast<unsigned long>(f.code));

        unsigned char sig[256];
        unsigned int siglen = 777;
        cryptoapi_test_fail(f.operation, f.code, 0, 1);
        EXPECT_EQ(RSA_sign(NID_sha1, m, 20, sig, &siglen, rsa), 0);
        EXPECT_EQ(siglen, 777u);
        ReportedError e = take_error();
        EXPECT_EQ(e.function, "CAPI_RSA_SIGN");
        EXPECT_EQ(e.reason, f.reason);
        EXPECT_EQ(e.data, code);

        cryptoapi_test_fail(f.operation, f.code, 0, 1);
        EXPECT_EQ(DSA_do_sign(m, 20, dsa), nullptr);
        e = take_error();
        EXPECT_EQ(e.function, "CAPI_DSA_DO_SIGN");
        EXPECT_EQ(e.reason, f.reason);
        EXPECT_EQ(e.data, code);
        // A hash that was made is destroyed on the failure path too.
        EXPECT_EQ(cryptoapi_test_handle_counts().hashes, 0);
        cryptoapi_test_reset();
    }

    unsigned char plain[256];
    cryptoapi_test_fail("CryptDecrypt", NTE_BAD_DATA, 0, 1);
    EXPECT_EQ(RSA_private_decrypt(128, reinterpret_cast<const unsigned char *>(ciphertext.data()),
                                  plain, rsa, RSA_PKCS1_PADDING),
              -1);
    ReportedError e = take_error();
    EXPECT_EQ(e.function, "CAPI_RSA_PRIV_DEC");
    EXPECT_EQ(e.reason, "decrypt error");
    EXPECT_EQ(e.data, "Error code= 0x80090005");
    cryptoapi_test_reset();
    EVP_PKEY_free(dsa_key);
    EVP_PKEY_free(rsa_key);
}

TEST_F(KeysTest, DecryptsPkcs1AndRefusesOtherPaddings)
{
    EVP_PKEY *key = load("Alice");
    ASSERT_NE(key, nullptr);
    const std::string secret = "the session key";
    const std::string ciphertext = capi_test::encrypt_to_cert(alice_.cert, secret);
    ASSERT_EQ(ciphertext.size(), 128u);

    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(key, nullptr);
    unsigned char plain[256];
    size_t plainlen = sizeof(plain);
    ASSERT_GT(EVP_PKEY_decrypt_init(pctx), 0);
    ASSERT_GT(EVP_PKEY_decrypt(pctx, plain, &plainlen,
                               reinterpret_cast<const unsigned char *>(ciphertext.data()),
                               ciphertext.size()),
              0)
        << capi_test::drain_errors();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(plain), plainlen), secret);
    EVP_PKEY_CTX_free(pctx);

    RSA *rsa = const_cast<RSA *>(EVP_PKEY_get0_RSA(key));
    std::string input = ciphertext;
    EXPECT_EQ(RSA_private_decrypt(128, reinterpret_cast<const unsigned char *>(input.data()), plain,
                                  rsa, RSA_PKCS1_PADDING),
              static_cast<int>(secret.size()));
    EXPECT_EQ(input, ciphertext) << "the caller's input is left alone";

    for (int padding : {RSA_NO_PADDING, RSA_PKCS1_OAEP_PADDING}) {
        EXPECT_EQ(RSA_private_decrypt(128, reinterpret_cast<const unsigned char *>(input.data()),
                                      plain, rsa, padding),
                  -1);
        const char *data = nullptr, *func = nullptr;
        unsigned long err = ERR_get_error_all(nullptr, nullptr, &func, &data, nullptr);
        EXPECT_STREQ(func, "CAPI_RSA_PRIV_DEC");
        EXPECT_STREQ(ERR_reason_error_string(err), "unsupported padding");
        EXPECT_EQ(std::string(data), "padding=" + std::to_string(padding));
    }

    // A ciphertext that CryptoAPI cannot decrypt.
    std::string garbage(128, '\x5a');
    EXPECT_EQ(RSA_private_decrypt(128, reinterpret_cast<const unsigned char *>(garbage.data()),
                                  plain, rsa, RSA_PKCS1_PADDING),
              -1);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_RSA_PRIV_DEC:decrypt error:"),
              std::string::npos);
    EVP_PKEY_free(key);
}

TEST_F(KeysTest, PrivateEncryptionIsRefused)
{
    EVP_PKEY *key = load("Alice");
    ASSERT_NE(key, nullptr);
    unsigned char in[20] = {0}, out[256];
    EXPECT_EQ(RSA_private_encrypt(20, in, out, const_cast<RSA *>(EVP_PKEY_get0_RSA(key)),
                                  RSA_PKCS1_PADDING),
              -1);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_RSA_PRIV_ENC:function not supported:"),
              std::string::npos);
    // So is a signature without a digest type, which is a private encryption.
    EXPECT_EQ(sign(key, nullptr, std::string(20, 'x')), "");
    EXPECT_NE(capi_test::drain_errors().find("function not supported"), std::string::npos);
    EVP_PKEY_free(key);
}

TEST_F(KeysTest, ObjectsWithoutAKeyRecordCannotSign)
{
    const std::string trace = trace_to_file();
    unsigned char m[20] = {0}, out[256];
    unsigned int siglen = 0;

    RSA *bare = RSA_new_method(engine_);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(RSA_sign(NID_sha1, m, 20, out, &siglen, bare), 0);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_RSA_SIGN:cant get key:"), std::string::npos);
    EXPECT_EQ(RSA_private_decrypt(20, m, out, bare, RSA_PKCS1_PADDING), -1);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_RSA_PRIV_DEC:cant get key:"),
              std::string::npos);
    RSA_free(bare);
    EXPECT_NE(capi_test::read_file(trace).find("Called CAPI_rsa_sign()\n"), std::string::npos);

    // The engine's method without an engine: no context, so no trace.
    capi_test::write_file(trace, "");
    RSA *orphan = RSA_new();
    RSA_set_method(orphan, ENGINE_get_RSA(engine_));
    EXPECT_EQ(RSA_sign(NID_sha1, m, 20, out, &siglen, orphan), 0);
    EXPECT_NE(capi_test::drain_errors().find("cant get key"), std::string::npos);
    RSA_free(orphan);
    EXPECT_EQ(capi_test::read_file(trace), "");

    DSA *dsa = DSA_new_method(engine_);
    EXPECT_EQ(DSA_do_sign(m, 20, dsa), nullptr);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_DSA_DO_SIGN:cant get key:"),
              std::string::npos);
    DSA_free(dsa);
}

TEST_F(KeysTest, FreeingAKeyReleasesItsHandlesOnce)
{
    EVP_PKEY *key = load("Alice");
    ASSERT_NE(key, nullptr);
    cryptoapi_handle_counts open = cryptoapi_test_handle_counts();
    EXPECT_EQ(open.providers, 1);
    EXPECT_EQ(open.keys, 1);
    EXPECT_EQ(open.stores, 0) << "the store is closed once the key is found";
    EXPECT_EQ(open.certificates, 0);
    EVP_PKEY_free(key);
    cryptoapi_handle_counts closed = cryptoapi_test_handle_counts();
    EXPECT_EQ(closed.providers, 0);
    EXPECT_EQ(closed.keys, 0);
    EXPECT_EQ(closed.double_releases, 0);
}

TEST_F(KeysTest, DsaSignsSha1DigestsInsideCryptoApi)
{
    capi_test::admin({"new-key", "--container", "dss", "--algorithm", "dsa", "--bits", "1024",
                      "--key-spec", "signature"});
    ctx_->key_lookup = 3;
    ctx_->provider_type = PROV_DSS;
    ctx_->container_key_spec = AT_SIGNATURE;
    EVP_PKEY *key = load("dss");
    ASSERT_NE(key, nullptr) << capi_test::drain_errors();
    DSA *dsa = const_cast<DSA *>(EVP_PKEY_get0_DSA(key));
    ASSERT_NE(dsa, nullptr);
    EXPECT_EQ(BN_num_bits(DSA_get0_q(dsa)), 160);

    // The same public values in a software key verify the signature.
    DSA *soft = DSA_new();
    DSA_set_method(soft, DSA_OpenSSL());
    DSA_set0_pqg(soft, BN_dup(DSA_get0_p(dsa)), BN_dup(DSA_get0_q(dsa)), BN_dup(DSA_get0_g(dsa)));
    DSA_set0_key(soft, BN_dup(DSA_get0_pub_key(dsa)), nullptr);
    const std::string dgst = capi_test::digest("SHA1", "dss message");
    const auto *m = reinterpret_cast<const unsigned char *>(dgst.data());
    DSA_SIG *sig = DSA_do_sign(m, 20, dsa);
    ASSERT_NE(sig, nullptr) << capi_test::drain_errors();
    EXPECT_EQ(DSA_do_verify(m, 20, sig, soft), 1);
    std::string other = capi_test::digest("SHA1", "another message");
    EXPECT_EQ(DSA_do_verify(reinterpret_cast<const unsigned char *>(other.data()), 20, sig, soft), 0);
    DSA_SIG_free(sig);

    for (int len : {0, 16, 32}) {
        unsigned char long_digest[32] = {0};
        EXPECT_EQ(DSA_do_sign(long_digest, len, dsa), nullptr);
        EXPECT_NE(capi_test::drain_errors().find(":CAPI_DSA_DO_SIGN:invalid digest length:"),
                  std::string::npos);
    }
    EXPECT_EQ(cryptoapi_test_handle_counts().hashes, 0);
    ERR_clear_error();
    DSA_free(soft);
    EVP_PKEY_free(key);
}

}  // namespace
