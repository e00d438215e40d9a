// SELECT DISTINCT ON (keys) ... FROM table [alias] [WHERE ...] [ORDER BY ...]: the first
// row of each group of equal keys in the select's order, as PostgreSQL's "latest row per
// group" queries ask. SQLite has no DISTINCT ON; the select keeps its own text and gains
// a condition that its row is the first of its group by row_number() over the same
// order:
//   ... WHERE (condition) AND t.rowid IN (SELECT "?row" FROM (SELECT t.rowid AS "?row",
//   row_number() OVER (PARTITION BY keys ORDER BY order) AS "?n" FROM table t WHERE
//   (condition)) WHERE "?n" = 1) ORDER BY ...
// Only a select from one table (with row ids) is written so; over a join, a group or a
// compound select DISTINCT ON stays as it is, and SQLite refuses it.
#include <string.h>

#include <string>
#include <vector>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

using qx::SqlToken;

bool is_name(const SqlToken &t) { return t.kind == SqlToken::word || t.kind == SqlToken::quoted_name; }

bool ends_where(const SqlToken &t) {
    for (const char *k : {"order", "limit", "offset", "fetch", "for"})
        if (t.is(k)) return true;
    return t.is_punct(')') || t.is_punct(';');
}

// Rewrites each DISTINCT ON select in *sql that can be and holds no other; false when there
// is none.
bool rewrite_pass(std::string *sql) {
    std::vector<SqlToken> t;
    if (!qx::lex_sql(*sql, &t)) return false;
    qx::TextEdits edits;
    auto text = [&](size_t from, size_t to) {  // tokens [from, to)
        return from < to ? sql->substr(t[from].at, qx::token_end(*sql, t[to - 1]) - t[from].at) : std::string();
    };
    for (size_t s = 0; s + 3 < t.size(); ++s) {
        if (!t[s].is("select") || !t[s + 1].is("distinct") || !t[s + 2].is("on") || !t[s + 3].is_punct('(')) continue;
        size_t keys_close = qx::closing_parenthesis(t, s + 3);
        if (keys_close >= t.size()) continue;
        // The clauses of this select, at its own depth.
        size_t from = 0, where = 0, order = 0, end = t.size();
        bool plain = true;
        for (size_t k = keys_close + 1, depth = 0; k < t.size(); ++k) {
            if (t[k].is_punct('(')) ++depth;
            if (t[k].is_punct(')')) {
                if (depth == 0) {
                    end = k;
                    break;
                }
                --depth;
            }
            if (depth > 0) continue;
            if (t[k].is_punct(';')) {
                end = k;
                break;
            }
            if (t[k].is("from") && !from) from = k;
            else if (t[k].is("where") && from && !where) where = k;
            else if (t[k].is("order") && k + 1 < t.size() && t[k + 1].is("by") && from && !order) order = k;
            else if (t[k].is("group") || t[k].is("having") || t[k].is("window") || t[k].is("union") ||
                     t[k].is("except") || t[k].is("intersect"))
                plain = false;
        }
        if (!plain || !from) continue;
        // FROM table [[AS] alias], then WHERE, ORDER BY, a limit or the end.
        size_t k = from + 1;
        if (k >= end || !is_name(t[k])) continue;
        while (k + 2 < end && t[k + 1].is_punct('.') && is_name(t[k + 2])) k += 2;
        size_t table_end = ++k;
        std::string qualifier = t[table_end - 1].kind == SqlToken::quoted_name ? qx::quoted_name(t[table_end - 1].text)
                                                                               : t[table_end - 1].text;
        if (k < end && t[k].is("as")) ++k;
        if (k < end && is_name(t[k]) && !ends_where(t[k]) && !t[k].is("where")) {
            qualifier = text(k, k + 1);
            ++k;
        }
        size_t source_end = k;
        if (k < end && !(t[k].is("where") || ends_where(t[k]))) continue;  // a join, a list of tables
        size_t where_end = where ? (order ? order : end) : 0;
        if (where)
            for (size_t j = where + 1, depth = 0; j < end; ++j) {
                if (t[j].is_punct('(')) {
                    ++depth;
                    continue;
                }
                if (t[j].is_punct(')') && depth > 0) {
                    --depth;
                    continue;
                }
                if (depth == 0 && ends_where(t[j])) {
                    where_end = j;
                    break;
                }
            }
        size_t order_end = end;
        if (order)
            for (size_t j = order + 2, depth = 0; j < end; ++j) {
                if (t[j].is_punct('(')) ++depth;
                if (t[j].is_punct(')') && depth > 0) --depth;
                if (depth == 0 && (t[j].is("limit") || t[j].is("offset") || t[j].is("fetch") || t[j].is("for"))) {
                    order_end = j;
                    break;
                }
            }
        std::string keys = text(s + 4, keys_close), source = text(from + 1, source_end);
        std::string condition = where ? "(" + text(where + 1, where_end) + ")" : "";
        std::string ordering = order ? text(order + 2, order_end) : keys;
        std::string first_rows = qualifier + ".rowid IN (SELECT \"?row\" FROM (SELECT " + qualifier +
                                 ".rowid AS \"?row\", row_number() OVER (PARTITION BY " + keys + " ORDER BY " +
                                 ordering + ") AS \"?n\" FROM " + source +
                                 (where ? " WHERE " + condition : std::string()) + ") WHERE \"?n\" = 1)";
        std::string out = "SELECT " + text(keys_close + 1, source_end) + " WHERE " +
                          (where ? condition + " AND " : std::string()) + first_rows;
        size_t rest = where ? where_end : source_end;
        if (rest < end) out += " " + text(rest, end);
        edits.add(t[s].at, qx::token_end(*sql, t[end - 1]), out);
    }
    if (edits.empty()) return false;
    *sql = edits.applied(*sql);
    return true;
}

}  // namespace

namespace qx {

std::string rewrite_distinct_on(const std::string &sql) {
    if (!mentions(sql, "distinct")) return sql;
    std::string out = sql;
    for (int passes = 0; passes < 16 && rewrite_pass(&out); ++passes) {
    }
    return out;
}

}  // namespace qx
