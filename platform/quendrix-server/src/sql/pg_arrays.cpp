// What PostgreSQL's clients write of arrays and series, as far as SQLite can hold them:
// an array here is its text ('{a,b}'), which array_to_string() and array_upper() read;
// string_agg() joins a group's values; generate_series(start, stop[, step]) is a table
// of numbers (and their place from 1 in the hidden column ordinality). `x = ANY (array)`,
// `ARRAY(subquery)` and `array[i]` compile (psql's catalogue queries name them over
// tables that are empty here) and fail with 0A000 if they are ever reached, rather than
// give a wrong answer.
#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "sql/pg_arrays.h"
#include "sql/pg_times.h"

#include "internal.h"

namespace {

// The elements of an array's text form {a,"b c",NULL}; false when it is not one.
bool array_elements(const std::string &s, std::vector<std::string> *out, std::vector<bool> *null) {
    if (s.size() < 2 || s.front() != '{' || s.back() != '}') return false;
    size_t i = 1;
    if (s.size() == 2) return true;
    while (i < s.size()) {
        std::string element;
        bool quoted = i < s.size() && s[i] == '"';
        if (quoted) {
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                element += s[i];
            }
            ++i;
        } else {
            while (i < s.size() && s[i] != ',' && s[i] != '}') element += s[i++];
        }
        if (i >= s.size() || (s[i] != ',' && s[i] != '}')) return false;
        out->push_back(element);
        null->push_back(!quoted && element == "NULL");
        ++i;
    }
    return true;
}

bool read_array(sqlite3_context *ctx, sqlite3_value *v, std::vector<std::string> *elements, std::vector<bool> *null) {
    const unsigned char *text = sqlite3_value_text(v);
    std::string s = text ? reinterpret_cast<const char *>(text) : "";
    if (array_elements(s, elements, null)) return true;
    qx::result_sql_error(ctx, {"22P02", "", "malformed array literal: \"" + s + "\""});
    return false;
}

// array_to_string(array, separator[, null text]).
void array_to_string(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    std::vector<std::string> elements;
    std::vector<bool> null;
    if (!read_array(ctx, argv[0], &elements, &null)) return;
    const unsigned char *separator = sqlite3_value_text(argv[1]);
    const unsigned char *null_text = argc > 2 ? sqlite3_value_text(argv[2]) : nullptr;
    std::string out;
    bool first = true;
    for (size_t i = 0; i < elements.size(); ++i) {
        if (null[i] && !null_text) continue;
        if (!first) out += reinterpret_cast<const char *>(separator);
        out += null[i] ? reinterpret_cast<const char *>(null_text) : elements[i];
        first = false;
    }
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// array_upper(array, 1): the number of elements (NULL for none, as PostgreSQL gives).
void array_upper(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_int(argv[1]) != 1) return sqlite3_result_null(ctx);
    std::vector<std::string> elements;
    std::vector<bool> null;
    if (!read_array(ctx, argv[0], &elements, &null)) return;
    if (elements.empty()) return sqlite3_result_null(ctx);
    sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(elements.size()));
}

// array_length(array, 1) and cardinality(array): the number of elements (NULL for an
// empty array's length, as PostgreSQL's, and 0 for its cardinality).
void array_length(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || (argc > 1 && sqlite3_value_int(argv[1]) != 1))
        return sqlite3_result_null(ctx);
    std::vector<std::string> elements;
    std::vector<bool> null;
    if (!read_array(ctx, argv[0], &elements, &null)) return;
    if (elements.empty() && argc > 1) return sqlite3_result_null(ctx);
    sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(elements.size()));
}

// string_to_array(text, delimiter[, null text]): the pieces as an array; a NULL
// delimiter splits into characters, an empty one not at all.
void string_to_array(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
    auto text = qx::value_text;
    std::string s = text(argv[0]);
    bool by_character = sqlite3_value_type(argv[1]) == SQLITE_NULL;
    std::string delimiter = by_character ? "" : text(argv[1]);
    bool has_null_text = argc > 2 && sqlite3_value_type(argv[2]) != SQLITE_NULL;
    std::string null_text = has_null_text ? text(argv[2]) : "";
    std::vector<std::string> pieces;
    if (s.empty()) {
    } else if (by_character) {
        for (size_t at = 0; at < s.size();) {
            size_t end = at + 1;
            while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
            pieces.push_back(s.substr(at, end - at));
            at = end;
        }
    } else if (delimiter.empty()) {
        pieces.push_back(s);
    } else {
        size_t from = 0, at;
        while ((at = s.find(delimiter, from)) != std::string::npos) {
            pieces.push_back(s.substr(from, at - from));
            from = at + delimiter.size();
        }
        pieces.push_back(s.substr(from));
    }
    std::string out = "{";
    for (size_t k = 0; k < pieces.size(); ++k) {
        if (k) out += ',';
        if (has_null_text && pieces[k] == null_text) out += "NULL";
        else qx::append_array_element(out, pieces[k]);
    }
    out += '}';
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// pg_subscript(array, i): the array's element i, counted from 1 (a vector of column
// numbers, "1 3", from 0, as PostgreSQL's int2vector); NULL past either end. An element
// that is a number unquoted is that number, as pg_unnest gives it.
void subscript(sqlite3_context *ctx, int, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(ctx);
    const unsigned char *text = sqlite3_value_text(argv[0]);
    std::string s = text ? reinterpret_cast<const char *>(text) : "";
    sqlite3_int64 index = sqlite3_value_int64(argv[1]);
    std::vector<std::string> elements;
    std::vector<bool> null;
    bool vector = !s.empty() && s.find_first_not_of("0123456789 ") == std::string::npos;
    if (vector) {
        for (size_t at = s.find_first_not_of(' '); at != std::string::npos; at = s.find_first_not_of(' ', at)) {
            size_t end = std::min(s.find(' ', at), s.size());
            elements.push_back(s.substr(at, end - at));
            null.push_back(false);
            at = end;
        }
        ++index;
    } else if (!array_elements(s, &elements, &null)) {
        return qx::result_sql_error(ctx, {"42804", "", "cannot subscript type text because it is not an array"});
    }
    if (index < 1 || index > static_cast<sqlite3_int64>(elements.size()) || null[static_cast<size_t>(index - 1)])
        return sqlite3_result_null(ctx);
    const std::string &e = elements[static_cast<size_t>(index - 1)];
    char *end = nullptr;
    long long n = std::strtoll(e.c_str(), &end, 10);
    bool quoted = !vector && s.find("\"" + e) != std::string::npos;
    if (!e.empty() && *end == '\0' && !quoted) return sqlite3_result_int64(ctx, n);
    sqlite3_result_text(ctx, e.c_str(), static_cast<int>(e.size()), SQLITE_TRANSIENT);
}

// ARRAY(subquery), called with the subquery's first value: of no rows, the empty array;
// of rows, which a call cannot see all of, an error.
void array_of_subquery(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_text(ctx, "{}", 2, SQLITE_STATIC);
    qx::result_sql_error(ctx, {"0A000", "", "ARRAY (subquery) of rows is not supported"});
    (void)argc;
}

// ARRAY[a, b, ...]: the array's text, {a,b}.
void array_of_values(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    std::string out = "{";
    for (int i = 0; i < argc; ++i) {
        if (i) out += ',';
        const unsigned char *text = sqlite3_value_text(argv[i]);
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL || !text) out += "NULL";
        else qx::append_array_element(out, std::string(reinterpret_cast<const char *>(text),
                                                       static_cast<size_t>(sqlite3_value_bytes(argv[i]))));
    }
    out += '}';
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void not_supported(sqlite3_context *ctx, int, sqlite3_value **) {
    qx::result_sql_error(ctx, {"0A000", "", std::string(static_cast<const char *>(sqlite3_user_data(ctx))) +
                                               " is not supported"});
}

// Whether a group's joined text has grown past what SQLite would hold as one value: the
// aggregate stops there, as SQLite's group_concat() does, rather than take the server's
// memory.
bool too_long(sqlite3_context *ctx, const std::string &text) {
    return text.size() > static_cast<size_t>(sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LENGTH, -1));
}

// string_agg(value, separator): the group's non-NULL values joined.
struct Joined {
    std::string *text;
};

void string_agg_step(sqlite3_context *ctx, int, sqlite3_value **argv) {
    auto *joined = static_cast<Joined *>(sqlite3_aggregate_context(ctx, sizeof(Joined)));
    if (!joined) return sqlite3_result_error_nomem(ctx);
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
    const unsigned char *value = sqlite3_value_text(argv[0]);
    const unsigned char *separator = sqlite3_value_text(argv[1]);
    if (!joined->text) joined->text = new std::string;
    else if (separator) *joined->text += reinterpret_cast<const char *>(separator);
    joined->text->append(reinterpret_cast<const char *>(value), static_cast<size_t>(sqlite3_value_bytes(argv[0])));
    if (too_long(ctx, *joined->text)) return sqlite3_result_error_toobig(ctx);
}

void string_agg_final(sqlite3_context *ctx) {
    auto *joined = static_cast<Joined *>(sqlite3_aggregate_context(ctx, 0));
    if (!joined || !joined->text) return sqlite3_result_null(ctx);
    sqlite3_result_text64(ctx, joined->text->data(), joined->text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    delete joined->text;
    joined->text = nullptr;
}

// array_agg(value): the group's values (NULLs too) as an array; NULL for no rows.
void array_agg_step(sqlite3_context *ctx, int, sqlite3_value **argv) {
    auto *joined = static_cast<Joined *>(sqlite3_aggregate_context(ctx, sizeof(Joined)));
    if (!joined) return sqlite3_result_error_nomem(ctx);
    if (!joined->text) joined->text = new std::string("{");
    else *joined->text += ',';
    const unsigned char *value = sqlite3_value_text(argv[0]);
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || !value) *joined->text += "NULL";
    else qx::append_array_element(*joined->text, std::string(reinterpret_cast<const char *>(value),
                                                             static_cast<size_t>(sqlite3_value_bytes(argv[0]))));
    if (too_long(ctx, *joined->text)) return sqlite3_result_error_toobig(ctx);
}

void array_agg_final(sqlite3_context *ctx) {
    auto *joined = static_cast<Joined *>(sqlite3_aggregate_context(ctx, 0));
    if (!joined || !joined->text) return sqlite3_result_null(ctx);
    *joined->text += '}';
    sqlite3_result_text64(ctx, joined->text->data(), joined->text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    delete joined->text;
    joined->text = nullptr;
}

// generate_series(start, stop[, step]): a table-valued function with one column, value.
// Of times (generate_series(start, stop, interval), the start a date or a time's text),
// each the last plus the interval, as PostgreSQL adds it.
struct Series {
    sqlite3_vtab_cursor base;
    sqlite3_int64 value = 0, stop = 0, step = 1, row = 0;
    bool done = true;
    bool times = false, forward = true;
    qx::Moment time, time_stop;
    qx::Interval time_step;
};

// Reads the arguments of a series of times into *s; false with the error set when they
// are none.
bool read_time_series(sqlite3_vtab_cursor *cursor, Series *s, int argc, sqlite3_value **argv) {
    auto text = qx::value_text;
    auto fail = [cursor](const std::string &why) {
        sqlite3_free(cursor->pVtab->zErrMsg);
        cursor->pVtab->zErrMsg = sqlite3_mprintf("%s", why.c_str());
        return false;
    };
    if (argc < 3) return fail("generate_series of times needs an interval as its step");
    if (!qx::read_moment(text(argv[0]), &s->time))
        return fail("invalid input syntax for type timestamp: \"" + text(argv[0]) + "\"");
    if (!qx::read_moment(text(argv[1]), &s->time_stop))
        return fail("invalid input syntax for type timestamp: \"" + text(argv[1]) + "\"");
    if (!qx::read_interval(text(argv[2]), &s->time_step))
        return fail("invalid input syntax for type interval: \"" + text(argv[2]) + "\"");
    qx::Moment next = qx::shifted(s->time, s->time_step, 1);
    if (next.micros == s->time.micros) return fail("step size cannot equal zero");
    s->times = true;
    s->time.has_time = true;
    s->forward = next.micros > s->time.micros;
    if (s->forward ? s->time.micros > s->time_stop.micros : s->time.micros < s->time_stop.micros) s->done = true;
    return true;
}

// A table-valued function's table, whose declaration (one column, value, and the
// arguments as hidden columns) is the module's client data.
int connect_function_table(sqlite3 *db, void *declaration, int, const char *const *, sqlite3_vtab **out, char **) {
    int rc = sqlite3_declare_vtab(db, static_cast<const char *>(declaration));
    if (rc != SQLITE_OK) return rc;
    *out = static_cast<sqlite3_vtab *>(sqlite3_malloc(sizeof(sqlite3_vtab)));
    if (!*out) return SQLITE_NOMEM;
    *(*out) = sqlite3_vtab{};
    sqlite3_vtab_config(db, SQLITE_VTAB_INNOCUOUS);
    return SQLITE_OK;
}

int disconnect_function_table(sqlite3_vtab *vtab) {
    sqlite3_free(vtab);
    return SQLITE_OK;
}

template <class Cursor>
int open_cursor(sqlite3_vtab *, sqlite3_vtab_cursor **out) {
    *out = &(new Cursor)->base;
    return SQLITE_OK;
}

template <class Cursor>
int close_cursor(sqlite3_vtab_cursor *cursor) {
    delete reinterpret_cast<Cursor *>(cursor);
    return SQLITE_OK;
}

// The arguments come as equality constraints on the hidden columns, start and stop
// required (idxNum's bits say which of the three are given).
int series_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
    int at[3] = {-1, -1, -1};
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto &c = info->aConstraint[i];
        if (c.iColumn < 1 || c.iColumn > 3 || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
        if (!c.usable) return SQLITE_CONSTRAINT;
        at[c.iColumn - 1] = i;
    }
    if (at[0] < 0 || at[1] < 0) {
        sqlite3_free(vtab->zErrMsg);
        vtab->zErrMsg = sqlite3_mprintf("generate_series needs a start and a stop");
        return SQLITE_ERROR;
    }
    int argument = 0;
    for (int k = 0; k < 3; ++k) {
        if (at[k] < 0) continue;
        info->aConstraintUsage[at[k]].argvIndex = ++argument;
        info->aConstraintUsage[at[k]].omit = 1;
        info->idxNum |= 1 << k;
    }
    info->estimatedCost = 1000;
    return SQLITE_OK;
}

int series_filter(sqlite3_vtab_cursor *cursor, int idx, const char *, int argc, sqlite3_value **argv) {
    auto *s = reinterpret_cast<Series *>(cursor);
    s->done = false;
    s->row = 0;
    s->times = false;
    for (int i = 0; i < argc; ++i)
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL) s->done = true;  // NULL arguments: no rows
    if (!s->done && argc > 0 && sqlite3_value_type(argv[0]) == SQLITE_TEXT &&
        sqlite3_value_numeric_type(argv[0]) == SQLITE_TEXT)
        return read_time_series(cursor, s, (idx & 4) ? argc : 2, argv) ? SQLITE_OK : SQLITE_ERROR;
    s->value = argc > 0 ? sqlite3_value_int64(argv[0]) : 0;
    s->stop = argc > 1 ? sqlite3_value_int64(argv[1]) : 0;
    s->step = (idx & 4) && argc > 2 ? sqlite3_value_int64(argv[2]) : 1;
    if (s->step == 0) {
        sqlite3_free(cursor->pVtab->zErrMsg);
        cursor->pVtab->zErrMsg = sqlite3_mprintf("step size cannot equal zero");
        return SQLITE_ERROR;
    }
    if (s->step > 0 ? s->value > s->stop : s->value < s->stop) s->done = true;
    return SQLITE_OK;
}

int series_next(sqlite3_vtab_cursor *cursor) {
    auto *s = reinterpret_cast<Series *>(cursor);
    if (s->times) {
        s->time = qx::shifted(s->time, s->time_step, 1);
        if (s->forward ? s->time.micros > s->time_stop.micros : s->time.micros < s->time_stop.micros) s->done = true;
        ++s->row;
        return SQLITE_OK;
    }
    sqlite3_int64 next = 0;
    if (__builtin_add_overflow(s->value, s->step, &next) || (s->step > 0 ? next > s->stop : next < s->stop))
        s->done = true;
    s->value = next;
    ++s->row;
    return SQLITE_OK;
}

int series_eof(sqlite3_vtab_cursor *cursor) { return reinterpret_cast<Series *>(cursor)->done; }

int series_column(sqlite3_vtab_cursor *cursor, sqlite3_context *ctx, int column) {
    auto *s = reinterpret_cast<Series *>(cursor);
    if (column == 0 && s->times) {
        std::string text = qx::write_moment(s->time, false);
        sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    } else if (column == 0) {
        sqlite3_result_int64(ctx, s->value);
    }
    if (column == 4) sqlite3_result_int64(ctx, s->row + 1);  // ordinality
    return SQLITE_OK;
}

int series_rowid(sqlite3_vtab_cursor *cursor, sqlite3_int64 *rowid) {
    *rowid = reinterpret_cast<Series *>(cursor)->row;
    return SQLITE_OK;
}

// pg_unnest(array): a table of the array's elements, value, and their place in it from
// 1, ordinality (hidden, so that * is the elements alone); an element that is a number
// unquoted is that number, so that `x = ANY (array)` (which becomes `x IN (SELECT value
// FROM pg_unnest(array))`) compares numbers with numbers. The catalogue's vectors of column numbers (pg_index.indkey,
// "1 3") are arrays too, as PostgreSQL's int2vector is one.
struct Elements {
    sqlite3_vtab_cursor base;
    std::vector<std::string> values;
    std::vector<bool> null, quoted;
    size_t at = 0;
};

int unnest_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto &c = info->aConstraint[i];
        if (c.iColumn != 1 || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
        if (!c.usable) return SQLITE_CONSTRAINT;
        info->aConstraintUsage[i].argvIndex = 1;
        info->aConstraintUsage[i].omit = 1;
        info->estimatedCost = 10;
        return SQLITE_OK;
    }
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("pg_unnest needs an array");
    return SQLITE_ERROR;
}

int unnest_filter(sqlite3_vtab_cursor *cursor, int, const char *, int argc, sqlite3_value **argv) {
    auto *e = reinterpret_cast<Elements *>(cursor);
    e->values.clear();
    e->null.clear();
    e->quoted.clear();
    e->at = 0;
    if (argc < 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL) return SQLITE_OK;
    const unsigned char *text = sqlite3_value_text(argv[0]);
    std::string s = text ? reinterpret_cast<const char *>(text) : "";
    if (!s.empty() && s.find_first_not_of("0123456789 ") == std::string::npos) {
        for (size_t at = s.find_first_not_of(' '); at != std::string::npos; at = s.find_first_not_of(' ', at)) {
            size_t end = std::min(s.find(' ', at), s.size());
            e->values.push_back(s.substr(at, end - at));
            e->null.push_back(false);
            e->quoted.push_back(false);
            at = end;
        }
        return SQLITE_OK;
    }
    if (!array_elements(s, &e->values, &e->null)) {
        sqlite3_free(cursor->pVtab->zErrMsg);
        cursor->pVtab->zErrMsg = sqlite3_mprintf("malformed array literal: \"%s\"", s.c_str());
        return SQLITE_ERROR;
    }
    // Which elements were quoted: they stay text.
    for (size_t i = 0, at = 1; i < e->values.size(); ++i) {
        e->quoted.push_back(at < s.size() && s[at] == '"');
        // past this element and its comma
        bool in_quotes = false;
        for (; at < s.size(); ++at) {
            if (s[at] == '\\' && in_quotes) {
                ++at;
                continue;
            }
            if (s[at] == '"') in_quotes = !in_quotes;
            if (!in_quotes && (s[at] == ',' || s[at] == '}')) break;
        }
        ++at;
    }
    return SQLITE_OK;
}

int unnest_next(sqlite3_vtab_cursor *cursor) {
    ++reinterpret_cast<Elements *>(cursor)->at;
    return SQLITE_OK;
}

int unnest_eof(sqlite3_vtab_cursor *cursor) {
    auto *e = reinterpret_cast<Elements *>(cursor);
    return e->at >= e->values.size();
}

int unnest_column(sqlite3_vtab_cursor *cursor, sqlite3_context *ctx, int column) {
    auto *e = reinterpret_cast<Elements *>(cursor);
    if (column == 2) return sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(e->at) + 1), SQLITE_OK;
    if (column != 0) return SQLITE_OK;
    if (e->null[e->at]) return sqlite3_result_null(ctx), SQLITE_OK;
    const std::string &v = e->values[e->at];
    if (!e->quoted[e->at] && !v.empty()) {
        char *end = nullptr;
        long long n = std::strtoll(v.c_str(), &end, 10);
        if (*end == '\0') return sqlite3_result_int64(ctx, n), SQLITE_OK;
        double d = std::strtod(v.c_str(), &end);
        if (*end == '\0') return sqlite3_result_double(ctx, d), SQLITE_OK;
    }
    sqlite3_result_text(ctx, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return SQLITE_OK;
}

int unnest_rowid(sqlite3_vtab_cursor *cursor, sqlite3_int64 *rowid) {
    *rowid = static_cast<sqlite3_int64>(reinterpret_cast<Elements *>(cursor)->at);
    return SQLITE_OK;
}

sqlite3_module unnest_module() {
    sqlite3_module m{};
    m.xConnect = connect_function_table;
    m.xBestIndex = unnest_best_index;
    m.xDisconnect = disconnect_function_table;
    m.xOpen = open_cursor<Elements>;
    m.xClose = close_cursor<Elements>;
    m.xFilter = unnest_filter;
    m.xNext = unnest_next;
    m.xEof = unnest_eof;
    m.xColumn = unnest_column;
    m.xRowid = unnest_rowid;
    return m;
}

sqlite3_module series_module() {
    sqlite3_module m{};
    m.xConnect = connect_function_table;  // no xCreate: an eponymous-only table
    m.xBestIndex = series_best_index;
    m.xDisconnect = disconnect_function_table;
    m.xOpen = open_cursor<Series>;
    m.xClose = close_cursor<Series>;
    m.xFilter = series_filter;
    m.xNext = series_next;
    m.xEof = series_eof;
    m.xColumn = series_column;
    m.xRowid = series_rowid;
    return m;
}

}  // namespace

namespace qx {

void append_array_element(std::string &out, const std::string &element) {
    bool quote = element.empty() || strcasecmp(element.c_str(), "NULL") == 0 ||
                 element.find_first_of("{},\"\\ \t\n") != std::string::npos;
    if (!quote) {
        out += element;
        return;
    }
    out += '"';
    for (char c : element) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

bool install_array_functions(sqlite3 *db, std::string *error) {
    static const sqlite3_module series = series_module(), elements = unnest_module();
    const struct {
        const char *name;
        int arguments;
        void (*call)(sqlite3_context *, int, sqlite3_value **);
        const char *what;
    } functions[] = {
        {"array_to_string", 2, array_to_string, nullptr},
        {"array_to_string", 3, array_to_string, nullptr},
        {"array_upper", 2, array_upper, nullptr},
        {"array_length", 2, array_length, nullptr},
        {"cardinality", 1, array_length, nullptr},
        {"string_to_array", 2, string_to_array, nullptr},
        {"string_to_array", 3, string_to_array, nullptr},
        {"any", 1, not_supported, "ANY (array)"},
        {"some", 1, not_supported, "SOME (array)"},
        {"pg_array", 1, array_of_subquery, nullptr},
        {"pg_array_of", -1, array_of_values, nullptr},
        {"pg_subscript", 0, not_supported, "an array slice"},
        {"pg_subscript", 2, subscript, nullptr},
        // What a select list's set-returning functions leave (see pg_set_returning.cpp).
        {"unnest", 1, not_supported, "unnest() in an expression or beside other set-returning functions"},
        {"generate_subscripts", 2, not_supported,
         "generate_subscripts() in an expression or beside other set-returning functions"},
        {"generate_series", 2, not_supported, "generate_series() in an expression or beside other set-returning functions"},
        {"generate_series", 3, not_supported, "generate_series() in an expression or beside other set-returning functions"},
    };
    bool ok = sqlite3_create_function_v2(db, "string_agg", 2, SQLITE_UTF8, nullptr, nullptr, string_agg_step,
                                         string_agg_final, nullptr) == SQLITE_OK &&
              sqlite3_create_function_v2(db, "array_agg", 1, SQLITE_UTF8, nullptr, nullptr, array_agg_step,
                                         array_agg_final, nullptr) == SQLITE_OK &&
              sqlite3_create_module_v2(db, "generate_series", &series,
                                       const_cast<char *>("CREATE TABLE x(value, start HIDDEN, stop HIDDEN, step HIDDEN, "
                                                                  "ordinality HIDDEN)"),
                                       nullptr) == SQLITE_OK &&
              sqlite3_create_module_v2(db, "pg_unnest", &elements, const_cast<char *>("CREATE TABLE x(value, array HIDDEN, ordinality HIDDEN)"),
                                       nullptr) == SQLITE_OK;
    for (const auto &f : functions)
        ok = ok && sqlite3_create_function_v2(db, f.name, f.arguments, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                              const_cast<char *>(f.what), f.call, nullptr, nullptr,
                                              nullptr) == SQLITE_OK;
    if (!ok && error) *error = std::string("cannot create the array functions: ") + sqlite3_errmsg(db);
    return ok;
}

}  // namespace qx
