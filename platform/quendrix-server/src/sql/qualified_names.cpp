// The statement text as SQLite must read it. The server's SQL names tables as DB.DBA.X
// (catalogue, owner, table); SQLite has no three-part names, so each unquoted DB.DBA.X
// becomes the one quoted name "DB.DBA.X", which is what the table is called in the SQLite
// database. And PostgreSQL's clients write what SQLite does not know, which becomes what
// it does: pg_catalog.f and information_schema.x name the server's functions and
// catalogue views; current_user and the like are called without parentheses, now() is
// the statement's time; SERIAL and identity columns are INTEGER ones; ~, !~, ~*, !~*
// (also as OPERATOR(pg_catalog.~)) are REGEXP, ILIKE is MATCH, LIKE patterns escape with
// a backslash (add_like_escapes), COLLATE pg_catalog.default
// is BINARY; $$...$$ and E'...' strings are SQLite strings (sql/pg_strings); ARRAY[...]
// and ARRAY(subquery), x = ANY (array), subscripts, typed literals, FOR UPDATE, LIMIT
// ALL, CREATE INDEX's access methods and operator classes and DEFAULT f(...) are written
// as sql/pg_arrays and SQLite read them; ... AS keyword is a quoted name, a catalogue
// flag alone in a condition is compared with 't', json_build_object() is json_object();
// statements that manage tables first (rewrite_table_statements), then the names of
// select-list items without an alias (name_select_items), FROM items with column
// aliases (rewrite_from_items) and set-returning functions in a select list
// (rewrite_set_returning_items) after the rest, casts value::type last (rewrite_casts). Literals, quoted
// names and comments are copied as they stand.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <strings.h>

#include <sqlite3.h>

#include "internal.h"
#include "sql/pg_catalogue.h"
#include "sql/pg_strings.h"
#include "sql/sql_lexer.h"

namespace {

bool ident_start(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool ident_char(char c) {
    return ident_start(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '$';
}

struct Scanner {
    const std::string &s;
    size_t i;

    size_t skip_blanks(size_t at) const {
        while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
        return at;
    }
    // The end of the word starting at `at` (at itself when there is none).
    size_t word_end(size_t at) const {
        if (at >= s.size() || !ident_start(s[at])) return at;
        while (at < s.size() && ident_char(s[at])) ++at;
        return at;
    }
    bool word_is(size_t from, size_t to, const char *w) const {
        size_t n = std::strlen(w);
        return to - from == n && strncasecmp(s.data() + from, w, n) == 0;
    }
    // The parenthesis that closes the one at `open` (strings, quoted names and comments
    // passed over); npos when none does.
    size_t closing_parenthesis(size_t open) const {
        int depth = 0;
        for (size_t j = open; j < s.size(); ++j) {
            char c = s[j];
            if (c == '\'' || c == '"' || c == '`' || c == '[') j = quoted_end(j) - 1;
            else if (c == '-' && j + 1 < s.size() && s[j + 1] == '-') j = std::min(s.find('\n', j), s.size());
            else if (c == '(') ++depth;
            else if (c == ')' && --depth == 0) return j;
        }
        return std::string::npos;
    }
    // The bracket that closes the one at `open`, as closing_parenthesis.
    size_t closing_bracket(size_t open) const {
        int depth = 0;
        for (size_t j = open; j < s.size(); ++j) {
            char c = s[j];
            if (c == '\'' || c == '"' || c == '`') j = quoted_end(j) - 1;
            else if (c == '[') ++depth;
            else if (c == ']' && --depth == 0) return j;
        }
        return std::string::npos;
    }
    // The end of the quoted section that opens at `at` (see qx::quoted_end).
    size_t quoted_end(size_t at) const { return qx::quoted_end(s, at); }
};

// The character before `at`, blanks skipped; 0 at the start.
char previous_char(const std::string &s, size_t at) {
    while (at > 0 && std::isspace(static_cast<unsigned char>(s[at - 1]))) --at;
    return at > 0 ? s[at - 1] : 0;
}

// PostgreSQL's match operators as SQLite writes them: REGEXP calls regexp(), and a
// leading (?i) in the pattern makes it ignore case. Empty for any other operator.
std::string match_operator(const std::string &op) {
    if (op == "~") return " REGEXP ";
    if (op == "!~") return " NOT REGEXP ";
    if (op == "~*") return " REGEXP '(?i)' || ";
    if (op == "!~*") return " NOT REGEXP '(?i)' || ";
    return "";
}

// Types whose literals PostgreSQL's clients write as type 'text'.
bool is_literal_type(const Scanner &sc, size_t from, size_t to) {
    for (const char *t : {"date", "time", "timestamp", "timestamptz", "interval", "uuid", "json", "jsonb"})
        if (sc.word_is(from, to, t)) return true;
    return false;
}

bool is_integer_type(const Scanner &sc, size_t from, size_t to) {
    for (const char *t : {"int", "integer", "int2", "int4", "int8", "smallint", "bigint"})
        if (sc.word_is(from, to, t)) return true;
    return false;
}

// Where GENERATED { ALWAYS | BY DEFAULT } AS IDENTITY [ ( sequence options ) ], starting
// at `at` after blanks, ends; 0 when no such clause starts there.
size_t identity_clause_end(const Scanner &sc, size_t at) {
    at = sc.skip_blanks(at);
    auto word_here = [&](const char *w) {
        size_t e = sc.word_end(at);
        if (!sc.word_is(at, e, w)) return false;
        at = sc.skip_blanks(e);
        return true;
    };
    if (!word_here("generated") || !(word_here("always") || (word_here("by") && word_here("default"))) ||
        !word_here("as") || !word_here("identity"))
        return 0;
    size_t end = at;
    if (at < sc.s.size() && sc.s[at] == '(') {
        size_t close = sc.closing_parenthesis(at);
        if (close == std::string::npos) return 0;
        end = close + 1;
    }
    return end;
}

// Where the locking clause of a select that starts with the word FOR at [from, to) ends:
// FOR UPDATE | NO KEY UPDATE | SHARE | KEY SHARE [OF name, ...] [NOWAIT | SKIP LOCKED],
// perhaps more than one. 0 when no such clause starts there.
size_t locking_clause_end(const Scanner &sc, size_t from, size_t to) {
    if (!sc.word_is(from, to, "for") || previous_char(sc.s, from) == '.') return 0;
    size_t at = sc.skip_blanks(to), end = 0;
    auto word_here = [&](const char *w) {
        size_t e = sc.word_end(at);
        if (!sc.word_is(at, e, w)) return false;
        at = sc.skip_blanks(e);
        return true;
    };
    if (word_here("update") || word_here("share") || (word_here("no") && word_here("key") && word_here("update")) ||
        (word_here("key") && word_here("share"))) {
        end = at;
    }
    if (!end) return 0;
    if (word_here("of")) {
        do {
            size_t e = sc.word_end(at);
            if (e == at) return 0;
            at = sc.skip_blanks(e);
            if (at < sc.s.size() && sc.s[at] == '.') at = sc.skip_blanks(sc.word_end(sc.skip_blanks(at + 1)));
        } while (at < sc.s.size() && sc.s[at] == ',' && (at = sc.skip_blanks(at + 1)));
    }
    if (!word_here("nowait") && word_here("skip") && !word_here("locked")) return 0;
    size_t next = sc.word_end(at);
    if (sc.word_is(at, next, "for")) {
        size_t more = locking_clause_end(sc, at, next);
        if (more) return more;
    }
    return at;
}

// ANY, SOME or ALL as the quantifier of a comparison with an array or subquery.
bool is_array_comparison(const Scanner &sc, size_t from, size_t to) {
    return (sc.word_is(from, to, "any") || sc.word_is(from, to, "some") || sc.word_is(from, to, "all")) &&
           previous_char(sc.s, from) != '.';
}

// Takes the comparison before a quantifier off the end of `out`: = (or ==) before ANY and
// SOME, <> (or !=) before ALL. False, leaving `out` as it was, for any other.
bool strip_comparison(std::string &out, bool all) {
    size_t end = out.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(out[end - 1]))) --end;
    size_t from = end;
    while (from > 0 && std::strchr("=<>!", out[from - 1])) --from;
    std::string op = out.substr(from, end - from);
    if (all ? (op != "<>" && op != "!=") : (op != "=" && op != "==")) return false;
    out.erase(from);
    return true;
}

// Where the operand that ends `out` starts: a (qualified, perhaps quoted) name, or a
// parenthesis with the name of a call before it; npos when none does.
size_t operand_start(const std::string &out) {
    size_t at = out.size();
    if (at > 0 && out[at - 1] == ')') {
        int depth = 0;
        bool quoted = false;
        while (at-- > 0) {
            if (out[at] == '\'') quoted = !quoted;
            if (quoted) continue;
            if (out[at] == ')') ++depth;
            if (out[at] == '(' && --depth == 0) break;
        }
        if (at == std::string::npos || depth != 0) return std::string::npos;
    }
    while (at > 0 && (ident_char(out[at - 1]) || out[at - 1] == '.' || out[at - 1] == '"')) {
        if (out[at - 1] == '"') {
            size_t open = out.rfind('"', at - 2 < out.size() ? at - 2 : 0);
            if (open == std::string::npos || at < 2) return std::string::npos;
            at = open;
        } else {
            --at;
        }
    }
    return at < out.size() ? at : std::string::npos;
}

// Whether the name that ends at `at` is the type of a cast (x::int[]).
bool after_cast(const std::string &s, size_t at) {
    while (at > 0 && ident_char(s[at - 1])) --at;
    while (at > 0 && std::isspace(static_cast<unsigned char>(s[at - 1]))) --at;
    return at >= 2 && s[at - 1] == ':' && s[at - 2] == ':';
}

// now() and the like: the time the statement started, as PostgreSQL writes a timestamp
// with time zone (the server's time zone is UTC).
bool is_current_time_function(const Scanner &sc, size_t from, size_t to) {
    for (const char *f : {"now", "statement_timestamp", "transaction_timestamp", "clock_timestamp"})
        if (sc.word_is(from, to, f)) return true;
    return false;
}

// PostgreSQL's types of numbered key columns.
bool is_serial_type(const Scanner &sc, size_t from, size_t to) {
    for (const char *t : {"serial", "serial4", "bigserial", "serial8", "smallserial", "serial2"})
        if (sc.word_is(from, to, t)) return true;
    return false;
}

// Where the scan is in a statement, to tell a column's definition in CREATE TABLE or
// ALTER TABLE from anything else: the statement's first words, and its last two tokens.
struct StatementContext {
    struct Token {
        char kind = 0;  // 'w' a word, 'q' a quoted name, 's' a string, else the character
        size_t from = 0, to = 0;
    };
    int words = 0;
    bool creates = false, alters = false, defines_table = false, defines_index = false;
    Token last, before_last;

    void token(char kind, size_t from, size_t to) {
        before_last = last;
        last = {kind, from, to};
    }
    void word(const Scanner &sc, size_t from, size_t to) {
        if (words == 0) {
            creates = sc.word_is(from, to, "create");
            alters = sc.word_is(from, to, "alter");
        } else if (words <= 2 && (creates || alters) && sc.word_is(from, to, "table")) {
            defines_table = true;  // CREATE [TEMP | TEMPORARY] TABLE, ALTER TABLE
        } else if (words <= 2 && creates && sc.word_is(from, to, "index")) {
            defines_index = true;  // CREATE [UNIQUE] INDEX
        }
        ++words;
        token('w', from, to);
    }
    // Whether the last token is the word `w`.
    bool last_word_is(const Scanner &sc, const char *w) const {
        return last.kind == 'w' && sc.word_is(last.from, last.to, w);
    }
    // Whether the last token ends an operand, so that a '~' after it is the binary match
    // operator, not SQLite's unary bitwise NOT.
    bool after_operand(const Scanner &sc) const {
        if (last.kind == 'q' || last.kind == 's' || last.kind == ')' ||
            std::isdigit(static_cast<unsigned char>(last.kind)))
            return true;
        if (last.kind != 'w') return false;
        for (const char *k : {"select", "where", "and", "or", "not", "on", "when", "then", "else", "case", "by",
                              "having", "set", "values", "returning", "is", "like", "glob", "between", "in",
                              "exists", "distinct", "all", "limit", "offset", "as", "escape", "return"})
            if (sc.word_is(last.from, last.to, k)) return false;
        return true;
    }
    // Whether the word that comes next is the type of the column just named.
    bool column_type_here(const Scanner &sc) const {
        if (!defines_table || (last.kind != 'w' && last.kind != 'q')) return false;
        return before_last.kind == '(' || before_last.kind == ',' ||
               (before_last.kind == 'w' && (sc.word_is(before_last.from, before_last.to, "column") ||
                                            sc.word_is(before_last.from, before_last.to, "add")));
    }
};

// Whether the select-list item whose last word ends at `at` ends there: a comma, a
// parenthesis, FROM or the statement's end follows.
bool ends_select_item(const Scanner &sc, size_t at) {
    at = sc.skip_blanks(at);
    if (at >= sc.s.size() || sc.s[at] == ',' || sc.s[at] == ')' || sc.s[at] == ';') return true;
    return sc.word_is(at, sc.word_end(at), "from");
}

// Where a catalogue flag (indisprimary, perhaps as ix.indisprimary) that starts the
// word at [from, to) ends when it stands alone as a condition (after WHERE, AND, OR, NOT,
// WHEN, ON or HAVING, perhaps with a parenthesis between, or before AND, OR or IS [NOT]
// TRUE | FALSE, and compared with nothing); 0 otherwise. The flags hold 't' or 'f', which SQLite would read as 0.
size_t bare_flag_end(const Scanner &sc, const StatementContext &statement, size_t from, size_t to) {
    if (previous_char(sc.s, from) == '.') return 0;
    size_t name = from, end = to, dot = sc.skip_blanks(to);
    if (dot < sc.s.size() && sc.s[dot] == '.') {
        name = sc.skip_blanks(dot + 1);
        end = sc.word_end(name);
        if (end == name) return 0;
    }
    if (!qx::is_catalogue_flag(sc.s.substr(name, end - name))) return 0;
    bool condition = false;
    for (const char *k : {"where", "and", "or", "not", "when", "on", "having"}) {
        condition = condition || statement.last_word_is(sc, k);
        // NOT (flag), WHERE (flag)
        condition = condition || (statement.last.kind == '(' && statement.before_last.kind == 'w' &&
                                  sc.word_is(statement.before_last.from, statement.before_last.to, k));
    }
    size_t next = sc.skip_blanks(end);
    if (next < sc.s.size() && (std::strchr("=<>!(", sc.s[next]) || sc.s[next] == '.')) return 0;
    size_t next_end = sc.word_end(next);
    if (sc.word_is(next, next_end, "is")) {  // flag IS [NOT] TRUE | FALSE tests the flag's truth
        size_t what = sc.skip_blanks(next_end), what_end = sc.word_end(what);
        if (sc.word_is(what, what_end, "not")) what_end = sc.word_end(what = sc.skip_blanks(what_end));
        return sc.word_is(what, what_end, "true") || sc.word_is(what, what_end, "false") ? end : 0;
    }
    for (const char *k : {"in", "not", "like", "glob", "regexp", "between", "isnull", "notnull", "collate"})
        if (sc.word_is(next, next_end, k)) return 0;
    condition = condition || sc.word_is(next, next_end, "and") || sc.word_is(next, next_end, "or");
    return condition ? end : 0;
}

// Where the word `w` (FROM of trim(side [characters] FROM text), FOR of substring(...))
// is, looking from `at` to the call's closing parenthesis `close` at the call's own
// depth; npos when it has none.
size_t word_in_call(const Scanner &sc, size_t at, size_t close, const char *w) {
    int depth = 0;
    for (size_t k = at; k < close; ++k) {
        char c = sc.s[k];
        if (c == '\'' || c == '"') {
            k = sc.quoted_end(k) - 1;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (depth == 0 && ident_start(c) && (k == 0 || !ident_char(sc.s[k - 1]))) {
            size_t e = sc.word_end(k);
            if (sc.word_is(k, e, w)) return k;
            k = e - 1;
        }
    }
    return std::string::npos;
}

// Where the closing parenthesis of trim(BOTH | LEADING | TRAILING ... FROM ...) whose
// name is at [from, to) is; 0 when the word starts no such call.
size_t trim_call_end(const Scanner &sc, size_t from, size_t to) {
    if (!sc.word_is(from, to, "trim") || previous_char(sc.s, from) == '.') return 0;
    size_t open = sc.skip_blanks(to);
    if (open >= sc.s.size() || sc.s[open] != '(') return 0;
    size_t side = sc.skip_blanks(open + 1), side_end = sc.word_end(side);
    if (!sc.word_is(side, side_end, "both") && !sc.word_is(side, side_end, "leading") &&
        !sc.word_is(side, side_end, "trailing"))
        return 0;
    size_t close = sc.closing_parenthesis(open);
    if (close == std::string::npos || word_in_call(sc, side_end, close, "from") == std::string::npos) return 0;
    return close;
}

// Where the closing parenthesis of substring(text FROM start [FOR length]) or
// substring(text FOR length) whose name is at [from, to) is; 0 when the word starts no
// such call, or one whose FROM is a pattern (a string), which is not supported.
size_t substring_call_end(const Scanner &sc, size_t from, size_t to) {
    if (!sc.word_is(from, to, "substring") || previous_char(sc.s, from) == '.') return 0;
    size_t open = sc.skip_blanks(to);
    if (open >= sc.s.size() || sc.s[open] != '(') return 0;
    size_t close = sc.closing_parenthesis(open);
    if (close == std::string::npos) return 0;
    size_t start = word_in_call(sc, open + 1, close, "from"), length = word_in_call(sc, open + 1, close, "for");
    if (start == std::string::npos && length == std::string::npos) return 0;
    if (start != std::string::npos && length != std::string::npos && length < start) return 0;
    if (start != std::string::npos && sc.s[sc.skip_blanks(sc.word_end(start))] == '\'') return 0;
    return close;
}

// Where the closing parenthesis of name(... word ...) whose name is at [from, to) is, as
// position(part IN text) and extract(field FROM time) are written; 0 when the word starts
// no such call.
size_t keyword_call_end(const Scanner &sc, size_t from, size_t to, const char *name, const char *word) {
    if (!sc.word_is(from, to, name) || previous_char(sc.s, from) == '.') return 0;
    size_t open = sc.skip_blanks(to);
    if (open >= sc.s.size() || sc.s[open] != '(') return 0;
    size_t close = sc.closing_parenthesis(open);
    if (close == std::string::npos || word_in_call(sc, open + 1, close, word) == std::string::npos) return 0;
    return close;
}

// Where the closing parenthesis of CAST(x AS type) whose CAST is at [from, to) is, when
// the type is one whose name SQLite takes for a number's (date, timestamp, boolean,
// uuid, json, bytea, ...: CAST('2026-01-31' AS date) would be 2026); 0 otherwise.
size_t cast_to_pg_type_end(const Scanner &sc, size_t from, size_t to) {
    size_t close = keyword_call_end(sc, from, to, "cast", "as");
    if (!close) return 0;
    size_t open = sc.skip_blanks(to), as = word_in_call(sc, open + 1, close, "as");
    size_t type = sc.skip_blanks(sc.word_end(as)), type_end = sc.word_end(type);
    for (const char *t : {"date", "time", "timetz", "timestamp", "timestamptz", "interval", "bool", "boolean", "uuid",
                          "json", "jsonb", "bytea", "money", "numeric", "decimal"})
        if (sc.word_is(type, type_end, t)) return close;
    return 0;
}

// SQLite's name of PostgreSQL's JSON function whose name is at [from, to) (called, not a
// column's or a qualified name); null when it is none.
const char *sqlite_json_function(const Scanner &sc, size_t from, size_t to) {
    if (previous_char(sc.s, from) == '.' || sc.skip_blanks(to) >= sc.s.size() || sc.s[sc.skip_blanks(to)] != '(')
        return nullptr;
    static const struct {
        const char *postgres, *sqlite;
    } kNames[] = {
        {"json_build_object", "json_object"}, {"jsonb_build_object", "json_object"},
        {"json_build_array", "json_array"},   {"jsonb_build_array", "json_array"},
        {"json_agg", "json_group_array"},     {"jsonb_agg", "json_group_array"},
        {"json_object_agg", "json_group_object"}, {"jsonb_object_agg", "json_group_object"},
        {"to_json", "json_quote"},            {"to_jsonb", "json_quote"},
        {"jsonb_array_length", "json_array_length"},
    };
    for (const auto &n : kNames)
        if (sc.word_is(from, to, n.postgres)) return n.sqlite;
    return nullptr;
}

// SQL's functions that are written without parentheses.
bool is_niladic_function(const Scanner &sc, size_t from, size_t to) {
    return sc.word_is(from, to, "current_user") || sc.word_is(from, to, "session_user") ||
           sc.word_is(from, to, "current_role") || sc.word_is(from, to, "current_catalog") ||
           sc.word_is(from, to, "current_schema");
}

constexpr int kMaxRewriteDepth = 50;

// Where the clauses `first` put into a text and the aliases `then` put into that text
// went, both as places in the text before either.
std::vector<std::pair<size_t, size_t>> both_insertions(const std::vector<std::pair<size_t, size_t>> &first,
                                                       std::vector<std::pair<size_t, size_t>> then) {
    for (auto &piece : then) {
        size_t shift = 0;
        for (const auto &earlier : first)
            if (earlier.first + shift < piece.first) shift += earlier.second;
        piece.first -= shift;
    }
    then.insert(then.end(), first.begin(), first.end());
    std::stable_sort(then.begin(), then.end(),
                     [](const std::pair<size_t, size_t> &a, const std::pair<size_t, size_t> &b) { return a.first < b.first; });
    return then;
}

}  // namespace

namespace qx {

// Whether parentheses and brackets in `sql` (outside strings, names and comments) nest
// deeper than `limit`. SQLite's parser refuses a statement nested little deeper than 50
// ("parser stack overflow"; 50 nested selects or calls already); the rewrites, some of which recurse by nesting, are not
// asked to read deeper ones, which a client could send to exhaust a connection's stack.
bool nests_deeper_than(const std::string &sql, int limit) {
    int depth = 0;
    for (size_t i = 0; i < sql.size(); ++i) {
        char c = sql[i];
        if (c == '\'' || c == '"' || c == '`') i = quoted_end(sql, i) - 1;
        else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') i = std::min(sql.find('\n', i), sql.size());
        else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') i = std::min(sql.find("*/", i + 2), sql.size());
        else if ((c == '(' || c == '[') && ++depth > limit) return true;
        else if ((c == ')' || c == ']') && depth > 0) --depth;
    }
    return false;
}

std::string resolve_qualified_names(const std::string &sql, std::vector<std::pair<size_t, size_t>> *inserted) {
    if (inserted) inserted->clear();
    if (nests_deeper_than(sql, kMaxRewriteDepth)) return sql;  // SQLite refuses it as it stands
    const std::string tables = rewrite_distinct_on(rewrite_limit_clauses(rewrite_table_statements(sql)));
    std::vector<std::pair<size_t, size_t>> escapes, aliases;
    const std::string escaped = add_like_escapes(tables, &escapes);
    const std::string s = name_select_items(escaped, &aliases);
    std::string out;
    out.reserve(s.size() + 16);
    Scanner sc{s, 0};
    StatementContext statement;
    std::map<size_t, std::string> closing;  // what a rewrite puts at a later ')' or ']'
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        auto close = closing.find(i);
        if (close != closing.end()) {
            out += close->second;
            statement.token(')', i, i + 1);
            closing.erase(close);
            ++i;
        } else if (c == '[' && i > 0 && (ident_char(s[i - 1]) || s[i - 1] == ')') && s.find(']', i) != std::string::npos &&
                   s.find(']', i) > i + 1 && !statement.column_type_here(sc) && !after_cast(s, i)) {
            // array[i], a subscript: SQLite would read [i] as a quoted name. It is
            // pg_subscript(array, i); a slice, array[1:2], fails where it is reached.
            size_t close = sc.closing_bracket(i);
            size_t start = operand_start(out);
            if (close == std::string::npos || s.substr(i, close - i).find(':') != std::string::npos ||
                start == std::string::npos) {
                out += " -> pg_subscript()";
                statement.token(')', i, s.find(']', i) + 1);
                i = s.find(']', i) + 1;
            } else {
                out.insert(start, "pg_subscript(");
                out += ", ";
                closing[close] = ")";
                statement.token('(', i, i + 1);
                ++i;
            }
        } else if ((c == 'E' || c == 'e') && i + 1 < s.size() && s[i + 1] == '\'' && (i == 0 || !ident_char(s[i - 1]))) {
            // E'...': a string with backslash escapes, written as SQLite writes one.
            size_t end = i + 2;
            out += '\'' + escape_string_text(s, &end) + '\'';
            statement.token('s', i, end);
            i = end;
        } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
            size_t end = sc.quoted_end(i);
            out.append(s, i, end - i);
            statement.token(c == '\'' ? 's' : 'q', i, end);
            i = end;
        } else if (c == '$' && (i == 0 || !ident_char(s[i - 1])) && dollar_quote_end(s, i)) {
            // $$text$$ and $tag$text$tag$: a string, written as SQLite writes one.
            size_t tag = s.find('$', i + 1) + 1 - i, end = dollar_quote_end(s, i);
            out += '\'';
            for (size_t k = i + tag; k < end - tag; ++k) out += s[k] == '\'' ? "''" : std::string(1, s[k]);
            out += '\'';
            statement.token('s', i, end);
            i = end;
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            size_t end = s.find('\n', i);
            end = end == std::string::npos ? s.size() : end;
            out.append(s, i, end - i);
            i = end;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            size_t end = s.find("*/", i + 2);
            end = end == std::string::npos ? s.size() : end + 2;
            out.append(s, i, end - i);
            i = end;
        } else if (ident_start(c)) {
            size_t end = sc.word_end(i);
            // DB . DBA . name, not itself part of a longer dotted name.
            size_t dot1 = sc.skip_blanks(end);
            size_t dba = sc.skip_blanks(dot1 + 1);
            size_t dba_end = sc.word_end(dba);
            size_t dot2 = sc.skip_blanks(dba_end);
            size_t name = sc.skip_blanks(dot2 + 1);
            size_t name_end = sc.word_end(name);
            if (sc.word_is(i, end, "DB") && previous_char(s, i) != '.' && dot1 < s.size() &&
                s[dot1] == '.' && sc.word_is(dba, dba_end, "DBA") && dot2 < s.size() &&
                s[dot2] == '.' && name_end > name) {
                out += "\"DB.DBA.";
                out.append(s, name, name_end - name);
                out += '"';
                i = name_end;
            } else if (sc.word_is(i, end, "pg_catalog") && previous_char(s, i) != '.' && dot1 < s.size() &&
                       s[dot1] == '.' && dba_end > dba) {
                // pg_catalog.f(...) and pg_catalog.pg_type: the server's functions and
                // catalogue views are PostgreSQL's catalogue's.
                i = dba;
            } else if (is_literal_type(sc, i, end) && previous_char(s, i) != '.' && sc.skip_blanks(end) < s.size() &&
                       s[sc.skip_blanks(end)] == '\'' && !statement.column_type_here(sc)) {
                // date '2024-01-31' and the other typed literals: the string cast to the type.
                size_t literal = sc.skip_blanks(end), literal_end = sc.quoted_end(literal);
                out.append(s, literal, literal_end - literal);
                out += "::";
                out.append(s, i, end - i);
                statement.token('s', i, literal_end);
                i = literal_end;
            } else if (statement.defines_index &&
                       ((end - i > 4 && sc.word_is(end - 4, end, "_ops") &&
                         (statement.last.kind == 'w' || statement.last.kind == 'q' || statement.last.kind == ')')) ||
                        (sc.word_is(i, end, "using") && sc.word_end(sc.skip_blanks(end)) > sc.skip_blanks(end)))) {
                // An operator class after a column (varchar_pattern_ops) or an access
                // method (USING btree) of CREATE INDEX: SQLite's indexes are all B-trees over the values.
                size_t skipped = sc.word_is(i, end, "using") ? sc.word_end(sc.skip_blanks(end)) : end;
                statement.token('w', i, skipped);
                i = skipped;
            } else if (size_t locking_end = locking_clause_end(sc, i, end)) {
                // FOR UPDATE, FOR SHARE and the like: SQLite has no row locks. A transaction
                // that read rows another then changed fails at its own first write (40001),
                // so nothing is written over unseen.
                statement.token('w', i, locking_end);
                i = locking_end;
            } else if (sc.word_is(i, end, "information_schema") && previous_char(s, i) != '.' && dot1 < s.size() &&
                       s[dot1] == '.' && dba_end > dba) {
                // information_schema.tables: the catalogue view pg_information_schema_tables.
                out += "pg_information_schema_";
                out.append(s, dba, dba_end - dba);
                statement.word(sc, dba, dba_end);
                i = dba_end;
            } else if (is_niladic_function(sc, i, end) && previous_char(s, i) != '.' &&
                       !statement.last_word_is(sc, "as") &&
                       (sc.skip_blanks(end) >= s.size() ||
                        (s[sc.skip_blanks(end)] != '(' && s[sc.skip_blanks(end)] != '.'))) {
                out.append(s, i, end - i);
                out += "()";
                i = end;
            } else if (is_current_time_function(sc, i, end) && previous_char(s, i) != '.' &&
                       sc.skip_blanks(end) + 1 < s.size() && s[sc.skip_blanks(end)] == '(' &&
                       s[sc.skip_blanks(sc.skip_blanks(end) + 1)] == ')') {
                out += "(strftime('%Y-%m-%d %H:%M:%f+00', 'now'))";
                i = sc.skip_blanks(sc.skip_blanks(end) + 1) + 1;
                statement.token(')', i - 1, i);
            } else if (statement.defines_table && statement.last_word_is(sc, "default") &&
                       sc.skip_blanks(end) < s.size() && s[sc.skip_blanks(end)] == '(' &&
                       sc.closing_parenthesis(sc.skip_blanks(end)) != std::string::npos) {
                // DEFAULT f(...): SQLite takes a call as a default only in parentheses.
                out += "(";
                out.append(s, i, end - i);
                closing[sc.closing_parenthesis(sc.skip_blanks(end))] = "))";
                statement.word(sc, i, end);
                i = end;
            } else if (sc.word_is(i, end, "array") && previous_char(s, i) != '.' && sc.skip_blanks(end) < s.size() &&
                       s[sc.skip_blanks(end)] == '[' && sc.closing_bracket(sc.skip_blanks(end)) != std::string::npos) {
                // ARRAY[a, b]: the array's text, {a,b}, which is how arrays are kept here.
                out += "pg_array_of(";
                closing[sc.closing_bracket(sc.skip_blanks(end))] = ")";
                statement.token('(', i, sc.skip_blanks(end) + 1);
                i = sc.skip_blanks(end) + 1;
            } else if (is_array_comparison(sc, i, end) && sc.skip_blanks(end) < s.size() &&
                       s[sc.skip_blanks(end)] == '(' && sc.closing_parenthesis(sc.skip_blanks(end)) != std::string::npos &&
                       strip_comparison(out, sc.word_is(i, end, "all"))) {
                // x = ANY (array) is x IN (its elements), x <> ALL (array) x NOT IN (them);
                // = ANY (subquery) is IN (subquery).
                size_t open = sc.skip_blanks(end), inside = sc.skip_blanks(open + 1);
                out += sc.word_is(i, end, "all") ? " NOT IN (" : " IN (";
                if (!sc.word_is(inside, sc.word_end(inside), "select")) {
                    out += "SELECT value FROM pg_unnest(";
                    closing[sc.closing_parenthesis(open)] = "))";
                }
                statement.token('(', i, open + 1);
                i = open + 1;
            } else if (sc.word_is(i, end, "array") && previous_char(s, i) != '.' && sc.skip_blanks(end) < s.size() &&
                       s[sc.skip_blanks(end)] == '(' &&
                       sc.word_is(sc.skip_blanks(sc.skip_blanks(end) + 1),
                                  sc.word_end(sc.skip_blanks(sc.skip_blanks(end) + 1)), "select") &&
                       sc.closing_parenthesis(sc.skip_blanks(end)) != std::string::npos) {
                // ARRAY(subquery): a call, since SQLite has no such constructor.
                out += "pg_array((";
                closing[sc.closing_parenthesis(sc.skip_blanks(end))] = "))";
                statement.token('(', i, sc.skip_blanks(end) + 1);
                i = sc.skip_blanks(end) + 1;
            } else if (sc.word_is(i, end, "operator") && sc.skip_blanks(end) < s.size() &&
                       s[sc.skip_blanks(end)] == '(' && s.find(')', end) != std::string::npos &&
                       s.find(')', end) - end < 32) {
                // OPERATOR(pg_catalog.~): the operator it names.
                size_t open = sc.skip_blanks(end), close = s.find(')', end);
                std::string op;
                for (size_t k = open + 1; k < close; ++k)
                    if (!std::isspace(static_cast<unsigned char>(s[k]))) op += s[k];
                if (op.compare(0, 11, "pg_catalog.") == 0) op = op.substr(11);
                std::string match = match_operator(op);
                out += match.empty() ? " " + op + " " : match;
                statement.token('o', i, close + 1);
                i = close + 1;
            } else if (sc.word_is(i, end, "default") && statement.last_word_is(sc, "collate")) {
                // COLLATE pg_catalog.default: SQLite's default collation.
                out += "BINARY";
                statement.token('w', i, end);
                i = end;
            } else if (sc.word_is(i, end, "ilike") && previous_char(s, i) != '.') {
                // SQLite's MATCH operator calls match(), which is the session's ILIKE.
                out += "MATCH";
                statement.word(sc, i, end);
                i = end;
            } else if ((is_serial_type(sc, i, end) || (is_integer_type(sc, i, end) && identity_clause_end(sc, end))) &&
                       statement.column_type_here(sc)) {
                // A serial or identity column is an INTEGER one: as the table's PRIMARY KEY,
                // SQLite numbers its rows itself, as a sequence would.
                out += "INTEGER";
                statement.token('w', i, end);
                i = end;
            } else if (statement.defines_table && identity_clause_end(sc, i)) {
                // GENERATED ... AS IDENTITY: said by the INTEGER type above.
                i = identity_clause_end(sc, i);
            } else if (sc.word_is(i, end, "concurrently") && statement.last_word_is(sc, "index")) {
                // CREATE | DROP INDEX CONCURRENTLY: SQLite's writers take turns anyway.
                i = end;
            } else if (statement.last_word_is(sc, "as") && ends_select_item(sc, end) &&
                       sqlite3_keyword_check(s.data() + i, static_cast<int>(end - i))) {
                // ... AS default, a column named by a keyword: SQLite takes it quoted.
                out += '"';
                out.append(s, i, end - i);
                out += '"';
                statement.token('q', i, end);
                i = end;
            } else if (size_t flag_end = bare_flag_end(sc, statement, i, end)) {
                // WHERE ix.indisprimary: a catalogue flag ('t' or 'f') as a condition.
                out += '(';
                out.append(s, i, flag_end - i);
                out += " = 't')";
                statement.token(')', i, flag_end);
                i = flag_end;
            } else if (size_t trim_end = trim_call_end(sc, i, end)) {
                // trim(both | leading | trailing [characters] from text): SQLite's trim(),
                // ltrim() or rtrim() of (text, characters).
                size_t open = sc.skip_blanks(end), side = sc.skip_blanks(open + 1), side_end = sc.word_end(side);
                size_t from = word_in_call(sc, side_end, trim_end, "from");
                std::string characters = s.substr(side_end, from - side_end);
                std::string text = s.substr(sc.word_end(from), trim_end - sc.word_end(from));
                out += sc.word_is(side, side_end, "leading") ? "ltrim(" : sc.word_is(side, side_end, "trailing") ? "rtrim(" : "trim(";
                out += resolve_qualified_names(text);
                if (characters.find_first_not_of(" \t\r\n") != std::string::npos)
                    out += ", " + resolve_qualified_names(characters);
                out += ")";
                statement.token(')', i, trim_end + 1);
                i = trim_end + 1;
            } else if (size_t substring_end = substring_call_end(sc, i, end)) {
                // substring(text FROM start [FOR length]): the characters from `start`
                // (counted from 1; those before 1 are outside the text) up to before
                // start + length, as SQLite's substr() of where they fall in the text.
                size_t open = sc.skip_blanks(end);
                size_t from = word_in_call(sc, open + 1, substring_end, "from");
                size_t length_at = word_in_call(sc, open + 1, substring_end, "for");
                size_t text_end = from != std::string::npos ? from : length_at;
                std::string text = resolve_qualified_names(s.substr(open + 1, text_end - open - 1));
                std::string start = "1";
                if (from != std::string::npos) {
                    size_t start_end = length_at != std::string::npos ? length_at : substring_end;
                    start = "(" + resolve_qualified_names(s.substr(sc.word_end(from), start_end - sc.word_end(from))) +
                            ")";
                }
                out += "substr(" + text + ", max(" + start + ", 1)";
                if (length_at != std::string::npos) {
                    std::string length = resolve_qualified_names(
                        s.substr(sc.word_end(length_at), substring_end - sc.word_end(length_at)));
                    out += ", max(" + start + " + (" + length + ") - max(" + start + ", 1), 0)";
                }
                out += ")";
                statement.token(')', i, substring_end + 1);
                i = substring_end + 1;
            } else if (size_t cast_end = cast_to_pg_type_end(sc, i, end)) {
                // CAST(x AS date) and the other types SQLite would read a number from: x::type.
                size_t open = sc.skip_blanks(end), as = word_in_call(sc, open + 1, cast_end, "as");
                out += "(" + resolve_qualified_names(s.substr(open + 1, as - open - 1)) + ")::";
                out.append(s, sc.skip_blanks(sc.word_end(as)), cast_end - sc.skip_blanks(sc.word_end(as)));
                statement.token(')', i, cast_end + 1);
                i = cast_end + 1;
            } else if (size_t position_end = keyword_call_end(sc, i, end, "position", "in")) {
                // position(part IN text): strpos(text, part).
                size_t open = sc.skip_blanks(end), in = word_in_call(sc, open + 1, position_end, "in");
                out += "strpos(" + resolve_qualified_names(s.substr(sc.word_end(in), position_end - sc.word_end(in))) +
                       ", " + resolve_qualified_names(s.substr(open + 1, in - open - 1)) + ")";
                statement.token(')', i, position_end + 1);
                i = position_end + 1;
            } else if (size_t extract_end = keyword_call_end(sc, i, end, "extract", "from")) {
                // extract(field FROM time): date_part('field', time).
                size_t open = sc.skip_blanks(end), from = word_in_call(sc, open + 1, extract_end, "from");
                size_t field = sc.skip_blanks(open + 1), field_end = s[field] == '\'' ? sc.quoted_end(field) : sc.word_end(field);
                std::string name = s.substr(field, field_end - field);
                if (name.empty() || name[0] != '\'') name = "'" + name + "'";
                out += "date_part(" + name + ", " +
                       resolve_qualified_names(s.substr(sc.word_end(from), extract_end - sc.word_end(from))) + ")";
                statement.token(')', i, extract_end + 1);
                i = extract_end + 1;
            } else if ((sc.word_is(i, end, "left") || sc.word_is(i, end, "right")) && previous_char(s, i) != '.' &&
                       sc.skip_blanks(end) < s.size() && s[sc.skip_blanks(end)] == '(') {
                // left(text, n) and right(text, n): calls, where SQLite reads LEFT and RIGHT as
                // the joins' keywords.
                out += sc.word_is(i, end, "left") ? "pg_left" : "pg_right";
                statement.word(sc, i, end);
                i = end;
            } else if (const char *json = sqlite_json_function(sc, i, end)) {
                out += json;
                statement.word(sc, i, end);
                i = end;
            } else if (sc.word_is(i, end, "all") && statement.last_word_is(sc, "limit")) {
                out += "-1";  // LIMIT ALL: no limit
                statement.token('w', i, end);
                i = end;
            } else {
                out.append(s, i, end - i);
                statement.word(sc, i, end);
                i = end;
            }
        } else if ((c == '!' && i + 1 < s.size() && s[i + 1] == '~') || (c == '~' && statement.after_operand(sc))) {
            // text ~ pattern, !~, ~*, !~*.
            size_t end = i + (c == '!' ? 2 : 1);
            if (end < s.size() && s[end] == '*') ++end;
            out += match_operator(s.substr(i, end - i));
            statement.token('o', i, end);
            i = end;
        } else {
            out += c;
            if (c == ';') statement = StatementContext();
            else if (!std::isspace(static_cast<unsigned char>(c))) statement.token(c, i, i + 1);
            ++i;
        }
    }
    out = rewrite_ordered_aggregates(rewrite_time_arithmetic(rewrite_set_returning_items(rewrite_from_items(out))));
    if (out.find("::") != std::string::npos) out = rewrite_casts(out);
    if (inserted) {
        inserted->clear();
        if (tables == sql && out == s) *inserted = both_insertions(escapes, aliases);  // only these were added
    }
    return out;
}

}  // namespace qx
