// The network front end: a listener that speaks the PostgreSQL v3 protocol, so
// that psql and libpq programs are clients of the server.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "internal.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace qx {
namespace pg {

// How clients prove who they are: SCRAM-SHA-256 over TCP and the peer's account
// over a Unix socket, or no proof at all (trust: loopback only).
enum class AuthMethod { password, trust };

// What every connection needs to open its own session.
struct ServerSettings {
    std::string database;
    int argc = 0;
    char **argv = nullptr;
    char **envp = nullptr;
    AuthMethod auth = AuthMethod::password;
    SSL_CTX *tls = nullptr;   // null: encryption requests are declined
    std::string socket_dir;   // a Unix socket .s.PGSQL.PORT in it; empty for none
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
    bool local_socket = false;  // a Unix-domain socket client
    bool loopback = false;      // a TCP client on a loopback address
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
    // The session on that database, for its statement_timeout: its own thread only.
    qx_client *client = nullptr;

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

// Splits "[HOST:]PORT" (HOST an IP address, a bracketed IPv6 one, or localhost).
// *loopback tells whether HOST is a loopback address.
bool parse_listen_address(const std::string &text, std::string *host, int *port, bool *loopback,
                          std::string *why);

// Listens on the address (none when `host` is empty) and on the settings' Unix
// socket, named after `port`, until SIGINT or SIGTERM; returns the exit status.
int run_listener(const std::string &host, int port, const ServerSettings &settings);

}  // namespace pg
}  // namespace qx
