// Concurrent use from several threads: handles, signing, stores and the last error.
#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

using ThreadTest = StandInTest;

TEST_F(ThreadTest, ConcurrentSigningAndHandleBookkeeping) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 8;
    for (int t = 0; t < kThreads; ++t) {
        HCRYPTPROV prov = make_container(("worker" + std::to_string(t)).c_str(), PROV_RSA_FULL, AT_KEYEXCHANGE, 512);
        CryptReleaseContext(prov, 0);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            std::string container = "worker" + std::to_string(t);
            BYTE value[20] = {static_cast<BYTE>(t)};
            for (int i = 0; i < kRounds; ++i) {
                HCRYPTPROV prov = 0;
                HCRYPTHASH hash = 0;
                BYTE sig[64];
                DWORD len = sizeof sig;
                bool ok = CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_RSA_FULL, 0) &&
                          CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
                          CryptSetHashParam(hash, HP_HASHVAL, value, 0) &&
                          CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &len) && len == 64;
                // A failure in another thread never shows up as this thread's last error.
                SetLastError(static_cast<DWORD>(t));
                if (hash) CryptDestroyHash(hash);
                if (prov) CryptReleaseContext(prov, 0);
                if (!ok || GetLastError() != static_cast<DWORD>(t)) ++failures;
            }
        });
    }
    // Meanwhile another thread keeps listing containers.
    threads.emplace_back([&failures] {
        for (int i = 0; i < kRounds; ++i) {
            HCRYPTPROV prov = 0;
            if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
                ++failures;
                continue;
            }
            char name[64];
            int count = 0;
            DWORD len = sizeof name;
            for (DWORD flags = CRYPT_FIRST; CryptGetProvParam(prov, PP_ENUMCONTAINERS,
                                                              reinterpret_cast<BYTE *>(name), &len, flags);
                 flags = CRYPT_NEXT, len = sizeof name)
                ++count;
            if (count != kThreads) ++failures;
            CryptReleaseContext(prov, 0);
        }
    });
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(cryptoapi_test_handle_counts().double_releases, 0);
}

TEST_F(ThreadTest, ConcurrentAddsToOneStoreAllLand) {
    constexpr int kThreads = 4;
    EVP_PKEY *key = generate_rsa(1024);
    std::vector<std::vector<BYTE>> certs;
    for (int t = 0; t < kThreads; ++t) {
        X509 *x = make_certificate(key, key, "cert " + std::to_string(t));
        certs.push_back(der_of(x));
        X509_free(x);
    }
    EVP_PKEY_free(key);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &certs, &failures] {
            // Each thread has its own store handle, as separate processes would.
            HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
            if (store == nullptr ||
                !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certs[t].data(),
                                                  static_cast<DWORD>(certs[t].size()), CERT_STORE_ADD_NEW, nullptr))
                ++failures;
            if (store) CertCloseStore(store, 0);
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, "MY");
    ASSERT_NE(store, nullptr);
    std::set<std::vector<BYTE>> found;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr)
        found.emplace(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
    CertCloseStore(store, 0);
    EXPECT_EQ(found, std::set<std::vector<BYTE>>(certs.begin(), certs.end()));
}

}  // namespace
}  // namespace cryptoapi_tests
