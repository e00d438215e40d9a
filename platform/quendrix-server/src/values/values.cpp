// Server values: allocation with the 4-byte header, freeing, deep copies, boxing
// of numbers and text, and the names of the type tags.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

// The header sits in the 4 bytes just before the data; the data starts 8 bytes
// into the block so that it is 8-byte aligned.
constexpr size_t kPrefix = 8;

void write_header(unsigned char *data, uint32_t length, int tag) {
    unsigned char *h = data - 4;
    h[0] = static_cast<unsigned char>(length & 0xFF);
    h[1] = static_cast<unsigned char>((length >> 8) & 0xFF);
    h[2] = static_cast<unsigned char>((length >> 16) & 0xFF);
    h[3] = static_cast<unsigned char>(tag);
}

bool is_heap_value(qx_value v) { return !qx_is_inline(v); }

// Slot i of an error value when it holds text, else null: error values can also
// arrive from a BLOB, with anything in their slots.
const char *error_text(qx_value err, size_t i) {
    if (qx_tag_of(err) != QX_TAG_ERROR || qx_slot_count(err) < 3) return nullptr;
    qx_value text = qx_slots(err)[i];
    bool is_text = !qx_is_inline(text) && qx_tag_of(text) == QX_TAG_STRING;
    return is_text ? static_cast<const char *>(text) : nullptr;
}

}  // namespace

extern "C" {

int qx_tag_holds_values(int tag) {
    switch (tag) {
        case QX_TAG_ARRAY:
        case QX_TAG_LIST:
        case QX_TAG_RECORD:
        case QX_TAG_ROW:
        case QX_TAG_TREE:
        case QX_TAG_ERROR:
            return 1;
        default:
            return 0;
    }
}

qx_value qx_alloc(size_t length, int tag) {
    if (length > QX_MAX_LENGTH) {
        qx::raise_current("54000", nullptr,
                          "A value of %zu bytes exceeds the server's limit of %u bytes", length,
                          QX_MAX_LENGTH);
        return nullptr;
    }
    // One spare zero byte after the data terminates text values.
    auto *block = static_cast<unsigned char *>(std::calloc(1, kPrefix + length + 1));
    if (!block) {
        qx::raise_current("53200", nullptr, "Out of memory allocating %zu bytes", length);
        return nullptr;
    }
    unsigned char *data = block + kPrefix;
    write_header(data, static_cast<uint32_t>(length), tag);
    return data;
}

void qx_free(qx_value v) {
    if (!is_heap_value(v)) return;
    std::free(static_cast<unsigned char *>(v) - kPrefix);
}

void qx_free_tree(qx_value v) {
    if (!is_heap_value(v)) return;
    if (qx_tag_holds_values(qx_tag_of(v))) {
        qx_value *slot = qx_slots(v);
        for (size_t i = 0, n = qx_slot_count(v); i < n; ++i) qx_free_tree(slot[i]);
    }
    qx_free(v);
}

qx_value qx_copy(qx_value v) {
    if (!is_heap_value(v)) return v;
    int tag = qx_tag_of(v);
    uint32_t length = qx_length_of(v);
    qx_value c = qx_alloc(length, tag);
    if (!c) return nullptr;
    if (qx_tag_holds_values(tag)) {
        const qx_value *from = qx_slots(v);
        qx_value *to = qx_slots(c);
        for (size_t i = 0, n = qx_slot_count(v); i < n; ++i) to[i] = qx_copy(from[i]);
    } else {
        std::memcpy(c, v, length);
    }
    return c;
}

int64_t qx_unbox(qx_value v) {
    if (qx_is_inline(v)) return static_cast<int64_t>(reinterpret_cast<uintptr_t>(v));
    switch (qx_tag_of(v)) {
        case QX_TAG_INTEGER: {
            int64_t n = 0;
            if (qx_length_of(v) >= sizeof n) std::memcpy(&n, v, sizeof n);
            return n;
        }
        case QX_TAG_DOUBLE:
        case QX_TAG_FLOAT: {
            double d = qx_unbox_double(v);
            // Out-of-range conversions are undefined; clamp instead.
            if (!(d == d)) return 0;
            if (d >= 9.2233720368547758e18) return INT64_MAX;
            if (d <= -9.2233720368547758e18) return INT64_MIN;
            return static_cast<int64_t>(d);
        }
        case QX_TAG_STRING:
            return std::strtoll(static_cast<const char *>(v), nullptr, 10);
        default:
            return 0;
    }
}

double qx_unbox_double(qx_value v) {
    if (qx_is_inline(v)) return static_cast<double>(reinterpret_cast<uintptr_t>(v));
    switch (qx_tag_of(v)) {
        // Values decoded from a BLOB may be shorter than their type: read only
        // what the value holds.
        case QX_TAG_DOUBLE: {
            double d = 0;
            if (qx_length_of(v) >= sizeof d) std::memcpy(&d, v, sizeof d);
            return d;
        }
        case QX_TAG_FLOAT: {
            float f = 0;
            if (qx_length_of(v) >= sizeof f) std::memcpy(&f, v, sizeof f);
            return f;
        }
        case QX_TAG_INTEGER:
            return static_cast<double>(qx_unbox(v));
        default:
            return 0;
    }
}

qx_value qx_box_int64(int64_t n) {
    if (n >= 0 && n < static_cast<int64_t>(QX_INLINE_LIMIT))
        return reinterpret_cast<qx_value>(static_cast<uintptr_t>(n));
    qx_value v = qx_alloc(sizeof n, QX_TAG_INTEGER);
    if (v) std::memcpy(v, &n, sizeof n);
    return v;
}

qx_value qx_box_bytes(const void *bytes, size_t length, int tag) {
    qx_value v = qx_alloc(length, tag);
    if (v && length) std::memcpy(v, bytes, length);
    return v;
}

qx_value qx_box_string(const char *text) {
    return qx_box_bytes(text, text ? std::strlen(text) : 0, QX_TAG_STRING);
}

qx_value qx_box_double(double d) { return qx_box_bytes(&d, sizeof d, QX_TAG_DOUBLE); }

qx_value qx_box_float(float f) { return qx_box_bytes(&f, sizeof f, QX_TAG_FLOAT); }

int32_t qx_int_list_ref(qx_value v, int32_t index) {
    if (qx_is_inline(v) || index < 0) return 0;
    if (static_cast<uint32_t>(index) >= qx_length_of(v) / 4) return 0;
    int32_t n;
    std::memcpy(&n, static_cast<const unsigned char *>(v) + 4 * static_cast<size_t>(index),
                sizeof n);
    return n;
}

qx_value qx_list(int n, ...) {
    if (n < 0) n = 0;
    qx_value list = qx_alloc(static_cast<size_t>(n) * sizeof(qx_value), QX_TAG_ARRAY);
    va_list ap;
    va_start(ap, n);
    for (int i = 0; i < n; ++i) {
        qx_value item = va_arg(ap, qx_value);
        if (list)
            qx_slots(list)[i] = item;
        else
            qx_free_tree(item);  // the list took them over; do not leak them
    }
    va_end(ap);
    return list;
}

const char *qx_tag_name(int tag) {
    switch (tag) {
        case QX_TAG_STRING: return "VARCHAR";
        case QX_TAG_INT_LIST: return "INT_LIST";
        case QX_TAG_INTEGER: return "INTEGER";
        case QX_TAG_FLOAT: return "REAL";
        case QX_TAG_DOUBLE: return "DOUBLE PRECISION";
        case QX_TAG_ARRAY: return "ARRAY";
        case QX_TAG_DOUBLE_VECTOR: return "DOUBLE_VECTOR";
        case QX_TAG_LIST: return "LIST";
        case QX_TAG_FLOAT_VECTOR: return "REAL_VECTOR";
        case QX_TAG_NULL: return "NULL";
        case QX_TAG_INT32_VECTOR: return "INTEGER_VECTOR";
        case QX_TAG_RECORD: return "RECORD";
        case QX_TAG_ROW: return "ROW";
        case QX_TAG_TREE: return "TREE";
        case QX_TAG_BINARY: return "VARBINARY";
        case QX_TAG_RAW: return "RAW";
        case QX_TAG_WIDE_STRING: return "NVARCHAR";
        case QX_TAG_UINT16_VECTOR: return "SMALLINT_VECTOR";
        case QX_TAG_ERROR: return "ERROR";
        default: return "UNKNOWN";
    }
}

qx_value qx_error_new(const char *sqlstate, const char *native_code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    qx_value err = qx::make_error_v(sqlstate, native_code, fmt, ap);
    va_end(ap);
    return err;
}

const char *qx_error_state(qx_value err) {
    const char *state = error_text(err, 0);
    return state ? state : "HY000";
}

const char *qx_error_native_code(qx_value err) { return error_text(err, 1); }

const char *qx_error_message(qx_value err) {
    const char *message = error_text(err, 2);
    return message ? message : "unknown error";
}

}  // extern "C"

namespace qx {

qx_value make_error_v(const char *sqlstate, const char *native_code, const char *fmt,
                      va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) n = 0;
    size_t length = static_cast<size_t>(n) > QX_MAX_LENGTH ? QX_MAX_LENGTH : n;
    qx_value message = qx_alloc(length, QX_TAG_STRING);
    if (message) std::vsnprintf(static_cast<char *>(message), length + 1, fmt, ap);
    qx_value err = qx_alloc(3 * sizeof(qx_value), QX_TAG_ERROR);
    if (!err) {
        qx_free(message);
        return nullptr;
    }
    qx_slots(err)[0] = qx_box_string(sqlstate ? sqlstate : "HY000");
    qx_slots(err)[1] = native_code ? qx_box_string(native_code) : nullptr;
    qx_slots(err)[2] = message ? message : qx_box_string("");
    return err;
}

}  // namespace qx
