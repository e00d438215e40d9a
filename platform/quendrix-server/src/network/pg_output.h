// What the protocol handlers of a connection write to: buffered messages to the
// client and error responses.
#pragma once

#include "internal.h"
#include "network/pg_wire.h"
#include "sql/result_set.h"

namespace qx {
namespace pg {

class Output {
public:
    virtual ~Output() = default;
    // Adds a message to the output buffer; false when the client is gone.
    virtual bool queue(Message &m) = 0;
    // Writes the buffer out; false when the client is gone.
    virtual bool flush() = 0;
    // Queues an ErrorResponse.
    virtual void error(const SqlError &e, const char *severity = "ERROR") = 0;
};

// The connection's rules for the statements of the extended protocol and the
// cursor commands: the StatementHooks around each statement (a failed
// transaction block, an interrupted connection), and these.
class StatementGate : public StatementHooks {
public:
    // Whether statements may be prepared and run now (else *error says why).
    virtual bool admit(SqlError *error) = 0;
    // Whether the transaction block has failed: then only its end may run.
    virtual bool block_failed() const = 0;
};

}  // namespace pg
}  // namespace qx
