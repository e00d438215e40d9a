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

// Adding a certificate that is in the store already (it has a friendly name there).
TEST_F(CertStoreTest, AddDispositionsOnACertificateAlreadyThere) {
    auto a = cert("Alice");
    struct {
        DWORD disposition;
        bool added;
        DWORD error;
        size_t entries;
        const char *friendly_name;  // of the entry the call returned (or the first one)
    } cases[] = {
        {CERT_STORE_ADD_NEW, false, static_cast<DWORD>(CRYPT_E_EXISTS), 1, "old"},
        {CERT_STORE_ADD_USE_EXISTING, true, 0, 1, "old"},
        {CERT_STORE_ADD_REPLACE_EXISTING, true, 0, 1, ""},  // replacing drops the properties
        {CERT_STORE_ADD_ALWAYS, true, 0, 2, ""},            // a second, new entry
        {0, false, static_cast<DWORD>(ERROR_INVALID_PARAMETER), 1, "old"},
        {CERT_STORE_ADD_ALWAYS + 1, false, static_cast<DWORD>(ERROR_INVALID_PARAMETER), 1, "old"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.disposition);
        std::string store_name = "D" + std::to_string(c.disposition);
        fill(store_name.c_str(), {a});
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, store_name.c_str());
        PCCERT_CONTEXT first = CertEnumCertificatesInStore(store, nullptr);
        ASSERT_NE(first, nullptr);
        std::u16string old = u16("old");
        CRYPT_DATA_BLOB blob{8, reinterpret_cast<BYTE *>(const_cast<char16_t *>(old.c_str()))};
        ASSERT_TRUE(CertSetCertificateContextProperty(first, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
        CertFreeCertificateContext(first);

        PCCERT_CONTEXT ctx = reinterpret_cast<PCCERT_CONTEXT>(1);
        SetLastError(0);
        EXPECT_EQ(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, a.data(), static_cast<DWORD>(a.size()),
                                                   c.disposition, &ctx) != FALSE,
                  c.added);
        if (!c.added) {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(ctx, nullptr);
            ctx = CertEnumCertificatesInStore(store, nullptr);
        }
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(friendly_name(ctx), c.friendly_name);
        CertFreeCertificateContext(ctx);
        CertCloseStore(store, 0);
        store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, store_name.c_str());
        EXPECT_EQ(enumerate(store).size(), c.entries);
        CertCloseStore(store, 0);
    }
}

// CERT_STORE_ADD_NEW is decided on the store as it is on disk: a handle opened before
// another one added the certificate does not add it again.
TEST_F(CertStoreTest, AddNewSeesWhatOtherHandlesAdded) {
    auto a = cert("Alice");
    fill("MY", {cert("Bob")});
    HCERTSTORE early = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    fill("MY", {a});
    EXPECT_FALSE(CertAddEncodedCertificateToStore(early, X509_ASN_ENCODING, a.data(), static_cast<DWORD>(a.size()),
                                                  CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    PCCERT_CONTEXT used = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(early, X509_ASN_ENCODING, a.data(), static_cast<DWORD>(a.size()),
                                                 CERT_STORE_ADD_USE_EXISTING, &used));
    CertFreeCertificateContext(used);
    EXPECT_EQ(enumerate(early).size(), 2u);
    CertCloseStore(early, 0);
}

TEST_F(CertStoreTest, BadInputIsRefused) {
    auto a = cert("Alice");
    fill("MY", {a});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    ASSERT_NE(store, nullptr);
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

// The fixture's certificates have the subject CN=<name>, O=Stand-in Tests in that order,
// which subject search sees as "<name>, Stand-in Tests": values only, as on Windows.
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
        {"carol, stand-in", {"Carol"}},
        {"Stand-in Tests", {"Alice Example", "Bob Example", "Carol"}},
        {"CN=Carol", {}},          // attribute names are not part of the text
        {"O=Stand-in Tests", {}},
        {"Stand-in Tests,Carol", {}},  // nor is the RFC 2253 order and separator
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

// Names as subject search sees them (CertNameToStr's simple form): values in the
// certificate's order, ", " between RDNs, " + " inside one, quotes where needed.
TEST_F(CertStoreTest, SubjectSearchTextIsTheSimpleNameForm) {
    struct Attribute {
        const char *type;
        const char *value;
        int set;  // 0: a new RDN; -1: joins the previous one
    };
    struct {
        std::vector<Attribute> name;
        std::vector<const char *> finds, misses;
    } cases[] = {
        {{{"C", "US", 0}, {"O", "Test Org", 0}, {"CN", "Alice Example", 0}},
         {"US, Test Org, Alice Example", "org, alice", "us, test"},
         {"CN=Alice", "Alice Example, Test Org", "C=US", "US,Test Org"}},
        {{{"O", "Oracle", 0}, {"OU", "Unit", 0}, {"CN", "Zed", 0}}, {"Oracle, Unit", "unit, zed"}, {"Unit, Oracle"}},
        // One RDN of two values, which DER sorts: CN's encoding comes first.
        {{{"O", "Multi", 0}, {"OU", "One", 0}, {"CN", "Two", -1}}, {"Multi, Two + One"}, {"One, Two", "Two, One"}},
        {{{"O", "Doe, Inc.", 0}, {"CN", " padded", 0}}, {"\"Doe, Inc.\", \" padded\""}, {"Doe, Inc., "}},
        {{{"CN", "Say \"hi\"", 0}}, {"\"Say \"\"hi\"\"\""}, {}},
        {{{"CN", "Ünïcode Ärger", 0}}, {"Ünïcode Ärger", "CODE Är"}, {}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const auto &c = cases[i];
        X509 *x = make_certificate(key_, ca_, "x");
        X509_NAME *name = X509_NAME_new();
        for (const auto &a : c.name)
            X509_NAME_add_entry_by_txt(name, a.type, MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(a.value),
                                       -1, -1, a.set);
        X509_set_subject_name(x, name);
        X509_sign(x, ca_, EVP_sha256());
        X509_NAME_free(name);
        std::string store_name = "S" + std::to_string(i);
        fill(store_name.c_str(), {der_of(x)});
        X509_free(x);
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, store_name.c_str());
        for (bool expect : {true, false}) {
            for (const char *text : expect ? c.finds : c.misses) {
                PCCERT_CONTEXT ctx =
                    CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, text, nullptr);
                EXPECT_EQ(ctx != nullptr, expect) << "case " << i << ": " << text;
                CertFreeCertificateContext(ctx);
            }
        }
        CertCloseStore(store, 0);
    }
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
