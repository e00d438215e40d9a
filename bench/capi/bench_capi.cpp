// RSA-2048 signatures through the engine (the key inside CryptoAPI) against the same key
// signing in OpenSSL's software, interleaved in one run and reported as a ratio; and the
// time of one subject lookup (open the store, find, close) in stores of 10 to 10^5
// certificates against reading and scanning that store's index once, also as a ratio:
// looked up again by the same process (which keeps what it read of a store while the
// store is unchanged), and as the first lookup of a process (which reads the store).
#include "e_capi.h"

#include <cryptoapi_test.h>

#include <benchmark/benchmark.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

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

// The folder of a current-user system store named `name` (an upper-case ASCII name).
std::string store_folder(const std::string &name) { return setup().home + "/stores/user/" + name; }

// Fills store "BENCH<n>" with n certificates; the one looked up comes last. The files are
// written straight into the store's folder, as another process would put them there: the
// same result as adding them one by one, in a time that stays short at 10^5. All are
// signed by one Ed25519 key. The first open (untimed) builds the store's index, after a
// pause that lets the folder's time settle, so that later opens find it stamped.
const char *store_of_size(int n)
{
    static std::map<int, std::string> made;
    if (made.count(n) != 0)
        return made[n].c_str();
    setup();  // sets CRYPTOAPI_HOME before the first store is opened
    const std::string name = "BENCH" + std::to_string(n);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, name.c_str());
    if (store == nullptr)
        throw std::runtime_error("cannot create store " + name);
    CertCloseStore(store, 0);
    const std::string dir = store_folder(name);
    EVP_PKEY *issuer_key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    for (int i = 0; i < n; ++i) {
        X509 *x = X509_new();
        X509_set_version(x, X509_VERSION_3);
        ASN1_INTEGER_set(X509_get_serialNumber(x), i + 1);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 86400);
        const std::string cn = i == n - 1 ? "Needle Subject" : "Hay " + std::to_string(i);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("Bench Org"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
        X509_set_issuer_name(x, X509_get_subject_name(x));
        X509_set_pubkey(x, issuer_key);
        X509_sign(x, issuer_key, nullptr);
        unsigned char *der = nullptr;
        const int len = i2d_X509(x, &der);
        char file[32];
        std::snprintf(file, sizeof file, "/%08d.der", i + 1);
        std::FILE *out = std::fopen((dir + file).c_str(), "wb");
        if (out == nullptr || len <= 0 || std::fwrite(der, 1, static_cast<size_t>(len), out) != static_cast<size_t>(len))
            throw std::runtime_error("cannot write " + dir + file);
        std::fclose(out);
        OPENSSL_free(der);
        X509_free(x);
    }
    EVP_PKEY_free(issuer_key);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name.c_str());
    CertCloseStore(store, 0);
    made[n] = name;
    return made[n].c_str();
}

// The anchor: what any lookup must at least do, read the store's index file once and
// scan it, line by line, for the subject text (ASCII case-insensitively). true if found.
bool scan_index_once(const std::string &index_file, const std::string &needle)
{
    std::string text;
    const int fd = open(index_file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        throw std::runtime_error("cannot read " + index_file);
    text.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = read(fd, &text[done], text.size() - done);
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    size_t pos = 0;
    while (pos < done) {
        const char *nl = static_cast<const char *>(std::memchr(text.data() + pos, '\n', done - pos));
        const size_t end = nl == nullptr ? done : static_cast<size_t>(nl - text.data());
        for (size_t i = pos; i + needle.size() <= end; ++i) {
            size_t k = 0;
            while (k < needle.size() && lower(text[i + k]) == needle[k])
                ++k;
            if (k == needle.size())
                return true;
        }
        pos = end + 1;
    }
    return false;
}

// One lookup by subject the way the engine's key loading does it (open the store, find,
// close), interleaved with the anchor on the same store; reports both and their ratio.
void subject_lookup_vs_index_scan(benchmark::State &state, bool first_in_process)
{
    const char *name = store_of_size(static_cast<int>(state.range(0)));
    const std::string index_file = store_folder(name) + "/.index/entries";
    capi_context *ctx = capi_engine_context(setup().engine);
    double lookup_time = 0, anchor_time = 0;
    for (auto _ : state) {
        if (first_in_process)
            cryptoapi_test_forget_stores();
        auto start = std::chrono::steady_clock::now();
        HCERTSTORE store = capi_open_store(ctx, name);
        PCCERT_CONTEXT cert = capi_search_cert(ctx, "needle", store);
        if (cert == nullptr) {
            state.SkipWithError("not found");
            CertCloseStore(store, 0);
            break;
        }
        CertFreeCertificateContext(cert);
        CertCloseStore(store, 0);
        auto middle = std::chrono::steady_clock::now();
        // The anchor runs twice and its faster time counts: the first scan after a
        // lookup runs several times slower than the next (its buffer's pages are
        // fresh), which would flatter the lookup.
        double anchor = 0;
        for (int pass = 0; pass < 2; ++pass) {
            auto from = std::chrono::steady_clock::now();
            if (!scan_index_once(index_file, "needle")) {
                state.SkipWithError("the anchor did not find the subject");
                return;
            }
            double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
            anchor = pass == 0 ? took : std::min(anchor, took);
        }
        lookup_time += std::chrono::duration<double>(middle - start).count();
        anchor_time += anchor;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["certificates"] = static_cast<double>(state.range(0));
    state.counters["lookup_ms"] = 1e3 * lookup_time / n;
    state.counters["index_scan_ms"] = 1e3 * anchor_time / n;
    state.counters["ratio"] = lookup_time / anchor_time;
}
void BM_SubjectLookupVsIndexScan(benchmark::State &state)
{
    subject_lookup_vs_index_scan(state, false);
}
BENCHMARK(BM_SubjectLookupVsIndexScan)
    ->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FirstSubjectLookupVsIndexScan(benchmark::State &state)
{
    subject_lookup_vs_index_scan(state, true);
}
BENCHMARK(BM_FirstSubjectLookupVsIndexScan)
    ->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
