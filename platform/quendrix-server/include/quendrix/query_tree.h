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
    QX_NODE_COLUMN = 201
};

/* The parse tree of one select query:
 *   SELECT [DISTINCT | ALL] item, ... [FROM table [[AS] name], ...] [WHERE condition]
 * where an item is *, name.*, a column or a literal, and a condition combines
 * comparisons of columns and literals with AND, OR, NOT, parentheses and
 * EXISTS (query). Unquoted names are taken in upper case; a dotted table name
 * (DB.DBA.X) is one name. Returns the tree (the caller's), or null with an error
 * value (SQL state 42000, the caller's) in *error_out. */
qx_value qx_query_parse(const char *sql, qx_value *error_out);

/* The query compiler: the SQL text of a query tree, as a string value (the
 * caller's), or null with an error value (SQL state 42000) in *error_out when the
 * tree is not a query of the shape above. */
qx_value qx_query_text(qx_value tree, qx_value *error_out);

#ifdef __cplusplus
}
#endif

#endif /* QUENDRIX_QUERY_TREE_H */
