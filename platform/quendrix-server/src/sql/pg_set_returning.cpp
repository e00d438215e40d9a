// Set-returning functions in a select list, as PostgreSQL's clients write them to list
// an array's elements (`SELECT unnest(ix.indkey) attnum, generate_subscripts(ix.indkey,
// 1) ord FROM pg_index ix`) or a series (`SELECT generate_series(1, 3)`): SQLite has
// table-valued functions only in FROM, so the function joins the select's FROM clause
// (lateral, as SQLite's table-valued functions are) and the items name its columns.
// PostgreSQL runs several such functions of one select in step; here they must all
// read the one array or series, and a select that mixes others is left as written
// (SQLite then says it knows no such function). information_schema._pg_expandarray(a)
// is such a function too (see kExpandArray).
#include <string.h>

#include <string>
#include <vector>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

// information_schema._pg_expandarray(a), as the rewrite of information_schema's names
// writes it: PostgreSQL's pairs (x, n) of an array's elements and their places, which
// JDBC's DatabaseMetaData.getPrimaryKeys reads. The pair is kept as x, its element.
const char *const kExpandArray = "pg_information_schema__pg_expandarray";

using qx::closing_parenthesis;
using qx::SqlToken;

// A select-list item that calls a set-returning function: where the call is, the
// column of the joined table it becomes, the name PostgreSQL gives the column when the
// item has none, and the table it reads ("pg_unnest(x)").
struct Item {
    size_t from = 0, to = 0;
    const char *column = nullptr, *name = nullptr;
    bool named = false;
    std::string table;
};

bool ends_clause(const SqlToken &t) {
    for (const char *k : {"from", "where", "group", "having", "order", "limit", "union", "except", "intersect",
                          "window", "returning"})
        if (t.is(k)) return true;
    return t.is_punct(';');
}

// The item t[from, to) when it is a call of unnest(x), generate_subscripts(x, 1) or
// generate_series(...), perhaps with an alias; false otherwise.
bool set_returning_item(const std::string &sql, const std::vector<SqlToken> &t, size_t from, size_t to, Item *item) {
    // (information_schema._pg_expandarray(a)).x or .n: an element of the array, or its place.
    if (to - from >= 7 && t[from].is_punct('(') && t[from + 1].is(kExpandArray) && t[from + 2].is_punct('(')) {
        size_t inner = closing_parenthesis(t, from + 2);
        if (inner + 3 >= to + 1 || !t[inner + 1].is_punct(')') || !t[inner + 2].is_punct('.') ||
            !(t[inner + 3].is("x") || t[inner + 3].is("n")))
            return false;
        size_t rest = to - inner - 4;
        if (!(rest == 0 || (rest == 1 && t[inner + 4].kind == SqlToken::word) ||
              (rest == 2 && t[inner + 4].is("as"))))
            return false;
        bool place = t[inner + 3].is("n");
        item->from = t[from].at;
        item->to = qx::token_end(sql, t[inner + 3]);
        item->named = rest > 0;
        item->column = place ? "ordinality" : "value";
        item->name = place ? "n" : "x";
        item->table = "pg_unnest(" + sql.substr(t[from + 3].at, t[inner].at - t[from + 3].at) + ")";
        return true;
    }
    if (to - from < 3 || t[from].kind != SqlToken::word || !t[from + 1].is_punct('(')) return false;
    size_t close = closing_parenthesis(t, from + 1);
    if (close >= to) return false;
    size_t rest = to - close - 1;
    if (!(rest == 0 || (rest == 1 && t[close + 1].kind != SqlToken::punct && t[close + 1].kind != SqlToken::op) ||
          (rest == 2 && t[close + 1].is("as"))))
        return false;
    if (close == from + 2) return false;  // no arguments
    item->from = t[from].at;
    item->to = qx::token_end(sql, t[close]);
    item->named = rest > 0;
    std::string arguments = sql.substr(t[from + 2].at, t[close].at - t[from + 2].at);
    if (t[from].is("unnest") || t[from].is(kExpandArray)) {  // _pg_expandarray(a): its elements, as x
        item->column = "value";
        item->name = t[from].is(kExpandArray) ? "_pg_expandarray" : "unnest";
        item->table = "pg_unnest(" + arguments + ")";
        return true;
    }
    if (t[from].is("generate_series")) {
        item->column = "value";
        item->name = "generate_series";
        item->table = "generate_series(" + arguments + ")";
        return true;
    }
    if (t[from].is("generate_subscripts")) {  // of the first dimension: the array's only one
        int depth = 0;
        size_t comma = 0;
        for (size_t k = from + 2; k < close; ++k) {
            if (t[k].is_punct('(')) ++depth;
            if (t[k].is_punct(')')) --depth;
            if (depth == 0 && t[k].is_punct(',')) comma = comma ? close : k;
        }
        if (!comma || comma == close || comma + 2 != close || t[comma + 1].text != "1") return false;
        item->column = "ordinality";
        item->name = "generate_subscripts";
        item->table = "pg_unnest(" + sql.substr(t[from + 2].at, t[comma].at - t[from + 2].at) + ")";
        return true;
    }
    return false;
}

// Rewrites the first select at or after token `start` whose list calls set-returning
// functions; false when no select from there does.
bool rewrite_one(std::string &sql, size_t &start, int number) {
    std::vector<SqlToken> t;
    if (!qx::lex_sql(sql, &t)) return false;
    for (size_t s = start; s < t.size(); ++s) {
        if (!t[s].is("select")) continue;
        size_t at = s + 1;
        if (at < t.size() && (t[at].is("distinct") || t[at].is("all"))) ++at;
        std::vector<Item> items;
        size_t item_from = at, end = t.size();
        bool others = false;
        for (int depth = 0; at <= t.size(); ++at) {
            bool last = at == t.size() || (depth == 0 && (ends_clause(t[at]) || t[at].is_punct(')')));
            if (last || (depth == 0 && t[at].is_punct(','))) {
                Item item;
                if (at > item_from && set_returning_item(sql, t, item_from, at, &item)) items.push_back(item);
                else if (at > item_from && item_from < t.size() &&
                         (t[item_from].is("unnest") || t[item_from].is("generate_subscripts")))
                    others = true;  // inside an expression: not this rewrite's
                item_from = at + 1;
                if (last) {
                    end = at;
                    break;
                }
                continue;
            }
            if (t[at].is_punct('(')) ++depth;
            if (t[at].is_punct(')')) --depth;
        }
        if (items.empty()) continue;
        start = s + 1;
        bool one_table = !others;
        for (const Item &item : items) one_table = one_table && item.table == items[0].table;
        if (!one_table) continue;
        std::string alias = "pg_set_" + std::to_string(number);
        // The function joins FROM at its end (before WHERE and what follows at this
        // depth), or is the select's FROM when it has none.
        size_t insert_at = sql.size();
        std::string join = ", " + items[0].table + " AS " + alias;
        if (end < t.size() && t[end].is("from")) {
            int depth = 0;
            size_t k = end + 1;
            for (; k < t.size(); ++k) {
                if (t[k].is_punct('(')) ++depth;
                if (t[k].is_punct(')') && --depth < 0) break;
                if (depth == 0 && ends_clause(t[k])) break;
            }
            insert_at = k < t.size() ? t[k].at : sql.size();
        } else {
            insert_at = end < t.size() ? t[end].at : sql.size();
            join = " FROM " + items[0].table + " AS " + alias;
        }
        while (insert_at > 0 && (sql[insert_at - 1] == ' ' || sql[insert_at - 1] == '\n')) --insert_at;
        sql.insert(insert_at, join + " ");
        for (size_t k = items.size(); k-- > 0;) {
            const Item &item = items[k];
            std::string column = alias + "." + item.column;
            if (!item.named) column += std::string(" AS ") + item.name;
            sql.replace(item.from, item.to - item.from, column);
        }
        return true;
    }
    return false;
}

// In a statement that expanded an array into pairs, (q.pair).x is the pair's element,
// which the pair is kept as: q.pair.
std::string pair_elements(const std::string &sql) {
    std::vector<SqlToken> t;
    if (!qx::lex_sql(sql, &t)) return sql;
    std::string out = sql;
    for (size_t k = t.size(); k-- > 0;) {
        if (k + 6 >= t.size() || !t[k].is_punct('(') || t[k + 1].kind != SqlToken::word || !t[k + 2].is_punct('.') ||
            t[k + 3].kind != SqlToken::word || !t[k + 4].is_punct(')') || !t[k + 5].is_punct('.') || !t[k + 6].is("x"))
            continue;
        out.replace(t[k].at, qx::token_end(sql, t[k + 6]) - t[k].at,
                    sql.substr(t[k + 1].at, qx::token_end(sql, t[k + 3]) - t[k + 1].at));
    }
    return out;
}

}  // namespace

namespace qx {

std::string rewrite_set_returning_items(const std::string &sql) {
    bool expands = mentions(sql, kExpandArray);
    if (!mentions(sql, "unnest") && !mentions(sql, "generate_s") && !expands) return sql;
    std::string out = sql;
    size_t start = 0;
    for (int number = 1; number <= 64 && rewrite_one(out, start, number); ++number) {
    }
    return expands ? pair_elements(out) : out;
}

}  // namespace qx
