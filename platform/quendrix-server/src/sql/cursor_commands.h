// The cursor statements of PostgreSQL clients, which SQLite does not have:
//   DECLARE name [NO SCROLL] CURSOR [WITH HOLD | WITHOUT HOLD] FOR query
//   FETCH [FORWARD] [count | ALL | NEXT] [FROM | IN] name
//   CLOSE name | CLOSE ALL
#pragma once

#include <string>

#include "internal.h"

namespace qx {

struct CursorCommand {
    enum Kind { none, declare, fetch, close } kind = none;
    std::string name;   // empty for CLOSE ALL
    bool hold = false;  // DECLARE ... WITH HOLD
    long count = 1;     // FETCH: rows to send, 0 for ALL
    std::string query;  // DECLARE: the query the cursor reads
};

// Recognises a cursor statement (an optional ';' may end it). Returns false with a
// 42601 or 0A000 error for a malformed or unsupported one; *command is `none`
// for any other statement.
bool parse_cursor_command(const std::string &sql, CursorCommand *command, SqlError *error);

}  // namespace qx
