#include "net/listen.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"

rlim_t listen_raise_fd_limit(rlim_t want) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur >= want) return rl.rlim_cur;
  rlimit up{want, rl.rlim_max > want ? rl.rlim_max : want};
  if (setrlimit(RLIMIT_NOFILE, &up) != 0) {  // the hard limit moves only for root
    up.rlim_cur = rl.rlim_max < want ? rl.rlim_max : want;
    up.rlim_max = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &up);
  }
  getrlimit(RLIMIT_NOFILE, &rl);
  return rl.rlim_cur;
}

namespace {

// A bound TCP socket; -1 with errno.
int open_listener(const sockaddr* sa, socklen_t len) {
  UniqueFd fd(socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return -1;
  int one = 1, zero = 0;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (sa->sa_family == AF_INET6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  if (bind(fd.get(), sa, len) != 0) return -1;
  return fd.release();
}

}  // namespace

bool listen_address(const std::string& name, unsigned port, sockaddr_storage* ss, socklen_t* len, bool v4_only) {
  *ss = sockaddr_storage{};
  if (name.empty()) {
    if (!v4_only) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(ss);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_any;
      in6->sin6_port = htons(static_cast<uint16_t>(port));
      *len = sizeof(sockaddr_in6);
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(ss);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_ANY);
      in->sin_port = htons(static_cast<uint16_t>(port));
      *len = sizeof(sockaddr_in);
    }
    return true;
  }
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(name.c_str(), service.c_str(), &hints, &res) != 0 || res == nullptr) return false;
  memcpy(ss, res->ai_addr, res->ai_addrlen);
  *len = res->ai_addrlen;
  freeaddrinfo(res);
  return true;
}

int listen_open_port(const std::string& addr, unsigned port, int* err) {
  sockaddr_storage ss;
  socklen_t len = 0;
  if (!listen_address(addr, port, &ss, &len, false)) {
    *err = EADDRNOTAVAIL;
    return -1;
  }
  int fd = open_listener(reinterpret_cast<sockaddr*>(&ss), len);
  if (fd < 0 && addr.empty() && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)) {
    listen_address(addr, port, &ss, &len, true);
    fd = open_listener(reinterpret_cast<sockaddr*>(&ss), len);
  }
  *err = errno;
  return fd;
}

bool listen_start(int fd) {
  for (int backlog = 256; backlog > 0; backlog /= 2)
    if (listen(fd, backlog) == 0) return true;
  return false;
}

int listen_open_unix(const std::string& path, mode_t mode) {
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof sun.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(sun.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return -1;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) {
    if (errno != EADDRINUSE) return -1;
    // A socket file is left behind by a server that died.  Replace it only
    // when nobody answers on it, so a second server never steals the
    // socket of a live one.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return -1;
    if (!S_ISSOCK(st.st_mode)) {
      errno = EEXIST;
      return -1;
    }
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return -1;
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0 || errno != ECONNREFUSED) {
      errno = EADDRINUSE;
      return -1;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) return -1;
  }
  // The socket file takes the umask's mode at bind; set the one asked for.
  if (chmod(path.c_str(), mode) != 0) {
    int e = errno;
    unlink(path.c_str());
    errno = e;
    return -1;
  }
  return fd.release();
}
