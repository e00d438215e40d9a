// COPY ... FROM STDIN and COPY ... TO STDOUT over a connection, as PostgreSQL runs them
// for a simple query: CopyInResponse and the client's CopyData up to CopyDone (or
// CopyFail), or CopyOutResponse, a CopyData for each row and CopyDone. Rows that come in
// are inserted all or none.
#pragma once

#include <string>

#include "network/copy_format.h"
#include "network/pg_output.h"

namespace qx {
namespace pg {

// What a COPY needs of its connection besides its output: the client's next message.
class CopySource {
public:
    virtual ~CopySource() = default;
    // False when the connection ends (the reason, if any, already told).
    virtual bool next_message(char *type, std::string *body) = 0;
};

// Runs the COPY: true with *tag ("COPY n"), false with *error. *connection_lost when
// the client went away meanwhile.
bool run_copy(const CopyCommand &command, qx_client *client, Output &out, CopySource &in, StatementGate &gate,
              std::string *tag, SqlError *error, bool *connection_lost);

}  // namespace pg
}  // namespace qx
