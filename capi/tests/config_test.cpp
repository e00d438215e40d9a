// Settings from an OpenSSL configuration file (the shipped example), read by the real
// openssl tool, and what happens once the engine is the process's default.
#include "fixture.h"

#include <gtest/gtest.h>

namespace {

using capi_test::RunResult;

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        alice_ = capi_test::make_identity(home_.dir(), "Alice Example");
        capi_test::import_identity(alice_, "alice", {"--friendly-name", "Alice Key"});
        capi_test::write_file(path("message.txt"), "signed with settings from a file\n");
        example_ = capi_test::read_file(CAPI_EXAMPLE_CONFIG);
        ASSERT_NE(example_.find("\ninit = 1\n"), std::string::npos);
        ASSERT_NE(example_.find("\nlookup_method = 2\n"), std::string::npos);
    }

    std::string path(const std::string &name) const { return home_.path(name); }

    // The example with texts replaced, in order, saved as a new file; returns its name.
    std::string config(const std::vector<std::pair<std::string, std::string>> &edits = {})
    {
        std::string text = example_;
        for (const auto &edit : edits) {
            const size_t at = text.find(edit.first);
            EXPECT_NE(at, std::string::npos) << edit.first;
            if (at != std::string::npos)
                text.replace(at, edit.first.size(), edit.second);
        }
        const std::string file = path("openssl-" + std::to_string(++configs_) + ".cnf");
        capi_test::write_file(file, text);
        return file;
    }

    // Signs the message with the key the engine finds under `key_id`.
    RunResult sign(const std::string &conf, const std::string &key_id)
    {
        return capi_test::openssl({"dgst", "-sha1", "-sign", key_id, "-keyform", "engine", "-engine",
                                   "capi", "-out", path("sig.bin"), path("message.txt")},
                                  {"OPENSSL_CONF=" + conf});
    }

    capi_test::TempHome home_;
    capi_test::Identity alice_;
    std::string example_;
    int configs_ = 0;
};

TEST_F(ConfigTest, TheExampleSelectsTheLookupMethodForDgst)
{
    const std::string message = capi_test::read_file(path("message.txt"));
    const struct {
        const char *method_line;
        const char *found;      // the key's name under this method
        const char *not_found;  // its name under the default method, the subject
    } cases[] = {
        {"\nlookup_method = 2\n", "Alice Key", "Alice Example"},
        {"\nlookup_method = 3\n", "alice", "Alice Example"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.method_line);
        const std::string conf = config({{"\nlookup_method = 2\n", c.method_line}});
        RunResult r = sign(conf, c.found);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(capi_test::verify_with_cert(alice_.cert, "SHA1",
                                                capi_test::digest("SHA1", message),
                                                capi_test::read_file(path("sig.bin"))));
        r = sign(conf, c.not_found);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(":failed loading private key:"), std::string::npos) << r.err;
    }
}

TEST_F(ConfigTest, CommandsBeforeInitAreLostWithoutAWord)
{
    // The usual order: the engine's commands first, init last.
    const std::string conf = config({{"\ninit = 1\n", "\n"},
                                     {"\nlookup_method = 2\n", "\nlookup_method = 2\ninit = 1\n"}});
    RunResult r = sign(conf, "Alice Key");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(":failed loading private key:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("engine not initialized"), std::string::npos) << "refused silently";
    // The lookup stayed on the subject.
    r = sign(conf, "Alice Example");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(ConfigTest, SoftwareRsaKeysFailOnceTheEngineIsLoadedOrTheDefault)
{
    RunResult r = capi_test::openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt",
                                      "rsa_keygen_bits:1024", "-out", path("soft.key")});
    ASSERT_EQ(r.status, 0) << r.err;
    capi_test::write_file(path("empty.cnf"), "");
    const std::vector<std::string> sign_soft{"dgst", "-sha1", "-sign", path("soft.key"), "-out",
                                             path("sig.bin"), path("message.txt")};
    // Without the engine, the software key signs.
    r = capi_test::openssl(sign_soft, {"OPENSSL_CONF=" + path("empty.cnf")});
    EXPECT_EQ(r.status, 0) << r.err;

    // The tool registers every engine it has loaded and initialised for what it
    // implements, so the example alone is enough to take over RSA.
    const struct {
        const char *how;
        std::vector<std::string> extra_args;
        std::string conf;
    } cases[] = {
        {"-engine capi", {"-engine", "capi"}, path("empty.cnf")},
        {"the example", {}, config()},
        {"default_algorithms", {}, config({{"\ninit = 1\n", "\ninit = 1\ndefault_algorithms = ALL\n"}})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        std::vector<std::string> args = sign_soft;
        args.insert(args.end() - 1, c.extra_args.begin(), c.extra_args.end());
        r = capi_test::openssl(args, {"OPENSSL_CONF=" + c.conf});
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(":CryptoAPI ENGINE:CAPI_RSA_SIGN:cant get key:"), std::string::npos)
            << r.err;
    }
}

}  // namespace
