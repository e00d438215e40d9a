// A select's row limits as PostgreSQL takes them, written as SQLite's one form, LIMIT n
// [OFFSET m]: OFFSET alone, OFFSET before LIMIT, OFFSET m ROWS, and the standard's
// FETCH { FIRST | NEXT } [n] { ROW | ROWS } ONLY. SQLite refuses all of them.
#include <string.h>

#include <string>
#include <vector>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

using qx::SqlToken;

// Whether t ends a limit's expression: another clause or the end of the select.
bool ends_expression(const SqlToken &t) {
    if (t.is_punct(')') || t.is_punct(';')) return true;
    for (const char *k : {"limit", "offset", "fetch", "for", "union", "except", "intersect", "returning"})
        if (t.is(k)) return true;
    return false;
}

struct Clause {
    size_t from = 0, to = 0;            // its tokens
    size_t value_from = 0, value_to = 0;  // its expression's tokens (empty: FETCH's default 1)
};

// Rewrites each select whose limits SQLite would refuse; false when there is none.
bool rewrite_pass(std::string *sql) {
    std::vector<SqlToken> t;
    if (!qx::lex_sql(*sql, &t)) return false;
    qx::TextEdits edits;
    // Each token's depth in parentheses; a parenthesis is inside what it opens or closes.
    std::vector<int> depth_at(t.size());
    for (size_t k = 0, depth = 0; k < t.size(); ++k) {
        if (t[k].is_punct('(')) ++depth;
        depth_at[k] = static_cast<int>(depth);
        if (t[k].is_punct(')') && depth > 0) --depth;
    }
    for (size_t k = 0; k < t.size(); ++k) {
        if (!(t[k].is("offset") || t[k].is("fetch") || t[k].is("limit")) || (k > 0 && t[k - 1].is_punct('.')))
            continue;
        // The run of limit clauses that starts here, at this depth.
        Clause limit, offset;
        bool has_limit = false, has_offset = false, offset_first = false, wordy = false, malformed = false;
        size_t j = k;
        int depth = depth_at[k];
        while (j < t.size() && depth_at[j] == depth && (t[j].is("limit") || t[j].is("offset") || t[j].is("fetch"))) {
            Clause c;
            c.from = j;
            bool fetch = t[j].is("fetch"), rows_may_follow = fetch || t[j].is("offset");
            size_t v = j + 1;
            if (fetch && !(v < t.size() && (t[v].is("first") || t[v].is("next")))) {
                malformed = true;  // a cursor's FETCH NEXT FROM c, say
                break;
            }
            if (fetch) ++v;
            size_t e = v;
            while (e < t.size() && depth_at[e] >= depth &&
                   !(depth_at[e] == depth &&
                     (ends_expression(t[e]) || (rows_may_follow && (t[e].is("row") || t[e].is("rows"))))))
                ++e;
            c.value_from = v;
            c.value_to = e;
            if (e < t.size() && (t[e].is("row") || t[e].is("rows"))) {
                ++e;
                wordy = true;
            }
            if (fetch && !(e < t.size() && t[e].is("only"))) {  // WITH TIES is not SQLite's
                malformed = true;
                break;
            }
            if (fetch) {
                ++e;
                wordy = true;
            }
            c.to = e;
            bool is_offset = t[j].is("offset");
            if (is_offset ? has_offset : has_limit) {
                malformed = true;
                break;
            }
            if (is_offset) {
                has_offset = true;
                offset_first = !has_limit;
                offset = c;
            } else {
                has_limit = true;
                limit = c;
            }
            j = e;
        }
        if (malformed || !(wordy || (has_offset && (!has_limit || offset_first)))) {
            k = j > k ? j - 1 : k;
            continue;
        }
        auto text = [&](size_t from, size_t to) {
            return from < to ? sql->substr(t[from].at, qx::token_end(*sql, t[to - 1]) - t[from].at) : std::string();
        };
        std::string limit_value = has_limit ? text(limit.value_from, limit.value_to) : "-1";
        if (has_limit && limit_value.empty()) limit_value = "1";  // FETCH FIRST ROW ONLY
        if (has_limit && t[limit.from].is("limit") && (limit_value == "all" || limit_value == "ALL")) limit_value = "-1";
        std::string out = "LIMIT " + limit_value;
        if (has_offset) out += " OFFSET " + text(offset.value_from, offset.value_to);
        edits.add(t[k].at, qx::token_end(*sql, t[j - 1]), out);
        k = j - 1;
    }
    if (edits.empty()) return false;
    *sql = edits.applied(*sql);
    return true;
}

}  // namespace

namespace qx {

std::string rewrite_limit_clauses(const std::string &sql) {
    if (!mentions(sql, "offset") && !mentions(sql, "fetch")) return sql;
    std::string out = sql;
    for (int passes = 0; passes < 16 && rewrite_pass(&out); ++passes) {
    }
    return out;
}

}  // namespace qx
