// An engine bound and initialised in this process, on a fresh CryptoAPI state. Every
// test ends with all CryptoAPI handles released, each exactly once.
#ifndef CAPI_TESTS_ENGINE_FIXTURE_H
#define CAPI_TESTS_ENGINE_FIXTURE_H

#include "e_capi.h"
#include "fixture.h"

#include <cryptoapi_test.h>
#include <gtest/gtest.h>

#include <openssl/err.h>

#include <memory>
#include <string>

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        home_ = std::make_unique<capi_test::TempHome>();
        cryptoapi_test_reset();
        engine_ = ENGINE_new();
        ASSERT_EQ(capi_bind_if_id(engine_, "capi"), 1);
        ASSERT_EQ(ENGINE_init(engine_), 1);
        ctx_ = capi_engine_context(engine_);
        ASSERT_NE(ctx_, nullptr);
    }

    void TearDown() override
    {
        ENGINE_finish(engine_);
        ENGINE_free(engine_);
        const cryptoapi_handle_counts counts = cryptoapi_test_handle_counts();
        EXPECT_EQ(cryptoapi_test_open_handles(), 0)
            << "providers " << counts.providers << ", keys " << counts.keys << ", hashes "
            << counts.hashes << ", stores " << counts.stores << ", certificates "
            << counts.certificates;
        EXPECT_EQ(counts.double_releases, 0);
        cryptoapi_test_reset();
        ERR_clear_error();
    }

    const std::string &home() const { return home_->dir(); }

    // Text printed into a memory stream by `print`.
    template <typename F> static std::string capture(F print)
    {
        return capi_test::bio_text(print);
    }

    // Points the trace at a file in the state directory and returns its name.
    std::string trace_to_file(int level = 2)
    {
        const std::string file = home() + "/trace.log";
        ctx_->trace_level = level;
        OPENSSL_free(ctx_->trace_file);
        ctx_->trace_file = OPENSSL_strdup(file.c_str());
        return file;
    }

    std::unique_ptr<capi_test::TempHome> home_;
    ENGINE *engine_ = nullptr;
    capi_context *ctx_ = nullptr;
};

#endif
