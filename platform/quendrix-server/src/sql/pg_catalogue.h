// Lookups in the server's table of PostgreSQL's types (the one pg_type shows), for the
// casts and functions that name types (regtype, format_type()), and the catalogue
// views' boolean columns.
#pragma once

#include <string>

namespace qx {

// The oid of the type `name` names: its name in pg_type ("int4"), its SQL name or an
// alias ("integer", "int", "double precision"), in any case, perhaps qualified by
// pg_catalog, with a length ("varchar(10)"), or quoted for the exact name ("\"char\"");
// "name[]" names its arrays. 0 when no type has the name.
int pg_type_oid(const std::string &name);

// The name format_type() and regtype give type `oid` ("integer", "character varying",
// "text[]"); false for an oid that is no type.
bool pg_type_sql_name(int oid, std::string *name);

// The name pg_type gives type `oid` ("int4", "varchar", "_int4"); false for an oid that
// is no type.
bool pg_type_name(int oid, std::string *name);

// Whether `name` is a boolean column of the catalogue views (indisunique, attnotnull,
// rolsuper, ...), which hold PostgreSQL's text of a boolean, 't' or 'f'.
bool is_catalogue_flag(const std::string &name);

// Whether `name` is a column of the catalogue views that holds an array of column
// numbers as text ('{1,2}'): pg_constraint's conkey and confkey.
bool is_catalogue_key_array(const std::string &name);

}  // namespace qx
