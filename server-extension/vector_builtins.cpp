// my_aref (an element of a typed vector by zero-based subscript) and my_vector
// (a new array of copies of the arguments).
#include <cstring>

#include "builtins.h"

namespace {

// Bytes per element for the length of a value of this tag. Slot vectors hold
// one pointer-sized value per slot; values that are no vector are measured with
// width 4.
size_t element_width(int tag) {
    switch (tag) {
        case QX_TAG_ARRAY:
        case QX_TAG_LIST:
        case QX_TAG_RECORD:
        case QX_TAG_ROW:
        case QX_TAG_TREE:
            return sizeof(qx_value);
        case QX_TAG_STRING:
        case QX_TAG_BINARY:
            return 1;
        case QX_TAG_WIDE_STRING:
        case QX_TAG_UINT16_VECTOR:
            return 2;
        case QX_TAG_DOUBLE_VECTOR:
            return 8;
        default:
            return 4;
    }
}

template <typename T>
T element_at(qx_value vec, int32_t index) {
    T e;
    std::memcpy(&e, static_cast<const unsigned char *>(vec) + sizeof(T) * index, sizeof e);
    return e;
}

}  // namespace

extern "C" {

qx_value my_aref(qx_state *qst, qx_value *, qx_value *args) {
    qx_value vec = qx_bif_arg_unconverted(qst, args, 0, "my_aref");
    int32_t index = qx_bif_arg_int32(qst, args, 1, "my_aref");
    int tag = qx_tag_of(vec);
    // An inline integer has no header; it is measured as a boxed 64-bit integer.
    uint32_t bytes = qx_is_inline(vec) ? sizeof(int64_t) : qx_length_of(vec);
    uint32_t length = bytes / element_width(tag);
    if (index < 0 || static_cast<uint32_t>(index) >= length) {
        qx_sql_error("42000",
                     "aref: Bad array subscript (zero-based) %d for an arg of type %s (%d) and "
                     "length %d.",
                     index, qx_tag_name(tag), tag, static_cast<int>(length));
        return nullptr;
    }
    switch (tag) {
        case QX_TAG_STRING:
        case QX_TAG_BINARY:
            return qx_box_int64(element_at<uint8_t>(vec, index));
        case QX_TAG_WIDE_STRING:
        case QX_TAG_UINT16_VECTOR:
            return qx_box_int64(element_at<uint16_t>(vec, index));
        case QX_TAG_INT32_VECTOR:
            return qx_box_int64(element_at<int32_t>(vec, index));
        case QX_TAG_FLOAT_VECTOR:
            return qx_box_float(element_at<float>(vec, index));
        case QX_TAG_DOUBLE_VECTOR:
            return qx_box_double(element_at<double>(vec, index));
        case QX_TAG_INT_LIST:
            return qx_box_int64(qx_int_list_ref(vec, index));
        case QX_TAG_ARRAY:
        case QX_TAG_LIST:
        case QX_TAG_RECORD:
        case QX_TAG_ROW:
        case QX_TAG_TREE:
            return qx_copy(element_at<qx_value>(vec, index));
        default:
            qx_sql_error_code("22023", "SR000", "%s expects a vector, not an arg of type %d.",
                              "my_aref", tag);
            return nullptr;
    }
}

qx_value my_vector(qx_state *qst, qx_value *, qx_value *args) {
    size_t count = qx_length_of(args) / sizeof(qx_value);
    qx_value vec = qx_alloc(count * sizeof(qx_value), QX_TAG_ARRAY);
    if (!vec) return nullptr;
    for (size_t i = 0; i < count; ++i)
        qx_slots(vec)[i] = qx_copy(qx_bif_arg(qst, args, static_cast<int>(i), "my_vector"));
    return vec;
}

}
