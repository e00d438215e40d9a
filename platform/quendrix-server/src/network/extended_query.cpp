// Parse, Bind, Describe, Execute and Close over SQLite prepared statements, and
// cursors as named portals that FETCH reads a batch at a time.
#include "network/extended_query.h"

#include <sqlite3.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "auth/users.h"
#include "network/inferred_types.h"
#include "network/pg_types.h"
#include "network/portal.h"
#include "sql/cursor_commands.h"
#include "sql/result_set.h"
#include "sql/row_security.h"

namespace qx {
namespace pg {

// A statement as Parse gave it, with one SQLite statement kept prepared for
// Describe and the next Bind. A portal gives its SQLite statement back when it
// goes, so a statement bound again and again is compiled once.
struct PreparedStatement {
    CursorCommand command;  // DECLARE's query is the text below
    std::string text;       // what SQLite prepares
    std::string user_statement;  // CREATE/ALTER/DROP USER: the server runs it, not SQLite
    bool call_form = false;
    bool empty = false;
    std::vector<int32_t> given_types;  // from Parse; 0 where the client left it open
    std::vector<int32_t> named_types;  // from the text: $N::integer names its type, or
                                       // where it stands (filled when first described)
    bool inferred = false;
    std::vector<int32_t> described_types;  // the result columns' types, once described
    int parameters = 0;                // $1 ... $N: N
    sqlite3_stmt *spare = nullptr;
    ~PreparedStatement() { sqlite3_finalize(spare); }
};

struct BoundPortal {
    std::shared_ptr<PreparedStatement> statement;  // null for a cursor
    std::unique_ptr<Portal> rows;                  // the statement's, or the cursor's query
    Formats formats;
    bool cursor = false;  // made by DECLARE
    bool hold = false;    // DECLARE ... WITH HOLD
    bool uncommitted = false;  // declared in a transaction that has not ended yet
    bool started = false;  // the gate was consulted
    bool settled = false;  // the gate completed the statement without running it
    std::string settled_tag;

    ~BoundPortal() {
        if (!statement || !rows || statement->spare) return;
        sqlite3_stmt *stmt = rows->take_statement();
        if (!stmt) return;
        sqlite3_reset(stmt);  // ends its read of the database; the next Bind starts afresh
        sqlite3_clear_bindings(stmt);
        statement->spare = stmt;
    }
};

}  // namespace pg
}  // namespace qx

namespace {

using namespace qx::pg;
using qx::SqlError;

// Reads the fields of a message body; a short body sets `bad`.
class Reader {
public:
    explicit Reader(const std::string &body) : b_(body) {}
    std::string str() {
        size_t end = b_.find('\0', at_);
        if (end == std::string::npos) return fail(), std::string();
        std::string s = b_.substr(at_, end - at_);
        at_ = end + 1;
        return s;
    }
    int32_t int32() { return static_cast<int32_t>(take(4)); }
    int int16() { return static_cast<int16_t>(take(2)); }
    char byte() { return static_cast<char>(take(1)); }
    const char *bytes(size_t n) {
        if (bad || b_.size() - at_ < n) return fail(), nullptr;
        const char *p = b_.data() + at_;
        at_ += n;
        return p;
    }
    bool bad = false;

private:
    uint32_t take(size_t n) {
        const char *p = bytes(n);
        uint32_t v = 0;
        for (size_t i = 0; p && i < n; ++i) v = v << 8 | static_cast<unsigned char>(p[i]);
        return v;
    }
    void fail() { bad = true; }
    const std::string &b_;
    size_t at_ = 0;
};

SqlError malformed(char type) {
    return {"08P01", "", std::string("invalid message format of a '") + type + "' message"};
}

// Prepares one statement of `sql` (qualified names resolved, BLOB literals that look like
// server values kept BLOBs, `call` as select); *stmt stays null for a text without a
// statement.
bool prepare(qx_client *client, const std::string &sql, sqlite3_stmt **stmt, bool *call_form,
             SqlError *error) {
    std::vector<std::pair<size_t, size_t>> inserted;
    std::string resolved = qx::resolve_qualified_names(sql, &inserted);
    std::string text = qx::escape_marked_blob_literals(resolved);
    if (text != resolved) inserted.clear();
    size_t call_at = 0;
    *call_form = qx::is_call_statement(text.c_str(), &call_at);
    if (*call_form) text = text.substr(0, call_at) + "select" + text.substr(call_at + 4);
    // A restricted session's selects are rewritten before they are compiled, as
    // they are in simple queries; blanks and comments may come first.
    const char *tail = text.c_str();
    do {
        size_t at = static_cast<size_t>(tail - text.c_str());
        if (!qx::prepare_for_client(client, tail, stmt, &tail, error)) {
            error->position = qx::error_position(*error, sql, at, !*call_form && text == sql,
                                                 *call_form ? std::vector<std::pair<size_t, size_t>>() : inserted);
            return false;
        }
    } while (!*stmt && tail && *tail);
    while (*stmt && tail && *tail) {
        sqlite3_stmt *next = nullptr;
        int rc = sqlite3_prepare_v2(client->db, tail, -1, &next, &tail);
        if (rc != SQLITE_OK || next) {
            sqlite3_finalize(next);
            sqlite3_finalize(*stmt);
            *stmt = nullptr;
            *error = {"42601", "", "cannot insert multiple commands into a prepared statement"};
            return false;
        }
    }
    return true;
}

// The number $N of each SQLite parameter: "$N" and "?N" by their number (SQLite
// reads PostgreSQL's cast "$N::type" as part of the name), others by position.
int parameter_number(sqlite3_stmt *stmt, int index) {
    const char *name = sqlite3_bind_parameter_name(stmt, index);
    if (!name || (name[0] != '$' && name[0] != '?')) return index;
    size_t digits = std::strspn(name + 1, "0123456789");
    if (digits == 0 || digits > 9) return index;
    const char *rest = name + 1 + digits;
    if (*rest != '\0' && !(name[0] == '$' && rest[0] == ':' && rest[1] == ':')) return index;
    return std::atoi(name + 1);
}

// The type a parameter is bound as: the one Parse gave, else the one its cast names.
int32_t parameter_type(const PreparedStatement &s, size_t k) {
    if (k < s.given_types.size() && s.given_types[k]) return s.given_types[k];
    return k < s.named_types.size() ? s.named_types[k] : 0;
}

int highest_parameter(sqlite3_stmt *stmt) {
    int highest = 0;
    for (int i = 1, n = stmt ? sqlite3_bind_parameter_count(stmt) : 0; i <= n; ++i)
        highest = std::max(highest, parameter_number(stmt, i));
    return highest;
}

SqlError no_cursor(const std::string &name) {
    return {"34000", "", "cursor \"" + name + "\" does not exist"};
}

}  // namespace

namespace qx {
namespace pg {

ExtendedQuery::ExtendedQuery(qx_client *client, Output &out, StatementGate &gate)
    : client_(client), out_(out), gate_(gate) {}

bool ExtendedQuery::start(BoundPortal &p, SqlError *error) {
    if (p.started) return true;
    p.started = true;
    switch (gate_.before(p.rows->statement(), error, &p.settled_tag)) {
        case StatementHooks::Decision::refuse:
            gate_.after(false);
            return false;
        case StatementHooks::Decision::settle:
            p.settled = true;
            return true;
        default:
            return true;
    }
}

bool ExtendedQuery::admit_cursor_command(SqlError *error) {
    if (gate_.block_failed()) {
        *error = {"25P02", "",
                  "current transaction is aborted, commands ignored until end of transaction "
                  "block"};
        return false;
    }
    return gate_.admit(error);
}

ExtendedQuery::~ExtendedQuery() {
    portals_.clear();  // before the statements their SQLite statements came from
    statements_.clear();
}

bool ExtendedQuery::handle(char type, const std::string &body) {
    switch (type) {
        case 'P': return parse(body);
        case 'B': return bind(body);
        case 'D': return describe(body);
        case 'E': return execute(body);
        case 'C': return close(body);
        default: return false;
    }
}

bool ExtendedQuery::parse(const std::string &body) {
    Reader r(body);
    std::string name = r.str(), sql = r.str();
    int n = r.int16();
    auto statement = std::make_shared<PreparedStatement>();
    for (int i = 0; i < n && !r.bad; ++i) statement->given_types.push_back(r.int32());
    if (r.bad || n < 0) return out_.error(malformed('P')), false;
    if (!name.empty() && statements_.count(name)) {
        out_.error({"42P05", "", "prepared statement \"" + name + "\" already exists"});
        return false;
    }
    SqlError e;
    if (!gate_.admit(&e)) return out_.error(e), false;
    if (!parse_cursor_command(sql, &statement->command, &e)) return out_.error(e), false;
    CursorCommand::Kind kind = statement->command.kind;
    if (size_t length = auth::user_statement_length(sql.c_str())) {
        if (sql.find_first_not_of(" \t\r\n;", length) != std::string::npos) {
            out_.error({"42601", "", "cannot insert multiple commands into a prepared statement"});
            return false;
        }
        statement->user_statement = sql.substr(0, length);
    } else if (kind == CursorCommand::none || kind == CursorCommand::declare) {
        statement->text = kind == CursorCommand::declare ? statement->command.query : sql;
        if (!prepare(client_, statement->text, &statement->spare, &statement->call_form, &e)) {
            gate_.after(false);  // a statement that fails to compile fails the block
            return out_.error(e), false;
        }
        statement->empty = !statement->spare;
        statement->parameters = highest_parameter(statement->spare);
        statement->named_types = parameter_casts(statement->text, statement->parameters);
    }
    statement->parameters = std::max(statement->parameters, n);
    statements_[name] = statement;
    Message done('1');
    out_.queue(done);
    return true;
}

bool ExtendedQuery::bind(const std::string &body) {
    Reader r(body);
    std::string portal_name = r.str(), statement_name = r.str();
    std::vector<int> formats(static_cast<size_t>(std::max(0, r.int16())));
    for (int &f : formats) f = r.int16();
    int n = r.int16();
    std::vector<const char *> values;
    std::vector<size_t> lengths;
    for (int i = 0; i < n && !r.bad; ++i) {
        int32_t length = r.int32();
        values.push_back(length < 0 ? nullptr : r.bytes(static_cast<size_t>(length)));
        lengths.push_back(length < 0 ? 0 : static_cast<size_t>(length));
    }
    auto portal = std::make_unique<BoundPortal>();
    int results = r.int16();
    for (int i = 0; i < results && !r.bad; ++i) portal->formats.push_back(static_cast<int16_t>(r.int16()));
    if (r.bad || n < 0 || (formats.size() > 1 && formats.size() != static_cast<size_t>(n)))
        return out_.error(malformed('B')), false;

    auto found = statements_.find(statement_name);
    if (found == statements_.end()) {
        out_.error({"26000", "", "prepared statement \"" + statement_name + "\" does not exist"});
        return false;
    }
    std::shared_ptr<PreparedStatement> statement = found->second;
    if (n != statement->parameters) {
        out_.error({"08P01", "",
                    "bind message supplies " + std::to_string(n) + " parameters, but prepared "
                    "statement \"" + statement_name + "\" requires " +
                    std::to_string(statement->parameters)});
        return false;
    }
    if (!portal_name.empty() && portals_.count(portal_name)) {
        out_.error({"42P03", "", "portal \"" + portal_name + "\" already exists"});
        return false;
    }
    portal->statement = statement;
    // A Bind to the unnamed portal drops the one before it, whose SQLite statement
    // may then serve this one.
    if (portal_name.empty()) portals_.erase(portal_name);
    if (statement->spare || !statement->text.empty()) {
        // The kept SQLite statement serves this portal; while another portal holds it,
        // this one prepares its own.
        sqlite3_stmt *stmt = statement->spare;
        statement->spare = nullptr;
        SqlError e;
        bool call_form = statement->call_form;
        if (!stmt && !prepare(client_, statement->text, &stmt, &call_form, &e))
            return out_.error(e), false;
        for (int i = 1, count = stmt ? sqlite3_bind_parameter_count(stmt) : 0; i <= count; ++i) {
            int number = parameter_number(stmt, i);
            if (number < 1 || number > n) continue;  // left NULL
            size_t k = static_cast<size_t>(number - 1);
            int32_t oid = parameter_type(*statement, k);
            bool binary = formats.size() == 1 ? formats[0] == 1 : !formats.empty() && formats[k] == 1;
            if (!bind_parameter(stmt, i, number, oid, binary, values[k], lengths[k], &e)) {
                sqlite3_finalize(stmt);
                return out_.error(e), false;
            }
        }
        if (stmt) portal->rows = std::make_unique<Portal>(client_, stmt, call_form);
        // A client that described the statement and not the portal reads its rows by
        // the types it was told.
        if (portal->rows && !statement->described_types.empty()) portal->rows->pin_types(statement->described_types);
    }
    portals_[portal_name] = std::move(portal);
    Message done('2');
    out_.queue(done);
    return true;
}

bool ExtendedQuery::describe(const std::string &body) {
    Reader r(body);
    char what = r.byte();
    std::string name = r.str();
    if (r.bad || (what != 'S' && what != 'P')) return out_.error(malformed('D')), false;
    Message none('n');
    if (what == 'S') {
        auto found = statements_.find(name);
        if (found == statements_.end()) {
            out_.error({"26000", "", "prepared statement \"" + name + "\" does not exist"});
            return false;
        }
        PreparedStatement &s = *found->second;
        if (!s.spare && !s.empty && !s.text.empty()) {  // a Bind took the kept one
            bool call_form = false;
            SqlError e;
            if (!prepare(client_, s.text, &s.spare, &call_form, &e)) return out_.error(e), false;
        }
        // Parameters left open take the types their places in the statement give, once
        // a client asks: it will send values of those types.
        if (!s.inferred && s.command.kind == CursorCommand::none && !s.text.empty()) {
            s.inferred = true;
            bool open = false;
            for (int i = 0; i < s.parameters; ++i) open = open || !parameter_type(s, static_cast<size_t>(i));
            if (open) {
                std::vector<int32_t> found = infer_parameter_types(client_->db, s.text, s.parameters);
                s.named_types.resize(static_cast<size_t>(s.parameters), 0);
                for (size_t k = 0; k < found.size(); ++k)
                    if (!s.named_types[k]) s.named_types[k] = found[k];
            }
        }
        Message types('t');
        types.int16(s.parameters);
        for (int i = 0; i < s.parameters; ++i) {
            int32_t type = parameter_type(s, static_cast<size_t>(i));
            types.int32(type ? type : kTextOid);
        }
        out_.queue(types);
        if (s.command.kind == CursorCommand::fetch) {
            auto cursor = portals_.find(s.command.name);
            if (cursor != portals_.end() && cursor->second->rows) {
                SqlError e;
                if (!cursor->second->rows->describe(&e)) return out_.error(e), false;
                cursor->second->rows->queue_description(out_, {});
                return true;
            }
        }
        // Columns by their declared types: the statement has not run.
        if (s.command.kind != CursorCommand::none || !s.spare || s.call_form ||
            sqlite3_column_count(s.spare) == 0)
            return out_.queue(none), true;
        Message m('T');
        m.int16(sqlite3_column_count(s.spare));
        s.described_types.clear();
        // Computed columns whose text tells their one type (count(*)) have it.
        std::vector<int32_t> computed = infer_result_types(s.text, sqlite3_column_count(s.spare));
        const std::vector<std::string> typing = typing_names(s.spare);
        for (int i = 0; i < sqlite3_column_count(s.spare); ++i) {
            const char *column = sqlite3_column_name(s.spare, i);
            const char *declared = sqlite3_column_decltype(s.spare, i);
            int32_t type = !declared && computed[static_cast<size_t>(i)]
                               ? computed[static_cast<size_t>(i)]
                               : column_type(declared, nullptr, typing[static_cast<size_t>(i)].c_str());
            s.described_types.push_back(type);
            m.str(column ? column : "column" + std::to_string(i + 1)).int32(0).int16(0);
            m.int32(type).int16(type_length(type)).int32(-1).int16(0);
        }
        out_.queue(m);
        return true;
    }
    auto found = portals_.find(name);
    if (found == portals_.end()) {
        out_.error({"34000", "", "portal \"" + name + "\" does not exist"});
        return false;
    }
    BoundPortal &p = *found->second;
    Portal *rows = p.rows.get();
    if (p.statement && p.statement->command.kind == CursorCommand::fetch) {
        auto cursor = portals_.find(p.statement->command.name);
        if (cursor == portals_.end() || !cursor->second->rows)
            return out_.error(no_cursor(p.statement->command.name)), false;
        rows = cursor->second->rows.get();
    } else if (p.statement && p.statement->command.kind != CursorCommand::none) {
        rows = nullptr;  // DECLARE and CLOSE return no rows
    }
    if (!rows) return out_.queue(none), true;
    SqlError e;
    if (rows == p.rows.get()) {  // the portal's own statement runs up to its first row
        // Described itself, the portal types its computed columns by their first row
        // (unless its rows have begun to go out by the statement's types).
        rows->pin_types({});
        if (!start(p, &e)) return out_.error(e), false;
        if (p.settled) return out_.queue(none), true;
        if (!rows->describe(&e)) return gate_.after(false), out_.error(e), false;
    } else if (!rows->describe(&e)) {
        return out_.error(e), false;
    }
    rows->queue_description(out_, p.formats);
    return true;
}

bool ExtendedQuery::execute(const std::string &body) {
    Reader r(body);
    std::string name = r.str();
    long max_rows = r.int32();
    if (r.bad) return out_.error(malformed('E')), false;
    auto found = portals_.find(name);
    if (found == portals_.end()) {
        out_.error({"34000", "", "portal \"" + name + "\" does not exist"});
        return false;
    }
    BoundPortal &p = *found->second;
    SqlError e;
    if (p.statement && p.statement->command.kind != CursorCommand::none) {
        CursorCommand command = p.statement->command;
        std::unique_ptr<Portal> rows = std::move(p.rows);
        Formats formats = p.formats;
        if (!admit_cursor_command(&e) ||
            !run_cursor_command(command, std::move(rows), formats, false, &e))
            return gate_.after(false), out_.error(e), false;
        return true;
    }
    if (p.statement && !p.statement->user_statement.empty()) {
        std::string tag;
        if (!admit_cursor_command(&e) ||
            !auth::run_user_statement(client_, p.statement->user_statement, &tag, &e))
            return gate_.after(false), out_.error(e), false;
        Message done('C');
        done.str(tag);
        out_.queue(done);
        return true;
    }
    if (!p.rows) {
        Message empty('I');
        out_.queue(empty);
        return true;
    }
    if (!start(p, &e)) return out_.error(e), false;
    if (p.settled) {
        Message done('C');
        done.str(p.settled_tag);
        out_.queue(done);
        return true;
    }
    long count = 0;
    bool suspended = false;
    std::string tag;
    if (!p.rows->execute(out_, p.formats, max_rows, &count, &suspended, &tag, &e)) {
        gate_.after(false);
        return out_.error(e), false;
    }
    if (!suspended) gate_.after(true);
    if (suspended) {
        Message more('s');
        out_.queue(more);
    } else {
        Message done('C');
        done.str(tag);
        out_.queue(done);
    }
    return true;
}

bool ExtendedQuery::run_cursor_command(const CursorCommand &command,
                                       std::unique_ptr<Portal> rows, const Formats &formats,
                                       bool describe_rows, SqlError *error) {
    Message done('C');
    switch (command.kind) {
        case CursorCommand::declare: {
            if (!command.hold && sqlite3_get_autocommit(client_->db)) {
                *error = {"25P01", "", "DECLARE CURSOR can only be used in transaction blocks"};
                return false;
            }
            if (portals_.count(command.name)) {
                *error = {"42P03", "", "cursor \"" + command.name + "\" already exists"};
                return false;
            }
            if (!rows) {
                *error = {"42601", "", "DECLARE CURSOR needs a query"};
                return false;
            }
            auto cursor = std::make_unique<BoundPortal>();
            cursor->rows = std::move(rows);
            cursor->formats = formats;
            cursor->cursor = true;
            cursor->hold = command.hold;
            cursor->uncommitted = !sqlite3_get_autocommit(client_->db);
            portals_[command.name] = std::move(cursor);
            done.str("DECLARE CURSOR");
            break;
        }
        case CursorCommand::fetch: {
            auto found = portals_.find(command.name);
            if (found == portals_.end() || !found->second->rows) {
                *error = no_cursor(command.name);
                return false;
            }
            Portal &cursor = *found->second->rows;
            if (!cursor.describe(error)) return false;
            if (describe_rows) cursor.queue_description(out_, formats);
            long count = 0;
            bool suspended = false;
            std::string tag;
            if (!cursor.execute(out_, formats, command.count, &count, &suspended, &tag, error))
                return false;
            done.str("FETCH " + std::to_string(count));
            break;
        }
        case CursorCommand::close:
            if (command.name.empty()) {
                for (auto it = portals_.begin(); it != portals_.end();)
                    it = it->second->cursor ? portals_.erase(it) : std::next(it);
                done.str("CLOSE CURSOR ALL");
            } else if (!portals_.erase(command.name)) {
                *error = no_cursor(command.name);
                return false;
            } else {
                done.str("CLOSE CURSOR");
            }
            break;
        case CursorCommand::none:
            return false;
    }
    out_.queue(done);
    return true;
}

bool ExtendedQuery::close(const std::string &body) {
    Reader r(body);
    char what = r.byte();
    std::string name = r.str();
    if (r.bad || (what != 'S' && what != 'P')) return out_.error(malformed('C')), false;
    if (what == 'S')
        statements_.erase(name);
    else
        portals_.erase(name);
    Message done('3');
    out_.queue(done);
    return true;
}

bool ExtendedQuery::simple_cursor_command(const std::string &sql) {
    CursorCommand command;
    SqlError e;
    if (!parse_cursor_command(sql, &command, &e)) {
        out_.error(e);
        return true;
    }
    if (command.kind == CursorCommand::none) return false;
    if (!admit_cursor_command(&e)) return gate_.after(false), out_.error(e), true;
    std::unique_ptr<Portal> rows;
    if (command.kind == CursorCommand::declare) {
        sqlite3_stmt *stmt = nullptr;
        bool call_form = false;
        if (!prepare(client_, command.query, &stmt, &call_form, &e)) {
            gate_.after(false);
            return out_.error(e), true;
        }
        if (stmt && sqlite3_bind_parameter_count(stmt) > 0) {
            sqlite3_finalize(stmt);
            out_.error({"42P02", "", "there is no parameter $1"});
            return true;
        }
        if (stmt) rows = std::make_unique<Portal>(client_, stmt, call_form);
    }
    if (!run_cursor_command(command, std::move(rows), {}, true, &e)) {
        gate_.after(false);  // a failed cursor command fails the block as any statement
        out_.error(e);
    }
    return true;
}

bool ExtendedQuery::deallocate(const std::string &name) { return statements_.erase(name) > 0; }

void ExtendedQuery::end_of_transaction(bool rolled_back) {
    for (auto it = portals_.begin(); it != portals_.end();) {
        BoundPortal &p = *it->second;
        if (!p.hold || (rolled_back && p.uncommitted)) {
            it = portals_.erase(it);
        } else {
            p.uncommitted = false;
            ++it;
        }
    }
}

}  // namespace pg
}  // namespace qx
