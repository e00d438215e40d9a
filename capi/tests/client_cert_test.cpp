// Client certificate selection from the store "MY".
#include "engine_fixture.h"

namespace {

int choose_none(ENGINE *, SSL *, STACK_OF(X509) *)
{
    return -1;
}
int choose_past_end(ENGINE *, SSL *, STACK_OF(X509) *certs)
{
    return sk_X509_num(certs);
}

class ClientCertTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        if (HasFatalFailure())
            return;
        // Enumeration order: a certificate without a key, then Alice, then Bob.
        carol_ = capi_test::make_identity(home(), "Carol Nokey");
        capi_test::admin({"add-cert", carol_.cert_pem});
        alice_ = capi_test::make_identity(home(), "Alice Client");
        capi_test::import_identity(alice_, "alice");
        bob_ = capi_test::make_identity(home(), "Bob Client");
        capi_test::import_identity(bob_, "bob");
    }

    int choose(STACK_OF(X509_NAME) *cas, X509 **cert, EVP_PKEY **key)
    {
        return capi_choose_client_cert(engine_, nullptr, cas, cert, key, nullptr, nullptr, nullptr);
    }

    capi_test::Identity carol_, alice_, bob_;
};

TEST_F(ClientCertTest, TakesTheFirstCandidateWithAKey)
{
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
    ASSERT_EQ(choose(nullptr, &cert, &key), 1) << capi_test::drain_errors();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(X509_cmp(cert, alice_.cert), 0);
    EXPECT_EQ(X509_get_ex_data(cert, cert_key_index), nullptr);
    // The key signs inside CryptoAPI and verifies with the certificate.
    const std::string dgst = capi_test::digest("SHA1", "handshake");
    unsigned char sig[256];
    unsigned int siglen = 0;
    ASSERT_EQ(RSA_sign(NID_sha1, reinterpret_cast<const unsigned char *>(dgst.data()), 20, sig,
                       &siglen, const_cast<RSA *>(EVP_PKEY_get0_RSA(key))),
              1);
    EXPECT_TRUE(capi_test::verify_with_cert(
        cert, "SHA1", dgst, std::string(reinterpret_cast<char *>(sig), siglen)));
    // Only the chosen key stays open: its provider, key and certificate reference.
    const cryptoapi_handle_counts open = cryptoapi_test_handle_counts();
    EXPECT_EQ(open.providers, 1);
    EXPECT_EQ(open.keys, 1);
    EXPECT_EQ(open.certificates, 1);
    X509_free(cert);
    EVP_PKEY_free(key);
}

TEST_F(ClientCertTest, IssuerMustBeInANonEmptyCaList)
{
    STACK_OF(X509_NAME) *cas = sk_X509_NAME_new_null();
    sk_X509_NAME_push(cas, X509_NAME_dup(X509_get_subject_name(bob_.cert)));
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
    ASSERT_EQ(choose(cas, &cert, &key), 1);
    EXPECT_EQ(X509_cmp(cert, bob_.cert), 0) << "Bob's certificate is self-issued";
    X509_free(cert);
    EVP_PKEY_free(key);

    sk_X509_NAME_pop_free(cas, X509_NAME_free);
    cas = sk_X509_NAME_new_null();
    sk_X509_NAME_push(cas, X509_NAME_dup(X509_get_subject_name(carol_.cert)));
    EXPECT_EQ(choose(cas, &cert, &key), 0);
    EXPECT_EQ(cert, nullptr);
    EXPECT_EQ(key, nullptr);
    sk_X509_NAME_pop_free(cas, X509_NAME_free);
}

TEST_F(ClientCertTest, AKeyThatCannotBeBuiltStillYieldsTheCertificate)
{
    // Opening the candidates' keys succeeds; exporting the chosen one's public half fails.
    cryptoapi_test_fail("CryptExportKey", NTE_BAD_KEY, 0, 1);
    X509 *cert = nullptr;
    EVP_PKEY *key = reinterpret_cast<EVP_PKEY *>(&cert);
    EXPECT_EQ(choose(nullptr, &cert, &key), 1);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(X509_cmp(cert, alice_.cert), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(X509_get_ex_data(cert, cert_key_index), nullptr);
    const std::string errors = capi_test::drain_errors();
    EXPECT_NE(errors.find(":CAPI_GET_PKEY:pubkey export length error:"), std::string::npos)
        << errors;
    // Nothing refers to the chosen record any more, so it is released with the others.
    EXPECT_EQ(cryptoapi_test_open_handles(), 0);
    X509_free(cert);
}

TEST_F(ClientCertTest, AChoiceOutsideTheCandidatesReleasesThemAll)
{
    for (auto chooser : {choose_none, choose_past_end}) {
        ctx_->client_cert_chooser = chooser;
        X509 *cert = nullptr;
        EVP_PKEY *key = nullptr;
        EXPECT_EQ(choose(nullptr, &cert, &key), 0);
        EXPECT_EQ(cert, nullptr);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(cryptoapi_test_open_handles(), 0);
    }
}

}  // namespace
