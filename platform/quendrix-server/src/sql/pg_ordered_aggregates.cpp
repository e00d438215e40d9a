// string_agg() and array_agg() with ORDER BY or DISTINCT inside their parentheses, as
// PostgreSQL's reports write them (string_agg(name, ', ' ORDER BY name)): SQLite's
// grammar has neither there, so the call becomes pg_ordered_agg(function, distinct,
// values, value..., key, direction, ...), which keeps the group's rows and sorts them
// before it joins them. Without ORDER BY, DISTINCT sorts by the value, as PostgreSQL's
// does. Keys sort as SQLite sorts (numbers, then text by its bytes, then BLOBs); NULLs
// last going up and first going down, unless NULLS FIRST | LAST says otherwise.
#include <sqlite3.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "internal.h"
#include "sql/pg_arrays.h"
#include "sql/sql_lexer.h"

namespace {

using qx::SqlToken;

// Rewrites each such call in *sql that holds no other; false when there is none.
bool rewrite_pass(std::string *sql) {
    std::vector<SqlToken> t;
    if (!qx::lex_sql(*sql, &t)) return false;
    qx::TextEdits edits;
    for (size_t k = 0; k + 1 < t.size(); ++k) {
        bool string_agg = t[k].is("string_agg");
        if (!(string_agg || t[k].is("array_agg")) || !t[k + 1].is_punct('(') || (k > 0 && t[k - 1].is_punct('.')))
            continue;
        size_t open = k + 1, close = qx::closing_parenthesis(t, open);
        if (close >= t.size()) continue;
        size_t first = open + 1;
        bool distinct = first < close && t[first].is("distinct");
        if (distinct) ++first;
        if (first < close && t[first].is("all")) ++first;
        // The arguments and the ORDER BY keys, each a run of tokens at depth 0.
        std::vector<std::pair<size_t, size_t>> arguments, keys;
        std::vector<std::string> directions;
        size_t order = close;
        for (size_t j = first, depth = 0; j < close; ++j) {
            if (t[j].is_punct('(')) ++depth;
            if (t[j].is_punct(')')) --depth;
            if (depth == 0 && t[j].is("order") && j + 1 < close && t[j + 1].is("by")) {
                order = j;
                break;
            }
        }
        if (!distinct && order == close) continue;
        auto split = [&](size_t from, size_t to, std::vector<std::pair<size_t, size_t>> *out) {
            size_t start = from;
            for (size_t j = from, depth = 0; j <= to; ++j) {
                if (j < to && t[j].is_punct('(')) ++depth;
                if (j < to && t[j].is_punct(')')) --depth;
                if (j == to || (depth == 0 && t[j].is_punct(','))) {
                    if (j > start) out->emplace_back(start, j);
                    start = j + 1;
                }
            }
        };
        split(first, order, &arguments);
        if (arguments.size() != (string_agg ? 2u : 1u)) continue;
        if (order < close) {
            std::vector<std::pair<size_t, size_t>> items;
            split(order + 2, close, &items);
            for (auto &item : items) {
                // [ASC | DESC] [NULLS FIRST | LAST] after the key
                bool descending = false, nulls_first = false, nulls_given = false;
                size_t end = item.second;
                if (end - item.first > 2 && t[end - 2].is("nulls")) {
                    nulls_given = true;
                    nulls_first = t[end - 1].is("first");
                    end -= 2;
                }
                if (end - item.first > 1 && (t[end - 1].is("asc") || t[end - 1].is("desc"))) {
                    descending = t[end - 1].is("desc");
                    --end;
                }
                if (!nulls_given) nulls_first = descending;
                keys.emplace_back(item.first, end);
                directions.push_back(std::string(descending ? "d" : "a") + (nulls_first ? "f" : "l"));
            }
        } else {
            keys.push_back(arguments[0]);  // DISTINCT alone: by the value
            directions.push_back("al");
        }
        auto text = [&](const std::pair<size_t, size_t> &run) {
            return sql->substr(t[run.first].at, qx::token_end(*sql, t[run.second - 1]) - t[run.first].at);
        };
        std::string call = std::string("pg_ordered_agg('") + (string_agg ? "string_agg" : "array_agg") + "', " +
                           (distinct ? "1" : "0") + ", " + std::to_string(arguments.size());
        for (const auto &a : arguments) call += ", " + text(a);
        for (size_t j = 0; j < keys.size(); ++j) call += ", " + text(keys[j]) + ", '" + directions[j] + "'";
        call += ")";
        edits.add(t[k].at, t[close].at + 1, call);
    }
    if (edits.empty()) return false;
    *sql = edits.applied(*sql);
    return true;
}

// A group's rows: each its values then its keys.
struct Rows {
    std::vector<std::vector<sqlite3_value *>> *rows;
    std::string *directions;  // one letter pair per key
    int values;
    bool distinct, string_agg;
    size_t bytes;  // what the rows hold, bounded as one value's length is
};

// Orders two values as SQLite does, with NULLs where `nulls_first` puts them (before
// anything else when true).
int compare(sqlite3_value *a, sqlite3_value *b, bool nulls_first) {
    int ta = sqlite3_value_type(a), tb = sqlite3_value_type(b);
    if (ta == SQLITE_NULL || tb == SQLITE_NULL) {
        if (ta == tb) return 0;
        return (ta == SQLITE_NULL) == nulls_first ? -1 : 1;
    }
    auto rank = [](int type) { return type == SQLITE_INTEGER || type == SQLITE_FLOAT ? 0 : type == SQLITE_TEXT ? 1 : 2; };
    if (rank(ta) != rank(tb)) return rank(ta) < rank(tb) ? -1 : 1;
    if (rank(ta) == 0) {
        if (ta == SQLITE_INTEGER && tb == SQLITE_INTEGER) {
            sqlite3_int64 x = sqlite3_value_int64(a), y = sqlite3_value_int64(b);
            return x < y ? -1 : x > y;
        }
        double x = sqlite3_value_double(a), y = sqlite3_value_double(b);
        return x < y ? -1 : x > y;
    }
    const void *x = rank(ta) == 1 ? static_cast<const void *>(sqlite3_value_text(a)) : sqlite3_value_blob(a);
    const void *y = rank(tb) == 1 ? static_cast<const void *>(sqlite3_value_text(b)) : sqlite3_value_blob(b);
    int nx = sqlite3_value_bytes(a), ny = sqlite3_value_bytes(b);
    int c = nx && ny ? memcmp(x, y, static_cast<size_t>(std::min(nx, ny))) : 0;
    return c ? c : nx < ny ? -1 : nx > ny;
}

void free_rows(Rows *r) {
    if (!r->rows) return;
    for (auto &row : *r->rows)
        for (sqlite3_value *v : row) sqlite3_value_free(v);
    delete r->rows;
    delete r->directions;
    r->rows = nullptr;
    r->directions = nullptr;
}

void ordered_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    auto *r = static_cast<Rows *>(sqlite3_aggregate_context(ctx, sizeof(Rows)));
    if (!r) return sqlite3_result_error_nomem(ctx);
    if (!r->rows) {
        r->rows = new std::vector<std::vector<sqlite3_value *>>;
        r->directions = new std::string;
        const unsigned char *name = sqlite3_value_text(argv[0]);
        r->string_agg = name && strcmp(reinterpret_cast<const char *>(name), "string_agg") == 0;
        r->distinct = sqlite3_value_int(argv[1]) != 0;
        r->values = sqlite3_value_int(argv[2]);
        for (int k = 3 + r->values + 1; k < argc; k += 2) {
            const unsigned char *d = sqlite3_value_text(argv[k]);
            *r->directions += d && strlen(reinterpret_cast<const char *>(d)) == 2 ? reinterpret_cast<const char *>(d) : "al";
        }
    }
    std::vector<sqlite3_value *> row;
    for (int k = 3; k < 3 + r->values; ++k) row.push_back(sqlite3_value_dup(argv[k]));
    for (int k = 3 + r->values; k < argc; k += 2) row.push_back(sqlite3_value_dup(argv[k]));
    for (sqlite3_value *v : row)
        if (!v) {
            for (sqlite3_value *w : row) sqlite3_value_free(w);
            return sqlite3_result_error_nomem(ctx);
        }
    for (sqlite3_value *v : row) r->bytes += static_cast<size_t>(sqlite3_value_bytes(v)) + 64;
    r->rows->push_back(std::move(row));
    if (r->bytes > static_cast<size_t>(sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LENGTH, -1)))
        return sqlite3_result_error_toobig(ctx);
}

void ordered_final(sqlite3_context *ctx) {
    auto *r = static_cast<Rows *>(sqlite3_aggregate_context(ctx, 0));
    if (!r || !r->rows) return sqlite3_result_null(ctx);
    auto &rows = *r->rows;
    const std::string &directions = *r->directions;
    size_t values = static_cast<size_t>(r->values);
    std::stable_sort(rows.begin(), rows.end(), [&](const auto &a, const auto &b) {
        for (size_t key = 0; values + key < a.size(); ++key) {
            bool descending = directions[2 * key] == 'd', nulls_first = directions[2 * key + 1] == 'f';
            int c = compare(a[values + key], b[values + key], descending ? !nulls_first : nulls_first);
            if (c) return descending ? c > 0 : c < 0;
        }
        return false;
    });
    std::string out = r->string_agg ? "" : "{";
    bool any = false;
    const std::vector<sqlite3_value *> *previous = nullptr;
    for (const auto &row : rows) {
        if (r->distinct && previous && compare((*previous)[0], row[0], false) == 0) continue;
        previous = &row;
        const unsigned char *text = sqlite3_value_text(row[0]);
        bool null = sqlite3_value_type(row[0]) == SQLITE_NULL || !text;
        std::string value = null ? "" : std::string(reinterpret_cast<const char *>(text),
                                                     static_cast<size_t>(sqlite3_value_bytes(row[0])));
        if (r->string_agg) {
            if (null) continue;
            if (any && sqlite3_value_type(row[1]) != SQLITE_NULL)
                out += reinterpret_cast<const char *>(sqlite3_value_text(row[1]));
            out += value;
        } else {
            if (any) out += ',';
            if (null) out += "NULL";
            else qx::append_array_element(out, value);
        }
        any = true;
    }
    free_rows(r);
    if (!any) return sqlite3_result_null(ctx);
    if (!r->string_agg) out += '}';
    sqlite3_result_text64(ctx, out.data(), out.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

}  // namespace

namespace qx {

std::string rewrite_ordered_aggregates(const std::string &sql) {
    if (!mentions(sql, "_agg")) return sql;
    std::string out = sql;
    for (int passes = 0; passes < 16 && rewrite_pass(&out); ++passes) {
    }
    return out;
}

bool install_ordered_aggregates(sqlite3 *db, std::string *error) {
    if (sqlite3_create_function_v2(db, "pg_ordered_agg", -1, SQLITE_UTF8, nullptr, nullptr, ordered_step,
                                   ordered_final, nullptr) == SQLITE_OK)
        return true;
    if (error) *error = std::string("cannot create pg_ordered_agg(): ") + sqlite3_errmsg(db);
    return false;
}

}  // namespace qx
