// The extended query protocol of one connection: prepared statements (Parse),
// portals (Bind), Describe, Execute with a row limit, Close; and the cursor
// statements DECLARE, FETCH and CLOSE, whose cursors are named portals.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "internal.h"
#include "network/pg_output.h"
#include "network/portal.h"
#include "sql/cursor_commands.h"

namespace qx {
namespace pg {

struct PreparedStatement;
struct BoundPortal;

class ExtendedQuery {
public:
    ExtendedQuery(qx_client *client, Output &out, StatementGate &gate);
    ~ExtendedQuery();

    // Handles a Parse, Bind, Describe, Execute or Close message. False after
    // queuing an error: the client's messages are then skipped up to Sync.
    bool handle(char type, const std::string &body);

    // Runs `sql` when it is a cursor statement sent as a simple query (its
    // results or error queued) and returns true; false for any other statement.
    bool simple_cursor_command(const std::string &sql);

    // The connection is out of any transaction block: drops every portal but the
    // cursors declared WITH HOLD, and those too when the transaction that
    // declared them rolled back.
    void end_of_transaction(bool rolled_back);
    // DEALLOCATE: drops a prepared statement (false when there is none of that name;
    // portals bound from it go on) or every one.
    bool deallocate(const std::string &name);
    void deallocate_all() { statements_.clear(); }

private:
    bool parse(const std::string &body);
    bool bind(const std::string &body);
    bool describe(const std::string &body);
    bool execute(const std::string &body);
    bool close(const std::string &body);
    // Runs DECLARE (taking over the query's portal), FETCH or CLOSE; a FETCH
    // from a simple query describes its rows first.
    bool run_cursor_command(const CursorCommand &command, std::unique_ptr<Portal> rows,
                            const Formats &formats, bool describe_rows, SqlError *error);

    // Consults the gate before a portal's statement first runs; false when it
    // is refused (the error in *error).
    bool start(BoundPortal &p, SqlError *error);
    // The gate before a cursor command.
    bool admit_cursor_command(SqlError *error);

    qx_client *client_;
    Output &out_;
    StatementGate &gate_;
    std::map<std::string, std::shared_ptr<PreparedStatement>> statements_;
    std::map<std::string, std::unique_ptr<BoundPortal>> portals_;
};

}  // namespace pg
}  // namespace qx
