// One client of the network front end: the start-up exchange (encryption and
// authentication), then the simple query protocol. Every statement runs through
// the same StatementRunner as the shell; only the sink differs.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <memory>
#include <vector>

#include "auth/users.h"
#include "network/authentication.h"
#include "network/cancel.h"
#include "network/copy.h"
#include "network/extended_query.h"
#include "network/inferred_types.h"
#include "network/message_reader.h"
#include "network/pg_listener.h"
#include "network/pg_output.h"
#include "network/pg_types.h"
#include "network/pg_wire.h"
#include "network/transaction_block.h"
#include "sql/statement_timeout.h"
#include "network/transport.h"
#include "sql/postgres_statements.h"
#include "sql/result_set.h"

namespace qx {
namespace pg {

bool write_all(int fd, const std::string &buffer) {
    size_t done = 0;
    while (done < buffer.size()) {
        ssize_t sent = send(fd, buffer.data() + done, buffer.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace pg
}  // namespace qx

namespace {

using qx::pg::Message;

constexpr int32_t kProtocol3 = 196608;  // 3.0
constexpr int32_t kSslRequest = 80877103;
constexpr int32_t kGssEncRequest = 80877104;
constexpr int32_t kCancelRequest = 80877102;
constexpr uint32_t kMaxStartup = 10000;

// A message type byte for an error text: the letter, or its code when it is none.
std::string type_name(char type) {
    if (std::isprint(static_cast<unsigned char>(type))) return std::string("'") + type + "'";
    return std::to_string(static_cast<unsigned char>(type));
}

// Rows are sent in batches of about this many bytes.
constexpr size_t kFlushAt = 64 * 1024;

class Client : public qx::pg::Output, public qx::pg::StatementGate, public qx::pg::CopySource {
public:
    explicit Client(qx::pg::Connection *c)
        : c_(c), io_(c->fd), reader_(io_, qx::pg::kMaxMessage) {}
    ~Client() override;

    void serve();

    // The output buffer, written out when it fills and whenever the server
    // waits for the client.
    bool queue(Message &m) override {
        m.finish(out_);
        return out_.size() < kFlushAt || flush();
    }
    bool flush() override {
        if (broken_) return false;
        if (!io_.write_all(out_)) broken_ = true;
        out_.clear();
        return !broken_;
    }

    void error(const qx::SqlError &e, const char *severity = "ERROR") override {
        // Once the client is gone or the server stops, the statement's own error
        // is moot: the connection ends (with 57P01 for a stop).
        if (!std::strcmp(severity, "ERROR") && lasting_interrupt()) return;
        Message m('E');
        m.byte('S').str(severity).byte('V').str(severity);
        // A wait for another connection's lock that ran out the session's lock_timeout
        // ends as PostgreSQL's does.
        bool lock_timeout = e.state == "40001" && e.message == "database is locked" &&
                            session_->client()->settings.lock_timeout_ms() > 0;
        m.byte('C').str(lock_timeout ? "55P03" : e.state.size() == 5 ? e.state : "XX000");
        // A message never carries a NUL: it would end the field early.
        std::string text = lock_timeout ? "canceling statement due to lock timeout"
                           : e.state == "57014" && qx::pg::cancelled(c_) ? "canceling statement due to user request"
                           : e.state == "57014" && session_->client()->statement_timed_out
                               ? qx::kStatementTimeoutMessage
                               : e.message;
        for (char &ch : text)
            if (ch == '\0') ch = '?';
        m.byte('M').str(text);
        if (!e.native_code.empty()) m.byte('D').str("native error code " + e.native_code);
        if (e.position > 0) m.byte('P').str(std::to_string(e.position));
        m.byte('\0');
        queue(m);
    }

    Decision before(sqlite3_stmt *stmt, qx::SqlError *error, std::string *tag) override;
    void after(bool ok) override;
    void upcoming(bool more_follow) override { more_follow_ = more_follow; }
    bool admit(qx::SqlError *error) override;
    bool block_failed() const override { return block_->status() == 'E'; }
    bool next_message(char *type, std::string *body) override { return read_message(type, body); }

private:
    bool startup();
    bool query(const std::string &sql);
    void ready();
    // ParameterStatus for each reported setting that changed (all of them at start-up).
    void report_settings();
    bool read_message(char *type, std::string *body);
    bool open_session();
    // The settings in the start-up's command-line options ("-c name=value" and
    // "--name=value", separated by blanks, a blank kept when a backslash escapes it);
    // other options are ignored.
    void add_startup_options(const std::string &options);
    // The logged-in user's identity and start-up settings on a session just opened.
    void become(const qx::pg::Identity &who);
    // DEALLOCATE and DISCARD, which reach the prepared statements and the session.
    Decision session_command(const qx::TransactionRequest &request, qx::SqlError *error, std::string *tag);
    // DISCARD ALL: a new session on the database, as just after the login (SQLite's
    // per-connection state, temporary tables and pragmas included, goes with the old
    // one). False, with the client told, when the database cannot be opened again.
    bool discard_all();
    bool lasting_interrupt() const {
        auto why = c_->interrupted();
        return why == qx::pg::InterruptReason::client_gone ||
               why == qx::pg::InterruptReason::shutdown;
    }
    // After a query: false when the connection ends because the client left or
    // the server stops (the client is told of the stop).
    bool go_on();

    qx::pg::Connection *c_;
    qx::pg::Transport io_;
    qx::pg::MessageReader reader_;
    std::unique_ptr<qx::Session> session_ = std::make_unique<qx::Session>();
    std::unique_ptr<qx::pg::TransactionBlock> block_;
    std::unique_ptr<qx::pg::ExtendedQuery> extended_;
    std::string out_;
    bool broken_ = false;
    bool rolled_back_ = false;  // a transaction rolled back since the last ReadyForQuery
    std::string user_;
    std::string database_;  // the start-up packet's database name
    std::vector<std::pair<std::string, std::string>> startup_settings_;  // the start-up packet's
    qx::pg::Identity who_;
    bool discard_pending_ = false;  // a DISCARD ALL ran: done before ReadyForQuery
    // More statements of the same query, or messages before the Sync, follow the one
    // about to run: outside a block they share a transaction.
    bool more_follow_ = false;
};

// Result sets as RowDescription, DataRow and CommandComplete messages. The
// description waits for the first row: computed columns take their types from it.
class WireSink : public qx::ResultSink {
public:
    explicit WireSink(Client *client) : client_(client) {}
    void own_result(sqlite3_stmt *stmt) override { stmt_ = stmt; }
    bool begin(const std::vector<std::string> &columns) override {
        columns_ = columns;
        types_.clear();
        return true;
    }
    bool row(int n, const qx_value *values) override {
        if (types_.empty() && !describe(values)) return false;
        Message m('D');
        m.int16(n);
        for (int i = 0; i < n; ++i)
            qx::pg::append_column(m, values[i], types_[static_cast<size_t>(i)], false, text_);
        return client_->queue(m);
    }
    void complete(const std::string &tag) override {
        if (!columns_.empty() && types_.empty()) describe(nullptr);
        columns_.clear();
        types_.clear();
        stmt_ = nullptr;
        Message m('C');
        m.str(tag);
        client_->queue(m);
    }

private:
    bool describe(const qx_value *first) {
        Message m('T');
        m.int16(static_cast<int>(columns_.size()));
        std::vector<std::string> names = stmt_ ? qx::pg::typing_names(stmt_) : columns_;
        for (size_t i = 0; i < columns_.size(); ++i) {
            const char *declared = stmt_ ? sqlite3_column_decltype(stmt_, static_cast<int>(i)) : nullptr;
            const char *name = i < names.size() ? names[i].c_str() : columns_[i].c_str();
            int32_t type = qx::pg::column_type(declared, first ? &first[i] : nullptr, name);
            types_.push_back(type);
            m.str(columns_[i]).int32(0).int16(0).int32(type);
            m.int16(qx::pg::type_length(type)).int32(-1).int16(0);
        }
        return client_->queue(m);
    }

    Client *client_;
    sqlite3_stmt *stmt_ = nullptr;
    std::vector<std::string> columns_;
    std::vector<int32_t> types_;
    std::string text_;
};

// Reads the next message, waiting at most the idle-session timeout. A read that
// goes wrong ends the connection; the client is told why when there is a why.
bool Client::read_message(char *type, std::string *body) {
    using Clock = qx::pg::MessageReader::Clock;
    // The idle timeout bounds the silence before and within a message: the server's, or
    // the session's own when that is shorter (a session cannot lift the server's).
    bool in_block = block_ && block_->status() != 'I';
    long idle = static_cast<long>(c_->settings->idle_session_timeout_s) * 1000;
    long own = session_->client()->settings.idle_timeout_ms(in_block);
    if (own > 0 && (idle == 0 || own < idle)) idle = own;
    reader_.set_silence_limit(std::chrono::milliseconds(idle));
    Clock::time_point deadline = idle > 0 ? Clock::now() + std::chrono::milliseconds(idle)
                                          : qx::pg::MessageReader::no_deadline();
    switch (reader_.read_message(type, body, deadline)) {
        case qx::pg::ReadStatus::ok:
            return true;
        case qx::pg::ReadStatus::timed_out:
            if (in_block)
                error({"25P03", "", "terminating connection due to idle-in-transaction timeout"},
                      "FATAL");
            else
                error({"57P05", "", "terminating connection due to idle-session timeout"}, "FATAL");
            break;
        case qx::pg::ReadStatus::too_large:
            error({"54000", "",
                   "message of " + std::to_string(reader_.announced()) +
                       " bytes exceeds the limit of " + std::to_string(qx::pg::kMaxMessage + 4) +
                       " bytes"},
                  "FATAL");
            break;
        case qx::pg::ReadStatus::malformed:
            error({"08P01", "", "invalid message length " + std::to_string(reader_.announced())},
                  "FATAL");
            break;
        case qx::pg::ReadStatus::closed:
            return false;
    }
    flush();
    return false;
}

bool Client::startup() {
    // The whole exchange has one deadline: encryption requests, the TLS
    // handshake and the authentication exchange included.
    auto deadline = qx::pg::MessageReader::Clock::now() +
                    std::chrono::seconds(c_->settings->startup_timeout_s);
    qx::pg::MessageReader startup_reader(io_, kMaxStartup);
    std::string body;
    for (;;) {
        if (startup_reader.read_startup(&body, deadline) != qx::pg::ReadStatus::ok) return false;
        int32_t code = static_cast<int32_t>(qx::pg::get32(body.data()));
        if (code == kSslRequest && c_->settings->tls && !io_.encrypted()) {
            out_ += 'S';
            std::string why;
            if (!flush() || !io_.start_tls(c_->settings->tls, deadline, &why)) return false;
            continue;
        }
        if (code == kSslRequest || code == kGssEncRequest) {
            out_ += 'N';  // no encryption: the client goes on in plain text or leaves
            if (!flush()) return false;
            continue;
        }
        if (code == kCancelRequest) {
            if (body.size() >= 12)
                qx::pg::cancel_request(static_cast<int32_t>(qx::pg::get32(body.data() + 4)),
                                       static_cast<int32_t>(qx::pg::get32(body.data() + 8)));
            // The requester gets no answer and waits for the end of the stream (psql
            // inside its SIGINT handler): end it now, not when the listener reaps.
            shutdown(c_->fd, SHUT_RDWR);
            return false;
        }
        if (code != kProtocol3) {
            error({"0A000", "", "unsupported frontend protocol " + std::to_string(code >> 16) +
                                    "." + std::to_string(code & 0xFFFF)},
                  "FATAL");
            flush();
            return false;
        }
        for (size_t at = 4; at < body.size() && body[at];) {
            std::string key = body.c_str() + at;
            at += key.size() + 1;
            if (at >= body.size()) break;
            std::string value = body.c_str() + at;
            at += value.size() + 1;
            if (key == "user") user_ = value;
            else if (key == "options") add_startup_options(value);
            else if (key == "database") database_ = value;
            else if (key != "replication") startup_settings_.emplace_back(key, value);
        }
        break;
    }

    // Clients from other hosts send passwords and data over networks: only in TLS.
    if (!c_->local_socket && !c_->loopback && !io_.encrypted()) {
        error({"28000", "", "connections from other hosts must use TLS (sslmode=require)"},
              "FATAL");
        flush();
        return false;
    }
    if (!open_session()) return false;
    qx::SqlError why;
    qx::pg::Identity who;
    if (!qx::pg::authenticate(io_, *c_, session_->db(), user_, deadline, &who, &why)) {
        if (!why.state.empty()) {
            error(why, "FATAL");
            flush();
        }
        return false;
    }
    become(who);
    report_settings();
    Message key('K');
    key.int32(c_->process_id).int32(c_->secret_key);
    queue(key);
    return true;
}

void Client::add_startup_options(const std::string &options) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < options.size(); ++i) {
        if (options[i] == '\\' && i + 1 < options.size()) {
            words.back() += options[++i];
        } else if (std::isspace(static_cast<unsigned char>(options[i]))) {
            if (!words.back().empty()) words.emplace_back();
        } else {
            words.back() += options[i];
        }
    }
    for (size_t i = 0; i < words.size(); ++i) {
        std::string setting;
        if (words[i] == "-c" && i + 1 < words.size()) setting = words[++i];
        else if (words[i].compare(0, 2, "-c") == 0) setting = words[i].substr(2);
        else if (words[i].compare(0, 2, "--") == 0) setting = words[i].substr(2);
        size_t equals = setting.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        std::string name = setting.substr(0, equals);
        for (char &ch : name) ch = ch == '-' ? '_' : ch;  // --statement-timeout=5s
        startup_settings_.emplace_back(name, setting.substr(equals + 1));
    }
}

void Client::become(const qx::pg::Identity &who) {
    who_ = who;
    session_->client()->user_number = who.user_number;
    session_->client()->is_admin = who.is_admin;
    qx::auth::restrict_network_client(session_->client());
    session_->client()->settings.start(user_, who.is_admin, startup_settings_);
    // Every name serves the one database; a client that names none asks for its user's.
    session_->client()->database_name = database_.empty() ? user_ : database_;
}

bool Client::discard_all() {
    // What holds the old session's statements goes first, then the session.
    extended_.reset();
    block_.reset();
    qx::pg::unwatch_for_interrupt(session_->db());
    sqlite3_rollback_hook(session_->db(), nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(c_->lock);
        c_->db = nullptr;
    }
    session_ = std::make_unique<qx::Session>();
    if (!open_session()) return false;
    become(who_);
    return true;
}

qx::StatementHooks::Decision Client::session_command(const qx::TransactionRequest &request, qx::SqlError *error,
                                                     std::string *tag) {
    *tag = qx::session_command_tag(request);
    if (request.kind == qx::TransactionRequest::deallocate) {
        if (request.name.empty()) {
            extended_->deallocate_all();
        } else if (!extended_->deallocate(request.name)) {
            *error = {"26000", "", "prepared statement \"" + request.name + "\" does not exist"};
            return Decision::refuse;
        }
        return Decision::settle;
    }
    if (request.name != "all") {
        return qx::run_session_command(session_->client(), request, error, tag) ? Decision::settle
                                                                                 : Decision::refuse;
    }
    if (!sqlite3_get_autocommit(session_->db())) {
        *error = {"25001", "", "DISCARD ALL cannot run inside a transaction block"};
        return Decision::refuse;
    }
    // The statement that runs it may be one of the prepared statements that go.
    discard_pending_ = true;
    return Decision::settle;
}

bool Client::open_session() {
    qx::SqlError why;
    // Opening the session reads no table, so a client holding the database
    // lock keeps no one out.
    if (!session_->open(c_->settings->database, &why, qx::Session::Check::file_only)) {
        error(why, "FATAL");
        flush();
        return false;
    }
    qx::install_server_functions(session_->db(), c_->settings->argc, c_->settings->argv,
                                 c_->settings->envp);
    // A statement stops soon after the connection is interrupted, whenever
    // the interrupt comes.
    qx::pg::watch_for_interrupt(c_, session_->client());
    // Cursors declared WITH HOLD in a transaction that rolls back go with it.
    sqlite3_rollback_hook(
        session_->db(), [](void *client) { static_cast<Client *>(client)->rolled_back_ = true; }, this);
    block_ = std::make_unique<qx::pg::TransactionBlock>(session_->db(), &session_->client()->settings);
    extended_ = std::make_unique<qx::pg::ExtendedQuery>(session_->client(), *this, *this);
    std::lock_guard<std::mutex> lock(c_->lock);
    c_->db = session_->db();
    return true;
}

Client::~Client() {
    // The session closes after this: its statements must no longer reach the
    // connection, and an open transaction rolls back with it.
    if (session_->db()) {
        qx::pg::unwatch_for_interrupt(session_->db());
        sqlite3_rollback_hook(session_->db(), nullptr, nullptr);
    }
}

bool Client::admit(qx::SqlError *error) {
    if (c_->interrupted() != qx::pg::InterruptReason::none) {
        *error = {"57014", "", "canceling statement due to user request"};
        return false;
    }
    return session_->ready(error);
}

bool Client::go_on() {
    switch (c_->interrupted()) {
        case qx::pg::InterruptReason::client_gone:
            return false;  // no one to tell
        case qx::pg::InterruptReason::shutdown:
            error({"57P01", "", "terminating connection due to administrator command"}, "FATAL");
            return false;
        default:
            return true;
    }
}

qx::StatementHooks::Decision Client::before(sqlite3_stmt *stmt, qx::SqlError *error,
                                            std::string *tag) {
    if (!admit(error)) return Decision::refuse;
    qx::TransactionRequest request = qx::transaction_request(sqlite3_sql(stmt));
    // In a failed block these are refused as every statement is.
    if ((request.kind == qx::TransactionRequest::discard || request.kind == qx::TransactionRequest::deallocate) &&
        block_->status() != 'E')
        return session_command(request, error, tag);
    if (more_follow_) block_->share_transaction(stmt);
    switch (block_->before(stmt, error, tag)) {
        case qx::pg::TransactionBlock::Action::refuse: return Decision::refuse;
        case qx::pg::TransactionBlock::Action::settle: return Decision::settle;
        default: return Decision::run;
    }
}

void Client::after(bool ok) { block_->after(ok); }

void Client::report_settings() {
    for (const auto &p : session_->client()->settings.changed_reports()) {
        Message m('S');
        m.str(p.first).str(p.second);
        queue(m);
    }
}

void Client::ready() {
    if (discard_pending_) {
        discard_pending_ = false;
        if (!discard_all()) {
            broken_ = true;
            return;
        }
    }
    if (sqlite3_get_autocommit(session_->db())) {
        extended_->end_of_transaction(rolled_back_);
        rolled_back_ = false;
    }
    report_settings();
    Message m('Z');
    m.byte(block_->status());
    queue(m);
    flush();
}

bool Client::query(const std::string &sql) {
    qx::pg::RunningStatement running(c_);
    qx::arm_statement_timeout(session_->client());  // the runner times each statement itself
    qx::pg::CopyCommand copy;
    qx::SqlError copy_error;
    if (qx::pg::parse_copy(sql, &copy, &copy_error)) {
        std::string tag;
        bool lost = false;
        if (!copy_error.state.empty()) {
            after(false);  // a malformed statement fails the block, as any does
        } else if (qx::pg::run_copy(copy, session_->client(), *this, *this, *this, &tag, &copy_error, &lost)) {
            Message done('C');
            done.str(tag);
            queue(done);
        } else if (lost) {
            return false;
        }
        if (!copy_error.state.empty()) error(copy_error);
        return go_on() && !broken_;
    }
    if (extended_->simple_cursor_command(sql)) return go_on() && !broken_;
    WireSink sink(this);
    qx::StatementRunner runner(session_->client(), &sink);
    runner.set_hooks(this);
    qx::SqlError e;
    int statements = 0;
    bool ok = runner.run(sql, &e, &statements);
    more_follow_ = false;
    if (!go_on()) return false;
    // The query's statements commit together (a failed one has undone them already).
    if (!block_->end_shared_transaction(ok, &e)) ok = false;
    if (!ok) {
        error(e);
    } else if (statements == 0) {
        Message empty('I');
        queue(empty);
    }
    return !broken_;
}

void Client::serve() {
    if (!startup()) return;
    ready();
    char type = 0;
    std::string body;
    bool skipping = false;  // after an error in an extended-protocol exchange, until Sync
    while (!broken_ && read_message(&type, &body)) {
        switch (type) {
            case 'Q':
                body.resize(std::strlen(body.c_str()));  // the text ends at its NUL
                if (!query(body)) return;
                qx::pg::MessageReader::release(&body);
                ready();
                break;
            case 'X':
                return;
            case 'S': {  // Sync ends an extended-protocol exchange and the transaction its statements share
                qx::SqlError e;
                if (!block_->end_shared_transaction(!skipping, &e)) error(e);
                skipping = false;
                ready();
                break;
            }
            case 'H':  // Flush
                if (!skipping) flush();
                break;
            case 'P':
            case 'B':
            case 'D':
            case 'E':
            case 'C':
                if (!skipping) {
                    // A statement whose Execute is the last before Sync runs alone, in its
                    // own transaction (a Bind or Describe may start it, its Execute to come).
                    more_follow_ = reader_.executes_before_sync() != (type == 'E' ? 0 : 1);
                    qx::pg::RunningStatement running(c_);
                    qx::arm_statement_timeout(session_->client());
                    skipping = !extended_->handle(type, body);
                    qx::disarm_statement_timeout(session_->client());
                    // The error goes out at once, as PostgreSQL sends it: a client may
                    // have sent Flush and wait for it before it sends Sync.
                    if (skipping) flush();
                    if (!go_on()) return;
                }
                break;
            case 'F':  // FunctionCall: a whole exchange of its own
                error({"0A000", "", "function calls are not supported: use a query"});
                ready();
                break;
            case 'd':  // CopyData, CopyDone and CopyFail outside COPY are ignored
            case 'c':
            case 'f':
                break;
            default:
                error({"08P01", "", "invalid frontend message type " + type_name(type)}, "FATAL");
                return;
        }
    }
}

}  // namespace

namespace qx {
namespace pg {

void serve_connection(Connection *c) {
    try {
        Client client(c);
        try {
            client.serve();
        } catch (const std::bad_alloc &) {
            // One client's failure to get memory ends that client, not the server.
            client.error({"53200", "", "out of memory"}, "FATAL");
        }
        client.flush();
        std::lock_guard<std::mutex> lock(c->lock);
        c->db = nullptr;  // the session closes when the client goes out of scope
    } catch (const std::bad_alloc &) {
        std::lock_guard<std::mutex> lock(c->lock);
        c->db = nullptr;
    }
    c->finished = true;
}

}  // namespace pg
}  // namespace qx
