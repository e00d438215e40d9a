#include "test_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace cryptoapi_tests {

void StandInTest::SetUp() {
    char tmpl[] = "/tmp/cryptoapi-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/home";
    setenv("CRYPTOAPI_HOME", home_.c_str(), 1);
    cryptoapi_test_reset();
}

void StandInTest::TearDown() {
    cryptoapi_handle_counts c = cryptoapi_test_handle_counts();
    EXPECT_EQ(c.providers, 0);
    EXPECT_EQ(c.keys, 0);
    EXPECT_EQ(c.hashes, 0);
    EXPECT_EQ(c.stores, 0);
    EXPECT_EQ(c.certificates, 0);
    std::string parent = home_.substr(0, home_.rfind('/'));
    std::system(("rm -rf '" + parent + "'").c_str());
}

CommandResult run(const std::string &command) {
    CommandResult result{-1, ""};
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return result;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) result.output.append(buf, n);
    int status = pclose(p);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

HCRYPTPROV make_container(const char *container, DWORD prov_type, ALG_ID alg, unsigned bits) {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextA(&prov, container, nullptr, prov_type, CRYPT_NEWKEYSET)) << std::hex
                                                                                              << GetLastError();
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(prov, alg, bits << 16, &key)) << std::hex << GetLastError();
    if (key != 0) CryptDestroyKey(key);
    return prov;
}

std::vector<BYTE> export_public_blob(HCRYPTKEY key) {
    DWORD size = 0;
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    std::vector<BYTE> blob(size);
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    blob.resize(size);
    return blob;
}

namespace {

DWORD dword_at(const std::vector<BYTE> &b, size_t at) {
    DWORD v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

BIGNUM *bn_le(const std::vector<BYTE> &b, size_t at, size_t length) {
    return BN_lebin2bn(b.data() + at, static_cast<int>(length), nullptr);
}

}  // namespace

EVP_PKEY *pkey_from_blob(const std::vector<BYTE> &blob) {
    if (blob.size() < 16) return nullptr;
    ALG_ID alg = dword_at(blob, 4);
    size_t length = dword_at(blob, 12) / 8;
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM *> numbers;
    const char *type;
    if (alg == CALG_RSA_KEYX || alg == CALG_RSA_SIGN) {
        type = "RSA";
        numbers = {bn_le(blob, 20, length), BN_new()};
        BN_set_word(numbers[1], dword_at(blob, 16));
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, numbers[0]);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, numbers[1]);
    } else {
        type = "DSA";
        numbers = {bn_le(blob, 16, length), bn_le(blob, 16 + length, 20), bn_le(blob, 36 + length, length),
                   bn_le(blob, 36 + 2 * length, length)};
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, numbers[0]);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, numbers[1]);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, numbers[2]);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, numbers[3]);
    }
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY *pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) == 1) EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM *n : numbers) BN_free(n);
    return pkey;
}

std::vector<BYTE> sign_hash(HCRYPTPROV prov, ALG_ID alg, const std::vector<BYTE> &value, DWORD key_spec) {
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &hash)) << std::hex << GetLastError();
    EXPECT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
    DWORD size = 0;
    EXPECT_TRUE(CryptSignHashA(hash, key_spec, nullptr, 0, nullptr, &size)) << std::hex << GetLastError();
    std::vector<BYTE> sig(size);
    EXPECT_TRUE(CryptSignHashA(hash, key_spec, nullptr, 0, sig.data(), &size)) << std::hex << GetLastError();
    sig.resize(size);
    CryptDestroyHash(hash);
    return sig;
}

std::vector<BYTE> reversed(std::vector<BYTE> v) {
    std::reverse(v.begin(), v.end());
    return v;
}

std::vector<BYTE> digest(const EVP_MD *md, const std::string &data) {
    std::vector<BYTE> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

EVP_PKEY *generate_rsa(unsigned bits) { return EVP_RSA_gen(bits); }

X509 *make_certificate(EVP_PKEY *subject_key, EVP_PKEY *issuer_key, const std::string &subject) {
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(std::hash<std::string>{}(subject) & 0x7FFFFFFF));
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_NAME *name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(subject.c_str()),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("Stand-in Tests"),
                               -1, -1, 0);
    X509_set_subject_name(x, name);
    X509_NAME *issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("Test CA"), -1,
                               -1, 0);
    X509_set_issuer_name(x, issuer);
    X509_set_pubkey(x, subject_key);
    X509_sign(x, issuer_key, EVP_sha256());
    X509_NAME_free(name);
    X509_NAME_free(issuer);
    return x;
}

std::vector<BYTE> der_of(X509 *cert) {
    int n = i2d_X509(cert, nullptr);
    std::vector<BYTE> der(static_cast<size_t>(n));
    unsigned char *p = der.data();
    i2d_X509(cert, &p);
    return der;
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

namespace {
std::string bio_text(BIO *bio) {
    char *data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<size_t>(n));
    BIO_free(bio);
    return out;
}
}  // namespace

std::string pem_of(X509 *cert) {
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    return bio_text(bio);
}

std::string private_pem_of(EVP_PKEY *key) {
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    return bio_text(bio);
}

std::u16string u16(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }


std::string friendly_name(PCCERT_CONTEXT ctx) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size)) return "";
    std::vector<WCHAR> name(size / 2);
    CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, name.data(), &size);
    std::string out;
    for (WCHAR c : name)
        if (c != 0) out += static_cast<char>(c);
    return out;
}

}  // namespace cryptoapi_tests
