// Providers, container acquisition and container enumeration.
#include <sys/stat.h>

#include <cstring>
#include <set>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

using ProviderTest = StandInTest;

struct Provider {
    std::string name;
    DWORD type;
};

std::vector<Provider> enumerate_providers() {
    std::vector<Provider> out;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProvidersA(i, nullptr, 0, &type, nullptr, &size)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            return out;
        }
        std::vector<char> name(size);
        EXPECT_TRUE(CryptEnumProvidersA(i, nullptr, 0, &type, name.data(), &size));
        EXPECT_EQ(std::strlen(name.data()) + 1, size);
        out.push_back({name.data(), type});
    }
}

TEST_F(ProviderTest, EnumerationListsADefaultForEachMainType) {
    auto providers = enumerate_providers();
    std::set<DWORD> types;
    for (const auto &p : providers) types.insert(p.type);
    EXPECT_TRUE(types.count(PROV_RSA_FULL) && types.count(PROV_RSA_AES) && types.count(PROV_DSS));
    // The name of a type's default provider selects the same provider as no name.
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_DSS, CRYPT_VERIFYCONTEXT));
    char name[256];
    DWORD size = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE *>(name), &size, 0));
    CryptReleaseContext(prov, 0);
    for (const auto &p : providers)
        if (p.type == PROV_DSS) {
            EXPECT_EQ(p.name, name);
            break;
        }
}

TEST_F(ProviderTest, EnumerationShortBufferReportsTheSize) {
    DWORD type = 0, size = 3;
    char small[3];
    EXPECT_FALSE(CryptEnumProvidersA(0, nullptr, 0, &type, small, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, enumerate_providers()[0].name.size() + 1);
}

TEST_F(ProviderTest, ProvidersFileReplacesTheBuiltInList) {
    ASSERT_EQ(system(("mkdir -p " + home_).c_str()), 0);
    write_text(home_ + "/providers", "# test machine\n24 Only AES\n1 Second RSA\n");
    auto providers = enumerate_providers();
    ASSERT_EQ(providers.size(), 2u);
    EXPECT_EQ(providers[0].name, "Only AES");
    EXPECT_EQ(providers[1].type, 1u);
    write_text(home_ + "/providers", "");
    EXPECT_TRUE(enumerate_providers().empty());
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
}

TEST_F(ProviderTest, AcquireErrors) {
    HCRYPTPROV prov = make_container("exists", PROV_RSA_FULL, AT_KEYEXCHANGE, 512);
    CryptReleaseContext(prov, 0);
    struct {
        const char *container;
        const char *provider;
        DWORD type;
        DWORD flags;
        DWORD error;
    } cases[] = {
        {"missing", nullptr, PROV_RSA_FULL, 0, static_cast<DWORD>(NTE_BAD_KEYSET)},
        {nullptr, "No Such Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, static_cast<DWORD>(NTE_KEYSET_NOT_DEF)},
        {nullptr, "Stand-in DSS Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT,
         static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH)},
        {nullptr, nullptr, 99, CRYPT_VERIFYCONTEXT, static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF)},
        {"exists", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET, static_cast<DWORD>(NTE_EXISTS)},
        {"exists", nullptr, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, static_cast<DWORD>(NTE_BAD_KEYSET)},
        {"missing", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET, static_cast<DWORD>(NTE_BAD_KEYSET)},
        {"exists", nullptr, PROV_RSA_FULL, 0x100, static_cast<DWORD>(NTE_BAD_FLAGS)},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_FALSE(CryptAcquireContextA(&prov, c.container, c.provider, c.type, c.flags));
        EXPECT_EQ(GetLastError(), c.error) << (c.container ? c.container : "-") << " "
                                           << (c.provider ? c.provider : "-") << " flags " << c.flags;
    }
    // Provider names are case-insensitive; deleting a key set issues no handle.
    ASSERT_TRUE(CryptAcquireContextA(&prov, "exists", "stand-in rsa full provider", PROV_RSA_FULL, 0));
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(CryptAcquireContextA(&prov, "exists", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(prov, 0u);
    EXPECT_FALSE(CryptAcquireContextA(&prov, "exists", nullptr, PROV_RSA_FULL, 0));
}

TEST_F(ProviderTest, StatePermissionsArePrivate) {
    HCRYPTPROV prov = make_container("private", PROV_RSA_FULL, AT_KEYEXCHANGE, 512);
    CryptReleaseContext(prov, 0);
    struct stat st;
    ASSERT_EQ(stat(home_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::string key = home_ + "/keys/user/@rsa/private/exchange.pem";
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Runs the enumeration the way the engine does: size query with CRYPT_FIRST, then one
// name a call with a buffer of that size (1024 if it reported 0).
std::vector<std::string> engine_style_listing(HCRYPTPROV prov, DWORD &max_out) {
    DWORD max = 0;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &max, CRYPT_FIRST));
    max_out = max;
    if (max == 0) max = 1024;
    std::vector<char> buf(max);
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) {
        DWORD len = max;
        buf[0] = 0;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf.data()), &len,
                               i == 0 ? CRYPT_FIRST : 0)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        if (buf[0] == 0 && len == max) {
            names.push_back("<empty>");
            break;
        }
        names.push_back(buf.data());
    }
    return names;
}

std::vector<BYTE> exchange_blob(HCRYPTPROV prov, DWORD spec = AT_KEYEXCHANGE) {
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(prov, spec, &key)) return {};
    std::vector<BYTE> blob = export_public_blob(key);
    CryptDestroyKey(key);
    return blob;
}

// As on Windows, every RSA provider opens the same key containers, and so does every
// DSS provider; the two families are apart.
TEST_F(ProviderTest, ContainersAreSharedByProviderFamily) {
    HCRYPTPROV rsa = make_container("rsa-held", PROV_RSA_FULL, AT_KEYEXCHANGE, 1024);
    std::vector<BYTE> rsa_blob = exchange_blob(rsa);
    CryptReleaseContext(rsa, 0);
    CryptReleaseContext(make_container("dss-held", PROV_DSS, AT_SIGNATURE, 1024), 0);
    struct {
        const char *provider;
        DWORD type;
        const char *container;
        DWORD error;
    } cases[] = {
        {nullptr, PROV_RSA_AES, "rsa-held", 0},
        {"Stand-in RSA Strong Provider", PROV_RSA_FULL, "rsa-held", 0},
        {"Stand-in RSA Signature Provider", PROV_RSA_SIG, "rsa-held", 0},
        {nullptr, PROV_DSS, "rsa-held", static_cast<DWORD>(NTE_BAD_KEYSET)},
        {nullptr, PROV_DSS_DH, "dss-held", 0},
        {nullptr, PROV_RSA_FULL, "dss-held", static_cast<DWORD>(NTE_BAD_KEYSET)},
        {nullptr, PROV_RSA_AES, "dss-held", static_cast<DWORD>(NTE_BAD_KEYSET)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.provider ? c.provider : "default") + " type " + std::to_string(c.type) + " " +
                     c.container);
        HCRYPTPROV prov = 0;
        SetLastError(0);
        EXPECT_EQ(CryptAcquireContextA(&prov, c.container, c.provider, c.type, 0) != FALSE, c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        if (std::string(c.container) == "rsa-held") {
            EXPECT_EQ(exchange_blob(prov), rsa_blob);
        }
        CryptReleaseContext(prov, 0);
        // Each provider of the family lists the family's containers, and only those.
        ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, c.provider, c.type, CRYPT_VERIFYCONTEXT));
        DWORD max = 0;
        EXPECT_EQ(engine_style_listing(prov, max), std::vector<std::string>{c.container});
        CryptReleaseContext(prov, 0);
    }
}

// Earlier states kept containers per provider; they are found where they were put.
TEST_F(ProviderTest, PerProviderContainersOfEarlierStatesStayUsable) {
    EVP_PKEY *aes_key = generate_rsa(1024), *full_key = generate_rsa(1024), *strong_key = generate_rsa(1024);
    std::string keys = home_ + "/keys/user/";
    ASSERT_EQ(run("mkdir -p '" + keys + "Stand-in%20RSA%20AES%20Provider/old' '" + keys +
                  "Stand-in%20RSA%20Full%20Provider/both' '" + keys + "Stand-in%20RSA%20Strong%20Provider/both' '" +
                  keys + "Gone%20Provider/kept'")
                  .status,
              0);
    write_text(keys + "Stand-in%20RSA%20AES%20Provider/old/exchange.pem", private_pem_of(aes_key));
    write_text(keys + "Stand-in%20RSA%20Full%20Provider/both/exchange.pem", private_pem_of(full_key));
    write_text(keys + "Stand-in%20RSA%20Strong%20Provider/both/exchange.pem", private_pem_of(strong_key));
    write_text(keys + "Stand-in%20RSA%20Strong%20Provider/both/signature.pem", private_pem_of(strong_key));

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "old", nullptr, PROV_RSA_FULL, 0)) << std::hex << GetLastError();
    EXPECT_FALSE(exchange_blob(prov).empty());
    CryptReleaseContext(prov, 0);
    // Two providers' containers of one name merge; where both held a key of one spec,
    // the first provider's is taken and the other stays on disk, unused.
    ASSERT_TRUE(CryptAcquireContextA(&prov, "both", "Stand-in RSA AES Provider", PROV_RSA_AES, 0));
    EXPECT_FALSE(exchange_blob(prov).empty());
    EXPECT_FALSE(exchange_blob(prov, AT_SIGNATURE).empty());
    CryptReleaseContext(prov, 0);
    struct stat st;
    EXPECT_EQ(stat((keys + "Gone%20Provider/kept").c_str(), &st), 0);  // not an installed provider: untouched
    EVP_PKEY_free(aes_key);
    EVP_PKEY_free(full_key);
    EVP_PKEY_free(strong_key);
}

TEST_F(ProviderTest, ContainerEnumerationAndQuirks) {
    for (const char *name : {"beta", "alpha", "a longer container name"}) {
        HCRYPTPROV p = 0;
        ASSERT_TRUE(CryptAcquireContextA(&p, name, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        CryptReleaseContext(p, 0);
    }
    HCRYPTPROV machine = 0;
    ASSERT_TRUE(CryptAcquireContextA(&machine, "machine only", nullptr, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
    CryptReleaseContext(machine, 0);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    DWORD max = 0;
    std::vector<std::string> expected = {"a longer container name", "alpha", "beta"};
    EXPECT_EQ(engine_style_listing(prov, max), expected);
    EXPECT_EQ(max, std::strlen("a longer container name") + 1);

    // A short buffer reports the size and does not skip the name.
    char small[3];
    DWORD len = sizeof small;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(small), &len, CRYPT_FIRST));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, sizeof "a longer container name");
    char name[64];
    len = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(name), &len, CRYPT_NEXT));
    EXPECT_STREQ(name, "a longer container name");

    cryptoapi_test_set_quirk(CRYPTOAPI_QUIRK_ZERO_MAX_CONTAINER_LEN, 1);
    cryptoapi_test_set_quirk(CRYPTOAPI_QUIRK_EMPTY_NAME_AT_END, 1);
    expected.push_back("<empty>");
    EXPECT_EQ(engine_style_listing(prov, max), expected);
    EXPECT_EQ(max, 0u);
    CryptReleaseContext(prov, 0);

    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET));
    cryptoapi_test_reset();
    EXPECT_EQ(engine_style_listing(prov, max), std::vector<std::string>{"machine only"});
    CryptReleaseContext(prov, 0);
}

TEST_F(ProviderTest, ProviderParametersAndReleaseRules) {
    const long double_before = cryptoapi_test_handle_counts().double_releases;
    HCRYPTPROV prov = make_container("params", PROV_RSA_AES, AT_KEYEXCHANGE, 512);
    char name[64];
    DWORD len = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE *>(name), &len, 0));
    EXPECT_STREQ(name, "params");
    DWORD type = 0;
    len = sizeof type;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE *>(&type), &len, 0));
    EXPECT_EQ(type, static_cast<DWORD>(PROV_RSA_AES));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_FALSE(CryptReleaseContext(prov, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_EQ(cryptoapi_test_handle_counts().double_releases - double_before, 1);
    EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE *>(name), &len, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
}

}  // namespace
}  // namespace cryptoapi_tests
