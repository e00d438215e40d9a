// An import of a key with its certificate is one unit: under parallel imports of one
// file exactly one lands, and a crash at any point leaves all of it or none of it.
#include <openssl/pkcs12.h>
#include <sys/stat.h>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

const std::string kAdmin = CRYPTOAPI_ADMIN;

class ImportUnitTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        dir_ = home_.substr(0, home_.rfind('/'));
        EVP_PKEY *key = generate_rsa(1024);
        X509 *cert = make_certificate(key, key, "Unit Import");
        PKCS12 *p12 = PKCS12_create("pw", "unit", key, cert, nullptr, 0, 0, 0, 0, 0);
        unsigned char *der = nullptr;
        int n = i2d_PKCS12(p12, &der);
        pfx_ = dir_ + "/unit.p12";
        write_text(pfx_, std::string(reinterpret_cast<char *>(der), static_cast<size_t>(n)));
        OPENSSL_free(der);
        PKCS12_free(p12);
        X509_free(cert);
        EVP_PKEY_free(key);
    }

    // What the library shows now: the certificates of MY and whether each one's key link
    // leads to a usable key; and whether the container exists at all.
    struct Seen {
        int certificates = 0;
        int linked_keys = 0;
        bool container = false;
    };
    Seen seen(const char *container) {
        Seen s;
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, "MY");
        PCCERT_CONTEXT ctx = nullptr;
        while (store != nullptr && (ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr && s.certificates < 10) {
            ++s.certificates;
            DWORD size = 0;
            if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) continue;
            std::vector<BYTE> block(size);
            CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &size);
            auto *info = reinterpret_cast<CRYPT_KEY_PROV_INFO *>(block.data());
            char name[256];
            WideCharToMultiByte(CP_ACP, 0, info->pwszContainerName, -1, name, sizeof name, nullptr, nullptr);
            HCRYPTPROV prov = 0;
            HCRYPTKEY key = 0;
            if (CryptAcquireContextA(&prov, name, nullptr, info->dwProvType, 0)) {
                if (CryptGetUserKey(prov, info->dwKeySpec, &key)) {
                    ++s.linked_keys;
                    CryptDestroyKey(key);
                }
                CryptReleaseContext(prov, 0);
            }
        }
        if (ctx != nullptr) CertFreeCertificateContext(ctx);
        if (store != nullptr) CertCloseStore(store, 0);
        HCRYPTPROV prov = 0;
        s.container = CryptAcquireContextA(&prov, container, nullptr, PROV_RSA_FULL, 0);
        if (s.container) CryptReleaseContext(prov, 0);
        return s;
    }
    std::vector<std::string> pending() { return list(home_ + "/pending"); }
    static std::vector<std::string> list(const std::string &path) {
        CommandResult r = run("(ls -A '" + path + "' 2>/dev/null)");
        std::vector<std::string> names;
        size_t pos = 0, end;
        while ((end = r.output.find('\n', pos)) != std::string::npos) {
            names.push_back(r.output.substr(pos, end - pos));
            pos = end + 1;
        }
        return names;
    }

    std::string dir_, pfx_;
};

TEST_F(ImportUnitTest, OfTenParallelImportsOfOneFileExactlyOneSucceeds) {
    std::string command;
    for (int i = 0; i < 10; ++i)
        command += "(" + kAdmin + " import-pfx " + pfx_ + " --password pw >" + dir_ + "/out" + std::to_string(i) +
                   " 2>&1; echo $? >" + dir_ + "/rc" + std::to_string(i) + ") & ";
    ASSERT_EQ(run(command + "wait").status, 0);
    int succeeded = 0, already = 0;
    for (int i = 0; i < 10; ++i) {
        CommandResult rc = run("cat " + dir_ + "/rc" + std::to_string(i));
        CommandResult out = run("cat " + dir_ + "/out" + std::to_string(i));
        if (rc.output == "0\n") ++succeeded;
        if (rc.output == "1\n" && out.output.find("already in store \"MY\"") != std::string::npos) ++already;
    }
    EXPECT_EQ(succeeded, 1);
    EXPECT_EQ(already, 9);
    Seen s = seen("-");
    EXPECT_EQ(s.certificates, 1);
    EXPECT_EQ(s.linked_keys, 1);
    // The nine that lost left no container behind.
    EXPECT_EQ(list(home_ + "/keys/user/@rsa").size(), 1u);
    EXPECT_EQ(pending(), std::vector<std::string>{});
}

// The import is killed at its 1st, 2nd, ... point of writing (a test hook), until it
// runs through. After each crash the next operation must see all of it or none of it,
// and no leftover of it.
TEST_F(ImportUnitTest, AnImportKilledAtAnyPointIsSeenWholeOrNotAtAll) {
    int crashes = 0, whole_after_crash = 0;
    bool finished = false;
    for (int point = 1; point <= 80 && !finished; ++point) {
        SCOPED_TRACE("crash point " + std::to_string(point));
        ASSERT_EQ(run("rm -rf '" + home_ + "'").status, 0);
        CommandResult r = run("CRYPTOAPI_CRASH_AT=" + std::to_string(point) + " " + kAdmin + " import-pfx " + pfx_ +
                              " --password pw --container unit --friendly-name Unit");
        if (r.status == 0) {
            finished = true;
        } else {
            ASSERT_EQ(r.status, 128 + 9) << "the import failed instead of being killed: " << r.output;
            ++crashes;
        }
        Seen s = seen("unit");
        bool all = s.certificates == 1 && s.linked_keys == 1 && s.container;
        bool none = s.certificates == 0 && !s.container;
        EXPECT_TRUE(all || none) << "certificates " << s.certificates << ", linked keys " << s.linked_keys
                                 << ", container " << s.container;
        if (finished) {
            EXPECT_TRUE(all);
        } else if (all) {
            ++whole_after_crash;
        }
        EXPECT_EQ(pending(), std::vector<std::string>{});
        // The tool, as the next operation, agrees.
        CommandResult listing = run(kAdmin + " list containers");
        EXPECT_EQ(listing.output.find("unit: exchange RSA 1024") != std::string::npos, all) << listing.output;
    }
    EXPECT_TRUE(finished) << "the import never ran through";
    EXPECT_GE(crashes, 10);
    EXPECT_GE(whole_after_crash, 1);  // crashes after the point of no return were finished
}

}  // namespace
}  // namespace cryptoapi_tests
