// Session rate, login rate, message transfer, expunge and idle footprint
// of a running POP3 server (ours or a peer: only the protocol is used).
//
// Session mode (default): CONNS connections at a time (spread over THREADS
// threads, each with its own epoll loop; all sockets non-blocking), each
// one in a loop: connect, read the greeting, CAPA and its list (unless -n),
// QUIT and its +OK, wait for the server to close, close, start again, for
// SECONDS.  Reports sessions/s, the latency of a whole session (p50, p99)
// and, for every server process given with -P and their descendants, the
// CPU time they used per session (from /proc/<pid>/stat, the processes'
// own time plus that of their children that ended, so the client's own CPU
// is not counted and short-lived server processes are).
//
// Login mode (-m login): the same loop with a login: greeting, USER/PASS
// (or AUTH PLAIN with -A), STAT, QUIT.  Client k logs in as USER with "%d"
// replaced by k modulo USERS (-u, -U), password -w.
//
// Retr mode (-m retr): log in, STAT, LIST, RETR messages 1..K (-k; all when
// 0), QUIT, in the same loop.  Each message is unstuffed as it arrives and
// its length checked against LIST's size, and the terminator must be
// CRLF "." CRLF.  Reports messages/s, MB/s (of message octets) and the
// server's CPU per MB.
//
// Dele mode (-m dele): per client (user k for client k, one blocking thread
// each) a first session that logs in, reads STAT and quits (the first
// login after a delivery, timed alone); then one that logs in and reads
// STAT, LIST, UIDL, DELEs every message (pipelined, 100 commands per
// write) and QUITs; then one that must find the maildrop empty.  Reports
// the time of each step (the slowest client's) and the expunge rate,
// messages / (DELE + QUIT time).
//
// Idle mode (-i N): opens N sessions, reads every greeting, and reports the
// server's resident memory per open session (the VmRSS of the same
// processes, after minus before), then closes them.  The caller raises the
// descriptor limit (this program raises its soft limit to the hard one).
//
// TLS (--tls, login and retr modes): the port is an implicit-TLS one and
// every session is a TLS 1.3 connection made with NSS, one full handshake
// per session (the client keeps no session cache, so none is resumed).  The
// client does not verify the server's certificate: this is a benchmark on
// loopback, not a mail client.  The client's own TLS work is in this
// process and so never counted as server CPU.  --tls-info prints the
// version, cipher suite, key exchange group and signature scheme of the
// first handshake on stderr.
//
// Run: pop3_bench -p PORT [-a ADDR] [-c CONNS] [-j THREADS] [-t SECONDS]
//                 [-n] [-P PID]... [-i N] [--csv FILE] [-m MODE] [-u USER]
//                 [-U USERS] [-w PASSWORD] [-A] [-k K] [-L LABEL]
//                 [--tls [--tls-info]]
// Prints one table row (and appends it as a CSV line to FILE); exit status
// 1 when any session failed (a refused or reset connection, an unexpected
// answer, a message of the wrong length).  CSV columns: "sessions", work,
// clients, sessions, seconds, sessions/s, p50 ms, p99 ms, server CPU
// us/session, failures; "login" (or "login-tls"), label, mechanism, clients, sessions,
// seconds, logins/s, p50 ms, p99 ms, server CPU us/login, failures;
// "retr" (or "retr-tls"), label, clients, sessions, messages, octets, seconds, messages/s,
// MB/s, server CPU ms/MB, failures; "dele", label, clients, messages,
// first login ms, login ms, LIST ms, UIDL ms, DELE ms, QUIT ms, expunged
// messages/s, server CPU us/message, failures; or "idle", sessions, RSS KiB
// before, after, KiB per session.
#include <arpa/inet.h>
#include <dirent.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nss.h>
#include <prerror.h>
#include <prio.h>
#include <private/pprio.h>  // PR_ImportTCPSocket
#include <ssl.h>
#include <sslerr.h>
#include <sslproto.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Mode { kSession, kLogin, kRetr, kDele };

struct Options {
  Mode mode = Mode::kSession;
  sockaddr_in addr{};
  int conns = 1;
  int threads = 1;
  double seconds = 5;
  bool capa = true;
  std::vector<pid_t> pids;
  long idle = 0;
  std::string csv;               // file the CSV line is appended to, or ""
  std::string user = "bench%d";  // "%d" is the client's number modulo users
  int users = 1;
  std::string password = "secret";
  bool auth_plain = false;  // AUTH PLAIN instead of USER/PASS
  long retr = 0;            // messages per retr session; 0 = all
  std::string label = "server";
  bool tls = false;       // implicit TLS on the port, NSS client
  bool tls_info = false;  // print the first handshake's parameters
};

// Client k's user name.
std::string user_name(const Options& o, int k) {
  std::string u = o.user;
  size_t at = u.find("%d");
  if (at != std::string::npos) u.replace(at, 2, std::to_string(k % std::max(1, o.users)));
  return u;
}

std::string base64(const std::string& in) {
  static const char kAlpha[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += kAlpha[v >> 18];
    out += kAlpha[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlpha[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kAlpha[v & 63] : '=';
  }
  return out;
}

// The login commands for client k, one per element (USER then PASS, or the
// one AUTH PLAIN with its initial response).
std::vector<std::string> login_commands(const Options& o, int k) {
  std::string u = user_name(o, k);
  if (o.auth_plain)
    return {"AUTH PLAIN " + base64(std::string(1, '\0') + u + std::string(1, '\0') + o.password) + "\r\n"};
  return {"USER " + u + "\r\n", "PASS " + o.password + "\r\n"};
}

// Appends line to the CSV file, when one was named.
void write_csv(const Options& o, const std::string& line) {
  if (o.csv.empty()) return;
  std::ofstream f(o.csv, std::ios::app);
  f << line << '\n';
  if (!f) fprintf(stderr, "pop3_bench: cannot write %s\n", o.csv.c_str());
}

// -- server processes, from /proc --

// pid's parent and its user+system CPU ticks, with those of its children
// that ended and were waited for (a server that starts a process per
// connection has its work there); false when it is gone.
bool proc_stat(pid_t pid, pid_t* ppid, unsigned long long* ticks) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s;
  if (!std::getline(f, s)) return false;
  size_t close = s.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  std::vector<std::string> fields;
  while (rest >> field && fields.size() < 15) fields.push_back(field);
  if (fields.size() < 15 || fields[0] == "Z") return false;
  *ppid = static_cast<pid_t>(std::stol(fields[1]));
  *ticks = std::stoull(fields[11]) + std::stoull(fields[12]) + std::stoull(fields[13]) + std::stoull(fields[14]);
  return true;
}

// The given pids and all their live descendants.
std::set<pid_t> server_processes(const std::vector<pid_t>& roots) {
  std::set<pid_t> out(roots.begin(), roots.end());
  std::vector<std::pair<pid_t, pid_t>> all;  // (pid, parent)
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d)) {
      char* end;
      long pid = strtol(e->d_name, &end, 10);
      pid_t ppid;
      unsigned long long ticks;
      if (*end == '\0' && pid > 0 && proc_stat(static_cast<pid_t>(pid), &ppid, &ticks)) {
        all.emplace_back(static_cast<pid_t>(pid), ppid);
      }
    }
    closedir(d);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (auto [pid, ppid] : all) {
      if (out.count(ppid) && !out.count(pid)) grew = out.insert(pid).second;
    }
  }
  return out;
}

double server_cpu_seconds(const std::vector<pid_t>& roots) {
  unsigned long long total = 0;
  for (pid_t pid : server_processes(roots)) {
    pid_t ppid;
    unsigned long long ticks;
    if (proc_stat(pid, &ppid, &ticks)) total += ticks;
  }
  return static_cast<double>(total) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long server_rss_kb(const std::vector<pid_t>& roots) {
  long total = 0;
  for (pid_t pid : server_processes(roots)) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);) {
      if (line.rfind("VmRSS:", 0) == 0) total += std::stol(line.substr(6));
    }
  }
  return total;
}

// -- one session --

enum class Step { kConnect, kGreeting, kCapa, kLogin, kStat, kList, kRetrStatus, kRetrBody, kQuit, kClose };

struct Session {
  int fd = -1;
  PRFileDesc* tls = nullptr;  // owns fd when set
  int client = 0;             // the client's number, which picks its user
  Step step = Step::kConnect;
  std::string in;
  Clock::time_point start;
  std::vector<std::string> login;  // login commands still to answer
  std::vector<uint64_t> sizes;     // LIST's sizes, message n at n - 1
  size_t next = 0;                 // messages retrieved in this session
  size_t last = 0;                 // messages to retrieve
  bool bol = true;                 // the message body is at a line start
  uint64_t octets = 0;             // unstuffed octets of this message so far
};

struct Result {
  uint64_t sessions = 0;
  uint64_t failures = 0;
  uint64_t messages = 0;
  uint64_t octets = 0;
  std::string first_failure;
  std::vector<uint32_t> latency_us;
};

// Consumes a dot-stuffed message body from the front of in, counting its
// unstuffed octets in *octets; true when the terminating line was read
// (what follows it stays in in).  *bol carries whether the next octet
// starts a line.
bool consume_body(std::string* in, bool* bol, uint64_t* octets) {
  size_t p = 0, end = in->size();
  bool done = false;
  while (p < end) {
    if (*bol) {
      if ((*in)[p] == '.') {
        if (end - p < 3) break;  // a terminator or a stuffed dot: wait for more
        if ((*in)[p + 1] == '\r' && (*in)[p + 2] == '\n') {
          p += 3;
          done = true;
          break;
        }
        ++p;  // the stuffed dot
      }
      *bol = false;
    }
    const void* nl = memchr(in->data() + p, '\n', end - p);
    size_t q = nl ? static_cast<size_t>(static_cast<const char*>(nl) - in->data()) + 1 : end;
    *octets += q - p;
    p = q;
    *bol = nl != nullptr;
  }
  in->erase(0, p);
  return done;
}

// Opens a non-blocking socket and starts connecting; -1 on failure.
int start_connect(const sockaddr_in& addr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(const Session& s, const char* text) {
  size_t len = strlen(text);
  // Commands are a few bytes on an idle socket: one send (one record) takes them.
  if (s.tls) return PR_Write(s.tls, text, static_cast<PRInt32>(len)) == static_cast<PRInt32>(len);
  return send(s.fd, text, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}

std::string nss_error() {
  PRErrorCode e = PR_GetError();
  const char* name = PR_ErrorToName(e);
  return name ? name : "NSS error " + std::to_string(e);
}

// The benchmark does not verify the server: any certificate is taken.
SECStatus accept_any_certificate(void*, PRFileDesc*, PRBool, PRBool) { return SECSuccess; }

// Sets the process-wide client defaults: TLS 1.3 only, no session cache
// (every session makes a full handshake).  "" or what failed.
std::string tls_client_init() {
  if (NSS_NoDB_Init(nullptr) != SECSuccess) return "NSS_NoDB_Init: " + nss_error();
  if (NSS_SetDomesticPolicy() != SECSuccess) return "NSS_SetDomesticPolicy: " + nss_error();
  SSLVersionRange range{SSL_LIBRARY_VERSION_TLS_1_3, SSL_LIBRARY_VERSION_TLS_1_3};
  if (SSL_VersionRangeSetDefault(ssl_variant_stream, &range) != SECSuccess) return "TLS 1.3: " + nss_error();
  if (SSL_OptionSetDefault(SSL_NO_CACHE, PR_TRUE) != SECSuccess) return "SSL_NO_CACHE: " + nss_error();
  return "";
}

// Wraps a connecting non-blocking socket in an NSS client; nullptr on
// failure (fd is then still the caller's).
PRFileDesc* tls_wrap(int fd) {
  PRFileDesc* tcp = PR_ImportTCPSocket(fd);
  if (!tcp) return nullptr;
  PRSocketOptionData nb;
  nb.option = PR_SockOpt_Nonblocking;
  nb.value.non_blocking = PR_TRUE;
  PRFileDesc* ssl = PR_SetSocketOption(tcp, &nb) == PR_SUCCESS ? SSL_ImportFD(nullptr, tcp) : nullptr;
  if (!ssl || SSL_OptionSet(ssl, SSL_HANDSHAKE_AS_CLIENT, PR_TRUE) != SECSuccess ||
      SSL_AuthCertificateHook(ssl, accept_any_certificate, nullptr) != SECSuccess ||
      SSL_SetURL(ssl, "localhost") != SECSuccess || SSL_ResetHandshake(ssl, PR_FALSE) != SECSuccess) {
    // Closing the layers would close fd too: take the descriptor back first.
    PRFileDesc* bottom = PR_GetIdentitiesLayer(ssl ? ssl : tcp, PR_NSPR_IO_LAYER);
    if (bottom) PR_ChangeFileDescNativeHandle(bottom, -1);
    PR_Close(ssl ? ssl : tcp);
    return nullptr;
  }
  return ssl;
}

const char* group_name(SSLNamedGroup g) {
  switch (g) {
    case ssl_grp_ec_curve25519:
      return "x25519";
    case ssl_grp_ec_secp256r1:
      return "P-256";
    case ssl_grp_ec_secp384r1:
      return "P-384";
    case ssl_grp_ec_secp521r1:
      return "P-521";
    default:
      return "other";
  }
}

const char* scheme_name(SSLSignatureScheme s) {
  switch (s) {
    case ssl_sig_ecdsa_secp256r1_sha256:
      return "ecdsa_secp256r1_sha256";
    case ssl_sig_rsa_pss_rsae_sha256:
      return "rsa_pss_rsae_sha256";
    case ssl_sig_rsa_pss_pss_sha256:
      return "rsa_pss_pss_sha256";
    case ssl_sig_ed25519:
      return "ed25519";
    default:
      return "other";
  }
}

// "TLS 1.3 TLS_AES_128_GCM_SHA256 x25519 ecdsa_secp256r1_sha256 (full handshake)"
std::string tls_description(PRFileDesc* ssl) {
  SSLChannelInfo ch;
  SSLCipherSuiteInfo cs;
  if (SSL_GetChannelInfo(ssl, &ch, sizeof ch) != SECSuccess ||
      SSL_GetCipherSuiteInfo(ch.cipherSuite, &cs, sizeof cs) != SECSuccess)
    return "(no channel information: " + nss_error() + ")";
  std::string v = ch.protocolVersion == SSL_LIBRARY_VERSION_TLS_1_3   ? "TLS 1.3"
                  : ch.protocolVersion == SSL_LIBRARY_VERSION_TLS_1_2 ? "TLS 1.2"
                                                                      : "TLS (older)";
  return v + " " + cs.cipherSuiteName + " " + group_name(ch.keaGroup) + " " + scheme_name(ch.signatureScheme) +
         (ch.resumed ? " (resumed)" : " (full handshake)");
}

std::atomic<bool> tls_described{false};

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

class Loop {
 public:
  Loop(const Options& o, int conns, int first_client) : o_(o), conns_(conns), first_client_(first_client) {}

  Result run(Clock::time_point until) {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    sessions_.resize(static_cast<size_t>(conns_));
    for (size_t i = 0; i < sessions_.size(); ++i) {
      sessions_[i].client = first_client_ + static_cast<int>(i);
      begin(&sessions_[i]);
    }
    epoll_event ev[64];
    Clock::time_point drain_until = until + std::chrono::seconds(5);
    while (active_ > 0) {
      Clock::time_point now = Clock::now();
      if (now >= until) stopping_ = true;
      if (now >= drain_until) break;
      int n = epoll_wait(ep_, ev, 64, 100);
      for (int i = 0; i < n; ++i) step(static_cast<Session*>(ev[i].data.ptr), ev[i].events);
    }
    for (auto& s : sessions_) {
      if (s.fd >= 0) close_session(&s);
    }
    close(ep_);
    return std::move(r_);
  }

 private:
  void begin(Session* s) {
    if (stopping_) return;
    s->fd = start_connect(o_.addr);
    if (s->fd < 0) {
      fail(s, std::string("connect: ") + strerror(errno));
      return;
    }
    if (o_.tls && !(s->tls = tls_wrap(s->fd))) {
      close(s->fd);
      s->fd = -1;
      fail(s, "TLS setup: " + nss_error());
      return;
    }
    s->step = Step::kConnect;
    s->in.clear();
    s->start = Clock::now();
    if (o_.mode != Mode::kSession) {
      s->login = login_commands(o_, s->client);
      std::reverse(s->login.begin(), s->login.end());  // popped from the back
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN;
    ev.data.ptr = s;
    epoll_ctl(ep_, EPOLL_CTL_ADD, s->fd, &ev);
    ++active_;
  }

  static void close_session(Session* s) {
    if (s->tls) {
      PR_Close(s->tls);  // and the descriptor
      s->tls = nullptr;
    } else {
      close(s->fd);
    }
    s->fd = -1;
  }

  void end(Session* s) {
    close_session(s);
    --active_;
  }

  // Counts a failed session and drops it (it is not started again); false.
  bool fail(Session* s, const std::string& why) {
    if (r_.failures++ == 0) r_.first_failure = why;
    if (s->fd >= 0) end(s);
    return false;
  }

  void finish(Session* s) {
    ++r_.sessions;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - s->start).count();
    r_.latency_us.push_back(static_cast<uint32_t>(std::min<int64_t>(us, UINT32_MAX)));
    end(s);
    begin(s);
  }

  void step(Session* s, uint32_t events) {
    if (s->step == Step::kConnect) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        fail(s, std::string("connect: ") + strerror(err));
        return;
      }
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = s;
      epoll_ctl(ep_, EPOLL_CTL_MOD, s->fd, &ev);
      s->step = Step::kGreeting;
      // Over TLS the first read sends the ClientHello.
      if (!(events & EPOLLIN) && !s->tls) return;
    }
    char buf[65536];
    for (;;) {
      ssize_t n;
      if (s->tls) {
        n = PR_Read(s->tls, buf, sizeof buf);
        if (n < 0) {
          if (PR_GetError() == PR_WOULD_BLOCK_ERROR) return;
          // A server may drop the connection after QUIT without a close_notify.
          if (s->step == Step::kClose) {
            finish(s);
          } else {
            fail(s, "TLS read: " + nss_error());
          }
          return;
        }
      } else {
        n = recv(s->fd, buf, sizeof buf, 0);
        if (n < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK) return;
          if (errno == EINTR) continue;
          fail(s, std::string("read: ") + strerror(errno));
          return;
        }
      }
      if (n == 0) {
        if (s->step == Step::kClose) {
          finish(s);
        } else {
          fail(s, "closed by the server after \"" + s->in.substr(0, 80) + "\"");
        }
        return;
      }
      s->in.append(buf, static_cast<size_t>(n));
      if (!advance(s)) return;
    }
  }

  // Sends the next login command, or STAT after the last one.
  bool send_login(Session* s) {
    if (s->login.empty()) {
      s->step = Step::kStat;
      return send_all(*s, "STAT\r\n") || fail(s, "write");
    }
    s->step = Step::kLogin;
    return send_all(*s, s->login.back().c_str()) || fail(s, "write");
  }

  // Sends the next RETR, or QUIT when the session has them all.
  bool send_retr(Session* s) {
    if (s->next >= s->last) {
      s->step = Step::kQuit;
      return send_all(*s, "QUIT\r\n") || fail(s, "write");
    }
    s->step = Step::kRetrStatus;
    std::string cmd = "RETR " + std::to_string(s->next + 1) + "\r\n";
    return send_all(*s, cmd.c_str()) || fail(s, "write");
  }

  // Moves on when the answer awaited is complete; false when the session
  // failed.
  bool advance(Session* s) {
    switch (s->step) {
      case Step::kGreeting:
        if (!ends_with(s->in, "\r\n")) return true;
        if (s->in.rfind("+OK", 0) != 0) return fail(s, "greeting: " + s->in.substr(0, 80));
        s->in.clear();
        if (s->tls && o_.tls_info && !tls_described.exchange(true))
          fprintf(stderr, "%s: %s\n", o_.label.c_str(), tls_description(s->tls).c_str());
        if (o_.mode != Mode::kSession) return send_login(s);
        s->step = o_.capa ? Step::kCapa : Step::kQuit;
        return send_all(*s, o_.capa ? "CAPA\r\n" : "QUIT\r\n") || fail(s, "write");
      case Step::kCapa:
        if (!ends_with(s->in, "\r\n.\r\n")) return true;
        if (s->in.rfind("+OK", 0) != 0) return fail(s, "CAPA: " + s->in.substr(0, 80));
        s->in.clear();
        s->step = Step::kQuit;
        return send_all(*s, "QUIT\r\n") || fail(s, "write");
      case Step::kLogin:
        if (!ends_with(s->in, "\r\n")) return true;
        if (s->in.rfind("+OK", 0) != 0) return fail(s, "login: " + s->in.substr(0, 80));
        s->in.clear();
        s->login.pop_back();
        return send_login(s);
      case Step::kStat:
        if (!ends_with(s->in, "\r\n")) return true;
        if (s->in.rfind("+OK ", 0) != 0) return fail(s, "STAT: " + s->in.substr(0, 80));
        s->in.clear();
        if (o_.mode == Mode::kRetr) {
          s->step = Step::kList;
          return send_all(*s, "LIST\r\n") || fail(s, "write");
        }
        s->step = Step::kQuit;
        return send_all(*s, "QUIT\r\n") || fail(s, "write");
      case Step::kList: {
        if (s->in.rfind("-ERR", 0) == 0 && ends_with(s->in, "\r\n")) return fail(s, "LIST: " + s->in.substr(0, 80));
        if (!ends_with(s->in, "\r\n.\r\n")) return true;
        s->sizes.clear();
        std::istringstream lines(s->in);
        std::string line;
        std::getline(lines, line);  // +OK
        while (std::getline(lines, line) && line != ".\r") {
          unsigned long n = 0;
          unsigned long long size = 0;
          if (sscanf(line.c_str(), "%lu %llu", &n, &size) != 2 || n != s->sizes.size() + 1)
            return fail(s, "LIST line: " + line.substr(0, 80));
          s->sizes.push_back(size);
        }
        s->in.clear();
        s->next = 0;
        s->last = o_.retr > 0 ? std::min(s->sizes.size(), static_cast<size_t>(o_.retr)) : s->sizes.size();
        if (s->last == 0) return fail(s, "empty maildrop");
        return send_retr(s);
      }
      case Step::kRetrStatus: {
        size_t eol = s->in.find("\r\n");
        if (eol == std::string::npos) return true;
        if (s->in.rfind("+OK", 0) != 0) return fail(s, "RETR: " + s->in.substr(0, 80));
        s->in.erase(0, eol + 2);
        s->step = Step::kRetrBody;
        s->bol = true;
        s->octets = 0;
        [[fallthrough]];
      }
      case Step::kRetrBody:
        if (!consume_body(&s->in, &s->bol, &s->octets)) return true;
        if (!s->in.empty()) return fail(s, "data after a message's terminator");
        if (s->octets != s->sizes[s->next]) {
          return fail(s, "message " + std::to_string(s->next + 1) + ": " + std::to_string(s->octets) +
                             " octets, LIST said " + std::to_string(s->sizes[s->next]));
        }
        ++r_.messages;
        r_.octets += s->octets;
        ++s->next;
        return send_retr(s);
      case Step::kQuit:
        if (!ends_with(s->in, "\r\n")) return true;
        if (s->in.rfind("+OK", 0) != 0) return fail(s, "QUIT: " + s->in.substr(0, 80));
        s->in.clear();
        s->step = Step::kClose;
        return true;
      case Step::kClose:
        return fail(s, "data after QUIT");
      case Step::kConnect:
        break;
    }
    return true;
  }

  const Options& o_;
  int conns_;
  int first_client_;
  int ep_ = -1;
  std::vector<Session> sessions_;
  int active_ = 0;
  bool stopping_ = false;
  Result r_;
};

double percentile_ms(std::vector<uint32_t>* v, double p) {
  if (v->empty()) return 0;
  size_t k = std::min(v->size() - 1, static_cast<size_t>(p * static_cast<double>(v->size())));
  std::nth_element(v->begin(), v->begin() + static_cast<long>(k), v->end());
  return (*v)[k] / 1000.0;
}

int run_sessions(const Options& o) {
  double cpu0 = server_cpu_seconds(o.pids);
  Clock::time_point t0 = Clock::now();
  Clock::time_point until = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  int threads = std::max(1, std::min(o.threads, o.conns));
  std::vector<Result> results(static_cast<size_t>(threads));
  std::vector<std::thread> workers;
  for (int i = 0, first = 0; i < threads; ++i) {
    int share = o.conns / threads + (i < o.conns % threads ? 1 : 0);
    workers.emplace_back([&, i, share, first] { results[static_cast<size_t>(i)] = Loop(o, share, first).run(until); });
    first += share;
  }
  for (auto& w : workers) w.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  double cpu = server_cpu_seconds(o.pids) - cpu0;
  Result all;
  for (auto& r : results) {
    all.sessions += r.sessions;
    all.messages += r.messages;
    all.octets += r.octets;
    if (r.failures && all.failures == 0) all.first_failure = r.first_failure;
    all.failures += r.failures;
    all.latency_us.insert(all.latency_us.end(), r.latency_us.begin(), r.latency_us.end());
  }
  double rate = static_cast<double>(all.sessions) / elapsed;
  double p50 = percentile_ms(&all.latency_us, 0.50);
  double p99 = percentile_ms(&all.latency_us, 0.99);
  double cpu_us = all.sessions && !o.pids.empty() ? cpu * 1e6 / static_cast<double>(all.sessions) : 0;
  char line[256];
  if (o.mode == Mode::kLogin) {
    const char* mech = o.auth_plain ? "AUTH PLAIN" : "USER/PASS";
    snprintf(line, sizeof line, "%s,%s,%s,%d,%llu,%.2f,%.0f,%.3f,%.3f,%.1f,%llu", o.tls ? "login-tls" : "login",
             o.label.c_str(), mech, o.conns, static_cast<unsigned long long>(all.sessions), elapsed, rate, p50, p99,
             cpu_us, static_cast<unsigned long long>(all.failures));
    write_csv(o, line);
    printf("%-10s %-10s %6d %9llu %8.0f %8.3f %8.3f %12.1f %8llu\n", o.label.c_str(), mech, o.conns,
           static_cast<unsigned long long>(all.sessions), rate, p50, p99, cpu_us,
           static_cast<unsigned long long>(all.failures));
  } else if (o.mode == Mode::kRetr) {
    double mb = static_cast<double>(all.octets) / 1e6;
    double cpu_ms_mb = mb > 0 && !o.pids.empty() ? cpu * 1e3 / mb : 0;
    snprintf(line, sizeof line, "%s,%s,%d,%llu,%llu,%llu,%.2f,%.0f,%.1f,%.3f,%llu", o.tls ? "retr-tls" : "retr",
             o.label.c_str(), o.conns, static_cast<unsigned long long>(all.sessions),
             static_cast<unsigned long long>(all.messages), static_cast<unsigned long long>(all.octets), elapsed,
             static_cast<double>(all.messages) / elapsed, mb / elapsed, cpu_ms_mb,
             static_cast<unsigned long long>(all.failures));
    write_csv(o, line);
    printf("%-10s %6d %9llu %10llu %9.0f %8.1f %12.3f %8llu\n", o.label.c_str(), o.conns,
           static_cast<unsigned long long>(all.sessions), static_cast<unsigned long long>(all.messages),
           static_cast<double>(all.messages) / elapsed, mb / elapsed, cpu_ms_mb,
           static_cast<unsigned long long>(all.failures));
  }
  if (o.mode != Mode::kSession) {
    if (all.failures) {
      fprintf(stderr, "pop3_bench: %llu failed sessions; first: %s\n", static_cast<unsigned long long>(all.failures),
              all.first_failure.c_str());
      return 1;
    }
    return 0;
  }
  const char* work = o.capa ? "greeting+CAPA+QUIT" : "greeting+QUIT";
  snprintf(line, sizeof line, "sessions,%s,%d,%llu,%.2f,%.0f,%.3f,%.3f,%.1f,%llu", work, o.conns,
           static_cast<unsigned long long>(all.sessions), elapsed, rate, p50, p99, cpu_us,
           static_cast<unsigned long long>(all.failures));
  write_csv(o, line);
  printf("%-20s %6d %9llu %8.0f %8.3f %8.3f %10.1f %8llu\n", work, o.conns,
         static_cast<unsigned long long>(all.sessions), rate, p50, p99, cpu_us,
         static_cast<unsigned long long>(all.failures));
  if (all.failures) {
    fprintf(stderr, "pop3_bench: %llu failed sessions; first: %s\n", static_cast<unsigned long long>(all.failures),
            all.first_failure.c_str());
    return 1;
  }
  return 0;
}

// -- dele mode: one blocking session per client --

// A blocking connection with bounded reads (a server that stops answering
// fails the session after the time-out instead of hanging the bench).
class Blocking {
 public:
  explicit Blocking(const sockaddr_in& addr) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    timeval tv{900, 0};  // the expunge of a very large maildrop is slow
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Blocking() {
    if (fd_ >= 0) close(fd_);
  }
  Blocking(const Blocking&) = delete;
  Blocking& operator=(const Blocking&) = delete;
  bool ok() const { return fd_ >= 0; }

  bool send(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // One line without its CRLF; false on an error, a time-out or the end.
  bool line(std::string* out) {
    for (;;) {
      size_t eol = buf_.find("\r\n", pos_);
      if (eol != std::string::npos) {
        out->assign(buf_, pos_, eol - pos_);
        pos_ = eol + 2;
        return true;
      }
      if (!fill()) return false;
    }
  }
  // A multi-line answer: its first line must be +OK; *lines gets the
  // number of lines before the terminator.
  bool multiline(size_t* lines, std::string* first) {
    if (!line(first) || first->rfind("+OK", 0) != 0) return false;
    *lines = 0;
    for (std::string l;;) {
      if (!line(&l)) return false;
      if (l == ".") return true;
      ++*lines;
    }
  }
  bool at_end() { return pos_ == buf_.size() && !fill(); }

 private:
  bool fill() {
    if (pos_ > 0 && pos_ == buf_.size()) {
      buf_.clear();
      pos_ = 0;
    } else if (pos_ > (1 << 20)) {
      buf_.erase(0, pos_);
      pos_ = 0;
    }
    char tmp[65536];
    ssize_t n;
    do {
      n = recv(fd_, tmp, sizeof tmp, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buf_.append(tmp, static_cast<size_t>(n));
    return true;
  }
  int fd_ = -1;
  std::string buf_;
  size_t pos_ = 0;
};

struct DeleResult {
  bool ok = false;
  std::string why;
  uint64_t messages = 0;
  double first = 0;  // seconds to the STAT answer of the first login after the delivery
  double login = 0, list = 0, uidl = 0, dele = 0, quit = 0;  // seconds, the session that deletes
};

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Connects, logs in as client's user and reads STAT's count into *count;
// "" or what went wrong.
std::string login_stat(const Options& o, int client, Blocking* c, unsigned long long* count) {
  std::string l;
  if (!c->ok()) return std::string("connect: ") + strerror(errno);
  if (!c->line(&l) || l.rfind("+OK", 0) != 0) return "greeting: " + l;
  for (const std::string& cmd : login_commands(o, client)) {
    if (!c->send(cmd) || !c->line(&l) || l.rfind("+OK", 0) != 0) return "login: " + l;
  }
  unsigned long long octets = 0;
  if (!c->send("STAT\r\n") || !c->line(&l) || sscanf(l.c_str(), "+OK %llu %llu", count, &octets) != 2)
    return "STAT: " + l;
  return "";
}

// A session that logs in, reads STAT and quits, deleting nothing.
std::string look(const Options& o, int client, unsigned long long* count) {
  Blocking c(o.addr);
  std::string why = login_stat(o, client, &c, count);
  std::string l;
  if (why.empty() && (!c.send("QUIT\r\n") || !c.line(&l) || l.rfind("+OK", 0) != 0)) why = "QUIT: " + l;
  return why;
}

// The first login after the delivery (the server may have work to do on
// new mail), then the session that deletes everything, then one that
// finds the maildrop empty.
DeleResult dele_session(const Options& o, int client) {
  DeleResult r;
  unsigned long long count = 0;
  auto t = Clock::now();
  if (!(r.why = look(o, client, &count)).empty()) return r;
  r.first = since(t);
  t = Clock::now();
  Blocking c(o.addr);
  std::string l;
  if (!(r.why = login_stat(o, client, &c, &count)).empty()) return r;
  r.login = since(t);
  size_t lines = 0;
  t = Clock::now();
  if (!c.send("LIST\r\n") || !c.multiline(&lines, &l) || lines != count) return r.why = "LIST: " + l, r;
  r.list = since(t);
  t = Clock::now();
  if (!c.send("UIDL\r\n") || !c.multiline(&lines, &l) || lines != count) return r.why = "UIDL: " + l, r;
  r.uidl = since(t);
  t = Clock::now();
  // Pipelined in batches: the answers to one batch are read before the
  // next is sent, so neither side's buffers fill up.
  constexpr unsigned long long kBatch = 100;
  for (unsigned long long n = 1; n <= count; n += kBatch) {
    std::string cmds;
    unsigned long long last = std::min(count, n + kBatch - 1);
    for (unsigned long long k = n; k <= last; ++k) cmds += "DELE " + std::to_string(k) + "\r\n";
    if (!c.send(cmds)) return r.why = "DELE: write", r;
    for (unsigned long long k = n; k <= last; ++k) {
      if (!c.line(&l) || l.rfind("+OK", 0) != 0) return r.why = "DELE " + std::to_string(k) + ": " + l, r;
    }
  }
  r.dele = since(t);
  t = Clock::now();
  if (!c.send("QUIT\r\n") || !c.line(&l) || l.rfind("+OK", 0) != 0) return r.why = "QUIT: " + l, r;
  if (!c.at_end()) return r.why = "no close after QUIT", r;
  r.quit = since(t);
  unsigned long long left = 0;
  if (!(r.why = look(o, client, &left)).empty()) return r;
  if (left != 0) return r.why = std::to_string(left) + " messages left after QUIT", r;
  r.messages = count;
  r.ok = true;
  return r;
}

int run_dele(const Options& o) {
  double cpu0 = server_cpu_seconds(o.pids);
  std::vector<DeleResult> results(static_cast<size_t>(o.conns));
  std::vector<std::thread> workers;
  for (int k = 0; k < o.conns; ++k)
    workers.emplace_back([&, k] { results[static_cast<size_t>(k)] = dele_session(o, k); });
  for (auto& w : workers) w.join();
  double cpu = server_cpu_seconds(o.pids) - cpu0;
  DeleResult worst;
  uint64_t failures = 0;
  std::string first;
  for (const DeleResult& r : results) {
    if (!r.ok) {
      if (failures++ == 0) first = r.why;
      continue;
    }
    worst.messages += r.messages;
    worst.first = std::max(worst.first, r.first);
    worst.login = std::max(worst.login, r.login);
    worst.list = std::max(worst.list, r.list);
    worst.uidl = std::max(worst.uidl, r.uidl);
    worst.dele = std::max(worst.dele, r.dele);
    worst.quit = std::max(worst.quit, r.quit);
  }
  double rate = worst.dele + worst.quit > 0 ? static_cast<double>(worst.messages) / (worst.dele + worst.quit) : 0;
  double cpu_us = worst.messages && !o.pids.empty() ? cpu * 1e6 / static_cast<double>(worst.messages) : 0;
  char line[256];
  snprintf(line, sizeof line, "dele,%s,%d,%llu,%.1f,%.1f,%.1f,%.1f,%.1f,%.1f,%.0f,%.2f,%llu", o.label.c_str(), o.conns,
           static_cast<unsigned long long>(worst.messages), worst.first * 1e3, worst.login * 1e3, worst.list * 1e3,
           worst.uidl * 1e3, worst.dele * 1e3, worst.quit * 1e3, rate, cpu_us,
           static_cast<unsigned long long>(failures));
  write_csv(o, line);
  printf("%-10s %6d %9llu %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %9.0f %10.2f %6llu\n", o.label.c_str(), o.conns,
         static_cast<unsigned long long>(worst.messages), worst.first * 1e3, worst.login * 1e3, worst.list * 1e3,
         worst.uidl * 1e3, worst.dele * 1e3, worst.quit * 1e3, rate, cpu_us, static_cast<unsigned long long>(failures));
  if (failures) {
    fprintf(stderr, "pop3_bench: %llu failed sessions; first: %s\n", static_cast<unsigned long long>(failures),
            first.c_str());
    return 1;
  }
  return 0;
}

// Reads one greeting on each blocking socket in turn.
int run_idle(const Options& o) {
  long before = server_rss_kb(o.pids);
  std::vector<int> fds;
  int status = 0;
  for (long i = 0; i < o.idle; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{30, 0};
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&o.addr), sizeof o.addr) < 0) {
      fprintf(stderr, "pop3_bench: session %ld: %s\n", i + 1, strerror(errno));
      if (fd >= 0) close(fd);
      status = 1;
      break;
    }
    fds.push_back(fd);
    std::string line;
    char c;
    while (line.size() < 1024 && recv(fd, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') break;
    }
    if (line.rfind("+OK", 0) != 0) {
      fprintf(stderr, "pop3_bench: session %ld greeted with \"%s\"\n", i + 1, line.c_str());
      status = 1;
      break;
    }
  }
  long after = server_rss_kb(o.pids);
  double per = fds.empty() ? 0 : static_cast<double>(after - before) / static_cast<double>(fds.size());
  char line[128];
  snprintf(line, sizeof line, "idle,%zu,%ld,%ld,%.2f", fds.size(), before, after, per);
  write_csv(o, line);
  printf("idle sessions %zu: server RSS %ld KiB before, %ld KiB after, %.2f KiB per session\n", fds.size(), before,
         after, per);
  for (int fd : fds) close(fd);
  return status;
}

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: pop3_bench -p PORT [-a ADDR] [-c CONNS] [-j THREADS] [-t SECONDS] [-n] [-P PID]... "
          "[-i N] [--csv FILE] [-m session|login|retr|dele] [-u USER] [-U USERS] [-w PASSWORD] [-A] [-k K] "
          "[-L LABEL] [--tls [--tls-info]]\n");
  exit(64);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.addr.sin_family = AF_INET;
  o.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool have_port = false;
  static const option longs[] = {{"csv", required_argument, nullptr, 'C'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"tls", no_argument, nullptr, 'T'},
                                 {"tls-info", no_argument, nullptr, 'I'},
                                 {}};
  for (int c; (c = getopt_long(argc, argv, "p:a:c:j:t:nP:i:hm:u:U:w:Ak:L:", longs, nullptr)) != -1;) {
    switch (c) {
      case 'p':
        o.addr.sin_port = htons(static_cast<uint16_t>(atoi(optarg)));
        have_port = true;
        break;
      case 'a':
        if (inet_pton(AF_INET, optarg, &o.addr.sin_addr) != 1) usage();
        break;
      case 'c':
        o.conns = atoi(optarg);
        break;
      case 'j':
        o.threads = atoi(optarg);
        break;
      case 't':
        o.seconds = atof(optarg);
        break;
      case 'n':
        o.capa = false;
        break;
      case 'P':
        o.pids.push_back(static_cast<pid_t>(atoi(optarg)));
        break;
      case 'i':
        o.idle = atol(optarg);
        break;
      case 'C':
        o.csv = optarg;
        break;
      case 'm':
        if (strcmp(optarg, "session") == 0) {
          o.mode = Mode::kSession;
        } else if (strcmp(optarg, "login") == 0) {
          o.mode = Mode::kLogin;
        } else if (strcmp(optarg, "retr") == 0) {
          o.mode = Mode::kRetr;
        } else if (strcmp(optarg, "dele") == 0) {
          o.mode = Mode::kDele;
        } else {
          usage();
        }
        break;
      case 'u':
        o.user = optarg;
        break;
      case 'U':
        o.users = atoi(optarg);
        break;
      case 'w':
        o.password = optarg;
        break;
      case 'A':
        o.auth_plain = true;
        break;
      case 'k':
        o.retr = atol(optarg);
        break;
      case 'L':
        o.label = optarg;
        break;
      case 'T':
        o.tls = true;
        break;
      case 'I':
        o.tls_info = true;
        break;
      default:
        usage();
    }
  }
  if (!have_port || o.conns < 1 || o.seconds <= 0 || o.idle < 0 || o.users < 1 || o.retr < 0) usage();
  if (o.tls && ((o.mode != Mode::kLogin && o.mode != Mode::kRetr) || o.idle > 0)) {
    fprintf(stderr, "pop3_bench: --tls is for the login and retr modes\n");
    return 64;
  }
  if (o.tls) {
    std::string err = tls_client_init();
    if (!err.empty()) {
      fprintf(stderr, "pop3_bench: %s\n", err.c_str());
      return 1;
    }
  }
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  if (o.idle > 0) return run_idle(o);
  if (o.mode == Mode::kDele) return run_dele(o);
  int status = run_sessions(o);
  if (o.tls) NSS_Shutdown();  // every session is closed by now
  return status;
}
