// Injected failures, provider quirks and handle counts, in process and from the
// environment of a fresh process.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

using TestInterfaceTest = StandInTest;

TEST_F(TestInterfaceTest, InjectedFailureHonoursSkipAndTimes) {
    cryptoapi_test_fail("CryptAcquireContextA", NTE_BAD_KEYSET, 1, 2);
    HCRYPTPROV prov = 0;
    std::vector<DWORD> results;
    for (int i = 0; i < 4; ++i) {
        SetLastError(0);
        if (CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            CryptReleaseContext(prov, 0);
            results.push_back(0);
        } else {
            results.push_back(GetLastError());
        }
    }
    EXPECT_EQ(results, (std::vector<DWORD>{0, static_cast<DWORD>(NTE_BAD_KEYSET),
                                           static_cast<DWORD>(NTE_BAD_KEYSET), 0}));
    cryptoapi_test_fail("WideCharToMultiByte", ERROR_INVALID_PARAMETER, 0, -1);
    char out[8];
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"x", -1, out, 8, nullptr, nullptr), 0);
    cryptoapi_test_reset();
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"x", -1, out, 8, nullptr, nullptr), 2);
}

TEST_F(TestInterfaceTest, FailedEnumerationStillFreesThePreviousContext) {
    EVP_PKEY *key = generate_rsa(1024);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
    for (const char *cn : {"one", "two"}) {
        X509 *x = make_certificate(key, key, cn);
        auto der = der_of(x);
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, nullptr));
        X509_free(x);
    }
    EVP_PKEY_free(key);
    cryptoapi_test_fail("CertEnumCertificatesInStore", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(CertEnumCertificatesInStore(store, ctx), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(cryptoapi_test_handle_counts().certificates, 0);
    CertCloseStore(store, 0);
}

TEST_F(TestInterfaceTest, HandleCountsFollowEachKind) {
    const long double_before = cryptoapi_test_handle_counts().double_releases;
    HCRYPTPROV prov = make_container("counted", PROV_RSA_FULL, AT_KEYEXCHANGE, 512);
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "CA");
    cryptoapi_handle_counts c = cryptoapi_test_handle_counts();
    EXPECT_EQ(c.providers, 1);
    EXPECT_EQ(c.keys, 1);
    EXPECT_EQ(c.hashes, 1);
    EXPECT_EQ(c.stores, 1);
    EXPECT_EQ(cryptoapi_test_open_handles(), 4);
    CryptDestroyHash(hash);
    EXPECT_FALSE(CryptDestroyHash(hash));
    EXPECT_FALSE(CryptDestroyKey(hash));  // a hash handle is no key: invalid, not a double release
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    CertCloseStore(store, 0);
    EXPECT_EQ(cryptoapi_test_open_handles(), 0);
    EXPECT_EQ(cryptoapi_test_handle_counts().double_releases - double_before, 1);
}

std::string read_all(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(TestInterfaceTest, EnvironmentSettingsReachAFreshProcess) {
    HCRYPTPROV prov = make_container("alpha", PROV_RSA_FULL, AT_KEYEXCHANGE, 512);
    CryptReleaseContext(prov, 0);
    const std::string probe = CRYPTOAPI_PROBE;

    CommandResult plain = run(probe + " containers");
    EXPECT_EQ(plain.output, "max 6\n0. alpha\nend 0x00000103\n");
    CommandResult quirky = run("CRYPTOAPI_QUIRKS=zero-max-len,empty-name-end " + probe + " containers");
    EXPECT_EQ(quirky.output, "max 0\n0. alpha\nend empty\n");

    CommandResult failing = run("CRYPTOAPI_FAIL=CryptSignHashA=0x80090016 " + probe + " sign alpha");
    EXPECT_EQ(failing.status, 1);
    EXPECT_EQ(failing.output, "sign failed 0x80090016\n");
    CommandResult later = run("CRYPTOAPI_FAIL=CryptGetProvParam=0x103:1,CryptReleaseContext=5:3 " + probe +
                              " containers");
    EXPECT_EQ(later.output, "max 6\nend 0x00000103\n");
    EXPECT_EQ(run(probe + " sign alpha").output, "signed 64 bytes\n");
}

TEST_F(TestInterfaceTest, HandleReportIsWrittenAtExit) {
    const std::string probe = CRYPTOAPI_PROBE;
    const std::string report = home_ + "-report";
    struct {
        const char *command;
        const char *expected;
    } cases[] = {
        {"sign missing", "providers=0\nkeys=0\nhashes=0\nstores=0\ncertificates=0\ndouble_releases=0\nopen=0\n"},
        {"leak", "providers=1\nkeys=0\nhashes=0\nstores=0\ncertificates=0\ndouble_releases=0\nopen=1\n"},
        {"release-twice", "providers=0\nkeys=0\nhashes=0\nstores=0\ncertificates=0\ndouble_releases=1\nopen=0\n"},
    };
    for (const auto &c : cases) {
        std::remove(report.c_str());
        run("CRYPTOAPI_HANDLE_REPORT=" + report + " " + probe + " " + c.command);
        EXPECT_EQ(read_all(report), c.expected) << c.command;
    }
    std::remove(report.c_str());
}

}  // namespace
}  // namespace cryptoapi_tests
