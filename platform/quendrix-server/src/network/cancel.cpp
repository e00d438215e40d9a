// The registry of connections by BackendKeyData, and interrupting one of them.
#include "network/cancel.h"

#include <sqlite3.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

std::mutex registry_lock;
std::vector<qx::pg::Connection *> registry;

// SQLite asks every few thousand virtual-machine steps; non-zero stops the
// statement with SQLITE_INTERRUPT.
int stop_if_cancelled(void *connection) {
    return static_cast<qx::pg::Connection *>(connection)->cancel_requested.load() ? 1 : 0;
}

constexpr int kStepsBetweenChecks = 4096;

}  // namespace

namespace qx {
namespace pg {

void register_for_cancel(Connection *c) {
    std::lock_guard<std::mutex> lock(registry_lock);
    registry.push_back(c);
}

void unregister_for_cancel(Connection *c) {
    std::lock_guard<std::mutex> lock(registry_lock);
    registry.erase(std::remove(registry.begin(), registry.end(), c), registry.end());
}

void watch_for_cancel(Connection *c, sqlite3 *db) {
    sqlite3_progress_handler(db, kStepsBetweenChecks, stop_if_cancelled, c);
}

void cancel_request(int32_t process_id, int32_t secret_key) {
    std::lock_guard<std::mutex> lock(registry_lock);
    for (Connection *c : registry) {
        if (c->process_id != process_id || c->secret_key != secret_key) continue;
        std::lock_guard<std::mutex> connection_lock(c->lock);
        if (c->running) c->cancel_requested = true;
        return;
    }
}

RunningStatement::RunningStatement(Connection *c) : c_(c) {
    std::lock_guard<std::mutex> lock(c_->lock);
    c_->running = true;
    c_->cancel_requested = false;
}

RunningStatement::~RunningStatement() {
    std::lock_guard<std::mutex> lock(c_->lock);
    c_->running = false;
    c_->cancel_requested = false;
}

bool cancelled(Connection *c) {
    std::lock_guard<std::mutex> lock(c->lock);
    return c->cancel_requested;
}

}  // namespace pg
}  // namespace qx
