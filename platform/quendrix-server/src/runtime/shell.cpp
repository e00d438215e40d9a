// The shell on standard input: statements and shell commands read line by line,
// in batch (piped input: the first error ends the run) or interactively (a prompt,
// line editing and history on a terminal; errors are reported and the shell goes
// on). Interactively, Ctrl-C cancels the running statement or, at the prompt,
// drops what has been typed of the statement; Ctrl-D at the prompt ends the shell.
#include <fcntl.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <sqlite3.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>

#include "internal.h"

namespace {

constexpr const char *kVersion = "0.1.0";

volatile std::sig_atomic_t interrupted = 0;
// The connection whose statement is running, for the handler to interrupt.
std::atomic<sqlite3 *> running_db{nullptr};
static_assert(std::atomic<sqlite3 *>::is_always_lock_free, "the signal handler reads it");

void on_interrupt(int) {
    interrupted = 1;
    if (sqlite3 *db = running_db.load()) sqlite3_interrupt(db);
}

// While the shell reads a terminal, SIGINT must break the read (no SA_RESTART)
// so that the line can be dropped; while a statement runs, output must not be
// cut short by it.
void handle_interrupts(bool break_reads) {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = break_reads ? 0 : SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
}

bool line_dropped = false;

// Readline's source of keys: a Ctrl-C while reading (or while readline works on
// the keys before) empties the line and ends it. SIGINT stays blocked but for the
// wait itself, so that no Ctrl-C slips in between checking the flag and waiting.
int read_key(FILE *in) {
    int fd = fileno(in);
    sigset_t sigint, outside, waiting;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    sigprocmask(SIG_BLOCK, &sigint, &outside);
    waiting = outside;
    sigdelset(&waiting, SIGINT);
    int key = EOF;
    for (;;) {
        if (interrupted) {
            interrupted = 0;
            line_dropped = true;
            rl_replace_line("", 0);
            key = '\n';
            break;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        int ready = pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &waiting);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        // A Ctrl-C that comes between the wait and the read empties the terminal's input
        // while its signal waits blocked: the read must not wait for a key then.
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        unsigned char c;
        ssize_t n = read(fd, &c, 1);
        int read_error = errno;
        if (flags >= 0) fcntl(fd, F_SETFL, flags);
        if (n == 1) key = c;
        if (n < 0 && (read_error == EAGAIN || read_error == EWOULDBLOCK || read_error == EINTR)) continue;
        break;
    }
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    return key;
}

bool blank(const std::string &s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

// Reads one line; false at the end of input.
bool read_line(bool interactive, bool terminal, const char *prompt, std::string *line) {
    if (terminal) {
        handle_interrupts(true);
        char *l = readline(prompt);
        handle_interrupts(false);
        if (!l) return false;
        *line = l;
        if (!blank(*line)) add_history(l);
        std::free(l);
        return true;
    }
    if (interactive) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
    }
    return static_cast<bool>(std::getline(std::cin, *line));
}

bool is_shell_command(const std::string &line) {
    size_t i = line.find_first_not_of(" \t");
    return i != std::string::npos && line[i] == '.';
}

}  // namespace

namespace qx {

int serve_stdin(Session &session, bool interactive) {
    bool terminal = isatty(STDIN_FILENO);
    interactive = interactive || terminal;
    if (interactive) {
        std::printf("Quendrix server %s, model %s. Statements end with ';'. Ctrl-D quits, "
                    ".help lists the shell's commands.\n",
                    kVersion, qx_model_name());
        rl_catch_signals = 0;  // the shell handles SIGINT itself
        rl_getc_function = read_key;
        handle_interrupts(false);
        session.set_cancel_flag(&interrupted);
    }
    std::string buffer, line;
    while (read_line(interactive, terminal, buffer.empty() ? "quendrix> " : "    ...> ", &line)) {
        if (line_dropped) {  // Ctrl-C at the prompt: the statement typed so far goes
            line_dropped = false;
            buffer.clear();
            continue;
        }
        if (buffer.empty() && is_shell_command(line)) {
            bool quit = false;
            bool ok = run_shell_command(session, line, stdout, stderr, &quit);
            if (quit) break;
            if (!ok && !interactive) return 1;
            continue;
        }
        buffer += line;
        buffer += '\n';
        if (!sqlite3_complete(buffer.c_str())) continue;
        interrupted = 0;
        running_db = session.db();
        bool ok = session.execute(buffer, stdout, stderr);
        running_db = nullptr;
        interrupted = 0;
        buffer.clear();
        if (!ok && !interactive) return 1;
    }
    // A last statement without its ';' runs from piped input; interactively, input
    // that ends in the middle of a statement drops it.
    if (!interactive && !blank(buffer) && !session.execute(buffer, stdout, stderr)) return 1;
    if (interactive && terminal) std::putchar('\n');
    return 0;
}

}  // namespace qx
