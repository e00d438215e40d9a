// RSA-2048 signatures through the engine (the key inside CryptoAPI) against the same key
// signing in OpenSSL's software, interleaved in one run and reported as a ratio; and the
// time of one subject lookup (open the store, find, close) in stores of growing size.
#include "e_capi.h"

#include <benchmark/benchmark.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

namespace {

// A CryptoAPI state directory with one RSA-2048 identity, and an engine over it.
struct Setup {
    std::string home;
    ENGINE *engine = nullptr;
    EVP_PKEY *software_key = nullptr;

    Setup()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "capi-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        home = pattern;
        setenv("CRYPTOAPI_HOME", home.c_str(), 1);
        const std::string script =
            "set -e; cd '" + home + "'; "
            "openssl req -x509 -newkey rsa:2048 -nodes -subj '/CN=Bench Signer' -days 2 "
            "-keyout key.pem -out cert.pem 2>/dev/null; "
            "openssl pkcs12 -export -inkey key.pem -in cert.pem -passout pass:b -out id.p12; "
            "'" CRYPTOAPI_ADMIN "' import-pfx id.p12 --password b --container bench >/dev/null";
        if (std::system(("bash -c \"" + script + "\"").c_str()) != 0)
            throw std::runtime_error("making the identity failed");
        BIO *in = BIO_new_file((home + "/key.pem").c_str(), "r");
        software_key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
        BIO_free(in);
        engine = ENGINE_new();
        if (!capi_bind_if_id(engine, "capi") || !ENGINE_init(engine))
            throw std::runtime_error("engine");
    }
    ~Setup()
    {
        EVP_PKEY_free(software_key);
        ENGINE_finish(engine);
        ENGINE_free(engine);
        std::filesystem::remove_all(home);
    }
};

Setup &setup()
{
    static Setup s;
    return s;
}

double sign_once(EVP_PKEY *key, const unsigned char *dgst)
{
    unsigned char sig[512];
    size_t siglen = sizeof(sig);
    const auto start = std::chrono::steady_clock::now();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    if (EVP_PKEY_sign_init(ctx) <= 0 || EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1()) <= 0 ||
        EVP_PKEY_sign(ctx, sig, &siglen, dgst, 20) <= 0)
        throw std::runtime_error("sign");
    EVP_PKEY_CTX_free(ctx);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Rsa2048SignEngineVsSoftware(benchmark::State &state)
{
    Setup &s = setup();
    EVP_PKEY *engine_key = ENGINE_load_private_key(s.engine, "Bench Signer", nullptr, nullptr);
    if (engine_key == nullptr) {
        state.SkipWithError("the engine did not load the key");
        return;
    }
    unsigned char dgst[20] = {1, 2, 3, 4, 5};
    double engine_time = 0, software_time = 0;
    for (auto _ : state) {
        engine_time += sign_once(engine_key, dgst);
        software_time += sign_once(s.software_key, dgst);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["engine_signs_per_s"] = n / engine_time;
    state.counters["software_signs_per_s"] = n / software_time;
    state.counters["ratio"] = software_time / engine_time;
    EVP_PKEY_free(engine_key);
}
BENCHMARK(BM_Rsa2048SignEngineVsSoftware)->Unit(benchmark::kMillisecond)->UseRealTime();

// Fills store "BENCH<n>" with n certificates; the one looked up comes last.
const char *store_of_size(int n)
{
    static std::map<int, std::string> made;
    if (made.count(n) != 0)
        return made[n].c_str();
    setup();
    const std::string name = "BENCH" + std::to_string(n);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, name.c_str());
    EVP_PKEY *issuer_key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    for (int i = 0; i < n; ++i) {
        X509 *x = X509_new();
        X509_set_version(x, X509_VERSION_3);
        ASN1_INTEGER_set(X509_get_serialNumber(x), i + 1);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 86400);
        const std::string cn = i == n - 1 ? "Needle Subject" : "Hay " + std::to_string(i);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
        X509_set_issuer_name(x, X509_get_subject_name(x));
        X509_set_pubkey(x, issuer_key);
        X509_sign(x, issuer_key, EVP_sha256());
        unsigned char *der = nullptr;
        const int len = i2d_X509(x, &der);
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, static_cast<DWORD>(len),
                                         CERT_STORE_ADD_ALWAYS, nullptr);
        OPENSSL_free(der);
        X509_free(x);
    }
    EVP_PKEY_free(issuer_key);
    CertCloseStore(store, 0);
    made[n] = name;
    return made[n].c_str();
}

void BM_SubjectLookup(benchmark::State &state)
{
    const char *name = store_of_size(static_cast<int>(state.range(0)));
    capi_context *ctx = capi_engine_context(setup().engine);
    for (auto _ : state) {
        HCERTSTORE store = capi_open_store(ctx, name);
        PCCERT_CONTEXT cert = capi_search_cert(ctx, "needle", store);
        if (cert == nullptr) {
            state.SkipWithError("not found");
            CertCloseStore(store, 0);
            break;
        }
        CertFreeCertificateContext(cert);
        CertCloseStore(store, 0);
    }
    state.counters["certificates"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_SubjectLookup)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
