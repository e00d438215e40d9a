#include "network/parameter_forms.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "network/pg_types.h"
#include "sql/pg_arrays.h"
#include "sql/pg_catalogue.h"

namespace qx {
namespace pg {
namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// A day counted from 2000-01-01 as year-month-day of the proleptic Gregorian
// calendar, with year 0 and below written as years BC, as PostgreSQL does.
void append_date(std::string &out, int64_t days_from_2000) {
    // Days from 0000-03-01, in 400-year eras of 146097 days.
    int64_t z = days_from_2000 + 730425;
    int64_t era = floor_div(z, 146097);
    int64_t day_of_era = z - era * 146097;
    int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t mp = (5 * day_of_year + 2) / 153;
    int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = year_of_era + era * 400 + (month <= 2);
    bool bc = year <= 0;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "%s", bc ? 1 - year : year, month,
                  day, bc ? " BC" : "");
    out += buf;
}

// Microseconds into the day as HH:MM:SS, with the fraction PostgreSQL prints
// (no trailing zeros, none at all for whole seconds).
void append_time(std::string &out, int64_t micros) {
    int64_t seconds = micros / 1000000, fraction = micros % 1000000;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    out += buf;
    if (fraction == 0) return;
    std::snprintf(buf, sizeof buf, ".%06" PRId64, fraction);
    std::string digits(buf);
    while (digits.back() == '0') digits.pop_back();
    out += digits;
}

bool timestamp_text(const char *data, size_t length, bool with_zone, std::string &text) {
    if (length != 8) return false;
    int64_t micros = static_cast<int64_t>(get_be(data, 8));
    if (micros == INT64_MAX || micros == INT64_MIN) {
        text = micros == INT64_MAX ? "infinity" : "-infinity";
        return true;
    }
    constexpr int64_t kMicrosPerDay = 86400000000LL;
    int64_t days = floor_div(micros, kMicrosPerDay);
    append_date(text, days);
    // A BC date keeps its suffix after the time, as PostgreSQL prints it.
    bool bc = text.size() > 3 && text.compare(text.size() - 3, 3, " BC") == 0;
    if (bc) text.resize(text.size() - 3);
    text += ' ';
    append_time(text, micros - days * kMicrosPerDay);
    if (with_zone) text += "+00";  // the session's time zone is UTC
    if (bc) text += " BC";
    return true;
}

// numeric: digit count, weight of the first digit, sign, display scale, then
// the digits in base 10000.
bool numeric_text(const char *data, size_t length, std::string &text) {
    if (length < 8) return false;
    const int ndigits = static_cast<int16_t>(get_be(data, 2));
    const int weight = static_cast<int16_t>(get_be(data + 2, 2));
    const unsigned sign = static_cast<unsigned>(get_be(data + 4, 2));
    const int dscale = static_cast<int16_t>(get_be(data + 6, 2));
    if (ndigits < 0 || dscale < 0 || length != 8 + 2 * static_cast<size_t>(ndigits)) return false;
    switch (sign) {
        case 0xC000: text = "NaN"; return ndigits == 0;
        case 0xD000: text = "Infinity"; return ndigits == 0;
        case 0xF000: text = "-Infinity"; return ndigits == 0;
        case 0x0000: case 0x4000: break;
        default: return false;
    }
    auto digit = [&](int i) -> int {  // the base-10000 digit of weight `weight - i`
        return i >= 0 && i < ndigits ? static_cast<int>(get_be(data + 8 + 2 * i, 2)) : 0;
    };
    for (int i = 0; i < ndigits; ++i)
        if (digit(i) > 9999) return false;
    if (sign == 0x4000) text += '-';
    char group[8];
    if (weight < 0) {
        text += '0';
    } else {
        for (int i = 0; i <= weight; ++i) {
            std::snprintf(group, sizeof group, i == 0 ? "%d" : "%04d", digit(i));
            text += group;
        }
    }
    if (dscale > 0) {
        text += '.';
        std::string fraction;
        for (int i = weight + 1; static_cast<int>(fraction.size()) < dscale; ++i) {
            std::snprintf(group, sizeof group, "%04d", digit(i));
            fraction += group;
        }
        text.append(fraction, 0, static_cast<size_t>(dscale));
    }
    return true;
}

}  // namespace

void append_hex(std::string &out, const char *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out += digits[static_cast<unsigned char>(p[i]) >> 4];
        out += digits[static_cast<unsigned char>(p[i]) & 15];
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool canonical_uuid(const std::string &in, std::string &out) {
    size_t begin = 0, end = in.size();
    if (end >= 2 && in[0] == '{' && in[end - 1] == '}') {
        ++begin;
        --end;
    }
    char bytes[16];
    size_t digits = 0;
    for (size_t i = begin; i < end; ++i) {
        // A hyphen may follow any group of four digits, but not end the text.
        if (in[i] == '-' && digits % 4 == 0 && digits > 0 && digits < 32 && i + 1 < end && in[i + 1] != '-')
            continue;
        int v = hex_digit(in[i]);
        if (v < 0 || digits == 32) return false;
        bytes[digits / 2] = static_cast<char>(digits % 2 ? (bytes[digits / 2] << 4) | v : v);
        ++digits;
    }
    if (digits != 32) return false;
    out.clear();
    return binary_parameter_text(kUuidOid, bytes, 16, out) == BinaryText::converted;
}

BinaryText binary_parameter_text(int32_t oid, const char *data, size_t length, std::string &text) {
    text.clear();
    auto result = [](bool ok) { return ok ? BinaryText::converted : BinaryText::malformed; };
    switch (oid) {
        case kUnspecified: case kTextOid: case kUnknownOid: case kVarcharOid:
        case kCharOid: case kNameOid: case kJsonOid: case kXmlOid: case kBpcharOid:
            text.assign(data, length);
            return BinaryText::converted;
        case kJsonbOid:  // a version number, then the text
            if (length < 1 || data[0] != 1) return BinaryText::malformed;
            text.assign(data + 1, length - 1);
            return BinaryText::converted;
        case kOidOid:
            if (length != 4) return BinaryText::malformed;
            text = std::to_string(get_be(data, 4));
            return BinaryText::converted;
        case kDateOid: {
            if (length != 4) return BinaryText::malformed;
            int32_t days = static_cast<int32_t>(get_be(data, 4));
            if (days == INT32_MAX || days == INT32_MIN)
                text = days == INT32_MAX ? "infinity" : "-infinity";
            else
                append_date(text, days);
            return BinaryText::converted;
        }
        case kTimeOid: {
            if (length != 8) return BinaryText::malformed;
            int64_t micros = static_cast<int64_t>(get_be(data, 8));
            if (micros < 0 || micros > 86400000000LL) return BinaryText::malformed;
            append_time(text, micros);
            return BinaryText::converted;
        }
        case kTimestampOid: return result(timestamp_text(data, length, false, text));
        case kTimestamptzOid: return result(timestamp_text(data, length, true, text));
        case kUuidOid:
            if (length != 16) return BinaryText::malformed;
            append_hex(text, data, 4);
            for (size_t at : {4, 6, 8, 10}) {
                text += '-';
                append_hex(text, data + at, at == 10 ? 6 : 2);
            }
            return BinaryText::converted;
        case kNumericOid: return result(numeric_text(data, length, text));
        case kBoolOid: case kByteaOid: case kInt8Oid: case kInt2Oid: case kInt4Oid: case kFloat4Oid:
        case kFloat8Oid:
            return BinaryText::not_textual;
        default:
            return array_text(oid, data, length, text);
    }
}

namespace {

// One element's binary form as text.
bool element_text(int32_t oid, const char *data, size_t length, std::string &text) {
    switch (binary_parameter_text(oid, data, length, text)) {
        case BinaryText::converted: return true;
        case BinaryText::not_textual: break;
        default: return false;
    }
    uint64_t raw = length <= 8 ? get_be(data, length) : 0;
    char buffer[40];
    switch (oid) {
        case kBoolOid: if (length != 1) return false; text = raw ? "t" : "f"; return true;
        case kInt2Oid: if (length != 2) return false; text = std::to_string(static_cast<int16_t>(raw)); return true;
        case kInt4Oid: if (length != 4) return false; text = std::to_string(static_cast<int32_t>(raw)); return true;
        case kInt8Oid: if (length != 8) return false; text = std::to_string(static_cast<int64_t>(raw)); return true;
        case kFloat4Oid: {
            if (length != 4) return false;
            uint32_t bits = static_cast<uint32_t>(raw);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(f));
            text = buffer;
            return true;
        }
        case kFloat8Oid: {
            if (length != 8) return false;
            double d;
            std::memcpy(&d, &raw, sizeof d);
            std::snprintf(buffer, sizeof buffer, "%.17g", d);
            text = buffer;
            return true;
        }
        default: return false;  // bytea elements: no text form here
    }
}

}  // namespace

// A one-dimensional array's binary form (dimensions, a flag, the element type, each
// dimension's size and lower bound, then each element's length, -1 for NULL, and
// bytes) as its text form {a,b}, which is how the server keeps arrays.
BinaryText array_text(int32_t oid, const char *data, size_t length, std::string &text) {
    std::string name;
    if (!pg_type_sql_name(oid, &name) || name.size() < 2 || name.compare(name.size() - 2, 2, "[]") != 0)
        return BinaryText::unsupported;  // no array type
    if (length < 12) return BinaryText::malformed;
    int32_t dimensions = static_cast<int32_t>(get_be(data, 4));
    int32_t element_oid = static_cast<int32_t>(get_be(data + 8, 4));
    if (dimensions == 0) {
        text = "{}";
        return BinaryText::converted;
    }
    if (dimensions != 1 || length < 20) return BinaryText::unsupported;
    int64_t count = static_cast<int32_t>(get_be(data + 12, 4));
    if (count < 0) return BinaryText::malformed;
    size_t at = 20;
    text = "{";
    std::string element;
    for (int64_t k = 0; k < count; ++k) {
        if (at + 4 > length) return BinaryText::malformed;
        int32_t size = static_cast<int32_t>(get_be(data + at, 4));
        at += 4;
        if (k) text += ',';
        if (size < 0) {
            text += "NULL";
            continue;
        }
        if (static_cast<size_t>(size) > length - at) return BinaryText::malformed;
        if (!element_text(element_oid, data + at, static_cast<size_t>(size), element)) return BinaryText::unsupported;
        qx::append_array_element(text, element);
        at += static_cast<size_t>(size);
    }
    if (at != length) return BinaryText::malformed;
    text += '}';
    return BinaryText::converted;
}

}  // namespace pg
}  // namespace qx
