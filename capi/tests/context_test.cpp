// Context defaults and lifecycle, the trace, error attachment and the small helpers.
#include "engine_fixture.h"

#include <sys/stat.h>

#include <cstring>

namespace {

using ContextTest = EngineTest;

TEST_F(ContextTest, InitAttachesDefaultsAndReinitStartsAfresh)
{
    const int first_indexes[] = {engine_ctx_index, rsa_key_index, dsa_key_index, cert_key_index};
    for (int index : first_indexes)
        EXPECT_GE(index, 0);
    EXPECT_EQ(ctx_->trace_level, 0);
    EXPECT_EQ(ctx_->trace_file, nullptr);
    EXPECT_EQ(ctx_->container_key_spec, 1u);
    EXPECT_EQ(ctx_->provider_name, nullptr);
    EXPECT_EQ(ctx_->provider_type, 1u);
    EXPECT_EQ(ctx_->cert_store_name, nullptr);
    EXPECT_EQ(ctx_->client_store_name, nullptr);
    EXPECT_EQ(ctx_->store_open_flags, 0x1C000u);
    EXPECT_EQ(ctx_->key_lookup, 1);
    EXPECT_EQ(ctx_->list_flags, 3u);
    EXPECT_EQ(ctx_->client_cert_chooser(nullptr, nullptr, nullptr), 0);

    ctx_->key_lookup = 3;
    ctx_->cert_store_name = OPENSSL_strdup("CA");
    ASSERT_EQ(ENGINE_finish(engine_), 1);
    EXPECT_EQ(capi_engine_context(engine_), nullptr);
    ASSERT_EQ(ENGINE_init(engine_), 1);
    ctx_ = capi_engine_context(engine_);
    ASSERT_NE(ctx_, nullptr);
    EXPECT_EQ(ctx_->key_lookup, 1);
    EXPECT_EQ(ctx_->cert_store_name, nullptr);
    const int second_indexes[] = {engine_ctx_index, rsa_key_index, dsa_key_index, cert_key_index};
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(second_indexes[i], first_indexes[i]) << "index " << i;
}

TEST_F(ContextTest, TraceWritesOnlyFromLevelTwoWithAFile)
{
    const std::string file = home() + "/trace.log";
    ctx_->trace_file = OPENSSL_strdup(file.c_str());
    for (int level : {-1, 0, 1}) {
        ctx_->trace_level = level;
        capi_debug_print(ctx_, "level %d\n", level);
    }
    struct stat st;
    EXPECT_NE(stat(file.c_str(), &st), 0) << "nothing below level 2 creates the file";

    ctx_->trace_level = 2;
    capi_debug_print(ctx_, "first %s\n", "line");
    capi_debug_print(ctx_, "second %d", 2);
    ctx_->trace_level = 7;
    capi_debug_print(ctx_, "\nthird\n");
    EXPECT_EQ(capi_test::read_file(file), "first line\nsecond 2\nthird\n");

    // No file: nothing is written and nothing fails.
    OPENSSL_free(ctx_->trace_file);
    ctx_->trace_file = nullptr;
    capi_debug_print(ctx_, "lost\n");
    capi_debug_print(nullptr, "lost\n");
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST_F(ContextTest, TraceIntoAMissingDirectoryIsLostSilently)
{
    ctx_->trace_level = 2;
    ctx_->trace_file = OPENSSL_strdup((home() + "/no/such/dir/trace.log").c_str());
    capi_debug_print(ctx_, "lost\n");
    EXPECT_EQ(ERR_peek_error(), 0ul);
    // An operation that traces goes on as it would without the trace.
    BIO *mem = BIO_new(BIO_s_mem());
    EXPECT_EQ(capi_list_providers(ctx_, mem), 1);
    BIO_free(mem);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

TEST_F(ContextTest, TraceAppendsToAnExistingFile)
{
    const std::string file = trace_to_file();
    capi_test::write_file(file, "earlier\n");
    capi_debug_print(ctx_, "later\n");
    EXPECT_EQ(capi_test::read_file(file), "earlier\nlater\n");
}

TEST_F(ContextTest, FreeingTracesThroughTheContextItself)
{
    const std::string file = trace_to_file();
    capi_ctx_free(nullptr);
    EXPECT_EQ(capi_test::read_file(file), "");
    ASSERT_EQ(ENGINE_finish(engine_), 1);
    EXPECT_EQ(capi_test::read_file(file).rfind("Calling capi_ctx_free with ", 0), 0u);
    ASSERT_EQ(ENGINE_init(engine_), 1);
}

TEST(Errors, WindowsCodesAttachInUpperCaseHex)
{
    const struct {
        unsigned long code;
        const char *text;
    } cases[] = {{0x103, "Error code= 0x103"},
                 {0, "Error code= 0x0"},
                 {0x80090016ul, "Error code= 0x80090016"},
                 {0xabcdeful, "Error code= 0xABCDEF"}};
    capi_load_error_texts();
    for (const auto &c : cases) {
        CAPIerr(CAPI_F_CAPI_GET_KEY, CAPI_R_CRYPTACQUIRECONTEXT_ERROR);
        capi_attach_error_code(c.code);
        const char *data = nullptr, *func = nullptr;
        unsigned long err = ERR_get_error_all(nullptr, nullptr, &func, &data, nullptr);
        EXPECT_EQ(ERR_GET_LIB(err), capi_err_lib);
        EXPECT_STREQ(func, "CAPI_GET_KEY");
        EXPECT_STREQ(data, c.text);
        EXPECT_EQ(ERR_get_error(), 0ul) << "one error per failure";
    }
    CAPIerr(CAPI_F_CAPI_OPEN_STORE, CAPI_R_ERROR_OPENING_STORE);
    SetLastError(0x2);
    capi_attach_last_error();
    EXPECT_NE(capi_test::drain_errors().find(
                  ":CAPI_OPEN_STORE:error opening store:capi/e_capi.cpp:"),
              std::string::npos);
    capi_unload_error_texts();
}

TEST(Helpers, WideToAscConvertsWithTheTerminator)
{
    EXPECT_EQ(wide_to_asc(nullptr), nullptr);
    EXPECT_EQ(ERR_peek_error(), 0ul);
    const struct {
        std::u16string wide;
        std::string narrow;
    } cases[] = {{u"", ""}, {u"MY", "MY"}, {u"Zo\u00eb \u20ac", "Zo\xc3\xab \xe2\x82\xac"}};
    for (const auto &c : cases) {
        char *text = wide_to_asc(c.wide.c_str());
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), c.narrow);
        OPENSSL_free(text);
    }
}

TEST(Helpers, LittleEndianIntegersAreReversedInPlace)
{
    const struct {
        std::string le;
        const char *hex;
    } cases[] = {{"", "0"}, {"\x01", "01"}, {"\x01\x02", "0201"}, {"\x01\x02\x03", "030201"},
                 {std::string("\x00\x01\x00\x80", 4), "80000100"}};
    for (const auto &c : cases) {
        std::string bytes = c.le;
        BIGNUM *bn = BN_new();
        ASSERT_EQ(capi_bn_from_le(bn, reinterpret_cast<unsigned char *>(bytes.data()),
                                  static_cast<int>(bytes.size())),
                  1);
        char *hex = BN_bn2hex(bn);
        EXPECT_STREQ(hex, c.hex);
        EXPECT_EQ(bytes, std::string(c.le.rbegin(), c.le.rend())) << "caller's buffer reversed";
        OPENSSL_free(hex);
        BN_free(bn);
    }
}

}  // namespace
