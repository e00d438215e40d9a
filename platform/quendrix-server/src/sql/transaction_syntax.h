// PostgreSQL's statements that start a transaction or set its modes (START
// TRANSACTION, BEGIN ISOLATION LEVEL ... READ ONLY, SET TRANSACTION, SET SESSION
// CHARACTERISTICS AS TRANSACTION, ABORT, COMMIT WORK), which drivers send for their
// read-only and isolation settings and which SQLite's grammar lacks. Each is
// compiled as a SQLite statement whose text carries the read/write mode for the
// network session's transaction block to apply. Every isolation level is taken:
// SQLite's transactions are serializable, which each level allows.
#pragma once

#include <cstddef>
#include <string>

#include "internal.h"

namespace qx {

// If `sql` (after blanks) is such a statement: the SQLite text to compile instead and
// the length of the statement in `sql` (through its ';'); 0 when it is none (SQLite's
// own BEGIN, COMMIT and ROLLBACK stay as they are). A malformed one gives 0 with
// *error set (42601).
size_t translate_transaction_statement(const char *sql, std::string *sqlite_text, SqlError *error);

// What the compiled text of a statement asks of the transaction block.
struct TransactionRequest {
    enum Kind { none, begin, set_transaction, set_session } kind = none;
    int read_only = -1;  // 1 READ ONLY, 0 READ WRITE, -1 not given
};
TransactionRequest transaction_request(const char *compiled_text);

}  // namespace qx
