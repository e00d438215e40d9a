// Clients that arrive when every connection slot is taken. Each is read up to
// its start-up packet, so that a client asking for encryption first hears 'N'
// as usual and then the real reason, 53300 "sorry, too many clients already",
// as its start-up reply; a cancel request among them is still acted on. They
// are served from the listener's own loop, without threads; how many wait and
// for how long is bounded.
#pragma once

#include <poll.h>

#include <chrono>
#include <string>
#include <vector>

namespace qx {
namespace pg {

// An ErrorResponse of severity FATAL, ready to send.
std::string fatal_error(const char *state, const std::string &message);

class TurnAway {
public:
    ~TurnAway();
    // Takes the socket; closes it at once when too many clients wait already.
    void add(int fd);
    // The sockets to watch for input.
    void watch(std::vector<pollfd> *fds) const;
    // Reads what has arrived, answers, and closes the finished and the late.
    void step();

private:
    struct Waiting {
        int fd;
        std::string input;
        std::chrono::steady_clock::time_point deadline;
    };
    // False when the client is done with (answered or gone).
    bool serve(Waiting &w);

    std::vector<Waiting> waiting_;
};

}  // namespace pg
}  // namespace qx
