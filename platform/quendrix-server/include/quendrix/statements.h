/*
 * libquendrix-t: internal statements and cursors.
 *
 * A built-in runs SQL on the client connection of the query that called it:
 * compile the text (ordinal 200), run the statement (ordinal 202), read its rows
 * through the cursor the run produces (ordinals 203, 204), then free the cursor
 * (ordinal 205) and the statement (ordinal 201).
 *
 * Every text the server compiles (here, in the shell and in SQL) has its
 * qualified names DB.DBA.X resolved to the table "DB.DBA.X", so the server's
 * catalogue DB.DBA.SYS_KEYS and tables created as DB.DBA.X are reachable by
 * those names.
 */
#ifndef QUENDRIX_STATEMENTS_H
#define QUENDRIX_STATEMENTS_H

#include "quendrix/server.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_statement qx_statement;

/* A cursor over the rows of a running statement. The server keeps further
 * private fields after these three words. */
typedef struct qx_cursor {
    qx_statement *statement; /* the statement it reads; null once that is freed */
    qx_value row;            /* the current row, one slot per column; the cursor's */
    qx_value error;          /* an error value the statement met while reading, or null */
} qx_cursor;

/* ordinal 200: compiles one SQL statement for the client. Returns the statement,
 * or null with an error value stored in *err_slot (when err_slot is not null and
 * holds no error yet). A text of blanks and comments compiles to null and leaves
 * the slot empty. `flags` is reserved: pass 0. */
qx_statement *qx_sql_compile(const char *sql, qx_client *client, qx_value *err_slot, int flags);

/* ordinal 201: frees a statement; a cursor still open on it reads no more rows. */
void qx_sql_free(qx_statement *stmt);

/* ordinal 202: runs the statement. A statement that yields rows (one with result
 * columns) produces a cursor in *cursor_out, positioned before its first row, and
 * its rows are computed as they are fetched; any other statement (or any, when
 * cursor_out is null) runs to its end here and produces none. Returns null, or an
 * error value (the caller's) when the run failed; errors met while rows are
 * fetched go into the cursor's error word. `qst` is the query state of the calling
 * built-in (or null); `params` and `options` are reserved: pass null. A statement
 * runs through one cursor at a time. */
qx_value qx_sql_exec(qx_statement *stmt, qx_client *client, qx_cursor **cursor_out,
                     qx_state *qst, void *params, void *options);

/* ordinal 203: moves to the next row; nonzero if there is one. A fetch that meets
 * an error stores it in the error word and still returns nonzero, with no columns,
 * so that a reader who checks the error word after each fetch sees it; every
 * fetch after that returns 0. */
int qx_cursor_next(qx_cursor *cursor);

/* ordinal 204: column `column` (zero-based) of the current row; the value stays
 * the cursor's until its next row or its end. Null outside the row. */
qx_value qx_cursor_column(qx_cursor *cursor, int column);

/* ordinal 205: frees a cursor and the values it holds; null is ignored. */
void qx_cursor_free(qx_cursor *cursor);

/* Client connections for programs that use the server in-process (tests, tools):
 * opens a database (an SQLite file name or file: URI; ":memory:" for a private
 * one) with the built-ins, the catalogue and the query functions installed.
 * Null, with an error value in *error_out, when it cannot be opened. */
qx_client *qx_client_open(const char *database, qx_value *error_out);
void qx_client_close(qx_client *client);
/* Runs every statement of `sql` on the client, discarding rows; null or the error. */
qx_value qx_client_exec(qx_client *client, const char *sql);
/* As qx_bif_call, with `client` as the client of the call's query state. */
qx_value qx_bif_call_on(qx_client *client, qx_bif_fn fn, const char *bif_name, qx_value args,
                        qx_value *error_out);

/* Test hook: from now on, compiling exactly `sql` compiles `replacement` instead.
 * A null replacement removes the substitution; a null `sql` removes them all. */
void qx_test_substitute_statement(const char *sql, const char *replacement);

#ifdef __cplusplus
}
#endif

#endif /* QUENDRIX_STATEMENTS_H */
