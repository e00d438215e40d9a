// PostgreSQL's strings that SQLite's grammar lacks: dollar-quoted ($$text$$, $tag$text$tag$)
// and escape strings (E'a\nb'), read into the text of a string SQLite reads.
#include "sql/pg_strings.h"
#include "sql/sql_lexer.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

void append_utf8(std::string &out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x110000) {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

namespace qx {

size_t dollar_quote_end(const std::string &s, size_t at) {
    size_t close = at + 1;
    if (close < s.size() && s[close] != '$') {
        if (!std::isalpha(static_cast<unsigned char>(s[close])) && s[close] != '_') return 0;
        while (close < s.size() && (std::isalnum(static_cast<unsigned char>(s[close])) || s[close] == '_')) ++close;
    }
    if (close >= s.size() || s[close] != '$') return 0;
    std::string tag = s.substr(at, close + 1 - at);
    size_t end = s.find(tag, close + 1);
    return end == std::string::npos ? 0 : end + tag.size();
}

bool read_byte_escape(const std::string &s, size_t *at, std::string *out) {
    size_t i = *at;
    if (i >= s.size()) return false;
    auto hex = [](char h) { return std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : std::tolower(h) - 'a' + 10; };
    switch (s[i]) {
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'x': {
            int v = 0, digits = 0;
            while (digits < 2 && i + 1 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
                v = v * 16 + hex(s[++i]);
                ++digits;
            }
            if (!digits) return false;
            *out += static_cast<char>(v);
            break;
        }
        default: {
            if (s[i] < '0' || s[i] > '7') return false;
            int v = s[i] - '0';
            for (int d = 1; d < 3 && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7'; ++d)
                v = v * 8 + (s[++i] - '0');
            *out += static_cast<char>(v & 0xFF);
        }
    }
    *at = i + 1;
    return true;
}

std::string escape_string_text(const std::string &s, size_t *at) {
    std::string text;
    size_t i = *at;
    auto hex_digits = [&](size_t from, size_t most) {
        size_t n = 0;
        while (n < most && from + n < s.size() && std::isxdigit(static_cast<unsigned char>(s[from + n]))) ++n;
        return n;
    };
    while (i < s.size()) {
        char c = s[i];
        if (c == '\'') {
            if (i + 1 < s.size() && s[i + 1] == '\'') {
                text += '\'';
                i += 2;
                continue;
            }
            ++i;
            break;
        }
        if (c != '\\' || i + 1 >= s.size()) {
            text += c;
            ++i;
            continue;
        }
        size_t after = i + 1;
        if (read_byte_escape(s, &after, &text)) {
            if (text.back() == '\0') text.pop_back();  // SQLite's text would end there
            i = after;
            continue;
        }
        char e = s[after];
        i = after + 1;
        size_t n = e == 'u' ? 4 : 8;
        if ((e == 'u' || e == 'U') && hex_digits(i, n) == n) {  // \uXXXX, \UXXXXXXXX
            append_utf8(text, std::strtoul(s.substr(i, n).c_str(), nullptr, 16));
            i += n;
        } else {
            text += e;  // \' and any other: the character itself
        }
    }
    *at = i;
    std::string quoted;
    for (char q : text) quoted += q == '\'' ? std::string("''") : std::string(1, q);
    return quoted;
}

// `sql` with PostgreSQL's escape and dollar-quoted strings as plain strings of the same
// length, which the lexer reads (the names never come from a string's text).
std::string masked_pg_strings(const std::string &sql) {
    std::string m = sql;
    auto ident = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; };
    for (size_t i = 0; i < m.size();) {
        size_t end = 0;
        if ((m[i] == 'E' || m[i] == 'e') && i + 1 < m.size() && m[i + 1] == '\'' && (i == 0 || !ident(m[i - 1]))) {
            end = i + 2;
            escape_string_text(sql, &end);
        } else if (m[i] == '$' && (i == 0 || !ident(m[i - 1]))) {
            end = dollar_quote_end(sql, i);
        } else if (m[i] == '\'' || m[i] == '"') {  // a plain string or a quoted name
            i = quoted_end(m, i);
            continue;
        } else if (m[i] == '-' && i + 1 < m.size() && m[i + 1] == '-') {
            i = std::min(m.find('\n', i), m.size());
            continue;
        } else if (m[i] == '/' && i + 1 < m.size() && m[i + 1] == '*') {
            i = std::min(m.find("*/", i + 2), m.size());
            continue;
        }
        if (end > i + 1 && end <= m.size()) {
            m[i] = '\'';
            for (size_t k = i + 1; k + 1 < end; ++k) m[k] = ' ';
            m[end - 1] = '\'';
            i = end;
        } else {
            ++i;
        }
    }
    return m;
}

}  // namespace qx
