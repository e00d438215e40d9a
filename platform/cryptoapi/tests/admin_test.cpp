// cryptoapi-admin end to end: what it imports is found, linked and usable the way the
// engine uses it, and its errors are clear.
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

const std::string kAdmin = CRYPTOAPI_ADMIN;

class AdminTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        dir_ = home_.substr(0, home_.rfind('/'));
        ca_ = generate_rsa(1024);
    }
    void TearDown() override {
        EVP_PKEY_free(ca_);
        StandInTest::TearDown();
    }
    // Writes a PKCS #12 file with a new key and its certificate; returns the certificate.
    X509 *write_pfx(const std::string &path, const std::string &cn, const char *password, EVP_PKEY **key_out = nullptr) {
        EVP_PKEY *key = generate_rsa(1024);
        X509 *cert = make_certificate(key, ca_, cn);
        PKCS12 *p12 = PKCS12_create(password, "pfx alias", key, cert, nullptr, 0, 0, 0, 0, 0);
        unsigned char *der = nullptr;
        int n = i2d_PKCS12(p12, &der);
        write_text(path, std::string(reinterpret_cast<char *>(der), static_cast<size_t>(n)));
        OPENSSL_free(der);
        PKCS12_free(p12);
        if (key_out != nullptr)
            *key_out = key;
        else
            EVP_PKEY_free(key);
        return cert;
    }
    CommandResult admin(const std::string &args) { return run(kAdmin + " " + args); }
    // Adds a new certificate for `cn` (one word) to `store` with the tool; its status.
    int add_certificate(const std::string &cn, const std::string &store) {
        EVP_PKEY *key = generate_rsa(1024);
        X509 *cert = make_certificate(key, ca_, cn);
        const std::string pem = dir_ + "/" + cn + ".pem";
        write_text(pem, pem_of(cert));
        X509_free(cert);
        EVP_PKEY_free(key);
        return admin("add-cert " + pem + " --store " + store).status;
    }
    std::string dir_;
    EVP_PKEY *ca_ = nullptr;
};

std::vector<BYTE> property(PCCERT_CONTEXT ctx, DWORD id) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(ctx, id, nullptr, &size)) return {};
    std::vector<BYTE> data(size);
    EXPECT_TRUE(CertGetCertificateContextProperty(ctx, id, data.data(), &size));
    return data;
}

std::string narrow(const WCHAR *w) {
    char out[512];
    EXPECT_GT(WideCharToMultiByte(CP_ACP, 0, w, -1, out, sizeof out, nullptr, nullptr), 0);
    return out;
}

TEST_F(AdminTest, ImportedKeySignsForItsCertificateAsTheEngineFindsIt) {
    X509 *cert = write_pfx(dir_ + "/alice.p12", "Alice Example", "s3cret");
    CommandResult r = admin("import-pfx " + dir_ + "/alice.p12 --password s3cret --friendly-name 'Alice mail'");
    ASSERT_EQ(r.status, 0) << r.output;
    CommandResult listing = admin("list store MY");
    EXPECT_NE(listing.output.find("CN=Alice Example"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("friendly name: \"Alice mail\""), std::string::npos);

    // The engine's path: find by subject, read the key provider info, open that key.
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG |
                                         CERT_STORE_OPEN_EXISTING_FLAG,
                                     "MY");
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT ctx =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, "alice example", nullptr);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(std::vector<BYTE>(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded), der_of(cert));
    EXPECT_EQ(narrow(reinterpret_cast<const WCHAR *>(property(ctx, CERT_FRIENDLY_NAME_PROP_ID).data())),
              "Alice mail");
    std::vector<BYTE> block = property(ctx, CERT_KEY_PROV_INFO_PROP_ID);
    ASSERT_FALSE(block.empty());
    auto *info = reinterpret_cast<CRYPT_KEY_PROV_INFO *>(block.data());
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(info->dwFlags, 0u);
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, narrow(info->pwszContainerName).c_str(),
                                     narrow(info->pwszProvName).c_str(), info->dwProvType, 0));
    std::vector<BYTE> value = digest(EVP_sha1(), "to be signed");
    std::vector<BYTE> sig = reversed(sign_hash(prov, CALG_SHA1, value, info->dwKeySpec));
    CryptReleaseContext(prov, 0);
    EVP_PKEY_CTX *vctx = EVP_PKEY_CTX_new_from_pkey(nullptr, X509_get0_pubkey(cert), nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(vctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(vctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(vctx, EVP_sha1());
    EXPECT_EQ(EVP_PKEY_verify(vctx, sig.data(), sig.size(), value.data(), value.size()), 1);
    EVP_PKEY_CTX_free(vctx);
    X509_free(cert);
}

TEST_F(AdminTest, ImportErrorsAreClearAndLeaveNothingBehind) {
    X509_free(write_pfx(dir_ + "/a.p12", "Alice", "pw"));
    X509_free(write_pfx(dir_ + "/b.p12", "Bob", "pw"));
    write_text(dir_ + "/corrupt.p12", "this is not DER at all");
    ASSERT_EQ(admin("import-pfx " + dir_ + "/a.p12 --password pw --container shared").status, 0);
    struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"import-pfx " + dir_ + "/b.p12 --password wrong", "wrong password"},
        {"import-pfx " + dir_ + "/corrupt.p12", "not a PKCS#12 file"},
        {"import-pfx " + dir_ + "/missing.p12", "cannot read"},
        {"import-pfx " + dir_ + "/a.p12 --password pw --container other", "already in store"},
        {"import-pfx " + dir_ + "/b.p12 --password pw --container shared", "already holds an exchange key"},
        {"import-pfx " + dir_ + "/b.p12 --password pw --provider 'No Such'", "unknown provider"},
        {"import-pfx " + dir_ + "/b.p12 --password pw --provider 'Stand-in DSS Provider'", "does not hold RSA"},
        {"add-cert " + dir_ + "/corrupt.p12", "not a certificate"},
        {"list store NOPE", "does not exist"},
    };
    for (const auto &c : cases) {
        CommandResult r = admin(c.args);
        EXPECT_EQ(r.status, 1) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
    // Only the first import left a container, and Bob's certificate went nowhere.
    CommandResult containers = admin("list containers");
    EXPECT_NE(containers.output.find("shared: exchange RSA 1024"), std::string::npos) << containers.output;
    EXPECT_EQ(containers.output.find("other"), std::string::npos) << containers.output;
    EXPECT_EQ(admin("list store MY").output.find("Bob"), std::string::npos);
    EXPECT_EQ(admin("frobnicate").status, 2);
}

TEST_F(AdminTest, AddCertAcceptsPemAndDerAndRemoveCertTakesItOut) {
    EVP_PKEY *key = generate_rsa(1024);
    X509 *pem_cert = make_certificate(key, ca_, "Pem Root");
    X509 *der_cert = make_certificate(key, ca_, "Der Root");
    write_text(dir_ + "/root.pem", pem_of(pem_cert));
    auto der = der_of(der_cert);
    write_text(dir_ + "/root.der", std::string(der.begin(), der.end()));
    EXPECT_EQ(admin("add-cert " + dir_ + "/root.pem --store ROOT --friendly-name 'the root'").status, 0);
    EXPECT_EQ(admin("add-cert " + dir_ + "/root.der --store root").status, 0);
    CommandResult again = admin("add-cert " + dir_ + "/root.der --store ROOT");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("already in store"), std::string::npos);
    std::string listing = admin("list store ROOT").output;
    EXPECT_LT(listing.find("CN=Pem Root"), listing.find("CN=Der Root")) << listing;
    EXPECT_NE(listing.find("the root"), std::string::npos);
    EXPECT_EQ(listing.find("key:"), std::string::npos);  // certificates alone have no key link

    EXPECT_EQ(admin("remove-cert --store ROOT --subject root").status, 1);  // two match
    CommandResult removed = admin("remove-cert --store ROOT --subject 'pem root'");
    EXPECT_EQ(removed.status, 0) << removed.output;
    listing = admin("list store ROOT").output;
    EXPECT_EQ(listing.find("Pem Root"), std::string::npos);
    EXPECT_NE(listing.find("Der Root"), std::string::npos);
    X509_free(pem_cert);
    X509_free(der_cert);
    EVP_PKEY_free(key);
}

TEST_F(AdminTest, NewKeyPrintsItsPublicKeyAndRefusesToOverwrite) {
    CommandResult r = admin("new-key --container made --bits 1024 --out " + dir_ + "/made.pem");
    ASSERT_EQ(r.status, 0) << r.output;
    BIO *bio = BIO_new_file((dir_ + "/made.pem").c_str(), "r");
    EVP_PKEY *pub = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(pub), 1024);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "made", nullptr, PROV_RSA_FULL, 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EVP_PKEY *from_blob = pkey_from_blob(export_public_blob(key));
    EXPECT_EQ(EVP_PKEY_eq(pub, from_blob), 1);
    EVP_PKEY_free(from_blob);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    // A certificate issued for the new key links to it; one for another key is refused.
    X509 *cert = make_certificate(pub, ca_, "Made Here");
    write_text(dir_ + "/made-cert.pem", pem_of(cert));
    X509 *other = make_certificate(ca_, ca_, "Someone Else");
    write_text(dir_ + "/other.pem", pem_of(other));
    X509_free(cert);
    X509_free(other);
    CommandResult wrong = admin("add-cert " + dir_ + "/other.pem --container made");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.output.find("not for the key"), std::string::npos) << wrong.output;
    ASSERT_EQ(admin("add-cert " + dir_ + "/made-cert.pem --container made").status, 0);
    EXPECT_NE(admin("list store MY").output.find("key: container \"made\""), std::string::npos);
    EVP_PKEY_free(pub);

    CommandResult again = admin("new-key --container made");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("already holds an exchange key"), std::string::npos);
    CommandResult dsa = admin("new-key --container made --algorithm dsa --key-spec exchange");
    EXPECT_EQ(dsa.status, 1);
    CommandResult stdout_key = admin("new-key --container made --key-spec signature --bits 512");
    EXPECT_EQ(stdout_key.status, 0);
    EXPECT_EQ(stdout_key.output.rfind("-----BEGIN PUBLIC KEY-----", 0), 0u) << stdout_key.output;
    EXPECT_NE(admin("list containers").output.find("made: exchange RSA 1024, signature RSA 512"), std::string::npos);
    EXPECT_EQ(admin("remove-container --container made").status, 0);
    EXPECT_FALSE(CryptAcquireContextA(&prov, "made", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(AdminTest, MachineImportsGoToTheMachineStoreAndKeySet) {
    X509_free(write_pfx(dir_ + "/m.p12", "Machine Cert", ""));
    ASSERT_EQ(admin("import-pfx " + dir_ + "/m.p12 --machine --container mk --key-spec signature").status, 0);
    EXPECT_EQ(admin("list store MY").status, 1);  // the user's store was never made
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, "MY");
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    std::vector<BYTE> block = property(ctx, CERT_KEY_PROV_INFO_PROP_ID);
    auto *info = reinterpret_cast<CRYPT_KEY_PROV_INFO *>(block.data());
    EXPECT_EQ(info->dwFlags, static_cast<DWORD>(CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, "mk", nullptr, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptAcquireContextA(&prov, "mk", nullptr, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(sign_hash(prov, CALG_MD5, digest(EVP_md5(), "x"), AT_SIGNATURE).size(), 128u);
    CryptReleaseContext(prov, 0);
}

TEST_F(AdminTest, ParallelProcessesAddingToOneStoreLoseNothing) {
    EVP_PKEY *key = generate_rsa(1024);
    std::string command;
    for (int i = 0; i < 6; ++i) {
        X509 *x = make_certificate(key, ca_, "Parallel " + std::to_string(i));
        std::string file = dir_ + "/p" + std::to_string(i) + ".pem";
        write_text(file, pem_of(x));
        X509_free(x);
        command += kAdmin + " add-cert " + file + " --store SHARED >/dev/null & ";
    }
    EVP_PKEY_free(key);
    ASSERT_EQ(run(command + "wait").status, 0);
    std::string listing = admin("list store SHARED").output;
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(listing.find("CN=Parallel " + std::to_string(i)), std::string::npos) << listing;
}

// A store holding one certificate twice: listing ends, and remove-cert takes both.
TEST_F(AdminTest, CopiesOfOneCertificateAreListedAndRemovedTogether) {
    EVP_PKEY *key = generate_rsa(1024);
    X509 *x = make_certificate(key, ca_, "Twice");
    std::vector<BYTE> der = der_of(x);
    X509_free(x);
    EVP_PKEY_free(key);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
    CertCloseStore(store, 0);
    CommandResult listing = run("timeout 20 " + kAdmin + " list store MY");
    EXPECT_EQ(listing.status, 0);
    EXPECT_NE(listing.output.find("1. O=Stand-in Tests,CN=Twice"), std::string::npos) << listing.output;
    EXPECT_EQ(listing.output.find("2. "), std::string::npos) << listing.output;
    CommandResult removed = run("timeout 20 " + kAdmin + " remove-cert --store MY --subject twice");
    EXPECT_EQ(removed.status, 0) << removed.output;
    EXPECT_NE(removed.output.find("(2 copies)"), std::string::npos) << removed.output;
    EXPECT_NE(admin("list store MY").output.find("is empty"), std::string::npos);
}

TEST_F(AdminTest, CommandLineMistakesExitWithTwo) {
    struct {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"import-pfx", 2, "usage: import-pfx"},
        {"import-pfx a.p12 b.p12", 2, "usage: import-pfx"},
        {"add-cert", 2, "usage: add-cert"},
        {"new-key", 2, "usage: new-key"},
        {"new-key --container ''", 2, "usage: new-key"},
        {"new-key --container k --bits lots", 2, "--bits must be a number"},
        {"new-key --container k --bits 0", 2, "--bits must be a number"},
        {"new-key --container k --algorithm ec", 2, "--algorithm must be"},
        {"new-key --container k --key-spec both", 2, "--key-spec must be"},
        {"remove-cert --store MY", 2, "usage: remove-cert"},
        {"remove-cert --sha1 ab --subject x --store MY", 2, "usage: remove-cert"},
        {"remove-container", 2, "usage: remove-container"},
        {"list", 2, "usage: list"},
        {"list store", 2, "usage: list store"},
        {"list containers --bogus", 2, "unknown option --bogus"},
        {"new-key --container", 2, "needs a value"},
        {"list containers --provider Nope", 1, "unknown provider \"Nope\""},
        {"-h", 0, "usage: cryptoapi-admin"},
        {"list -h", 0, "usage: cryptoapi-admin"},
        {"import-pfx /nonexistent.p12 --password -h", 1, "cannot read /nonexistent.p12"},  // a value
    };
    for (const auto &c : cases) {
        CommandResult r = admin(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
}

// --out names what the public key is written to; only a regular file (or nothing) is
// replaced through a temporary file, anything else is written into as it is.
TEST_F(AdminTest, NewKeyOutWritesIntoWhatThePathNames) {
    std::string target = dir_ + "/real.pem", link = dir_ + "/link.pem", fifo = dir_ + "/fifo";
    write_text(target, "old");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct stat st;

    // A symlink stays one; the file it points to gets the key.
    ASSERT_EQ(admin("new-key --container k1 --bits 512 --out " + link).status, 0);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    std::ifstream in(target);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("-----BEGIN PUBLIC KEY-----", 0), 0u) << text;

    // A FIFO stays one and its reader gets the key.
    CommandResult piped = run("cat " + fifo + " & " + kAdmin + " new-key --container k2 --bits 512 --out " + fifo +
                              " >/dev/null; wait");
    EXPECT_EQ(piped.status, 0);
    EXPECT_NE(piped.output.find("-----BEGIN PUBLIC KEY-----"), std::string::npos) << piped.output;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A device node stays one (a private null device: making one needs root).
    std::string device = dir_ + "/null";
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        EXPECT_EQ(admin("new-key --container k3 --bits 512 --out " + device).status, 0);
        ASSERT_EQ(lstat(device.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }

    // A folder or a socket is refused, and left as it is.
    std::string socket_path = dir_ + "/sock";
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    for (const std::string &refused : {dir_, socket_path}) {
        CommandResult r = admin("new-key --container k4 --bits 512 --out " + refused);
        EXPECT_EQ(r.status, 1) << refused;
        EXPECT_NE(r.output.find("cannot write " + refused), std::string::npos) << r.output;
        EXPECT_EQ(admin("list containers").output.find("k4"), std::string::npos);  // the key went again
    }
    close(sock);
    ASSERT_EQ(lstat(socket_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

TEST_F(AdminTest, PkcsTwelveWithoutMacIsImportedWhenItDecrypts) {
    EVP_PKEY *key = generate_rsa(1024);
    X509 *cert = make_certificate(key, ca_, "No Mac");
    PKCS12 *p12 = PKCS12_create("pw", "no mac", key, cert, nullptr, 0, 0, 0, -1, 0);  // -1: no MAC
    ASSERT_NE(p12, nullptr);
    ASSERT_FALSE(PKCS12_mac_present(p12));
    unsigned char *der = nullptr;
    int n = i2d_PKCS12(p12, &der);
    write_text(dir_ + "/nomac.p12", std::string(reinterpret_cast<char *>(der), static_cast<size_t>(n)));
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(cert);
    EVP_PKEY_free(key);

    CommandResult wrong = admin("import-pfx " + dir_ + "/nomac.p12 --password nope");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.output.find("wrong password"), std::string::npos) << wrong.output;
    CommandResult right = admin("import-pfx " + dir_ + "/nomac.p12 --password pw");
    EXPECT_EQ(right.status, 0) << right.output;
    EXPECT_NE(admin("list store MY").output.find("No Mac"), std::string::npos);
}

TEST_F(AdminTest, OversizedInputsAreRefusedUpFront) {
    for (const char *command : {"import-pfx /dev/zero", "add-cert /dev/zero"}) {
        CommandResult r = admin(command);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_NE(r.output.find("larger than 16 MiB"), std::string::npos) << r.output;
    }
}

TEST_F(AdminTest, DamagedCertificateFilesAreNamed) {
    ASSERT_EQ(add_certificate("Intact", "CA"), 0);
    std::string damaged = home_ + "/stores/user/CA/00000002.der";
    write_text(damaged, "not a certificate");
    CommandResult r = admin("list store CA");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Intact"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(damaged + " is damaged"), std::string::npos) << r.output;
}

// Like ssh with its files: a state folder (or one inside it) that others could write to,
// or that another user owns, is refused before anything is read from it.
TEST_F(AdminTest, StateFoldersOthersCanWriteAreRefused) {
    ASSERT_EQ(add_certificate("Planted", "ROOT"), 0);
    ASSERT_EQ(admin("new-key --container k --bits 512").status, 0);
    struct Case {
        std::string folder;
        mode_t mode;
        uid_t owner;
    };
    std::vector<Case> cases = {
        {home_, 0770, geteuid()},
        {home_, 0707, geteuid()},
        {home_ + "/stores/user", 0722, geteuid()},
        {home_ + "/stores/user/ROOT", 0777, geteuid()},
        {home_ + "/keys/user/@rsa", 0730, geteuid()},
    };
    if (geteuid() == 0) cases.push_back({home_ + "/stores", 0700, 65534});  // owned by nobody
    for (const auto &c : cases) {
        SCOPED_TRACE(c.folder);
        struct stat before;
        ASSERT_EQ(stat(c.folder.c_str(), &before), 0);
        ASSERT_EQ(chmod(c.folder.c_str(), c.mode), 0);
        ASSERT_EQ(chown(c.folder.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        CommandResult r = admin("list store ROOT");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("the state folder " + c.folder), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("Planted"), std::string::npos) << r.output;
        // The library refuses it too: the store and the key set are not opened.
        bool store_folder = c.folder.find("/keys") == std::string::npos;
        if (store_folder) {
            EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT"), nullptr);
        } else {
            HCRYPTPROV prov = 0;
            EXPECT_FALSE(CryptAcquireContextA(&prov, "k", nullptr, PROV_RSA_FULL, 0));
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ASSERT_EQ(chmod(c.folder.c_str(), before.st_mode & 07777), 0);
        ASSERT_EQ(chown(c.folder.c_str(), before.st_uid, static_cast<gid_t>(-1)), 0);
    }
    EXPECT_EQ(admin("list store ROOT").status, 0);
}

// A store folder swapped for a symbolic link to a folder elsewhere is refused, also by a
// process that read the store before it was swapped.
TEST_F(AdminTest, AStoreFolderThatIsASymbolicLinkIsRefused) {
    ASSERT_EQ(add_certificate("Planted", "ROOT"), 0);
    const std::string store = home_ + "/stores/user/ROOT", elsewhere = dir_ + "/elsewhere";
    HCERTSTORE opened = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT");
    ASSERT_NE(opened, nullptr);
    CertCloseStore(opened, 0);

    ASSERT_EQ(rename(store.c_str(), elsewhere.c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), store.c_str()), 0);
    CommandResult r = admin("list store ROOT");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("the state folder " + store + " is a symbolic link"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Planted"), std::string::npos) << r.output;
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_EQ(unlink(store.c_str()), 0);
    ASSERT_EQ(rename(elsewhere.c_str(), store.c_str()), 0);
    EXPECT_EQ(admin("list store ROOT").status, 0);
}

}  // namespace
}  // namespace cryptoapi_tests
