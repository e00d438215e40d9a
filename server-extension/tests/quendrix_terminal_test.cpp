// quendrix on a real terminal: a prompt, line editing, errors that do not end
// the session, and Ctrl-D to leave. Also what the program links against.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "run_program.h"

namespace {

class Terminal {
public:
    explicit Terminal(const std::string &db) {
        pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            // The line editor reads the terminal type and the user's key bindings.
            setenv("TERM", "xterm", 1);
            setenv("INPUTRC", "/dev/null", 1);
            execl(QUENDRIX_PATH, "quendrix", "--database", db.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Terminal() {
        if (fd_ >= 0) close(fd_);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void type(const std::string &keys) { ASSERT_EQ(write(fd_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
    // Reads until `text` has appeared in what the terminal shows (10 s at most).
    bool wait_for(const std::string &text,
                  std::chrono::milliseconds within = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + within;
        while (screen_.find(text, seen_) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return false;
            screen_.append(buf, static_cast<size_t>(n));
        }
        seen_ = screen_.find(text, seen_) + text.size();
        return true;
    }
    // Sends Ctrl-C every 200 ms until `text` appears (10 s at most): a statement
    // just typed may not have started when the first one arrives.
    bool interrupt_until(const std::string &text) {
        for (int i = 0; i < 50; ++i) {
            type("\x03");
            if (wait_for(text, std::chrono::milliseconds(200))) return true;
        }
        return false;
    }
    // What the terminal shows until the program closes it.
    std::string rest() {
        wait_for("\x01never shown", std::chrono::seconds(10));
        return screen_.substr(seen_);
    }
    // The exit status once the program has ended (10 s at most; -1 if it has not).
    int exit_status() {
        int status = 0;
        for (int i = 0; i < 1000 && !exited_; ++i) {
            exited_ = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!exited_) usleep(10000);
        }
        return exited_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string &screen() const { return screen_; }

private:
    int fd_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string screen_;
    size_t seen_ = 0;
};

TEST(QuendrixTerminal, PromptsEditsAndKeepsServing) {
    TempDir dir;
    Terminal t(dir.file("t.db"));
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    t.type("select nope();\r");
    ASSERT_TRUE(t.wait_for("*** Error 42000: no such function: nope")) << t.screen();
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    // Backspace through line editing: "select 6*9" becomes "select 6*7".
    t.type("select 6*9\x7f" "7;\r");
    ASSERT_TRUE(t.wait_for("42")) << t.screen();
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    t.type("\x04");  // Ctrl-D
    EXPECT_EQ(t.exit_status(), 0);
}

TEST(QuendrixTerminal, CtrlCCancelsOrDropsTheStatementAndCtrlDDropsAHalfTypedOne) {
    TempDir dir;
    Terminal t(dir.file("t.db"));
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    // At the prompt: the line being typed goes, and so does the statement's first line.
    t.type("select 'dropped' ||\r");
    ASSERT_TRUE(t.wait_for("    ...> ")) << t.screen();
    t.type("'too'");
    t.type("\x03");
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    t.type("select 6 * 7;\r");
    ASSERT_TRUE(t.wait_for("42\r\n")) << t.screen();
    EXPECT_EQ(t.screen().find("droppedtoo"), std::string::npos) << t.screen();

    // A statement that would never end is cancelled, and the shell goes on. (Keys
    // typed before the prompt shows would be echoed by the terminal itself, and
    // dropped with the rest of its input at the first Ctrl-C.)
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    t.type("with recursive c(x) as (select 1 union all select x + 1 from c) "
           "select count(*) from c;\r");
    ASSERT_TRUE(t.wait_for("from c;\r\n")) << t.screen();
    ASSERT_TRUE(t.interrupt_until("*** Error 57014: canceling statement due to user request"))
        << t.screen();
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    t.type("select 'still here';\r");
    ASSERT_TRUE(t.wait_for("still here\r\n")) << t.screen();

    // Ctrl-D in the middle of a statement ends the shell without running it.
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    t.type("select 'half' || 'typed'\r");
    ASSERT_TRUE(t.wait_for("    ...> ")) << t.screen();
    t.type("\x04");
    EXPECT_EQ(t.rest().find("halftyped"), std::string::npos) << t.screen();
    EXPECT_EQ(t.exit_status(), 0);
}

// A Ctrl-C right behind a key empties the terminal's input, maybe after the shell saw
// that a key was waiting and before it read it: the shell must not then wait for a key
// that is gone, with the Ctrl-C held back until one comes; nor may another thread of
// the process take the Ctrl-C while the shell's thread holds it back.
TEST(QuendrixTerminal, CtrlCRightBehindAKeyAlwaysDropsTheLine) {
    TempDir dir;
    Terminal t(dir.file("t.db"));
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    // call_srv starts a worker thread: the Ctrl-C must still reach the shell's thread.
    t.type("select call_srv(2, 3);\r");
    ASSERT_TRUE(t.wait_for("5\r\n")) << t.screen();
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    for (int i = 0; i < 1000; ++i) {
        t.type("x");
        t.type("\x03");
        ASSERT_TRUE(t.wait_for("quendrix> ", std::chrono::seconds(5)))
            << "round " << i << ", the screen ends: " << t.screen().substr(t.screen().size() - 200);
    }
    t.type("select 6 * 7;\r");
    ASSERT_TRUE(t.wait_for("42\r\n")) << t.screen();
    ASSERT_TRUE(t.wait_for("quendrix> ")) << t.screen();
    t.type("\x04");
    EXPECT_EQ(t.exit_status(), 0);
}

TEST(QuendrixLinkage, OnlyTheServerLibraryAndTheRuntime) {
    FILE *p = popen("readelf -d '" QUENDRIX_PATH "'", "r");
    ASSERT_NE(p, nullptr);
    std::string needed;
    char line[512];
    bool has_server = false;
    while (fgets(line, sizeof line, p)) {
        std::string l = line;
        if (l.find("(NEEDED)") == std::string::npos) continue;
        std::string lib = l.substr(l.find('[') + 1);
        lib = lib.substr(0, lib.find(']'));
        has_server = has_server || lib == "libquendrix-t.so";
        bool allowed = lib == "libquendrix-t.so" || lib.rfind("libstdc++.so", 0) == 0 ||
                       lib.rfind("libm.so", 0) == 0 || lib.rfind("libgcc_s.so", 0) == 0 ||
                       lib.rfind("libc.so", 0) == 0 ||
                       lib.find("san.so") != std::string::npos;  // sanitizer builds
        EXPECT_TRUE(allowed) << lib;
    }
    EXPECT_EQ(pclose(p), 0);
    EXPECT_TRUE(has_server);
}

}  // namespace
