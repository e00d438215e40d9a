// One client of the network front end: the start-up exchange with trust
// authentication, then the simple query protocol. Every statement runs through
// the same StatementRunner as the shell; only the sink differs.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "network/cancel.h"
#include "network/extended_query.h"
#include "network/pg_listener.h"
#include "network/pg_output.h"
#include "network/pg_types.h"
#include "network/pg_wire.h"
#include "sql/result_set.h"

namespace qx {
namespace pg {

bool read_exact(int fd, char *buffer, size_t n) {
    while (n > 0) {
        ssize_t got = recv(fd, buffer, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

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
// Rows are sent in batches of about this many bytes.
constexpr size_t kFlushAt = 64 * 1024;

class Client : public qx::pg::Output {
public:
    explicit Client(qx::pg::Connection *c) : c_(c) {}

    void serve();

    // The output buffer, written out when it fills and whenever the server
    // waits for the client.
    bool queue(Message &m) override {
        m.finish(out_);
        return out_.size() < kFlushAt || flush();
    }
    bool flush() override {
        if (broken_) return false;
        if (!qx::pg::write_all(c_->fd, out_)) broken_ = true;
        out_.clear();
        return !broken_;
    }

    void error(const qx::SqlError &e, const char *severity = "ERROR") override {
        Message m('E');
        m.byte('S').str(severity).byte('V').str(severity);
        m.byte('C').str(e.state.size() == 5 ? e.state : "XX000");
        bool cancelled = e.state == "57014" && qx::pg::cancelled(c_);
        m.byte('M').str(cancelled ? "canceling statement due to user request" : e.message);
        if (!e.native_code.empty()) m.byte('D').str("native error code " + e.native_code);
        m.byte('\0');
        queue(m);
    }

private:
    bool startup();
    bool query(const std::string &sql);
    void ready();
    bool read_message(char *type, std::string *body);

    qx::pg::Connection *c_;
    qx::Session session_;
    std::unique_ptr<qx::pg::ExtendedQuery> extended_;
    std::string out_;
    bool broken_ = false;
    std::string user_, application_;
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
        for (int i = 0; i < n; ++i) {
            if (qx_tag_of(values[i]) == QX_TAG_NULL) {
                m.int32(-1);
                continue;
            }
            text_.clear();
            qx::pg::encode_value(text_, values[i], types_[static_cast<size_t>(i)], false);
            m.int32(static_cast<int64_t>(text_.size())).bytes(text_);
        }
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
        for (size_t i = 0; i < columns_.size(); ++i) {
            const char *declared = stmt_ ? sqlite3_column_decltype(stmt_, static_cast<int>(i)) : nullptr;
            int32_t type = qx::pg::column_type(declared, first ? first[i] : nullptr);
            types_.push_back(type);
            m.str(columns_[i]).int32(0).int16(0).int32(type);
            m.int16(type == qx::pg::kInt8Oid || type == qx::pg::kFloat8Oid ? 8 : -1).int32(-1).int16(0);
        }
        return client_->queue(m);
    }

    Client *client_;
    sqlite3_stmt *stmt_ = nullptr;
    std::vector<std::string> columns_;
    std::vector<int32_t> types_;
    std::string text_;
};

bool Client::read_message(char *type, std::string *body) {
    char header[5];
    if (!qx::pg::read_exact(c_->fd, header, sizeof header)) return false;
    *type = header[0];
    uint32_t length = qx::pg::get32(header + 1);
    if (length < 4 || length > qx::pg::kMaxMessage) {
        error({"08P01", "", "invalid message length " + std::to_string(length)}, "FATAL");
        flush();
        return false;
    }
    body->resize(length - 4);
    return qx::pg::read_exact(c_->fd, &(*body)[0], body->size());
}

bool Client::startup() {
    for (;;) {
        char word[4];
        if (!qx::pg::read_exact(c_->fd, word, 4)) return false;
        uint32_t length = qx::pg::get32(word);
        if (length < 8 || length > kMaxStartup) return false;
        std::string body(length - 4, '\0');
        if (!qx::pg::read_exact(c_->fd, &body[0], body.size())) return false;
        int32_t code = static_cast<int32_t>(qx::pg::get32(body.data()));
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
            if (key == "application_name") application_ = value;
        }
        break;
    }

    qx::SqlError why;
    if (!session_.open(c_->settings->database, &why)) {
        error(why, "FATAL");
        flush();
        return false;
    }
    qx::install_server_functions(session_.db(), c_->settings->argc, c_->settings->argv,
                                 c_->settings->envp);
    {
        std::lock_guard<std::mutex> lock(c_->lock);
        c_->db = session_.db();
    }
    qx::pg::watch_for_cancel(c_, session_.db());
    extended_ = std::make_unique<qx::pg::ExtendedQuery>(session_.client(), *this);

    Message ok('R');
    ok.int32(0);  // AuthenticationOk: clients on loopback are trusted
    queue(ok);
    const std::pair<const char *, std::string> parameters[] = {
        {"server_version", "15.0 (Quendrix server 0.1.0)"},
        {"server_encoding", "UTF8"},
        {"client_encoding", "UTF8"},
        {"DateStyle", "ISO, MDY"},
        {"integer_datetimes", "on"},
        {"standard_conforming_strings", "on"},
        {"TimeZone", "UTC"},
        {"IntervalStyle", "postgres"},
        {"is_superuser", "off"},
        {"session_authorization", user_},
        {"application_name", application_},
    };
    for (const auto &p : parameters) {
        Message m('S');
        m.str(p.first).str(p.second);
        queue(m);
    }
    Message key('K');
    key.int32(c_->process_id).int32(c_->secret_key);
    queue(key);
    return true;
}

void Client::ready() {
    if (sqlite3_get_autocommit(session_.db())) extended_->end_of_transaction();
    Message m('Z');
    m.byte(sqlite3_get_autocommit(session_.db()) ? 'I' : 'T');
    queue(m);
    flush();
}

bool Client::query(const std::string &sql) {
    qx::pg::RunningStatement running(c_);
    if (extended_->simple_cursor_command(sql)) return !broken_;
    WireSink sink(this);
    qx::StatementRunner runner(session_.client(), &sink);
    qx::SqlError e;
    int statements = 0;
    if (!runner.run(sql, &e, &statements)) {
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
                if (!query(std::string(body.c_str()))) return;
                ready();
                break;
            case 'X':
                return;
            case 'S':  // Sync ends an extended-protocol exchange
                skipping = false;
                ready();
                break;
            case 'H':  // Flush
                if (!skipping) flush();
                break;
            case 'P':
            case 'B':
            case 'D':
            case 'E':
            case 'C':
                if (!skipping) {
                    qx::pg::RunningStatement running(c_);
                    skipping = !extended_->handle(type, body);
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
                error({"08P01", "", std::string("invalid frontend message type ") +
                                        std::to_string(static_cast<unsigned char>(type))},
                      "FATAL");
                return;
        }
    }
}

}  // namespace

namespace qx {
namespace pg {

void serve_connection(Connection *c) {
    {
        Client client(c);
        client.serve();
        client.flush();
        std::lock_guard<std::mutex> lock(c->lock);
        c->db = nullptr;  // the session closes when the client goes out of scope
    }
    c->finished = true;
}

}  // namespace pg
}  // namespace qx
