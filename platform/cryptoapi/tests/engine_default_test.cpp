// Private keys stay in software when an engine is the process-wide default for RSA and
// DSA (as `openssl -engine` makes it): OpenSSL 3.0 hands even provider-made keys to such
// an engine, so the stand-in must not route its own operations through it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/dsa.h>
#include <openssl/engine.h>
#include <openssl/rsa.h>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

int failing_rsa_sign(int, const unsigned char *, unsigned int, unsigned char *, unsigned int *, const RSA *) {
    return 0;
}
int failing_rsa_private(int, const unsigned char *, unsigned char *, RSA *, int) { return -1; }
DSA_SIG *failing_dsa_sign(const unsigned char *, int, DSA *) { return nullptr; }

class EngineDefaultTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        rsa_ = RSA_meth_dup(RSA_PKCS1_OpenSSL());
        RSA_meth_set_sign(rsa_, failing_rsa_sign);
        RSA_meth_set_priv_enc(rsa_, failing_rsa_private);
        RSA_meth_set_priv_dec(rsa_, failing_rsa_private);
        dsa_ = DSA_meth_dup(DSA_OpenSSL());
        DSA_meth_set_sign(dsa_, failing_dsa_sign);
        engine_ = ENGINE_new();
        ENGINE_set_id(engine_, "failing");
        ENGINE_set_name(engine_, "engine whose private operations fail");
        ENGINE_set_RSA(engine_, rsa_);
        ENGINE_set_DSA(engine_, dsa_);
        ASSERT_EQ(ENGINE_init(engine_), 1);
        ASSERT_EQ(ENGINE_set_default(engine_, ENGINE_METHOD_RSA | ENGINE_METHOD_DSA), 1);
    }
    void TearDown() override {
        ENGINE_unregister_RSA(engine_);
        ENGINE_unregister_DSA(engine_);
        ENGINE_finish(engine_);
        ENGINE_free(engine_);
        RSA_meth_free(rsa_);
        DSA_meth_free(dsa_);
        StandInTest::TearDown();
    }
    ENGINE *engine_ = nullptr;
    RSA_METHOD *rsa_ = nullptr;
    DSA_METHOD *dsa_ = nullptr;
};

TEST_F(EngineDefaultTest, SignsAndDecryptsInSoftware) {
    HCRYPTPROV rsa = make_container("rsa", PROV_RSA_FULL, AT_KEYEXCHANGE, 1024);
    EXPECT_EQ(sign_hash(rsa, CALG_SHA1, digest(EVP_sha1(), "m"), AT_KEYEXCHANGE).size(), 128u);
    EXPECT_EQ(sign_hash(rsa, CALG_SSL3_SHAMD5, std::vector<BYTE>(36, 7), AT_KEYEXCHANGE).size(), 128u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(rsa, AT_KEYEXCHANGE, &key));
    std::vector<BYTE> garbage(128, 0x55);
    DWORD len = 128;
    // Bad padding, not an engine failure: the software path ran and rejected the block.
    EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, garbage.data(), &len));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
    CryptDestroyKey(key);
    CryptReleaseContext(rsa, 0);

    HCRYPTPROV dss = make_container("dss", PROV_DSS, AT_SIGNATURE, 1024);
    EXPECT_EQ(sign_hash(dss, CALG_SHA1, digest(EVP_sha1(), "m"), AT_SIGNATURE).size(), 40u);
    CryptReleaseContext(dss, 0);
}

}  // namespace
}  // namespace cryptoapi_tests
