// Certificate stores: opening, searching and printing.
#include "engine_fixture.h"

#include <openssl/pem.h>

namespace {

class StoresTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        if (HasFatalFailure())
            return;
        // Store "MY": Alice with a key and a friendly name, then Carol's certificate alone.
        alice_ = capi_test::make_identity(home(), "Alice Signer");
        capi_test::import_identity(alice_, "alice", {"--friendly-name", "Alice Key"});
        carol_ = capi_test::make_identity(home(), "Carol Viewer");
        capi_test::admin({"add-cert", carol_.cert_pem});
    }

    std::string print_store(const char *id, int *result = nullptr)
    {
        return capture([&](BIO *out) {
            int r = capi_print_store_certs(ctx_, out, id);
            if (result != nullptr)
                *result = r;
        });
    }

    static std::string names(X509 *x)
    {
        return capture([&](BIO *out) {
            BIO_printf(out, "  Subject: ");
            X509_NAME_print_ex(out, X509_get_subject_name(x), 0, XN_FLAG_ONELINE);
            BIO_printf(out, "\n  Issuer: ");
            X509_NAME_print_ex(out, X509_get_issuer_name(x), 0, XN_FLAG_ONELINE);
            BIO_printf(out, "\n");
        });
    }
    static std::string full(X509 *x)
    {
        return capture([&](BIO *out) { X509_print_ex(out, x, XN_FLAG_ONELINE, 0); });
    }
    static std::string pem(X509 *x)
    {
        return capture([&](BIO *out) { PEM_write_bio_X509(out, x); });
    }

    capi_test::Identity alice_, carol_;
};

// The name of the default provider of a type: the first one of that type.
std::string default_provider(DWORD type)
{
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof(name), found_type = 0;
        if (!CryptEnumProvidersA(i, nullptr, 0, &found_type, name, &size))
            return "";
        if (found_type == type)
            return name;
    }
}

TEST_F(StoresTest, EachListOptionPrintsItsPart)
{
    const std::string alice_key = "  Private Key Info:\n    Provider Name:  " +
                                  default_provider(PROV_RSA_FULL) +
                                  ", Provider Type 1\n    Container Name: alice, Key Type 1\n";
    const struct {
        DWORD flags;
        std::string alice, carol;
    } cases[] = {
        {0, "", ""},
        {0x10, "", ""},
        {0x02, "  Friendly Name \"Alice Key\"\n", "  <No Friendly Name>\n"},
        {0x01, names(alice_.cert), names(carol_.cert)},
        {0x03, "  Friendly Name \"Alice Key\"\n" + names(alice_.cert),
         "  <No Friendly Name>\n" + names(carol_.cert)},
        {0x04, full(alice_.cert), full(carol_.cert)},
        {0x08, pem(alice_.cert), pem(carol_.cert)},
        {0x20, alice_key, "  No Private Key\n"},
        // Every part, in its order: name, names, printout, key block, PEM.
        {0x3F,
         "  Friendly Name \"Alice Key\"\n" + names(alice_.cert) + full(alice_.cert) + alice_key +
             pem(alice_.cert),
         "  <No Friendly Name>\n" + names(carol_.cert) + full(carol_.cert) +
             "  No Private Key\n" + pem(carol_.cert)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        ctx_->list_flags = c.flags;
        int result = 0;
        EXPECT_EQ(print_store(nullptr, &result),
                  "Certificate 0\n" + c.alice + "Certificate 1\n" + c.carol);
        EXPECT_EQ(result, 1);
    }
}

TEST_F(StoresTest, LookupPrintsOnlyTheFoundCertificate)
{
    ctx_->list_flags = 0x02;
    int result = 0;
    EXPECT_EQ(print_store("carol", &result), "  <No Friendly Name>\n");
    EXPECT_EQ(result, 1);
    ctx_->list_flags = 0;
    EXPECT_EQ(print_store("carol", &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(print_store("nobody", &result), "");
    EXPECT_EQ(result, 0);
    ctx_->key_lookup = 3;
    EXPECT_EQ(print_store("alice", &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ERR_peek_error(), 0ul) << "finding nothing is not an error";
}

TEST_F(StoresTest, StoresAreOpenedByNameAndMustExist)
{
    capi_test::Identity ca = capi_test::make_identity(home(), "Root Authority");
    capi_test::admin({"add-cert", ca.cert_pem, "--store", "CA"});
    ctx_->list_flags = 0x01;
    ctx_->cert_store_name = OPENSSL_strdup("CA");
    EXPECT_EQ(print_store(nullptr), "Certificate 0\n" + names(ca.cert));

    OPENSSL_free(ctx_->cert_store_name);
    ctx_->cert_store_name = OPENSSL_strdup("NOSUCHSTORE");
    int result = 1;
    EXPECT_EQ(print_store(nullptr, &result), "");
    EXPECT_EQ(result, 0);
    const std::string errors = capi_test::drain_errors();
    EXPECT_NE(errors.find(":CAPI_OPEN_STORE:error opening store:capi/e_capi.cpp:"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("Error code= 0x2\n"), std::string::npos) << errors;

    // The current user's stores are not the machine's.
    ctx_->store_open_flags = (ctx_->store_open_flags & ~0x10000u) | 0x20000u;
    OPENSSL_free(ctx_->cert_store_name);
    ctx_->cert_store_name = nullptr;
    EXPECT_EQ(print_store(nullptr, &result), "");
    EXPECT_EQ(result, 0);
}

TEST_F(StoresTest, FriendlyNameSearchTakesTheFirstExactMatch)
{
    capi_test::Identity twin = capi_test::make_identity(home(), "Alice Twin");
    capi_test::import_identity(twin, "twin", {"--friendly-name", "Alice Key"});
    ctx_->key_lookup = 2;
    HCERTSTORE store = capi_open_store(ctx_, nullptr);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT found = capi_search_cert(ctx_, "Alice Key", store);
    ASSERT_NE(found, nullptr);
    const unsigned char *der = found->pbCertEncoded;
    X509 *x = d2i_X509(nullptr, &der, found->cbCertEncoded);
    EXPECT_EQ(X509_cmp(x, alice_.cert), 0) << "the first in enumeration order";
    X509_free(x);
    CertFreeCertificateContext(found);
    for (const char *miss : {"alice key", "Alice", "Alice Key "})
        EXPECT_EQ(capi_search_cert(ctx_, miss, store), nullptr) << miss;
    CertCloseStore(store, 0);
}

TEST_F(StoresTest, FriendlyNamesAreReadWithTheirOwnTerminator)
{
    HCERTSTORE store = capi_open_store(ctx_, nullptr);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT alice = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(alice, nullptr);
    char *name = capi_cert_get_fname(ctx_, alice);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Alice Key");
    OPENSSL_free(name);
    // A failed read of the property reports the Windows error.
    cryptoapi_test_fail("CertGetCertificateContextProperty", NTE_FAIL, 1, 1);
    EXPECT_EQ(capi_cert_get_fname(ctx_, alice), nullptr);
    const std::string errors = capi_test::drain_errors();
    EXPECT_NE(errors.find(":CAPI_CERT_GET_FNAME:error getting friendly name:"), std::string::npos);
    EXPECT_NE(errors.find("Error code= 0x80090020"), std::string::npos);
    PCCERT_CONTEXT carol = CertEnumCertificatesInStore(store, alice);
    ASSERT_NE(carol, nullptr);
    EXPECT_EQ(capi_cert_get_fname(ctx_, carol), nullptr);
    EXPECT_EQ(ERR_peek_error(), 0ul) << "no friendly name is no error";
    CertFreeCertificateContext(carol);
    CertCloseStore(store, 0);
}

}  // namespace
