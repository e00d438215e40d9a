// The module loaded the way applications load it: through OpenSSL's dynamic engine
// loader, by id or by path, with nothing of the engine linked into this program.
#include "e_capi.h"
#include "fixture.h"

#include <gtest/gtest.h>

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace {

// OpenSSL's allocations go through these, so a test can make one size fail.
size_t failing_size = 0;
int failures = 0;

void *trap_malloc(size_t num, const char *, int)
{
    if (num != 0 && num == failing_size) {
        ++failures;
        return nullptr;
    }
    return std::malloc(num);
}
void *trap_realloc(void *p, size_t num, const char *, int)
{
    return std::realloc(p, num);
}
void trap_free(void *p, const char *, int)
{
    std::free(p);
}

struct Loaded {
    ENGINE *engine = nullptr;
    bool loaded = false;
};

// Loads the module into a fresh "dynamic" engine, asking for `id` (none when null).
Loaded load_module(const char *id)
{
    Loaded result;
    result.engine = ENGINE_by_id("dynamic");
    result.loaded = result.engine != nullptr &&
                    ENGINE_ctrl_cmd_string(result.engine, "SO_PATH", CAPI_ENGINE_PATH, 0) &&
                    (id == nullptr || ENGINE_ctrl_cmd_string(result.engine, "ID", id, 0)) &&
                    ENGINE_ctrl_cmd_string(result.engine, "LOAD", nullptr, 0);
    return result;
}

// The newest error on the queue, with its function text; the queue is cleared.
struct QueuedError {
    unsigned long code = 0;
    std::string function;
};
QueuedError last_error()
{
    QueuedError e;
    const char *func = nullptr;
    e.code = ERR_peek_last_error_all(nullptr, nullptr, &func, nullptr, nullptr);
    e.function = func != nullptr ? func : "";
    ERR_clear_error();
    return e;
}

TEST(Binding, LoadsByIdThroughTheDynamicLoader)
{
    setenv("OPENSSL_ENGINES", CAPI_ENGINES_DIR, 1);
    ENGINE *e = ENGINE_by_id("capi");
    ASSERT_NE(e, nullptr) << capi_test::drain_errors();
    EXPECT_STREQ(ENGINE_get_id(e), "capi");
    EXPECT_STREQ(ENGINE_get_name(e), "CryptoAPI ENGINE");
    ASSERT_NE(ENGINE_get_RSA(e), nullptr);
    EXPECT_STREQ(RSA_meth_get0_name(ENGINE_get_RSA(e)), "CryptoAPI RSA method");
    ASSERT_NE(ENGINE_get_DSA(e), nullptr);
    EXPECT_STREQ(DSA_meth_get0_name(ENGINE_get_DSA(e)), "CryptoAPI DSA method");
    EXPECT_NE(ENGINE_get_load_privkey_function(e), nullptr);
    EXPECT_EQ(ENGINE_get_load_pubkey_function(e), nullptr);
    EXPECT_EQ(ENGINE_ctrl(e, ENGINE_CTRL_GET_CMD_FROM_NAME, 0, (void *)"list_certs", nullptr), 200);
    EXPECT_EQ(ENGINE_ctrl(e, ENGINE_CTRL_GET_CMD_FROM_NAME, 0, (void *)"store_flags", nullptr), 213);

    ASSERT_EQ(ENGINE_init(e), 1);
    // Init completes the method record with OpenSSL's software public operations.
    EXPECT_EQ(RSA_meth_get_pub_enc(ENGINE_get_RSA(e)), RSA_meth_get_pub_enc(RSA_PKCS1_OpenSSL()));
    EXPECT_EQ(RSA_meth_get_bn_mod_exp(ENGINE_get_RSA(e)),
              RSA_meth_get_bn_mod_exp(RSA_PKCS1_OpenSSL()));
    EXPECT_EQ(DSA_meth_get_verify(ENGINE_get_DSA(e)), DSA_meth_get_verify(DSA_OpenSSL()));
    EXPECT_EQ(ENGINE_finish(e), 1);
    ENGINE_remove(e);
    ENGINE_free(e);
}

TEST(Binding, AcceptsOnlyItsOwnId)
{
    const struct {
        const char *id;
        bool accepted;
    } cases[] = {{nullptr, true}, {"capi", true}, {"CAPI", false}, {"capix", false}, {"cap", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id != nullptr ? c.id : "(null)");
        Loaded l = load_module(c.id);
        ASSERT_NE(l.engine, nullptr);
        EXPECT_EQ(l.loaded, c.accepted);
        if (c.accepted) {
            EXPECT_STREQ(ENGINE_get_id(l.engine), "capi");
            EXPECT_STREQ(ENGINE_get_name(l.engine), "CryptoAPI ENGINE");
        } else {
            // The loader puts the engine back as it was; the module queued nothing of its own.
            EXPECT_STREQ(ENGINE_get_id(l.engine), "dynamic");
            unsigned long err;
            while ((err = ERR_get_error()) != 0)
                EXPECT_LT(ERR_GET_LIB(err), ERR_LIB_USER) << ERR_error_string(err, nullptr);
        }
        ERR_clear_error();
        ENGINE_free(l.engine);
    }
}

TEST(Binding, VersionCheckSpeaksTheLoadersInterface)
{
    void *module = dlopen(CAPI_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto v_check = reinterpret_cast<unsigned long (*)(unsigned long)>(dlsym(module, "v_check"));
    ASSERT_NE(v_check, nullptr);
    EXPECT_NE(dlsym(module, "bind_engine"), nullptr);
    // Only the two entry points are exported.
    EXPECT_EQ(dlsym(module, "capi_init"), nullptr);

    const struct {
        unsigned long offered, answer;
    } cases[] = {
        {0, 0},
        {0x20000, 0},
        {OSSL_DYNAMIC_OLDEST - 1, 0},
        {OSSL_DYNAMIC_OLDEST, OSSL_DYNAMIC_VERSION},
        {0xFFFFFFFFul, OSSL_DYNAMIC_VERSION},
        {~0ul, OSSL_DYNAMIC_VERSION},
    };
    for (const auto &c : cases)
        EXPECT_EQ(v_check(c.offered), c.answer) << std::hex << c.offered;
    dlclose(module);
}

// Any command before init is refused; the error shows which texts are registered.
QueuedError refused_command(ENGINE *e)
{
    EXPECT_EQ(ENGINE_ctrl(e, 199, 0, nullptr, nullptr), 0);
    return last_error();
}

// The module's own entry points. OpenSSL 3's loader binds one engine per module at a
// time, so binding several goes through the module's export directly.
class ModuleExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = dlopen(CAPI_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module_, nullptr) << dlerror();
        bind_ = reinterpret_cast<dynamic_bind_engine>(dlsym(module_, "bind_engine"));
        ASSERT_NE(bind_, nullptr);
        fns_.static_state = ENGINE_get_static_state();
        CRYPTO_get_mem_functions(&fns_.mem_fns.malloc_fn, &fns_.mem_fns.realloc_fn,
                                 &fns_.mem_fns.free_fn);
    }
    void TearDown() override
    {
        if (module_ != nullptr)
            dlclose(module_);
    }

    void *module_ = nullptr;
    dynamic_bind_engine bind_ = nullptr;
    dynamic_fns fns_{};
};

TEST_F(ModuleExports, ErrorTextsFollowBindAndDestroy)
{
    ENGINE *first = ENGINE_new();
    ASSERT_EQ(bind_(first, "capi", &fns_), 1);
    QueuedError e1 = refused_command(first);
    EXPECT_EQ(e1.function, "CAPI_CTRL");
    EXPECT_GE(ERR_GET_LIB(e1.code), ERR_LIB_USER);
    EXPECT_STREQ(ERR_reason_error_string(e1.code), "engine not initialized");
    EXPECT_STREQ(ERR_lib_error_string(e1.code), "CryptoAPI ENGINE");

    // A second bind registers nothing twice.
    ENGINE *second = ENGINE_new();
    ASSERT_EQ(bind_(second, nullptr, &fns_), 1);
    EXPECT_STREQ(ERR_reason_error_string(refused_command(first).code), "engine not initialized");

    // Destroying either engine withdraws the texts for both; the codes stay.
    ENGINE_free(second);
    QueuedError e2 = refused_command(first);
    EXPECT_EQ(ERR_GET_LIB(e2.code), ERR_GET_LIB(e1.code));
    EXPECT_EQ(ERR_GET_REASON(e2.code), 106);
    EXPECT_EQ(ERR_reason_error_string(e2.code), nullptr);
    EXPECT_EQ(ERR_lib_error_string(e2.code), nullptr);
    EXPECT_EQ(e2.function, "CAPI_CTRL");

    // A new bind registers them again.
    ENGINE *third = ENGINE_new();
    ASSERT_EQ(bind_(third, "capi", &fns_), 1);
    EXPECT_STREQ(ERR_reason_error_string(refused_command(first).code), "engine not initialized");
    EXPECT_STREQ(ERR_lib_error_string(e1.code), "CryptoAPI ENGINE");
    ENGINE_free(third);
    ENGINE_free(first);
}

void *must_not_allocate(size_t, const char *, int)
{
    ADD_FAILURE() << "the loader's allocator was installed";
    return nullptr;
}

void *loader_malloc(size_t num, const char *file, int line)
{
    return trap_malloc(num, file, line);
}

TEST_F(ModuleExports, MemoryFunctionsAreAdoptedOnlyFromAnotherLibcrypto)
{
    void *(*malloc_before)(size_t, const char *, int) = nullptr;
    CRYPTO_get_mem_functions(&malloc_before, nullptr, nullptr);
    dynamic_fns shared = fns_;
    shared.mem_fns.malloc_fn = must_not_allocate;
    ENGINE *e = ENGINE_new();
    EXPECT_EQ(bind_(e, "capi", &shared), 1);
    void *(*malloc_after)(size_t, const char *, int) = nullptr;
    CRYPTO_get_mem_functions(&malloc_after, nullptr, nullptr);
    EXPECT_EQ(malloc_after, malloc_before);
    ENGINE_free(e);

    // A loader with a libcrypto of its own hands over its allocator, which is adopted.
    static int other_state;
    dynamic_fns foreign = fns_;
    foreign.static_state = &other_state;
    foreign.mem_fns.malloc_fn = loader_malloc;
    e = ENGINE_new();
    EXPECT_EQ(bind_(e, "capi", &foreign), 1);
    CRYPTO_get_mem_functions(&malloc_after, nullptr, nullptr);
    EXPECT_EQ(malloc_after, loader_malloc);
    ENGINE_free(e);
    CRYPTO_set_mem_functions(trap_malloc, trap_realloc, trap_free);
}

TEST(Lifecycle, FinishWithoutInitSucceeds)
{
    Loaded l = load_module("capi");
    ASSERT_TRUE(l.loaded);
    ENGINE_GEN_INT_FUNC_PTR finish = ENGINE_get_finish_function(l.engine);
    ASSERT_NE(finish, nullptr);
    EXPECT_EQ(finish(l.engine), 1);
    EXPECT_EQ(ERR_peek_error(), 0ul);
    ENGINE_free(l.engine);
}

TEST(Lifecycle, CommandsNeedAnInitialisedEngine)
{
    capi_test::TempHome home;
    Loaded l = load_module("capi");
    ASSERT_TRUE(l.loaded);
    // Before the first init of any engine of the module, even listing is refused.
    EXPECT_EQ(ENGINE_ctrl_cmd_string(l.engine, "list_csps", nullptr, 0), 0);
    EXPECT_NE(capi_test::drain_errors().find(":CAPI_CTRL:engine not initialized:"),
              std::string::npos);

    ASSERT_EQ(ENGINE_init(l.engine), 1);
    EXPECT_EQ(ENGINE_ctrl_cmd_string(l.engine, "lookup_method", "2", 0), 1);
    ASSERT_EQ(ENGINE_finish(l.engine), 1);
    // After finish there is no context until the next init.
    EXPECT_EQ(ENGINE_ctrl_cmd_string(l.engine, "lookup_method", "2", 0), 0);
    EXPECT_NE(capi_test::drain_errors().find("engine not initialized"), std::string::npos);
    ASSERT_EQ(ENGINE_init(l.engine), 1);
    EXPECT_EQ(ENGINE_ctrl_cmd_string(l.engine, "lookup_method", "3", 0), 1);
    ENGINE_finish(l.engine);
    ENGINE_free(l.engine);
}

TEST(Errors, FailedInitShowsItsFunctionAndReason)
{
    Loaded l = load_module("capi");
    ASSERT_TRUE(l.loaded);
    failing_size = sizeof(capi_context);
    failures = 0;
    EXPECT_EQ(ENGINE_init(l.engine), 0);
    failing_size = 0;
    ASSERT_GT(failures, 0);
    const std::string printed = capi_test::drain_errors();
    // Both the context's failure and the init's are queued, in that order.
    const size_t ctx_new = printed.find(":CAPI_CTX_NEW:malloc failure:capi/e_capi.cpp:");
    const size_t init = printed.find(":CAPI_INIT:malloc failure:capi/e_capi.cpp:");
    EXPECT_NE(ctx_new, std::string::npos) << printed;
    EXPECT_NE(init, std::string::npos) << printed;
    EXPECT_LT(ctx_new, init);
    // No context was attached.
    EXPECT_EQ(ENGINE_ctrl_cmd_string(l.engine, "list_options", "1", 0), 0);
    ERR_clear_error();
    ENGINE_free(l.engine);
}

}  // namespace

int main(int argc, char **argv)
{
    // Must come before OpenSSL allocates anything.
    CRYPTO_set_mem_functions(trap_malloc, trap_realloc, trap_free);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
