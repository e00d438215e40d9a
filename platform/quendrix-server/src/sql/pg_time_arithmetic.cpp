// x AT TIME ZONE zone, which SQLite's grammar lacks, becomes pg_at_time_zone(x, zone). And
// + and - of dates and times, which SQLite would do on the numbers at the start of their
// text: `x +|- 'text'::interval` (as interval 'text' is written by then), and + or -
// next to what is a date or a time by its text (a cast to date or a time type,
// CURRENT_DATE, CURRENT_TIMESTAMP, now()), become pg_time_arith(op, left, right,
// right_is_interval), which works on the values (see pg_time_functions.cpp). The
// operands are the primaries beside the operator, with their casts: a name, a call, a
// parenthesis, a literal or a parameter.
#include <sqlite3.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "internal.h"
#include "sql/sql_lexer.h"

namespace {

using qx::SqlToken;

// The text now() becomes (see resolve_qualified_names).
const char *const kNow = "(strftime('%Y-%m-%d %H:%M:%f+00', 'now'))";

bool is_time_type(const SqlToken &t) {
    for (const char *type : {"date", "timestamp", "timestamptz", "time", "timetz"})
        if (t.is(type)) return true;
    return false;
}

// Whether t may name a column or a function: any name but SQLite's keywords, of which
// some name functions or times.
bool is_name(const SqlToken &t) {
    if (t.kind == SqlToken::quoted_name) return true;
    if (t.kind != SqlToken::word) return false;
    for (const char *k : {"cast", "replace", "glob", "like", "regexp", "match", "current_date", "current_timestamp",
                          "current_time"})
        if (t.is(k)) return true;
    return !sqlite3_keyword_check(t.text.data(), static_cast<int>(t.text.size()));
}

// Where the primary that ends just before token `end` starts, with its casts; `end` when
// there is none.
size_t primary_start(const std::vector<SqlToken> &t, size_t end) {
    size_t k = end;
    // ::type, perhaps of several words (timestamp with time zone)
    for (;;) {
        size_t words = k;
        while (words > 0 && t[words - 1].kind == SqlToken::word && k - words < 4) --words;
        if (words < k && words > 0 && t[words - 1].kind == SqlToken::op && t[words - 1].text == "::") {
            k = words - 1;
            continue;
        }
        break;
    }
    if (k == 0) return end;
    const SqlToken &last = t[k - 1];
    if (last.is_punct(')')) {
        int depth = 0;
        size_t j = k;
        while (j-- > 0) {
            if (t[j].is_punct(')')) ++depth;
            if (t[j].is_punct('(') && --depth == 0) break;
        }
        if (j == static_cast<size_t>(-1)) return end;
        k = j;
        if (k > 0 && is_name(t[k - 1])) --k;  // a call
    } else if (last.kind == SqlToken::string || last.kind == SqlToken::number || last.kind == SqlToken::parameter) {
        --k;
    } else if (is_name(last)) {
        --k;
    } else {
        return end;
    }
    while (k >= 2 && t[k - 1].is_punct('.') &&
           (t[k - 2].kind == SqlToken::word || t[k - 2].kind == SqlToken::quoted_name))
        k -= 2;  // a qualified name
    return k;
}

// Where the primary that starts at token `from` ends (past its casts); `from` when there is none.
size_t primary_end(const std::vector<SqlToken> &t, size_t from) {
    size_t k = from;
    if (k < t.size() && t[k].kind == SqlToken::op && (t[k].text == "-" || t[k].text == "+") && k + 1 < t.size() &&
        t[k + 1].kind == SqlToken::number)
        ++k;  // a signed number
    if (k >= t.size()) return from;
    if (t[k].is_punct('(')) {
        k = qx::closing_parenthesis(t, k);
        if (k >= t.size()) return from;
        ++k;
    } else if (t[k].kind == SqlToken::string || t[k].kind == SqlToken::number || t[k].kind == SqlToken::parameter) {
        ++k;
    } else if (is_name(t[k])) {
        ++k;
        while (k + 1 < t.size() && t[k].is_punct('.') &&
               (t[k + 1].kind == SqlToken::word || t[k + 1].kind == SqlToken::quoted_name))
            k += 2;
        if (k < t.size() && t[k].is_punct('(')) {
            k = qx::closing_parenthesis(t, k);
            if (k >= t.size()) return from;
            ++k;
        }
    } else {
        return from;
    }
    while (k + 1 < t.size() && t[k].kind == SqlToken::op && t[k].text == "::" && t[k + 1].kind == SqlToken::word) {
        k += 2;
        while (k < t.size() && t[k].kind == SqlToken::word &&
               (t[k].is("with") || t[k].is("without") || t[k].is("time") || t[k].is("zone") ||
                t[k].is("precision") || t[k].is("varying")))
            ++k;
    }
    return k;
}

// Whether the primary t[from, to) of `sql` is a date or a time by its text.
bool is_time_operand(const std::string &sql, const std::vector<SqlToken> &t, size_t from, size_t to) {
    if (to == from) return false;
    if (to - from == 1 && (t[from].is("current_date") || t[from].is("current_timestamp") ||
                           t[from].is("localtimestamp")))
        return true;
    if (sql.compare(t[from].at, qx::token_end(sql, t[to - 1]) - t[from].at, kNow) == 0) return true;
    if (t[from].is("pg_at_time_zone") || t[from].is("date_trunc") || t[from].is("to_timestamp") ||
        t[from].is("make_date"))
        return true;  // a call whose value is a time
    if (t[from].is_punct('(') && qx::closing_parenthesis(t, from) == to - 1)  // (x)
        return is_time_operand(sql, t, from + 1, to - 1);
    // its last cast is to a time type: ::date, ::timestamp [with time zone], CAST(x AS date)
    bool call = t[from].is("cast") && t[to - 1].is_punct(')');
    size_t type_end = call ? to - 1 : to;
    for (size_t type = type_end; type > from + 1 && type_end - type < 4 && t[type - 1].kind == SqlToken::word; --type) {
        const SqlToken &before = t[type - 2];
        if (call ? before.is("as") : before.kind == SqlToken::op && before.text == "::") return is_time_type(t[type - 1]);
    }
    return false;
}

// Whether the primary t[from, to) is 'text'::interval.
bool is_interval_literal(const std::vector<SqlToken> &t, size_t from, size_t to) {
    return to == from + 3 && t[from].kind == SqlToken::string && t[from + 1].text == "::" && t[from + 2].is("interval");
}

std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// Rewrites in *sql each `x AT TIME ZONE zone`, + or - of dates or times, and comparison of
// a difference with an interval that contains no other; false when there is none.
bool rewrite_pass(std::string *sql) {
    std::vector<SqlToken> t;
    if (!qx::lex_sql(*sql, &t)) return false;
    qx::TextEdits edits;
    // generate_series(start, stop, 'text'::interval): the interval's text, which the
    // series of times reads.
    for (size_t k = 0; k + 1 < t.size(); ++k) {
        if (!t[k].is("generate_series") || !t[k + 1].is_punct('(')) continue;
        size_t close = qx::closing_parenthesis(t, k + 1);
        if (close >= t.size() || close < k + 5 || !is_interval_literal(t, close - 3, close) || !t[close - 4].is_punct(','))
            continue;
        edits.add(qx::token_end(*sql, t[close - 3]), qx::token_end(*sql, t[close - 1]), "");
    }
    for (size_t k = 1; k + 3 < t.size(); ++k) {
        if (!t[k].is("at") || !t[k + 1].is("time") || !t[k + 2].is("zone")) continue;
        size_t left = primary_start(t, k), right_end = primary_end(t, k + 3);
        if (left == k || right_end == k + 3) continue;
        std::string left_text = sql->substr(t[left].at, qx::token_end(*sql, t[k - 1]) - t[left].at);
        std::string zone = sql->substr(t[k + 3].at, qx::token_end(*sql, t[right_end - 1]) - t[k + 3].at);
        size_t from = t[left].at, to = qx::token_end(*sql, t[right_end - 1]);
        edits.add(from, to, "pg_at_time_zone(" + left_text + ", " + zone + ")");
    }
    for (size_t k = 1; k + 1 < t.size(); ++k) {
        if (t[k].kind != SqlToken::op || (t[k].text != "+" && t[k].text != "-")) continue;
        size_t left = primary_start(t, k), right_end = primary_end(t, k + 1);
        if (left == k || right_end == k + 1) continue;
        bool interval = is_interval_literal(t, k + 1, right_end);
        if (!interval && !is_time_operand(*sql, t, left, k) &&
            !(t[k].text == "-" && is_time_operand(*sql, t, k + 1, right_end)))
            continue;
        size_t from = t[left].at, to = qx::token_end(*sql, t[right_end - 1]);
        std::string left_text = sql->substr(from, t[k].at - from);
        while (!left_text.empty() && left_text.back() == ' ') left_text.pop_back();
        std::string right_text = interval ? quoted(t[k + 1].text)
                                          : sql->substr(t[k + 1].at, to - t[k + 1].at);
        std::string call = "pg_time_arith('" + t[k].text + "', " + left_text + ", " + right_text + ", " +
                           (interval ? "1" : "0") + ")";
        edits.add(from, to, call);
    }
    // A time difference compared with an interval (now() - t.at > interval '1 hour', age(x)
    // >= interval '18 years'), once the difference is a call: pg_interval_cmp(difference,
    // 'text') > 0.
    for (size_t k = 1; k + 1 < t.size(); ++k) {
        static const char *const kComparisons[] = {"=", "<>", "!=", "<", "<=", ">", ">="};
        if (t[k].kind != SqlToken::op ||
            std::none_of(std::begin(kComparisons), std::end(kComparisons), [&](const char *o) { return t[k].text == o; }))
            continue;
        size_t left = primary_start(t, k), right_end = primary_end(t, k + 1);
        if (left == k || right_end == k + 1) continue;
        bool interval_right = is_interval_literal(t, k + 1, right_end), interval_left = is_interval_literal(t, left, k);
        if (interval_right == interval_left) continue;
        size_t difference = interval_right ? left : k + 1;
        size_t d = t[difference].is_punct('(') ? difference + 1 : difference;
        if (!(d < t.size() && (t[d].is("pg_time_arith") || t[d].is("age")))) continue;
        if (left > 0 && t[left - 1].kind == SqlToken::op && t[left - 1].text != "=" && t[left - 1].text != "<>") continue;
        size_t from = t[left].at, to = qx::token_end(*sql, t[right_end - 1]);
        std::string left_text = sql->substr(from, t[k].at - from);
        while (!left_text.empty() && left_text.back() == ' ') left_text.pop_back();
        std::string right_text = sql->substr(t[k + 1].at, to - t[k + 1].at);
        std::string call = interval_right
                               ? "pg_interval_cmp(" + left_text + ", " + quoted(t[k + 1].text) + ") " + t[k].text + " 0"
                               : "0 " + t[k].text + " pg_interval_cmp(" + right_text + ", " + quoted(t[left].text) + ")";
        edits.add(from, to, call);
    }
    if (edits.empty()) return false;
    *sql = edits.applied(*sql);
    return true;
}

}  // namespace

namespace qx {

std::string rewrite_time_arithmetic(const std::string &sql) {
    if (!mentions(sql, "::interval") && !mentions(sql, "::date") && !mentions(sql, "::time") &&
        !mentions(sql, "current_") && !mentions(sql, "localtimestamp") && !mentions(sql, "zone") &&
        sql.find(kNow) == std::string::npos)
        return sql;
    std::string out = sql;
    for (int passes = 0; passes < 16 && rewrite_pass(&out); ++passes) {
    }
    return out;
}

}  // namespace qx
