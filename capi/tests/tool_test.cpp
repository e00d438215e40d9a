// The real openssl tool driving the engine: loading, signing, decryption and commands,
// each run ending with every CryptoAPI handle released.
#include "fixture.h"

#include <gtest/gtest.h>

namespace {

using capi_test::RunResult;

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        alice_ = capi_test::make_identity(home_.dir(), "Alice Signer");
        capi_test::import_identity(alice_, "alice", {"--friendly-name", "Alice Key"});
        capi_test::write_file(home_.path("message.txt"), "a message signed through the engine\n");
    }

    // Runs the tool and checks that the run left no CryptoAPI handle open.
    RunResult tool(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        const std::string report = home_.path("handles.txt");
        std::remove(report.c_str());
        env.push_back("CRYPTOAPI_HANDLE_REPORT=" + report);
        RunResult r = capi_test::openssl(args, env);
        const std::string counts = capi_test::read_file(report);
        EXPECT_NE(counts.find("open=0\n"), std::string::npos) << counts;
        EXPECT_NE(counts.find("double_releases=0\n"), std::string::npos) << counts;
        return r;
    }

    RunResult pkeyutl_sign(const std::string &key_id, const std::string &digest_opt,
                           const std::string &in, const std::string &out)
    {
        std::vector<std::string> args{"pkeyutl", "-sign",  "-engine", "capi", "-keyform",
                                      "engine",  "-inkey", key_id,    "-in",  in,
                                      "-out",    out};
        if (!digest_opt.empty())
            args.insert(args.end(), {"-pkeyopt", digest_opt});
        return tool(args);
    }

    std::string path(const char *name) const { return home_.path(name); }

    capi_test::TempHome home_;
    capi_test::Identity alice_;
};

TEST_F(ToolTest, LoadsTheEngineById)
{
    RunResult r = tool({"engine", "-t", "-c", "capi"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(capi) CryptoAPI ENGINE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[RSA, DSA]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[ available ]"), std::string::npos) << r.out;
}

TEST_F(ToolTest, PkeyutlSignaturesVerifyInSoftware)
{
    const std::string message = capi_test::read_file(path("message.txt"));
    const struct {
        const char *md;
        const char *opt;
    } cases[] = {{"SHA1", "digest:sha1"}, {"MD5", "digest:md5"}, {"MD5-SHA1", "digest:md5-sha1"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.md);
        const std::string dgst = capi_test::digest(c.md, message);
        capi_test::write_file(path("digest.bin"), dgst);
        RunResult r = pkeyutl_sign("alice signer", c.opt, path("digest.bin"), path("sig.bin"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(capi_test::verify_with_cert(alice_.cert, c.md, dgst,
                                                capi_test::read_file(path("sig.bin"))));
    }
}

TEST_F(ToolTest, DgstSignaturesVerifyInSoftware)
{
    const std::string message = capi_test::read_file(path("message.txt"));
    capi_test::openssl({"x509", "-in", alice_.cert_pem, "-pubkey", "-noout", "-out", path("pub.pem")});
    const struct {
        const char *md;
        const char *flag;
    } cases[] = {{"SHA1", "-sha1"}, {"MD5", "-md5"}, {"MD5-SHA1", "-md5-sha1"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.md);
        RunResult r = tool({"dgst", c.flag, "-sign", "Alice", "-keyform", "engine", "-engine",
                            "capi", "-out", path("sig.bin"), path("message.txt")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(capi_test::verify_with_cert(alice_.cert, c.md, capi_test::digest(c.md, message),
                                                capi_test::read_file(path("sig.bin"))));
        // The tool's own software verification agrees.
        RunResult v = capi_test::openssl({"dgst", c.flag, "-verify", path("pub.pem"), "-signature",
                                          path("sig.bin"), path("message.txt")});
        EXPECT_NE(v.out.find("Verified OK"), std::string::npos) << v.out << v.err;
    }
}

TEST_F(ToolTest, OtherDigestsAndUnpaddedSigningAreRefused)
{
    capi_test::write_file(path("sha256.bin"), capi_test::digest("SHA256", "x"));
    RunResult r = pkeyutl_sign("Alice", "digest:sha256", path("sha256.bin"), path("sig.bin"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(":CAPI_RSA_SIGN:unsupported algorithm nid:capi/e_capi.cpp:"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("NID=0x2a0"), std::string::npos) << r.err;

    // Without a digest type the tool asks for a private encryption.
    capi_test::write_file(path("raw.bin"), std::string(20, 'r'));
    r = pkeyutl_sign("Alice", "", path("raw.bin"), path("sig.bin"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(":CAPI_RSA_PRIV_ENC:function not supported:"), std::string::npos) << r.err;
}

TEST_F(ToolTest, DecryptsWhatSoftwareEncryptedToTheCertificate)
{
    capi_test::write_file(path("secret.txt"), "pre-master secret");
    RunResult enc = capi_test::openssl({"pkeyutl", "-encrypt", "-certin", "-inkey", alice_.cert_pem,
                                        "-in", path("secret.txt"), "-out", path("secret.enc")});
    ASSERT_EQ(enc.status, 0) << enc.err;
    const std::vector<std::string> decrypt{"pkeyutl", "-decrypt", "-engine", "capi", "-keyform",
                                           "engine",  "-inkey",   "Alice",   "-in",
                                           path("secret.enc")};
    RunResult r = tool(decrypt);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "pre-master secret");

    // Other paddings reach the engine as raw decryption (OAEP is removed by OpenSSL).
    for (const char *mode : {"rsa_padding_mode:none", "rsa_padding_mode:oaep"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> args = decrypt;
        args.insert(args.end(), {"-pkeyopt", mode});
        r = tool(args);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(":CAPI_RSA_PRIV_DEC:unsupported padding:"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("padding=3"), std::string::npos) << r.err;
    }
}

TEST_F(ToolTest, WindowsErrorsShowTheirCode)
{
    RunResult r = tool({"pkeyutl", "-sign", "-engine", "capi", "-keyform", "engine", "-inkey",
                        "Alice", "-in", path("message.txt")},
                       {"CRYPTOAPI_FAIL=CryptAcquireContextA=0x103"});
    EXPECT_NE(r.status, 0);
    // The error library prints its name, as OpenSSL's own libraries do.
    EXPECT_NE(r.err.find(":CryptoAPI ENGINE:CAPI_GET_KEY:cryptacquirecontext error:capi/e_capi.cpp:"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("lib("), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error code= 0x103; certificate \"O = Engine Test Org, CN = Alice Signer\""),
              std::string::npos)
        << r.err;
}

TEST_F(ToolTest, AKeyThatCannotBeHadIsExplainedWithItsCertificate)
{
    // Lookup by subject takes the first match: here a certificate without a key.
    capi_test::Identity old_carol = capi_test::make_identity(home_.dir(), "Carol Example 2019");
    capi_test::admin({"add-cert", old_carol.cert_pem});
    capi_test::Identity carol = capi_test::make_identity(home_.dir(), "Carol Example");
    capi_test::import_identity(carol, "carol");
    // A certificate whose key container is gone.
    capi_test::Identity bob = capi_test::make_identity(home_.dir(), "Bob Example");
    capi_test::import_identity(bob, "bob");
    capi_test::admin({"remove-container", "--container", "bob"});

    const struct {
        const char *id;
        const char *error;   // library, function and reason, as printed
        const char *detail;  // the end of that error's line
    } cases[] = {
        {"Carol Example", ":CryptoAPI ENGINE:CAPI_LOAD_PRIVKEY:cant get key:capi/e_capi.cpp:",
         ":certificate \"O = Engine Test Org, CN = Carol Example 2019\" has no private key in "
         "CryptoAPI (no key provider information)"},
        {"Bob Example", ":CryptoAPI ENGINE:CAPI_GET_KEY:cryptacquirecontext error:capi/e_capi.cpp:",
         ":Error code= 0x80090016; certificate \"O = Engine Test Org, CN = Bob Example\": key "
         "container \"bob\" of provider \"Stand-in RSA Full Provider\", key spec 1: the key "
         "container does not exist"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        RunResult r = tool({"dgst", "-sha1", "-sign", c.id, "-keyform", "engine", "-engine", "capi",
                            "-out", path("sig.bin"), path("message.txt")});
        EXPECT_NE(r.status, 0);
        const size_t start = r.err.find(c.error);
        ASSERT_NE(start, std::string::npos) << r.err;
        const std::string line = r.err.substr(start, r.err.find('\n', start) - start);
        const std::string detail = c.detail;
        ASSERT_GE(line.size(), detail.size()) << line;
        EXPECT_EQ(line.substr(line.size() - detail.size()), detail);
        EXPECT_NE(r.err.find(":failed loading private key:"), std::string::npos) << r.err;
    }
}

TEST_F(ToolTest, CommandsRunAfterInitOnly)
{
    // The tool reports a failed command and goes on.
    RunResult r = tool({"engine", "-pre", "list_csps", "capi"});
    EXPECT_NE(r.out.find("[Failure]: list_csps"), std::string::npos) << r.out;
    EXPECT_NE((r.out + r.err).find(":CAPI_CTRL:engine not initialized:"), std::string::npos) << r.out;

    r = tool({"engine", "-t", "-post", "lookup_method:2", "-post", "list_options:2", "-post",
              "lookup_cert:Alice Key", "-post", "list_options:1", "-post", "list_certs", "capi"});
    EXPECT_EQ(r.out.find("[Failure]"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("  Friendly Name \"Alice Key\"\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Certificate 0\n  Subject: O = Engine Test Org, CN = Alice Signer\n"
                         "  Issuer: O = Engine Test Org, CN = Alice Signer\n"),
              std::string::npos)
        << r.out;
}

}  // namespace
