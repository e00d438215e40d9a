// Result columns typed as drivers convert them, and parameters bound from the
// client's text or binary forms.
#include "network/pg_types.h"

#include <sqlite3.h>
#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "network/parameter_forms.h"
#include "sql/pg_catalogue.h"

namespace {

using namespace qx::pg;

std::string upper(const char *s) {
    std::string u;
    for (; s && *s; ++s) u += static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
    return u;
}

// The type that a declared column type names, by SQLite's affinity rules;
// kUnspecified when the values decide (BLOB, NUMERIC or no declared type).
int32_t declared_type(const char *declared) {
    std::string d = upper(declared);
    if (d.empty()) return kUnspecified;
    if (d.find("INT") != std::string::npos) return kInt8Oid;
    if (d.find("CHAR") != std::string::npos || d.find("CLOB") != std::string::npos ||
        d.find("TEXT") != std::string::npos)
        return kTextOid;
    if (d.find("BLOB") != std::string::npos) return kUnspecified;
    if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
        d.find("DOUB") != std::string::npos)
        return kFloat8Oid;
    return kUnspecified;
}

bool is_real(int tag) { return tag == QX_TAG_DOUBLE || tag == QX_TAG_FLOAT; }
bool is_bytes(int tag) { return tag == QX_TAG_BINARY || tag == QX_TAG_RAW; }

void put_be(std::string &out, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
}

// A real in float8's text form: what the value reads back as, and PostgreSQL's
// names for the special values.
void append_real(std::string &out, double d) {
    if (std::isnan(d)) {
        out += "NaN";
    } else if (std::isinf(d)) {
        out += d > 0 ? "Infinity" : "-Infinity";
    } else {
        qx_value boxed = qx_box_double(d);
        qx::format_value(out, boxed, false);
        qx_free_tree(boxed);
    }
}

void append_bytea_text(std::string &out, const unsigned char *p, size_t n) {
    out += "\\x";
    append_hex(out, reinterpret_cast<const char *>(p), n);
}

const char *type_name(int32_t oid) {
    switch (oid) {
        case kBoolOid: return "boolean";
        case kByteaOid: return "bytea";
        case kInt2Oid: return "smallint";
        case kInt4Oid: return "integer";
        case kInt8Oid: return "bigint";
        case kFloat4Oid: return "real";
        case kFloat8Oid: return "double precision";
        case kNumericOid: return "numeric";
        case kUuidOid: return "uuid";
        default: return "text";
    }
}

qx::SqlError bad_text(int32_t oid, const std::string &text) {
    return {"22P02", "", std::string("invalid input syntax for type ") + type_name(oid) + ": \"" +
                             text + "\""};
}

// Binds a client's bytes as a BLOB. Bytes that begin as the server's stored
// values do are bound in their serialized form (a value of type BINARY), as BLOB
// literals are, so that every reader turns them back into the same BLOB rather
// than into the value they look like.
int bind_user_blob(sqlite3_stmt *stmt, int index, const char *data, size_t length) {
    if (!qx::has_value_marker(data, length))
        return sqlite3_bind_blob64(stmt, index, data, length, SQLITE_TRANSIENT);
    qx_value blob = qx_box_bytes(data, length, QX_TAG_BINARY);
    if (!blob) return SQLITE_NOMEM;
    std::string stored = qx::serialize(blob);
    qx_free(blob);
    if (stored.empty()) return SQLITE_NOMEM;
    return sqlite3_bind_blob64(stmt, index, stored.data(), stored.size(), SQLITE_TRANSIENT);
}

}  // namespace

namespace qx {
namespace pg {

int32_t value_type(qx_value v) {
    int tag = qx_tag_of(v);
    if (tag == QX_TAG_NULL) return kUnspecified;
    if (tag == QX_TAG_INTEGER) return kInt8Oid;
    if (is_real(tag)) return kFloat8Oid;
    if (is_bytes(tag)) return kByteaOid;
    return kTextOid;
}

int32_t column_type(const char *declared, const qx_value *first, const char *name) {
    if (!declared && name && qx::is_catalogue_flag(name)) {
        const char *text = first && qx_tag_of(*first) == QX_TAG_STRING ? static_cast<const char *>(*first) : nullptr;
        if (!first || qx_tag_of(*first) == QX_TAG_NULL ||
            (text && qx_length_of(*first) == 1 && (text[0] == 't' || text[0] == 'f')))
            return kBoolOid;
    }
    if (!declared && name && qx::is_catalogue_key_array(name)) {
        const char *text = first && qx_tag_of(*first) == QX_TAG_STRING ? static_cast<const char *>(*first) : nullptr;
        if (!first || qx_tag_of(*first) == QX_TAG_NULL || (text && qx_length_of(*first) > 0 && text[0] == '{'))
            return kInt2ArrayOid;
    }
    int32_t oid = declared_type(declared);
    if (oid == kUnspecified && first) oid = value_type(*first);
    return oid == kUnspecified ? kTextOid : oid;
}

void append_column(Message &row, qx_value v, int32_t oid, bool binary, std::string &scratch) {
    if (qx_tag_of(v) == QX_TAG_NULL) {
        row.int32(-1);
        return;
    }
    scratch.clear();
    encode_value(scratch, v, oid, binary);
    row.int32(static_cast<int64_t>(scratch.size())).bytes(scratch);
}

void encode_value(std::string &out, qx_value v, int32_t oid, bool binary) {
    int tag = qx_tag_of(v);
    if (oid == kInt2ArrayOid && binary && tag == QX_TAG_STRING) {  // '{1,2}' in the binary array form
        std::string text(static_cast<const char *>(v), qx_length_of(v));
        std::vector<long> numbers;
        for (size_t at = 1; at < text.size() && text[at] != '}';) {
            numbers.push_back(std::strtol(text.c_str() + at, nullptr, 10));
            at = text.find_first_of(",}", at);
            if (at == std::string::npos) break;
            if (text[at] == ',') ++at;
        }
        put_be(out, numbers.empty() ? 0 : 1, 4);  // dimensions
        put_be(out, 0, 4);                        // no NULLs
        put_be(out, kInt2Oid, 4);
        if (!numbers.empty()) {
            put_be(out, numbers.size(), 4);
            put_be(out, 1, 4);  // lower bound
        }
        for (long n : numbers) {
            put_be(out, 2, 4);
            put_be(out, static_cast<uint64_t>(n), 2);
        }
        return;
    }
    if (oid == kBoolOid) {  // 't' or 'f' as the catalogue keeps them, or a number
        bool yes = tag == QX_TAG_INTEGER ? qx_unbox(v) != 0
                   : tag == QX_TAG_STRING && qx_length_of(v) > 0 ? *static_cast<const char *>(v) == 't'
                                                                 : false;
        out += binary ? (yes ? '\1' : '\0') : (yes ? 't' : 'f');
        return;
    }
    if (binary && oid == kInt8Oid && (tag == QX_TAG_INTEGER || is_real(tag))) {
        int64_t n = tag == QX_TAG_INTEGER ? qx_unbox(v) : static_cast<int64_t>(qx_unbox_double(v));
        put_be(out, static_cast<uint64_t>(n), 8);
        return;
    }
    if (binary && oid == kFloat8Oid && (tag == QX_TAG_INTEGER || is_real(tag))) {
        double d = tag == QX_TAG_INTEGER ? static_cast<double>(qx_unbox(v)) : qx_unbox_double(v);
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        put_be(out, bits, 8);
        return;
    }
    if (binary && oid == kByteaOid && (is_bytes(tag) || tag == QX_TAG_STRING)) {
        out.append(static_cast<const char *>(v), qx_length_of(v));
        return;
    }
    // The text form, which is also text's binary form.
    if (is_real(tag)) {
        append_real(out, qx_unbox_double(v));
    } else if (is_bytes(tag) && oid == kByteaOid) {
        append_bytea_text(out, static_cast<const unsigned char *>(v), qx_length_of(v));
    } else {
        format_value(out, v, false);
    }
}

bool bind_parameter(sqlite3_stmt *stmt, int index, int number, int32_t oid, bool binary,
                    const char *data, size_t length, SqlError *error) {
    if (!data) return sqlite3_bind_null(stmt, index) == SQLITE_OK;
    int rc = SQLITE_OK;
    std::string converted;
    if (binary) {
        switch (binary_parameter_text(oid, data, length, converted)) {
            case BinaryText::converted:  // bound as the same text would be
                binary = false;
                data = converted.data();
                length = converted.size();
                break;
            case BinaryText::malformed:
                *error = {"22P03", "", "incorrect binary data format in bind parameter " + std::to_string(number)};
                return false;
            case BinaryText::unsupported:
                *error = {"42883", "", "no binary input function available for type with OID " + std::to_string(oid)};
                return false;
            case BinaryText::not_textual:
                break;
        }
    }
    if (binary) {
        size_t width = oid == kInt2Oid ? 2 : oid == kInt4Oid || oid == kFloat4Oid ? 4
                       : oid == kInt8Oid || oid == kFloat8Oid ? 8 : oid == kBoolOid ? 1 : 0;
        if (width && length != width) {
            *error = {"22P03", "", "incorrect binary data format in bind parameter " +
                                       std::to_string(number)};
            return false;
        }
        uint64_t raw = width ? get_be(data, width) : 0;
        switch (oid) {
            case kInt2Oid: rc = sqlite3_bind_int64(stmt, index, static_cast<int16_t>(raw)); break;
            case kInt4Oid: rc = sqlite3_bind_int64(stmt, index, static_cast<int32_t>(raw)); break;
            case kInt8Oid: rc = sqlite3_bind_int64(stmt, index, static_cast<int64_t>(raw)); break;
            case kBoolOid: rc = sqlite3_bind_int64(stmt, index, raw != 0); break;
            case kFloat4Oid: {
                uint32_t bits = static_cast<uint32_t>(raw);
                float f;
                std::memcpy(&f, &bits, sizeof f);
                rc = sqlite3_bind_double(stmt, index, f);
                break;
            }
            case kFloat8Oid: {
                double d;
                std::memcpy(&d, &raw, sizeof d);
                rc = sqlite3_bind_double(stmt, index, d);
                break;
            }
            default:  // bytea
                rc = bind_user_blob(stmt, index, data, length);
                break;
        }
        return rc == SQLITE_OK;
    }
    std::string text(data, length);
    switch (oid) {
        case kInt2Oid:
        case kInt4Oid:
        case kInt8Oid: {
            errno = 0;
            char *end = nullptr;
            long long n = std::strtoll(text.c_str(), &end, 10);
            while (end && std::isspace(static_cast<unsigned char>(*end))) ++end;
            if (text.empty() || errno || *end) {
                *error = bad_text(oid, text);
                return false;
            }
            rc = sqlite3_bind_int64(stmt, index, n);
            break;
        }
        case kFloat4Oid:
        case kFloat8Oid:
        case kNumericOid: {
            char *end = nullptr;
            errno = 0;
            long long n = std::strtoll(text.c_str(), &end, 10);
            // An integral numeric stays exact while a bigint holds it.
            if (oid == kNumericOid && !text.empty() && !*end && errno == 0) {
                rc = sqlite3_bind_int64(stmt, index, n);
                break;
            }
            double d = std::strtod(text.c_str(), &end);
            if (text.empty() || *end) {
                *error = bad_text(oid, text);
                return false;
            }
            rc = sqlite3_bind_double(stmt, index, d);
            break;
        }
        case kUuidOid: {
            std::string canonical;
            if (!canonical_uuid(text, canonical)) {
                *error = bad_text(oid, text);
                return false;
            }
            rc = sqlite3_bind_text64(stmt, index, canonical.data(), canonical.size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
            break;
        }
        case kBoolOid: {
            const char *t = text.c_str();
            bool yes = !strcasecmp(t, "t") || !strcasecmp(t, "true") || !strcasecmp(t, "yes") ||
                       !strcasecmp(t, "on") || !strcmp(t, "1");
            bool no = !strcasecmp(t, "f") || !strcasecmp(t, "false") || !strcasecmp(t, "no") ||
                      !strcasecmp(t, "off") || !strcmp(t, "0");
            if (!yes && !no) {
                *error = bad_text(oid, text);
                return false;
            }
            rc = sqlite3_bind_int64(stmt, index, yes);
            break;
        }
        case kByteaOid: {
            if (text.compare(0, 2, "\\x") != 0) {  // the escape form: taken as the bytes
                rc = bind_user_blob(stmt, index, text.data(), text.size());
                break;
            }
            std::string bytes;
            for (size_t i = 2; i < text.size(); i += 2) {
                int hi = hex_digit(text[i]), lo = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
                if (hi < 0 || lo < 0) {
                    *error = bad_text(oid, text);
                    return false;
                }
                bytes += static_cast<char>(hi << 4 | lo);
            }
            rc = bind_user_blob(stmt, index, bytes.data(), bytes.size());
            break;
        }
        default:
            rc = sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
            break;
    }
    if (rc != SQLITE_OK) *error = decode_error(sqlite3_errmsg(sqlite3_db_handle(stmt)), rc);
    return rc == SQLITE_OK;
}

}  // namespace pg
}  // namespace qx
