// n_range_bif: streams the rows (i, 2 * i) of an integer range to the client,
// one row at a time, so that memory does not grow with the range.
#include <cstdint>

#include "n_range_bif.h"

namespace {

// The low 32 bits of an integer value, as a signed number.
int32_t low_32_bits(qx_value v) { return static_cast<int32_t>(static_cast<uint32_t>(qx_unbox(v))); }

}  // namespace

extern "C" {

qx_value n_range_bif(qx_state *qst, qx_value *err, qx_value *args) {
    // The server refuses extra arguments only after the call, when the rows have
    // gone out; refuse them before the first row instead.
    size_t given = qx_slot_count(args);
    if (given > 2) {
        qx_sql_error("07001", "n_range_bif: too many arguments (%zu given, 2 expected)", given);
        return nullptr;
    }
    qx_value lower_arg = qx_bif_arg(qst, args, 0, "n_range_bif");
    qx_value upper_arg = qx_bif_arg(qst, args, 1, "n_range_bif");
    if (*err) return nullptr;  // an argument is missing
    int lower_tag = qx_tag_of(lower_arg);
    int upper_tag = qx_tag_of(upper_arg);

    int32_t lower = 0;
    if (lower_tag == QX_TAG_INTEGER) {
        lower = low_32_bits(lower_arg);
    } else if (lower_tag != QX_TAG_NULL) {
        qx_sql_error("42000", "Bad arg 1 for n_rage_bif");
        return nullptr;
    }
    int32_t upper = 10;
    if (upper_tag == QX_TAG_INTEGER) {
        upper = low_32_bits(upper_arg);
    } else if (upper_tag != QX_TAG_NULL) {
        qx_sql_error("42000", "Bad arg 2 for n_range_bif");
        return nullptr;
    }

    // i < upper <= INT32_MAX, so ++i never overflows.
    for (int32_t i = lower; i < upper; ++i) {
        qx_value n = qx_box_int64(i);
        qx_value twice = qx_box_int64(static_cast<int32_t>(2u * static_cast<uint32_t>(i)));
        qx_result_row(2, n, twice);
        qx_free(n);
        qx_free(twice);
        // A row the client could not take raised an error: that ends the call.
        if (*err) return nullptr;
    }
    return nullptr;
}

}
