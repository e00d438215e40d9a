// Types that a statement's text implies, for Describe of a statement that has not run.
//
// The types of parameters that neither Parse nor a cast ($1::integer) gives, from where
// they stand in the statement: compared with a column (`id = $1`, `$1 < t.price`,
// `id IN ($1, $2)`, `n BETWEEN $1 AND $2`), set into one (`SET s = $1`), inserted into
// one (`INSERT INTO t (a, b) VALUES ($1, $2)`), or a LIMIT or OFFSET. The column's
// declared type gives the parameter's, as it gives the column's own type in
// RowDescription. PostgreSQL infers types from the same places; drivers that describe a
// statement and encode values in the types they are told (asyncpg, pgx) then send
// numbers for numeric columns instead of refusing them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace qx {
namespace pg {

// One type per parameter $1 ... $`parameters` (0 where the statement does not tell).
std::vector<int32_t> infer_parameter_types(sqlite3 *db, const std::string &sql, int parameters);

// The types the statement casts its parameters to ($1::integer, CAST($2 AS text)), which
// they are bound as when Parse gives none; 0 for the others and for arrays.
std::vector<int32_t> parameter_casts(const std::string &sql, int parameters);

// The types of a select's computed result columns whose values have one type whatever
// they are: count() and length() (int8), avg() and total() (float8), and CAST(... AS
// type) to a type with an affinity, and casts x::type. One per column (0 where the text does not tell);
// all 0 for a select list with a '*' or of another length than `columns`.
std::vector<int32_t> infer_result_types(const std::string &sql, int columns);

// The column each item of a select list names when it is a column alone (c.conkey AS
// key: conkey); "" for the others, and all "" for a select list with a '*' or of another
// length than `columns`.
std::vector<std::string> source_columns(const std::string &sql, int columns);

// The names a statement's result columns are typed by (see column_type): for a query of
// the catalogue (its text names pg_...), the column an item names, else its own name.
std::vector<std::string> typing_names(sqlite3_stmt *stmt);

}  // namespace pg
}  // namespace qx
