#include "fixture.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace capi_test {

TempHome::TempHome()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "capi-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    setenv("CRYPTOAPI_HOME", dir_.c_str(), 1);
}

TempHome::~TempHome()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    unsetenv("CRYPTOAPI_HOME");
}

static std::vector<std::string> split_env_list(const std::string &list)
{
    std::vector<std::string> entries;
    std::stringstream in(list);
    std::string entry;
    while (std::getline(in, entry, '|'))
        if (!entry.empty())
            entries.push_back(entry);
    return entries;
}

// The current environment with `env` (NAME=value entries) put over it.
static std::vector<std::string> child_environment(const std::vector<std::string> &env)
{
    std::vector<std::string> environment;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto &extra : env)
            if (entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0)
                replaced = true;
        if (!replaced)
            environment.push_back(entry);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    return environment;
}

// Starts argv[0] with the given environment, its standard input, output and error on
// the given descriptors; returns its process id or -1.
static pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
                   int in_fd, int out_fd, int err_fd)
{
    std::vector<char *> args, envp;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const auto &e : environment)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

static int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    // The child's output goes to files, which are read back after it exits.
    char out_name[] = "/tmp/capi-run-out-XXXXXX";
    char err_name[] = "/tmp/capi-run-err-XXXXXX";
    int out_fd = mkstemp(out_name);
    int err_fd = mkstemp(err_name);
    RunResult result;
    const pid_t pid = spawn(argv, child_environment(env), -1, out_fd, err_fd);
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = exit_status(status);
    }
    close(out_fd);
    close(err_fd);
    result.out = read_file(out_name);
    result.err = read_file(err_name);
    unlink(out_name);
    unlink(err_name);
    return result;
}

static std::vector<std::string> openssl_environment(const std::vector<std::string> &env)
{
    std::vector<std::string> environment = split_env_list(CAPI_HOST_ENV);
    environment.push_back(std::string("OPENSSL_ENGINES=") + CAPI_ENGINES_DIR);
    environment.insert(environment.end(), env.begin(), env.end());
    return environment;
}

BackgroundOpenssl::BackgroundOpenssl(const std::vector<std::string> &args,
                                     const std::vector<std::string> &env)
{
    char out_name[] = "/tmp/capi-bg-out-XXXXXX";
    char err_name[] = "/tmp/capi-bg-err-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const int err_fd = mkstemp(err_name);
    out_file_ = out_name;
    err_file_ = err_name;
    // The write end must not leak into other children, or the server never sees EOF.
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) == 0) {
        std::vector<std::string> argv{OPENSSL_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = spawn(argv, child_environment(openssl_environment(env)), pipe_fds[0], out_fd, err_fd);
        close(pipe_fds[0]);
        stdin_fd_ = pipe_fds[1];
    }
    close(out_fd);
    close(err_fd);
}

BackgroundOpenssl::~BackgroundOpenssl()
{
    if (stdin_fd_ >= 0)
        close(stdin_fd_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(out_file_.c_str());
    unlink(err_file_.c_str());
}

bool BackgroundOpenssl::wait_for_output(const std::string &text) const
{
    for (int i = 0; i < 200; ++i) {
        if (read_file(out_file_).find(text) != std::string::npos)
            return true;
        usleep(50 * 1000);
    }
    return false;
}

int BackgroundOpenssl::accept_port() const
{
    if (!wait_for_output("ACCEPT "))
        return 0;
    for (int i = 0; i < 20; ++i) {  // the line may still be on its way
        const std::string out = read_file(out_file_);
        const size_t line = out.find("ACCEPT ");
        const size_t end = out.find('\n', line);
        if (end != std::string::npos) {
            const size_t colon = out.rfind(':', end);
            return std::atoi(out.substr(colon + 1, end - colon - 1).c_str());
        }
        usleep(50 * 1000);
    }
    return 0;
}

RunResult BackgroundOpenssl::finish()
{
    if (stdin_fd_ >= 0) {
        close(stdin_fd_);
        stdin_fd_ = -1;
    }
    RunResult result;
    for (int i = 0; pid_ > 0 && i < 200; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            result.status = exit_status(status);
            pid_ = -1;
            break;
        }
        usleep(50 * 1000);
    }
    if (pid_ > 0) {  // still running: stopped, and reported as not exited
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    result.out = read_file(out_file_);
    result.err = read_file(err_file_);
    return result;
}

RunResult admin(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{CRYPTOAPI_ADMIN};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run(argv);
    EXPECT_EQ(r.status, 0) << "cryptoapi-admin " << args[0] << ": " << r.out << r.err;
    return r;
}

RunResult openssl(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    std::vector<std::string> argv{OPENSSL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, openssl_environment(env));
}

Identity::Identity(Identity &&other) noexcept
    : key(other.key), cert(other.cert), pfx(std::move(other.pfx)),
      cert_pem(std::move(other.cert_pem))
{
    other.key = nullptr;
    other.cert = nullptr;
}

Identity &Identity::operator=(Identity &&other) noexcept
{
    std::swap(key, other.key);
    std::swap(cert, other.cert);
    pfx = std::move(other.pfx);
    cert_pem = std::move(other.cert_pem);
    return *this;
}

Identity::~Identity()
{
    EVP_PKEY_free(key);
    X509_free(cert);
}

static EVP_PKEY *generate_key(const std::string &algorithm, int bits)
{
    if (algorithm == "RSA")
        return EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
    // DSA: parameters first, then the key.
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    EVP_PKEY *params = nullptr, *key = nullptr;
    if (EVP_PKEY_paramgen_init(pctx) > 0 && EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, bits) > 0 &&
        EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx, 160) > 0 &&
        EVP_PKEY_paramgen(pctx, &params) > 0) {
        EVP_PKEY_CTX *kctx = EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr);
        if (EVP_PKEY_keygen_init(kctx) > 0)
            EVP_PKEY_keygen(kctx, &key);
        EVP_PKEY_CTX_free(kctx);
    }
    EVP_PKEY_free(params);
    EVP_PKEY_CTX_free(pctx);
    return key;
}

Identity make_identity(const std::string &dir, const std::string &common_name,
                       const std::string &algorithm, int bits)
{
    Identity id;
    id.key = generate_key(algorithm, bits);
    if (id.key == nullptr)
        throw std::runtime_error("key generation failed");
    id.cert = X509_new();
    X509_set_version(id.cert, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(id.cert), static_cast<long>(std::rand() & 0x7fffffff));
    X509_gmtime_adj(X509_getm_notBefore(id.cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(id.cert), 3600L * 24 * 365);
    X509_NAME *name = X509_get_subject_name(id.cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("Engine Test Org"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(common_name.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(id.cert, name);
    X509_set_pubkey(id.cert, id.key);
    X509_sign(id.cert, id.key, EVP_sha256());

    id.pfx = dir + "/" + common_name + ".p12";
    id.cert_pem = dir + "/" + common_name + ".pem";
    PKCS12 *p12 = PKCS12_create("pw", nullptr, id.key, id.cert, nullptr, 0, 0, 0, 0, 0);
    BIO *out = BIO_new_file(id.pfx.c_str(), "wb");
    i2d_PKCS12_bio(out, p12);
    BIO_free(out);
    PKCS12_free(p12);
    out = BIO_new_file(id.cert_pem.c_str(), "w");
    PEM_write_bio_X509(out, id.cert);
    BIO_free(out);
    return id;
}

void import_identity(const Identity &id, const std::string &container,
                     const std::vector<std::string> &extra)
{
    std::vector<std::string> args{"import-pfx", id.pfx, "--password", "pw", "--container",
                                  container};
    args.insert(args.end(), extra.begin(), extra.end());
    admin(args);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string digest(const char *md_name, const std::string &data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_MD *md_type = EVP_MD_fetch(nullptr, md_name, nullptr);
    EVP_Digest(data.data(), data.size(), md, &len, md_type, nullptr);
    EVP_MD_free(md_type);
    return std::string(reinterpret_cast<char *>(md), len);
}

bool verify_with_cert(X509 *cert, const char *md_name, const std::string &dgst,
                      const std::string &sig)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, X509_get0_pubkey(cert), nullptr);
    EVP_MD *md = EVP_MD_fetch(nullptr, md_name, nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) > 0 && EVP_PKEY_CTX_set_signature_md(ctx, md) > 0 &&
              EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char *>(sig.data()), sig.size(),
                              reinterpret_cast<const unsigned char *>(dgst.data()),
                              dgst.size()) == 1;
    EVP_MD_free(md);
    EVP_PKEY_CTX_free(ctx);
    ERR_clear_error();
    return ok;
}

std::string encrypt_to_cert(X509 *cert, const std::string &plain)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, X509_get0_pubkey(cert), nullptr);
    std::string out(512, '\0');
    size_t outlen = out.size();
    if (EVP_PKEY_encrypt_init(ctx) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(ctx, reinterpret_cast<unsigned char *>(out.data()), &outlen,
                         reinterpret_cast<const unsigned char *>(plain.data()), plain.size()) <= 0)
        outlen = 0;
    EVP_PKEY_CTX_free(ctx);
    out.resize(outlen);
    return out;
}

std::string drain_errors()
{
    return bio_text([](BIO *mem) { ERR_print_errors(mem); });
}

}  // namespace capi_test
