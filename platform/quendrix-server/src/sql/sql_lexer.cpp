#include "sql/sql_lexer.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

namespace qx {

// ASCII letters in either case, as strcasecmp() compares them in the C locale, without
// its call: the rewrites ask this of every token, often for a dozen keywords.
bool SqlToken::is(const char *keyword) const {
    if (kind != word) return false;
    const char *a = text.c_str();
    for (size_t i = 0;; ++i) {
        char x = a[i], y = keyword[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
        if (!x) return true;
    }
}

bool lex_sql(const std::string &sql, std::vector<SqlToken> *out, bool stop_at_semicolon) {
    size_t i = 0, n = sql.size();
    int highest = 0;  // a bare '?' is the next number after the highest so far
    auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80); };
    auto name_char = [&](char c) { return letter(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '$'; };
    while (i < n) {
        char c = sql[i];
        size_t from = i;
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            i = sql.find('\n', i);
            if (i == std::string::npos) i = n;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            i = sql.find("*/", i + 2);
            i = i == std::string::npos ? n : i + 2;
        } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
            char close = c == '[' ? ']' : c;
            std::string text;
            for (++i;; ++i) {
                if (i >= n) return false;
                if (sql[i] == close && close != ']' && i + 1 < n && sql[i + 1] == close) {
                    text += close;
                    ++i;
                } else if (sql[i] == close) {
                    break;
                } else {
                    text += sql[i];
                }
            }
            ++i;
            out->push_back({c == '\'' ? SqlToken::string : SqlToken::quoted_name, text, from});
        } else if ((c == '$' || c == '?') && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1]))) {
            for (++i; i < n && std::isdigit(static_cast<unsigned char>(sql[i]));) ++i;
            int number = i - from - 1 <= 9 ? std::atoi(sql.c_str() + from + 1) : 0;
            if (number > highest) highest = number;
            out->push_back({SqlToken::parameter, sql.substr(from, i - from), from, number});
        } else if (c == '?') {
            ++i;
            out->push_back({SqlToken::parameter, "?", from, ++highest});
        } else if ((c == '$' || c == '@' || (c == ':' && !(i + 1 < n && sql[i + 1] == ':'))) && i + 1 < n &&
                   name_char(sql[i + 1])) {
            for (++i; i < n && name_char(sql[i]);) ++i;
            out->push_back({SqlToken::parameter, sql.substr(from, i - from), from, 0});
        } else if (letter(c)) {
            while (i < n && name_char(sql[i])) ++i;
            out->push_back({SqlToken::word, sql.substr(from, i - from), from});
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
            while (i < n && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '.')) ++i;
            out->push_back({SqlToken::number, sql.substr(from, i - from), from});
        } else if (std::strchr("(),.;", c)) {
            ++i;
            out->push_back({SqlToken::punct, std::string(1, c), from});
            if (c == ';' && stop_at_semicolon) return true;
        } else {
            static const char *const kPairs[] = {"==", "<>", "!=", "<=", ">=", "||", "::"};
            std::string op(1, c);
            for (const char *pair : kPairs)
                if (i + 1 < n && c == pair[0] && sql[i + 1] == pair[1]) op += pair[1];
            i += op.size();
            out->push_back({SqlToken::op, op, from});
        }
    }
    return true;
}

size_t quoted_end(const std::string &sql, size_t at) {
    char close = sql[at] == '[' ? ']' : sql[at];
    for (size_t j = at + 1; j < sql.size(); ++j) {
        if (sql[j] != close) continue;
        if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
            ++j;
            continue;
        }
        return j + 1;
    }
    return sql.size();
}

size_t token_end(const std::string &sql, const SqlToken &t) {
    if (t.kind != SqlToken::string && t.kind != SqlToken::quoted_name) return t.at + t.text.size();
    return quoted_end(sql, t.at);
}

size_t closing_parenthesis(const std::vector<SqlToken> &t, size_t open, size_t to) {
    to = std::min(to, t.size());
    int depth = 0;
    for (size_t k = open; k < to; ++k) {
        if (t[k].is_punct('(')) ++depth;
        if (t[k].is_punct(')') && --depth == 0) return k;
    }
    return to;
}

std::string folded_name(const SqlToken &t) {
    if (t.kind == SqlToken::quoted_name) return t.text;
    std::string s = t.text;
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string quoted_name(const std::string &name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

bool mentions(const std::string &sql, const char *needle) {
    const size_t n = std::strlen(needle);
    if (n == 0) return true;
    const char first = needle[0];
    const char first_upper = first >= 'a' && first <= 'z' ? static_cast<char>(first - 32) : first;
    for (size_t i = 0; i + n <= sql.size(); ++i) {
        if (sql[i] != first && sql[i] != first_upper) continue;
        size_t k = 1;
        for (; k < n; ++k) {
            char c = sql[i + k];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            if (c != needle[k]) break;
        }
        if (k == n) return true;
    }
    return false;
}

bool TextEdits::add(size_t from, size_t to, std::string text) {
    auto at = std::lower_bound(edits_.begin(), edits_.end(), from,
                               [](const Edit &e, size_t position) { return e.from < position; });
    if (at != edits_.end() && at->from < to) return false;                       // overlaps the next
    if (at != edits_.begin() && std::prev(at)->to > from) return false;          // overlaps the one before
    edits_.insert(at, Edit{from, to, std::move(text)});
    return true;
}

std::string TextEdits::applied(const std::string &sql) const {
    std::string out;
    out.reserve(sql.size() + 64 * edits_.size());
    size_t copied = 0;
    for (const Edit &e : edits_) {
        out.append(sql, copied, e.from - copied);
        out += e.text;
        copied = e.to;
    }
    out.append(sql, copied, std::string::npos);
    return out;
}

}  // namespace qx
