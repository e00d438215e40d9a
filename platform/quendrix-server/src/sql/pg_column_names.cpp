// The names PostgreSQL gives the columns of a select list that have no alias, given as
// aliases, since SQLite would name each by its text ("count(*)", "CAST(a AS TEXT)") and
// drivers that return rows as maps, and queries over a subquery, use the names: a
// call is named by its function (count), a cast by what it casts when that has a name
// (a::text is a) or else by its type (1::int is int4), CASE is case, ARRAY[...] array,
// EXISTS (...) exists, a subquery by its one column, anything else ?column?. A column,
// a star and an item with an alias keep theirs.
#include <string.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "sql/pg_catalogue.h"
#include "sql/pg_strings.h"
#include "sql/sql_lexer.h"

namespace {

using qx::closing_parenthesis;
using qx::folded_name;
using qx::SqlToken;


struct Name {
    std::string text;
    int strength = 0;  // 2: a column's or function's name; 1: a type's or keyword's; 0: none
};

bool is_one_of(const SqlToken &t, std::initializer_list<const char *> words) {
    for (const char *w : words)
        if (t.is(w)) return true;
    return false;
}

// Words that end an operand, after which a name is an alias (x IS NULL, CASE ... END).
bool ends_operand(const SqlToken &t) {
    return is_one_of(t, {"end", "null", "true", "false", "unknown", "isnull", "notnull", "current_date",
                         "current_time", "current_timestamp", "localtime", "localtimestamp", "current_user",
                         "session_user", "current_role", "current_schema", "current_catalog", "user"});
}

// Words after which comes an operand, never an alias.
bool wants_operand(const SqlToken &t) {
    return is_one_of(t, {"not", "and", "or", "is", "in", "like", "ilike", "glob", "regexp", "match", "between",
                         "collate", "escape", "when", "then", "else", "case", "distinct", "all", "any", "some",
                         "exists", "select", "as", "interval", "similar", "to", "from", "by", "on"});
}

// Where the type written from t[from] ends: its words (double precision, timestamp with
// time zone), a length (varchar(10)) and array bounds ([], [3]).
size_t type_end(const std::vector<SqlToken> &t, size_t from, size_t to) {
    size_t at = from;
    if (at >= to || (t[at].kind != SqlToken::word && t[at].kind != SqlToken::quoted_name)) return from;
    ++at;
    static const char *const kPhrases[][4] = {{"double", "precision"}, {"character", "varying"},
                                              {"char", "varying"},     {"bit", "varying"},
                                              {"timestamp", "with", "time", "zone"},
                                              {"timestamp", "without", "time", "zone"},
                                              {"time", "with", "time", "zone"},
                                              {"time", "without", "time", "zone"}};
    for (const auto &phrase : kPhrases) {
        size_t n = 1;
        while (n < 4 && phrase[n] && from + n < to && t[from + n].is(phrase[n])) ++n;
        if (t[from].is(phrase[0]) && (n == 4 || !phrase[n]) && from + n > at) at = from + n;
    }
    if (at < to && t[at].is_punct('(')) at = closing_parenthesis(t, at, to) + 1;
    while (at < to && t[at].kind == SqlToken::quoted_name && t[at].text.find_first_not_of("0123456789 ") ==
                                                                 std::string::npos)
        ++at;
    return std::min(at, to);
}

// The name PostgreSQL gives a cast to the type written at t[from, to): the type's own
// name (int4 for integer, varchar for character varying), or the name as written.
std::string type_name(const std::vector<SqlToken> &t, size_t from, size_t to) {
    std::string written;
    for (size_t k = from; k < to && (t[k].kind == SqlToken::word || (t[k].kind == SqlToken::quoted_name && k == from));
         ++k)
        written += (written.empty() ? "" : " ") + folded_name(t[k]);
    if (written.empty()) return "?column?";
    std::string own;
    int oid = qx::pg_type_oid(written);
    if (oid && qx::pg_type_name(oid, &own)) return own;
    size_t space = written.rfind(' ');
    return space == std::string::npos ? written : written.substr(space + 1);
}

// Whether t[at] ends a select list: FROM, WHERE and the like, but not the FROM of
// IS [NOT] DISTINCT FROM.
bool ends_list(const std::vector<SqlToken> &t, size_t at) {
    if (t[at].is("from")) return !(at >= 2 && t[at - 1].is("distinct") && (t[at - 2].is("is") || t[at - 2].is("not")));
    for (const char *k : {"where", "group", "having", "order", "limit", "union", "except", "intersect", "window",
                          "into", "offset", "fetch", "for"})
        if (t[at].is(k)) return true;
    return t[at].is_punct(';');
}

Name name_of(const std::string &m, const std::vector<SqlToken> &t, size_t from, size_t to);

// Where the operand that starts at t[from] ends (a name, a call, a parenthesis, a literal,
// ARRAY[...], CASE ... END), or from when it is none of them.
size_t operand_end(const std::string &m, const std::vector<SqlToken> &t, size_t from, size_t to) {
    size_t at = from;
    if (at >= to) return from;
    if (t[at].is("case")) {
        int depth = 0;
        for (; at < to; ++at) {
            if (t[at].is("case")) ++depth;
            if (t[at].is("end") && --depth == 0) return at + 1;
        }
        return from;
    }
    if (t[at].is_punct('(')) {
        size_t close = closing_parenthesis(t, at, to);
        return close < to ? close + 1 : from;
    }
    if (t[at].kind == SqlToken::word && at + 1 < to && t[at + 1].kind == SqlToken::string)
        return at + 2;  // a typed literal, date '2024-01-31'
    if (t[at].kind == SqlToken::word || t[at].kind == SqlToken::quoted_name) {
        for (++at; at + 1 < to && t[at].is_punct('.') &&
                   (t[at + 1].kind == SqlToken::word || t[at + 1].kind == SqlToken::quoted_name);)
            at += 2;
        if (at < to && t[at].kind == SqlToken::quoted_name && t[at - 1].is("array")) return at + 1;  // ARRAY[...]
        if (at < to && t[at].is_punct('(')) {
            size_t close = closing_parenthesis(t, at, to);
            if (close >= to) return from;
            at = close + 1;
            // f(...) FILTER (WHERE ...) OVER (...) | OVER name
            if (at + 1 < to && t[at].is("filter") && t[at + 1].is_punct('(')) at = closing_parenthesis(t, at + 1, to) + 1;
            if (at + 1 < to && t[at].is("over"))
                at = t[at + 1].is_punct('(') ? closing_parenthesis(t, at + 1, to) + 1 : at + 2;
        }
        while (at < to && t[at].kind == SqlToken::quoted_name && m[t[at].at] == '[') ++at;  // a[i]: a's name
        return std::min(at, to);
    }
    if (t[at].kind == SqlToken::string || t[at].kind == SqlToken::number || t[at].kind == SqlToken::parameter)
        return at + 1;
    return from;
}

Name name_of(const std::string &m, const std::vector<SqlToken> &t, size_t from, size_t to) {
    size_t end = operand_end(m, t, from, to);
    if (end == from) return {"?column?", 0};
    // x AT TIME ZONE zone is PostgreSQL's timezone(zone, x).
    if (end + 4 == to && t[end].is("at") && t[end + 1].is("time") && t[end + 2].is("zone")) return {"timezone", 2};
    if (end < to) {
        // Casts of the operand: value::type[(n)][[]] ..., each named by what it casts.
        Name name = name_of(m, t, from, end);
        size_t at = end;
        while (at + 1 < to && t[at].kind == SqlToken::op && t[at].text == "::") {
            size_t type_from = ++at;
            at = type_end(t, type_from, to);
            if (at == type_from) break;
            if (name.strength <= 1) name = {type_name(t, type_from, at), 1};
        }
        return at == to ? name : Name{"?column?", 0};
    }
    const SqlToken &first = t[from];
    if (first.is("case")) {
        // CASE ... ELSE x END is named by x when that is a column or a call.
        for (size_t k = end - 2; k > from; --k) {
            if (t[k].is("else")) {
                Name name = name_of(m, t, k + 1, end - 1);
                if (name.strength == 2) return name;
                break;
            }
            if (t[k].is("end") || t[k].is_punct(')')) break;
        }
        return {"case", 1};
    }
    if (first.is_punct('(')) {
        if (from + 1 < end && t[from + 1].is("select")) {  // a subquery: its one column's name
            size_t list = from + 2, k = list;
            int depth = 0;
            for (; k < end - 1; ++k) {
                if (t[k].is_punct('(')) ++depth;
                if (t[k].is_punct(')')) --depth;
                if (depth == 0 && (t[k].is_punct(',') || ends_list(t, k))) break;
            }
            if (k >= list + 3 && t[k - 2].is("as")) return {folded_name(t[k - 1]), 2};
            return name_of(m, t, list, k);
        }
        return name_of(m, t, from + 1, end - 1);
    }
    if (first.kind == SqlToken::word && from + 1 < end && t[from + 1].kind == SqlToken::string)
        return {type_name(t, from, from + 1), 1};  // date '2024-01-31'
    if (first.kind != SqlToken::word && first.kind != SqlToken::quoted_name) return {"?column?", 0};
    if (first.is("array")) return {"array", 1};
    if (first.is("true") || first.is("false")) return {"bool", 1};
    if (first.is("null")) return {"?column?", 0};
    // A call, perhaps qualified: its function's name, the last part.
    size_t last = from;
    while (last + 2 < end && t[last + 1].is_punct('.')) last += 2;
    if (last + 1 < end && t[last + 1].is_punct('(')) {
        if (t[last].is("cast")) {  // CAST(x AS type)
            size_t close = closing_parenthesis(t, last + 1, end);
            for (size_t k = close; k > last + 2; --k) {
                if (t[k - 1].is("as")) {
                    Name name = name_of(m, t, last + 2, k - 1);
                    return name.strength == 2 ? name : Name{type_name(t, k, close), 1};
                }
            }
        }
        if (t[last].is("exists")) return {"exists", 1};
        if (t[last].is("trim") && last + 2 < end)  // TRIM(...) is btrim(), ltrim() or rtrim()
            return {t[last + 2].is("leading") ? "ltrim" : t[last + 2].is("trailing") ? "rtrim" : "btrim", 2};
        return {folded_name(t[last]), 2};
    }
    return {folded_name(t[last]), 2};
}

// Whether the item t[from, to) of the text `m` has an alias: AS name, or a name right
// after an operand. When unsure it says so, and the item is left as it is.
bool has_alias(const std::string &m, const std::vector<SqlToken> &t, size_t from, size_t to) {
    if (to - from < 2) return false;
    const SqlToken &last = t[to - 1], &before = t[to - 2];
    if (last.kind != SqlToken::word && last.kind != SqlToken::quoted_name) return false;
    if (last.kind == SqlToken::quoted_name && m[last.at] == '[') return false;  // a subscript, an array's bounds
    if (ends_operand(last) || before.is("as")) return before.is("as");
    // The words of a cast's type (x::double precision) are no alias.
    for (size_t k = to; k-- > from;) {
        if (t[k].kind == SqlToken::op && t[k].text == "::") {
            if (type_end(t, k + 1, to) == to) return false;
            break;
        }
        if (t[k].kind != SqlToken::word && t[k].kind != SqlToken::quoted_name && !t[k].is_punct('(') &&
            !t[k].is_punct(')') && t[k].kind != SqlToken::number)
            break;
    }
    if (before.kind == SqlToken::op || before.is_punct('.') || before.is_punct('(') || before.is_punct(','))
        return false;
    return !wants_operand(before);
}


}  // namespace

namespace qx {

std::string name_select_items(const std::string &sql, std::vector<std::pair<size_t, size_t>> *inserted) {
    if (inserted) inserted->clear();
    if (!qx::mentions(sql, "select")) return sql;
    const std::string m = qx::masked_pg_strings(sql);
    std::vector<SqlToken> t;
    if (!lex_sql(m, &t)) return sql;
    std::vector<std::pair<size_t, std::string>> aliases;  // where, what
    for (size_t s = 0; s < t.size(); ++s) {
        if (t[s].is("trigger") && s > 0 && (t[s - 1].is("create") || t[s - 1].is("temp") ||
                                             t[s - 1].is("temporary"))) {
            // A trigger's statements return no rows: its body (to its END) stays as written.
            int cases = 0;
            while (s < t.size() && !t[s].is("begin")) ++s;
            for (; s < t.size(); ++s) {
                if (t[s].is("case")) ++cases;
                if (t[s].is("end") && cases-- == 0) break;
            }
            continue;
        }
        if (!t[s].is("select")) continue;
        // GRANT SELECT ON ..., REVOKE INSERT, SELECT ON ...: a privilege, not a query
        if ((s + 1 < t.size() && (t[s + 1].is("on") || t[s + 1].is_punct(','))) ||
            (s > 0 && (t[s - 1].is("grant") || t[s - 1].is("revoke") || t[s - 1].is_punct(','))))
            continue;
        size_t at = s + 1;
        if (at < t.size() && t[at].is("all")) ++at;
        if (at < t.size() && t[at].is("distinct")) {
            ++at;
            if (at + 1 < t.size() && t[at].is("on") && t[at + 1].is_punct('(')) at = closing_parenthesis(t, at + 1, t.size()) + 1;
        }
        size_t item = at;
        for (int depth = 0; at <= t.size(); ++at) {
            bool last = at == t.size() || (depth == 0 && (ends_list(t, at) || t[at].is_punct(')')));
            if (last || (depth == 0 && t[at].is_punct(','))) {
                size_t from = item, to = at;
                item = at + 1;
                bool column = false;
                if (to > from) {  // a column (perhaps qualified) or a star keeps its name
                    size_t k = from;
                    while (k + 2 < to && t[k + 1].is_punct('.')) k += 2;
                    column = k + 1 == to && (t[k].kind == SqlToken::quoted_name ||
                                             (t[k].kind == SqlToken::word && !ends_operand(t[k])));
                    column = column || t[to - 1].text == "*";
                }
                if (to > from && !column && !has_alias(m, t, from, to)) {
                    Name name = name_of(m, t, from, to);
                    aliases.emplace_back(token_end(m, t[to - 1]), " AS " + quoted_name(name.text));
                }
                if (last) break;
                continue;
            }
            if (t[at].is_punct('(')) ++depth;
            if (t[at].is_punct(')')) --depth;
        }
    }
    if (aliases.empty()) return sql;
    std::sort(aliases.begin(), aliases.end());
    if (inserted)
        for (const auto &a : aliases) inserted->emplace_back(a.first, a.second.size());
    std::string out = sql;
    for (size_t k = aliases.size(); k-- > 0;) out.insert(aliases[k].first, aliases[k].second);
    return out;
}

}  // namespace qx
