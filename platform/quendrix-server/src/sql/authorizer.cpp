// A connection's SQLite authorizer: SQLite has one authorizer slot per connection, and
// several concerns (who may attach files, which tables a restricted user may read) each
// need a say, so the slot holds a chain of checks.
#include <sqlite3.h>

#include <algorithm>

#include "internal.h"

namespace qx {
namespace {

int ask_checks(void *arg, int action, const char *arg1, const char *arg2, const char *database,
               const char *trigger) {
    auto *client = static_cast<qx_client *>(arg);
    int answer = SQLITE_OK;
    for (AuthorizerCheck check : client->authorizer_checks) {
        int rc = check(client, action, arg1, arg2, database, trigger);
        if (rc == SQLITE_DENY) return SQLITE_DENY;
        if (rc == SQLITE_IGNORE) answer = SQLITE_IGNORE;
    }
    return answer;
}

}  // namespace

void add_authorizer_check(qx_client *client, AuthorizerCheck check) {
    auto &checks = client->authorizer_checks;
    if (std::find(checks.begin(), checks.end(), check) != checks.end()) return;
    checks.push_back(check);
    if (checks.size() == 1) sqlite3_set_authorizer(client->db, ask_checks, client);
}

}  // namespace qx
