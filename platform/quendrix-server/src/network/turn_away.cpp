// Turning away the clients beyond the connection slots, the way PostgreSQL does.
#include "network/turn_away.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "network/cancel.h"
#include "network/pg_wire.h"

namespace {

constexpr size_t kMaxWaiting = 64;
constexpr auto kWaitLimit = std::chrono::seconds(5);
constexpr uint32_t kMaxStartup = 10000;
constexpr uint32_t kSslRequest = 80877103;
constexpr uint32_t kGssEncRequest = 80877104;
constexpr uint32_t kCancelRequest = 80877102;

void send_now(int fd, const std::string &bytes) {
    // The socket buffer of a fresh connection takes these few bytes at once.
    (void)send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

namespace qx {
namespace pg {

std::string fatal_error(const char *state, const std::string &message) {
    std::string out;
    Message m('E');
    m.byte('S').str("FATAL").byte('V').str("FATAL").byte('C').str(state).byte('M').str(message);
    m.byte('\0');
    m.finish(out);
    return out;
}

TurnAway::~TurnAway() {
    for (Waiting &w : waiting_) close(w.fd);
}

void TurnAway::add(int fd) {
    if (waiting_.size() >= kMaxWaiting) {
        close(fd);
        return;
    }
    waiting_.push_back({fd, {}, std::chrono::steady_clock::now() + kWaitLimit});
}

void TurnAway::watch(std::vector<pollfd> *fds) const {
    for (const Waiting &w : waiting_) fds->push_back({w.fd, POLLIN, 0});
}

bool TurnAway::serve(Waiting &w) {
    char buffer[1024];
    for (;;) {
        ssize_t got = recv(w.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got <= 0) return false;
        w.input.append(buffer, static_cast<size_t>(got));
        if (w.input.size() > kMaxStartup) return false;
    }
    while (w.input.size() >= 8) {
        uint32_t length = get32(w.input.data());
        if (length < 8 || length > kMaxStartup) return false;
        if (w.input.size() < length) break;
        uint32_t code = get32(w.input.data() + 4);
        if (code != kSslRequest && code != kGssEncRequest) {
            // A start-up packet gets the refusal. A cancel request is acted on, as
            // it is when a slot is free (the server being full is when clients most
            // want to cancel), and gets no answer.
            if (code >> 16 == 3) send_now(w.fd, fatal_error("53300", "sorry, too many clients already"));
            if (code == kCancelRequest && length >= 16)
                cancel_request(static_cast<int32_t>(get32(w.input.data() + 8)),
                               static_cast<int32_t>(get32(w.input.data() + 12)));
            return false;
        }
        send_now(w.fd, "N");
        w.input.erase(0, length);
    }
    return std::chrono::steady_clock::now() < w.deadline;
}

void TurnAway::step() {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (serve(*it)) {
            ++it;
        } else {
            close(it->fd);
            it = waiting_.erase(it);
        }
    }
}

}  // namespace pg
}  // namespace qx
