// The network front end: a listener that speaks the PostgreSQL v3 protocol, so
// that psql and libpq programs are clients of the server.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "internal.h"

namespace qx {
namespace pg {

// What every connection needs to open its own session.
struct ServerSettings {
    std::string database;
    int argc = 0;
    char **argv = nullptr;
    char **envp = nullptr;
};

// One client connection, served by a thread of its own.
struct Connection {
    int fd = -1;
    int32_t process_id = 0;  // with secret_key: the BackendKeyData the client gets
    int32_t secret_key = 0;
    const ServerSettings *settings = nullptr;
    qx_thread *thread = nullptr;
    std::atomic<bool> finished{false};
    // The connection's database while it is open, for the listener to interrupt a
    // running statement at shutdown; guarded by `lock`.
    std::mutex lock;
    sqlite3 *db = nullptr;
    // A statement runs (guarded by `lock`), and a CancelRequest asked to stop it
    // (set under `lock`, read by SQLite's progress handler without it).
    bool running = false;
    std::atomic<bool> cancel_requested{false};
};

// Serves one client until it leaves, breaks the protocol or the server stops.
// Closes nothing: the listener owns the socket.
void serve_connection(Connection *c);

// Splits "[HOST:]PORT" (HOST may be a bracketed IPv6 address). Only loopback
// hosts are accepted: clients are trusted without a password.
bool parse_listen_address(const std::string &text, std::string *host, int *port,
                          std::string *why);

// Listens on the address until SIGINT or SIGTERM; returns the exit status.
int run_listener(const std::string &host, int port, const ServerSettings &settings);

}  // namespace pg
}  // namespace qx
