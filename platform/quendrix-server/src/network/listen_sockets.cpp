#include "network/listen_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qx {
namespace pg {

int open_tcp_listener(const std::string &host, int port, int *bound_port, std::string *why) {
    bool v6 = host.find(':') != std::string::npos;
    sockaddr_storage address{};
    socklen_t address_size;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        address_size = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &a->sin_addr);
        address_size = sizeof *a;
    }
    int listener = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (listener >= 0) setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), address_size) != 0 ||
        listen(listener, 64) != 0) {
        *why = std::strerror(errno);
        if (listener >= 0) close(listener);
        return -1;
    }
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &address_size);
    *bound_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                           : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    return listener;
}

int open_unix_listener(const std::string &dir, int port, std::string *path, std::string *why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    *path = dir + "/.s.PGSQL." + std::to_string(port);
    if (path->size() >= sizeof address.sun_path) {
        *why = "the socket path is too long";
        return -1;
    }
    std::memcpy(address.sun_path, path->c_str(), path->size() + 1);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        *why = std::strerror(errno);
        return -1;
    }
    struct stat existing;
    if (lstat(path->c_str(), &existing) == 0) {
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool answered = S_ISSOCK(existing.st_mode) && probe >= 0 &&
                        connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        if (probe >= 0) close(probe);
        if (answered || !S_ISSOCK(existing.st_mode)) {
            *why = answered ? "another server is listening on it" : "a file that is no socket has its name";
            close(listener);
            return -1;
        }
        unlink(path->c_str());
    }
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        chmod(path->c_str(), 0777) != 0 || listen(listener, 64) != 0) {
        *why = std::strerror(errno);
        close(listener);
        return -1;
    }
    return listener;
}

bool is_loopback(const sockaddr_storage &address) {
    if (address.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&address);
        return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&address);
        if (IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a->sin6_addr) && a->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

}  // namespace pg
}  // namespace qx
