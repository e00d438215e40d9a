// Interrupting a connection's statements: by a CancelRequest from a client that
// holds the connection's BackendKeyData, when the client leaves, when the server
// stops. All go through Connection::interrupt and one progress handler.
#pragma once

#include <cstdint>

#include "network/pg_listener.h"

namespace qx {
namespace pg {

// Connections that a CancelRequest can reach, from their start to their end.
void register_for_cancel(Connection *c);
void unregister_for_cancel(Connection *c);

// Lets an interrupt stop the statements of the connection's database: SQLite's
// progress handler reads the connection's interrupt reason, and the session's
// statement_timeout. The connection's only progress handler; unwatch before the
// database closes.
void watch_for_interrupt(Connection *c, qx_client *client);
void unwatch_for_interrupt(sqlite3 *db);

// Interrupts the statement that runs on the connection with this key, if any
// (nothing when the key matches none or the connection is idle, as the
// requester gets no answer either way).
void cancel_request(int32_t process_id, int32_t secret_key);

// Marks a connection as running a query while it lives: a cancel reaches it
// only meanwhile, and the listener watches its socket for the client leaving.
class RunningStatement {
public:
    explicit RunningStatement(Connection *c);
    ~RunningStatement();
    RunningStatement(const RunningStatement &) = delete;
    RunningStatement &operator=(const RunningStatement &) = delete;

private:
    Connection *c_;
};

// Whether the query that runs now was cancelled by a CancelRequest.
inline bool cancelled(const Connection *c) { return c->interrupted() == InterruptReason::cancel; }

}  // namespace pg
}  // namespace qx
