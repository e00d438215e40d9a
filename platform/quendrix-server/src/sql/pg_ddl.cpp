// PostgreSQL's forms of statements that manage tables, as its tools send them (pgbench's
// initialisation, schema scripts), written as SQLite's: DROP TABLE | VIEW | INDEX of
// several names becomes one DROP per name; TRUNCATE of tables, a DELETE of each; VACUUM
// of a table (SQLite's VACUUM names a database), ANALYZE of it (SQLite reuses free pages
// by itself; its VACUUM rewrites the whole file); ALTER TABLE ... ADD [CONSTRAINT name]
// PRIMARY KEY | UNIQUE (columns), a unique index of that name (SQLite cannot add a
// constraint to a table); CREATE TABLE's storage parameters, WITH (fillfactor = N), are
// passed over; CREATE INDEX without a name gets PostgreSQL's; CREATE OR REPLACE VIEW
// drops the view first; DELETE ... USING tables is a DELETE of the rows that EXISTS
// finds among them; EXPLAIN a table of its plan (see pg_explain.cpp). Other statements, and these in forms SQLite knows, stay as they are.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

using qx::SqlToken;

bool is_name(const SqlToken &t) { return t.kind == SqlToken::word || t.kind == SqlToken::quoted_name; }

// A statement's tokens [from, to) in the text `sql`.
struct Statement {
    const std::string &sql;
    const std::vector<SqlToken> &t;
    size_t from, to;

    bool is(size_t k, const char *word) const { return k < to && t[k].is(word); }
    std::string text(size_t first, size_t last) const {  // of tokens [first, last]
        return sql.substr(t[first].at, qx::token_end(sql, t[last]) - t[first].at);
    }
    // A (qualified) name starting at token k: its text, and *k past it. Empty for none.
    std::string name(size_t *k) const {
        size_t first = *k;
        if (first >= to || !is_name(t[first])) return "";
        size_t last = first;
        while (last + 2 < to && t[last + 1].is_punct('.') && is_name(t[last + 2])) last += 2;
        *k = last + 1;
        return text(first, last);
    }
    // Names separated by commas from token k; *k past them.
    std::vector<std::string> names(size_t *k) const {
        std::vector<std::string> out;
        for (;;) {
            std::string n = name(k);
            if (n.empty()) return {};
            out.push_back(n);
            if (*k < to && t[*k].is_punct(',')) {
                ++*k;
                continue;
            }
            return out;
        }
    }
};

// DROP TABLE | VIEW | INDEX [IF EXISTS] a, b [CASCADE | RESTRICT].
std::string drop_each(const Statement &s) {
    size_t k = s.from + 1;
    if (!(s.is(k, "table") || s.is(k, "view") || s.is(k, "index"))) return "";
    std::string head = "DROP " + s.text(k, k);
    ++k;
    if (s.is(k, "if") && s.is(k + 1, "exists")) {
        head += " IF EXISTS";
        k += 2;
    }
    std::vector<std::string> names = s.names(&k);
    if (s.is(k, "cascade") || s.is(k, "restrict")) ++k;
    if (names.size() < 2 || k != s.to) return "";
    std::string out;
    for (const std::string &n : names) out += (out.empty() ? "" : "; ") + head + " " + n;
    return out;
}

// TRUNCATE [TABLE] [ONLY] a, b [RESTART | CONTINUE IDENTITY] [CASCADE | RESTRICT].
std::string delete_each(const Statement &s) {
    size_t k = s.from + 1;
    if (s.is(k, "table")) ++k;
    if (s.is(k, "only")) ++k;
    std::vector<std::string> names = s.names(&k);
    if ((s.is(k, "restart") || s.is(k, "continue")) && s.is(k + 1, "identity")) k += 2;
    if (s.is(k, "cascade") || s.is(k, "restrict")) ++k;
    if (names.empty() || k != s.to) return "";
    std::string out;
    for (const std::string &n : names) out += (out.empty() ? "" : "; ") + std::string("DELETE FROM ") + n;
    return out;
}

// VACUUM [(options)] [FULL | FREEZE | VERBOSE | ANALYZE ...] table.
std::string analyze_table(const Statement &s) {
    size_t k = s.from + 1;
    if (k < s.to && s.t[k].is_punct('(')) {
        while (k < s.to && !s.t[k].is_punct(')')) ++k;
        ++k;
    }
    while (s.is(k, "full") || s.is(k, "freeze") || s.is(k, "verbose") || s.is(k, "analyze") || s.is(k, "analyse"))
        ++k;
    std::vector<std::string> names = s.names(&k);
    if (names.empty() || k != s.to) return "";
    for (const std::string &n : names)  // SQLite's VACUUM of a database stays its own
        if (strcasecmp(n.c_str(), "main") == 0 || strcasecmp(n.c_str(), "temp") == 0) return "";
    std::string out;
    for (const std::string &n : names) out += (out.empty() ? "" : "; ") + std::string("ANALYZE ") + n;
    return out;
}

// ALTER TABLE [ONLY] t ADD [CONSTRAINT name] PRIMARY KEY | UNIQUE (columns).
std::string unique_index(const Statement &s) {
    size_t k = s.from + 1;
    if (!s.is(k, "table")) return "";
    ++k;
    if (s.is(k, "only")) ++k;
    if (s.is(k, "if") && s.is(k + 1, "exists")) k += 2;
    std::string table = s.name(&k);
    if (table.empty() || !s.is(k, "add")) return "";
    const std::string &base = s.t[k - 1].text;  // the table's own name, unqualified, unquoted
    ++k;
    std::string index;
    if (s.is(k, "constraint")) {
        ++k;
        index = s.name(&k);
        if (index.empty()) return "";
    }
    bool primary = s.is(k, "primary") && s.is(k + 1, "key");
    if (!primary && !s.is(k, "unique")) return "";
    k += primary ? 2 : 1;
    if (k >= s.to || !s.t[k].is_punct('(')) return "";
    size_t open = k;
    while (k < s.to && !s.t[k].is_punct(')')) ++k;
    if (k + 1 != s.to) return "";
    if (index.empty())  // PostgreSQL's names: table_pkey, table_column_key
        index = "\"" + base + (primary ? "_pkey" : "_" + s.t[open + 1].text + "_key") + "\"";
    return "CREATE UNIQUE INDEX " + index + " ON " + table + " " + s.text(open, k);
}

// CREATE TABLE ... (columns) WITH (storage parameters): the text without the WITH clause.
std::string without_storage_parameters(const Statement &s) {
    if (!(s.is(s.from + 1, "table") || s.is(s.from + 2, "table") || s.is(s.from + 3, "table"))) return "";
    for (size_t k = s.from + 2; k + 1 < s.to; ++k) {
        if (!s.is(k, "with") || !s.t[k - 1].is_punct(')') || !s.t[k + 1].is_punct('(')) continue;
        size_t close = k + 1;
        while (close < s.to && !s.t[close].is_punct(')')) ++close;
        if (close >= s.to) return "";
        std::string out = s.sql.substr(s.t[s.from].at, s.t[k].at - s.t[s.from].at);
        if (close + 1 < s.to)
            out += s.sql.substr(s.t[close + 1].at, qx::token_end(s.sql, s.t[s.to - 1]) - s.t[close + 1].at);
        return out;
    }
    return "";
}

// CREATE [UNIQUE] INDEX [CONCURRENTLY] [IF NOT EXISTS] ON t (columns): the index named
// as PostgreSQL names it, t_column_idx (columns joined by _; an expression's column
// "expr").
std::string named_index(const Statement &s) {
    size_t k = s.from + 1;
    if (s.is(k, "unique")) ++k;
    if (!s.is(k, "index")) return "";
    ++k;
    if (s.is(k, "concurrently")) ++k;
    if (s.is(k, "if") && s.is(k + 1, "not") && s.is(k + 2, "exists")) k += 3;
    if (!s.is(k, "on")) return "";
    size_t on = k++;
    if (s.is(k, "only")) ++k;
    std::string table = s.name(&k);
    if (table.empty()) return "";
    std::string base = s.t[k - 1].text;
    if (s.is(k, "using")) k += 2;
    if (k >= s.to || !s.t[k].is_punct('(')) return "";
    std::string name = base;
    int depth = 0;
    bool expression = false;
    for (size_t j = k + 1; j < s.to && depth >= 0; ++j) {
        if (s.t[j].is_punct('(')) ++depth, expression = true;
        else if (s.t[j].is_punct(')')) --depth;
        else if (depth == 0 && s.t[j].is_punct(',')) expression = false;
        else if (depth == 0 && is_name(s.t[j]) && (s.t[j - 1].is_punct('(') || s.t[j - 1].is_punct(',')) &&
                 j + 1 < s.to && (s.t[j + 1].is_punct(',') || s.t[j + 1].is_punct(')') || s.t[j + 1].is("asc") ||
                                  s.t[j + 1].is("desc") || s.t[j + 1].is("collate") || s.t[j + 1].is("nulls") ||
                                  s.t[j + 1].kind == SqlToken::word))
            name += "_" + s.t[j].text;
        if (depth == 0 && (s.t[j].is_punct(',') || s.t[j].is_punct(')')) && expression) name += "_expr";
        if (depth == 0 && s.t[j].is_punct(',')) expression = false;
    }
    std::string out = s.sql.substr(s.t[s.from].at, s.t[on].at - s.t[s.from].at);
    return out + "\"" + name + "_idx\" " + s.sql.substr(s.t[on].at, qx::token_end(s.sql, s.t[s.to - 1]) - s.t[on].at);
}

// CREATE OR REPLACE [TEMP] VIEW v ...: the view dropped if it is there, and made anew.
std::string replaced_view(const Statement &s) {
    size_t k = s.from + 1;
    if (!s.is(k, "or") || !s.is(k + 1, "replace")) return "";
    k += 2;
    size_t kind = k;
    if (s.is(k, "temp") || s.is(k, "temporary")) ++k;
    if (!s.is(k, "view")) return "";
    ++k;
    std::string view = s.name(&k);
    if (view.empty()) return "";
    return "DROP VIEW IF EXISTS " + view + "; CREATE " +
           s.sql.substr(s.t[kind].at, qx::token_end(s.sql, s.t[s.to - 1]) - s.t[kind].at);
}

// DELETE FROM t [[AS] alias] USING tables [WHERE condition] [RETURNING ...]: the rows of
// t for which the tables have a row that meets the condition.
std::string delete_using(const Statement &s) {
    size_t k = s.from + 1;
    if (!s.is(k, "from")) return "";
    ++k;
    if (s.is(k, "only")) ++k;
    std::string table = s.name(&k);
    if (table.empty()) return "";
    std::string target = s.text(s.from, k - 1), base = s.t[k - 1].text, alias;
    if (s.is(k, "as")) ++k;
    if (k < s.to && is_name(s.t[k]) && !s.is(k, "using")) {
        alias = s.t[k].text;
        target += " AS " + s.text(k, k);  // SQLite wants AS
        ++k;
    }
    if (!s.is(k, "using")) return "";
    size_t using_at = k, where = s.to, returning = s.to;
    int depth = 0;
    for (size_t j = k + 1; j < s.to; ++j) {
        if (s.t[j].is_punct('(')) ++depth;
        else if (s.t[j].is_punct(')')) --depth;
        else if (depth == 0 && s.is(j, "where") && where == s.to) where = j;
        else if (depth == 0 && s.is(j, "returning")) returning = j;
    }
    if (using_at + 1 >= std::min(where, returning)) return "";
    std::string out = target + " WHERE EXISTS (SELECT 1 FROM " +
                      s.text(using_at + 1, std::min(where, returning) - 1);
    if (where < returning) out += " WHERE " + s.text(where + 1, returning - 1);
    out += ")";
    if (returning < s.to) {
        // SQLite's RETURNING names the table's columns unqualified, and has no t.*.
        out += " RETURNING ";
        size_t copied = s.t[returning + 1].at;
        for (size_t j = returning + 1; j + 2 < s.to; ++j) {
            if (!is_name(s.t[j]) || !s.t[j + 1].is_punct('.') || (j > 0 && s.t[j - 1].is_punct('.'))) continue;
            if (s.t[j].text != base && s.t[j].text != alias) continue;
            out += s.sql.substr(copied, s.t[j].at - copied);
            copied = s.t[j + 2].at;
        }
        out += s.sql.substr(copied, qx::token_end(s.sql, s.t[s.to - 1]) - copied);
    }
    return out;
}

bool mentions_a_keyword(const std::string &sql) {
    for (const char *w : {"drop", "truncate", "vacuum", "alter", "with", "create", "using", "explain"})
        if (qx::mentions(sql, w)) return true;
    return false;
}

}  // namespace

namespace qx {

std::string rewrite_table_statements(const std::string &sql) {
    if (!mentions_a_keyword(sql)) return sql;
    std::vector<SqlToken> t;
    if (!lex_sql(sql, &t)) return sql;
    std::string out;
    size_t copied = 0, from = 0;
    for (size_t k = 0; k <= t.size(); ++k) {
        if (k < t.size() && !t[k].is_punct(';')) continue;
        Statement s{sql, t, from, k};
        std::string replacement;
        if (k > from) {
            if (t[from].is("drop")) replacement = drop_each(s);
            else if (t[from].is("truncate")) replacement = delete_each(s);
            else if (t[from].is("vacuum")) replacement = analyze_table(s);
            else if (t[from].is("alter")) replacement = unique_index(s);
            else if (t[from].is("create")) {
                replacement = named_index(s);
                if (replacement.empty()) replacement = replaced_view(s);
                if (replacement.empty()) replacement = without_storage_parameters(s);
            } else if (t[from].is("delete")) {
                replacement = delete_using(s);
            } else if (t[from].is("explain")) {
                replacement = qx::explained_statement(sql, t, from, k);
            }
        }
        if (!replacement.empty()) {
            out.append(sql, copied, t[from].at - copied);
            out += replacement;
            copied = qx::token_end(sql, t[k - 1]);
        }
        from = k + 1;
    }
    if (copied == 0) return sql;
    out.append(sql, copied, std::string::npos);
    return out;
}

}  // namespace qx
