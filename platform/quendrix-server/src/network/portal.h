// A portal: one statement with its parameters bound, run as far as the client
// asks. Portals serve the extended query protocol and cursors alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "internal.h"
#include "network/held_rows.h"
#include "network/pg_output.h"

struct sqlite3_stmt;

namespace qx {
namespace pg {

struct Column {
    std::string name;
    int32_t type;
};

// Result formats as Bind gives them: none (all text), one for all, or one per column.
using Formats = std::vector<int16_t>;

class Portal {
public:
    // Takes over `stmt`, which has its parameters bound.
    Portal(qx_client *client, sqlite3_stmt *stmt, bool call_form);
    ~Portal();
    Portal(const Portal &) = delete;
    Portal &operator=(const Portal &) = delete;

    sqlite3_stmt *statement() const { return stmt_; }
    // Hands the statement over to the caller (the portal is done with it); null
    // when it was taken before.
    sqlite3_stmt *take_statement() {
        sqlite3_stmt *stmt = stmt_;
        stmt_ = nullptr;
        return stmt;
    }

    // Learns the result's columns and their types. The types of computed columns
    // come from the first row, so this runs the statement up to it.
    bool describe(SqlError *error);
    // After describe(): whether the statement yields rows (else NoData).
    bool returns_rows() const { return returns_rows_; }
    const std::vector<Column> &columns() const { return columns_; }

    // Queues a RowDescription (or NoData) for the described columns.
    void queue_description(Output &out, const Formats &formats) const;
    // The column types the client was told when it described the statement: the
    // statement's own columns keep them (values go in the form of the type told).
    // Empty: types come from the declared types and the first row.
    void pin_types(std::vector<int32_t> types) { pinned_types_ = std::move(types); }

    // Sends at most max_rows rows (0: every row) as DataRow messages. *count is
    // the number sent; *suspended tells that rows remain. When the statement is
    // done, *tag is its command tag.
    bool execute(Output &out, const Formats &formats, long max_rows, long *count, bool *suspended,
                 std::string *tag, SqlError *error);

private:
    enum class Source { undecided, own, sent };
    friend void portal_receives_row(void *context, int n, qx_value *values);
    bool step(SqlError *error);
    void sent_row(int n, qx_value *values);
    void own_columns(const std::vector<qx_value> &first);
    bool send_row(int n, const qx_value *values);

    qx_client *client_;
    sqlite3_stmt *stmt_;
    bool call_form_;
    Source source_ = Source::undecided;
    bool described_ = false, returns_rows_ = false;
    bool on_row_ = false;  // the statement stands on an own row not yet sent
    bool done_ = false;
    std::string done_tag_;
    long total_rows_ = 0;
    std::vector<Column> columns_;
    std::vector<int32_t> pinned_types_;
    // Rows that built-ins sent while nobody took them (during describe, or past
    // the row limit), in order; past a few MiB they wait in a temporary file.
    HeldRows held_;
    std::string sent_error_;
    // While execute() runs: where sent rows go directly, and how many more fit.
    Output *out_ = nullptr;
    const Formats *formats_ = nullptr;
    long room_ = 0;
    long *count_ = nullptr;
    std::string row_;
};

}  // namespace pg
}  // namespace qx
