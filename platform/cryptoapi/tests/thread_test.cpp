// Concurrent use from several threads: handles, signing, stores and the last error.
#include <atomic>
#include <chrono>
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

// Threads that open a store the process keeps, find in it and enumerate it, while another
// thread adds to it: every reader always finds what was there, and never sees fewer
// certificates than it saw before.
TEST_F(ThreadTest, ReadersOfAKeptStoreSeeEveryAddOfAConcurrentWriter) {
    constexpr int kReaders = 3, kAdds = 3, kFirst = 2;
    EVP_PKEY *key = generate_rsa(1024);
    std::vector<std::vector<BYTE>> certs;
    for (int i = 0; i < kFirst + kAdds; ++i) {
        X509 *x = make_certificate(key, key, (i == 0 ? "Alice " : "cert ") + std::to_string(i));
        certs.push_back(der_of(x));
        X509_free(x);
    }
    EVP_PKEY_free(key);
    auto add = [&](int i) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
        bool ok = store != nullptr &&
                  CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certs[i].data(),
                                                   static_cast<DWORD>(certs[i].size()), CERT_STORE_ADD_NEW, nullptr);
        if (store) CertCloseStore(store, 0);
        return ok;
    };
    for (int i = 0; i < kFirst; ++i) ASSERT_TRUE(add(i));
    // Once the store is a moment old, an open stamps its index and the process keeps it.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    auto count = [] {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, "MY");
        if (store == nullptr) return -1;
        int n = 0;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) ++n;
        PCCERT_CONTEXT alice =
            CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, "alice", nullptr);
        if (alice == nullptr) n = -2;
        CertFreeCertificateContext(alice);
        CertCloseStore(store, 0);
        return n;
    };
    ASSERT_EQ(count(), kFirst);
    std::atomic<bool> writing{true};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r)
        readers.emplace_back([&] {
            int seen = kFirst;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (int i = 0; (writing || i < 20) && std::chrono::steady_clock::now() < deadline; ++i) {
                int n = count();
                if (n < seen) ++failures;
                if (n > seen) seen = n;
            }
        });
    for (int i = kFirst; i < kFirst + kAdds; ++i) {
        // Long enough apart for the store to be stamped and kept again between adds.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (!add(i)) ++failures;
    }
    writing = false;
    for (auto &th : readers) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(count(), kFirst + kAdds);
}

}  // namespace
}  // namespace cryptoapi_tests
