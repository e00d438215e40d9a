// Items of a FROM clause as PostgreSQL writes them and SQLite has not:
// - a subquery or VALUES list whose alias names its columns, `(VALUES (1, 'a')) AS v(id,
//   x)` (as psycopg2's execute_values writes UPDATE ... FROM): SQLite names a compound
//   select's columns by its first part, so a first part that names them and has no rows
//   comes before the rows, `(SELECT NULL AS "id", NULL AS "x" WHERE 0 UNION ALL SELECT *
//   FROM (VALUES ...)) AS v`;
// - unnest(array) and generate_series(...) as tables, perhaps WITH ORDINALITY and with an
//   alias that names their columns: the table-valued functions pg_unnest and
//   generate_series, whose columns are value and ordinality, in a subquery that names
//   them (an alias without columns names the one column, as in PostgreSQL; without an
//   alias generate_series's column stays value). When the arguments name columns of
//   tables before it in the FROM clause (which PostgreSQL allows), the function must
//   stay a table of that clause: it keeps the alias, and the columns' names qualified
//   by it (u.n) become value and ordinality;
// - pg_partition_ancestors(table) likewise, as the one row of the table itself.
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <string>
#include <vector>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

using qx::closing_parenthesis;
using qx::folded_name;
using qx::mentions;
using qx::quoted_name;
using qx::SqlToken;

bool is_any(const SqlToken &t, std::initializer_list<const char *> words) {
    for (const char *w : words)
        if (t.is(w)) return true;
    return false;
}

// Whether t[k] may be a table's alias rather than the word that follows a table.
bool alias_word(const SqlToken &t) {
    if (t.kind == SqlToken::quoted_name) return true;
    return t.kind == SqlToken::word &&
           !is_any(t, {"where", "group", "having", "order", "limit", "offset", "join", "left", "right", "inner",
                       "outer", "cross", "natural", "full", "on", "using", "union", "except", "intersect", "window",
                       "returning", "set", "values", "for", "with", "as", "select", "from", "lateral", "fetch"});
}

// Calls visit(j) for each token j of the clause that the word t[start] opens, at the
// clause's own depth, up to the first of `enders` there, a ';' or the ')' that closes
// the parenthesis the clause is in.
template <class Visit>
void walk_clause(const std::vector<SqlToken> &t, size_t start, std::initializer_list<const char *> enders,
                 Visit visit) {
    int depth = 0;
    for (size_t j = start + 1; j < t.size(); ++j) {
        if (t[j].is_punct('(')) ++depth;
        if (t[j].is_punct(')') && --depth < 0) break;
        if (depth != 0) continue;
        if (is_any(t[j], enders) || t[j].is_punct(';')) break;
        visit(j);
    }
}

// For each token, whether it is in a FROM clause (at the clause's own depth).
std::vector<bool> in_from_clause(const std::vector<SqlToken> &t) {
    std::vector<bool> in(t.size(), false);
    for (size_t f = 0; f < t.size(); ++f)
        if (t[f].is("from"))
            walk_clause(t, f, {"where", "group", "having", "order", "limit", "union", "except", "intersect", "window",
                               "returning", "from"},
                        [&](size_t j) { in[j] = true; });
    return in;
}

// Whether t[k] comes where a FROM clause's item starts.
bool starts_item(const std::vector<SqlToken> &t, const std::vector<bool> &in_from, size_t k) {
    if (k == 0) return false;
    const SqlToken &before = t[k - 1];
    return before.is("from") || before.is("join") || before.is("lateral") || (before.is_punct(',') && in_from[k - 1]);
}

// The alias that follows t[at] ([AS] name [(column, ...)]): where it starts and ends,
// its name and its columns' names. False when there is none or it is malformed.
struct Alias {
    size_t end = 0;
    const SqlToken *name = nullptr;
    std::vector<std::string> columns;
};
bool read_alias(const std::vector<SqlToken> &t, size_t at, Alias *alias) {
    if (at < t.size() && t[at].is("as")) ++at;
    if (at >= t.size() || !alias_word(t[at])) return false;
    alias->name = &t[at];
    alias->end = ++at;
    if (at < t.size() && t[at].is_punct('(')) {
        for (++at; at < t.size(); at += 2) {
            if (t[at].kind != SqlToken::word && t[at].kind != SqlToken::quoted_name) return false;
            alias->columns.push_back(folded_name(t[at]));
            if (at + 1 < t.size() && t[at + 1].is_punct(')')) break;
            if (at + 1 >= t.size() || !t[at + 1].is_punct(',')) return false;
        }
        if (at + 1 >= t.size()) return false;
        alias->end = at + 2;
    }
    return true;
}

// Whether the arguments t[from, to) of a function that is an item of a FROM clause name
// a column of a table before it in that clause (which only a table of the clause can
// read): a name qualified by a word of the clause, or a column's name alone when tables
// come before it. Columns of an enclosing query may be read from a subquery.
bool reads_earlier_tables(const std::string &sql, const std::vector<SqlToken> &t, const std::vector<bool> &in_from,
                          size_t item, size_t from, size_t to) {
    std::vector<std::string> earlier;
    for (size_t k = item; k-- > 0 && (in_from[k] || t[k].is("from"));)
        if (in_from[k] && (t[k].kind == SqlToken::word || t[k].kind == SqlToken::quoted_name))
            earlier.push_back(folded_name(t[k]));
    for (size_t k = from; k < to; ++k) {
        if (t[k].kind == SqlToken::quoted_name && sql[t[k].at] == '[') continue;  // int2[]
        if ((t[k].kind != SqlToken::word && t[k].kind != SqlToken::quoted_name) ||
            is_any(t[k], {"null", "true", "false", "and", "or", "not", "is", "as"}) || (k > from && t[k - 1].is_punct('.')))
            continue;
        bool call = k + 1 < to && t[k + 1].is_punct('(');
        bool type = k > from && t[k - 1].kind == SqlToken::op && t[k - 1].text == "::";
        if (call || type) continue;
        if (k + 1 < to && t[k + 1].is_punct('.')) {  // q.column
            for (const std::string &name : earlier)
                if (name == folded_name(t[k])) return true;
            continue;
        }
        if (!earlier.empty()) return true;
    }
    return false;
}

// For each token, whether it starts a select-list item that is a qualified name alone
// (q.name, then a comma or the end of the list).
std::vector<bool> select_items(const std::vector<SqlToken> &t) {
    std::vector<bool> whole(t.size(), false);
    for (size_t s = 0; s < t.size(); ++s) {
        if (!t[s].is("select")) continue;
        walk_clause(t, s, {"from", "where", "group", "having", "order", "limit", "union", "except", "intersect",
                           "window", "into"},
                    [&](size_t j) {
                        bool starts = t[j - 1].is("select") || t[j - 1].is("distinct") || t[j - 1].is("all") ||
                                      t[j - 1].is_punct(',');
                        bool ends = j + 3 >= t.size() || t[j + 3].is_punct(',') || t[j + 3].is_punct(')') ||
                                    t[j + 3].is_punct(';') || t[j + 3].is("from");
                        whole[j] = starts && ends && j + 2 < t.size() && t[j + 1].is_punct('.');
                    });
    }
    return whole;
}

// A set-returning function as an item of a FROM clause: f(...) [WITH ORDINALITY] [[AS]
// alias [(columns)]], read from its name t[k]: the token that closes its arguments, the
// token past the item and where the item ends in the text, the name it goes by and its
// columns' (the first `first_column` without an alias, the alias without columns; then
// ordinality).
struct Call {
    size_t close = 0, end_token = 0, to = 0;
    bool ordinality = false, aliased = false;
    Alias alias;
    std::string name;
    std::vector<std::string> columns;
};
bool read_call(const std::string &sql, const std::vector<SqlToken> &t, size_t k, const std::string &first_column,
               Call *call) {
    if (k + 1 >= t.size() || !t[k + 1].is_punct('(')) return false;
    call->close = closing_parenthesis(t, k + 1);
    size_t at = call->close + 1;
    if (call->close >= t.size()) return false;
    call->ordinality = at + 1 < t.size() && t[at].is("with") && t[at + 1].is("ordinality");
    if (call->ordinality) at += 2;
    call->aliased = read_alias(t, at, &call->alias);
    call->end_token = call->aliased ? call->alias.end : at;
    const SqlToken *named = call->aliased ? call->alias.name : nullptr;
    call->name = named ? sql.substr(named->at, qx::token_end(sql, *named) - named->at) : folded_name(t[k]);
    call->columns = call->alias.columns;
    if (call->columns.empty()) call->columns.push_back(named ? folded_name(*named) : first_column);
    if (call->ordinality && call->columns.size() < 2) call->columns.push_back("ordinality");
    call->to = qx::token_end(sql, t[call->end_token - 1]);
    return true;
}

// Rewrites the last item of `sql` that needs it; false when none does.
bool rewrite_last(std::string &sql) {
    std::vector<SqlToken> t;
    if (!qx::lex_sql(sql, &t)) return false;
    const std::vector<bool> in_from = in_from_clause(t);
    for (size_t k = t.size(); k-- > 1;) {
        if (!starts_item(t, in_from, k)) continue;
        // (VALUES ...) or (SELECT ...) with an alias that names its columns
        if (t[k].is_punct('(') && k + 1 < t.size() && (t[k + 1].is("values") || t[k + 1].is("select"))) {
            size_t close = closing_parenthesis(t, k);
            Alias alias;
            if (close >= t.size() || !read_alias(t, close + 1, &alias) || alias.columns.empty()) continue;
            std::string first = "(SELECT ";
            for (size_t c = 0; c < alias.columns.size(); ++c)
                first += (c ? ", NULL AS " : "NULL AS ") + quoted_name(alias.columns[c]);
            std::string inner = sql.substr(t[k + 1].at, t[close].at - t[k + 1].at);
            std::string item = first + " WHERE 0 UNION ALL SELECT * FROM (" + inner + ")) AS " +
                               sql.substr(alias.name->at, qx::token_end(sql, *alias.name) - alias.name->at);
            size_t from = t[k].at, to = qx::token_end(sql, t[alias.end - 1]);
            sql.replace(from, to - from, item);
            return true;
        }
        // pg_partition_ancestors(table) [WITH ORDINALITY] [[AS] alias [(columns)]]: no
        // table is a partition, so the table itself, at depth 1.
        Call call;
        if (t[k].is("pg_partition_ancestors") && read_call(sql, t, k, "relid", &call)) {
            std::string item = "(SELECT " + sql.substr(t[k + 2].at, t[call.close].at - t[k + 2].at) + " AS " +
                               quoted_name(call.columns[0]) +
                               (call.ordinality ? ", 1 AS " + quoted_name(call.columns[1]) : "") + ") AS " + call.name;
            sql.replace(t[k].at, call.to - t[k].at, item);
            return true;
        }
        // unnest(array), generate_series(...) [WITH ORDINALITY] [[AS] alias [(columns)]]
        bool unnest = t[k].is("unnest");
        if (!(unnest || t[k].is("generate_series")) || !read_call(sql, t, k, folded_name(t[k]), &call)) continue;
        if (!unnest && !call.ordinality && !call.aliased) continue;  // generate_series's own column, value
        const std::vector<std::string> &columns = call.columns;
        std::string table = std::string(unnest ? "pg_unnest" : "generate_series") +
                            sql.substr(t[k + 1].at, qx::token_end(sql, t[call.close]) - t[k + 1].at);
        if (!reads_earlier_tables(sql, t, in_from, k, k + 2, call.close)) {
            std::string item = "(SELECT value AS " + quoted_name(columns[0]);
            if (call.ordinality) item += ", ordinality AS " + quoted_name(columns[1]);
            sql.replace(t[k].at, call.to - t[k].at, item + " FROM " + table + ") AS " + call.name);
            return true;
        }
        // The function stays a table of the clause; its columns' qualified names become its own.
        struct Edit {
            size_t from, to;
            std::string text;
        };
        std::vector<Edit> edits{{t[k].at, call.to, table + " AS " + call.name}};
        const std::string own[] = {"value", "ordinality"};
        const std::string alias_name = call.aliased ? folded_name(*call.alias.name) : folded_name(t[k]);
        std::vector<bool> whole_item = select_items(t);
        for (size_t r = 0; r + 2 < t.size(); ++r) {
            if ((r + 2 >= k && r < call.end_token) || folded_name(t[r]) != alias_name || !t[r + 1].is_punct('.') ||
                (t[r].kind != SqlToken::word && t[r].kind != SqlToken::quoted_name))
                continue;
            for (size_t c = 0; c < columns.size() && c < 2; ++c) {
                if (folded_name(t[r + 2]) != columns[c] || own[c] == columns[c]) continue;
                // A select-list item u.x keeps its name, x.
                std::string renamed = own[c] + (whole_item[r] ? " AS " + quoted_name(columns[c]) : "");
                edits.push_back({t[r + 2].at, qx::token_end(sql, t[r + 2]), renamed});
            }
        }
        std::sort(edits.begin(), edits.end(), [](const Edit &x, const Edit &y) { return x.from > y.from; });
        for (const Edit &e : edits) sql.replace(e.from, e.to - e.from, e.text);
        return true;
    }
    return false;
}

bool may_have_items(const std::string &sql) {
    if (mentions(sql, "unnest") || mentions(sql, "ordinality") || mentions(sql, "generate_series") ||
        mentions(sql, "pg_partition_ancestors"))
        return true;
    // ") [AS] name (": an alias with column names
    for (size_t i = sql.find(')'); i != std::string::npos; i = sql.find(')', i + 1)) {
        size_t k = i + 1;
        while (k < sql.size() && std::isspace(static_cast<unsigned char>(sql[k]))) ++k;
        if (strncasecmp(sql.c_str() + k, "as", 2) == 0 && k + 2 < sql.size() &&
            std::isspace(static_cast<unsigned char>(sql[k + 2])))
            k += 2;
        while (k < sql.size() && std::isspace(static_cast<unsigned char>(sql[k]))) ++k;
        size_t name = k;
        while (k < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[k])) || sql[k] == '_')) ++k;
        if (k > name && sql[name] == '"') continue;
        while (k < sql.size() && std::isspace(static_cast<unsigned char>(sql[k]))) ++k;
        if (k > name && k < sql.size() && sql[k] == '(') return true;
    }
    return false;
}

}  // namespace

namespace qx {

std::string rewrite_from_items(const std::string &sql) {
    if (!may_have_items(sql)) return sql;
    std::string out = sql;
    for (int n = 0; n < 32 && rewrite_last(out); ++n) {
    }
    return out;
}

}  // namespace qx
