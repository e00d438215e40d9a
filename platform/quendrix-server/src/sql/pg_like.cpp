// LIKE and ILIKE as PostgreSQL reads them: a backslash in the pattern makes the next
// character stand for itself unless an ESCAPE clause says otherwise. SQLite's LIKE has no
// escape character of its own, so a pattern without an ESCAPE clause gets ESCAPE '\'.
// (That LIKE tells letters' case apart, and what ILIKE becomes, are the session's
// functions: see install_postgres_functions.)
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "sql/pg_strings.h"
#include "sql/sql_lexer.h"

namespace {

using qx::SqlToken;

// Whether t ends the pattern operand of LIKE: a word or operator of lower precedence,
// the end of a list or of the parenthesis around it.
bool ends_pattern(const SqlToken &t) {
    if (t.kind == SqlToken::punct) return t.text[0] != '.' && t.text[0] != '(';
    if (t.kind == SqlToken::op)
        for (const char *o : {"=", "==", "<>", "!=", "<", "<=", ">", ">="})
            if (t.text == o) return true;
    if (t.kind != SqlToken::word) return false;
    for (const char *k : {"and", "or", "not", "is", "isnull", "notnull", "in", "like", "ilike", "glob", "regexp",
                          "match", "between", "escape", "collate", "then", "when", "else", "end", "from", "where",
                          "group", "having", "order", "limit", "offset", "union", "except", "intersect", "window",
                          "returning", "on", "using", "join", "as", "asc", "desc", "do", "for", "fetch", "into"})
        if (t.is(k)) return true;
    return false;
}

}  // namespace

namespace qx {

std::string add_like_escapes(const std::string &sql, std::vector<std::pair<size_t, size_t>> *inserted) {
    if (inserted) inserted->clear();
    if (!mentions(sql, "like")) return sql;
    std::vector<SqlToken> t;
    if (!lex_sql(masked_pg_strings(sql), &t)) return sql;
    static const std::string kEscape = " ESCAPE '\\'";
    std::vector<size_t> at;
    for (size_t k = 0; k < t.size(); ++k) {
        if (!(t[k].is("like") || t[k].is("ilike")) || (k > 0 && t[k - 1].is_punct('.'))) continue;
        // The pattern: up to the first token at its own depth that ends it.
        size_t end = k + 1;
        for (int depth = 0; end < t.size(); ++end) {
            if (t[end].is_punct('(') || t[end].is("case")) {
                ++depth;
            } else if (depth > 0 && (t[end].is_punct(')') || t[end].is("end"))) {
                --depth;
            } else if (depth == 0 && ends_pattern(t[end])) {
                break;
            }
        }
        if (end == k + 1 || (end < t.size() && t[end].is("escape"))) continue;
        at.push_back(token_end(sql, t[end - 1]));
    }
    if (at.empty()) return sql;
    std::string out;
    out.reserve(sql.size() + at.size() * kEscape.size());
    size_t copied = 0;
    for (size_t p : at) {
        out.append(sql, copied, p - copied);
        out += kEscape;
        copied = p;
        if (inserted) inserted->emplace_back(p, kEscape.size());
    }
    out.append(sql, copied, std::string::npos);
    return out;
}

}  // namespace qx
