// A raw client socket of the PostgreSQL protocol, for what libpq would never
// send and for clients that stop where a test wants them to.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace {

// A raw client socket, for what libpq would never send. Reads wait at most 10 s.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) close_now();
        timeval wait{10, 0};
        if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    RawClient(RawClient &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    ~RawClient() { close_now(); }
    int fd() const { return fd_; }
    void close_now() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool send_bytes(const std::string &b) {
        return fd_ >= 0 && ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // One message: its type and body; type 0 when the stream ended or nothing came.
    std::pair<char, std::string> reply() {
        char header[5];
        if (!fill(header, 5)) return {0, ""};
        uint32_t length = be32(header + 1);
        if (length < 4 || length > (1u << 26)) return {0, ""};
        std::string body(length - 4, '\0');
        if (!fill(&body[0], body.size())) return {0, ""};
        return {header[0], body};
    }
    // Logs in and reads up to the first ReadyForQuery; false if it did not come.
    bool login() {
        if (!send_bytes(startup_packet())) return false;
        for (;;) {
            auto m = reply();
            if (m.first == 'Z') return true;
            if (m.first == 0 || m.first == 'E') return false;
        }
    }
    // Sends one message of the given type and body.
    bool send(char type, const std::string &body) {
        return send_bytes(type + word(static_cast<uint32_t>(body.size() + 4)) + body);
    }
    // The types of the messages that arrive up to ReadyForQuery (or `count`
    // messages); DataRow's first value and CommandComplete's tag in brackets,
    // "<eof>" when the stream ends or nothing comes.
    std::string until_ready(int count = 1 << 30) {
        std::string seen;
        for (int i = 0; i < count; ++i) {
            auto m = reply();
            if (m.first == 0) return seen + "<eof>";
            seen += m.first;
            if (m.first == 'D' && m.second.size() >= 6)
                seen += "(" + m.second.substr(6, be32(&m.second[2])) + ")";
            if (m.first == 'C') seen += "(" + std::string(m.second.c_str()) + ")";
            if (m.first == 'Z') break;
        }
        return seen;
    }
    // Whether the server ends the stream (after any messages) before `deadline`.
    bool closed_by_server(std::chrono::steady_clock::time_point deadline) {
        char b[256];
        while (std::chrono::steady_clock::now() < deadline) {
            ssize_t got = recv(fd_, b, sizeof b, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return true;
        }
        return false;
    }

    static uint32_t be32(const char *p) {
        const auto *u = reinterpret_cast<const unsigned char *>(p);
        return (uint32_t)u[0] << 24 | (uint32_t)u[1] << 16 | (uint32_t)u[2] << 8 | u[3];
    }
    static std::string word(uint32_t v) {
        std::string w(4, '\0');
        for (int i = 0; i < 4; ++i) w[i] = static_cast<char>(v >> (24 - 8 * i));
        return w;
    }
    static std::string startup_packet(const std::string &user = "tester") {
        std::string body = word(196608) + "user" + '\0' + user + '\0' + "database" + '\0' +
                           "x" + '\0' + '\0';
        return word(static_cast<uint32_t>(body.size() + 4)) + body;
    }
    static std::string ssl_request() { return word(8) + word(80877103); }
    // A message header announcing a body of `body` bytes.
    static std::string header(char type, uint32_t body) { return type + word(body + 4); }
    // A field of an ErrorResponse body.
    static std::string field(const std::string &body, char code) {
        for (size_t at = 0; at < body.size() && body[at];) {
            std::string value = body.c_str() + at + 1;
            if (body[at] == code) return value;
            at += value.size() + 2;
        }
        return "";
    }

private:
    bool fill(char *p, size_t n) {
        while (n > 0) {
            ssize_t got = recv(fd_, p, n, 0);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    int fd_ = -1;
};

}  // namespace
