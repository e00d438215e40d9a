// Reading client messages from a connection's transport (plain or TLS): bytes
// are taken as they arrive and a message's buffer grows with them, so a length
// word alone claims no memory. Every wait has a deadline, so a client that
// sends nothing keeps nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "network/transport.h"

namespace qx {
namespace pg {

enum class ReadStatus {
    ok,
    closed,     // end of stream, a socket or TLS error, or a wait woken by shutdown()
    timed_out,  // the deadline passed first
    too_large,  // the length word announces more than the reader's bound
    malformed,  // the length word is too small to be a message
};

class MessageReader {
public:
    using Clock = Transport::Clock;
    // The deadline that never comes.
    static Clock::time_point no_deadline() { return Clock::time_point::max(); }

    // `max_body` bounds the bytes one message may carry.
    MessageReader(Transport &io, uint32_t max_body) : io_(io), max_body_(max_body) {}

    // A start-up packet (a length word, then the body) into *body.
    ReadStatus read_startup(std::string *body, Clock::time_point deadline);
    // A typed message into *type and *body.
    ReadStatus read_message(char *type, std::string *body, Clock::time_point deadline);
    // From now on, each arrival of bytes moves the deadline of the read under
    // way to this long after it: the deadline then bounds silence, not the
    // time a long message takes. Zero (the default) keeps deadlines fixed.
    void set_silence_limit(std::chrono::milliseconds limit) { silence_ = limit; }
    // How many Execute messages come before the next Sync among the messages that have
    // arrived already (drivers send Parse, Bind, Describe, Execute and Sync together);
    // -1 when no Sync has arrived.
    int executes_before_sync() const;
    // The length the last too_large or malformed message announced.
    uint32_t announced() const { return announced_; }

    // Hands back the memory of a large body once it has been used, so an idle
    // client holds no more than a small buffer.
    static void release(std::string *body);

private:
    ReadStatus fill(char *into, size_t n, Clock::time_point &deadline);
    ReadStatus body_of(uint32_t length, std::string *body, Clock::time_point &deadline);

    Transport &io_;
    uint32_t max_body_;
    uint32_t announced_ = 0;
    std::chrono::milliseconds silence_{0};
    // Bytes read past the message asked for: drivers send several small messages at
    // once (Bind, Execute, Sync), and one read for all of them saves a system call and
    // a wait per message. Only messages after the start-up read ahead, so that nothing
    // meant for the TLS handshake is ever taken from the socket here.
    bool read_ahead_ = false;
    std::string ahead_;
    size_t ahead_at_ = 0;
};

}  // namespace pg
}  // namespace qx
