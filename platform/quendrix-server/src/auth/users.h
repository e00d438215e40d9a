// The server's users, kept in the database: their numbers, administrator flags and
// SCRAM-SHA-256 verifiers, the statements that manage them, and what network
// clients that are not administrators may not do.
#pragma once

#include <cstddef>
#include <string>

#include "internal.h"

namespace qx {
namespace auth {

// The table that holds the users (verifiers included), and the catalogue view that
// shows everyone their names, numbers and flags only.
constexpr const char *kUsersTable = "DB.DBA.SYS_USER_AUTH";
constexpr const char *kUsersView = "DB.DBA.SYS_USERS";

struct User {
    std::string name;
    int number = 0;
    bool is_admin = false;
    std::string verifier;  // empty: no password
};

// Creates the users table when the database has none (a no-op on a read-only one).
bool ensure_users_table(sqlite3 *db, std::string *why);
// The catalogue view DB.DBA.SYS_USERS in the connection's temporary schema.
bool install_user_catalogue(sqlite3 *db, std::string *why);
// Looks a user up by name; false when there is none.
bool find_user(sqlite3 *db, const std::string &name, User *out);
// The same, telling "no such user" (absent, also when there is no users table yet)
// from a users table that cannot be read now (failed, *why says why).
enum class UserLookup { found, absent, failed };
UserLookup lookup_user(sqlite3 *db, const std::string &name, User *out, std::string *why);

// The length of the CREATE USER, ALTER USER or DROP USER statement at the start
// of `sql` (up to and with its ';'), or 0 when `sql` starts with another statement.
size_t user_statement_length(const char *sql);
// Runs one such statement for the client; *tag is its command tag ("CREATE ROLE").
bool run_user_statement(qx_client *client, const std::string &statement, std::string *tag,
                        SqlError *error);

// The authorizer check of network sessions: a client that is not an administrator
// may not attach or detach databases (nor VACUUM, which attaches one), load extensions, read
// the server's environment or command line, or touch the users table other than
// through the catalogue view. Privileged functions are refused inside triggers and
// views for every network client, since anyone may have written those.
void restrict_network_client(qx_client *client);

}  // namespace auth
}  // namespace qx
