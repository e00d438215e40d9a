// A database session: opening the database, running statements and printing
// their rows the way the shell shows them.
#include <sqlite3.h>
#include <unistd.h>

#include <string>

#include "auth/users.h"
#include "sql/session_settings.h"
#include "sql/statement_timeout.h"
#include "sql/result_set.h"

namespace qx {

Session::~Session() {
    if (client_.db) sqlite3_close_v2(client_.db);
}

namespace {

bool locked(int rc) { return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED; }

// The session's own views over the database: they read its schema, so they wait
// for a lock another connection holds.
bool install_session_catalogue(qx_client *client, std::string *why) {
    return install_query_support(client, why) && auth::install_user_catalogue(client->db, why);
}

// The shell's user: the account it runs as (the server's account is its administrator).
std::string account_name() {
    std::string name;
    return system_account_name(geteuid(), &name) ? name : std::to_string(geteuid());
}

// The shell's database as current_database() names it: the file's name without its
// folder, URI query or extension.
std::string database_name(const std::string &path) {
    std::string name = path.compare(0, 5, "file:") == 0 ? path.substr(5) : path;
    name = name.substr(0, name.find('?'));
    name = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name.empty() ? "main" : name;
}

}  // namespace

bool Session::open(const std::string &path, SqlError *error, Check check) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI;
    int rc = sqlite3_open_v2(path.c_str(), &client_.db, flags, nullptr);
    std::string why;
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(client_.db, 1);
        sqlite3_busy_timeout(client_.db, check == Check::file_only ? 0 : Session::kBusyTimeoutMs);
        // Reading the schema finds a path that is no database (or a directory) now,
        // not at the first statement.
        rc = sqlite3_exec(client_.db, "PRAGMA schema_version", nullptr, nullptr, nullptr);
        if (check == Check::file_only && locked(rc)) {
            rc = SQLITE_OK;
            setup_pending_ = true;
        }
        sqlite3_busy_timeout(client_.db, Session::kBusyTimeoutMs);
    }
    if (rc != SQLITE_OK) {
        why = client_.db ? sqlite3_errmsg(client_.db) : sqlite3_errstr(rc);
    } else if (!install_builtins(&client_, &why) || !install_setting_functions(&client_, &why) ||
               !install_postgres_functions(&client_, &why) ||
               (!setup_pending_ && !install_session_catalogue(&client_, &why))) {
        rc = SQLITE_ERROR;
    }
    // The shell's session is the local administrator's; a network session says who it is
    // once it has logged in.
    client_.settings.start(account_name(), client_.is_admin, {});
    client_.database_name = database_name(path);
    if (client_.db) watch_statement_timeout(&client_);
    if (rc == SQLITE_OK) return true;
    if (error) {
        *error = decode_error(why.c_str(), rc == SQLITE_ERROR ? SQLITE_CANTOPEN : rc);
        error->message = "cannot open database \"" + path + "\": " + error->message;
    }
    sqlite3_close_v2(client_.db);
    client_.db = nullptr;
    return false;
}

bool Session::ready(SqlError *error) {
    if (!setup_pending_) return true;
    std::string why;
    if (!install_session_catalogue(&client_, &why)) {
        int rc = sqlite3_extended_errcode(client_.db);
        *error = decode_error(locked(rc) ? sqlite3_errmsg(client_.db) : why.c_str(), rc);
        return false;
    }
    setup_pending_ = false;
    return true;
}

namespace {

// The shell's form of a result set: one line per row, '|' between columns, after
// a line of column names when headers are on. A cancel stops the rows.
class ShellSink : public ResultSink {
public:
    ShellSink(FILE *out, bool headers, const volatile std::sig_atomic_t *cancel)
        : out_(out), headers_(headers), cancel_(cancel) {}
    bool begin(const std::vector<std::string> &columns) override {
        if (!headers_) return true;
        line_.clear();
        for (size_t i = 0; i < columns.size(); ++i) {
            if (i) line_ += '|';
            line_ += columns[i];
        }
        line_ += '\n';
        return std::fwrite(line_.data(), 1, line_.size(), out_) == line_.size();
    }
    bool row(int n, const qx_value *values) override {
        if (cancel_ && *cancel_) return false;
        line_.clear();
        for (int i = 0; i < n; ++i) {
            if (i) line_ += '|';
            format_value(line_, values[i], false);
        }
        line_ += '\n';
        return std::fwrite(line_.data(), 1, line_.size(), out_) == line_.size();
    }
    void complete(const std::string &) override { std::fflush(out_); }

private:
    FILE *out_;
    bool headers_;
    const volatile std::sig_atomic_t *cancel_;
    std::string line_;
};

}  // namespace

bool Session::execute(const std::string &sql, FILE *out, FILE *err) {
    ShellSink sink(out, headers_, cancel_);
    StatementRunner runner(&client_, &sink);
    SqlError error;
    int statements = 0;
    bool ok = runner.run(sql, &error, &statements);
    std::fflush(out);
    // However the cancel met the statement (SQLite interrupted, or rows refused),
    // the client is told the statement was cancelled, in PostgreSQL's words.
    if (!ok && cancel_ && *cancel_) error = {"57014", "", "canceling statement due to user request"};
    else if (!ok && error.state == "57014" && client_.statement_timed_out) error = {"57014", "", kStatementTimeoutMessage};
    if (!ok) print_error(err, error);
    return ok;
}

void print_error(FILE *err, const SqlError &e) {
    if (e.native_code.empty())
        std::fprintf(err, "*** Error %s: %s\n", e.state.c_str(), e.message.c_str());
    else
        std::fprintf(err, "*** Error %s: [%s] %s\n", e.state.c_str(), e.native_code.c_str(),
                     e.message.c_str());
    std::fflush(err);
}

}  // namespace qx
