// TlsConn against real clients (Python's ssl, openssl, NSS's tstclnt) over loopback, driven by a plain
// poll() loop as the server's event loop would drive it. Every client runs under `timeout`, and every
// wait of the loop has a deadline, so a hang fails the test.
#include "pop/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(60);

bool have_tool(const std::string& name) { return system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

// The byte at offset i of every test stream; the Python client computes the same.
unsigned char pattern(size_t i) { return static_cast<unsigned char>((i * 7 + i / 251) & 0xff); }

// A client process: argv under `timeout -s KILL`, output to a file. stdin is /dev/null, or with hold a
// pipe that go() writes a line to (so a client can wait for the test's word).
class Client {
 public:
  Client(const std::vector<std::string>& argv, const std::string& out, bool hold = false) : out_(out) {
    std::vector<std::string> full = {"timeout", "-s", "KILL", "60"};
    full.insert(full.end(), argv.begin(), argv.end());
    int p[2] = {-1, -1};
    if (hold && pipe2(p, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      int in = hold ? p[0] : open("/dev/null", O_RDONLY);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(o, 1);
      dup2(o, 2);
      std::vector<char*> args;
      for (auto& a : full) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    if (hold) {
      close(p[0]);
      go_.reset(p[1]);
    }
  }
  ~Client() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void go() {
    if (go_) (void)!::write(go_.get(), "\n", 1);
    go_.reset();
  }
  // The exit status (bounded by the time-out wrapper); -1 when it did not exit normally.
  int wait() {
    go_.reset();
    int st = 0;
    if (waitpid(pid_, &st, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  std::string output() const { return read_text_file(out_); }

 private:
  pid_t pid_ = -1;
  std::string out_;
  UniqueFd go_;
};

// Waits for one event on fd until the deadline; false on time-out.
bool wait_for(int fd, short events, Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  pollfd p{fd, events, 0};
  return poll(&p, 1, static_cast<int>(left)) == 1;
}

// Started by SessionCacheIsSharedWithExecdChildren as a later process of the service: inherits the
// session cache, serves one connection on the inherited listening socket and exits 0 when its handshake
// and a one-byte echo worked.
int serve_one_as_child(int listen_fd, const char* nssdb) {
  TlsSettings s;
  s.nssdb = nssdb;
  s.nicknames = {"Server-Cert"};
  std::string err = tls_init(s, false);
  if (!err.empty()) {
    fprintf(stderr, "child: %s\n", err.c_str());
    return 1;
  }
  int rc = 1;
  {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    auto c = fd >= 0 ? TlsConn::start(fd, &err) : nullptr;
    auto deadline = Clock::now() + kDeadline;
    TlsIo r = c ? c->handshake() : TlsIo::kError;
    while (r == TlsIo::kWantRead || r == TlsIo::kWantWrite) {
      if (!wait_for(c->os_fd(), r == TlsIo::kWantRead ? POLLIN : POLLOUT, deadline)) break;
      r = c->handshake();
    }
    char b = 0;
    size_t n = 0;
    while (r == TlsIo::kOk && n == 0) {
      r = c->read(&b, 1, &n);
      if (r == TlsIo::kWantRead) r = wait_for(c->os_fd(), POLLIN, deadline) ? TlsIo::kOk : TlsIo::kError;
    }
    if (r == TlsIo::kOk && c->write(&b, 1, &n) == TlsIo::kOk && n == 1 && c->flush() == TlsIo::kOk) rc = 0;
    if (c) fprintf(stderr, "child: %s %s\n", c->describe().c_str(), c->error().c_str());
  }
  tls_shutdown();
  return rc;
}
class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    std::string cmd = std::string(ORV_SOURCE_DIR) + "/tests/pop3/make_nssdb.sh " + dir_->path();
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    listen_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listen_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listen_.get(), 8), 0);
    socklen_t len = sizeof a;
    getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = std::to_string(ntohs(a.sin_port));
  }
  void TearDown() override { tls_shutdown(); }

  static TlsSettings settings() {
    TlsSettings s;
    s.nssdb = *dir_ / "nssdb";
    s.nicknames = {"Server-Cert"};
    return s;
  }
  static std::string ca() { return *dir_ / "ca.pem"; }

  // Accepts the client's connection (non-blocking) and starts TLS on it.
  std::unique_ptr<TlsConn> accept_tls(int sndbuf = 0) {
    if (!wait_for(listen_.get(), POLLIN, Clock::now() + kDeadline)) return nullptr;
    int fd = accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    if (sndbuf) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    std::string err;
    auto c = TlsConn::start(fd, &err);
    EXPECT_TRUE(c) << err;
    return c;
  }

  // Runs the handshake, waiting only for the direction it names.
  static TlsIo handshake(TlsConn& c) {
    auto deadline = Clock::now() + kDeadline;
    for (;;) {
      TlsIo r = c.handshake();
      if (r != TlsIo::kWantRead && r != TlsIo::kWantWrite) return r;
      if (!wait_for(c.os_fd(), r == TlsIo::kWantRead ? POLLIN : POLLOUT, deadline)) {
        ADD_FAILURE() << "handshake stalled waiting for " << (r == TlsIo::kWantRead ? "read" : "write");
        return TlsIo::kError;
      }
    }
  }

  struct EchoStats {
    size_t received = 0;
    bool pattern_ok = true;
    int want_write = 0;     // writes refused while NSS still held bytes
    int short_writes = 0;   // writes that took less than offered
    int held = 0;           // writes after which NSS held bytes the socket would not take
    int pending_reads = 0;  // reads made because NSS held decrypted bytes
    TlsIo end = TlsIo::kOk;
  };

  // Echoes everything back until the client closes, reading at most cap bytes at a time. Polls the socket
  // only when NSS holds nothing more to read.
  static EchoStats echo(TlsConn& c, size_t cap) {
    EchoStats st;
    std::string out;
    std::vector<char> buf(cap);
    bool closed = false;
    auto deadline = Clock::now() + kDeadline;
    while (!closed || !out.empty() || c.write_pending()) {
      bool readable = false;
      if (!closed && c.pending()) {
        readable = true;
        st.pending_reads++;
      } else {
        pollfd p{c.os_fd(),
                 static_cast<short>((closed ? 0 : POLLIN) | (out.empty() && !c.write_pending() ? 0 : POLLOUT)), 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) {
          ADD_FAILURE() << "echo stalled after " << st.received << " bytes";
          st.end = TlsIo::kError;
          return st;
        }
        readable = p.revents & (POLLIN | POLLHUP | POLLERR);
        if (p.revents & POLLOUT) {
          TlsIo r = TlsIo::kOk;
          if (!out.empty()) {
            size_t put = 0;
            r = c.write(out.data(), out.size(), &put);
            if (r == TlsIo::kWantWrite) st.want_write++;
            if (r == TlsIo::kOk && put < out.size()) st.short_writes++;
            if (r == TlsIo::kOk && c.write_pending()) st.held++;
            out.erase(0, put);
          } else {
            r = c.flush();
          }
          if (r == TlsIo::kError) {
            st.end = r;
            return st;
          }
        }
      }
      if (readable && !closed) {
        size_t got = 0;
        TlsIo r = c.read(buf.data(), cap, &got);
        if (r == TlsIo::kClosed) {
          closed = true;
        } else if (r == TlsIo::kError) {
          st.end = r;
          return st;
        } else if (r == TlsIo::kOk) {
          for (size_t i = 0; i < got; i++)
            if (static_cast<unsigned char>(buf[i]) != pattern(st.received + i)) st.pattern_ok = false;
          st.received += got;
          out.append(buf.data(), got);
        }
      }
    }
    return st;
  }

  // A Python client: sends n pattern bytes and expects them echoed back byte for byte, reading while it
  // writes. mode is "1.2" or "1.3"; certfile/keyfile present a client certificate.
  Client python_client(const std::string& mode, size_t n, const std::string& cert = "", const std::string& key = "",
                       const std::string& cafile = ca()) {
    static const char* kScript = R"(
import select, socket, ssl, sys, time
port, cafile, mode, n = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
ctx = ssl.create_default_context(cafile=cafile)
if mode == '1.2':
    ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
else:
    ctx.minimum_version = ssl.TLSVersion.TLSv1_3
if len(sys.argv) > 6:
    ctx.load_cert_chain(sys.argv[5], sys.argv[6])
raw = socket.socket()
raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
raw.settimeout(30)
raw.connect(('127.0.0.1', port))
s = ctx.wrap_socket(raw, server_hostname='127.0.0.1')
print(s.version(), s.cipher()[0], flush=True)
data = bytes(((i * 7 + i // 251) & 255) for i in range(n))
s.setblocking(False)
sent, back, deadline = 0, bytearray(), time.time() + 50
while len(back) < n:
    if time.time() > deadline:
        sys.exit('timed out with %d sent, %d back' % (sent, len(back)))
    select.select([s], [s] if sent < n else [], [], 1)
    if sent < n:
        try:
            sent += s.send(data[sent:sent + 16000])
        except (ssl.SSLWantWriteError, ssl.SSLWantReadError):
            pass
    while True:
        try:
            d = s.recv(65536)
        except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
            break
        if not d:
            sys.exit('closed after %d bytes' % len(back))
        back += d
sys.exit(0 if back == data else 'echo differs')
)";
    std::vector<std::string> argv = {"python3", "-c", kScript, port_, cafile, mode, std::to_string(n)};
    if (!cert.empty()) argv.insert(argv.end(), {cert, key});
    return Client(argv, *dir_ / "client.out");
  }

  static TempDir* dir_;
  UniqueFd listen_;
  std::string port_;
};
TempDir* TlsTest::dir_ = nullptr;

TEST_F(TlsTest, Tls12And13AcceptedWithEcdheOnly) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  ASSERT_EQ(tls_init(settings(), true), "");
  ASSERT_TRUE(tls_available());
  for (std::string mode : {"1.2", "1.3"}) {
    SCOPED_TRACE(mode);
    Client cl = python_client(mode, 1000);
    auto c = accept_tls();
    ASSERT_TRUE(c);
    ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
    std::string d = c->describe();
    EXPECT_EQ(d.rfind(mode == "1.2" ? "TLSv1.2 TLS_ECDHE_ECDSA_" : "TLSv1.3 TLS_", 0), 0u) << d;
    EchoStats st = echo(*c, 4096);
    EXPECT_EQ(st.end, TlsIo::kOk) << c->error();
    EXPECT_EQ(st.received, 1000u);
    EXPECT_TRUE(st.pattern_ok);
    EXPECT_FALSE(c->bad_certificate());
    c->close();
    EXPECT_EQ(cl.wait(), 0) << cl.output();
  }
}

// Megabytes both ways through small socket buffers: writes are refused and taken in part, NSS keeps
// what the socket would not take, and every byte still arrives once and in order.
TEST_F(TlsTest, LargeTransferThroughPartialWritesIsExact) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  ASSERT_EQ(tls_init(settings(), true), "");
  constexpr size_t kSize = 4 << 20;
  for (std::string mode : {"1.3", "1.2"}) {
    SCOPED_TRACE(mode);
    Client cl = python_client(mode, kSize);
    auto c = accept_tls(4096);
    ASSERT_TRUE(c);
    ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
    EchoStats st = echo(*c, 64 * 1024);
    EXPECT_EQ(st.end, TlsIo::kOk) << c->error();
    EXPECT_EQ(st.received, kSize);
    EXPECT_TRUE(st.pattern_ok);
    EXPECT_GT(st.short_writes, 0);
    EXPECT_GT(st.held, 0);
    c->close();
    EXPECT_EQ(cl.wait(), 0) << cl.output();
  }
}

// One record of 12000 bytes read 100 bytes at a time: the socket has nothing more to say after the first
// read, so the rest comes only from what NSS holds.
TEST_F(TlsTest, DecryptedBytesHeldByNssAreNotLost) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  ASSERT_EQ(tls_init(settings(), true), "");
  Client cl = python_client("1.3", 12000);
  auto c = accept_tls();
  ASSERT_TRUE(c);
  ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
  EchoStats st = echo(*c, 100);
  EXPECT_EQ(st.end, TlsIo::kOk) << c->error();
  EXPECT_EQ(st.received, 12000u);
  EXPECT_TRUE(st.pattern_ok);
  EXPECT_GT(st.pending_reads, 100);
  c->close();
  EXPECT_EQ(cl.wait(), 0) << cl.output();
}

// A certificate of 40 KB makes the server's first flight far bigger than the socket buffers, and the
// client reads none of it until told: the handshake must say it waits to write. Waiting to read instead
// would stall, as the client sends nothing more before it has the whole flight.
TEST_F(TlsTest, HandshakeWaitsToWriteALargeFlight) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  TempDir t;
  ASSERT_EQ(system((std::string(ORV_SOURCE_DIR) + "/tests/pop3/make_nssdb.sh " + t.path()).c_str()), 0);
  std::string san = "dns:localhost,ip:127.0.0.1";
  for (int i = 0; i < 1500; i++) san += ",dns:host" + std::to_string(i) + ".mail.example.com";
  std::string db = "sql:" + t / "nssdb";
  std::string mk = "head -c 1024 /dev/urandom >" + t / "noise" + " && certutil -S -d " + db +
                   " -n Big-Cert -s CN=localhost,OU=Big -x -t CTu,, -k ec -q nistp256 -v 12 --extSAN " + san +
                   " --keyUsage digitalSignature --extKeyUsage serverAuth -z " + t / "noise" +
                   " >/dev/null 2>&1 && certutil -L -d " + db + " -n Big-Cert -a >" + t / "big.pem";
  ASSERT_EQ(system(mk.c_str()), 0);
  TlsSettings s;
  s.nssdb = t / "nssdb";
  s.nicknames = {"Big-Cert"};
  ASSERT_EQ(tls_init(s, true), "");
  // Sends its ClientHello, waits for a line on stdin, then finishes the handshake and one exchange.
  static const char* kSlowReader = R"(
import socket, ssl, sys
ctx = ssl.create_default_context(cafile=sys.argv[2])
ctx.minimum_version = ctx.maximum_version = getattr(ssl.TLSVersion, sys.argv[3])
inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = ctx.wrap_bio(inc, out, server_hostname='localhost')
sock = socket.socket()
sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
sock.settimeout(30)
sock.connect(('127.0.0.1', int(sys.argv[1])))
def step(f):
    while True:
        try:
            r = f()
            sock.sendall(out.read())
            return r
        except ssl.SSLWantReadError:
            sock.sendall(out.read())
            if not started:
                return None
            d = sock.recv(65536)
            if not d:
                sys.exit('closed')
            inc.write(d)
started = False
step(tls.do_handshake)
sys.stdin.readline()
started = True
step(tls.do_handshake)
step(lambda: tls.write(b'ping'))
got = b''
while len(got) < 4:
    got += step(lambda: tls.read(4))
print(tls.version(), got)
sys.exit(0 if got == b'ping' else 1)
)";
  for (std::string mode : {"TLSv1_3", "TLSv1_2"}) {
    SCOPED_TRACE(mode);
    Client cl({"python3", "-c", kSlowReader, port_, t / "big.pem", mode}, *dir_ / "client.out", true);
    auto c = accept_tls(4096);
    ASSERT_TRUE(c);
    auto deadline = Clock::now() + kDeadline;
    TlsIo r;
    while ((r = c->handshake()) == TlsIo::kWantRead) ASSERT_TRUE(wait_for(c->os_fd(), POLLIN, deadline));
    ASSERT_EQ(r, TlsIo::kWantWrite) << c->error();
    ASSERT_TRUE(c->write_pending());
    cl.go();
    ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
    EXPECT_EQ(echo(*c, 100).received, 4u);
    c->close();
    EXPECT_EQ(cl.wait(), 0) << cl.output();
  }
}

// A session made in the first process resumes in a process it starts later (fork+exec, as the server
// starts its workers): the cache is shared through memory the children inherit.
TEST_F(TlsTest, SessionCacheIsSharedWithExecdChildren) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  ASSERT_EQ(tls_init(settings(), true), "");
  ASSERT_NE(getenv("SSL_INHERITANCE"), nullptr);
  static const char* kResume = R"(
import socket, ssl, sys
ctx = ssl.create_default_context(cafile=sys.argv[2])
ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
session = None
for i in range(2):
    s = ctx.wrap_socket(socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=30),
                        server_hostname='localhost', session=session)
    s.sendall(b'x')
    if s.recv(1) != b'x':
        sys.exit('no echo')
    print('connection', i, 'reused', s.session_reused, flush=True)
    session = s.session
    s.close()
)";
  Client cl({"python3", "-c", kResume, port_, ca()}, *dir_ / "client.out");
  {
    auto c = accept_tls();
    ASSERT_TRUE(c);
    ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
    char b = 0;
    size_t n = 0;
    auto deadline = Clock::now() + kDeadline;
    TlsIo r;
    while ((r = c->read(&b, 1, &n)) == TlsIo::kWantRead) ASSERT_TRUE(wait_for(c->os_fd(), POLLIN, deadline));
    ASSERT_EQ(r, TlsIo::kOk) << c->error();
    ASSERT_EQ(c->write(&b, 1, &n), TlsIo::kOk);
    ASSERT_EQ(c->flush(), TlsIo::kOk);
  }
  // The listening socket goes to the child on a descriptor that survives exec.
  int inherited = fcntl(listen_.get(), F_DUPFD, 10);
  ASSERT_GE(inherited, 0);
  setenv("ORV_TLS_TEST_CHILD_FD", std::to_string(inherited).c_str(), 1);
  setenv("ORV_TLS_TEST_CHILD_DB", (*dir_ / "nssdb").c_str(), 1);
  Client child({std::filesystem::read_symlink("/proc/self/exe").string()}, *dir_ / "child.out");
  unsetenv("ORV_TLS_TEST_CHILD_FD");
  close(inherited);
  EXPECT_EQ(child.wait(), 0) << child.output();
  EXPECT_EQ(cl.wait(), 0) << cl.output();
  EXPECT_NE(cl.output().find("connection 1 reused True"), std::string::npos) << cl.output() << child.output();
}

// Clients limited to TLS 1.0/1.1 are refused by version, not by some other mismatch.
TEST_F(TlsTest, OldProtocolVersionsRefused) {
  ASSERT_EQ(tls_init(settings(), true), "");
  struct Case {
    const char* tool;
    std::vector<std::string> argv;
  };
  std::vector<Case> cases = {
      {"openssl",
       {"openssl", "s_client", "-connect", "127.0.0.1:" + port_, "-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}},
      {"tstclnt", {"tstclnt", "-h", "127.0.0.1", "-p", port_, "-D", "-V", "tls1.0:tls1.1"}},
  };
  int ran = 0;
  for (const Case& k : cases) {
    if (!have_tool(k.tool)) continue;
    SCOPED_TRACE(k.tool);
    ran++;
    Client cl(k.argv, *dir_ / "client.out");
    auto c = accept_tls();
    ASSERT_TRUE(c);
    EXPECT_EQ(handshake(*c), TlsIo::kError);
    EXPECT_NE(c->error().find("UNSUPPORTED_VERSION"), std::string::npos) << c->error();
    c->close();
    EXPECT_NE(cl.wait(), 0) << cl.output();
  }
  if (ran == 0) GTEST_SKIP() << "neither openssl nor tstclnt found";
}

// One write bigger than the socket can take while the client is not reading: NSS takes part of it and
// holds the tail of its last record, which flush() delivers once the client reads; the rest follows.
TEST_F(TlsTest, FlushDeliversWhatNssHeld) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  ASSERT_EQ(tls_init(settings(), true), "");
  static const char* kReader = R"(
import socket, ssl, sys
ctx = ssl.create_default_context(cafile=sys.argv[2])
raw = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=30)
s = ctx.wrap_socket(raw, server_hostname='localhost')
print('connected', flush=True)
sys.stdin.readline()
got = bytearray()
while True:
    d = s.recv(65536)
    if not d:
        break
    got += d
ok = got == bytes(((i * 7 + i // 251) & 255) for i in range(len(got)))
print('got', len(got), 'ok' if ok else 'differs')
)";
  Client cl({"python3", "-c", kReader, port_, ca()}, *dir_ / "client.out", true);
  auto c = accept_tls(4096);
  ASSERT_TRUE(c);
  ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(pattern(i));
  size_t put = 0;
  ASSERT_EQ(c->write(data.data(), data.size(), &put), TlsIo::kOk) << c->error();
  ASSERT_GT(put, 0u);
  ASSERT_LT(put, data.size());
  ASSERT_TRUE(c->write_pending());
  size_t more = 0;
  EXPECT_EQ(c->write(data.data() + put, data.size() - put, &more), TlsIo::kWantWrite);
  EXPECT_EQ(more, 0u);
  cl.go();
  auto deadline = Clock::now() + kDeadline;
  TlsIo r;
  while ((r = c->flush()) == TlsIo::kWantWrite) {
    ASSERT_TRUE(wait_for(c->os_fd(), POLLOUT, deadline));
  }
  EXPECT_EQ(r, TlsIo::kOk);
  EXPECT_FALSE(c->write_pending());
  // The rest, as an event loop would send it: every byte arrives exactly once.
  while (put < data.size()) {
    r = c->write(data.data() + put, data.size() - put, &more);
    ASSERT_NE(r, TlsIo::kError) << c->error();
    put += more;
    if (r == TlsIo::kWantWrite || c->write_pending()) {
      ASSERT_TRUE(wait_for(c->os_fd(), POLLOUT, deadline));
    }
  }
  while ((r = c->flush()) == TlsIo::kWantWrite) {
    ASSERT_TRUE(wait_for(c->os_fd(), POLLOUT, deadline));
  }
  c->close();
  EXPECT_EQ(cl.wait(), 0) << cl.output();
  EXPECT_NE(cl.output().find("got " + std::to_string(data.size()) + " ok"), std::string::npos) << cl.output();
}

// TLS 1.2 offers only ephemeral ECDH with AEAD ciphers, for the EC and the RSA certificate alike.
TEST_F(TlsTest, Tls12SuitesAreEcdheAead) {
  if (!have_tool("openssl")) GTEST_SKIP() << "openssl missing";
  TlsSettings s = settings();
  s.nicknames = {"Server-Cert", "RSA-Cert"};
  ASSERT_EQ(tls_init(s, true), "");
  struct Case {
    const char* openssl_name;
    const char* nss_name;  // "" when it must be refused
  } cases[] = {
      {"ECDHE-ECDSA-AES128-GCM-SHA256", "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
      {"ECDHE-RSA-AES256-GCM-SHA384", "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
      {"ECDHE-RSA-CHACHA20-POLY1305", "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
      {"AES128-GCM-SHA256", ""},          // RSA key transport: no forward secrecy
      {"DHE-RSA-AES128-GCM-SHA256", ""},  // finite-field DH
      {"ECDHE-ECDSA-AES128-SHA", ""},     // CBC
      {"ECDHE-RSA-AES128-SHA256", ""},    // CBC
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.openssl_name);
    Client cl({"openssl", "s_client", "-connect", "127.0.0.1:" + port_, "-tls1_2", "-cipher", k.openssl_name},
              *dir_ / "client.out");
    auto c = accept_tls();
    ASSERT_TRUE(c);
    if (*k.nss_name) {
      ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
      EXPECT_EQ(c->describe(), std::string("TLSv1.2 ") + k.nss_name);
    } else {
      EXPECT_EQ(handshake(*c), TlsIo::kError);
      EXPECT_NE(c->error().find("NO_CYPHER_OVERLAP"), std::string::npos) << c->error();
    }
    c->close();
    cl.wait();
  }
}

// A plain-text client on the TLS port fails the handshake with a reason once NSS has what it takes for a
// record (its "length" here is 16653 bytes; fewer simply wait, as for any slow client).
TEST_F(TlsTest, PlainTextClientFailsTheHandshake) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  ASSERT_EQ(tls_init(settings(), true), "");
  static const char* kPlain = R"(
import socket, sys
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=30)
s.sendall(b'CAPA\r\n' * 4000)
try:
    while s.recv(4096):
        pass
except ConnectionResetError:
    pass
)";
  Client cl({"python3", "-c", kPlain, port_}, *dir_ / "client.out");
  auto c = accept_tls();
  ASSERT_TRUE(c);
  EXPECT_EQ(handshake(*c), TlsIo::kError);
  EXPECT_FALSE(c->error().empty());
  c->close();
  EXPECT_EQ(cl.wait(), 0) << cl.output();
}

TEST_F(TlsTest, Tls13OnlyRefusesTls12) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 missing";
  TlsSettings s = settings();
  s.tls13_only = true;
  ASSERT_EQ(tls_init(s, true), "");
  {
    Client cl = python_client("1.2", 10);
    auto c = accept_tls();
    ASSERT_TRUE(c);
    EXPECT_EQ(handshake(*c), TlsIo::kError);
    EXPECT_NE(c->error().find("UNSUPPORTED_VERSION"), std::string::npos) << c->error();
    c->close();
    EXPECT_NE(cl.wait(), 0);
  }
  Client cl = python_client("1.3", 10);
  auto c = accept_tls();
  ASSERT_TRUE(c);
  ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
  EXPECT_EQ(echo(*c, 100).received, 10u);
  c->close();
  EXPECT_EQ(cl.wait(), 0) << cl.output();
}

// A client certificate nobody vouches for is noted, and the session goes on; without client_auth the
// server never asks for one.
TEST_F(TlsTest, UntrustedClientCertificateIsNotedNotFatal) {
  if (!have_tool("python3") || !have_tool("openssl")) GTEST_SKIP() << "python3 or openssl missing";
  std::string cert = *dir_ / "client.crt", key = *dir_ / "client.key";
  std::string mk =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=client "
      "-days 1 -keyout " +
      key + " -out " + cert + " >/dev/null 2>&1";
  ASSERT_EQ(system(mk.c_str()), 0);
  for (bool client_auth : {true, false}) {
    SCOPED_TRACE(client_auth);
    TlsSettings s = settings();
    s.client_auth = client_auth;
    ASSERT_EQ(tls_init(s, true), "");
    Client cl = python_client("1.3", 100, cert, key);
    auto c = accept_tls();
    ASSERT_TRUE(c);
    ASSERT_EQ(handshake(*c), TlsIo::kOk) << c->error();
    EXPECT_EQ(echo(*c, 100).received, 100u);
    EXPECT_EQ(c->bad_certificate(), client_auth);
    if (client_auth) {
      EXPECT_EQ(c->bad_certificate_text().rfind("errno -", 0), 0u) << c->bad_certificate_text();
    }
    c->close();
    c.reset();
    EXPECT_EQ(cl.wait(), 0) << cl.output();
    tls_shutdown();
  }
}

TEST_F(TlsTest, SetupErrorsAreReportedNotFatal) {
  TempDir t;
  std::string pin = t / "pin";
  write_text_file(pin, "s3cret\n");
  ASSERT_EQ(system((std::string(ORV_SOURCE_DIR) + "/tests/pop3/make_nssdb.sh " + t.path() + " " + pin).c_str()), 0);
  TlsSettings locked;
  locked.nssdb = "sql:" + t / "nssdb";
  locked.nicknames = {"Server-Cert"};

  struct Case {
    const char* name;
    TlsSettings s;
    const char* expect;  // part of the error text
  };
  TlsSettings no_db = settings(), no_nick = settings(), no_pin = locked, bad_pin = locked, missing_pin = locked,
              empty = settings();
  no_db.nssdb = t / "absent";
  no_nick.nicknames = {"Server-Cert", "Missing-Cert"};
  bad_pin.pinfile = t / "wrong";
  write_text_file(bad_pin.pinfile, "guess\n");
  missing_pin.pinfile = t / "nopin";
  empty.nicknames.clear();
  const Case cases[] = {
      {"missing database", no_db, "cannot open the NSS database"},
      {"missing nickname", no_nick, "no certificate named Missing-Cert"},
      {"locked key, no PIN", no_pin, "no usable private key"},
      {"wrong PIN", bad_pin, "no usable private key"},
      {"missing PIN file", missing_pin, "cannot read the PIN file"},
      {"no nickname", empty, "nickname"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string err = tls_init(k.s, true);
    EXPECT_NE(err.find(k.expect), std::string::npos) << err;
    EXPECT_FALSE(tls_available());
    std::string e2;
    EXPECT_EQ(TlsConn::start(dup(listen_.get()), &e2), nullptr);
  }
  locked.pinfile = pin;
  EXPECT_EQ(tls_init(locked, true), "");
  EXPECT_TRUE(tls_available());
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* fd = getenv("ORV_TLS_TEST_CHILD_FD"))
    return serve_one_as_child(atoi(fd), getenv("ORV_TLS_TEST_CHILD_DB"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
