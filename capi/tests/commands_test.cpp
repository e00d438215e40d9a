// Control commands, and the provider and container listings they print.
#include "engine_fixture.h"

#include <cstring>

namespace {

class CommandsTest : public EngineTest {
protected:
    int command(const char *name, const char *arg)
    {
        return ENGINE_ctrl_cmd_string(engine_, name, arg, 0);
    }
    // Runs a command and returns what it printed on standard output.
    std::string printed_by(const char *name, const char *arg, int *result)
    {
        testing::internal::CaptureStdout();
        *result = command(name, arg);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(CommandsTest, NumericSettingsAndTheirLimits)
{
    const struct {
        const char *name, *arg;
        int result;
        int lookup;
        DWORD flags;
    } cases[] = {
        {"lookup_method", "2", 1, 2, 0x1C000},
        {"lookup_method", "0", 0, 2, 0x1C000},  // refused, the method stays
        {"lookup_method", "4", 0, 2, 0x1C000},
        {"lookup_method", "3", 1, 3, 0x1C000},
        {"store_flags", "1", 1, 3, 0x2C000},
        {"store_flags", "2", 1, 3, 0x1C000},
        {"store_flags", "3", 1, 3, 0x2C000},
        {"store_flags", "0", 1, 3, 0x1C000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.arg);
        EXPECT_EQ(command(c.name, c.arg), c.result);
        EXPECT_EQ(ctx_->key_lookup, c.lookup);
        EXPECT_EQ(ctx_->store_open_flags, c.flags);
        if (c.result == 0) {
            EXPECT_NE(capi_test::drain_errors().find(":CAPI_CTRL:invalid lookup method:"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(command("key_type", "2"), 1);
    EXPECT_EQ(ctx_->container_key_spec, 2u);
    EXPECT_EQ(command("list_options", "33"), 1);
    EXPECT_EQ(ctx_->list_flags, 33u);
    for (int number : {199, 214}) {
        EXPECT_EQ(ENGINE_ctrl(engine_, number, 0, nullptr, nullptr), 0);
        EXPECT_NE(capi_test::drain_errors().find(":CAPI_CTRL:unknown command:"), std::string::npos);
    }
}

TEST_F(CommandsTest, TraceFollowsTheSettingInForce)
{
    const std::string file = home() + "/trace.log";
    EXPECT_EQ(command("debug_level", "2"), 1);  // no file yet: nothing written
    EXPECT_EQ(command("debug_file", file.c_str()), 1);
    EXPECT_EQ(command("debug_level", "2"), 1);
    EXPECT_EQ(command("store_name", "CA"), 1);
    EXPECT_EQ(command("store_flags", "1"), 1);
    EXPECT_EQ(command("key_type", "2"), 1);
    // A null string (sent by number: OpenSSL's by-name form insists on text) clears.
    EXPECT_EQ(ENGINE_ctrl(engine_, 203, 0, nullptr, nullptr), 1);  // stops the trace
    EXPECT_EQ(ENGINE_ctrl(engine_, 212, 0, nullptr, nullptr), 1);  // back to "MY"
    EXPECT_EQ(ctx_->cert_store_name, nullptr);
    EXPECT_EQ(capi_test::read_file(file), "Setting debug file to " + file +
                                              "\nSetting debug level to 2\n"
                                              "Setting store name to CA\n"
                                              "Setting flags to 1\n"
                                              "Setting key type to 2\n");
}

TEST_F(CommandsTest, ProvidersAreListedAndChosen)
{
    std::string expected = "Available CSPs:\n";
    std::vector<std::pair<std::string, DWORD>> providers;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof(name), type = 0;
        if (!CryptEnumProvidersA(i, nullptr, 0, &type, name, &size))
            break;
        providers.emplace_back(name, type);
        expected += std::to_string(i) + ". " + name + ", type " + std::to_string(type) + "\n";
    }
    ASSERT_GE(providers.size(), 2u);
    int result = 0;
    EXPECT_EQ(printed_by("list_csps", nullptr, &result), expected);
    EXPECT_EQ(result, 1);

    EXPECT_EQ(command("csp_idx", "1"), 1);
    EXPECT_STREQ(ctx_->provider_name, providers[1].first.c_str());
    EXPECT_EQ(ctx_->provider_type, providers[1].second);
    // Past the last provider: refused without an error.
    EXPECT_EQ(command("csp_idx", std::to_string(providers.size()).c_str()), 0);
    EXPECT_EQ(ERR_peek_error(), 0ul);
    // An unknown name is refused and the earlier choice stays.
    EXPECT_EQ(command("csp_name", "No Such Provider"), 0);
    EXPECT_NE(capi_test::drain_errors().find(
                  ":CAPI_CTX_SET_PROVNAME:cryptacquirecontext error:"),
              std::string::npos);
    EXPECT_STREQ(ctx_->provider_name, providers[1].first.c_str());
    // The type alone changes; the name stays.
    EXPECT_EQ(command("csp_type", "3"), 1);
    EXPECT_EQ(ctx_->provider_type, 3u);
    EXPECT_STREQ(ctx_->provider_name, providers[1].first.c_str());
    EXPECT_EQ(command("csp_type", "1"), 1);
    EXPECT_EQ(command("csp_name", providers[0].first.c_str()), 1);
    EXPECT_STREQ(ctx_->provider_name, providers[0].first.c_str());
    EXPECT_EQ(cryptoapi_test_open_handles(), 0) << "the trial handle is released";
}

TEST_F(CommandsTest, ProviderEnumerationEndsOrFails)
{
    int result = 0;
    // A failure past the first provider (two calls each) keeps the lines printed so far.
    cryptoapi_test_fail("CryptEnumProvidersA", NTE_FAIL, 2, 1);
    const std::string listing = printed_by("list_csps", nullptr, &result);
    EXPECT_EQ(listing.rfind("Available CSPs:\n0. ", 0), 0u) << listing;
    EXPECT_EQ(listing.find("\n1. "), std::string::npos) << listing;
    EXPECT_EQ(result, 1);
    std::string errors = capi_test::drain_errors();
    EXPECT_NE(errors.find(":CAPI_GET_PROVNAME:cryptenumproviders error:"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("Error code= 0x80090020"), std::string::npos) << errors;

    // Choosing by index fails the same way and leaves the provider settings alone.
    EXPECT_EQ(command("csp_type", "24"), 1);
    cryptoapi_test_fail("CryptEnumProvidersA", NTE_FAIL, 1, 1);
    EXPECT_EQ(command("csp_idx", "0"), 0);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_GET_PROVNAME:cryptenumproviders error:"),
              std::string::npos);
    EXPECT_EQ(ctx_->provider_name, nullptr);
    EXPECT_EQ(ctx_->provider_type, 24u);
    cryptoapi_test_reset();

    // A machine without providers lists only the header.
    capi_test::write_file(home() + "/providers", "");
    EXPECT_EQ(printed_by("list_csps", nullptr, &result), "Available CSPs:\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(command("csp_idx", "0"), 0);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST_F(CommandsTest, ContainersAreListedWhateverTheProviderQuirks)
{
    capi_test::admin({"new-key", "--container", "first"});
    capi_test::admin({"new-key", "--container", "second-container"});
    const std::string listing = "0. first\n1. second-container\n";
    int result = 0;
    EXPECT_EQ(printed_by("list_containers", nullptr, &result), listing);
    EXPECT_EQ(result, 1);

    const std::string file = home() + "/trace.log";
    command("debug_file", file.c_str());
    command("debug_level", "2");
    for (int quirk : {CRYPTOAPI_QUIRK_ZERO_MAX_CONTAINER_LEN, CRYPTOAPI_QUIRK_EMPTY_NAME_AT_END,
                      CRYPTOAPI_QUIRK_FIXED_MAX_CONTAINER_LEN}) {
        SCOPED_TRACE(quirk);
        cryptoapi_test_reset();
        cryptoapi_test_set_quirk(quirk, 1);
        capi_test::write_file(file, "");
        EXPECT_EQ(printed_by("list_containers", nullptr, &result), listing);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(ERR_peek_error(), 0ul);
        const std::string trace = capi_test::read_file(file);
        if (quirk == CRYPTOAPI_QUIRK_ZERO_MAX_CONTAINER_LEN)
            EXPECT_NE(trace.find("Got max container len 0\n"), std::string::npos) << trace;
        else if (quirk == CRYPTOAPI_QUIRK_FIXED_MAX_CONTAINER_LEN)
            EXPECT_NE(trace.find("Container name first, len=260,"), std::string::npos) << trace;
        else
            EXPECT_NE(trace.find("Enumerate bug: using workaround\n"), std::string::npos) << trace;
    }
    cryptoapi_test_reset();

    // No more items already at the size query is an error, as is a failure midway.
    cryptoapi_test_fail("CryptGetProvParam", ERROR_NO_MORE_ITEMS, 0, 1);
    EXPECT_EQ(printed_by("list_containers", nullptr, &result), "");
    EXPECT_EQ(result, 0);
    std::string errors = capi_test::drain_errors();
    EXPECT_NE(errors.find(":CAPI_LIST_CONTAINERS:enumcontainers error:"), std::string::npos);
    EXPECT_NE(errors.find("Error code= 0x103"), std::string::npos);
    cryptoapi_test_fail("CryptGetProvParam", NTE_FAIL, 2, 1);
    EXPECT_EQ(printed_by("list_containers", nullptr, &result), "0. first\n");
    EXPECT_EQ(result, 0);
    EXPECT_NE(capi_test::drain_errors().find("Error code= 0x80090020"), std::string::npos);
}

TEST_F(CommandsTest, CertificateListingsGoToStandardOutput)
{
    capi_test::Identity alice = capi_test::make_identity(home(), "Alice Signer");
    capi_test::import_identity(alice, "alice", {"--friendly-name", "Alice Key"});
    int result = 0;
    EXPECT_EQ(command("list_options", "2"), 1);
    EXPECT_EQ(printed_by("list_certs", nullptr, &result),
              "Certificate 0\n  Friendly Name \"Alice Key\"\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed_by("lookup_cert", "alice", &result), "  Friendly Name \"Alice Key\"\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed_by("lookup_cert", "nobody", &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(command("store_name", "NOSUCH"), 1);
    EXPECT_EQ(printed_by("list_certs", nullptr, &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_OPEN_STORE:error opening store:"),
              std::string::npos);
}

TEST_F(CommandsTest, AListingCutShortByAnErrorFails)
{
    capi_test::Identity alice = capi_test::make_identity(home(), "Alice Signer");
    capi_test::import_identity(alice, "alice", {"--friendly-name", "Alice Key"});
    capi_test::Identity bob = capi_test::make_identity(home(), "Bob Signer");
    capi_test::import_identity(bob, "bob", {"--friendly-name", "Bob Key"});
    EXPECT_EQ(command("list_options", "2"), 1);
    // The second step of the walk fails: the first certificate is shown, then the error.
    cryptoapi_test_fail("CertEnumCertificatesInStore", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    int result = 1;
    EXPECT_EQ(printed_by("list_certs", nullptr, &result),
              "Certificate 0\n  Friendly Name \"Alice Key\"\n");
    EXPECT_EQ(result, 0);
    std::string errors = capi_test::drain_errors();
    EXPECT_NE(errors.find(":win32 error:"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Error code= 0x8\n"), std::string::npos) << errors;
}

}  // namespace
