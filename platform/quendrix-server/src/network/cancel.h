// CancelRequest: a client that holds a connection's BackendKeyData interrupts
// the statement running there, from a connection of its own.
#pragma once

#include <cstdint>

#include "network/pg_listener.h"

namespace qx {
namespace pg {

// Connections that a CancelRequest can reach, from their start to their end.
void register_for_cancel(Connection *c);
void unregister_for_cancel(Connection *c);

// Lets a cancellation stop the statements of the connection's database. It is
// a flag that SQLite's progress handler reads, not sqlite3_interrupt(), whose
// interruption outlives the statement while another one (an open cursor) is
// active on the connection.
void watch_for_cancel(Connection *c, sqlite3 *db);

// Interrupts the statement that runs on the connection with this key, if any
// (nothing when the key matches none or the connection is idle, as the
// requester gets no answer either way).
void cancel_request(int32_t process_id, int32_t secret_key);

// Marks a connection as running a statement while it lives; a cancellation that
// arrives meanwhile is reported by cancelled().
class RunningStatement {
public:
    explicit RunningStatement(Connection *c);
    ~RunningStatement();
    RunningStatement(const RunningStatement &) = delete;
    RunningStatement &operator=(const RunningStatement &) = delete;

private:
    Connection *c_;
};

// Whether the statement that runs now was cancelled by a CancelRequest.
bool cancelled(Connection *c);

}  // namespace pg
}  // namespace qx
