// One client of the network front end: the start-up exchange (encryption and
// authentication), then the simple query protocol. Every statement runs through
// the same StatementRunner as the shell; only the sink differs.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "auth/users.h"
#include "network/authentication.h"
#include "network/pg_listener.h"
#include "network/pg_wire.h"
#include "network/transport.h"
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
constexpr int32_t kTextTypeOid = 25;
// Rows are sent in batches of about this many bytes.
constexpr size_t kFlushAt = 64 * 1024;

class Client {
public:
    explicit Client(qx::pg::Connection *c) : c_(c), io_(c->fd) {}

    void serve();

    // The output buffer, written out when it fills and whenever the server
    // waits for the client.
    bool queue(Message &m) {
        m.finish(out_);
        return out_.size() < kFlushAt || flush();
    }
    bool flush() {
        if (broken_) return false;
        if (!io_.write_all(out_)) broken_ = true;
        out_.clear();
        return !broken_;
    }

    void error(const qx::SqlError &e, const char *severity = "ERROR") {
        Message m('E');
        m.byte('S').str(severity).byte('V').str(severity);
        m.byte('C').str(e.state.size() == 5 ? e.state : "XX000");
        m.byte('M').str(e.message);
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
    qx::pg::Transport io_;
    qx::Session session_;
    std::string out_;
    bool broken_ = false;
    std::string user_, application_;
};

// Result sets as RowDescription, DataRow and CommandComplete messages.
class WireSink : public qx::ResultSink {
public:
    explicit WireSink(Client *client) : client_(client) {}
    bool begin(const std::vector<std::string> &columns) override {
        Message m('T');
        m.int16(static_cast<int>(columns.size()));
        for (const std::string &name : columns)
            m.str(name).int32(0).int16(0).int32(kTextTypeOid).int16(-1).int32(-1).int16(0);
        return client_->queue(m);
    }
    bool row(int n, const qx_value *values) override {
        Message m('D');
        m.int16(n);
        for (int i = 0; i < n; ++i) {
            if (qx_tag_of(values[i]) == QX_TAG_NULL) {
                m.int32(-1);
                continue;
            }
            text_.clear();
            qx::format_value(text_, values[i], false);
            m.int32(static_cast<int64_t>(text_.size())).bytes(text_);
        }
        return client_->queue(m);
    }
    void complete(const std::string &tag) override {
        Message m('C');
        m.str(tag);
        client_->queue(m);
    }

private:
    Client *client_;
    std::string text_;
};

bool Client::read_message(char *type, std::string *body) {
    char header[5];
    if (!io_.read_exact(header, sizeof header)) return false;
    *type = header[0];
    uint32_t length = qx::pg::get32(header + 1);
    if (length < 4 || length > qx::pg::kMaxMessage) {
        error({"08P01", "", "invalid message length " + std::to_string(length)}, "FATAL");
        flush();
        return false;
    }
    body->resize(length - 4);
    return io_.read_exact(&(*body)[0], body->size());
}

bool Client::startup() {
    for (;;) {
        char word[4];
        if (!io_.read_exact(word, 4)) return false;
        uint32_t length = qx::pg::get32(word);
        if (length < 8 || length > kMaxStartup) return false;
        std::string body(length - 4, '\0');
        if (!io_.read_exact(&body[0], body.size())) return false;
        int32_t code = static_cast<int32_t>(qx::pg::get32(body.data()));
        if (code == kSslRequest && c_->settings->tls && !io_.encrypted()) {
            out_ += 'S';
            std::string why;
            if (!flush() || !io_.start_tls(c_->settings->tls, &why)) return false;
            continue;
        }
        if (code == kSslRequest || code == kGssEncRequest) {
            out_ += 'N';  // no encryption: the client goes on in plain text or leaves
            if (!flush()) return false;
            continue;
        }
        if (code == kCancelRequest) return false;  // statements are not cancelled
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

    // Clients from other hosts send passwords and data over networks: only in TLS.
    if (!c_->local_socket && !c_->loopback && !io_.encrypted()) {
        error({"28000", "", "connections from other hosts must use TLS (sslmode=require)"},
              "FATAL");
        flush();
        return false;
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

    qx::pg::Identity who;
    if (!qx::pg::authenticate(io_, *c_, session_.db(), user_, &who, &why)) {
        if (!why.state.empty()) {
            error(why, "FATAL");
            flush();
        }
        return false;
    }
    session_.client()->user_number = who.user_number;
    session_.client()->is_admin = who.is_admin;
    qx::auth::restrict_network_client(session_.client());
    const std::pair<const char *, std::string> parameters[] = {
        {"server_version", "15.0 (Quendrix server 0.1.0)"},
        {"server_encoding", "UTF8"},
        {"client_encoding", "UTF8"},
        {"DateStyle", "ISO, MDY"},
        {"integer_datetimes", "on"},
        {"standard_conforming_strings", "on"},
        {"TimeZone", "UTC"},
        {"IntervalStyle", "postgres"},
        {"is_superuser", who.is_admin ? "on" : "off"},
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
    Message m('Z');
    m.byte(sqlite3_get_autocommit(session_.db()) ? 'I' : 'T');
    queue(m);
    flush();
}

bool Client::query(const std::string &sql) {
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
                flush();
                break;
            default:
                if (!skipping)
                    error({"0A000", "",
                           std::string("message type '") + type +
                               "' is not supported: use the simple query protocol"});
                skipping = true;
                if (type != 'P' && type != 'B' && type != 'D' && type != 'E' && type != 'C') {
                    ready();  // outside the extended protocol there is no Sync to wait for
                    skipping = false;
                }
                break;
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
