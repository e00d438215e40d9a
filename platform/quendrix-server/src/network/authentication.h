// Who a network client is: the authentication exchange of the start-up phase.
#pragma once

#include <string>

#include "internal.h"
#include "network/pg_listener.h"
#include "network/transport.h"

namespace qx {
namespace pg {

// The session user a client authenticated as.
struct Identity {
    int user_number = 0;  // 0: the local administrator
    bool is_admin = true;
};

// Authenticates the client that asked to log in as `user`, by the method of the
// connection: trust, peer (Unix socket) or SCRAM-SHA-256 (TCP). Users are looked
// up on `db`. False when the client may not log in: *refusal then holds the FATAL
// error to send (28P01 for a wrong password, 28000 otherwise, 08P01 for a broken
// exchange), or an empty state when the client left during the exchange or did
// not finish it before `deadline` (the end of the start-up phase).
bool authenticate(Transport &io, const Connection &c, sqlite3 *db, const std::string &user,
                  Transport::Clock::time_point deadline, Identity *who, SqlError *refusal);

}  // namespace pg
}  // namespace qx
