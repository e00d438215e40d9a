// The real openssl tool driving the engine: loading, signing, decryption and commands.
#include "fixture.h"

#include <gtest/gtest.h>

namespace {

TEST(Tool, LoadsTheEngineById)
{
    capi_test::TempHome home;
    capi_test::RunResult r = capi_test::openssl({"engine", "-t", "-c", "capi"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(capi) CryptoAPI ENGINE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[ available ]"), std::string::npos) << r.out;
}

}  // namespace
