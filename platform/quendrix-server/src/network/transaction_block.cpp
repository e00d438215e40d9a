// PostgreSQL's transaction-block rules over SQLite's autocommit flag.
#include "network/transaction_block.h"

#include <sqlite3.h>

#include <cctype>

#include "sql/postgres_statements.h"

namespace {

enum class Kind { begin, commit, rollback, rollback_to, savepoint, release, other };

// The upper-cased words of `sql` (letters and '_' only), at most `n` of them.
std::string words(const char *sql, int n) {
    std::string out;
    const char *s = sql;
    for (int k = 0; k < n; ++k) {
        while (*s && std::isspace(static_cast<unsigned char>(*s))) ++s;
        if (!std::isalpha(static_cast<unsigned char>(*s))) break;
        if (k) out += ' ';
        while (std::isalpha(static_cast<unsigned char>(*s)) || *s == '_')
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(*s++)));
    }
    return out;
}

Kind kind_of(sqlite3_stmt *stmt) {
    std::string w = words(sqlite3_sql(stmt), 3);
    auto starts = [&w](const char *p) {
        std::string s = p;
        return w.compare(0, s.size(), s) == 0 && (w.size() == s.size() || w[s.size()] == ' ');
    };
    if (starts("BEGIN")) return Kind::begin;
    if (starts("COMMIT") || starts("END")) return Kind::commit;
    if (starts("ROLLBACK TO") || starts("ROLLBACK TRANSACTION TO")) return Kind::rollback_to;
    if (starts("ROLLBACK")) return Kind::rollback;
    if (starts("SAVEPOINT")) return Kind::savepoint;
    if (starts("RELEASE")) return Kind::release;
    return Kind::other;
}

}  // namespace

namespace qx {
namespace pg {

TransactionBlock::Action TransactionBlock::before(sqlite3_stmt *stmt, SqlError *error,
                                                  std::string *tag) {
    bool in_block = !sqlite3_get_autocommit(db_);
    in_block_before_ = in_block || failed_;
    rollback_to_ = false;
    beginning_ = false;
    Kind kind = kind_of(stmt);
    committing_ = kind == Kind::commit;
    savepoint_ = {};
    if (kind == Kind::rollback_to || kind == Kind::savepoint || kind == Kind::release) {
        // As in PostgreSQL, savepoints belong to a block (SQLite's SAVEPOINT would begin one).
        if ((!in_block || implicit_) && !failed_) {
            const char *what = kind == Kind::savepoint ? "SAVEPOINT"
                               : kind == Kind::release ? "RELEASE SAVEPOINT"
                                                       : "ROLLBACK TO SAVEPOINT";
            *error = {"25P01", "", std::string(what) + " can only be used in transaction blocks"};
            return Action::refuse;
        }
        savepoint_ = savepoint_command(sqlite3_sql(stmt));
    }
    TransactionRequest request = transaction_request(sqlite3_sql(stmt));
    if (failed_) {
        switch (kind) {
            case Kind::commit:
            case Kind::rollback:
                // SQLite may have ended the transaction at the error already.
                if (in_block) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                failed_ = false;
                in_block_before_ = false;  // no after() follows a settled statement
                ended(false);
                *tag = "ROLLBACK";
                return Action::settle;
            case Kind::rollback_to:
                rollback_to_ = true;
                return Action::run;
            default:
                *error = {"25P02", "",
                          "current transaction is aborted, commands ignored until end of "
                          "transaction block"};
                return Action::refuse;
        }
    }
    // SET TRANSACTION sets the block's mode (outside a block it does nothing, as in
    // PostgreSQL); SET SESSION CHARACTERISTICS the default of the blocks to come, and
    // of statements outside a block.
    if (request.kind == TransactionRequest::set_transaction) {
        if (in_block && request.read_only >= 0) apply_read_only(request.read_only == 1);
        *tag = "SET";
        return Action::settle;
    }
    if (request.kind == TransactionRequest::set_session) {
        if (request.read_only >= 0) {
            request.kind = TransactionRequest::set_parameter;
            request.name = "default_transaction_read_only";
            request.value = request.read_only == 1 ? "on" : "off";
        }
        return set(request, in_block, error, tag);
    }
    if (request.kind == TransactionRequest::set_parameter || request.kind == TransactionRequest::reset_all ||
        request.kind == TransactionRequest::reset_nothing)
        return set(request, in_block, error, tag);
    // As in PostgreSQL, a BEGIN inside a block and a COMMIT or ROLLBACK outside
    // one change nothing and are no errors.
    if (kind == Kind::begin && in_block) {
        if (implicit_) {
            // The statements before it are the block's first.
            implicit_ = false;
            apply_read_only(request.read_only >= 0 ? request.read_only == 1 : settings_->default_read_only());
        }
        *tag = "BEGIN";
        return Action::settle;
    }
    if ((kind == Kind::commit || kind == Kind::rollback) && !in_block) {
        *tag = kind == Kind::commit ? "COMMIT" : "ROLLBACK";
        return Action::settle;
    }
    if (kind == Kind::begin) {
        // The block's mode applies once it has begun: query_only would refuse nothing
        // that BEGIN does, but a failed BEGIN leaves no block to apply it to.
        beginning_ = true;
        begin_read_only_ = request.read_only;
    }
    return Action::run;
}

TransactionBlock::Action TransactionBlock::set(const TransactionRequest &request, bool in_block, SqlError *error,
                                               std::string *tag) {
    if (!apply_setting_request(settings_, request, in_block, error, tag)) return Action::refuse;
    // A new default read/write mode applies at once to statements outside a block.
    if (!in_block) apply_read_only(settings_->default_read_only());
    return Action::settle;
}

void TransactionBlock::ended(bool committed) {
    settings_->block_ended(committed);
    apply_read_only(settings_->default_read_only());
}

void TransactionBlock::apply_read_only(bool read_only) {
    if (read_only == query_only_) return;
    if (sqlite3_exec(db_, read_only ? "PRAGMA query_only = 1" : "PRAGMA query_only = 0", nullptr, nullptr,
                     nullptr) == SQLITE_OK)
        query_only_ = read_only;
}

void TransactionBlock::after(bool ok) {
    if (implicit_ && !ok) {
        // A failed statement undoes those before it in the query or pipeline; no block is left.
        savepoint_ = {};
        end_shared_transaction(false, nullptr);
        in_block_before_ = rollback_to_ = beginning_ = committing_ = false;
        return;
    }
    if (ok && savepoint_.kind == SavepointCommand::savepoint) settings_->savepoint(savepoint_.name);
    if (ok && savepoint_.kind == SavepointCommand::release) settings_->release_savepoint(savepoint_.name);
    if (ok && savepoint_.kind == SavepointCommand::rollback_to) settings_->rollback_to_savepoint(savepoint_.name);
    savepoint_ = {};
    if (rollback_to_) {
        // A successful ROLLBACK TO leaves the failed part behind; the block goes on.
        failed_ = !ok;
    } else if (!ok && (in_block_before_ || !sqlite3_get_autocommit(db_))) {
        failed_ = true;
    }
    // A statement that fails to compile comes here without before().
    bool was_in_block = in_block_before_;
    in_block_before_ = false;
    rollback_to_ = false;
    if (sqlite3_get_autocommit(db_)) {
        // No block, or it has just ended (a block that failed ends at its COMMIT or
        // ROLLBACK, which before() settles).
        if (was_in_block && !failed_) ended(committing_ && ok);
        apply_read_only(settings_->default_read_only());
    } else if (beginning_ && ok) {
        apply_read_only(begin_read_only_ >= 0 ? begin_read_only_ == 1 : settings_->default_read_only());
    }
    beginning_ = false;
    committing_ = false;
    if (sqlite3_get_autocommit(db_)) implicit_ = false;  // a COMMIT or ROLLBACK among them ended it
}

void TransactionBlock::share_transaction(sqlite3_stmt *stmt) {
    if (implicit_ || failed_ || !sqlite3_get_autocommit(db_) || kind_of(stmt) != Kind::other) return;
    // What SQLite refuses or ignores in a transaction runs before it instead, when it
    // comes first (PRAGMA foreign_keys changes nothing in one).
    std::string w = words(sqlite3_sql(stmt), 1);
    if ((w == "PRAGMA" && transaction_request(sqlite3_sql(stmt)).kind == TransactionRequest::none) ||
        w == "VACUUM" || w == "ATTACH" || w == "DETACH")
        return;
    if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) implicit_ = true;
}

bool TransactionBlock::end_shared_transaction(bool commit, SqlError *error) {
    if (!implicit_) return true;
    implicit_ = false;
    if (sqlite3_get_autocommit(db_)) {  // SQLite rolled it back at an error
        ended(false);
        return true;
    }
    if (commit && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        ended(true);
        return true;
    }
    if (commit && error) *error = decode_error(sqlite3_errmsg(db_), sqlite3_extended_errcode(db_));
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    ended(false);
    return !commit;
}

char TransactionBlock::status() const {
    if (failed_) return 'E';
    return sqlite3_get_autocommit(db_) ? 'I' : 'T';
}

}  // namespace pg
}  // namespace qx
