// System certificate stores: opening, adding, enumeration and find, properties,
// reference-counted contexts.
#include <cstring>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kEngineFlags = kUser | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;

class CertStoreTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        ca_ = generate_rsa(1024);
        key_ = generate_rsa(1024);
    }
    void TearDown() override {
        EVP_PKEY_free(ca_);
        EVP_PKEY_free(key_);
        StandInTest::TearDown();
    }
    std::vector<BYTE> cert(const std::string &cn) {
        X509 *x = make_certificate(key_, ca_, cn);
        std::vector<BYTE> der = der_of(x);
        X509_free(x);
        return der;
    }
    // Adds certificates to a store of the current user (creating it) and closes it.
    void fill(const char *store_name, const std::vector<std::vector<BYTE>> &certs, DWORD where = kUser) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, where, store_name);
        ASSERT_NE(store, nullptr);
        for (const auto &der : certs)
            ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW,
                                                         nullptr));
        CertCloseStore(store, 0);
    }
    EVP_PKEY *ca_ = nullptr;
    EVP_PKEY *key_ = nullptr;
};

std::vector<std::vector<BYTE>> enumerate(HCERTSTORE store) {
    std::vector<std::vector<BYTE>> out;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr)
        out.emplace_back(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return out;
}

TEST_F(CertStoreTest, StoreExistsOnlyOnceCreated) {
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A read-only open of a missing store shows it empty and creates nothing.
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser | CERT_STORE_READONLY_FLAG, "MY");
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(enumerate(store).empty());
    CertCloseStore(store, 0);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY"), nullptr);

    fill("My", {});
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY");  // names ignore case
    ASSERT_NE(store, nullptr);
    CertCloseStore(store, 0);
    std::u16string wide_name = u16("my");
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, kEngineFlags, wide_name.c_str());
    ASSERT_NE(store, nullptr);
    CertCloseStore(store, 0);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser | CERT_STORE_CREATE_NEW_FLAG, "MY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    // Locations are separate.
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kMachine | CERT_STORE_OPEN_EXISTING_FLAG, "MY"),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(CertStoreTest, EnumerationKeepsInsertionOrderAcrossOpens) {
    auto a = cert("First"), b = cert("Second"), c = cert("Third");
    fill("MY", {a, b});
    fill("MY", {c});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY");
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(enumerate(store), (std::vector<std::vector<BYTE>>{a, b, c}));
    // Each step frees the previous context: a full walk leaves no context open.
    EXPECT_EQ(cryptoapi_test_handle_counts().certificates, 0);
    CertCloseStore(store, 0);
}

TEST_F(CertStoreTest, AddDispositionsAndBadInput) {
    auto a = cert("Alice");
    fill("MY", {a});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT ctx = reinterpret_cast<PCCERT_CONTEXT>(1);
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, a.data(), static_cast<DWORD>(a.size()),
                                                  CERT_STORE_ADD_NEW, &ctx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    EXPECT_EQ(ctx, nullptr);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, a.data(), static_cast<DWORD>(a.size()),
                                                 CERT_STORE_ADD_USE_EXISTING, &ctx));
    CertFreeCertificateContext(ctx);
    std::vector<BYTE> junk = {0x30, 0x03, 0x02, 0x01, 0x00};
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, junk.data(),
                                                  static_cast<DWORD>(junk.size()), CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    std::vector<BYTE> trailing = a;
    trailing.push_back(0);
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, trailing.data(),
                                                  static_cast<DWORD>(trailing.size()), CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(enumerate(store).size(), 1u);
    CertCloseStore(store, 0);

    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY");
    auto b = cert("Bob");
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, b.data(), static_cast<DWORD>(b.size()),
                                                  CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CertCloseStore(store, 0);
}

TEST_F(CertStoreTest, FindSubjectIsCaseInsensitiveSubstringInOrder) {
    fill("MY", {cert("Alice Example"), cert("Bob Example"), cert("Carol")});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY");
    ASSERT_NE(store, nullptr);
    struct {
        const char *text;
        std::vector<std::string> found;
    } cases[] = {
        {"example", {"Alice Example", "Bob Example"}},
        {"BOB", {"Bob Example"}},
        {"CN=Carol", {"Carol"}},
        {"O=Stand-in Tests", {"Alice Example", "Bob Example", "Carol"}},
        {"Dave", {}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> found;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, c.text,
                                                 ctx)) != nullptr) {
            const unsigned char *p = ctx->pbCertEncoded;
            X509 *x = d2i_X509(nullptr, &p, ctx->cbCertEncoded);
            char cn[64] = {0};
            X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, cn, sizeof cn);
            found.push_back(cn);
            X509_free(x);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        EXPECT_EQ(found, c.found) << c.text;
    }
    CertCloseStore(store, 0);
}

TEST_F(CertStoreTest, PropertiesPersistAndUseTheTwoCallPattern) {
    fill("MY", {cert("Alice")});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    DWORD size = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    std::u16string container = u16("alice-key"), provider = u16("Stand-in RSA Full Provider");
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(container.c_str());
    info.pwszProvName = const_cast<LPWSTR>(provider.c_str());
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    std::u16string name = u"Alice's cert \u00E9";
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * 2),
                         reinterpret_cast<BYTE *>(const_cast<char16_t *>(name.c_str()))};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);

    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY");
    ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<BYTE> block(size);
    DWORD short_size = size - 1;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &short_size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(short_size, size);
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &size));
    auto *got = reinterpret_cast<CRYPT_KEY_PROV_INFO *>(block.data());
    // The strings live inside the caller's block.
    EXPECT_GE(reinterpret_cast<BYTE *>(got->pwszContainerName), block.data());
    EXPECT_LT(reinterpret_cast<BYTE *>(got->pwszProvName), block.data() + block.size());
    EXPECT_EQ(std::u16string(got->pwszContainerName), container);
    EXPECT_EQ(std::u16string(got->pwszProvName), provider);
    EXPECT_EQ(got->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(got->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));

    size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
    EXPECT_EQ(size, (name.size() + 1) * 2);
    std::vector<WCHAR> fname(size / 2);
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, fname.data(), &size));
    EXPECT_EQ(std::u16string(fname.data()), name);
    // Read-only stores keep their properties.
    EXPECT_FALSE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);
}

TEST_F(CertStoreTest, ContextsAreReferenceCountedAndOutliveTheStore) {
    const long double_before = cryptoapi_test_handle_counts().double_releases;
    auto a = cert("Alice");
    fill("MY", {a});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY");
    PCCERT_CONTEXT ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, "alice",
                                                    nullptr);
    ASSERT_NE(ctx, nullptr);
    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
    EXPECT_EQ(dup, ctx);
    EXPECT_EQ(cryptoapi_test_handle_counts().certificates, 2);
    CertCloseStore(store, 0);
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
    EXPECT_EQ(std::vector<BYTE>(dup->pbCertEncoded, dup->pbCertEncoded + dup->cbCertEncoded), a);
    EXPECT_TRUE(CertFreeCertificateContext(dup));
    EXPECT_EQ(cryptoapi_test_handle_counts().double_releases - double_before, 0);
    EXPECT_FALSE(CertFreeCertificateContext(dup));
    EXPECT_EQ(cryptoapi_test_handle_counts().double_releases - double_before, 1);
    EXPECT_FALSE(CertCloseStore(store, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(cryptoapi_test_handle_counts().double_releases - double_before, 2);
}

TEST_F(CertStoreTest, DeleteRemovesFromDisk) {
    auto bob = cert("Bob");
    fill("MY", {cert("Alice"), bob});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    PCCERT_CONTEXT ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, "alice",
                                                    nullptr);
    ASSERT_TRUE(CertDeleteCertificateFromStore(ctx));
    EXPECT_EQ(enumerate(store).size(), 1u);
    CertCloseStore(store, 0);
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY");
    EXPECT_EQ(enumerate(store), std::vector<std::vector<BYTE>>{bob});
    CertCloseStore(store, 0);
}

}  // namespace
}  // namespace cryptoapi_tests
