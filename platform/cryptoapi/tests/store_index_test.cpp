// The store index: whatever happens to the files beside it, or to the index itself,
// opening a store shows what the files hold.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr DWORD kEngineFlags = kUser | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;

std::vector<std::string> listing(const std::string &store_name);

class StoreIndexTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        key_ = generate_rsa(1024);
    }
    void TearDown() override {
        EVP_PKEY_free(key_);
        StandInTest::TearDown();
    }
    std::vector<BYTE> cert(const std::string &cn) {
        X509 *x = make_certificate(key_, key_, cn);
        std::vector<BYTE> der = der_of(x);
        X509_free(x);
        return der;
    }
    std::string dir(const std::string &store) { return home_ + "/stores/user/" + store; }
    std::string file(const std::string &store, const std::string &name) { return dir(store) + "/" + name; }

    // Adds certificates (the last one with a friendly name) through the library.
    void fill(const std::string &store_name, const std::vector<std::string> &names) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, store_name.c_str());
        ASSERT_NE(store, nullptr);
        for (size_t i = 0; i < names.size(); ++i) {
            std::vector<BYTE> der = cert(names[i]);
            PCCERT_CONTEXT ctx = nullptr;
            ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, &ctx));
            if (i + 1 == names.size()) {
                std::u16string fname = u16("Named " + names[i]);
                CRYPT_DATA_BLOB blob{static_cast<DWORD>((fname.size() + 1) * 2),
                                     reinterpret_cast<BYTE *>(const_cast<char16_t *>(fname.c_str()))};
                ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
            }
            CertFreeCertificateContext(ctx);
        }
        CertCloseStore(store, 0);
    }

    // Waits until the stores' folders are old enough for a stamp, and opens each once so
    // that the stamp is written: the next open then trusts the index alone.
    void settle(const std::vector<std::string> &stores) {
        for (int wait_ms : {150, 2100}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            bool all = true;
            for (const auto &s : stores) {
                listing(s);
                all = all && access(file(s, ".index/stamp").c_str(), F_OK) == 0;
            }
            if (all) return;
        }
        FAIL() << "no store index was stamped";
    }

    EVP_PKEY *key_ = nullptr;
};

std::string common_name(PCCERT_CONTEXT ctx) {
    const unsigned char *p = ctx->pbCertEncoded;
    X509 *x = d2i_X509(nullptr, &p, ctx->cbCertEncoded);
    char cn[64] = {0};
    if (x != nullptr) X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, cn, sizeof cn);
    X509_free(x);
    return cn;
}

// Every certificate of a store as "CN" or "CN/friendly name", in order.
std::vector<std::string> listing(const std::string &store_name) {
    std::vector<std::string> out;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, store_name.c_str());
    if (store == nullptr) return {"(cannot open)"};
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        std::string fname = friendly_name(ctx);
        out.push_back(common_name(ctx) + (fname.empty() ? "" : "/" + fname));
    }
    CertCloseStore(store, 0);
    return out;
}

std::vector<std::string> find_subject(const std::string &store_name, const char *text) {
    std::vector<std::string> out;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, store_name.c_str());
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, text, ctx)) !=
           nullptr)
        out.push_back(common_name(ctx));
    CertCloseStore(store, 0);
    return out;
}

void write_bytes(const std::string &path, const std::vector<BYTE> &data, int flags) {
    int fd = open(path.c_str(), O_WRONLY | flags, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
}

TEST_F(StoreIndexTest, ChangesBesideTheIndexAndDamageToItNeverShowStaleEntries) {
    using Strings = std::vector<std::string>;
    struct Case {
        const char *what;
        std::function<void(const std::string &store)> change;
        Strings expected;
    };
    const Strings before = {"Alice", "Bob/Named Bob"};
    std::vector<Case> cases = {
        {"a certificate file added by a writer that knows no index",
         [&](const std::string &s) { write_bytes(file(s, "00000009.der"), cert("Dave"), O_CREAT | O_EXCL); },
         {"Alice", "Bob/Named Bob", "Dave"}},
        {"a certificate file removed",
         [&](const std::string &s) { ASSERT_EQ(unlink(file(s, "00000001.der").c_str()), 0); },
         {"Bob/Named Bob"}},
        {"a properties file replaced",
         [&](const std::string &s) {
             write_text(file(s, "props.new"), "friendly-name=Renamed\n");
             ASSERT_EQ(rename(file(s, "props.new").c_str(), file(s, "00000002.props").c_str()), 0);
         },
         {"Alice", "Bob/Renamed"}},
        {"the log damaged in place",
         [&](const std::string &s) {
             // Same size and inode: only the record checksums can tell.
             int fd = open(file(s, ".index/entries").c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(pwrite(fd, "X", 1, 40), 1);
             close(fd);
         },
         before},
        {"the log cut short",
         [&](const std::string &s) { ASSERT_EQ(truncate(file(s, ".index/entries").c_str(), 60), 0); },
         before},
        {"a certificate file replaced by a FIFO nobody writes to",
         [&](const std::string &s) {
             ASSERT_EQ(unlink(file(s, "00000001.der").c_str()), 0);
             ASSERT_EQ(mkfifo(file(s, "00000001.der").c_str(), 0600), 0);
         },
         {"Bob/Named Bob"}},
        {"the log replaced by a FIFO nobody writes to",
         [&](const std::string &s) {
             ASSERT_EQ(unlink(file(s, ".index/entries").c_str()), 0);
             ASSERT_EQ(mkfifo(file(s, ".index/entries").c_str(), 0600), 0);
         },
         before},
        {"the stamp garbled", [&](const std::string &s) { write_text(file(s, ".index/stamp"), "junk\n"); }, before},
        {"the index removed",
         [&](const std::string &s) { run("rm -rf '" + file(s, ".index") + "'"); },
         before},
    };
    Strings stores;
    for (size_t i = 0; i < cases.size(); ++i) {
        stores.push_back("S" + std::to_string(i));
        fill(stores.back(), {"Alice", "Bob"});
    }
    settle(stores);
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_EQ(listing(stores[i]), before) << cases[i].what;
        cases[i].change(stores[i]);
        // This process read the store just before: what it kept must not hide the change.
        EXPECT_EQ(listing(stores[i]), cases[i].expected) << cases[i].what << ", by a process that read it before";
        // A process that did not (the files and the index are read again).
        cryptoapi_test_forget_stores();
        EXPECT_EQ(listing(stores[i]), cases[i].expected) << cases[i].what;
        EXPECT_EQ(listing(stores[i]), cases[i].expected) << cases[i].what << ", opened again";
    }
}

TEST_F(StoreIndexTest, EveryByteOfATrustedLogIsCoveredByItsChecksum) {
    // A stamped log is used as it is: only the line checksums stand between a changed
    // byte (same size, same inode) and a wrong subject, name or size being believed.
    fill("S", {"Alice", "Bob"});
    settle({"S"});
    const std::vector<std::string> before = {"Alice", "Bob/Named Bob"};
    auto log_size = [&] {
        struct stat st;
        return stat(file("S", ".index/entries").c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    };
    std::ifstream in(file("S", ".index/entries"), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(log.empty());
    // A damaged log is rebuilt whole (its appended records folded in), so the walk goes
    // on over the log as it is now.
    for (size_t pos = log.find('\n') + 1; pos < log_size(); ++pos) {
        ASSERT_EQ(access(file("S", ".index/stamp").c_str(), F_OK), 0) << "byte " << pos;
        int fd = open(file("S", ".index/entries").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        char byte;
        ASSERT_EQ(pread(fd, &byte, 1, static_cast<off_t>(pos)), 1);
        byte ^= 1;
        ASSERT_EQ(pwrite(fd, &byte, 1, static_cast<off_t>(pos)), 1);
        close(fd);
        cryptoapi_test_forget_stores();  // as a process that has not read the store yet
        EXPECT_EQ(find_subject("S", "alice"), std::vector<std::string>{"Alice"}) << "byte " << pos;
        EXPECT_EQ(find_subject("S", "bob"), std::vector<std::string>{"Bob"}) << "byte " << pos;
        EXPECT_EQ(listing("S"), before) << "byte " << pos;
    }
}

TEST_F(StoreIndexTest, ACertificateRewrittenInPlaceIsReadAsItIsAndTheIndexCorrected) {
    fill("MY", {"Alice", "Bob"});
    settle({"MY"});
    // Same file, same inode, same folder time: nothing but the content tells.
    write_bytes(file("MY", "00000001.der"), cert("Carol"), O_TRUNC);
    EXPECT_EQ(find_subject("MY", "alice"), std::vector<std::string>{});
    EXPECT_EQ(listing("MY"), (std::vector<std::string>{"Carol", "Bob/Named Bob"}));
    EXPECT_EQ(find_subject("MY", "carol"), std::vector<std::string>{"Carol"});
}

// A store this process has read, whose folder has not changed since, is opened from what
// was read then: its index is not read again until the store changes or is forgotten.
// Its folder made writable by others meanwhile is refused all the same.
TEST_F(StoreIndexTest, AStoreReadBeforeIsNotReadAgainWhileItsFolderIsUnchanged) {
    fill("MY", {"Alice", "Bob"});
    settle({"MY"});
    const std::vector<std::string> before = {"Alice", "Bob/Named Bob"};
    auto log_text = [&] {
        std::ifstream in(file("MY", ".index/entries"), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    ASSERT_EQ(listing("MY"), before);
    // A byte of the log damaged in place (same size, same inode, same folder time): a
    // store that reads its log finds the damage and rewrites the log.
    int fd = open(file("MY", ".index/entries").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "X", 1, 40), 1);
    close(fd);
    const std::string damaged = log_text();
    EXPECT_EQ(listing("MY"), before);
    EXPECT_EQ(find_subject("MY", "bob"), std::vector<std::string>{"Bob"});
    EXPECT_EQ(log_text(), damaged) << "the log was read again";
    cryptoapi_test_forget_stores();
    EXPECT_EQ(listing("MY"), before);
    EXPECT_NE(log_text(), damaged) << "a damaged log that is read is rewritten";

    settle({"MY"});
    ASSERT_EQ(listing("MY"), before);
    struct stat st;
    ASSERT_EQ(stat(dir("MY").c_str(), &st), 0);
    ASSERT_EQ(chmod(dir("MY").c_str(), 0777), 0);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, "MY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(chmod(dir("MY").c_str(), st.st_mode & 07777), 0);
    EXPECT_EQ(listing("MY"), before);
}

// What a process keeps is bounded: reading more stores than it keeps pushes out the one
// used least recently, which is then read from its files again.
TEST_F(StoreIndexTest, AProcessKeepsOnlyTheStoresItUsedMostRecently) {
    std::vector<std::string> stores;
    for (int i = 0; i < 9; ++i) {
        stores.push_back("K" + std::to_string(i));
        fill(stores.back(), {"Alice"});
    }
    settle(stores);
    auto damage_log = [&](const std::string &store) {
        int fd = open(file(store, ".index/entries").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "X", 1, 40), 1);
        close(fd);
    };
    cryptoapi_test_forget_stores();
    for (const auto &s : stores) ASSERT_EQ(find_subject(s, "alice"), std::vector<std::string>{"Alice"}) << s;
    // K0 was used least recently, K8 most: a damaged log is rewritten only where it is read.
    for (const auto &s : {"K0", "K8"}) damage_log(s);
    struct stat k0_before, k8_before;
    ASSERT_EQ(stat(file("K0", ".index/entries").c_str(), &k0_before), 0);
    ASSERT_EQ(stat(file("K8", ".index/entries").c_str(), &k8_before), 0);
    for (const auto &s : {"K0", "K8"}) EXPECT_EQ(find_subject(s, "alice"), std::vector<std::string>{"Alice"}) << s;
    struct stat k0_after, k8_after;
    ASSERT_EQ(stat(file("K0", ".index/entries").c_str(), &k0_after), 0);
    ASSERT_EQ(stat(file("K8", ".index/entries").c_str(), &k8_after), 0);
    EXPECT_NE(k0_after.st_ino, k0_before.st_ino) << "K0 was kept: nothing bounds what is kept";
    EXPECT_EQ(k8_after.st_ino, k8_before.st_ino) << "K8 was read again";
}

// A walk by enumeration or by find that gives up after `limit` steps, so that a walk
// that never ends fails instead of hanging.
std::vector<std::string> bounded_walk(const std::string &store_name, const char *subject, size_t limit = 20) {
    std::vector<std::string> out;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kEngineFlags, store_name.c_str());
    PCCERT_CONTEXT ctx = nullptr;
    for (;;) {
        ctx = subject == nullptr
                  ? CertEnumCertificatesInStore(store, ctx)
                  : CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, subject, ctx);
        if (ctx == nullptr) break;
        out.push_back(common_name(ctx));
        if (out.size() == limit) {
            CertFreeCertificateContext(ctx);
            out.push_back("(no end)");
            break;
        }
    }
    CertCloseStore(store, 0);
    return out;
}

TEST_F(StoreIndexTest, DuplicateCertificatesAreEachVisitedOnceAndWalksEnd) {
    fill("MY", {"Alice", "Bob"});
    // The same certificate added again on purpose.
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    std::vector<BYTE> alice;
    {
        PCCERT_CONTEXT first = CertEnumCertificatesInStore(store, nullptr);
        ASSERT_NE(first, nullptr);
        alice.assign(first->pbCertEncoded, first->pbCertEncoded + first->cbCertEncoded);
        CertFreeCertificateContext(first);
    }
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, alice.data(),
                                                 static_cast<DWORD>(alice.size()), CERT_STORE_ADD_ALWAYS, nullptr));
    CertCloseStore(store, 0);
    EXPECT_EQ(bounded_walk("MY", nullptr), (std::vector<std::string>{"Alice", "Bob", "Alice"}));
    EXPECT_EQ(bounded_walk("MY", "alice"), (std::vector<std::string>{"Alice", "Alice"}));

    // A file rewritten in place into a third copy, and a copy under a number of its own.
    write_bytes(file("MY", "00000002.der"), alice, O_TRUNC);
    write_bytes(file("MY", "00000007.der"), alice, O_CREAT | O_EXCL);
    std::vector<std::string> four(4, "Alice");
    EXPECT_EQ(bounded_walk("MY", nullptr), four);
    EXPECT_EQ(bounded_walk("MY", "alice"), four);
    EXPECT_EQ(cryptoapi_test_handle_counts().certificates, 0);
}

TEST_F(StoreIndexTest, ChangesThroughTheLibraryKeepTheIndexTrue) {
    fill("MY", {"Alice", "Bob", "Carol"});
    settle({"MY"});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    PCCERT_CONTEXT ctx =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, "alice", nullptr);
    ASSERT_TRUE(CertDeleteCertificateFromStore(ctx));
    ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, "carol", nullptr);
    std::u16string fname = u16("Cee");
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((fname.size() + 1) * 2),
                         reinterpret_cast<BYTE *>(const_cast<char16_t *>(fname.c_str()))};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    CertFreeCertificateContext(ctx);
    std::vector<BYTE> dave = cert("Dave");
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, dave.data(),
                                                 static_cast<DWORD>(dave.size()), CERT_STORE_ADD_NEW, nullptr));
    CertCloseStore(store, 0);
    const std::vector<std::string> now = {"Bob", "Carol/Cee", "Dave"};
    EXPECT_EQ(listing("MY"), now);
    settle({"MY"});  // from the log alone
    EXPECT_EQ(listing("MY"), now);
    // A duplicate is still recognised though its bytes were not read at open.
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, dave.data(),
                                                  static_cast<DWORD>(dave.size()), CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    CertCloseStore(store, 0);
}

TEST_F(StoreIndexTest, FindsEnumerationAndChangesInterleaveOnAStampedIndex) {
    // Opened from a stamped index, entries are made one by one as walks reach them: a
    // walk resumed from a found entry, an enumeration over found and unvisited entries,
    // and changes on that mix must all see the store in its order.
    fill("MY", {"Alice", "Bob", "Carol", "Dave"});
    settle({"MY"});
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, kUser, "MY");
    ASSERT_NE(store, nullptr);
    auto find = [&](const char *text, PCCERT_CONTEXT prev) {
        return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, text, prev);
    };
    PCCERT_CONTEXT carol = find("CAROL", nullptr);
    ASSERT_NE(carol, nullptr);
    EXPECT_EQ(common_name(carol), "Carol");
    PCCERT_CONTEXT next = find("a", CertDuplicateCertificateContext(carol));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(common_name(next), "Dave");
    EXPECT_EQ(friendly_name(next), "Named Dave");
    EXPECT_EQ(find("a", next), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    std::vector<std::string> names;
    PCCERT_CONTEXT bob = nullptr;
    for (PCCERT_CONTEXT ctx = nullptr; (ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr;) {
        names.push_back(common_name(ctx));
        if (names.back() == "Bob") bob = CertDuplicateCertificateContext(ctx);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alice", "Bob", "Carol", "Dave"}));
    ASSERT_NE(bob, nullptr);
    ASSERT_TRUE(CertDeleteCertificateFromStore(bob));
    // A certificate found earlier is a duplicate now; a new one comes last.
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, carol->pbCertEncoded,
                                                  carol->cbCertEncoded, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    CertFreeCertificateContext(carol);
    std::vector<BYTE> erin = cert("Erin");
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, erin.data(),
                                                 static_cast<DWORD>(erin.size()), CERT_STORE_ADD_NEW, nullptr));
    CertCloseStore(store, 0);
    const std::vector<std::string> now = {"Alice", "Carol", "Dave/Named Dave", "Erin"};
    EXPECT_EQ(listing("MY"), now);
    settle({"MY"});
    EXPECT_EQ(listing("MY"), now);
    EXPECT_EQ(find_subject("MY", "E, stand-in"), (std::vector<std::string>{"Alice", "Dave"}));
    EXPECT_EQ(cryptoapi_test_handle_counts().certificates, 0);
}

TEST_F(StoreIndexTest, ParallelWriterProcessesLoseNothingInAnIndexedStore) {
    fill("SHARED", {"First"});
    settle({"SHARED"});
    std::string command;
    for (int i = 0; i < 6; ++i) {
        X509 *x = make_certificate(key_, key_, "Parallel " + std::to_string(i));
        std::string path = home_ + "/../p" + std::to_string(i) + ".pem";
        write_text(path, pem_of(x));
        X509_free(x);
        command += std::string(CRYPTOAPI_ADMIN) + " add-cert " + path + " --store SHARED >/dev/null & ";
    }
    ASSERT_EQ(run(command + "wait").status, 0);
    auto check = [this](const char *when) {
        std::vector<std::string> names = listing("SHARED");
        EXPECT_EQ(names.size(), 7u) << when;
        for (int i = 0; i < 6; ++i)
            EXPECT_NE(std::find(names.begin(), names.end(), "Parallel " + std::to_string(i)), names.end()) << when;
    };
    check("after the adds");
    settle({"SHARED"});
    check("from the stamped index");
}

}  // namespace
}  // namespace cryptoapi_tests
