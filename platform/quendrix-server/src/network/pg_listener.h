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
    // A client must finish its start-up exchange within this time.
    int startup_timeout_s = 60;
    // A client that sends nothing for this long between statements is
    // disconnected; 0 for never.
    int idle_session_timeout_s = 0;
};

// Why a connection's work is interrupted.
enum class InterruptReason : int { none = 0, cancel, client_gone, shutdown };

// One client connection, served by a thread of its own.
struct Connection {
    int fd = -1;
    int32_t process_id = 0;  // with secret_key: the BackendKeyData the client gets
    int32_t secret_key = 0;
    const ServerSettings *settings = nullptr;
    qx_thread *thread = nullptr;
    std::atomic<bool> finished{false};
    // True while the connection runs a query's statements: the listener then
    // watches the socket for the client's departure.
    std::atomic<bool> busy{false};
    // The connection's database while it is open; guarded by `lock`.
    std::mutex lock;
    sqlite3 *db = nullptr;

    // Stops the running statement at its next step, through a flag that SQLite's
    // progress handler reads (sqlite3_interrupt() would outlive the statement
    // while another one, an open cursor, is active on the connection), and keeps
    // further statements from starting. A cancel reaches only a running query and
    // ends with it; the client's departure and the server's stop last. Safe from
    // any thread.
    void interrupt(InterruptReason why);
    InterruptReason interrupted() const { return static_cast<InterruptReason>(reason.load()); }
    // Brackets a query's statements (see RunningStatement): a cancel that came
    // before or after them is forgotten.
    void begin_statement();
    void end_statement();

private:
    std::atomic<int> reason{0};
    bool running = false;  // guarded by `lock`
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
