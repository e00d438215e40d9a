// Incremental, deadline-bounded reading of client messages.
#include "network/message_reader.h"

#include <algorithm>

#include "network/pg_wire.h"

namespace {

// A message body grows by at most this much per read.
constexpr size_t kChunk = 64 * 1024;
// Bodies larger than this are not kept once used.
constexpr size_t kKeepCapacity = 256 * 1024;
// What one read takes at most for small messages that may follow each other.
constexpr size_t kReadAhead = 8 * 1024;

}  // namespace

namespace qx {
namespace pg {

ReadStatus MessageReader::fill(char *into, size_t n, Clock::time_point &deadline) {
    while (n > 0) {
        if (ahead_at_ < ahead_.size()) {  // bytes an earlier read brought along
            size_t take = std::min(n, ahead_.size() - ahead_at_);
            std::copy_n(ahead_.data() + ahead_at_, take, into);
            ahead_at_ += take;
            into += take;
            n -= take;
            continue;
        }
        bool ahead = read_ahead_ && n < kReadAhead;
        if (ahead) ahead_.resize(kReadAhead);
        ssize_t got = io_.read_some(ahead ? &ahead_[0] : into, ahead ? kReadAhead : n, deadline);
        if (ahead) {
            ahead_.resize(got > 0 ? static_cast<size_t>(got) : 0);
            ahead_at_ = 0;
        }
        if (got == Transport::kTimedOut) return ReadStatus::timed_out;
        if (got <= 0) return ReadStatus::closed;
        if (silence_.count() > 0) deadline = Clock::now() + silence_;
        if (ahead) continue;
        into += got;
        n -= static_cast<size_t>(got);
    }
    return ReadStatus::ok;
}

ReadStatus MessageReader::body_of(uint32_t length, std::string *body,
                                  Clock::time_point &deadline) {
    body->clear();
    while (body->size() < length) {
        size_t at = body->size();
        size_t step = std::min(kChunk, static_cast<size_t>(length) - at);
        body->resize(at + step);
        ReadStatus s = fill(&(*body)[at], step, deadline);
        if (s != ReadStatus::ok) {
            release(body);
            return s;
        }
    }
    return ReadStatus::ok;
}

ReadStatus MessageReader::read_startup(std::string *body, Clock::time_point deadline) {
    char word[4];
    ReadStatus s = fill(word, sizeof word, deadline);
    if (s != ReadStatus::ok) return s;
    announced_ = get32(word);
    if (announced_ < 8) return ReadStatus::malformed;
    if (announced_ - 4 > max_body_) return ReadStatus::too_large;
    return body_of(announced_ - 4, body, deadline);
}

ReadStatus MessageReader::read_message(char *type, std::string *body, Clock::time_point deadline) {
    read_ahead_ = true;
    char header[5];
    ReadStatus s = fill(header, sizeof header, deadline);
    if (s != ReadStatus::ok) return s;
    *type = header[0];
    announced_ = get32(header + 1);
    if (announced_ < 4) return ReadStatus::malformed;
    if (announced_ - 4 > max_body_) return ReadStatus::too_large;
    return body_of(announced_ - 4, body, deadline);
}

void MessageReader::release(std::string *body) {
    if (body->capacity() > kKeepCapacity) std::string().swap(*body);
    else body->clear();
}

int MessageReader::executes_before_sync() const {
    int executes = 0;
    for (size_t at = ahead_at_; at + 5 <= ahead_.size();) {
        char type = ahead_[at];
        if (type == 'S') return executes;
        if (type == 'E') ++executes;
        uint32_t length = 0;
        for (int k = 1; k <= 4; ++k) length = length << 8 | static_cast<unsigned char>(ahead_[at + k]);
        if (length < 4) break;
        at += 1 + static_cast<size_t>(length);
    }
    return -1;
}

}  // namespace pg
}  // namespace qx
