// statement_timeout: a statement that runs longer than the session's setting is stopped
// with 57014, as a cancel stops it. The deadline is checked in SQLite's progress handler,
// on the thread that runs the statement, and costs nothing while no timeout is set.
#pragma once

struct qx_client;
struct sqlite3;

namespace qx {

// Starts the clock for the statement about to run (none when the setting is 0), and
// gives SQLite the session's lock_timeout.
void arm_statement_timeout(qx_client *client);
// Stops it: what runs next (a client's own pause in a cursor) is not timed.
void disarm_statement_timeout(qx_client *client);
// Whether the running statement is past its deadline; once it is, it stays so until the
// clock is armed again.
bool statement_timed_out(qx_client *client);
// For a database whose progress handler nothing else installs (the shell's): stops a
// statement at its deadline.
void watch_statement_timeout(qx_client *client);

constexpr const char *kStatementTimeoutMessage = "canceling statement due to statement timeout";

}  // namespace qx
