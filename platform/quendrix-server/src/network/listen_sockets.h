// The sockets the listener waits on: a TCP address and a Unix-domain socket named
// as PostgreSQL clients look for it (DIR/.s.PGSQL.PORT).
#pragma once

#include <sys/socket.h>

#include <string>

namespace qx {
namespace pg {

// A listening TCP socket on host:port (port 0: a free one, put in *bound_port);
// -1 with the reason when it cannot be opened.
int open_tcp_listener(const std::string &host, int port, int *bound_port, std::string *why);

// A listening Unix-domain socket DIR/.s.PGSQL.PORT, open to every local account
// (peer authentication decides who gets in). A socket file left by a server that
// is gone is replaced; one that a running server answers on is not.
int open_unix_listener(const std::string &dir, int port, std::string *path, std::string *why);

// Whether a peer address is a loopback one (127.0.0.0/8, ::1, or IPv4 mapped in IPv6).
bool is_loopback(const sockaddr_storage &address);

}  // namespace pg
}  // namespace qx
