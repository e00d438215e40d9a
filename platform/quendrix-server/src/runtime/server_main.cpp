// The server's main entry: its command line, the start-up hook, and the statements
// of --execute texts and script files; standard input is the shell's (shell.cpp).
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

#include "auth/users.h"
#include "internal.h"
#include "network/pg_listener.h"
#include "network/tls.h"
#include "sql/row_security.h"

namespace {

constexpr const char *kVersion = "0.1.0";

std::mutex lifecycle_mutex;
std::string model_name = "Quendrix";
void (*startup_hook)(void) = nullptr;
bool hook_called = false;

struct Options {
    std::string database = "quendrix.db";
    // In command-line order: true for an --execute text, false for a script path.
    std::vector<std::pair<bool, std::string>> actions;
    bool interactive = false;
    std::string listen;  // [HOST:]PORT of the network listener
    std::string socket_dir;  // directory of the Unix socket; empty for none
    std::string auth = "scram-sha-256";
    std::string tls_cert, tls_key;
    bool headers = false;
    bool listen_given = false;
    std::string query_rewrite;  // the built-in that restricts other users' selects
    int startup_timeout_s = 60;
    int idle_session_timeout_s = 0;  // 0: idle clients stay
    bool help = false;
    bool version = false;
};

const char *program_name(int argc, char **argv) {
    return argc > 0 && argv[0] && *argv[0] ? argv[0] : "quendrix";
}

void print_usage(FILE *f, const char *prog) {
    std::fprintf(f,
                 "Usage: %s [--database FILE] [--execute SQL]... [SCRIPT.sql]... [--listen [HOST:]PORT]\n"
                 "       [--socket DIR] [--auth METHOD] [--tls-cert FILE --tls-key FILE]\n"
                 "       [--query-rewrite NAME] [--startup-timeout SECONDS]\n"
                 "       [--idle-session-timeout SECONDS]\n"
                 "Runs the Quendrix SQL server on FILE (default: quendrix.db in the current\n"
                 "directory, created when missing) and serves the statements of each --execute\n"
                 "text and each script, in the order given. With neither, statements are read\n"
                 "from standard input, interactively when it is a terminal.\n"
                 "\n"
                 "  -d, --database FILE   the database file (an SQLite file name or file: URI)\n"
                 "  -e, --execute SQL     run the statements in SQL\n"
                 "  -i, --interactive     read standard input interactively, with prompts,\n"
                 "                        and keep serving after errors\n"
                 "      --headers         show the column names above each result\n"
                 "  -l, --listen [HOST:]PORT  after the statements, serve PostgreSQL protocol\n"
                 "                        clients (psql, libpq) on an address (default\n"
                 "                        127.0.0.1; port 0 picks a free one) until SIGINT or\n"
                 "                        SIGTERM; other than loopback only with TLS and passwords\n"
                 "      --socket DIR      also serve on the Unix socket DIR/.s.PGSQL.PORT (PORT\n"
                 "                        that of --listen, else 5432); clients log in as their\n"
                 "                        own account (the server's account is the administrator)\n"
                 "      --auth METHOD     scram-sha-256 (default: users' passwords over TCP) or\n"
                 "                        trust (no passwords; loopback addresses only)\n"
                 "      --tls-cert FILE   the server's certificate chain (PEM) for TLS\n"
                 "      --tls-key FILE    its private key (PEM)\n"
                 "  --query-rewrite NAME  give every select query of a user who is no\n"
                 "                        administrator to the built-in NAME (as NAME(user\n"
                 "                        number, query tree)) before it runs, and refuse that\n"
                 "                        user any other read of report tables\n"
                 "      --startup-timeout SECONDS  a network client must log in within this\n"
                 "                        time or is disconnected (default 60)\n"
                 "      --idle-session-timeout SECONDS  disconnect a network client that sends\n"
                 "                        nothing for this long between statements (default 0:\n"
                 "                        never)\n"
                 "  -h, --help            show this help\n"
                 "  -V, --version         show the version\n"
                 "\n"
                 "Rows are printed one per line, columns separated by '|', SQL NULL as NULL.\n"
                 "Errors are printed as '*** Error SQLSTATE: message' on standard error; in batch\n"
                 "mode the first error stops the run and the exit status is 1. A command-line\n"
                 "error gives exit status 2.\n",
                 prog);
}

// Parses the command line; false (with a message printed) on a usage error.
bool parse(int argc, char **argv, Options *o) {
    const char *prog = program_name(argc, argv);
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i] ? argv[i] : "";
        if (options_done || a.empty() || a[0] != '-' || a == "-") {
            o->actions.emplace_back(false, a);
            continue;
        }
        std::string name = a, value;
        bool has_value = false;
        size_t eq = a.find('=');
        if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            has_value = true;
        }
        auto take_value = [&]() -> bool {
            if (has_value) return true;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: option '%s' needs a value\n", prog, name.c_str());
                return false;
            }
            value = argv[++i];
            return true;
        };
        if (name == "--") {
            options_done = true;
        } else if (name == "--database" || name == "-d") {
            if (!take_value()) return false;
            o->database = value;
        } else if (name == "--execute" || name == "-e") {
            if (!take_value()) return false;
            o->actions.emplace_back(true, value);
        } else if (name == "--listen" || name == "-l") {
            if (!take_value()) return false;
            o->listen = value;
            o->listen_given = true;
        } else if (name == "--socket" || name == "--auth" || name == "--tls-cert" ||
                   name == "--tls-key") {
            if (!take_value()) return false;
            std::string &field = name == "--socket" ? o->socket_dir
                                 : name == "--auth" ? o->auth
                                 : name == "--tls-cert" ? o->tls_cert
                                                        : o->tls_key;
            field = value;
        } else if (name == "--query-rewrite") {
            if (!take_value()) return false;
            if (value.empty()) {
                std::fprintf(stderr, "%s: option '--query-rewrite' needs a built-in's name\n", prog);
                return false;
            }
            o->query_rewrite = value;
        } else if (name == "--startup-timeout" || name == "--idle-session-timeout") {
            if (!take_value()) return false;
            bool startup = name == "--startup-timeout";
            char *end = nullptr;
            errno = 0;
            long seconds = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || errno || seconds < (startup ? 1 : 0) || seconds > 86400) {
                std::fprintf(stderr, "%s: option '%s' takes a number of seconds from %d to 86400\n",
                             prog, name.c_str(), startup ? 1 : 0);
                return false;
            }
            (startup ? o->startup_timeout_s : o->idle_session_timeout_s) = static_cast<int>(seconds);
        } else if (name == "--interactive" || name == "-i") {
            o->interactive = true;
        } else if (name == "--headers") {
            o->headers = true;
        } else if (name == "--help" || name == "-h") {
            o->help = true;
        } else if (name == "--version" || name == "-V") {
            o->version = true;
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\nTry '%s --help' for more information.\n",
                         prog, a.c_str(), prog);
            return false;
        }
        if (has_value && name != "--database" && name != "--execute" && name != "--listen" &&
            name != "--socket" && name != "--auth" && name != "--tls-cert" && name != "--tls-key" &&
            name != "--query-rewrite" && name != "--startup-timeout" &&
            name != "--idle-session-timeout") {
            std::fprintf(stderr, "%s: option '%s' takes no value\n", prog, name.c_str());
            return false;
        }
    }
    return true;
}

void run_startup_hook() {
    void (*hook)(void) = nullptr;
    {
        std::lock_guard<std::mutex> lock(lifecycle_mutex);
        if (hook_called) return;
        hook_called = true;
        hook = startup_hook;
    }
    if (hook) hook();
}

bool read_file(const std::string &path, std::string *text, std::string *why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = std::strerror(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) {
        *why = "read error";
        return false;
    }
    *text = s.str();
    return true;
}

}  // namespace

extern "C" {

void qx_set_model_name(const char *name) {
    std::lock_guard<std::mutex> lock(lifecycle_mutex);
    model_name = name ? name : "";
}

const char *qx_model_name(void) {
    std::lock_guard<std::mutex> lock(lifecycle_mutex);
    return model_name.c_str();
}

void qx_set_startup_hook(void (*hook)(void)) {
    std::lock_guard<std::mutex> lock(lifecycle_mutex);
    startup_hook = hook;
}

int qx_server_main(int argc, char **argv, char **envp) {
    // SQLite's memory statistics take one process-wide mutex on every allocation, on
    // which the connections' threads would queue; nothing here reads them.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    const char *prog = program_name(argc, argv);
    Options opts;
    if (!parse(argc, argv, &opts)) return 2;
    if (opts.help) {
        print_usage(stdout, prog);
        return 0;
    }
    if (opts.version) {
        std::printf("Quendrix server %s, model %s, SQLite %s\n", kVersion, qx_model_name(),
                    sqlite3_libversion());
        return 0;
    }
    std::string listen_host, why;
    int listen_port = 5432;  // names the Unix socket when there is no --listen
    bool loopback = true;
    // An empty address is an error too: it must not fall back to the shell.
    if (opts.listen_given &&
        !qx::pg::parse_listen_address(opts.listen, &listen_host, &listen_port, &loopback, &why)) {
        std::fprintf(stderr, "%s: --listen %s: %s\n", prog, opts.listen.c_str(), why.c_str());
        return 2;
    }
    if (opts.auth != "scram-sha-256" && opts.auth != "trust") {
        std::fprintf(stderr, "%s: --auth %s: the method must be scram-sha-256 or trust\n", prog,
                     opts.auth.c_str());
        return 2;
    }
    if (opts.tls_cert.empty() != opts.tls_key.empty()) {
        std::fprintf(stderr, "%s: --tls-cert and --tls-key go together\n", prog);
        return 2;
    }
    if (!loopback && (opts.tls_cert.empty() || opts.auth == "trust")) {
        std::fprintf(stderr,
                     "%s: --listen %s: only loopback addresses (127.0.0.0/8, ::1, localhost) can be "
                     "served without TLS and password authentication: give --tls-cert and "
                     "--tls-key, and no --auth trust\n",
                     prog, opts.listen.c_str());
        return 2;
    }
    bool serving = opts.listen_given || !opts.socket_dir.empty();
    qx::pg::ServerSettings settings;
    settings.database = opts.database;
    settings.argc = argc;
    settings.argv = argv;
    settings.envp = envp;
    settings.auth = opts.auth == "trust" ? qx::pg::AuthMethod::trust : qx::pg::AuthMethod::password;
    settings.socket_dir = opts.socket_dir;
    settings.startup_timeout_s = opts.startup_timeout_s;
    settings.idle_session_timeout_s = opts.idle_session_timeout_s;
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX *)> tls(nullptr, qx::pg::free_tls_context);
    if (serving && !opts.tls_cert.empty()) {
        tls.reset(qx::pg::make_tls_context(opts.tls_cert, opts.tls_key, &why));
        if (!tls) {
            qx::print_error(stderr, {"58030", "", "TLS: " + why});
            return 1;
        }
        settings.tls = tls.get();
    }
    qx::apply_test_faults(envp);
    run_startup_hook();
    if (!opts.query_rewrite.empty()) {
        if (!qx_bif_find(opts.query_rewrite.c_str())) {
            std::fprintf(stderr, "%s: --query-rewrite %s: no built-in of that name\n", prog,
                         opts.query_rewrite.c_str());
            return 2;
        }
        qx::set_query_rewrite(opts.query_rewrite);
    }

    qx::Session session;
    qx::SqlError error;
    if (!session.open(opts.database, &error)) {
        qx::print_error(stderr, error);
        return 1;
    }
    qx::install_server_functions(session.db(), argc, argv, envp);
    session.set_headers(opts.headers);

    if (opts.actions.empty() && !serving) return qx::serve_stdin(session, opts.interactive);
    for (const auto &action : opts.actions) {
        std::string sql = action.second, why;
        if (!action.first && !read_file(action.second, &sql, &why)) {
            qx::print_error(stderr, {"58030", "", "cannot read script \"" + action.second +
                                                      "\": " + why});
            return 1;
        }
        if (!session.execute(sql, stdout, stderr)) return 1;
    }
    if (!serving) return 0;
    if (!qx::auth::ensure_users_table(session.db(), &why)) {
        qx::print_error(stderr, {"58030", "", "cannot create the users table: " + why});
        return 1;
    }
    // Clients of the listener read and write at once: in write-ahead-log mode a
    // reader neither blocks a writer nor waits for one, and a read transaction
    // takes no file lock of its own. A database that cannot change mode (in a
    // folder the server may not write, say) is served as it is.
    sqlite3_exec(session.db(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    return qx::pg::run_listener(listen_host, listen_port, settings);
}

}  // extern "C"
