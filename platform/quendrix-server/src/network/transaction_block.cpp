// PostgreSQL's transaction-block rules over SQLite's autocommit flag.
#include "network/transaction_block.h"

#include <sqlite3.h>

#include <cctype>

namespace {

enum class Kind { begin, commit, rollback, rollback_to, other };

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
    Kind kind = kind_of(stmt);
    if (failed_) {
        switch (kind) {
            case Kind::commit:
            case Kind::rollback:
                // SQLite may have ended the transaction at the error already.
                if (in_block) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                failed_ = false;
                in_block_before_ = false;  // no after() follows a settled statement
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
    // As in PostgreSQL, a BEGIN inside a block and a COMMIT or ROLLBACK outside
    // one change nothing and are no errors.
    if (kind == Kind::begin && in_block) {
        *tag = "BEGIN";
        return Action::settle;
    }
    if ((kind == Kind::commit || kind == Kind::rollback) && !in_block) {
        *tag = kind == Kind::commit ? "COMMIT" : "ROLLBACK";
        return Action::settle;
    }
    return Action::run;
}

void TransactionBlock::after(bool ok) {
    if (rollback_to_) {
        // A successful ROLLBACK TO leaves the failed part behind; the block goes on.
        failed_ = !ok;
    } else if (!ok && (in_block_before_ || !sqlite3_get_autocommit(db_))) {
        failed_ = true;
    }
    // A statement that fails to compile comes here without before().
    in_block_before_ = false;
    rollback_to_ = false;
}

char TransactionBlock::status() const {
    if (failed_) return 'E';
    return sqlite3_get_autocommit(db_) ? 'I' : 'T';
}

}  // namespace pg
}  // namespace qx
