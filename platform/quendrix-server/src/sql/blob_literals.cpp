// BLOB literals that look like server values. A BLOB that a user writes as
// X'...' must stay a BLOB whatever its bytes; one that begins with the marker of
// serialized values is therefore given to SQLite in its serialized form (a value
// of type BINARY), which every reader of values turns back into the same BLOB.
// Literals, quoted names and comments other than BLOB literals are copied as
// they stand.
#include <cctype>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// The bytes of the hex digits s[from, to), or false when they are no BLOB's.
bool decode_hex(const std::string &s, size_t from, size_t to, std::string *bytes) {
    if ((to - from) % 2) return false;
    for (size_t i = from; i < to; i += 2) {
        int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

void append_literal(std::string &out, const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    out += "X'";
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    out += '\'';
}

}  // namespace

namespace qx {

std::string escape_marked_blob_literals(const std::string &s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        size_t end = i + 1;
        if (c == '\'' || c == '"' || c == '`' || c == '[') {
            end = qx::quoted_end(s, i);
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            end = s.find('\n', i);
            end = end == std::string::npos ? s.size() : end;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            end = s.find("*/", i + 2);
            end = end == std::string::npos ? s.size() : end + 2;
        } else if ((c == 'x' || c == 'X') && i + 1 < s.size() && s[i + 1] == '\'') {
            end = qx::quoted_end(s, i + 1);
            std::string bytes;
            bool closed = end > i + 2 && s[end - 1] == '\'';
            if (closed && decode_hex(s, i + 2, end - 1, &bytes) &&
                has_value_marker(bytes.data(), bytes.size())) {
                qx_value blob = qx_box_bytes(bytes.data(), bytes.size(), QX_TAG_BINARY);
                std::string escaped = blob ? serialize(blob) : std::string();
                qx_free(blob);
                if (!escaped.empty()) {
                    append_literal(out, escaped);
                    i = end;
                    continue;
                }
            }
        } else if (word_char(c)) {
            // A whole word, so that the x ending a name never starts a literal.
            while (end < s.size() && word_char(s[end])) ++end;
        }
        out.append(s, i, end - i);
        i = end;
    }
    return out;
}

}  // namespace qx
