#include "sql/statement_timeout.h"

#include <sqlite3.h>

#include <ctime>

#include "internal.h"

namespace qx {
namespace {

int64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// As often as the network's interrupt checks: a timed-out statement stops within
// about a millisecond of SQLite's work.
constexpr int kStepsBetweenChecks = 1000;

}  // namespace

void arm_statement_timeout(qx_client *client) {
    // lock_timeout: how long a statement waits for another connection's lock.
    long wait = client->settings.lock_timeout_ms();
    if (wait <= 0) wait = Session::kBusyTimeoutMs;
    if (wait != client->lock_wait_ms && client->db) {
        sqlite3_busy_timeout(client->db, static_cast<int>(wait));
        client->lock_wait_ms = wait;
    }
    long timeout = client->settings.statement_timeout_ms();
    client->statement_deadline_ms = timeout > 0 ? now_ms() + timeout : 0;
    client->statement_timed_out = false;
}

void disarm_statement_timeout(qx_client *client) { client->statement_deadline_ms = 0; }

bool statement_timed_out(qx_client *client) {
    if (client->statement_timed_out) return true;
    if (client->statement_deadline_ms == 0 || now_ms() < client->statement_deadline_ms) return false;
    client->statement_timed_out = true;
    return true;
}

void watch_statement_timeout(qx_client *client) {
    client->should_stop = [](void *c) { return statement_timed_out(static_cast<qx_client *>(c)) ? 1 : 0; };
    client->should_stop_arg = client;
    sqlite3_progress_handler(client->db, kStepsBetweenChecks, client->should_stop, client);
}

}  // namespace qx
