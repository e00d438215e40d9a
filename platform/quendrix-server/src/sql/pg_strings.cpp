// PostgreSQL's strings that SQLite's grammar lacks: dollar-quoted ($$text$$, $tag$text$tag$)
// and escape strings (E'a\nb'), read into the text of a string SQLite reads.
#include "sql/pg_strings.h"

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

std::string escape_string_text(const std::string &s, size_t *at) {
    std::string text;
    size_t i = *at;
    auto digits = [&](size_t from, size_t most, int base) {
        size_t n = 0;
        while (n < most && from + n < s.size() &&
               (base == 8 ? (s[from + n] >= '0' && s[from + n] <= '7')
                          : std::isxdigit(static_cast<unsigned char>(s[from + n])) != 0))
            ++n;
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
        char e = s[i + 1];
        i += 2;
        size_t n = 0;
        unsigned long code = 0;
        switch (e) {
            case 'n': text += '\n'; break;
            case 't': text += '\t'; break;
            case 'r': text += '\r'; break;
            case 'b': text += '\b'; break;
            case 'f': text += '\f'; break;
            case '\'': text += '\''; break;
            case 'x':
                if ((n = digits(i, 2, 16)) == 0) {
                    text += 'x';
                    break;
                }
                code = std::strtoul(s.substr(i, n).c_str(), nullptr, 16);
                if (code) text += static_cast<char>(code);
                i += n;
                break;
            case 'u':
            case 'U':
                n = e == 'u' ? 4 : 8;
                if (digits(i, n, 16) != n) {
                    text += e;
                    break;
                }
                append_utf8(text, std::strtoul(s.substr(i, n).c_str(), nullptr, 16));
                i += n;
                break;
            default:
                if (e >= '0' && e <= '7') {
                    n = 1 + digits(i, 2, 8);
                    code = std::strtoul(s.substr(i - 1, n).c_str(), nullptr, 8) & 0xFF;
                    if (code) text += static_cast<char>(code);
                    i += n - 1;
                } else {
                    text += e;
                }
        }
    }
    *at = i;
    std::string quoted;
    for (char q : text) quoted += q == '\'' ? std::string("''") : std::string(1, q);
    return quoted;
}

}  // namespace qx
