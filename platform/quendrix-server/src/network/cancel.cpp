// The registry of connections by BackendKeyData, and interrupting one of them.
#include "network/cancel.h"

#include <sqlite3.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "internal.h"
#include "sql/statement_timeout.h"

namespace {

std::mutex registry_lock;
std::vector<qx::pg::Connection *> registry;

// SQLite asks every so many virtual-machine steps; non-zero stops the
// statement with SQLITE_INTERRUPT. Unlike sqlite3_interrupt(), nothing lingers
// once the reason is gone.
int stop_if_interrupted(void *connection) {
    auto *c = static_cast<qx::pg::Connection *>(connection);
    return c->interrupted() != qx::pg::InterruptReason::none || qx::statement_timed_out(c->client);
}

constexpr int kStepsBetweenChecks = 1000;

}  // namespace

namespace qx {
namespace pg {

void Connection::interrupt(InterruptReason why) {
    std::lock_guard<std::mutex> guard(lock);
    // A cancel is for the query that runs now: an idle connection ignores it.
    if (why == InterruptReason::cancel && !running) return;
    // The weightier reason stays: shutdown over a departed client over a cancel.
    int want = static_cast<int>(why), now = reason.load();
    while (now < want && !reason.compare_exchange_weak(now, want)) {
    }
}

void Connection::begin_statement() {
    std::lock_guard<std::mutex> guard(lock);
    running = true;
    busy = true;
}

void Connection::end_statement() {
    std::lock_guard<std::mutex> guard(lock);
    running = false;
    busy = false;
    int expected = static_cast<int>(InterruptReason::cancel);
    reason.compare_exchange_strong(expected, static_cast<int>(InterruptReason::none));
}

void register_for_cancel(Connection *c) {
    std::lock_guard<std::mutex> lock(registry_lock);
    registry.push_back(c);
}

void unregister_for_cancel(Connection *c) {
    std::lock_guard<std::mutex> lock(registry_lock);
    registry.erase(std::remove(registry.begin(), registry.end(), c), registry.end());
}

void watch_for_interrupt(Connection *c, qx_client *client) {
    c->client = client;
    client->should_stop = stop_if_interrupted;
    client->should_stop_arg = c;
    sqlite3_progress_handler(client->db, kStepsBetweenChecks, stop_if_interrupted, c);
}

void unwatch_for_interrupt(sqlite3 *db) { sqlite3_progress_handler(db, 0, nullptr, nullptr); }

void cancel_request(int32_t process_id, int32_t secret_key) {
    std::lock_guard<std::mutex> lock(registry_lock);
    for (Connection *c : registry) {
        if (c->process_id != process_id || c->secret_key != secret_key) continue;
        c->interrupt(InterruptReason::cancel);
        return;
    }
}

RunningStatement::RunningStatement(Connection *c) : c_(c) { c_->begin_statement(); }

RunningStatement::~RunningStatement() { c_->end_statement(); }

}  // namespace pg
}  // namespace qx
