// One client connection's bytes, as a PostgreSQL-protocol client could send them:
// the start-up exchange, then messages. The connection is served over a socket pair
// against an in-memory database; a reader thread drains what the server sends.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "network/pg_listener.h"

namespace {

char program_name[] = "quendrix";
char *fuzz_argv[] = {program_name, nullptr};
char *fuzz_envp[] = {nullptr};

thread_local std::chrono::steady_clock::time_point statement_deadline;

// Statements may be as costly as SQL allows (a recursive query without end, a huge
// blob): bound each input's work so the fuzzer looks for faults, not slow SQL.
int stop_when_late(void *) { return std::chrono::steady_clock::now() > statement_deadline; }

int bound_connection(sqlite3 *db, const char **, const void *) {
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1 << 20);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);  // no files beside the in-memory database
    sqlite3_progress_handler(db, 1000, stop_when_late, nullptr);
    return SQLITE_OK;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(bound_connection));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    int server = fds[0], client = fds[1];

    std::thread reader([client, data, size] {
        // The client's bytes, then end of stream; everything the server says is read.
        size_t sent = 0;
        while (sent < size) {
            ssize_t n = send(client, data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        shutdown(client, SHUT_WR);
        char sink[4096];
        while (recv(client, sink, sizeof sink, 0) > 0) {
        }
    });

    qx::pg::ServerSettings settings;
    settings.database = ":memory:";
    settings.argc = 1;
    settings.argv = fuzz_argv;
    settings.envp = fuzz_envp;
    // A trusted loopback client: the inputs reach the message loop (the SCRAM
    // exchange has a fuzz target of its own).
    settings.auth = qx::pg::AuthMethod::trust;
    qx::pg::Connection connection;
    connection.fd = server;
    connection.loopback = true;
    connection.process_id = 1;
    connection.secret_key = 2;
    connection.settings = &settings;
    statement_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    qx::pg::serve_connection(&connection);

    shutdown(server, SHUT_RDWR);
    reader.join();
    close(server);
    close(client);
    return 0;
}
