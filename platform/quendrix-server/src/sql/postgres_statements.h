// PostgreSQL's statements that SQLite's grammar lacks and that clients send on their
// own: those that start a transaction or set its modes (START TRANSACTION, BEGIN
// ISOLATION LEVEL ... READ ONLY, SET TRANSACTION, SET SESSION CHARACTERISTICS AS
// TRANSACTION, ABORT, COMMIT WORK), which drivers send for their read-only and
// isolation settings, and SHOW of a setting (psql's \password asks for
// password_encryption). Each is compiled as a SQLite statement; a transaction
// statement's text carries the read/write mode for the network session's transaction
// block to apply. Every isolation level is taken: SQLite's transactions are
// serializable, which each level allows.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"

namespace qx {

// The settings that are the same for every session, as ParameterStatus reports them
// and SHOW shows them.
const std::vector<std::pair<std::string, std::string>> &fixed_settings();

// If `sql` (after blanks) is such a statement: the SQLite text to compile instead and
// the length of the statement in `sql` (through its ';'); 0 when it is none (SQLite's
// own BEGIN, COMMIT and ROLLBACK stay as they are). A malformed one gives 0 with
// *error set (42601), as does SHOW of a setting there is none of (42704).
// `is_admin` is the session's (SHOW is_superuser).
size_t translate_postgres_statement(const char *sql, bool is_admin, std::string *sqlite_text,
                                    SqlError *error);

// Whether a compiled statement is a SHOW (its command tag is SHOW).
bool is_show_statement(sqlite3_stmt *stmt);

// What the compiled text of a statement asks of the transaction block.
struct TransactionRequest {
    enum Kind { none, begin, set_transaction, set_session } kind = none;
    int read_only = -1;  // 1 READ ONLY, 0 READ WRITE, -1 not given
};
TransactionRequest transaction_request(const char *compiled_text);

}  // namespace qx
