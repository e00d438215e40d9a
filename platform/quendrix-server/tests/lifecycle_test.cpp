// The server's main entry: the start-up hook runs once, before any SQL is served,
// and the server works from the arguments and environment it is given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "quendrix/server.h"

namespace {

int hook_calls = 0;

qx_value answer(qx_state *, qx_value *, qx_value *) { return qx_box_int64(42); }

void hook() {
    ++hook_calls;
    qx_bif_define("hooked_answer", answer);
}

int run(std::vector<std::string> args, std::vector<std::string> env, std::string *out) {
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (auto &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    testing::internal::CaptureStdout();
    int rc = qx_server_main(static_cast<int>(args.size()), argv.data(), envp.data());
    *out = testing::internal::GetCapturedStdout();
    return rc;
}

TEST(Lifecycle, HookRunsOnceBeforeSqlAndTheGivenEnvironmentIsUsed) {
    char dir[] = "/tmp/qx-lifecycle-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string db = std::string(dir) + "/t.db";
    qx_set_model_name("Model Under Test");
    qx_set_startup_hook(hook);

    std::string out;
    EXPECT_EQ(run({"srv", "--database", db, "--execute",
                   "select hooked_answer(), server_model(), server_env('ONLY_HERE')"},
                  {"ONLY_HERE=yes"}, &out),
              0);
    EXPECT_EQ(out, "42|Model Under Test|yes\n");
    EXPECT_EQ(hook_calls, 1);

    EXPECT_EQ(run({"srv", "--database", db, "--execute", "select hooked_answer()"}, {}, &out), 0);
    EXPECT_EQ(out, "42\n");
    EXPECT_EQ(hook_calls, 1);

    // Help and version answer without starting the server.
    EXPECT_EQ(run({"srv", "--version"}, {}, &out), 0);
    EXPECT_NE(out.find("Model Under Test"), std::string::npos);
    EXPECT_EQ(run({"srv", "--execute"}, {}, &out), 2);

    unlink(db.c_str());
    rmdir(dir);
}

}  // namespace
