// The test server of every listener-style test: the quendrix server of
// server_fixture.h with trusted clients (these tests are not about who logs in),
// with libpq helpers that show results as text and the raw client.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "raw_client.h"
#include "run_program.h"
#include "server_fixture.h"

namespace {

const std::string kQuendrix = QUENDRIX_PATH;
const std::string kPsql = PSQL_PATH;

// A test server whose clients are trusted (--auth trust).
class Server : public QuendrixServer {
public:
    explicit Server(const std::string &db, const std::vector<std::string> &extra_env = {})
        : Server(db, ServerOptions{{}, extra_env}) {}
    Server(const std::string &db, ServerOptions o) : QuendrixServer(db, trusted(std::move(o))) {}

private:
    static ServerOptions trusted(ServerOptions o) {
        o.args.insert(o.args.begin(), {"--auth", "trust"});
        return o;
    }
};

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

Conn connect(const Server &s, const std::string &extra = "") {
    return Conn(PQconnectdb(s.conninfo(extra).c_str()), PQfinish);
}

// A result as text: rows on lines, values separated by '|', NULL as "<null>";
// an error as "ERROR SQLSTATE: message".
std::string text_of(PGresult *r) {
    ExecStatusType st = PQresultStatus(r);
    if (st == PGRES_FATAL_ERROR) {
        return std::string("ERROR ") + PQresultErrorField(r, PG_DIAG_SQLSTATE) + ": " +
               PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
    }
    if (st == PGRES_EMPTY_QUERY) return "<empty>";
    if (st == PGRES_COMMAND_OK) return std::string("<") + PQcmdStatus(r) + ">";
    std::string out;
    for (int i = 0; i < PQntuples(r); ++i) {
        for (int j = 0; j < PQnfields(r); ++j) {
            if (j) out += '|';
            out += PQgetisnull(r, i, j) ? "<null>" : PQgetvalue(r, i, j);
        }
        out += '\n';
    }
    return out;
}

std::string exec(PGconn *c, const std::string &sql) {
    Result r(PQexec(c, sql.c_str()), PQclear);
    return text_of(r.get());
}

}  // namespace
