// PostgreSQL's casts, `value::type`, which its clients write everywhere ($1::int,
// 'now'::date, c.oid::regclass) and SQLite does not know. Each becomes a call that
// converts as PostgreSQL does: integers and floats from text that is wholly a number
// (else 22P02, as PostgreSQL refuses '12abc'::int, where SQLite's CAST reads 12), within
// the type's range (22003), a fraction rounded half away from zero; booleans from their
// words; bytea from its hex form; regclass, regtype and regnamespace from a name to its
// oid and from an oid to its name. Text types, and the types the server keeps as their
// text, become SQLite's CAST AS TEXT (cut to a given length); a cast to a type that does
// not exist fails (42704), where SQLite would take any name for a type.
#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "internal.h"
#include "sql/pg_catalogue.h"
#include "sql/sql_lexer.h"

namespace {

// ---- the rewrite ----

// Words that may stand before a parenthesis without calling a function of that name.
bool is_keyword_before_parenthesis(const qx::SqlToken &t) {
    for (const char *k : {"in",     "exists", "and",   "or",      "not",   "where", "select", "on",
                          "when",   "then",   "else",  "values",  "by",    "as",    "from",   "join",
                          "having", "case",   "is",    "like",    "glob",  "regexp", "match", "between",
                          "set",    "using",  "all",   "distinct", "over", "filter", "union", "except",
                          "intersect", "limit", "offset", "with", "returning", "escape", "into", "default",
                          "check", "return", "recursive", "any", "some"})
        if (t.is(k)) return true;
    return false;
}

bool is_operand(const qx::SqlToken &t) {
    return t.kind == qx::SqlToken::word || t.kind == qx::SqlToken::quoted_name || t.kind == qx::SqlToken::string ||
           t.kind == qx::SqlToken::number || t.kind == qx::SqlToken::parameter;
}

// The conversion a cast to the type named `name` (lower case, words joined by one blank)
// makes: the text before the operand and the text after it.
struct Conversion {
    std::string before, after;
};

Conversion conversion_to(const std::string &name, const std::string &written, const std::vector<long> &modifiers,
                         bool array) {
    auto call = [](const char *f) { return Conversion{std::string(f) + "(", ")"}; };
    if (array) return {"CAST(", " AS TEXT)"};  // an array is its text form here
    int oid = qx::pg_type_oid(name);
    switch (oid) {
        case 21: return call("pg_cast_int2");
        case 23: return call("pg_cast_int4");
        case 20:
        case 26: return call("pg_cast_int8");
        case 700:
        case 701: return call(oid == 700 ? "pg_cast_float4" : "pg_cast_float8");
        case 1700:
            // numeric(precision, scale): rounded to the scale, refused past the precision
            if (!modifiers.empty() && modifiers[0] > 0)
                return {"pg_cast_numeric(", ", " + std::to_string(modifiers[0]) + ", " +
                                                std::to_string(modifiers.size() > 1 ? modifiers[1] : 0) + ")"};
            return call("pg_cast_numeric");
        case 16: return call("pg_cast_boolean");
        case 17: return call("pg_cast_bytea");
        case 1082: return call("pg_cast_date");
        case 1042:
        case 1043:
            if (modifiers.size() == 1 && modifiers[0] > 0)
                return {"substr(CAST(", " AS TEXT), 1, " + std::to_string(modifiers[0]) + ")"};
            return {"CAST(", " AS TEXT)"};
        case 0: break;
        default: return {"CAST(", " AS TEXT)"};  // text and the types kept as their text
    }
    if (name == "regclass") return call("pg_cast_regclass");
    if (name == "regtype") return call("pg_cast_regtype");
    if (name == "regnamespace") return call("pg_cast_regnamespace");
    for (const char *kept_as_text : {"regproc", "regprocedure", "regoper", "regrole", "timetz",
                                     "time with time zone", "citext", "macaddr"})
        if (name == kept_as_text) return {"CAST(", " AS TEXT)"};
    // Kept as text, an interval would add to a time as a number ('2024-01-01' - '1 day'
    // is 2023 in SQLite): refused rather than wrong.
    if (name == "interval" || name == "money")
        return {"pg_cast_not_supported(", ", '" + name + "')"};
    // A type no one has: an error when the cast is made.
    std::string quoted = "'";
    for (char c : written) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return {"pg_cast_to_no_type(", ", " + quoted + "')"};
}

}  // namespace

namespace qx {

std::string rewrite_casts(const std::string &sql) {
    std::vector<SqlToken> t;
    lex_sql(sql, &t);
    const long n = static_cast<long>(t.size());
    std::map<size_t, std::string> prefix;             // text to put before the byte
    std::vector<std::pair<size_t, size_t>> replaced;  // the `::type` spans, in order
    std::vector<std::string> replacement;
    std::map<long, size_t> cast_start;  // the last token of a cast's type: where the cast starts
    for (long k = 0; k < n; ++k) {
        if (t[k].kind != SqlToken::op || t[k].text != "::") continue;
        // The operand: a cast, a parenthesis or call, or a (qualified) name or literal.
        long j = k - 1;
        size_t start;
        if (j < 0) continue;
        if (cast_start.count(j)) {
            start = cast_start[j];
        } else if (t[j].is_punct(')')) {
            long m = j;
            for (int depth = 0; m >= 0; --m) {
                if (t[m].is_punct(')')) ++depth;
                if (t[m].is_punct('(') && --depth == 0) break;
            }
            if (m < 0) continue;
            if (m >= 1 && (t[m - 1].kind == SqlToken::word || t[m - 1].kind == SqlToken::quoted_name) &&
                !is_keyword_before_parenthesis(t[m - 1]))
                --m;
            start = t[m].at;
        } else if (is_operand(t[j])) {
            long m = j;
            while (m >= 2 && t[m - 1].is_punct('.') &&
                   (t[m - 2].kind == SqlToken::word || t[m - 2].kind == SqlToken::quoted_name))
                m -= 2;
            start = t[m].at;
        } else {
            continue;
        }
        // The type: a (qualified) name of one or more words, a length, array marks.
        long at = k + 1;
        if (at >= n || (t[at].kind != SqlToken::word && t[at].kind != SqlToken::quoted_name)) continue;
        while (at + 2 < n && t[at + 1].is_punct('.') &&
               (t[at + 2].kind == SqlToken::word || t[at + 2].kind == SqlToken::quoted_name))
            at += 2;
        size_t type_from = t[at].at;
        std::string name = t[at].kind == SqlToken::quoted_name ? "\"" + t[at].text + "\"" : t[at].text;
        for (char &c : name)
            if (t[at].kind == SqlToken::word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        long last = at++;
        auto next_is = [&](const char *w) { return at < n && t[at].is(w); };
        if ((name == "double" && next_is("precision")) ||
            ((name == "character" || name == "char" || name == "bit") && next_is("varying"))) {
            name += " " + t[at].text;
            for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            last = at++;
        }
        std::vector<long> modifiers;
        if (at < n && t[at].is_punct('(')) {
            long close = at + 1;
            while (close < n && !t[close].is_punct(')')) {
                if (t[close].kind == SqlToken::number) modifiers.push_back(std::atol(t[close].text.c_str()));
                ++close;
            }
            if (close >= n) continue;
            last = close;
            at = close + 1;
        }
        if ((name == "timestamp" || name == "time") && at + 2 < n && (t[at].is("with") || t[at].is("without")) &&
            t[at + 1].is("time") && t[at + 2].is("zone")) {
            name += t[at].is("with") ? " with time zone" : " without time zone";
            last = at + 2;
            at += 3;
        }
        bool array = false;
        while (at < n && t[at].kind == SqlToken::quoted_name && sql[t[at].at] == '[') {
            array = true;
            last = at++;
        }
        size_t type_end = token_end(sql, t[last]);
        Conversion conversion = conversion_to(name, sql.substr(type_from, type_end - type_from), modifiers, array);
        prefix[start] = conversion.before + prefix[start];  // a later cast of the same operand is outside
        replaced.emplace_back(t[k].at, type_end);
        replacement.push_back(conversion.after);
        cast_start[last] = start;
        k = last;
    }
    if (replaced.empty()) return sql;
    std::string out;
    out.reserve(sql.size() + 32 * replaced.size());
    size_t copied = 0, r = 0;
    auto copy_to = [&](size_t to) {
        for (auto p = prefix.lower_bound(copied); p != prefix.end() && p->first < to; ++p) {
            out.append(sql, copied, p->first - copied);
            out += p->second;
            copied = p->first;
        }
        out.append(sql, copied, to - copied);
        copied = to;
    };
    for (; r < replaced.size(); ++r) {
        copy_to(replaced[r].first);
        out += replacement[r];
        copied = replaced[r].second;
    }
    copy_to(sql.size());
    return out;
}

}  // namespace qx

namespace {

// ---- the conversions ----

void fail(sqlite3_context *ctx, const char *state, const std::string &message) {
    qx::result_sql_error(ctx, {state, "", message});
}

std::string text_of(sqlite3_value *v) { return qx::value_text(v); }

std::string trimmed(const std::string &s) {
    size_t from = 0, to = s.size();
    while (from < to && std::isspace(static_cast<unsigned char>(s[from]))) ++from;
    while (to > from && std::isspace(static_cast<unsigned char>(s[to - 1]))) --to;
    return s.substr(from, to - from);
}

struct IntegerType {
    const char *name;  // as PostgreSQL's errors name it
    long long min, max;
};
const IntegerType kInt2{"smallint", SHRT_MIN, SHRT_MAX}, kInt4{"integer", INT_MIN, INT_MAX},
    kInt8{"bigint", LLONG_MIN, LLONG_MAX};

// Whether `s` is wholly an integer (a sign, digits): its value in *out, false past 64 bits.
bool parse_integer(const std::string &s, long long *out, bool *overflow) {
    size_t i = s[0] == '+' || s[0] == '-' ? 1 : 0;
    if (i >= s.size()) return false;
    for (size_t k = i; k < s.size(); ++k)
        if (!std::isdigit(static_cast<unsigned char>(s[k]))) return false;
    errno = 0;
    *out = std::strtoll(s.c_str(), nullptr, 10);
    *overflow = errno == ERANGE;
    return true;
}

// A float from text that is wholly one (PostgreSQL's Infinity too).
bool parse_float(const std::string &s, double *out) {
    const char *words[] = {"infinity", "+infinity", "-infinity", "inf", "+inf", "-inf"};
    for (const char *w : words)
        if (strcasecmp(s.c_str(), w) == 0) {
            *out = w[0] == '-' ? -INFINITY : INFINITY;
            return true;
        }
    if (s.empty() || !(std::isdigit(static_cast<unsigned char>(s.back())) || s.back() == '.')) return false;
    char *end = nullptr;
    errno = 0;
    *out = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || std::isnan(*out) || std::isinf(*out)) return false;
    return true;
}

void cast_integer(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const IntegerType &type = *static_cast<const IntegerType *>(sqlite3_user_data(ctx));
    long long value = 0;
    switch (sqlite3_value_type(argv[0])) {
        case SQLITE_NULL: return sqlite3_result_null(ctx);
        case SQLITE_INTEGER: value = sqlite3_value_int64(argv[0]); break;
        case SQLITE_FLOAT: {
            // Halves away from zero, as PostgreSQL rounds its numeric literals and columns.
            double d = std::round(sqlite3_value_double(argv[0]));
            if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
                return fail(ctx, "22003", std::string(type.name) + " out of range");
            value = static_cast<long long>(d);
            break;
        }
        default: {
            std::string text = text_of(argv[0]);
            bool overflow = false;
            if (!parse_integer(trimmed(text), &value, &overflow))
                return fail(ctx, "22P02", "invalid input syntax for type " + std::string(type.name) + ": \"" + text +
                                              "\"");
            if (overflow)
                return fail(ctx, "22003", "value \"" + text + "\" is out of range for type " + type.name);
        }
    }
    if (value < type.min || value > type.max) return fail(ctx, "22003", std::string(type.name) + " out of range");
    sqlite3_result_int64(ctx, value);
}

void cast_to_no_type(sqlite3_context *ctx, int, sqlite3_value **argv) {
    fail(ctx, "42704", "type \"" + text_of(argv[1]) + "\" does not exist");
}

void cast_not_supported(sqlite3_context *ctx, int, sqlite3_value **argv) {
    fail(ctx, "0A000", "type " + text_of(argv[1]) + " is not supported");
}

// float4, float8 (the name is the user data) and numeric (no user data: integers stay);
// with a precision and a scale (numeric(5, 2)), rounded half away from zero to `scale`
// digits after the point, and refused when it then has more than precision - scale
// before it, as PostgreSQL's numeric(p, s).
void cast_float(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    const char *name = static_cast<const char *>(sqlite3_user_data(ctx));
    long long integer = 0;
    double d = 0;
    bool is_integer = false;
    switch (sqlite3_value_type(argv[0])) {
        case SQLITE_NULL: return sqlite3_result_null(ctx);
        case SQLITE_INTEGER:
            integer = sqlite3_value_int64(argv[0]);
            d = static_cast<double>(integer);
            is_integer = !name;
            break;
        case SQLITE_FLOAT: d = sqlite3_value_double(argv[0]); break;
        default: {
            std::string text = text_of(argv[0]), s = trimmed(text);
            bool overflow = false;
            if (!name && !s.empty() && parse_integer(s, &integer, &overflow) && !overflow) {
                is_integer = true;
                d = static_cast<double>(integer);
            } else if (strcasecmp(s.c_str(), "nan") == 0) {  // SQLite would keep it as NULL
                return fail(ctx, "0A000", "NaN is not supported");
            } else if (!parse_float(s, &d)) {
                return fail(ctx, "22P02", "invalid input syntax for type " + std::string(name ? name : "numeric") +
                                              ": \"" + text + "\"");
            }
        }
    }
    if (argc == 3) {
        sqlite3_int64 precision = sqlite3_value_int64(argv[1]), scale = sqlite3_value_int64(argv[2]);
        if (precision < 1 || precision > 1000)
            return fail(ctx, "22023", "NUMERIC precision " + std::to_string(precision) + " must be between 1 and 1000");
        if (scale < 0 || scale > precision)
            return fail(ctx, "22023", "NUMERIC scale " + std::to_string(scale) + " must be between 0 and precision " +
                                          std::to_string(precision));
        double unit = std::pow(10.0, static_cast<double>(scale));
        if (!is_integer) {
            // Rounded as the decimal the number was written as: 1.005 is held as
            // 1.00499999..., which 15 significant digits give back.
            char shortest[32];
            std::snprintf(shortest, sizeof shortest, "%.15g", d * unit);
            d = std::round(std::strtod(shortest, nullptr)) / unit;
        }
        if (std::fabs(d) >= std::pow(10.0, static_cast<double>(precision - scale)))
            return fail(ctx, "22003", "numeric field overflow");
        if (scale == 0 && !is_integer && std::fabs(d) < 9.2e18) {
            integer = static_cast<long long>(d);
            is_integer = true;
        }
    }
    if (is_integer) return sqlite3_result_int64(ctx, integer);
    sqlite3_result_double(ctx, d);
}

void cast_boolean(sqlite3_context *ctx, int, sqlite3_value **argv) {
    switch (sqlite3_value_type(argv[0])) {
        case SQLITE_NULL: return sqlite3_result_null(ctx);
        case SQLITE_INTEGER: return sqlite3_result_int(ctx, sqlite3_value_int64(argv[0]) != 0);
        case SQLITE_FLOAT: return fail(ctx, "42846", "cannot cast type double precision to boolean");
        default: break;
    }
    std::string text = text_of(argv[0]), s = trimmed(text);
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // A word or any start of one that no other word shares (PostgreSQL's rule).
    static const struct {
        const char *word;
        size_t shortest;
        int value;
    } kWords[] = {{"true", 1, 1}, {"false", 1, 0}, {"yes", 1, 1}, {"no", 1, 0}, {"on", 2, 1}, {"off", 2, 0},
                  {"1", 1, 1},    {"0", 1, 0}};
    for (const auto &w : kWords)
        if (s.size() >= w.shortest && s.size() <= std::strlen(w.word) && std::strncmp(s.c_str(), w.word, s.size()) == 0)
            return sqlite3_result_int(ctx, w.value);
    fail(ctx, "22P02", "invalid input syntax for type boolean: \"" + text + "\"");
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// bytea from its hex form (\x...) or its escape form (\\ and \ooo for bytes).
void cast_bytea(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    if (sqlite3_value_type(argv[0]) == SQLITE_BLOB)
        return sqlite3_result_blob64(ctx, sqlite3_value_blob(argv[0]),
                                     static_cast<sqlite3_uint64>(sqlite3_value_bytes(argv[0])), SQLITE_TRANSIENT);
    std::string s = text_of(argv[0]), bytes;
    if (s.size() >= 2 && s[0] == '\\' && s[1] == 'x') {
        for (size_t i = 2; i < s.size(); i += 2) {
            while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
            if (i >= s.size()) break;
            if (i + 1 >= s.size()) return fail(ctx, "22023", "invalid hexadecimal data: odd number of digits");
            int high = hex_value(s[i]), low = hex_value(s[i + 1]);
            if (high < 0 || low < 0)
                return fail(ctx, "22023", "invalid hexadecimal digit: \"" + s.substr(high < 0 ? i : i + 1, 1) + "\"");
            bytes += static_cast<char>(high * 16 + low);
        }
    } else {
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '\\') {
                bytes += s[i];
            } else if (i + 1 < s.size() && s[i + 1] == '\\') {
                bytes += '\\';
                ++i;
            } else if (i + 3 < s.size() + 0 && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
                       s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
                bytes += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
                i += 3;
            } else {
                return fail(ctx, "22P02", "invalid input syntax for type bytea");
            }
        }
    }
    sqlite3_result_blob64(ctx, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

bool days_in_month_fit(int year, int month, int day) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// A date from a date or timestamp written in ISO form: its YYYY-MM-DD.
void cast_date(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    std::string text = text_of(argv[0]), s = trimmed(text);
    int year = 0, month = 0, day = 0, used = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || year < 1 ||
        !days_in_month_fit(year, month, day) ||
        (static_cast<size_t>(used) < s.size() && s[static_cast<size_t>(used)] != ' ' &&
         s[static_cast<size_t>(used)] != 'T'))
        return fail(ctx, "22007", "invalid input syntax for type date: \"" + text + "\"");
    char out[40];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d", year, month, day);
    sqlite3_result_text(ctx, out, -1, SQLITE_TRANSIENT);
}

// An oid's digits, or false for text that is none.
bool oid_of(sqlite3_value *v, long long *oid) {
    if (sqlite3_value_type(v) == SQLITE_INTEGER) {
        *oid = sqlite3_value_int64(v);
        return true;
    }
    bool overflow = false;
    std::string s = trimmed(text_of(v));
    return !s.empty() && parse_integer(s, oid, &overflow) && !overflow;
}

// A name as PostgreSQL reads one: in double quotes as written, else in lower case;
// without the schema of the server's one schema.
std::string object_name(const std::string &written) {
    std::string s = trimmed(written);
    for (const char *schema : {"public.", "pg_catalog.", "\"public\".", "\"pg_catalog\"."})
        if (s.compare(0, std::strlen(schema), schema) == 0) s.erase(0, std::strlen(schema));
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// regclass: a table's, view's or index's name from its oid (pg_class's: its row in the
// schema), the oid from the name. An oid no object has stays its number.
void cast_regclass(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    sqlite3 *db = sqlite3_context_db_handle(ctx);
    long long oid = 0;
    // A number is an oid to name (c.oid::regclass shows the name); text is read as
    // PostgreSQL reads it, an oid in digits ('16384'::regclass) or a name.
    bool by_oid = sqlite3_value_type(argv[0]) == SQLITE_INTEGER && oid_of(argv[0], &oid);
    if (!by_oid && oid_of(argv[0], &oid)) return sqlite3_result_int64(ctx, oid);
    std::string name = by_oid ? "" : object_name(text_of(argv[0]));
    // The schema's names, and those pg_class gives what the schema does not name or names
    // otherwise (t_pkey for sqlite_autoindex_t_1), once the catalogue is there: an oid
    // is named as pg_class names it, a name found in the schema first.
    const char *schema = by_oid ? "SELECT name FROM main.sqlite_schema WHERE rowid = ?1"
                                : "SELECT rowid FROM main.sqlite_schema WHERE name = ?1 COLLATE NOCASE AND "
                                  "type IN ('table', 'view', 'index')";
    const char *catalogue = by_oid ? "SELECT relname FROM temp.pg_class WHERE oid = ?1"
                                   : "SELECT oid FROM temp.pg_class WHERE relname = ?1 COLLATE NOCASE";
    bool found = false;
    for (const char *sql : {by_oid ? catalogue : schema, by_oid ? schema : catalogue}) {
        sqlite3_stmt *find = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &find, nullptr) != SQLITE_OK) {
            sqlite3_finalize(find);
            if (sql == schema) return fail(ctx, "XX000", sqlite3_errmsg(db));
            continue;  // no catalogue yet
        }
        if (by_oid) sqlite3_bind_int64(find, 1, oid);
        else sqlite3_bind_text(find, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        found = sqlite3_step(find) == SQLITE_ROW;
        if (found) sqlite3_result_value(ctx, sqlite3_column_value(find, 0));
        sqlite3_finalize(find);
        if (found) break;
    }
    if (found) return;
    if (by_oid) sqlite3_result_text(ctx, std::to_string(oid).c_str(), -1, SQLITE_TRANSIENT);
    else fail(ctx, "42P01", "relation \"" + name + "\" does not exist");
}

void cast_regtype(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    long long oid = 0;
    std::string name;
    if (oid_of(argv[0], &oid)) {
        if (!qx::pg_type_sql_name(static_cast<int>(oid), &name)) name = std::to_string(oid);
        return sqlite3_result_text(ctx, name.c_str(), -1, SQLITE_TRANSIENT);
    }
    name = trimmed(text_of(argv[0]));
    int found = qx::pg_type_oid(name);
    if (!found) return fail(ctx, "42704", "type \"" + name + "\" does not exist");
    sqlite3_result_int(ctx, found);
}

// The server's two schemas: its catalogue's and public, where every table is.
void cast_regnamespace(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    long long oid = 0;
    if (oid_of(argv[0], &oid)) {
        std::string name = oid == 11 ? "pg_catalog" : oid == 2200 ? "public" : std::to_string(oid);
        return sqlite3_result_text(ctx, name.c_str(), -1, SQLITE_TRANSIENT);
    }
    std::string name = object_name(text_of(argv[0]));
    if (name == "pg_catalog") return sqlite3_result_int(ctx, 11);
    if (name == "public") return sqlite3_result_int(ctx, 2200);
    fail(ctx, "3F000", "schema \"" + name + "\" does not exist");
}

// format_type(type, typmod): a type's SQL name, with the length a typmod gives.
void format_type(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    int oid = sqlite3_value_int(argv[0]);
    std::string name;
    if (!qx::pg_type_sql_name(oid, &name)) name = "???";
    if (sqlite3_value_type(argv[1]) != SQLITE_NULL && (oid == 1042 || oid == 1043) &&
        sqlite3_value_int(argv[1]) > 4)
        name += "(" + std::to_string(sqlite3_value_int(argv[1]) - 4) + ")";
    sqlite3_result_text(ctx, name.c_str(), -1, SQLITE_TRANSIENT);
}

}  // namespace

namespace qx {

bool install_cast_functions(sqlite3 *db, std::string *error) {
    const struct {
        const char *name;
        int arguments;
        void (*call)(sqlite3_context *, int, sqlite3_value **);
        const void *data;
    } functions[] = {
        {"pg_cast_int2", 1, cast_integer, &kInt2},
        {"pg_cast_int4", 1, cast_integer, &kInt4},
        {"pg_cast_int8", 1, cast_integer, &kInt8},
        {"pg_cast_float4", 1, cast_float, "real"},
        {"pg_cast_float8", 1, cast_float, "double precision"},
        {"pg_cast_numeric", 1, cast_float, nullptr},
        {"pg_cast_numeric", 3, cast_float, nullptr},
        {"pg_cast_boolean", 1, cast_boolean, nullptr},
        {"pg_cast_bytea", 1, cast_bytea, nullptr},
        {"pg_cast_date", 1, cast_date, nullptr},
        {"pg_cast_regclass", 1, cast_regclass, nullptr},
        {"pg_cast_regtype", 1, cast_regtype, nullptr},
        {"pg_cast_regnamespace", 1, cast_regnamespace, nullptr},
        {"pg_cast_to_no_type", 2, cast_to_no_type, nullptr},
        {"pg_cast_not_supported", 2, cast_not_supported, nullptr},
        {"format_type", 2, format_type, nullptr},
    };
    for (const auto &f : functions) {
        // regclass reads the schema, which may change within a statement: not deterministic.
        int flags = SQLITE_UTF8 | (f.call == cast_regclass ? 0 : SQLITE_DETERMINISTIC);
        if (sqlite3_create_function_v2(db, f.name, f.arguments, flags, const_cast<void *>(f.data), f.call, nullptr,
                                       nullptr, nullptr) != SQLITE_OK) {
            if (error) *error = std::string("cannot create ") + f.name + "(): " + sqlite3_errmsg(db);
            return false;
        }
    }
    return true;
}

}  // namespace qx
