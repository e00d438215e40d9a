// COPY ... FROM STDIN and COPY ... TO STDOUT as PostgreSQL's clients send them (psql's
// \copy, the drivers' copy functions): the statement, and rows in the text and CSV
// formats, and in the binary format coming in (asyncpg's copy_records_to_table). The server reads and writes no file of its own for a client: COPY from or
// to a file or a program is refused.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "internal.h"

namespace qx {
namespace pg {

struct CopyCommand {
    bool from_stdin = false;  // else TO STDOUT
    std::string table;        // as written, for SQL text
    std::string columns;      // "(a, b)" as written, or empty for every column
    std::string query;        // COPY (query) TO STDOUT
    bool csv = false;
    bool binary = false;  // FROM STDIN only
    char delimiter = '\t';    // CSV: ',' unless given
    std::string null_text = "\\N";  // CSV: "" unless given
    bool delimiter_given = false, null_given = false;
    bool header = false;
    char quote = '"', escape = '"';
};

// Whether `sql` is a COPY statement; *error is set when it is one that is malformed or
// that this server does not run (a file, a program, the binary format).
bool parse_copy(const std::string &sql, CopyCommand *command, SqlError *error);

// The most bytes one row of COPY data may have, as one message may: a client that sends
// a row without end is stopped there, not given the server's memory.
constexpr size_t kMaxCopyRow = 32u << 20;

// A field of a row: absent for NULL.
using CopyField = std::optional<std::string>;

// Splits the bytes of CopyData messages into rows, as they come: a row may span
// messages, and a CSV field may span lines.
class CopyReader {
public:
    // Called for each row with its fields and its line number; false (with the error)
    // stops the COPY.
    using RowHandler = std::function<bool(std::vector<CopyField> &fields, long line, SqlError *error)>;
    CopyReader(const CopyCommand &command, RowHandler handler) : c_(command), handler_(std::move(handler)) {}
    bool feed(const char *data, size_t size, SqlError *error);
    // The end of the data: a last row without its newline.
    bool finish(SqlError *error);

private:
    void end_field();
    bool row_ends(SqlError *error);
    bool binary_feed(const char *data, size_t size, SqlError *error);
    bool text_byte(char ch, SqlError *error);
    bool unquoted_byte(char ch, SqlError *error);
    bool csv_byte(char ch, SqlError *error);

    const CopyCommand &c_;
    RowHandler handler_;
    std::vector<CopyField> fields_;
    std::string field_;
    std::string last_raw_;      // text: the last field as written
    bool quoted_ = false;       // the CSV field began with a quote
    bool in_quotes_ = false;    // ... and its closing quote has not come yet
    bool escaping_ = false;     // text: after a backslash; CSV: after an escape within quotes
    bool after_cr_ = false;     // a CR ended the last row: a LF right after it belongs to it
    bool header_pending_ = false;
    bool ended_ = false;        // the end-of-data marker "\." came
    long line_ = 1;
    size_t row_bytes_ = 0;      // of the row being read
    std::string buffer_;        // binary: bytes of the row not yet whole
    bool binary_header_done_ = false;
    bool started_ = false;
};

// Appends one row (and its newline) in the command's format.
void append_copy_row(std::string &out, const CopyCommand &command, const std::vector<CopyField> &fields);

}  // namespace pg
}  // namespace qx
