// Certificates into stores: import-pfx (key and certificate, linked), add-cert, remove-cert.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <set>

#include "admin_support.h"
#include "commands.h"
#include "key_import.h"
#include "key_store.h"
#include "soft_key.h"

namespace admin {

namespace {

std::vector<BYTE> to_der(X509 *cert) {
    int n = i2d_X509(cert, nullptr);
    if (n <= 0) throw Failure("cannot encode the certificate");
    std::vector<BYTE> der(static_cast<size_t>(n));
    unsigned char *p = der.data();
    i2d_X509(cert, &p);
    return der;
}

std::string subject_of(X509 *cert) {
    BIO *bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char *data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<size_t>(n));
    BIO_free(bio);
    return out;
}

// Adds the certificate as new, with its friendly name and key link in the same step, so
// that it never appears without them; an identical certificate already there is an error.
void add_new_certificate(const Arguments &args, const std::string &store_name, const std::vector<BYTE> &der,
                         const cryptoapi::CertEntry &properties) {
    std::shared_ptr<cryptoapi::StoreData> data;
    DWORD rc = cryptoapi::open_system_store(location_of(args), store_name, 0, data);
    std::shared_ptr<cryptoapi::CertEntry> entry;
    if (rc == 0)
        rc = cryptoapi::add_certificate(*data, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, entry,
                                        &properties);
    if (rc == CRYPT_E_EXISTS) throw Failure("the certificate is already in store \"" + store_name + "\"");
    if (rc != 0) throw Failure("cannot add the certificate: " + error_text(rc));
}

// A fresh container name for a key whose owner named none.
std::string unique_container_name(cryptoapi::Location location, const cryptoapi::ProviderInfo &provider) {
    for (;;) {
        unsigned char random[8];
        if (RAND_bytes(random, sizeof random) != 1) throw Failure("no random numbers");
        std::string name = "pfx-";
        char hex[3];
        for (unsigned char b : random) {
            std::snprintf(hex, sizeof hex, "%02x", b);
            name += hex;
        }
        if (!cryptoapi::container_exists({location, provider.name, name, provider.type})) return name;
    }
}

struct Pkcs12Contents {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    STACK_OF(X509) *ca = nullptr;
    std::string alias;
    ~Pkcs12Contents() {
        EVP_PKEY_free(key);
        X509_free(cert);
        sk_X509_pop_free(ca, X509_free);
    }
};

void read_pkcs12(const std::string &path, const Arguments &args, Pkcs12Contents &out) {
    std::string data = read_whole_file(path);
    const auto *p = reinterpret_cast<const unsigned char *>(data.data());
    PKCS12 *p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(data.size()));
    if (p12 == nullptr) {
        ERR_clear_error();
        throw Failure(path + " is not a PKCS#12 file (corrupt or another format)");
    }
    std::string password = args.get("password");
    if (PKCS12_mac_present(p12)) {
        if (!PKCS12_verify_mac(p12, password.c_str(), -1) && !(password.empty() && PKCS12_verify_mac(p12, nullptr, 0))) {
            PKCS12_free(p12);
            ERR_clear_error();
            throw Failure("wrong password for " + path);
        }
    } else if (PKCS12_set_mac(p12, password.c_str(), -1, nullptr, 0, 1, EVP_sha256()) != 1) {
        // Without a MAC only decrypting the contents tells whether the password is right;
        // the parser insists on a MAC, so the file gets one made with that password.
        PKCS12_free(p12);
        ERR_clear_error();
        throw Failure("cannot read the contents of " + path);
    }
    bool parsed = PKCS12_parse(p12, password.c_str(), &out.key, &out.cert, &out.ca) == 1;
    if (!parsed) {
        // Older files use ciphers that only OpenSSL's legacy provider has.
        ERR_clear_error();
        OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER_load(nullptr, "default");
        parsed = PKCS12_parse(p12, password.c_str(), &out.key, &out.cert, &out.ca) == 1;
    }
    PKCS12_free(p12);
    if (!parsed) {
        ERR_clear_error();
        throw Failure("cannot read the contents of " + path +
                      " (wrong password, damaged file or unsupported cipher)");
    }
    if (out.key == nullptr || out.cert == nullptr)
        throw Failure(path + " must hold a private key and its certificate");
    if (X509_check_private_key(out.cert, out.key) != 1) {
        ERR_clear_error();
        throw Failure("the private key in " + path + " does not belong to its certificate");
    }
    int len = 0;
    if (unsigned char *alias = X509_alias_get0(out.cert, &len))
        out.alias.assign(reinterpret_cast<char *>(alias), static_cast<size_t>(len));
}

X509 *read_certificate(const std::string &path) {
    std::string data = read_whole_file(path);
    BIO *bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
    X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (cert == nullptr) {
        const auto *p = reinterpret_cast<const unsigned char *>(data.data());
        cert = d2i_X509(nullptr, &p, static_cast<long>(data.size()));
        if (cert != nullptr && p != reinterpret_cast<const unsigned char *>(data.data()) + data.size()) {
            X509_free(cert);
            cert = nullptr;
        }
    }
    ERR_clear_error();
    if (cert == nullptr) throw Failure(path + " is not a certificate (PEM or DER)");
    return cert;
}

}  // namespace

int import_pfx(const Arguments &args) {
    if (args.positional.size() != 1) throw UsageError("usage: import-pfx FILE.p12 [options]");
    const std::string &path = args.positional[0];
    Pkcs12Contents p12;
    read_pkcs12(path, args, p12);

    bool dsa = EVP_PKEY_is_a(p12.key, "DSA");
    if (!dsa && !EVP_PKEY_is_a(p12.key, "RSA")) throw Failure("only RSA and DSA keys can be imported");
    std::shared_ptr<cryptoapi::SoftKey> check;
    if (cryptoapi::SoftKey::from_pkey(p12.key, check) != 0)
        throw Failure(dsa ? "DSA keys must have a 160-bit q" : "the RSA public exponent must fit in 32 bits");
    cryptoapi::ProviderInfo provider = choose_provider(args, dsa);
    DWORD spec = choose_key_spec(args, dsa);
    std::string store_name = args.get("store", "MY");
    std::string friendly = args.get("friendly-name", p12.alias);

    std::vector<BYTE> der = to_der(p12.cert);
    cryptoapi::ContainerRef ref{location_of(args), provider.name,
                                args.has("container") ? args.get("container")
                                                        : unique_container_name(location_of(args), provider),
                                provider.type};
    if (ref.container.empty()) throw UsageError("the container name must not be empty");
    if (!cryptoapi::system_store_exists(ref.location, store_name))
        CertCloseStore(open_system_store(store_name, args, true), 0);  // made, and checked
    cryptoapi::KeyImport import;
    import.container = ref;
    import.key_spec = spec;
    import.key = p12.key;
    import.store_name = store_name;
    import.certificate = der;
    if (!friendly.empty()) import.friendly_name = wide(friendly);
    DWORD rc = cryptoapi::import_key_with_certificate(import);
    if (rc == CRYPT_E_EXISTS) throw Failure("the certificate is already in store \"" + store_name + "\"");
    if (rc == NTE_EXISTS) throw Failure("container \"" + ref.container + "\" already holds " + with_article(spec));
    if (rc != 0) throw Failure("cannot import into container \"" + ref.container + "\": " + error_text(rc));
    std::printf("Imported %s into store \"%s\"%s\n", subject_of(p12.cert).c_str(), store_name.c_str(),
                args.flag("machine") ? " (local machine)" : "");
    std::printf("Key: container \"%s\", provider \"%s\" (type %u), %s key\n", ref.container.c_str(),
                provider.name.c_str(), static_cast<unsigned>(provider.type), key_spec_name(spec));
    return 0;
}

int add_cert(const Arguments &args) {
    if (args.positional.size() != 1) throw UsageError("usage: add-cert FILE [options]");
    X509 *cert = read_certificate(args.positional[0]);
    std::unique_ptr<X509, void (*)(X509 *)> cert_guard(cert, X509_free);
    std::vector<BYTE> der = to_der(cert);
    std::string store_name = args.get("store", "MY");
    HCERTSTORE store = open_system_store(store_name, args, true);
    std::unique_ptr<void, void (*)(void *)> store_guard(store, [](void *s) { CertCloseStore(s, 0); });
    // With --container the certificate is linked to a key already in that container.
    cryptoapi::ProviderInfo provider{};
    DWORD spec = 0;
    if (args.has("container")) {
        EVP_PKEY *pub = X509_get0_pubkey(cert);
        bool dsa = pub != nullptr && EVP_PKEY_is_a(pub, "DSA");
        provider = choose_provider(args, dsa);
        spec = choose_key_spec(args, dsa);
        cryptoapi::ContainerRef ref{location_of(args), provider.name, args.get("container"), provider.type};
        std::shared_ptr<cryptoapi::SoftKey> key;
        if (cryptoapi::load_key(ref, spec, key) != 0)
            throw Failure("container \"" + ref.container + "\" holds no " + key_spec_name(spec) + " key");
        std::string key_pem = key->public_pem();
        BIO *bio = BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size()));
        EVP_PKEY *held = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        bool same = held != nullptr && pub != nullptr && EVP_PKEY_eq(held, pub) == 1;
        EVP_PKEY_free(held);
        ERR_clear_error();
        if (!same) throw Failure("the certificate is not for the key in container \"" + ref.container + "\"");
    }
    cryptoapi::CertEntry properties;
    if (args.has("friendly-name")) properties.friendly_name = wide(args.get("friendly-name"));
    if (args.has("container")) {
        cryptoapi::KeyProvInfo link;
        link.container = wide(args.get("container"));
        link.provider = wide(provider.name);
        link.provider_type = provider.type;
        link.flags = args.flag("machine") ? CRYPT_MACHINE_KEYSET : 0;
        link.key_spec = spec;
        properties.key_prov_info = link;
    }
    add_new_certificate(args, store_name, der, properties);
    std::printf("Added %s to store \"%s\"\n", subject_of(cert).c_str(), store_name.c_str());
    return 0;
}

int remove_cert(const Arguments &args) {
    if (!args.has("store") || args.has("sha1") == args.has("subject"))
        throw UsageError("usage: remove-cert --store NAME (--sha1 HEX | --subject TEXT) [--machine]");
    std::string store_name = args.get("store");
    HCERTSTORE store = open_system_store(store_name, args, false);
    std::unique_ptr<void, void (*)(void *)> store_guard(store, [](void *s) { CertCloseStore(s, 0); });
    std::string sha1 = args.get("sha1");
    for (auto &c : sha1) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<PCCERT_CONTEXT> matches;
    PCCERT_CONTEXT ctx = nullptr;
    if (args.has("sha1")) {
        while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr)
            if (!sha1.empty() && sha1_hex(ctx->pbCertEncoded, ctx->cbCertEncoded).compare(0, sha1.size(), sha1) == 0)
                matches.push_back(CertDuplicateCertificateContext(ctx));
    } else {
        std::string text = args.get("subject");
        while ((ctx = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, text.c_str(),
                                                 ctx)) != nullptr)
            matches.push_back(CertDuplicateCertificateContext(ctx));
    }
    // Several copies of one certificate (one SHA-1) are removed together: nothing else
    // could tell them apart.
    std::set<std::string> hashes;
    for (auto m : matches) hashes.insert(sha1_hex(m->pbCertEncoded, m->cbCertEncoded));
    if (hashes.size() != 1) {
        for (auto m : matches) CertFreeCertificateContext(m);
        if (matches.empty()) throw Failure("no certificate in store \"" + store_name + "\" matches");
        throw Failure(std::to_string(hashes.size()) + " certificates match; name one by --sha1");
    }
    const std::string &hash = *hashes.begin();
    for (size_t i = 0; i < matches.size(); ++i) {
        if (!CertDeleteCertificateFromStore(matches[i])) {
            for (size_t k = i + 1; k < matches.size(); ++k) CertFreeCertificateContext(matches[k]);
            throw Failure("cannot remove the certificate: " + error_text(GetLastError()));
        }
    }
    std::printf("Removed certificate %s from store \"%s\"%s\n", hash.c_str(), store_name.c_str(),
                matches.size() > 1 ? (" (" + std::to_string(matches.size()) + " copies)").c_str() : "");
    return 0;
}

}  // namespace admin
