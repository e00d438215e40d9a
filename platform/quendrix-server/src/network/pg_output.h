// What the protocol handlers of a connection write to: buffered messages to the
// client and error responses.
#pragma once

#include "internal.h"
#include "network/pg_wire.h"

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

}  // namespace pg
}  // namespace qx
