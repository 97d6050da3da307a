// Delivery rate of orvlmtpd against orvdeliver started once per message,
// measured alternately in one run against the same running store.
//
// Usage: lmtp_bench -s SOCKET -D ORVDELIVER -u USER[,USER...] [-n MESSAGES]
//                   [-r ROUNDS] [-b BODY_OCTETS] [-c CONNECTIONS] [-S PEER_SOCKET]
//   Each round delivers MESSAGES messages (one recipient each, the users
//   taken in turn) first over LMTP through CONNECTIONS connections
//   (default 8), then with CONNECTIONS workers that each start orvdeliver
//   for one message at a time.  Prints the rate of each round and the
//   ratio of the totals (goal: >= 5).  With -S, each round also delivers
//   the messages to another LMTP server on that socket (the same users),
//   between the two, and the ratio against it is printed too (goal: >= 2).
//   The configuration is the caller's
//   ($ORV_CONFIG, read by orvdeliver); bench/lmtp_bench.sh sets up a store.
// Not part of the system: a failure prints a line and the exit status is 1.
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Options {
  std::string socket, deliver, peer;
  std::vector<std::string> users;
  int messages = 2000;
  int rounds = 3;
  int body = 4000;
  int conns = 8;
};

std::string make_message(int body) {
  std::string m = "From: bench@example.com\r\nTo: someone@example.org\r\nSubject: lmtp bench\r\n\r\n";
  std::string line(70, 'x');
  while (static_cast<int>(m.size()) < body) m += line + "\r\n";
  return m;
}

class Conn {
 public:
  bool open(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) return false;
    return reply(nullptr) == 220 && send("LHLO bench\r\n") && reply(nullptr) == 250;
  }
  ~Conn() {
    if (fd_ >= 0) close(fd_);
  }
  bool send(const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = write(fd_, s.data() + off, s.size() - off);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // The code of the next reply (multi-line replies read whole); -1 on EOF.
  int reply(std::string* text) {
    for (;;) {
      size_t lf = buf_.find("\r\n");
      if (lf != std::string::npos) {
        std::string line = buf_.substr(0, lf);
        buf_.erase(0, lf + 2);
        if (line.size() >= 4 && line[3] == '-') continue;
        if (text) *text = line;
        return line.size() >= 3 ? atoi(line.substr(0, 3).c_str()) : -1;
      }
      char tmp[4096];
      ssize_t n = read(fd_, tmp, sizeof tmp);
      if (n <= 0) return -1;
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buf_;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One LMTP round: the messages over opts.conns connections, pipelined
// MAIL/RCPT/DATA per message.  Deliveries per second, or -1.
double lmtp_round(const Options& o, const std::string& socket_path, const std::string& msg) {
  std::atomic<int> next{0}, failed{0};
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < o.conns; ++c) {
    threads.emplace_back([&] {
      Conn conn;
      if (!conn.open(socket_path)) {
        ++failed;
        return;
      }
      for (int i; (i = next++) < o.messages;) {
        const std::string& user = o.users[static_cast<size_t>(i) % o.users.size()];
        std::string text;
        if (!conn.send("MAIL FROM:<bench@example.com>\r\nRCPT TO:<" + user + "@example.org>\r\nDATA\r\n") ||
            conn.reply(&text) != 250 || conn.reply(&text) != 250 || conn.reply(&text) != 354 ||
            !conn.send(msg + ".\r\n") || conn.reply(&text) != 250) {
          fprintf(stderr, "lmtp_bench: LMTP delivery failed: %s\n", text.c_str());
          ++failed;
          return;
        }
      }
      conn.send("QUIT\r\n");
    });
  }
  for (auto& t : threads) t.join();
  double secs = seconds_since(t0);
  return failed ? -1 : o.messages / secs;
}

// One orvdeliver round: opts.conns workers, each starting orvdeliver once
// per message.  Deliveries per second, or -1.
double deliver_round(const Options& o, const std::string& msg) {
  std::atomic<int> next{0}, failed{0};
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < o.conns; ++c) {
    threads.emplace_back([&] {
      for (int i; (i = next++) < o.messages;) {
        const std::string& user = o.users[static_cast<size_t>(i) % o.users.size()];
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0) {
          ++failed;
          return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        char* argv[] = {const_cast<char*>(o.deliver.c_str()), const_cast<char*>(user.c_str()), nullptr};
        pid_t pid;
        int r = posix_spawn(&pid, o.deliver.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        if (r != 0) {
          close(in[1]);
          ++failed;
          return;
        }
        size_t off = 0;
        while (off < msg.size()) {
          ssize_t n = write(in[1], msg.data() + off, msg.size() - off);
          if (n <= 0) break;
          off += static_cast<size_t>(n);
        }
        close(in[1]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
          fprintf(stderr, "lmtp_bench: orvdeliver %s: status %d\n", user.c_str(), status);
          ++failed;
          return;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  double secs = seconds_since(t0);
  return failed ? -1 : o.messages / secs;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int opt;
  while ((opt = getopt(argc, argv, "s:D:u:n:r:b:c:S:")) != -1) {
    switch (opt) {
      case 's': o.socket = optarg; break;
      case 'D': o.deliver = optarg; break;
      case 'u': {
        std::string list = optarg;
        for (size_t start = 0; start <= list.size();) {
          size_t comma = list.find(',', start);
          if (comma == std::string::npos) comma = list.size();
          if (comma > start) o.users.push_back(list.substr(start, comma - start));
          start = comma + 1;
        }
        break;
      }
      case 'n': o.messages = atoi(optarg); break;
      case 'r': o.rounds = atoi(optarg); break;
      case 'b': o.body = atoi(optarg); break;
      case 'c': o.conns = atoi(optarg); break;
      case 'S': o.peer = optarg; break;
      default:
        fprintf(stderr, "usage: lmtp_bench -s SOCKET -D ORVDELIVER -u USERS [-n N] [-r R] [-b OCTETS] [-c CONNS]\n");
        return 1;
    }
  }
  if (o.socket.empty() || o.deliver.empty() || o.users.empty() || o.messages <= 0 || o.rounds <= 0 || o.conns <= 0) {
    fprintf(stderr, "usage: lmtp_bench -s SOCKET -D ORVDELIVER -u USERS [-n N] [-r R] [-b OCTETS] [-c CONNS]\n");
    return 1;
  }
  std::string msg = make_message(o.body);
  printf("%d messages of %zu octets per round, %d connections / workers, %zu users\n", o.messages, msg.size(), o.conns,
         o.users.size());
  bool peer = !o.peer.empty();
  printf("%-6s %14s %14s %18s\n", "round", "lmtp msg/s", peer ? "peer msg/s" : "", "orvdeliver msg/s");
  double lsum = 0, psum = 0, dsum = 0;
  for (int r = 1; r <= o.rounds; ++r) {
    double l = lmtp_round(o, o.socket, msg);
    double p = peer ? lmtp_round(o, o.peer, msg) : 0;
    double d = deliver_round(o, msg);
    if (l < 0 || p < 0 || d < 0) return 1;
    if (peer)
      printf("%-6d %14.0f %14.0f %18.0f\n", r, l, p, d);
    else
      printf("%-6d %14.0f %14s %18.0f\n", r, l, "", d);
    fflush(stdout);
    // Sums of times per message, so the ratios weigh every round alike.
    lsum += 1 / l;
    if (peer) psum += 1 / p;
    dsum += 1 / d;
  }
  printf("ratio lmtp/orvdeliver: %.1f (goal >= 5)\n", dsum / lsum);
  if (peer) printf("ratio lmtp/peer: %.1f (goal >= 2)\n", psum / lsum);
  return 0;
}
