// Listening sockets of the servers: TCP ports, Unix sockets, and the
// descriptor limit a server needs for its sessions.
//
// Every socket is made close-on-exec.  Functions report failure as -1 (or
// false) with errno set; they log nothing: the caller knows which port or
// path the operator must be told about.  Called at start-up only, before
// the event loop runs.
#pragma once

#include <sys/resource.h>
#include <sys/socket.h>

#include <string>

// Raises the descriptor limit towards want (the hard limit moves only for
// root); the limit obtained, 0 when it cannot be read.
rlim_t listen_raise_fd_limit(rlim_t want);

// The listen address of a port: any (IPv6 with IPv4 mapped, or IPv4 when
// v4_only), or the first address name resolves to.  False when the name
// does not resolve.
bool listen_address(const std::string& name, unsigned port, sockaddr_storage* ss, socklen_t* len, bool v4_only);

// A TCP socket bound to port on addr ("" for any: IPv6 and IPv4 where the
// host has IPv6, else IPv4), not yet listening; -1 with *err (errno).
int listen_open_port(const std::string& addr, unsigned port, int* err);

// listen() with the largest backlog the system grants, up to 256.
bool listen_start(int fd);

// A Unix stream socket bound at path with the given mode, not yet
// listening; -1 with errno.  A socket file left at path by a server that
// is gone (nobody accepts on it) is replaced; a live one, or a file of
// another type, is left alone (EADDRINUSE / EEXIST).
int listen_open_unix(const std::string& path, mode_t mode);
