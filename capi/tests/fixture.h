// Shared test fixtures for the engine: a private CryptoAPI state directory, child
// processes (the openssl tool, the stand-in's admin tool), and key pairs with
// certificates made in software.
#ifndef CAPI_TESTS_FIXTURE_H
#define CAPI_TESTS_FIXTURE_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace capi_test {

// A fresh directory that is CRYPTOAPI_HOME while the object lives.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome &) = delete;
    TempHome &operator=(const TempHome &) = delete;
    const std::string &dir() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs a program with the current environment plus `env` (NAME=value entries).
RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});

// The stand-in's administration tool; fails the test when it does not succeed.
RunResult admin(const std::vector<std::string> &args);

// The real openssl tool, with the engine directory and the sanitizer runtime (if any)
// in its environment.
RunResult openssl(const std::vector<std::string> &args, const std::vector<std::string> &env = {});

// The openssl tool running in the background (a server): its standard input is a pipe
// held open until finish(), its output goes to files. The destructor stops it by its
// process id if it is still running.
class BackgroundOpenssl {
public:
    BackgroundOpenssl(const std::vector<std::string> &args, const std::vector<std::string> &env = {});
    ~BackgroundOpenssl();
    BackgroundOpenssl(const BackgroundOpenssl &) = delete;
    BackgroundOpenssl &operator=(const BackgroundOpenssl &) = delete;

    // Waits, at most about ten seconds, until standard output holds `text`.
    bool wait_for_output(const std::string &text) const;
    // The port of s_server's "ACCEPT host:port" line, or 0 when it never came.
    int accept_port() const;
    // Closes standard input and waits, at most about ten seconds, for the exit.
    RunResult finish();

private:
    std::string out_file_, err_file_;
    int pid_ = -1;
    int stdin_fd_ = -1;
};

// A key pair and a self-signed certificate for it, also saved as PKCS#12 and PEM files.
struct Identity {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    std::string pfx;       // PKCS#12 file, password "pw"
    std::string cert_pem;  // the certificate alone
    Identity() = default;
    Identity(const Identity &) = delete;
    Identity &operator=(const Identity &) = delete;
    Identity(Identity &&other) noexcept;
    Identity &operator=(Identity &&other) noexcept;
    ~Identity();
};

// `algorithm` is "RSA" or "DSA".
Identity make_identity(const std::string &dir, const std::string &common_name,
                       const std::string &algorithm = "RSA", int bits = 1024);

// Imports the identity into the stand-in: its key into `container`, its certificate into
// the store "MY" (or as the extra admin arguments say).
void import_identity(const Identity &id, const std::string &container,
                     const std::vector<std::string> &extra = {});

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// Software digest of `data`, as raw bytes.
std::string digest(const char *md_name, const std::string &data);

// Verifies `sig` over the digest `dgst` with the certificate's public key, in software.
bool verify_with_cert(X509 *cert, const char *md_name, const std::string &dgst,
                      const std::string &sig);

// Encrypts with the certificate's public key (PKCS #1 v1.5), in software.
std::string encrypt_to_cert(X509 *cert, const std::string &plain);

// Text that `print` writes into a memory stream.
template <typename F> std::string bio_text(F print)
{
    BIO *mem = BIO_new(BIO_s_mem());
    print(mem);
    char *data = nullptr;
    long len = BIO_get_mem_data(mem, &data);
    std::string text(data, static_cast<size_t>(len));
    BIO_free(mem);
    return text;
}

// All errors on the thread's queue, printed as OpenSSL prints them; clears the queue.
std::string drain_errors();

}  // namespace capi_test

#endif
