// The readable form of server values that the shell prints.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

void append_double(std::string &out, double d) {
    char buf[40];
    if (std::isnan(d)) {
        out += "NaN";
        return;
    }
    if (std::isinf(d)) {
        out += d > 0 ? "Inf" : "-Inf";
        return;
    }
    std::snprintf(buf, sizeof buf, "%.15g", d);
    if (std::strtod(buf, nullptr) != d) std::snprintf(buf, sizeof buf, "%.17g", d);
    // Every real shows a decimal point, in the exponent form too ("1.0e+16"), so
    // that no reader takes it for an integer.
    std::string text = buf;
    if (text.find('.') == std::string::npos) {
        size_t e = text.find('e');
        text.insert(e == std::string::npos ? text.size() : e, ".0");
    }
    out += text;
}

void append_hex(std::string &out, const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    out += "X'";
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    out += '\'';
}

template <typename T, typename Append>
void append_elements(std::string &out, qx_value v, Append append) {
    const auto *p = static_cast<const unsigned char *>(v);
    size_t n = qx_length_of(v) / sizeof(T);
    out += '[';
    for (size_t i = 0; i < n; ++i) {
        if (i) out += ", ";
        T e;
        std::memcpy(&e, p + i * sizeof(T), sizeof e);
        append(e);
    }
    out += ']';
}

}  // namespace

namespace qx {

void format_value(std::string &out, qx_value v, bool nested) {
    int tag = qx_tag_of(v);
    auto append_int = [&out](long long n) { out += std::to_string(n); };
    auto append_real = [&out](double d) { append_double(out, d); };
    switch (tag) {
        case QX_TAG_INTEGER:
            append_int(static_cast<long long>(qx_unbox(v)));
            return;
        case QX_TAG_NULL:
            out += "NULL";
            return;
        case QX_TAG_DOUBLE:
        case QX_TAG_FLOAT:
            append_double(out, qx_unbox_double(v));
            return;
        case QX_TAG_STRING: {
            const char *s = static_cast<const char *>(v);
            size_t n = qx_length_of(v);
            if (!nested) {
                out.append(s, n);
                return;
            }
            out += '\'';
            for (size_t i = 0; i < n; ++i) {
                if (s[i] == '\'') out += '\'';
                out += s[i];
            }
            out += '\'';
            return;
        }
        case QX_TAG_BINARY:
        case QX_TAG_RAW:
            append_hex(out, static_cast<const unsigned char *>(v), qx_length_of(v));
            return;
        case QX_TAG_INT32_VECTOR:
        case QX_TAG_INT_LIST:
            append_elements<int32_t>(out, v, append_int);
            return;
        case QX_TAG_WIDE_STRING:
        case QX_TAG_UINT16_VECTOR:
            append_elements<uint16_t>(out, v, append_int);
            return;
        case QX_TAG_FLOAT_VECTOR:
            append_elements<float>(out, v, append_real);
            return;
        case QX_TAG_DOUBLE_VECTOR:
            append_elements<double>(out, v, append_real);
            return;
        case QX_TAG_ERROR:
            out += "<error ";
            out += qx_error_state(v);
            out += ": ";
            out += qx_error_message(v);
            out += '>';
            return;
        default:
            break;
    }
    if (qx_tag_holds_values(tag)) {
        out += '[';
        for (size_t i = 0, n = qx_slot_count(v); i < n; ++i) {
            if (i) out += ", ";
            format_value(out, qx_slots(v)[i], true);
        }
        out += ']';
        return;
    }
    out += '<';
    out += qx_tag_name(tag);
    out += " (" + std::to_string(tag) + ") " + std::to_string(qx_length_of(v)) + " bytes>";
}

}  // namespace qx
