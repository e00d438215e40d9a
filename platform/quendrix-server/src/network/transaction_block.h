// A client's transaction block as PostgreSQL clients expect it: after an error
// inside BEGIN ... COMMIT the block is failed, every statement but ROLLBACK or
// COMMIT is refused with 25P02, and COMMIT rolls back. SQLite alone would go on
// after the error (and may already have rolled the transaction back, leaving
// the statements that follow to commit one by one). A block may be READ ONLY, as may
// every transaction of the session (see sql/postgres_statements.h).
//
// Outside a block, the statements of one simple query, and those a client sends up to
// a Sync, share one transaction (PostgreSQL's implicit block): an error in one undoes
// those before it, and the last one's end commits them. A BEGIN among them makes it a
// block that goes on; a COMMIT or ROLLBACK among them ends it, and the statements
// after it share another.
#pragma once

#include <string>

#include "internal.h"
#include "sql/postgres_statements.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qx {
namespace pg {

class TransactionBlock {
public:
    enum class Action {
        run,     // run the statement
        refuse,  // fail it with *error
        settle,  // do not run it: it has done its work, *tag is its CommandComplete
    };

    // SET and RESET change `settings`, which a block or savepoint that rolls back restores.
    TransactionBlock(sqlite3 *db, SessionSettings *settings) : db_(db), settings_(settings) {}

    // Decides about `stmt` before it runs.
    Action before(sqlite3_stmt *stmt, SqlError *error, std::string *tag);
    // Learns how the statement that ran ended, or that one failed to compile.
    void after(bool ok);
    // The transaction status of ReadyForQuery: 'I' idle, 'T' in a block, 'E' failed.
    char status() const;

    // Before `stmt`, when more statements of the same query or pipeline follow it:
    // outside a block, opens their shared transaction.
    void share_transaction(sqlite3_stmt *stmt);
    // At the end of the query or pipeline: commits the shared transaction when `commit`
    // (false, with *error, when that fails: it is rolled back then), else rolls it back.
    bool end_shared_transaction(bool commit, SqlError *error);

private:
    // READ ONLY as PostgreSQL has it, for a block or as the session's default: SQLite's
    // query_only, set while it applies.
    void apply_read_only(bool read_only);

    // What settles a SET or RESET of a setting.
    Action set(const TransactionRequest &request, bool in_block, SqlError *error, std::string *tag);
    // The block has ended: its SETs stay or are undone, its SET LOCALs end.
    void ended(bool committed);

    sqlite3 *db_;
    SessionSettings *settings_;
    bool failed_ = false;
    bool in_block_before_ = false;
    bool rollback_to_ = false;
    bool query_only_ = false;         // what the connection has now
    int begin_read_only_ = -1;        // the mode a BEGIN about to run asked for
    bool beginning_ = false;
    bool committing_ = false;  // the statement that runs is a COMMIT
    bool implicit_ = false;    // the shared transaction of a query or pipeline is open
    SavepointCommand savepoint_;  // the statement that runs makes, releases or rolls back to one
};

}  // namespace pg
}  // namespace qx
