// One client connection's bytes, as a PostgreSQL-protocol client could send them:
// the start-up exchange, then messages. The connection is served over a socket pair
// against an in-memory database; a reader thread drains what the server sends.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "network/cancel.h"
#include "network/pg_listener.h"

namespace {

char program_name[] = "quendrix";
char *fuzz_argv[] = {program_name, nullptr};
char *fuzz_envp[] = {nullptr};

int bound_connection(sqlite3 *db, const char **, const void *) {
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1 << 20);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);  // no files beside the in-memory database
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
    // Statements may be as costly as SQL allows (a recursive query without end):
    // past a second, every statement is cancelled as a client's CancelRequest
    // would, so the fuzzer looks for faults, not slow SQL.
    qx::pg::register_for_cancel(&connection);
    std::atomic<bool> served{false};
    std::thread watchdog([&served] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!served) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (std::chrono::steady_clock::now() > deadline) qx::pg::cancel_request(1, 2);
        }
    });
    qx::pg::serve_connection(&connection);
    served = true;
    watchdog.join();
    qx::pg::unregister_for_cancel(&connection);

    shutdown(server, SHUT_RDWR);
    reader.join();
    close(server);
    close(client);
    return 0;
}
