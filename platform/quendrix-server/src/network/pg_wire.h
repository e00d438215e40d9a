// Messages of the PostgreSQL v3 wire protocol: building them into an output
// buffer, decoding their fields, and writing them to a plain socket.
#pragma once

#include <cstdint>
#include <string>

namespace qx {
namespace pg {

// The largest message body a client may send (a query text): bounds what one
// connection holds of its client's input. A longer message is answered with
// 54000 and ends the connection.
constexpr uint32_t kMaxMessage = 32u << 20;

// Builds one message: its type byte, a length word filled in by finish(), and
// big-endian fields.
class Message {
public:
    explicit Message(char type) { out_ += type; out_.append(4, '\0'); }
    Message &int16(int v) { return put(static_cast<uint32_t>(v), 2); }
    Message &int32(int64_t v) { return put(static_cast<uint32_t>(v), 4); }
    Message &str(const std::string &s) { out_ += s; out_ += '\0'; return *this; }
    Message &bytes(const std::string &s) { out_ += s; return *this; }
    Message &byte(char c) { out_ += c; return *this; }
    // Appends the finished message to `buffer`.
    void finish(std::string &buffer) {
        uint32_t length = static_cast<uint32_t>(out_.size() - 1);
        for (int i = 0; i < 4; ++i) out_[1 + i] = static_cast<char>(length >> (24 - 8 * i));
        buffer += out_;
    }

private:
    Message &put(uint32_t v, int width) {
        for (int i = width - 1; i >= 0; --i) out_ += static_cast<char>(v >> (8 * i));
        return *this;
    }
    std::string out_;
};

// An unsigned big-endian number of `width` bytes (at most 8).
inline uint64_t get_be(const char *p, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}

inline uint32_t get32(const char *p) {
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return (uint32_t)u[0] << 24 | (uint32_t)u[1] << 16 | (uint32_t)u[2] << 8 | u[3];
}

// Writes the whole buffer to a plain socket; false when the peer is gone.
bool write_all(int fd, const std::string &buffer);

}  // namespace pg
}  // namespace qx
