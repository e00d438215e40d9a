// PostgreSQL's statements that SQLite's grammar lacks and that clients send on their
// own: those that start a transaction or set its modes (START TRANSACTION, BEGIN
// ISOLATION LEVEL ... READ ONLY, SET TRANSACTION, SET SESSION CHARACTERISTICS AS
// TRANSACTION, ABORT, COMMIT WORK), which drivers send for their read-only and
// isolation settings, and SET, RESET and SHOW of the session's settings (drivers set
// some on every connection; psql's \password asks for password_encryption). Each is
// compiled as a SQLite statement; the text of one that sets something carries what it
// sets, for the network session's transaction block to apply when it runs. Every
// isolation level is taken: SQLite's transactions are serializable, which each level
// allows.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "sql/session_settings.h"

namespace qx {

// If `sql` (after blanks) is such a statement: the SQLite text to compile instead and
// the length of the statement in `sql` (through its ';'); 0 when it is none (SQLite's
// own BEGIN, COMMIT and ROLLBACK stay as they are). A malformed one gives 0 with
// *error set (42601), as does SET or SHOW of a setting there is none of (42704) or
// that cannot be set.
size_t translate_postgres_statement(const char *sql, const SessionSettings &settings, std::string *sqlite_text,
                                    SqlError *error);

// Whether a compiled statement is a SHOW (its command tag is SHOW).
bool is_show_statement(sqlite3_stmt *stmt);

// What the compiled text of a statement asks of the transaction block.
struct TransactionRequest {
    enum Kind {
        none, begin, set_transaction, set_session, set_parameter, reset_all, reset_nothing,
        discard,     // DISCARD ALL | PLANS | SEQUENCES | TEMP: `name` says which
        deallocate,  // DEALLOCATE name (`name`), or ALL (`name` empty)
    } kind = none;
    int read_only = -1;  // 1 READ ONLY, 0 READ WRITE, -1 not given
    // set_parameter: SET [LOCAL] name = value, or to its default (`reset`: by RESET name).
    std::string name, value;
    bool local = false, to_default = false, reset = false;
};
TransactionRequest transaction_request(const char *compiled_text);

// SAVEPOINT name, RELEASE [SAVEPOINT] name, ROLLBACK [WORK | TRANSACTION] TO [SAVEPOINT]
// name: which, and the savepoint's name (a quoted one without its quotes).
struct SavepointCommand {
    enum Kind { none, savepoint, release, rollback_to } kind = none;
    std::string name;
    size_t length = 0;  // of the statement in `sql`, through its ';'
};
SavepointCommand savepoint_command(const char *sql);

// DISCARD TEMP: drops the session's temporary tables, views and triggers (the server's
// own views are made again).
bool drop_temporary_objects(qx_client *client, SqlError *error);

// Runs a DISCARD or DEALLOCATE where there are no prepared statements of the protocol
// (the shell): DISCARD ALL resets the settings and drops the temporary objects, DEALLOCATE
// of a name fails. *tag is the command tag.
bool run_session_command(qx_client *client, const TransactionRequest &request, SqlError *error, std::string *tag);

// The command tag of a DISCARD or DEALLOCATE.
std::string session_command_tag(const TransactionRequest &request);

// Applies a SET or RESET of a setting (set_parameter, reset_all, reset_nothing) to
// `settings`: false with *error for a value the setting cannot take, else *tag is the
// statement's command tag.
bool apply_setting_request(SessionSettings *settings, const TransactionRequest &request, bool in_block,
                           SqlError *error, std::string *tag);

}  // namespace qx
