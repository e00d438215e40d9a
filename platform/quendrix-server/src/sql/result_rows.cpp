// Result rows that built-ins send (ordinal 24): each goes at once to the row
// receiver of the thread that runs the built-in, so nothing is kept per row.
#include <cstdarg>
#include <vector>

#include "internal.h"

namespace {

struct Receiver {
    qx_row_receiver fn = nullptr;
    void *context = nullptr;
};

thread_local Receiver receiver;

}  // namespace

extern "C" {

void qx_set_row_receiver(qx_row_receiver fn, void *context) {
    receiver.fn = fn;
    receiver.context = context;
}

void qx_result_row(int n, ...) {
    if (n < 0) {
        qx::raise_current("22023", nullptr, "a result row cannot have %d values", n);
        return;
    }
    if (!receiver.fn) {
        qx::raise_current("0A000", nullptr, "result rows cannot be sent here: no client takes them");
        return;
    }
    std::vector<qx_value> values(static_cast<size_t>(n));
    va_list ap;
    va_start(ap, n);
    for (int i = 0; i < n; ++i) values[static_cast<size_t>(i)] = va_arg(ap, qx_value);
    va_end(ap);
    receiver.fn(receiver.context, n, values.data());
}

}  // extern "C"
