// Internal interfaces shared by the parts of the server library.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "quendrix/server.h"
#include "sql/session_settings.h"
#include "sql/sql_lexer.h"

struct sqlite3;
struct sqlite3_value;
struct sqlite3_context;
struct qx_client;

namespace qx {
// One check of a connection's SQLite authorizer: answers SQLITE_OK, SQLITE_DENY or
// SQLITE_IGNORE for an action, with SQLite's four text arguments.
using AuthorizerCheck = int (*)(qx_client *client, int action, const char *arg1,
                                const char *arg2, const char *database, const char *trigger);
}  // namespace qx

// A client connection: one SQLite database handle, and who is using it. The shell
// is the local administrator (user number 0); a network session takes the number and
// flag of the user it authenticated as.
struct qx_client {
    sqlite3 *db = nullptr;
    int user_number = 0;
    bool is_admin = true;
    // The checks SQLite's authorizer asks, in order; see add_authorizer_check.
    std::vector<qx::AuthorizerCheck> authorizer_checks;
    // Row-level security (sql/row_security.cpp): the report tables the statement being
    // prepared may read, whether a statement is only being measured, what a refused read
    // was part of, and why the check last refused.
    std::vector<std::string> readable_reports;
    std::vector<std::string> views_read;
    bool row_security_probing = false;
    std::string *report_found = nullptr;  // set: a probe that notes the first report read
    std::string row_security_context;
    std::string row_security_denial;
    // What SET and SHOW set and show (sql/session_settings.h).
    qx::SessionSettings settings;
    // What current_database() says: the name a network client asked for (one
    // database is served under every name), or the shell's database file's name.
    std::string database_name;
    // When the running statement's statement_timeout runs out (CLOCK_MONOTONIC, ms; 0:
    // never), and whether it has (sql/statement_timeout.h). The statement's thread only.
    int64_t statement_deadline_ms = 0;
    bool statement_timed_out = false;
    long lock_wait_ms = 0;  // the wait for another connection's lock given to SQLite (0: its default)
    // What SQLite's progress handler asks to learn whether the running statement must
    // stop (a cancel, a timeout, a client gone): non-zero to stop. Long work inside one
    // function call asks it too.
    int (*should_stop)(void *) = nullptr;
    void *should_stop_arg = nullptr;
};

// The state of one built-in call in progress.
struct qx_state {
    const char *bif_name = "";
    qx_value *err_slot = nullptr;
    qx_client *client = nullptr;
    int args_given = 0;
    int args_fetched = 0;  // one past the highest argument index fetched
    qx_state *outer = nullptr;
};

namespace qx {

struct Builtin {
    std::string name;
    qx_bif_fn fn;
    const void *result_type;
};

// Makes an error value; `ap` supplies the format's arguments.
qx_value make_error_v(const char *sqlstate, const char *native_code, const char *fmt,
                      va_list ap);
// Raises an error in the built-in call in progress on this thread; outside any
// call the error is written to standard error.
void raise_current(const char *sqlstate, const char *native_code, const char *fmt, ...)
    QX_PRINTF(3, 4);

// Calls a built-in as the server does. Returns the result (the caller's) or null
// with an error value (the caller's) in *error_out.
qx_value invoke(qx_bif_fn fn, const char *name, qx_client *client, qx_value args,
                qx_value *error_out);

// A snapshot of the registered built-ins, in registration order.
std::vector<Builtin> builtins();

// Makes every registered built-in callable from SQL on this connection.
bool install_builtins(qx_client *client, std::string *error);

// The error texts that cross SQLite carry the SQL state and native code in front
// of the message; these encode and decode that form.
std::string encode_error(qx_value err);
struct SqlError {
    std::string state;
    std::string native_code;
    std::string message;
    // Where in the statement's text SQLite found the error (a byte offset, from 1; 0 when
    // it said nowhere), then, for a client, the character in its query (see error_position).
    long position = 0;
};
SqlError decode_error(const char *sqlite_message, int sqlite_code);
// The position clients are told of (PostgreSQL's: the character of the query text, from
// 1) for an error SQLite found `e.position` bytes into the statement that starts at
// `statement_at` in `query`; 0 when there is none or the server compiled another text.
// The text compiled may be the query with `inserted` text added ((where in the query,
// how many bytes), as resolve_qualified_names tells).
long error_position(const SqlError &e, const std::string &query, size_t statement_at, bool compiled_as_sent,
                    const std::vector<std::pair<size_t, size_t>> &inserted = {});
// Fails the SQL function call of `ctx` with `e`, in the form decode_error reads.
void result_sql_error(sqlite3_context *ctx, const SqlError &e);
// A value's text as SQLite gives it (its bytes, NULs included); empty for NULL.
std::string value_text(sqlite3_value *v);
// The most arguments a function call may have in SQL (the host SQLite's limit).
int function_argument_limit();

// Writes a value as the shell shows it; `nested` quotes text inside arrays.
void format_value(std::string &out, qx_value v, bool nested);

// Private serialization of server values into SQLite BLOBs. Slot vectors nest at
// most kMaxValueDepth deep; serialize gives an empty string for a deeper value.
constexpr int kMaxValueDepth = 1000;
std::string serialize(qx_value v);
// The value a BLOB carries, or null with *ok false when it is no serialized value.
qx_value deserialize(const void *bytes, size_t size, bool *ok);
// A compact form of values for bytes that this process writes and reads back itself
// (rows a portal holds): smaller than serialize's, with the same depth limit.
// append_compact appends v (false, with part of it appended, when it nests too
// deep); read_compact reads one value at *p and advances *p, or gives null and false
// for bytes that are no such value.
bool append_compact(std::string &out, qx_value v);
bool read_compact(const unsigned char **p, const unsigned char *end, qx_value *out);
// Unsigned LEB128 numbers, as the compact form writes its lengths.
void append_varint(std::string &out, uint64_t n);
bool read_varint(const unsigned char **p, const unsigned char *end, uint64_t *n);
// Whether bytes begin as serialized values do. A plain BLOB that does is kept in
// its serialized form while it is in SQLite, so that it reads back as a BLOB.
bool has_value_marker(const void *bytes, size_t size);
// `sql` with each BLOB literal whose bytes begin with the value marker replaced by
// the literal of that BLOB's serialized form; other text is left as it stands.
std::string escape_marked_blob_literals(const std::string &sql);

// Applies QUENDRIX_TEST_FAULTS from an environment vector.
void apply_test_faults(char **envp);

// Starts a server thread as qx_thread_start does, but never fails by an injected
// fault: the server's own threads (network connections) are not what tests target.
qx_thread *start_thread(void (*fn)(void *), size_t stack_size, void *arg);

}  // namespace qx

namespace qx {

// The server value of an SQL value; false when it exceeds the value size limit.
bool value_from_sqlite(sqlite3_value *v, qx_value *out);

// An open database with the built-ins installed, running statements for the shell.
class Session {
public:
    // How long a statement waits for a lock another connection holds.
    static constexpr int kBusyTimeoutMs = 5000;
    ~Session();
    // How open() makes sure that the file is a database.
    enum class Check {
        schema,     // read its schema, waiting for a lock another connection holds
        file_only,  // as schema, but a file locked by another connection is taken as a
                    // database and the connection's own set-up waits for ready()
    };
    // Opens (creating if needed) the database and checks that it is one.
    bool open(const std::string &path, SqlError *error, Check check = Check::schema);
    // Completes a set-up that open() left for later because the database was
    // locked; true at once when there is none.
    bool ready(SqlError *error);
    // Runs every statement of `sql`, printing result rows to `out`. Stops at the
    // first failing statement, prints the error to `err` and returns false.
    bool execute(const std::string &sql, FILE *out, FILE *err);
    sqlite3 *db() const { return client_.db; }
    qx_client *client() { return &client_; }
    // Whether each result set starts with a line of its column names.
    void set_headers(bool on) { headers_ = on; }
    bool headers() const { return headers_; }
    // A flag that a signal handler sets to cancel the running statement: rows stop
    // going out, and the statement's failure is reported as a cancel (57014).
    void set_cancel_flag(const volatile std::sig_atomic_t *flag) { cancel_ = flag; }

private:
    qx_client client_;
    bool headers_ = false;
    const volatile std::sig_atomic_t *cancel_ = nullptr;
    bool setup_pending_ = false;
};

void print_error(FILE *err, const SqlError &e);

// Serves statements and shell commands from standard input: interactively (a
// prompt, errors do not end the run, Ctrl-C cancels) when `interactive` or when
// it is a terminal, else in batch. Returns the exit status.
int serve_stdin(Session &session, bool interactive);

// Runs a shell command line (".headers on", ".tables", ...). False, with the error
// printed, when it fails; *quit is set by ".quit" and ".exit".
bool run_shell_command(Session &session, const std::string &line, FILE *out, FILE *err,
                       bool *quit);

// The server's own SQL functions: server_argv(), server_env(name), server_model().
void install_server_functions(sqlite3 *db, int argc, char **argv, char **envp);

}  // namespace qx

namespace qx {

// The statement text `sql` as SQLite must read it: each unquoted qualified name DB.DBA.X
// as the quoted table name "DB.DBA.X", and what PostgreSQL's clients write that SQLite
// does not know (pg_catalog.X, current_user, casts, $$ and E'' strings, SERIAL, ~, ILIKE,
// arrays, FOR UPDATE, ...) as what it does (see sql/qualified_names.cpp), leaving
// literals, quoted names and comments alone.
// When the text differs from `sql` only by the names it gives select-list items,
// *inserted (if asked for) says where they went in `sql` and how long each is; else it
// is left empty.
std::string resolve_qualified_names(const std::string &sql,
                                    std::vector<std::pair<size_t, size_t>> *inserted = nullptr);

// The select-list items of `sql` without an alias given the names PostgreSQL gives them
// (count(*) AS "count", 1::int AS "int4", a + 1 AS "?column?"); see
// sql/pg_column_names.cpp.
std::string name_select_items(const std::string &sql, std::vector<std::pair<size_t, size_t>> *inserted = nullptr);

// `sql` with ESCAPE '\' after each LIKE or ILIKE pattern that has no ESCAPE clause,
// since PostgreSQL's patterns escape with a backslash and SQLite's with nothing; the
// text itself when it has none. *inserted (if asked for) says where the clauses went in
// `sql` and how long each is (see sql/pg_like.cpp).
std::string add_like_escapes(const std::string &sql, std::vector<std::pair<size_t, size_t>> *inserted = nullptr);

// A select's OFFSET without LIMIT or before it, OFFSET n ROWS and FETCH FIRST n ROWS ONLY
// as SQLite's LIMIT n OFFSET m; the text itself when it has none (see
// sql/pg_limit_clauses.cpp).
std::string rewrite_limit_clauses(const std::string &sql);

// SELECT DISTINCT ON (keys) ... FROM one table as a select of the first row of each
// group; the text itself when it has none (see sql/pg_distinct_on.cpp).
std::string rewrite_distinct_on(const std::string &sql);

// EXPLAIN [ANALYZE] [VERBOSE] [(options)] statement, the tokens t[from, to) of `sql`, as a
// select of its plan from pg_query_plan, which install_query_plan() makes; empty when it
// is no such statement (see sql/pg_explain.cpp).
std::string explained_statement(const std::string &sql, const std::vector<SqlToken> &t, size_t from, size_t to);
bool install_query_plan(sqlite3 *db, std::string *error);

// PostgreSQL's statements that manage tables in forms SQLite lacks (DROP of several
// tables, TRUNCATE, VACUUM of a table, ALTER TABLE ADD PRIMARY KEY | UNIQUE, CREATE TABLE
// ... WITH (storage parameters)) as SQLite's statements; the text itself when it has none.
std::string rewrite_table_statements(const std::string &sql);

// FROM items as PostgreSQL writes them: subqueries and VALUES lists whose alias names
// their columns, unnest() and generate_series() as tables WITH ORDINALITY and such
// aliases (see sql/pg_from_items.cpp); the text itself when it has none.
std::string rewrite_from_items(const std::string &sql);

// Set-returning functions in a select list (unnest(x), generate_subscripts(x, 1),
// generate_series(...)) as the table-valued function they read, joined to the select's
// FROM clause; the text itself when it has none (see sql/pg_set_returning.cpp).
std::string rewrite_set_returning_items(const std::string &sql);

// string_agg() and array_agg() with ORDER BY or DISTINCT as calls of pg_ordered_agg(),
// which install_ordered_aggregates() makes; the text itself when it has none (see
// sql/pg_ordered_aggregates.cpp).
std::string rewrite_ordered_aggregates(const std::string &sql);
bool install_ordered_aggregates(sqlite3 *db, std::string *error);

// + and - of dates, times and intervals in `sql` as calls of pg_time_arith(); the text
// itself when it has none (see sql/pg_time_arithmetic.cpp).
std::string rewrite_time_arithmetic(const std::string &sql);
// date_part(), date_trunc(), make_date(), to_timestamp() and pg_time_arith() (see
// sql/pg_time_functions.cpp).
bool install_time_functions(sqlite3 *db, std::string *error);

// PostgreSQL's casts value::type in `sql` as calls that convert as PostgreSQL does
// (pg_cast_int4(value), CAST(value AS TEXT), ...); the text itself when it has none.
std::string rewrite_casts(const std::string &sql);
// The functions those calls name (pg_cast_int4(), ..., pg_cast_regclass()) and format_type().
bool install_cast_functions(sqlite3 *db, std::string *error);
// split_part(), lpad(), concat(), greatest(), random() in [0, 1) and PostgreSQL's other
// functions of text and numbers (see sql/pg_text_functions.cpp).
bool install_text_functions(sqlite3 *db, std::string *error);
// array_to_string(), array_upper(), string_agg(), generate_series(), and what ANY (array),
// ARRAY (subquery) and array[i] become (see sql/pg_arrays.cpp).
bool install_array_functions(sqlite3 *db, std::string *error);

// The name of the system account `uid`; false when the password database has none.
bool system_account_name(uid_t uid, std::string *name);

// version(), current_database(), current_schema(), current_user() and the like, as
// PostgreSQL's clients and tools ask for them.
bool install_postgres_functions(qx_client *client, std::string *error);

// The error value for SQLite's current error on `db` (result code `rc`).
qx_value error_from_sqlite(sqlite3 *db, int rc);

// Makes one server function callable from SQL on this connection in the
// calling form of built-ins, without registering it as a built-in.
bool install_function(qx_client *client, const char *name, qx_bif_fn fn, std::string *error);

// Adds a check to the connection's SQLite authorizer (installed with the first check).
// Every check is asked in turn: the first that denies decides, then the first that
// ignores; an action all checks allow is allowed.
void add_authorizer_check(qx_client *client, AuthorizerCheck check);

// The catalogue DB.DBA.SYS_KEYS and the query-tree functions on a connection.
bool install_catalogue(sqlite3 *db, std::string *error);
bool install_query_functions(qx_client *client, std::string *error);
bool install_row_security(qx_client *client, std::string *error);
// The part of PostgreSQL's catalogue drivers read (pg_type, pg_class, ...), as views
// (made again if they exist, as when a statement of a session first names one).
bool install_pg_catalogue(sqlite3 *db, std::string *error);
// Whether SQLite's error `message` is of a missing function that install_pg_catalogue
// makes ("no such function: quote_ident").
bool names_catalogue_function(const char *message);
inline bool install_query_support(qx_client *client, std::string *error) {
    return install_catalogue(client->db, error) && install_query_functions(client, error) &&
           install_row_security(client, error);
}

}  // namespace qx
