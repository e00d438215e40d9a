/*
 * libquendrix-t: parse trees of select queries.
 *
 * A node is a tag-193 array of pointer-sized slots whose slot 0 holds the node's
 * kind as an inline integer; the other slots are its members, each a server value
 * or null for an absent member. A list (the from list, the selection list) is a
 * tag-193 array of members with no kind slot. A literal is a plain value: an
 * integer, a double, a string (tag 182) or SQL NULL (tag 204). Because the null
 * handle is also the integer 0, a member that is always present (an operand, a
 * selection) reads null as the literal 0, while an optional one (a where
 * condition, a correlation name) reads it as absent.
 *
 *   query        100, distinct (null or 1), selection list, null, from-where or null
 *   from-where   106, from list, where condition or null, then six nulls (9 slots)
 *   from entry   107, table node, null
 *   table        200, name text, correlation name text or null, 0, 0
 *   column       201, qualifier text or null, column name text ("*" for all columns)
 *   comparison   9 (=), 10 (<>), 11 (<), 12 (<=), 13 (>), 14 (>=): kind, left, right, null
 *   conjunction  4, left condition, right condition, null
 *   disjunction  5, left condition, right condition, null
 *   negation     6, condition
 *   existence    34, null, query node, null, null
 *
 * A from list holds from-entry nodes or table nodes. The query compiler reads
 * only the slots a node has and refuses any tree that is not of this shape.
 *
 * The server's own kinds, for the rest of what report queries are made of. They
 * only add to the layouts above: a query node may have four more slots, and the
 * null slot 2 of a from entry may join its table to the entries before it.
 *
 *   query        slots 5-8 (optional): group-by list or null, having condition or
 *                null, order-by list or null, limit node or null
 *   from entry   slot 2: null (a comma), or a join node
 *   join         330 (JOIN), 331 (LEFT JOIN): kind, ON condition or null
 *   arithmetic   300 (+), 301 (-), 302 (*), 303 (/), 304 (%), 305 (||): kind, left, right
 *   sign         306 (unary -): kind, operand
 *   function     310, name text, argument list, distinct (null or 1); count(*) has
 *                the all-columns column node as its one argument
 *   alias        311, expression, alias text (a selection item "expression AS name")
 *   null test    312 (IS NULL), 313 (IS NOT NULL): kind, operand
 *   pattern      314 (LIKE), 315 (NOT LIKE): kind, operand, pattern, escape or null
 *   membership   316 (IN), 317 (NOT IN): kind, operand, value list or null, query or null
 *   subquery     318, query node (a scalar subquery)
 *   ordering     320, expression, descending (null or 1) (an order-by item)
 *   limit        321, row count, offset or null
 *
 * A having or ON condition of the integer 0 is written NOT 1, as a where condition
 * is, since null there reads as absent.
 */
#ifndef QUENDRIX_QUERY_TREE_H
#define QUENDRIX_QUERY_TREE_H

#include "quendrix/server.h"

#ifdef __cplusplus
extern "C" {
#endif

enum qx_node_kind {
    QX_NODE_AND = 4,
    QX_NODE_OR = 5,
    QX_NODE_NOT = 6,
    QX_NODE_EQ = 9,
    QX_NODE_NE = 10,
    QX_NODE_LT = 11,
    QX_NODE_LE = 12,
    QX_NODE_GT = 13,
    QX_NODE_GE = 14,
    QX_NODE_EXISTS = 34,
    QX_NODE_QUERY = 100,
    QX_NODE_FROM_WHERE = 106,
    QX_NODE_FROM_ENTRY = 107,
    QX_NODE_TABLE = 200,
    QX_NODE_COLUMN = 201,
    QX_NODE_ADD = 300,
    QX_NODE_SUBTRACT = 301,
    QX_NODE_MULTIPLY = 302,
    QX_NODE_DIVIDE = 303,
    QX_NODE_MODULO = 304,
    QX_NODE_CONCAT = 305,
    QX_NODE_NEGATE = 306,
    QX_NODE_FUNCTION = 310,
    QX_NODE_ALIAS = 311,
    QX_NODE_IS_NULL = 312,
    QX_NODE_IS_NOT_NULL = 313,
    QX_NODE_LIKE = 314,
    QX_NODE_NOT_LIKE = 315,
    QX_NODE_IN = 316,
    QX_NODE_NOT_IN = 317,
    QX_NODE_SUBQUERY = 318,
    QX_NODE_ORDER = 320,
    QX_NODE_LIMIT = 321,
    QX_NODE_JOIN = 330,
    QX_NODE_LEFT_JOIN = 331
};

/* The parse tree of one select query:
 *   SELECT [DISTINCT | ALL] item, ...
 *     [FROM table [[AS] name] {, table [[AS] name] | [INNER | LEFT [OUTER] | CROSS]
 *           JOIN table [[AS] name] [ON condition]}...]
 *     [WHERE condition] [GROUP BY expression, ... [HAVING condition]]
 *     [ORDER BY expression [ASC | DESC], ...] [LIMIT expression [OFFSET expression]]
 * where an item is *, name.* or an expression with an optional [AS] alias. An
 * expression combines columns, literals, function calls (count(*), f(DISTINCT x)),
 * + - * / % ||, comparisons, IS [NOT] NULL, [NOT] LIKE ... [ESCAPE ...], [NOT] IN
 * (list or query), EXISTS (query), (query), AND, OR, NOT and parentheses, with
 * SQLite's precedence. Unquoted names are taken in upper case; a dotted table name
 * (DB.DBA.X) is one name. A query nested too deeply for the compiled text to be
 * read by SQLite is refused. Returns the tree (the caller's), or null with an error
 * value (SQL state 42000, the caller's) in *error_out. */
qx_value qx_query_parse(const char *sql, qx_value *error_out);

/* The query compiler: the SQL text of a query tree, as a string value (the
 * caller's), or null with an error value (SQL state 42000) in *error_out when the
 * tree is not a query of the shape above. It writes only the parentheses that
 * SQLite's operator precedence needs. */
qx_value qx_query_text(qx_value tree, qx_value *error_out);

#ifdef __cplusplus
}
#endif

#endif /* QUENDRIX_QUERY_TREE_H */
