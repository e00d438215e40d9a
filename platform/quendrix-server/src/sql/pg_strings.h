// PostgreSQL's strings that SQLite's grammar lacks, as the rewrite of a statement's text
// reads them (see resolve_qualified_names).
#pragma once

#include <cstddef>
#include <string>

namespace qx {

// Where the dollar-quoted string that opens at `at` ($$ or $tag$, the tag a name) ends;
// 0 when none does.
size_t dollar_quote_end(const std::string &s, size_t at);

// Reads the backslash escape whose character after the backslash is s[*at], of those
// PostgreSQL's escape strings and COPY's text format share: \b \f \n \r \t, \xh or \xhh,
// and \o to \ooo (a byte). Appends what it stands for to *out and leaves *at past it;
// false, appending and moving nothing, for any other, which each reader takes its own way.
bool read_byte_escape(const std::string &s, size_t *at, std::string *out);

// The text of the escape string whose body starts at *at (after E'), its quotes doubled
// for SQLite; *at is left past its closing quote. \n, \t, \b, \f, \r, \' and \\, octal
// \ooo, hex \xhh and \uXXXX or \UXXXXXXXX; any other escaped character stands for itself.
std::string escape_string_text(const std::string &s, size_t *at);

// `sql` with its escape and dollar-quoted strings as plain strings of the same length
// (their text blanked), which lex_sql reads; plain strings, names and comments stay.
std::string masked_pg_strings(const std::string &sql);

}  // namespace qx
