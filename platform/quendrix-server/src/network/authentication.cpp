#include "network/authentication.h"

#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>


#include "auth/scram.h"
#include "auth/users.h"
#include "network/message_reader.h"
#include "network/pg_wire.h"

namespace qx {
namespace pg {
namespace {

constexpr int32_t kAuthenticationOk = 0;
constexpr int32_t kAuthenticationSasl = 10;
constexpr int32_t kAuthenticationSaslContinue = 11;
constexpr int32_t kAuthenticationSaslFinal = 12;
constexpr const char *kMechanism = "SCRAM-SHA-256";
// SASL messages are a few hundred bytes: an unauthenticated client gets no more.
constexpr uint32_t kMaxAuthMessage = 4096;

bool send_auth(Transport &io, int32_t code, const std::string &data = "") {
    std::string out;
    Message m('R');
    m.int32(code).bytes(data);
    m.finish(out);
    return io.write_all(out);
}

// Reads the client's next PasswordMessage/SASLResponse ('p') before the start-up
// deadline. False with an empty state when the client has left or the deadline
// passed, else with the protocol error.
bool read_password_message(Transport &io, Transport::Clock::time_point deadline,
                           std::string *body, SqlError *refusal) {
    MessageReader reader(io, kMaxAuthMessage);
    char type = 0;
    switch (reader.read_message(&type, body, deadline)) {
        case ReadStatus::ok:
            break;
        case ReadStatus::too_large:
        case ReadStatus::malformed:
            *refusal = {"08P01", "", "invalid message length " + std::to_string(reader.announced())};
            return false;
        default:
            return false;
    }
    if (type != 'p') {
        *refusal = {"08P01", "", std::string("expected SASL response, got message type ") +
                                     std::to_string(static_cast<unsigned char>(type))};
        return false;
    }
    return true;
}

SqlError password_failed(const std::string &user) {
    return {"28P01", "", "password authentication failed for user \"" + user + "\""};
}

// The users table cannot be read now (its file is locked or damaged): a client
// should try again later, and must not be told its password was wrong.
SqlError cannot_read_users(const std::string &why) {
    return {"57P03", "", "the server cannot read its users now: " + why};
}

bool scram(Transport &io, Transport::Clock::time_point deadline, sqlite3 *db, const std::string &user, Identity *who, SqlError *refusal) {
    auth::User u;
    auth::ScramVerifier verifier;
    std::string unreadable;
    auth::UserLookup lookup = auth::lookup_user(db, user, &u, &unreadable);
    if (lookup == auth::UserLookup::failed) {
        *refusal = cannot_read_users(unreadable);
        return false;
    }
    bool genuine = lookup == auth::UserLookup::found && auth::parse_scram_verifier(u.verifier, &verifier);
    if (!genuine) verifier = auth::mock_verifier(user);
    auth::ScramServer server(verifier, genuine);

    std::string mechanisms = std::string(kMechanism) + '\0' + '\0';
    std::string body, reply, why;
    if (!send_auth(io, kAuthenticationSasl, mechanisms) ||
        !read_password_message(io, deadline, &body, refusal))
        return false;
    // SASLInitialResponse: the mechanism, then the length of the data (-1: none) and the data.
    size_t nul = body.find('\0');
    if (nul == std::string::npos || body.size() < nul + 5) {
        *refusal = {"08P01", "", "malformed SASL initial response"};
        return false;
    }
    if (body.compare(0, nul, kMechanism) != 0) {
        *refusal = {"28000", "", "client selected an invalid SASL authentication mechanism"};
        return false;
    }
    int32_t length = static_cast<int32_t>(get32(body.data() + nul + 1));
    if (length < 0 || static_cast<size_t>(length) != body.size() - nul - 5) {
        *refusal = {"08P01", "", "malformed SASL initial response"};
        return false;
    }
    if (!server.first(body.substr(nul + 5), &reply, &why)) {
        *refusal = {"08P01", "", why};
        return false;
    }
    if (!send_auth(io, kAuthenticationSaslContinue, reply) ||
        !read_password_message(io, deadline, &body, refusal))
        return false;
    bool bad_proof = false;
    if (!server.final(body, &reply, &bad_proof, &why)) {
        *refusal = bad_proof ? password_failed(user) : SqlError{"08P01", "", why};
        return false;
    }
    if (!send_auth(io, kAuthenticationSaslFinal, reply)) return false;
    who->user_number = u.number;
    who->is_admin = u.is_admin;
    return true;
}

// The account of the process at the other end of a Unix socket.
bool peer_account(int fd, uid_t *uid, std::string *name) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
    *uid = credentials.uid;
    return qx::system_account_name(credentials.uid, name);
}

// Peer authentication: the client's account must be the one asked for, and be the
// server's own account (the local administrator) or a user of the same name.
bool peer(const Connection &c, sqlite3 *db, const std::string &user, Identity *who,
          SqlError *refusal) {
    uid_t uid = 0;
    std::string account;
    auth::User u;
    if (peer_account(c.fd, &uid, &account) && account == user) {
        if (uid == geteuid()) {
            *who = Identity{0, true};
            return true;
        }
        std::string unreadable;
        auth::UserLookup lookup = auth::lookup_user(db, user, &u, &unreadable);
        if (lookup == auth::UserLookup::failed) {
            *refusal = cannot_read_users(unreadable);
            return false;
        }
        if (lookup == auth::UserLookup::found) {
            *who = Identity{u.number, u.is_admin};
            return true;
        }
    }
    *refusal = {"28000", "", "Peer authentication failed for user \"" + user + "\""};
    return false;
}

}  // namespace

bool authenticate(Transport &io, const Connection &c, sqlite3 *db, const std::string &user,
                  Transport::Clock::time_point deadline, Identity *who, SqlError *refusal) {
    *refusal = {};
    if (user.empty()) {
        *refusal = {"28000", "", "no user name specified in startup packet"};
        return false;
    }
    bool ok;
    if (c.settings->auth == AuthMethod::trust) {
        // A user of the database keeps his number and flag; any other name is the
        // local administrator, as before users existed. The look-up does not wait
        // for a lock another client holds: under trust a name is only a choice,
        // and logging in must not hang on a transaction left open.
        auth::User u;
        sqlite3_busy_timeout(db, 0);
        bool known = auth::find_user(db, user, &u);
        sqlite3_busy_timeout(db, Session::kBusyTimeoutMs);
        *who = known ? Identity{u.number, u.is_admin} : Identity{0, true};
        ok = true;
    } else if (c.local_socket) {
        ok = peer(c, db, user, who, refusal);
    } else {
        ok = scram(io, deadline, db, user, who, refusal);
    }
    return ok && send_auth(io, kAuthenticationOk);
}

}  // namespace pg
}  // namespace qx
