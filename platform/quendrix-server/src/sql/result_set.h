// How the results of statements reach a client. The shell and the network
// listener run statements the same way and differ only in their ResultSink.
#pragma once

#include <string>
#include <vector>

#include "internal.h"

struct sqlite3_stmt;

namespace qx {

// Receives the result sets of the statements that a StatementRunner runs.
class ResultSink {
public:
    virtual ~ResultSink() = default;
    // A result set starts: called before its first row (and for a query that
    // yields no row). Columns are named; rows that built-ins send have the
    // columns "column1" ... "columnN".
    virtual bool begin(const std::vector<std::string> &columns) = 0;
    // Called before begin() when the result set is the statement's own rows, for a
    // sink that describes columns by their declared types.
    virtual void own_result(sqlite3_stmt *) {}
    // One row; the values stay the caller's. False when the client can take no
    // more rows.
    virtual bool row(int n, const qx_value *values) = 0;
    // A statement has completed; `tag` names what it did ("SELECT 3", "INSERT 0 1").
    virtual void complete(const std::string &tag) = 0;
};

// Consulted around each statement that a StatementRunner runs: a front end's
// rules about which statements may run (a failed transaction block, a server
// that is stopping).
class StatementHooks {
public:
    enum class Decision { run, refuse, settle };
    virtual ~StatementHooks() = default;
    // Before `stmt` runs: `refuse` fails it with *error; `settle` completes it
    // with *tag without running it.
    virtual Decision before(sqlite3_stmt *stmt, SqlError *error, std::string *tag) = 0;
    // Just before before(): whether more statements of the same text follow this one.
    virtual void upcoming(bool more_follow) { (void)more_follow; }
    // After a statement that ran (or was refused) ended, ok false when it failed;
    // and with false, without before(), after a statement that failed to compile.
    virtual void after(bool ok) = 0;
};

// Whether the statement at `s` is `call NAME(...)`; *at is where "call" starts.
bool is_call_statement(const char *s, size_t *at);

// What a statement did, in the form clients of the wire protocol expect.
std::string command_tag(sqlite3_stmt *stmt, bool call_form, bool result_set, long rows);

// Runs the statements of an SQL text on a connection, one at a time, streaming
// each statement's result set to the sink as it is produced.
//
// A statement's result set is either its own rows or the rows that built-ins
// send (ordinal 24) while it runs, whichever comes first: once a built-in has
// sent a row, the statement's own rows are dropped; once an own row has gone to
// the client, a built-in that sends a row fails. All rows of a result set have
// as many values as its first row. `call NAME(ARGS)` runs NAME as a statement of
// its own: its result set is only the rows it sends (none is none), and the value
// it returns is dropped.
class StatementRunner {
public:
    StatementRunner(qx_client *client, ResultSink *sink) : client_(client), sink_(sink) {}
    // Runs every statement of `sql`, stopping at the first that fails (its error
    // in *error). *statements counts the statements that started.
    bool run(const std::string &sql, SqlError *error, int *statements);
    void set_hooks(StatementHooks *hooks) { hooks_ = hooks; }

private:
    enum class Source { undecided, own, sent };
    friend void receive_row(void *context, int n, qx_value *values);
    bool run_one(sqlite3_stmt *stmt, bool call_form, SqlError *error);
    // Whether `stmt` is a SET or RESET of a setting, or a DISCARD or DEALLOCATE; if so it
    // is applied, with *tag its command tag or *error why it failed.
    bool settles_setting(sqlite3_stmt *stmt, SqlError *error, std::string *tag);
    void sent_row(int n, qx_value *values);
    void forward_row(int n, qx_value *values);

    qx_client *client_;
    ResultSink *sink_;
    StatementHooks *hooks_ = nullptr;
    Source source_ = Source::undecided;
    int columns_ = 0;
    long rows_ = 0;
    bool client_gone_ = false;
};

}  // namespace qx
